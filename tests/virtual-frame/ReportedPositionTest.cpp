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
