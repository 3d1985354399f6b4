// Path smoothing: each reported finger sits at the mean of its recent centres, over at most nine
// points and 40 mm of travel, so slow movement is steadied and fast movement lags little.
#include <cmath>
#include <cstring>

#include "BlobInternal.h"
#include "PanoraCore.h"

namespace {

constexpr int kMaxPathPoints = 9;
constexpr float kMaxPathMm = 40.0f;
// Lengths are running float sums; a path of exactly 40 mm must not lose a point to rounding.
constexpr float kLengthSlackMm = 1e-3f;

void StartPath(Path* path, ODPoint p, int32_t id, float mmPerUnitX, float mmPerUnitY) {
    std::memset(path, 0, sizeof(*path));
    path->pts[0] = p;
    path->valid[0] = 1;
    path->count = 1;
    path->id = id;
    path->alive = 1;
    path->lengthMM = 0.0f;
    path->sumX = p.x;
    path->sumY = p.y;
    path->mmPerUnitX = mmPerUnitX;
    path->mmPerUnitY = mmPerUnitY;
}

}  // namespace

extern "C" {

float GetDistancePointToPointByMM(Path* path, ODPoint* p, ODPoint* q) {
    const double dx = (static_cast<double>(q->x) - p->x) * path->mmPerUnitX;
    const double dy = (static_cast<double>(q->y) - p->y) * path->mmPerUnitY;
    return static_cast<float>(std::sqrt(dx * dx + dy * dy));
}

void shiftHistoryBlobs(Path* path) {
    if (path->count <= 0) return;
    if (path->count >= 2) {
        path->lengthMM -= GetDistancePointToPointByMM(path, &path->pts[0], &path->pts[1]);
    }
    path->sumY -= path->pts[0].y;
    path->sumX -= path->pts[0].x;
    const int n = path->count > PANORA_PATH_POINTS ? PANORA_PATH_POINTS : path->count;
    std::memmove(&path->pts[0], &path->pts[1], sizeof(ODPoint) * static_cast<size_t>(n - 1));
    std::memmove(&path->valid[0], &path->valid[1], sizeof(int32_t) * static_cast<size_t>(n - 1));
    path->valid[n - 1] = 0;
    path->count = n - 1;
    if (path->count <= 1) path->lengthMM = 0.0f;
}

void pushHistoryBlobs(Path* path, ODPoint p) {
    if (path->count < 0) path->count = 0;
    // A full path makes room first rather than writing past its last point.
    while (path->count >= PANORA_PATH_POINTS) shiftHistoryBlobs(path);
    path->sumX += p.x;
    path->sumY += p.y;
    if (path->count > 0) {
        path->lengthMM += GetDistancePointToPointByMM(path, &path->pts[path->count - 1], &p);
    }
    path->valid[path->count] = 1;
    path->pts[path->count] = p;
    path->count += 1;
}

void addPointToPath(Path* path, ODPoint p) {
    pushHistoryBlobs(path, p);
    while (path->count > 1 &&
           (path->lengthMM > kMaxPathMm + kLengthSlackMm || path->count > kMaxPathPoints)) {
        shiftHistoryBlobs(path);
    }
}

ODPoint smoothPath(Path* path) {
    if (path->count <= 0) return ODPoint{0.0f, 0.0f};
    return ODPoint{path->sumX / static_cast<float>(path->count),
                   path->sumY / static_cast<float>(path->count)};
}

void delPath(SmoothContext* sc, int32_t index) {
    if (index < 0 || index >= sc->pathCount || sc->pathCount > PANORA_MAX_PATHS) return;
    std::memmove(&sc->paths[index], &sc->paths[index + 1],
                 sizeof(Path) * static_cast<size_t>(sc->pathCount - 1 - index));
    sc->pathCount -= 1;
}

void SmoothBlobs(CoreContext* ctx) {
    SmoothContext* sc = ctx->smoothPtr != nullptr ? ctx->smoothPtr : &ctx->smooth;
    if (sc->pathCount < 0 || sc->pathCount > PANORA_MAX_PATHS) sc->pathCount = 0;
    for (int j = 0; j < sc->pathCount; ++j) sc->paths[j].alive = 0;
    const int known = sc->pathCount;
    const float mmX = static_cast<float>(ctx->ledCountX) * ctx->mmPerLed;
    const float mmY = static_cast<float>(ctx->ledCountY) * ctx->mmPerLed;
    const int outCount =
        ctx->outBlobs == nullptr ? 0 : panora::ClampInt(ctx->outBlobCount, 0, PANORA_MAX_POLYGONS);

    for (int i = 0; i < outCount; ++i) {
        _MINI_POLYGON& blob = ctx->outBlobs[i];
        const ODPoint centre{blob.cx, blob.cy};
        int found = -1;
        for (int j = 0; j < known; ++j) {
            if (sc->paths[j].id == blob.id) {
                found = j;
                break;
            }
        }
        if (found >= 0) {
            Path* path = &sc->paths[found];
            path->alive = 1;
            addPointToPath(path, centre);
            const ODPoint mean = smoothPath(path);
            blob.cx = mean.x;
            blob.cy = mean.y;
        } else if (sc->pathCount < PANORA_MAX_PATHS) {
            StartPath(&sc->paths[sc->pathCount], centre, blob.id, mmX, mmY);
            sc->pathCount += 1;
        }
    }
    int kept = 0;
    for (int j = 0; j < sc->pathCount; ++j) {
        if (sc->paths[j].alive) {
            if (kept != j) sc->paths[kept] = sc->paths[j];
            ++kept;
        }
    }
    sc->pathCount = kept;
}

}  // extern "C"
