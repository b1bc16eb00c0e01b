// The scripted test child: a GUI-subsystem program that attaches to the
// launcher with the SDK (when a launcher started it) and then does what its
// actions say, left to right, so that a test can play any program's part
// and see every route work from the child's side.
//
// Actions come from the environment variable TEST_CHILD (separated by
// spaces) first, then from the arguments: a child started through a file
// association cannot be given them on its command line. Running out of
// actions detaches and exits 0.
//
//   cmdline=F     write GetCommandLineW() exactly, a NUL, then the current
//                 directory, both as UTF-8, to file F
//   pid=F         write this process's id in decimal to file F
//   log=F         append one line per later action to file F (made empty
//                 first; its first line is "attach <result>")
//   dump=F        write the 68-byte block as the child sees it to file F
//   ready=F       create file F (tells a waiting test we got here)
//   probe         write a distinct marker through each way out: the handles
//                 stdoutWrite, stderrWrite, consoleWrite and requests 1, 2, 4
//   events        check both event handles work here (set, wait, auto-reset)
//   readdup       read stdin to its end through stdinDuplicate; log the bytes
//   readcmd       read stdin to its end through requests; log the bytes
//   readconsole   one console read through a request; log the bytes
//   say=T         write T and a newline to stdout through a request
//   sayn=N        write N bytes to stdout through one request; log the result
//   relay=N       write N bytes of numbered lines through a handle, fast
//   relayto=W     handle for relay=: so (stdoutWrite, default), se, co
//   keep          keep a copy of the relay= handle, which outlives a detach
//                 (as the C runtime's copies do after TarneloRedirectStdio)
//   waitctrlc=MS  wait at most MS for the CTRL+C event; log what happened
//   routes=F      every route in a fixed order, with short tokens a fault
//                 sweep can tell from anything else: "started" and how it
//                 ended go to file F, the process exits 42 (41 when not
//                 launched)
//   detach        close every handle the launcher handed over: its service
//                 ends while this process lives on (exit 99 when not
//                 launched)
//   life=MS       how long a later window= may run at most (default 10000)
//   closelog=F    append a line "close" to file F for each WM_CLOSE a later
//                 window= receives
//   window=honour top-level window and message loop until WM_CLOSE (or life)
//   window=ignore the same, but WM_CLOSE is swallowed: runs until life
//                 (exit 98 when no window can be made: no display driver)
//   endin=MS:N    end with exit code N after MS ms from another thread, as a
//                 program does that quits while a read of its is outstanding
//   start=F       start a program of its own, sharing no handle: this one,
//                 writing its process id to file F, then idling 30 s
//   exit=N        end at once with exit code N (decimal, or hex after 0x),
//                 without detaching
//   overflow=N    add N to INT_MAX and exit with the sum: undefined for N > 0,
//                 so a build with undefined-behaviour traps ends at the trap
//
// Any other argument is noted in the log, if there is one, and otherwise
// skipped, so a child can be given arbitrary ones to echo.
//
// The children that stay programs of their own, and why: fuzz_child replays
// the request stream fuzz_stream.h derives from a seed, the same code the
// fuzz test checks the answers with, and must follow it byte for byte;
// stress_child moves gigabytes with a running hash at full speed, where a
// per-action interpreter would be what is measured; the benchmark programs
// (bench/) measure the launcher's own cost and must do nothing else.
#include <windows.h>

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>

#include "child_common.h"
#include "tarnelo_child.h"

