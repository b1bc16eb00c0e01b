// Start-up driver: acquires the console resources in a fixed order, starts
// the child suspended, builds its channels, resumes it and serves it.
#include "core/core.h"
#include "launch/launch.h"
#include "report/report.h"

LauncherState g_state;

namespace {

typedef BOOL(WINAPI* InitializeWithSpinCount)(LPCRITICAL_SECTION, DWORD);

// Spin count 1,024; the high bit asks for the lock's wait event up front.
const DWORD kSpinCount = 0x80000400;

// The console resources, from stderr to the primary buffer: stderr first
// so that every later failure can be reported.
BOOL AcquireConsoleResources() {
    g_state.stderrHandle = GetStdHandle(STD_ERROR_HANDLE);
    if (g_state.stderrHandle == INVALID_HANDLE_VALUE) {
        ExitProcess(1);  // nowhere to report to
    }

    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL) return FatalLastError(MSG_KERNEL32_HANDLE);
    InitializeWithSpinCount initialize = reinterpret_cast<InitializeWithSpinCount>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "InitializeCriticalSectionAndSpinCount")));
    if (initialize != NULL) {
        initialize(&g_state.outputLock, kSpinCount);
    } else {
        InitializeCriticalSection(&g_state.outputLock);
    }
    g_state.lockInitialised = TRUE;

    HANDLE console = OpenConsoleDevice("CONOUT$");
    if (console == INVALID_HANDLE_VALUE) return FatalLastError(MSG_OPEN_CONSOLE_OUTPUT);
    g_state.consoleOutput = console;

    // Both events exist before the handler that signals them and before the
    // child that inherits them under the same values.
    g_state.ctrlCEvent = CreateEventA(&g_state.inheritable, FALSE, FALSE, NULL);
    if (g_state.ctrlCEvent == NULL) return FatalLastError(MSG_CTRL_C_EVENT);
    g_state.ctrlBreakEvent = CreateEventA(&g_state.inheritable, FALSE, FALSE, NULL);
    if (g_state.ctrlBreakEvent == NULL) return FatalLastError(MSG_CTRL_BREAK_EVENT);

    g_state.handlerInstalled = SetConsoleCtrlHandler(ControlHandler, TRUE);
    if (!g_state.handlerInstalled) return FatalLastError(MSG_CONTROL_HANDLER);

    g_state.stdinHandle = GetStdHandle(STD_INPUT_HANDLE);
    if (g_state.stdinHandle == INVALID_HANDLE_VALUE) return FatalLastError(MSG_STDIN_HANDLE);
    g_state.stdoutHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (g_state.stdoutHandle == INVALID_HANDLE_VALUE) return FatalLastError(MSG_STDOUT_HANDLE);

    // Allocated once, before the child exists: nothing is allocated per request.
    g_state.primaryBuffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, PRIMARY_BUFFER_SIZE));
    if (g_state.primaryBuffer == NULL) return FatalLastError(MSG_PRIMARY_BUFFER);
    return TRUE;
}

// Cooked input for the child's first read, keeping every other mode bit.
void SetInitialInputMode() {
    DWORD mode = 0;
    if (GetConsoleMode(g_state.consoleInput, &mode)) g_state.savedInputMode = mode;
    g_state.savedInputMode |= INPUT_MODE_BITS;
    SetConsoleMode(g_state.consoleInput, g_state.savedInputMode);
}

}  // namespace

DWORD RunLauncher() {
    g_state.mainThreadId = GetCurrentThreadId();
    g_state.savedInputMode = INPUT_MODE_BITS;
    g_state.inheritable.nLength = sizeof g_state.inheritable;
    g_state.inheritable.lpSecurityDescriptor = NULL;
    g_state.inheritable.bInheritHandle = TRUE;
    g_state.moduleHandle = GetModuleHandleA(NULL);

    if (!AcquireConsoleResources()) return 0;
    if (!ReadModuleAndCommandLine()) return 0;
    if (!ResolveTarget()) return 0;
    if (!LaunchChild()) return 0;
    g_state.childSuspended = TRUE;
    if (!SetUpChannels()) return 0;  // the child stays suspended; Shutdown resumes it

    // Only now is the block complete, so the child never sees it half filled.
    // A child that cannot be resumed would leave the service waiting for
    // ever: Shutdown tries again, and ends the child if that fails too.
    if (ResumeThread(g_state.child.hThread) == static_cast<DWORD>(-1)) {
        return FatalLastError(MSG_RUN_TARGET, g_state.targetPath);
    }
    g_state.childSuspended = FALSE;
    SetInitialInputMode();
    WatchChild();
    return ServeCommands();
}
