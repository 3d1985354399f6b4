// UTF-32 (wchar_t) <-> UTF-8. Nothing here throws.
#pragma once

#include <string>

namespace VexoSource {

// Strict conversions: false (and an empty output) on ill-formed input - a surrogate or a
// value above U+10FFFF on the wide side; an overlong, truncated, surrogate or out-of-range
// sequence or a stray byte on the UTF-8 side.
bool VexoUnicodeToUtf8(const std::wstring& in, std::string& out);
bool VexoUnicodeFromUtf8(const std::string& in, std::wstring& out);

// Lenient conversions: every ill-formed unit becomes U+FFFD.
std::string VexoUnicodeToUtf8Lenient(const std::wstring& in);
std::wstring VexoUnicodeFromUtf8Lenient(const std::string& in);

}  // namespace VexoSource
