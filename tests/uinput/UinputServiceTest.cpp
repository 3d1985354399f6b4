// The route as the real service runs it: two virtual frames, no /dev/uinput. Each frame's device
// thread tries the route after its bring-up; the missing node is said once for the process, and
// the System.xml setting keeps the route from trying at all. Skipped where /dev/uinput opens
// (the kernel device itself is the device test's).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../common/ChildProcess.h"
#include "MTouch/MTUinput.h"

using ordalo_test::ChildProcess;
using ordalo_test::ReadWholeFile;

namespace {

std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

struct Row {
    const char* name;
    const char* settings;  // Data/System.xml, or null for none
    std::size_t noAccessLines, offLines;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class UinputService : public ::testing::TestWithParam<Row> {};

TEST_P(UinputService, TwoFrames) {
    const int probe = ::open(MT_UINPUT_NODE, O_RDWR | O_CLOEXEC);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << MT_UINPUT_NODE << " opens here: the service would make real devices";
    }
    const Row& row = GetParam();
    char pattern[] = "/tmp/ordalo-uinput-svc-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    ASSERT_EQ(mkdir((dir + "/Data").c_str(), 0755), 0);
    if (row.settings) std::ofstream(dir + "/Data/System.xml") << row.settings;

    std::vector<std::unique_ptr<ChildProcess>> frames;
    for (const char* id : {"00000000000000A1", "00000000000000A2"}) {
        frames.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{ORDALO_FRAME_BIN, "--dir", dir, "--name", id, "--id", id,
                                     "--model", "19in-72x58-7line"},
            dir + "/" + id + ".log"));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto present = [&dir](const char* id) {
        return ordalo_test::PathExists(dir + "/" + id + ".sock");
    };
    while (!(present("00000000000000A1") && present("00000000000000A2")) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    setenv("ORDALO_VIRTUAL_DIR", dir.c_str(), 1);
    setenv("ORDALO_LOG", "stderr", 1);
    setenv("ORDALO_LOG_LEVEL", "0", 1);
    const std::string logFile = dir + "/service.log";
    ASSERT_EQ(chdir(dir.c_str()), 0);
    ChildProcess service({ORDALO_SERVICE_BIN}, logFile);
    ASSERT_EQ(chdir("/"), 0);
    ASSERT_TRUE(service.Started());

    // Both frames up: each has passed the point where its route starts.
    auto log = [&logFile] { return ReadWholeFile(logFile); };
    while (CountOf(log(), "Binding cfg-event to current device") < 2 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
    const std::string text = log();
    ASSERT_EQ(CountOf(text, "Binding cfg-event to current device"), 2u) << text;
    EXPECT_EQ(CountOf(text, "Information - Unable to open /dev/uinput"), row.noAccessLines);
    EXPECT_EQ(CountOf(text, "The uinput touchscreen is turned off in the settings"), row.offLines);
    EXPECT_EQ(CountOf(text, "touchscreen of frame"), 0u) << "no creation or write failure";
    frames.clear();
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UinputService,
    ::testing::Values(Row{"no_settings", nullptr, 1, 0},
                      Row{"off", "<INFO><UINPUT><ENABLE>0</ENABLE></UINPUT></INFO>", 0, 2}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
