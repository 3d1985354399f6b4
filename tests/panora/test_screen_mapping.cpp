// Mapping blob centres from frame to screen coordinates.
#include <gtest/gtest.h>

#include <vector>

#include "PanoraCore.h"
#include "PanoraTestSupport.h"

using panora_test::DefaultPanel;
using panora_test::Geometry;
using panora_test::ReadyContext;

namespace {

void SetBlobs(CoreContext* ctx, const std::vector<ODPoint>& centres) {
    ctx->blobCount = static_cast<int>(centres.size());
    ctx->workCount = ctx->blobCount;
    for (size_t i = 0; i < centres.size(); ++i) {
        _MINI_POLYGON b{};
        b.cx = centres[i].x;
        b.cy = centres[i].y;
        b.pts[0] = {centres[i].x - 0.01f, centres[i].y - 0.02f};
        b.pts[1] = {centres[i].x + 0.01f, centres[i].y + 0.02f};
        b.ptCount = 2;
        b.width = 0.02f;
        b.id = static_cast<int>(i);
        ctx->blobs[i] = b;
    }
}

// A measured quadrilateral inset by 0.1 on every side of the reference square.
void InsetCalibration(CoreContext* ctx) {
    EXPECT_EQ(OrdaloScreenCalibrationEx(ctx, {0, 0}, {0, 1}, {1, 1}, {1, 0}, {0.1f, 0.1f},
                                        {0.1f, 0.9f}, {0.9f, 0.9f}, {0.9f, 0.1f}),
              1u);
}

}  // namespace

TEST(ScreenMapping, MirrorsBothAxesWithTheSetUpMapping) {
    auto ctx = ReadyContext(DefaultPanel());
    SetBlobs(ctx.get(), {{0.2f, 0.7f}});
    CalibrationPoints(ctx.get());
    ASSERT_EQ(+ctx->blobCount, 1);
    EXPECT_NEAR(ctx->blobs[0].cx, 0.8f, 1e-6);
    EXPECT_NEAR(ctx->blobs[0].cy, 0.3f, 1e-6);
    // Vertices are mirrored too, sizes stay in frame units.
    EXPECT_NEAR(ctx->blobs[0].pts[0].x, 0.81f, 1e-6);
    EXPECT_NEAR(ctx->blobs[0].pts[0].y, 0.32f, 1e-6);
    EXPECT_FLOAT_EQ(ctx->blobs[0].width, 0.02f);

    ctx->mirrorX = 0;
    SetBlobs(ctx.get(), {{0.2f, 0.7f}});
    CalibrationPoints(ctx.get());
    EXPECT_NEAR(ctx->blobs[0].cx, 0.2f, 1e-6);
    EXPECT_NEAR(ctx->blobs[0].cy, 0.3f, 1e-6);
}

TEST(ScreenMapping, APointOnTheSharedDiagonalUsesTheFirstTriangle) {
    auto ctx = ReadyContext(DefaultPanel());
    ODPoint p{0.25f, 0.75f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &p), 2u);
    EXPECT_NEAR(p.x, 0.25f, 1e-6);
    EXPECT_NEAR(p.y, 0.75f, 1e-6);
    ODPoint corner{1.0f, 0.0f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &corner), 2u);
    ODPoint far{0.75f, 0.5f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &far), 5u);
}

TEST(ScreenMapping, MapsAMeasuredQuadrilateralOntoTheScreen) {
    auto ctx = ReadyContext(DefaultPanel());
    InsetCalibration(ctx.get());
    EXPECT_FLOAT_EQ(ctx->mapCentre.x, 0.5f);
    EXPECT_FLOAT_EQ(ctx->mapCentre.y, 0.5f);
    struct {
        ODPoint in, out;
        uint32_t triangle;
    } cases[] = {
        {{0.1f, 0.1f}, {0.0f, 0.0f}, 2}, {{0.4f, 0.5f}, {0.375f, 0.5f}, 2},
        {{0.9f, 0.5f}, {1.0f, 0.5f}, 5}, {{0.3f, 0.2f}, {0.25f, 0.125f}, 2},
        {{0.9f, 0.9f}, {1.0f, 1.0f}, 5},
    };
    for (auto& c : cases) {
        ODPoint p = c.in;
        EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &p), c.triangle);
        EXPECT_NEAR(p.x, c.out.x, 1e-5);
        EXPECT_NEAR(p.y, c.out.y, 1e-5);
    }
    ODPoint outside{0.05f, 0.5f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &outside), 0u);
    EXPECT_FLOAT_EQ(outside.x, -1.0f);
    EXPECT_FLOAT_EQ(outside.y, -1.0f);
}

