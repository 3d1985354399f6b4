// Helpers shared by set-up, decoding and screen mapping. Not exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "PanoraCore.h"

namespace panora {

// Raw packings a frame can use, as chosen from its geometry.
enum class RawModel {
    kCompressed,    // 5 lines, large screens: run-length coded bytes
    kHalfLines,     // 15-line frames measuring 7 lines, one byte per LED
    kBitPlanes,     // 5 lines, small screens: sequential bit planes
    kFiveLineKeep,  // 5 lines otherwise: no decoder, the previous scan stays
    kPairPlanes,    // 7 lines, gap 13: pair-interleaved bit planes
    kEmitterBytes,  // 7 lines, gap 14 or 16: one byte per LED, emitter-side bits
    kBytes,         // other 7-line frames: one byte per LED
    kWords,         // everything else: one little-endian 16-bit word per LED
};

RawModel ChooseModel(float screenInches, int32_t linesX, int32_t linesY, int32_t ledGapX,
                     uint32_t fastFrame);

// Bytes a frame of the model needs for nX x nY physical LEDs; 0 when any length will do.
size_t RequiredRawBytes(RawModel model, int32_t nX, int32_t nY, int32_t gX, int32_t gY);

// Run-length decoding that also reports how far the output got, even on error.
uint32_t Decompress(uint8_t* dst, uint32_t capacity, const uint8_t* src, uint32_t srcLength,
                    uint32_t* written);

}  // namespace panora
