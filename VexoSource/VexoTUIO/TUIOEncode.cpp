#include "VexoTUIO/TUIOEncode.h"

#include <charconv>
#include <cstdio>

namespace VexoSource {

char* TUIOWriteFixed6(char* out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t exponent = (bits >> 23) & 0xffu;
    // From 2^31 up, and for nan and inf, printf itself: no real touch gets there.
    if (exponent >= 127 + 31) {
        return out + std::snprintf(out, kTUIOFixed6MaxChars, "%f", static_cast<double>(value));
    }
    // value = mantissa * 2^shift exactly; its millionths then come out of one
    // 64-bit product (mantissa * 10^6 < 2^44) with the discarded bits deciding
    // the rounding, as printf rounds the exact binary value.
    const uint64_t fraction = bits & 0x7fffffu;
    const uint64_t mantissa = exponent == 0 ? fraction : (fraction | 0x800000u);
    const int shift = (exponent == 0 ? 1 : static_cast<int>(exponent)) - 150;
    const uint64_t scaled = mantissa * 1000000u;
    uint64_t micros = 0;
    if (shift >= 0) {
        micros = scaled << shift;
    } else if (shift > -45) {
        const int drop = -shift;
        micros = scaled >> drop;
        const uint64_t rest = scaled & ((uint64_t{1} << drop) - 1);
        const uint64_t half = uint64_t{1} << (drop - 1);
        if (rest > half || (rest == half && (micros & 1u))) ++micros;
    }
    if (bits >> 31) *out++ = '-';
    out = std::to_chars(out, out + 12, micros / 1000000u).ptr;
    *out++ = '.';
    uint32_t decimals = static_cast<uint32_t>(micros % 1000000u);
    for (int k = 5; k >= 0; --k) {
        out[k] = static_cast<char>('0' + decimals % 10u);
        decimals /= 10u;
    }
    return out + 6;
}

}  // namespace VexoSource
