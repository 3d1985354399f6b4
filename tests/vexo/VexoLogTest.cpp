#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <thread>

#include "LogCapture.h"
#include "VexoLog/VexoLog.h"
#include "VexoUnicode/VexoUnicode.h"

using namespace VexoSource;
using vexotest::LogCapture;

namespace {

std::vector<std::wstring> g_lines;

void CaptureInto(const std::wstring& line) { g_lines.push_back(line); }

}  // namespace

// A fresh process is needed to see the logger before VexoLogInit.
TEST(VexoLogDeathTest, NothingIsLoggedBeforeInit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VexoLogSetSink(&CaptureInto);
            const bool before = VexoLogStatus() == 0;
            VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"early");
            const bool dropped = g_lines.empty();
            VexoLogInit(0, 12, L"");
            VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"late");
            const bool after = VexoLogStatus() == 1 && g_lines.size() == 1;
            std::exit(before && dropped && after ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(VexoLogDeathTest, StderrDestinationWritesUtf8Lines) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("ORDALO_LOG", "stderr", 1);
            unsetenv("ORDALO_LOG_LEVEL");
            VexoLogSetSink(nullptr);
            VexoLogInit(1, 4, L"Service ");
            VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"hidden");
            VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation, L"caf%ls",
                    L"\u00e9 on stderr");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^[0-9]{4}:[0-9]{2}:[0-9]{2} [0-9]{2}:[0-9]{2} Service Information - caf\xc3\xa9 on "
        "stderr\n$");
}

TEST(VexoLogTest, LevelsAndPrefixes) {
    LogCapture log(1);
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"dropped %d", 1);
    VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation, L"arrived %d", 2);
    VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"Create() failed");
    VexoLog(VexoELogLevel::Information, 0, nullptr, L"bare");
    VEXO_LOG_DEBUG(L"also dropped");
    VEXO_LOG_EXCEPTION(L"macro %hs", "text");
    const std::vector<std::wstring> expected = {L"Information - arrived 2",
                                                L"Exception - Create() failed", L"bare",
                                                L"Exception - macro text"};
    EXPECT_EQ(log.Lines(), expected);
}

TEST(VexoLogTest, TagThenPrefixAndANullPrefixLeavesOnlyTheTag) {
    LogCapture log(0);
    VexoLogInit(0, VEXO_LOG_NO_LINEFEED | VEXO_LOG_NO_TIMESTAMP, L"Service ");
    VexoLog(VexoELogLevel::Information, 0, nullptr, L"no prefix %d", 5);
    VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"Create() failed");
    VexoLogInit(0, VEXO_LOG_NO_LINEFEED | VEXO_LOG_NO_TIMESTAMP, nullptr);
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"untagged");
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"Service no prefix 5",
                                                      L"Service Exception - Create() failed",
                                                      L"Debug - untagged"}));
}

TEST(VexoLogTest, MinimumLevelFromEnvironmentWins) {
    setenv("ORDALO_LOG_LEVEL", "2", 1);
    VexoLogInit(0, 12, L"");
    std::vector<std::wstring> lines;
    VexoLogSetSink([&](const std::wstring& l) { lines.push_back(l); });
    VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation, L"info");
    VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"exc");
    VexoLogSetSink(nullptr);
    unsetenv("ORDALO_LOG_LEVEL");
    EXPECT_EQ(lines, std::vector<std::wstring>{L"Exception - exc"});
}

TEST(VexoLogTest, FullLineHasTimeStampTagPrefixAndLineFeed) {
    unsetenv("ORDALO_LOG_LEVEL");
    VexoLogInit(1, 0, L"Service ");
    std::vector<std::wstring> lines;
    VexoLogSetSink([&](const std::wstring& l) { lines.push_back(l); });
    const std::time_t before = std::time(nullptr);
    VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"Create() failed");
    const std::time_t after = std::time(nullptr);
    VexoLogSetSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);

    // The stamp is local time at the call: the line equals the one composed for the minute
    // before or after it.
    bool matches = false;
    for (std::time_t t : {before, after}) {
        std::tm tmv{};
        localtime_r(&t, &tmv);
        wchar_t expected[80];
        std::swprintf(expected, 80,
                      L"%04d:%02d:%02d %02d:%02d Service Exception - Create() failed\n",
                      tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min);
        matches |= lines[0] == expected;
    }
    EXPECT_TRUE(matches) << VexoUnicodeToUtf8Lenient(lines[0]);
}

