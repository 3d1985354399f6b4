// Scan arrival to evdev events written, for the uinput route as the device thread runs it.
//
// A producer thread plays the talk thread: it takes the time, queues one raw scan and sets the
// receive event, at jittered intervals (4 to 12 ms). A consumer plays the device thread: the
// same wait on the configuration and receive events, the frame library (fill, fix, blobs), the
// cap to 32, FillTouches, then the route's encoder and the write of its events. Each scan's
// latency runs from the producer's time stamp to the last event written.
//
// The events go to the real kernel device when /dev/uinput opens; otherwise to a pipe drained
// by a reader thread, written by the same call that writes them to uinput (one write(2) per
// scan); the output says which. Fingers: 1 to 10, random positions, drifting with jitter, lifted and
// placed anew every 20 to 60 scans.
//
// Usage: uinput_route_latency [scans (default 4000)] [model (default the catalogue's first)]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MTouch/MTMain.h"
#include "MTouch/MTUinput.h"
#include "PanoraCore.h"
#include "VexoSync/VexoSyncobj.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/LibrarySetup.h"
#include "VirtualFrame/RawEncoder.h"

using namespace VexoSource;
using Clock = std::chrono::steady_clock;

namespace {

struct Scan {
    std::vector<u8> raw;
    Clock::time_point arrival;
};

std::vector<std::vector<u8>> MakeScans(const VirtualFrame::FrameModel& model, int count) {
    VirtualFrame::BeamModel beams(model);
    std::mt19937 rng(20261208);
    std::uniform_real_distribution<double> pos(0.08, 0.92), jitter(-0.004, 0.004);
    std::uniform_int_distribution<int> fingerCount(1, 10), hold(20, 60);
    std::vector<std::vector<u8>> scans;
    std::vector<VirtualFrame::Finger> fingers;
    int left = 0;
    while (int(scans.size()) < count) {
        if (left-- <= 0) {
            // A lift between gestures, then a fresh set of fingers.
            scans.push_back(VirtualFrame::encodeScan(model, beams.scan({})));
            fingers.clear();
            const int n = fingerCount(rng);
            for (int i = 0; i < n; ++i) fingers.push_back({i + 1, pos(rng), pos(rng), 10.0});
            left = hold(rng);
        }
        for (auto& f : fingers) {
            f.x = std::clamp(f.x + jitter(rng), 0.02, 0.98);
            f.y = std::clamp(f.y + jitter(rng), 0.02, 0.98);
        }
        scans.push_back(VirtualFrame::encodeScan(model, beams.scan(fingers)));
    }
    return scans;
}

// Where the events go: the real device, or a pipe written like uinput.
class Sink {
public:
    bool OpenDevice(const MTUinputIdentity& identity) {
        return m_device.Open(identity) == MTUinputDevice::OpenResult::Ok;
    }
    void OpenPipe() {
        if (::pipe(m_pipe) != 0) std::abort();
        m_drain = std::thread([this] {
            char buf[4096];
            while (::read(m_pipe[0], buf, sizeof buf) > 0) {
            }
        });
    }
    void Write(const std::vector<MTUinputEvent>& events) {
        if (m_device.IsOpen()) {
            m_device.Write(events);
            return;
        }
        if (!MTUinputWriteEvents(m_pipe[1], events)) std::abort();
    }
    ~Sink() {
        if (m_pipe[1] >= 0) ::close(m_pipe[1]);
        if (m_drain.joinable()) m_drain.join();
        if (m_pipe[0] >= 0) ::close(m_pipe[0]);
    }

private:
    MTUinputDevice m_device;
    int m_pipe[2] = {-1, -1};
    std::thread m_drain;
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

void Report(const char* what, const std::vector<double>& us) {
    std::printf("%-34s median %8.1f us   p99 %8.1f us   max %8.1f us\n", what,
                Percentile(us, 0.5), Percentile(us, 0.99), Percentile(us, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
    const int scans = argc > 1 ? std::max(100, std::atoi(argv[1])) : 4000;
    const VirtualFrame::FrameModel& model =
        argc > 2 && VirtualFrame::findFrameModel(argv[2]) ? *VirtualFrame::findFrameModel(argv[2])
                                                          : VirtualFrame::defaultFrameModel();

    std::unique_ptr<CoreContext, decltype(&std::free)> ctx(
        static_cast<CoreContext*>(std::calloc(1, sizeof(CoreContext))), &std::free);
    SetupParams setup = VirtualFrame::librarySetupFor(model);
    if (OrdaloScreenSetup(ctx.get(), &setup) != 1) {
        std::fprintf(stderr, "set-up refused model %s\n", model.name.c_str());
        return 1;
    }
    ctx->fastFrame = 1;
    ctx->eraseBackground = 1;
    OrdaloScreenCalibration(ctx.get(), ODPoint{0, 0}, ODPoint{1, 1}, ODPoint{0, 0},
                            ODPoint{1, 1});

    const std::vector<std::vector<u8>> raws = MakeScans(model, scans);
    // The background is learnt over the first frames; those are not measured.
    const std::vector<u8> empty =
        VirtualFrame::encodeScan(model, VirtualFrame::BeamModel(model).scan({}));
    for (int i = 0; i < 2 * PANORA_BACKGROUND_START; ++i) {
        OrdaloDataFill(ctx.get(), empty.data(), u32(empty.size()));
        OrdaloDataFix(ctx.get());
        OrdaloUpdateBlobs(ctx.get());
    }

    OrdoConfig config{};
    config.LCD_SIZE = model.geometry.screenInches;
    config.LED_X = u32(model.geometry.ledsX);
    config.LED_Y = u32(model.geometry.ledsY);
    const MTUinputIdentity identity = MTUinputIdentityOf("0000BE0C40000001", config);
    Sink sink;
    const bool real = sink.OpenDevice(identity);
    if (!real) sink.OpenPipe();
    MTUinputEncoder encoder(MTUinputResolutionOf(identity));

    const VexoHandle cfgEvent = VexoEvtCreate(0, nullptr, 0);
    const VexoHandle rsync = VexoEvtCreate(0, nullptr, 0);
    std::mutex queueLock;
    std::deque<Scan> queue;
    std::atomic<bool> produced{false};

    std::thread producer([&] {
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> gapUs(4000, 12000);
        for (const std::vector<u8>& raw : raws) {
            std::this_thread::sleep_for(std::chrono::microseconds(gapUs(rng)));
            {
                std::lock_guard<std::mutex> guard(queueLock);
                queue.push_back(Scan{raw, Clock::now()});
            }
            VexoEvtNotify(rsync);
        }
        produced = true;
    });

    MTDevice device;  // slot 0: FillTouches' identities
    const VexoHandle handles[2] = {cfgEvent, rsync};
    const u32 timeouts[2] = {0, 8};
    std::vector<double> total, pipeline, route;
    std::vector<MTUinputEvent> events;
    std::size_t touches = 0, eventCount = 0;
    while (total.size() < raws.size()) {
        if (VexoWaitObjectsWithTimed(handles, timeouts, 2, 200) == 0) {
            if (produced) break;
            continue;
        }
        Scan scan;
        {
            std::lock_guard<std::mutex> guard(queueLock);
            if (queue.empty()) {
                VexoEvtReset(rsync);
                continue;
            }
            scan = std::move(queue.front());
            queue.pop_front();
        }
        OrdaloDataFill(ctx.get(), scan.raw.data(), u32(scan.raw.size()));
        OrdaloDataFix(ctx.get());
        OrdaloUpdateBlobs(ctx.get());
        const i32 n = std::clamp<i32>(ctx->outBlobCount, 0, 32);
        FillTouches(&device, ctx->outBlobs, u32(n), device.nm_touches);
        const Clock::time_point touched = Clock::now();
        events.clear();
        encoder.Encode(device.nm_touches, u32(n), events);
        sink.Write(events);
        const Clock::time_point written = Clock::now();
        touches += std::size_t(n);
        eventCount += events.size();
        using us = std::chrono::duration<double, std::micro>;
        total.push_back(us(written - scan.arrival).count());
        pipeline.push_back(us(touched - scan.arrival).count());
        route.push_back(us(written - touched).count());
    }
    producer.join();
    VexoCloseHandle(cfgEvent);
    VexoCloseHandle(rsync);

    std::printf("model %s, %zu scans, %.2f touches and %.1f events per scan, sink: %s\n",
                model.name.c_str(), total.size(), double(touches) / double(total.size()),
                double(eventCount) / double(total.size()),
                real ? "kernel uinput device" : "pipe (no /dev/uinput here)");
    Report("arrival -> events written", total);
    Report("  arrival -> touches (wake, library)", pipeline);
    Report("  touches -> events written (route)", route);
    return 0;
}
