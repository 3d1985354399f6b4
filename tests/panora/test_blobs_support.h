// Shared helpers of the blob, ghost, rescue, tracking and pipeline tests: a set-up context for a
// catalogue model, beam words built by hand or from fingers, and a frame driver.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PanoraCore.h"
#include "PanoraTestSupport.h"
#include "VirtualFrame/BeamModel.h"
#include "VirtualFrame/FrameModel.h"

namespace blobtest {

struct FreeContext {
    void operator()(CoreContext* ctx) const { std::free(ctx); }
};
using ContextPtr = std::unique_ptr<CoreContext, FreeContext>;

inline SetupParams ParamsFor(const VirtualFrame::FrameGeometry& g) {
    return panora_test::ParamsFor(panora_test::Geometry{
        static_cast<float>(g.screenInches), g.ledsX, g.ledsY, g.linesX, g.linesY, g.gapX, g.gapY});
}

// A context as the service prepares it: no virtual LEDs, fast frames, background erasing on.
// The memory starts as garbage on purpose, as a caller's allocation may.
inline ContextPtr MakeContext(const VirtualFrame::FrameModel& model) {
    auto* raw = static_cast<CoreContext*>(std::malloc(sizeof(CoreContext)));
    std::memset(raw, 0xA5, sizeof(CoreContext));
    ContextPtr ctx(raw);
    ctx->padLedsX = 0;
    ctx->padLedsY = 0;
    SetupParams p = ParamsFor(model.geometry);
    EXPECT_EQ(1u, OrdaloScreenSetup(ctx.get(), &p)) << model.name;
    ctx->fastFrame = 1;
    ctx->eraseBackground = 1;
    ctx->penEnabled = 0;
    OrdaloScreenCalibration(ctx.get(), ODPoint{0, 0}, ODPoint{1, 1}, ODPoint{0, 0}, ODPoint{1, 1});
    // The axis flips the model's decoder leaves behind, for tests that skip decoding.
    ctx->mirrorX = model.mirrorX ? 1 : 0;
    ctx->mirrorY = model.mirrorY ? 1 : 0;
    return ctx;
}

// Beam words with every existing beam arrived.
inline std::vector<uint16_t> ClearWords(const VirtualFrame::BeamModel& beams) {
    std::vector<uint16_t> words(beams.entryCount());
    for (int e = 0; e < beams.entryCount(); ++e) words[e] = beams.existingMask(e);
    return words;
}

inline void Block(std::vector<uint16_t>& words, const VirtualFrame::BeamModel& beams,
                  VirtualFrame::Axis axis, int led, int line) {
    const int e = beams.entryOf(axis, led);
    words[e] = static_cast<uint16_t>(words[e] & ~(1u << beams.bitOf(axis, line)));
}

// Blocks every line of the LEDs in [from, to): a hand-made shadow that no slanted band can carve.
inline void BlockAllLines(std::vector<uint16_t>& words, const VirtualFrame::BeamModel& beams,
                          VirtualFrame::Axis axis, int from, int to) {
    for (int led = from; led < to; ++led) words[beams.entryOf(axis, led)] = 0;
}

inline void BlockStraight(std::vector<uint16_t>& words, const VirtualFrame::BeamModel& beams,
                          VirtualFrame::Axis axis, int from, int to) {
    for (int led = from; led < to; ++led) Block(words, beams, axis, led, 0);
}

inline void LoadWords(CoreContext* ctx, const std::vector<uint16_t>& words) {
    ASSERT_LE(words.size(), static_cast<size_t>(PANORA_MAX_ENTRIES));
    for (size_t e = 0; e < words.size(); ++e) ctx->scan[e] = words[e];
}

// Millimetre distance between two screen positions on a model.
inline double ScreenMm(const VirtualFrame::FrameModel& model, double ax, double ay, double bx,
                       double by) {
    const double mm = model.geometry.mmPerLed();
    return std::hypot((ax - bx) * model.geometry.ledsX * mm, (ay - by) * model.geometry.ledsY * mm);
}

// Screen position (0..1) of a frame-unit position on this model.
inline double ScreenX(const VirtualFrame::FrameModel& model, double frameX) {
    return model.mirrorX ? 1.0 - frameX : frameX;
}
inline double ScreenY(const VirtualFrame::FrameModel& model, double frameY) {
    return model.mirrorY ? 1.0 - frameY : frameY;
}

// A square blob of side `sideMm` centred on a frame position, as detection would hand it on.
inline _MINI_POLYGON SquareBlob(const CoreContext* ctx, double fx, double fy, double sideMm) {
    _MINI_POLYGON b;
    std::memset(&b, 0, sizeof(b));
    const float hx = static_cast<float>(sideMm / 2 / ctx->mmPerLed * ctx->pitchX);
    const float hy = static_cast<float>(sideMm / 2 / ctx->mmPerLed * ctx->pitchY);
    const float x = static_cast<float>(fx), y = static_cast<float>(fy);
    b.pts[0] = ODPoint{x - hx, y - hy};
    b.pts[1] = ODPoint{x + hx, y - hy};
    b.pts[2] = ODPoint{x + hx, y + hy};
    b.pts[3] = ODPoint{x - hx, y + hy};
    b.ptCount = 4;
    GetPolygonSize(&b);
    b.id = -1;
    b.age = -1;
    return b;
}

}  // namespace blobtest

#include "VirtualFrame/RawEncoder.h"

namespace blobtest {

// A set-up context for the default model with all beams arrived in `words_`.
class DefaultModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = &VirtualFrame::defaultFrameModel();
        beams_ = std::make_unique<VirtualFrame::BeamModel>(*model_);
        ctx_ = MakeContext(*model_);
        words_ = ClearWords(*beams_);
        LoadWords(ctx_.get(), words_);
    }

    const VirtualFrame::FrameModel* model_ = nullptr;
    std::unique_ptr<VirtualFrame::BeamModel> beams_;
    ContextPtr ctx_;
    std::vector<uint16_t> words_;
};

struct Touch {
    int id;
    double x, y;  // screen, 0..1
    int age;
};

// Feeds frames through the library as the service does: raw content from the model's encoder,
// then fill, fix and the pipeline.
class Pipeline {
public:
    explicit Pipeline(const VirtualFrame::FrameModel& model)
        : model_(model), beams_(model), ctx_(MakeContext(model)) {}

    std::vector<Touch> Step(const std::vector<VirtualFrame::Finger>& fingers) {
        return StepWords(beams_.scan(fingers));
    }

    std::vector<Touch> StepWords(const std::vector<uint16_t>& words) {
        const std::vector<uint8_t> raw = VirtualFrame::encodeScan(model_, words);
        OrdaloDataFill(ctx_.get(), raw.data(), static_cast<uint32_t>(raw.size()));
        OrdaloDataFix(ctx_.get());
        EXPECT_EQ(1u, OrdaloUpdateBlobs(ctx_.get()));
        std::vector<Touch> out;
        for (int i = 0; i < ctx_->outBlobCount; ++i) {
            const _MINI_POLYGON& b = ctx_->outBlobs[i];
            out.push_back(Touch{b.id, b.cx, b.cy, b.age});
        }
        return out;
    }

    CoreContext* ctx() { return ctx_.get(); }
    VirtualFrame::BeamModel& beams() { return beams_; }
    const VirtualFrame::FrameModel& model() const { return model_; }
    double Mm(double ax, double ay, double bx, double by) const {
        return ScreenMm(model_, ax, ay, bx, by);
    }

private:
    VirtualFrame::FrameModel model_;
    VirtualFrame::BeamModel beams_;
    ContextPtr ctx_;
};

}  // namespace blobtest