namespace {

const UINT kNotLaunched = 99;
const UINT kNoWindow = 98;

TarneloChild g_child;
int g_attached;
HANDLE g_log = INVALID_HANDLE_VALUE;
HANDLE g_relayHandle;
DWORD g_life = 10000;
bool g_honourClose = false;
bool g_closeSeen = false;
std::string g_closeLog;
DWORD g_endCode;

// Under Wine a GUI child shares the launcher's console: without a handler
// of its own a CTRL+C meant for the launcher would end it. The launcher
// passes the key on as an event instead.
BOOL WINAPI IgnoreControl(DWORD) { return TRUE; }

// Decimal, or hex after 0x (which base 16 skips).
DWORD ParseNumber(const char* text) { return strtoul(text, NULL, _strnicmp(text, "0x", 2) == 0 ? 16 : 10); }

void WriteWholeFile(const char* path, const std::string& bytes) {
    ChildSaveFile(path, bytes.data(), static_cast<DWORD>(bytes.size()), 0);
}

void AppendLine(const std::string& path, const char* line) {
    ChildSaveFile(path.c_str(), line, static_cast<DWORD>(strlen(line)), 1);
}

void Log(const char* text, DWORD length) {
    if (g_log != INVALID_HANDLE_VALUE) ChildWriteAll(g_log, text, length);
}

void LogLine(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (length < 0) length = sizeof line - 2;
    line[length++] = '\n';
    Log(line, static_cast<DWORD>(length));
}

// "name: bytes\n", bytes as they came.
void LogBytes(const char* name, const char* bytes, DWORD count) {
    const std::string line = std::string(name) + ": " + std::string(bytes, count) + "\n";
    Log(line.data(), static_cast<DWORD>(line.size()));
}

// "what ok", or "what failed <error>".
void LogOutcome(const std::string& what, BOOL ok, DWORD error) {
    if (ok) {
        LogLine("%s ok", what.c_str());
    } else {
        LogLine("%s failed %lu", what.c_str(), error);
    }
}

// UTF-8 of the wide text: the program's own view, whatever its code page.
std::string Utf8(const wchar_t* text, int length) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, NULL, 0, NULL, NULL);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, &bytes[0], size, NULL, NULL);
    return bytes;
}

void WriteCommandLine(const char* path) {
    wchar_t directory[MAX_PATH + 1];
    DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, directory);
    const wchar_t* line = GetCommandLineW();
    std::string bytes = Utf8(line, lstrlenW(line));
    bytes += '\0';
    bytes += Utf8(directory, length <= MAX_PATH ? static_cast<int>(length) : 0);
    WriteWholeFile(path, bytes);
}

// A marker of its own through each way out: the three handles, then the
// three write requests.
void Probe() {
    const struct {
        const char* name;
        HANDLE handle;
        DWORD command;  // 0: WriteFile on the handle
    } ways[] = {
        {"so-h", TarneloStdoutHandle(&g_child), 0},  {"se-h", TarneloStderrHandle(&g_child), 0},
        {"co-h", TarneloConsoleHandle(&g_child), 0}, {"so-r", NULL, TARNELO_CMD_WRITE_STDOUT},
        {"se-r", NULL, TARNELO_CMD_WRITE_STDERR},    {"co-r", NULL, TARNELO_CMD_WRITE_CONSOLE},
    };
    for (const auto& way : ways) {
        const std::string marker = std::string("m-") + way.name + "\n";
        const DWORD size = static_cast<DWORD>(marker.size());
        DWORD error = 0;
        const BOOL ok = way.command != 0 ? TarneloWrite(&g_child, way.command, marker.data(), size, &error)
                                         : ChildWriteAll(way.handle, marker.data(), size);
        if (way.command == 0 && !ok) error = GetLastError();
        LogOutcome(std::string("probe ") + way.name, ok, error);
    }
}

// An event handle works here when a set is seen by one wait and one only.
void CheckEvent(const char* name, HANDLE event) {
    BOOL set = SetEvent(event);
    DWORD first = WaitForSingleObject(event, 0);
    DWORD second = WaitForSingleObject(event, 0);
    if (set && first == WAIT_OBJECT_0 && second == WAIT_TIMEOUT) {
        LogLine("event %s ok", name);
    } else {
        LogLine("event %s bad %d %lu %lu", name, set, first, second);
    }
}

// The first `count` bytes of the relay pattern, whose line k is "R" and k
// in five digits, ':', then the last digit of k repeated, 50 bytes with the
// newline.
std::string RelayPattern(DWORD count) {
    std::string bytes;
    for (DWORD line = 0; bytes.size() < count; ++line) {
        char text[51];
        sprintf(text, "R%05lu:", line);
        memset(text + 7, '0' + static_cast<int>(line % 10), 42);
        text[49] = '\n';
        bytes.append(text, 50);
    }
    bytes.resize(count);
    return bytes;
}

// Reads stdin to its end (at most 64 KiB) through `handle`, or through
// requests when it is NULL.
void ReadAll(const char* name, HANDLE handle) {
    const DWORD limit = 1 << 16;
    std::string bytes(limit, '\0');
    DWORD total = 0;
    DWORD error = 0;
    for (DWORD count = 1; count != 0 && total < limit; total += count) {
        BOOL ok = handle != NULL ? ReadFile(handle, &bytes[total], limit - total, &count, NULL)
                                 : TarneloReadStdin(&g_child, &bytes[total], limit - total, &count, &error);
        if (!ok) {
            if (error == 0) error = GetLastError();
            break;
        }
    }
    LogBytes(name, bytes.data(), total);
    if (error != 0 && error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) LogLine("%s error %lu", name, error);
}

