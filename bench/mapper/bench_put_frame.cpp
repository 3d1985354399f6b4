// Cost of one odosxmapper_put_frame call with 1, 2, 5 and 10 fingers down. The fingers land at
// random spots, wander in jittered steps of up to 2 mm (so drags, scrolls, pinches and swipes
// start and stop along the way) and lift together every 64 frames; the actions they make go to
// the recording desktop, which never waits.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "OrdaloOSXMapper.h"
#include "RecordingDesktop.h"

using ordalo::sdk::gesturelibrary::Contact;

namespace {

constexpr std::size_t kFramesPerHand = 64;
constexpr std::size_t kHands = 64;

std::vector<std::vector<Contact<float>>> makeFrames(std::size_t fingers, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> spot(0.1f, 0.9f);
    std::uniform_real_distribution<float> step(-0.004f, 0.004f);  // up to about 2 mm
    std::vector<std::vector<Contact<float>>> frames;
    std::uint64_t nextId = 0;
    for (std::size_t hand = 0; hand < kHands; ++hand) {
        std::vector<Contact<float>> down(fingers);
        for (Contact<float>& c : down) {
            c = Contact<float>{};
            c.id = nextId++ % 240;  // the service's id range, past the dynamic recognizers' 100
            c.location = {spot(random), spot(random)};
        }
        for (std::size_t f = 0; f + 1 < kFramesPerHand; ++f) {
            frames.push_back(down);
            for (Contact<float>& c : down) {
                c.location.x = std::clamp(c.location.x + step(random), 0.0f, 1.0f);
                c.location.y = std::clamp(c.location.y + step(random), 0.0f, 1.0f);
            }
        }
        frames.emplace_back();  // all fingers up
    }
    return frames;
}

void BM_PutFrame(benchmark::State& state) {
    ordalo::sdk::desktop::RecordingDesktop desktop;
    ordalo::sdk::desktop::Desktop* previous = ordalo::sdk::desktop::setDesktop(&desktop);
    const auto frames = makeFrames(std::size_t(state.range(0)), 12345u + std::uint32_t(state.range(0)));
    std::size_t at = 0;
    std::size_t events = 0;
    std::vector<float> callNs;
    callNs.reserve(1 << 22);
    for (auto _ : state) {
        const auto& frame = frames[at];
        // The slow calls matter for latency (one that fires an action or lands a whole hand);
        // the mean hides them.
        const auto start = std::chrono::steady_clock::now();
        odosxmapper_put_frame(frame.data(), frame.size());
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        if (callNs.size() < callNs.capacity()) callNs.push_back(float(ns));
        at = (at + 1) % frames.size();
        events += desktop.events().size();
        desktop.clear();
    }
    std::sort(callNs.begin(), callNs.end());
    auto quantile = [&](double q) {
        return callNs.empty() ? 0.0 : double(callNs[std::size_t(q * double(callNs.size() - 1))]);
    };
    state.counters["p50_ns"] = quantile(0.5);
    state.counters["p99_ns"] = quantile(0.99);
    state.counters["p99.99_ns"] = quantile(0.9999);
    state.counters["max_ns"] = quantile(1.0);
    state.counters["events/frame"] =
            benchmark::Counter(double(events) / double(state.iterations()));
    ordalo::sdk::desktop::setDesktop(previous);
}

BENCHMARK(BM_PutFrame)
        ->Arg(1)
        ->Arg(2)
        ->Arg(5)
        ->Arg(10)
        ->ComputeStatistics("max", [](const std::vector<double>& v) {
            return *std::max_element(v.begin(), v.end());
        });

}  // namespace

BENCHMARK_MAIN();
