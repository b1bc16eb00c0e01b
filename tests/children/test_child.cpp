// GUI-subsystem test child: does what its arguments say, left to right.
//
//   log=<file>      write GetCommandLineW() exactly, a NUL, then the current directory,
//                   both as UTF-8
//   pid=<file>      write this process's id in decimal
//   sleep=<ms>      sleep that long
//   detach          open the launcher's block, then close every handle it handed
//                   over: the launcher's service ends while this process lives on
//   life=<ms>       how long a later window= may run at most (default 10000)
//   window=honour   top-level window and message loop until WM_CLOSE (or life)
//   window=ignore   the same, but WM_CLOSE is swallowed: runs until life
//   closelog=<file> append a line "close" to the file for each WM_CLOSE a
//                   later window= receives
//   exit=<code>     exit now with that code (decimal, or hex after 0x)
//   overflow=<n>    add n to INT_MAX and exit with the sum: undefined for n > 0,
//                   so a build with undefined-behaviour traps ends at the trap
//
// Unknown arguments are skipped, so a child can be given arbitrary ones to
// echo. Actions in the environment variable TEST_CHILD (separated by spaces)
// run before the arguments: a child started through a file association
// cannot be given them on its command line. Running out of actions exits 0.
// `detach` outside a launcher exits with kNotLaunched (99), a window that
// cannot be created (no display driver) with kNoWindow (98).
#include <windows.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tarnelo_child.h"

namespace {

const UINT kNotLaunched = 99;
const UINT kNoWindow = 98;

DWORD g_life = 10000;
bool g_honourClose = false;
bool g_closeSeen = false;
std::string g_closeLog;

// Under Wine a GUI child shares the launcher's console: without a handler
// of its own a CTRL+C meant for the launcher would end it.
BOOL WINAPI IgnoreControl(DWORD) { return TRUE; }

DWORD ParseNumber(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return strtoul(text.c_str() + 2, NULL, 16);
    }
    return strtoul(text.c_str(), NULL, 10);
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
    CloseHandle(file);
}

void AppendLine(const std::string& path, const char* line) {
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, lstrlenA(line), &written, NULL);
    CloseHandle(file);
}

// UTF-8 of the wide text: the program's own view, whatever its code page.
std::string Utf8(const wchar_t* text, int length) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, NULL, 0, NULL, NULL);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, &bytes[0], size, NULL, NULL);
    return bytes;
}

void Log(const std::string& path) {
    wchar_t directory[MAX_PATH + 1];
    DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, directory);
    const wchar_t* line = GetCommandLineW();
    std::string bytes = Utf8(line, lstrlenW(line));
    bytes += '\0';
    bytes += Utf8(directory, length <= MAX_PATH ? static_cast<int>(length) : 0);
    WriteWholeFile(path, bytes);
}

void Detach() {
    static TarneloChild child;
    if (TarneloAttach(&child) != TARNELO_ATTACHED) ExitProcess(kNotLaunched);
    // Detaching closes every handed-over pipe end, so the launcher's relays
    // and service stop waiting for our exit.
    TarneloDetach(&child);
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
    HWND window = CreateWindowExA(0, "TestChildWindow", "test child", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                  NULL, NULL, windowClass.hInstance, NULL);
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

void Perform(const std::string& action) {
    size_t equals = action.find('=');
    std::string name = action.substr(0, equals);
    std::string value = equals == std::string::npos ? std::string() : action.substr(equals + 1);
    if (name == "log") {
        Log(value);
    } else if (name == "pid") {
        char text[16];
        wsprintfA(text, "%lu", GetCurrentProcessId());
        WriteWholeFile(value, text);
    } else if (name == "sleep") {
        Sleep(ParseNumber(value));
    } else if (name == "detach") {
        Detach();
    } else if (name == "life") {
        g_life = ParseNumber(value);
    } else if (name == "closelog") {
        g_closeLog = value;
    } else if (name == "window") {
        RunWindow(value == "honour");
    } else if (name == "exit") {
        ExitProcess(ParseNumber(value));
    } else if (name == "overflow") {
        volatile int base = INT_MAX;  // volatile: the sum is computed at run time
        ExitProcess(static_cast<UINT>(base + static_cast<int>(ParseNumber(value))));
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
    for (const std::string& action : EnvironmentActions()) Perform(action);
    for (int i = 1; i < __argc; ++i) Perform(__argv[i]);
    return 0;
}
