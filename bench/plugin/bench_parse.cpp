// Cost of FrameParser::parse on packets as the service writes them (TUIO::ComposeXml) with 1, 5,
// 10 and 48 touches at jittered positions, and on hostile packets of the bridge's largest
// message (65533 bytes): an alive list of 16000 ids with no set message (the parser allocates
// for every id, then fails), and one set message padded with 8000 values.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "OrdaloOSXPlugin.h"
#include "VexoTUIO/TUIO.h"

using ordalo::sdk::gesturelibrary::FrameParser;

namespace {

std::vector<std::string> servicePackets(std::size_t touches) {
    std::mt19937 random(777u + unsigned(touches));
    std::uniform_real_distribution<float> spot(0.0f, 1.0f), size(0.005f, 0.03f);
    std::vector<std::string> packets;
    std::vector<VexoSource::VexoTouch_S> table(touches);
    std::vector<uint32_t> flags(touches, 1);
    for (int frame = 0; frame < 256; ++frame) {
        for (std::size_t i = 0; i < touches; ++i) {
            const float w = size(random), h = size(random);
            table[i] = {spot(random), spot(random), w, h, w * h, uint32_t((i * 5 + frame) % 240)};
        }
        packets.push_back(VexoSource::TUIO::ComposeXml(table.data(), uint32_t(touches), flags.data(),
                                                       frame, 3000, 0.01f * float(frame)));
    }
    return packets;
}

std::string fitted(std::string text) {
    if (text.size() > 65533) text.resize(65533);
    return text;
}

// Mean per call is what the counters report; the slowest single call shows the tail.
template <typename Call>
void timeCalls(benchmark::State& state, Call call) {
    double slowestNs = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const double ns = std::chrono::duration<double, std::nano>(
                                  std::chrono::steady_clock::now() - start)
                                  .count();
        slowestNs = std::max(slowestNs, ns);
    }
    state.counters["slowest_call_us"] = slowestNs / 1000.0;
}

void BM_ParseServicePacket(benchmark::State& state) {
    const auto packets = servicePackets(std::size_t(state.range(0)));
    std::size_t at = 0;
    timeCalls(state, [&] {
        auto frame = FrameParser::parse<float>(packets[at]);
        benchmark::DoNotOptimize(frame);
        at = (at + 1) % packets.size();
    });
    state.counters["bytes"] = double(packets[0].size());
}
BENCHMARK(BM_ParseServicePacket)->Arg(1)->Arg(5)->Arg(10)->Arg(48);

void BM_ParseHostileAlive(benchmark::State& state) {
    std::string text = "<OSCPACKET COMPANY=\"Ostrel\"><MESSAGE><A VALUE=\"alive\"/>";
    for (int i = 0; i < 16000; ++i) text += "<A/>";
    const std::string packet = fitted(text + "</MESSAGE></OSCPACKET>");
    timeCalls(state, [&] {
        try {
            FrameParser::parse<float>(packet);
        } catch (const FrameParser::InvalidTuioMessageException&) {
        }
    });
}
BENCHMARK(BM_ParseHostileAlive);

void BM_ParseHostileValues(benchmark::State& state) {
    std::string text =
            "<OSCPACKET COMPANY=\"Ostrel\"><MESSAGE><A VALUE=\"set\"/><A VALUE=\"1\"/>"
            "<A VALUE=\"0.5\"/><A VALUE=\"0.5\"/>";
    for (int i = 0; i < 8000; ++i) text += "<A VALUE=\"0\"/>";
    const std::string packet =
            fitted(text + "</MESSAGE><MESSAGE><A VALUE=\"alive\"/><A VALUE=\"1\"/></MESSAGE>"
                          "</OSCPACKET>");
    timeCalls(state, [&] {
        auto frame = FrameParser::parse<float>(packet);
        benchmark::DoNotOptimize(frame);
    });
}
BENCHMARK(BM_ParseHostileValues);

}  // namespace

BENCHMARK_MAIN();
