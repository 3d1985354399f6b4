#include "VirtualFrame/FrameSocketServer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace VirtualFrame {

namespace {

constexpr size_t kMaxClients = 8;
// How often the receiver looks at the socket file and the frame's state when nothing happens.
constexpr int kHousekeepingMs = 200;
constexpr std::chrono::milliseconds kPullSliceMs{100};

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

FrameSocketServer::FrameSocketServer(FirmwareEmulator& emulator, std::string socketPath)
    : m_emu(emulator), m_path(std::move(socketPath)) {}

FrameSocketServer::~FrameSocketServer() { Stop(); }

bool FrameSocketServer::Start() {
    if (m_listenFd >= 0) return true;
    sockaddr_un addr;
    if (!FillAddress(m_path, addr)) {
        m_error = "socket path is empty or too long: " + m_path;
        return false;
    }
    struct stat st;
    if (lstat(m_path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            m_error = "path exists and is not a socket: " + m_path;
            return false;
        }
        int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            bool served = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(probe);
            if (served) {
                m_error = "another frame is already served on " + m_path;
                return false;
            }
        }
        unlink(m_path.c_str());
    }

    // A host watching the folder connects to every *.sock it sees, so the socket only takes its
    // name once it listens: bound under a temporary name, then renamed into place.
    const std::string bindPath = m_path + "." + std::to_string(getpid()) + ".tmp";
    sockaddr_un bindAddr;
    const bool renameIntoPlace = FillAddress(bindPath, bindAddr);
    if (!renameIntoPlace) bindAddr = addr;
    if (renameIntoPlace) unlink(bindPath.c_str());
    m_listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0 ||
        bind(m_listenFd, reinterpret_cast<sockaddr*>(&bindAddr), sizeof bindAddr) != 0 ||
        listen(m_listenFd, 16) != 0 ||
        (renameIntoPlace && rename(bindPath.c_str(), m_path.c_str()) != 0) ||
        pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = "cannot serve on " + m_path + ": " + std::strerror(errno);
        if (renameIntoPlace) unlink(bindPath.c_str());
        if (m_listenFd >= 0) close(m_listenFd);
        m_listenFd = -1;
        for (int& fd : m_wakePipe) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
        return false;
    }
    // Whoever watches the folder may remove the socket the moment it appears; that is an
    // unplug seen by the serving loop, not a failure to start.
    m_inode = stat(m_path.c_str(), &st) == 0 ? st.st_ino : 0;
    m_stop = false;
    m_finished = false;
    m_receiver = std::thread([this] { ReceiveLoop(); });
    m_sender = std::thread([this] { SendLoop(); });
    return true;
}

void FrameSocketServer::Stop() {
    m_stop = true;
    if (m_wakePipe[1] >= 0) {
        char c = 1;
        (void)!write(m_wakePipe[1], &c, 1);
    }
    m_idleCv.notify_all();
    if (m_receiver.joinable()) m_receiver.join();
    if (m_sender.joinable()) m_sender.join();
    CloseClients();
    if (m_listenFd >= 0) {
        if (SocketFileIsOurs()) unlink(m_path.c_str());
        close(m_listenFd);
        m_listenFd = -1;
    }
    for (int& fd : m_wakePipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

bool FrameSocketServer::WaitFinished(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!Finished()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

size_t FrameSocketServer::ClientCount() const {
    std::lock_guard<std::mutex> lock(m_clientsMutex);
    return m_clients.size();
}

bool FrameSocketServer::SocketFileIsOurs() const {
    struct stat st;
    return lstat(m_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == m_inode;
}

void FrameSocketServer::CloseClients() {
    std::lock_guard<std::mutex> lock(m_clientsMutex);
    for (int fd : m_clients) close(fd);
    m_clients.clear();
}

// The only thread that accepts and closes connections, so that no descriptor it polls is closed
// under it.
void FrameSocketServer::ReceiveLoop() {
    uint64_t reboots = m_emu.RebootCount();
    std::vector<pollfd> fds;
    while (!m_stop) {
        if (m_emu.IsUnplugged() || !SocketFileIsOurs()) {
            CloseClients();
            m_finished = true;
            m_idleCv.notify_all();
            return;
        }
        const uint64_t nowReboots = m_emu.RebootCount();
        if (nowReboots != reboots) {
            reboots = nowReboots;
            CloseClients();
        }

        fds.clear();
        fds.push_back({m_wakePipe[0], POLLIN, 0});
        fds.push_back({m_listenFd, POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(m_clientsMutex);
            for (int fd : m_clients) fds.push_back({fd, POLLIN, 0});
        }
        int n = poll(fds.data(), fds.size(), kHousekeepingMs);
        if (n <= 0) continue;

        if (fds[0].revents) {
            char drain[16];
            while (read(m_wakePipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) {
            int c = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                std::lock_guard<std::mutex> lock(m_clientsMutex);
                if (m_clients.size() >= kMaxClients) {
                    close(c);
                } else {
                    m_clients.push_back(c);
                }
            }
            m_idleCv.notify_all();
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            bool drop = (fds[i].revents & (POLLERR | POLLNVAL)) != 0;
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                uint8_t buf[ORDO_REPORT_SIZE + 1];
                ssize_t got = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
                if (got > 0) {
                    m_emu.PushOutputReport(buf, size_t(got));
                } else if (got == 0 && !(fds[i].revents & POLLHUP)) {
                    // An empty datagram, not a hang-up: a malformed report, not a goodbye.
                    m_emu.PushOutputReport(buf, 0);
                } else if (got == 0 ||
                           (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    drop = true;
                }
            }
            if (drop) {
                std::lock_guard<std::mutex> lock(m_clientsMutex);
                for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
                    if (*it == fds[i].fd) {
                        close(*it);
                        m_clients.erase(it);
                        break;
                    }
                }
            }
        }
    }
}

void FrameSocketServer::SendLoop() {
    uint8_t report[ORDO_REPORT_SIZE];
    while (!m_stop && !m_finished) {
        {
            // A frame nobody listens to has nobody to count its reports; wait for a host.
            std::unique_lock<std::mutex> idle(m_idleMutex);
            m_idleCv.wait_for(idle, kPullSliceMs,
                              [this] { return m_stop || m_finished || ClientCount() > 0; });
            if (m_stop || m_finished || ClientCount() == 0) continue;
        }
        PullResult r = m_emu.PullInputReport(report, kPullSliceMs);
        if (r == PullResult::Unplugged) {
            char c = 1;
            (void)!write(m_wakePipe[1], &c, 1);
            return;
        }
        if (r != PullResult::Report) continue;
        std::lock_guard<std::mutex> lock(m_clientsMutex);
        for (int fd : m_clients) send(fd, report, sizeof report, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
}

}  // namespace VirtualFrame
