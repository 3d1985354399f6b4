// Ghost removal on hand-placed candidates with beam words of the beam model (default model).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_blobs_support.h"

using namespace blobtest;

namespace {

class GhostRemoval : public DefaultModelTest {
protected:
    // Candidate square around a screen position; the context holds frame positions.
    void AddCandidate(double sx, double sy, double sideMm) {
        const int n = ctx_->blobCount;
        ctx_->blobs[n] = SquareBlob(ctx_.get(), beams_->frameX(sx), beams_->frameY(sy), sideMm);
        ctx_->blobCount = ctx_->workCount = n + 1;
    }

    void Shadows(const std::vector<VirtualFrame::Finger>& fingers) {
        LoadWords(ctx_.get(), beams_->scan(fingers));
    }

    void Runs(int x, int y) {
        ctx_->runsX = x;
        ctx_->runsY = y;
        ctx_->rectCount = x * y;
        ctx_->lastFrameBlobs = ctx_->blobCount;
        ctx_->deadBeam = 0;
    }

    bool Kept(double sx, double sy) const {
        for (int i = 0; i < ctx_->blobCount; ++i) {
            const _MINI_POLYGON& b = ctx_->blobs[i];
            if (ScreenMm(*model_, beams_->frameX(sx), beams_->frameY(sy), b.cx, b.cy) < 1.0)
                return true;
        }
        return false;
    }
};

TEST_F(GhostRemoval, ShadowsOnOneRowAreLeftAlone) {
    // No beam evidence at all: only the one-row rule can keep these.
    AddCandidate(0.3, 0.4, 8);
    AddCandidate(0.6, 0.4, 8);
    Runs(2, 1);
    RemoveFalseBlobsEx2(ctx_.get());
    EXPECT_EQ(2, +ctx_->blobCount);

    Runs(2, 2);
    RemoveFalseBlobsEx2(ctx_.get());
    EXPECT_EQ(0, +ctx_->blobCount) << "without the rule, unexplained candidates go";
}

TEST_F(GhostRemoval, DiagonalPairKeepsTheFingersAndDropsTheCrossings) {
    const std::vector<VirtualFrame::Finger> fingers{{1, 0.3, 0.3, 10}, {2, 0.6, 0.6, 10}};
    Shadows(fingers);
    AddCandidate(0.3, 0.3, 8);
    AddCandidate(0.6, 0.3, 8);  // crossing of finger 2's column with finger 1's row
    AddCandidate(0.3, 0.6, 8);
    AddCandidate(0.6, 0.6, 8);
    Runs(2, 2);
    RemoveFalseBlobsEx2(ctx_.get());
    ASSERT_EQ(2, +ctx_->blobCount);
    EXPECT_TRUE(Kept(0.3, 0.3));
    EXPECT_TRUE(Kept(0.6, 0.6));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(1u, +ctx_->blobs[i].trueFlag);
        EXPECT_GE(+ctx_->blobs[i].hitCount, 3u) << "each finger owns slanted beams";
    }
    EXPECT_EQ(0, debugflag);
}

TEST_F(GhostRemoval, ThreeCandidatesDropTheOneFacingTheLongestSide) {
    struct Case {
        double pts[3][2];
        int dropped;
    };
    // Candidate k is dropped when the side between the other two is the longest.
    const Case cases[] = {
        {{{0.2, 0.2}, {0.8, 0.2}, {0.5, 0.3}}, 2},
        {{{0.5, 0.3}, {0.2, 0.2}, {0.8, 0.2}}, 0},
        {{{0.2, 0.2}, {0.5, 0.3}, {0.8, 0.2}}, 1},
    };
    for (const Case& c : cases) {
        ctx_->blobCount = 0;
        for (const auto& p : c.pts) AddCandidate(p[0], p[1], 8);
        Runs(2, 2);
        RemoveFalseBlobsEx2(ctx_.get());
        ASSERT_EQ(2, +ctx_->blobCount);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(k != c.dropped, Kept(c.pts[k][0], c.pts[k][1])) << "candidate " << k;
    }
}

