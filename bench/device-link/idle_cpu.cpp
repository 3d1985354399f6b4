// CPU time that one idle attached frame costs the host: a packet server bound to an emulated
// frame that sends nothing (hardware mode), measured per thread over a wall-clock interval.
//
// Usage: devlink_idle_cpu [SECONDS]   (default 10)
//
// The threads measured are the ones Bind creates: the talk thread and the relay thread of the
// server's receive event; they are told apart by their CPU time only, so both are reported.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "MTouch/MTPacketTo.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameSocketServer.h"

namespace {

std::set<int> Threads() {
    std::set<int> tids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') tids.insert(std::atoi(e->d_name));
        }
        closedir(d);
    }
    return tids;
}

// utime + stime of one thread, in seconds.
double ThreadCpuSeconds(int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    char dirTemplate[] = "/tmp/devlink-idle-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);

    VirtualFrame::FirmwareEmulator emu;  // hardware mode: no scans
    VirtualFrame::FrameSocketServer frame(emu, dir + "/frame0.sock");
    if (!frame.Start()) {
        std::fprintf(stderr, "%s\n", frame.Error().c_str());
        return 1;
    }
    const std::set<int> before = Threads();
    VexoSource::VexoHIDServer server;
    if (!server.Bind("virtual:" + frame.Path())) {
        std::fprintf(stderr, "bind failed\n");
        return 1;
    }
    std::set<int> added;
    for (int tid : Threads()) {
        if (!before.count(tid)) added.insert(tid);
    }

    std::map<int, double> start;
    for (int tid : added) start[tid] = ThreadCpuSeconds(tid);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    double total = 0;
    std::printf("idle attached frame, %.1f s wall\n", wall);
    for (int tid : added) {
        const double used = ThreadCpuSeconds(tid) - start[tid];
        total += used;
        std::printf("  thread %d: %.3f s CPU = %.3f%% of one core\n", tid, used,
                    100.0 * used / wall);
    }
    std::printf("  all threads of the server: %.3f%% of one core\n", 100.0 * total / wall);
    server.Reset();
    frame.Stop();
    rmdir(dir.c_str());
    return 0;
}
