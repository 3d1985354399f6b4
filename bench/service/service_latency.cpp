// Touch latency of the whole service: a virtual frame in this process streams at 120 scans/s,
// the real OrdaloService binary serves it, and this program listens on UDP port 3333.
//
// - touch-down: from the scan that first carries a new finger being handed to the frame's
//   sender, to the first datagram that lists a touch;
// - movement: from the scan in which a held finger jumps by 20 mm, to the first datagram whose
//   touch moved by 10 mm or more.
// Positions, jump directions and pauses are random. An in-process copy of the library is fed the
// very scans the service gets; the scan at which it reports the change splits each sample into
// the library's hold-back and the service's own share (transfer, queueing, pipeline, the tick).
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

// What the frame's fingers are; each change gets a new generation.
struct Script {
    std::mutex mutex;
    bool down = false;
    double x = 0.5, y = 0.5;
    uint64_t generation = 0;

    uint64_t Set(bool d, double nx, double ny) {
        std::lock_guard<std::mutex> g(mutex);
        down = d;
        x = nx;
        y = ny;
        return ++generation;
    }
};

// Every scan handed to the frame's sender, with what an in-process copy of the library made of
// it. The copy sees the same bytes in the same order as the service, so the scan at which it
// first reports a change is the scan at which the service's library does: the time from that
// scan to the datagram is the service's own share, whatever the library held back.
struct ScanRecord {
    Clock::time_point at;
    uint64_t generation;
    int count;
    float cx, cy;
};

// Every datagram that came in, with the first touch it listed.
struct DatagramRecord {
    Clock::time_point at;
    bool touched;
    float x, y;
};

class ShadowLibrary {
public:
    explicit ShadowLibrary(const FrameModel& model)
        : m_ctx(static_cast<CoreContext*>(std::calloc(1, sizeof(CoreContext))), &std::free) {
        SetupParams p = librarySetupFor(model);
        OrdaloScreenSetup(m_ctx.get(), &p);
        m_ctx->fastFrame = 1;
        m_ctx->eraseBackground = 1;
        OrdaloScreenCalibration(m_ctx.get(), {0, 0}, {1, 1}, {0, 0}, {1, 1});
    }
    // Blob count and first blob's centre; the pipeline's time is added to pipelineUs.
    int Feed(const std::vector<uint8_t>& raw, float& cx, float& cy) {
        const auto t0 = Clock::now();
        OrdaloDataFill(m_ctx.get(), raw.data(), uint32_t(raw.size()));
        OrdaloDataFix(m_ctx.get());
        OrdaloUpdateBlobs(m_ctx.get());
        pipelineUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        const int n = m_ctx->outBlobCount;
        cx = n > 0 ? m_ctx->outBlobs[0].cx : -1.0f;
        cy = n > 0 ? m_ctx->outBlobs[0].cy : -1.0f;
        return n;
    }
    std::vector<double> pipelineUs;

private:
    std::unique_ptr<CoreContext, void (*)(void*)> m_ctx;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5));
    return v[i];
}

void Report(const char* name, const std::vector<double>& v, const char* unit = "ms") {
    std::printf("%-38s n=%3zu  median %6.2f %s  p99 %6.2f %s  max %6.2f %s\n", name, v.size(),
                Percentile(v, 0.5), unit, Percentile(v, 0.99), unit, Percentile(v, 1.0), unit);
}

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Sample {
    uint64_t downGeneration, moveGeneration;
};

// The figures of one kind of change (touch-down or movement) over all samples.
struct Figures {
    std::vector<double> total, holdScans, share, tickWait;
    int missing = 0, disagreeing = 0;
    void Print(const char* what) const {
        std::printf("-- %s (%d samples lost, %d where the service was ahead of the copy)\n", what,
                    missing, disagreeing);
        Report("latency, scan to datagram", total);
        Report("library hold-back", holdScans, "scans");
        Report("service's share", share);
        Report("  of which until the next datagram", tickWait);
    }
};

class Analysis {
public:
    Analysis(std::vector<ScanRecord> scans, std::vector<DatagramRecord> datagrams, double mmX,
             double mmY)
        : m_scans(std::move(scans)), m_datagrams(std::move(datagrams)), m_mmX(mmX), m_mmY(mmY) {}

    // decided: does the library's output of this scan show the change, given the one before?
    // shown: does this datagram show it, given the last one before the change?
    template <typename Decided, typename Shown>
    void Add(uint64_t generation, Figures& f, Decided decided, Shown shown) const {
        const size_t first = FirstScanOf(generation);
        if (first == 0 || first >= m_scans.size()) return void(++f.missing);
        size_t decide = first;
        while (decide < m_scans.size() && m_scans[decide].generation == m_scans[first].generation &&
               !decided(m_scans[decide], m_scans[first - 1]))
            ++decide;
        const Clock::time_point t0 = m_scans[first].at;
        const DatagramRecord* before = nullptr;
        size_t d = 0;
        for (; d < m_datagrams.size() && m_datagrams[d].at <= t0; ++d)
            if (m_datagrams[d].touched) before = &m_datagrams[d];
        size_t arrived = d;
        while (arrived < m_datagrams.size() && !shown(m_datagrams[arrived], before)) ++arrived;
        if (arrived >= m_datagrams.size() || decide >= m_scans.size() ||
            m_scans[decide].generation != m_scans[first].generation)
            return void(++f.missing);
        const Clock::time_point td = m_scans[decide].at, ta = m_datagrams[arrived].at;
        f.total.push_back(Ms(t0, ta));
        f.holdScans.push_back(double(decide - first));
        if (ta < td) {
            ++f.disagreeing;
            return;
        }
        f.share.push_back(Ms(td, ta));
        size_t tick = d;
        while (tick < m_datagrams.size() && m_datagrams[tick].at <= td) ++tick;
        if (tick < m_datagrams.size()) f.tickWait.push_back(Ms(td, m_datagrams[tick].at));
    }

