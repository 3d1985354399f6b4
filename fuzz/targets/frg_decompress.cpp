// The compressed model's run-length decoder on any bytes, with the output bound its caller uses
// (the 2048-byte decompression buffer) or a smaller one. It never writes past the bound and
// agrees with the code as the frame's firmware writes it: bytes below 128 stand for themselves,
// (0x80 | v), n stands for n + 1 bytes v, FF FF ends the stream, decoding stops with 0 once the
// output is full or fewer than four bytes remain before an end mark. A run that does not fit
// is cut at the bound (and the stream reported as failed).
//
// Input: byte 0 picks the bound: below 128 the caller's 2048, else (byte0 - 128) bytes; the rest
// is the compressed stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PanoraCore.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

constexpr uint8_t kUntouched = 0xEE;

// The code, written out plainly: what it decodes and what it returns.
uint32_t Reference(std::vector<uint8_t>& out, size_t cap, const uint8_t* src, size_t len) {
    size_t i = 0;
    for (;;) {
        if (i >= len) return uint32_t(out.size());
        if (out.size() >= cap || len - i < 4) return 0;
        if (src[i] == 0xFF && src[i + 1] == 0xFF) return uint32_t(out.size());
        if (src[i] < 0x80) {
            out.push_back(src[i]);
            i += 1;
            continue;
        }
        for (int n = 0; n <= src[i + 1]; ++n) {
            if (out.size() == cap) return 0;
            out.push_back(src[i] & 0x7F);
        }
        i += 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t cap = data[0] < 128 ? PANORA_TEMPBUF_SIZE : size_t(data[0] - 128);
    const size_t len = size - 1;
    // Exactly sized buffers: a read past the stream or a write past the bound shows.
    std::unique_ptr<uint8_t[]> src(new uint8_t[len ? len : 1]);
    if (len) std::memcpy(src.get(), data + 1, len);
    std::unique_ptr<uint8_t[]> dst(new uint8_t[cap ? cap : 1]);
    std::memset(dst.get(), kUntouched, cap ? cap : 1);

    const uint32_t got = frgDecompress(dst.get(), uint32_t(cap), src.get(), uint32_t(len));
    std::vector<uint8_t> want;
    const uint32_t expected = Reference(want, cap, src.get(), len);
    Check(got == expected);
    Check(got <= cap);
    // Whatever the result, the bytes it wrote are the decoded ones, and none beyond them.
    Check(want.size() <= cap);
    Check(want.empty() || std::memcmp(dst.get(), want.data(), want.size()) == 0);
    for (size_t k = want.size(); k < cap; ++k) Check(dst[k] == kUntouched);
    return 0;
}
