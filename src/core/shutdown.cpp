// Console control events and the one shutdown path.
#include "core/core.h"
#include "launch/launch.h"

namespace {

const DWORD kChildWait = 2000;
// One deadline for all the relays together, not one each in turn.
const DWORD kRelayWait = 500;
// The whole path of a close, logoff or shutdown event (ControlHandler says why).
const DWORD kCloseBudget = 4500;
// How long a Shutdown on the handler thread keeps cancelling the blocking
// calls of a serving main thread before it goes on without it. From Windows
// 8 on a cancel ends any of them at once. Before that a console read is not
// cancellable I/O (nor, under Wine, is a read of a Unix pipe): such a read
// lasts until this runs out.
const DWORD kMainThreadStopWait = 500;
const DWORD kPollInterval = 10;

__declspec(noreturn) void ParkForever() {
    for (;;) Sleep(INFINITE);
}

// Bounded waits are measured on the clock, never counted: a sleep or a wait
// may last longer than asked (a whole 15.6 ms tick on Windows).
ULONGLONG Now() { return GetTickCount64(); }

// `limit`, cut to what is left before the close deadline once one is set.
DWORD WithinDeadline(DWORD limit) {
    const ULONGLONG deadline = g_state.closeDeadline;
    if (deadline == 0) return limit;
    const ULONGLONG now = Now();
    if (now >= deadline) return 0;
    return deadline - now < limit ? static_cast<DWORD>(deadline - now) : limit;
}

// Sleeps until the main thread moves on from `state`, at most `milliseconds`.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a state and a time, not two of a kind
void AwaitMainThread(LONG state, DWORD milliseconds) {
    AcquireSRWLockExclusive(&g_state.mainThreadLock);
    if (g_state.mainThread == state) {
        SleepConditionVariableSRW(&g_state.mainThreadMoved, &g_state.mainThreadLock, milliseconds, 0);
    }
    ReleaseSRWLockExclusive(&g_state.mainThreadLock);
}

// TRUE once nothing but this thread can touch the state Shutdown releases:
// it is the main thread itself, or the main thread has stopped. Start-up and
// the service's last wait end by themselves and are waited for, so that a
// child start-up creates is resumed and waited for; a start-up that outlasts
// the close deadline leaves nothing to do but end the process. A serving
// main thread is told to stop and its blocking calls are cancelled until it
// does; FALSE when it has not stopped within kMainThreadStopWait.
BOOL StopMainThread() {
    if (GetCurrentThreadId() == g_state.mainThreadId) return TRUE;
    ULONGLONG giveUpAt = 0;
    for (;;) {
        LONG state = g_state.mainThread;
        if (state == MAIN_STOPPED) return TRUE;
        if (state == MAIN_SERVING) {
            giveUpAt = Now() + WithinDeadline(kMainThreadStopWait);
            g_state.mainThread.compare_exchange_strong(state, MAIN_STOPPING);
            continue;
        }
        if (state == MAIN_STOPPING) {
            if (Now() >= giveUpAt) {
                if (g_state.mainThread.compare_exchange_strong(state, MAIN_STOPPED)) return FALSE;
                continue;
            }
            if (g_state.mainThreadHandle != NULL) CancelSynchronousIo(g_state.mainThreadHandle);
            // Soon again: a cancel that comes just before a call begins finds nothing.
            AwaitMainThread(state, kPollInterval);
            continue;
        }
        const DWORD left = WithinDeadline(INFINITE);
        // Out of time while start-up still owns the state: nothing is safe
        // but the exit, which Windows would force a moment later anyway.
        if (left == 0) ExitProcess(EffectiveExitCode());
        AwaitMainThread(state, left);
    }
}

void CloseIfOpen(HANDLE* handle) {
    if (*handle != NULL) {
        CloseHandle(*handle);
        *handle = NULL;
    }
}

// The launcher holds the only write end of the parent->child pipe: once it
// is closed and drained, every read of the child on it fails. A main thread
// that was given up on may be inside a send on it: then the pipe is left to
// the end of the process rather than closed under that send.
void CloseChildPipe() {
    const ULONGLONG giveUpAt = Now() + WithinDeadline(kMainThreadStopWait);
    while (!TryAcquireSRWLockExclusive(&g_state.childPipeLock)) {
        if (Now() >= giveUpAt) return;
        Sleep(kPollInterval);
    }
    CloseIfOpen(&g_state.parentToChildWrite);
    ReleaseSRWLockExclusive(&g_state.childPipeLock);
}

// Waits for the relays while they still run, so that bytes the child wrote
// just before it ended are drained to their destinations, not dropped.
// TRUE when every started relay thread has ended.
BOOL WaitForRelays() {
    const HANDLE threads[] = {g_state.stdoutRelayThread, g_state.stderrRelayThread, g_state.consoleRelayThread};
    const ULONGLONG until = Now() + WithinDeadline(kRelayWait);
    BOOL allEnded = TRUE;
    for (HANDLE thread : threads) {
        if (thread == NULL) continue;
        const ULONGLONG now = Now();
        if (WaitForSingleObject(thread, now < until ? static_cast<DWORD>(until - now) : 0) != WAIT_OBJECT_0) {
            allEnded = FALSE;
        }
    }
    return allEnded;
}

}  // namespace

