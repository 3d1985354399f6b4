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
#include <algorithm>
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
constexpr double kReachMarginLeds = 0.1; // what a refined neighbour's centre may be off by
constexpr double kCloseLeds = 6.0;       // neighbours this near share slanted families too
constexpr double kEarlierSdLeds = 0.2;   // how far a first-pass coordinate of a shared blob is off
constexpr int kWorkPerFamily = 4;      // refinement work of a family, in neighbour comparisons
constexpr int kGridSteps = 6;           // integration steps per axis over the fitting region
constexpr int kMaxRegionVertices = 4 + 2 * kMaxFamilies + 4;
constexpr int kKeptX = 1, kKeptY = 2;  // the coordinates a first pass left at detection's value
constexpr double kInf = std::numeric_limits<double>::infinity();

// One line family's evidence: u = a*X + b*Y is the family's coordinate across its beams (beam r
// runs along u = r + 0.5); `stretch` turns a radius into the half-width of the disc's shadow on
// u. When `own`, beams lo..hi are this blob's blocked run: the disc reaches both ends. Beyond
// them the beams may be blocked by a neighbour or not exist, up to the arrived beams at loOut
// (hiOut, beam centres) when loClear (hiClear): the disc reaches neither of those, whoever
// blocked the beams between. `tight` when those arrived beams are right beyond lo and hi.
//
// No member has a default: the runs of a blob are written over the family's blank one, and
// initialising every slot first would cost as much as some of the work done with them.
struct FamilyRun {
    double a, b, stretch, inv;  // inv = 1 / stretch
    int lo, hi;
    bool loClear, hiClear;
    double rMin, rMax;  // radii (LED units) for which the run can be exactly this
    bool own, tight;
    double loOut, hiOut;
    bool forced;  // a way of splitting a merged run (Forced) that a fit must keep
};

// The beams of one family: LED r's bit in the scan word and whether the beam exists. What
// depends only on the family is worked out once, not per LED asked about.
struct FamilyBeams {
    const CoreContext* ctx;
    int first, count;       // LEDs first.. first + count - 1 have a real beam and partner
    int entry0, entryStep;  // scan entry of LED r: entry0 + entryStep * r
    int bit;

    FamilyBeams() : ctx(nullptr), first(0), count(0), entry0(0), entryStep(0), bit(0) {}
    FamilyBeams(const CoreContext* c, bool yAxis, int line, int b) : ctx(c), bit(b) {
        const int n = yAxis ? c->ledCountY : c->ledCountX;
        const int pad = MaxOf(yAxis ? c->padLedsY : c->padLedsX, 0);
        // The partner of LED r is r + offset.
        const int offset = yAxis ? -c->ledGapY * line : c->ledGapX * line;
        first = MaxOf(pad, pad - offset);
        count = MaxOf(0, MinOf(n - pad, n - pad - offset) - first);
        entry0 = yAxis ? c->ledCountY - 1 : c->ledCountY;
        entryStep = yAxis ? -1 : 1;
    }

    // 1 blocked, 0 arrived, -1 unknown (no such beam, or masked by the background).
    int Beam(int r) const {
        if (static_cast<unsigned>(r - first) >= static_cast<unsigned>(count)) return -1;
        const int entry = entry0 + entryStep * r;
        if (((ctx->background[entry] >> bit) & 1u) == 0) return -1;
        return ((ctx->scan[entry] >> bit) & 1u) != 0 ? 0 : 1;
    }
};

// A family's beams as one blob sees them: beam centres (in the family's coordinate) a
// neighbour's disc may shadow are blocked beams that say nothing of this blob. Kept apart from
// FamilyBeams so that each blob starts with none without copying the family.
struct ShadowedBeams {
    static constexpr int kMaxOthers = 8;
    const FamilyBeams& beams;
    double otherLo[kMaxOthers], otherHi[kMaxOthers];
    int others = 0;

    explicit ShadowedBeams(const FamilyBeams& b) : beams(b) {}

    // Beam's states, and -2: blocked where a neighbour may have blocked it.
    int State(int r) const {
        const int state = beams.Beam(r);
        if (state != 1) return state;
        const double u = r + 0.5;
        for (int k = 0; k < others; ++k)
            if (otherLo[k] <= u && u <= otherHi[k]) return -2;
        return 1;
    }
};

// How far past a run's own ends the beams that are not this blob's are followed to the arrived
// beams that bound it: a longer stretch is the frame's end or a neighbour's wide shadow.
int FollowGap(const ShadowedBeams& beams, int from, int step, int limit, bool* clear) {
    int r = from;
    for (int k = 0; k < limit; ++k) {
        const int state = beams.State(r + step);
        if (state == 0) {
            *clear = true;
            return r;
        }
        if (state == 1) break;  // another blocked run of this family's own: not this gap's
        r += step;
    }
    *clear = false;
    return r;
}

// The radius interval a family's evidence allows.
void RadiusBounds(FamilyRun* run) {
    const double half = 0.5 * run->inv;
    run->rMin = run->own ? (run->hi - run->lo) * half : 0.0;
    run->rMax = run->loClear && run->hiClear ? (run->hiOut - run->loOut) * half : kInf;
}

// Finds the blocked run of a family nearest to coordinate u0. With none of its own close by,
// a stretch of beams near u0 that a neighbour may shadow or that do not exist still bounds the
// disc by the arrived beams around it. False when there is neither, or the run is too long to
// be one finger's.
//
// The innermost work of the refinement, once per family and blob: with a second caller a
// compiler keeps it out of line, and the calls alone cost a twentieth of the refinement.
__attribute__((always_inline)) inline bool FindRun(const ShadowedBeams& beams, double u0,
                                                   int maxRun, FamilyRun* run, int* shared) {
    const int r0 = TruncIndex(std::floor(u0));
    int start = -1, blind = -1;
    bool other = false;
    for (int d = 0; d <= kSearchLeds && start < 0; ++d) {
        const int below = beams.State(r0 - d), above = d > 0 ? beams.State(r0 + d) : -1;
        other = other || below == -2 || above == -2;
        if (below == 1) start = r0 - d;
        else if (above == 1) start = r0 + d;
        // The nearest beam that did not arrive, on the side nearer u0 first.
        if (blind < 0 && below != 0) blind = r0 - d;
        if (blind < 0 && d > 0 && above != 0) blind = r0 + d;
    }
    int lo, hi, beyondLo = -1, beyondHi = -1;
    run->own = start >= 0;
    if (run->own) {
        // The state that stops a run's growth is the state of the beam beyond its end.
        lo = hi = start;
        while (hi - lo < maxRun && (beyondLo = beams.State(lo - 1)) == 1) --lo;
        while (hi - lo < maxRun && (beyondHi = beams.State(hi + 1)) == 1) ++hi;
        if (hi - lo >= maxRun) return false;
        if (beyondLo == -2 || beyondHi == -2) *shared += 1;
    } else {
        *shared += other;
        if (blind < 0) return false;
        lo = hi = blind;
    }
    run->lo = lo;
    run->hi = hi;
    run->tight = run->own && beyondLo == 0 && beyondHi == 0;
    // An own run's growth already read the beams beyond its ends.
    run->loClear = run->hiClear = true;
    const int gapLo = beyondLo == 0 ? lo : FollowGap(beams, lo, -1, maxRun, &run->loClear);
    const int gapHi = beyondHi == 0 ? hi : FollowGap(beams, hi, 1, maxRun, &run->hiClear);
    run->loOut = gapLo - 0.5;
    run->hiOut = gapHi + 1.5;
    RadiusBounds(run);
    return true;
}

