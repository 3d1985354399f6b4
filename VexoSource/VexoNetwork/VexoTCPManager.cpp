#include "VexoNetwork/VexoTCPManager.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "VexoNetwork/VexoNetworkUtils.h"

namespace VexoSource {

std::atomic<bool> VexoTCPManager::m_bWinsockInit{false};

namespace {

constexpr uint64_t kReceiveAllMaxMs = 10000;

bool PeerGone(int err) { return err == EPIPE || err == ECONNRESET || err == ECONNABORTED; }

}  // namespace

VexoTCPManager::VexoTCPManager() {
    VexoNetworkIgnoreSigpipe();
    m_bWinsockInit = true;
}

VexoTCPManager::~VexoTCPManager() { Close(); }

bool VexoTCPManager::Create() {
    if (m_hSocket >= 0) return false;
    m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_hSocket < 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return false;
    }
    return true;
}

bool VexoTCPManager::Bind(int port) { return Bind(port, nullptr); }

bool VexoTCPManager::Bind(int port, const char* address) {
    if (m_hSocket < 0) return false;
    in_addr local{};
    local.s_addr = htonl(INADDR_ANY);
    if (address && ::inet_pton(AF_INET, address, &local) != 1) return false;
    const int one = 1;
    if (::setsockopt(m_hSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return false;
    }
    if (port < 0 || port > 65535) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = local;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(m_hSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return false;
    }
    return true;
}

bool VexoTCPManager::Listen(int backlog) {
    if (m_hSocket < 0) return false;
    m_iMaxConnections = backlog;
    if (::listen(m_hSocket, backlog) != 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return false;
    }
    return true;
}

bool VexoTCPManager::Accept(VexoTCPManager& out) {
    if (m_hSocket < 0) return false;
    if (m_dwTimeoutAccept != kNoTimeout &&
        VexoNetworkWaitReadable(m_hSocket, LimitMs(m_dwTimeoutAccept)) != 1) {
        return false;
    }
    int fd;
    do {
        fd = ::accept4(m_hSocket, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return false;
    }
    out.DropSocket();
    out.m_hSocket = fd;
    out.m_bNonBlocking = false;
    return true;
}

bool VexoTCPManager::Connect(const char* host, int port) {
    if (m_hSocket < 0 || host == nullptr || port < 0 || port > 65535) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    sockaddr_in addr{};
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    ::freeaddrinfo(found);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int rc;
    do {
        rc = ::connect(m_hSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return false;
    }
    return true;
}

bool VexoTCPManager::Close() {
    if (m_hSocket < 0) return true;
    // On Linux the descriptor is released even when close reports an error, so
    // keeping it would only leak or double-close it; only EBADF means we never
    // held it, and then it is gone too.
    if (::close(m_hSocket) != 0 && errno != EINTR) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        m_hSocket = -1;
        return false;
    }
    m_hSocket = -1;
    return true;
}

void VexoTCPManager::Abort() {
    if (m_hSocket < 0) return;
    const linger reset{1, 0};
    ::setsockopt(m_hSocket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    DropSocket();
}

void VexoTCPManager::DropSocket() {
    if (m_hSocket >= 0) ::close(m_hSocket);
    m_hSocket = -1;
}

int VexoTCPManager::Send(const void* data, int len) {
    if (m_hSocket < 0 || len < 0 || (data == nullptr && len > 0)) return -1;
    if (m_dwTimeoutSend != kNoTimeout &&
        VexoNetworkWaitWritable(m_hSocket, LimitMs(m_dwTimeoutSend)) != 1) {
        return -2;
    }
    const ssize_t n = ::send(m_hSocket, data, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n < 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return -1;
    }
    return static_cast<int>(n);
}

int VexoTCPManager::Receive(void* buf, int len) {
    if (m_hSocket < 0 || len < 0 || (buf == nullptr && len > 0)) return -1;
    if (m_dwTimeoutReceive != kNoTimeout &&
        VexoNetworkWaitReadable(m_hSocket, LimitMs(m_dwTimeoutReceive)) != 1) {
        return -2;
    }
    ssize_t n;
    do {
        n = ::recv(m_hSocket, buf, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return -1;
    }
    return static_cast<int>(n);
}

int VexoTCPManager::SendAll(const void* data, int len) {
    if (m_hSocket < 0 || len < 0 || (data == nullptr && len > 0)) return -1;
    const uint64_t start = VexoNetworkNowMs();
    const int limitMs = LimitMs(m_dwTimeoutSend);
    if (limitMs >= 0 && VexoNetworkWaitWritable(m_hSocket, limitMs) != 1) return -2;
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < len) {
        const ssize_t n =
            ::send(m_hSocket, bytes + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            if (PeerGone(err)) {
                VexoNetworkCheckErrno(__FILE__, __LINE__);
                DropSocket();
                return 0;
            }
            return sent > 0 ? sent : -1;
        }
        sent += static_cast<int>(n);
        if (sent < len && limitMs >= 0 &&
            VexoNetworkNowMs() - start > static_cast<uint64_t>(limitMs)) {
            return -2;
        }
    }
    return sent;
}

int VexoTCPManager::ReceiveAll(void* buf, int len) {
    if (m_hSocket < 0 || len < 0 || (buf == nullptr && len > 0)) return -1;
    const int limitMs = LimitMs(m_dwTimeoutReceive);
    const uint64_t start = VexoNetworkNowMs();
    if (limitMs >= 0 && VexoNetworkWaitReadable(m_hSocket, limitMs) != 1) return -2;
    char* bytes = static_cast<char*>(buf);
    int got = 0;
    uint64_t firstReceive = 0;
    while (got < len) {
        const uint64_t now = VexoNetworkNowMs();
        if (firstReceive != 0 && now - firstReceive > kReceiveAllMaxMs) return -2;
        if (limitMs >= 0 && now - start > static_cast<uint64_t>(limitMs)) return -2;
        // Wait in bounded slices so the overall limits are rechecked even when
        // the peer stalls; no fixed sleeps between reads.
        const int ready = VexoNetworkWaitReadable(m_hSocket, 100);
        if (ready < 0) return -1;
        if (ready == 0) continue;
        const ssize_t n = ::recv(m_hSocket, bytes + got, static_cast<size_t>(len - got), 0);
        if (n == 0) return -1;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            VexoNetworkCheckErrno(__FILE__, __LINE__);
            return -1;
        }
        if (firstReceive == 0) firstReceive = VexoNetworkNowMs();
        got += static_cast<int>(n);
    }
    return got;
}

int VexoTCPManager::Write(const void* data, int len) {
    if (m_hSocket < 0 || len < 0 || (data == nullptr && len > 0)) return -1;
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < len) {
        const int n = Send(bytes + sent, len - sent);
        if (n == -2) return -2;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            const int ready = VexoNetworkWaitWritable(m_hSocket, LimitMs(m_dwTimeoutSend));
            if (ready == 0) return -2;
            if (ready < 0) return -1;
            continue;
        }
        sent += n;
    }
    return sent;
}

