// Entry points of the frame library: set-up, calibration record and the per-frame pipeline.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "PanoraCore.h"
#include "PanoraPrivate.h"

extern "C" {

// Aligned so that the shared smoothing switch can be accessed atomically.
alignas(8) SmoothInfo g_smi;
uint8_t tempbuf[PANORA_TEMPBUF_SIZE];
int32_t debugflag = 1;
int32_t a[10] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
uint8_t blobs[64];
int32_t blobnumber;
int32_t number;

}  // extern "C"

namespace panora {

namespace {

// Device threads set up and run their own contexts concurrently, but share this switch.
uint32_t* SmoothSwitch() {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<unsigned char*>(&g_smi) +
                                       offsetof(SmoothInfo, smoothEnabled));
}

bool PositiveFinite(float v) { return std::isfinite(v) && v > 0.0f; }

// Decides whether a context can hold the geometry: every later step indexes its fixed arrays
// with these numbers, so a geometry that does not fit must never become ready.
bool GeometryFits(const CoreContext* ctx, const SetupParams* p) {
    if (!PositiveFinite(p->screenInches) || !PositiveFinite(p->frameWidth) ||
        !PositiveFinite(p->frameHeight)) {
        return false;
    }
    if (p->ledsX < 1 || p->ledsY < 1 || ctx->padLedsX < 0 || ctx->padLedsY < 0) return false;
    if (p->linesX < 1 || p->linesX > PANORA_MAX_LINES || p->linesY < 1 ||
        p->linesY > PANORA_MAX_LINES) {
        return false;
    }
    // Line k of an LED is bit lines-1-k around the straight beam in the middle: an even count
    // has no middle.
    if (p->linesX % 2 == 0 || p->linesY % 2 == 0) return false;
    // The X lines are read through the slope table's second block, centred on the Y lines'
    // middle, and by the Y lines' bit numbering: an X LED with more lines on either side of its
    // straight beam than a Y LED would be read outside both.
    if (p->linesX / 2 > p->linesY / 2) return false;
    // The gap comes from the frame as any u32. Beyond the axis's LED count no slanted line has a
    // partner, and the decoders' and detection's gap products (up to lines * gap + LED count)
    // stay far inside an int only while the gap is bounded by it.
    if (p->ledGapX < 1 || p->ledGapY < 1) return false;
    if (p->ledGapX > p->ledsX || p->ledGapY > p->ledsY) return false;
    const int64_t countX = int64_t{p->ledsX} + 2 * int64_t{ctx->padLedsX};
    const int64_t countY = int64_t{p->ledsY} + 2 * int64_t{ctx->padLedsY};
    const int64_t entries = countX + countY;
    if (entries > PANORA_MAX_ENTRIES) return false;
    const int64_t lines = p->linesX > p->linesY ? p->linesX : p->linesY;
    if (entries * lines > PANORA_MAX_BEAMS) return false;
    const RawModel model = ChooseModel(p->screenInches, p->linesX, p->linesY, p->ledGapX, 1);
    if (model == RawModel::kEmitterBytes &&
        int64_t{p->ledsX} + p->ledsY > PANORA_MAX_TRAN70_ENTRIES) {
        return false;
    }
    return true;
}

}  // namespace

}  // namespace panora