// Every blob's centre in LED units, for a quick look at which neighbours lie far beyond a run's
// reach; a refined centre replaces the old one as soon as it is written back. Centres beyond
// kOrdinary (a caller's garbage) are kept as not-a-number, which the quick look never skips.
//
// After a first pass, `reach` holds how far a refined blob's disc may shadow (its largest
// radius and what its centre may be off by, LED units; 0 where it was not refined). With
// `useReach` set, such a neighbour's shadow is worked out beam by beam instead of costing the
// runs it touches an end.
struct BlobCentres {
    static constexpr double kOrdinary = 1e6;
    int count;
    bool useReach = false;
    double x[kPolygonSlots], y[kPolygonSlots], reach[kPolygonSlots];
    // Where detection put each blob (LED units): no pass moves a centre farther than
    // kMaxMoveLeds from there.
    double detectedX[kPolygonSlots], detectedY[kPolygonSlots];
    // The blobs whose shadows cost runs an end, and (with useReach) those worked out beam by beam.
    int plain[kPolygonSlots], refined[kPolygonSlots];
    int plainCount = 0, refinedCount = 0;

    void Sort() {
        plainCount = refinedCount = 0;
        for (int o = 0; o < count; ++o) {
            if (useReach && reach[o] > 0.0) {
                refined[refinedCount++] = o;
            } else {
                plain[plainCount++] = o;
            }
        }
    }

    void Set(const CoreContext* ctx, int o) {
        x[o] = ctx->blobs[o].cx / static_cast<double>(ctx->pitchX);
        y[o] = ctx->blobs[o].cy / static_cast<double>(ctx->pitchY);
        if (!(std::fabs(x[o]) <= kOrdinary && std::fabs(y[o]) <= kOrdinary))
            x[o] = y[o] = std::numeric_limits<double>::quiet_NaN();
    }
};

// The refined neighbours that may come near a run of some family of one axis. Family
// coordinates of that axis are along - slope * across with |slope| <= maxSlope, so a neighbour
// whose offset along the axis exceeds maxSlope times its offset across by more than its reach
// and a run's length is beyond every family's test in MarkOthers.
// The same for the unrefined neighbours KeepOwnEnd looks at: a run's middle lies within
// kSearchLeds + maxRun + 1 of u0 and its reach is below (maxRun + 1) / 2 + kApartLeds.
struct NearOthers {
    int list[kPolygonSlots];
    int count = 0;

    NearOthers(const BlobCentres& centres, bool refined, int self, double along, double across,
               bool yAxis, double maxSlope, int maxRun) {
        const double stretch = std::sqrt(1.0 + maxSlope * maxSlope);
        const int* from = refined ? centres.refined : centres.plain;
        const int n = refined ? centres.refinedCount : centres.plainCount;
        const double plainReach = (maxRun + 1) * 0.5 + kApartLeds + kSearchLeds + maxRun + 1;
        for (int i = 0; i < n; ++i) {
            const int o = from[i];
            if (o == self) continue;
            const double dAlong = std::fabs((yAxis ? centres.y[o] : centres.x[o]) - along);
            const double dAcross = std::fabs((yAxis ? centres.x[o] : centres.y[o]) - across);
            // The margin covers rounding and KeepOwnEnd's own: what is left out fails the
            // tests by far more.
            const double beyond =
                dAlong - maxSlope * dAcross - 0.01 - 1e-6 * (1.0 + dAlong + dAcross);
            const double reach = refined ? centres.reach[o] * stretch + maxRun + kSearchLeds + 1
                                         : plainReach;
            if (beyond >= reach) continue;
            list[count++] = o;
        }
    }
};

// Another blob whose shadow in this family may touch or merge with the run makes that end of
// the run its own: the run keeps only the end facing away from it (the far LED blocked by this
// blob, the beam beyond it arrived). Returns false when both ends may be shared, or the other
// blob sits so close that even the far end may be its shadow.
bool KeepOwnEnd(const CoreContext* ctx, const BlobCentres& centres, const NearOthers& near,
                FamilyRun* run, int* shared) {
    const double mid = (run->lo + run->hi + 1) * 0.5;
    const double reach = (run->hi - run->lo + 1) * 0.5 + kApartLeds;
    // A neighbour farther than this from the run's middle on the quick numbers is beyond its
    // reach on the exact ones too: the margin is far more than their rounding differs.
    const double quickReach =
        reach + 1e-9 * (1.0 + (std::fabs(run->a) + std::fabs(run->b)) * BlobCentres::kOrdinary +
                        std::fabs(mid));
    bool sharedLo = false, sharedHi = false;
    for (int i = 0; i < near.count; ++i) {
        const int o = near.list[i];
        // Far neighbours are skipped without the two divisions below; whatever is nearer is
        // decided on exactly the numbers it always was.
        if (std::fabs(run->a * centres.x[o] + run->b * centres.y[o] - mid) >= quickReach) continue;
        const double u = run->a * ctx->blobs[o].cx / ctx->pitchX +
                         run->b * ctx->blobs[o].cy / ctx->pitchY;
        const double d = u - mid;
        if (std::fabs(d) >= reach) continue;
        *shared += 1;
        if (std::fabs(d) < kApartLeds - 1.0) sharedLo = sharedHi = true;
        (d > 0 ? sharedHi : sharedLo) = true;
    }
    if (sharedLo && sharedHi) {
        run->own = false;
    } else if (sharedHi) {
        run->hi = run->lo;
    } else if (sharedLo) {
        run->lo = run->hi;
    } else {
        return true;
    }
    run->tight = false;
    RadiusBounds(run);
    return true;
}

// Marks the beams of a family that refined neighbours near coordinate u0 may shadow. Past the
// intervals a family holds, a new one is merged into the one whose span grows least: a wider
// span only leaves out more beams, never claims one for this blob.
void MarkOthers(const BlobCentres& centres, const NearOthers& near, const FamilyRun& run,
                double u0, int maxRun, ShadowedBeams* beams) {
    for (int i = 0; i < near.count; ++i) {
        const int o = near.list[i];
        const double u = run.a * centres.x[o] + run.b * centres.y[o];
        const double w = centres.reach[o] * run.stretch;
        if (!(std::fabs(u - u0) < w + maxRun + kSearchLeds + 1)) continue;
        if (beams->others < ShadowedBeams::kMaxOthers) {
            beams->otherLo[beams->others] = u - w;
            beams->otherHi[beams->others++] = u + w;
            continue;
        }
        int best = 0;
        double bestGrowth = kInf;
        for (int k = 0; k < beams->others; ++k) {
            const double growth = MaxOf(beams->otherHi[k], u + w) -
                                  MinOf(beams->otherLo[k], u - w) -
                                  (beams->otherHi[k] - beams->otherLo[k]);
            if (growth < bestGrowth) bestGrowth = growth, best = k;
        }
        beams->otherLo[best] = MinOf(beams->otherLo[best], u - w);
        beams->otherHi[best] = MaxOf(beams->otherHi[best], u + w);
    }
}

