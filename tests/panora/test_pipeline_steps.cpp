// Steps of the per-frame pipeline that belong to the entry point itself: dropping palm-sized
// blobs on request and the hold-and-confirm limits chosen by screen size and scan speed.
#include <gtest/gtest.h>

#include <vector>

#include "PanoraCore.h"
#include "VirtualFrame/FrameModel.h"
#include "test_blobs_support.h"

using blobtest::Pipeline;
using VirtualFrame::Finger;

namespace {

std::vector<blobtest::Touch> RunFrames(Pipeline& p, const std::vector<Finger>& fingers, int frames) {
    std::vector<blobtest::Touch> touches;
    for (int i = 0; i < frames; ++i) touches = p.Step(fingers);
    return touches;
}

// Frames until a finger appearing on a clear frame is first reported.
int FramesUntilReported(const char* model, uint32_t fastFrame) {
    Pipeline p(*VirtualFrame::findFrameModel(model));
    p.ctx()->fastFrame = fastFrame;
    RunFrames(p, {}, 3);
    for (int frame = 1; frame <= 10; ++frame) {
        if (!p.Step({Finger{1, 0.4, 0.6, 10.0}}).empty()) return frame;
    }
    return -1;
}

}  // namespace

TEST(PipelineSteps, PalmSizedBlobsAreDroppedOnlyOnRequest) {
    const std::vector<Finger> palmAndFinger = {{1, 0.3, 0.4, 80.0}, {2, 0.75, 0.7, 10.0}};
    Pipeline keep(VirtualFrame::defaultFrameModel());
    EXPECT_EQ(RunFrames(keep, palmAndFinger, 8).size(), 2u);

    Pipeline drop(VirtualFrame::defaultFrameModel());
    drop.ctx()->dropLargeBlobs = 1;
    const auto touches = RunFrames(drop, palmAndFinger, 8);
    ASSERT_EQ(touches.size(), 1u);
    EXPECT_LT(drop.Mm(touches[0].x, touches[0].y, 0.75, 0.7), 5.0);
}

TEST(PipelineSteps, LargeSlowScreensConfirmTouchesSooner) {
    // 46 inches or more without fast frames: confirmed at age 3, which a lone new touch has at
    // once; otherwise at age 5, two frames later.
    EXPECT_EQ(FramesUntilReported("48in-144x82-7line-tr48", 0), 1);
    EXPECT_EQ(FramesUntilReported("48in-144x82-7line-tr48", 1), 3);
    EXPECT_EQ(FramesUntilReported("32in-144x80-7line", 0), 3);
}
