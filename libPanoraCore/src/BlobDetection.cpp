// Candidate touch polygons from the beam words: shadow rectangles of the straight beams, carved by
// every band of slanted beams that arrived.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "BlobInternal.h"
#include "PanoraCore.h"

using namespace panora;

namespace {

constexpr int kMaxRuns = 32;

struct Run {
    int begin;
    int end;  // one past
};

// Maximal runs of LEDs in [from, to) for which blocked(led) holds.
template <typename Pred>
int FindRuns(int from, int to, int cap, Run* out, Pred blocked) {
    int n = 0;
    int led = from;
    while (led < to && n < cap) {
        if (!blocked(led)) {
            ++led;
            continue;
        }
        const int start = led;
        while (led < to && blocked(led)) ++led;
        out[n++] = Run{start, led};
    }
    return n;
}

void AppendRect(CoreContext* ctx, int x0, int x1, int y0, int y1) {
    if (ctx->rectCount < 0) ctx->rectCount = 0;
    if (ctx->rectCount >= kMaxRects) return;
    ctx->rects[ctx->rectCount++] = ShadowRect{x0, x1, y0, y1};
}

// Side of the band (relative to boundary `led`) on which a point lies: > 0 outside.
double OutsideValue(const CoreContext* ctx, const BeamBand& band, int led, ODPoint v) {
    const int other = (led == band.a) ? band.b : band.a;
    const double base = BoundaryBase(ctx, led, band.line);
    const double otherBase = BoundaryBase(ctx, other, band.line);
    const double value = BoundaryValue(ctx, band.line, v) - base;
    return otherBase >= base ? -value : value;
}

enum class Fragment { kBuilt, kNothingOutside, kTooManyVertices };

// The part of `poly` beyond boundary `led`, given the boundary's two crossings c1 (earlier edge)
// and c2: the vertices between the crossings on the side away from the band.
Fragment BuildOutsideFragment(CoreContext* ctx, const _MINI_POLYGON& poly, const BeamBand& band,
                              int led, const EdgeCrossing& c1, const EdgeCrossing& c2,
                              _MINI_POLYGON* out) {
    const int n = MinOf<int>(poly.ptCount, kMaxVertices);
    if (c1.edgeFrom == c2.edgeFrom) return Fragment::kNothingOutside;
    ODPoint pieces[2][kMaxVertices + 2];
    int counts[2] = {0, 0};
    double far[2] = {0.0, 0.0};
    const EdgeCrossing* ends[2][2] = {{&c1, &c2}, {&c2, &c1}};
    const int spans[2][2] = {{c1.edgeFrom + 1, c2.edgeFrom}, {c2.edgeFrom + 1, c1.edgeFrom + n}};
    for (int k = 0; k < 2; ++k) {
        ODPoint* pts = pieces[k];
        int m = 0;
        pts[m++] = ends[k][0]->point;
        for (int i = spans[k][0]; i <= spans[k][1] && m < kMaxVertices + 1; ++i) {
            const ODPoint v = poly.pts[i % n];
            const double side = OutsideValue(ctx, band, led, v);
            if (std::fabs(side) > std::fabs(far[k])) far[k] = side;
            // A crossing at a vertex repeats that vertex; keep one copy.
            if (std::fabs(v.x - pts[m - 1].x) + std::fabs(v.y - pts[m - 1].y) < kGeomEps) continue;
            pts[m++] = v;
        }
        const ODPoint last = ends[k][1]->point;
        if (std::fabs(last.x - pts[m - 1].x) + std::fabs(last.y - pts[m - 1].y) >= kGeomEps &&
            std::fabs(last.x - pts[0].x) + std::fabs(last.y - pts[0].y) >= kGeomEps) {
            pts[m++] = last;
        }
        counts[k] = m;
    }
    const int k = far[0] > far[1] ? 0 : 1;
    if (far[k] <= kGeomEps) return Fragment::kNothingOutside;
    if (counts[k] < 3) return Fragment::kNothingOutside;
    if (counts[k] > kMaxVertices) return Fragment::kTooManyVertices;
    *out = poly;
    std::memcpy(out->pts, pieces[k], sizeof(ODPoint) * static_cast<size_t>(counts[k]));
    out->ptCount = static_cast<uint8_t>(counts[k]);
    GetPolygonSize(out);
    removeSameVertex(ctx, out);
    return out->ptCount >= 3 ? Fragment::kBuilt : Fragment::kNothingOutside;
}

// Whole polygon lies on the band side of boundary `led` (judged from its farthest vertex).
bool PolygonOnBandSide(const CoreContext* ctx, const _MINI_POLYGON& poly, const BeamBand& band,
                       int led) {
    double far = 0.0;
    for (int i = 0; i < poly.ptCount; ++i) {
        const double side = OutsideValue(ctx, band, led, poly.pts[i]);
        if (std::fabs(side) > std::fabs(far)) far = side;
    }
    return far < 0.0;
}

// Replaces polygon p by its part beyond one crossed boundary. Step result 1 kept/replaced,
// 0 when nothing is left.
uint32_t CutOneBoundary(CoreContext* ctx, uint8_t p, const BeamBand& band, int led,
                        const EdgeCrossing& c1, const EdgeCrossing& c2) {
    _MINI_POLYGON fragment;
    switch (BuildOutsideFragment(ctx, ctx->blobs[p], band, led, c1, c2, &fragment)) {
        case Fragment::kBuilt:
            ctx->blobs[p] = fragment;
            return 1;
        case Fragment::kTooManyVertices:
            return 1;
        case Fragment::kNothingOutside:
            break;
    }
    // Only a sliver along the boundary would remain outside: the polygon lies in the band.
    if (PolygonOnBandSide(ctx, ctx->blobs[p], band, led)) {
        DeletePoly(ctx, p);
        return 0;
    }
    return 1;
}

// PolygonSubPallelograms, adding the work done to *cost.
uint32_t SubtractBand(CoreContext* ctx, uint8_t p, BeamBand* band, long* cost);

}  // namespace