// The line families of the frame, the same for every blob: each one's coordinate and beams,
// with the most any family of an axis slants (for NearOthers).
struct Families {
    int count = 0, countY = 0, maxRun = 1;
    double maxS = 0.0, maxT = 0.0;
    FamilyRun run[kMaxFamilies];  // a, b and stretch set, the rest blank
    FamilyBeams beams[kMaxFamilies];
    bool yAxis[kMaxFamilies];

    explicit Families(const CoreContext* ctx) {
        const double px = ctx->pitchX, py = ctx->pitchY;
        maxRun = MaxOf(1, static_cast<int>(kMaxRunMm / ctx->mmPerLed));
        const int hY = ctx->halfLinesY, hX = ctx->halfLinesX;
        for (int i = -hY; i <= hY && count < kMaxFamilies; ++i) {
            // Y line i: Y = r + 0.5 + S*X.
            const double S = static_cast<double>(ctx->lineSlope[i + hY]) * px / py;
            maxS = MaxOf(maxS, std::fabs(S));
            Add(Blank(-S, 1.0), FamilyBeams{ctx, true, i, ctx->linesY - 1 - hY - i}, true);
        }
        for (int j = -hX; j <= hX && count < kMaxFamilies; ++j) {
            // X line j: X = r + 0.5 + T*Y, T from the slope table's dy/dx.
            const double s = ctx->lineSlope[ctx->linesY + hY + j];
            if (j != 0 && s == 0.0) continue;
            const double T = j == 0 ? 0.0 : (1.0 / s) * py / px;
            maxT = MaxOf(maxT, std::fabs(T));
            Add(Blank(1.0, -T), FamilyBeams{ctx, false, j, ctx->linesY - 1 - hY - j}, false);
        }
    }

    static FamilyRun Blank(double a, double b) {
        const double stretch = std::sqrt(a * a + b * b);
        FamilyRun run;
        run.a = a, run.b = b, run.stretch = stretch, run.inv = 1.0 / stretch;
        run.lo = run.hi = 0;
        run.loClear = run.hiClear = false;
        run.rMin = run.rMax = 0.0;
        run.own = true, run.tight = false;
        run.loOut = run.hiOut = 0.0;
        run.forced = false;
        return run;
    }

    void Add(const FamilyRun& r, const FamilyBeams& b, bool y) {
        run[count] = r;
        beams[count] = b;
        yAxis[count++] = y;
        countY += y;
    }
};

// A way the ends of a straight run two blobs' shadows merged into are theirs: blob `self`'s
// disc reaches only the run's low end (atLo, missing the high end's beam) or only its high end.
// Neither disc reaches the arrived beams beyond the run.
struct Forced {
    bool atLo = false;
    int lo = 0, hi = 0;
};

// Collects the runs of every family around blob `self`'s centre (X, Y in LED units).
// sharedX, sharedY count the families of each axis a neighbour's shadow reached.
int CollectRuns(const CoreContext* ctx, const Families& families, const BlobCentres& centres,
                int self, double X, double Y, FamilyRun* runs, int* sharedX, int* sharedY,
                long* work) {
    const int maxRun = families.maxRun;
    const NearOthers refinedY(centres, true, self, Y, X, true, families.maxS, maxRun);
    const NearOthers refinedX(centres, true, self, X, Y, false, families.maxT, maxRun);
    const NearOthers plainY(centres, false, self, Y, X, true, families.maxS, maxRun);
    const NearOthers plainX(centres, false, self, X, Y, false, families.maxT, maxRun);
    // Each family looks at the neighbours near its axis, and what it finds is clipped and
    // integrated; the neighbours a blob is compared with are what grows on crowded frames.
    const int countX = families.count - families.countY;
    *work += kWorkPerFamily * families.count + families.countY * (refinedY.count + plainY.count) +
             countX * (refinedX.count + plainX.count);
    int count = 0;
    for (int k = 0; k < families.count; ++k) {
        const bool y = families.yAxis[k];
        // Written in place: it counts only once FindRun and KeepOwnEnd accept it.
        FamilyRun& run = runs[count];
        // FindRun writes everything else of a run it accepts.
        const FamilyRun& blank = families.run[k];
        run.a = blank.a, run.b = blank.b, run.stretch = blank.stretch, run.inv = blank.inv;
        run.forced = false;
        ShadowedBeams beams(families.beams[k]);
        const double u0 = run.a * X + run.b * Y;
        int* shared = y ? sharedY : sharedX;
        MarkOthers(centres, y ? refinedY : refinedX, run, u0, maxRun, &beams);
        if (!FindRun(beams, u0, maxRun, &run, shared)) continue;
        if (KeepOwnEnd(ctx, centres, y ? plainY : plainX, &run, shared)) ++count;
    }
    return count;
}

// Gives the merged run (the one marked forced) to one end of it (see Forced).
void ForceEnd(FamilyRun* runs, int count, const Forced& forced) {
    for (int k = 0; k < count; ++k) {
        FamilyRun& run = runs[k];
        if (!run.forced) continue;
        if (forced.atLo) {
            run.hi = run.lo;
            run.hiClear = true;
            run.hiOut = forced.hi + 0.5;
        } else {
            run.lo = run.hi;
            run.loClear = true;
            run.loOut = forced.lo + 0.5;
        }
        run.tight = false;
        RadiusBounds(&run);
    }
}

// Keeps the families that agree on the radius most of them allow; returns how many, with the
// agreed interval in *rLo, *rHi.
int AgreeOnRadius(FamilyRun* runs, int count, double* rLo, double* rHi) {
    *rLo = 0.0;
    *rHi = kInf;
    if (count <= 0) return 0;
    auto covers = [](const FamilyRun& f, double r) { return (f.rMin <= r) & (r <= f.rMax); };
    // The best-covered radius is the lower end of some interval. Usually every family allows
    // the highest lower end, which is then the answer without trying the others.
    double best = runs[0].rMin;
    for (int k = 1; k < count; ++k) best = MaxOf(best, runs[k].rMin);
    int cover = 0;
    for (int m = 0; m < count; ++m) cover += covers(runs[m], best);
    if (cover < count) {
        best = -1.0;
        int bestCover = 0;
        for (int k = 0; k < count; ++k) {
            const double r = runs[k].rMin;
            cover = 0;
            for (int m = 0; m < count; ++m) cover += covers(runs[m], r);
            if (cover > bestCover) {
                bestCover = cover;
                best = r;
            }
        }
    }
    int kept = 0;
    for (int k = 0; k < count; ++k) {
        if (!(runs[k].rMin <= best && best <= runs[k].rMax)) continue;
        *rLo = MaxOf(*rLo, runs[k].rMin);
        *rHi = MinOf(*rHi, runs[k].rMax);
        if (kept != k) runs[kept] = runs[k];
        ++kept;
    }
    return kept;
}

