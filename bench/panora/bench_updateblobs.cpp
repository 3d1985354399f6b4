// Cost of OrdaloUpdateBlobs (detection, ghost removal, rescue, tracking, smoothing) per frame,
// with 0, 1, 2, 5 and 10 fingers on the default model and the largest model.
//
// Every iteration is one frame: the beam words of that frame are copied into the context and
// the pipeline runs once. The fingers drift slowly on small circles, so tracking and smoothing
// work as on a live frame. Besides the mean time of the framework, each run reports the median
// and the 99th percentile of the single frames' wall times (counters median_us and p99_us).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "blob_bench_context.h"

namespace {

void UpdateBlobs(benchmark::State& state, const char* modelName, bool closePairs) {
    const VirtualFrame::FrameModel* model = nullptr;
    auto ctx = blobbench::ContextForRun(state, modelName, &model);
    if (!ctx) return;
    const int fingers = static_cast<int>(state.range(0));
    const std::vector<std::vector<uint16_t>> frames =
        blobbench::CirclingFrames(*model, fingers, closePairs);
    const size_t bytes = frames[0].size() * sizeof(uint16_t);
    // Settle the tracker before measuring.
    for (int i = 0; i < 20; ++i) {
        std::memcpy(ctx->scan, frames[i].data(), bytes);
        OrdaloUpdateBlobs(ctx.get());
    }
    std::vector<double> samples;
    samples.reserve(1 << 16);
    size_t frame = 0;
    int touches = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::memcpy(ctx->scan, frames[frame].data(), bytes);
        OrdaloUpdateBlobs(ctx.get());
        const auto end = std::chrono::steady_clock::now();
        // Packed field: read by value, never bound to a reference.
        const int count = ctx->outBlobCount;
        benchmark::DoNotOptimize(count);
        touches += count;
        if (samples.size() < samples.capacity())
            samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        frame = (frame + 1) % frames.size();
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    }
    state.counters["touches"] = benchmark::Counter(touches, benchmark::Counter::kAvgIterations);
}

// The sub-LED refinement alone, on the blobs detection and ghost removal leave for N fingers:
// time per frame, and per touch through the items counter.
void Refine(benchmark::State& state, const char* modelName, bool closePairs) {
    const VirtualFrame::FrameModel* model = nullptr;
    auto ctx = blobbench::ContextForRun(state, modelName, &model);
    if (!ctx) return;
    const std::vector<std::vector<uint16_t>> frames =
        blobbench::CirclingFrames(*model, static_cast<int>(state.range(0)), closePairs);
    std::vector<std::vector<_MINI_POLYGON>> blobs;
    for (const auto& words : frames) {
        std::memcpy(ctx->scan, words.data(), words.size() * sizeof(uint16_t));
        findBlobs_Improved(ctx.get());
        RemoveBackground(ctx.get());
        RemoveFalseBlobsEx2(ctx.get());
        SingleTouchEx(ctx.get());
        blobs.emplace_back(ctx->blobs, ctx->blobs + ctx->blobCount);
        blobs.back().resize(static_cast<size_t>(ctx->blobCount));
    }
    size_t frame = 0;
    long touches = 0;
    for (auto _ : state) {
        // Restoring the frame's words and blobs costs well under a microsecond.
        std::memcpy(ctx->scan, frames[frame].data(), frames[frame].size() * sizeof(uint16_t));
        std::copy(blobs[frame].begin(), blobs[frame].end(), ctx->blobs);
        ctx->blobCount = static_cast<int32_t>(blobs[frame].size());
        RefineBlobCentres(ctx.get());
        touches += static_cast<long>(blobs[frame].size());
        frame = (frame + 1) % frames.size();
    }
    state.SetItemsProcessed(touches);
}

BENCHMARK_CAPTURE(Refine, default_19in, "19in-72x58-7line", false)
    ->Arg(1)
    ->Arg(2)
    ->Arg(5)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Refine, words_27in, "27in-112x64-15line-words", false)
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Refine, close_pairs_19in, "19in-72x58-7line", true)
    ->Arg(2)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Refine, close_pairs_27in, "27in-112x64-15line-words", true)
    ->Arg(2)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_CAPTURE(UpdateBlobs, default_19in, "19in-72x58-7line", false)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(5)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(UpdateBlobs, largest_120in, "120in-480x270-5line", false)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(5)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(UpdateBlobs, close_pairs_19in, "19in-72x58-7line", true)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(UpdateBlobs, close_pairs_27in, "27in-112x64-15line-words", true)
    ->Arg(10)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