extern "C" {

uint32_t LinesIsEncounter(CoreContext* ctx, int32_t led, uint8_t line, EdgeCrossing* out, ODPoint p,
                          ODPoint q) {
    if (!ValidLine(ctx, line)) return 0;
    const double base = BoundaryBase(ctx, led, line);
    const bool vertical = std::fabs(static_cast<double>(p.x) - q.x) < kGeomEps;
    const bool straightX = !IsYLine(ctx, line) && line == ctx->linesY + ctx->halfLinesY;
    if (!straightX && !vertical) {
        const double m = (static_cast<double>(q.y) - p.y) / (static_cast<double>(q.x) - p.x);
        if (std::fabs(ctx->lineSlope[line] - m) < kGeomEps) return 0;
    }
    if (straightX && vertical) return 0;
    const double fp = BoundaryValue(ctx, line, p);
    const double fq = BoundaryValue(ctx, line, q);
    if (std::fabs(fp - base) < kGeomEps) {
        out->point = p;
        out->atVertex = 1;
        return 1;
    }
    if (std::fabs(fq - base) < kGeomEps) return 0;
    if (!((fp < base && base < fq) || (fq < base && base < fp))) return 0;
    // Parametric form: exact at both ends and free of the division by the edge's slope.
    const double t = (base - fp) / (fq - fp);
    out->point.x = static_cast<float>(p.x + t * (static_cast<double>(q.x) - p.x));
    out->point.y = static_cast<float>(p.y + t * (static_cast<double>(q.y) - p.y));
    out->atVertex = 0;
    return 1;
}

uint32_t PointInArea(CoreContext* ctx, BeamBand* band, ODPoint* v) {
    if (!ValidLine(ctx, band->line)) return 0;
    const double value = BoundaryValue(ctx, band->line, *v);
    const double ba = BoundaryBase(ctx, band->a, band->line);
    const double bb = BoundaryBase(ctx, band->b, band->line);
    const double lo = ba < bb ? ba : bb;
    const double hi = ba < bb ? bb : ba;
    return (value >= lo - kGeomEps && value <= hi + kGeomEps) ? 1u : 0u;
}

uint32_t PolygonSubPallelograms(CoreContext* ctx, uint8_t p, BeamBand* band) {
    long cost = 0;
    return SubtractBand(ctx, p, band, &cost);
}

}  // extern "C"

