// Device link speed: block reassembly and queueing of raw scans, and one request/answer exchange
// with an emulated frame over the virtual HID socket.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "MTouch/MTPacketTo.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameSocketServer.h"

using namespace VexoSource;

namespace {

// A raw scan of `blocks` blocks as the frame sends it.
std::vector<std::vector<u8>> ScanReports(int blocks) {
    std::vector<std::vector<u8>> reports;
    u8 sum = 0;
    for (int i = 0; i < blocks; ++i) {
        std::vector<u8> r(64, 0);
        r[0] = 0x04;
        r[1] = 10;
        r[2] = u8(i << 4 | blocks);
        for (int k = 5; k < 64; ++k) {
            r[k] = u8(i * 59 + k);
            sum = u8(sum + r[k]);
        }
        reports.push_back(r);
    }
    for (auto& r : reports) r[4] = sum;
    return reports;
}

void BM_ReassembleScan(benchmark::State& state) {
    const auto reports = ScanReports(int(state.range(0)));
    VexoHIDServer server;
    server.SetFastReply(0);
    for (auto _ : state) {
        for (const auto& r : reports) server.ProcessBytes(r.data() + 1, r[0]);
        delete server.GetPacket(VEXO_QUEUE_TOUCH);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * 59);
}
BENCHMARK(BM_ReassembleScan)->Arg(1)->Arg(3)->Arg(15);

void BM_RequestAnswer(benchmark::State& state) {
    char dirTemplate[] = "/tmp/devlink-bench-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    VirtualFrame::FirmwareEmulator emu;
    VirtualFrame::FrameSocketServer frame(emu, dir + "/frame0.sock");
    if (!frame.Start()) {
        state.SkipWithError("cannot serve the emulated frame");
        return;
    }
    {
        VexoHIDServer server;
        if (!server.Bind("virtual:" + frame.Path())) {
            state.SkipWithError("bind failed");
        } else {
            OrdoConfig cfg;
            u32 ok = 0;
            for (auto _ : state) {
                MTPacketTo(&server, PACKET_IDEN_READ_CONFIG, reinterpret_cast<u8*>(&cfg),
                           sizeof cfg, g_echoTime, &ok, nullptr, 0, 1);
                if (!ok) state.SkipWithError("no answer");
            }
        }
    }
    frame.Stop();
    rmdir(dir.c_str());
}
BENCHMARK(BM_RequestAnswer)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
