#include "harness.h"

TEST(Smoke, LauncherWithoutTargetReports) {
    RunResult run = RunProcess(Quote(Launcher()));
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ("Fatal error: No target file specified\r\n", run.err);
}

// The test builds trap undefined behaviour: a signed overflow in a child
// built like them must end it at once with an illegal instruction, with no
// debugger started and no hang.
TEST(UbTrap, SignedOverflowEndsTheProcessAtOnce) {
    RunOptions options;
    options.timeoutMs = 10000;
    RunResult run = RunProcess(Quote(BinDir() + "\\test_child.exe") + " overflow=1", options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(0xC000001Du, run.exitCode);
}
