// Ghost removal: crossings of real shadows survive detection, so a polygon is only kept when it
// is needed to explain the blocked beams.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "BlobInternal.h"
#include "PanoraCore.h"

using namespace panora;

namespace {

int UniqueThreshold(const CoreContext* ctx) { return ctx->linesX >= 6 ? 3 : 2; }

int BeamSlots(const CoreContext* ctx) {
    const long slots = static_cast<long>(MaxOf(ctx->entryCount, 0)) * MaxOf(ctx->linesX, 0);
    return static_cast<int>(MinOf<long>(slots, kMaxBeams));
}

void RecordBeam(CoreContext* ctx, int entry, int bit, int blob) {
    if (entry < 0 || entry >= ctx->entryCount || entry >= kMaxEntries) return;
    if (bit < 0 || bit >= ctx->linesX) return;
    const bool blocked = ((ctx->scan[entry] >> bit) & 1u) == 0;
    const bool usable = ((ctx->background[entry] >> bit) & 1u) != 0;
    if (!blocked || !usable) return;
    const int index = BeamIndex(ctx, entry, bit);
    if (index < 0 || index >= kMaxBeams) return;
    BeamHits& hits = ctx->beamHits[index];
    // Beyond the record's capacity further polygons on the beam are ignored.
    if (hits.count < 0 || hits.count >= kBeamListCap) return;
    hits.blob[hits.count] = blob;
    hits.count = hits.count + 1;
}

// LED range [lo, hi] of one slanted family that a blob spans, clipped so that both the LED and
// its partner receiver are physical. Returns false when nothing is left.
bool ClipFamilyRange(int lo, int hi, int count, int pad, int partnerOffset, int* outLo,
                     int* outHi) {
    const int limit = count - pad;
    if (lo >= limit || hi < pad || lo > hi) return false;
    lo = MaxOf(lo, pad);
    if (hi >= limit) hi = limit - 1;
    if (pad > lo + partnerOffset) lo = pad - partnerOffset;
    if (!(limit > lo + partnerOffset)) return false;
    if (limit <= hi + partnerOffset) hi = limit - 1 - partnerOffset;
    if (!(pad <= hi + partnerOffset)) return false;
    *outLo = lo;
    *outHi = hi;
    return lo <= hi;
}

void RecordBlob(CoreContext* ctx, int b) {
    const _MINI_POLYGON& blob = ctx->blobs[b];
    const int n = MinOf<int>(blob.ptCount, kMaxVertices);
    if (n == 0) return;
    const int nY = ctx->ledCountY, nX = ctx->ledCountX;
    const int padY = MaxOf(ctx->padLedsY, 0), padX = MaxOf(ctx->padLedsX, 0);
    const int lines = ctx->linesX;
    const int hX = ctx->halfLinesX, hY = ctx->halfLinesY;

    for (int k = 0; k < lines; ++k) {
        const double s = ctx->lineSlope[k];
        double lo = std::numeric_limits<double>::max(), hi = -lo;
        for (int i = 0; i < n; ++i) {
            const double v = blob.pts[i].y - blob.pts[i].x * s;
            lo = MinOf(lo, v);
            hi = MaxOf(hi, v);
        }
        int rLo, rHi;
        if (!ClipFamilyRange(TruncIndex(lo / ctx->pitchY), TruncIndex(hi / ctx->pitchY), nY, padY,
                             (hY - k) * ctx->ledGapY, &rLo, &rHi)) {
            continue;
        }
        for (int r = rLo; r <= rHi; ++r) RecordBeam(ctx, nY - 1 - r, lines - 1 - k, b);
    }
    for (int k = lines; k < lines + ctx->linesY; ++k) {
        if (k == lines + hX) continue;
        const double s = ctx->lineSlope[k];
        if (s == 0.0) continue;
        double lo = std::numeric_limits<double>::max(), hi = -lo;
        for (int i = 0; i < n; ++i) {
            const double v = blob.pts[i].x - blob.pts[i].y / s;
            lo = MinOf(lo, v);
            hi = MaxOf(hi, v);
        }
        int rLo, rHi;
        if (!ClipFamilyRange(TruncIndex(lo / ctx->pitchX), TruncIndex(hi / ctx->pitchX), nX, padX,
                             (k - hX - ctx->linesY) * ctx->ledGapX, &rLo, &rHi)) {
            continue;
        }
        for (int r = rLo; r <= rHi; ++r) RecordBeam(ctx, nY + r, lines - 1 - (k - lines), b);
    }
    // Straight X beams: virtual LEDs take part here as well.
    double xMin = blob.pts[0].x, xMax = xMin;
    for (int i = 1; i < n; ++i) {
        xMin = MinOf<double>(xMin, blob.pts[i].x);
        xMax = MaxOf<double>(xMax, blob.pts[i].x);
    }
    const int lo = TruncIndex(xMin / ctx->pitchX), hi = TruncIndex(xMax / ctx->pitchX);
    if (lo < nX && hi >= 0 && lo <= hi) {
        for (int r = MaxOf(lo, 0); r <= MinOf(hi, nX - 1); ++r) RecordBeam(ctx, nY + r, hX, b);
    }
}

bool InInnerRegion(const CoreContext* ctx, const _MINI_POLYGON& b) {
    const double mx = static_cast<double>(ctx->ledGapX) * ctx->pitchX;
    const double my = static_cast<double>(ctx->ledGapY) * ctx->pitchY;
    return b.cx >= mx && b.cy >= my && b.cx <= 1.0 - mx && b.cy <= 1.0 - my;
}

// Marks every beam that lists a real blob (only `onlyBlob` when it is 0 or more) as explained.
void MarkExplained(CoreContext* ctx, int slots, int onlyBlob = -1) {
    for (int i = 0; i < slots; ++i) {
        BeamHits& hits = ctx->beamHits[i];
        for (int k = 0; k < hits.count; ++k) {
            const int b = hits.blob[k];
            if (onlyBlob >= 0 && b != onlyBlob) continue;
            if (b >= 0 && b < ctx->blobCount && ctx->blobs[b].trueFlag) {
                hits.count = -1;
                break;
            }
        }
    }
}

// Explains the remaining blocked beams greedily: the polygon on most unexplained beams (the
// largest among near-equals) is taken as real, until no polygon has enough beams left.
void ExplainGreedily(CoreContext* ctx, int slots, int threshold) {
    // The votes are counted once; after that a round only takes back the votes of the beams the
    // blob chosen last explains. The beams still open are kept in a list, so a round costs those
    // alone rather than every beam of the frame, most of which nothing blocks.
    static_assert(kMaxBeams <= 65536, "beam slots are listed as 16-bit numbers");
    const int blobs = ctx->blobCount;
    MarkExplained(ctx, slots);
    int votes[kPolygonSlots] = {0};
    uint16_t open[kMaxBeams];
    int openCount = 0;
    for (int i = 0; i < slots; ++i) {
        const BeamHits& hits = ctx->beamHits[i];
        if (hits.count <= 0) continue;
        open[openCount++] = static_cast<uint16_t>(i);
        for (int k = 0; k < hits.count; ++k) {
            const int b = hits.blob[k];
            if (b >= 0 && b < blobs) votes[b] += 1;
        }
    }
    int chosenLast = -1;
    for (int round = 0; round <= blobs; ++round) {
        if (chosenLast >= 0) {
            int kept = 0;
            for (int o = 0; o < openCount; ++o) {
                BeamHits& hits = ctx->beamHits[open[o]];
                bool explained = false;
                for (int k = 0; k < hits.count && !explained; ++k)
                    explained = hits.blob[k] == chosenLast;
                if (!explained) {
                    open[kept++] = open[o];
                    continue;
                }
                for (int k = 0; k < hits.count; ++k) {
                    const int b = hits.blob[k];
                    if (b >= 0 && b < blobs) votes[b] -= 1;
                }
                hits.count = -1;
            }
            openCount = kept;
        }
        int best = 0;
        for (int b = 0; b < blobs; ++b) {
            ctx->blobVotes[b][0] = votes[b] < threshold ? 0 : votes[b];
            best = MaxOf(best, ctx->blobVotes[b][0]);
        }
        if (best < threshold) return;
        int chosen = -1;
        for (int b = 0; b < blobs; ++b) {
            const int v = ctx->blobVotes[b][0];
            if (v <= 0 || best - v >= 2) continue;
            if (chosen < 0 || ctx->blobs[b].area > ctx->blobs[chosen].area) chosen = b;
        }
        if (chosen < 0) return;
        ctx->blobs[chosen].trueFlag = 1;
        chosenLast = chosen;
    }
}

void CountUniqueBeams(CoreContext* ctx, int slots) {
    for (int i = 0; i < slots; ++i) {
        const BeamHits& hits = ctx->beamHits[i];
        if (hits.count == 1) {
            const int b = hits.blob[0];
            if (b >= 0 && b < ctx->blobCount) ctx->blobs[b].hitCount += 1;
        }
    }
}

// Two real fingers and one crossing of their shadows: the crossing faces the longest side of
// the three. Returns the candidate taken for the crossing.
int ThreeBlobRule(CoreContext* ctx) {
    _MINI_POLYGON* b = ctx->blobs;
    for (int i = 0; i < 3; ++i) b[i].trueFlag = 1;
    const double d01 = MmDistance(ctx, ODPoint{b[0].cx, b[0].cy}, ODPoint{b[1].cx, b[1].cy});
    const double d12 = MmDistance(ctx, ODPoint{b[1].cx, b[1].cy}, ODPoint{b[2].cx, b[2].cy});
    const double d20 = MmDistance(ctx, ODPoint{b[2].cx, b[2].cy}, ODPoint{b[0].cx, b[0].cy});
    int crossing = 1;
    if (d01 > d12 && d01 > d20) {
        crossing = 2;
    } else if (d12 > d01 && d12 > d20) {
        crossing = 0;
    }
    b[crossing].trueFlag = 0;
    return crossing;
}

// First verdict on a polygon from the beams only it lies across.
bool OwnsEnoughBeams(const CoreContext* ctx, const _MINI_POLYGON& blob, bool edgeAware) {
    const int hits = static_cast<int>(blob.hitCount);
    if (edgeAware && InInnerRegion(ctx, blob)) return hits > 2;
    return hits >= UniqueThreshold(ctx);
}

void ExplainBeams(CoreContext* ctx, bool edgeAware) {
    const int slots = CollectBlobBeams(ctx);
    CountUniqueBeams(ctx, slots);
    // Shared by every device thread; an atomic store keeps concurrent frames free of a data race.
    __atomic_store_n(&debugflag, 0, __ATOMIC_RELAXED);
    const int threshold = UniqueThreshold(ctx);
    for (int b = 0; b < ctx->blobCount; ++b) {
        _MINI_POLYGON& blob = ctx->blobs[b];
        blob.trueFlag = OwnsEnoughBeams(ctx, blob, edgeAware) ? 1 : 0;
    }
    ExplainGreedily(ctx, slots, threshold);
}

void RemoveFalseBlobsGeneral(CoreContext* ctx, bool edgeAware) {
    if (ctx->blobCount < 2) return;
    ctx->blobCount = MinOf(ctx->blobCount, kPolygonSlots);
    if ((ctx->runsY == 1 || ctx->runsX == 1) && ctx->deadBeam == 0 &&
        ctx->lastFrameBlobs <= ctx->rectCount) {
        return;
    }
    if (ctx->runsY == 2 && ctx->deadBeam == 0 && ctx->blobCount == 3) {
        // Three real fingers, two of them on one row, also leave three candidates, and so does a
        // finger near an edge whose rectangle carving split in two (the sliver lies where the
        // slanted beams that would cut it away do not exist). When the candidate the rule takes
        // for the crossing proves real by blocked beams of its own, the rule guessed wrong: the
        // beams decide for all three.
        const int slots = CollectBlobBeams(ctx);
        CountUniqueBeams(ctx, slots);
        const int crossing = ThreeBlobRule(ctx);
        if (OwnsEnoughBeams(ctx, ctx->blobs[crossing], edgeAware)) ExplainBeams(ctx, edgeAware);
    } else {
        ExplainBeams(ctx, edgeAware);
    }
    DropUnconfirmedAndMerge(ctx, 10.0);
}

ODPoint Centre(const _MINI_POLYGON& b) { return ODPoint{b.cx, b.cy}; }

void DeleteBlob(CoreContext* ctx, int index) {
    ctx->workCount = ctx->blobCount;
    DeletePoly(ctx, static_cast<uint8_t>(index));
    ctx->blobCount = ctx->workCount;
}

// Deletes every polygon ghost removal did not confirm (slots close up in order, counts follow).
// One pass: deleting one polygon at a time moved the rest of the table each time.
void DropUnconfirmed(CoreContext* ctx) {
    const int count = ClampInt(ctx->blobCount, 0, kPolygonSlots);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (ctx->blobs[i].trueFlag == 0) continue;
        if (kept != i) ctx->blobs[kept] = ctx->blobs[i];
        ++kept;
    }
    ctx->blobCount = ctx->workCount = kept;
}

}  // namespace

