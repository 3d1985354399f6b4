// Bit rotation, run-length decoding and the virtual-LED step of the data fix.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "PanoraCore.h"
#include "PanoraTestSupport.h"

using panora_test::FillAndFix;
using panora_test::Geometry;
using panora_test::ReadyContext;
using panora_test::ScanWords;

TEST(CycShift, RotatesTheLowBitsOfSevenBitWords) {
    uint16_t w = 0x0041;
    CycShift(&w, 7, 1);
    EXPECT_EQ(w, 0x1060);
    EXPECT_EQ(w & 0x7F, 0x60);

    w = 0x0041;
    CycShift(&w, 7, -1);
    EXPECT_EQ(w, 0x0083);
    EXPECT_EQ(w & 0x7F, 0x03);

    // Width 7 drops the bits above the seven lines before rotating.
    w = 0xFF41;
    CycShift(&w, 7, 8);  // 8 mod 7 = 1
    EXPECT_EQ(w, 0x1060);

    w = 0x0041;
    CycShift(&w, 7, 0);
    EXPECT_EQ(w & 0x7F, 0x41);
}

TEST(CycShift, RotatesWholeSixteenBitWords) {
    uint16_t w = 0x8001;
    CycShift(&w, 16, -1);
    EXPECT_EQ(w, 0x0003);
    w = 0x8001;
    CycShift(&w, 16, 1);
    EXPECT_EQ(w, 0xC000);
    w = 0x1234;
    CycShift(&w, 16, -16);
    EXPECT_EQ(w, 0x1234);
    w = 0x1234;
    CycShift(&w, 0, 3);  // no bits to rotate
    EXPECT_EQ(w, 0x1234);
}

TEST(FrgDecompress, ExpandsLiteralsAndRuns) {
    const uint8_t src[] = {0x05, 0x83, 0x02, 0xFF, 0xFF, 0x00, 0x00};
    uint8_t dst[16] = {};
    EXPECT_EQ(frgDecompress(dst, sizeof dst, src, sizeof src), 4u);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 5), (std::vector<uint8_t>{5, 3, 3, 3, 0}));
}

TEST(FrgDecompress, NeedsFourBytesBeforeTheEndMark) {
    const uint8_t src[] = {0x05, 0x83, 0x02, 0xFF, 0xFF};
    uint8_t dst[16] = {};
    EXPECT_EQ(frgDecompress(dst, sizeof dst, src, sizeof src), 0u);
    // 255 followed by another value is a run, not an end mark.
    const uint8_t run[] = {0xFF, 0x01, 0xFF, 0xFF, 0x00, 0x00};
    EXPECT_EQ(frgDecompress(dst, sizeof dst, run, sizeof run), 2u);
    EXPECT_EQ(dst[0], 0x7F);
    EXPECT_EQ(dst[1], 0x7F);
    EXPECT_EQ(frgDecompress(dst, sizeof dst, run, 0), 0u);
}