TEST_F(GhostRemoval, ThreeCandidatesWithBeamsKeepThreeFingersButDropACrossing) {
    // Three candidates from two rows of shadows, over the shadows of the given fingers.
    auto removeFromThree = [&](const std::vector<VirtualFrame::Finger>& fingers) {
        ctx_->blobCount = 0;
        Shadows(fingers);
        const double crossing[2] = {fingers[1].x, fingers[0].y};
        const double third[2] = {fingers.size() > 2 ? fingers[2].x : crossing[0],
                                 fingers.size() > 2 ? fingers[2].y : crossing[1]};
        AddCandidate(fingers[0].x, fingers[0].y, 8);
        AddCandidate(third[0], third[1], 8);
        AddCandidate(fingers[1].x, fingers[1].y, 8);
        Runs(3, 2);
        RemoveFalseBlobsEx2(ctx_.get());
    };
    // Two fingers and the crossing of one's row with the other's column: the crossing goes.
    removeFromThree({{1, 0.3, 0.3, 10}, {2, 0.6, 0.6, 10}});
    ASSERT_EQ(2, +ctx_->blobCount);
    EXPECT_TRUE(Kept(0.3, 0.3));
    EXPECT_TRUE(Kept(0.6, 0.6));

    // Three fingers, two on one row: the candidate facing the longest side is a finger whose
    // own slanted beams are blocked, so all three stay.
    removeFromThree({{1, 0.3, 0.4, 10}, {2, 0.6, 0.4, 10}, {3, 0.45, 0.7, 10}});
    ASSERT_EQ(3, +ctx_->blobCount);
    EXPECT_TRUE(Kept(0.3, 0.4));
    EXPECT_TRUE(Kept(0.6, 0.4));
    EXPECT_TRUE(Kept(0.45, 0.7));
}

TEST_F(GhostRemoval, SliverBesideAnEdgeFingerIsNotTakenForAFinger) {
    // Two fingers one above the other near the right edge (frame LEDs (67.6, 46.4) and
    // (69.7, 28.7)): where the slanted X beams that would cut it away do not exist, carving
    // leaves a sliver of the upper finger's rectangle beside it. Three candidates from two rows,
    // and the three-blob rule takes the upper finger for the crossing; that finger owns beams,
    // so the beams decide, and the sliver (no beam of its own) goes.
    const int nX = model_->geometry.ledsX, nY = model_->geometry.ledsY;
    const std::vector<VirtualFrame::Finger> fingers{
        {1, beams_->frameX(67.63 / nX), beams_->frameY(46.36 / nY), 10},
        {2, beams_->frameX(69.67 / nX), beams_->frameY(28.74 / nY), 10}};
    Shadows(fingers);
    findBlobs_Improved(ctx_.get());
    ASSERT_EQ(2, +ctx_->runsY);
    ASSERT_EQ(3, +ctx_->blobCount) << "the frame no longer leaves a sliver; pick another";
    RemoveBackground(ctx_.get());
    RemoveFalseBlobsEx2(ctx_.get());
    ASSERT_EQ(2, +ctx_->blobCount);
    for (const VirtualFrame::Finger& f : fingers) {
        bool near = false;
        for (int i = 0; i < 2; ++i)
            near = near || ScreenMm(*model_, beams_->frameX(f.x), beams_->frameY(f.y),
                                    ctx_->blobs[i].cx, ctx_->blobs[i].cy) < 3.0;
        EXPECT_TRUE(near) << "finger " << f.id;
    }
}