bool VexoTCPManager::SetNonBlocking(bool nonBlocking) {
    m_bNonBlocking = nonBlocking;
    if (m_hSocket < 0) return false;
    int on = nonBlocking ? 1 : 0;
    if (::ioctl(m_hSocket, FIONBIO, &on) != 0) {
        VexoNetworkCheckErrno(__FILE__, __LINE__);
        return false;
    }
    return true;
}

bool VexoTCPManager::SetSendBufferSize(int size) {
    return m_hSocket >= 0 &&
           ::setsockopt(m_hSocket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
}

bool VexoTCPManager::SetReceiveBufferSize(int size) {
    return m_hSocket >= 0 &&
           ::setsockopt(m_hSocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0;
}

int VexoTCPManager::GetSendBufferSize() const {
    int size = 0;
    socklen_t len = sizeof size;
    if (m_hSocket < 0 || ::getsockopt(m_hSocket, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0) return 0;
    return size;
}

int VexoTCPManager::GetReceiveBufferSize() const {
    int size = 0;
    socklen_t len = sizeof size;
    if (m_hSocket < 0 || ::getsockopt(m_hSocket, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) return 0;
    return size;
}

bool VexoTCPManager::GetInetAddr(sockaddr_in& addr) const {
    socklen_t len = sizeof addr;
    return m_hSocket >= 0 &&
           ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

bool VexoTCPManager::GetRemoteAddr(sockaddr_in& addr) const {
    socklen_t len = sizeof addr;
    return m_hSocket >= 0 &&
           ::getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

bool VexoTCPManager::CheckHost(const char* address) {
    if (address == nullptr) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address, &addr.sin_addr) != 1) return false;
    char host[NI_MAXHOST];
    return ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), sizeof addr, host, sizeof host,
                         nullptr, 0, NI_NAMEREQD) == 0;
}

int VexoTCPManager::WaitReadable(int timeoutMs) const {
    return VexoNetworkWaitReadable(m_hSocket, timeoutMs);
}

}  // namespace VexoSource
