// Screen set-up: derived geometry, limits of the context, calibration record, pipeline gate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "PanoraCore.h"
#include "PanoraTestSupport.h"

using panora_test::DefaultPanel;
using panora_test::Geometry;
using panora_test::NewContext;
using panora_test::ParamsFor;
using panora_test::ReadyContext;

TEST(ScreenSetup, DerivesTheGeometryOfTheDefaultPanel) {
    auto ctx = ReadyContext(DefaultPanel());
    EXPECT_EQ(+ctx->ready, 1u);
    EXPECT_EQ(+ctx->ledCountX, 72);
    EXPECT_EQ(+ctx->ledCountY, 58);
    EXPECT_EQ(+ctx->entryCount, 130);
    EXPECT_FLOAT_EQ(ctx->pitchX, 1.0f / 72);
    EXPECT_FLOAT_EQ(ctx->pitchY, 1.0f / 58);
    EXPECT_FLOAT_EQ(ctx->mmPerLed, static_cast<float>(19 * 25.4 / std::sqrt(72.0 * 72 + 58 * 58)));
    EXPECT_NEAR(ctx->mmPerLed, 5.22, 0.01);
    EXPECT_FLOAT_EQ(ctx->minArea, 0.25f / (72 * 58));
    EXPECT_FLOAT_EQ(ctx->cornerRadius, 10.0f / 72);
    EXPECT_EQ(+ctx->halfLinesX, 3);
    EXPECT_EQ(+ctx->halfLinesY, 3);
    EXPECT_EQ(+ctx->findMode, 1);
    EXPECT_EQ(+ctx->fastFrame, 1u);
    EXPECT_EQ(+ctx->eraseBackground, 1u);
    EXPECT_EQ(+ctx->mirrorX, 1u);
    EXPECT_EQ(+ctx->mirrorY, 1u);
    EXPECT_FLOAT_EQ(ctx->pairGate, 0.05f);
    EXPECT_EQ(+ctx->maxBlobs, 10u);
    EXPECT_EQ(g_smi.smoothEnabled, 1u);
    EXPECT_EQ(+ctx->smoothPtr, &ctx->smooth);
    EXPECT_EQ(+ctx->historySlot, 0);
    for (int e = 0; e < 1024; ++e) ASSERT_EQ(+ctx->background[e], 0xFFFF) << e;

    // Y lines: y = y0 + s x with s = -pitchY gapY i; X lines: slope 1 / (gapX pitchX j).
    EXPECT_FLOAT_EQ(ctx->lineSlope[0], 3 * 5.0f / 58);
    EXPECT_FLOAT_EQ(ctx->lineSlope[3], 0.0f);
    EXPECT_FLOAT_EQ(ctx->lineSlope[6], -3 * 5.0f / 58);
    EXPECT_FLOAT_EQ(ctx->lineSlope[7 + 3], 0.0f);
    EXPECT_FLOAT_EQ(ctx->lineSlope[7 + 3 + 1], 72.0f / 6);
    EXPECT_FLOAT_EQ(ctx->lineSlope[7 + 3 - 3], -72.0f / 18);

    // The mapping prepared at set-up is the identity around the centre.
    EXPECT_FLOAT_EQ(ctx->mapCentre.x, 0.5f);
    EXPECT_FLOAT_EQ(ctx->mapCentre.y, 0.5f);
    ODPoint p{0.3f, 0.8f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &p), 5u);
    EXPECT_NEAR(p.x, 0.3f, 1e-6);
    EXPECT_NEAR(p.y, 0.8f, 1e-6);
}

TEST(ScreenSetup, CountsVirtualLedsOnBothSides) {
    Geometry g = DefaultPanel();
    g.ledsX = 100;
    g.padX = 2;
    auto ctx = ReadyContext(g);
    EXPECT_EQ(+ctx->ledCountX, 104);
    EXPECT_EQ(+ctx->ledCountY, 58);
    EXPECT_FLOAT_EQ(ctx->cornerRadius, 10.0f / 104);
    EXPECT_FLOAT_EQ(ctx->pitchX, 1.0f / 104);
    EXPECT_EQ(+ctx->entryCount, 162);
}

