// The XTest backend on an Xvfb screen of two monitors side by side, watched by an X client that
// records every input event the server processes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Desktops.h"
#include "../common/XServer.h"

using ordalo::bridge::openXTestDesktop;
using ordalo::sdk::desktop::Desktop;
using ordalo::sdk::desktop::MouseButton;
using ordalo::sdk::desktop::MouseEventType;
namespace dock = ordalo::sdk::desktop::dock;

namespace {

class XTestBackend : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (ordalo_test::XvfbPath().empty()) return;
        server_ = new ordalo_test::Xvfb("3840x1080x24", "/tmp/ordalo-bridge-xvfb.log");
        if (server_->display().empty()) return;
        setenv("DISPLAY", server_->display().c_str(), 1);
        log_ = new ordalo_test::XEventLog(server_->display());
        ordalo_test::SetMonitors(log_->control(), {{"left", 0, 0, 1920, 1080, false},
                                                   {"right", 1920, 0, 1920, 1080, true}});
    }
    static void TearDownTestSuite() {
        delete log_;
        delete server_;
        log_ = nullptr;
        server_ = nullptr;
    }
    void SetUp() override {
        if (ordalo_test::XvfbPath().empty()) GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_FALSE(server_->display().empty()) << "Xvfb did not come up";
        ASSERT_TRUE(log_->ready());
        log_->Settle(false, 5);
    }

    static ordalo_test::Xvfb* server_;
    static ordalo_test::XEventLog* log_;
};

ordalo_test::Xvfb* XTestBackend::server_ = nullptr;
ordalo_test::XEventLog* XTestBackend::log_ = nullptr;

struct PostCase {
    const char* name;
    std::function<void(Desktop&)> post;
    std::vector<std::string> seen;  // by the X server, pointer motion left out
};

class XTestPosting : public XTestBackend, public ::testing::WithParamInterface<PostCase> {};

void Mouse(Desktop& d, MouseEventType type, double x, double y) {
    d.mouseEvent(type, x, y, MouseButton::Left, 0);
}

void Keys(Desktop& d, const std::vector<std::pair<std::uint16_t, bool>>& keys) {
    for (const auto& k : keys) d.keyEvent(k.first, k.second);
}

TEST_P(XTestPosting, EventsReachTheServerOnThePrimaryMonitor) {
    {
        ordalo::bridge::OpenedDesktop opened = openXTestDesktop("");
        ASSERT_TRUE(opened.desktop) << opened.error;
        EXPECT_EQ(opened.summary, "xtest on right (1920x1080+1920+0, primary)");
        EXPECT_EQ(opened.desktop->mainDisplaySize().widthPx, 1920u);
        GetParam().post(*opened.desktop);
    }  // closing the connection syncs it: the server has seen everything
    EXPECT_EQ(log_->Settle(), GetParam().seen);
}

using T = MouseEventType;

