// soak-tuio-check: one TUIO client of the soak run. It reads one route of the service until
// SIGTERM or SIGINT, checks every frame (TuioStreamCheck.h), rewrites its counts to a file
// every second and exits 1 when any frame was malformed.
//
//   soak-tuio-check tcp|udp --stats FILE [--port N] [--read-bytes N --read-pause-ms MS]
//
// tcp connects to 127.0.0.1 (port 3000) and, while it is refused, tries again; a connection
// the service closes counts as a disconnect and is made again. --read-bytes and
// --read-pause-ms make a slow reader with a small receive buffer. udp binds 127.0.0.1 (port
// 3333).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TuioStreamCheck.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

struct Options {
    std::string route;
    std::string stats;
    int port = 0;
    std::size_t readBytes = 65536;
    int readPauseMs = 0;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    if (argc < 2) return false;
    o.route = argv[1];
    if (o.route != "tcp" && o.route != "udp") return false;
    o.port = o.route == "tcp" ? 3000 : 3333;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (name == "--stats") {
            o.stats = argv[i + 1];
        } else if (name == "--port" && value > 0 && value < 65536) {
            o.port = static_cast<int>(value);
        } else if (name == "--read-bytes" && value > 0) {
            o.readBytes = static_cast<std::size_t>(value);
        } else if (name == "--read-pause-ms" && value >= 0) {
            o.readPauseMs = static_cast<int>(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 0 && !o.stats.empty();
}

class Reporter {
public:
    Reporter(const Options& o, const soak::StreamTally& tally) : m_options(o), m_tally(tally) {}

    void Fault(const std::string& fault, const std::string& packet) {
        if (m_tally.malformed > soak::StreamTally::kKeptErrors) return;
        std::fprintf(stderr, "soak-tuio-check %s: malformed frame: %s; frame begins: %.160s\n",
                     m_options.route.c_str(), fault.c_str(), packet.c_str());
    }
    void WriteIfDue(bool now = false) {
        const auto t = std::chrono::steady_clock::now();
        if (!now && t - m_written < std::chrono::seconds(1)) return;
        m_written = t;
        const std::string tmp = m_options.stats + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (!f) return;
        std::fprintf(f,
                     "frames=%llu\ntouches=%llu\nbusy_frames=%llu\nmax_touches=%llu\n"
                     "malformed=%llu\nmissed=%llu\nconnects=%llu\ndisconnects=%llu\n",
                     ull(m_tally.frames), ull(m_tally.touches), ull(m_tally.busy),
                     ull(m_tally.maxTouches), ull(m_tally.malformed), ull(m_tally.missed),
                     ull(connects), ull(disconnects));
        for (const std::string& e : m_tally.errors) std::fprintf(f, "error=%s\n", e.c_str());
        std::fclose(f);
        std::rename(tmp.c_str(), m_options.stats.c_str());
    }

    uint64_t connects = 0, disconnects = 0;

private:
    static unsigned long long ull(uint64_t v) { return v; }
    const Options& m_options;
    const soak::StreamTally& m_tally;
    std::chrono::steady_clock::time_point m_written{};
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Waits up to 200 ms for input, so that a stop is seen promptly.
bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 200) > 0;
}

void RunTcp(const Options& o, soak::StreamTally& tally, Reporter& reporter) {
    soak::NulSplitter splitter;
    std::vector<char> buffer(o.readBytes);
    const auto onPacket = [&](const std::string& packet) {
        soak::FrameSummary frame;
        const std::string fault = tally.Take(soak::CheckXmlFrame(packet, frame), frame);
        if (!fault.empty()) reporter.Fault(fault, packet);
    };
    while (!g_stop) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (o.readPauseMs > 0) {
            // A small window makes the service meet a full socket soon.
            const int window = 4096;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        }
        const sockaddr_in address = Loopback(o.port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            reporter.WriteIfDue();
            continue;
        }
        ++reporter.connects;
        splitter.Clear();
        while (!g_stop) {
            reporter.WriteIfDue();
            if (!Readable(fd)) continue;
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                ++reporter.disconnects;
                std::fprintf(stderr, "soak-tuio-check tcp: the service closed the connection\n");
                break;
            }
            splitter.Feed(buffer.data(), static_cast<std::size_t>(n), onPacket);
            if (o.readPauseMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(o.readPauseMs));
            }
        }
        close(fd);
    }
}

bool RunUdp(const Options& o, soak::StreamTally& tally, Reporter& reporter) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in address = Loopback(o.port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("soak-tuio-check udp: bind");
        return false;
    }
    ++reporter.connects;
    std::vector<uint8_t> datagram(65536);
    while (!g_stop) {
        reporter.WriteIfDue();
        if (!Readable(fd)) continue;
        const ssize_t n = recv(fd, datagram.data(), datagram.size(), 0);
        if (n < 0) continue;
        soak::FrameSummary frame;
        const std::string fault = tally.Take(
                soak::CheckOscFrame(datagram.data(), static_cast<std::size_t>(n), frame), frame);
        if (!fault.empty()) {
            reporter.Fault(fault, std::to_string(n) + " bytes of OSC");
        }
    }
    close(fd);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: soak-tuio-check tcp|udp --stats FILE [--port N] [--read-bytes N "
                     "--read-pause-ms MS]\n");
        return 2;
    }
    struct sigaction stop {};
    stop.sa_handler = OnStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    soak::StreamTally tally;
    Reporter reporter(options, tally);
    if (options.route == "tcp") {
        RunTcp(options, tally, reporter);
    } else if (!RunUdp(options, tally, reporter)) {
        return 2;
    }
    reporter.WriteIfDue(true);
    return tally.malformed == 0 ? 0 : 1;
}
