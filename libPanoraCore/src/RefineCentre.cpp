// Sub-LED refinement of blob centres. Detection places a lone small shadow at the middle of its
// blocked straight beams, on a half-LED grid; carving leaves polygons whose box middle is no
// better. Every beam is one bit, but the set of beams a finger blocks in every line family says
// more: a disc of radius R blocks exactly the run lo..hi of a family when its centre lies within
// R of the beams lo..hi and farther than R from lo-1 and hi+1. Intersecting those strips for all
// families, over the radii they agree on, leaves a small region; its centroid is the refined
// centre.
//
// Work happens in LED units (x / pitchX, y / pitchY), where one LED step is mmPerLed on both
// axes, so discs stay round and distances are plain Euclidean.
#include <cmath>
#include <cstring>
#include <limits>

#include "BlobInternal.h"
#include "PanoraCore.h"

using namespace panora;

namespace {

constexpr int kMaxFamilies = 2 * PANORA_MAX_LINES;
constexpr int kMinFamilies = 3;          // fewer leave the region unbounded in some direction
constexpr double kMaxMoveLeds = 1.5;     // a farther move means the runs belong to something else
constexpr double kMaxRunMm = 40.0;       // longer runs are palms, merged shadows or dead lines
constexpr int kSearchLeds = 2;           // how far from the centre a family's run may start
constexpr int kMinOwnRuns = 2;           // runs bounded on both ends an axis needs to move
constexpr double kApartLeds = 2.5;       // another blob's centre this near a run may share it
constexpr int kGridSteps = 8;           // integration steps per axis over the fitting region
constexpr int kMaxRegionVertices = 4 + 2 * kMaxFamilies + 4;
constexpr double kInf = std::numeric_limits<double>::infinity();

// One line family's evidence: u = a*X + b*Y is the family's coordinate across its beams (beam r
// runs along u = r + 0.5); `stretch` turns a radius into the half-width of the disc's shadow on
// u. Beams lo..hi are blocked; lo-1 (hi+1) is known to have arrived when loClear (hiClear).
struct FamilyRun {
    double a, b, stretch;
    int lo, hi;
    bool loClear, hiClear;
    double rMin, rMax;  // radii (LED units) for which the run can be exactly this
};

// The beams of one family: LED r's bit in the scan word and whether the beam exists.
struct FamilyBeams {
    const CoreContext* ctx;
    bool yAxis;
    int line;  // -h..h
    int bit;

