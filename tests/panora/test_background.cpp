// Background learning over the touch-free frame window, masking, save and reload.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PanoraCore.h"
#include "PanoraTestSupport.h"

using panora_test::DefaultPanel;
using panora_test::ReadyContext;

namespace {

constexpr int kEntry = 17;
constexpr int kBit = 2;            // a slanted line of the default panel's 7
constexpr int kLine = 6 - kBit;    // the learning mask of line k is bit 6 - k
constexpr uint16_t kClear = 0x7F;  // all seven lines arrived

// One decoded, touch-free frame in which the watched beam is blocked or not.
void Frame(CoreContext* ctx, bool blocked) {
    for (int e = 0; e < ctx->entryCount; ++e) ctx->scan[e] = kClear;
    if (blocked) ctx->scan[kEntry] = kClear & ~(1u << kBit);
    OrdaloDataFix(ctx);
}

void Frames(CoreContext* ctx, int count, bool blocked) {
    for (int i = 0; i < count; ++i) Frame(ctx, blocked);
}

bool Usable(const CoreContext& ctx) { return (ctx.background[kEntry] >> kBit) & 1u; }
int Balance(const CoreContext& ctx) { return ctx.beamBalance[kEntry * 7 + kLine]; }

std::string TempPath(const char* name) {
    return testing::TempDir() + "panora_bg_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

TEST(Background, ABeamBlockedFromFrame101OnBecomesBackgroundAtOnce) {
    auto ctx = ReadyContext(DefaultPanel());
    Frames(ctx.get(), 100, true);
    EXPECT_TRUE(Usable(*ctx)) << "nothing is learned before frame 101";
    EXPECT_EQ(Balance(*ctx), 0);
    Frame(ctx.get(), true);
    EXPECT_EQ(+ctx->frameCounter, 101u);
    EXPECT_EQ(Balance(*ctx), 1);
    EXPECT_FALSE(Usable(*ctx));
    EXPECT_EQ(+ctx->background[kEntry] & 0x7F, 0x7F & ~(1 << kBit));
    EXPECT_EQ(+ctx->background[kEntry + 1] & 0x7F, 0x7F);

    // The masked beam reads as arrived in the next pipeline run; a slanted beam is not dead.
    ctx->scan[kEntry] = kClear & ~(1u << kBit);
    EXPECT_EQ(OrdaloUpdateBlobs(ctx.get()), 1u);
    EXPECT_TRUE((ctx->scan[kEntry] >> kBit) & 1u);
    EXPECT_EQ(+ctx->deadBeam, 0);
    EXPECT_EQ(+ctx->outBlobCount, 0);
}

TEST(Background, AMaskedStraightBeamMarksADeadBeam) {
    auto ctx = ReadyContext(DefaultPanel());
    ctx->background[3] = 0xFFFF & ~(1u << 3);
    ctx->scan[3] = 0;
    RemoveBackground(ctx.get());
    EXPECT_EQ(+ctx->deadBeam, 1);
    EXPECT_EQ(+ctx->scan[3], 1u << 3);
}

TEST(Background, BlockedFor300Of500FramesStaysBackground) {
    auto ctx = ReadyContext(DefaultPanel());
    Frames(ctx.get(), 100, false);
    for (int cycle = 0; cycle < 3; ++cycle) {
        Frames(ctx.get(), 300, true);
        Frames(ctx.get(), 200, false);
        EXPECT_FALSE(Usable(*ctx)) << "cycle " << cycle;
        EXPECT_EQ(Balance(*ctx), 100) << "cycle " << cycle;
    }
}

TEST(Background, BlockedFor200Of500FramesBecomesUsableAgain) {
    auto ctx = ReadyContext(DefaultPanel());
    Frames(ctx.get(), 100, false);
    Frames(ctx.get(), 200, true);
    EXPECT_FALSE(Usable(*ctx));
    Frames(ctx.get(), 199, false);
    EXPECT_FALSE(Usable(*ctx));
    Frame(ctx.get(), false);
    EXPECT_TRUE(Usable(*ctx)) << "blocked as often as arrived: usable again";
    Frames(ctx.get(), 100, false);
    for (int cycle = 0; cycle < 2; ++cycle) {
        Frames(ctx.get(), 200, true);
        Frames(ctx.get(), 300, false);
        EXPECT_TRUE(Usable(*ctx));
        EXPECT_EQ(Balance(*ctx), -100);
    }
}

TEST(Background, TheWindowCountsOnlyFramesItHolds) {
    // Blocked in 9 of every 20 frames: fewer than half, so the beam must stay usable however
    // long the frame has been running; 11 of 20 makes it background.
    for (int blockedOf20 : {9, 11}) {
        auto ctx = ReadyContext(DefaultPanel());
        Frames(ctx.get(), 100, false);
        for (int i = 0; i < 1200; ++i) Frame(ctx.get(), i % 20 < blockedOf20);
        const int want = (blockedOf20 - (20 - blockedOf20)) * 25;
        EXPECT_EQ(Balance(*ctx), want) << blockedOf20;
        EXPECT_EQ(Usable(*ctx), blockedOf20 < 10) << blockedOf20;
    }
}

TEST(Background, FramesWithTouchesAreNotLearned) {
    auto ctx = ReadyContext(DefaultPanel());
    Frames(ctx.get(), 100, false);
    ctx->lastFrameBlobs = 2;
    Frames(ctx.get(), 50, true);
    EXPECT_TRUE(Usable(*ctx));
    EXPECT_EQ(Balance(*ctx), 0);
    EXPECT_EQ(+ctx->historySlot, 0);
    ctx->lastFrameBlobs = 0;
    Frame(ctx.get(), true);
    EXPECT_FALSE(Usable(*ctx));
    EXPECT_EQ(+ctx->historySlot, 1);
}

TEST(Background, EraseBackgroundOffNeverChangesTheMask) {
    auto ctx = ReadyContext(DefaultPanel());
    ctx->eraseBackground = 0;
    Frames(ctx.get(), 400, true);
    EXPECT_TRUE(Usable(*ctx));
    for (int e = 0; e < ctx->entryCount; ++e) ASSERT_EQ(+ctx->background[e], 0xFFFF);
    ctx->background[kEntry] = 0;  // even a mask set by hand is not applied
    ctx->scan[kEntry] = 0;
    OrdaloUpdateBlobs(ctx.get());
    EXPECT_EQ(+ctx->scan[kEntry], 0);
}

TEST(Background, SaveAndReloadRestoreTheMask) {
    const std::string path = TempPath("roundtrip");
    auto ctx = ReadyContext(DefaultPanel());
    for (int e = 0; e < ctx->entryCount; ++e)
        ctx->background[e] = static_cast<uint16_t>(e * 0x0101 ^ 0x5A);
    ASSERT_EQ(OrdaloSaveBackgroudData(ctx.get(), path.c_str()), 0);

    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> bytes(600);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    ASSERT_EQ(bytes.size(), 260u) << "130 words, no header";
    EXPECT_EQ(bytes[2], 0x01 ^ 0x5A);  // entry 1, low byte first
    EXPECT_EQ(bytes[3], 0x01);

    auto fresh = ReadyContext(DefaultPanel());
    EXPECT_EQ(OrdaloReloadBackgroudData(fresh.get(), path.c_str()), 0);
    for (int e = 0; e < ctx->entryCount; ++e) EXPECT_EQ(+fresh->background[e], +ctx->background[e]);
    EXPECT_EQ(+fresh->background[ctx->entryCount], 0xFFFF);
    std::remove(path.c_str());
}

TEST(Background, FileFailuresAreReported) {
    auto ctx = ReadyContext(DefaultPanel());
    const std::string missing = TempPath("missing");
    std::remove(missing.c_str());
    ctx->background[0] = 0x1234;
    EXPECT_EQ(OrdaloReloadBackgroudData(ctx.get(), missing.c_str()), -1);
    EXPECT_EQ(+ctx->background[0], 0x1234);
    EXPECT_EQ(OrdaloSaveBackgroudData(ctx.get(), (missing + "/no/such/dir").c_str()), -1);
    EXPECT_EQ(OrdaloSaveBackgroudData(ctx.get(), nullptr), -1);

    // A short file loads the words it holds and says it was short.
    const std::string shortFile = TempPath("short");
    std::FILE* f = std::fopen(shortFile.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const uint8_t five[10] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0};
    std::fwrite(five, 1, sizeof five, f);
    std::fclose(f);
    EXPECT_EQ(OrdaloReloadBackgroudData(ctx.get(), shortFile.c_str()), -1);
    EXPECT_EQ(+ctx->background[0], 1);
    EXPECT_EQ(+ctx->background[4], 5);
    EXPECT_EQ(+ctx->background[5], 0xFFFF);
    std::remove(shortFile.c_str());
}

TEST(Background, RecordingStartsFromACleanMaskAndSavesOnStop) {
    const std::string path = TempPath("record");
    auto ctx = ReadyContext(DefaultPanel());
    ctx->background[9] = 0;
    OrdaloStartRecordBackgroud(ctx.get());
    EXPECT_EQ(+ctx->recordingBackground, 1u);
    EXPECT_EQ(+ctx->background[9], 0xFFFF);
    ctx->background[9] = 0x00F0;
    EXPECT_EQ(OrdaloStopRecordBackgroud(ctx.get(), path.c_str()), 0);
    EXPECT_EQ(+ctx->recordingBackground, 0u);
    auto fresh = ReadyContext(DefaultPanel());
    EXPECT_EQ(OrdaloReloadBackgroudData(fresh.get(), path.c_str()), 0);
    EXPECT_EQ(+fresh->background[9], 0x00F0);
    std::remove(path.c_str());
}

TEST(Background, AddToBackgroundForcesUnrecordedBeamsToArrived) {
    auto ctx = ReadyContext(DefaultPanel());
    ctx->recordMask[4] = 0x00F0;
    ctx->scan[4] = 0x0000;
    ctx->scan[5] = 0x0000;
    addToBackground(ctx.get());
    EXPECT_EQ(+ctx->scan[4], 0xFF0F);
    EXPECT_EQ(+ctx->scan[5], 0x0000) << "a full mask keeps the word";
}