TEST_F(GhostRemoval, RealPolygonsEightMillimetresApartAreMerged) {
    // Two real contacts on a diagonal, 8 mm apart: both are confirmed, then the smaller goes.
    const double mmX = model_->geometry.ledsX * model_->geometry.mmPerLed();
    const double mmY = model_->geometry.ledsY * model_->geometry.mmPerLed();
    const double dx = 8.0 / std::sqrt(2.0) / mmX, dy = 8.0 / std::sqrt(2.0) / mmY;
    const double ax = 0.4, ay = 0.4, bx = ax + dx, by = ay + dy;
    ASSERT_NEAR(8.0, ScreenMm(*model_, ax, ay, bx, by), 1e-6);
    Shadows({{1, ax, ay, 4}, {2, bx, by, 4}});
    AddCandidate(ax, ay, 4);
    AddCandidate(bx, by, 6);
    Runs(2, 2);
    RemoveFalseBlobsEx2(ctx_.get());
    ASSERT_EQ(1, +ctx_->blobCount);
    EXPECT_TRUE(Kept(bx, by)) << "the larger polygon stays";

    // 12 mm apart both stay.
    ctx_->blobCount = 0;
    const double cx = ax + 1.5 * dx, cy = ay + 1.5 * dy;
    Shadows({{1, ax, ay, 4}, {2, cx, cy, 4}});
    AddCandidate(ax, ay, 4);
    AddCandidate(cx, cy, 6);
    Runs(2, 2);
    RemoveFalseBlobsEx2(ctx_.get());
    EXPECT_EQ(2, +ctx_->blobCount);
}

TEST_F(GhostRemoval, CrowdedBeamRecordsTheFirstTenPolygons) {
    // Twelve candidates on the same spot: every beam there is crossed by all of them.
    Shadows({{1, 0.5, 0.5, 10}});
    for (int i = 0; i < 12; ++i) AddCandidate(0.5, 0.5, 6 + 0.1 * i);
    Runs(2, 2);
    RemoveFalseBlobsEx2(ctx_.get());
    for (int i = 0; i < ctx_->entryCount * ctx_->linesX; ++i) {
        ASSERT_GE(+ctx_->beamHits[i].count, -1);
        ASSERT_LE(+ctx_->beamHits[i].count, PANORA_MAX_BEAM_BLOBS);
    }
    // The largest of the recorded ten explains the beams; the rest merge into it.
    ASSERT_EQ(1, +ctx_->blobCount);
    EXPECT_NEAR(SquareBlob(ctx_.get(), 0.5, 0.5, 6.9).area, ctx_->blobs[0].area, 1e-9);
}

TEST_F(GhostRemoval, SingleCandidateIsNeverTouched) {
    AddCandidate(0.5, 0.5, 8);
    Runs(2, 2);
    RemoveFalseBlobsEx2(ctx_.get());
    EXPECT_EQ(1, +ctx_->blobCount);
}

TEST_F(GhostRemoval, OlderVariantsKeepTheFingers) {
    const std::vector<VirtualFrame::Finger> fingers{{1, 0.3, 0.3, 10}, {2, 0.6, 0.6, 10}};
    for (int variant = 0; variant < 2; ++variant) {
        ctx_->blobCount = 0;
        Shadows(fingers);
        AddCandidate(0.3, 0.3, 8);
        AddCandidate(0.6, 0.3, 8);
        AddCandidate(0.3, 0.6, 8);
        AddCandidate(0.6, 0.6, 8);
        Runs(2, 2);
        if (variant == 0) {
            RemoveFalseBlobsEx(ctx_.get());
        } else {
            RemoveFalseBlobsEx1(ctx_.get());
        }
        EXPECT_EQ(2, +ctx_->blobCount) << "variant " << variant;
        EXPECT_TRUE(Kept(0.3, 0.3));
        EXPECT_TRUE(Kept(0.6, 0.6));
    }
}

