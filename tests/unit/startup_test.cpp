// Start-up driver: each console resource failing stops start-up right there
// with its report; what start-up acquires and how the installed control
// handler passes CTRL+C and CTRL+BREAK on.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "core/core.h"
#include "fault.h"
#include "harness.h"
#include "launcher_run.h"
#include "report/report.h"

namespace {

// RunLauncher asks for stderr itself: hand it the capture pipe.
HANDLE g_reportPipe;

HANDLE WINAPI StderrIsCapture(DWORD which) {
    return which == STD_ERROR_HANDLE ? g_reportPipe : GetStdHandle(which);
}

HANDLE WINAPI OnlyStderr(DWORD which) { return which == STD_ERROR_HANDLE ? g_reportPipe : NULL; }

class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLauncherState();
        capture_.reset(new StderrCapture);
        g_reportPipe = g_state.stderrHandle;
        fault::Replace(fault::kGetStdHandle, reinterpret_cast<void*>(StderrIsCapture));
    }
    void TearDown() override {
        // What a failed start-up leaves for Shutdown, released here instead.
        launcher_run::Leave();
    }
    // Runs start-up with the module name failing: every console resource is
    // then held, and nothing of the target or child exists yet.
    void AcquireConsoleResources() {
        fault::Fail(fault::kGetModuleFileNameA, ERROR_ACCESS_DENIED);
        ASSERT_EQ(0u, RunLauncher());
        ASSERT_EQ(SystemReport("Failed to get module name", ERROR_ACCESS_DENIED), capture_->Take());
    }
    std::unique_ptr<StderrCapture> capture_;
};

// How far start-up got: calls of the steps after stderr, in order (the
// spin-count lookup, CreateFileA, CreateEventA, SetConsoleCtrlHandler,
// GetStdHandle, the primary buffer's allocation, GetModuleFileNameA).
using Progress = std::array<int, 7>;

Progress CurrentProgress() {
    const std::vector<fault::Record> allocations = fault::Records(fault::kLocalAlloc);
    const auto primary = [](const fault::Record& call) { return call.args[1] == PRIMARY_BUFFER_SIZE; };
    const int primaryBuffers = static_cast<int>(std::count_if(allocations.begin(), allocations.end(), primary));
    return Progress{fault::Count(fault::kGetProcAddress), fault::Count(fault::kCreateFileA),
                    fault::Count(fault::kCreateEventA),   fault::Count(fault::kSetConsoleCtrlHandler),
                    fault::Count(fault::kGetStdHandle),   primaryBuffers,
                    fault::Count(fault::kGetModuleFileNameA)};
}

struct StepCase {
    const char* name;
    const char* message;
    fault::Call call;
    DWORD error;
    int skip;         // earlier calls of the same kind that succeed
    UINT_PTR match;   // first argument of the call to fail; 0: any
    Progress after;   // the step's own call is the last one made
};

const StepCase kSteps[] = {
    {"Kernel32Handle", "Failed to get module handle for kernel32.dll", fault::kGetModuleHandleA, ERROR_MOD_NOT_FOUND,
     1, 0, {0, 0, 0, 0, 1, 0, 0}},
    {"ConsoleOutput", "Failed to open console output file", fault::kCreateFileA, ERROR_ACCESS_DENIED, 0, 0,
     {1, 1, 0, 0, 1, 0, 0}},
    {"ConsoleOutputInvalidHandle", "Failed to open console output file", fault::kCreateFileA, ERROR_INVALID_HANDLE,
     0, 0, {1, 1, 0, 0, 1, 0, 0}},
    {"CtrlCEvent", "Failed to create event for CTRL+C handling", fault::kCreateEventA, ERROR_NO_SYSTEM_RESOURCES, 0,
     0, {1, 1, 1, 0, 1, 0, 0}},
    {"CtrlBreakEvent", "Failed to create event for CTRL+BREAK handling", fault::kCreateEventA,
     ERROR_NOT_ENOUGH_MEMORY, 1, 0, {1, 1, 2, 0, 1, 0, 0}},
    {"ControlHandler", "Failed to set control handler for process", fault::kSetConsoleCtrlHandler,
     ERROR_INVALID_PARAMETER, 0, 0, {1, 1, 2, 1, 1, 0, 0}},
    {"StdinHandle", "Failed to get STDIN handle", fault::kGetStdHandle, ERROR_INVALID_HANDLE, 0,
     static_cast<UINT_PTR>(STD_INPUT_HANDLE), {1, 1, 2, 1, 2, 0, 0}},
    {"StdoutHandle", "Failed to get STDOUT handle", fault::kGetStdHandle, ERROR_GEN_FAILURE, 0,
     static_cast<UINT_PTR>(STD_OUTPUT_HANDLE), {1, 1, 2, 1, 3, 0, 0}},
    {"PrimaryBuffer", "Failed to allocate primary buffer", fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 0, 0,
     {1, 1, 2, 1, 3, 1, 0}},
};