    double DistanceMm(float x0, float y0, float x1, float y1) const {
        return std::hypot((x1 - x0) * m_mmX, (y1 - y0) * m_mmY);
    }

private:
    size_t FirstScanOf(uint64_t generation) const {
        for (size_t i = 0; i < m_scans.size(); ++i)
            if (m_scans[i].generation >= generation) return i;
        return m_scans.size();
    }
    std::vector<ScanRecord> m_scans;
    std::vector<DatagramRecord> m_datagrams;
    double m_mmX, m_mmY;
};

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

    Script script;
    BeamModel beams(model);
    ShadowLibrary shadow(model);
    std::mutex logMutex;
    std::vector<ScanRecord> scans;
    std::vector<DatagramRecord> datagrams;
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
        ScanRecord r{Clock::now(), gen, 0, -1, -1};
        r.count = shadow.Feed(raw, r.cx, r.cy);
        std::lock_guard<std::mutex> g(logMutex);
        scans.push_back(r);
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
    std::atomic<bool> listening{true};
    std::thread listener([&] {
        while (listening) {
            udp.Clear();
            if (!udp.Receive(20)) continue;
            DatagramRecord r{Clock::now(), false, 0, 0};
            for (const auto& m : udp.messages) {
                if (m.args.size() >= 4 && m.args[0].s == "set") {
                    r = DatagramRecord{r.at, true, m.args[2].f, m.args[3].f};
                    break;
                }
            }
            std::lock_guard<std::mutex> g(logMutex);
            datagrams.push_back(r);
        }
    });
    setenv("ORDALO_VIRTUAL_DIR", dir.c_str(), 1);
    setenv("ORDALO_LOG_LEVEL", "1", 1);
    if (chdir(dir.c_str()) != 0) return 1;
    ordalo_test::ChildProcess service({binary}, dir + "/service.log");
    if (!service.Started()) {
        std::fprintf(stderr, "cannot start %s\n", binary);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(4));  // bound, background taught

    // Jittered pauses, so that changes fall on every phase of the scan and of the tick.
    std::uniform_real_distribution<double> pos(0.15, 0.85), angle(0, 2 * M_PI), pause(0, 60);
    std::vector<Sample> plan;
    for (int s = 0; s < samples; ++s) {
        script.Set(false, 0.5, 0.5);
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + int(pause(rng))));
        const double x = pos(rng), y = pos(rng);
        Sample sample{};
        sample.downGeneration = script.Set(true, x, y);
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + int(pause(rng))));
        const double a = angle(rng);
        sample.moveGeneration =
            script.Set(true, x + 20.0 * std::cos(a) / mmX, y + 20.0 * std::sin(a) / mmY);
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + int(pause(rng))));
        plan.push_back(sample);
    }
    script.Set(false, 0.5, 0.5);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    service.Signal(SIGTERM);
    service.Wait(std::chrono::milliseconds(20000));
    listening = false;
    listener.join();
    server.Stop();

    std::vector<ScanRecord> scanLog;
    std::vector<DatagramRecord> datagramLog;
    std::vector<double> pipelineUs;
    {
        std::lock_guard<std::mutex> g(logMutex);
        scanLog = scans;
        datagramLog = datagrams;
        pipelineUs = shadow.pipelineUs;
    }
    Analysis analysis(std::move(scanLog), std::move(datagramLog), mmX, mmY);
    Figures down, move;
    for (const Sample& s : plan) {
        analysis.Add(
            s.downGeneration, down, [](const ScanRecord& r, const ScanRecord&) { return r.count > 0; },
            [](const DatagramRecord& d, const DatagramRecord*) { return d.touched; });
        analysis.Add(
            s.moveGeneration, move,
            [&](const ScanRecord& r, const ScanRecord& pre) {
                return r.count > 0 && pre.count > 0 &&
                       analysis.DistanceMm(pre.cx, pre.cy, r.cx, r.cy) >= 10.0;
            },
            [&](const DatagramRecord& d, const DatagramRecord* pre) {
                return d.touched && pre &&
                       analysis.DistanceMm(pre->x, pre->y, d.x, d.y) >= 10.0;
            });
    }
    std::printf("%d samples at %.0f scans/s; library pipeline per scan: median %.1f us, p99 %.1f us\n",
                samples, kRateHz, Percentile(pipelineUs, 0.5), Percentile(pipelineUs, 0.99));
    down.Print("touch-down: first scan with the finger -> first datagram listing a touch");
    move.Print("movement: scan of the 20 mm jump -> first datagram moved by 10 mm");
    return std::system(("rm -rf '" + dir + "'").c_str()) == 0 ? 0 : 1;
}
