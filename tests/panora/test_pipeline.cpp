// The whole per-frame pipeline on virtual-frame shadows: raw content from the model's encoder,
// decode, fix, detection, ghost removal, rescue, tracking and smoothing.
#include <gtest/gtest.h>

#include <set>

#include "test_blobs_support.h"

using namespace blobtest;
using VirtualFrame::Finger;

namespace {

constexpr double kMaxAxisErrorMm = 3.0;

class PipelineTest : public ::testing::Test {
protected:
    PipelineTest() : pipe_(VirtualFrame::defaultFrameModel()) {}

    std::vector<Touch> Hold(const std::vector<Finger>& fingers, int frames) {
        std::vector<Touch> t;
        for (int i = 0; i < frames; ++i) t = pipe_.Step(fingers);
        return t;
    }

    void Lift() {
        for (int i = 0; i < 8; ++i) pipe_.Step({});
        ASSERT_EQ(0, +pipe_.ctx()->outBlobCount);
    }

    // The touch nearest a finger, with per-axis errors in millimetres.
    void ExpectNear(const std::vector<Touch>& touches, const Finger& f) {
        const auto& g = pipe_.model().geometry;
        const double mm = g.mmPerLed();
        double best = 1e9, ex = 0, ey = 0;
        for (const Touch& t : touches) {
            const double d = pipe_.Mm(t.x, t.y, f.x, f.y);
            if (d < best) {
                best = d;
                ex = std::fabs(t.x - f.x) * g.ledsX * mm;
                ey = std::fabs(t.y - f.y) * g.ledsY * mm;
            }
        }
        EXPECT_LE(ex, kMaxAxisErrorMm) << "finger " << f.id << " at " << f.x << "," << f.y;
        EXPECT_LE(ey, kMaxAxisErrorMm) << "finger " << f.id << " at " << f.x << "," << f.y;
    }

    // Screen position `mm` millimetres from (x, y) along the main diagonal direction.
    std::pair<double, double> Along(double x, double y, double mm) const {
        const auto& g = pipe_.model().geometry;
        const double step = mm / std::sqrt(2.0);
        return {x + step / (g.ledsX * g.mmPerLed()), y + step / (g.ledsY * g.mmPerLed())};
    }