    // 1 blocked, 0 arrived, -1 unknown (no such beam, or masked by the background).
    int State(int r) const {
        const int nY = ctx->ledCountY, nX = ctx->ledCountX;
        const int n = yAxis ? nY : nX;
        const int pad = MaxOf(yAxis ? ctx->padLedsY : ctx->padLedsX, 0);
        const int partner = yAxis ? r - ctx->ledGapY * line : r + ctx->ledGapX * line;
        if (r < pad || r >= n - pad || partner < pad || partner >= n - pad) return -1;
        const int entry = yAxis ? nY - 1 - r : nY + r;
        if (((ctx->background[entry] >> bit) & 1u) == 0) return -1;
        return ((ctx->scan[entry] >> bit) & 1u) == 0 ? 1 : 0;
    }
};

// Finds the blocked run of a family nearest to coordinate u0. False when there is none close by
// or it is too long to be one finger's.
bool FindRun(const FamilyBeams& beams, double u0, int maxRun, FamilyRun* run) {
    const int r0 = TruncIndex(std::floor(u0));
    int start = -1;
    for (int d = 0; d <= kSearchLeds && start < 0; ++d) {
        if (beams.State(r0 - d) == 1) start = r0 - d;
        else if (d > 0 && beams.State(r0 + d) == 1) start = r0 + d;
    }
    if (start < 0) return false;
    int lo = start, hi = start;
    while (hi - lo < maxRun && beams.State(lo - 1) == 1) --lo;
    while (hi - lo < maxRun && beams.State(hi + 1) == 1) ++hi;
    if (hi - lo >= maxRun) return false;
    run->lo = lo;
    run->hi = hi;
    run->loClear = beams.State(lo - 1) == 0;
    run->hiClear = beams.State(hi + 1) == 0;
    const double n = hi - lo + 1;
    run->rMin = (n - 1) * 0.5 / run->stretch;
    run->rMax = run->loClear && run->hiClear ? (n + 1) * 0.5 / run->stretch : kInf;
    return true;
}

// Another blob whose shadow in this family may touch or merge with the run makes that end of
// the run its own: the run keeps only the end facing away from it (the far LED blocked by this
// blob, the beam beyond it arrived). Returns false when both ends may be shared, or the other
// blob sits so close that even the far end may be its shadow.
bool KeepOwnEnd(const CoreContext* ctx, int self, FamilyRun* run, int* shared) {
    const double mid = (run->lo + run->hi + 1) * 0.5;
    const double reach = (run->hi - run->lo + 1) * 0.5 + kApartLeds;
    const int count = ClampInt(ctx->blobCount, 0, kPolygonSlots);
    bool sharedLo = false, sharedHi = false;
    for (int o = 0; o < count; ++o) {
        if (o == self) continue;
        const double u = run->a * ctx->blobs[o].cx / ctx->pitchX +
                         run->b * ctx->blobs[o].cy / ctx->pitchY;
        const double d = u - mid;
        if (std::fabs(d) >= reach) continue;
        *shared += 1;
        if (std::fabs(d) < kApartLeds - 1.0) return false;
        (d > 0 ? sharedHi : sharedLo) = true;
    }
    if (sharedLo && sharedHi) return false;
    if (sharedHi) {
        run->hi = run->lo;
        run->hiClear = false;
    } else if (sharedLo) {
        run->lo = run->hi;
        run->loClear = false;
    } else {
        return true;
    }
    run->rMin = 0.0;
    run->rMax = kInf;
    return true;
}

// Collects the runs of every family around blob `self`'s centre (X, Y in LED units).
// sharedX, sharedY count the families of each axis a neighbour's shadow reached.
int CollectRuns(const CoreContext* ctx, int self, double X, double Y, FamilyRun* runs,
                int* sharedX, int* sharedY) {
    const double px = ctx->pitchX, py = ctx->pitchY;
    const int maxRun = MaxOf(1, static_cast<int>(kMaxRunMm / ctx->mmPerLed));
    int count = 0;
    const int hY = ctx->halfLinesY, hX = ctx->halfLinesX;
    for (int i = -hY; i <= hY && count < kMaxFamilies; ++i) {
        // Y line i: Y = r + 0.5 + S*X.
        const double S = static_cast<double>(ctx->lineSlope[i + hY]) * px / py;
        FamilyRun run{-S, 1.0, std::sqrt(1.0 + S * S), 0, 0, false, false, 0, 0};
        const FamilyBeams beams{ctx, true, i, ctx->linesY - 1 - hY - i};
        if (FindRun(beams, Y - S * X, maxRun, &run) && KeepOwnEnd(ctx, self, &run, sharedY))
            runs[count++] = run;
    }
    for (int j = -hX; j <= hX && count < kMaxFamilies; ++j) {
        // X line j: X = r + 0.5 + T*Y, T from the slope table's dy/dx.
        const double s = ctx->lineSlope[ctx->linesY + hY + j];
        if (j != 0 && s == 0.0) continue;
        const double T = j == 0 ? 0.0 : (1.0 / s) * py / px;
        FamilyRun run{1.0, -T, std::sqrt(1.0 + T * T), 0, 0, false, false, 0, 0};
        const FamilyBeams beams{ctx, false, j, ctx->linesY - 1 - hY - j};
        if (FindRun(beams, X - T * Y, maxRun, &run) && KeepOwnEnd(ctx, self, &run, sharedX))
            runs[count++] = run;
    }
    return count;
}

// Keeps the families that agree on the radius most of them allow; returns how many, with the
// agreed interval in *rLo, *rHi.
int AgreeOnRadius(FamilyRun* runs, int count, double* rLo, double* rHi) {
    double best = -1.0;
    int bestCover = 0;
    // The best-covered radius is the lower end of some interval.
    for (int k = 0; k < count; ++k) {
        const double r = runs[k].rMin;
        int cover = 0;
        for (int m = 0; m < count; ++m) cover += (runs[m].rMin <= r && r <= runs[m].rMax) ? 1 : 0;
        if (cover > bestCover) {
            bestCover = cover;
            best = r;
        }
    }
    int kept = 0;
    *rLo = 0.0;
    *rHi = kInf;
    for (int k = 0; k < count; ++k) {
        if (!(runs[k].rMin <= best && best <= runs[k].rMax)) continue;
        *rLo = MaxOf(*rLo, runs[k].rMin);
        *rHi = MinOf(*rHi, runs[k].rMax);
        runs[kept++] = runs[k];
    }
    return kept;
}

struct Pt {
    double x, y;
};

// Clips a convex polygon to a*x + b*y >= c (Sutherland-Hodgman, one edge). Returns -1, writing
// nothing, when every vertex already satisfies it.
int ClipHalfPlane(const Pt* in, int n, double a, double b, double c, Pt* out) {
    bool inside = true;
    for (int i = 0; i < n && inside; ++i) inside = a * in[i].x + b * in[i].y - c >= 0;
    if (inside) return -1;
    int m = 0;
    for (int i = 0; i < n && m < kMaxRegionVertices - 1; ++i) {
        const Pt p = in[i], q = in[(i + 1) % n];
        const double fp = a * p.x + b * p.y - c, fq = a * q.x + b * q.y - c;
        if (fp >= 0) out[m++] = p;
        if ((fp >= 0) != (fq >= 0)) {
            const double t = fp / (fp - fq);
            out[m++] = Pt{p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)};
        }
    }
    return m;
}

