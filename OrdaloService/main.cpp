// Entry of the touch-frame service: logging, command-line options, start-up, main loop.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "MTouch/MTMain.h"
#include "VexoFileSystem/VexoFile.h"
#include "VexoLog/VexoLog.h"
#include "VexoSSet/VexoSSet.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;

namespace {

void MTWritePidFile(const char* path) {
    VEXO_LOG_DEBUG(L"Run with --pfile with pid %u", static_cast<unsigned>(getpid()));
    FILE* file = std::fopen(path, "w+");
    if (!file) return;
    char text[32];
    int length = VexoSSet<char>::Format(text, sizeof text, "%i", static_cast<int>(getpid()));
    if (length > 0) VexoFileSaveByFile(file, text, static_cast<std::size_t>(length), 0);
    VexoFileCloseHandle(file);
}

// Each element, the program path included, is compared as a whole. An option's value is
// consumed with it, and "--background" skips the element that follows it unread.
void MTScanOptions(int argc, char** argv) {
    int i = 0;
    while (i < argc) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--background") == 0) {
            VEXO_LOG_DEBUG(L"Run with --background");
            i += 2;
        } else if (std::strcmp(arg, "--pfile") == 0) {
            if (i + 1 < argc) MTWritePidFile(argv[i + 1]);
            i += 2;
        } else if (std::strcmp(arg, "--disp") == 0) {
            // Recognised for compatibility; takes no value so that a following option is
            // still seen.
            i += 1;
        } else {
            i += 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread shares the handlers. A TCP client that
    // goes away must cost a failed write, not the process.
    VexoInstallStopSignals();
    std::signal(SIGPIPE, SIG_IGN);
    VexoLogInit(VexoELogLevel::Information, VEXO_LOG_NO_LINEFEED, L"Service ");

    char directory[256];
    if (!getcwd(directory, sizeof directory)) directory[0] = '\0';
    VEXO_LOG_DEBUG(L"Current direcotry %hs", directory);

    if (argc > 0) MTScanOptions(argc, argv);

    // A failed start-up is logged where it happened; the service serves what it can.
    MTInitial();
    MTMain();
    MTReset();
    return 0;
}