namespace {

uint32_t SubtractBand(CoreContext* ctx, uint8_t p, BeamBand* band, long* cost) {
    if (p >= ctx->workCount || p >= kPolygonSlots || !ValidLine(ctx, band->line)) return 1;
    const _MINI_POLYGON& poly = ctx->blobs[p];
    const int n = poly.ptCount > kMaxVertices ? kMaxVertices : poly.ptCount;
    if (n < 2) return 1;
    *cost += n;

    // Most bands pass a polygon by: with every vertex clearly on one side of both boundaries no
    // edge can cross them, and the edge walk below is not needed.
    {
        const double ba = BoundaryBase(ctx, band->a, band->line);
        const double bb = BoundaryBase(ctx, band->b, band->line);
        const double lo = MinOf(ba, bb) - kGeomEps, hi = MaxOf(ba, bb) + kGeomEps;
        int below = 0, above = 0;
        for (int i = 0; i < n; ++i) {
            const double v = BoundaryValue(ctx, band->line, poly.pts[i]);
            if (v < lo) ++below;
            if (v > hi) ++above;
        }
        if (below == n || above == n) return 1;
    }
    // Walking the edges against both boundaries and building fragments costs about ten times
    // the side test above.
    *cost += 10 * n;

    EdgeCrossing cross[2][2];
    int total[2] = {0, 0};
    bool allInside = true;
    const int leds[2] = {band->a, band->b};
    for (int i = 0; i < n; ++i) {
        ODPoint from = poly.pts[i];
        const ODPoint to = poly.pts[(i + 1) % n];
        if (allInside && !PointInArea(ctx, band, &from)) allInside = false;
        for (int side = 0; side < 2; ++side) {
            EdgeCrossing c;
            std::memset(&c, 0, sizeof(c));
            if (!LinesIsEncounter(ctx, leds[side], static_cast<uint8_t>(band->line), &c, from,
                                  to)) {
                continue;
            }
            c.edgeFrom = static_cast<uint8_t>(i);
            c.edgeTo = static_cast<uint8_t>((i + 1) % n);
            if (total[side] < 2) cross[side][total[side]] = c;
            ++total[side];
        }
    }

    if (allInside) {
        DeletePoly(ctx, p);
        return 0;
    }
    const int crossings = total[0] + total[1];
    if (crossings == 0 || crossings > 4) return 1;
    if (crossings == 1) {
        const int side = total[0] == 1 ? 0 : 1;
        if (PolygonOnBandSide(ctx, poly, *band, leds[side])) {
            DeletePoly(ctx, p);
            return 0;
        }
        return 1;
    }
    if (crossings == 2 || crossings == 3) {
        // A lone crossing is a vertex resting on the other boundary; only a crossed pair cuts.
        int side = -1;
        if (total[0] == 2 && total[1] != 2) side = 0;
        if (total[1] == 2 && total[0] != 2) side = 1;
        if (side < 0) return 1;
        const uint32_t step =
            CutOneBoundary(ctx, p, *band, leds[side], cross[side][0], cross[side][1]);
        return step;
    }
    // Four crossings: the band runs through the middle and leaves a part on each side.
    if (total[0] != 2 || total[1] != 2) return 1;
    const _MINI_POLYGON original = poly;
    _MINI_POLYGON parts[2];
    Fragment built[2];
    for (int side = 0; side < 2; ++side) {
        built[side] = BuildOutsideFragment(ctx, original, *band, leds[side], cross[side][0],
                                           cross[side][1], &parts[side]);
    }
    // A part past the vertex cap leaves the polygon uncarved rather than losing its area.
    if (built[0] == Fragment::kTooManyVertices || built[1] == Fragment::kTooManyVertices) return 1;
    if (built[0] == Fragment::kBuilt && built[1] == Fragment::kBuilt) {
        ctx->blobs[p] = parts[0];
        InsertPoly(ctx, p, parts[1]);
        // With the table full the part pushed past the end is lost.
        return p + 1 < ctx->workCount ? 2u : 1u;
    }
    for (int side = 0; side < 2; ++side) {
        if (built[side] == Fragment::kBuilt) {
            ctx->blobs[p] = parts[side];
            return 1;
        }
    }
    DeletePoly(ctx, p);
    return 0;
}

}  // namespace

