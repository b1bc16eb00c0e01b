// The one way the tests run the launcher in this process, with what they
// vary as options.
//
// A stage of it: Enter() gives fresh launcher state holding what the options
// name, acquired as start-up and channel set-up would, so that a case can
// call the procedure under test (channel set-up, the command service, a
// relay, Shutdown) directly; Leave() releases whatever the state holds then,
// as Shutdown would but without ending the process.
//
// The whole launcher: Start() before RunLauncher(), inside a death test
// (its Shutdown ends the process): its module name, command line and
// standard handles are the test's to choose, and its releases are watched.
// A handle closed twice, a close that fails, a handle used after its close,
// or memory freed twice ends the process at once with a code of its own;
// memory the launcher frees is decommitted, so a later touch crashes instead
// of passing unseen. The child goes into a job that ends it with this
// process.
#ifndef TARNELO_TEST_LAUNCHER_RUN_H
#define TARNELO_TEST_LAUNCHER_RUN_H

#include <windows.h>

#include <mutex>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "core/core.h"
#include "fault.h"
#include "harness.h"

namespace launcher_run {

// ---- A stage ----

// What Enter() acquires (any combination).
enum Holding : unsigned {
    kHoldNothing = 0,
    kHoldMainThread = 1u << 0,     // this thread stands for the launcher's main thread
    kHoldLock = 1u << 1,           // the output lock, initialised
    kHoldCommandLine = 1u << 2,    // a child command line of 64 bytes
    kHoldHandler = 1u << 3,        // ControlHandler installed
    kHoldBlock = 1u << 4,          // the block's mapping and its view
    kHoldBuffer = 1u << 5,         // the primary buffer
    kHoldCtrlCEvent = 1u << 6,     // the CTRL+C event
    kHoldCtrlBreakEvent = 1u << 7, // the CTRL+BREAK event
    kHoldInheritable = 1u << 8,    // with the events: inheritable, as a child needs them
    kHoldConsoleInput = 1u << 9,   // "CONIN$" as the console input device
    kHoldConsoleOutput = 1u << 10, // "CONOUT$" as the console output
    kHoldResultPipe = 1u << 11,    // the result pipe's write end (the other end stays open)
    kHoldEvents = kHoldCtrlCEvent | kHoldCtrlBreakEvent,
};

inline HANDLE OpenConsole(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                       NULL);
}

inline void Enter(unsigned what) {
    ResetLauncherState();
    if (what & kHoldMainThread) g_state.mainThreadId = GetCurrentThreadId();
    if (what & kHoldCommandLine) g_state.childCommandLine = static_cast<char*>(LocalAlloc(LMEM_FIXED, 64));
    if (what & kHoldHandler) g_state.handlerInstalled = SetConsoleCtrlHandler(ControlHandler, TRUE);
    if (what & kHoldBlock) {
        g_state.mapping =
            CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(InterprocessBlock), NULL);
        g_state.blockView =
            static_cast<BYTE*>(MapViewOfFile(g_state.mapping, FILE_MAP_WRITE, 0, 0, sizeof(InterprocessBlock)));
    }
    if (what & kHoldBuffer) g_state.primaryBuffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, PRIMARY_BUFFER_SIZE));
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    SECURITY_ATTRIBUTES* events = (what & kHoldInheritable) ? &inheritable : NULL;
    if (what & kHoldCtrlCEvent) g_state.ctrlCEvent = CreateEventA(events, FALSE, FALSE, NULL);
    if (what & kHoldCtrlBreakEvent) g_state.ctrlBreakEvent = CreateEventA(events, FALSE, FALSE, NULL);
    if (what & kHoldConsoleInput) g_state.consoleInputDevice = OpenConsole("CONIN$");
    if (what & kHoldConsoleOutput) g_state.consoleOutput = OpenConsole("CONOUT$");
    if (what & kHoldResultPipe) {
        HANDLE childEnd = NULL;  // stays open: the pipe is not broken
        CreatePipe(&childEnd, &g_state.parentToChildWrite, NULL, 0);
    }
    if (what & kHoldLock) {
        InitializeCriticalSection(&g_state.outputLock);
        g_state.lockInitialised = TRUE;
    }
}

