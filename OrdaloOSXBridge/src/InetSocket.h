// The bridge's small socket layer: a TCP connector and a session that splits the byte stream
// into NUL-terminated messages.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace inet {

class SocketException : public std::runtime_error {
public:
    explicit SocketException(const std::string& message) : std::runtime_error(message) {}
};

namespace tcp {

class Connector {
public:
    // A connected IPv4 stream socket to host:port; throws SocketException ("failure to create
    // socket", or "failure to connect to server", also for a name that does not resolve).
    static int connect(const char* host, std::uint16_t port);
};

class Session {
public:
    // The receive buffer holds at most this many bytes of pending plus new data.
    static constexpr std::size_t MaxBufferLength = 65534;

    // Socket-level options, by their number.
    enum Option : int {
        KeepAlive = SO_KEEPALIVE,
        ReuseAddress = SO_REUSEADDR,
        Broadcast = SO_BROADCAST,
        DontRoute = SO_DONTROUTE,
        OutOfBandInline = SO_OOBINLINE,
    };

    explicit Session(int socket);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int getSocket() const { return socket_; }
    bool isClosed() const { return socket_ == 0 || socket_ == -1; }

    // Waits until the socket is readable or the time is up; true when readable.
    bool watchingData(unsigned long milliseconds);

    // Sets the option to 1 or 0; throws SocketException when the socket refuses it.
    void set(Option option, bool on);

    // The next message: the bytes before the next NUL. Serves a message already complete in the
    // pending bytes without touching the socket; otherwise reads once, and when that read brings
    // no NUL the message is left unchanged. Throws SocketException when the peer has closed the
    // connection or the read fails.
    Session& operator>>(std::string& message);

    // True when a message (or the end of a dropped one) waits in the pending bytes, so that the
    // next >> will not read the socket.
    bool hasMessage() const;

    // Sends every byte; throws SocketException when the peer is gone or the send fails.
    Session& operator<<(const std::string& message);

private:
    // Splits at the first NUL of data; true when a message was found.
    bool takeMessage(std::string& message);

    int socket_;
    std::vector<char> pending_;
    // A message longer than the buffer is being dropped up to its NUL.
    bool discarding_ = false;
};

}  // namespace tcp
}  // namespace inet
