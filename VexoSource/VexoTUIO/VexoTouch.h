// One touch point as the outputs see it. Crosses the boundary between the
// device threads and the TUIO thread, so its layout is fixed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VexoSource {

#pragma pack(push, 4)
struct VexoTouch_S {
    float x;       // centre, normalised 0..1 across the screen
    float y;       // centre, normalised 0..1 down the screen
    float width;   // bounding box, units of x
    float height;  // bounding box, units of y
    float area;    // outline area
    uint32_t id;   // global contact identity: slot * 48 + blob id, 0..239
};
#pragma pack(pop)

static_assert(sizeof(VexoTouch_S) == 24, "VexoTouch_S is a 24-byte wire record");
static_assert(offsetof(VexoTouch_S, id) == 20, "VexoTouch_S field layout");

// Size of the TUIO hand-off table, indexed by contact id.
constexpr uint32_t kVexoTouchTableSize = 256;

}  // namespace VexoSource