inline void CloseIfHeld(HANDLE handle) {
    if (handle != NULL && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

// A child still there is ended first: with it gone no write end is left,
// so a relay still running would mean the launcher kept a copy of one. A
// case that stands in for the child itself leaves its own pseudo handle in
// the state, which is never ended or closed. Handles a case put into the
// state but owns itself must be taken out before.
inline void Leave() {
    if (g_state.handlerInstalled) SetConsoleCtrlHandler(ControlHandler, FALSE);
    if (g_state.child.hProcess != NULL && g_state.child.hProcess != GetCurrentProcess()) {
        TerminateProcess(g_state.child.hProcess, 0);
        WaitForSingleObject(g_state.child.hProcess, 5000);
        CloseHandle(g_state.child.hProcess);
    }
    CloseIfHeld(g_state.child.hThread);
    CloseIfHeld(g_state.childJob);
    for (HANDLE thread : {g_state.stdoutRelayThread, g_state.stderrRelayThread, g_state.consoleRelayThread}) {
        if (thread != NULL) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000)) << "a relay outlived its pipe";
            CloseHandle(thread);
        }
    }
    if (g_state.blockView != NULL) UnmapViewOfFile(g_state.blockView);
    for (HANDLE handle : {g_state.mapping, g_state.parentToChildWrite, g_state.childToParentRead,
                          g_state.consoleInputDevice, g_state.stdoutRelay.readEnd, g_state.stderrRelay.readEnd,
                          g_state.consoleRelay.readEnd, g_state.ctrlCEvent, g_state.ctrlBreakEvent,
                          g_state.consoleOutput}) {
        CloseIfHeld(handle);
    }
    if (g_state.primaryBuffer != NULL) LocalFree(g_state.primaryBuffer);
    if (g_state.childCommandLine != NULL) LocalFree(g_state.childCommandLine);
    if (g_state.lockInitialised) DeleteCriticalSection(&g_state.outputLock);
    ResetLauncherState();
}

// ---- The whole launcher ----

// Exit codes of a run that went wrong in a way the launcher cannot report.
enum : UINT {
    kUsedAfterClose = 0x7A,
    kCloseFailed = 0x7B,
    kDoubleClose = 0x7C,
    kDoubleFree = 0x7D,
    kHung = 0x7E,
};

struct Setup {
    std::string modulePath;
    std::string commandLine;
    HANDLE std[3] = {NULL, NULL, NULL};
    std::string seenFile;  // receives the child's exit code once the launcher has it
};

inline Setup g_setup;
inline std::mutex g_mutex;  // the launcher's threads record at once
inline std::set<UINT_PTR>* g_closed;
inline std::set<UINT_PTR>* g_allocated;
inline std::set<UINT_PTR>* g_freed;

inline bool Has(const std::set<UINT_PTR>* set, UINT_PTR value) {
    std::lock_guard<std::mutex> hold(g_mutex);
    return set->count(value) != 0;
}
inline bool Inserted(std::set<UINT_PTR>* set, UINT_PTR value) {
    std::lock_guard<std::mutex> hold(g_mutex);
    return set->insert(value).second;
}

inline DWORD WINAPI ModuleFileName(HMODULE module, LPSTR path, DWORD size) {
    if (module != NULL) return ::GetModuleFileNameA(module, path, size);
    lstrcpynA(path, g_setup.modulePath.c_str(), static_cast<int>(size));
    return static_cast<DWORD>(g_setup.modulePath.size());
}

inline LPSTR WINAPI CommandLine() { return &g_setup.commandLine[0]; }

inline HANDLE WINAPI StdHandle(DWORD which) {
    return which == STD_INPUT_HANDLE ? g_setup.std[0] : which == STD_OUTPUT_HANDLE ? g_setup.std[1] : g_setup.std[2];
}

inline BOOL WINAPI WatchedCloseHandle(HANDLE handle) {
    if (!Inserted(g_closed, reinterpret_cast<UINT_PTR>(handle))) ::ExitProcess(kDoubleClose);
    if (!::CloseHandle(handle)) ::ExitProcess(kCloseFailed);
    return TRUE;
}

// The handle, unless the launcher closed it before: then the run ends.
inline HANDLE Open(HANDLE handle) {
    if (Has(g_closed, reinterpret_cast<UINT_PTR>(handle))) ::ExitProcess(kUsedAfterClose);
    return handle;
}

inline BOOL WINAPI WatchedReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    return ::ReadFile(Open(handle), buffer, size, done, overlapped);
}

inline BOOL WINAPI WatchedWriteFile(HANDLE handle, LPCVOID bytes, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    return ::WriteFile(Open(handle), bytes, size, done, overlapped);
}

inline BOOL WINAPI WatchedSetEvent(HANDLE handle) { return ::SetEvent(Open(handle)); }

inline BOOL WINAPI WatchedSetConsoleMode(HANDLE handle, DWORD mode) { return ::SetConsoleMode(Open(handle), mode); }

// Every launcher allocation gets pages of its own, so that freeing can take
// them away for good.
inline HLOCAL WINAPI GuardedLocalAlloc(UINT, SIZE_T size) {
    void* memory = VirtualAlloc(NULL, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory != NULL) Inserted(g_allocated, reinterpret_cast<UINT_PTR>(memory));
    return memory;
}

inline HLOCAL WINAPI GuardedLocalFree(HLOCAL memory) {
    const UINT_PTR address = reinterpret_cast<UINT_PTR>(memory);
    if (!Has(g_allocated, address)) return ::LocalFree(memory);  // FormatMessageA's own buffers
    if (!Inserted(g_freed, address)) ::ExitProcess(kDoubleFree);
    // Decommitted but still reserved: the address is never handed out again.
    VirtualFree(memory, 0, MEM_DECOMMIT);
    return NULL;
}

