// A finger placed at screen (x, y) on the virtual frame is reported by the frame library at
// (x, y): the beam model's geometry, entry order, bit order and mirror flags agree with the
// library's on every model.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>

#include "LibraryContext.h"
#include "VirtualFrame/FramePlayer.h"

using namespace VirtualFrame;

namespace {

class ReportedPosition : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(ReportedPosition, FingerIsReportedWhereItTouches) {
    const FrameModel& m = *findFrameModel(GetParam());
    const double positions[][2] = {{0.3, 0.3}, {0.7, 0.25}, {0.5, 0.5}, {0.2, 0.8}};
    for (const auto& p : positions) {
        auto ctx = vftest::makeContext(m);
        BeamModel beams(m);
        const Finger finger{1, p[0], p[1], 12.0};
        // The tracker confirms a touch after a few frames; give it plenty.
        for (int frame = 0; frame < 20; ++frame) {
            vftest::feed(ctx.get(), encodeScan(m, beams.scan({finger})));
            OrdaloUpdateBlobs(ctx.get());
        }
        ASSERT_EQ(+ctx->outBlobCount, 1) << m.name << " at " << p[0] << "," << p[1];
        const _MINI_POLYGON& blob = ctx->outBlobs[0];
        // Within one LED step on each axis.
        EXPECT_NEAR(+blob.cx, p[0], 1.0 / m.geometry.ledsX) << m.name;
        EXPECT_NEAR(+blob.cy, p[1], 1.0 / m.geometry.ledsY) << m.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ReportedPosition, ::testing::ValuesIn(vftest::modelNames()),
                         vftest::modelTestName);

// Every built-in scenario on the default model: the library sees as many touches as the
// scenario has fingers, near where they are, and none once the idle tail has passed.
TEST(BuiltinScenariosThroughTheLibrary, TouchCountsAndPositionsFollowTheFingers) {
    for (const std::string& name : builtinScenarioNames()) {
        FramePlayer player(defaultFrameModel(), builtinScenario(name));
        auto ctx = vftest::makeContext(player.model());
        size_t peakFingers = 0;
        int peakBlobs = 0;
        for (size_t i = 0; i < player.scanCount(); ++i) {
            vftest::feed(ctx.get(), player.rawScan(i));
            OrdaloUpdateBlobs(ctx.get());
            const auto fingers = player.fingers(i);
            const int blobs = ctx->outBlobCount;
            peakFingers = std::max(peakFingers, fingers.size());
            peakBlobs = std::max(peakBlobs, blobs);
            for (int b = 0; b < blobs && !fingers.empty(); ++b) {
                double nearest = 1e9;
                for (const Finger& f : fingers) {
                    nearest = std::min(
                        nearest, std::hypot(f.x - ctx->outBlobs[b].cx, f.y - ctx->outBlobs[b].cy));
                }
                // Smoothing trails a moving finger by a few scans.
                EXPECT_LT(nearest, 0.06) << name << " scan " << i;
            }
        }
        EXPECT_EQ(peakBlobs, static_cast<int>(peakFingers)) << name;
        EXPECT_EQ(+ctx->outBlobCount, 0) << name;
    }
}

// Two fingers on a diagonal shadow four crossings of straight beams; only the slanted beams tell
// the two touches from the two ghosts. The library keeps the right pair on every model only when
// the beam model's slanted lines, their partner LEDs and their bits agree with the library's.
TEST_P(ReportedPosition, SlantedBeamsTellTouchesFromGhosts) {
    const FrameModel& m = *findFrameModel(GetParam());
    const double pairs[][4] = {{0.3, 0.3, 0.7, 0.65}, {0.65, 0.3, 0.35, 0.7}};
    for (const auto& p : pairs) {
        auto ctx = vftest::makeContext(m);
        BeamModel beams(m);
        const std::vector<Finger> fingers = {{1, p[0], p[1], 12.0}, {2, p[2], p[3], 12.0}};
        for (int frame = 0; frame < 20; ++frame) {
            vftest::feed(ctx.get(), encodeScan(m, beams.scan(fingers)));
            OrdaloUpdateBlobs(ctx.get());
        }
        ASSERT_EQ(+ctx->outBlobCount, 2)
            << m.name << " fingers at " << p[0] << "," << p[1] << " and " << p[2] << "," << p[3];
        for (const Finger& f : fingers) {
            double nearest = 1e9;
            for (int b = 0; b < 2; ++b) {
                nearest = std::min(
                    nearest, std::hypot(ctx->outBlobs[b].cx - f.x, ctx->outBlobs[b].cy - f.y));
            }
            EXPECT_LT(nearest, 2.0 / m.geometry.ledsY) << m.name << " finger " << f.id;
        }
    }
}
