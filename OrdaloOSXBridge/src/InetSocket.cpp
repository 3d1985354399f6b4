#include "InetSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace inet {
namespace tcp {

int Connector::connect(const char* host, std::uint16_t port) {
    sockaddr_in address{};
    bool resolved = false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host && getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
        address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        address.sin_port = htons(port);
        resolved = true;
    }
    if (found) freeaddrinfo(found);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) throw SocketException("failure to create socket");
    if (!resolved ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw SocketException("failure to connect to server");
    }
    return fd;
}

Session::Session(int socket) : socket_(socket) {}

Session::~Session() {
    if (socket_ >= 0) ::close(socket_);
}

bool Session::watchingData(unsigned long milliseconds) {
    // poll rather than select: select cannot watch a descriptor above FD_SETSIZE.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
        pollfd watched{socket_, POLLIN, 0};
        const int ready = ::poll(&watched, 1, int(std::clamp<long long>(left.count(), 0, 1 << 30)));
        if (ready > 0) return true;
        if (ready == 0) {
            if (Clock::now() >= deadline) return false;
            continue;
        }
        if (errno != EINTR) throw SocketException("failure to listen the socket");
    }
}

void Session::set(Option option, bool on) {
    const int value = on ? 1 : 0;
    if (::setsockopt(socket_, SOL_SOCKET, int(option), &value, sizeof value) != 0)
        throw SocketException("failure to set socket option");
}

bool Session::hasMessage() const {
    return std::find(pending_.begin(), pending_.end(), '\0') != pending_.end();
}

bool Session::takeMessage(std::string& message) {
    const auto nul = std::find(pending_.begin(), pending_.end(), '\0');
    if (nul == pending_.end()) return false;
    if (discarding_)
        discarding_ = false;  // the tail of an overlong message ends here, and is dropped
    else
        message.assign(pending_.begin(), nul);
    pending_.erase(pending_.begin(), nul + 1);
    return true;
}

Session& Session::operator>>(std::string& message) {
    if (pending_.size() >= MaxBufferLength) {
        // No message fits the buffer: drop what has come of this one and the rest of it up to
        // its NUL, rather than grow without bound or end the program.
        std::fprintf(stderr,
                     "OrdaloOSXBridge: dropping a message longer than %zu bytes\n",
                     MaxBufferLength);
        pending_.clear();
        discarding_ = true;
    }
    if (takeMessage(message)) return *this;

    const std::size_t kept = pending_.size();
    pending_.resize(MaxBufferLength);
    ssize_t received;
    do {
        received = ::recv(socket_, pending_.data() + kept, MaxBufferLength - kept, 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) {
        pending_.resize(kept);
        throw SocketException("failure to receive data from socket");
    }
    pending_.resize(kept + std::size_t(received));
    if (discarding_ && std::find(pending_.begin(), pending_.end(), '\0') == pending_.end()) {
        pending_.clear();
        return *this;
    }
    takeMessage(message);
    return *this;
}

Session& Session::operator<<(const std::string& message) {
    std::size_t sent = 0;
    while (sent < message.size()) {
        // MSG_NOSIGNAL: a peer that has gone must end in the exception, not in SIGPIPE.
        const ssize_t n = ::send(socket_, message.data() + sent, message.size() - sent,
                                 MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw SocketException("failure to send data over socket");
        sent += std::size_t(n);
    }
    return *this;
}

}  // namespace tcp
}  // namespace inet
