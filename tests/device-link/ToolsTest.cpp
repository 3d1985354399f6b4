// The two programs together: ordalo-probe against ordalo-virtual-frame, and a virtual frame whose
// process ends as seen by a bound packet server.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include "../common/ChildProcess.h"
#include "TestSupport.h"
#include "VexoTalk/VexoHIDServer.h"

using namespace VexoSource;
using namespace devlink_test;
using std::chrono::milliseconds;

namespace {

using Process = ordalo_test::ChildProcess;
using ordalo_test::PathExists;
using ordalo_test::ReadWholeFile;

class ToolsTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("ORDALO_VIRTUAL_DIR", dir.Path().c_str(), 1); }
    void TearDown() override { unsetenv("ORDALO_VIRTUAL_DIR"); }
    std::string Out(const char* name) const { return dir.Path() + "/" + name + ".out"; }

    TempDir dir;
};

TEST_F(ToolsTest, ProbePrintsTheEmulatedFramesIdentityAndGeometry) {
    Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path(), "--name", "left", "--id",
                   "00112233445566aa"},
                  Out("frame"));
    ASSERT_TRUE(frame.Started());
    ASSERT_TRUE(WaitFor([&] { return PathExists(dir.Path() + "/left.sock"); }));

    Process probe({ORDALO_PROBE_BIN, "--touch-rate", "1"}, Out("probe"));
    ASSERT_EQ(probe.Wait(), 0) << ReadWholeFile(Out("probe"));
    const std::string out = ReadWholeFile(Out("probe"));
    EXPECT_NE(out.find("virtual:" + dir.Path() + "/left.sock"), std::string::npos) << out;
    EXPECT_NE(out.find("identity       00112233445566AA"), std::string::npos) << out;
    EXPECT_NE(out.find("firmware       2.0 (20)"), std::string::npos) << out;
    EXPECT_NE(out.find("LEDs           120 x 68"), std::string::npos) << out;
    EXPECT_NE(out.find("lines          7 x 7"), std::string::npos) << out;
    EXPECT_NE(out.find("gaps           2 x 2"), std::string::npos) << out;
    EXPECT_NE(out.find("LCD size       32 inch"), std::string::npos) << out;
    EXPECT_NE(out.find("mode           hardware (1)"), std::string::npos) << out;
    // The scan stream is real: some packets per second arrived (the count depends on the load).
    EXPECT_NE(out.find("touch rate"), std::string::npos) << out;
    EXPECT_EQ(out.find("touch rate     0.0"), std::string::npos) << out;

    frame.Signal(SIGTERM);
    EXPECT_EQ(frame.Wait(), 0);
    EXPECT_FALSE(PathExists(dir.Path() + "/left.sock"));
}

TEST_F(ToolsTest, ProbeWithoutFramesSaysSoAndFails) {
    Process probe({ORDALO_PROBE_BIN}, Out("probe"));
    EXPECT_EQ(probe.Wait(), 1);
    EXPECT_NE(ReadWholeFile(Out("probe")).find("no touch frame found"), std::string::npos);
}

TEST_F(ToolsTest, ProbeOfAFrameThatNeverAnswersFails) {
    Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path(), "--no-answer", "16"},
                  Out("frame"));
    ASSERT_TRUE(WaitFor([&] { return PathExists(dir.Path() + "/frame0.sock"); }));
    Process probe({ORDALO_PROBE_BIN}, Out("probe"));
    EXPECT_EQ(probe.Wait(), 1);
    const std::string out = ReadWholeFile(Out("probe"));
    EXPECT_NE(out.find("no answer to the configuration request"), std::string::npos) << out;
    EXPECT_NE(out.find("no frame answered"), std::string::npos) << out;
}

TEST_F(ToolsTest, VirtualFrameRejectsBadOptions) {
    Process noDir({ORDALO_VIRTUAL_FRAME_BIN, "--name", "x"}, Out("a"));
    EXPECT_EQ(noDir.Wait(), 2);
    EXPECT_NE(ReadWholeFile(Out("a")).find("--dir is required"), std::string::npos);
    Process badId({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path(), "--id", "12345"}, Out("b"));
    EXPECT_EQ(badId.Wait(), 2);
    EXPECT_NE(ReadWholeFile(Out("b")).find("16 hex digits"), std::string::npos);
    EXPECT_FALSE(PathExists(dir.Path() + "/frame0.sock"));
}

TEST_F(ToolsTest, RemovingTheSocketStopsTheVirtualFrame) {
    Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path()}, Out("frame"));
    ASSERT_TRUE(WaitFor([&] { return PathExists(dir.Path() + "/frame0.sock"); }));
    unlink((dir.Path() + "/frame0.sock").c_str());
    EXPECT_EQ(frame.Wait(), 0);
    EXPECT_NE(ReadWholeFile(Out("frame")).find("unplugged"), std::string::npos);
}

TEST_F(ToolsTest, InterruptStopsTheVirtualFrameAndRemovesItsSocket) {
    Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path(), "--name", "int"}, Out("frame"));
    const std::string sock = dir.Path() + "/int.sock";
    ASSERT_TRUE(WaitFor([&] { return PathExists(sock); }));
    frame.Signal(SIGINT);
    EXPECT_EQ(frame.Wait(), 0);
    EXPECT_FALSE(PathExists(sock));
}

TEST_F(ToolsTest, FrameProcessEndingIsReportedAsPulledOut) {
    LogCapture log;
    for (int sig : {SIGTERM, SIGKILL}) {
        Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path()}, Out("frame"));
        const std::string sock = dir.Path() + "/frame0.sock";
        ASSERT_TRUE(WaitFor([&] { return PathExists(sock); }));
        std::vector<std::string> paths;
        ASSERT_EQ(VexoHIDGetPaths(VEXO_FRAME_VENDOR_ID, VEXO_FRAME_PRODUCT_ID, paths), 1);
        ASSERT_EQ(paths.back(), "virtual:" + sock);

        VexoHIDServer server;
        ASSERT_EQ(server.Bind(paths.back()), 1u);
        frame.Signal(sig);
        EXPECT_TRUE(WaitFor([&] { return server.IsPulledOut() == 1; })) << "signal " << sig;
        frame.Wait();
        unlink(sock.c_str());  // what SIGKILL leaves behind
    }
    EXPECT_EQ(log.Count(L"Exception - HID Event that device has pulled out"), 2u);
}

}  // namespace
