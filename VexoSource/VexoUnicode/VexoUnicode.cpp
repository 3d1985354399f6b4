#include "VexoUnicode/VexoUnicode.h"

#include <cstdint>

namespace VexoSource {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(std::uint32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

void Encode(std::uint32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes one well-formed sequence at `pos` (the ranges of the Unicode standard's table of
// well-formed byte sequences). Returns its length, or 0 when the bytes there are ill-formed;
// `bad` then holds how many bytes form the maximal ill-formed prefix to replace.
std::size_t DecodeOne(const std::string& in, std::size_t pos, std::uint32_t& cp, std::size_t& bad) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(in[pos + i]); };
    const std::size_t left = in.size() - pos;
    const unsigned char b0 = byte(0);
    bad = 1;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < len; ++i) {
        if (i >= left) return 0;
        const unsigned char b = byte(i);
        const unsigned char min = i == 1 ? lo : 0x80;
        const unsigned char max = i == 1 ? hi : 0xBF;
        if (b < min || b > max) return 0;
        cp = (cp << 6) | (b & 0x3F);
        bad = i + 1;
    }
    return len;
}

// Strict conversions stop at the first ill-formed unit; lenient ones replace it.
bool EncodeAll(const std::wstring& in, std::string& out, bool lenient) {
    out.clear();
    out.reserve(in.size());
    for (wchar_t wc : in) {
        auto c = static_cast<std::uint32_t>(wc);
        if (!IsScalar(c)) {
            if (!lenient) {
                out.clear();
                return false;
            }
            c = kReplacement;
        }
        Encode(c, out);
    }
    return true;
}

bool DecodeAll(const std::string& in, std::wstring& out, bool lenient) {
    out.clear();
    out.reserve(in.size());
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::uint32_t cp = 0;
        std::size_t bad = 0;
        std::size_t n = DecodeOne(in, pos, cp, bad);
        if (n == 0) {
            if (!lenient) {
                out.clear();
                return false;
            }
            cp = kReplacement;
            n = bad;
        }
        out.push_back(static_cast<wchar_t>(cp));
        pos += n;
    }
    return true;
}

}  // namespace

bool VexoUnicodeToUtf8(const std::wstring& in, std::string& out) {
    return EncodeAll(in, out, false);
}

bool VexoUnicodeFromUtf8(const std::string& in, std::wstring& out) {
    return DecodeAll(in, out, false);
}

std::string VexoUnicodeToUtf8Lenient(const std::wstring& in) {
    std::string out;
    EncodeAll(in, out, true);
    return out;
}

std::wstring VexoUnicodeFromUtf8Lenient(const std::string& in) {
    std::wstring out;
    DecodeAll(in, out, true);
    return out;
}

}  // namespace VexoSource
