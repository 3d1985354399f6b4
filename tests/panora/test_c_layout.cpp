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
