// One simulated scan per model: ten fingers through the beam model, then the raw encoder. A
// virtual frame must produce a scan well within its scan period (8.3 ms at 120 Hz).
#include <benchmark/benchmark.h>

#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FramePlayer.h"
#include "VirtualFrame/RawEncoder.h"

using namespace VirtualFrame;

namespace {

std::vector<Finger> tenFingers() {
    std::vector<Finger> fingers;
    for (int i = 0; i < 10; ++i) fingers.push_back({i, 0.1 + 0.08 * i, 0.3 + 0.04 * (i % 5), 10});
    return fingers;
}

void BM_BeamScan(benchmark::State& state) {
    const FrameModel& model = frameModels()[state.range(0)];
    BeamModel beams(model);
    const auto fingers = tenFingers();
    for (auto _ : state) benchmark::DoNotOptimize(beams.scan(fingers));
    state.SetLabel(model.name);
}

void BM_Encode(benchmark::State& state) {
    const FrameModel& model = frameModels()[state.range(0)];
    BeamModel beams(model);
    const auto words = beams.scan(tenFingers());
    for (auto _ : state) benchmark::DoNotOptimize(encodeScan(model, words));
    state.SetLabel(model.name);
}

void BM_PlayerScan(benchmark::State& state) {
    FramePlayer player(defaultFrameModel(), builtinScenario("ten-fingers"));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(player.rawScan(i));
        i = (i + 1) % player.scanCount();
    }
}

void Models(benchmark::internal::Benchmark* b) {
    for (size_t i = 0; i < frameModels().size(); ++i) b->Arg(static_cast<int>(i));
}

}  // namespace

BENCHMARK(BM_BeamScan)->Apply(Models)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode)->Apply(Models)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlayerScan)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
