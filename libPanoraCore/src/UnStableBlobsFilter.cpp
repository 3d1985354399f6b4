// Identities that follow a finger from frame to frame, a short hold for fingers that vanish for a
// frame or two, and a few frames' wait before a new finger is reported.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "BlobInternal.h"
#include "PanoraCore.h"

using namespace panora;

namespace {

constexpr double kNothingFound = 10000.0;
constexpr double kBaseGateMm = 60.0;
constexpr double kGateMoveFactor = 3.0;
constexpr double kEstablishedBonusMm = 25.0;
constexpr int kEstablishedAge = 6;
constexpr int kYoungTrackAge = 9;
constexpr double kAgeOneGateMm = 60.0;

ODPoint TrackPosition(const TrackRecord& t) { return ODPoint{t.x, t.y}; }

ODPoint Predicted(const TrackRecord& t) {
    const float steps = static_cast<float>(t.missed + 1);
    return ODPoint{t.x + t.vx * steps, t.y + t.vy * steps};
}

void MarkIdInUse(CoreContext* ctx, int32_t id) {
    if (id >= 0 && id < kMaxIdentities) ctx->idInUse[id] = 1;
}

int TrackCount(const CoreContext* ctx) { return ClampInt(ctx->trackCount, 0, PANORA_MAX_TRACKS); }

struct Match {
    int blob = -1;
    int track = -1;
    double best = kNothingFound;
    bool bonus = false;
};

// Distances of every (blob, track) pair, less the established track's bonus, measured once per
// frame: matching commits one pair at a time, and measuring every remaining pair again after
// each commit made a frame of many fingers cost milliseconds. A commit changes only the track and
// the blob it pairs, and both then leave the search, so the other entries stay valid.
struct PairCosts {
    double cost[kMaxIdentities][PANORA_MAX_TRACKS];
    bool established[PANORA_MAX_TRACKS];
};

void MeasurePairs(const CoreContext* ctx, PairCosts* costs) {
    const int tracks = TrackCount(ctx);
    const int blobs = ClampInt(ctx->blobCount, 0, kMaxIdentities);
    for (int t = 0; t < tracks; ++t) costs->established[t] = ctx->tracks[t].age >= kEstablishedAge;
    for (int b = 0; b < blobs; ++b) {
        const ODPoint centre{ctx->blobs[b].cx, ctx->blobs[b].cy};
        for (int t = 0; t < tracks; ++t) {
            costs->cost[b][t] = MmDistance(ctx, centre, Predicted(ctx->tracks[t])) -
                                (costs->established[t] ? kEstablishedBonusMm : 0.0);
        }
    }
}

// One blob where two tracks sit almost on top of each other: the established track keeps the
// finger.
Match SearchTwoTracks(const CoreContext* ctx) {
    Match m;
    const _MINI_POLYGON& blob = ctx->blobs[0];
    if (blob.id != -1) return m;
    const ODPoint centre{blob.cx, blob.cy};
    const TrackRecord& t0 = ctx->tracks[0];
    const TrackRecord& t1 = ctx->tracks[1];
    for (int t = 0; t < 2; ++t) {
        const TrackRecord& track = ctx->tracks[t];
        if (IsMatched(track.id)) continue;
        const double d01 = MmDistance(ctx, TrackPosition(t0), TrackPosition(t1));
        const double close = 5.0 / ctx->ledCountX;
        if (t0.age > t1.age && t1.age <= kYoungTrackAge && close > d01 && !IsMatched(t0.id)) {
            m = Match{0, 0, ctx->pairGate, false};
            continue;
        }
        if (t0.age <= kYoungTrackAge && close > d01 && !IsMatched(t1.id)) {
            m = Match{0, 1, ctx->pairGate, false};
            continue;
        }
        const double d = MmDistance(ctx, centre, Predicted(track));
        if (d < m.best) m = Match{0, t, d, m.bonus};
    }
    if (m.bonus) m.best += kEstablishedBonusMm;
    return m;
}

// Best (blob, track) pair among unassigned blobs and unmatched tracks.
Match SearchPair(const CoreContext* ctx, const PairCosts& costs) {
    const int tracks = TrackCount(ctx);
    if (ctx->blobCount == 1 && tracks == 2) return SearchTwoTracks(ctx);
    Match m;
    for (int b = 0; b < ctx->blobCount; ++b) {
        if (ctx->blobs[b].id != -1) continue;
        for (int t = 0; t < tracks; ++t) {
            if (IsMatched(ctx->tracks[t].id)) continue;
            const double d = costs.cost[b][t];
            if (d < m.best) m = Match{b, t, d, costs.established[t]};
        }
    }
    if (m.bonus) m.best += kEstablishedBonusMm;
    return m;
}

void Commit(CoreContext* ctx, int b, int t) {
    _MINI_POLYGON& blob = ctx->blobs[b];
    TrackRecord& track = ctx->tracks[t];
    if (track.kind != blob.kind) {
        track.age = blob.kind == 0 ? 10 : 0;
        track.missed = 0;
        ctx->transientCount = 0;
    }
    blob.id = track.id;
    track.age = track.age + 1;
    blob.age = track.age;
    if (track.age > 0) {
        blob.missedFrames = 0;
    } else {
        ctx->transients[t].missedFrames = 0;
    }
    blob.vx = ((blob.cx - track.x) + track.vx) * 0.5f;
    blob.vy = ((blob.cy - track.y) + track.vy) * 0.5f;
    blob.stillFrames = (blob.vx == 0.0f && blob.vy == 0.0f) ? track.still + 1 : 0;
    track.x = blob.cx;
    track.y = blob.cy;
    track.kind = blob.kind;
    track.id = MarkMatched(track.id);
    MarkIdInUse(ctx, blob.id);
}

// Identities of the blobs of this frame only (identity search left them marked).
void MarkBlobIdsOnly(CoreContext* ctx) {
    std::memset(ctx->idInUse, 0, sizeof(ctx->idInUse));
    for (int b = 0; b < ctx->blobCount; ++b) MarkIdInUse(ctx, ctx->blobs[b].id);
}

void GiveNewIds(CoreContext* ctx) {
    // Every object the tables hold keeps its identity reserved, held and unconfirmed ones too:
    // two objects with one identity would both reach the output, and matching by identity could
    // no longer tell them apart. When none is free, a newcomer waits unassigned (it is neither
    // held nor reported) until a held finger expires or a finger leaves.
    const int tracks = TrackCount(ctx);
    for (int t = 0; t < tracks; ++t) {
        if (!IsMatched(ctx->tracks[t].id)) MarkIdInUse(ctx, ctx->tracks[t].id);
    }
    for (int b = 0; b < ctx->blobCount; ++b) {
        _MINI_POLYGON& blob = ctx->blobs[b];
        if (blob.id != -1) continue;
        blob.id = GetId(ctx);
        blob.age = blob.id < 0 ? 0 : -1;
        blob.stillFrames = 0;
    }
    MarkBlobIdsOnly(ctx);
}

void CopyTransientToTrack(const _MINI_POLYGON& tr, TrackRecord* t) {
    t->x = tr.cx;
    t->y = tr.cy;
    t->id = tr.id;
    t->vx = tr.vx;
    t->vy = tr.vy;
    t->age = tr.age;
    t->missed = tr.missedFrames;
    t->still = tr.stillFrames;
    // Matching compares track and blob kinds; the kind must be a value, never leftover memory.
    t->kind = tr.kind;
}

}  // namespace

