// Console control events and the one shutdown path.
#include "core/core.h"
#include "launch/launch.h"

namespace {

const DWORD kChildWait = 2000;
const DWORD kRelayWait = 500;
// How long a Shutdown on the handler thread lets a busy main thread finish
// its current step: longer than the service's 1,000 ms wait for the child.
const DWORD kMainThreadStopWait = 1500;
const DWORD kPollInterval = 10;

__declspec(noreturn) void ParkForever() {
    for (;;) Sleep(INFINITE);
}

__declspec(noreturn) void ParkMainThread() {
    g_state.mainThread = MAIN_PARKED;
    ParkForever();
}

// TRUE once nothing but this thread can touch the state Shutdown releases:
// it is the main thread itself, or the main thread has parked (or is blocked
// in a request read and will park when it wakes). Start-up is let finish, so
// that a child it creates is resumed and waited for; a request is given a
// bounded time, since it may wait on a console or a full pipe for ever.
BOOL StopMainThread() {
    if (GetCurrentThreadId() == g_state.mainThreadId) return TRUE;
    DWORD waited = 0;
    for (;;) {
        LONG state = g_state.mainThread;
        if (state == MAIN_PARKED) return TRUE;
        if (state == MAIN_WAITING) {
            if (g_state.mainThread.compare_exchange_strong(state, MAIN_PARKED)) return TRUE;
            continue;
        }
        if (state == MAIN_BUSY) {
            g_state.mainThread.compare_exchange_strong(state, MAIN_STOPPING);
            continue;
        }
        if (state == MAIN_STOPPING) {
            if (waited >= kMainThreadStopWait) return FALSE;
            waited += kPollInterval;
        }
        Sleep(kPollInterval);
    }
}

void CloseIfOpen(HANDLE* handle) {
    if (*handle != NULL) {
        CloseHandle(*handle);
        *handle = NULL;
    }
}

// Waits for the relays while they still run, so that bytes the child wrote
// just before it ended are drained to their destinations, not dropped.
// TRUE when every started relay thread has ended.
BOOL WaitForRelays() {
    const HANDLE threads[] = {g_state.stdoutRelayThread, g_state.stderrRelayThread, g_state.consoleRelayThread};
    BOOL allEnded = TRUE;
    for (HANDLE thread : threads) {
        if (thread != NULL && WaitForSingleObject(thread, kRelayWait) != WAIT_OBJECT_0) allEnded = FALSE;
    }
    return allEnded;
}

}  // namespace

void MainThreadWaiting() {
    LONG state = g_state.mainThread;
    while (state == MAIN_STARTING || state == MAIN_BUSY) {
        if (g_state.mainThread.compare_exchange_weak(state, MAIN_WAITING)) return;
    }
    ParkMainThread();  // a Shutdown on another thread has begun
}

void MainThreadBusy() {
    LONG expected = MAIN_WAITING;
    // A Shutdown that found us waiting has marked us parked: stay out.
    if (!g_state.mainThread.compare_exchange_strong(expected, MAIN_BUSY)) ParkForever();
}

BOOL WINAPI ControlHandler(DWORD controlType) {
    switch (controlType) {
        case CTRL_C_EVENT:
            SetEvent(g_state.ctrlCEvent);
            return TRUE;
        case CTRL_BREAK_EVENT:
            SetEvent(g_state.ctrlBreakEvent);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            g_state.failureExitCode = 1;
            Shutdown();
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
        if (GetCurrentThreadId() == g_state.mainThreadId) ParkMainThread();
        ParkForever();
    }
    if (g_state.handlerInstalled) SetConsoleCtrlHandler(ControlHandler, FALSE);

    // Everything below but the relays belongs to the main thread until it
    // stops; a main thread that cannot stop in time keeps it, and the
    // process exit releases it instead.
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
        CloseIfOpen(&g_state.ctrlCEvent);
        CloseIfOpen(&g_state.ctrlBreakEvent);
        CloseIfOpen(&g_state.consoleInputDevice);
        // The only write end of the parent->child pipe: once it is drained,
        // every read of the child on it fails.
        CloseIfOpen(&g_state.parentToChildWrite);

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
            if (!WaitForChild(kChildWait)) {
                EnumThreadWindows(g_state.child.dwThreadId, PostCloseToWindow, 0);
                WaitForChild(kChildWait);
            }
        }
    }

    const BOOL relaysEnded = WaitForRelays();
    g_state.relaysRunning = FALSE;

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
