// The per-frame carving budget of detection: hostile scans stop at it, frames of fingers never
// come near it.
#include <gtest/gtest.h>

#include <random>

#include "test_blobs_support.h"

using namespace blobtest;

namespace {

// A vertex visit more than the budget is the most a frame can overshoot it by: the last
// subtraction started below it (ten units per vertex walked, one per vertex side-tested).
constexpr int kOvershoot = 11 * PANORA_MAX_VERTICES;

// Every other straight X beam blocked (and every other straight Y beam with `rows`), slanted
// beams arrived on even entries only: each blocked column becomes a strip (or each crossing a
// cell) that the combs of slanted bands cut into dozens of fragments.
std::vector<uint16_t> Alternating(const VirtualFrame::BeamModel& beams, bool rows) {
    const auto& g = beams.model().geometry;
    const uint16_t straight = static_cast<uint16_t>(1u << (g.linesX / 2));
    std::vector<uint16_t> words(beams.entryCount());
    for (int e = 0; e < beams.entryCount(); ++e) {
        const uint16_t exists = beams.existingMask(e);
        uint16_t w = e % 2 == 0 ? exists : static_cast<uint16_t>(exists & straight);
        const bool yEntry = e < g.ledsY;
        if ((!yEntry || rows) && e % 2 == 0) w = static_cast<uint16_t>(w & ~straight);
        words[e] = w;
    }
    return words;
}

struct BudgetCase {
    const char* model;
    bool rows;  // the pattern that reaches the budget on this model
};

class CarveBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(CarveBudget, HostileScanStopsAtTheBudgetAndFingersStayFarBelowIt) {
    const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel(GetParam().model);
    ASSERT_NE(model, nullptr);
    VirtualFrame::BeamModel beams(*model);
    ContextPtr ctx = MakeContext(*model);

    const auto& g = model->geometry;
    const long budget = PANORA_CARVE_BUDGET_FOR(g.linesX, g.linesY);
    LoadWords(ctx.get(), Alternating(beams, GetParam().rows));
    OrdaloUpdateBlobs(ctx.get());
    const int hostile = ctx->carveWork;
    EXPECT_GT(hostile, budget) << "the pattern must reach the budget";
    EXPECT_LE(hostile, budget + kOvershoot);
    const int blobs = ctx->blobCount;
    EXPECT_LE(blobs, PANORA_DETECT_POLYGONS);

    // Fingers of 8-16 mm anywhere, overlapping or not, never meet the budget, so it never
    // changes what such a frame reports: ten keep a wide margin, and so do twenty with a palm,
    // the busiest frame two hands make (the 15-line models would reach the 7-line budget).
    std::mt19937 rng(16);
    std::uniform_real_distribution<double> pos(0.0, 1.0), diameter(8.0, 16.0);
    int mostOfTen = 0, mostOfHands = 0;
    for (int frame = 0; frame < 300; ++frame) {
        const bool hands = frame % 2 == 1;
        std::vector<VirtualFrame::Finger> fingers;
        for (int i = 0; i < (hands ? 20 : 10); ++i)
            fingers.push_back({i + 1, pos(rng), pos(rng), diameter(rng)});
        if (hands) fingers.push_back({21, pos(rng), pos(rng), 60.0});
        LoadWords(ctx.get(), beams.scan(fingers));
        OrdaloUpdateBlobs(ctx.get());
        int& most = hands ? mostOfHands : mostOfTen;
        most = std::max(most, static_cast<int>(ctx->carveWork));
    }
    EXPECT_GT(mostOfTen, 0);
    EXPECT_LT(mostOfTen, budget / 2);
    EXPECT_LT(mostOfHands, budget * 9 / 10);
}

INSTANTIATE_TEST_SUITE_P(DefaultLargestAndFifteenLines, CarveBudget,
                         ::testing::Values(BudgetCase{"19in-72x58-7line", false},
                                           BudgetCase{"120in-480x270-5line", true},
                                           BudgetCase{"27in-112x64-15line-words", false},
                                           BudgetCase{"55in-240x135-15line", false}));

}  // namespace