struct Pt {
    double x, y;
};

// The next vertex of a polygon of n, without a division.
inline int Next(int i, int n) { return i + 1 < n ? i + 1 : 0; }

// Clips a convex polygon to a*x + b*y >= c (Sutherland-Hodgman, one edge). Returns -1, writing
// nothing, when every vertex already satisfies it.
int ClipHalfPlane(const Pt* in, int n, double a, double b, double c, Pt* out) {
    double f[kMaxRegionVertices + 1];
    bool inside = true;
    for (int i = 0; i < n; ++i) {
        f[i] = a * in[i].x + b * in[i].y - c;
        inside = inside && f[i] >= 0;
    }
    if (inside) return -1;
    int m = 0;
    f[n] = f[0];
    for (int i = 0; i < n && m < kMaxRegionVertices - 1; ++i) {
        const Pt p = in[i], q = in[Next(i, n)];
        const double fp = f[i], fq = f[i + 1];
        if (fp >= 0) out[m++] = p;
        if ((fp >= 0) != (fq >= 0)) {
            const double t = fp / (fp - fq);
            out[m++] = Pt{p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)};
        }
    }
    return m;
}

// The polygon where some radius may fit, held in two buffers that take turns, with its
// bounding box.
struct Region {
    Pt bufs[2][kMaxRegionVertices];
    int cur = 0, n = 0;
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    bool boxKnown = false;  // false when a vertex is not finite: the box then proves nothing

    const Pt* Poly() const { return bufs[cur]; }

    void Box() {
        const Pt* p = Poly();
        x0 = x1 = p[0].x, y0 = y1 = p[0].y;
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            x0 = MinOf(x0, p[i].x), x1 = MaxOf(x1, p[i].x);
            y0 = MinOf(y0, p[i].y), y1 = MaxOf(y1, p[i].y);
            sum += p[i].x + p[i].y;
        }
        boxKnown = std::isfinite(sum);
    }

    // Most half-planes miss the region by far. Rounding is monotonic, so when the box corner
    // nearest the edge satisfies the half-plane, every vertex does too, and clipping would
    // leave the polygon as it is.
    void Clip(double a, double b, double c) {
        if (boxKnown && a * (a >= 0 ? x0 : x1) + b * (b >= 0 ? y0 : y1) - c >= 0) return;
        const int m = ClipHalfPlane(bufs[cur], n, a, b, c, bufs[1 - cur]);
        if (m < 0) return;
        cur = 1 - cur;
        n = m;
        if (n >= 3) Box();
    }
};

// What a run demands of a disc whose radius lies in rLo..rCap: its centre is at least rLo (in
// the family's units) beyond the arrived beams and at most rCap from the run's ends, and a disc
// reaching hi but not lo-1 has its centre past their midpoint (likewise on the other side). All
// of it bounds the same coordinate u = a*x + b*y, so only the tightest bound on each side
// counts: the interval *lowOut..*highOut holds every u where some radius may fit.
void Slab(const FamilyRun& f, double rLo, double rCap, double* lowOut, double* highOut) {
    const double miss = rLo * f.stretch;
    double low = f.loClear ? f.loOut + miss : -kInf, high = f.hiClear ? f.hiOut - miss : kInf;
    if (f.own) {
        const double loIn = f.lo + 0.5, hiIn = f.hi + 0.5, reach = rCap * f.stretch;
        low = MaxOf(low, hiIn - reach);
        high = MinOf(high, loIn + reach);
        if (f.loClear) low = MaxOf(low, (f.loOut + hiIn) * 0.5);
        if (f.hiClear) high = MinOf(high, (loIn + f.hiOut) * 0.5);
    }
    *lowOut = low;
    *highOut = high;
}

// The region for a start box x0..x1, y0..y1: the straight families narrow the box itself, the
// slanted ones clip it.
void ClipToRuns(const FamilyRun* runs, int count, double rLo, double rCap, double x0, double x1,
                double y0, double y1, Region* region) {
    for (int k = 0; k < count; ++k) {
        const FamilyRun& f = runs[k];
        if (f.a != 0.0 && f.b != 0.0) continue;
        double low, high;
        Slab(f, rLo, rCap, &low, &high);
        if (f.b == 0.0) x0 = MaxOf(x0, low), x1 = MinOf(x1, high);
        else y0 = MaxOf(y0, low), y1 = MinOf(y1, high);
    }
    region->n = 0;
    if (!(x0 < x1 && y0 < y1)) return;
    region->bufs[0][0] = Pt{x0, y0};
    region->bufs[0][1] = Pt{x1, y0};
    region->bufs[0][2] = Pt{x1, y1};
    region->bufs[0][3] = Pt{x0, y1};
    region->n = 4;
    region->Box();
    for (int k = 0; k < count && region->n >= 3; ++k) {
        const FamilyRun& f = runs[k];
        if (f.a == 0.0 || f.b == 0.0) continue;
        double low, high;
        Slab(f, rLo, rCap, &low, &high);
        if (low > -kInf) region->Clip(f.a, f.b, low);
        if (high < kInf && region->n >= 3) region->Clip(-f.a, -f.b, -high);
    }
}

// The centroid of a polygon's area; false when it has none.
bool AreaCentroid(const Pt* poly, int n, Pt* c) {
    double area = 0.0, cx = 0.0, cy = 0.0;
    for (int i = 0; i < n; ++i) {
        const Pt p = poly[i], q = poly[Next(i, n)];
        const double cross = p.x * q.y - q.x * p.y;
        area += cross;
        cx += (p.x + q.x) * cross;
        cy += (p.y + q.y) * cross;
    }
    if (!(std::fabs(area) > 1e-12)) return false;
    c->x = cx / (3.0 * area);
    c->y = cy / (3.0 * area);
    return true;
}

// The x interval a horizontal line at y cuts from a convex polygon; false when it misses it.
bool RowSpan(const Pt* poly, int n, double y, double* xl, double* xr) {
    double lo = kInf, hi = -kInf;
    for (int i = 0; i < n; ++i) {
        const Pt p = poly[i], q = poly[Next(i, n)];
        if ((p.y <= y) == (q.y <= y)) continue;
        const double x = p.x + (y - p.y) * (q.x - p.x) / (q.y - p.y);
        lo = MinOf(lo, x);
        hi = MaxOf(hi, x);
    }
    *xl = lo;
    *xr = hi;
    return lo <= hi;
}

// Two grid columns at once: GCC and Clang turn these into vector instructions on any target.
// Element by element they compute exactly what MaxOf and MinOf do.
typedef double Pair __attribute__((vector_size(16)));
constexpr int kGridPairs = kGridSteps / 2;
static_assert(kGridSteps == 6, "the rows below hold three column pairs");
inline Pair Splat(double v) { return Pair{v, v}; }
inline Pair PairMax(Pair a, Pair b) { return a < b ? b : a; }
inline Pair PairMin(Pair a, Pair b) { return b < a ? b : a; }