// Clips the polygon in `bufs[*cur]` by the necessary condition of every run (a disc reaching hi
// but not lo-1 has its centre past their midpoint, and likewise on the other side): the
// positions where some radius may fit. The two buffers take turns; *cur names the one holding
// the result. Returns the vertex count left.
int ClipToRuns(const FamilyRun* runs, int count, Pt (*bufs)[kMaxRegionVertices], int* cur, int n) {
    auto clip = [&](double a, double b, double c) {
        const int m = ClipHalfPlane(bufs[*cur], n, a, b, c, bufs[1 - *cur]);
        if (m < 0) return;
        *cur = 1 - *cur;
        n = m;
    };
    for (int k = 0; k < count && n >= 3; ++k) {
        const FamilyRun& f = runs[k];
        if (f.loClear) clip(f.a, f.b, (f.lo - 0.5 + f.hi + 0.5) * 0.5);
        if (f.hiClear && n >= 3) clip(-f.a, -f.b, -(f.lo + 0.5 + f.hi + 1.5) * 0.5);
    }
    return n;
}

// The x interval a horizontal line at y cuts from a convex polygon; false when it misses it.
bool RowSpan(const Pt* poly, int n, double y, double* xl, double* xr) {
    double lo = kInf, hi = -kInf;
    for (int i = 0; i < n; ++i) {
        const Pt p = poly[i], q = poly[(i + 1) % n];
        if ((p.y <= y) == (q.y <= y)) continue;
        const double x = p.x + (y - p.y) * (q.x - p.x) / (q.y - p.y);
        lo = MinOf(lo, x);
        hi = MaxOf(hi, x);
    }
    *xl = lo;
    *xr = hi;
    return lo <= hi;
}

