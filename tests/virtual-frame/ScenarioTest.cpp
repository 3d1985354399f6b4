#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>

#include "VirtualFrame/Scenario.h"

using namespace VirtualFrame;

namespace {

constexpr double kWidthMm = 475.97, kHeightMm = 267.73;  // the gesture mapper's ruler

int refusedAt(const std::string& text, std::string* reason = nullptr) {
    try {
        Scenario::parseText(text);
    } catch (const ScenarioError& e) {
        if (reason) *reason = e.reason();
        EXPECT_NE(std::string(e.what()).find("line " + std::to_string(e.line()) + ": "),
                  std::string::npos);
        return e.line();
    }
    return -1;
}

double centreX(const std::vector<Finger>& f) {
    double s = 0;
    for (const Finger& x : f) s += x.x;
    return s / f.size();
}
double centreY(const std::vector<Finger>& f) {
    double s = 0;
    for (const Finger& x : f) s += x.y;
    return s / f.size();
}

}  // namespace

TEST(ScenarioFile, ReadsTheDocumentedExample) {
    const Scenario s = Scenario::parseText(
        "# time_ms  finger  x      y      [diameter_mm]\n"
        "0          1       0.25   0.50   10\n"
        "\n"
        "400        1       0.30   0.50   # moving right\n"
        "450        1       up\n");
    ASSERT_EQ(s.keyframes().size(), 3u);
    EXPECT_EQ(s.durationMs(), 450u);
    auto f = s.fingersAt(200);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].id, 1);
    EXPECT_NEAR(f[0].x, 0.275, 1e-12);
    EXPECT_NEAR(f[0].y, 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(f[0].diameterMm, 10.0);
    f = s.fingersAt(420);  // rests at its last position until lifted
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NEAR(f[0].x, 0.30, 1e-12);
    EXPECT_TRUE(s.fingersAt(450).empty());
    EXPECT_TRUE(s.fingersAt(-1).empty());
}

TEST(ScenarioFile, FingersLiftLandAgainAndKeepTheirDiameter) {
    const Scenario s = Scenario::parseText(
        "0 1 0.1 0.1 14\n"
        "0 2 0.9 0.9\n"
        "100 1 0.2 0.1\n"  // diameter 14 carried on
        "100 2 up\n"
        "200 2 0.5 0.5 8\n"
        "300 1 0.2 0.1 20\n"
        "400 2 up\n"
        "500 1 up\n");
    auto f = s.fingersAt(50);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_DOUBLE_EQ(f[0].diameterMm, 14.0);
    EXPECT_DOUBLE_EQ(f[1].diameterMm, kDefaultFingerDiameterMm);
    EXPECT_NEAR(f[0].x, 0.15, 1e-12);
    EXPECT_NEAR(f[1].x, 0.9, 1e-12);  // a finger's next keyframe is `up`: it stays put
    f = s.fingersAt(150);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].id, 1);
    f = s.fingersAt(250);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NEAR(f[0].diameterMm, 18.5, 1e-12);  // diameter moves with the keyframes too
    EXPECT_DOUBLE_EQ(f[1].diameterMm, 8.0);
    EXPECT_NEAR(f[1].x, 0.5, 1e-12);  // landed anew, not interpolated from before the lift
    EXPECT_EQ(s.fingersAt(450).size(), 1u);
    EXPECT_TRUE(s.fingersAt(500).empty());

    // A lift and a landing in the same millisecond: the later line wins from then on.
    const Scenario quick = Scenario::parseText("0 5 0.1 0.1\n100 5 up\n100 5 0.6 0.6\n200 5 up\n");
    ASSERT_EQ(quick.fingersAt(99.5).size(), 1u);
    EXPECT_NEAR(quick.fingersAt(99.5)[0].x, 0.1, 1e-12);
    ASSERT_EQ(quick.fingersAt(100).size(), 1u);
    EXPECT_NEAR(quick.fingersAt(100)[0].x, 0.6, 1e-12);
}

