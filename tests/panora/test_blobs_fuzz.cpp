// Whatever beam words a frame sends, the pipeline stays inside its context and its tables.
#include <gtest/gtest.h>

#include <random>

#include "test_blobs_support.h"

using namespace blobtest;

namespace {

constexpr size_t kGuardBytes = 4096;
constexpr uint8_t kGuardByte = 0x5A;

// A context with guard zones on both sides, so that a stray write shows even without a
// sanitizer.
class GuardedContext {
public:
    explicit GuardedContext(const VirtualFrame::FrameModel& model)
        : memory_(sizeof(CoreContext) + 2 * kGuardBytes, kGuardByte) {
        ContextPtr made = MakeContext(model);
        std::memcpy(ctx(), made.get(), sizeof(CoreContext));
        ctx()->smoothPtr = &ctx()->smooth;
    }
    CoreContext* ctx() { return reinterpret_cast<CoreContext*>(memory_.data() + kGuardBytes); }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuardBytes; ++i) {
            if (memory_[i] != kGuardByte) return false;
            if (memory_[kGuardBytes + sizeof(CoreContext) + i] != kGuardByte) return false;
        }
        return true;
    }

private:
    std::vector<uint8_t> memory_;
};

void ExpectSane(CoreContext* ctx, const std::string& where) {
    ASSERT_GE(+ctx->outBlobCount, 0) << where;
    ASSERT_LE(+ctx->outBlobCount, PANORA_MAX_POLYGONS) << where;
    ASSERT_GE(+ctx->blobCount, 0) << where;
    ASSERT_LE(+ctx->blobCount, PANORA_MAX_POLYGONS) << where;
    ASSERT_LE(+ctx->rectCount, PANORA_MAX_RECTS) << where;
    ASSERT_LE(+ctx->transientCount, PANORA_MAX_POLYGONS) << where;
    ASSERT_LE(+ctx->trackCount, PANORA_MAX_TRACKS) << where;
    ASSERT_LE(+ctx->smooth.pathCount, PANORA_MAX_PATHS) << where;
    ASSERT_EQ(+ctx->blobs, +ctx->outBlobs) << where;
    for (int i = 0; i < ctx->outBlobCount; ++i) {
        const _MINI_POLYGON& b = ctx->outBlobs[i];
        ASSERT_LE(+b.ptCount, PANORA_MAX_VERTICES) << where;
        ASSERT_GE(+b.id, 0) << where;
        ASSERT_LT(+b.id, PANORA_MAX_IDS) << where;
        ASSERT_GE(+b.cx, 0.0f) << where;
        ASSERT_LE(+b.cx, 1.0f) << where;
        ASSERT_GE(+b.cy, 0.0f) << where;
        ASSERT_LE(+b.cy, 1.0f) << where;
    }
}

class RandomBeamWords : public ::testing::TestWithParam<size_t> {};

TEST_P(RandomBeamWords, PipelineStaysInBounds) {
    const VirtualFrame::FrameModel& model = VirtualFrame::frameModels()[GetParam()];
    GuardedContext guarded(model);
    CoreContext* ctx = guarded.ctx();
    ASSERT_EQ(1u, +ctx->ready);
    float slopes[PANORA_SLOPE_COUNT];
    std::memcpy(slopes, ctx->lineSlope, sizeof(slopes));
    const int entries = ctx->entryCount;

    std::mt19937 rng(static_cast<uint32_t>(1000 + GetParam()));
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    const double densities[] = {0.01, 0.05, 0.3, 0.7, 1.0};
    int framesWithTouches = 0, framesAtPolygonCap = 0;
    for (int frame = 0; frame < 50; ++frame) {
        // Blocked beams at densities held for a few frames each, random junk in the unused high
        // bits, and now and then another search mode.
        const double density = densities[(frame / 5) % 5];
        std::bernoulli_distribution blocked(density);
        // Every third block of frames blocks all slanted beams: nothing carves the straight
        // shadows, so the polygon table fills up.
        const bool uncarved = (frame / 5) % 3 == 2;
        const uint16_t straight = static_cast<uint16_t>(1u << ctx->halfLinesX);
        for (int e = 0; e < entries; ++e) {
            uint16_t w = static_cast<uint16_t>(word(rng));
            for (int bit = 0; bit < 16; ++bit) {
                if (!blocked(rng)) w = static_cast<uint16_t>(w | (1u << bit));
            }
            if (uncarved) w = static_cast<uint16_t>((w & straight) | 0x8000);
            ctx->scan[e] = w;
        }
        ctx->findMode = static_cast<uint8_t>(frame % 7 == 6 ? 2 + frame % 3 : 1);
        ctx->dropLargeBlobs = frame % 4 == 3 ? 1 : 0;
        ASSERT_EQ(1u, OrdaloUpdateBlobs(ctx));
        ExpectSane(ctx, model.name + " frame " + std::to_string(frame));
        if (ctx->outBlobCount > 0) ++framesWithTouches;
        if (ctx->lastFrameBlobs >= PANORA_DETECT_POLYGONS) ++framesAtPolygonCap;
        ASSERT_EQ(0, std::memcmp(slopes, ctx->lineSlope, sizeof(slopes)));
        ASSERT_EQ(entries, +ctx->entryCount);
        ASSERT_TRUE(guarded.GuardsIntact()) << model.name;
    }
    EXPECT_GT(framesWithTouches, 0) << "no frame reached the tracker's output";
    EXPECT_GT(framesAtPolygonCap, 0) << "no frame filled the polygon table";
}

TEST_P(RandomBeamWords, RandomRawFramesStayInBounds) {
    const VirtualFrame::FrameModel& model = VirtualFrame::frameModels()[GetParam()];
    GuardedContext guarded(model);
    CoreContext* ctx = guarded.ctx();
    std::mt19937 rng(static_cast<uint32_t>(77 + GetParam()));
    std::uniform_int_distribution<int> byte(0, 255);
    for (int frame = 0; frame < 20; ++frame) {
        std::vector<uint8_t> raw(PANORA_MAX_RAW);
        // Mostly-clear frames with sparse junk look like touches; pure noise like a broken link.
        for (uint8_t& b : raw) b = static_cast<uint8_t>(frame % 2 ? byte(rng) : (byte(rng) | 0xF0));
        OrdaloDataFill(ctx, raw.data(), static_cast<uint32_t>(raw.size()));
        OrdaloDataFix(ctx);
        ASSERT_EQ(1u, OrdaloUpdateBlobs(ctx));
        ExpectSane(ctx, model.name + " raw frame " + std::to_string(frame));
        ASSERT_TRUE(guarded.GuardsIntact()) << model.name;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryModel, RandomBeamWords,
                         ::testing::Range<size_t>(0, VirtualFrame::frameModels().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string name = VirtualFrame::frameModels()[info.param].name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
