// Touch latency of the whole service: a virtual frame in this process streams at 120 scans/s,
// the real OrdaloService binary serves it, and this program listens on UDP port 3333.
//
// - touch-down: from the scan that first carries a new finger being handed to the frame's
//   sender, to the first datagram that lists a touch;
// - movement: from the scan in which a held finger jumps by 20 mm, to the first datagram whose
//   touch moved by 10 mm or more.
// Positions and jump directions are random. The library's own hold-back (scans until it reports
// a new finger or a moved one) is measured in-process on the same scans and given as a share.
//
//   unshare -n sh -c 'ip link set lo up && build/bin/service_latency build/bin/OrdaloService 200'
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/common/ChildProcess.h"
#include "../../tests/output/LoDecoder.h"
#include "PanoraCore.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FrameSocketServer.h"
#include "VirtualFrame/LibrarySetup.h"
#include "VirtualFrame/RawEncoder.h"

using Clock = std::chrono::steady_clock;
using namespace VirtualFrame;

namespace {

constexpr double kRateHz = 120.0;

// What the frame's fingers are; each change gets a new generation, and the time its first scan
// was handed over is recorded.
struct Script {
    std::mutex mutex;
    bool down = false;
    double x = 0.5, y = 0.5;
    uint64_t generation = 0;
    uint64_t scannedGeneration = 0;
    Clock::time_point scannedAt;

    void Set(bool d, double nx, double ny) {
        std::lock_guard<std::mutex> g(mutex);
        down = d;
        x = nx;
        y = ny;
        ++generation;
    }
    bool ScannedSince(uint64_t gen, Clock::time_point& at) {
        std::lock_guard<std::mutex> g(mutex);
        if (scannedGeneration < gen) return false;
        at = scannedAt;
        return true;
    }
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5));
    return v[i];
}

void Report(const char* name, const std::vector<double>& v) {
    std::printf("%-34s n=%3zu  median %6.2f ms  p99 %6.2f ms  max %6.2f ms\n", name, v.size(),
                Percentile(v, 0.5), Percentile(v, 0.99), Percentile(v, 1.0));
}

// First datagram after `from` whose set messages satisfy pred, waiting up to 2 s.
template <typename Pred>
bool WaitDatagram(outputtest::LoDecoder& udp, Pred pred, Clock::time_point& at) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        udp.Clear();
        if (!udp.Receive(20)) continue;
        for (const auto& m : udp.messages) {
            if (m.args.size() >= 4 && m.args[0].s == "set" && pred(m.args[2].f, m.args[3].f)) {
                at = Clock::now();
                return true;
            }
        }
    }
    return false;
}

void Drain(outputtest::LoDecoder& udp) {
    while (udp.Receive(0)) udp.Clear();
}

// Scans the library needs before it reports the change, on the same kind of scans.
struct HoldBack {
    int downScans = -1, moveScans = -1;
    double pipelineUs = 0;
};