TEST(ScenarioFile, MalformedLinesAreRefusedWithTheirLineNumber) {
    const std::string good = "# header\n0 1 0.5 0.5\n";  // lines 1-2
    struct Case {
        const char* line;
        const char* reasonPart;
    } cases[] = {
        {"100 1", "expected"},
        {"abc 1 0.5 0.5", "time"},
        {"-5 1 0.5 0.5", "time"},
        {"100.5 1 0.5 0.5", "time"},
        {"100 x 0.5 0.5", "finger"},
        {"100 1000 0.5 0.5", "finger"},
        {"100 1 0.5", "both x and y"},
        {"100 1 1.5 0.5", "x"},
        {"100 1 0.5 -0.1", "y"},
        {"100 1 0.5 nan", "y"},
        {"100 1 0.5 0.5abc", "y"},
        {"100 1 0.5 0.5 0", "diameter"},
        {"100 1 0.5 0.5 500", "diameter"},
        {"100 1 0.5 0.5 10 11", "too many"},
        {"100 2 up", "not down"},
        {"100 1 up now", "follow"},
    };
    for (const Case& c : cases) {
        std::string reason;
        EXPECT_EQ(refusedAt(good + c.line + "\n200 1 up\n", &reason), 3) << c.line;
        EXPECT_NE(reason.find(c.reasonPart), std::string::npos) << c.line << " -> " << reason;
    }
    std::string reason;
    EXPECT_EQ(refusedAt("0 1 0.5 0.5\n\n# note\n300 1 0.4 0.5\n200 1 up\n", &reason), 5);
    EXPECT_NE(reason.find("backwards"), std::string::npos);
    EXPECT_EQ(refusedAt("0 1 0.5 0.5\n10 1 up\n20 1 up\n"), 3);  // lifted twice
    EXPECT_EQ(refusedAt("# nothing but comments\n\n"), 0);
}

TEST(ScenarioFile, LoadNamesMissingFilesAndReadsRealOnes) {
    try {
        Scenario::load("/nonexistent/scenario.txt");
        FAIL() << "a missing file was accepted";
    } catch (const ScenarioError& e) {
        EXPECT_EQ(e.line(), 0);
        EXPECT_NE(e.reason().find("/nonexistent/scenario.txt"), std::string::npos);
    }
    char path[] = "/tmp/vf-scenario-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(path);
        out << "0 3 0.5 0.5\n40 3 0.6 0.5\nbad line here\n";
    }
    try {
        loadScenario(path);
        FAIL() << "a malformed file was accepted";
    } catch (const ScenarioError& e) {
        EXPECT_EQ(e.line(), 3);
    }
    {
        std::ofstream out(path);
        out << builtinScenario("drag").toText();
    }
    EXPECT_EQ(loadScenario(path).keyframes().size(), builtinScenario("drag").keyframes().size());
    std::remove(path);
}

TEST(BuiltinScenarios, AllParseStayOnScreenAndRoundTripThroughText) {
    const auto& names = builtinScenarioNames();
    EXPECT_EQ(names.size(), 17u);
    for (const std::string& name : names) {
        const Scenario s = builtinScenario(name);
        EXPECT_EQ(s.name(), name);
        EXPECT_GT(s.durationMs(), 100u) << name;
        EXPECT_TRUE(s.fingersAt(s.durationMs()).empty()) << name;
        for (const Keyframe& k : s.keyframes()) {
            if (k.up) continue;
            EXPECT_GE(k.x, 0.0);
            EXPECT_LE(k.x, 1.0);
            EXPECT_GE(k.y, 0.0);
            EXPECT_LE(k.y, 1.0);
        }
        const Scenario again = Scenario::parseText(s.toText());
        ASSERT_EQ(again.keyframes().size(), s.keyframes().size()) << name;
        for (size_t i = 0; i < s.keyframes().size(); ++i) {
            EXPECT_EQ(again.keyframes()[i].timeMs, s.keyframes()[i].timeMs);
            EXPECT_EQ(again.keyframes()[i].up, s.keyframes()[i].up);
            EXPECT_NEAR(again.keyframes()[i].x, s.keyframes()[i].x, 1e-9);
        }
    }
    EXPECT_THROW(builtinScenario("no-such-gesture"), std::out_of_range);
}

