// Narrow-string helpers: bounded formatting and hexadecimal text.
#pragma once

#include <string>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

template <class CharT>
class VexoSSet;

template <>
class VexoSSet<char> {
public:
    // vsnprintf into a bounded buffer; returns the characters written (cut to size - 1),
    // or -1 on an encoding error (the buffer then holds an empty string).
    static int Format(char* buffer, std::size_t size, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Upper-case hexadecimal, padded to `width` digits (at most 64) with `fill`; never cut.
    // Empty when emptyForZero is set and the value is 0.
    static std::string UIntToHexString(u32 value, bool emptyForZero = false, int width = 0,
                                       char fill = '0');
    // Two upper-case digits per byte, no separators; `fill` pads bytes below 0x10.
    static std::string BytesToHexString(const u8* bytes, std::size_t count, char fill = '0');
    // Reads the text as "%x" (hex) or "%u"; 0 when nothing is read or the text is null, the
    // largest u32 for a number beyond it.
    static u32 StringToUInt(const char* text, bool hex);
    // Each pair of characters becomes one byte (hexadecimal). Returns the number of bytes
    // written, or 0 without writing when they would exceed `capacity`. A final odd
    // character is ignored.
    static std::size_t HexStringToBytes(const char* text, u8* output, std::size_t capacity);
};

}  // namespace VexoSource
