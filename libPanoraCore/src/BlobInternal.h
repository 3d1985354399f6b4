// Helpers shared by detection, ghost removal, lone-touch rescue and tracking. Not exported.
#pragma once

#include <cmath>
#include <cstdint>

#include "PanoraCore.h"

namespace panora {

constexpr int kMaxPolygons = 99;  // detection never fills the 100th slot
constexpr int kPolygonSlots = 100;
constexpr int kMaxVertices = 60;
constexpr int kMaxRects = 10000;
constexpr int kMaxIdentities = 48;
constexpr int kMaxBeams = 14336;
constexpr int kMaxEntries = 1024;
constexpr int kBeamListCap = 10;
constexpr float kGeomEps = 1e-6f;

// Casts an LED coordinate to an index; clamps first so nonsense geometry cannot overflow the cast.
inline int TruncIndex(double v) {
    if (!(v == v)) return 0;
    if (v > 1e7) return 10000000;
    if (v < -1e7) return -10000000;
    return static_cast<int>(v);
}

// By value on purpose: the context's fields are packed and may not be bound to references.
template <typename T>
inline T MinOf(T a, T b) {
    return b < a ? b : a;
}
template <typename T>
inline T MaxOf(T a, T b) {
    return a < b ? b : a;
}

inline int ClampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Index into the slope table that the frame's geometry fills.
inline bool ValidLine(const CoreContext* ctx, int line) {
    return line >= 0 && line < ctx->linesX + ctx->linesY && line < PANORA_SLOPE_COUNT;
}

// Lines below linesX in the slope table belong to the Y-axis LEDs (the table assumes linesX ==
// linesY).
inline bool IsYLine(const CoreContext* ctx, int line) { return line < ctx->linesX; }

// Whether a straight beam is blocked: bit halfLinesX of the LED's word is 0.
inline bool StraightBlockedY(const CoreContext* ctx, int led) {
    return ((ctx->scan[ctx->ledCountY - 1 - led] >> ctx->halfLinesX) & 1u) == 0;
}
inline bool StraightBlockedX(const CoreContext* ctx, int led) {
    return ((ctx->scan[ctx->ledCountY + led] >> ctx->halfLinesX) & 1u) == 0;
}

// Position of a band boundary: an intercept for Y lines, an abscissa at y = 0 for X lines.
double BoundaryBase(const CoreContext* ctx, int led, int line);

// Where a point lies against a line family: v.y - v.x*s for Y lines, v.x - v.y/s for X lines.
// Comparable with BoundaryBase of the same line.
double BoundaryValue(const CoreContext* ctx, int line, ODPoint v);

// A fresh blob covering a shadow rectangle (detection's rectangle blob and the lone-touch rebuild).
void RectToBlob(const CoreContext* ctx, const ShadowRect& rect, _MINI_POLYGON* blob);

// Distance in millimetres between two points in normalised frame units.
double MmDistance(const CoreContext* ctx, ODPoint a, ODPoint b);

// Records every blob into the blocked, usable beams it lies across (beamHits), clears votes and
// marks. Returns the number of beam slots in use.
int CollectBlobBeams(CoreContext* ctx);

// Beam index into beamHits / beamBalance: entry * linesX + bit.
inline int BeamIndex(const CoreContext* ctx, int entry, int bit) {
    return entry * ctx->linesX + bit;
}

// Removes blobs with trueFlag 0 and merges pairs closer than mergeMm, keeping the larger.
void DropUnconfirmedAndMerge(CoreContext* ctx, double mergeMm);

// Identity mark of a track or transient matched in the current frame. Stored as -1 - id so
// that identity 0 can carry the mark too.
inline int32_t MarkMatched(int32_t id) { return -1 - id; }
inline bool IsMatched(int32_t stored) { return stored < 0; }
inline int32_t Unmark(int32_t stored) { return stored < 0 ? -1 - stored : stored; }

}  // namespace panora
