#include "VexoSSet/VexoXString.h"

#include <locale.h>

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <limits>

#include "VexoUnicode/VexoUnicode.h"

namespace VexoSource {
namespace {

std::wstring Widen(const char* s, std::size_t n) {
    std::wstring out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(s[i]));
    return out;
}

locale_t Utf8Locale() {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return loc;
}

}  // namespace

VexoXString::VexoXString(const char* s) : std::wstring(s ? Widen(s, std::strlen(s)) : L"") {}

VexoXString::VexoXString(const std::string& s) : std::wstring(Widen(s.data(), s.size())) {}

VexoXString::VexoXString(int value) { FromInt(value); }

VexoXString::VexoXString(float value) { FromFloat(value); }

std::string VexoXString::ToAsii() const { return VexoUnicodeToUtf8Lenient(*this); }

int VexoXString::ToInt() const {
    // wcstol rather than "%d": scanning a number beyond int is undefined for the scanf family,
    // and glibc wraps it into an unrelated value.
    const wchar_t* text = c_str();
    wchar_t* end = nullptr;
    const long value = std::wcstol(text, &end, 10);
    if (end == text) return 0;
    if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

VexoXString& VexoXString::FromInt(int value) { return Format(L"%d", value); }

VexoXString& VexoXString::FromFloat(float value) {
    return Format(L"%f", static_cast<double>(value));
}

VexoXString& VexoXString::Format(const wchar_t* format, ...) {
    clear();
    if (!format) return *this;
    locale_t previous = static_cast<locale_t>(0);
    if (Utf8Locale() != static_cast<locale_t>(0)) previous = uselocale(Utf8Locale());
    // vswprintf cannot tell a short buffer from an encoding error, so grow a few times and
    // give up (empty result) when even a large buffer fails.
    for (std::size_t size = 256; size <= (1u << 20); size *= 8) {
        std::wstring buffer(size, L'\0');
        va_list args;
        va_start(args, format);
        int n = std::vswprintf(&buffer[0], size, format, args);
        va_end(args);
        if (n >= 0) {
            buffer.resize(static_cast<std::size_t>(n));
            assign(buffer);
            break;
        }
    }
    if (previous != static_cast<locale_t>(0)) uselocale(previous);
    return *this;
}

std::vector<VexoXString> VexoXString::Tokenize(const std::wstring& text,
                                               const std::wstring& delimiters, bool skipEmpty,
                                               const std::wstring& filler) {
    std::vector<VexoXString> fields;
    if (text.empty() || delimiters.empty()) return fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find_first_of(delimiters, start);
        const std::size_t stop = end == std::wstring::npos ? text.size() : end;
        if (stop > start) {
            fields.emplace_back(text.substr(start, stop - start));
        } else if (!skipEmpty) {
            fields.emplace_back(filler);
        }
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return fields;
}

}  // namespace VexoSource
