// Layout of the paired bit-plane packing (7 lines, LED gap 13 on X). Shared by the encoder and
// the catalogue, which refuses geometries whose short last bytes would need bits that do not
// exist.
#pragma once

#include <functional>

#include "VirtualFrame/FrameModel.h"

namespace VirtualFrame {
namespace planes {

// One plane of one block: positions 0..length-1; positions below `firstWritten` carry nothing.
struct Plane {
    int bit;           // beam-word bit it carries
    int length;        // positions
    int firstWritten;  // lower positions are fill
    int entryOffset;   // entry of position i = block base + i + entryOffset
    int tailFrom;      // positions from here on use the tail bit numbering (-1: none)
    int tailBase;      // bit of a tail position i = tailBase - i % 8
};

// Calls `visit` for every plane position with the byte index in the raw content, the bit within
// that byte and the beam-word entry and bit it carries. Returns the total raw length.
// `visit` returns false to report an impossible bit position (tail bit below 0).
using Visitor = std::function<bool(int byte, int byteBit, int entry, int wordBit)>;
int walkPairedPlanes(const FrameGeometry& g, const Visitor& visit, bool* defined = nullptr);

}  // namespace planes
}  // namespace VirtualFrame