// The radius bounds of the families on one grid row, column by column. Family k's coordinate
// across its beams is u = a*x + b*y, which advances by a fixed step along a row. A disc at a
// grid point blocks the run's end beams (centres loIn, hiIn) from radius
// max(u - loIn, hiIn - u) / stretch on and misses the arrived beams beyond them (loOut, hiOut)
// below min(u - loOut, hiOut - u) / stretch; the body's thickness there is the least upper
// bound minus the greatest lower one.
//
// Most terms cannot win their min or max anywhere on the region's box: a lower bound whose
// largest value on the box is below rLo, or below the smallest value there of another lower
// bound, and likewise for the upper bounds. Those are left out of the rows. The ranges come
// from the range of u over the box, widened by far more than the rounding of u at a grid point,
// and rounding is monotonic, so a term left out provably loses at every grid point and the rows
// come out the same to the last bit. Each kept term is evaluated at all columns of a row at
// once (no branches, so the compiler may use vector instructions); min and max do not depend on
// the order of the terms.
struct GridBounds {
    // A family's term in units of the radius: at column pair j of a row at y the coordinate is
    // rowU + off[j] with rowU = a0 + b * y, and the bound max(u - near, far - u) (lower) or
    // min(u - near, far - u) (upper). The column offsets stay the same on every row.
    struct Term {
        double a0, b, near, far;
        Pair off[kGridPairs];
    };
    Term lower[kMaxFamilies], upper[kMaxFamilies];
    int lowerCount = 0, upperCount = 0;

    static Term Make(double a0, double b, double step, double inv, double near, double far) {
        Term t{a0 * inv, b * inv, near * inv, far * inv, {}};
        for (int j = 0; j < kGridPairs; ++j) t.off[j] = Pair{2.0 * j, 2.0 * j + 1} * (step * inv);
        return t;
    }

    // The greatest (lower terms) or least (upper terms) of the terms at the four column pairs,
    // from `start`. The pairs are spelled out so that they stay in registers across the terms.
    template <bool kLeast>
    static void Fold(const Term* terms, int count, double y, double start, Pair* out) {
        auto pick = [](Pair a, Pair b) { return kLeast ? PairMin(a, b) : PairMax(a, b); };
        Pair v0 = Splat(start), v1 = v0, v2 = v0;
        for (int k = 0; k < count; ++k) {
            const Term& t = terms[k];
            const Pair rowU = Splat(t.a0 + t.b * y), near = Splat(t.near), far = Splat(t.far);
            auto at = [&](Pair off) {
                const Pair u = rowU + off;
                return pick(u - near, far - u);
            };
            v0 = pick(v0, at(t.off[0])), v1 = pick(v1, at(t.off[1]));
            v2 = pick(v2, at(t.off[2]));
        }
        out[0] = v0, out[1] = v1, out[2] = v2;
    }

    // low, high: kGridSteps columns each.
    void Row(double y, double rLo, double rCap, double* low, double* high) const {
        Pair lows[kGridPairs], highs[kGridPairs];
        Fold<false>(lower, lowerCount, y, rLo, lows);
        Fold<true>(upper, upperCount, y, rCap, highs);
        for (int c = 0; c < kGridPairs; ++c) {
            low[2 * c] = lows[c][0], low[2 * c + 1] = lows[c][1];
            high[2 * c] = highs[c][0], high[2 * c + 1] = highs[c][1];
        }
    }
};

GridBounds BoundsOnGrid(const FamilyRun* runs, int count, double bx0, double bx1, double by0,
                        double by1, double rLo, double rCap, double dx) {
    // Per family: the term's least and greatest value on the box, for both bounds, and the beam
    // centres the terms are measured from.
    struct Range {
        double lowMin, lowMax, highMin, highMax;
        double loIn, hiIn, loOut, hiOut, inv;
    };
    Range range[kMaxFamilies];
    GridBounds g;
    const double firstX = bx0 + 0.5 * dx;
    // The lower bound every grid point reaches anyway, the upper bound none passes, and the
    // families that set them (kept whatever else is left out).
    double lowFloor = rLo, highCeiling = rCap;
    int floorFamily = -1, ceilingFamily = -1;
    for (int k = 0; k < count; ++k) {
        const FamilyRun& f = runs[k];
        const double inv = f.inv;
        // Beam centres of the run's ends and of the arrived beams beyond them (far away where
        // that beam is unknown, so that it bounds nothing).
        // Without a run of its own nothing says which beams the disc reaches.
        const double loIn = f.own ? f.lo + 0.5 : 1e30, hiIn = f.own ? f.hi + 0.5 : -1e30;
        const double loOut = f.loClear ? f.loOut : -1e30;
        const double hiOut = f.hiClear ? f.hiOut : 1e30;
        const double ax0 = f.a * bx0, ax1 = f.a * bx1, by0f = f.b * by0, by1f = f.b * by1;
        const double slack =
            1e-9 * (1.0 + std::fabs(ax0) + std::fabs(ax1) + std::fabs(by0f) + std::fabs(by1f));
        const double uMin = MinOf(ax0, ax1) + MinOf(by0f, by1f) - slack;
        const double uMax = MaxOf(ax0, ax1) + MaxOf(by0f, by1f) + slack;
        Range& r = range[k];
        r.loIn = loIn, r.hiIn = hiIn, r.loOut = loOut, r.hiOut = hiOut, r.inv = inv;
        r.lowMin = MaxOf(uMin - loIn, hiIn - uMax) * inv;
        r.lowMax = MaxOf(uMax - loIn, hiIn - uMin) * inv;
        r.highMin = MinOf(uMin - loOut, hiOut - uMax) * inv;
        r.highMax = MinOf(uMax - loOut, hiOut - uMin) * inv;
        if (r.lowMin > lowFloor) lowFloor = r.lowMin, floorFamily = k;
        if (r.highMax < highCeiling) highCeiling = r.highMax, ceilingFamily = k;
    }
    for (int k = 0; k < count; ++k) {
        const FamilyRun& f = runs[k];
        const Range& r = range[k];
        if (k == floorFamily || !(r.lowMax <= lowFloor))
            g.lower[g.lowerCount++] =
                GridBounds::Make(f.a * firstX, f.b, f.a * dx, r.inv, r.loIn, r.hiIn);
        if (k == ceilingFamily || !(r.highMin >= highCeiling))
            g.upper[g.upperCount++] =
                GridBounds::Make(f.a * firstX, f.b, f.a * dx, r.inv, r.loOut, r.hiOut);
    }
    return g;
}

inline double Square(double v) { return v * v; }

bool WithinMove(const BlobCentres& centres, int self, double x, double y) {
    const double dx = x - centres.detectedX[self], dy = y - centres.detectedY[self];
    return dx * dx + dy * dy <= kMaxMoveLeds * kMaxMoveLeds;
}

