// The two programs together: ordalo-probe against ordalo-virtual-frame, and a virtual frame whose
// process ends as seen by a bound packet server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "TestSupport.h"
#include "VexoTalk/VexoHIDServer.h"

extern char** environ;

using namespace VexoSource;
using namespace devlink_test;
using std::chrono::milliseconds;

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Runs a program in the background with its output sent to a file.
class Process {
public:
    Process(const std::vector<std::string>& args, const std::string& outFile) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool Started() const { return m_pid > 0; }
    void Signal(int sig) { kill(m_pid, sig); }
    // Exit status, or -1 when it has not ended within the time-out (polled).
    int Wait(milliseconds timeout = milliseconds(20000)) {
        int status = 0;
        const bool ended = WaitFor(
            [&] {
                if (m_reaped) return true;
                if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                    m_reaped = true;
                    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
                return m_reaped;
            },
            timeout);
        return ended ? m_status : -1;
    }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
};

std::string ReadFile(const std::string& path) {
    std::string s;
    if (FILE* f = fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        fclose(f);
    }
    return s;
}

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
    ASSERT_TRUE(WaitFor([&] { return Exists(dir.Path() + "/left.sock"); }));

    Process probe({ORDALO_PROBE_BIN, "--touch-rate", "1"}, Out("probe"));
    ASSERT_EQ(probe.Wait(), 0) << ReadFile(Out("probe"));
    const std::string out = ReadFile(Out("probe"));
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
    EXPECT_FALSE(Exists(dir.Path() + "/left.sock"));
}

TEST_F(ToolsTest, ProbeWithoutFramesSaysSoAndFails) {
    Process probe({ORDALO_PROBE_BIN}, Out("probe"));
    EXPECT_EQ(probe.Wait(), 1);
    EXPECT_NE(ReadFile(Out("probe")).find("no touch frame found"), std::string::npos);
}

TEST_F(ToolsTest, ProbeOfAFrameThatNeverAnswersFails) {
    Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path(), "--no-answer", "16"},
                  Out("frame"));
    ASSERT_TRUE(WaitFor([&] { return Exists(dir.Path() + "/frame0.sock"); }));
    Process probe({ORDALO_PROBE_BIN}, Out("probe"));
    EXPECT_EQ(probe.Wait(), 1);
    const std::string out = ReadFile(Out("probe"));
    EXPECT_NE(out.find("no answer to the configuration request"), std::string::npos) << out;
    EXPECT_NE(out.find("no frame answered"), std::string::npos) << out;
}

TEST_F(ToolsTest, VirtualFrameRejectsBadOptions) {
    Process noDir({ORDALO_VIRTUAL_FRAME_BIN, "--name", "x"}, Out("a"));
    EXPECT_EQ(noDir.Wait(), 2);
    EXPECT_NE(ReadFile(Out("a")).find("--dir is required"), std::string::npos);
    Process badId({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path(), "--id", "12345"}, Out("b"));
    EXPECT_EQ(badId.Wait(), 2);
    EXPECT_NE(ReadFile(Out("b")).find("16 hex digits"), std::string::npos);
    EXPECT_FALSE(Exists(dir.Path() + "/frame0.sock"));
}

TEST_F(ToolsTest, RemovingTheSocketStopsTheVirtualFrame) {
    Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path()}, Out("frame"));
    ASSERT_TRUE(WaitFor([&] { return Exists(dir.Path() + "/frame0.sock"); }));
    unlink((dir.Path() + "/frame0.sock").c_str());
    EXPECT_EQ(frame.Wait(), 0);
    EXPECT_NE(ReadFile(Out("frame")).find("unplugged"), std::string::npos);
}

TEST_F(ToolsTest, FrameProcessEndingIsReportedAsPulledOut) {
    LogCapture log;
    for (int sig : {SIGTERM, SIGKILL}) {
        Process frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.Path()}, Out("frame"));
        const std::string sock = dir.Path() + "/frame0.sock";
        ASSERT_TRUE(WaitFor([&] { return Exists(sock); }));
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
