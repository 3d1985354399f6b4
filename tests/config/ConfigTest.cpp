// The settings document on its file: creation, tag paths, number reading, text round trips,
// and saves that never cost the previous file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <fstream>
#include <sstream>

#include "device-link/TestSupport.h"
#include "VexoXmlSettings/VexoConfig.h"

using namespace VexoSource;
using devlink_test::LogCapture;
using devlink_test::TempDir;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

TEST(ConfigFile, MissingFileIsCreatedAndRewrittenEmptyAtShutdown) {
    TempDir dir;
    const std::string path = dir.Path() + "/Data//System.xml";
    {
        VexoConfigOnXML cfg(path);
        EXPECT_TRUE(Exists(path));
        EXPECT_EQ(cfg.GetValue("INFO:NETWORK:UDPPORT_OUT", 0), 0);
        Write(path, "scribbled");  // shutdown must write the (empty) document over it
    }
    EXPECT_EQ(Slurp(path), "");
}

struct NumberRow {
    const char* text;
    int expected;
};

class ConfigNumbers : public ::testing::TestWithParam<NumberRow> {};

TEST_P(ConfigNumbers, IntegersAreReadWithBaseDetection) {
    VexoAnyxml doc;
    ASSERT_TRUE(doc.Load(std::string("<INFO><NETWORK><UDPPORT_OUT>") + GetParam().text +
                         "</UDPPORT_OUT></NETWORK></INFO>"));
    EXPECT_EQ(doc.GetValue("INFO:NETWORK:UDPPORT_OUT", -7), GetParam().expected);
}

// -7 stands for "the caller's default".
INSTANTIATE_TEST_SUITE_P(Rows, ConfigNumbers,
                         ::testing::Values(NumberRow{"3333", 3333}, NumberRow{"010", 8},
                                           NumberRow{"0x1F", 31}, NumberRow{"-12", -12},
                                           NumberRow{"99999999999", 2147483647},
                                           NumberRow{"port", -7}, NumberRow{"", -7}));

TEST(ConfigPaths, DefaultsSiblingsAndCursor) {
    LogCapture log;
    VexoAnyxml doc;
    ASSERT_TRUE(doc.Load("<INFO><A>1</A><A>2</A><B><C>x</C></B><E/></INFO>"));
    EXPECT_EQ(doc.GetValue("INFO:A", -7, 1), 2);
    EXPECT_EQ(doc.GetValue("INFO:A", -7, 2), -7);
    EXPECT_EQ(doc.GetValue("INFO:E", -7), -7);                // element without text
    EXPECT_EQ(doc.GetValue("INFO:B", -7), -7);                // element holding an element
    EXPECT_DOUBLE_EQ(doc.GetValue("INFO:A", 0.5), 1.0);

    EXPECT_EQ(doc.PopTag(), 0);  // at level 0 it stays there
    EXPECT_EQ(doc.GetPushLevel(), 0);
    EXPECT_TRUE(doc.PushTag("INFO:ignored"));
    EXPECT_TRUE(doc.PushTag("B"));
    EXPECT_EQ(doc.GetPushLevel(), 2);
    EXPECT_EQ(doc.GetValue("C", VexoXString(L"-")), VexoXString(L"x"));
    EXPECT_FALSE(doc.PushTag("NOPE"));
    EXPECT_EQ(doc.GetPushLevel(), 2);
    EXPECT_EQ(doc.PopTag(), 1);
    EXPECT_EQ(doc.GetNumTags("A:whatever"), 2);
    EXPECT_EQ(doc.PopTag(), 0);
    EXPECT_EQ(doc.PopTag(), 0);

    // Missing elements are created from the first missing name on.
    EXPECT_EQ(doc.SetValue("INFO:NEW:DEEP", 42), 0);
    EXPECT_EQ(doc.GetValue("INFO:NEW:DEEP", 0), 42);
    EXPECT_EQ(doc.AddValue("INFO", VexoXString(L"second")), 1);
    EXPECT_TRUE(doc.TagExists("INFO:B:C"));
    doc.RemoveTag("INFO:B:C");
    EXPECT_FALSE(doc.TagExists("INFO:B:C"));
    EXPECT_FALSE(doc.Load("<INFO><open></INFO>"));
    EXPECT_EQ(log.CountContaining(L"Exception - "), 1u);
}

TEST(ConfigFile, NonAsciiTextRoundTripsThroughTheFile) {
    TempDir dir;
    const std::string path = dir.Path() + "/System.xml";
    const VexoXString text(L"Zürich 東京 \U0001F600 <&>");
    {
        VexoConfigOnXML cfg(path);
        cfg.SetValue("INFO:OWNER", text);
        cfg.SetValue("INFO:RATIO", 0.25);
        cfg.SetValue("INFO:HUGE", -1e70);  // "%f" writes it with 71 digits
    }
    EXPECT_NE(Slurp(path).find("Z\xC3\xBCrich"), std::string::npos);  // UTF-8 in the file
    VexoConfigOnXML again(path);
    EXPECT_EQ(again.GetValue("INFO:OWNER", VexoXString()), text);
    EXPECT_DOUBLE_EQ(again.GetValue("INFO:RATIO", 0.0), 0.25);
    EXPECT_DOUBLE_EQ(again.GetValue("INFO:HUGE", 0.0), -1e70);
}

TEST(ConfigFile, FailedSaveLeavesThePreviousFileIntact) {
    TempDir dir;
    const std::string path = dir.Path() + "/System.xml";
    const std::string before = "<INFO><KEEP>1</KEEP></INFO>";
    Write(path, before);
    LogCapture log;
    VexoAnyxml doc;
    ASSERT_TRUE(doc.LoadFile(path, false));
    for (int i = 0; i < 400; ++i) doc.AddValue("INFO:ROW", VexoXString(L"a long enough value"));

    // A file size limit makes the write fail half way, as a full disk would.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool saved_ok = doc.SaveFile(path, false);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(Slurp(path), before);
    EXPECT_EQ(log.CountContaining(L"Exception - Unable to save"), 1u);
    EXPECT_EQ(system(("test $(ls -A '" + dir.Path() + "' | wc -l) -eq 1").c_str()), 0)
        << "temporary file left behind";
    EXPECT_TRUE(doc.SaveFile(path, false));
    EXPECT_NE(Slurp(path).find("a long enough value"), std::string::npos);
}

class UnparsableFile : public ::testing::TestWithParam<const char*> {};

TEST_P(UnparsableFile, IsSetAsideNotOverwritten) {
    TempDir dir;
    const std::string path = dir.Path() + "/System.xml";
    const std::string broken = GetParam();
    Write(path, broken);
    LogCapture log;
    {
        VexoConfigOnXML cfg(path);
        EXPECT_EQ(cfg.GetValue("INFO:RPC", 5), 5);
        cfg.SetValue("INFO:FRESH", 1);
    }
    EXPECT_EQ(Slurp(path + ".unreadable"), broken);
    EXPECT_NE(Slurp(path).find("FRESH"), std::string::npos);
    EXPECT_EQ(log.CountContaining(L".unreadable"), 1u);
}

// The second is "parsed" without error, as its declaration alone.
INSTANTIATE_TEST_SUITE_P(Rows, UnparsableFile,
                         ::testing::Values("<INFO><RPC>half written",
                                           "<?xml version=\"1.0\" encoding=&\"UTF-8\" ?>\n"
                                           "<INFO><RPC>1</RPC></INFO>\n"));