// Weighs an earlier value of a coordinate against the region's centroid c, each by the inverse
// of its variance.
double Blend(double earlier, double c, double sd) {
    const double we = 1.0 / (kEarlierSdLeds * kEarlierSdLeds), wc = 1.0 / (sd * sd + 1e-6);
    return (earlier * we + c * wc) / (we + wc);
}

// The thickness-weighted moments of the fitting body over (x, y), summed over grids.
struct Moments {
    double weight = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, syy = 0.0, radius = 0.0;
};

// Adds the body's moments over the box bx0..bx1, by0..by1 on a kGridSteps grid.
void Integrate(const FamilyRun* runs, int count, const Pt* poly, int n, double bx0, double bx1,
               double by0, double by1, double rLo, double rCap, Moments* m) {
    const double dx = (bx1 - bx0) / kGridSteps, dy = (by1 - by0) / kGridSteps;
    const GridBounds bounds = BoundsOnGrid(runs, count, bx0, bx1, by0, by1, rLo, rCap, dx);
    for (int iy = 0; iy < kGridSteps; ++iy) {
        const double y = by0 + (iy + 0.5) * dy;
        // Grid points outside the clipped region fail some run's condition: only the row's
        // stretch inside it is weighed.
        double xl, xr;
        if (!RowSpan(poly, n, y, &xl, &xr)) continue;
        int ixFrom = 0, ixTo = kGridSteps - 1;
        if (dx > 0.0) {
            ixFrom = MaxOf(ixFrom, TruncIndex(std::floor((xl - bx0) / dx - 0.5)));
            ixTo = MinOf(ixTo, TruncIndex(std::ceil((xr - bx0) / dx - 0.5)));
        }
        double low[kGridSteps], high[kGridSteps];
        bounds.Row(y, rLo, rCap, low, high);
        for (int ix = ixFrom; ix <= ixTo; ++ix) {
            if (!(high[ix] > low[ix])) continue;
            const double x = bx0 + (ix + 0.5) * dx, t = high[ix] - low[ix];
            m->radius = MaxOf(m->radius, high[ix]);
            m->weight += t;
            m->sx += t * x;
            m->sy += t * y;
            m->sxx += t * x * x;
            m->syy += t * y * y;
        }
    }
}

// What a first pass learnt of a blob: the coordinates it left at detection's value and the
// radii its families agreed on.
struct FirstPass {
    int kept = 0;
    double rLo = 0.0, rCap = kInf;
};

// One way of splitting a merged straight run tried on a blob, the radii held to clampLo..clampHi;
// the fit reports the volume of its body.
struct SplitTrial {
    Forced forced;
    double clampLo = 0.0, clampHi = kInf;
    double weight = 0.0;
};

// What one blob's centre sees: its place in LED units and the runs of every family around it.
struct Around {
    double X = 0.0, Y = 0.0;
    FamilyRun runs[kMaxFamilies];
    int found = 0, sharedX = 0, sharedY = 0;

    Around() = default;
    Around(const Around& o) { *this = o; }
    // Only the runs found are worth copying.
    Around& operator=(const Around& o) {
        X = o.X, Y = o.Y, found = o.found, sharedX = o.sharedX, sharedY = o.sharedY;
        std::copy(o.runs, o.runs + MaxOf(0, o.found), runs);
        return *this;
    }
};

// The runs the first pass found around blobs whose axis a neighbour's straight shadow merged
// with theirs. A split places such a pair again with only the merged run changed; the other
// families' runs, found from where detection put the blob, serve it as well as runs looked up
// again from its refined centre (the placements agree to the hundredth of a millimetre), at a
// fraction of the cost. A frame with more such blobs than slots looks the rest up again.
struct FirstRuns {
    static constexpr int kSlots = 8;
    int owner[kSlots];
    Around around[kSlots];
    int used = 0;

    const Around* Of(int blob) const {
        for (int i = 0; i < used; ++i)
            if (owner[i] == blob) return &around[i];
        return nullptr;
    }

    void Keep(int blob, const Around& a) {
        if (used == kSlots) return;
        owner[used] = blob;
        around[used++] = a;
    }

};

// Puts `merged`, the run two blobs' shadows of `family` merged into, in place of that
// family's run, marked for ForceEnd: it stands for both blobs, so neither neighbour's shadow
// costs it an end. False when the family found no run here.
bool PutMerged(const FamilyRun& family, const FamilyRun& merged, Around* around) {
    for (int j = 0; j < around->found; ++j) {
        FamilyRun& r = around->runs[j];
        if (r.a != family.a || r.b != family.b) continue;
        r = merged;
        r.forced = true;
        return true;
    }
    return false;
}

// Collects the runs around blob `self`; false when its centre is no place at all.
bool LookAround(const CoreContext* ctx, const Families& families, const BlobCentres& centres,
                int self, long* work, Around* around) {
    const _MINI_POLYGON& blob = ctx->blobs[self];
    around->X = blob.cx / static_cast<double>(ctx->pitchX);
    around->Y = blob.cy / static_cast<double>(ctx->pitchY);
    // The function is exported: a caller's blob may hold anything.
    if (!std::isfinite(around->X) || !std::isfinite(around->Y) || !std::isfinite(blob.width) ||
        !std::isfinite(blob.height)) {
        return false;
    }
    around->found = CollectRuns(ctx, families, centres, self, around->X, around->Y, around->runs,
                                &around->sharedX, &around->sharedY, work);
    return true;
}

