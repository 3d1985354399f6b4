// Each row is one gesture scenario: the exact texts its recognizer writes when it runs alone,
// and the exact desktop events when the whole mapper runs, with nothing more in either.
#include <gtest/gtest.h>

#include "MapperTestSupport.h"

namespace mappertest {
namespace {

// Coordinates are multiples of powers of two, so the averages the recognizers keep are exact
// and the texts can be written down digit for digit. Millimetres on the default surface:
// 1/512 of the width is 0.93 mm, 1/512 of the height 0.52 mm.
constexpr float k = 1.0f / 1024.0f;

struct Scenario {
    const char* label;
    const char* recognizer;
    std::vector<Step> steps;
    std::vector<std::string> texts;
    std::vector<std::string> desktop;
};

std::string center(const char* name, double x, double y) {
    return "[" + std::string(name) + "]\ncenter_x=" + fixed8(x) + "\ncenter_y=" + fixed8(y) + "\n";
}
std::string drag(double x, double dx, const char* status) {
    return "[Drag]\ncenter_x=" + fixed8(x) + "\ncenter_y=0.50000000\ndx=" + fixed8(dx) +
           "\ndy=0.00000000\nstatus=" + status + "\n";
}
std::string twoFinger(const char* name, double x, double y, const char* key, double v,
                      const char* status) {
    return center(name, x, y) + key + "=" + fixed8(v) + "\nstatus=" + status + "\n";
}
std::string hover(const char* phase, double x) {
    return "[Hover:" + std::string(phase) + "]\ncenter_x=" + printf8f(x) + "\ncenter_y=" +
           printf8f(0.5) + "\n";
}
std::string hand(const char* name, double x) {
    return "[" + std::string(name) + "]\ncenter_x=" + printf8f(x) + "\ncenter_y=" + printf8f(0.5) +
           "\n";
}
std::vector<std::string> click(const char* at, const char* state = "") {
    const std::string p(at);
    return {"mouse-moved " + p, "left-down " + p + state, "pause 1", "left-up " + p + state};
}
std::vector<std::string> chord(int modifier, int key) {
    const std::string m = std::to_string(modifier), n = std::to_string(key);
    return {"key-down " + m, "pause 10", "key-down " + n, "pause 10", "key-up " + n, "key-up " + m};
}
std::vector<std::string> moved(const char* at) { return {"mouse-moved " + std::string(at)}; }
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Step one(std::uint64_t t, float x, std::uint64_t id = 1) { return {t, {{id, x, 0.5f}}}; }
Step up(std::uint64_t t) { return {t, {}}; }
// Two fingers on one horizontal line, each `half` from the middle, shifted by dx, dy.
Step pair(std::uint64_t t, float half, float dx = 0, float dy = 0) {
    return {t, {{1, 0.5f - half + dx, 0.5f + dy}, {2, 0.5f + half + dx, 0.5f + dy}}};
}
const std::vector<float> kSwipeHand{0.375f, 0.4375f, 0.5f, 0.5625f};  // 89 mm wide

// Four fingers at the given x, moved by dx (and dy) from there.
Step four(std::uint64_t t, std::vector<float> xs, float dx = 0, float dy = 0) {
    Step s{t, {}};
    for (std::size_t i = 0; i < xs.size(); ++i)
        s.fingers.push_back({i + 1, xs[i] + dx, 0.5f + dy});
    return s;
}
// The swipe hand with its first finger lifted (and, as id 5, put down again).
Step relanded(std::uint64_t t, std::vector<std::uint64_t> ids, float dx) {
    Step s{t, {}};
    for (std::uint64_t id : ids)
        s.fingers.push_back({id, kSwipeHand[(id - 1) % 4] + dx, 0.5f});
    return s;
}
Step hand4(std::uint64_t t, float outerShift, float innerShift) {
    return four(t, {0.375f + outerShift, 0.4375f + innerShift, 0.5625f - innerShift,
                    0.625f - outerShift});
}


// The four-finger hand with a fifth finger above it, 26.8 mm above the five fingers' center.
Step hand5(std::uint64_t t, float outerShift, float innerShift, float topShift) {
    Step s = hand4(t, outerShift, innerShift);
    s.fingers.push_back({5, 0.5f, 0.375f + topShift});
    return s;
}

const Scenario kScenarios[] = {
        {"TapWithin150ms", "Tap", {one(0, 0.25f), up(150)}, {center("Tap", 0.25, 0.5)},
         click("480,540")},
        {"NoTapAfter250ms", "Tap", {one(0, 0.25f), up(250)}, {}, {}},
        // After three fingers the tap waits for every finger to lift, then taps again.
        {"ThreeFingersBlockTap", "Tap",
         {{0, {{1, 0.4f, 0.5f}, {2, 0.5f, 0.5f}, {3, 0.6f, 0.5f}}},
          {50, {{2, 0.5f, 0.5f}, {3, 0.6f, 0.5f}}}, {80, {{3, 0.6f, 0.5f}}}, up(100),
          one(200, 0.25f, 4), up(250)},
         {center("Tap", 0.25, 0.5)}, click("480,540")},
        {"ThreeFingersBlockTwoFingerTap", "TwoFingerTap",
         {{0, {{1, 0.4f, 0.5f}, {2, 0.5f, 0.5f}, {3, 0.6f, 0.5f}}},
          {50, {{2, 0.5f, 0.5f}, {3, 0.6f, 0.5f}}}, {80, {{3, 0.6f, 0.5f}}}, up(100)},
         {}, {}},
        {"TwoFingerTapAt68mm", "TwoFingerTap", {pair(0, 74 * k), up(100)},
         {center("TwoFingerTap", 0.5, 0.5)},
         {"mouse-moved 960,540", "right-down 960,540", "pause 1", "right-up 960,540"}},
        {"NoTwoFingerTapAt71mm", "TwoFingerTap", {pair(0, 76 * k), up(100)}, {}, {}},
        {"DoubleAndTripleClick", "Tap",
         {one(0, 0.25f), up(50), one(200, 0.25f), up(250), one(400, 0.25f), up(450),
          one(600, 0.25f), up(650)},
         std::vector<std::string>(4, center("Tap", 0.25, 0.5)),
         click("480,540") + click("480,540", " click=2") + click("480,540", " click=3") +
                 click("480,540")},
        {"SecondTapAfter499msDoubles", "Tap", {one(0, 0.25f), up(50), one(500, 0.25f), up(549)},
         std::vector<std::string>(2, center("Tap", 0.25, 0.5)),
         click("480,540") + click("480,540", " click=2")},
        {"SecondTapAfter500msStartsFresh", "Tap",
         {one(0, 0.25f), up(50), one(500, 0.25f), up(550)},
         std::vector<std::string>(2, center("Tap", 0.25, 0.5)),
         click("480,540") + click("480,540")},
        // Not later than 1000 ms: no hover yet; then begin, a delta for the move, end on lift.
        {"HoverAfterOneSecond", "Hover",
         {one(0, 0.25f), one(500, 0.25f), one(1000, 0.25f), one(1001, 0.25f),
          one(1100, 0.3125f), up(1200)},
         {hover("begin", 0.25), hover("delta", 0.3125), hover("end", 0.3125)},
         {"mouse-moved 480,540", "mouse-moved 600,540", "mouse-moved 600,540"}},
        {"DragBeginsAt4_76mm", "Drag",
         {one(0, 0.25f), one(300, 0.25f + 10.25f * k), one(400, 0.25f + 20.5f * k), up(500)},
         {drag(0.25 + 10.25 / 1024, 10.25 / 1024, "begin"),
          drag(0.25 + 20.5 / 1024, 10.25 / 1024, "delta"), drag(0.25 + 20.5 / 1024, 0, "end")},
         {"mouse-moved 499.21875,540", "left-down 499.21875,540", "left-dragged 518.4375,540",
          "left-up 518.4375,540"}},
        // The lift is a tap and a drag end; the tap, asked first, makes the only action.
        {"TapWinsOverDragEnd", "Tap", {one(0, 0.25f), one(100, 0.25f + 10.25f * k), up(150)},
         {center("Tap", 0.25, 0.5)},
         std::vector<std::string>{"mouse-moved 499.21875,540", "left-down 499.21875,540"} +
                 click("480,540")},
        {"NoDragAt4_65mm", "Drag", {one(0, 0.25f), one(300, 0.25f + 10 * k), up(500)}, {},
         {}},
        // Fingers 30 mm apart, each 5.2 mm straight down.
        {"ScrollBeginsPast5mm", "Scroll",
         {pair(0, 32 * k), pair(100, 32 * k, 0, 20 * k), pair(200, 32 * k, 0, 40 * k), up(300)},
         {twoFinger("Scroll", 0.5, 0.51953125, "dy", 0.01953125, "begin"),
          twoFinger("Scroll", 0.5, 0.5390625, "dy", 0.01953125, "delta"),
          twoFinger("Scroll", 0.53125, 0.5390625, "dy", 0, "end")},
         {"mouse-moved 960,561.09375", "scroll 21", "scroll 0"}},
        {"NoScrollAt4_7mm", "Scroll", {pair(0, 32 * k), pair(100, 32 * k, 0, 18 * k), up(300)},
         {}, {}},
        {"ScrollAt68mmSpread", "Scroll", {pair(0, 74 * k), pair(100, 74 * k, 0, 20 * k), up(300)},
         {twoFinger("Scroll", 0.5, 0.51953125, "dy", 0.01953125, "begin"),
          twoFinger("Scroll", 0.5 + 74.0 / 1024, 0.51953125, "dy", 0, "end")},
         {"mouse-moved 960,561.09375", "scroll 0"}},
        {"NoScrollAt80mmSpread", "Scroll",
         {pair(0, 86 * k), pair(100, 86 * k, 0, 20 * k), up(300)}, {}, {}},
        // 59.5 mm apart; 12.1 mm wider begins, 1.9 mm more (under 5 %) is no delta, lift ends.
        {"PinchBeginsAt12mm", "Pinch",
         {pair(0, 64 * k), pair(100, 77 * k), pair(200, 79 * k), {300, {{2, 0.5f + 79 * k, 0.5f}}}},
         {twoFinger("Pinch", 0.5, 0.5, "scale", 1.203125, "begin"),
          twoFinger("Pinch", 0.5 + 79.0 / 1024, 0.5, "scale", 1.0, "end")},
         moved("960,540") + chord(55, 69)},
        {"NoPinchAt9_3mm", "Pinch", {pair(0, 64 * k), pair(100, 74 * k), up(300)}, {}, {}},
        {"PinchInward", "Pinch", {pair(0, 64 * k), pair(100, 51 * k), up(300)},
         {twoFinger("Pinch", 0.5, 0.5, "scale", 102.0 / 128, "begin"),
          twoFinger("Pinch", 0.5 + 51.0 / 1024, 0.5, "scale", 1.0, "end")},
         moved("960,540") + chord(55, 27)},
        // Fingers reported on one spot have no spacing to scale from.
        {"NoPinchFromCoincidentFingers", "Pinch", {pair(0, 0), pair(100, 13 * k), up(300)}, {},
         {}},
        {"PinchBlockedBy6mmCommonMove", "Pinch",
         {pair(0, 64 * k), pair(100, 64 * k, 13 * k), pair(200, 77 * k, 13 * k), up(300)}, {},
         {}},
        {"PinchAfter4_6mmCommonMove", "Pinch",
         {pair(0, 64 * k), pair(100, 64 * k, 10 * k), pair(200, 77 * k, 10 * k), up(300)},
         {twoFinger("Pinch", 0.5 + 10.0 / 1024, 0.5, "scale", 1.203125, "begin"),
          twoFinger("Pinch", 0.5 + 87.0 / 1024, 0.5, "scale", 1.0, "end")},
         moved("978.75,540") + chord(55, 69)},
        // The swipe fires on the first moved finger; the hand's center has then taken a quarter
        // of that finger's move. Moving on without lifting fires nothing more.
        {"SwipeLeftOnceAt30_7mm", "SwipeLeft",
         {four(0, kSwipeHand), four(100, kSwipeHand, -66 * k), four(200, kSwipeHand, -132 * k),
          relanded(250, {2, 3, 4}, -132 * k), relanded(300, {2, 3, 4, 5}, -132 * k),
          relanded(400, {2, 3, 4, 5}, -198 * k), up(500)},
         {"[SwipeLeft]\nstart_x=0.468750\nstart_y=0.500000\nend_x=" +
          printf8f(0.46875 - 66.0 / 4096) + "\nend_y=0.500000"},
         chord(59, 124)},
        {"NoSwipeAt29_8mm", "SwipeLeft", {four(0, kSwipeHand), four(100, kSwipeHand, -64 * k)},
         {}, {}},
        {"NoSwipeWith10_5mmDrift", "SwipeLeft",
         {four(0, kSwipeHand), four(100, kSwipeHand, -76 * k, 40 * k)}, {}, {}},
        {"SwipeRight", "SwipeRight", {four(0, kSwipeHand), four(100, kSwipeHand, 76 * k)},
         {"[SwipeRight]\nstart_x=0.468750\nstart_y=0.500000\nend_x=" +
          printf8f(0.46875 + 76.0 / 4096) + "\nend_y=0.500000"},
         chord(59, 123)},
        {"SwipeUpIsMissionControl", "SwipeUp",
         {four(0, kSwipeHand), four(100, kSwipeHand, 0, -120 * k)},
         {"[SwipeUp]\nstart_x=0.468750\nstart_y=0.500000\nend_x=0.468750\nend_y=" +
          printf8f(0.5 - 120.0 / 4096)},
         {"dock com.apple.expose.awake"}},
        {"SwipeDownIsAppExpose", "SwipeDown",
         {four(0, kSwipeHand), four(100, kSwipeHand, 0, 120 * k)},
         {"[SwipeDown]\nstart_x=0.468750\nstart_y=0.500000\nend_x=0.468750\nend_y=" +
          printf8f(0.5 + 120.0 / 4096)},
         {"dock com.apple.expose.front.awake"}},
        {"NoSwipeAt200mmSpread", "SwipeLeft",
         {four(0, {0.28125f, 0.40625f, 0.53125f, 0.703125f}),
          four(100, {0.28125f, 0.40625f, 0.53125f, 0.703125f}, -76 * k)},
         {}, {}},
        {"LaunchpadWithin1_5s", "Launchpad", {hand4(0, 0, 0), hand4(1400, 16 * k, 8 * k), up(1500)},
         {hand("Launchpad", 0.5 + 16.0 / 4096)}, {"dock com.apple.launchpad.toggle"}},
        // The fifth finger restarts the 1.5 s.
        {"LaunchpadWithFifthFingerLate", "Launchpad",
         {hand4(0, 0, 0), hand5(1000, 0, 0, 0), hand5(2000, 16 * k, 8 * k, 16 * k), up(2100)},
         {"[Launchpad]\ncenter_x=" + printf8f(0.5 + 16.0 / 1024 / 5) + "\ncenter_y=" +
          printf8f(0.475) + "\n"},
         {"dock com.apple.launchpad.toggle"}},
        {"NoLaunchpadAfter1_6s", "Launchpad",
         {hand4(0, 0, 0), hand4(1600, 16 * k, 8 * k), up(1700)}, {}, {}},
        {"NoLaunchpadWhenOneFingerGains1_9mm", "Launchpad",
         {hand4(0, 0, 0), hand4(500, 16 * k, 4 * k), up(600)}, {}, {}},
        {"ShowDesktopOnSpread", "ShowDesktop",
         {hand4(0, 0, 0), hand4(1400, -16 * k, -8 * k), up(1500)},
         {hand("ShowDesktop", 0.5 - 16.0 / 4096)}, {"dock com.apple.showdesktop.awake"}},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.label; }

IGesture& recognizerNamed(ODOM::odOsxMapper& m, const std::string& name) {
    IGesture* all[] = {&m.tap,       &m.twoFingerTap, &m.hover,   &m.drag,      &m.pinch,
                       &m.scroll,    &m.swipeLeft,    &m.swipeRight, &m.swipeUp, &m.swipeDown,
                       &m.launchpad, &m.showDesktop};
    for (IGesture* g : all)
        if (static_cast<GestureBase*>(g)->name == name) return *g;
    throw std::runtime_error("no recognizer " + name);
}

class GestureScenario : public ClockFixture, public ::testing::TestWithParam<Scenario> {
protected:
    RecordingDesktop desktop;
};

TEST_P(GestureScenario, RecognizerWritesExactlyItsTexts) {
    Feed feed(&desktop);
    const Scenario& s = GetParam();
    EXPECT_EQ(feed.texts(recognizerNamed(feed.mapper, s.recognizer), s.steps), s.texts);
}

TEST_P(GestureScenario, MapperPostsExactlyItsEvents) {
    Feed feed(&desktop);
    EXPECT_EQ(feed.events(GetParam().steps), GetParam().desktop);
}

INSTANTIATE_TEST_SUITE_P(Mapper, GestureScenario, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace mappertest
