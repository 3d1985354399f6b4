// The whole gesture chain on an X server of its own: the real service with a virtual frame
// playing a scenario, the bridge posting through XTest, and an X client recording what the
// server receives. The program runs in a network namespace of its own (the service's ports are
// fixed); the X server is an Xvfb started here.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../common/ChildProcess.h"
#include "../common/XServer.h"

using namespace std::chrono;
using ordalo_test::ChildProcess;
using ordalo_test::PollUntil;
using ordalo_test::ReadWholeFile;

namespace {

constexpr const char* kSkipText = "Xvfb is not installed";

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/ordalo-gesture-XXXXXX";
        if (const char* made = mkdtemp(pattern)) path_ = made;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool ServiceListens() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

// Scenario lines for fingers placed in millimetres of the 21.5-inch 16:9 surface the
// recognizers assume by default.
constexpr double kWidthMm = 475.97, kHeightMm = 267.73;
// The frame's background is learnt over its first scans: fingers land after that.
constexpr int kLandMs = 1500;

struct Finger {
    double xMm, yMm;
};

std::string At(int ms, int finger, double x, double y) {
    char line[96];
    std::snprintf(line, sizeof line, "%d %d %.5f %.5f 10\n", ms, finger, x, y);
    return line;
}

// Fingers land, rest 100 ms, move by (dx, dy) mm within moveMs, rest 100 ms and lift.
std::string Move(const std::vector<Finger>& fingers, double dxMm, double dyMm, int moveMs) {
    std::string text;
    for (int pass = 0; pass < 3; ++pass) {
        const int ms = kLandMs + (pass == 0 ? 0 : pass == 1 ? 100 : 100 + moveMs);
        for (std::size_t i = 0; i < fingers.size(); ++i) {
            const double x = fingers[i].xMm + (pass == 2 ? dxMm : 0.0);
            const double y = fingers[i].yMm + (pass == 2 ? dyMm : 0.0);
            text += At(ms, int(i + 1), x / kWidthMm, y / kHeightMm);
        }
    }
    for (std::size_t i = 0; i < fingers.size(); ++i)
        text += std::to_string(kLandMs + 200 + moveMs) + " " + std::to_string(i + 1) + " up\n";
    return text;
}

// One finger down at (x, y), sliding by dx of the screen width from 20 to 60 ms, lifted at 110 ms:
// well inside the tap's 200 ms, whatever a loaded machine adds to the way.
std::string Tap(double x, double y, double dx = 0.0) {
    return At(kLandMs, 1, x, y) + At(kLandMs + 20, 1, x, y) + At(kLandMs + 60, 1, x + dx, y) +
           std::to_string(kLandMs + 110) + " 1 up\n";
}

// The service, one bridge and one scenario, each a program of its own.
class Chain {
public:
    explicit Chain(const ScratchDir& dir) : dir_(dir) {
        service_ = std::make_unique<ChildProcess>(
                std::vector<std::string>{"/bin/sh", "-c",
                                         "cd '" + dir.path() + "' && exec /usr/bin/env ORDALO_VIRTUAL_DIR='" +
                                                 dir.path() + "' ORDALO_LOG=stderr '" +
                                                 ORDALO_SERVICE_BIN + "'"},
                dir / "service.log");
    }

