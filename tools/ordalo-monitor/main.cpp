// ordalo-monitor: a TUIO client for the service's UDP output that shows the touches as they
// arrive, to check a frame by eye (are the touches where the fingers are?) or from a script.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "MonitorScreen.h"
#include "TuioCursors.h"

using namespace OrdaloMonitor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDefaultPort = 3333;
// The picture is redrawn at most this often; frames come every 10 ms.
constexpr auto kRedrawPeriod = std::chrono::milliseconds(50);
constexpr int kTailRows = 8;

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: ordalo-monitor [--lines] [--port N] [--tail FILE]\n"
                 "Listens for TUIO 1.1 cursors (/tuio/2Dcur) on UDP port N (default %d) and\n"
                 "draws the current touches in the terminal: the screen as a box, each touch\n"
                 "as its id at its place, frame rate and fseq in a status line.\n"
                 "  --lines      print one line per received frame instead:\n"
                 "               'fseq N:' then ' ID X Y' for each touch\n"
                 "  --port N     listen on UDP port N\n"
                 "  --tail FILE  show the last lines of FILE (a log) under the picture\n"
                 "Stops on Ctrl-C or SIGTERM.\n",
                 kDefaultPort);
}

struct Options {
    bool lines = false;
    int port = kDefaultPort;
    std::string tail;
};

// 0 to run, otherwise the exit status (help printed, or an error reported).
int ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            Usage(stdout);
            return -1;
        }
        if (arg == "--lines") {
            o.lines = true;
            continue;
        }
        if (arg != "--port" && arg != "--tail") {
            std::fprintf(stderr, "ordalo-monitor: unknown option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "ordalo-monitor: %s needs a value\n", arg.c_str());
            return 2;
        }
        const char* value = argv[++i];
        if (arg == "--tail") {
            o.tail = value;
            continue;
        }
        char* end = nullptr;
        const long port = std::strtol(value, &end, 10);
        if (!*value || *end || port < 1 || port > 65535) {
            std::fprintf(stderr, "ordalo-monitor: --port needs a number from 1 to 65535, got '%s'\n",
                         value);
            return 2;
        }
        o.port = static_cast<int>(port);
    }
    return 0;
}

