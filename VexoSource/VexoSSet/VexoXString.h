// The service's wide string (32-bit characters) with its conversions.
#pragma once

#include <string>
#include <vector>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

class VexoXString : public std::wstring {
public:
    VexoXString() = default;
    VexoXString(const std::wstring& s) : std::wstring(s) {}
    VexoXString(const wchar_t* s) : std::wstring(s ? s : L"") {}
    // Each byte is widened on its own (no UTF-8 decoding; see VexoUnicodeFromUtf8).
    explicit VexoXString(const char* s);
    explicit VexoXString(const std::string& s);
    explicit VexoXString(int value);
    explicit VexoXString(float value);

    // Narrow copy: ASCII stays as it is, other characters are written as UTF-8; characters
    // that are not Unicode scalar values become '?'.
    std::string ToAsii() const;
    // Decimal value of the leading number; 0 when the text does not start with one. A number
    // beyond the range of int gives the nearest limit.
    int ToInt() const;
    VexoXString& FromInt(int value);
    VexoXString& FromFloat(float value);
    // Replaces the content with the formatted text (glibc wide-printf dialect; "%hs" takes
    // a narrow UTF-8 string). On a formatting error the content becomes empty.
    VexoXString& Format(const wchar_t* format, ...);

    // Splits `text` at every character of `delimiters`. An empty field (between two
    // delimiters, before the first or after the last) is dropped when skipEmpty is set and
    // replaced by `filler` otherwise. Empty text or empty delimiters give an empty list.
    static std::vector<VexoXString> Tokenize(const std::wstring& text,
                                             const std::wstring& delimiters, bool skipEmpty,
                                             const std::wstring& filler);
};

}  // namespace VexoSource
