// Lone-touch rescue: a narrow single touch can lose every candidate to carving or ghost removal;
// its shadow rectangle is taken back when slanted beams through its centre confirm it.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "BlobInternal.h"
#include "PanoraCore.h"

using namespace panora;

namespace {

constexpr int kConfirmBeams = 3;         // more than this many blocked beams confirm the touch
constexpr int kMaxBeamsPerAxis = 50;     // beams the older estimator collects per axis
constexpr uint32_t kMinFramesSeen = 70;  // the background needs this long to settle
constexpr float kLargeScreenInches = 42.0f;

bool Blocked(const CoreContext* ctx, int entry, unsigned mask) {
    return (ctx->scan[entry] & mask) == 0;
}

// Blocked beams of Y line k at LED r and its two neighbours; neighbours outside the Y block
// (the other axis or outside the array) do not count.
int CountYNeighbourhood(const CoreContext* ctx, int r, unsigned mask) {
    const int nY = ctx->ledCountY;
    const int padY = MaxOf(ctx->padLedsY, 0);
    int n = 0;
    for (int led = r - 1; led <= r + 1; ++led) {
        if (led < padY || led >= nY - padY) continue;
        if (Blocked(ctx, nY - 1 - led, mask)) ++n;
    }
    return n;
}

int CountXNeighbourhood(const CoreContext* ctx, int r, unsigned mask) {
    const int nY = ctx->ledCountY, nX = ctx->ledCountX;
    const int padX = MaxOf(ctx->padLedsX, 0);
    int n = 0;
    for (int led = r - 1; led <= r + 1; ++led) {
        if (led < padX || led >= nX - padX) continue;
        if (Blocked(ctx, nY + led, mask)) ++n;
    }
    return n;
}

// Centre line of one beam: Y beams y = c + s*x, X beams x = c + t*y.
struct BeamLine {
    bool yAxis;
    double c;
    double slope;
};

BeamLine LineOfBeam(const CoreContext* ctx, BeamRef beam) {
    const int h = ctx->halfLinesY;
    const int lineOffset = h - beam.line;  // line index -h..h of the bit
    if (beam.entry < ctx->ledCountY) {
        const int r = ctx->ledCountY - 1 - beam.entry;
        const int k = ClampInt(lineOffset + h, 0, PANORA_SLOPE_COUNT - 1);
        return BeamLine{true, (r + 0.5) * ctx->pitchY, ctx->lineSlope[k]};
    }
    const int r = beam.entry - ctx->ledCountY;
    const int k = ClampInt(ctx->linesY + h + lineOffset, 0, PANORA_SLOPE_COUNT - 1);
    const double s = ctx->lineSlope[k];
    return BeamLine{false, (r + 0.5) * ctx->pitchX, (lineOffset == 0 || s == 0.0) ? 0.0 : 1.0 / s};
}

bool BeamExists(const CoreContext* ctx, bool yAxis, int led, int bit) {
    const int lines = yAxis ? ctx->linesY : ctx->linesX;
    const int h = lines / 2;
    const int offset = h - bit;
    if (yAxis) {
        const int partner = led - ctx->ledGapY * offset;
        return partner >= 0 && partner < ctx->ledCountY;
    }
    const int partner = led + ctx->ledGapX * offset;
    return partner >= 0 && partner < ctx->ledCountX;
}

int CollectBlockedBeams(const CoreContext* ctx, bool yAxis, BeamRef* out) {
    const int lines = yAxis ? ctx->linesY : ctx->linesX;
    const int leds = yAxis ? ctx->ledCountY : ctx->ledCountX;
    const bool oddOnly = lines == 15;  // the 15-line model measures only its odd lines
    int n = 0;
    for (int led = 0; led < leds && n < kMaxBeamsPerAxis; ++led) {
        const int entry = yAxis ? ctx->ledCountY - 1 - led : ctx->ledCountY + led;
        for (int bit = 0; bit < lines && n < kMaxBeamsPerAxis; ++bit) {
            if (oddOnly && (bit & 1) == 0) continue;
            if (!BeamExists(ctx, yAxis, led, bit)) continue;
            const unsigned mask = 1u << bit;
            if ((ctx->scan[entry] & mask) != 0 || (ctx->background[entry] & mask) == 0) continue;
            out[n++] = BeamRef{entry, bit};
        }
    }
    return n;
}

}  // namespace