int OpenSocket(int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void PrintLine(const TuioFrame& frame) {
    std::string line = "fseq " + std::to_string(frame.fseq) + ":";
    char touch[96];
    for (const Cursor& c : frame.cursors) {
        std::snprintf(touch, sizeof touch, " %d %.3f %.3f", c.id, static_cast<double>(c.x),
                      static_cast<double>(c.y));
        line += touch;
    }
    line += '\n';
    std::fputs(line.c_str(), stdout);
    // Scripts and the demo read the lines while we run.
    std::fflush(stdout);
}

class LiveView {
public:
    LiveView(int port, const std::string& tailPath) : port_(port) {
        if (!tailPath.empty()) tail_ = std::make_unique<LogTail>(tailPath);
        std::fputs("\x1b[?25l\x1b[2J", stdout);  // hide the cursor, clear the screen
    }
    ~LiveView() {
        std::fputs("\x1b[?25h\n", stdout);
        std::fflush(stdout);
    }

    void Take(TuioFrame frame, Clock::time_point now) {
        last_ = std::move(frame);
        haveFrame_ = true;
        lastAt_ = now;
        arrivals_.push_back(now);
    }

    void Draw(Clock::time_point now) {
        while (!arrivals_.empty() && now - arrivals_.front() > std::chrono::seconds(1)) {
            arrivals_.pop_front();
        }
        int columns = 80, rows = 24;
        winsize ws{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
            columns = ws.ws_col;
            rows = ws.ws_row;
        }
        const int tailRows = tail_ ? std::min(kTailRows, rows / 3) : 0;
        int offScreen = 0;
        const std::vector<Cursor> none;
        const auto box = DrawTouches(haveFrame_ ? last_.cursors : none, columns,
                                     rows - 1 - tailRows, offScreen);
        std::string out = "\x1b[H";
        auto addLine = [&](std::string line) {
            if (static_cast<int>(line.size()) > columns) line.resize(columns);
            out += line + "\x1b[K\n";
        };
        for (const auto& line : box) addLine(line);
        addLine(Status(now, offScreen));
        if (tail_) {
            tail_->Poll();
            const auto& lines = tail_->lines();
            const size_t shown = std::min(lines.size(), static_cast<size_t>(tailRows));
            for (size_t k = lines.size() - shown; k < lines.size(); ++k) addLine(lines[k]);
        }
        out += "\x1b[J";
        std::fputs(out.c_str(), stdout);
        std::fflush(stdout);
    }

private:
    std::string Status(Clock::time_point now, int offScreen) const {
        const std::string port = "UDP " + std::to_string(port_);
        if (!haveFrame_) return "waiting for TUIO frames on " + port;
        std::string s = "fseq " + std::to_string(last_.fseq) + " | " +
                        std::to_string(arrivals_.size()) + " frames/s | " +
                        std::to_string(last_.cursors.size()) + " touches";
        if (offScreen > 0) s += " (" + std::to_string(offScreen) + " off the screen)";
        s += " | " + port;
        const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - lastAt_);
        if (quiet.count() >= 1) s += " | no frames for " + std::to_string(quiet.count()) + " s";
        return s;
    }

    int port_;
    std::unique_ptr<LogTail> tail_;
    TuioFrame last_{0, {}};
    bool haveFrame_ = false;
    Clock::time_point lastAt_{};
    std::deque<Clock::time_point> arrivals_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = ParseOptions(argc, argv, options)) return status < 0 ? 0 : status;

    const int fd = OpenSocket(options.port);
    if (fd < 0) {
        std::fprintf(stderr, "ordalo-monitor: cannot listen on UDP port %d: %s\n", options.port,
                     std::strerror(errno));
        return 1;
    }
    // Stop signals stay blocked except inside ppoll, so none is lost between two waits.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    static volatile sig_atomic_t stop = 0;
    struct sigaction onStop{};
    onStop.sa_handler = [](int) { stop = 1; };
    sigaction(SIGINT, &onStop, nullptr);
    sigaction(SIGTERM, &onStop, nullptr);
    sigaction(SIGHUP, &onStop, nullptr);
    // A reader of --lines that goes away must not kill us mid-line; the write error ends us.
    signal(SIGPIPE, SIG_IGN);

    TuioCursors cursors;
    std::unique_ptr<LiveView> view;
    if (!options.lines) view = std::make_unique<LiveView>(options.port, options.tail);
    std::vector<uint8_t> buffer(65536);
    auto nextDraw = Clock::now();
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        const timespec slice{0, 50 * 1000 * 1000};
        const int ready = ppoll(&p, 1, &slice, &waitMask);
        if (ready < 0 && errno != EINTR) {
            std::perror("ordalo-monitor: poll");
            break;
        }
        const auto now = Clock::now();
        if (ready > 0) {
            // Everything queued is taken, so a slow terminal never lets frames pile up.
            for (;;) {
                const ssize_t n =
                    recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
                if (n < 0) break;
                // A datagram larger than the buffer arrived cut short: it is not the sender's.
                if (static_cast<size_t>(n) > buffer.size()) continue;
                for (TuioFrame& frame : cursors.Feed(buffer.data(), static_cast<size_t>(n))) {
                    if (view) {
                        view->Take(std::move(frame), now);
                    } else {
                        PrintLine(frame);
                    }
                }
            }
        }
        if (options.lines && std::ferror(stdout)) break;
        if (view && now >= nextDraw) {
            view->Draw(now);
            nextDraw = now + kRedrawPeriod;
        }
    }
    view.reset();
    close(fd);
    return 0;
}
