// Socket peers, a log recorder and polling for the touch-output tests.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "VexoTUIO/VexoTouch.h"

namespace outputtest {

// Polls `pred` until it holds or `deadline` passes; returns the final answer.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Records every logged line (all levels, no time stamp, no tag) while alive.
class LogRecorder {
public:
    LogRecorder();
    ~LogRecorder();
    std::size_t Count(const std::wstring& line) const;
    bool Contains(const std::wstring& line) const { return Count(line) > 0; }

private:
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

// The far end of a connection, written with plain socket calls so the tests
// see exactly what is on the wire.
class Peer {
public:
    Peer() = default;
    explicit Peer(int fd) : m_fd(fd) {}
    ~Peer();
    Peer(Peer&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Peer& operator=(Peer&& other) noexcept;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Connects to 127.0.0.1:port; `rcvbuf` > 0 shrinks the receive buffer first.
    static Peer Connect(int port, int rcvbuf = 0);

    bool Valid() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    int LocalPort() const;
    void Write(const std::string& bytes) const;
    // Reads until `count` bytes have arrived or the deadline passes.
    std::string ReadExactly(std::size_t count,
                            std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    // Reads up to and including the next NUL byte.
    std::string ReadUntilNul(std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    // Reads whatever is there now, without waiting.
    std::string ReadAvailable() const;
    // True once the other side has closed (a read returns 0 or reset).
    bool WaitClosed(std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    void Close();
    // Closes with an immediate reset instead of an orderly shutdown.
    void Abort();

private:
    int m_fd = -1;
};

// A plain listening socket on an ephemeral loopback port.
class Listener {
public:
    explicit Listener(int rcvbuf = 0);
    ~Listener();
    int Port() const { return m_port; }
    Peer Accept(std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;

private:
    int m_fd = -1;
    int m_port = 0;
};

}  // namespace outputtest

namespace outputtest {

// The TUIO thread's touch table: records by id with their presence flags.
struct TouchTable {
    std::array<VexoSource::VexoTouch_S, VexoSource::kVexoTouchTableSize> touches{};
    std::array<uint32_t, VexoSource::kVexoTouchTableSize> flags{};

    void Put(uint32_t id, float x, float y, float w = 0.01f, float h = 0.02f, float area = 0.0f) {
        touches[id] = VexoSource::VexoTouch_S{x, y, w, h, area, id};
        flags[id] = 1;
    }
};

// A bound loopback UDP socket that hands out whole datagrams, so tests see
// their exact bytes and sizes.
class UdpSink {
public:
    UdpSink();
    ~UdpSink();
    UdpSink(const UdpSink&) = delete;
    UdpSink& operator=(const UdpSink&) = delete;

    bool Valid() const { return m_fd >= 0; }
    int Port() const { return m_port; }
    // The next datagram, or "" when none comes before the deadline.
    std::string Receive(std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;

private:
    int m_fd = -1;
    int m_port = 0;
};

}  // namespace outputtest