    Pipeline pipe_;
};

TEST_F(PipelineTest, OneFingerTakesTheQuickPathAndIsReportedWithinThreeMillimetres) {
    for (double x = 0.15; x < 0.9; x += 0.17) {
        for (double y = 0.2; y < 0.9; y += 0.23) {
            const Finger f{1, x, y, 10};
            EXPECT_EQ(0u, pipe_.Step({f}).size()) << "a new finger waits for confirmation";
            const std::vector<Touch> t = Hold({f}, 4);
            ASSERT_EQ(1u, t.size());
            EXPECT_EQ(1, +pipe_.ctx()->runsX);
            EXPECT_EQ(1, +pipe_.ctx()->runsY);
            EXPECT_EQ(0u, +pipe_.ctx()->rectRefined) << "no carving for one small shadow";
            ExpectNear(t, f);
            Lift();
        }
    }
}

TEST_F(PipelineTest, FingerHeldStillIsNotLearnedAsBackground) {
    // The background learns from touch-free frames only; a finger resting for seconds on the
    // quick path must not become background and vanish.
    for (int i = 0; i < 120; ++i) pipe_.Step({});
    const Finger f{1, 0.4, 0.6, 10};
    std::vector<Touch> t;
    for (int i = 0; i < 600; ++i) {
        t = pipe_.Step({f});
        if (i >= 4) {
            ASSERT_EQ(1u, t.size()) << "frame " << i;
        }
    }
    EXPECT_EQ(0, +pipe_.ctx()->deadBeam) << "the finger's straight beams were learned";
    ExpectNear(t, f);
}

TEST_F(PipelineTest, TwoFingersOnOneRow) {
    const std::vector<Finger> fingers{{1, 0.25, 0.5, 10}, {2, 0.7, 0.5, 10}};
    const std::vector<Touch> t = Hold(fingers, 6);
    EXPECT_EQ(1, +pipe_.ctx()->runsY);
    EXPECT_EQ(2, +pipe_.ctx()->runsX);
    ASSERT_EQ(2u, t.size());
    EXPECT_NE(t[0].id, t[1].id);
    for (const Finger& f : fingers) ExpectNear(t, f);
}

TEST_F(PipelineTest, TwoFingersOnADiagonalGiveTwoStableTouchesAndNoGhosts) {
    const auto far = Along(0.3, 0.3, 100.0);
    const std::vector<Finger> fingers{{1, 0.3, 0.3, 10}, {2, far.first, far.second, 10}};
    ASSERT_NEAR(100.0, pipe_.Mm(0.3, 0.3, far.first, far.second), 1e-3);
    std::vector<Touch> t = Hold(fingers, 3);
    ASSERT_EQ(2u, t.size());
    const std::set<int> ids{t[0].id, t[1].id};
    ASSERT_EQ(2u, ids.size());
    for (int frame = 0; frame < 40; ++frame) {
        t = pipe_.Step(fingers);
        EXPECT_EQ(2, +pipe_.ctx()->runsX);
        EXPECT_EQ(2, +pipe_.ctx()->runsY);
        ASSERT_EQ(2u, t.size()) << "frame " << frame;
        EXPECT_EQ(ids, (std::set<int>{t[0].id, t[1].id})) << "frame " << frame;
        for (const Finger& f : fingers) ExpectNear(t, f);
    }
}

TEST_F(PipelineTest, ThreeFingersNoGhosts) {
    const std::vector<Finger> fingers{{1, 0.2, 0.25, 10}, {2, 0.55, 0.7, 10}, {3, 0.8, 0.4, 10}};
    for (int frame = 0; frame < 20; ++frame) {
        const std::vector<Touch> t = pipe_.Step(fingers);
        if (frame < 4) continue;
        ASSERT_EQ(3u, t.size()) << "frame " << frame;
        for (const Finger& f : fingers) ExpectNear(t, f);
    }
}

TEST_F(PipelineTest, ThreeFingersTwoOnOneRowAreAllReported) {
    // Two rows of shadows and three candidates, as with two fingers and one crossing; here all
    // three are fingers.
    const std::vector<Finger> layouts[] = {
        {{1, 0.3, 0.4, 10}, {2, 0.6, 0.4, 10}, {3, 0.45, 0.7, 10}},
        {{1, 0.25, 0.5, 10}, {2, 0.5, 0.5, 10}, {3, 0.8, 0.2, 10}},
    };
    for (const auto& fingers : layouts) {
        for (int frame = 0; frame < 12; ++frame) {
            const std::vector<Touch> t = pipe_.Step(fingers);
            if (frame < 4) continue;
            EXPECT_EQ(2, +pipe_.ctx()->runsY);
            ASSERT_EQ(3u, t.size()) << "frame " << frame;
            for (const Finger& f : fingers) ExpectNear(t, f);
        }
        Lift();
    }
}

TEST_F(PipelineTest, LoneThinTouchIsRescued) {
    // A 2.7 mm stylus between two straight Y beams: only X LEDs see it straight on, so detection
    // only has a full-height rectangle, and carving leaves nothing of it.
    const Finger stylus{1, 0.383, 0.504, 2.7};
    pipe_.Step({stylus});
    CoreContext* ctx = pipe_.ctx();
    ASSERT_GE(+ctx->rectCount, 1);
    LoadWords(ctx, pipe_.beams().scan({stylus}));
    findBlobs_Improved(ctx);
    RemoveBackground(ctx);
    RemoveFalseBlobsEx2(ctx);
    ASSERT_EQ(0, +ctx->blobCount) << "the case needs the rescue";
    Lift();

    const std::vector<Touch> t = Hold({stylus}, 6);
    ASSERT_EQ(1u, t.size());
    EXPECT_LT(std::fabs(t[0].x - stylus.x) * pipe_.model().geometry.ledsX *
                  pipe_.model().geometry.mmPerLed(),
              kMaxAxisErrorMm);
    Lift();

    // A straight beam masked by the background switches the rescue off.
    ctx->background[0] = static_cast<uint16_t>(ctx->background[0] & ~(1u << ctx->halfLinesX));
    EXPECT_EQ(0u, Hold({stylus}, 6).size());
    EXPECT_EQ(1, +ctx->deadBeam);
}

TEST_F(PipelineTest, IdentitiesStartAtOneAndWrapAfterFortySeven) {
    std::vector<int> ids;
    for (int tap = 0; tap < 49; ++tap) {
        const Finger f{1, tap % 2 ? 0.3 : 0.7, 0.5, 10};
        const std::vector<Touch> t = Hold({f}, 3);
        ASSERT_EQ(1u, t.size()) << "tap " << tap;
        ids.push_back(t[0].id);
        Lift();
    }
    for (int tap = 0; tap < 47; ++tap) EXPECT_EQ(tap + 1, ids[tap]);
    EXPECT_EQ(0, ids[47]);
    EXPECT_EQ(1, ids[48]);
}

TEST_F(PipelineTest, FingerMissingForTwoFramesKeepsItsIdentity) {
    const Finger f{1, 0.45, 0.55, 10};
    std::vector<Touch> t = Hold({f}, 8);
    ASSERT_EQ(1u, t.size());
    const int id = t[0].id;
    for (int i = 0; i < 2; ++i) {
        t = pipe_.Step({});
        ASSERT_EQ(1u, t.size()) << "held while it is missing";
        EXPECT_EQ(id, t[0].id);
    }
    t = Hold({f}, 3);
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(id, t[0].id);
}

TEST_F(PipelineTest, JumpBeyondSixtyMillimetresIsANewFinger) {
    const Finger start{1, 0.3, 0.5, 10};
    std::vector<Touch> t = Hold({start}, 10);
    ASSERT_EQ(1u, t.size());
    const int id = t[0].id;
    const auto near = Along(0.3, 0.5, 40.0);
    t = Hold({{1, near.first, near.second, 10}}, 1);
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(id, t[0].id) << "40 mm is within the gate";
    Lift();

    t = Hold({start}, 10);
    const int id2 = t[0].id;
    const auto far = Along(0.3, 0.5, 80.0);
    for (int i = 0; i < 6; ++i) t = pipe_.Step({{1, far.first, far.second, 10}});
    ASSERT_EQ(1u, t.size());
    EXPECT_NE(id2, t[0].id);
}

TEST_F(PipelineTest, MovingFingerIsSmoothedAlongItsPath) {
    // 5 mm per frame to the right: the reported point trails the finger by the path's mean.
    const auto& g = pipe_.model().geometry;
    const double step = 5.0 / (g.ledsX * g.mmPerLed());
    std::vector<Touch> t;
    int id = -1;
    for (int frame = 0; frame < 25; ++frame) {
        const Finger f{1, 0.2 + frame * step, 0.5, 10};
        t = pipe_.Step({f});
        if (frame < 4) continue;
        ASSERT_EQ(1u, t.size()) << "frame " << frame;
        if (id < 0) id = t[0].id;
        EXPECT_EQ(id, t[0].id);
        EXPECT_LT(t[0].x, f.x) << "smoothing lags behind";
    }
    // Nine points of 5 mm: the mean trails the newest by 20 mm, give or take a pitch.
    const double lagMm = (0.2 + 24 * step - t[0].x) * g.ledsX * g.mmPerLed();
    EXPECT_NEAR(20.0, lagMm, 3.0);
}

}  // namespace
