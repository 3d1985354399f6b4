// Cost of OrdaloUpdateBlobs on valid but hostile scans: beam patterns a dirty or failing frame
// can produce, which cost far more detection work than any set of fingers. Every pattern only
// ever clears beams that exist on the model, as a real scan would.
//
// Patterns (each on the default 19-inch model, the 120-inch model and two 15-line models):
//   alternate-x     every other straight X beam blocked, no straight Y beam blocked, slanted
//                   beams arrived on even entries only (the case that exposed the cost)
//   alternate-xy    every other straight beam blocked on both axes, slanted beams as above
//   stripes-N       straight X beams blocked in runs of N with gaps of N, slanted beams of
//                   every third entry arrived
//   random-P        every existing beam blocked with probability P (fresh seed per frame)
//   searched        the worst pattern a seeded random search over the families above found
//                   (rerun it with --search)
//   ten-fingers     a normal frame for comparison (ten 10 mm fingers, jittered)
//   hands           the busiest normal frame: twenty fingers of 8-16 mm and a 60 mm palm
//
// Counters: median_us and p99_us of single frames' wall times, max_us the slowest frame,
// work_max the most carving work (carveWork) a frame of the pattern used.
// With --search, prints the worst parameters found instead of benchmarking.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "blob_bench_context.h"

