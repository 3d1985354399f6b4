// Raw scan encoders: logical beam words -> the raw packet content a model's firmware streams.
//
// For every model of the catalogue this is the inverse of the frame library's decode and data
// fix (OrdaloDataFill then OrdaloDataFix, with no virtual LEDs: padLedsX = padLedsY = 0), written
// from the documented packing of each model, not from the decoders. Words are in the layout of
// BeamModel.h; a raw format may not carry every bit (see carriedBits), and bits it cannot carry
// decode as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "VirtualFrame/FrameModel.h"

namespace VirtualFrame {

// Largest packet the host reassembles: 15 blocks of 59 bytes.
constexpr size_t kMaxRawContentBytes = 15 * 59;

// Bits of entry `entry` that survive encode + decode for this model (0 for Unsupported).
uint16_t carriedBits(const FrameModel& model, int entry);

// Raw content of one scan. `words` holds entryCount() words; missing words count as all clear,
// extra words are ignored. Empty result for an Unsupported model.
std::vector<uint8_t> encodeScan(const FrameModel& model, const std::vector<uint16_t>& words);

// Byte run-length code: bytes below 128 stand for themselves; (0x80 | v), n repeats v n+1
// times; FF FF ends the stream. The result ends with the end mark and two fill bytes, because
// the reader stops decoding once fewer than four bytes remain. Every input byte must be below
// 128 (std::invalid_argument otherwise).
std::vector<uint8_t> compressRuns(const std::vector<uint8_t>& bytes);

}  // namespace VirtualFrame