// Test names show the step, not the record's bytes.
void PrintTo(const StepCase& step, std::ostream* out) { *out << step.name; }

class StartUpStep : public StartUp, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StartUpStep, FailingReportsItsMessageAndStopsThere) {
    const StepCase& step = GetParam();
    fault::Fail(step.call, step.error, step.skip, 1, step.match);
    EXPECT_EQ(0u, RunLauncher());
    EXPECT_EQ(SystemReport(step.message, step.error), capture_->Take());
    EXPECT_EQ(1u, EffectiveExitCode());
    EXPECT_EQ(step.after, CurrentProgress());
    EXPECT_EQ(0, fault::Count(fault::kCreateProcessA));
    EXPECT_FALSE(g_state.childSuspended);
    if (step.call == fault::kCreateFileA) {
        EXPECT_EQ(nullptr, g_state.consoleOutput) << "Shutdown must not close INVALID_HANDLE_VALUE";
    }
}

INSTANTIATE_TEST_SUITE_P(EachConsoleResource, StartUpStep, ::testing::ValuesIn(kSteps),
                         [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

TEST_F(StartUp, NullStandardHandlesAreAccepted) {
    // Only INVALID_HANDLE_VALUE is a failure: a process may lack a stream.
    fault::Replace(fault::kGetStdHandle, reinterpret_cast<void*>(OnlyStderr));
    AcquireConsoleResources();
    EXPECT_EQ(nullptr, g_state.stdinHandle);
    EXPECT_EQ(nullptr, g_state.stdoutHandle);
    EXPECT_NE(nullptr, g_state.primaryBuffer);
}

TEST_F(StartUp, HoldsEveryConsoleResourceBeforeReadingTheTarget) {
    AcquireConsoleResources();
    EXPECT_EQ(g_reportPipe, g_state.stderrHandle);
    EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), g_state.stdinHandle);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), g_state.stdoutHandle);
    EXPECT_TRUE(g_state.lockInitialised);
    EXPECT_TRUE(g_state.handlerInstalled);
    ASSERT_NE(nullptr, g_state.primaryBuffer);
    EXPECT_EQ(PRIMARY_BUFFER_SIZE, LocalSize(g_state.primaryBuffer));

    // The console output device is a usable console.
    ASSERT_NE(nullptr, g_state.consoleOutput);
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(g_state.consoleOutput, &mode)) << GetLastError();

    // The events are inherited by the child and start non-signalled.
    for (HANDLE event : {g_state.ctrlCEvent, g_state.ctrlBreakEvent}) {
        ASSERT_NE(nullptr, event);
        DWORD flags = 0;
        ASSERT_TRUE(GetHandleInformation(event, &flags));
        EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
    }
    EXPECT_NE(g_state.ctrlCEvent, g_state.ctrlBreakEvent);
    EXPECT_EQ(0, fault::Count(fault::kCreateProcessA));
}

