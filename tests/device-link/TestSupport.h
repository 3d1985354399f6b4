// Helpers shared by the device-link tests: log capture, temporary folders, a raw frame peer on
// a virtual-frame socket, report building and polling with deadlines.
#pragma once

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VexoLog/VexoLog.h"

namespace devlink_test {

// Polls `condition` every few milliseconds until it holds or `timeout` runs out.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(8000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Captures every log line (Debug and up, no time stamp, no tag) while alive.
class LogCapture {
public:
    LogCapture() {
        VexoSource::VexoLogInit(
            VexoSource::VexoELogLevel::Debug,
            VexoSource::VEXO_LOG_NO_TIMESTAMP | VexoSource::VEXO_LOG_NO_LINEFEED, L"");
        VexoSource::VexoLogSetSink([this](const std::wstring& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        });
    }
    ~LogCapture() { VexoSource::VexoLogSetSink(nullptr); }

    std::vector<std::wstring> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    size_t Count(const std::wstring& line) const {
        auto lines = Lines();
        return size_t(std::count(lines.begin(), lines.end(), line));
    }
    size_t CountContaining(const std::wstring& part) const {
        size_t n = 0;
        for (const auto& l : Lines()) n += l.find(part) != std::wstring::npos;
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/devlink-XXXXXX";
        m_path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + m_path + "'";
        (void)!system(cmd.c_str());
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// One input report: report id, type, index/count, state, checksum and up to 59 payload bytes.
inline std::vector<uint8_t> Block(uint8_t type, int index, int count, uint8_t checksum,
                                  const std::vector<uint8_t>& payload = {}, uint8_t state = 0) {
    std::vector<uint8_t> r(64, 0);
    r[0] = 0x04;
    r[1] = type;
    r[2] = uint8_t(index << 4 | count);
    r[3] = state;
    r[4] = checksum;
    std::copy(payload.begin(), payload.begin() + std::min<size_t>(payload.size(), 59),
              r.begin() + 5);
    return r;
}

inline uint8_t Sum(const std::vector<uint8_t>& bytes) {
    uint8_t s = 0;
    for (uint8_t b : bytes) s = uint8_t(s + b);
    return s;
}

// The device end of a virtual frame, driven byte for byte by the test.
class RawFramePeer {
public:
    explicit RawFramePeer(const std::string& socketPath) : m_path(socketPath) {
        m_listen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
        ok_ = bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              listen(m_listen, 4) == 0;
    }
    ~RawFramePeer() {
        Close();
        if (m_listen >= 0) close(m_listen);
        unlink(m_path.c_str());
    }
    bool Listening() const { return ok_; }
    std::string HostPath() const { return "virtual:" + m_path; }

    // Takes the host's connection (made by its Bind).
    bool Accept() {
        m_conn = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        return m_conn >= 0;
    }
    bool Send(const std::vector<uint8_t>& report) {
        return send(m_conn, report.data(), report.size(), MSG_NOSIGNAL) == ssize_t(report.size());
    }
    // Next output report of the host, empty when none arrived in time.
    std::vector<uint8_t> Receive(std::chrono::milliseconds timeout) {
        timeval tv{long(timeout.count() / 1000), long(timeout.count() % 1000) * 1000};
        setsockopt(m_conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<uint8_t> buf(128);
        ssize_t n = recv(m_conn, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? size_t(n) : 0);
        return buf;
    }
    // Unplugs: the host's transfers fail from now on.
    void Close() {
        if (m_conn >= 0) close(m_conn);
        m_conn = -1;
    }

private:
    std::string m_path;
    int m_listen = -1;
    int m_conn = -1;
    bool ok_ = false;
};

}  // namespace devlink_test
