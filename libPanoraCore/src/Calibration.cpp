// Screen calibration: the two-triangle piecewise-affine map from frame to screen coordinates.
#include <cmath>

#include "PanoraCore.h"

namespace {

constexpr float kMapEps = 1e-6f;

const ODPoint kScreenTri[6] = {{0, 0}, {1, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 1}};

// Cross product of (b - a) and (p - a).
float Cross(ODPoint a, ODPoint b, ODPoint p) {
    return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
}

bool SameSide(ODPoint p1, ODPoint p2, ODPoint a, ODPoint b) {
    return Cross(a, b, p1) * Cross(a, b, p2) >= 0.0f;
}

ODPoint ScaleAbout(ODPoint p, ODPoint centre, float sx, float sy) {
    return ODPoint{(p.x - centre.x) * sx + centre.x, (p.y - centre.y) * sy + centre.y};
}

// Barycentric map of p from triangle (a, b, c) onto (sa, sb, sc). False for a triangle that
// has collapsed to a line, which maps nothing.
bool MapThrough(ODPoint* p, const ODPoint* src, const ODPoint* dst) {
    const ODPoint A = src[0], B = src[1], C = src[2];
    const float den = (A.x - B.x) * (A.y - C.y) - (A.y - B.y) * (A.x - C.x);
    if (std::fabs(den) < 1e-12f) return false;
    const float l1 = ((p->x - B.x) * (p->y - C.y) - (p->y - B.y) * (p->x - C.x)) / den;
    const float l2 = ((A.x - p->x) * (A.y - C.y) - (A.x - C.x) * (A.y - p->y)) / den;
    const float l3 = 1.0f - l1 - l2;
    *p = ODPoint{l1 * dst[0].x + l2 * dst[1].x + l3 * dst[2].x,
                 l1 * dst[0].y + l2 * dst[1].y + l3 * dst[2].y};
    return true;
}

void RemoveBlob(CoreContext* ctx, int i) {
    const int oldCount = ctx->blobCount;
    for (int j = i + 1; j < oldCount; ++j) ctx->blobs[j - 1] = ctx->blobs[j];
    ctx->blobCount = oldCount - 1;
    if (ctx->workCount >= oldCount) ctx->workCount -= 1;
}

float ClampUnit(float v) {
    if (v >= 1.0f) return 1.0f;
    if (!(v > 0.0f)) return 0.0f;
    return v;
}

}  // namespace

extern "C" {

ODPoint getLinesEncouterPoint(ODPoint p1, ODPoint p2, ODPoint q1, ODPoint q2) {
    const ODPoint none{0.0f, 0.0f};
    if (p1.y == p2.y || q1.y == q2.y || p1.x == p2.x || q1.x == q2.x) return none;
    const float k1 = (p2.y - p1.y) / (p2.x - p1.x);
    const float k2 = (q2.y - q1.y) / (q2.x - q1.x);
    if (k1 == k2) return none;
    const float x = (q1.y - p1.y + k1 * p1.x - k2 * q1.x) / (k1 - k2);
    return ODPoint{x, (x - p1.x) * k1 + p1.y};
}

uint32_t isPointInTriangle(ODPoint p, ODPoint a, ODPoint b, ODPoint c) {
    return SameSide(p, a, b, c) && SameSide(p, b, a, c) && SameSide(p, c, a, b) ? 1u : 0u;
}

float Matrix3Pt(ODPoint a, ODPoint b, ODPoint c) {
    return ((b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y)) / 2.0f;
}

uint32_t OrdaloScreenCalibrationEx(CoreContext* ctx, ODPoint a0, ODPoint a1, ODPoint /*a2*/,
                                   ODPoint a3, ODPoint a4, ODPoint a5, ODPoint a6, ODPoint a7) {
    if (ctx == nullptr) return 0;
    for (int i = 0; i < 6; ++i) ctx->screenTri[i] = kScreenTri[i];
    const float spanX = a3.x - a0.x;
    const float spanY = a1.y - a0.y;
    if (!(std::fabs(spanX) > kMapEps) || !(std::fabs(spanY) > kMapEps)) {
        // Reference points on one line give no scale: leave the frame unmapped.
        ctx->mapCentre = ODPoint{0.0f, 0.0f};
        for (int i = 0; i < 6; ++i) ctx->frameTri[i] = kScreenTri[i];
        return 0;
    }
    const ODPoint m = getLinesEncouterPoint(a4, a6, a7, a5);
    const float sx = 1.0f / spanX;
    const float sy = 1.0f / spanY;
    const ODPoint p4 = ScaleAbout(a4, m, sx, sy);
    const ODPoint p5 = ScaleAbout(a5, m, sx, sy);
    const ODPoint p6 = ScaleAbout(a6, m, sx, sy);
    const ODPoint p7 = ScaleAbout(a7, m, sx, sy);
    ctx->frameTri[0] = p4;
    ctx->frameTri[1] = p7;
    ctx->frameTri[2] = p5;
    ctx->frameTri[3] = p7;
    ctx->frameTri[4] = p6;
    ctx->frameTri[5] = p5;
    ctx->mapCentre = m;
    return 1;
}

uint32_t touchFrameToScreenSpace(CoreContext* ctx, ODPoint* p) {
    if (ctx == nullptr || p == nullptr) return 0;
    const ODPoint* f = ctx->frameTri;
    if (isPointInTriangle(*p, f[0], f[1], f[2]) && MapThrough(p, &f[0], &ctx->screenTri[0])) {
        return 2;
    }
    if (isPointInTriangle(*p, f[3], f[4], f[5]) && MapThrough(p, &f[3], &ctx->screenTri[3])) {
        return 5;
    }
    *p = ODPoint{-1.0f, -1.0f};
    return 0;
}

void CalibrationPoints(CoreContext* ctx) {
    if (ctx == nullptr) return;
    if (ctx->blobCount > PANORA_MAX_POLYGONS) ctx->blobCount = PANORA_MAX_POLYGONS;
    const bool mapped = ctx->mapCentre.x > kMapEps || ctx->mapCentre.y > kMapEps;
    const int physX = ctx->ledCountX - 2 * ctx->padLedsX;
    const int physY = ctx->ledCountY - 2 * ctx->padLedsY;
    const double marginX = physX > 0 ? static_cast<double>(ctx->ledCountX) / physX : 1.0;
    const double marginY = physY > 0 ? static_cast<double>(ctx->ledCountY) / physY : 1.0;
    int i = 0;
    while (i < ctx->blobCount) {
        _MINI_POLYGON& b = ctx->blobs[i];
        const int nPts = b.ptCount > PANORA_MAX_VERTICES ? PANORA_MAX_VERTICES : b.ptCount;
        if (ctx->mirrorX) {
            b.cx = 1.0f - b.cx;
            for (int k = 0; k < nPts; ++k) b.pts[k].x = 1.0f - b.pts[k].x;
        }
        if (ctx->mirrorY) {
            b.cy = 1.0f - b.cy;
            for (int k = 0; k < nPts; ++k) b.pts[k].y = 1.0f - b.pts[k].y;
        }
        ODPoint c{static_cast<float>((b.cx - 0.5) * marginX + 0.5),
                  static_cast<float>((b.cy - 0.5) * marginY + 0.5)};
        if (mapped) touchFrameToScreenSpace(ctx, &c);
        if (c.x < -0.5f && c.y < -0.5f) {
            RemoveBlob(ctx, i);
            continue;
        }
        b.cx = ClampUnit(c.x);
        b.cy = ClampUnit(c.y);
        ++i;
    }
}

}  // extern "C"