// The refined centre of one blob in LED units, or false to keep the old one.
//
// The positions and radii that fit every run form a convex body in (x, y, R); its centroid is
// the estimate. Over (x, y) the body's thickness in R is min(rHigh) - max(rLow) of the
// families, so the centroid is the thickness-weighted mean position, integrated on a grid over
// the small polygon where any radius can fit.
//
// `around` is used up (its runs are narrowed). *outRadius gets the largest radius that fits
// anywhere, *outShared (first pass) whether neighbours' shadows cost the runs enough that a
// second pass should place it again. With `trial`, the blob is placed for that way of splitting
// a merged run (and placed whatever else it shares).
bool PlaceFrom(const CoreContext* ctx, const BlobCentres& centres, int self, Around* around,
               double* outX, double* outY, double* outRadius, bool* outShared,
               FirstPass* first = nullptr, SplitTrial* trial = nullptr) {
    const Forced* forced = trial != nullptr ? &trial->forced : nullptr;
    const _MINI_POLYGON& blob = ctx->blobs[self];
    const double px = ctx->pitchX, py = ctx->pitchY;
    const double X = around->X, Y = around->Y;
    FamilyRun* runs = around->runs;
    const int found = around->found, sharedX = around->sharedX, sharedY = around->sharedY;
    *outShared = sharedX + sharedY > 0;
    if (found < kMinFamilies) return false;
    if (forced != nullptr) ForceEnd(runs, found, *forced);
    double rLo, rHi;
    const int count = AgreeOnRadius(runs, found, &rLo, &rHi);
    if (count < kMinFamilies || rLo > rHi) return false;
    if (forced != nullptr) {
        // A way the other families outvote is not one whose volume says anything.
        bool kept = false;
        for (int k = 0; k < count; ++k) kept = kept || runs[k].forced;
        if (!kept) return false;
    }
    // With every run open on one side the radius has no upper bound of its own.
    double rCap = std::isfinite(rHi) ? rHi : rLo + 1.0;
    if (trial != nullptr) {
        rLo = MaxOf(rLo, trial->clampLo), rCap = MinOf(rCap, trial->clampHi);
        if (!(rLo <= rCap)) return false;
    }

    // The blob's box, one LED wider on each side and kept on the frame: the centre cannot lie
    // beyond the straight beams the blob came from.
    const double hw = blob.width / px * 0.5 + 1.0, hh = blob.height / py * 0.5 + 1.0;
    const double x0 = MaxOf(0.0, X - hw), x1 = MinOf<double>(ctx->ledCountX, X + hw);
    const double y0 = MaxOf(0.0, Y - hh), y1 = MinOf<double>(ctx->ledCountY, Y + hh);
    if (!(x0 < x1 && y0 < y1)) return false;
    Region region;
    ClipToRuns(runs, count, rLo, rCap, x0, x1, y0, y1, &region);
    const int n = region.n;
    if (n < 3) return false;
    const Pt* poly = region.Poly();
    const double bx0 = region.x0, bx1 = region.x1, by0 = region.y0, by1 = region.y1;
    // A coordinate only few runs of its own axis bound (the others lost an end to a
    // neighbour's shadow) is better left where it was.
    int ownX = 0, ownY = 0;
    for (int k = 0; k < count; ++k) {
        if (!runs[k].tight) continue;
        (runs[k].b == 1.0 ? ownY : ownX) += 1;
    }
    const bool keepX = sharedX > 0 && ownX < kMinOwnRuns, keepY = sharedY > 0 && ownY < kMinOwnRuns;
    if (first != nullptr) {
        first->kept = (keepX ? kKeptX : 0) | (keepY ? kKeptY : 0);
        first->rLo = rLo, first->rCap = rCap;
    }
    if (!centres.useReach && forced == nullptr) {
        // A blob that kept a coordinate, or shares shadows with a close neighbour, is worth a
        // second pass (far neighbours in one row or column cost only the straight families'
        // ends, which the other families make up for). Its first estimate only tells its
        // neighbours where its disc may be, so the region's own centroid and the largest agreed
        // radius do.
        bool close = false;
        if (sharedX + sharedY > 0)
            for (int o = 0; o < centres.count && !close; ++o)
                close = o != self && Square(centres.x[o] - X) + Square(centres.y[o] - Y) <
                                         kCloseLeds * kCloseLeds;
        *outShared = keepX || keepY || close;
        if (*outShared) {
            Pt c;
            if (!AreaCentroid(poly, n, &c)) return false;
            const double nx = keepX ? X : c.x, ny = keepY ? Y : c.y;
            if (!WithinMove(centres, self, nx, ny)) return false;
            *outX = nx;
            *outY = ny;
            *outRadius = rCap;
            return true;
        }
    }

    Moments m;
    Integrate(runs, count, poly, n, bx0, bx1, by0, by1, rLo, rCap, &m);
    if (!(m.weight > 0.0) && trial == nullptr) {
        // A way of splitting a run whose body is this thin weighs next to nothing anyway.
        // The body is thinner than the grid's steps everywhere: a grid of half the step over
        // each quarter of the box finds it (or proves nothing fits there either).
        const double mx = 0.5 * (bx0 + bx1), my = 0.5 * (by0 + by1);
        Integrate(runs, count, poly, n, bx0, mx, by0, my, rLo, rCap, &m);
        Integrate(runs, count, poly, n, mx, bx1, by0, my, rLo, rCap, &m);
        Integrate(runs, count, poly, n, bx0, mx, my, by1, rLo, rCap, &m);
        Integrate(runs, count, poly, n, mx, bx1, my, by1, rLo, rCap, &m);
    }
    const double weight = m.weight, sx = m.sx, sy = m.sy, sxx = m.sxx, syy = m.syy;
    const double radius = m.radius;
    if (!(weight > 0.0)) return false;
    if (trial != nullptr) trial->weight = weight;
    double nx = sx / weight, ny = sy / weight;
    if (centres.useReach) {
        // Neighbours' shadows now cost only the beams they may cover, so every run is this
        // blob's own; what is left may still bound a coordinate loosely, and the region's spread
        // says how loosely. The first pass's value weighs in by how far it is typically off.
        const double sdX = std::sqrt(MaxOf(0.0, sxx / weight - nx * nx));
        const double sdY = std::sqrt(MaxOf(0.0, syy / weight - ny * ny));
        if (sharedX > 0) nx = Blend(X, nx, sdX);
        if (sharedY > 0) ny = Blend(Y, ny, sdY);
    }
    if (!WithinMove(centres, self, nx, ny)) return false;
    *outX = nx;
    *outY = ny;
    *outRadius = radius;
    return true;
}

// With `first` (a first pass), the runs of a blob that keeps an axis go to `firstRuns`.
bool RefinedCentre(const CoreContext* ctx, const Families& families, const BlobCentres& centres,
                   int self, double* outX, double* outY, double* outRadius, bool* outShared,
                   long* work, FirstPass* first = nullptr, FirstRuns* firstRuns = nullptr) {
    *outShared = false;
    Around around;
    if (!LookAround(ctx, families, centres, self, work, &around)) return false;
    // Only a blob with shared runs can keep an axis; PlaceFrom uses its runs up.
    const bool mayKeep = first != nullptr && around.sharedX + around.sharedY > 0;
    Around copy;
    if (mayKeep) copy = around;
    const bool placed =
        PlaceFrom(ctx, centres, self, &around, outX, outY, outRadius, outShared, first);
    if (placed && mayKeep && first->kept != 0) firstRuns->Keep(self, copy);
    return placed;
}

