// ordalo-probe: lists the attached touch frames (real ones, then virtual ones from
// ORDALO_VIRTUAL_DIR) and asks each for its configuration and operating information through the
// same classes the service uses. With --touch-rate it also counts the raw scans a frame streams.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MTouch/MTPacketTo.h"
#include "VexoDevs/VexoHID.h"
#include "VexoLog/VexoLog.h"
#include "VexoTalk/VexoHIDServer.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;

namespace {

struct ProbeOptions {
    bool listOnly = false;
    double rateSeconds = 0;  // 0: do not count scans
    bool verbose = false;
};

void Usage(FILE* to) {
    std::fputs(
        "usage: ordalo-probe [--list] [--touch-rate [SECONDS]] [--verbose]\n"
        "Lists attached touch frames and prints each one's identity, firmware version and\n"
        "geometry.\n"
        "  --list                only list the frames' paths\n"
        "  --touch-rate [S]      also count raw scans per second over S seconds (default 2);\n"
        "                        the frame is put into software mode for it and put back after\n"
        "  --verbose             log the exchanges to standard error\n"
        "Exit status: 0 when every frame found answered, 1 when none was found or one did not\n"
        "answer, 2 on a usage error.\n",
        to);
}

bool Parse(int argc, char** argv, ProbeOptions& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--list") {
            o.listOnly = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--touch-rate") {
            o.rateSeconds = 2;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                char* end = nullptr;
                o.rateSeconds = std::strtod(argv[++i], &end);
                if (*end || !(o.rateSeconds > 0) || o.rateSeconds > 600) {
                    std::fprintf(stderr, "ordalo-probe: --touch-rate needs seconds in (0, 600]\n");
                    return false;
                }
            }
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "ordalo-probe: unknown option '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

template <typename Record>
bool Ask(VexoHIDServer& server, u8 identifier, Record& record, const u8* payload = nullptr,
         u8 payloadLength = 0) {
    u32 ok = 0;
    MTPacketTo(&server, identifier, reinterpret_cast<u8*>(&record), sizeof record, g_echoTime, &ok,
               payload, payloadLength, 1);
    return ok == 1;
}

const char* ModeName(u8 mode) { return mode == ORDO_MODE_SOFTWARE ? "software" : "hardware"; }

// Puts the frame into software mode, counts the touch packets that arrive, puts it back.
void CountScans(VexoHIDServer& server, u8 previousMode, double seconds) {
    u8 mode = ORDO_MODE_SOFTWARE, echo = 0;
    if (previousMode != ORDO_MODE_SOFTWARE && !Ask(server, PACKET_IDEN_SET_MODE, echo, &mode, 1)) {
        std::printf("  touch rate     (the frame did not switch to software mode)\n");
        return;
    }
    server.ClearPackets(VEXO_CLEAR_TOUCH);
    server.SetFastReply(0);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    unsigned long packets = 0;
    while (Clock::now() < end) {
        VexoWaitObjectWithTimed(server.GetRSync(), 50);
        VexoEvtReset(server.GetRSync());
        while (VexoPacket* p = server.GetPacket(VEXO_QUEUE_TOUCH)) {
            ++packets;
            delete p;
        }
    }
    server.SetFastReply(1);
    std::printf("  touch rate     %.1f packets/s (%lu in %.1f s)\n", double(packets) / seconds,
                packets, seconds);
    if (previousMode != ORDO_MODE_SOFTWARE) {
        Ask(server, PACKET_IDEN_SET_MODE, echo, &previousMode, 1);
    }
}

bool Probe(const std::string& path, int number, const ProbeOptions& options) {
    std::printf("Frame %d: %s\n", number, path.c_str());
    VexoHIDServer server;
    if (!server.Bind(path)) {
        std::printf("  cannot open the device\n");
        return false;
    }
    OrdoConfig cfg;
    if (!Ask(server, PACKET_IDEN_READ_CONFIG, cfg)) {
        std::printf("  no answer to the configuration request\n");
        return false;
    }
    std::printf("  identity       %s\n", OrdoIdentityHex(cfg.identity).c_str());
    std::printf("  firmware       %u.%u (%u)\n", cfg.version / 10u, cfg.version % 10u,
                unsigned(cfg.version));
    std::printf("  contacts       %u\n", unsigned(cfg.contacts));
    std::printf("  LEDs           %u x %u\n", uint32_t(cfg.LED_X), uint32_t(cfg.LED_Y));
    std::printf("  lines          %u x %u\n", uint32_t(cfg.LINEX), uint32_t(cfg.LINEY));
    std::printf("  gaps           %u x %u\n", uint32_t(cfg.LEDGAPX), uint32_t(cfg.LEDGAPY));
    if (cfg.LCD_SIZE) {
        std::printf("  LCD size       %u inch\n", unsigned(cfg.LCD_SIZE));
    } else {
        std::printf("  LCD size       0 (frame not configured)\n");
    }
    OrdoQueryInfo info;
    if (!Ask(server, PACKET_IDEN_QUERY_INFO, info)) {
        std::printf("  mode           (no answer to the query)\n");
        return false;
    }
    std::printf("  mode           %s (%u)\n", ModeName(info.mode), unsigned(info.mode));
    if (options.rateSeconds > 0) CountScans(server, info.mode, options.rateSeconds);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ProbeOptions options;
    if (!Parse(argc, argv, options)) {
        Usage(stderr);
        return 2;
    }
    if (options.verbose) {
        setenv("ORDALO_LOG", "stderr", 1);
        VexoLogInit(VexoELogLevel::Debug, VEXO_LOG_NO_TIMESTAMP, L"ordalo-probe ");
    }

    std::vector<std::string> paths;
    if (!VexoHIDGetPaths(VEXO_FRAME_VENDOR_ID, VEXO_FRAME_PRODUCT_ID, paths)) {
        std::fprintf(stderr,
                     "ordalo-probe: no touch frame found (vendor 0x%04X, product 0x%04X%s)\n",
                     VEXO_FRAME_VENDOR_ID, VEXO_FRAME_PRODUCT_ID,
                     std::getenv(VEXO_VIRTUAL_DIR_ENV) ? ", nor a virtual one" : "");
        return 1;
    }
    if (options.listOnly) {
        for (const auto& p : paths) std::printf("%s\n", p.c_str());
        return 0;
    }
    int answered = 0, number = 0;
    for (const auto& p : paths) {
        if (Probe(p, ++number, options)) ++answered;
        std::fflush(stdout);
    }
    if (answered == 0) {
        std::fprintf(stderr, "ordalo-probe: no frame answered\n");
        return 1;
    }
    return answered == number ? 0 : 1;
}