TEST_F(GhostRemoval, OlderEdgeCornerAndStillRules) {
    // Two blobs a pitch apart at the left edge become one at their midpoint.
    const double px = ctx_->pitchX, py = ctx_->pitchY;
    ctx_->blobCount = 0;
    ctx_->blobs[0] = SquareBlob(ctx_.get(), 0.5 * px, 0.5, 3);
    ctx_->blobs[1] = SquareBlob(ctx_.get(), 1.5 * px, 0.5 + py, 3);
    ctx_->blobs[2] = SquareBlob(ctx_.get(), 0.5, 0.5, 3);
    ctx_->blobCount = ctx_->workCount = 3;
    EdgeProcess(ctx_.get());
    ASSERT_EQ(2, +ctx_->blobCount);
    EXPECT_NEAR(px, ctx_->blobs[0].cx, 1e-6);
    EXPECT_NEAR(0.5 + py / 2, ctx_->blobs[0].cy, 1e-6);

    // Later blobs in the same frame corner go; blobs elsewhere stay.
    ctx_->blobs[0] = SquareBlob(ctx_.get(), 0.02, 0.02, 6);
    ctx_->blobs[1] = SquareBlob(ctx_.get(), 0.03, 0.05, 6);
    ctx_->blobs[2] = SquareBlob(ctx_.get(), 0.5, 0.5, 6);
    ctx_->blobCount = ctx_->workCount = 3;
    RemoveFalseBlobs(ctx_.get());
    ASSERT_EQ(2, +ctx_->blobCount);
    EXPECT_NEAR(0.02, ctx_->blobs[0].cx, 1e-6);
    EXPECT_NEAR(0.5, ctx_->blobs[1].cx, 1e-6);

    // A lone touch that has not moved for over 1000 frames is hidden.
    ctx_->outBlobs = ctx_->blobs;
    ctx_->outBlobCount = 1;
    ctx_->rectCount = 1;
    ctx_->blobs[0].stillFrames = 1000;
    staticBlobsFilter(ctx_.get());
    EXPECT_EQ(1, +ctx_->outBlobCount);
    ctx_->blobs[0].stillFrames = 1001;
    staticBlobsFilter(ctx_.get());
    EXPECT_EQ(0, +ctx_->outBlobCount);
}

TEST_F(GhostRemoval, LargeBlobsAreMaskedOnRequest) {
    AddCandidate(0.3, 0.3, 8);
    AddCandidate(0.6, 0.6, 80);  // 80 mm square: far beyond 100 LED cells
    AddCandidate(0.8, 0.2, 8);
    MaskPoint(ctx_.get(), 0);
    EXPECT_EQ(3, +ctx_->blobCount);
    MaskPoint(ctx_.get(), 1);
    ASSERT_EQ(2, +ctx_->blobCount);
    EXPECT_TRUE(Kept(0.3, 0.3));
    EXPECT_TRUE(Kept(0.8, 0.2)) << "the last blob moves into the freed slot";
}

}  // namespace

namespace {

// On a 5-line frame a polygon near the edge is confirmed by two beams of its own; inside it
// needs three. Straight beams only: X owns two columns, a larger candidate G one column, and
// they share five rows. Confirmed at once, X explains the shared rows and G is left with too
// little; unconfirmed, G is taken first as the larger near-equal and both stay.
int SurvivorsWithXAtColumn(int xColumn) {
    const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel("21in-96x54-5line");
    EXPECT_NE(nullptr, model);
    VirtualFrame::BeamModel beams(*model);
    ContextPtr ctx = MakeContext(*model);
    std::vector<uint16_t> words = ClearWords(beams);
    BlockStraight(words, beams, VirtualFrame::Axis::Y, 20, 25);
    BlockStraight(words, beams, VirtualFrame::Axis::X, xColumn, xColumn + 2);
    BlockStraight(words, beams, VirtualFrame::Axis::X, 40, 41);
    LoadWords(ctx.get(), words);
    auto cell = [&](double x0, double x1, double y0, double y1) {
        _MINI_POLYGON b = SquareBlob(ctx.get(), 0, 0, 1);
        b.pts[0] =
            ODPoint{static_cast<float>(x0 * ctx->pitchX), static_cast<float>(y0 * ctx->pitchY)};
        b.pts[1] =
            ODPoint{static_cast<float>(x1 * ctx->pitchX), static_cast<float>(y0 * ctx->pitchY)};
        b.pts[2] =
            ODPoint{static_cast<float>(x1 * ctx->pitchX), static_cast<float>(y1 * ctx->pitchY)};
        b.pts[3] =
            ODPoint{static_cast<float>(x0 * ctx->pitchX), static_cast<float>(y1 * ctx->pitchY)};
        GetPolygonSize(&b);
        return b;
    };
    ctx->blobs[0] = cell(xColumn + 0.1, xColumn + 1.9, 20.1, 24.9);
    ctx->blobs[1] = cell(40.1, 41.9, 20.1, 26.9);
    ctx->blobCount = ctx->workCount = 2;
    ctx->runsX = ctx->runsY = 2;
    ctx->rectCount = 4;
    ctx->lastFrameBlobs = 2;
    ctx->deadBeam = 0;
    RemoveFalseBlobsEx2(ctx.get());
    return ctx->blobCount;
}

TEST(GhostRemovalThresholds, EdgePolygonsNeedFewerOwnBeams) {
    EXPECT_EQ(1, SurvivorsWithXAtColumn(2)) << "near the edge two own beams confirm X";
    EXPECT_EQ(2, SurvivorsWithXAtColumn(20)) << "inside, X waits and G is taken first";
}

}  // namespace

