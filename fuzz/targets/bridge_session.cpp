// What the service's TCP route delivers to the bridge, arriving in arbitrary pieces, read by
// inet::tcp::Session over a socket pair. Whatever the bytes and however they are cut:
// - every message handed on is NUL-free and shorter than MaxBufferLength;
// - the messages are exactly the stream's NUL-terminated pieces, in order, less those of
//   MaxBufferLength bytes or more (dropped whole, nothing of them handed on);
// - once the peer has closed and every complete message is out, the next read throws.
// Input layout: tcp_stream_support.h (repeats up to 32, so that overlong messages occur).
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "InetSocket.h"
#include "tcp_stream_support.h"

using inet::tcp::Session;
using fuzz_stream::Check;

namespace {

// A NUL can never be part of a message, so this marks "no message served".
const std::string kNone("\0none", 5);

void Drain(Session& session, int fd, std::vector<std::string>& got) {
    while (session.hasMessage() || fuzz_stream::Readable(fd)) {
        std::string message = kNone;
        session >> message;
        if (message == kNone) continue;
        Check(message.find('\0') == std::string::npos);
        Check(message.size() < Session::MaxBufferLength);
        got.push_back(message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_stream::Stream stream = fuzz_stream::Make(data, size, 32);
    int fds[2];
    Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    std::vector<std::string> got;
    {
        Session session(fds[0]);
        fuzz_stream::Feed(stream, fds[1], [&] { Drain(session, fds[0], got); });
        ::close(fds[1]);
        bool threw = false;
        try {
            std::string message = kNone;
            session >> message;
        } catch (const inet::SocketException&) {
            threw = true;
        }
        Check(threw);
    }

    std::vector<std::string> expected;
    std::size_t from = 0;
    for (std::size_t nul; (nul = stream.bytes.find('\0', from)) != std::string::npos; from = nul + 1)
        if (nul - from < Session::MaxBufferLength) expected.push_back(stream.bytes.substr(from, nul - from));
    Check(got == expected);
    return 0;
}
