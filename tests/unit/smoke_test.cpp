#include <gtest/gtest.h>

#include "report/report.h"

TEST(Smoke, FormatBoundedFormats) {
    char buffer[32];
    EXPECT_EQ(BOUNDED_OK, FormatBounded(buffer, sizeof buffer, "%u-%X-%s", 10u, 255u, "x"));
    EXPECT_STREQ("10-FF-x", buffer);
}
