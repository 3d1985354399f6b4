// ordalo-virtual-frame: plugs in one emulated touch frame by software. Hosts find it through
// ORDALO_VIRTUAL_DIR=DIR; stopping the program (or removing its socket) unplugs it.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>

#include "Options.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameSocketServer.h"

int main(int argc, char** argv) {
    VirtualFrameOptions options;
    std::string error;
    if (!ParseVirtualFrameOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "ordalo-virtual-frame: %s\n%s", error.c_str(),
                     VirtualFrameUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(VirtualFrameUsage().c_str(), stdout);
        return 0;
    }
    if (mkdir(options.dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(("ordalo-virtual-frame: cannot create " + options.dir).c_str());
        return 1;
    }

    // Signals are taken synchronously, so the serving threads never see them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    VirtualFrame::FirmwareEmulator emulator(options.frame);
    emulator.SetScanRate(options.scanRate);
    VirtualFrame::FrameSocketServer server(emulator, options.SocketPath());
    if (!server.Start()) {
        std::fprintf(stderr, "ordalo-virtual-frame: %s\n", server.Error().c_str());
        return 1;
    }
    std::printf("ordalo-virtual-frame: frame %s serving on %s\n",
                OrdoIdentityHex(options.frame.identity).c_str(), server.Path().c_str());
    std::fflush(stdout);

    const timespec slice{0, 200 * 1000 * 1000};
    int signal = -1;
    while (!server.Finished()) {
        signal = sigtimedwait(&stopSignals, nullptr, &slice);
        if (signal > 0) break;
    }
    server.Stop();
    if (signal <= 0) std::printf("ordalo-virtual-frame: frame unplugged\n");
    return 0;
}