INSTANTIATE_TEST_SUITE_P(
    Events, XTestPosting,
    ::testing::Values(
        PostCase{"ClickAtTheMonitorsPoint",
                 [](Desktop& d) {
                     Mouse(d, T::MouseMoved, 480, 540);
                     Mouse(d, T::LeftMouseDown, 480, 540);
                     Mouse(d, T::LeftMouseUp, 480, 540);
                 },
                 {"press 1 2400,540", "release 1 2400,540"}},
        PostCase{"PointsOutsideTheMonitorAreKeptOnIt",
                 [](Desktop& d) {
                     Mouse(d, T::RightMouseDown, 5000.4, -3);
                     Mouse(d, T::RightMouseUp, -1, 1079.6);
                 },
                 {"press 3 3839,0", "release 3 1920,1079"}},
        PostCase{"APressWhileTheButtonIsHeldIsSeenAsANewPress",
                 [](Desktop& d) {
                     Mouse(d, T::LeftMouseDown, 10, 10);
                     Mouse(d, T::LeftMouseDragged, 30, 10);
                     Mouse(d, T::LeftMouseDown, 40, 10);
                     Mouse(d, T::LeftMouseUp, 40, 10);
                     Mouse(d, T::LeftMouseUp, 40, 10);
                 },
                 {"press 1 1930,10", "release 1 1960,10", "press 1 1960,10", "release 1 1960,10"}},
        PostCase{"ClosingTheDesktopReleasesAButtonItHolds",
                 [](Desktop& d) { Mouse(d, T::LeftMouseDown, 20, 30); },
                 {"press 1 1940,30", "release 1 1940,30"}},
        PostCase{"PixelScrollBecomesWheelStepsWithTheRemainderCarried",
                 [](Desktop& d) {
                     Mouse(d, T::MouseMoved, 100, 100);
                     d.pixelScroll(30);   // 30: no step yet
                     d.pixelScroll(30);   // 60: one step up, 10 left
                     d.pixelScroll(-70);  // -60: one step down, -10 left
                     d.pixelScroll(-140); // -150: three steps down
                 },
                 {"press 4 2020,100", "release 4 2020,100", "press 5 2020,100",
                  "release 5 2020,100", "press 5 2020,100", "release 5 2020,100",
                  "press 5 2020,100", "release 5 2020,100", "press 5 2020,100",
                  "release 5 2020,100"}},
        PostCase{"SwipeKeysControlAndRightArrow",
                 [](Desktop& d) { Keys(d, {{59, true}, {124, true}, {124, false}, {59, false}}); },
                 {"key-down Control_L", "key-down Right", "key-up Right", "key-up Control_L"}},
        PostCase{"ZoomKeysCommandBecomesControl",
                 [](Desktop& d) {
                     Keys(d, {{55, true}, {69, true}, {69, false}, {27, true}, {27, false},
                              {55, false}, {123, true}, {123, false}});
                 },
                 {"key-down Control_L", "key-down KP_Add", "key-up KP_Add", "key-down minus",
                  "key-up minus", "key-up Control_L", "key-down Left", "key-up Left"}},
        PostCase{"DockNotificationsAsShortcuts",
                 [](Desktop& d) {
                     d.dockNotification(dock::MissionControl);
                     d.dockNotification(dock::ShowDesktop);
                     d.dockNotification("com.example.unknown");
                 },
                 {"key-down Super_L", "key-down s", "key-up s", "key-up Super_L",
                  "key-down Super_L", "key-down d", "key-up d", "key-up Super_L"}},
        PostCase{"KeyCodesWithoutAKeySendNothing",
                 [](Desktop& d) { Keys(d, {{0x34, true}, {0x34, false}, {500, true}}); },
                 {}}),
    [](const ::testing::TestParamInfo<PostCase>& info) { return info.param.name; });

TEST_F(XTestBackend, ANamedOutputIsUsedAndAnUnknownOneRefusedWithTheList) {
    {
        ordalo::bridge::OpenedDesktop left = openXTestDesktop("left");
        ASSERT_TRUE(left.desktop) << left.error;
        EXPECT_EQ(left.desktop->mainDisplaySize().heightPx, 1080u);
        Mouse(*left.desktop, T::LeftMouseDown, 480, 540);
        Mouse(*left.desktop, T::LeftMouseUp, 480, 540);
    }
    EXPECT_EQ(log_->Settle(), (std::vector<std::string>{"press 1 480,540", "release 1 480,540"}));

    ordalo::bridge::OpenedDesktop unknown = openXTestDesktop("HDMI-1");
    EXPECT_FALSE(unknown.desktop);
    EXPECT_TRUE(unknown.settingsFault);
    EXPECT_NE(unknown.error.find("'HDMI-1'"), std::string::npos) << unknown.error;
    EXPECT_NE(unknown.error.find("left (1920x1080+0+0)"), std::string::npos) << unknown.error;
    EXPECT_NE(unknown.error.find("right (1920x1080+1920+0, primary)"), std::string::npos);
}

}  // namespace