namespace {

// Ten fingers of 8-16 mm cost at most 26000 on any catalogue model (the 15-line ones are the
// dearest), twenty fingers and a palm about 40000 on the 5- and 7-line models and up to 70000 on
// the 15-line ones, hence a budget that grows with the families; a hostile scan (alternating
// shadows, slanted beams arriving in combs) would otherwise carve strips into hundreds of
// fragments for several milliseconds. At this budget carving stays within about a millisecond.
long CarveBudget(const CoreContext* ctx) {
    return PANORA_CARVE_BUDGET_FOR(ClampInt(ctx->linesX, 0, PANORA_MAX_LINES),
                                   ClampInt(ctx->linesY, 0, PANORA_MAX_LINES));
}

// Adds the rectangle's polygon and carves it; `work` counts the vertices carving visited.
// Returns false when the budget ran out before the rectangle was carved by every band.
bool CarveRectangle(CoreContext* ctx, const ShadowRect* rect, long* work) {
    ctx->rectRefined = 1;
    const int n = ctx->blobCount;
    if (n < 0 || n >= kMaxPolygons) return true;
    RectToBlob(ctx, *rect, &ctx->blobs[n]);
    ctx->workCount = n + 1;
    if (ctx->findMode != 1) {
        ctx->blobCount = ctx->workCount;
        return true;
    }

    const int nY = ctx->ledCountY, nX = ctx->ledCountX;
    const int padY = ctx->padLedsY > 0 ? ctx->padLedsY : 0;
    const int padX = ctx->padLedsX > 0 ? ctx->padLedsX : 0;
    const int hY = ctx->halfLinesY, hX = ctx->halfLinesX;
    const double x0 = rect->x0 - nY - 1, x1 = rect->x1 - nY - 1;
    const double y0 = rect->y0, y1 = rect->y1;
    Run runs[kMaxEntries];

    bool full = false;
    bool spent = false;
    const long budget = CarveBudget(ctx);
    auto carve = [&](const BeamBand& band) {
        int i = n;
        while (i < ctx->workCount) {
            if (*work > budget) {
                spent = full = true;
                return;
            }
            BeamBand b = band;
            i += static_cast<int>(SubtractBand(ctx, static_cast<uint8_t>(i), &b, work));
        }
        // Every fragment of the rectangle died: no later band can bring one back.
        if (ctx->workCount <= n) full = true;
    };

    // Y families: a band of LEDs whose slanted line k arrived cannot hold a finger.
    const double q = static_cast<double>(nY) / nX;
    for (int k = -hY; k <= hY && !full; ++k) {
        if (k == 0) continue;
        const double s = ctx->lineSlope[k + hY];
        int from, to;
        if (k < 0) {
            from = MaxOf(TruncIndex(y0 - x1 * q * s), padY);
            to = MinOf(nY - padY + k * ctx->ledGapY, TruncIndex(y1 - x0 * q * s) + 1);
        } else {
            from = MaxOf(TruncIndex(y0 - x0 * q * s), k * ctx->ledGapY + padY);
            to = MinOf(nY - padY, TruncIndex(y1 - x1 * q * s) + 1);
        }
        from = MaxOf(from, 0);
        to = MinOf(to, nY);
        const int bit = ctx->linesY - 1 - hY - k;
        const int count = FindRuns(from, to, kMaxEntries, runs, [&](int led) {
            return ((ctx->scan[nY - 1 - led] >> bit) & 1u) != 0;
        });
        for (int r = 0; r < count && !full; ++r) {
            carve(BeamBand{runs[r].begin, runs[r].end, k + hY});
            if (ctx->workCount > kMaxPolygons - 1) {
                ctx->workCount = kMaxPolygons;
                full = true;
            }
        }
    }

    // X families.
    const double qx = static_cast<double>(nX) / nY;
    for (int j = -hX; j <= hX && !full; ++j) {
        if (j == 0) continue;
        const int line = ctx->linesY + hY + j;
        const double s = ctx->lineSlope[line];
        if (s == 0.0) continue;
        int from, to;
        if (j < 0) {
            from = MaxOf(TruncIndex(x0 - y0 * qx / s), (-j) * ctx->ledGapX + padX);
            to = MinOf(TruncIndex(x1 - y1 * qx / s) + 1, nX - padX);
        } else {
            from = MaxOf(TruncIndex(x0 - y1 * qx / s), padX);
            to = MinOf(TruncIndex(x1 - y0 * qx / s) + 1, nX - j * ctx->ledGapX - padX);
        }
        from = MaxOf(from, 0);
        to = MinOf(to, nX);
        const int bit = ctx->linesY - 1 - hY - j;
        const int count = FindRuns(from, to, kMaxEntries, runs, [&](int led) {
            return ((ctx->scan[nY + led] >> bit) & 1u) != 0;
        });
        for (int r = 0; r < count && !full; ++r) {
            carve(BeamBand{nY + 1 + runs[r].begin, nY + 1 + runs[r].end, line});
            if (ctx->workCount > kMaxPolygons - 1) {
                ctx->workCount = kMaxPolygons;
                full = true;
            }
        }
    }
    ctx->blobCount = ctx->workCount;
    return !spent;
}

}  // namespace