TEST_F(StartUp, OutputLockUsesSpinCountWhenTheLookupWorks) {
    fault::Fail(fault::kCreateFileA, ERROR_ACCESS_DENIED);  // stop right after the lock
    RunLauncher();
    std::vector<fault::Record> modules = fault::Records(fault::kGetModuleHandleA);
    std::vector<fault::Record> lookups = fault::Records(fault::kGetProcAddress);
    ASSERT_EQ(2u, modules.size());
    ASSERT_EQ(1u, lookups.size());
    EXPECT_STREQ("kernel32.dll", reinterpret_cast<const char*>(modules[1].args[0]));
    EXPECT_EQ(modules[1].result, lookups[0].args[0]);
    EXPECT_STREQ("InitializeCriticalSectionAndSpinCount", reinterpret_cast<const char*>(lookups[0].args[1]));
    EXPECT_TRUE(g_state.lockInitialised);
    EXPECT_EQ(1024u, g_state.outputLock.SpinCount);
    EXPECT_TRUE(TryEnterCriticalSection(&g_state.outputLock));
    LeaveCriticalSection(&g_state.outputLock);
}

TEST_F(StartUp, OutputLockFallsBackWhenSpinCountCallIsMissing) {
    fault::Fail(fault::kGetProcAddress, ERROR_PROC_NOT_FOUND);
    fault::Fail(fault::kCreateFileA, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0u, RunLauncher());
    // Start-up goes on as before: the next step runs and reports.
    EXPECT_EQ(SystemReport("Failed to open console output file", ERROR_ACCESS_DENIED), capture_->Take());
    EXPECT_TRUE(g_state.lockInitialised);
    EXPECT_EQ(0u, g_state.outputLock.SpinCount) << "initialised without a spin count";
    // An initialised lock can be taken; a zeroed one cannot.
    EXPECT_TRUE(TryEnterCriticalSection(&g_state.outputLock));
    LeaveCriticalSection(&g_state.outputLock);
}

// --- The console control handler as start-up installs it ---

TEST_F(StartUp, CtrlCAndCtrlBreakEachSignalTheirEventOnce) {
    AcquireConsoleResources();
    struct Case {
        DWORD type;
        HANDLE own, other;
    };
    const Case kCases[] = {{CTRL_C_EVENT, g_state.ctrlCEvent, g_state.ctrlBreakEvent},
                           {CTRL_BREAK_EVENT, g_state.ctrlBreakEvent, g_state.ctrlCEvent}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.type);
        EXPECT_TRUE(ControlHandler(c.type));
        EXPECT_TRUE(ControlHandler(c.type));
        // Two presses before anyone waits release one wait.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c.own, 0));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(c.own, 0));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(c.other, 0));
    }
    EXPECT_EQ(1u, g_state.failureExitCode.load()) << "only the report set it";

    // Once the shutdown has begun (and may be closing the events), a key is
    // still handled, so that it cannot end the launcher, but signals nothing.
    g_state.shutdownEntered = 1;
    const int sets = fault::Count(fault::kSetEvent);
    EXPECT_TRUE(ControlHandler(CTRL_C_EVENT));
    EXPECT_TRUE(ControlHandler(CTRL_BREAK_EVENT));
    EXPECT_EQ(sets, fault::Count(fault::kSetEvent));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(g_state.ctrlCEvent, 0));
    EXPECT_EQ(0, g_state.ctrlSignalling.load());
}

