// Lone-touch rescue on hand-built beam words (default model).
#include <gtest/gtest.h>

#include "test_blobs_support.h"

using namespace blobtest;
using VirtualFrame::Axis;

namespace {

class LoneTouch : public DefaultModelTest {
protected:
    // Ghost removal left nothing; detection saw one rectangle of one X and one Y LED.
    void OneCellRect(int xLed, int yLed) {
        ctx_->blobCount = ctx_->workCount = 0;
        ctx_->rects[0] =
            ShadowRect{ctx_->ledCountY + 1 + xLed, ctx_->ledCountY + 2 + xLed, yLed, yLed + 1};
        ctx_->rectCount = 1;
    }

    // Every beam through the frame position of the cell's centre, as a thin contact would block.
    void BlockThrough(int xLed, int yLed) {
        const VirtualFrame::Finger thin{1, beams_->frameX((xLed + 0.5) / ctx_->ledCountX),
                                        beams_->frameY((yLed + 0.5) / ctx_->ledCountY), 2.0};
        for (const VirtualFrame::Beam& b : beams_->blockedBy(thin))
            Block(words_, *beams_, b.axis, b.led, b.line);
    }
};

TEST_F(LoneTouch, SlantedBeamsThroughTheCentreConfirmTheRectangle) {
    BlockThrough(30, 20);
    LoadWords(ctx_.get(), words_);
    OneCellRect(30, 20);
    SingleTouchEx(ctx_.get());
    ASSERT_EQ(1, +ctx_->blobCount);
    const _MINI_POLYGON& b = ctx_->blobs[0];
    EXPECT_EQ(4, +b.ptCount);
    EXPECT_NEAR(30.5 * ctx_->pitchX, b.cx, 1e-6);
    EXPECT_NEAR(20.5 * ctx_->pitchY, b.cy, 1e-6);
    EXPECT_NEAR(ctx_->pitchX * ctx_->pitchY, b.area, 1e-9);
}

TEST_F(LoneTouch, StraightBeamsAloneAreNotEnough) {
    // A blocked straight beam pair with every slanted beam arrived: a fault, not a finger.
    BlockStraight(words_, *beams_, Axis::X, 30, 31);
    BlockStraight(words_, *beams_, Axis::Y, 20, 21);
    LoadWords(ctx_.get(), words_);
    OneCellRect(30, 20);
    SingleTouchEx(ctx_.get());
    EXPECT_EQ(0, +ctx_->blobCount);
}

TEST_F(LoneTouch, ExistingBlobOrNoRectangleIsLeftAlone) {
    BlockThrough(30, 20);
    LoadWords(ctx_.get(), words_);
    OneCellRect(30, 20);
    ctx_->blobs[0] = SquareBlob(ctx_.get(), 0.7, 0.7, 8);
    const _MINI_POLYGON before = ctx_->blobs[0];
    ctx_->blobCount = ctx_->workCount = 1;
    SingleTouchEx(ctx_.get());
    EXPECT_EQ(1, +ctx_->blobCount);
    EXPECT_EQ(0, std::memcmp(&before, &ctx_->blobs[0], sizeof(before)));

    ctx_->blobCount = ctx_->workCount = 0;
    ctx_->rectCount = 0;
    SingleTouchEx(ctx_.get());
    EXPECT_EQ(0, +ctx_->blobCount);
}

TEST_F(LoneTouch, NeighboursNeverReachIntoTheOtherAxis) {
    // A cell in the corner of X LED 0 and Y LED 0: the X lines' left neighbour would be the
    // last Y entry, which is fully blocked here. Its own three lines count; reading it again
    // through the X lines would make six.
    words_[ctx_->ledCountY - 1] = 0;
    LoadWords(ctx_.get(), words_);
    OneCellRect(0, 0);
    SingleTouchEx(ctx_.get());
    EXPECT_EQ(0, +ctx_->blobCount);
}

TEST_F(LoneTouch, OlderEstimatorAveragesBeamCrossings) {
    BlockThrough(30, 20);
    LoadWords(ctx_.get(), words_);
    ctx_->blobCount = ctx_->workCount = 0;
    ctx_->frameCounter = 10;
    SingleTouch(ctx_.get(), 2);
    EXPECT_EQ(0, +ctx_->blobCount) << "too early after set-up";
    ctx_->frameCounter = 100;
    SingleTouch(ctx_.get(), 2);
    ASSERT_EQ(1, +ctx_->blobCount);
    EXPECT_EQ(1u, +ctx_->blobs[0].kind);
    EXPECT_LT(ScreenMm(*model_, ctx_->blobs[0].cx, ctx_->blobs[0].cy, 30.5 * ctx_->pitchX,
                       20.5 * ctx_->pitchY),
              6.0);

    // Two beams of different axes cross where both centre lines meet.
    const BeamRef straightY{ctx_->ledCountY - 1 - 20, ctx_->halfLinesY};
    const BeamRef straightX{ctx_->ledCountY + 30, ctx_->halfLinesX};
    const ODPoint p = Mini_Point_To_Point(ctx_.get(), straightY, straightX);
    EXPECT_NEAR(30.5 * ctx_->pitchX, p.x, 1e-6);
    EXPECT_NEAR(20.5 * ctx_->pitchY, p.y, 1e-6);
    const ODPoint none = Mini_Point_To_Point(ctx_.get(), straightY, straightY);
    EXPECT_EQ(-1.0f, +none.x) << "parallel beams never meet";
}

}  // namespace
