#include "VexoSSet/VexoSSet.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace VexoSource {
namespace {

constexpr int kMaxHexWidth = 64;

}  // namespace

int VexoSSet<char>::Format(char* buffer, std::size_t size, const char* format, ...) {
    if (!buffer || size == 0) return -1;
    buffer[0] = '\0';
    if (!format) return 0;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0) {
        buffer[0] = '\0';
        return -1;
    }
    return static_cast<std::size_t>(n) >= size ? static_cast<int>(size - 1) : n;
}

std::string VexoSSet<char>::UIntToHexString(u32 value, bool emptyForZero, int width, char fill) {
    if (emptyForZero && value == 0) return std::string();
    // Widths beyond the eight digits of a u32 still pad, as a "%0.<width>X" format would;
    // only an absurd width is bounded.
    if (width < 0) width = 0;
    if (width > kMaxHexWidth) width = kMaxHexWidth;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%X", value);
    std::string text(digits);
    if (text.size() < static_cast<std::size_t>(width)) {
        text.insert(0, static_cast<std::size_t>(width) - text.size(), fill);
    }
    return text;
}

std::string VexoSSet<char>::BytesToHexString(const u8* bytes, std::size_t count, char fill) {
    std::string text;
    if (!bytes) return text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) text += UIntToHexString(bytes[i], false, 2, fill);
    return text;
}

u32 VexoSSet<char>::StringToUInt(const char* text, bool hex) {
    if (!text) return 0;
    // strtoul reads what "%x" / "%u" read, but defines the result for a number beyond u32,
    // which the scanf family leaves undefined: it becomes the largest u32.
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, hex ? 16 : 10);
    if (end == text) return 0;
    if (value > std::numeric_limits<u32>::max()) return std::numeric_limits<u32>::max();
    return static_cast<u32>(value);
}

std::size_t VexoSSet<char>::HexStringToBytes(const char* text, u8* output, std::size_t capacity) {
    if (!text) return 0;
    const std::size_t count = std::strlen(text) / 2;
    if (count > capacity || (count > 0 && !output)) return 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        output[i] = static_cast<u8>(StringToUInt(pair, true));
    }
    return count;
}

}  // namespace VexoSource