inline BOOL WINAPI RecordedGetExitCodeProcess(HANDLE process, LPDWORD code) {
    BOOL got = ::GetExitCodeProcess(process, code);
    if (got && !g_setup.seenFile.empty()) WriteFileBytes(g_setup.seenFile, std::to_string(*code));
    return got;
}

// Ends a run that neither finished nor crashed.
inline DWORD WINAPI Watchdog(LPVOID milliseconds) {
    Sleep(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(milliseconds)));
    ::ExitProcess(kHung);
}

// Children of the launcher run here end with this process: one left
// suspended or blocked would hold the death test's inherited pipe, and the
// test would wait for it for ever.
inline HANDLE ChildJob() {
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectA(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return created;
    }();
    return job;
}

inline BOOL WINAPI CreateProcessInJob(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                      LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags,
                                      LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                                      LPPROCESS_INFORMATION child) {
    if (!::CreateProcessA(application, commandLine, processAttributes, threadAttributes, inherit, flags, environment,
                          directory, startup, child)) {
        return FALSE;
    }
    AssignProcessToJobObject(ChildJob(), child->hProcess);
    return TRUE;
}

// Fresh launcher state that sees the run's module name, command line and
// standard handles, whatever this process's own are: enough for a run that
// returns (RunLauncher alone).
inline void Surround(const Setup& setup) {
    Enter(kHoldNothing);
    g_setup = setup;
    fault::Replace(fault::kGetModuleFileNameA, reinterpret_cast<void*>(ModuleFileName));
    fault::Replace(fault::kGetCommandLineA, reinterpret_cast<void*>(CommandLine));
    fault::Replace(fault::kGetStdHandle, reinterpret_cast<void*>(StdHandle));
}

// The watchdog armed, then fresh launcher state with the run's surroundings
// and every watch in place; a standard handle that could not be opened ends
// the run at once with `unopened`.
inline void Start(const Setup& setup, DWORD watchdogMs, UINT unopened) {
    for (HANDLE handle : setup.std) {
        if (handle == INVALID_HANDLE_VALUE) ::ExitProcess(unopened);
    }
    ::CloseHandle(::CreateThread(NULL, 0, Watchdog, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(watchdogMs)), 0,
                                 NULL));
    // Whatever this process starts (the child, and Wine's desktop process
    // when the shutdown looks for the child's windows) gets these instead
    // of the test runner's output pipe, which it could hold open for long.
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) SetStdHandle(which, nul);
    Surround(setup);
    g_closed = new std::set<UINT_PTR>;
    g_allocated = new std::set<UINT_PTR>;
    g_freed = new std::set<UINT_PTR>;
    DeleteFileA(setup.seenFile.c_str());
    auto as = [](auto function) { return reinterpret_cast<void*>(function); };
    const std::pair<fault::Call, void*> watches[] = {
        {fault::kCloseHandle, as(WatchedCloseHandle)},
        {fault::kReadFile, as(WatchedReadFile)}, {fault::kWriteFile, as(WatchedWriteFile)},
        {fault::kSetEvent, as(WatchedSetEvent)}, {fault::kSetConsoleMode, as(WatchedSetConsoleMode)},
        {fault::kLocalAlloc, as(GuardedLocalAlloc)}, {fault::kLocalFree, as(GuardedLocalFree)},
        {fault::kGetExitCodeProcess, as(RecordedGetExitCodeProcess)}, {fault::kCreateProcessA, as(CreateProcessInJob)},
    };
    for (const auto& watch : watches) fault::Replace(watch.first, watch.second);
}

// A whole run's surroundings in `dir`: stdin an empty file, stdout and
// stderr files, the child's code recorded in seen.txt; `target` follows the
// launcher's own token on its command line. A case changes what it varies.
inline Setup InDirectory(const std::string& dir, const std::string& target) {
    Setup setup;
    setup.modulePath = BinDir() + "\\tarnelo.exe";
    setup.commandLine = "\"" + setup.modulePath + "\" " + target;
    WriteFileBytes(dir + "\\in.txt", "");
    setup.std[0] = CreateFileA((dir + "\\in.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    setup.std[1] = CreateFileA((dir + "\\out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    setup.std[2] = CreateFileA((dir + "\\err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    setup.seenFile = dir + "\\seen.txt";
    return setup;
}

// The exit code rules seen from outside: the child's code when the launcher
// saw the child end (the recorder wrote it down), else `otherwise`.
struct ExitedByTheRules {
    std::string seenFile;
    DWORD otherwise;

    DWORD Expected() const {
        std::string seen = ReadFileBytes(seenFile);
        return seen.empty() ? otherwise : static_cast<DWORD>(std::stoul(seen));
    }
    bool operator()(int status) const { return static_cast<DWORD>(status) == Expected(); }
};

}  // namespace launcher_run

#endif