HoldBack MeasureHoldBack(const FrameModel& model, std::mt19937& rng) {
    BeamModel beams(model);
    std::unique_ptr<CoreContext, void (*)(void*)> ctx(
        static_cast<CoreContext*>(std::calloc(1, sizeof(CoreContext))), &std::free);
    SetupParams p = librarySetupFor(model);
    OrdaloScreenSetup(ctx.get(), &p);
    ctx->fastFrame = 1;
    ctx->eraseBackground = 1;
    OrdaloScreenCalibration(ctx.get(), {0, 0}, {1, 1}, {0, 0}, {1, 1});
    std::uniform_real_distribution<double> pos(0.15, 0.85);
    const double x = pos(rng), y = pos(rng);
    const double mmX = model.geometry.ledsX * model.geometry.mmPerLed();
    HoldBack h;
    double totalUs = 0;
    int runs = 0;
    auto feed = [&](const std::vector<Finger>& fingers) {
        const auto raw = encodeScan(model, beams.scan(fingers));
        const auto t0 = Clock::now();
        OrdaloDataFill(ctx.get(), raw.data(), uint32_t(raw.size()));
        OrdaloDataFix(ctx.get());
        OrdaloUpdateBlobs(ctx.get());
        totalUs += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        ++runs;
        const int n = ctx->outBlobCount;
        return n > 0 ? ctx->outBlobs[0].cx : -1.0f;
    };
    for (int i = 0; i < 200; ++i) feed({});
    for (int i = 0; i < 60 && h.downScans < 0; ++i) {
        if (feed({Finger{1, x, y, 10}}) >= 0) h.downScans = i;
    }
    for (int i = 0; i < 40; ++i) feed({Finger{1, x, y, 10}});
    const double jumped = x + 20.0 / mmX;
    const float before = feed({Finger{1, x, y, 10}});
    for (int i = 0; i < 60 && h.moveScans < 0; ++i) {
        const float cx = feed({Finger{1, jumped, y, 10}});
        if (cx >= 0 && std::fabs(cx - before) * mmX >= 10.0) h.moveScans = i;
    }
    h.pipelineUs = totalUs / runs;
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ORDALO_SERVICE_BIN [SAMPLES]\n", argv[0]);
        return 2;
    }
    const int samples = argc > 2 ? std::atoi(argv[2]) : 200;
    // The service starts in the frame's folder: a relative program path would not hold there.
    char binary[4096];
    if (!realpath(argv[1], binary)) {
        std::fprintf(stderr, "no program %s\n", argv[1]);
        return 2;
    }
    char pattern[] = "/tmp/ordalo-latency-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const FrameModel& model = defaultFrameModel();
    const double mmX = model.geometry.ledsX * model.geometry.mmPerLed();
    const double mmY = model.geometry.ledsY * model.geometry.mmPerLed();
    std::mt19937 rng(12345);

    std::vector<double> holdDown, holdMove, pipeline;
    for (int i = 0; i < 20; ++i) {
        const HoldBack h = MeasureHoldBack(model, rng);
        if (h.downScans >= 0) holdDown.push_back(h.downScans);
        if (h.moveScans >= 0) holdMove.push_back(h.moveScans);
        pipeline.push_back(h.pipelineUs);
    }

    Script script;
    BeamModel beams(model);
    FirmwareEmulator emulator(model.firmware);
    emulator.SetScanRate(kRateHz);
    emulator.SetScanSource([&](uint64_t) {
        std::vector<Finger> fingers;
        uint64_t gen;
        {
            std::lock_guard<std::mutex> g(script.mutex);
            if (script.down) fingers.push_back(Finger{1, script.x, script.y, 10});
            gen = script.generation;
        }
        auto raw = encodeScan(model, beams.scan(fingers));
        std::lock_guard<std::mutex> g(script.mutex);
        if (script.scannedGeneration < gen) {
            script.scannedGeneration = gen;
            script.scannedAt = Clock::now();
        }
        return raw;
    });
    FrameSocketServer server(emulator, dir + "/frame0.sock");
    if (!server.Start()) {
        std::fprintf(stderr, "frame: %s\n", server.Error().c_str());
        return 1;
    }
    outputtest::LoDecoder udp("3333");
    if (!udp.Valid()) {
        std::fprintf(stderr, "UDP port 3333 is taken\n");
        return 1;
    }
    setenv("ORDALO_VIRTUAL_DIR", dir.c_str(), 1);
    setenv("ORDALO_LOG_LEVEL", "1", 1);
    if (chdir(dir.c_str()) != 0) return 1;
    ordalo_test::ChildProcess service({binary}, dir + "/service.log");
    if (!service.Started()) {
        std::fprintf(stderr, "cannot start %s\n", binary);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(4));  // bound, background taught

    std::uniform_real_distribution<double> pos(0.15, 0.85), angle(0, 2 * M_PI);
    std::vector<double> down, move;
    for (int s = 0; s < samples; ++s) {
        script.Set(false, 0.5, 0.5);
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + s % 7 * 11));
        Drain(udp);
        const double x = pos(rng), y = pos(rng);
        script.Set(true, x, y);
        const uint64_t gen = script.generation;
        Clock::time_point got, scanned;
        if (WaitDatagram(udp, [](float, float) { return true; }, got) &&
            script.ScannedSince(gen, scanned)) {
            down.push_back(std::chrono::duration<double, std::milli>(got - scanned).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + s % 5 * 13));
        Drain(udp);
        float rx = float(x), ry = float(y);
        Clock::time_point ignored;
        WaitDatagram(udp, [&](float px, float py) {
            rx = px;
            ry = py;
            return true;
        }, ignored);
        const double a = angle(rng);
        const double nx = x + 20.0 * std::cos(a) / mmX, ny = y + 20.0 * std::sin(a) / mmY;
        script.Set(true, nx, ny);
        const uint64_t moved = script.generation;
        if (WaitDatagram(udp, [&](float px, float py) {
                return std::hypot((px - rx) * mmX, (py - ry) * mmY) >= 10.0;
            }, got) && script.ScannedSince(moved, scanned)) {
            move.push_back(std::chrono::duration<double, std::milli>(got - scanned).count());
        }
    }
    service.Signal(SIGTERM);
    service.Wait(std::chrono::milliseconds(20000));
    server.Stop();

    const double period = 1000.0 / kRateHz;
    std::printf("library hold-back, touch-down: median %.0f scans (%.1f ms); movement: median "
                "%.0f scans (%.1f ms); pipeline %.1f us per scan (median of runs)\n",
                Percentile(holdDown, 0.5), Percentile(holdDown, 0.5) * period,
                Percentile(holdMove, 0.5), Percentile(holdMove, 0.5) * period,
                Percentile(pipeline, 0.5));
    Report("touch-down latency", down);
    Report("movement latency", move);
    auto share = [&](const std::vector<double>& v, double holdScans) {
        std::vector<double> out;
        for (double d : v) out.push_back(d - holdScans * period);
        return out;
    };
    Report("touch-down, service's share", share(down, Percentile(holdDown, 0.5)));
    Report("movement, service's share", share(move, Percentile(holdMove, 0.5)));
    std::printf("(the 10 ms TUIO tick alone adds 0..10 ms, 5 ms on average)\n");
    return std::system(("rm -rf '" + dir + "'").c_str()) == 0 ? 0 : 1;
}
