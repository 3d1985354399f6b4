// What a peer sends to a VexoTCPClient, arriving in arbitrary pieces, read with the text
// receive ("[/TCP]" terminates a message, NUL bytes are dropped) over a socket pair adopted as
// an accepted, non-blocking connection. Whatever the bytes and however they are cut:
// - every message is free of NUL bytes and of the terminator, and never longer than the limit;
// - the messages are the NUL-stripped stream's terminated pieces, in order; only a piece too
//   long for the limit may be missing, and nothing else is handed on in its place;
// - the text still waiting is the unterminated tail (when it is within the limit);
// - the peer closing is seen: the client ends up disconnected.
// Empty messages cannot be told from "nothing yet" and are left out of the comparison.
// Input layout: tcp_stream_support.h (repeats up to 32, so that overlong text occurs).
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "VexoLog/VexoLog.h"
#include "VexoNetwork/VexoTCPClient.h"
#include "tcp_stream_support.h"

using VexoSource::VexoTCPClient;
using fuzz_stream::Check;

namespace {

class AdoptedClient : public VexoTCPClient {
public:
    explicit AdoptedClient(int fd) {
        m_hSocket = fd;
        Check(Setup(0, false));
    }
};

const std::string kTerminator = VexoTCPClient::kTerminator;
// A piece this long is delivered whatever the read boundaries: with a split terminator
// (5 bytes short of complete) it still fits the limit.
const std::size_t kAlwaysKept = VexoTCPClient::kMaxPartialBytes - (kTerminator.size() - 1);

void Drain(AdoptedClient& client, int fd, std::vector<std::string>& got) {
    while (client.IsConnected() &&
           (fuzz_stream::Readable(fd) || client.GetPartial().find(kTerminator) != std::string::npos)) {
        const std::string message = client.Receive();
        if (message.empty()) continue;
        Check(message.find('\0') == std::string::npos);
        Check(message.find(kTerminator) == std::string::npos);
        Check(message.size() <= VexoTCPClient::kMaxPartialBytes);
        got.push_back(message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VexoSource::VexoLogInit(VexoSource::VexoELogLevel::Debug, VexoSource::VEXO_LOG_NO_TIMESTAMP, L"");
    VexoSource::VexoLogSetSink([](const std::wstring&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_stream::Stream stream = fuzz_stream::Make(data, size, 32);
    int fds[2];
    Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    std::vector<std::string> got;
    std::string tail;
    {
        AdoptedClient client(fds[0]);
        fuzz_stream::Feed(stream, fds[1], [&] { Drain(client, fds[0], got); });
        tail = client.GetPartial();
        ::close(fds[1]);
        for (int i = 0; i < 3 && client.IsConnected(); ++i) Check(client.Receive().empty());
        Check(!client.IsConnected());
    }

    std::string text;
    for (char c : stream.bytes)
        if (c != '\0') text.push_back(c);
    std::size_t matched = 0, from = 0;
    for (std::size_t end; (end = text.find(kTerminator, from)) != std::string::npos;
         from = end + kTerminator.size()) {
        const std::string piece = text.substr(from, end - from);
        if (piece.empty()) continue;
        if (matched < got.size() && got[matched] == piece) {
            ++matched;
        } else {
            Check(piece.size() > kAlwaysKept);
        }
    }
    Check(matched == got.size());
    if (text.size() - from <= kAlwaysKept) Check(tail == text.substr(from));
    Check(tail.size() <= VexoTCPClient::kMaxPartialBytes + VexoTCPClient::kRawReceiveBytes);
    return 0;
}
