// Bytes arriving on the RPC port: one connection to a VexoRPC server (loopback, in process) per
// input, which then half-closes and waits until the server has reported the client removed, so
// everything it sent has been read and handled.
//
// Input: byte 1 bit 7 chooses the mode.
//   raw (bit 7 clear): tcp_stream_support.h's layout (repeats up to 4); the stream goes out in
//     its pieces, back to back.
//   messages (bit 7 set): the rest is a list of requests, each a length byte L (body of
//     min(8 L, 2028) bytes), a procedure byte (0..3: the three registered names, or one that is
//     not) and the body; all are written with one send, as a pipelining client does.
// Checked in both modes:
// - every handler call has a registered name and a body of 0..2028 bytes that is, with a
//   request header in front of it, a slice of the stream, the slices in order and apart;
// - the bytes that come back are exactly one response per handled request, in order: the
//   request's name, kind 2 and the handler's reply (none for a reply longer than 2028).
// In messages mode also: every request to a registered name is handled once with its whole
// body, unless a body holds what reads as a following header or a request to an unknown name
// follows another (the wire has no length field: only known names mark where a message begins).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "VexoLog/VexoLog.h"
#include "VexoNetwork/VexoRPC.h"
#include "tcp_stream_support.h"

using namespace VexoSource;
using fuzz_stream::Check;

