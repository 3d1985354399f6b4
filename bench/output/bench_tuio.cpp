// Cost of one TUIO frame against the bare system calls that carry it.
//
// Each iteration sends one frame with TUIO::SendMsg and the same bytes with
// bare send() calls (the datagram on a connected UDP socket; with the TCP
// route also the XML packet on a connected TCP socket), timing each call on
// its own. Interleaving the two keeps the ratio honest on a loaded machine:
// both see the same load. Inputs are jittered tables, a new one every frame.
// Receivers drain on their own threads.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VexoTUIO/TUIO.h"

using namespace VexoSource;

// Heap allocations of the calling thread, so the benchmark can show how many
// a frame makes.
namespace {
thread_local long long t_allocations = 0;
}
__attribute__((noinline)) void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int PortOf(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

int Bound(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in addr = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

int ConnectTo(int type, int port) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in addr = Loopback(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

// Reads and discards everything on a socket until stopped.
class Drain {
public:
    explicit Drain(int fd) : m_fd(fd), m_thread([this] { Run(); }) {}
    ~Drain() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }

private:
    void Run() {
        std::vector<char> buf(1 << 16);
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            ::recv(m_fd, buf.data(), buf.size(), 0);
        }
    }
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Table {
    std::array<VexoTouch_S, kVexoTouchTableSize> touches{};
    std::array<uint32_t, kVexoTouchTableSize> flags{};
};

// Touches spread over the five devices' id ranges, moving by a few
// thousandths with jitter from frame to frame.
std::vector<Table> JitteredTables(int active, int frames) {
    std::mt19937 rng(1234u + static_cast<unsigned>(active));
    std::uniform_real_distribution<float> start(0.05f, 0.95f);
    std::uniform_real_distribution<float> jitter(-0.004f, 0.004f);
    std::vector<Table> tables(static_cast<std::size_t>(frames));
    std::vector<float> x(active), y(active);
    for (int k = 0; k < active; ++k) {
        x[k] = start(rng);
        y[k] = start(rng);
    }
    for (Table& t : tables) {
        for (int k = 0; k < active; ++k) {
            const uint32_t id = static_cast<uint32_t>((k % 5) * 48 + k / 5);
            x[k] = std::clamp(x[k] + jitter(rng), 0.0f, 1.0f);
            y[k] = std::clamp(y[k] + jitter(rng), 0.0f, 1.0f);
            t.touches[id] = VexoTouch_S{x[k], y[k], 0.01f + jitter(rng), 0.012f + jitter(rng),
                                        0.0001f, id};
            t.flags[id] = 1;
        }
    }
    return tables;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// range(0): active touches; range(1): 1 with one TCP client, 0 UDP only;
// range(2): 1 for the standard profile.
void BM_SendMsgVsBareSend(benchmark::State& state) {
    const int active = static_cast<int>(state.range(0));
    const bool tcp = state.range(1) != 0;
    const bool standard = state.range(2) != 0;

    const int udpIn = Bound(SOCK_DGRAM);
    const int rcvbuf = 1 << 22;
    ::setsockopt(udpIn, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    const int udpPort = PortOf(udpIn);
    Drain udpDrain(udpIn);
    const int bareUdp = ConnectTo(SOCK_DGRAM, udpPort);

    TUIO tuio;
    if (!tuio.Setup("127.0.0.1", 0, udpPort, 1, tcp ? 1 : 0)) {
        state.SkipWithError("TUIO setup failed");
        return;
    }
    TUIOSettings settings;
    settings.profile = standard ? TUIOProfile::Standard : TUIOProfile::Default;
    tuio.Configure(settings);

    std::unique_ptr<Drain> tuioTcpDrain, bareTcpDrain;
    int bareTcp = -1;
    if (tcp) {
        tuioTcpDrain = std::make_unique<Drain>(ConnectTo(SOCK_STREAM, tuio.GetTcpPort()));
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (tuio.GetServer().GetNumClients() < 1 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (tuio.GetServer().GetNumClients() < 1) {
            state.SkipWithError("TCP client not accepted");
            return;
        }
        const int listener = Bound(SOCK_STREAM);
        ::listen(listener, 1);
        bareTcp = ConnectTo(SOCK_STREAM, PortOf(listener));
        bareTcpDrain = std::make_unique<Drain>(::accept(listener, nullptr, nullptr));
        ::close(listener);
    }

    // Few enough tables to stay in cache, as the service's table is: it copies
    // it out just before sending.
    const std::vector<Table> tables = JitteredTables(active, 16);
    // The XML bytes each table gives, as the TCP route sends them.
    std::vector<std::string> xml;
    for (const Table& t : tables) {
        xml.push_back(TUIO::ComposeXml(t.touches.data(), kVexoTouchTableSize, t.flags.data(), 1,
                                       tuio.GetTcpPort(), 12.5f) +
                      '\0');
    }

    std::vector<double> sendMsg, bare;
    sendMsg.reserve(1 << 22);
    bare.reserve(1 << 22);
    long long allocations = 0;
    std::size_t frame = 0;
    double seconds = 0.0;
    for (auto _ : state) {
        const Table& t = tables[frame % tables.size()];
        const std::string& text = xml[frame % tables.size()];
        ++frame;
        seconds += 0.01;
        // Alternate which goes first: the second send of a pair finds the
        // receiver already awake, which would flatter whichever runs second.
        const bool bareFirst = frame % 2 == 0;
        Clock::duration bareTime{}, sendTime{};
        for (int pass = 0; pass < 2; ++pass) {
            const auto start = Clock::now();
            if ((pass == 0) == bareFirst) {
                for (std::size_t i = 0; i < tuio.GetDatagramCount(); ++i) {
                    const std::string_view d = tuio.GetDatagram(i);
                    ::send(bareUdp, d.data(), d.size(), 0);
                }
                if (tcp) ::send(bareTcp, text.data(), text.size(), MSG_NOSIGNAL);
                bareTime = Clock::now() - start;
            } else {
                const long long before = t_allocations;
                tuio.SendMsg(t.touches.data(), kVexoTouchTableSize, t.flags.data(), seconds);
                sendTime = Clock::now() - start;
                // The first frames grow the buffers; the steady state is what counts.
                if (frame > 16) allocations += t_allocations - before;
            }
        }
        sendMsg.push_back(Us(sendTime));
        bare.push_back(Us(bareTime));
        state.SetIterationTime(std::chrono::duration<double>(sendTime).count());
    }
    if (bareTcp >= 0) ::close(bareTcp);
    ::close(bareUdp);

    const double sendMedian = Percentile(sendMsg, 0.5);
    const double bareMedian = Percentile(bare, 0.5);
    state.counters["sendmsg_p50_us"] = sendMedian;
    state.counters["sendmsg_p99_us"] = Percentile(sendMsg, 0.99);
    state.counters["sendmsg_max_us"] = Percentile(sendMsg, 1.0);
    state.counters["bare_p50_us"] = bareMedian;
    state.counters["bare_p99_us"] = Percentile(bare, 0.99);
    state.counters["ratio_p50"] = bareMedian > 0 ? sendMedian / bareMedian : 0.0;
    state.counters["allocs_per_frame"] =
        frame > 16 ? static_cast<double>(allocations) / static_cast<double>(frame - 16) : 0.0;
    state.counters["datagrams"] = static_cast<double>(tuio.GetDatagramCount());
}
BENCHMARK(BM_SendMsgVsBareSend)
    ->ArgNames({"touches", "tcp", "standard"})
    ->Args({10, 0, 0})
    ->Args({32, 0, 0})
    ->Args({32, 1, 0})
    ->Args({10, 0, 1})
    ->Args({32, 0, 1})
    ->UseManualTime()
    // With repetitions: the worst repetition beside the median.
    ->ComputeStatistics("max",
                        [](const std::vector<double>& v) {
                            return *std::max_element(v.begin(), v.end());
                        })
    ->Unit(benchmark::kMicrosecond);

void BM_ComposeXml(benchmark::State& state) {
    const std::vector<Table> tables = JitteredTables(static_cast<int>(state.range(0)), 256);
    int32_t seq = 0;
    for (auto _ : state) {
        const Table& t = tables[static_cast<std::size_t>(seq) % tables.size()];
        benchmark::DoNotOptimize(TUIO::ComposeXml(t.touches.data(), kVexoTouchTableSize,
                                                  t.flags.data(), ++seq, 3000, 12.5f));
    }
}
BENCHMARK(BM_ComposeXml)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