    bool StartBridge(const std::vector<std::string>& environment) {
        if (!PollUntil(ServiceListens)) return false;
        std::vector<std::string> argv{"/usr/bin/env"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.push_back(ORDALO_BRIDGE_BIN);
        bridge_ = std::make_unique<ChildProcess>(argv, dir_ / "bridge.log");
        return PollUntil([&] { return BridgeLog().find("connected to") != std::string::npos; });
    }

    // Plays the scenario to its end (the frame then unplugs) and ends the service, so that the
    // bridge, reading to the end of the stream, has handed every packet to the desktop when it
    // exits.
    int Play(const std::string& scenario) {
        const std::string file = dir_ / "scenario.txt";
        if (FILE* f = std::fopen(file.c_str(), "w")) {
            std::fputs(scenario.c_str(), f);
            std::fclose(f);
        }
        ChildProcess frame({ORDALO_FRAME_BIN, "--dir", dir_.path(), "--scenario", file},
                           dir_ / "frame.log");
        EXPECT_EQ(frame.Wait(milliseconds(60000)), 0) << ReadWholeFile(dir_ / "frame.log");
        service_->Signal(SIGKILL);
        return bridge_->Wait(milliseconds(20000));
    }

    ChildProcess& service() { return *service_; }
    ChildProcess& bridge() { return *bridge_; }
    std::string BridgeLog() const { return ReadWholeFile(dir_ / "bridge.log"); }
    std::string Logs() const {
        return "in " + dir_.path() + "\nservice:\n" + ReadWholeFile(dir_ / "service.log") +
               "bridge:\n" + BridgeLog();
    }

private:
    const ScratchDir& dir_;
    std::unique_ptr<ChildProcess> service_;
    std::unique_ptr<ChildProcess> bridge_;
};

// One Xvfb per screen layout for the whole program, with the recording client.
struct XScreen {
    std::unique_ptr<ordalo_test::Xvfb> server;
    std::unique_ptr<ordalo_test::XEventLog> log;
};

XScreen& Screen(const std::string& geometry) {
    static std::map<std::string, XScreen> screens;
    XScreen& screen = screens[geometry];
    if (!screen.server) {
        screen.server = std::make_unique<ordalo_test::Xvfb>(geometry + "x24",
                                                            "/tmp/ordalo-gesture-xvfb.log");
        if (!screen.server->display().empty())
            screen.log = std::make_unique<ordalo_test::XEventLog>(screen.server->display());
    }
    return screen;
}

class GestureChain : public ::testing::Test {
protected:
    virtual std::string Geometry() const { return "1920x1080"; }

    void SetUp() override {
        if (ordalo_test::XvfbPath().empty()) GTEST_SKIP() << kSkipText;
        screen_ = &Screen(Geometry());
        ASSERT_FALSE(screen_->server->display().empty()) << "Xvfb did not come up";
        ASSERT_TRUE(screen_->log->ready());
        screen_->log->Settle(false, 7);
        chain_ = std::make_unique<Chain>(dir_);
    }

    // The chain with the XTest backend on this screen and extra settings, plays the scenario;
    // returns what the X server received from it.
    std::vector<std::string> Run(const std::string& scenario,
                                 const std::vector<std::string>& settings = {},
                                 bool withMotion = false) {
        std::vector<std::string> environment{"ORDALO_DESKTOP=xtest",
                                             "DISPLAY=" + screen_->server->display()};
        environment.insert(environment.end(), settings.begin(), settings.end());
        if (!chain_->StartBridge(environment)) {
            ADD_FAILURE() << "the bridge did not connect\n" << chain_->Logs();
            return {};
        }
        EXPECT_EQ(chain_->Play(scenario), 1) << chain_->Logs();
        // Before the log's own marker moves it.
        Display* d = screen_->log->control();
        Window root, child;
        int wx, wy;
        unsigned mask;
        XQueryPointer(d, DefaultRootWindow(d), &root, &child, &pointer_.first, &pointer_.second,
                      &wx, &wy, &mask);
        return screen_->log->Settle(withMotion);
    }

