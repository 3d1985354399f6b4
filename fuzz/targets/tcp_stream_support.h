// Shared by the targets that feed a byte stream to a socket reader: how an input becomes the
// bytes a peer sends and the pieces they arrive in.
//
// Input: byte 0 picks the arrival (bits 0..5 seed the piece sizes, bits 6..7 their largest size:
// 8, 64, 600 or 4096 bytes, for the first 64 pieces; up to 4096 after them), byte 1 how often the rest is repeated (1 + byte1 % repeatLimit
// times; long streams are how a short input reaches a reader's size limits), the rest is the
// stream.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz_stream {

struct Stream {
    std::string bytes;
    std::vector<std::size_t> pieces;  // sizes, summing to bytes.size()
};

inline Stream Make(const uint8_t* data, std::size_t size, unsigned repeatLimit) {
    Stream s;
    if (size < 2) return s;
    static const std::size_t kLargest[4] = {8, 64, 600, 4096};
    const std::size_t largest = kLargest[data[0] >> 6];
    const unsigned repeats = 1 + data[1] % repeatLimit;
    for (unsigned i = 0; i < repeats; ++i)
        s.bytes.append(reinterpret_cast<const char*>(data + 2), size - 2);
    uint32_t state = 0x9E3779B9u ^ (data[0] & 0x3F);
    for (std::size_t left = s.bytes.size(); left > 0;) {
        state = state * 1664525u + 1013904223u;
        // Past the first pieces they may all be large, so that a long stream costs few reads.
        const std::size_t most = s.pieces.size() < 64 ? largest : 4096;
        const std::size_t piece = std::min<std::size_t>(left, 1 + (state >> 8) % most);
        s.pieces.push_back(piece);
        left -= piece;
    }
    return s;
}

// A failed check names its line, so a finding that does not recur on replay still says which
// promise broke.
inline void Check(bool ok, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    if (ok) return;
    std::fprintf(stderr, "check failed at %s:%d\n", file, line);
    std::abort();
}

// Writes all of `len` bytes to a blocking socket. libFuzzer's unit-timeout alarm (SIGALRM every
// timeout/2 + 1 seconds, no SA_RESTART) interrupts a send that waits for room; that is no failure.
inline void WriteAll(int fd, const char* p, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        Check(n > 0);
        p += n;
        len -= std::size_t(n);
    }
}

// Writes the stream to `peer` piece by piece, calling drain() after each piece.
template <class Drain>
void Feed(const Stream& s, int peer, Drain drain) {
    std::size_t at = 0;
    for (std::size_t piece : s.pieces) {
        WriteAll(peer, s.bytes.data() + at, piece);
        at += piece;
        drain();
    }
}

inline bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

}  // namespace fuzz_stream
