// The demo's built-in "tour" scenario: each gesture of the tour in turn, whole and apart.
#include <gtest/gtest.h>

#include <algorithm>

#include "VirtualFrame/Scenario.h"

using VirtualFrame::builtinScenario;
using VirtualFrame::Scenario;

namespace {

struct Stretch {
    double fromMs, toMs;
    size_t mostFingers;
};

// The stretches of time in which fingers are down, sampled every millisecond.
std::vector<Stretch> TouchedStretches(const Scenario& s) {
    std::vector<Stretch> out;
    bool down = false;
    for (double t = 0; t <= s.durationMs() + 1; t += 1) {
        const size_t n = s.fingersAt(t).size();
        if (n > 0 && !down) out.push_back({t, t, 0});
        if (n > 0) {
            out.back().toMs = t;
            out.back().mostFingers = std::max(out.back().mostFingers, n);
        }
        down = n > 0;
    }
    return out;
}

}  // namespace

TEST(DemoTour, PlaysEachGestureWholeWithPausesBetween) {
    const std::vector<const char*> gestures = {"tap",   "drag",        "two-finger-scroll",
                                               "pinch", "swipe4-left", "hold"};
    const Scenario tour = builtinScenario("tour");
    const auto stretches = TouchedStretches(tour);
    ASSERT_EQ(stretches.size(), gestures.size());
    // The host learns the untouched screen first.
    EXPECT_GE(stretches.front().fromMs, 1500);
    for (size_t k = 0; k < gestures.size(); ++k) {
        const auto alone = TouchedStretches(builtinScenario(gestures[k]));
        ASSERT_EQ(alone.size(), 1u) << gestures[k];
        EXPECT_EQ(stretches[k].mostFingers, alone[0].mostFingers) << gestures[k];
        EXPECT_EQ(stretches[k].toMs - stretches[k].fromMs, alone[0].toMs - alone[0].fromMs)
            << gestures[k];
        // Same places as the gesture alone, at the same moment within it.
        const double shift = stretches[k].fromMs - alone[0].fromMs;
        const Scenario part = builtinScenario(gestures[k]);
        for (double t = alone[0].fromMs; t <= alone[0].toMs; t += 25) {
            const auto a = part.fingersAt(t), b = tour.fingersAt(t + shift);
            ASSERT_EQ(a.size(), b.size()) << gestures[k] << " at " << t;
            for (size_t f = 0; f < a.size(); ++f) {
                EXPECT_NEAR(a[f].x, b[f].x, 1e-4) << gestures[k] << " at " << t;
                EXPECT_NEAR(a[f].y, b[f].y, 1e-4) << gestures[k] << " at " << t;
            }
        }
        if (k > 0) {
            EXPECT_GE(stretches[k].fromMs - stretches[k - 1].toMs, 900) << gestures[k];
        }
    }
}
