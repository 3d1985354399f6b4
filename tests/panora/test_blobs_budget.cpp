// The per-frame work budgets of detection's carving and of the refinement: hostile scans stop at
// them, frames of fingers never come near them.
#include <gtest/gtest.h>

#include <random>

#include "test_blobs_support.h"

using namespace blobtest;

namespace {

// A vertex visit more than the budget is the most a frame can overshoot it by: the last
// subtraction started below it (ten units per vertex walked, one per vertex side-tested).
constexpr int kOvershoot = 11 * PANORA_MAX_VERTICES;

// The refinement checks its budget before each blob; one blob costs at most four per family and
// one per family and neighbour.
long RefineOvershoot(int families) { return static_cast<long>(families) * (4 + PANORA_MAX_POLYGONS); }

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
    // Whether it also leaves blobs enough for the refinement's budget (those of the 5-line and
    // 55-inch models stay few and far apart).
    bool crowdsRefinement;
};

class CarveBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(CarveBudget, HostileScanStopsAtTheBudgetsAndFingersStayFarBelowThem) {
    const VirtualFrame::FrameModel* model = VirtualFrame::findFrameModel(GetParam().model);
    ASSERT_NE(model, nullptr);
    VirtualFrame::BeamModel beams(*model);
    ContextPtr ctx = MakeContext(*model);

    const auto& g = model->geometry;
    const long budget = PANORA_CARVE_BUDGET_FOR(g.linesX, g.linesY);
    const int families = g.linesX + g.linesY;
    const long refineBudget = static_cast<long>(PANORA_REFINE_BUDGET_PER_FAMILY) * families;
    LoadWords(ctx.get(), Alternating(beams, GetParam().rows));
    OrdaloUpdateBlobs(ctx.get());
    const int hostile = ctx->carveWork;
    EXPECT_GT(hostile, budget) << "the pattern must reach the budget";
    EXPECT_LE(hostile, budget + kOvershoot);
    const int blobs = ctx->blobCount;
    EXPECT_LE(blobs, PANORA_DETECT_POLYGONS);
    const long refined = ctx->refineWork;  // copied: the packed context cannot bind a reference
    if (GetParam().crowdsRefinement) {
        EXPECT_GT(refined, refineBudget) << "the pattern must reach the refinement's budget";
    }
    EXPECT_LE(refined, refineBudget + RefineOvershoot(families));

    // Fingers of 8-16 mm anywhere, overlapping or not, never meet the budgets, so they never
    // change what such a frame reports: ten keep a wide margin, and so do twenty with a palm,
    // the busiest frame two hands make (the 15-line models would reach the 7-line budget).
    std::mt19937 rng(16);
    std::uniform_real_distribution<double> pos(0.0, 1.0), diameter(8.0, 16.0);
    int mostOfTen = 0, mostOfHands = 0, refineOfHands = 0;
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
        if (hands) refineOfHands = std::max(refineOfHands, static_cast<int>(ctx->refineWork));
    }
    EXPECT_GT(mostOfTen, 0);
    EXPECT_LT(mostOfTen, budget / 2);
    EXPECT_LT(mostOfHands, budget * 9 / 10);
    EXPECT_GT(refineOfHands, 0);
    EXPECT_LT(refineOfHands, refineBudget * 3 / 4);
}

INSTANTIATE_TEST_SUITE_P(DefaultLargestAndFifteenLines, CarveBudget,
                         ::testing::Values(BudgetCase{"19in-72x58-7line", false, true},
                                           BudgetCase{"120in-480x270-5line", true, false},
                                           BudgetCase{"27in-112x64-15line-words", false, true},
                                           BudgetCase{"55in-240x135-15line", false, false}));

}  // namespace
