#include "VexoUtils/VexoUtils.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

namespace VexoSource {
namespace {

u64 SteadyMillis() {
    using namespace std::chrono;
    return static_cast<u64>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Elapsed time is measured on the monotonic clock so that wall-clock steps do not make it
// jump or run backwards.
std::atomic<u64> g_startMillis{SteadyMillis()};

std::atomic<bool> g_stopRequested{false};
int g_stopPipe[2] = {-1, -1};
std::once_flag g_stopPipeOnce;

void EnsureStopPipe() {
    std::call_once(g_stopPipeOnce, [] {
        if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            g_stopPipe[0] = g_stopPipe[1] = -1;
        }
    });
}

// Async-signal-safe: an atomic store and a write to a non-blocking pipe.
void WakeStopWaiters() {
    g_stopRequested.store(true);
    if (g_stopPipe[1] >= 0) {
        int savedErrno = errno;
        char byte = 1;
        ssize_t ignored = write(g_stopPipe[1], &byte, 1);
        (void)ignored;
        errno = savedErrno;
    }
}

void OnStopSignal(int) { WakeStopWaiters(); }

}  // namespace

u32 VexoGetSystemTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    u64 ms = static_cast<u64>(tv.tv_sec) * 1000u + static_cast<u64>(tv.tv_usec) / 1000u;
    return static_cast<u32>(ms);
}

u64 VexoGetElapsedTimeMillis() { return SteadyMillis() - g_startMillis.load(); }

float VexoGetElapsedTimef() { return static_cast<float>(VexoGetElapsedTimeMillis()) / 1000.0f; }

void VexoResetElapsedTimeCounter() { g_startMillis.store(SteadyMillis()); }

void VexoSleep(u32 ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void VexoInstallStopSignals() {
    EnsureStopPipe();
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void VexoRequestStop() {
    EnsureStopPipe();
    WakeStopWaiters();
}

bool VexoStopRequested() { return g_stopRequested.load(); }

bool VexoWaitStop(u32 ms) {
    EnsureStopPipe();
    if (g_stopRequested.load()) return true;
    if (g_stopPipe[0] < 0) {
        VexoSleep(ms);
        return g_stopRequested.load();
    }
    const u64 deadline = SteadyMillis() + ms;
    for (;;) {
        u64 now = SteadyMillis();
        if (g_stopRequested.load() || now >= deadline) break;
        struct pollfd pfd {};
        pfd.fd = g_stopPipe[0];
        pfd.events = POLLIN;
        poll(&pfd, 1, static_cast<int>(deadline - now));
    }
    return g_stopRequested.load();
}

}  // namespace VexoSource
