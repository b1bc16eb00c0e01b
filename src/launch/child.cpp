// Child launch: compose the command line and create the child suspended.
#include "core/launcher_state.h"
#include "launch/launch.h"
#include "report/report.h"

BOOL LaunchChild() {
    // Room for the two quotes and the NUL, and then some.
    DWORD size = static_cast<DWORD>(lstrlenA(g_state.rest)) + static_cast<DWORD>(lstrlenA(g_state.targetPath)) + 32;
    g_state.childCommandLine = static_cast<char*>(LocalAlloc(LMEM_FIXED, size));
    if (g_state.childCommandLine == NULL) return FatalLastError(MSG_ALLOCATE_COMMAND_LINE);

    // The rest is empty or starts with a space, so the target stands alone.
    HRESULT formatted = FormatBounded(g_state.childCommandLine, size, "\"%s\"%s", g_state.targetPath, g_state.rest);
    if (formatted != BOUNDED_OK) {
        return FatalWithCode(static_cast<DWORD>(formatted), MSG_GENERATE_COMMAND_LINE);
    }

    ZeroMemory(&g_state.childStartup, sizeof g_state.childStartup);
    g_state.childStartup.cb = sizeof g_state.childStartup;

    // The child runs in our own priority class; suspended until its channels exist.
    DWORD flags = GetPriorityClass(GetCurrentProcess()) | CREATE_SUSPENDED;
    if (!CreateProcessA(NULL, g_state.childCommandLine, NULL, NULL, TRUE, flags, NULL, NULL,
                        &g_state.childStartup, &g_state.child)) {
        return FatalLastError(MSG_RUN_TARGET, g_state.targetPath);
    }
    return TRUE;
}

void FreeChildCommandLine() {
    if (g_state.childCommandLine != NULL) {
        LocalFree(g_state.childCommandLine);
        g_state.childCommandLine = NULL;
    }
}