namespace {

// Two devices remove ghosts on their own threads at the same time: each keeps its own fingers,
// and the process-wide flag both write is no data race (the thread sanitizer build checks that).
TEST(GhostRemovalConcurrency, TwoDevicesAtOnceKeepTheirOwnFingers) {
    const VirtualFrame::FrameModel& model = VirtualFrame::defaultFrameModel();
    VirtualFrame::BeamModel beams(model);
    const double spots[2][2][2] = {{{0.3, 0.3}, {0.6, 0.6}}, {{0.25, 0.7}, {0.7, 0.35}}};
    ContextPtr ctx[2] = {MakeContext(model), MakeContext(model)};
    std::vector<uint16_t> words[2];
    for (int d = 0; d < 2; ++d) {
        words[d] = beams.scan(
            {{1, spots[d][0][0], spots[d][0][1], 10}, {2, spots[d][1][0], spots[d][1][1], 10}});
    }
    std::atomic<int> wrong[2] = {{0}, {0}};
    auto device = [&](int d) {
        CoreContext* c = ctx[d].get();
        const auto& s = spots[d];
        for (int round = 0; round < 200; ++round) {
            for (size_t e = 0; e < words[d].size(); ++e) c->scan[e] = words[d][e];
            const double cand[4][2] = {
                {s[0][0], s[0][1]}, {s[1][0], s[0][1]}, {s[0][0], s[1][1]}, {s[1][0], s[1][1]}};
            for (int i = 0; i < 4; ++i) {
                c->blobs[i] = SquareBlob(c, beams.frameX(cand[i][0]), beams.frameY(cand[i][1]), 8);
            }
            c->blobCount = c->workCount = 4;
            c->runsX = c->runsY = 2;
            c->rectCount = 4;
            c->lastFrameBlobs = 4;
            c->deadBeam = 0;
            RemoveFalseBlobsEx2(c);
            if (c->blobCount != 2) wrong[d] += 1;
        }
    };
    std::thread first(device, 0), second(device, 1);
    first.join();
    second.join();
    EXPECT_EQ(0, wrong[0].load());
    EXPECT_EQ(0, wrong[1].load());
    EXPECT_EQ(0, debugflag);
}

}  // namespace

namespace {

// Two confirmed contacts side by side in x: each owns the straight and slanted X beams of its
// own column, so beam explanation keeps both and only the 10 mm merge can remove one.
class NearPairMerge : public GhostRemoval, public ::testing::WithParamInterface<double> {};

TEST_P(NearPairMerge, ConfirmedContactsCloserThanTenMillimetresBecomeTheLarger) {
    const double apartMm = GetParam();
    const double mmX = model_->geometry.ledsX * model_->geometry.mmPerLed();
    const double ax = 0.4, ay = 0.45, bx = ax + apartMm / mmX;
    Shadows({{1, ax, ay, 4}, {2, bx, ay, 4}});
    AddCandidate(ax, ay, 3);
    AddCandidate(bx, ay, 4);
    Runs(2, 2);
    RemoveFalseBlobsEx2(ctx_.get());
    if (apartMm < 10.0) {
        ASSERT_EQ(1, +ctx_->blobCount);
        EXPECT_TRUE(Kept(bx, ay)) << "the larger polygon stays";
    } else {
        EXPECT_EQ(2, +ctx_->blobCount);
    }
}

INSTANTIATE_TEST_SUITE_P(BothSides, NearPairMerge, ::testing::Values(9.0, 11.0));

}  // namespace