TEST(ScreenSetup, RefusesGeometriesTheContextCannotHold) {
    struct Case {
        const char* what;
        Geometry g;
    };
    const Case cases[] = {
        {"more than 1024 entries", {19.0f, 600, 425, 7, 7, 6, 5}},
        {"virtual LEDs past 1024 entries", {19.0f, 600, 420, 7, 7, 6, 5, 2, 1}},
        {"more than 14336 beams", {40.0f, 600, 400, 15, 15, 2, 2}},
        {"16 lines", {40.0f, 100, 60, 16, 16, 2, 2}},
        {"no lines", {40.0f, 100, 60, 0, 7, 2, 2}},
        {"even lines: no straight beam", {19.0f, 72, 58, 6, 6, 6, 5}},
        {"more X lines than the Y lines' table block", {19.0f, 72, 58, 11, 7, 6, 5}},
        {"one Y line under seven X lines", {40.0f, 100, 60, 7, 1, 2, 2}},
        {"no LEDs", {19.0f, 0, 58, 7, 7, 6, 5}},
        {"negative virtual LEDs", {19.0f, 72, 58, 7, 7, 6, 5, -1, 0}},
        {"zero gap", {19.0f, 72, 58, 7, 7, 0, 5}},
        {"zero screen", {0.0f, 72, 58, 7, 7, 6, 5}},
        {"NaN screen", {std::nanf(""), 72, 58, 7, 7, 6, 5}},
        {"emitter-side model past 576 entries", {70.0f, 400, 177, 7, 7, 14, 14}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto ctx = ReadyContext(DefaultPanel());
        ctx->padLedsX = c.g.padX;
        ctx->padLedsY = c.g.padY;
        SetupParams p = ParamsFor(c.g);
        EXPECT_EQ(OrdaloScreenSetup(ctx.get(), &p), 0u);
        EXPECT_EQ(+ctx->ready, 0u);
        // Nothing of the refused geometry reaches a frame.
        ctx->outBlobCount = 7;
        EXPECT_EQ(OrdaloUpdateBlobs(ctx.get()), 0u);
        EXPECT_EQ(+ctx->outBlobCount, 7);
        const std::vector<uint8_t> raw(2048, 0x55);
        panora_test::FillAndFix(ctx.get(), raw);
        EXPECT_EQ(+ctx->frameCounter, 0u);
    }
    auto ctx = NewContext();
    EXPECT_EQ(OrdaloScreenSetup(ctx.get(), nullptr), 0u);
    EXPECT_EQ(OrdaloScreenSetup(nullptr, nullptr), 0u);
}

TEST(ScreenSetup, AcceptsGeometriesAtTheLimits) {
    const Geometry cases[] = {
        {19.0f, 600, 424, 7, 7, 6, 5},        // 1024 entries
        {40.0f, 560, 395, 15, 15, 2, 2},      // 955 entries x 15 lines = 14325 beams
        {70.0f, 400, 176, 7, 7, 14, 14},      // 576 entries of the emitter-side model
        {19.0f, 400, 300, 7, 7, 5, 5},        // byte-per-LED models have no 576 limit
        {19.0f, 500, 500, 7, 7, 6, 5, 6, 6},  // virtual LEDs up to 1024 entries
    };
    for (const Geometry& g : cases) {
        SCOPED_TRACE(g.ledsX);
        auto ctx = ReadyContext(g);
        EXPECT_EQ(+ctx->ready, 1u);
        // A frame of the right size goes through every step without leaving the context.
        const std::vector<uint8_t> raw(2048, 0x00);
        panora_test::FillAndFix(ctx.get(), raw);
        EXPECT_EQ(OrdaloUpdateBlobs(ctx.get()), 1u);
    }
}

TEST(ScreenSetup, UpdateBlobsOnAContextNeverSetUpReturnsZero) {
    auto ctx = NewContext();
    ctx->outBlobCount = 3;
    EXPECT_EQ(OrdaloUpdateBlobs(ctx.get()), 0u);
    EXPECT_EQ(+ctx->outBlobCount, 3);
    EXPECT_EQ(OrdaloUpdateBlobs(nullptr), 0u);
}

TEST(ScreenSetup, AClearFrameGivesNoTouches) {
    auto ctx = ReadyContext(DefaultPanel());
    const std::vector<uint8_t> raw(130, 0x00);  // the default panel sends blocked beams as 1
    for (int i = 0; i < 3; ++i) {
        panora_test::FillAndFix(ctx.get(), raw);
        EXPECT_EQ(OrdaloUpdateBlobs(ctx.get()), 1u);
        EXPECT_EQ(+ctx->outBlobCount, 0);
        EXPECT_EQ(+ctx->outBlobs, +ctx->blobs);
    }
}

TEST(ScreenCalibration, StoresPointsAndRatiosWithoutChangingTheMapping) {
    auto ctx = ReadyContext(DefaultPanel());
    EXPECT_EQ(
        OrdaloScreenCalibration(ctx.get(), {0.1f, 0.2f}, {0.9f, 0.8f}, {0.0f, 0.0f}, {0.8f, 0.3f}),
        1u);
    EXPECT_FLOAT_EQ(ctx->calPoints[1].x, 0.9f);
    EXPECT_FLOAT_EQ(ctx->calRatioX, 0.8f / 0.8f);
    EXPECT_FLOAT_EQ(ctx->calRatioY, 0.6f / 0.3f);

    // p3.x = p2.x: the ratio is not a number, and frames are mapped as before.
    EXPECT_EQ(
        OrdaloScreenCalibration(ctx.get(), {0.1f, 0.2f}, {0.9f, 0.8f}, {0.5f, 0.0f}, {0.5f, 1.0f}),
        1u);
    EXPECT_FALSE(std::isfinite(ctx->calRatioX));
    ctx->blobCount = 1;
    ctx->blobs[0] = _MINI_POLYGON{};
    ctx->blobs[0].cx = 0.25f;
    ctx->blobs[0].cy = 0.6f;
    CalibrationPoints(ctx.get());
    ASSERT_EQ(+ctx->blobCount, 1);
    EXPECT_NEAR(ctx->blobs[0].cx, 0.75f, 1e-6);
    EXPECT_NEAR(ctx->blobs[0].cy, 0.4f, 1e-6);
}

TEST(ScreenSetup, EveryAcceptedGeometryRunsFramesInsideTheContext) {
    // Whatever set-up accepts, later frames must stay within the context's arrays (ASan and
    // UBSan builds check every index).
    std::mt19937 rng(77);
    auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
    int accepted = 0;
    for (int round = 0; round < 400 && accepted < 40; ++round) {
        Geometry g{static_cast<float>(pick(10, 130)),
                   pick(1, 200),
                   pick(1, 120),
                   pick(1, 16),
                   pick(1, 16),
                   pick(1, 20),
                   pick(1, 20),
                   pick(0, 4),
                   pick(0, 4)};
        auto ctx = NewContext();
        ctx->padLedsX = g.padX;
        ctx->padLedsY = g.padY;
        SetupParams p = ParamsFor(g);
        if (OrdaloScreenSetup(ctx.get(), &p) != 1) continue;
        ++accepted;
        SCOPED_TRACE(::testing::Message() << g.inches << " in " << g.ledsX << "x" << g.ledsY
                                          << " lines " << g.linesX << "/" << g.linesY);
        for (int frame = 0; frame < 4; ++frame) {
            std::vector<uint8_t> raw(rng() % 2049);
            for (auto& b : raw) b = static_cast<uint8_t>(rng() | rng());
            panora_test::FillAndFix(ctx.get(), raw);
            EXPECT_EQ(OrdaloUpdateBlobs(ctx.get()), 1u);
            ASSERT_LE(+ctx->outBlobCount, PANORA_MAX_IDS);
        }
    }
    EXPECT_GE(accepted, 20);
}

TEST(ScreenSetup, RepeatedSetUpStartsAfresh) {
    auto ctx = ReadyContext(DefaultPanel());
    const std::vector<uint8_t> blocked(130, 0x7F);  // every beam of every LED blocked
    for (int i = 0; i < 120; ++i) {
        panora_test::FillAndFix(ctx.get(), blocked);
        ctx->lastFrameBlobs = 0;
    }
    ASSERT_NE(+ctx->background[0], 0xFFFF) << "the frame was learned as background";
    ctx->blobCount = 5;
    ctx->transientCount = 3;
    ctx->trackCount = 3;
    ctx->lastId = 9;
    ctx->dropLargeBlobs = 1;
    ctx->mirrorX = 0;
    OrdaloScreenCalibration(ctx.get(), {0.1f, 0.1f}, {0.5f, 0.9f}, {0.0f, 0.0f}, {0.5f, 0.5f});

    // The same device after a reconnection, now with virtual LEDs on X.
    ctx->padLedsX = 1;
    SetupParams p = ParamsFor(DefaultPanel());
    ASSERT_EQ(OrdaloScreenSetup(ctx.get(), &p), 1u);
    EXPECT_EQ(+ctx->ledCountX, 74);
    EXPECT_EQ(+ctx->entryCount, 132);
    EXPECT_EQ(+ctx->frameCounter, 0u);
    EXPECT_EQ(+ctx->blobCount, 0);
    EXPECT_EQ(+ctx->transientCount, 0);
    EXPECT_EQ(+ctx->trackCount, 0);
    EXPECT_EQ(+ctx->lastId, 0u);
    EXPECT_EQ(+ctx->dropLargeBlobs, 0u);
    EXPECT_EQ(+ctx->mirrorX, 1u);
    EXPECT_EQ(+ctx->historySlot, 0);
    for (int e = 0; e < 132; ++e) ASSERT_EQ(+ctx->background[e], 0xFFFF) << e;
    for (int b = 0; b < PANORA_MAX_BEAMS; ++b) ASSERT_EQ(+ctx->beamBalance[b], 0) << b;
    for (int e = 0; e < 132; ++e) ASSERT_EQ(+ctx->scanHistory[0][e], 0xFFFF) << e;
    const ODPoint cal[4] = {{0, 0}, {1, 1}, {0, 0}, {1, 1}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(ctx->calPoints[i].x, cal[i].x);
        EXPECT_FLOAT_EQ(ctx->calPoints[i].y, cal[i].y);
    }
    EXPECT_FLOAT_EQ(ctx->calRatioX, 1.0f);
    EXPECT_FLOAT_EQ(ctx->calRatioY, 1.0f);

    // Frames of the new geometry carry the virtual LEDs once.
    panora_test::FillAndFix(ctx.get(), std::vector<uint8_t>(130, 0x00));
    EXPECT_EQ(+ctx->entryCount, 132);
    EXPECT_EQ(+ctx->scan[58], 0x80);
    EXPECT_EQ(+ctx->scan[131], 0x80);
    EXPECT_EQ(ctx->scan[59] & 0x08, 0x08) << "the first physical X LED's straight beam arrived";
}

// A frame's configuration can carry any u32 as its gaps; set-up takes one up to the axis's LED
// count and no further, and the exported decoders stay inside their buffers whatever gap they get
// (the sanitizer build checks every index).
TEST(ScreenSetup, GapsAreBoundedByTheLedCountOfTheirAxis) {
    const Geometry models[] = {
        {19.0f, 72, 58, 7, 7, 6, 5},      // one byte per LED
        {21.5f, 80, 48, 5, 5, 6, 5},      // sequential bit planes
        {48.0f, 160, 90, 7, 7, 13, 13},   // pair-interleaved planes
        {70.0f, 300, 170, 7, 7, 14, 14},  // emitter-side bytes
        {120.0f, 400, 226, 5, 5, 8, 8},   // compressed
        {55.0f, 200, 112, 15, 15, 2, 2},  // 16-bit words
    };
    const int64_t hugeGaps[] = {int64_t{1} << 29, int64_t{1} << 30, INT32_MAX, -(int64_t{1} << 30)};
    for (const Geometry& m : models) {
        SCOPED_TRACE(m.inches);
        for (int axis = 0; axis < 2; ++axis) {
            const int leds = axis == 0 ? m.ledsX : m.ledsY;
            auto setUpWith = [&](int64_t gap) {
                Geometry g = m;
                (axis == 0 ? g.gapX : g.gapY) = static_cast<int>(gap);
                auto ctx = NewContext();
                SetupParams p = ParamsFor(g);
                const uint32_t ok = OrdaloScreenSetup(ctx.get(), &p);
                const std::vector<uint8_t> raw(2048, 0x5A);
                panora_test::FillAndFix(ctx.get(), raw);
                OrdaloUpdateBlobs(ctx.get());
                return ok;
            };
            EXPECT_EQ(setUpWith(leds), 1u) << "axis " << axis;
            EXPECT_EQ(setUpWith(leds + 1), 0u) << "axis " << axis;
            for (int64_t gap : hugeGaps) EXPECT_EQ(setUpWith(gap), 0u) << gap;
        }
    }
    std::vector<uint8_t> raw(4096, 0xA5);
    std::vector<uint16_t> scan(PANORA_MAX_ENTRIES + 8, 0);
    for (int64_t gap : hugeGaps) {
        const int g = static_cast<int>(gap);
        data_tran21_5(raw.data(), scan.data(), 80, 48, g, g);
        data_tranTR48(raw.data(), scan.data(), 160, 90, g, g);
        data_tran70_82(raw.data(), scan.data(), 300, 170, g, g);
    }
}
