// The pieces under the scenarios: frame accumulation, action texts to desktop events, the
// recognizers' attributes, and the library's exported entry points.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "MapperTestSupport.h"

namespace mappertest {
namespace {

class MapperParts : public ClockFixture, public ::testing::Test {
protected:
    RecordingDesktop desktop;
};

struct Seen {
    std::uint64_t id;
    ContactState state;
    float x, dx, originX;
    std::uint64_t timestamp;
    bool isLast;
};

std::vector<Seen> accumulate(Frame<float>& frame, std::uint64_t atMs,
                             const std::vector<Finger>& fingers) {
    g_nowMs = kStartMs + atMs;
    std::vector<Contact<float>> raw = contactsOf(fingers);
    frame += Frame<float>(raw.data(), raw.size());
    std::vector<Seen> seen;
    for (const Contact<float>& c : frame)
        seen.push_back({c.id, c.state, c.location.x, c.delta.x, c.origin.x, c.timestamp - kStartMs,
                        c.isLast});
    return seen;
}

bool operator==(const Seen& a, const Seen& b) {
    return a.id == b.id && a.state == b.state && a.x == b.x && a.dx == b.dx &&
           a.originX == b.originX && a.timestamp == b.timestamp && a.isLast == b.isLast;
}
void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{id " << s.id << " state " << int(s.state) << " x " << s.x << " dx " << s.dx
        << " origin " << s.originX << " t " << s.timestamp << " last " << s.isLast << "}";
}

TEST_F(MapperParts, FrameAccumulationMarksAddedMovedRemoved) {
    using S = ContactState;
    Frame<float> f;
    EXPECT_EQ(accumulate(f, 0, {{5, 0.25f, 0.3f}}),
              (std::vector<Seen>{{5, S::Added, 0.25f, 0, 0.25f, 0, true}}));
    EXPECT_EQ(accumulate(f, 10, {{5, 0.375f, 0.3f}}),
              (std::vector<Seen>{{5, S::Moved, 0.375f, 0.125f, 0.25f, 0, true}}));
    // New ids go behind the known ones, and only the last element carries isLast.
    EXPECT_EQ(accumulate(f, 20, {{150, 0.5f, 0.5f}, {5, 0.375f, 0.3f}}),
              (std::vector<Seen>{{5, S::Moved, 0.375f, 0, 0.25f, 0, false},
                                 {150, S::Added, 0.5f, 0, 0.5f, 20, true}}));
    EXPECT_EQ(accumulate(f, 30, {}),
              (std::vector<Seen>{{5, S::Removed, 0.375f, 0, 0.25f, 0, false},
                                 {150, S::Removed, 0.5f, 0, 0.5f, 20, true}}));
    EXPECT_EQ(accumulate(f, 40, {}), std::vector<Seen>{});
}

// Large frames are matched through hash tables; the outcome must be the same as for small ones.
TEST_F(MapperParts, LargeFrameAccumulatesLikeASmallOne) {
    std::vector<Finger> first, second;
    for (std::uint64_t id = 0; id < 100; ++id) first.push_back({id, 0.25f, 0.5f});
    for (std::uint64_t id = 10; id < 110; ++id) second.push_back({id, 0.375f, 0.5f});
    Frame<float> f;
    accumulate(f, 0, first);
    const std::vector<Seen> seen = accumulate(f, 10, second);
    ASSERT_EQ(seen.size(), 110u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const Seen& s = seen[i];
        EXPECT_EQ(s.id, i) << i;
        const ContactState expected = i < 10     ? ContactState::Removed
                                      : i < 100 ? ContactState::Moved
                                                : ContactState::Added;
        EXPECT_EQ(s.state, expected) << i;
        EXPECT_EQ(s.dx, expected == ContactState::Moved ? 0.125f : 0.0f) << i;
        EXPECT_EQ(s.isLast, i == 109) << i;
    }
}

struct ActionCase {
    const char* label;
    std::function<std::unique_ptr<Action>()> make;
    std::vector<std::string> events;  // empty with no action made
    bool made;
};

template <typename A>
std::function<std::unique_ptr<Action>()> parsed(const char* text) {
    return [text] { return std::unique_ptr<Action>(A::withGestureEvent(text)); };
}

const ActionCase kActions[] = {
        {"ScrollDeltaTruncatesTowardZero",
         parsed<ScrollAction>("[Scroll]\ncenter_x=0.5\ncenter_y=0.5\ndy=-0.01000000\nstatus=delta\n"),
         {"scroll -10"}, true},
        {"ScrollBeginMovesToCenter",
         parsed<ScrollAction>("[Scroll]\ncenter_x=0.25\ncenter_y=0.5\ndy=0.3\nstatus=begin\n"),
         {"mouse-moved 480,540"}, true},
        {"DragDeltaDrags",
         parsed<DragAction>("[Drag]\ncenter_x=0.25\ncenter_y=0.5\ndx=0\ndy=0\nstatus=delta\n"),
         {"left-dragged 480,540"}, true},
        {"DragUnknownStatus",
         parsed<DragAction>("[Drag]\ncenter_x=0.25\ncenter_y=0.5\nstatus=middle\n"), {}, false},
        {"DragWithoutY", parsed<DragAction>("[Drag]\ncenter_x=0.25\nstatus=begin\n"), {}, false},
        {"PinchEndMakesNoAction",
         parsed<PinchAction>("[Pinch]\ncenter_x=0.5\ncenter_y=0.5\nscale=1.0\nstatus=end\n"), {},
         false},
        {"PinchDeltaZoomsOutWithoutMove",
         parsed<PinchAction>("[Pinch]\ncenter_x=0.5\ncenter_y=0.5\nscale=0.8\nstatus=delta\n"),
         {"key-down 55", "pause 10", "key-down 27", "pause 10", "key-up 27", "key-up 55"}, true},
        {"HoverUnknownPhase",
         parsed<HoverAction>("[Hover:sideways]\ncenter_x=0.25\ncenter_y=0.5\n"), {}, false},
        {"HoverEndMoves", parsed<HoverAction>("[Hover:end]\ncenter_x=0.250000\ncenter_y=0.500000\n"),
         {"mouse-moved 480,540"}, true},
        {"TapWithoutCenterY", parsed<TapAction>("[Tap]\ncenter_x=0.25\n"), {}, false},
        {"NotANumberMakesNoAction",
         parsed<RightClickAction>("[TwoFingerTap]\ncenter_x=nan\ncenter_y=0.5\n"), {}, false},
        {"MissionControl", [] { return std::make_unique<MissionControlAction>(); },
         {"dock com.apple.expose.awake"}, true},
        {"AppExpose", [] { return std::make_unique<AppExposeAction>(); },
         {"dock com.apple.expose.front.awake"}, true},
};

class ActionTexts : public ClockFixture, public ::testing::TestWithParam<ActionCase> {
protected:
    RecordingDesktop desktop;
};

TEST_P(ActionTexts, ParseAndPerform) {
    ordalo::sdk::desktop::Desktop* previous = ordalo::sdk::desktop::setDesktop(&desktop);
    std::unique_ptr<Action> action = GetParam().make();
    ASSERT_EQ(action != nullptr, GetParam().made);
    if (action) action->perform();
    ordalo::sdk::desktop::setDesktop(previous);
    EXPECT_EQ(desktop.take(), GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(Mapper, ActionTexts, ::testing::ValuesIn(kActions),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Strsqz, CopiesBetweenKeyAndEnd) {
    EXPECT_STREQ(strsqz("a=1\nkey=42\n", "key=", "\n").get(), "42");
    EXPECT_EQ(strsqz("key=42", "key=", "\n"), nullptr);
    EXPECT_EQ(strsqz("a=1\n", "key=", "\n"), nullptr);
}

TEST(ScreenRuler, SpreadIsTheLargestPairDistance) {
    Contact<float> a{}, b{}, c{};
    a.location = {0.0f, 0.0f};
    b.location = {1.0f, 1.0f};
    c.location = {0.5f, 0.5f};
    ContactMap fingers{{3, &c}};
    EXPECT_EQ(maxDistanceMm(ScreenRuler{}, fingers), 0.0f);
    fingers[1] = &a;
    fingers[200] = &b;
    EXPECT_NEAR(maxDistanceMm(ScreenRuler{}, fingers), 546.1, 0.05);
}

TEST_F(MapperParts, TouchScreenSpecAndTapRanges) {
    TapGesture tap("Tap", 1, 200, 10.0f, 0, 500, 10.0f);
    tap.setAttribute("TouchScreenSpec", "21.5");
    EXPECT_FLOAT_EQ(tap.ruler.width, 475.97f);
    tap.setAttribute("TouchScreenSpec", "21.5@16:9");
    EXPECT_NEAR(tap.ruler.width, 476.0, 0.05);
    EXPECT_NEAR(tap.ruler.height, 267.7, 0.05);
    tap.setAttribute("TouchScreenSpec", "0@16:9");
    tap.setAttribute("TouchScreenSpec", "x@16:9");
    EXPECT_NEAR(tap.ruler.width, 476.0, 0.05);

    const struct {
        const char* key;
        const char* value;
        unsigned fingers;
        std::int64_t tapTime;
    } rows[] = {{"fingerAmount", "0", 1, 200},  {"fingerAmount", "49", 1, 200},
                {"fingerAmount", "48", 48, 200}, {"maxTapTime", "99", 48, 200},
                {"maxTapTime", "100", 48, 100},  {"maxTapTime", "1e3", 48, 100}};
    for (const auto& r : rows) {
        tap.setAttribute(r.key, r.value);
        EXPECT_EQ(tap.fingerAmount, r.fingers) << r.key << "=" << r.value;
        EXPECT_EQ(tap.maxTapTime, r.tapTime) << r.key << "=" << r.value;
    }
}

// The exported entry points drive the process-wide mapper; this is the one test that uses it.
TEST_F(MapperParts, ExportsApplyTheSurfaceSizeAndIgnoreParameters) {
    ordalo::sdk::desktop::Desktop* previous = ordalo::sdk::desktop::setDesktop(&desktop);
    odosxmapper_set_parameter(nullptr, "x");
    odosxmapper_set_parameter("Drag", "TouchScreenSpec=55@16:9");
    EXPECT_EQ(odosxmapper_set_attribute("NoSuch", "name", "x"), 0);
    EXPECT_EQ(odosxmapper_set_attribute("*", "TouchScreenSpec", nullptr), 0);
    auto drag = [&](std::uint64_t at) {
        // 4.65 mm on the default surface, 11.9 mm on a 55-inch one.
        // A finger at no position is left out; if it counted, the drag would be two fingers.
        std::vector<Contact<float>> down = contactsOf({{120, 0.25f, 0.5f}, {7, NAN, 0.5f}});
        std::vector<Contact<float>> moved = contactsOf({{120, 0.259765625f, 0.5f}, {7, 0.5f, INFINITY}});
        g_nowMs = kStartMs + at;
        odosxmapper_put_frame(nullptr, 3);
        odosxmapper_put_frame(down.data(), down.size());
        g_nowMs += 300;
        odosxmapper_put_frame(moved.data(), moved.size());
        g_nowMs += 300;
        odosxmapper_put_frame(nullptr, 0);
        odosxmapper_put_frame(nullptr, 0);
        return desktop.take();
    };
    EXPECT_EQ(drag(0), std::vector<std::string>{});
    EXPECT_EQ(odosxmapper_set_attribute("*", "TouchScreenSpec", "55@16:9"), 12);
    EXPECT_EQ(drag(10000), (std::vector<std::string>{"mouse-moved 498.75,540",
                                                      "left-down 498.75,540",
                                                      "left-up 498.75,540"}));
    ordalo::sdk::desktop::setDesktop(previous);
}

}  // namespace
}  // namespace mappertest
