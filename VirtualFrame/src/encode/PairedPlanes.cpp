#include "PairedPlanes.h"

namespace VirtualFrame {
namespace planes {

namespace {

int bytesFor(int bits) { return bits > 0 ? (bits + 7) / 8 : 0; }
int roundDown8(int value) { return value > 0 ? value / 8 * 8 : 0; }

struct Unit {
    Plane a;
    Plane b;
    bool single;
};

// One block (X: base nY, n = nX; Y: base 0, n = nY). Plane A of a pair uses the even bytes of
// the unit's run, plane B the odd ones; a single plane uses the even bytes only.
int walkBlock(int base, int n, int g, bool xBlock, int offset, const Visitor& visit,
              bool& defined) {
    const int t1 = xBlock ? 5 : 1, t2 = xBlock ? -1 : 6, t3 = xBlock ? 2 : 3, t4 = xBlock ? 0 : 1;
    const int tail2 = xBlock ? -1 : roundDown8(n);
    const Unit units[] = {
        {{0, n - 2 * g, g, -g, roundDown8(n - 2 * g), t1},
         {1, n - 2 * g, 0, 0, roundDown8(n - 2 * g), t1},
         false},
        {{2, n, g, -g, tail2, t2}, {3, n, 0, 0, tail2, t2}, false},
        {{4, n - g, 0, g, roundDown8(n - g), t3},
         {5, n - 2 * g, 0, 2 * g, roundDown8(n - g), t3},
         false},
        {{6, n - 3 * g, 0, 3 * g, roundDown8(n - 3 * g), t4}, {}, true},
    };
    for (const Unit& unit : units) {
        const int runBytes = 2 * bytesFor(unit.a.length);
        const int planesInUnit = unit.single ? 1 : 2;
        for (int p = 0; p < planesInUnit; ++p) {
            const Plane& plane = p == 0 ? unit.a : unit.b;
            for (int i = plane.firstWritten; i < plane.length; ++i) {
                const int byte = offset + p + 2 * (i / 8);
                int bit = 7 - i % 8;
                if (plane.tailFrom >= 0 && i >= plane.tailFrom) bit = plane.tailBase - i % 8;
                if (bit < 0) {
                    defined = false;
                    continue;
                }
                if (!visit(byte, bit, base + i + plane.entryOffset, plane.bit)) defined = false;
            }
        }
        offset += runBytes;
    }
    return offset;
}

}  // namespace

int walkPairedPlanes(const FrameGeometry& g, const Visitor& visit, bool* defined) {
    bool ok = true;
    int offset = walkBlock(g.ledsY, g.ledsX, g.gapX, true, 0, visit, ok);
    offset = walkBlock(0, g.ledsY, g.gapY, false, offset, visit, ok);
    if (defined) *defined = ok;
    return offset;
}

}  // namespace planes
}  // namespace VirtualFrame
