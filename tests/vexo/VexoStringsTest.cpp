#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "LogCapture.h"
#include "VexoFileSystem/VexoFile.h"
#include "VexoSSet/VexoSSet.h"
#include "VexoSSet/VexoXString.h"
#include "VexoUnicode/VexoUnicode.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;
using Hex = VexoSSet<char>;

namespace {

std::vector<std::wstring> Plain(const std::vector<VexoXString>& v) {
    return std::vector<std::wstring>(v.begin(), v.end());
}

}  // namespace

TEST(VexoHexTest, UIntToHexString) {
    EXPECT_EQ(Hex::UIntToHexString(255, false, 2), "FF");
    EXPECT_EQ(Hex::UIntToHexString(0, true, 2), "");
    EXPECT_EQ(Hex::UIntToHexString(0, false, 2), "00");
    EXPECT_EQ(Hex::UIntToHexString(5, false, 4), "0005");
    EXPECT_EQ(Hex::UIntToHexString(0x4B5D1001u, false, 2), "4B5D1001");  // never cut
    EXPECT_EQ(Hex::UIntToHexString(0xABu, false, 4, ' '), "  AB");
    // Wider than the eight digits a u32 needs: padded all the same.
    EXPECT_EQ(Hex::UIntToHexString(5, false, 10), "0000000005");
    EXPECT_EQ(Hex::UIntToHexString(0xFFFFFFFFu, false, 12), "0000FFFFFFFF");
}

TEST(VexoHexTest, BytesAndBack) {
    const u8 bytes[] = {0x0A, 0x1B, 0x00, 0xFF};
    EXPECT_EQ(Hex::BytesToHexString(bytes, 2), "0A1B");
    EXPECT_EQ(Hex::BytesToHexString(bytes, 4), "0A1B00FF");
    EXPECT_EQ(Hex::BytesToHexString(nullptr, 4), "");

    u8 out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(Hex::HexStringToBytes("0a1B", out, 2), 2u);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x1B);
    EXPECT_EQ(out[2], 0xEE);

    u8 small[1] = {0xEE};
    EXPECT_EQ(Hex::HexStringToBytes("0a1B", small, 1), 0u);
    EXPECT_EQ(small[0], 0xEE);  // nothing written on overflow

    EXPECT_EQ(Hex::HexStringToBytes("abc", out, 4), 1u);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(Hex::HexStringToBytes("", out, 0), 0u);
    EXPECT_EQ(Hex::HexStringToBytes(nullptr, out, 4), 0u);

    const std::string text = Hex::BytesToHexString(bytes, 4);
    u8 round[4] = {};
    ASSERT_EQ(Hex::HexStringToBytes(text.c_str(), round, 4), 4u);
    EXPECT_EQ(std::memcmp(round, bytes, 4), 0);
}

TEST(VexoHexTest, StringToUIntAndFormat) {
    EXPECT_EQ(Hex::StringToUInt("1f", true), 0x1Fu);
    EXPECT_EQ(Hex::StringToUInt("123", false), 123u);
    EXPECT_EQ(Hex::StringToUInt("zz", true), 0u);
    EXPECT_EQ(Hex::StringToUInt("", false), 0u);
    EXPECT_EQ(Hex::StringToUInt(nullptr, false), 0u);
    EXPECT_EQ(Hex::StringToUInt(" 0x1f", true), 0x1Fu);
    EXPECT_EQ(Hex::StringToUInt("4294967295", false), 0xFFFFFFFFu);
    // Beyond 32 bits: the largest value, not the low bits of the number.
    EXPECT_EQ(Hex::StringToUInt("123456789AB", true), 0xFFFFFFFFu);
    EXPECT_EQ(Hex::StringToUInt("99999999999", false), 0xFFFFFFFFu);

    char buf[6];
    EXPECT_EQ(Hex::Format(buf, sizeof buf, "%i", 12), 2);
    EXPECT_STREQ(buf, "12");
    EXPECT_EQ(Hex::Format(buf, sizeof buf, "%s", "too long text"), 5);
    EXPECT_STREQ(buf, "too l");
    EXPECT_EQ(Hex::Format(nullptr, 4, "x"), -1);
}