namespace {

const char* const kNames[4] = {"OstrelRPC", "Echo", "ABCDEFGHIJKLMNO", "Unregistered"};
constexpr int kRegistered = 3;

struct Call {
    std::string name;
    std::string body;
    std::string reply;  // what the handler returned; empty when too long to be sent
    bool sent;
};

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<Call> g_calls;
bool g_removed = false;
VexoRPC* g_rpc;

// OstrelRPC replies with nothing, Echo with the body (or, when the body starts with 0xFF, with
// more than fits, which must not be sent), the long name with one byte.
i32 Handler(const u8* body, i32 length, u8* reply, i32 capacity, const char* name, void* context) {
    const int which = int(reinterpret_cast<std::intptr_t>(context));
    Check(length >= 0 && length <= VexoRPC::kMaxBodyBytes && capacity == VexoRPC::kMaxBodyBytes);
    Check(std::strcmp(name, kNames[which]) == 0);
    for (i32 i = 0; i < capacity; ++i) Check(reply[i] == 0);  // nothing left from an earlier reply
    Call call{name, std::string(reinterpret_cast<const char*>(body), std::size_t(length)), "", true};
    i32 n = 0;
    if (which == 1) {
        if (length > 0 && body[0] == 0xFF) {
            n = capacity + 1;
            call.sent = false;
        } else {
            std::memcpy(reply, body, std::size_t(length));
            n = length;
        }
    } else if (which == 2) {
        reply[0] = 0x5A;
        n = 1;
    }
    if (call.sent) call.reply.assign(reinterpret_cast<const char*>(reply), std::size_t(n));
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back(std::move(call));
    return n;
}

i32 Removed(const u8*, i32 length, u8* reply, i32, const char* name, void*) {
    Check(length == 4 && !reply && std::strcmp(name, "ClientRemoved") == 0);
    std::lock_guard<std::mutex> guard(g_lock);
    g_removed = true;
    g_changed.notify_all();
    return 0;
}

std::string Header(const std::string& name, u32 kind) {
    std::string h(VexoRPC::kHeaderBytes, '\0');
    std::memcpy(&h[0], name.data(), name.size());
    for (int i = 0; i < 4; ++i) h[std::size_t(VexoRPC::kNameBytes + i)] = char(kind >> (8 * i));
    return h;
}

// Whether `body` holds, at some offset, 16 name bytes naming a registered procedure (or `own`)
// with its NUL, then kind 1 or 2: where the receiver takes a new message to begin.
bool HoldsHeader(const std::string& body, const std::string& own) {
    for (std::size_t off = 0; off + VexoRPC::kHeaderBytes <= body.size(); ++off) {
        u32 kind = 0;
        for (int i = 0; i < 4; ++i) kind |= u32(u8(body[off + 16 + std::size_t(i)])) << (8 * i);
        if (kind != 1 && kind != 2) continue;
        const std::string name(body.c_str() + off, ::strnlen(body.c_str() + off, 16));
        if (name.size() == 16) continue;
        if (name == own) return true;
        for (int i = 0; i < kRegistered; ++i)
            if (name == kNames[i]) return true;
    }
    return false;
}

int Connect() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Check(fd >= 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(u16(g_rpc->GetPort()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        // Interrupted by a signal, the connection goes on being set up: its outcome is the
        // socket's pending error once it is writable.
        Check(errno == EINTR);
        pollfd p{fd, POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0) Check(errno == EINTR);
        int error = 0;
        socklen_t size = sizeof error;
        Check(::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VexoLogInit(VexoELogLevel::Debug, VEXO_LOG_NO_TIMESTAMP, L"");
    VexoLogSetSink([](const std::wstring&) {});
    g_rpc = new VexoRPC;
    for (int i = 0; i < kRegistered; ++i)
        Check(g_rpc->Register(i, kNames[i], Handler, reinterpret_cast<void*>(std::intptr_t(i))) == i);
    Check(g_rpc->Register(VexoRPC::kClientRemovedSlot, "", Removed, nullptr) ==
          VexoRPC::kClientRemovedSlot);
    Check(g_rpc->CreateServer(0) == 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_calls.clear();
        g_removed = false;
    }
    const bool messages = data[1] & 0x80;
    std::string stream;
    std::vector<std::string> sends;
    std::vector<Call> wanted;  // messages mode: the requests that must reach their handler
    bool exact = true;
    if (messages) {
        for (std::size_t at = 2; at + 2 <= size;) {
            const std::size_t length = std::min<std::size_t>(8u * data[at], VexoRPC::kMaxBodyBytes);
            const int which = data[at + 1] & 3;
            at += 2;
            std::string body(reinterpret_cast<const char*>(data + at), std::min(length, size - at));
            body.resize(length, '\0');
            at += std::min(length, size - at);
            sends.push_back(Header(kNames[which], 1) + body);
            if (which < kRegistered) wanted.push_back(Call{kNames[which], body, "", true});
            if (HoldsHeader(body, kNames[which])) exact = false;
            // An unknown name is no boundary: it joins the body of the message before it.
            if (which == kRegistered && sends.size() > 1) exact = false;
        }
    } else {
        const fuzz_stream::Stream s = fuzz_stream::Make(data, size, 4);
        std::size_t at = 0;
        for (std::size_t piece : s.pieces) {
            sends.push_back(s.bytes.substr(at, piece));
            at += piece;
        }
    }
    for (const std::string& piece : sends) stream += piece;
    // One write for all requests: separate writes may be read in any cuts (TCP keeps no
    // boundaries), and a body cut after its header cannot be told from a short one.
    if (messages) sends.assign(1, stream);

    const int fd = Connect();
    for (const std::string& piece : sends) fuzz_stream::WriteAll(fd, piece.data(), piece.size());
    ::shutdown(fd, SHUT_WR);
    std::string back;
    char buf[4096];
    // Only the server's close ends what comes back. A read that libFuzzer's timeout alarm
    // interrupts is no end (taking it for one lost the responses still to come); a reset is a
    // failure, as the server never closes with bytes of this client unread.
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0) break;
        if (n > 0)
            back.append(buf, std::size_t(n));
        else
            Check(errno == EINTR);
    }
    ::close(fd);
    std::vector<Call> calls;
    {
        std::unique_lock<std::mutex> guard(g_lock);
        Check(g_changed.wait_for(guard, std::chrono::seconds(30), [] { return g_removed; }));
        calls.swap(g_calls);
    }

    std::string expected;
    std::size_t from = 0;
    for (const Call& c : calls) {
        // The header and body the handler saw, found at or after the end of the previous one.
        bool found = false;
        for (std::size_t off = from; off + VexoRPC::kHeaderBytes + c.body.size() <= stream.size();
             ++off) {
            if (::strnlen(stream.c_str() + off, 16) != c.name.size() ||
                stream.compare(off, c.name.size(), c.name) != 0 ||
                stream.compare(off + 16, 4, std::string("\1\0\0\0", 4)) != 0 ||
                stream.compare(off + VexoRPC::kHeaderBytes, c.body.size(), c.body) != 0)
                continue;
            from = off + VexoRPC::kHeaderBytes + c.body.size();
            found = true;
            break;
        }
        Check(found);
        if (c.sent) expected += Header(c.name, 2) + c.reply;
    }
    Check(back == expected);
    if (messages && exact) {
        Check(calls.size() == wanted.size());
        for (std::size_t i = 0; i < calls.size(); ++i)
            Check(calls[i].name == wanted[i].name && calls[i].body == wanted[i].body);
    }
    return 0;
}