// Places both blobs of a merged run for the ways its ends can be theirs (see SplitMergedRuns);
// false when no way fits both.
bool SplitOneRun(CoreContext* ctx, const Families& families, BlobCentres* centres, int k, int b,
                 int o, const FamilyRun& run, const FirstPass* first, const FirstRuns& firstRuns,
                 long* work) {
    // Both discs are held to the radii they agree on: a disc left loose by few families near
    // an edge would otherwise favour whichever way frees it most. A run one such disc could
    // cover may be both discs' whole shadow (a pair in one row shares it so): left as it is.
    const double clampLo = MaxOf(first[b].rLo, first[o].rLo);
    const double clampHi = MinOf(first[b].rCap, first[o].rCap);
    if (!(clampLo <= clampHi) || !((run.hi - run.lo) * 0.5 > clampHi)) return false;
    // The ways differ only in the merged run's ends: the runs around each blob are found once.
    const Forced merged{false, run.lo, run.hi};
    Around around[2];
    const int blobs[2] = {b, o};
    for (int i = 0; i < 2; ++i) {
        const Around* kept = firstRuns.Of(blobs[i]);
        if (kept != nullptr) {
            around[i] = *kept;
        } else if (!LookAround(ctx, families, *centres, blobs[i], work, &around[i])) {
            return false;
        }
        if (!PutMerged(families.run[k], run, &around[i])) return false;
    }
    double at[2][4], reachB = 0.0, reachO = 0.0, weight[2] = {0.0, 0.0};
    for (int way = 0; way < 2; ++way) {
        SplitTrial tb, to;
        tb.forced = to.forced = merged;
        tb.forced.atLo = way == 0;
        to.forced.atLo = way != 0;
        tb.clampLo = to.clampLo = clampLo;
        tb.clampHi = to.clampHi = clampHi;
        double rb, ro;
        bool unused;
        double* p = at[way];
        Around b1 = around[0], o1 = around[1];
        if (!PlaceFrom(ctx, *centres, b, &b1, &p[0], &p[1], &rb, &unused, nullptr, &tb) ||
            !PlaceFrom(ctx, *centres, o, &o1, &p[2], &p[3], &ro, &unused, nullptr, &to))
            continue;
        weight[way] = tb.weight * to.weight;
        reachB = MaxOf(reachB, rb), reachO = MaxOf(reachO, ro);
    }
    const double sum = weight[0] + weight[1];
    if (!(sum > 0.0)) return false;
    // Weighed by their volumes, the ways give the expected places (a way the beams clearly
    // favour all but decides).
    double place[4];
    for (int c = 0; c < 4; ++c) place[c] = (weight[0] * at[0][c] + weight[1] * at[1][c]) / sum;
    for (int i = 0; i < 2; ++i) {
        _MINI_POLYGON& blob = ctx->blobs[blobs[i]];
        blob.cx = static_cast<float>(place[2 * i] * ctx->pitchX);
        blob.cy = static_cast<float>(place[2 * i + 1] * ctx->pitchY);
        centres->Set(ctx, blobs[i]);
        centres->reach[blobs[i]] = (i == 0 ? reachB : reachO) + kReachMarginLeds;
    }
    return true;
}

// Two blobs whose straight shadows on one axis merged into a run longer than either disc's
// shadow, and that the first pass left at detection's value on that axis (often both in the
// run's middle), are placed again for each way the run's ends can be theirs: one disc reaches
// only the low end and the other only the high end, or the other way round. With positions and
// radii uniform, a way's likelihood is the volume its two fitting bodies hold together. Placed
// so, the blobs give the second pass neighbours that are where their shadows say.
void SplitMergedRuns(CoreContext* ctx, const Families& families, BlobCentres* centres,
                     const FirstPass* first, const FirstRuns& firstRuns, long* work, long budget) {
    bool placed[kPolygonSlots] = {};
    int lo[kPolygonSlots], hi[kPolygonSlots];
    FamilyRun run[kPolygonSlots];
    for (int k = 0; k < families.count; ++k) {
        const bool y = families.yAxis[k];
        if ((y ? families.run[k].a : families.run[k].b) != 0.0) continue;  // slanted
        const int axis = y ? kKeptY : kKeptX;
        int keptCount = 0;
        for (int b = 0; b < centres->count; ++b) keptCount += (first[b].kept & axis) != 0;
        if (keptCount < 2) continue;  // nothing to split on this axis
        const ShadowedBeams beams(families.beams[k]);
        // Each blob's run of the family once; a run of one beam has no two ends to share.
        for (int b = 0; b < centres->count; ++b) {
            lo[b] = hi[b] = -1;
            run[b] = families.run[k];
            int ignored = 0;
            const double u = y ? centres->y[b] : centres->x[b];
            if (std::isfinite(u) && FindRun(beams, u, families.maxRun, &run[b], &ignored) &&
                run[b].own)
                lo[b] = run[b].lo, hi[b] = run[b].hi;
        }
        *work += centres->count;
        for (int b = 0; b < centres->count && *work <= budget; ++b) {
            if (lo[b] < 0 || hi[b] == lo[b] || !(first[b].kept & axis) || placed[b]) continue;
            // Only a run exactly two blobs share has two ends to split between them.
            int other = -1, sharing = 0;
            for (int o = 0; o < centres->count; ++o) {
                if (o == b || lo[o] != lo[b] || hi[o] != hi[b]) continue;
                other = o;
                ++sharing;
            }
            if (sharing != 1 || other < b || !(first[other].kept & axis) || placed[other]) continue;
            if (SplitOneRun(ctx, families, centres, k, b, other, run[b], first, firstRuns, work))
                placed[b] = placed[other] = true;
        }
    }
}

}  // namespace

extern "C" {

void RefineBlobCentres(CoreContext* ctx) {
    if (ctx == nullptr || ctx->mmPerLed <= 0.0f) return;
    ctx->refineWork = 0;
    BlobCentres centres;
    centres.count = ClampInt(ctx->blobCount, 0, kPolygonSlots);
    for (int b = 0; b < centres.count; ++b) {
        centres.Set(ctx, b);
        centres.detectedX[b] = ctx->blobs[b].cx / static_cast<double>(ctx->pitchX);
        centres.detectedY[b] = ctx->blobs[b].cy / static_cast<double>(ctx->pitchY);
    }
    if (centres.count == 0) return;
    const Families families(ctx);
    // First pass: a neighbour whose shadow may reach a run costs that run an end. Second pass,
    // for the blobs that lost much that way: the refined neighbours' discs say which of the
    // blocked beams they may have blocked, and only those are left out.
    //
    // Past the frame's work budget the remaining blobs keep the centres they have: only a
    // frame crowded far beyond any hands' worth of touches gets there.
    bool shared[kPolygonSlots];
    FirstPass first[kPolygonSlots];
    FirstRuns firstRuns;
    for (int b = 0; b < centres.count; ++b) shared[b] = false, centres.reach[b] = 0.0;
    bool anyShared = false;
    long work = 0;
    const long budget = static_cast<long>(PANORA_REFINE_BUDGET_PER_FAMILY) * families.count;
    for (int pass = 0; pass < 2; ++pass) {
        centres.useReach = pass == 1;
        centres.Sort();
        for (int b = 0; b < centres.count && work <= budget; ++b) {
            if (pass == 1 && !shared[b]) continue;
            _MINI_POLYGON& blob = ctx->blobs[b];
            double X, Y, radius;
            bool sharedNow = false;
            FirstPass now;
            const bool refined =
                RefinedCentre(ctx, families, centres, b, &X, &Y, &radius, &sharedNow, &work,
                              pass == 0 ? &now : nullptr, &firstRuns);
            if (pass == 0) {
                shared[b] = sharedNow, anyShared = anyShared || sharedNow;
                if (refined) first[b] = now;
            }
            if (!refined) continue;
            blob.cx = static_cast<float>(X * ctx->pitchX);
            blob.cy = static_cast<float>(Y * ctx->pitchY);
            centres.Set(ctx, b);
            centres.reach[b] = radius + kReachMarginLeds;
        }
        if (!anyShared) break;
        if (pass == 0) SplitMergedRuns(ctx, families, &centres, first, firstRuns, &work, budget);
    }
    ctx->refineWork = static_cast<int32_t>(MinOf<long>(work, INT32_MAX));
}

}  // extern "C"
