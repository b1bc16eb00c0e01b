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
//   waitctrlc=MS  wait at most MS for the CTRL+C event; log what happened
//   consolemode   log the mode of the console input ("CONIN$")
//   rawmode=0|1   request cooked (0) or raw (1) console input
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
//   sleep=MS      pause
//   endin=MS:N    end with exit code N after MS ms from another thread, as a
//                 program does that quits while a read of its is outstanding
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

#include <string>
#include <vector>

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

DWORD ParseNumber(const char* text) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return strtoul(text + 2, NULL, 16);
    return strtoul(text, NULL, 10);
}

void WriteWholeFile(const char* path, const std::string& bytes) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    ChildWriteAll(file, bytes.data(), static_cast<DWORD>(bytes.size()));
    CloseHandle(file);
}

void AppendLine(const std::string& path, const char* line) {
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    ChildWriteAll(file, line, static_cast<DWORD>(strlen(line)));
    CloseHandle(file);
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
    Log(name, static_cast<DWORD>(strlen(name)));
    Log(": ", 2);
    Log(bytes, count);
    Log("\n", 1);
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

void ProbeHandle(const char* name, HANDLE handle) {
    char marker[32];
    int length = sprintf(marker, "m-%s\n", name);
    if (ChildWriteAll(handle, marker, static_cast<DWORD>(length))) {
        LogLine("probe %s ok", name);
    } else {
        LogLine("probe %s failed %lu", name, GetLastError());
    }
}

void ProbeRequest(const char* name, DWORD command) {
    char marker[32];
    int length = sprintf(marker, "m-%s\n", name);
    DWORD error = 0;
    if (TarneloWrite(&g_child, command, marker, static_cast<DWORD>(length), &error)) {
        LogLine("probe %s ok", name);
    } else {
        LogLine("probe %s failed %lu", name, error);
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

// Line k of the relay pattern: "R" and k in five digits, ':', then the last
// digit of k repeated, 50 bytes with the newline.
void RelayPattern(char* bytes, DWORD count) {
    for (DWORD line = 0; line * 50 < count; ++line) {
        char text[51];
        sprintf(text, "R%05lu:", line);
        memset(text + 7, '0' + static_cast<int>(line % 10), 42);
        text[49] = '\n';
        DWORD take = count - line * 50 < 50 ? count - line * 50 : 50;
        memcpy(bytes + line * 50, text, take);
    }
}

// Reads stdin to its end through `handle`, or through requests when it is NULL.
void ReadAll(const char* name, HANDLE handle) {
    char* bytes = static_cast<char*>(malloc(1 << 16));
    DWORD total = 0;
    DWORD error = 0;
    for (;;) {
        DWORD count = 0;
        BOOL ok = handle != NULL ? ReadFile(handle, bytes + total, (1 << 16) - total, &count, NULL)
                                 : TarneloReadStdin(&g_child, bytes + total, (1 << 16) - total, &count, &error);
        if (!ok) {
            if (error == 0) error = GetLastError();
            break;
        }
        if (count == 0) break;
        total += count;
        if (total == (1 << 16)) break;
    }
    LogBytes(name, bytes, total);
    if (error != 0 && error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) LogLine("%s error %lu", name, error);
    free(bytes);
}

void Put(HANDLE handle, const char* token) {
    DWORD written = 0;
    if (handle != NULL) WriteFile(handle, token, static_cast<DWORD>(strlen(token)), &written, NULL);
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
        Put(TarneloStdoutHandle(&g_child), "<h1>");
        TarneloWriteStderr(&g_child, "<r2>", 4, &error);
        Put(TarneloStderrHandle(&g_child), "<h2>");
        TarneloWriteConsole(&g_child, "<r4>", 4, &error);
        Put(TarneloConsoleHandle(&g_child), "<h4>");
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
        char text[16];
        wsprintfA(text, "%lu", GetCurrentProcessId());
        WriteWholeFile(value, text);
    } else if ((value = Value(action, "log=")) != NULL) {
        g_log = CreateFileA(value, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
        LogLine("attach %d", g_attached);
    } else if ((value = Value(action, "dump=")) != NULL) {
        HANDLE file = CreateFileA(value, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        ChildWriteAll(file, reinterpret_cast<const char*>(&g_child.block), sizeof g_child.block);
        CloseHandle(file);
    } else if ((value = Value(action, "ready=")) != NULL) {
        CloseHandle(CreateFileA(value, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    } else if (strcmp(action, "probe") == 0) {
        ProbeHandle("so-h", TarneloStdoutHandle(&g_child));
        ProbeHandle("se-h", TarneloStderrHandle(&g_child));
        ProbeHandle("co-h", TarneloConsoleHandle(&g_child));
        ProbeRequest("so-r", TARNELO_CMD_WRITE_STDOUT);
        ProbeRequest("se-r", TARNELO_CMD_WRITE_STDERR);
        ProbeRequest("co-r", TARNELO_CMD_WRITE_CONSOLE);
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
        char text[512];
        int length = _snprintf(text, sizeof text - 1, "%s\n", value);
        DWORD error = 0;
        if (length < 0 || !TarneloWriteStdout(&g_child, text, static_cast<DWORD>(length), &error)) {
            LogLine("say failed %lu", error);
        }
    } else if ((value = Value(action, "sayn=")) != NULL) {
        DWORD count = strtoul(value, NULL, 10), error = 0;
        char* bytes = static_cast<char*>(calloc(count + 1, 1));
        if (TarneloWriteStdout(&g_child, bytes, count, &error)) {
            LogLine("sayn ok");
        } else {
            LogLine("sayn failed %lu", error);
        }
        free(bytes);
    } else if ((value = Value(action, "relayto=")) != NULL) {
        g_relayHandle = strcmp(value, "se") == 0   ? TarneloStderrHandle(&g_child)
                        : strcmp(value, "co") == 0 ? TarneloConsoleHandle(&g_child)
                                                   : TarneloStdoutHandle(&g_child);
    } else if ((value = Value(action, "relay=")) != NULL) {
        DWORD count = strtoul(value, NULL, 10);
        char* bytes = static_cast<char*>(malloc(count + 1));
        RelayPattern(bytes, count);
        if (!ChildWriteAll(g_relayHandle, bytes, count)) LogLine("relay failed %lu", GetLastError());
        free(bytes);
    } else if ((value = Value(action, "waitctrlc=")) != NULL) {
        DWORD first = WaitForSingleObject(TarneloCtrlCEvent(&g_child), strtoul(value, NULL, 10));
        DWORD second = WaitForSingleObject(TarneloCtrlCEvent(&g_child), 0);
        LogLine("ctrlc %s, then %s", first == WAIT_OBJECT_0 ? "signalled" : "not signalled",
                second == WAIT_OBJECT_0 ? "signalled" : "not signalled");
    } else if (strcmp(action, "consolemode") == 0) {
        HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, 0, NULL);
        DWORD mode = 0;
        if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
            LogLine("consolemode 0x%lX", mode);
        } else {
            LogLine("consolemode failed %lu", GetLastError());
        }
        if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    } else if ((value = Value(action, "rawmode=")) != NULL) {
        TarneloSetRawMode(&g_child, atoi(value));
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
    } else if ((value = Value(action, "sleep=")) != NULL) {
        Sleep(ParseNumber(value));
    } else if ((value = Value(action, "endin=")) != NULL) {
        char* code = NULL;
        DWORD milliseconds = strtoul(value, &code, 10);
        g_endCode = *code == ':' ? strtoul(code + 1, NULL, 10) : 0;
        CloseHandle(CreateThread(NULL, 0, EndLater, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(milliseconds)), 0,
                                 NULL));
    } else if ((value = Value(action, "exit=")) != NULL) {
        ExitProcess(ParseNumber(value));
    } else if ((value = Value(action, "overflow=")) != NULL) {
        volatile int base = INT_MAX;  // volatile: the sum is computed at run time
        ExitProcess(static_cast<UINT>(base + static_cast<int>(ParseNumber(value))));
    } else {
        LogLine("unknown argument %s", action);
    }
}

std::vector<std::string> EnvironmentActions() {
    std::vector<std::string> actions;
    char value[4096];
    DWORD length = GetEnvironmentVariableA("TEST_CHILD", value, sizeof value);
    if (length == 0 || length >= sizeof value) return actions;
    std::string text(value, length);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) actions.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return actions;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetConsoleCtrlHandler(IgnoreControl, TRUE);
    g_attached = TarneloAttach(&g_child);
    g_relayHandle = TarneloStdoutHandle(&g_child);
    for (const std::string& action : EnvironmentActions()) Perform(action.c_str());
    for (int i = 1; i < __argc; ++i) Perform(__argv[i]);
    TarneloDetach(&g_child);
    return 0;
}
