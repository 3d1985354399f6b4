// Raw scans of every frame model the library decodes, as a frame in software mode streams them:
// the set-up of a catalogue model (its real configuration), then any number of frames of any
// bytes and length through OrdaloDataFill, OrdaloDataFix and OrdaloUpdateBlobs. Long runs reach
// the background model and the tracker's later states. Each frame must leave the context's
// geometry alone, keep every count inside its table and give distinct live identities on the
// screen; nothing may read or write outside the context or the raw frame.
//
// Input: byte 0 the model (catalogue index, modulo its size), byte 1 the switches
// (panora_support.h), byte 2 virtual LEDs per side (bits 0-1 X, 2-3 Y), then frame records.
#include <cstddef>
#include <cstdint>

#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/LibrarySetup.h"
#include "panora_support.h"

using namespace panora_fuzz;

namespace {

// Just past the background's first lesson (frame 101): every frame costs the whole pipeline.
constexpr int kMaxFrameRuns = 112;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const auto& models = VirtualFrame::frameModels();
    const VirtualFrame::FrameModel& model = models[data[0] % models.size()];

    GuardedContext guarded;
    CoreContext* ctx = guarded.get();
    ctx->padLedsX = data[2] & 3;
    ctx->padLedsY = (data[2] >> 2) & 3;
    SetupParams p = VirtualFrame::librarySetupFor(model);
    // Every catalogue model is one the library supports.
    Check(OrdaloScreenSetup(ctx, &p) == 1);
    Check(OrdaloScreenCalibration(ctx, ODPoint{0, 0}, ODPoint{1, 1}, ODPoint{0, 0}, ODPoint{1, 1}) == 1);
    Apply(ctx, SwitchesFrom(data[1]));
    RunFrames(guarded, data + 3, size - 3, kMaxFrameRuns);
    return 0;
}
