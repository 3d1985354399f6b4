#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "LogCapture.h"
#include "VexoXmlSettings/VexoConfig.h"

using namespace VexoSource;
namespace fs = std::filesystem;

namespace {

class ConfigDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ordalo-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_file = m_dir + "/Data/System.xml";
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void Write(const std::string& text) {
        fs::create_directories(fs::path(m_file).parent_path());
        std::ofstream(m_file, std::ios::binary) << text;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Files in the folder of the configuration, besides the configuration itself.
    std::vector<std::string> Others() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(fs::path(m_file).parent_path()))
            if (e.path() != m_file) names.push_back(e.path().string());
        return names;
    }

    std::string m_dir;
    std::string m_file;
};

struct IntRow {
    const char* xml;
    const char* path;
    int which;
    int expected;
};

class IntRead : public ::testing::TestWithParam<IntRow> {};

TEST_P(IntRead, ReadsWithBaseDetectionOrDefault) {
    const IntRow& row = GetParam();
    VexoAnyxml doc;
    ASSERT_TRUE(doc.Load(row.xml));
    EXPECT_EQ(doc.GetValue(row.path, -7, row.which), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IntRead,
    ::testing::Values(
        IntRow{"<INFO><NETWORK><UDPPORT_OUT>3333</UDPPORT_OUT></NETWORK></INFO>",
               "INFO:NETWORK:UDPPORT_OUT", 0, 3333},
        IntRow{"<INFO><NETWORK><UDPPORT_OUT>010</UDPPORT_OUT></NETWORK></INFO>",
               "INFO:NETWORK:UDPPORT_OUT", 0, 8},
        IntRow{"<A><B>0x1F</B></A>", "A:B", 0, 31},
        IntRow{"<A><B>-12</B></A>", "A:B", 0, -12},
        IntRow{"<A><B>99999999999</B></A>", "A:B", 0, 2147483647},
        IntRow{"<A><B>word</B></A>", "A:B", 0, -7},
        IntRow{"<A><B><C>1</C></B></A>", "A:B", 0, -7},  // element content, no text
        IntRow{"<A><B>1</B><B>2</B></A>", "A:B", 1, 2},   // which picks the last name
        IntRow{"<A><B>1</B><B>2</B></A>", "A:B", 2, -7},
        IntRow{"<A><B>1</B></A>", "A:C", 0, -7}));

TEST(ConfigDocument, PushAndPopKeepTheLevelInRange) {
    VexoAnyxml doc;
    ASSERT_TRUE(doc.Load("<INFO><NETWORK><PORT>5</PORT></NETWORK></INFO>"));
    EXPECT_EQ(doc.PopTag(), 0);
    EXPECT_EQ(doc.GetPushLevel(), 0);
    EXPECT_FALSE(doc.PushTag("MISSING"));
    EXPECT_EQ(doc.GetPushLevel(), 0);
    ASSERT_TRUE(doc.PushTag("INFO:ignored"));
    ASSERT_TRUE(doc.PushTag("NETWORK"));
    EXPECT_EQ(doc.GetValue("PORT", 0), 5);
    EXPECT_EQ(doc.PopTag(), 1);
    EXPECT_EQ(doc.PopTag(), 0);
    EXPECT_EQ(doc.PopTag(), 0);
    EXPECT_EQ(doc.GetValue("INFO:NETWORK:PORT", 0), 5);
}

TEST(ConfigDocument, SetAddRemoveAndCount) {
    VexoAnyxml doc;
    EXPECT_EQ(doc.SetValue("A:B", 3), 0);  // creates the chain
    EXPECT_EQ(doc.SetValue("A:B", 4), 0);  // replaces, no new element
    EXPECT_EQ(doc.GetValue("A:B", 0), 4);
    EXPECT_EQ(doc.AddValue("A:B", 2.5), 1);  // a second A
    EXPECT_EQ(doc.GetNumTags("A:anything"), 2);
    EXPECT_TRUE(doc.TagExists("A:B", 1));
    EXPECT_DOUBLE_EQ(doc.GetValue("A:B", 0.0), 4.0);  // path walks the first A
    doc.ClearTagContents("A:B", 0);
    EXPECT_EQ(doc.GetValue("A:B", 9), 9);
    doc.RemoveTag("A", 0);
    EXPECT_EQ(doc.GetNumTags("A"), 1);
    EXPECT_DOUBLE_EQ(doc.GetValue("A:B", 0.0), 2.5);
    EXPECT_FALSE(doc.TagExists("A:C"));
}

TEST_F(ConfigDir, MissingFileIsCreatedAndRewrittenAtShutdown) {
    ASSERT_FALSE(fs::exists(m_file));
    {
        VexoConfigOnXML cfg(m_file);
        EXPECT_TRUE(fs::exists(m_file));
        EXPECT_EQ(cfg.GetValue("INFO:NETWORK:UDPPORT_OUT", 0), 0);
        cfg.SetValue("INFO:NETWORK:UDPPORT_OUT", 3333);
    }
    VexoConfigOnXML again(m_file);
    EXPECT_EQ(again.GetValue("INFO:NETWORK:UDPPORT_OUT", 0), 3333);
    EXPECT_TRUE(Others().empty());
}

TEST_F(ConfigDir, NonAsciiTextRoundTripsAsUtf8) {
    const VexoXString text(L"Fl\u00e4che \u6e2c\u8a66 \U0001F600 <&>");
    {
        VexoConfigOnXML cfg(m_file);
        cfg.SetValue("INFO:NAME", text);
    }
    EXPECT_NE(Read(m_file).find("Fl\xc3\xa4" "che"), std::string::npos);
    VexoConfigOnXML again(m_file);
    EXPECT_EQ(again.GetValue("INFO:NAME", VexoXString(L"none")), text);
}

TEST_F(ConfigDir, UnparsableFileIsKeptAsideNotOverwritten) {
    const std::string broken = "<INFO><NETWORK><UDPPORT_OUT>3333</UDPPORT_OUT></INF";
    Write(broken);
    vexotest::LogCapture log;
    {
        VexoConfigOnXML cfg(m_file);
        ASSERT_FALSE(cfg.SetAsidePath().empty());
        EXPECT_EQ(Read(cfg.SetAsidePath()), broken);
        bool logged = false;
        for (const std::wstring& line : log.Lines())
            logged = logged || line.find(L"does not parse") != std::wstring::npos;
        EXPECT_TRUE(logged);
        cfg.SetValue("NEW", 1);
    }
    const std::vector<std::string> others = Others();
    ASSERT_EQ(others.size(), 1u);
    EXPECT_EQ(Read(others[0]), broken);
    EXPECT_NE(Read(m_file).find("<NEW>1</NEW>"), std::string::npos);
}

TEST_F(ConfigDir, FailedSaveLeavesThePreviousFileIntact) {
    const std::string previous = "<INFO><KEEP>1</KEEP></INFO>";
    Write(previous);
    VexoConfigOnXML cfg(m_file);
    cfg.SetValue("INFO:BIG", VexoXString(std::wstring(4096, L'x')));

    // Writes past 1 KiB fail (EFBIG) instead of raising SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    vexotest::LogCapture log;
    const bool saved = cfg.SaveConfig();
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_FALSE(saved);
    EXPECT_EQ(Read(m_file), previous);
    EXPECT_TRUE(Others().empty());  // no temporary left behind
    bool logged = false;
    for (const std::wstring& line : log.Lines())
        logged = logged || line.find(L"Unable to save") != std::wstring::npos;
    EXPECT_TRUE(logged);

    EXPECT_TRUE(cfg.SaveConfig());
    EXPECT_NE(Read(m_file).find("xxxx"), std::string::npos);
}

}  // namespace