// The fault sweeps' run: each route once, results ignored, so that a
// launcher call failing anywhere meets a child that carries on.
void UseEveryRoute(const char* record) {
    AppendLine(record, "started\n");
    UINT code = 42;
    if (g_attached != TARNELO_ATTACHED) {
        code = 41;
    } else {
        char input[512];
        DWORD count = 0, error = 0;
        TarneloWriteStdout(&g_child, "<r1>", 4, &error);
        ChildWriteAll(TarneloStdoutHandle(&g_child), "<h1>", 4);
        TarneloWriteStderr(&g_child, "<r2>", 4, &error);
        ChildWriteAll(TarneloStderrHandle(&g_child), "<h2>", 4);
        TarneloWriteConsole(&g_child, "<r4>", 4, &error);
        ChildWriteAll(TarneloConsoleHandle(&g_child), "<h4>", 4);
        // A console stdin would wait for a typed line: read only redirected input.
        for (int reads = 0; !g_child.block.stdinIsConsole && reads < 4; ++reads) {
            if (!TarneloReadStdin(&g_child, input, sizeof input, &count, &error) || count == 0) break;
        }
        TarneloSetRawMode(&g_child, 1);
        TarneloSetRawMode(&g_child, 0);
        TarneloWriteStdout(&g_child, "<r1>", 4, &error);
        TarneloDetach(&g_child);
    }
    AppendLine(record, code == 42 ? "exit 42\n" : "exit 41\n");
    ExitProcess(code);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        if (!g_closeLog.empty()) AppendLine(g_closeLog, "close\n");
        if (g_honourClose) g_closeSeen = true;
        return 0;  // the loop decides; DefWindowProc would destroy the window
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void RunWindow(bool honour) {
    g_honourClose = honour;
    g_closeSeen = false;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "TestChildWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "TestChildWindow", "test child", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL, NULL,
                                  windowClass.hInstance, NULL);
    if (window == NULL) ExitProcess(kNoWindow);
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        if (g_closeSeen) break;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= g_life) break;
        MsgWaitForMultipleObjects(0, NULL, FALSE, g_life - elapsed, QS_ALLINPUT);
    }
    DestroyWindow(window);
}

DWORD WINAPI EndLater(LPVOID milliseconds) {
    Sleep(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(milliseconds)));
    LogLine("end %lu", GetTickCount());  // the tick count is the machine's, the same in every process
    ExitProcess(g_endCode);
}

const char* Value(const char* action, const char* name) {
    size_t length = strlen(name);
    return strncmp(action, name, length) == 0 ? action + length : NULL;
}