TEST_F(StartUp, OtherControlTypesAreNotHandled) {
    AcquireConsoleResources();
    g_state.failureExitCode = 0;
    for (DWORD type : {3u, 4u, 7u, 8u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        EXPECT_FALSE(ControlHandler(type));
    }
    EXPECT_EQ(0, fault::Count(fault::kSetEvent));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(g_state.ctrlCEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(g_state.ctrlBreakEvent, 0));
    EXPECT_EQ(0u, EffectiveExitCode());
}

// Registered before the launcher's handler, so it is asked only when that
// one declines the event: it must never be.
volatile LONG g_fallthrough;

BOOL WINAPI Fallthrough(DWORD) {
    InterlockedIncrement(&g_fallthrough);
    return TRUE;
}

// StartUp's set-up for the cases that end the process (death tests need a suite of their own).
class StartUpDeathTest : public StartUp {};

// A real CTRL+C goes to every process on the console, so this runs in a
// child with a console of its own. The child's exit code tells the outcome.
void RaiseCtrlCOnOwnConsole() {
    FreeConsole();
    if (!AllocConsole()) ::ExitProcess(0x81);
    fault::Fail(fault::kGetModuleFileNameA, ERROR_ACCESS_DENIED);
    SetConsoleCtrlHandler(Fallthrough, TRUE);
    RunLauncher();
    if (!g_state.handlerInstalled) ::ExitProcess(0x82);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) ::ExitProcess(0x83);
    if (WaitForSingleObject(g_state.ctrlCEvent, 3000) != WAIT_OBJECT_0) ::ExitProcess(0x84);
    if (WaitForSingleObject(g_state.ctrlBreakEvent, 0) != WAIT_TIMEOUT) ::ExitProcess(0x85);
    if (g_fallthrough != 0) ::ExitProcess(0x86);
    ::ExitProcess(0x42);  // signalled, handled, and still running
}

TEST_F(StartUpDeathTest, RealCtrlCSignalsTheEventAndTheLauncherKeepsRunning) {
    EXPECT_EXIT(RaiseCtrlCOnOwnConsole(), ::testing::ExitedWithCode(0x42), "");
}

// --- Without a usable stderr ---

BOOL WINAPI NoWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) { ::ExitProcess(3); }
HMODULE WINAPI NoModuleLookup(LPCSTR name) {
    if (name != NULL) ::ExitProcess(4);
    return GetModuleHandleA(NULL);
}

TEST_F(StartUpDeathTest, InvalidStderrExitsAtOnceWithNothingWritten) {
    EXPECT_EXIT(
        {
            ResetLauncherState();
            fault::Fail(fault::kGetStdHandle, ERROR_INVALID_HANDLE, 0, 1, static_cast<UINT_PTR>(STD_ERROR_HANDLE));
            // Any report, or any step after stderr, ends with another code.
            fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(NoWriteFile));
            fault::Replace(fault::kGetModuleHandleA, reinterpret_cast<void*>(NoModuleLookup));
            RunLauncher();
            ::ExitProcess(2);
        },
        ::testing::ExitedWithCode(1), "");
}

// --- The launcher as a process ---

TEST(StartUpProcess, WithoutConsoleReportsConsoleOutputAndExitsOne) {
    RunOptions options;
    options.creationFlags = DETACHED_PROCESS;
    options.timeoutMs = 10000;
    RunResult run = RunProcess(Quote(Launcher()) + " \"" + BinDir() + "\\test_child.exe\"", options);
    EXPECT_EQ(1u, run.exitCode);
    // The code is the platform's; the lines around it are exact.
    const std::string head = "Fatal error: Failed to open console output file\r\nSystem error number: ";
    ASSERT_EQ(head, run.err.substr(0, head.size()));
    DWORD code = strtoul(run.err.c_str() + head.size(), NULL, 10);
    EXPECT_NE(0u, code);
    EXPECT_EQ(SystemReport("Failed to open console output file", code), run.err);
    EXPECT_EQ("", run.out);
}

// A child that cannot be resumed: reported with the target and the system
// error, then handled as the shutdown handles any suspended child: resumed
// there, waited for, and its code is ours.
void RunWithFailingResume(const std::string& dir) {
    launcher_run::Start(launcher_run::InDirectory(dir, Quote(BinDir() + "\\test_child.exe") + " exit=5"), 15000, 0x73);
    fault::Fail(fault::kResumeThread, ERROR_ACCESS_DENIED);
    RunLauncher();
    Shutdown();
}

TEST_F(StartUpDeathTest, FailedResumeIsReportedAndTheChildStillRuns) {
    const std::string dir = TestDir();
    EXPECT_EXIT(RunWithFailingResume(dir), ::testing::ExitedWithCode(5), "");
    EXPECT_EQ(SystemReport(("Failed to run " + BinDir() + "\\test_child.exe").c_str(), ERROR_ACCESS_DENIED),
              ReadFileBytes(dir + "\\err.txt"));
}

}  // namespace
