// Child launch: compose the command line and create the child suspended.
#include "core/launcher_state.h"
#include "launch/launch.h"
#include "report/report.h"

namespace {

BOOL SetJobLimits(DWORD limits) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION information;
    ZeroMemory(&information, sizeof information);
    information.BasicLimitInformation.LimitFlags = limits;
    return SetInformationJobObject(g_state.childJob, JobObjectExtendedLimitInformation, &information,
                                   sizeof information);
}

// A launcher killed from outside (a time limit, "End task") runs no
// shutdown: the job ends the child with it instead of leaving it running
// unseen. The child joins while suspended, so none of its code runs outside
// the job; the programs it starts itself break away and are never touched.
// The job is only a help: where it cannot be had the child runs without
// it, as it would have anyway, with no report.
void PutChildInJob() {
    g_state.childJob = CreateJobObjectA(NULL, NULL);
    if (g_state.childJob == NULL) return;
    // On Windows 7 a process is in one job at most: a launcher that runs in
    // a job itself (a service host, a build agent) created the child in that
    // job, and unless it lets children break away silently, joining ours
    // fails with ERROR_ACCESS_DENIED. Windows 8 and later nest jobs.
    if (!SetJobLimits(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) ||
        !AssignProcessToJobObject(g_state.childJob, g_state.child.hProcess)) {
        CloseHandle(g_state.childJob);
        g_state.childJob = NULL;
    }
}

}  // namespace

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
    PutChildInJob();
    return TRUE;
}

void LetChildOutliveLauncher() {
    // A process never leaves its job: without the kill limit, the close of
    // the job at the end of this process leaves the child alone.
    if (g_state.childJob != NULL && g_state.child.hProcess != NULL) SetJobLimits(JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK);
}

void FreeChildCommandLine() {
    if (g_state.childCommandLine != NULL) {
        LocalFree(g_state.childCommandLine);
        g_state.childCommandLine = NULL;
    }
}