extern "C" {

uint32_t OrdaloScreenSetup(CoreContext* ctx, SetupParams* p) {
    if (ctx == nullptr) return 0;
    if (p == nullptr || !panora::GeometryFits(ctx, p)) {
        ctx->ready = 0;
        return 0;
    }
    ctx->ready = 0;
    ctx->cornerRadius = 0.1f;
    ctx->calRatioX = ctx->calRatioY = 1.0f;

    ctx->outBlobCount = 0;
    ctx->lastId = 0;
    ctx->frameCounter = 0;
    ctx->workCount = 0;
    ctx->blobCount = 0;
    ctx->recordingBackground = 0;
    ctx->penEnabled = 0;
    ctx->dropLargeBlobs = 0;
    ctx->deadBeam = 0;
    ctx->transientCount = 0;
    ctx->findMode = 1;
    ctx->fastFrame = 1;
    ctx->eraseBackground = 1;
    ctx->mirrorX = 1;
    ctx->mirrorY = 1;

    ctx->screenInches = p->screenInches;
    ctx->ledCountX = 2 * ctx->padLedsX + p->ledsX;
    ctx->ledCountY = 2 * ctx->padLedsY + p->ledsY;
    ctx->linesX = p->linesX;
    ctx->linesY = p->linesY;
    ctx->ledGapX = p->ledGapX;
    ctx->ledGapY = p->ledGapY;
    ctx->frameWidth = p->frameWidth;
    ctx->frameHeight = p->frameHeight;
    ctx->halfLinesX = p->linesX / 2;
    ctx->halfLinesY = p->linesY / 2;
    ctx->pitchX = ctx->frameWidth / static_cast<float>(ctx->ledCountX);
    ctx->pitchY = ctx->frameHeight / static_cast<float>(ctx->ledCountY);

    ctx->pairGate = p->pairGate;
    ctx->minArea = static_cast<float>((1.0 / ctx->ledCountX) * (1.0 / ctx->ledCountY) * 0.25);
    ctx->maxBlobs = p->maxBlobs;
    ctx->maxBlobSize = p->maxBlobSize;

    const ODPoint o{0.0f, 0.0f}, x1{1.0f, 0.0f}, y1{0.0f, 1.0f}, xy{1.0f, 1.0f};
    OrdaloScreenCalibrationEx(ctx, o, y1, xy, x1, o, y1, xy, x1);

    ctx->calPoints[0] = o;
    ctx->calPoints[1] = xy;
    ctx->calPoints[2] = o;
    ctx->calPoints[3] = xy;
    ctx->calRatioX = ctx->calRatioY = 1.0f;

    ctx->cornerRadius = 10.0f / static_cast<float>(ctx->ledCountX);
    ctx->entryCount = ctx->ledCountX + ctx->ledCountY;

    const int32_t sumSq = ctx->ledCountX * ctx->ledCountX + ctx->ledCountY * ctx->ledCountY;
    const float diagonalLeds = std::sqrt(static_cast<float>(sumSq));
    ctx->mmPerLed = static_cast<float>(static_cast<double>(ctx->screenInches) * 25.4 /
                                       static_cast<double>(diagonalLeds));

    for (int e = 0; e < PANORA_MAX_ENTRIES; ++e) ctx->background[e] = 0xFFFF;
    std::memset(ctx->beamBalance, 0, sizeof(ctx->beamBalance));
    std::memset(ctx->scanHistory, 0xFF, sizeof(ctx->scanHistory));
    ctx->historySlot = 0;

    // Not part of the caller's contract, but read before the first frame arrives.
    for (int e = 0; e < PANORA_MAX_ENTRIES; ++e) ctx->scan[e] = ctx->recordMask[e] = 0xFFFF;
    ctx->outBlobs = ctx->blobs;
    ctx->rectCount = 0;
    ctx->lastFrameBlobs = 0;
    ctx->runsX = ctx->runsY = 0;
    std::memset(ctx->decompressBuf, 0, sizeof(ctx->decompressBuf));
    ctx->physLedsX = p->ledsX;
    ctx->physLedsY = p->ledsY;
    ctx->setupPadX = ctx->padLedsX;
    ctx->setupPadY = ctx->padLedsY;
    ctx->scanFresh = 0;
    ctx->historyCount = 0;
    ctx->carveWork = 0;
    ctx->refineWork = 0;

    __atomic_store_n(panora::SmoothSwitch(), 1u, __ATOMIC_RELAXED);
    std::memset(&ctx->smooth, 0, sizeof(ctx->smooth));
    ctx->smoothPtr = &ctx->smooth;

    iniScreen(ctx);
    ctx->ready = 1;
    return 1;
}

uint32_t iniScreen(CoreContext* ctx) {
    if (ctx == nullptr) return 0;
    for (int e = 0; e < PANORA_SLOPE_COUNT; ++e) ctx->lineSlope[e] = 0.0f;
    const int hy = ctx->halfLinesY;
    const int hx = ctx->halfLinesX;
    for (int i = -hy; i <= hy; ++i) {
        const int e = i + hy;
        if (e < 0 || e >= PANORA_SLOPE_COUNT) continue;
        ctx->lineSlope[e] = -ctx->pitchY * static_cast<float>(ctx->ledGapY * i) / ctx->frameWidth;
    }
    for (int j = -hx; j <= hx; ++j) {
        const int e = ctx->linesY + hy + j;
        if (e < 0 || e >= PANORA_SLOPE_COUNT) continue;
        ctx->lineSlope[e] = j == 0 ? 0.0f
                                   : ctx->frameHeight / (static_cast<float>(ctx->ledGapX) *
                                                         ctx->pitchX * static_cast<float>(j));
    }
    std::memset(ctx->idInUse, 0, sizeof(ctx->idInUse));
    ctx->lastId = 0;
    ctx->trackCount = 0;
    return 1;
}

uint32_t OrdaloScreenCalibration(CoreContext* ctx, ODPoint p0, ODPoint p1, ODPoint p2, ODPoint p3) {
    if (ctx == nullptr) return 0;
    ctx->calPoints[0] = p0;
    ctx->calPoints[1] = p1;
    ctx->calPoints[2] = p2;
    ctx->calPoints[3] = p3;
    ctx->calRatioX = (p1.x - p0.x) / (p3.x - p2.x);
    ctx->calRatioY = (p1.y - p0.y) / (p3.y - p2.y);
    return 1;
}

uint32_t OrdaloUpdateBlobs(CoreContext* ctx) {
    if (ctx == nullptr || ctx->ready == 0) return 0;

    ctx->rectRefined = 0;
    findBlobs_Improved(ctx);

    // Masking follows detection on purpose: it shapes ghost removal in this frame and the
    // detection of the next one.
    if (ctx->eraseBackground) RemoveBackground(ctx);

    RemoveFalseBlobsEx2(ctx);
    if (ctx->deadBeam == 0) SingleTouchEx(ctx);
    RefineBlobCentres(ctx);

    if (ctx->blobCount < 0) ctx->blobCount = 0;
    if (ctx->blobCount > PANORA_MAX_POLYGONS) ctx->blobCount = PANORA_MAX_POLYGONS;
    // Blobs covering 100 LED cells or more are palms or sleeves rather than fingers.
    MaskPoint(ctx, ctx->dropLargeBlobs);
    if (ctx->blobCount > PANORA_MAX_IDS) ctx->blobCount = PANORA_MAX_IDS;

    AssignBlobsID(ctx);
    // Large screens scanned slowly confirm and release touches sooner.
    const bool quick = ctx->screenInches >= 46.0f && ctx->fastFrame == 0;
    TransientBlobs(ctx, quick ? 3 : 5, quick ? 3 : 5);

    ctx->outBlobs = ctx->blobs;
    ctx->outBlobCount = ctx->blobCount;
    SortByAge(ctx);
    if (__atomic_load_n(panora::SmoothSwitch(), __ATOMIC_RELAXED)) SmoothBlobs(ctx);
    return 1;
}

}  // extern "C"