namespace {

using VirtualFrame::Axis;
using VirtualFrame::BeamModel;
using VirtualFrame::FrameModel;

constexpr int kVariants = 64;  // frames per pattern, jittered, cycled through

// A pattern family: straight X beams blocked in runs of xOn with gaps of xOff starting at
// xPhase (xOn = 0: none), the same for Y, and slanted beams of an entry arrived when
// (entry + slantPhase) % slantPeriod == 0 (the others blocked), or each with probability
// randomClear when slantPeriod is 0.
struct Family {
    int xOn, xOff, xPhase;
    int yOn, yOff, yPhase;
    int slantPeriod, slantPhase;
    double randomClear;
};

bool InRun(int led, int on, int off, int phase) {
    if (on <= 0) return false;
    const int period = on + std::max(off, 1);
    return ((led + phase) % period + period) % period < on;
}

std::vector<uint16_t> FamilyWords(const BeamModel& beams, const Family& f, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    const FrameModel& m = beams.model();
    const int nX = m.geometry.ledsX, nY = m.geometry.ledsY;
    const int straight = 1 << (m.geometry.linesX / 2);
    std::vector<uint16_t> words(beams.entryCount());
    for (int e = 0; e < beams.entryCount(); ++e) {
        const uint16_t exists = beams.existingMask(e);
        bool keep = f.slantPeriod > 0 ? (e + f.slantPhase) % f.slantPeriod == 0
                                      : u(rng) < f.randomClear;
        uint16_t w = keep ? exists : 0;
        const bool yAxis = e < nY;
        const int led = yAxis ? nY - 1 - e : e - nY;
        const bool blocked = yAxis ? InRun(led, f.yOn, f.yOff, f.yPhase)
                                   : InRun(led, f.xOn, f.xOff, f.xPhase);
        w = static_cast<uint16_t>((w & ~straight) | (blocked ? 0 : (exists & straight)));
        words[e] = w;
    }
    (void)nX;
    return words;
}

std::vector<uint16_t> RandomWords(const BeamModel& beams, double blocked, uint32_t seed) {
    std::mt19937 rng(seed);
    std::bernoulli_distribution block(blocked);
    std::vector<uint16_t> words(beams.entryCount());
    for (int e = 0; e < beams.entryCount(); ++e) {
        uint16_t w = beams.existingMask(e);
        for (int bit = 0; bit < 16; ++bit)
            if ((w >> bit & 1u) && block(rng)) w = static_cast<uint16_t>(w & ~(1u << bit));
        words[e] = w;
    }
    return words;
}

std::vector<uint16_t> FingerWords(BeamModel& beams, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pos(0.08, 0.92);
    std::vector<VirtualFrame::Finger> fingers;
    for (int i = 0; i < 10; ++i) fingers.push_back({i + 1, pos(rng), pos(rng), 10.0});
    return beams.scan(fingers);
}

std::vector<uint16_t> HandsWords(BeamModel& beams, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pos(0.0, 1.0), diameter(8.0, 16.0);
    std::vector<VirtualFrame::Finger> fingers;
    for (int i = 0; i < 20; ++i) fingers.push_back({i + 1, pos(rng), pos(rng), diameter(rng)});
    fingers.push_back({21, pos(rng), pos(rng), 60.0});
    return beams.scan(fingers);
}

// The patterns by name; variant v jitters phases and seeds so that no two frames repeat.
std::vector<uint16_t> PatternWords(BeamModel& beams, const std::string& name, int v) {
    const uint32_t seed = 7000u + static_cast<uint32_t>(v);
    if (name == "alternate-x") return FamilyWords(beams, {1, 1, v % 2, 0, 0, 0, 2, v % 2, 0}, seed);
    if (name == "alternate-xy")
        return FamilyWords(beams, {1, 1, v % 2, 1, 1, v % 2, 2, v % 2, 0}, seed);
    if (name == "stripes-2") return FamilyWords(beams, {2, 2, v % 4, 0, 0, 0, 3, v % 3, 0}, seed);
    if (name == "stripes-4") return FamilyWords(beams, {4, 4, v % 8, 0, 0, 0, 3, v % 3, 0}, seed);
    if (name == "random-0.3") return RandomWords(beams, 0.3, seed);
    if (name == "random-0.5") return RandomWords(beams, 0.5, seed);
    if (name == "searched") {
        // The worst families --search found against the budgeted detection, per model.
        const bool large = beams.model().geometry.ledsX > 200;
        return large ? FamilyWords(beams, {3, 3, 1 + v % 6, 4, 1, 2, 0, 3, 0.47}, seed)
                     : FamilyWords(beams, {3, 3, 1 + v % 6, 4, 4, 2, 0, 2, 0.19}, seed);
    }
    if (name == "hands") return HandsWords(beams, seed);
    return FingerWords(beams, seed);
}

struct FrameTimes {
    double median = 0, p99 = 0, max = 0;
};

double TimeOneFrame(CoreContext* ctx, const std::vector<uint16_t>& words) {
    const auto start = std::chrono::steady_clock::now();
    std::memcpy(ctx->scan, words.data(), words.size() * sizeof(uint16_t));
    OrdaloUpdateBlobs(ctx);
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(end - start).count();
}

void Adversarial(benchmark::State& state, const char* modelName, const char* pattern) {
    const VirtualFrame::FrameModel* model = nullptr;
    auto ctx = blobbench::ContextForRun(state, modelName, &model);
    if (!ctx) return;
    BeamModel beams(*model);
    std::vector<std::vector<uint16_t>> frames;
    for (int v = 0; v < kVariants; ++v) frames.push_back(PatternWords(beams, pattern, v));
    std::vector<double> samples;
    samples.reserve(1 << 15);
    size_t frame = 0;
    long candidates = 0;
    int mostWork = 0;
    for (auto _ : state) {
        const double us = TimeOneFrame(ctx.get(), frames[frame]);
        const int count = ctx->rectCount;  // packed fields: by value
        const int work = ctx->carveWork;
        candidates += count;
        mostWork = std::max(mostWork, work);
        if (samples.size() < samples.capacity()) samples.push_back(us);
        frame = (frame + 1) % frames.size();
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
        state.counters["max_us"] = samples.back();
    }
    state.counters["rects"] = benchmark::Counter(static_cast<double>(candidates),
                                                 benchmark::Counter::kAvgIterations);
    state.counters["work_max"] = mostWork;
}

void RegisterAll() {
    const char* models[][2] = {{"default_19in", "19in-72x58-7line"},
                               {"largest_120in", "120in-480x270-5line"},
                               {"lines15_27in", "27in-112x64-15line-words"},
                               {"lines15_55in", "55in-240x135-15line"}};
    const char* patterns[] = {"alternate-x", "alternate-xy", "stripes-2", "stripes-4",
                              "random-0.3",  "random-0.5",   "searched",  "ten-fingers",
                              "hands"};
    for (const auto& m : models) {
        for (const char* p : patterns) {
            const std::string label = std::string("Adversarial/") + m[0] + "/" + p;
            const char* modelName = m[1];
            benchmark::RegisterBenchmark(label.c_str(), [modelName, p](benchmark::State& s) {
                Adversarial(s, modelName, p);
            })->Unit(benchmark::kMicrosecond);
        }
    }
}

// Seeded random search over the pattern families: the slowest frame found per model.
void Search() {
    for (const char* name : {"19in-72x58-7line", "120in-480x270-5line", "27in-112x64-15line-words",
                             "55in-240x135-15line"}) {
        const FrameModel* model = VirtualFrame::findFrameModel(name);
        auto ctx = blobbench::SetUpContext(*model);
        BeamModel beams(*model);
        std::mt19937 rng(99);
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        Family worst{};
        double worstUs = 0;
        // Random families first, then mutations of the worst one found so far.
        for (int trial = 0; trial < 900; ++trial) {
            Family f{pick(0, 4), pick(1, 4), pick(0, 3), pick(0, 4), pick(1, 4), pick(0, 3),
                     pick(0, 4),  pick(0, 3), std::uniform_real_distribution<double>(0, 1)(rng)};
            if (trial >= 600) {
                Family m = worst;
                int* fields[] = {&m.xOn, &m.xOff, &m.xPhase, &m.yOn, &m.yOff, &m.yPhase,
                                 &m.slantPeriod, &m.slantPhase};
                int& field = *fields[pick(0, 7)];
                field = std::max(0, field + (pick(0, 1) ? 1 : -1));
                m.xOff = std::max(m.xOff, 1);
                m.yOff = std::max(m.yOff, 1);
                f = m;
            }
            const std::vector<uint16_t> words = FamilyWords(beams, f, rng());
            double us = 0;
            for (int r = 0; r < 3; ++r) us = std::max(us, TimeOneFrame(ctx.get(), words));
            if (us > worstUs) {
                worstUs = us;
                worst = f;
            }
        }
        std::printf("%s: worst %.0f us: x %d/%d/%d y %d/%d/%d slant %d/%d clear %.2f\n", name,
                    worstUs, worst.xOn, worst.xOff, worst.xPhase, worst.yOn, worst.yOff,
                    worst.yPhase, worst.slantPeriod, worst.slantPhase, worst.randomClear);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--search") == 0) {
            Search();
            return 0;
        }
    }
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