extern "C" {

void GetBlobsFormRect(CoreContext* ctx, ShadowRect* rect) {
    long work = 0;
    CarveRectangle(ctx, rect, &work);
}

void findBlobs_Improved(CoreContext* ctx) {
    ctx->blobCount = ctx->workCount = ctx->rectCount = 0;
    ctx->carveWork = 0;
    const int nY = ctx->ledCountY, nX = ctx->ledCountX;
    const int padY = ctx->padLedsY > 0 ? ctx->padLedsY : 0;
    const int padX = ctx->padLedsX > 0 ? ctx->padLedsX : 0;
    Run yRuns[kMaxEntries];
    Run xRuns[kMaxEntries];
    auto yBlocked = [&](int led) { return StraightBlockedY(ctx, led); };
    auto xBlocked = [&](int led) { return StraightBlockedX(ctx, led); };
    int runsX = 0, runsY = 0;

    switch (ctx->findMode) {
        case 1: {
            const int ny = FindRuns(padY, nY - padY, kMaxEntries, yRuns, yBlocked);
            const int nx = FindRuns(padX, nX - padX, kMaxRuns, xRuns, xBlocked);
            for (int y = 0; y < ny; ++y) {
                runsX = 0;
                for (int x = 0; x < nx; ++x) {
                    AppendRect(ctx, nY + 1 + xRuns[x].begin, nY + 1 + xRuns[x].end, yRuns[y].begin,
                               yRuns[y].end);
                    ++runsX;
                }
                ++runsY;
                if (runsY >= kMaxRuns && runsX > kMaxRuns - 1) break;
            }
            break;
        }
        case 2: {
            const int ny = FindRuns(0, nY, kMaxEntries, yRuns, yBlocked);
            for (int y = 0; y < ny; ++y)
                AppendRect(ctx, nY + 1, nY + nX + 1, yRuns[y].begin, yRuns[y].end);
            break;
        }
        case 3: {
            const int nx = FindRuns(0, nX, kMaxEntries, xRuns, xBlocked);
            for (int x = 0; x < nx; ++x)
                AppendRect(ctx, nY + 1 + xRuns[x].begin, nY + 1 + xRuns[x].end, 0, nY);
            break;
        }
        case 4: {
            const int ny = FindRuns(0, nY, kMaxEntries, yRuns, yBlocked);
            const int nx = FindRuns(0, nX, kMaxEntries, xRuns, xBlocked);
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x)
                    AppendRect(ctx, nY + 1 + xRuns[x].begin, nY + 1 + xRuns[x].end, yRuns[y].begin,
                               yRuns[y].end);
            break;
        }
        default:
            break;
    }
    ctx->runsY = runsY;
    ctx->runsX = runsX;

    // A lone small shadow needs no carving. Two shadows merged on one axis would both get the
    // middle of the merged run there, so any frame with more runs is carved.
    if (ctx->findMode == 1 && ctx->deadBeam == 0 && runsX == 1 && runsY == 1 &&
        ctx->rectCount > 0 && ctx->rects[0].x1 - ctx->rects[0].x0 < 5 &&
        ctx->rects[0].y1 - ctx->rects[0].y0 < 5) {
        const int count = MinOf(ctx->rectCount, kMaxPolygons);
        for (int i = 0; i < count; ++i) RectToBlob(ctx, ctx->rects[i], &ctx->blobs[i]);
        ctx->blobCount = ctx->workCount = count;
        // The background must not learn from a frame with touches, whichever path found them.
        ctx->lastFrameBlobs = count;
        return;
    }

    int product = runsX * runsY;
    if (product == 0 && ctx->deadBeam == 0) {
        const int ny = FindRuns(padY, nY - padY, kMaxEntries, yRuns, yBlocked);
        for (int y = 0; y < ny; ++y)
            AppendRect(ctx, nY + 1, nY + nX + 1, yRuns[y].begin, yRuns[y].end);
        if (ny == 0) {
            const int nx = FindRuns(padX, nX - padX, kMaxRuns, xRuns, xBlocked);
            for (int x = 0; x < nx; ++x)
                AppendRect(ctx, nY + 1 + xRuns[x].begin, nY + 1 + xRuns[x].end, 0, nY);
        }
        product = 0;
    }

    const double limitMm2 = ctx->rectCount > 99 ? 16.0 : 4.0;
    const double mm = ctx->mmPerLed;
    bool capped = false;
    long work = 0;
    for (int r = 0; r < ctx->rectCount; ++r) {
        if (ctx->workCount >= kMaxPolygons) {
            capped = true;
            break;
        }
        const int first = ctx->blobCount;
        if (!CarveRectangle(ctx, &ctx->rects[r], &work)) {
            // Half-carved fragments are no shadow's shape: the rectangle is dropped, and the
            // frame keeps what was carved before the budget ran out.
            ctx->blobCount = ctx->workCount = first;
            break;
        }
        if (ctx->workCount > 2) {
            int i = first;
            while (i < ctx->workCount) {
                const _MINI_POLYGON& b = ctx->blobs[i];
                const double size = (b.width / ctx->pitchX * mm) * (mm * b.height / ctx->pitchY);
                if (size < limitMm2) {
                    DeletePoly(ctx, static_cast<uint8_t>(i));
                } else {
                    ++i;
                }
            }
        }
        ctx->blobCount = ctx->workCount;
    }
    ctx->carveWork = static_cast<int32_t>(MinOf<long>(work, INT32_MAX));
    if (capped || ctx->workCount >= kMaxPolygons) ctx->blobCount = ctx->workCount = kMaxPolygons;
    ctx->lastFrameBlobs = product != 0 ? ctx->blobCount : 0;
}

}  // extern "C"