TEST(FrgDecompress, NeverWritesPastItsCapacity) {
    uint8_t dst[32];
    for (auto& b : dst) b = 0xEE;
    const uint8_t longRun[] = {0x81, 0xC7, 0xFF, 0xFF, 0x00, 0x00};  // 200 ones
    EXPECT_EQ(frgDecompress(dst, 10, longRun, sizeof longRun), 0u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(dst[i], 0x01);
    for (int i = 10; i < 32; ++i) EXPECT_EQ(dst[i], 0xEE) << i;

    for (auto& b : dst) b = 0xEE;
    const uint8_t literals[] = {1, 2, 3, 4, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(frgDecompress(dst, 2, literals, sizeof literals), 0u);
    EXPECT_EQ(dst[0], 1);
    EXPECT_EQ(dst[1], 2);
    EXPECT_EQ(dst[2], 0xEE);
}

TEST(DataFix, VirtualLedsShiftThePhysicalWordsAndReadBlocked) {
    const Geometry g{27.0f, 30, 20, 9, 9, 2, 2};
    auto ctx = ReadyContext(g);
    std::vector<uint8_t> raw(2 * 50);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7);
    FillAndFix(ctx.get(), raw);
    const auto plain = ScanWords(*ctx, 50);

    // The same frame with virtual LEDs: the physical words shift, the margins read blocked.
    Geometry padded = g;
    padded.padX = 2;
    padded.padY = 1;
    auto pctx = ReadyContext(padded);
    ASSERT_EQ(+pctx->ledCountX, 34);
    ASSERT_EQ(+pctx->ledCountY, 22);
    FillAndFix(pctx.get(), raw);
    EXPECT_EQ(+pctx->ledCountX, 34);
    EXPECT_EQ(+pctx->ledCountY, 22);
    EXPECT_EQ(+pctx->entryCount, 56);
    const auto words = ScanWords(*pctx, 56);
    const std::vector<int> margins = {0, 21, 22, 23, 54, 55};
    for (int e : margins) EXPECT_EQ(words[e], 0x80) << e;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(words[1 + i], plain[i]) << "Y word " << i;
    for (int i = 0; i < 30; ++i) EXPECT_EQ(words[24 + i], plain[20 + i]) << "X word " << i;

    // A second frame lands in the same places: the counts do not drift.
    FillAndFix(pctx.get(), raw);
    EXPECT_EQ(ScanWords(*pctx, 56), words);
}

TEST(DataFix, AFrameDecodedWithoutItsFixIsFixedOnce) {
    const Geometry g{32.0f, 40, 30, 7, 7, 4, 4, 1, 1};
    auto ctx = ReadyContext(g);
    const std::vector<uint8_t> raw(70, 0x00);  // nothing blocked
    // Fill twice before one fix: the counts must not shrink twice.
    OrdaloDataFill(ctx.get(), raw.data(), 70);
    OrdaloDataFill(ctx.get(), raw.data(), 70);
    OrdaloDataFix(ctx.get());
    EXPECT_EQ(+ctx->ledCountX, 42);
    EXPECT_EQ(+ctx->entryCount, 74);
    // A fix without a new frame keeps the words as they are.
    const auto before = ScanWords(*ctx, 74);
    OrdaloDataFix(ctx.get());
    EXPECT_EQ(ScanWords(*ctx, 74), before);
    EXPECT_EQ(+ctx->frameCounter, 2u);
}

TEST(DataFix, HostSideFifteenLineFixRotatesThenComplements) {
    const Geometry g{27.0f, 4, 2, 15, 15, 2, 1};
    auto ctx = ReadyContext(g);
    const uint16_t in[6] = {0x0001, 0x0001, 0x0001, 0x8000, 0x0001, 0x0001};
    for (int e = 0; e < 6; ++e) ctx->scan[e] = in[e];
    OrdaloDataFixHP_MCU(ctx.get());
    // X entries 0..3 rotate left by e / 2, Y entries 4..5 by (e - 4) / 1.
    const uint16_t want[6] = {0xFFFE, 0xFFFE, 0xFFFD, 0xFFFE, 0xFFFE, 0xFFFD};
    for (int e = 0; e < 6; ++e) EXPECT_EQ(+ctx->scan[e], want[e]) << e;
}

TEST(DataFix, AShortFrameDoesNotUndoAPendingDecodedFrame) {
    const Geometry g{32.0f, 40, 30, 7, 7, 4, 4};
    auto ctx = ReadyContext(g);
    std::vector<uint8_t> raw(70, 0x00);
    raw[5] = 0x7F;  // every line of one Y LED blocked
    const std::vector<uint8_t> tooShort(69, 0x00);
    OrdaloDataFill(ctx.get(), raw.data(), 70);
    OrdaloDataFill(ctx.get(), tooShort.data(), 69);
    OrdaloDataFix(ctx.get());
    EXPECT_EQ(ctx->scan[5] & 0x7F, 0) << "the decoded frame is still fixed";
    EXPECT_EQ(ctx->scan[4] & 0x7F, 0x7F);
}

TEST(DataFill, DoesNothingOnAContextThatIsNotReady) {
    auto ctx = panora_test::NewContext();
    ctx->scan[0] = 0x1234;
    const std::vector<uint8_t> raw(4096, 0xAA);
    FillAndFix(ctx.get(), raw);
    EXPECT_EQ(+ctx->scan[0], 0x1234);
    EXPECT_EQ(+ctx->frameCounter, 0u);
    EXPECT_EQ(+ctx->entryCount, 0);
    OrdaloDataFill(ctx.get(), nullptr, 0);
    OrdaloDataFill(nullptr, raw.data(), 10);
    OrdaloDataFix(nullptr);
}

TEST(DataFill, RandomFramesOfAnyLengthStayInsideTheirEntries) {
    const Geometry models[] = {
        {120.0f, 480, 270, 5, 5, 20, 12},     {55.0f, 240, 135, 15, 15, 4, 4},
        {21.0f, 96, 54, 5, 5, 6, 6},          {23.0f, 100, 60, 5, 5, 4, 4},
        {48.0f, 144, 82, 7, 7, 13, 8},        {82.0f, 360, 200, 7, 7, 16, 16},
        {19.0f, 72, 58, 7, 7, 6, 5, 2, 2},    {23.0f, 120, 68, 7, 7, 12, 20},
        {27.0f, 112, 64, 15, 15, 2, 2, 1, 3}, {15.0f, 10, 8, 5, 5, 9, 8},
    };
    std::mt19937 rng(2024);
    for (const Geometry& g : models) {
        SCOPED_TRACE(g.inches);
        auto ctx = ReadyContext(g);
        const int total = ctx->entryCount;
        for (int e = total; e < PANORA_MAX_ENTRIES; ++e) ctx->scan[e] = 0xBEEF;
        for (int frame = 0; frame < 150; ++frame) {
            // Exact-size buffers, so that any read past the end shows under AddressSanitizer.
            std::vector<uint8_t> raw(rng() % 2049);
            for (auto& b : raw) b = static_cast<uint8_t>(rng());
            FillAndFix(ctx.get(), raw);
            ASSERT_EQ(+ctx->entryCount, total);
        }
        for (int e = total; e < PANORA_MAX_ENTRIES; ++e) ASSERT_EQ(+ctx->scan[e], 0xBEEF) << e;
    }
}

TEST(Decoders, RefuseGeometriesBeyondTheirLimits) {
    const std::vector<uint8_t> raw(4096, 0x00);
    std::vector<uint16_t> scan(PANORA_MAX_ENTRIES + 8, 0xBEEF);
    data_tran70_82(raw.data(), scan.data(), 400, 177, 14, 14);  // 577 entries
    data_tran21_5(raw.data(), scan.data(), 600, 425, 4, 4);     // 1025 entries
    data_tranTR48(raw.data(), scan.data(), 600, 425, 13, 8);
    data_tran21_5(raw.data(), scan.data(), -1, 10, 4, 4);
    for (uint16_t w : scan) ASSERT_EQ(w, 0xBEEF);

    data_tran70_82(raw.data(), scan.data(), 400, 176, 14, 14);  // 576 entries: decoded
    // Nothing blocked: the last X LED has its straight beam and the three lines towards lower
    // LEDs; the others have no partner.
    EXPECT_EQ(scan[575], 0x78);
    EXPECT_EQ(scan[576], 0xBEEF);
}