extern "C" {

void SingleTouchEx(CoreContext* ctx) {
    if (ctx->blobCount != 0 || ctx->rectCount < 1) return;
    _MINI_POLYGON& blob = ctx->blobs[0];
    RectToBlob(ctx, ctx->rects[0], &blob);
    const double cx = blob.cx, cy = blob.cy;
    const int nY = ctx->ledCountY, nX = ctx->ledCountX;
    const int padY = MaxOf(ctx->padLedsY, 0), padX = MaxOf(ctx->padLedsX, 0);

    int blocked = 0;
    for (int k = 0; k < ctx->linesY; ++k) {
        if (k == ctx->halfLinesY) continue;
        const int r = TruncIndex((cy - cx * ctx->lineSlope[k]) / ctx->pitchY);
        const int partner = (ctx->halfLinesY - k) * ctx->ledGapY + r;
        if (r < padY || r >= nY - padY || partner < padY || partner >= nY - padY) continue;
        const unsigned mask = (1u << (ctx->linesY - 1)) >> k;
        blocked += CountYNeighbourhood(ctx, r, mask);
    }
    for (int k = ctx->linesY; k < ctx->linesY + ctx->linesX; ++k) {
        if (k == ctx->linesY + ctx->halfLinesX) continue;
        const double s = ctx->lineSlope[k];
        if (s == 0.0) continue;
        const int r = TruncIndex((cx - cy / s) / ctx->pitchX);
        const int partner = r + (k - ctx->linesY - ctx->halfLinesX) * ctx->ledGapX;
        if (r < padX || r >= nX - padX || partner < padX || partner >= nX - padX) continue;
        const unsigned mask = (1u << (ctx->linesX - 1)) >> (k - ctx->linesX);
        blocked += CountXNeighbourhood(ctx, r, mask);
    }
    if (blocked > kConfirmBeams) {
        ctx->blobCount = ctx->workCount = 1;
    }
}

ODPoint Mini_Point_To_Point(CoreContext* ctx, BeamRef b1, BeamRef b2) {
    const ODPoint none{-1.0f, -1.0f};
    const int entries = MinOf(ctx->entryCount, kMaxEntries);
    if (b1.entry < 0 || b2.entry < 0 || b1.entry >= entries || b2.entry >= entries) return none;
    const BeamLine l1 = LineOfBeam(ctx, b1);
    const BeamLine l2 = LineOfBeam(ctx, b2);
    double x, y;
    if (l1.yAxis && l2.yAxis) {
        if (std::fabs(l1.slope - l2.slope) < 1e-12) return none;
        x = (l2.c - l1.c) / (l1.slope - l2.slope);
        y = l1.c + l1.slope * x;
    } else if (!l1.yAxis && !l2.yAxis) {
        if (std::fabs(l1.slope - l2.slope) < 1e-12) return none;
        y = (l2.c - l1.c) / (l1.slope - l2.slope);
        x = l1.c + l1.slope * y;
    } else {
        const BeamLine& yl = l1.yAxis ? l1 : l2;
        const BeamLine& xl = l1.yAxis ? l2 : l1;
        const double den = 1.0 - xl.slope * yl.slope;
        if (std::fabs(den) < 1e-12) return none;
        x = (xl.c + xl.slope * yl.c) / den;
        y = yl.c + yl.slope * x;
    }
    return ODPoint{static_cast<float>(x), static_cast<float>(y)};
}

void SingleTouch(CoreContext* ctx, int32_t minBeams) {
    if (ctx->blobCount != 0 || ctx->frameCounter < kMinFramesSeen) return;
    const int need = MaxOf<int>(minBeams, ctx->screenInches >= kLargeScreenInches ? 5 : 2);
    BeamRef yBeams[kMaxBeamsPerAxis];
    BeamRef xBeams[kMaxBeamsPerAxis];
    const int ny = CollectBlockedBeams(ctx, true, yBeams);
    const int nx = CollectBlockedBeams(ctx, false, xBeams);
    if (ny < need || nx < need) return;
    double sx = 0.0, sy = 0.0;
    int crossings = 0;
    for (int i = 0; i < ny; ++i) {
        for (int j = 0; j < nx; ++j) {
            const ODPoint p = Mini_Point_To_Point(ctx, yBeams[i], xBeams[j]);
            if (p.x < 0.0f || p.x > 1.0f || p.y < 0.0f || p.y > 1.0f) continue;
            sx += p.x;
            sy += p.y;
            ++crossings;
        }
    }
    if (crossings == 0) return;
    const float cx = static_cast<float>(sx / crossings), cy = static_cast<float>(sy / crossings);
    _MINI_POLYGON& blob = ctx->blobs[0];
    std::memset(&blob, 0, sizeof(blob));
    const float hx = ctx->pitchX * 0.5f, hy = ctx->pitchY * 0.5f;
    blob.pts[0] = ODPoint{cx - hx, cy - hy};
    blob.pts[1] = ODPoint{cx + hx, cy - hy};
    blob.pts[2] = ODPoint{cx + hx, cy + hy};
    blob.pts[3] = ODPoint{cx - hx, cy + hy};
    blob.ptCount = 4;
    GetPolygonSize(&blob);
    blob.kind = 1;
    blob.id = -1;
    blob.age = -1;
    ctx->blobCount = ctx->workCount = 1;
}

}  // extern "C"
