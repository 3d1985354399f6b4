// Catalogue of simulated touch-frame models.
//
// One data description per frame model: its geometry (LEDs, lines, gaps, screen size), the raw
// packing its firmware streams in software mode, the axis mirroring the frame library applies to
// it, and the firmware records a firmware emulator answers with. The raw packing and the mirror
// flags are not stored by hand: they follow from the geometry by the same selection rules the
// library's decoder uses, so a catalogue entry cannot disagree with what the library will do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VirtualFrame/FirmwareEmulator.h"

namespace VirtualFrame {

// How a model's firmware packs one scan into the raw packet content.
enum class RawFormat {
    BytePerLedShifted,     // 7 lines, one inverted byte per LED, line bits rotated per LED group
    BytePerLedShifted19,   // as above, receiver-side angle bits, Y block reversed (two sizes)
    ComplementMirrored23,  // 7 lines, one byte per LED, complemented and bit-mirrored
    PairedPlanesTR48,      // 7 lines, bit planes interleaved in byte pairs
    EmitterSide70_82,      // 7 lines, one inverted byte per LED, angle bits moved by LED offsets
    SequentialPlanes5,     // 5 lines, ten right-aligned bit planes
    Compressed5,           // 5 lines, one byte per LED at the receiver, run-length coded
    HalfLines15,           // 15 lines, every other one (7) measured, one byte per LED
    Words16,               // up to 15 lines, one inverted 16-bit word per LED, rotated, reversed
    Unsupported,  // no decoder (e.g. 5 lines on 23 to 30 inches) or outside the library's limits
};

const char* rawFormatName(RawFormat format);

// Geometry as the firmware reports it (OrdoConfig fields).
struct FrameGeometry {
    uint8_t screenInches = 19;  // LCD_SIZE: the library only ever sees whole inches
    int ledsX = 72;
    int ledsY = 58;
    int linesX = 7;
    int linesY = 7;
    int gapX = 6;
    int gapY = 5;

    int entryCount() const { return ledsX + ledsY; }
    // Millimetres per LED step, computed exactly as the library does (single-precision root).
    float mmPerLed() const;
};

// A geometry with the same line count on both axes, as every supported model has.
FrameGeometry frameGeometry(int inches, int ledsX, int ledsY, int lines, int gapX, int gapY);

struct FrameModel {
    std::string name;
    std::string description;
    FrameGeometry geometry;
    RawFormat format = RawFormat::Unsupported;  // derived from the geometry
    bool mirrorX = true;                        // the library reports 1 - x on this axis
    bool mirrorY = true;
    // What the firmware emulator answers with: the geometry fields mirror `geometry`, the rest
    // (identity, version, calibration, effects, ...) is the model's own.
    FrameDescription firmware;
};

// The raw packing the library's decoder chooses for this geometry (software mode, fast frames
// on, which is how the host always runs it).
RawFormat rawFormatFor(const FrameGeometry& geometry);
// The library's mirror flags after decoding a frame of this geometry.
void mirrorFlagsFor(const FrameGeometry& geometry, bool& mirrorX, bool& mirrorY);

// Builds a model from a geometry, deriving format and mirror flags.
FrameModel makeFrameModel(const std::string& name, const std::string& description,
                          const FrameGeometry& geometry);

// The catalogue, at least one model per raw format the library decodes. Stable order; the first
// entry is the default model ("19in-72x58-7line").
const std::vector<FrameModel>& frameModels();
const FrameModel& defaultFrameModel();
// nullptr when no model has this name.
const FrameModel* findFrameModel(const std::string& name);

}  // namespace VirtualFrame
