// Costs on the service's hot paths: every thread logs, every received packet notifies an
// event that the device thread waits on, and log lines are converted to UTF-8 for the sink.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "VexoLog/VexoLog.h"
#include "VexoSync/VexoSyncobj.h"
#include "VexoUnicode/VexoUnicode.h"

using namespace VexoSource;

namespace {

void InitLogger(i32 level) {
    VexoLogInit(level, VEXO_LOG_NO_LINEFEED, L"Service ");
    VexoLogSetSink([](const std::wstring& line) { benchmark::DoNotOptimize(line.data()); });
}

// A Debug line with the service's settings: dropped before any formatting.
void BM_LogDropped(benchmark::State& state) {
    InitLogger(1);
    for (auto _ : state) {
        VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"Current touch %d", 3);
    }
}
BENCHMARK(BM_LogDropped);

// A full line: time stamp, tag, prefix, formatted message with a narrow argument.
void BM_LogComposed(benchmark::State& state) {
    InitLogger(0);
    for (auto _ : state) {
        VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation,
                L"Device %hs arrived at slot %d", "/dev/hidraw3", 2);
    }
    VexoLogSetSink(nullptr);
}
BENCHMARK(BM_LogComposed);

// Notify in one thread, timed wait and reset in the other, and back: one round trip.
void BM_EventRoundTrip(benchmark::State& state) {
    VexoLogInit(2, 0, L"");
    VexoHandle ping = VexoEvtCreate(0, nullptr, 0);
    VexoHandle pong = VexoEvtCreate(0, nullptr, 0);
    std::atomic<bool> done{false};
    std::thread peer([&] {
        while (!done) {
            if (VexoWaitObjectWithTimed(ping, 200) == 1) {
                VexoEvtReset(ping);
                VexoEvtNotify(pong);
            }
        }
    });
    for (auto _ : state) {
        VexoEvtNotify(ping);
        while (VexoWaitObjectWithTimed(pong, 200) != 1) {
        }
        VexoEvtReset(pong);
    }
    done = true;
    peer.join();
    VexoCloseHandle(ping);
    VexoCloseHandle(pong);
}
BENCHMARK(BM_EventRoundTrip)->UseRealTime();

void BM_Utf8RoundTrip(benchmark::State& state) {
    const std::wstring text = std::wstring(200, L'a') + L"\u00e9\u20ac" + std::wstring(50, L'z');
    for (auto _ : state) {
        std::string utf8;
        std::wstring back;
        VexoUnicodeToUtf8(text, utf8);
        VexoUnicodeFromUtf8(utf8, back);
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Utf8RoundTrip);

}  // namespace

BENCHMARK_MAIN();
