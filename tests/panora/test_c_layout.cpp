// C and C++ callers share one layout of the library's records.
#include <gtest/gtest.h>

#include <cstddef>

#include "PanoraCore.h"

extern "C" {
size_t panora_c_sizeof_context(void);
size_t panora_c_sizeof_polygon(void);
size_t panora_c_offsetof_scan(void);
size_t panora_c_offsetof_runs_y(void);
size_t panora_c_offsetof_mirror_x(void);
}

TEST(CLayout, RecordsMatchBetweenCAndCxx) {
    EXPECT_EQ(panora_c_sizeof_context(), sizeof(CoreContext));
    EXPECT_EQ(panora_c_sizeof_polygon(), sizeof(_MINI_POLYGON));
    EXPECT_EQ(panora_c_offsetof_scan(), offsetof(CoreContext, scan));
    EXPECT_EQ(panora_c_offsetof_runs_y(), offsetof(CoreContext, runsY));
    EXPECT_EQ(panora_c_offsetof_mirror_x(), offsetof(CoreContext, mirrorX));
    // Packed: one blob is its fields back to back.
    EXPECT_EQ(sizeof(_MINI_POLYGON), 60 * 8 + 1 + 14 * 4u);
}

TEST(CLayout, SharedFieldsSitWhereTheirWidthsPutThem) {
    // Offsets summed from the field widths of the shared part, packed, with 8-byte pointers.
    static_assert(sizeof(void*) == 8, "offsets below assume 64-bit pointers");
    EXPECT_EQ(sizeof(SetupParams), 56u);
    EXPECT_EQ(sizeof(TrackRecord), 44u);
    EXPECT_EQ(sizeof(Path), 156u);
    EXPECT_EQ(sizeof(SmoothContext), 100 * 156 + 4u);
    EXPECT_EQ(offsetof(_MINI_POLYGON, ptCount), 480u);
    EXPECT_EQ(offsetof(_MINI_POLYGON, id), 493u);
    EXPECT_EQ(offsetof(_MINI_POLYGON, stillFrames), 533u);

    EXPECT_EQ(offsetof(CoreContext, screenInches), 48u);
    EXPECT_EQ(offsetof(CoreContext, calPoints), 56u);
    EXPECT_EQ(offsetof(CoreContext, findMode), 96u);
    EXPECT_EQ(offsetof(CoreContext, blobs), 97u);
    EXPECT_EQ(offsetof(CoreContext, lineSlope), 97 + 100 * 537 + 8u);
    EXPECT_EQ(offsetof(CoreContext, outBlobs), 58401u);
    EXPECT_EQ(offsetof(CoreContext, scan), 58413u);
    EXPECT_EQ(offsetof(CoreContext, beamHits), 64573u);
    EXPECT_EQ(offsetof(CoreContext, blobVotes), 64573 + 14336 * 44u);
    EXPECT_EQ(offsetof(CoreContext, padLedsX), 695357 + 100 * 91 * 4u);
    EXPECT_EQ(offsetof(CoreContext, beamBalance), 785477u);
    EXPECT_EQ(offsetof(CoreContext, scanHistory), 785477 + 14336 * 4u);
    EXPECT_EQ(offsetof(CoreContext, historySlot), 842821 + 502 * 1024 * 2u);
    EXPECT_EQ(offsetof(CoreContext, smooth), 1870929u);
    EXPECT_EQ(offsetof(CoreContext, rects), 1886541u);
    EXPECT_EQ(offsetof(CoreContext, mirrorX), 2046549u);
    EXPECT_EQ(offsetof(CoreContext, frameTri), 2046557u);
    EXPECT_EQ(offsetof(CoreContext, mapCentre), 2046605u);
    EXPECT_EQ(offsetof(CoreContext, screenTri), 2046613u);
    EXPECT_EQ(offsetof(CoreContext, runsY), 2046673u);
    // The library's own working state follows the shared part.
    EXPECT_EQ(offsetof(CoreContext, decompressBuf), 2046677u);
}
