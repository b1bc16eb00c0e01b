// The wait for the child, the exit code rules, and the one shutdown path:
// what it releases (each thing once, also when entered twice at once), how it
// treats a child that is suspended, ending or lingering, and close events.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core/core.h"
#include "fault.h"
#include "harness.h"
#include "launcher_run.h"
#include "service_fixture.h"

namespace {

namespace run = launcher_run;

// A real child: `cmd /c exit <code>`, created suspended when asked. It goes
// into the job that ends it when this process ends, so a test that fails
// with the child still suspended leaves nothing behind.
bool StartExitingChild(DWORD code, bool suspended, PROCESS_INFORMATION* child) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string line = "cmd.exe /c exit " + std::to_string(code);
    if (!run::CreateProcessInJob(NULL, &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, child)) {
        return false;
    }
    return suspended || ResumeThread(child->hThread) != static_cast<DWORD>(-1);
}

// --- WaitForChild and the exit code rules ---

class ChildWait : public ::testing::Test {
protected:
    void SetUp() override { ResetLauncherState(); }
    // A test that failed half-way leaves no process behind.
    void TearDown() override { run::Leave(); }
};

TEST_F(ChildWait, NoChildMeansFinishedWithoutWaiting) {
    EXPECT_TRUE(WaitForChild(2000));
    EXPECT_EQ(0, fault::Count(fault::kWaitForSingleObject));
    EXPECT_FALSE(g_state.childExitSeen);
}

TEST_F(ChildWait, TakesTheCodeOfAnEndedChildAndReleasesItOnce) {
    ASSERT_TRUE(StartExitingChild(7, true, &g_state.child));
    const HANDLE process = g_state.child.hProcess;
    const HANDLE thread = g_state.child.hThread;
    g_state.failureExitCode = 1;

    EXPECT_FALSE(WaitForChild(0)) << "a suspended child is still running";
    EXPECT_EQ(process, g_state.child.hProcess);
    EXPECT_EQ(thread, g_state.child.hThread);
    EXPECT_FALSE(g_state.childExitSeen);
    EXPECT_EQ(0, fault::Count(fault::kCloseHandle));

    ResumeThread(thread);
    EXPECT_TRUE(WaitForChild(10000));
    EXPECT_TRUE(g_state.childExitSeen);
    EXPECT_EQ(7u, g_state.childExitCode.load());
    EXPECT_EQ(7u, EffectiveExitCode()) << "the child's code replaces the failure's 1";
    EXPECT_EQ(nullptr, g_state.child.hProcess);
    EXPECT_EQ(nullptr, g_state.child.hThread);
    std::vector<fault::Record> closes = fault::Records(fault::kCloseHandle);
    ASSERT_EQ(2u, closes.size());
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(thread), closes[0].args[0]);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(process), closes[1].args[0]);

    // Again: answered at once, nothing closed twice, the code kept.
    const int waits = fault::Count(fault::kWaitForSingleObject);
    g_state.failureExitCode = 1;
    EXPECT_TRUE(WaitForChild(10000));
    EXPECT_EQ(waits, fault::Count(fault::kWaitForSingleObject));
    EXPECT_EQ(2, fault::Count(fault::kCloseHandle));
    EXPECT_EQ(7u, EffectiveExitCode());
}

