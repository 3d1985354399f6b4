// Cost of one TUIO frame: composing and sending the OSC bundle by UDP and the
// XML packet to one connected TCP client, which drains it as fast as it comes.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "VexoTUIO/TUIO.h"

using namespace VexoSource;

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
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
    long long Bytes() const { return m_bytes.load(); }

private:
    void Run() {
        char buf[65536];
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n > 0) m_bytes += n;
        }
    }
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_bytes{0};
    std::thread m_thread;
};

struct Table {
    std::array<VexoTouch_S, kVexoTouchTableSize> touches{};
    std::array<uint32_t, kVexoTouchTableSize> flags{};
    explicit Table(int active) {
        for (int k = 0; k < active; ++k) {
            const uint32_t id = static_cast<uint32_t>((k * 7) % 240);
            touches[id] = VexoTouch_S{0.01f * k, 1.0f - 0.02f * k, 0.012f, 0.015f, 0.0002f, id};
            flags[id] = 1;
        }
    }
};

void BM_SendMsg(benchmark::State& state) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Loopback(0);
    ::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&addr), &len);
    Drain udpDrain(udp);

    TUIO tuio;
    if (!tuio.Setup("127.0.0.1", 0, ntohs(addr.sin_port), 1, 1)) {
        state.SkipWithError("TUIO setup failed");
        return;
    }
    const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server = Loopback(tuio.GetTcpPort());
    ::connect(tcp, reinterpret_cast<sockaddr*>(&server), sizeof server);
    Drain tcpDrain(tcp);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (tuio.GetServer().GetNumClients() < 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (tuio.GetServer().GetNumClients() < 1) {
        state.SkipWithError("TCP client not accepted");
        return;
    }

    const Table table(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        tuio.SendMsg(table.touches.data(), kVexoTouchTableSize, table.flags.data());
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SendMsg)->Arg(0)->Arg(10)->Arg(32)->Unit(benchmark::kMicrosecond);

void BM_ComposeXml(benchmark::State& state) {
    const Table table(static_cast<int>(state.range(0)));
    int32_t seq = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(TUIO::ComposeXml(table.touches.data(), kVexoTouchTableSize,
                                                  table.flags.data(), ++seq, 3000, 12.5f));
    }
}
BENCHMARK(BM_ComposeXml)->Arg(0)->Arg(10)->Arg(32)->Unit(benchmark::kMicrosecond);

void BM_ComposeAndEncodeBundle(benchmark::State& state) {
    const Table table(static_cast<int>(state.range(0)));
    std::vector<char> buffer(VexoOscSender::kBundleBufferBytes);
    int32_t seq = 0;
    for (auto _ : state) {
        std::size_t size = 0;
        VexoOscBundle bundle = TUIO::ComposeBundle(table.touches.data(), kVexoTouchTableSize,
                                                   table.flags.data(), ++seq);
        VexoOscSender::EncodeBundle(bundle, buffer.data(), buffer.size(), &size);
        benchmark::DoNotOptimize(size);
    }
}
BENCHMARK(BM_ComposeAndEncodeBundle)->Arg(0)->Arg(10)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