TEST(VexoXStringTest, Tokenize) {
    EXPECT_EQ(Plain(VexoXString::Tokenize(L"a,,b", L",", false, L"0")),
              (std::vector<std::wstring>{L"a", L"0", L"b"}));
    EXPECT_EQ(Plain(VexoXString::Tokenize(L"a,,b", L",", true, L"0")),
              (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(Plain(VexoXString::Tokenize(L"a,", L",", false, L"0")),
              (std::vector<std::wstring>{L"a", L"0"}));
    EXPECT_EQ(Plain(VexoXString::Tokenize(L"a,", L",", true, L"0")),
              (std::vector<std::wstring>{L"a"}));
    EXPECT_EQ(Plain(VexoXString::Tokenize(L"x;y z", L"; ", true, L"")),
              (std::vector<std::wstring>{L"x", L"y", L"z"}));
    EXPECT_EQ(Plain(VexoXString::Tokenize(L",a", L",", false, L"-")),
              (std::vector<std::wstring>{L"-", L"a"}));
    EXPECT_TRUE(VexoXString::Tokenize(L"", L",", false, L"0").empty());
    EXPECT_TRUE(VexoXString::Tokenize(L"abc", L"", false, L"0").empty());
    EXPECT_EQ(Plain(VexoXString::Tokenize(L"abc", L",", false, L"0")),
              (std::vector<std::wstring>{L"abc"}));
}

TEST(VexoXStringTest, ConversionsAndFormat) {
    EXPECT_EQ(VexoXString(42), L"42");
    EXPECT_EQ(VexoXString(-7), L"-7");
    EXPECT_EQ(VexoXString(1.5f), L"1.500000");
    EXPECT_EQ(VexoXString("abc"), L"abc");
    EXPECT_EQ(VexoXString(std::string("\xe9")), std::wstring(1, L'\u00e9'));  // byte widened
    EXPECT_EQ(VexoXString(static_cast<const char*>(nullptr)), L"");
    EXPECT_EQ(VexoXString(L"  12abc").ToInt(), 12);
    EXPECT_EQ(VexoXString(L"abc").ToInt(), 0);
    EXPECT_EQ(VexoXString(L"-300").ToInt(), -300);
    EXPECT_EQ(VexoXString(L"99999999999").ToInt(), 2147483647);
    EXPECT_EQ(VexoXString(L"-99999999999").ToInt(), -2147483647 - 1);
    EXPECT_EQ(VexoXString(L"-").ToInt(), 0);
    EXPECT_EQ(VexoXString(L"Sm\u00f6rg\u00e5s").ToAsii(), "Sm\xc3\xb6rg\xc3\xa5s");
    EXPECT_EQ(VexoXString(L"plain").ToAsii(), "plain");

    VexoXString s;
    s.Format(L"%hs-%d-%ls-%0.4X", "n\xc3\xa9", 3, L"w", 0xBEu);
    EXPECT_EQ(s, L"n\u00e9-3-w-00BE");
    s.FromInt(9);
    EXPECT_EQ(s, L"9");
    // Longer than the first formatting buffer.
    const std::wstring big(5000, L'q');
    s.Format(L"<%ls>", big.c_str());
    EXPECT_EQ(s.size(), 5002u);
    // An argument that cannot be decoded leaves an empty string rather than garbage.
    s.Format(L"%hs", "bad\xff");
    EXPECT_TRUE(s.empty());
}

TEST(VexoUnicodeTest, RoundTrips) {
    const std::wstring samples[] = {L"",
                                    L"ascii",
                                    L"\u00e9\u00df",
                                    L"\u20ac\uFFFD\uFEFF",
                                    std::wstring(1, static_cast<wchar_t>(0x1F600)),
                                    std::wstring(1, static_cast<wchar_t>(0x10FFFF)),
                                    std::wstring(1, L'\0') + L"x"};
    for (const auto& w : samples) {
        std::string utf8;
        ASSERT_TRUE(VexoUnicodeToUtf8(w, utf8));
        std::wstring back;
        ASSERT_TRUE(VexoUnicodeFromUtf8(utf8, back));
        EXPECT_EQ(back, w);
        EXPECT_EQ(VexoUnicodeFromUtf8Lenient(VexoUnicodeToUtf8Lenient(w)), w);
    }
    std::string utf8;
    ASSERT_TRUE(VexoUnicodeToUtf8(std::wstring(1, static_cast<wchar_t>(0x1F600)), utf8));
    EXPECT_EQ(utf8, "\xF0\x9F\x98\x80");
}

TEST(VexoUnicodeTest, IllFormedInputIsRejectedOrReplaced) {
    const std::string badUtf8[] = {
        "\x80",              // stray continuation
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong, 3 bytes
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF5\x80\x80\x80",  // invalid lead
        "ab\xE2\x82",        // truncated at the end
        "\xFF",
    };
    for (const auto& bad : badUtf8) {
        std::wstring out = L"stale";
        EXPECT_FALSE(VexoUnicodeFromUtf8(bad, out)) << bad.size();
        EXPECT_TRUE(out.empty());
        const std::wstring lenient = VexoUnicodeFromUtf8Lenient(bad);
        EXPECT_NE(lenient.find(L'\uFFFD'), std::wstring::npos);
    }
    // Maximal ill-formed prefixes are replaced once each, the rest survives.
    EXPECT_EQ(VexoUnicodeFromUtf8Lenient("a\xE2\x82z"), L"a\uFFFDz");
    EXPECT_EQ(VexoUnicodeFromUtf8Lenient("\xC0\xAF"), L"\uFFFD\uFFFD");

    const std::wstring badWide[] = {std::wstring(1, static_cast<wchar_t>(0xD800)),
                                    std::wstring(1, static_cast<wchar_t>(0x110000)),
                                    std::wstring(1, static_cast<wchar_t>(-1))};
    for (const auto& bad : badWide) {
        std::string out = "stale";
        EXPECT_FALSE(VexoUnicodeToUtf8(L"ok" + bad, out));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(VexoUnicodeToUtf8Lenient(L"ok" + bad), "ok\xEF\xBF\xBD");
    }
}

TEST(VexoFileTest, DataPath) {
    ASSERT_TRUE(VexoDataPathEnabled());
    EXPECT_EQ(VexoToDataPath("x.xml", false), "../../../Data/x.xml");
    EXPECT_EQ(VexoToDataPath("/etc/x.xml", false), "/etc/x.xml");
    EXPECT_EQ(VexoToDataPath("../../../Data/x.xml", false), "../../../Data/x.xml");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(VexoToDataPath("x.xml", true), std::string(cwd) + "/../../../Data/x.xml");
    EXPECT_EQ(VexoToDataPath("/abs", true), "/abs");
    VexoSetDataPathEnabled(false);
    EXPECT_EQ(VexoToDataPath("x.xml", true), "x.xml");
    VexoSetDataPathEnabled(true);
}

TEST(VexoFileTest, SaveLoadAndSize) {
    vexotest::LogCapture log(0);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::size_t count = 99;
    EXPECT_EQ(VexoFileSaveByFile(file, "hello world", 11, 0, &count), 1u);
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(VexoFileSaveByFile(file, "W", 1, 6), 1u);
    EXPECT_EQ(VexoFileGetSize(file), 11);

    char buf[16] = {};
    EXPECT_EQ(VexoFileLoadByFile(file, 5, reinterpret_cast<u8*>(buf), 6, &count),
              reinterpret_cast<u8*>(buf));
    EXPECT_EQ(count, 5u);
    EXPECT_STREQ(buf, "World");

    std::unique_ptr<u8[]> owned(VexoFileLoadByFile(file, 64, nullptr, 0, &count));
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(count, 11u);  // short read at the end of the file
    EXPECT_EQ(std::memcmp(owned.get(), "hello World", 11), 0);

    EXPECT_EQ(VexoFileSaveByFile(file, "x", 1, -5, &count), 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(log.Contains(L"Exception - Unable to fseek file"));
    EXPECT_EQ(VexoFileLoadByFile(file, 4, nullptr, -5), nullptr);
    EXPECT_TRUE(log.Contains(L"Exception - Unable to lseek file"));
    VexoFileCloseHandle(file);

    EXPECT_EQ(VexoFileSaveByFile(nullptr, "x", 1, 0), 0u);
    EXPECT_EQ(VexoFileLoadByFile(nullptr, 1, nullptr, 0), nullptr);
    EXPECT_EQ(VexoFileGetSize(nullptr), -1);
    VexoFileCloseHandle(nullptr);
}

TEST(VexoClockTest, Clocks) {
    // Bracketed by our own clock so that a descheduled test thread cannot fail the check.
    const auto before = std::chrono::steady_clock::now();
    VexoResetElapsedTimeCounter();
    const float elapsed = VexoGetElapsedTimef();
    const double bracket = vexotest::SecondsSince(before);
    EXPECT_GE(elapsed, 0.0f);
    EXPECT_LE(elapsed, bracket + 0.002);
    if (bracket < 0.005) {
        EXPECT_LT(elapsed, 0.01f);
    }
    const u32 a = VexoGetSystemTime();
    VexoSleep(20);
    const u32 b = VexoGetSystemTime();
    EXPECT_GE(VexoGetElapsedTimeMillis(), 20u);
    // Wrapping 32-bit milliseconds compare by unsigned subtraction.
    EXPECT_GE(static_cast<u32>(b - a), 15u);
    EXPECT_LT(static_cast<u32>(b - a), 60000u);
    const u64 epochMs = static_cast<u64>(std::time(nullptr)) * 1000u;
    EXPECT_LT(static_cast<u32>(static_cast<u32>(epochMs) - b + 5000u), 12000u);
}
