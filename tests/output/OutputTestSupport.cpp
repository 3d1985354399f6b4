#include "OutputTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "VexoLog/VexoLog.h"

namespace outputtest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

LogRecorder::LogRecorder() {
    VexoSource::VexoLogInit(0, VexoSource::VEXO_LOG_NO_TIMESTAMP | VexoSource::VEXO_LOG_NO_LINEFEED,
                            L"");
    VexoSource::VexoLogSetSink([this](const std::wstring& line) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(line);
    });
}

LogRecorder::~LogRecorder() { VexoSource::VexoLogSetSink(nullptr); }

std::size_t LogRecorder::Count(const std::wstring& line) const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::size_t n = 0;
    for (const auto& l : m_lines) n += l == line ? 1 : 0;
    return n;
}

Peer::~Peer() { Close(); }

Peer& Peer::operator=(Peer&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

Peer Peer::Connect(int port, int rcvbuf) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Peer();
    if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return Peer();
    }
    return Peer(fd);
}

int Peer::LocalPort() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

void Peer::Write(const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string Peer::ReadExactly(std::size_t count, std::chrono::milliseconds deadline) const {
    std::string out;
    const auto end = Clock::now() + deadline;
    char buf[4096];
    while (out.size() < count) {
        pollfd p{m_fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, RemainingMs(end));
        if (rc <= 0) break;
        const std::size_t want = std::min(sizeof buf, count - out.size());
        const ssize_t n = ::recv(m_fd, buf, want, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string Peer::ReadUntilNul(std::chrono::milliseconds deadline) const {
    std::string out;
    const auto end = Clock::now() + deadline;
    char c = 0;
    while (out.empty() || out.back() != '\0') {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(end)) <= 0) break;
        if (::recv(m_fd, &c, 1, 0) != 1) break;
        out.push_back(c);
    }
    return out;
}

std::string Peer::ReadAvailable() const {
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool Peer::WaitClosed(std::chrono::milliseconds deadline) const {
    const auto end = Clock::now() + deadline;
    char buf[4096];
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(end)) <= 0) return false;
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
}

void Peer::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void Peer::Abort() {
    if (m_fd < 0) return;
    linger l{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
}

Listener::Listener(int rcvbuf) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr = Loopback(0);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(m_fd, 8);
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
}

Listener::~Listener() {
    if (m_fd >= 0) ::close(m_fd);
}

Peer Listener::Accept(std::chrono::milliseconds deadline) const {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return Peer();
    return Peer(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

}  // namespace outputtest

namespace outputtest {

UdpSink::UdpSink() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    // Large enough that a burst of split bundles is never dropped before it is read.
    const int rcvbuf = 1 << 20;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = ntohs(addr.sin_port);
}

UdpSink::~UdpSink() {
    if (m_fd >= 0) ::close(m_fd);
}

std::string UdpSink::Receive(std::chrono::milliseconds deadline) const {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return "";
    char buf[65536];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

}  // namespace outputtest