extern "C" {

int32_t GetId(CoreContext* ctx) {
    for (int tries = 0; tries < kMaxIdentities; ++tries) {
        ctx->lastId += 1;
        if (ctx->lastId > static_cast<uint32_t>(kMaxIdentities - 1)) ctx->lastId = 0;
        if (ctx->idInUse[ctx->lastId] == 0) {
            ctx->idInUse[ctx->lastId] = 1;
            return static_cast<int32_t>(ctx->lastId);
        }
    }
    return -1;
}

void AssignBlobsID(CoreContext* ctx) {
    std::memset(ctx->idInUse, 0, sizeof(ctx->idInUse));
    CalibrationPoints(ctx);
    ctx->blobCount = ClampInt(ctx->blobCount, 0, kMaxIdentities);

    const int tracks = TrackCount(ctx);
    ODPoint sum{0.0f, 0.0f};
    for (int t = 0; t < tracks; ++t) {
        sum.x += ctx->tracks[t].vx;
        sum.y += ctx->tracks[t].vy;
    }
    const double meanMove =
        ctx->blobCount > 0 ? MmDistance(ctx, sum, ODPoint{0.0f, 0.0f}) / ctx->blobCount : 0.0;
    const double gate = meanMove * kGateMoveFactor + kBaseGateMm;

    for (int b = 0; b < ctx->blobCount; ++b) ctx->blobs[b].id = -1;
    PairCosts costs;
    MeasurePairs(ctx, &costs);
    for (;;) {
        const Match m = SearchPair(ctx, costs);
        if (m.blob < 0 || m.best > gate) break;
        Commit(ctx, m.blob, m.track);
    }
    GiveNewIds(ctx);
}

void AssignBlobsID1(CoreContext* ctx) {
    std::memset(ctx->idInUse, 0, sizeof(ctx->idInUse));
    CalibrationPoints(ctx);
    ctx->blobCount = ClampInt(ctx->blobCount, 0, kMaxIdentities);
    const int tracks = TrackCount(ctx);
    for (int b = 0; b < ctx->blobCount; ++b) ctx->blobs[b].id = -1;
    // Plain nearest-neighbour pairing on last positions, without prediction or preferences.
    for (;;) {
        int bestBlob = -1, bestTrack = -1;
        double best = kAgeOneGateMm;
        for (int b = 0; b < ctx->blobCount; ++b) {
            if (ctx->blobs[b].id != -1) continue;
            for (int t = 0; t < tracks; ++t) {
                if (IsMatched(ctx->tracks[t].id)) continue;
                const double d = MmDistance(ctx, ODPoint{ctx->blobs[b].cx, ctx->blobs[b].cy},
                                            TrackPosition(ctx->tracks[t]));
                if (d < best) {
                    best = d;
                    bestBlob = b;
                    bestTrack = t;
                }
            }
        }
        if (bestBlob < 0) break;
        Commit(ctx, bestBlob, bestTrack);
    }
    GiveNewIds(ctx);
}

void TransientBlobs(CoreContext* ctx, int32_t maxMissed, int32_t minAge) {
    const int tracks = TrackCount(ctx);
    // Refresh the held objects from the tracks the identity step matched.
    if (ctx->transientCount > 0) {
        for (int t = 0; t < tracks; ++t) {
            const TrackRecord& track = ctx->tracks[t];
            _MINI_POLYGON& tr = ctx->transients[t];
            if (!IsMatched(track.id) || track.id != MarkMatched(tr.id)) continue;
            tr.age = track.age;
            tr.missedFrames = track.missed;
            tr.cx = track.x;
            tr.cy = track.y;
            tr.vx = track.vx;
            tr.vy = track.vy;
            tr.stillFrames = track.still;
            tr.id = track.id;
        }
    }
    ctx->transientCount = tracks;

    // Attach this frame's blobs to their objects.
    for (int b = 0; b < ctx->blobCount; ++b) {
        const _MINI_POLYGON& blob = ctx->blobs[b];
        if (blob.id < 0) continue;
        for (int t = 0; t < ctx->transientCount; ++t) {
            if (ctx->transients[t].id == MarkMatched(blob.id)) {
                ctx->transients[t] = blob;
                ctx->transients[t].id = MarkMatched(blob.id);
                break;
            }
        }
    }

    // Age the objects; unmatched ones are held a few frames once they were established.
    int kept = 0;
    for (int t = 0; t < ctx->transientCount; ++t) {
        _MINI_POLYGON tr = ctx->transients[t];
        const bool matched = IsMatched(tr.id);
        if (matched) {
            tr.id = Unmark(tr.id);
        } else {
            tr.missedFrames += 1;
            tr.vx = tr.vy = 0.0f;
        }
        if (matched || (tr.age >= minAge && tr.missedFrames < maxMissed)) {
            ctx->transients[kept++] = tr;
        }
    }
    ctx->transientCount = kept;

    // New fingers; a lone newcomer is trusted sooner than one among many.
    const int startAge = ctx->blobCount < 3 ? 3 : 1;
    for (int b = 0; b < ctx->blobCount; ++b) {
        _MINI_POLYGON& blob = ctx->blobs[b];
        if (blob.age != -1) continue;
        blob.vx = blob.vy = 0.0f;
        blob.age = startAge;
        blob.missedFrames = 0;
        // The table holds 100 objects; a newcomer beyond that waits for a free slot.
        if (ctx->transientCount < PANORA_MAX_POLYGONS) {
            ctx->transients[ctx->transientCount++] = blob;
        }
    }

    int out = 0;
    for (int t = 0; t < ctx->transientCount; ++t) {
        if (ctx->transients[t].age >= minAge) ctx->blobs[out++] = ctx->transients[t];
    }
    ctx->blobCount = out;
    ctx->workCount = out;

    for (int t = 0; t < ctx->transientCount; ++t) {
        CopyTransientToTrack(ctx->transients[t], &ctx->tracks[t]);
    }
    ctx->trackCount = ctx->transientCount;
}

void SortByAge(CoreContext* ctx) {
    if (ctx->outBlobs == nullptr) return;
    const int n = ClampInt(ctx->outBlobCount, 0, PANORA_MAX_POLYGONS);
    for (int p = 0; p + 1 < n; ++p) {
        int m = p;
        for (int j = p; j < n; ++j) {
            if (ctx->outBlobs[p].age < ctx->outBlobs[j].age) m = j;
        }
        if (m != p) std::swap(ctx->outBlobs[p], ctx->outBlobs[m]);
    }
}

}  // extern "C"
