// Cost of decoding and fixing one raw frame (OrdaloDataFill + OrdaloDataFix), background
// learning included, on the default panel and the largest models.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/LibrarySetup.h"
#include "VirtualFrame/RawEncoder.h"

namespace {

// Two fingers, as a frame typically streams them.
std::vector<uint8_t> TwoFingerFrame(const VirtualFrame::FrameModel& model) {
    VirtualFrame::BeamModel beams(model);
    const std::vector<VirtualFrame::Finger> fingers = {{1, 0.3, 0.4, 10.0}, {2, 0.7, 0.6, 10.0}};
    return VirtualFrame::encodeScan(model, beams.scan(fingers));
}

void FillAndFix(benchmark::State& state, const char* modelName) {
    const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel(modelName);
    if (model == nullptr) {
        state.SkipWithError("model not in the catalogue");
        return;
    }
    const VirtualFrame::FrameGeometry& g = model->geometry;
    auto ctx = std::make_unique<CoreContext>();
    SetupParams p = VirtualFrame::librarySetupFor(*model);
    if (OrdaloScreenSetup(ctx.get(), &p) != 1) {
        state.SkipWithError("set-up refused the geometry");
        return;
    }
    const std::vector<uint8_t> raw = TwoFingerFrame(*model);
    // Past frame 600 the background window is full: the steady state of a running frame.
    for (int i = 0; i < 700; ++i) {
        OrdaloDataFill(ctx.get(), raw.data(), static_cast<uint32_t>(raw.size()));
        OrdaloDataFix(ctx.get());
    }
    for (auto _ : state) {
        OrdaloDataFill(ctx.get(), raw.data(), static_cast<uint32_t>(raw.size()));
        OrdaloDataFix(ctx.get());
        const uint16_t first = ctx->scan[0];  // packed field: read by value
        benchmark::DoNotOptimize(first);
    }
    state.counters["entries"] = g.ledsX + g.ledsY;
    state.counters["rawBytes"] = static_cast<double>(raw.size());
}

}  // namespace

BENCHMARK_CAPTURE(FillAndFix, default_19in_72x58_7line, "19in-72x58-7line");
BENCHMARK_CAPTURE(FillAndFix, largest_120in_480x270_5line_compressed, "120in-480x270-5line");
BENCHMARK_CAPTURE(FillAndFix, emitter_82in_360x200_7line, "82in-360x200-7line");
BENCHMARK_CAPTURE(FillAndFix, halflines_55in_240x135_15line, "55in-240x135-15line");

BENCHMARK_MAIN();
