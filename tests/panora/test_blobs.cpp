// Blob detection and polygon geometry on hand-built beam words (default 19-inch model).
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_blobs_support.h"

using namespace blobtest;
using VirtualFrame::Axis;

namespace {

_MINI_POLYGON MakePolygon(std::initializer_list<ODPoint> pts) {
    _MINI_POLYGON b;
    std::memset(&b, 0, sizeof(b));
    for (const ODPoint& p : pts) b.pts[b.ptCount++] = p;
    return b;
}

class BlobDetection : public DefaultModelTest {
protected:
    void Detect() {
        LoadWords(ctx_.get(), words_);
        ctx_->rectRefined = 0;  // the pipeline clears it before detection
        findBlobs_Improved(ctx_.get());
    }

    // Puts one square polygon (frame units) in slot 0 as the only polygon.
    void OneSquare(float x0, float y0, float x1, float y1) {
        ctx_->blobs[0] = MakePolygon({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
        GetPolygonSize(&ctx_->blobs[0]);
        ctx_->workCount = ctx_->blobCount = 1;
    }

    double TotalArea() const {
        double sum = 0;
        for (int i = 0; i < ctx_->workCount; ++i) sum += PolygonArea(ctx_->blobs[i]);
        return sum;
    }

    // No vertex of any polygon lies strictly inside the band.
    void ExpectNothingInside(BeamBand band) const {
        for (int i = 0; i < ctx_->workCount; ++i) {
            const _MINI_POLYGON& b = ctx_->blobs[i];
            int outside = 0;
            for (int v = 0; v < b.ptCount; ++v) {
                ODPoint p = b.pts[v];
                if (!PointInArea(ctx_.get(), &band, &p)) ++outside;
            }
            EXPECT_GE(outside, 1) << "polygon " << i << " lies in the band";
        }
    }
};

TEST_F(BlobDetection, SingleSmallShadowTakesTheQuickPath) {
    BlockStraight(words_, *beams_, Axis::Y, 20, 23);
    BlockStraight(words_, *beams_, Axis::X, 30, 33);
    Detect();
    EXPECT_EQ(1, +ctx_->runsX);
    EXPECT_EQ(1, +ctx_->runsY);
    ASSERT_EQ(1, +ctx_->blobCount);
    EXPECT_EQ(0u, +ctx_->rectRefined) << "no carving on the quick path";
    const _MINI_POLYGON& b = ctx_->blobs[0];
    ASSERT_EQ(4, +b.ptCount);
    EXPECT_FLOAT_EQ(30 * ctx_->pitchX, b.pts[0].x);
    EXPECT_FLOAT_EQ(20 * ctx_->pitchY, b.pts[0].y);
    EXPECT_FLOAT_EQ(33 * ctx_->pitchX, b.pts[2].x);
    EXPECT_FLOAT_EQ(23 * ctx_->pitchY, b.pts[2].y);
    EXPECT_NEAR(31.5 * ctx_->pitchX, b.cx, 1e-6);
    EXPECT_NEAR(21.5 * ctx_->pitchY, b.cy, 1e-6);
    EXPECT_NEAR(9 * ctx_->pitchX * ctx_->pitchY, b.area, 1e-9);
    EXPECT_NEAR(3 * ctx_->pitchX, b.width, 1e-6);
    EXPECT_NEAR(3 * ctx_->pitchY, b.height, 1e-6);
    // A touch on the quick path must keep the background from learning this frame.
    EXPECT_EQ(1, +ctx_->lastFrameBlobs);
}

TEST_F(BlobDetection, TwoShadowsOnOneRowAreCarvedNotTakenAsRectangles) {
    BlockStraight(words_, *beams_, Axis::Y, 20, 23);
    BlockStraight(words_, *beams_, Axis::X, 10, 13);
    BlockStraight(words_, *beams_, Axis::X, 40, 43);
    Detect();
    EXPECT_EQ(1, +ctx_->runsY);
    EXPECT_EQ(2, +ctx_->runsX);
    EXPECT_EQ(1u, +ctx_->rectRefined);
}

TEST(QuickPathLimit, TwoFingersInOneRowAtDifferentHeightsKeepTheirOwnHeights) {
    // Their straight Y shadows merge into one run; each must still be reported at its own y.
    Pipeline pipe(VirtualFrame::defaultFrameModel());
    const std::vector<VirtualFrame::Finger> fingers = {{1, 0.30, 0.500, 10.0},
                                                       {2, 0.62, 0.528, 10.0}};
    std::vector<Touch> touches;
    for (int frame = 0; frame < 8; ++frame) touches = pipe.Step(fingers);
    ASSERT_EQ(2u, touches.size());
    for (const VirtualFrame::Finger& f : fingers) {
        double best = 1e9;
        for (const Touch& t : touches) best = std::min(best, pipe.Mm(t.x, t.y, f.x, f.y));
        EXPECT_LT(best, 2.5) << "finger " << f.id;
    }
}

TEST_F(BlobDetection, WideFirstShadowIsCarved) {
    // A 30 mm contact shadows more than five LEDs: its rectangle is carved by the slanted bands
    // that still arrive, and what stays covers the contact's centre.
    const VirtualFrame::Finger finger{1, 0.5, 0.5, 30.0};
    words_ = beams_->scan({finger});
    Detect();
    EXPECT_EQ(1u, +ctx_->rectRefined);
    EXPECT_EQ(1, +ctx_->rectCount);
    ASSERT_GE(+ctx_->blobCount, 1);
    const ShadowRect& r = ctx_->rects[0];
    const double rectArea = (r.x1 - r.x0) * ctx_->pitchX * (r.y1 - r.y0) * ctx_->pitchY;
    const double fx = beams_->frameX(finger.x), fy = beams_->frameY(finger.y);
    bool covered = false;
    for (int i = 0; i < ctx_->blobCount; ++i) {
        const _MINI_POLYGON& b = ctx_->blobs[i];
        EXPECT_LT(+b.area, rectArea);
        if (ScreenMm(*model_, b.cx, b.cy, fx, fy) < 5.0) covered = true;
    }
    EXPECT_TRUE(covered);
}

TEST_F(BlobDetection, NoShadowNoBlobAndOnlyRowsFallBackToFullWidth) {
    Detect();
    EXPECT_EQ(0, +ctx_->blobCount);
    EXPECT_EQ(0, +ctx_->rectCount);
    EXPECT_EQ(0, +ctx_->lastFrameBlobs);

    // Straight Y beams blocked with no X shadow (a fault or a touch outside the X range): the
    // run becomes a full-width rectangle.
    words_ = ClearWords(*beams_);
    BlockStraight(words_, *beams_, Axis::Y, 10, 12);
    Detect();
    EXPECT_EQ(0, +ctx_->runsX);
    ASSERT_EQ(1, +ctx_->rectCount);
    EXPECT_EQ(+ctx_->ledCountY + 1, +ctx_->rects[0].x0);
    EXPECT_EQ(+ctx_->ledCountY + 1 + ctx_->ledCountX, +ctx_->rects[0].x1);
    EXPECT_EQ(0, +ctx_->lastFrameBlobs) << "fallback rectangles do not count as touches";
}

TEST_F(BlobDetection, PolygonTableStopsAtNinetyNine) {
    // Every other LED fully blocked on both axes, the others pass only their straight beam:
    // hundreds of uncarvable one-LED cells.
    for (int e = 0; e < beams_->entryCount(); ++e) words_[e] = 0;
    for (int r = 1; r < model_->geometry.ledsY; r += 2) Block(words_, *beams_, Axis::Y, r, 0);
    for (int r = 1; r < model_->geometry.ledsY; r += 2)
        words_[beams_->entryOf(Axis::Y, r)] = 1u << beams_->bitOf(Axis::Y, 0);
    for (int r = 1; r < model_->geometry.ledsX; r += 2)
        words_[beams_->entryOf(Axis::X, r)] = 1u << beams_->bitOf(Axis::X, 0);
    Detect();
    EXPECT_EQ(29, +ctx_->runsY);
    EXPECT_EQ(32, +ctx_->runsX) << "X runs are capped at 32";
    EXPECT_EQ(29 * 32, +ctx_->rectCount);
    EXPECT_EQ(99, +ctx_->blobCount);
    EXPECT_EQ(99, +ctx_->workCount);
}

TEST_F(BlobDetection, BandHoldingThePolygonDeletesIt) {
    OneSquare(0.45f, 0.45f, 0.55f, 0.55f);
    BeamBand band{23, 30, ctx_->halfLinesY - 1};  // Y line -1, rising to the right
    EXPECT_EQ(0u, PolygonSubPallelograms(ctx_.get(), 0, &band));
    ASSERT_EQ(0, +ctx_->workCount);
}

TEST_F(BlobDetection, BandThroughTheMiddleSplitsThePolygon) {
    OneSquare(0.45f, 0.45f, 0.55f, 0.55f);
    BeamBand band{27, 28, ctx_->halfLinesY - 1};
    EXPECT_EQ(2u, PolygonSubPallelograms(ctx_.get(), 0, &band));
    ASSERT_EQ(2, +ctx_->workCount);
    EXPECT_NEAR(0.01 - 0.1 / 58.0, TotalArea(), 1e-6);
    ExpectNothingInside(band);
    for (int i = 0; i < 2; ++i) {
        EXPECT_GE(+ctx_->blobs[i].ptCount, 3);
        EXPECT_LE(+ctx_->blobs[i].ptCount, 6);
        EXPECT_NEAR(PolygonArea(ctx_->blobs[i]), ctx_->blobs[i].area, 1e-9);
    }
}

TEST_F(BlobDetection, BandOverOneSideCutsItOff) {
    OneSquare(0.45f, 0.45f, 0.55f, 0.55f);
    const int line = ctx_->halfLinesY - 1;
    BeamBand band{20, 26, line};
    EXPECT_EQ(1u, PolygonSubPallelograms(ctx_.get(), 0, &band));
    ASSERT_EQ(1, +ctx_->workCount);
    // Area below y = 26/58 + s*x inside the square, integrated over x.
    const double c = 26.0 / 58.0, s = ctx_->lineSlope[line];
    const double cut = 0.1 * (c - 0.45) + s * (0.55 * 0.55 - 0.45 * 0.45) / 2;
    EXPECT_NEAR(0.01 - cut, TotalArea(), 1e-6);
    ExpectNothingInside(band);
    EXPECT_GT(+ctx_->blobs[0].cy, 0.5f) << "the part beyond the band is kept";
}

TEST_F(BlobDetection, BandAwayFromThePolygonLeavesItAlone) {
    OneSquare(0.45f, 0.45f, 0.55f, 0.55f);
    const _MINI_POLYGON before = ctx_->blobs[0];
    BeamBand band{40, 45, ctx_->halfLinesY - 1};
    EXPECT_EQ(1u, PolygonSubPallelograms(ctx_.get(), 0, &band));
    ASSERT_EQ(1, +ctx_->workCount);
    EXPECT_EQ(0, std::memcmp(&before, &ctx_->blobs[0], sizeof(before)));
}

TEST_F(BlobDetection, XLineBandSplitsThePolygon) {
    OneSquare(0.45f, 0.45f, 0.55f, 0.55f);
    const int nY = ctx_->ledCountY;
    BeamBand band{nY + 1 + 32, nY + 1 + 33, ctx_->linesY + ctx_->halfLinesY + 1};
    EXPECT_EQ(2u, PolygonSubPallelograms(ctx_.get(), 0, &band));
    ASSERT_EQ(2, +ctx_->workCount);
    EXPECT_NEAR(0.01 - 0.1 / 72.0, TotalArea(), 1e-6);
    ExpectNothingInside(band);
}

TEST_F(BlobDetection, CarveNeverPassesSixtyVertices) {
    // A band whose edge clips just the top vertex of a regular polygon: the part beyond it has
    // one vertex more than the polygon.
    auto regular = [&](int n) {
        _MINI_POLYGON b;
        std::memset(&b, 0, sizeof(b));
        for (int k = 0; k < n; ++k) {
            const double a = 2 * M_PI * k / n;
            b.pts[k] = ODPoint{static_cast<float>(0.5 + 0.1037 * std::cos(a)),
                               static_cast<float>(0.5 + 0.1037 * std::sin(a))};
        }
        b.ptCount = static_cast<uint8_t>(n);
        GetPolygonSize(&b);
        ctx_->blobs[0] = b;
        ctx_->workCount = ctx_->blobCount = 1;
        return b;
    };
    BeamBand band{35, 57, ctx_->halfLinesY};  // straight Y line: y = 35/58 up to 57/58

    const _MINI_POLYGON forty = regular(40);
    EXPECT_EQ(1u, PolygonSubPallelograms(ctx_.get(), 0, &band));
    EXPECT_EQ(41, +ctx_->blobs[0].ptCount);
    EXPECT_LT(+ctx_->blobs[0].area, +forty.area);

    const _MINI_POLYGON sixty = regular(60);
    EXPECT_EQ(1u, PolygonSubPallelograms(ctx_.get(), 0, &band));
    ASSERT_EQ(1, +ctx_->workCount);
    EXPECT_EQ(60, +ctx_->blobs[0].ptCount) << "left uncarved rather than grown past 60";
    EXPECT_EQ(0, std::memcmp(&sixty, &ctx_->blobs[0], sizeof(sixty)));
}

TEST_F(BlobDetection, CrossingIsCountedAtTheStartVertexOnly) {
    const int line = ctx_->halfLinesY - 1;
    const int led = 27;
    const double s = ctx_->lineSlope[line];
    const float onY = static_cast<float>(led * ctx_->pitchY + 0.5 * s);
    EdgeCrossing c;
    EXPECT_EQ(1u,
              LinesIsEncounter(ctx_.get(), led, line, &c, ODPoint{0.5f, onY}, ODPoint{0.5f, 0.9f}));
    EXPECT_EQ(1u, +c.atVertex);
    EXPECT_FLOAT_EQ(onY, c.point.y);
    EXPECT_EQ(0u,
              LinesIsEncounter(ctx_.get(), led, line, &c, ODPoint{0.5f, 0.9f}, ODPoint{0.5f, onY}));
    // Strictly crossing: the point lies on the boundary line.
    ASSERT_EQ(
        1u, LinesIsEncounter(ctx_.get(), led, line, &c, ODPoint{0.3f, 0.1f}, ODPoint{0.6f, 0.9f}));
    EXPECT_EQ(0u, +c.atVertex);
    EXPECT_NEAR(led * ctx_->pitchY + s * c.point.x, c.point.y, 1e-5);
    // A line the slope table does not hold is never crossed.
    EXPECT_EQ(0u,
              LinesIsEncounter(ctx_.get(), led, 200, &c, ODPoint{0.3f, 0.1f}, ODPoint{0.6f, 0.9f}));
    // Parallel to the line: never a crossing.
    EXPECT_EQ(0u, LinesIsEncounter(ctx_.get(), led, line, &c, ODPoint{0.1f, 0.2f},
                                   ODPoint{0.9f, static_cast<float>(0.2 + 0.8 * s)}));
}

TEST(PolygonGeometry, AreaSizeAndDuplicateVertices) {
    _MINI_POLYGON p = MakePolygon({{0.1f, 0.1f},
                                   {0.1f, 0.1f},
                                   {0.3f, 0.1f},
                                   {0.3f, 0.2f},
                                   {0.1f, 0.2f},
                                   {0.1f, 0.1f + 1e-8f}});
    EXPECT_NEAR(0.02, PolygonArea(p), 1e-7);
    EXPECT_NEAR(0.02, GetPolygonSize(&p), 1e-7);
    EXPECT_NEAR(0.2, p.width, 1e-6);
    EXPECT_NEAR(0.1, p.height, 1e-6);
    EXPECT_NEAR(0.2, p.cx, 1e-6);
    EXPECT_NEAR(0.15, p.cy, 1e-6);
    removeSameVertex(nullptr, &p);
    EXPECT_EQ(4, +p.ptCount) << "repeated and wrapped-around vertices go";
    p.ptCount = 2;
    EXPECT_EQ(0.0f, PolygonArea(p));
    ODPoint a{0, 0}, b{3, 4};
    EXPECT_FLOAT_EQ(5.0f, GetDistancePointToPoint(&a, &b));
}

TEST_F(BlobDetection, InsertIntoAFullTableDropsTheLast) {
    for (int i = 0; i < 99; ++i) {
        ctx_->blobs[i] = SquareBlob(ctx_.get(), 0.5, 0.5, 5);
        ctx_->blobs[i].id = i;
    }
    ctx_->workCount = 99;
    _MINI_POLYGON extra = SquareBlob(ctx_.get(), 0.2, 0.2, 5);
    extra.id = 1000;
    InsertPoly(ctx_.get(), 0, extra);
    EXPECT_EQ(99, +ctx_->workCount);
    EXPECT_EQ(1000, +ctx_->blobs[0].id);
    EXPECT_EQ(0, +ctx_->blobs[1].id);
    EXPECT_EQ(97, +ctx_->blobs[98].id);

    DeletePoly(ctx_.get(), 0);
    EXPECT_EQ(98, +ctx_->workCount);
    EXPECT_EQ(0, +ctx_->blobs[0].id);
    DeletePoly(ctx_.get(), 200);  // outside the table: nothing happens
    EXPECT_EQ(98, +ctx_->workCount);
    ctx_->workCount = 3;
    InsertPoly(ctx_.get(), 1, extra);
    EXPECT_EQ(4, +ctx_->workCount);
    EXPECT_EQ(1000, +ctx_->blobs[1].id);
    EXPECT_EQ(1, +ctx_->blobs[2].id);
}

TEST(PolygonGeometry, AnglesAndSides) {
    EXPECT_NEAR(45.0f, getAngleTrig(1, 1), 1e-4);
    EXPECT_NEAR(135.0f, getAngleTrig(-1, 1), 1e-4);
    EXPECT_NEAR(225.0f, getAngleTrig(-1, -1), 1e-4);
    EXPECT_NEAR(315.0f, getAngleTrig(1, -1), 1e-4);
    EXPECT_EQ(90.0f, getAngleTrig(0, 1));
    EXPECT_EQ(90.0f, getAngleTrig(0, 0));
    EXPECT_EQ(270.0f, getAngleTrig(0, -1));
    EXPECT_EQ(0.0f, getAngleTrig(2, 0));
    EXPECT_EQ(180.0f, getAngleTrig(-2, 0));

    const ODPoint a{0, 0}, b{1, 1};
    EXPECT_EQ(1u, isOnSameSide(ODPoint{0, 1}, ODPoint{0.2f, 0.9f}, a, b));
    EXPECT_EQ(0u, isOnSameSide(ODPoint{0, 1}, ODPoint{1, 0}, a, b));
    EXPECT_EQ(1u, isOnSameSide(ODPoint{0.5f, 0.5f}, ODPoint{1, 0}, a, b)) << "on the line";

    EXPECT_EQ(1u, LinesEncounterTestByPoint(a, b, ODPoint{0, 1}, ODPoint{1, 0}));
    EXPECT_EQ(0u, LinesEncounterTestByPoint(a, b, ODPoint{0, 1}, ODPoint{0.2f, 0.9f}));
    EXPECT_EQ(1u, LinesEncounterTestByPoint(ODPoint{0.5f, 0}, ODPoint{0.5f, 1}, ODPoint{0, 0},
                                            ODPoint{1, 0}));
    EXPECT_EQ(0u, LinesEncounterTestByPoint(ODPoint{0.5f, 0}, ODPoint{0.5f, 1}, ODPoint{0, 0},
                                            ODPoint{0.2f, 1}));

    _MINI_POLYGON square = MakePolygon({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    EXPECT_EQ(0u, AtSameAngle(&square, 0, 2)) << "opposite edges run opposite ways";
    EXPECT_EQ(0u, AtSameAngle(&square, 0, 1));
    EXPECT_EQ(1u, AtSameAngle(&square, 1, 1));
    EXPECT_EQ(0u, AtSameAngle(&square, 0, 7)) << "no such edge";
}

TEST_F(BlobDetection, VertexSideOfABoundary) {
    const int line = ctx_->halfLinesY - 1;
    const double s = ctx_->lineSlope[line];
    const float y = static_cast<float>(27 * ctx_->pitchY + 0.5 * s);
    EXPECT_EQ(-1, VertexAtLineSide(ctx_.get(), 27, line, ODPoint{0.5f, y - 0.01f}));
    EXPECT_EQ(1, VertexAtLineSide(ctx_.get(), 27, line, ODPoint{0.5f, y + 0.01f}));
    const int xLine = ctx_->linesY + ctx_->halfLinesY + 1;
    const int xLed = ctx_->ledCountY + 1 + 30;
    const float x = static_cast<float>(30 * ctx_->pitchX + 0.5 / ctx_->lineSlope[xLine]);
    EXPECT_EQ(-1, VertexAtLineSide(ctx_.get(), xLed, xLine, ODPoint{x - 0.01f, 0.5f}));
    EXPECT_EQ(1, VertexAtLineSide(ctx_.get(), xLed, xLine, ODPoint{x + 0.01f, 0.5f}));
}

// Fingers of the beam model. Once more than two polygons exist, each further rectangle loses its
// carved fragments under 4 mm^2; only the first two slots can hold one, from rectangles carved
// while the table was still short.
TEST_F(BlobDetection, TinyFragmentsDisappearAmongMany) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> pos(0.1, 0.9);
    int rawTiny = 0, framesWithMany = 0;
    const double mm = ctx_->mmPerLed;
    auto sizeMm2 = [&](const _MINI_POLYGON& b) {
        return (b.width / ctx_->pitchX * mm) * (mm * b.height / ctx_->pitchY);
    };
    for (int round = 0; round < 40; ++round) {
        std::vector<VirtualFrame::Finger> fingers;
        for (int f = 0; f < 4; ++f) fingers.push_back({f, pos(rng), pos(rng), 10.0});
        words_ = beams_->scan(fingers);
        Detect();
        if (ctx_->blobCount > 2) ++framesWithMany;
        for (int i = 2; i < ctx_->blobCount; ++i)
            EXPECT_GE(sizeMm2(ctx_->blobs[i]), 4.0) << "round " << round << " blob " << i;
        // The same rectangles carved without the size rule.
        std::vector<ShadowRect> rects(ctx_->rects, ctx_->rects + ctx_->rectCount);
        if (ctx_->rectRefined == 0) continue;
        ctx_->blobCount = ctx_->workCount = 0;
        for (ShadowRect& r : rects) {
            if (ctx_->workCount >= 98) break;
            GetBlobsFormRect(ctx_.get(), &r);
        }
        for (int i = 2; i < ctx_->workCount; ++i)
            if (sizeMm2(ctx_->blobs[i]) < 4.0) ++rawTiny;
    }
    EXPECT_GT(framesWithMany, 10);
    EXPECT_GT(rawTiny, 0) << "the scenarios never produced a fragment for the rule to remove";
}

// Only one family of slanted beams arrives over a 6 x 6 LED shadow; its bands alone must carve
// the rectangle away (every other beam through it is blocked).
class OneFamilyCarves : public BlobDetection, public ::testing::WithParamInterface<Axis> {};

TEST_P(OneFamilyCarves, RectangleInArrivedBandsOfOneFamilyIsRemoved) {
    const Axis arrived = GetParam();
    const Axis blocked = arrived == Axis::X ? Axis::Y : Axis::X;
    const int leds = blocked == Axis::Y ? model_->geometry.ledsY : model_->geometry.ledsX;
    for (int led = 0; led < leds; ++led)
        words_[beams_->entryOf(blocked, led)] &= static_cast<uint16_t>(1u << beams_->bitOf(blocked, 0));
    BlockStraight(words_, *beams_, Axis::X, 30, 36);
    BlockStraight(words_, *beams_, Axis::Y, 20, 26);
    Detect();
    EXPECT_EQ(1, +ctx_->rectCount);
    EXPECT_EQ(1u, +ctx_->rectRefined);
    EXPECT_EQ(0, +ctx_->blobCount);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, OneFamilyCarves, ::testing::Values(Axis::X, Axis::Y));

TEST_F(BlobDetection, FragmentLimitRisesToSixteenSquareMillimetresAboveNinetyNineRectangles) {
    // Sixteen thin fingers: their rows and columns make over a hundred rectangles.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> pos(0.05, 0.95);
    const double mm = ctx_->mmPerLed;
    auto sizeMm2 = [&](const _MINI_POLYGON& b) {
        return (b.width / ctx_->pitchX * mm) * (mm * b.height / ctx_->pitchY);
    };
    int framesWithMany = 0, midSized = 0;
    for (int round = 0; round < 30; ++round) {
        std::vector<VirtualFrame::Finger> fingers;
        for (int f = 0; f < 16; ++f) fingers.push_back({f, pos(rng), pos(rng), 6.0});
        words_ = beams_->scan(fingers);
        Detect();
        if (ctx_->rectCount <= 99) continue;
        ++framesWithMany;
        for (int i = 2; i < ctx_->blobCount; ++i)
            EXPECT_GE(sizeMm2(ctx_->blobs[i]), 16.0) << "round " << round << " blob " << i;
        // The same rectangles carved without the size rule leave fragments of 4 to 16 mm2.
        std::vector<ShadowRect> rects(ctx_->rects, ctx_->rects + ctx_->rectCount);
        ctx_->blobCount = ctx_->workCount = 0;
        for (ShadowRect& r : rects) {
            if (ctx_->workCount >= 98) break;
            GetBlobsFormRect(ctx_.get(), &r);
        }
        for (int i = 2; i < ctx_->workCount; ++i) {
            const double size = sizeMm2(ctx_->blobs[i]);
            if (size >= 4.0 && size < 16.0) ++midSized;
        }
    }
    EXPECT_GT(framesWithMany, 10);
    EXPECT_GT(midSized, 0) << "no fragment for the raised limit to remove";
}

}  // namespace