void Perform(const char* action) {
    const char* value = NULL;
    if ((value = Value(action, "cmdline=")) != NULL) {
        WriteCommandLine(value);
    } else if ((value = Value(action, "pid=")) != NULL) {
        WriteWholeFile(value, std::to_string(GetCurrentProcessId()));
    } else if ((value = Value(action, "log=")) != NULL) {
        g_log = CreateFileA(value, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
        LogLine("attach %d", g_attached);
    } else if ((value = Value(action, "dump=")) != NULL) {
        ChildSaveFile(value, &g_child.block, sizeof g_child.block, 0);
    } else if ((value = Value(action, "ready=")) != NULL) {
        ChildSaveFile(value, "", 0, 0);
    } else if (strcmp(action, "probe") == 0) {
        Probe();
    } else if (strcmp(action, "events") == 0) {
        CheckEvent("ctrlc", TarneloCtrlCEvent(&g_child));
        CheckEvent("ctrlbreak", TarneloCtrlBreakEvent(&g_child));
    } else if (strcmp(action, "readdup") == 0) {
        HANDLE in = TarneloStdinHandle(&g_child);
        if (in == NULL) {
            LogLine("readdup none");
        } else {
            ReadAll("readdup", in);
        }
    } else if (strcmp(action, "readcmd") == 0) {
        ReadAll("readcmd", NULL);
    } else if (strcmp(action, "readconsole") == 0) {
        char line[4096];
        DWORD count = 0, error = 0;
        if (TarneloReadConsole(&g_child, line, sizeof line, &count, &error)) {
            LogBytes("readconsole", line, count);
        } else {
            LogLine("readconsole failed %lu", error);
        }
    } else if ((value = Value(action, "say=")) != NULL) {
        const std::string text = std::string(value) + "\n";
        DWORD error = 0;
        if (!TarneloWriteStdout(&g_child, text.data(), static_cast<DWORD>(text.size()), &error)) {
            LogLine("say failed %lu", error);
        }
    } else if ((value = Value(action, "sayn=")) != NULL) {
        const std::string bytes(strtoul(value, NULL, 10), '\0');
        DWORD error = 0;
        const BOOL ok = TarneloWriteStdout(&g_child, bytes.data(), static_cast<DWORD>(bytes.size()), &error);
        LogOutcome("sayn", ok, error);
    } else if ((value = Value(action, "relayto=")) != NULL) {
        g_relayHandle = strcmp(value, "se") == 0   ? TarneloStderrHandle(&g_child)
                        : strcmp(value, "co") == 0 ? TarneloConsoleHandle(&g_child)
                                                   : TarneloStdoutHandle(&g_child);
    } else if ((value = Value(action, "relay=")) != NULL) {
        const std::string bytes = RelayPattern(strtoul(value, NULL, 10));
        if (!ChildWriteAll(g_relayHandle, bytes.data(), static_cast<DWORD>(bytes.size()))) {
            LogLine("relay failed %lu", GetLastError());
        }
    } else if (strcmp(action, "keep") == 0) {
        HANDLE self = GetCurrentProcess(), copy = NULL;
        DuplicateHandle(self, g_relayHandle, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    } else if ((value = Value(action, "waitctrlc=")) != NULL) {
        DWORD first = WaitForSingleObject(TarneloCtrlCEvent(&g_child), strtoul(value, NULL, 10));
        DWORD second = WaitForSingleObject(TarneloCtrlCEvent(&g_child), 0);
        LogLine("ctrlc %s, then %s", first == WAIT_OBJECT_0 ? "signalled" : "not signalled",
                second == WAIT_OBJECT_0 ? "signalled" : "not signalled");
    } else if ((value = Value(action, "routes=")) != NULL) {
        UseEveryRoute(value);
    } else if (strcmp(action, "detach") == 0) {
        if (g_attached != TARNELO_ATTACHED) ExitProcess(kNotLaunched);
        TarneloDetach(&g_child);
    } else if ((value = Value(action, "life=")) != NULL) {
        g_life = ParseNumber(value);
    } else if ((value = Value(action, "closelog=")) != NULL) {
        g_closeLog = value;
    } else if ((value = Value(action, "window=")) != NULL) {
        RunWindow(strcmp(value, "honour") == 0);
    } else if ((value = Value(action, "endin=")) != NULL) {
        char* code = NULL;
        DWORD milliseconds = strtoul(value, &code, 10);
        g_endCode = *code == ':' ? strtoul(code + 1, NULL, 10) : 0;
        CloseHandle(CreateThread(NULL, 0, EndLater, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(milliseconds)), 0,
                                 NULL));
    } else if ((value = Value(action, "start=")) != NULL) {
        char self[MAX_PATH];
        GetModuleFileNameA(NULL, self, sizeof self);
        std::string line = std::string("\"") + self + "\" \"pid=" + value + "\" life=30000 window=ignore";
        SetEnvironmentVariableA("TEST_CHILD", NULL);  // orders for this process alone
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started;
        if (CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &started)) {
            CloseHandle(started.hThread);
            CloseHandle(started.hProcess);
        }
    } else if ((value = Value(action, "exit=")) != NULL) {
        ExitProcess(ParseNumber(value));
    } else if ((value = Value(action, "overflow=")) != NULL) {
        volatile int base = INT_MAX;  // volatile: the sum is computed at run time
        ExitProcess(static_cast<UINT>(base + static_cast<int>(ParseNumber(value))));
    } else {
        LogLine("unknown argument %s", action);
    }
}

void PerformEnvironmentActions() {
    char value[4096];
    DWORD length = GetEnvironmentVariableA("TEST_CHILD", value, sizeof value);
    if (length == 0 || length >= sizeof value) return;
    std::istringstream actions(std::string(value, length));
    for (std::string action; std::getline(actions, action, ' ');) {
        if (!action.empty()) Perform(action.c_str());
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetConsoleCtrlHandler(IgnoreControl, TRUE);
    g_attached = TarneloAttach(&g_child);
    g_relayHandle = TarneloStdoutHandle(&g_child);
    PerformEnvironmentActions();
    for (int i = 1; i < __argc; ++i) Perform(__argv[i]);
    TarneloDetach(&g_child);
    return 0;
}
