// The frame library's set-up from whatever a frame's configuration, effects and calibration
// records carry (every LED count, line count and gap any u32, the screen size any byte, blob
// settings any float), with virtual LEDs and the caller's switches, then frames of raw bytes.
// Set-up either refuses, leaving the context not ready (and the pipeline then does nothing),
// or gives a ready context whose geometry fits its tables; frames never leave the context.
//
// Input: OrdoConfig (38 bytes), OrdoEffs (36), OrdoCalib (36), the switches (panora_support.h),
// a byte of virtual LEDs per side (bits 0-1 X, 2-3 Y), then frame records; missing record bytes
// read as 0.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "MTouch/MTProtocol.h"
#include "panora_support.h"

using namespace panora_fuzz;

namespace {

constexpr int kMaxFrameRuns = 24;

struct Records {
    OrdoConfig config;
    OrdoEffs effs;
    OrdoCalib calib;
    uint8_t control;
    uint8_t pads;
};
constexpr size_t kRecordBytes = sizeof(Records);
static_assert(kRecordBytes == 38 + 36 + 36 + 2, "records are read byte for byte");

// The set-up record as the service's device thread fills it from the frame's answers.
SetupParams ParamsFrom(const Records& r) {
    SetupParams p{};
    p.screenInches = float(r.config.LCD_SIZE);
    p.ledsX = int32_t(uint32_t(r.config.LED_X));
    p.ledsY = int32_t(uint32_t(r.config.LED_Y));
    p.linesX = int32_t(uint32_t(r.config.LINEX));
    p.linesY = int32_t(uint32_t(r.config.LINEY));
    p.ledGapX = int32_t(uint32_t(r.config.LEDGAPX));
    p.ledGapY = int32_t(uint32_t(r.config.LEDGAPY));
    p.frameWidth = 1.0f;
    p.frameHeight = 1.0f;
    p.pairGate = r.effs.maxBlobDistance;
    p.minBlobSize = r.effs.minBlobSize;
    p.maxBlobSize = r.effs.maxBlobSize;
    p.maxBlobs = r.effs.maxBlobs;
    p.reserved = 1;
    return p;
}

// The calibration corners as the service passes them: byte offsets 8, 10, 32, 34, 4, 6, 28, 30,
// full scale 32767.
void Calibrate(CoreContext* ctx, const OrdoCalib& calib) {
    ODPoint p0{0, 0}, p1{1, 1}, p2{0, 0}, p3{1, 1};
    if (uint32_t(calib.enabled)) {
        auto at = [&](unsigned offset) { return float(uint16_t(calib.points[(offset - 4) / 2]) / 32767.0); };
        p0 = ODPoint{at(8), at(10)};
        p1 = ODPoint{at(32), at(34)};
        p2 = ODPoint{at(4), at(6)};
        p3 = ODPoint{at(28), at(30)};
    }
    Check(OrdaloScreenCalibration(ctx, p0, p1, p2, p3) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Records r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(&r, data, size < kRecordBytes ? size : kRecordBytes);
    const SetupParams p = ParamsFrom(r);

    GuardedContext guarded;
    CoreContext* ctx = guarded.get();
    ctx->padLedsX = r.pads & 3;
    ctx->padLedsY = (r.pads >> 2) & 3;
    SetupParams copy = p;
    const uint32_t ready = OrdaloScreenSetup(ctx, &copy);
    Check(std::memcmp(&copy, &p, sizeof p) == 0);  // the caller's record is only read
    Check(ready == ctx->ready);
    guarded.CheckGuards();
    if (!ready) {
        // Not ready: every frame call leaves the result alone.
        ctx->outBlobCount = 12345;
        static const uint8_t raw[64] = {};
        OrdaloDataFill(ctx, raw, sizeof raw);
        OrdaloDataFix(ctx);
        Check(OrdaloUpdateBlobs(ctx) == 0);
        Check(ctx->outBlobCount == 12345);
        guarded.CheckGuards();
        return 0;
    }

    // Ready: the geometry it took fits the context's tables.
    Check(ctx->ledCountX == p.ledsX + 2 * ctx->padLedsX && ctx->ledCountY == p.ledsY + 2 * ctx->padLedsY);
    Check(ctx->entryCount == ctx->ledCountX + ctx->ledCountY);
    Check(ctx->entryCount <= PANORA_MAX_ENTRIES);
    Check(int64_t{ctx->entryCount} * (ctx->linesX > ctx->linesY ? ctx->linesX : ctx->linesY) <= PANORA_MAX_BEAMS);
    Check(ctx->linesX >= 1 && ctx->linesX <= PANORA_MAX_LINES && ctx->linesY >= 1 && ctx->linesY <= PANORA_MAX_LINES);
    Check(ctx->linesX + ctx->linesY <= PANORA_SLOPE_COUNT);
    Check(std::isfinite(ctx->mmPerLed) && ctx->mmPerLed > 0.0f);
    Check(ctx->outBlobCount == 0 && ctx->outBlobs == ctx->blobs);

    Calibrate(ctx, r.calib);
    Apply(ctx, SwitchesFrom(r.control));
    if (size > kRecordBytes) RunFrames(guarded, data + kRecordBytes, size - kRecordBytes, kMaxFrameRuns);
    return 0;
}