    ScratchDir dir_;
    XScreen* screen_ = nullptr;
    std::unique_ptr<Chain> chain_;
    std::pair<int, int> pointer_{-1, -1};  // where the chain left the pointer
};

// "press 1 480,540" near (x, y): within 2 pixels, the pipeline's rounding of a resting finger.
bool Near(const std::string& event, const char* kind, int x, int y) {
    int button = 0, ex = 0, ey = 0;
    char word[16] = {};
    if (std::sscanf(event.c_str(), "%15s %d %d,%d", word, &button, &ex, &ey) != 4) return false;
    return std::string(word) + " " + std::to_string(button) == kind && std::abs(ex - x) <= 2 &&
           std::abs(ey - y) <= 2;
}

TEST_F(GestureChain, ATapMovesThePointerThereAndClicksOnce) {
    const std::vector<std::string> seen = Run(Tap(0.25, 0.5));
    ASSERT_EQ(seen.size(), 2u) << ::testing::PrintToString(seen) << chain_->Logs();
    EXPECT_TRUE(Near(seen[0], "press 1", 480, 540)) << seen[0];
    EXPECT_TRUE(Near(seen[1], "release 1", 480, 540)) << seen[1];
    EXPECT_NEAR(pointer_.first, 480, 2);
    EXPECT_NEAR(pointer_.second, 540, 2);
}

TEST_F(GestureChain, ATwoFingerScrollDownTurnsTheWheelUpOnly) {
    // Two fingers 30 mm apart moving 90 mm down: the content follows them, as a wheel turned up.
    const std::vector<std::string> seen =
            Run(Move({{kWidthMm / 2 - 15, 90}, {kWidthMm / 2 + 15, 90}}, 0, 90, 500));
    std::size_t up = 0;
    for (const std::string& e : seen) {
        EXPECT_TRUE(e.rfind("press 4 ", 0) == 0 || e.rfind("release 4 ", 0) == 0) << e;
        up += e.rfind("press 4 ", 0) == 0;
    }
    // About 360 pixels at 50 a step; how much the scroll's start takes varies with timing.
    EXPECT_GE(up, 2u) << chain_->Logs();
    EXPECT_LE(up, 8u);
}

TEST_F(GestureChain, AFourFingerLeftSwipeSendsControlAndRightArrow) {
    std::vector<Finger> hand;
    for (int i = 0; i < 4; ++i)
        hand.push_back({kWidthMm / 2 + 40 + 25 * (i - 1.5), kHeightMm / 2 + 3 * (i - 1.5) * (i - 1.5)});
    EXPECT_EQ(Run(Move(hand, -80, 0, 400)),
              (std::vector<std::string>{"key-down Control_L", "key-down Right", "key-up Right",
                                        "key-up Control_L"}))
            << chain_->Logs();
}

// A click: a press and a release of the left button at the tap's point, with no pointer motion
// between them (a drag's press and release have its moves between them).
bool ClickedAt(const std::vector<std::string>& seen, int x, int y) {
    for (std::size_t i = 0; i + 1 < seen.size(); ++i)
        if (Near(seen[i], "press 1", x, y) && Near(seen[i + 1], "release 1", x, y)) return true;
    return false;
}

struct SlideCase {
    const char* name;
    const char* screen;  // ORDALO_SCREEN, "" for the default surface
    bool clicks;
};

class SlidingTap : public GestureChain, public ::testing::WithParamInterface<SlideCase> {};

TEST_P(SlidingTap, ClicksOnlyWhileTheSlideStaysWithinTenMillimetres) {
    // 0.012 of the width: 5.7 mm of the 21.5-inch surface, 14.6 mm of a 55-inch one.
    std::vector<std::string> settings;
    if (*GetParam().screen) settings.push_back(std::string("ORDALO_SCREEN=") + GetParam().screen);
    const std::vector<std::string> seen = Run(Tap(0.25, 0.5, 0.012), settings, true);
    EXPECT_EQ(ClickedAt(seen, 480, 540), GetParam().clicks)
            << ::testing::PrintToString(seen) << chain_->Logs();
    // The slide drags in both cases, and no button is left held.
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().rfind("release 1 ", 0), 0u) << seen.back();
}

INSTANTIATE_TEST_SUITE_P(Surfaces, SlidingTap,
                         ::testing::Values(SlideCase{"Default21Inch", "", true},
                                           SlideCase{"Screen55Inch", "55@16:9", false}),
                         [](const ::testing::TestParamInfo<SlideCase>& info) {
                             return info.param.name;
                         });

// Two monitors side by side on one 3840 x 1080 screen, the right one primary.
class TwoMonitors : public GestureChain {
protected:
    std::string Geometry() const override { return "3840x1080"; }
    void SetUp() override {
        GestureChain::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ordalo_test::SetMonitors(screen_->log->control(), {{"left", 0, 0, 1920, 1080, false},
                                                           {"right", 1920, 0, 1920, 1080, true}});
    }
};

struct MonitorCase {
    const char* name;
    const char* output;  // ORDALO_OUTPUT, "" for the primary one
    int x, y;
};

class TapOnAMonitor : public TwoMonitors, public ::testing::WithParamInterface<MonitorCase> {};

TEST_P(TapOnAMonitor, LandsAtTheSamePointOfTheChosenMonitor) {
    std::vector<std::string> settings;
    if (*GetParam().output) settings.push_back(std::string("ORDALO_OUTPUT=") + GetParam().output);
    const std::vector<std::string> seen = Run(Tap(0.25, 0.5), settings);
    ASSERT_EQ(seen.size(), 2u) << ::testing::PrintToString(seen) << chain_->Logs();
    EXPECT_TRUE(Near(seen[0], "press 1", GetParam().x, GetParam().y)) << seen[0];
    EXPECT_TRUE(Near(seen[1], "release 1", GetParam().x, GetParam().y)) << seen[1];
}

INSTANTIATE_TEST_SUITE_P(Outputs, TapOnAMonitor,
                         ::testing::Values(MonitorCase{"Primary", "", 1920 + 480, 540},
                                           MonitorCase{"NamedLeft", "left", 480, 540}),
                         [](const ::testing::TestParamInfo<MonitorCase>& info) {
                             return info.param.name;
                         });

TEST_F(TwoMonitors, AnUnknownOutputIsRefusedAtStartWithTheList) {
    ChildProcess bridge({"/usr/bin/env", "ORDALO_DESKTOP=xtest",
                         "DISPLAY=" + screen_->server->display(), "ORDALO_OUTPUT=HDMI-1",
                         ORDALO_BRIDGE_BIN},
                        dir_ / "refused.log");
    EXPECT_EQ(bridge.Wait(), 2);
    const std::string log = ReadWholeFile(dir_ / "refused.log");
    EXPECT_NE(log.find("'HDMI-1'; outputs: "), std::string::npos) << log;
    EXPECT_NE(log.find("left (1920x1080+0+0)"), std::string::npos) << log;
    EXPECT_NE(log.find("right (1920x1080+1920+0, primary)"), std::string::npos) << log;
}

// ---- The bridge and the service's life ----------------------------------------------------------

struct EndCase {
    const char* name;
    bool stopService;     // SIGTERM to the service; else to the bridge
    int status;
    const char* lastLine;  // what the bridge's log ends with
};

class BridgeEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(BridgeEnd, ByTheServiceOrByItsOwnSignal) {
    ScratchDir dir;
    Chain chain(dir);
    ASSERT_TRUE(chain.StartBridge({"ORDALO_DESKTOP=print"})) << chain.Logs();
    (GetParam().stopService ? chain.service() : chain.bridge()).Signal(SIGTERM);
    EXPECT_EQ(chain.bridge().Wait(milliseconds(30000)), GetParam().status) << chain.Logs();
    const std::string log = chain.BridgeLog();
    const std::string last = GetParam().lastLine;
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), last.size())), last) << chain.Logs();
}

INSTANTIATE_TEST_SUITE_P(
    Ends, BridgeEnd,
    ::testing::Values(EndCase{"ServiceStopped", true, 1,
                              "OrdaloOSXBridge: failure to receive data from socket\n"},
                      EndCase{"BridgeSigterm", false, 0, "; touch surface 475.97 x 267.73 mm\n"}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

TEST(BridgeLife, WithoutAServiceTheBridgeFailsToConnectAndExitsOne) {
    ScratchDir dir;
    ChildProcess bridge({"/usr/bin/env", "ORDALO_DESKTOP=print", ORDALO_BRIDGE_BIN},
                        dir / "bridge.log");
    EXPECT_EQ(bridge.Wait(), 1);
    EXPECT_EQ(ReadWholeFile(dir / "bridge.log"), "OrdaloOSXBridge: failure to connect to server\n");
}

}  // namespace