namespace panora {

int CollectBlobBeams(CoreContext* ctx) {
    const int slots = BeamSlots(ctx);
    for (int i = 0; i < slots; ++i) ctx->beamHits[i].count = 0;
    for (int b = 0; b < kPolygonSlots; ++b) ctx->blobVotes[b][0] = 0;
    const int count = MinOf(ctx->blobCount, kPolygonSlots);
    for (int b = 0; b < count; ++b) {
        ctx->blobs[b].trueFlag = 0;
        ctx->blobs[b].hitCount = 0;
        RecordBlob(ctx, b);
    }
    return slots;
}

void DropUnconfirmedAndMerge(CoreContext* ctx, double mergeMm) {
    DropUnconfirmed(ctx);
    // Squared millimetres: a frame can leave 99 candidates, and this loop revisits slots.
    const double kx = static_cast<double>(ctx->mmPerLed) / ctx->pitchX;
    const double ky = static_cast<double>(ctx->mmPerLed) / ctx->pitchY;
    auto farApart = [&](const _MINI_POLYGON& a, const _MINI_POLYGON& b) {
        const double dx = (static_cast<double>(b.cx) - a.cx) * kx;
        const double dy = (static_cast<double>(b.cy) - a.cy) * ky;
        return dx * dx + dy * dy >= mergeMm * mergeMm;
    };
    int i = 0;
    while (i < ctx->workCount) {
        bool replaced = false;
        int j = i + 1;
        while (j < ctx->workCount) {
            if (farApart(ctx->blobs[i], ctx->blobs[j])) {
                ++j;
                continue;
            }
            if (ctx->blobs[i].area <= ctx->blobs[j].area) {
                DeletePoly(ctx, static_cast<uint8_t>(i));
                replaced = true;
                break;
            }
            DeletePoly(ctx, static_cast<uint8_t>(j));
        }
        if (!replaced) ++i;
    }
    ctx->blobCount = ctx->workCount;
}

}  // namespace panora