TEST(BuiltinScenarios, FingerCountsAndMotionsMatchTheirNames) {
    auto mm = [](const Finger& a, const Finger& b) {
        return std::hypot((a.x - b.x) * kWidthMm, (a.y - b.y) * kHeightMm);
    };
    // Peak finger count of each scenario.
    const std::pair<const char*, size_t> counts[] = {{"tap", 1},
                                                     {"double-tap", 1},
                                                     {"hold", 1},
                                                     {"drag", 1},
                                                     {"circle", 1},
                                                     {"two-finger-tap", 2},
                                                     {"two-finger-scroll", 2},
                                                     {"pinch", 2},
                                                     {"spread", 2},
                                                     {"swipe4-left", 4},
                                                     {"swipe4-up", 4},
                                                     {"gather5", 5},
                                                     {"spread5", 5},
                                                     {"ten-fingers", 10}};
    for (const auto& c : counts) {
        const Scenario s = builtinScenario(c.first);
        size_t peak = 0;
        for (uint32_t t = 0; t < s.durationMs(); t += 5)
            peak = std::max(peak, s.fingersAt(t).size());
        EXPECT_EQ(peak, c.second) << c.first;
    }
    // Tap: shorter than the 200 ms tap limit; double tap: two touches.
    const Scenario tap = builtinScenario("tap");
    int downMs = 0;
    for (int t = 0; t < 1000; ++t) downMs += !tap.fingersAt(t).empty();
    EXPECT_LT(downMs, 200);
    const Scenario dbl = builtinScenario("double-tap");
    int landings = 0;
    for (int t = 1; t < 1000; ++t)
        landings += dbl.fingersAt(t).size() > dbl.fingersAt(t - 1).size();
    EXPECT_EQ(landings, 2);

    // Swipes: each finger moves at least 30 mm the named way with under 10 mm drift.
    const struct {
        const char* name;
        double dx, dy;
    } swipes[] = {{"swipe4-left", -1, 0},
                  {"swipe4-right", 1, 0},
                  {"swipe4-up", 0, -1},
                  {"swipe4-down", 0, 1}};
    for (const auto& sw : swipes) {
        const Scenario s = builtinScenario(sw.name);
        const auto start = s.fingersAt(150), end = s.fingersAt(s.durationMs() - 1);
        ASSERT_EQ(start.size(), 4u);
        ASSERT_EQ(end.size(), 4u);
        for (size_t i = 0; i < 4; ++i) {
            const double fx = (end[i].x - start[i].x) * kWidthMm;
            const double fy = (end[i].y - start[i].y) * kHeightMm;
            EXPECT_GT(fx * sw.dx + fy * sw.dy, 30.0) << sw.name;
            EXPECT_LT(std::fabs(fx * sw.dy) + std::fabs(fy * sw.dx), 10.0) << sw.name;
        }
    }
    // Pinch and spread change the spacing by far more than 10 mm, scroll keeps it.
    auto spacing = [&](const char* name, uint32_t t) {
        const auto f = builtinScenario(name).fingersAt(t);
        return f.size() == 2 ? mm(f[0], f[1]) : -1.0;
    };
    EXPECT_LT(spacing("pinch", 750), spacing("pinch", 150) - 50);
    EXPECT_GT(spacing("spread", 750), spacing("spread", 150) + 50);
    EXPECT_NEAR(spacing("two-finger-scroll", 750), spacing("two-finger-scroll", 150), 0.5);
    // Five-finger gather: every finger nearer the common centre by more than 6 mm.
    for (const char* name : {"gather5", "spread5"}) {
        const Scenario s = builtinScenario(name);
        const auto a = s.fingersAt(150), b = s.fingersAt(750);
        ASSERT_EQ(a.size(), 5u);
        ASSERT_EQ(b.size(), 5u);
        const Finger c{0, centreX(a), centreY(a), 0};
        for (size_t i = 0; i < 5; ++i) {
            const double gain = mm(c, a[i]) - mm(c, b[i]);
            EXPECT_GT(std::string(name) == "gather5" ? gain : -gain, 6.0) << name;
        }
    }
}