TEST(ScreenMapping, BlobsOutsideBothTrianglesAreRemoved) {
    auto ctx = ReadyContext(DefaultPanel());
    InsetCalibration(ctx.get());
    // After mirroring: (0.97, 0.5) outside, (0.5, 0.5) inside, (0.5, 0.98) outside, (0.15,
    // 0.85) inside.
    SetBlobs(ctx.get(), {{0.03f, 0.5f}, {0.5f, 0.5f}, {0.5f, 0.02f}, {0.85f, 0.15f}});
    CalibrationPoints(ctx.get());
    ASSERT_EQ(+ctx->blobCount, 2);
    EXPECT_EQ(+ctx->blobs[0].id, 1);
    EXPECT_EQ(+ctx->blobs[1].id, 3);
    EXPECT_NEAR(ctx->blobs[1].cx, 0.0625f, 1e-5);
    EXPECT_NEAR(ctx->blobs[1].cy, 0.9375f, 1e-5);
    EXPECT_EQ(+ctx->workCount, 2);
}

TEST(ScreenMapping, CentresAreClampedToTheScreen) {
    auto ctx = ReadyContext(DefaultPanel());
    ctx->mirrorX = ctx->mirrorY = 0;
    // Without a mapping nothing is dropped: only clamped.
    ctx->mapCentre = ODPoint{0.0f, 0.0f};
    SetBlobs(ctx.get(), {{1.3f, -0.2f}, {-0.7f, -0.6f}});
    CalibrationPoints(ctx.get());
    ASSERT_EQ(+ctx->blobCount, 1) << "a centre below -0.5 on both axes is dropped";
    EXPECT_FLOAT_EQ(ctx->blobs[0].cx, 1.0f);
    EXPECT_FLOAT_EQ(ctx->blobs[0].cy, 0.0f);
}

TEST(ScreenMapping, VirtualLedMarginIsRemoved) {
    Geometry g = DefaultPanel();
    g.ledsX = 100;
    g.padX = 2;
    auto ctx = ReadyContext(g);
    ASSERT_EQ(+ctx->ledCountX, 104);
    ctx->mirrorX = ctx->mirrorY = 0;
    SetBlobs(ctx.get(), {{2.0f / 104, 0.5f}, {102.0f / 104, 0.25f}, {52.0f / 104, 0.5f}});
    CalibrationPoints(ctx.get());
    ASSERT_EQ(+ctx->blobCount, 3);
    EXPECT_NEAR(ctx->blobs[0].cx, 0.0f, 1e-6) << "the first physical LED is the screen's edge";
    EXPECT_NEAR(ctx->blobs[1].cx, 1.0f, 1e-6);
    EXPECT_NEAR(ctx->blobs[1].cy, 0.25f, 1e-6) << "no margin on Y";
    EXPECT_NEAR(ctx->blobs[2].cx, 0.5f, 1e-6);

    ctx->mirrorX = 1;
    SetBlobs(ctx.get(), {{2.0f / 104, 0.5f}, {27.0f / 104, 0.5f}});
    CalibrationPoints(ctx.get());
    EXPECT_NEAR(ctx->blobs[0].cx, 1.0f, 1e-6);
    EXPECT_NEAR(ctx->blobs[1].cx, 0.75f, 1e-5);
}

TEST(ScreenMapping, AxisParallelDiagonalsTurnTheMappingOff) {
    EXPECT_FLOAT_EQ(getLinesEncouterPoint({0, 0}, {1, 0}, {0, 1}, {1, 0}).x, 0.0f);
    EXPECT_FLOAT_EQ(getLinesEncouterPoint({0, 0}, {0, 1}, {0, 1}, {1, 0}).y, 0.0f);
    EXPECT_FLOAT_EQ(getLinesEncouterPoint({0, 0}, {1, 1}, {0, 1}, {1, 2}).x, 0.0f)
        << "parallel lines";
    const ODPoint m = getLinesEncouterPoint({0, 0}, {1, 1}, {1, 0}, {0, 1});
    EXPECT_FLOAT_EQ(m.x, 0.5f);
    EXPECT_FLOAT_EQ(m.y, 0.5f);

    auto ctx = ReadyContext(DefaultPanel());
    // A quadrilateral whose diagonal a4-a6 is vertical.
    OrdaloScreenCalibrationEx(ctx.get(), {0, 0}, {0, 1}, {1, 1}, {1, 0}, {0.5f, 0}, {0, 0.5f},
                              {0.5f, 1}, {1, 0.5f});
    EXPECT_FLOAT_EQ(ctx->mapCentre.x, 0.0f);
    EXPECT_FLOAT_EQ(ctx->mapCentre.y, 0.0f);
    SetBlobs(ctx.get(), {{0.1f, 0.3f}});
    CalibrationPoints(ctx.get());
    EXPECT_NEAR(ctx->blobs[0].cx, 0.9f, 1e-6);
    EXPECT_NEAR(ctx->blobs[0].cy, 0.7f, 1e-6);
}

