#include <gtest/gtest.h>

#include "harness.h"

TEST(Smoke, LauncherWithoutTargetReports) {
    RunResult run = RunProcess("\"" + BinDir() + "\\tarnelo.exe\"");
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ("Fatal error: No target file specified\r\n", run.err);
}