extern "C" {

void RemoveFalseBlobsEx2(CoreContext* ctx) { RemoveFalseBlobsGeneral(ctx, true); }

void RemoveFalseBlobsEx1(CoreContext* ctx) { RemoveFalseBlobsGeneral(ctx, false); }

void FindBlobsFun(CoreContext* ctx, int32_t n, uint32_t* found) {
    if (found) *found = 0;
    const int slots = BeamSlots(ctx);
    int32_t votes[kPolygonSlots] = {0};
    const int count = MinOf(ctx->blobCount, kPolygonSlots);
    for (int i = 0; i < slots; ++i) {
        const BeamHits& hits = ctx->beamHits[i];
        if (hits.count != n) continue;
        for (int k = 0; k < hits.count; ++k) {
            const int b = hits.blob[k];
            if (b >= 0 && b < count && !ctx->blobs[b].trueFlag) votes[b] += 1;
        }
    }
    int best = -1;
    for (int b = 0; b < count; ++b) {
        if (votes[b] > 0 && (best < 0 || votes[b] > votes[best])) best = b;
    }
    if (best < 0) return;
    ctx->blobs[best].trueFlag = 1;
    MarkExplained(ctx, slots);
    if (found) *found = 1;
}

void RemoveFalseBlobsEx(CoreContext* ctx) {
    if (ctx->blobCount < 2) return;
    ctx->blobCount = MinOf(ctx->blobCount, kPolygonSlots);
    const int slots = CollectBlobBeams(ctx);
    CountUniqueBeams(ctx, slots);
    const uint32_t threshold = static_cast<uint32_t>(UniqueThreshold(ctx));
    for (int b = 0; b < ctx->blobCount; ++b) {
        ctx->blobs[b].trueFlag = ctx->blobs[b].hitCount >= threshold ? 1 : 0;
    }
    MarkExplained(ctx, slots);
    // Beams shared by few polygons say most about which of them is real: explain those first.
    for (int n = 1; n <= kBeamListCap; ++n) {
        uint32_t found = 1;
        for (int guard = 0; found && guard < ctx->blobCount; ++guard) FindBlobsFun(ctx, n, &found);
    }
    DropUnconfirmed(ctx);
}

void RemoveFalseBlobs(CoreContext* ctx) {
    ctx->blobCount = MinOf(ctx->blobCount, kPolygonSlots);
    if (ctx->blobCount > 1) {
        int i = 0;
        while (i < ctx->blobCount && ctx->blobCount > 1) {
            if (ctx->blobs[i].area < ctx->minArea) {
                DeleteBlob(ctx, i);
            } else {
                ++i;
            }
        }
    }
    // A crossing of one neighbour's row with another's column is where ghosts appear.
    const double px = ctx->pitchX, py = ctx->pitchY;
    int i = 0;
    while (i < ctx->blobCount) {
        const _MINI_POLYGON& b = ctx->blobs[i];
        int row = -1, column = -1;
        for (int j = 0; j < ctx->blobCount; ++j) {
            if (j == i) continue;
            const _MINI_POLYGON& o = ctx->blobs[j];
            const double dx = std::fabs(o.cx - b.cx), dy = std::fabs(o.cy - b.cy);
            if (row < 0 && dx <= 8 * px && dy <= py && o.area >= b.area) row = j;
            if (column < 0 && dx <= px && dy <= 8 * py && o.area >= b.area) column = j;
        }
        if (row >= 0 && column >= 0 && row != column) {
            DeleteBlob(ctx, i);
        } else {
            ++i;
        }
    }
    // Several blobs in one frame corner: only the first is kept.
    const ODPoint corners[4] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    for (const ODPoint& corner : corners) {
        bool seen = false;
        int k = 0;
        while (k < ctx->blobCount) {
            ODPoint c = Centre(ctx->blobs[k]);
            ODPoint cc = corner;
            if (GetDistancePointToPoint(&c, &cc) < ctx->cornerRadius) {
                if (seen) {
                    DeleteBlob(ctx, k);
                    continue;
                }
                seen = true;
            }
            ++k;
        }
    }
}

void EdgeProcess(CoreContext* ctx) {
    ctx->blobCount = MinOf(ctx->blobCount, kPolygonSlots);
    const double halfGapX = 0.5 * ctx->ledGapX * ctx->pitchX;
    const double halfGapY = 0.5 * ctx->ledGapY * ctx->pitchY;
    auto edges = [&](const _MINI_POLYGON& b) {
        unsigned mask = 0;
        if (b.cx < halfGapX) mask |= 1;
        if (b.cx > 1.0 - halfGapX) mask |= 2;
        if (b.cy < halfGapY) mask |= 4;
        if (b.cy > 1.0 - halfGapY) mask |= 8;
        return mask;
    };
    for (int i = 0; i < ctx->blobCount; ++i) {
        int j = i + 1;
        while (j < ctx->blobCount) {
            _MINI_POLYGON& a = ctx->blobs[i];
            const _MINI_POLYGON& b = ctx->blobs[j];
            const bool close = std::fabs(a.cx - b.cx) < 3 * ctx->pitchX &&
                               std::fabs(a.cy - b.cy) < 3 * ctx->pitchY;
            if (close && (edges(a) & edges(b)) != 0) {
                a.cx = (a.cx + b.cx) * 0.5f;
                a.cy = (a.cy + b.cy) * 0.5f;
                DeleteBlob(ctx, j);
            } else {
                ++j;
            }
        }
    }
}

void MaskPoint(CoreContext* ctx, uint32_t enable) {
    if (!enable) return;
    ctx->blobCount = MinOf(ctx->blobCount, kPolygonSlots);
    const double limit = 100.0 / (static_cast<double>(ctx->ledCountY) * ctx->ledCountX);
    int i = 0;
    while (i < ctx->blobCount) {
        const _MINI_POLYGON& b = ctx->blobs[i];
        if (static_cast<double>(b.width) * b.height >= limit) {
            // The last blob takes the slot and is tested in turn.
            ctx->blobs[i] = ctx->blobs[ctx->blobCount - 1];
            ctx->blobCount -= 1;
        } else {
            ++i;
        }
    }
    ctx->workCount = ctx->blobCount;
}

void staticBlobsFilter(CoreContext* ctx) {
    if (ctx->rectCount == 1 && ctx->outBlobCount == 1 && ctx->outBlobs != nullptr &&
        ctx->outBlobs[0].stillFrames > 1000) {
        ctx->outBlobCount = 0;
    }
}

}  // extern "C"