TEST(ScreenMapping, DegenerateReferencePointsAreRefused) {
    auto ctx = ReadyContext(DefaultPanel());
    EXPECT_EQ(OrdaloScreenCalibrationEx(ctx.get(), {0, 0}, {0, 1}, {1, 1}, {0, 0}, {0.1f, 0.1f},
                                        {0.1f, 0.9f}, {0.9f, 0.9f}, {0.9f, 0.1f}),
              0u);
    EXPECT_FLOAT_EQ(ctx->mapCentre.x, 0.0f);
    SetBlobs(ctx.get(), {{0.4f, 0.4f}});
    CalibrationPoints(ctx.get());
    EXPECT_NEAR(ctx->blobs[0].cx, 0.6f, 1e-6);
}

TEST(ScreenMapping, TriangleTestIncludesEdges) {
    const ODPoint a{0, 0}, b{1, 0}, c{0, 1};
    EXPECT_EQ(isPointInTriangle({0.5f, 0.5f}, a, b, c), 1u);
    EXPECT_EQ(isPointInTriangle({0.0f, 0.3f}, a, b, c), 1u);
    EXPECT_EQ(isPointInTriangle({0.0f, 0.0f}, a, b, c), 1u);
    EXPECT_EQ(isPointInTriangle({0.6f, 0.6f}, a, b, c), 0u);
    EXPECT_EQ(isPointInTriangle({-0.01f, 0.5f}, a, b, c), 0u);
    EXPECT_FLOAT_EQ(Matrix3Pt(a, b, c), 0.5f);
    EXPECT_FLOAT_EQ(Matrix3Pt(a, c, b), -0.5f);
}

TEST(ScreenMapping, ACollapsedTriangleMapsNothing) {
    auto ctx = ReadyContext(DefaultPanel());
    // A measured quadrilateral squashed onto one line: both triangles have no area.
    for (int i = 0; i < 6; ++i) ctx->frameTri[i] = ODPoint{0.1f * i, 0.1f * i};
    ODPoint p{0.2f, 0.2f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &p), 0u);
    EXPECT_FLOAT_EQ(p.x, -1.0f);
    EXPECT_FLOAT_EQ(p.y, -1.0f);
}

TEST(ScreenMapping, ReferenceSpanScalesTheQuadrilateralAboutItsCentre) {
    auto ctx = ReadyContext(DefaultPanel());
    // Reference points two units apart: the measured quadrilateral shrinks by half about the
    // crossing of its diagonals, (1, 1).
    EXPECT_EQ(OrdaloScreenCalibrationEx(ctx.get(), {0, 0}, {0, 2}, {9, 9}, {2, 0}, {0.2f, 0.2f},
                                        {0.2f, 1.8f}, {1.8f, 1.8f}, {1.8f, 0.2f}),
              1u);
    EXPECT_FLOAT_EQ(ctx->mapCentre.x, 1.0f);
    EXPECT_FLOAT_EQ(ctx->mapCentre.y, 1.0f);
    // Triangles a4 a7 a5 and a7 a6 a5 of the scaled corners.
    const ODPoint want[6] = {{0.6f, 0.6f}, {1.4f, 0.6f}, {0.6f, 1.4f},
                             {1.4f, 0.6f}, {1.4f, 1.4f}, {0.6f, 1.4f}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(ctx->frameTri[i].x, want[i].x, 1e-6) << i;
        EXPECT_NEAR(ctx->frameTri[i].y, want[i].y, 1e-6) << i;
    }
    ODPoint centre{1.0f, 1.0f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &centre), 2u);
    EXPECT_NEAR(centre.x, 0.5f, 1e-6);
    EXPECT_NEAR(centre.y, 0.5f, 1e-6);
    ODPoint corner{1.4f, 1.4f};
    EXPECT_EQ(touchFrameToScreenSpace(ctx.get(), &corner), 5u);
    EXPECT_NEAR(corner.x, 1.0f, 1e-5);
    EXPECT_NEAR(corner.y, 1.0f, 1e-5);
}