TEST_F(ChildWait, FailedExitCodeQueryKeepsTheOldCode) {
    ASSERT_TRUE(StartExitingChild(7, false, &g_state.child));
    g_state.failureExitCode = 1;
    fault::Fail(fault::kGetExitCodeProcess, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(WaitForChild(10000));
    EXPECT_FALSE(g_state.childExitSeen);
    EXPECT_EQ(1u, EffectiveExitCode());
    EXPECT_EQ(nullptr, g_state.child.hProcess) << "the child has ended all the same";
    EXPECT_EQ(nullptr, g_state.child.hThread);
}

TEST_F(ChildWait, FailedWaitCountsAsStillRunning) {
    ASSERT_TRUE(StartExitingChild(7, false, &g_state.child));
    const HANDLE process = g_state.child.hProcess;
    fault::Fail(fault::kWaitForSingleObject, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WaitForChild(10000));
    EXPECT_EQ(process, g_state.child.hProcess);
    EXPECT_FALSE(g_state.childExitSeen);
    EXPECT_TRUE(WaitForChild(10000));
    EXPECT_EQ(7u, EffectiveExitCode());
}

TEST(ExitCode, ChildCodeBeatsFailureWhichBeatsZero) {
    struct Case {
        DWORD failure;
        BOOL childSeen;
        DWORD child, expected;
    };
    const Case kCases[] = {
        {0, FALSE, 0, 0},
        {1, FALSE, 0, 1},
        {1, FALSE, 9, 1},  // a code never seen does not count
        {1, TRUE, 0, 0},   // a child that ended with 0 wins over the failure
        {0, TRUE, 7, 7},
        {1, TRUE, 7, 7},
        {1, TRUE, 0xC0000005, 0xC0000005},  // all 32 bits
    };
    for (const Case& c : kCases) {
        ResetLauncherState();
        g_state.failureExitCode = c.failure;
        g_state.childExitSeen = c.childSeen;
        g_state.childExitCode = c.child;
        EXPECT_EQ(c.expected, EffectiveExitCode()) << c.failure << " " << c.childSeen << " " << c.child;
    }
    ResetLauncherState();
}

// --- Shutdown (each in a death test: it ends the process) ---

// In a death test's child the exit code is all that comes back. Releases go
// through recorders that end the process at once with a code of their own on
// a second release, an unknown release, or one out of order. Every proper
// release sets a bit in the child exit code, which Shutdown ends with.
enum : DWORD { kUnknownRelease = 0x97, kOutOfOrder = 0x98, kDoubleRelease = 0x99 };

// In the order of their release; the console output goes only after the
// relays have ended, and the handler has no place in the order: it would be
// removed before anything is released.
enum Resource {
    kCommandLine, kBlockView, kMapping, kPrimaryBuffer, kCtrlCEvent, kCtrlBreakEvent, kConsoleInputDevice,
    kParentToChildWrite, kConsoleOutput, kHandler, kResourceCount
};
const DWORD kEveryResource = (1u << kResourceCount) - 1;
// The control handler is never removed: a CTRL+C during the shutdown's waits
// must not meet the platform's default handling, which ends the process.
const DWORD kAllReleased = kEveryResource & ~(1u << kHandler);
// Everything start-up and channel set-up acquire.
const unsigned kEverything = run::kHoldMainThread | run::kHoldCommandLine | run::kHoldHandler | run::kHoldBlock |
                             run::kHoldBuffer | run::kHoldEvents | run::kHoldConsoleInput | run::kHoldConsoleOutput |
                             run::kHoldResultPipe | run::kHoldLock;

struct Held {
    UINT_PTR value;
    bool released;
};
Held g_held[kResourceCount];
int g_lastOrdered = -1;
CRITICAL_SECTION g_recorderLock;

void Released(UINT_PTR value, int first, int last) {
    EnterCriticalSection(&g_recorderLock);
    for (int i = first; i <= last; ++i) {
        if (g_held[i].value != value) continue;
        if (g_held[i].released) ::ExitProcess(kDoubleRelease);
        if (i != kHandler) {
            if (i < g_lastOrdered) ::ExitProcess(kOutOfOrder);
            g_lastOrdered = i;
        }
        g_held[i].released = true;
        g_state.childExitCode |= 1u << i;
        LeaveCriticalSection(&g_recorderLock);
        return;
    }
    ::ExitProcess(kUnknownRelease);
}

BOOL WINAPI RecordCloseHandle(HANDLE handle) {
    Released(reinterpret_cast<UINT_PTR>(handle), kMapping, kConsoleOutput);
    return CloseHandle(handle);
}

HLOCAL WINAPI RecordLocalFree(HLOCAL memory) {
    Released(reinterpret_cast<UINT_PTR>(memory), kCommandLine, kPrimaryBuffer);
    return LocalFree(memory);
}

BOOL WINAPI RecordUnmap(LPCVOID view) {
    Released(reinterpret_cast<UINT_PTR>(view), kBlockView, kBlockView);
    return UnmapViewOfFile(view);
}

BOOL WINAPI RecordHandlerRemoval(PHANDLER_ROUTINE routine, BOOL add) {
    if (!add) Released(reinterpret_cast<UINT_PTR>(routine), kHandler, kHandler);
    return SetConsoleCtrlHandler(routine, add);
}

template <typename Function>
void Route(fault::Call call, Function* replacement) {
    fault::Replace(call, reinterpret_cast<void*>(replacement));
}

// What `what` names, held as start-up and channel set-up would, with every
// release going through the recorders; the resources in `watched` (bits of
// Resource) are the ones whose release is expected.
void Hold(unsigned what = kEverything, DWORD watched = kEveryResource) {
    run::Enter(what);
    InitializeCriticalSection(&g_recorderLock);
    const UINT_PTR values[kResourceCount] = {
        reinterpret_cast<UINT_PTR>(g_state.childCommandLine),   reinterpret_cast<UINT_PTR>(g_state.blockView),
        reinterpret_cast<UINT_PTR>(g_state.mapping),            reinterpret_cast<UINT_PTR>(g_state.primaryBuffer),
        reinterpret_cast<UINT_PTR>(g_state.ctrlCEvent),         reinterpret_cast<UINT_PTR>(g_state.ctrlBreakEvent),
        reinterpret_cast<UINT_PTR>(g_state.consoleInputDevice), reinterpret_cast<UINT_PTR>(g_state.parentToChildWrite),
        reinterpret_cast<UINT_PTR>(g_state.consoleOutput),      reinterpret_cast<UINT_PTR>(ControlHandler),
    };
    for (int i = 0; i < kResourceCount; ++i) {
        if ((watched & (1u << i)) == 0) continue;
        // A resource missing here would show as its bit missing in the exit code.
        if (values[i] == 0 || values[i] == reinterpret_cast<UINT_PTR>(INVALID_HANDLE_VALUE)) ::ExitProcess(0x90 + i);
        g_held[i] = Held{values[i], false};
    }
    // The bits go out as the child's code: whatever the failure code says,
    // a seen child's code is what the process ends with.
    g_state.childExitSeen = TRUE;
    g_state.childExitCode = 0;
    g_state.failureExitCode = 1;
    Route(fault::kCloseHandle, RecordCloseHandle);
    Route(fault::kLocalFree, RecordLocalFree);
    Route(fault::kUnmapViewOfFile, RecordUnmap);
    Route(fault::kSetConsoleCtrlHandler, RecordHandlerRemoval);
}

void ShutdownHolding(unsigned what, DWORD watched) {
    Hold(what, watched);
    Shutdown();
}

TEST(ShutdownDeathTest, ReleasesEverythingOnceInOrder) {
    EXPECT_EXIT(ShutdownHolding(kEverything, kEveryResource), ::testing::ExitedWithCode(kAllReleased), "");
}

// A failure early in start-up: nothing held but the lock and one event.
TEST(ShutdownDeathTest, ReleasesOnlyWhatWasAcquired) {
    EXPECT_EXIT(ShutdownHolding(run::kHoldMainThread | run::kHoldLock | run::kHoldCtrlCEvent, 1u << kCtrlCEvent),
                ::testing::ExitedWithCode(1u << kCtrlCEvent), "");
}

void SpinFor(int iterations) {
    for (volatile int i = 0; i < iterations; ++i) {
    }
}

// Two ways into Shutdown at once: from a second thread directly, or through
// a close event; the main thread enters at the same moment.
enum SecondEntry { kSecondShutdown, kCloseEvent };

void EnterTwice(SecondEntry how, int mainDelay, int otherDelay) {
    Hold();
    HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
    std::thread([=] {
        WaitForSingleObject(go, 5000);
        SpinFor(otherDelay);
        if (how == kCloseEvent) ControlHandler(CTRL_CLOSE_EVENT);
        if (how == kSecondShutdown) Shutdown();
        ::ExitProcess(0x96);  // neither returns
    }).detach();
    SetEvent(go);
    SpinFor(mainDelay);
    Shutdown();
}

TEST(ShutdownDeathTest, ConcurrentEntriesReleaseEachThingOnce) {
    const int kDelays[][2] = {{0, 0}, {0, 20000}, {20000, 0}, {200000, 0}, {0, 200000}};
    for (SecondEntry how : {kSecondShutdown, kCloseEvent}) {
        for (const auto& delay : kDelays) {
            SCOPED_TRACE(::testing::Message() << "entry " << how << " delays " << delay[0] << "/" << delay[1]);
            EXPECT_EXIT(EnterTwice(how, delay[0], delay[1]), ::testing::ExitedWithCode(kAllReleased), "");
        }
    }
}

// The main thread serving when a close event comes, blocked in a read of the
// next request, in a stdin read, or in a write to a full stdout pipe: the
// handler's Shutdown cancels that call, the service ends quietly and the
// main thread stops, and everything is released.
enum Blocked { kRequestRead, kStdinRead, kStdoutWrite };

void CloseWhileServing(Blocked blocked) {
    Hold();
    HANDLE requestsWrite = NULL, inWrite = NULL, outRead = NULL;
    CreatePipe(&g_state.childToParentRead, &requestsWrite, NULL, 1 << 20);
    CreatePipe(&g_state.stdinHandle, &inWrite, NULL, 0);      // a writer that never writes
    CreatePipe(&outRead, &g_state.stdoutHandle, NULL, 4096);  // a reader that never reads
    std::string script = blocked == kStdinRead     ? std::string("\0\0\0\0\0\0\0\0", 8)
                         : blocked == kStdoutWrite ? std::string("\1\0\0\0\0\0\1\0", 8) + std::string(65536, 'x')
                                                   : std::string();
    WriteAll(requestsWrite, script);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_state.mainThreadHandle, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    std::thread([] {
        Sleep(200);  // the main thread is blocked by then
        ControlHandler(CTRL_CLOSE_EVENT);
    }).detach();
    if (!ServeCommands()) ::ExitProcess(0x95);  // a cancelled call is no failure to report
    Shutdown();  // the second entry: the main thread stops here
}

TEST(ShutdownDeathTest, CloseEventCancelsWhatTheServingMainThreadWaitsFor) {
    for (Blocked blocked : {kRequestRead, kStdinRead, kStdoutWrite}) {
        SCOPED_TRACE(blocked);
        const DWORD start = GetTickCount();
        EXPECT_EXIT(CloseWhileServing(blocked), ::testing::ExitedWithCode(kAllReleased), "");
        EXPECT_LT(GetTickCount() - start, 3000u) << "the cancel should end the call at once";
    }
}

TEST(ShutdownDeathTest, CloseLogoffAndShutdownEventsEndWithOne) {
    for (DWORD type : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        SCOPED_TRACE(type);
        EXPECT_EXIT(
            {
                run::Enter(run::kHoldMainThread);
                ControlHandler(type);
                ::ExitProcess(0x95);
            },
            ::testing::ExitedWithCode(1), "");
    }
}

// A serving main thread stuck where no cancel reaches: the shutdown gives up
// on it after a bounded time, frees nothing it may still use, and still does
// the child's part: the pipe closed before the child is waited for, its code.
// Stuck inside a send (holding the pipe's lock), the pipe it writes to is
// left open instead, and the child is still waited for.
HANDLE g_pipeToClose;
bool g_pipeClosed;
bool g_stuckInSend;

BOOL WINAPI NotePipeClose(HANDLE handle) {
    if (handle == g_pipeToClose && g_stuckInSend) ::ExitProcess(0x9C);
    if (handle == g_pipeToClose) g_pipeClosed = true;
    return CloseHandle(handle);
}
HLOCAL WINAPI NoFree(HLOCAL) { ::ExitProcess(0x9A); }
DWORD WINAPI WaitAfterPipeClose(HANDLE handle, DWORD milliseconds) {
    if (handle == g_state.child.hProcess && !g_pipeClosed && !g_stuckInSend) ::ExitProcess(0x9B);
    return WaitForSingleObject(handle, milliseconds);
}

TEST(ShutdownDeathTest, CloseEventStillEndsTheChildWhenTheMainThreadIsStuck) {
    for (bool inSend : {false, true}) {
        SCOPED_TRACE(inSend ? "inside a send" : "outside a send");
        EXPECT_EXIT(
            {
                run::Enter(run::kHoldMainThread | run::kHoldBuffer | run::kHoldResultPipe);
                g_pipeToClose = g_state.parentToChildWrite;
                g_stuckInSend = inSend;
                if (!StartExitingChild(3, false, &g_state.child)) ::ExitProcess(0x94);
                Route(fault::kCloseHandle, NotePipeClose);
                Route(fault::kLocalFree, NoFree);
                Route(fault::kWaitForSingleObject, WaitAfterPipeClose);
                if (inSend) AcquireSRWLockExclusive(&g_state.childPipeLock);
                std::thread([] { ControlHandler(CTRL_CLOSE_EVENT); }).detach();
                g_state.mainThread = MAIN_SERVING;
                WaitForSingleObject(CreateEventA(NULL, TRUE, FALSE, NULL), 10000);
                ::ExitProcess(0x95);
            },
            ::testing::ExitedWithCode(3), "");
    }
}

DWORD WINAPI NoWait(HANDLE, DWORD) { ::ExitProcess(0x91); }
BOOL WINAPI NoEnumeration(DWORD, WNDENUMPROC, LPARAM) { ::ExitProcess(0x92); }
DWORD WINAPI NoResume(HANDLE) { ::ExitProcess(0x93); }

TEST(ShutdownDeathTest, WithoutChildEndsAtOnceWithTheFailureCode) {
    for (DWORD failure : {0u, 1u}) {
        SCOPED_TRACE(failure);
        EXPECT_EXIT(
            {
                run::Enter(run::kHoldMainThread);
                g_state.failureExitCode = failure;
                Route(fault::kWaitForSingleObject, NoWait);
                Route(fault::kEnumThreadWindows, NoEnumeration);
                Route(fault::kResumeThread, NoResume);
                Shutdown();
            },
            ::testing::ExitedWithCode(failure), "");
    }
}

TEST(ShutdownDeathTest, ResumesASuspendedChildAndEndsWithItsCode) {
    EXPECT_EXIT(
        {
            run::Enter(run::kHoldMainThread);
            if (!StartExitingChild(5, true, &g_state.child)) ::ExitProcess(0x94);
            g_state.childSuspended = TRUE;
            g_state.failureExitCode = 1;  // set-up failed after the launch
            Shutdown();
        },
        ::testing::ExitedWithCode(5), "");
}

// A child still running after the first wait: its windows are asked to close
// and it is waited for once more. Here the first wait "times out", and the
// child (already ended) is found at the second.
int g_childWaits;
bool g_enumerated;
DWORD g_childThreadId;

DWORD WINAPI FirstChildWaitTimesOut(HANDLE handle, DWORD milliseconds) {
    if (handle != g_state.child.hProcess) return WaitForSingleObject(handle, milliseconds);
    if (milliseconds != 2000) ::ExitProcess(0x91);
    if (++g_childWaits == 1) return WAIT_TIMEOUT;
    if (!g_enumerated) ::ExitProcess(0x92);
    return WaitForSingleObject(handle, milliseconds);
}

BOOL WINAPI EnumerateChildWindows(DWORD thread, WNDENUMPROC callback, LPARAM value) {
    if (thread != g_childThreadId || callback != PostCloseToWindow || g_childWaits != 1) ::ExitProcess(0x93);
    g_enumerated = true;
    EnumThreadWindows(thread, callback, value);
    return TRUE;
}

TEST(ShutdownDeathTest, LingeringChildGetsCloseRequestThenASecondWait) {
    EXPECT_EXIT(
        {
            run::Enter(run::kHoldMainThread);
            if (!StartExitingChild(9, false, &g_state.child)) ::ExitProcess(0x94);
            if (WaitForSingleObject(g_state.child.hProcess, 10000) != WAIT_OBJECT_0) ::ExitProcess(0x95);
            g_childThreadId = g_state.child.dwThreadId;
            g_state.failureExitCode = 1;
            Route(fault::kWaitForSingleObject, FirstChildWaitTimesOut);
            Route(fault::kEnumThreadWindows, EnumerateChildWindows);
            Shutdown();
        },
        ::testing::ExitedWithCode(9), "");
}

}  // namespace
