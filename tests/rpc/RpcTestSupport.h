// A raw TCP peer of an RPC server and message building, shared by the RPC tests.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "VexoCommon/VexoCommon.h"

namespace rpc_test {

using Bytes = std::vector<VexoSource::u8>;

inline void PutLe32(Bytes& b, VexoSource::u32 v) {
    for (int i = 0; i < 4; ++i) b.push_back(VexoSource::u8(v >> (8 * i)));
}

// A message with the name copied into its 16-byte field (no NUL added when it fills it).
inline Bytes Message(const std::string& name, VexoSource::u32 kind, const Bytes& body = {}) {
    Bytes m(16, 0);
    std::memcpy(m.data(), name.data(), std::min<std::size_t>(name.size(), 16));
    PutLe32(m, kind);
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

// The "OstrelRPC" request body: command, target, expected reply length, payload.
inline Bytes Request(VexoSource::u32 command, VexoSource::u32 target, VexoSource::u32 expected,
                     const Bytes& payload = {}) {
    Bytes b;
    PutLe32(b, command);
    PutLe32(b, target);
    PutLe32(b, expected);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

class RawPeer {
public:
    explicit RawPeer(int port, const char* address = "127.0.0.1") {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(VexoSource::u16(port));
        ::inet_pton(AF_INET, address, &a.sin_addr);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawPeer() { Close(); }
    bool Connected() const { return m_connected; }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    bool Send(const Bytes& b) {
        return ::send(m_fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
    }
    // Everything that arrives until `want` bytes are in or the deadline passes.
    Bytes Read(std::size_t want, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) break;
            VexoSource::u8 buf[4096];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    // True when nothing more arrives within a short quiet period.
    bool Quiet(std::chrono::milliseconds wait = std::chrono::milliseconds(300)) {
        return Read(1, wait).empty();
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

}  // namespace rpc_test