TEST(VexoLogTest, LongMessagesAreCutAt260) {
    LogCapture log(0);
    const std::wstring longText(300, L'x');
    VexoLog(VexoELogLevel::Debug, 0, nullptr, L"%ls", longText.c_str());
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"%ls", longText.c_str());
    VexoLogInit(0, 8, L"");  // with line feed
    VexoLog(VexoELogLevel::Debug, 0, nullptr, L"%ls", longText.c_str());
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::wstring(260, L'x'));
    // The whole line is bounded too, the prefix included.
    EXPECT_EQ(lines[1], L"Debug - " + std::wstring(252, L'x'));
    ASSERT_EQ(lines[2].size(), 260u);
    EXPECT_EQ(lines[2].back(), L'\n');
}

TEST(VexoLogTest, WideFormatDialect) {
    LogCapture log(0);
    int object = 0;
    VexoLog(VexoELogLevel::Debug, 0, kVexoLogPrefixDebug, L"Thread 0x%0.8X stopped", 0xABCu);
    VexoLog(VexoELogLevel::Debug, 0, nullptr, L"Current direcotry %hs", "/tmp/caf\xc3\xa9");
    VexoLog(VexoELogLevel::Debug, 0, nullptr, L"%s|%ls|%u", "narrow", L"wide", 7u);
    VexoLog(VexoELogLevel::Debug, 0, nullptr, L"obj %ls", vexotest::Hex8(&object).c_str());
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], L"Debug - Thread 0x00000ABC stopped");
    EXPECT_EQ(lines[1], L"Current direcotry /tmp/caf\u00e9");
    EXPECT_EQ(lines[2], L"narrow|wide|7");
    EXPECT_EQ(lines[3].substr(0, 6), L"obj 0x");
}

TEST(VexoLogTest, IllFormedNarrowArgumentStillLogsALine) {
    LogCapture log(0);
    VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"path %hs", "bad\xff\xfe");
    VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, nullptr);
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(L"Exception - ", 0), 0u);
    EXPECT_EQ(lines[1], L"Exception - ");
}

TEST(VexoLogTest, ConcurrentLinesNeverInterleave) {
    LogCapture log(0);
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation,
                        L"thread %d line %d end", t, i);
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    // Every line is whole, and each thread's lines arrive complete and in order.
    int next[kThreads] = {};
    for (const auto& l : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::swscanf(l.c_str(), L"Information - thread %d line %d", &t, &i), 2)
            << VexoUnicodeToUtf8Lenient(l);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++);
        wchar_t expected[64];
        std::swprintf(expected, 64, L"Information - thread %d line %d end", t, i);
        ASSERT_EQ(l, expected);
    }
}

TEST(VexoLogTest, FlagOneAlsoWritesToStandardOutput) {
    LogCapture log(0);
    VexoLogInit(0, VEXO_LOG_STDOUT | VEXO_LOG_NO_TIMESTAMP, L"T ");
    ::testing::internal::CaptureStdout();
    VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation, L"to %ls", L"stdout");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "T Information - to stdout\n");
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"T Information - to stdout\n"});
}

TEST(VexoLogTest, SinkThatLogsDoesNotDeadlock) {
    unsetenv("ORDALO_LOG_LEVEL");
    VexoLogInit(0, 12, L"");
    std::vector<std::wstring> lines;
    VexoLogSetSink([&](const std::wstring& l) {
        lines.push_back(l);
        VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"nested");
    });
    VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation, L"outer");
    VexoLog(VexoELogLevel::Information, 0, kVexoLogPrefixInformation, L"second");
    VexoLogSetSink(nullptr);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"Information - outer", L"Information - second"}));
}