// The refined centre of one blob in LED units, or false to keep the old one.
//
// The positions and radii that fit every run form a convex body in (x, y, R); its centroid is
// the estimate. Over (x, y) the body's thickness in R is min(rHigh) - max(rLow) of the
// families, so the centroid is the thickness-weighted mean position, integrated on a grid over
// the small polygon where any radius can fit.
bool RefinedCentre(const CoreContext* ctx, int self, double* outX, double* outY) {
    const _MINI_POLYGON& blob = ctx->blobs[self];
    const double px = ctx->pitchX, py = ctx->pitchY;
    const double X = blob.cx / px, Y = blob.cy / py;
    // The function is exported: a caller's blob may hold anything.
    if (!std::isfinite(X) || !std::isfinite(Y) || !std::isfinite(blob.width) ||
        !std::isfinite(blob.height)) {
        return false;
    }
    FamilyRun runs[kMaxFamilies];
    int sharedX = 0, sharedY = 0;
    const int found = CollectRuns(ctx, self, X, Y, runs, &sharedX, &sharedY);
    if (found < kMinFamilies) return false;
    double rLo, rHi;
    const int count = AgreeOnRadius(runs, found, &rLo, &rHi);
    if (count < kMinFamilies || rLo > rHi) return false;
    // With every run open on one side the radius has no upper bound of its own.
    const double rCap = std::isfinite(rHi) ? rHi : rLo + 1.0;

    // The blob's box, one LED wider on each side and kept on the frame: the centre cannot lie
    // beyond the straight beams the blob came from.
    const double hw = blob.width / px * 0.5 + 1.0, hh = blob.height / py * 0.5 + 1.0;
    const double x0 = MaxOf(0.0, X - hw), x1 = MinOf<double>(ctx->ledCountX, X + hw);
    const double y0 = MaxOf(0.0, Y - hh), y1 = MinOf<double>(ctx->ledCountY, Y + hh);
    if (!(x0 < x1 && y0 < y1)) return false;
    Pt bufs[2][kMaxRegionVertices] = {{{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}};
    int cur = 0;
    const int n = ClipToRuns(runs, count, bufs, &cur, 4);
    if (n < 3) return false;
    const Pt* region = bufs[cur];
    double bx0 = region[0].x, bx1 = bx0, by0 = region[0].y, by1 = by0;
    for (int i = 1; i < n; ++i) {
        bx0 = MinOf(bx0, region[i].x), bx1 = MaxOf(bx1, region[i].x);
        by0 = MinOf(by0, region[i].y), by1 = MaxOf(by1, region[i].y);
    }

    double weight = 0.0, sx = 0.0, sy = 0.0;
    const double dx = (bx1 - bx0) / kGridSteps, dy = (by1 - by0) / kGridSteps;
    // Each family's coordinate u advances by a fixed step along a grid row.
    // Per family: beam centres of the run's ends and of the arrived beams beyond them (far away
    // where that beam is unknown, so that it bounds nothing).
    double inv[kMaxFamilies], rowU[kMaxFamilies], stepU[kMaxFamilies];
    double loIn[kMaxFamilies], hiIn[kMaxFamilies], loOut[kMaxFamilies], hiOut[kMaxFamilies];
    for (int k = 0; k < count; ++k) {
        const FamilyRun& f = runs[k];
        inv[k] = 1.0 / f.stretch;
        stepU[k] = f.a * dx;
        loIn[k] = f.lo + 0.5;
        hiIn[k] = f.hi + 0.5;
        loOut[k] = f.loClear ? f.lo - 0.5 : -1e30;
        hiOut[k] = f.hiClear ? f.hi + 1.5 : 1e30;
    }
    for (int iy = 0; iy < kGridSteps; ++iy) {
        const double y = by0 + (iy + 0.5) * dy;
        // Grid points outside the clipped region fail some run's condition: only the row's
        // stretch inside it is weighed.
        double xl, xr;
        if (!RowSpan(region, n, y, &xl, &xr)) continue;
        int ixFrom = 0, ixTo = kGridSteps - 1;
        if (dx > 0.0) {
            ixFrom = MaxOf(ixFrom, TruncIndex(std::floor((xl - bx0) / dx - 0.5)));
            ixTo = MinOf(ixTo, TruncIndex(std::ceil((xr - bx0) / dx - 0.5)));
        }
        for (int k = 0; k < count; ++k) rowU[k] = runs[k].a * (bx0 + 0.5 * dx) + runs[k].b * y;
        for (int ix = ixFrom; ix <= ixTo; ++ix) {
            double low = rLo, high = rCap;
            for (int k = 0; k < count && low < high; ++k) {
                const double u = rowU[k] + ix * stepU[k];
                low = MaxOf(low, MaxOf(u - loIn[k], hiIn[k] - u) * inv[k]);
                high = MinOf(high, MinOf(u - loOut[k], hiOut[k] - u) * inv[k]);
            }
            if (!(high > low)) continue;
            const double x = bx0 + (ix + 0.5) * dx;
            weight += high - low;
            sx += (high - low) * x;
            sy += (high - low) * y;
        }
    }
    if (!(weight > 0.0)) return false;
    // A coordinate only few runs of its own axis bound (the others merged with a neighbour's
    // shadow) is better left where detection put it.
    int ownX = 0, ownY = 0;
    for (int k = 0; k < count; ++k) {
        if (!runs[k].loClear || !runs[k].hiClear) continue;
        (runs[k].b == 1.0 ? ownY : ownX) += 1;
    }
    const double nx = sharedX == 0 || ownX >= kMinOwnRuns ? sx / weight : X;
    const double ny = sharedY == 0 || ownY >= kMinOwnRuns ? sy / weight : Y;
    if (std::hypot(nx - X, ny - Y) > kMaxMoveLeds) return false;
    *outX = nx;
    *outY = ny;
    return true;
}

}  // namespace

extern "C" {

void RefineBlobCentres(CoreContext* ctx) {
    if (ctx == nullptr || ctx->mmPerLed <= 0.0f) return;
    const int count = ClampInt(ctx->blobCount, 0, kPolygonSlots);
    for (int b = 0; b < count; ++b) {
        _MINI_POLYGON& blob = ctx->blobs[b];
        double X, Y;
        if (!RefinedCentre(ctx, b, &X, &Y)) continue;
        blob.cx = static_cast<float>(X * ctx->pitchX);
        blob.cy = static_cast<float>(Y * ctx->pitchY);
    }
}

}  // extern "C"