BOOL WINAPI ControlHandler(DWORD controlType) {
    switch (controlType) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // Handled also during the shutdown, so that the key never ends the
            // launcher; but then no event is signalled: Shutdown closes them.
            ++g_state.ctrlSignalling;
            if (!g_state.shutdownEntered) SetEvent(controlType == CTRL_C_EVENT ? g_state.ctrlCEvent : g_state.ctrlBreakEvent);
            --g_state.ctrlSignalling;
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            // Windows ends a process 5 s after such an event reached it, and
            // the exit code is then Windows' own. So everything the path waits
            // for ends 4.5 s after this moment, whatever the main thread was
            // doing; the rest is for the steps between the waits, a timer tick
            // late on each, and the exit. The waits keep their order and their
            // lengths while the budget allows, and the last ones shrink when
            // earlier ones took longer. (Wine never delivers these events; the
            // tests call this handler directly.)
            ULONGLONG none = 0;
            g_state.closeDeadline.compare_exchange_strong(none, Now() + kCloseBudget);
            g_state.failureExitCode = 1;
            Shutdown();
        }
        default:
            return FALSE;
    }
}

BOOL WaitForChild(DWORD milliseconds) {
    if (g_state.child.hProcess == NULL) return TRUE;
    if (WaitForSingleObject(g_state.child.hProcess, milliseconds) != WAIT_OBJECT_0) return FALSE;
    DWORD code = 0;
    if (GetExitCodeProcess(g_state.child.hProcess, &code)) {
        g_state.childExitCode = code;
        g_state.childExitSeen = TRUE;
    }
    CloseIfOpen(&g_state.child.hThread);
    CloseIfOpen(&g_state.child.hProcess);
    return TRUE;
}

void MoveMainThread(LONG state) {
    AcquireSRWLockExclusive(&g_state.mainThreadLock);
    g_state.mainThread = state;
    ReleaseSRWLockExclusive(&g_state.mainThreadLock);
    WakeAllConditionVariable(&g_state.mainThreadMoved);
}

BOOL CALLBACK PostCloseToWindow(HWND window, LPARAM) {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

DWORD EffectiveExitCode() {
    return g_state.childExitSeen ? g_state.childExitCode.load() : g_state.failureExitCode.load();
}

void Shutdown() {
    // A second caller waits for the first, which ends the process.
    if (g_state.shutdownEntered.exchange(1) != 0) {
        if (GetCurrentThreadId() == g_state.mainThreadId) MoveMainThread(MAIN_STOPPED);
        ParkForever();
    }
    // The control handler stays installed: a CTRL+C or CTRL+BREAK during the
    // waits below must not end the launcher by the platform's default. From
    // here on it signals nothing; wait for one that is signalling right now.
    while (g_state.ctrlSignalling != 0) Sleep(1);

    // Everything the main thread uses belongs to it until it stops; a main
    // thread that cannot stop in time keeps it, and the process exit
    // releases it instead. The child's part below is done in every case.
    const BOOL exclusive = StopMainThread();
    if (exclusive) {
        FreeChildCommandLine();
        if (g_state.blockView != NULL) {
            UnmapViewOfFile(g_state.blockView);
            g_state.blockView = NULL;
        }
        CloseIfOpen(&g_state.mapping);
        if (g_state.primaryBuffer != NULL) {
            LocalFree(g_state.primaryBuffer);
            g_state.primaryBuffer = NULL;
        }
    }
    CloseIfOpen(&g_state.ctrlCEvent);
    CloseIfOpen(&g_state.ctrlBreakEvent);
    if (exclusive) CloseIfOpen(&g_state.consoleInputDevice);
    CloseChildPipe();

    if (g_state.child.hProcess != NULL) {
        if (g_state.childSuspended) {
            // Set-up failed after the launch. A child that cannot even be
            // resumed has run none of its code: ending it is the only way
            // not to leave it behind, suspended for good.
            if (ResumeThread(g_state.child.hThread) == static_cast<DWORD>(-1)) {
                TerminateProcess(g_state.child.hProcess, 1);
            }
            g_state.childSuspended = FALSE;
        }
        // A close event during a Shutdown already under way cuts the waits
        // still to come: the one under way lasts kChildWait at most.
        if (!WaitForChild(WithinDeadline(kChildWait))) {
            EnumThreadWindows(g_state.child.dwThreadId, PostCloseToWindow, 0);
            WaitForChild(WithinDeadline(kChildWait));
        }
    }
    // A child that outlived the waits keeps running after we end, as always.
    LetChildOutliveLauncher();

    const BOOL relaysEnded = WaitForRelays();
    g_state.relaysStopping = TRUE;

    // The dedicated relay writes to the console output device: close it only
    // once that thread is gone, and delete the lock only when no relay can
    // still hold it.
    if (exclusive && relaysEnded) {
        CloseIfOpen(&g_state.consoleOutput);
        if (g_state.lockInitialised) {
            DeleteCriticalSection(&g_state.outputLock);
            g_state.lockInitialised = FALSE;
        }
    }
    ExitProcess(EffectiveExitCode());
}
