/* GUI child for the fault sweeps: uses every route the launcher offers, in a
   fixed order, and records how it ended. Its writes are short tokens, so a
   sweep can tell the child's own bytes from anything else. Argument: the
   path of its record file. */
#include <windows.h>

#include <string.h>

#include "tarnelo_child.h"

static void Record(const char* path, const char* text) {
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE) return;
    WriteFile(file, text, (DWORD)strlen(text), &written, NULL);
    CloseHandle(file);
}

static void Put(HANDLE handle, const char* token) {
    DWORD written = 0;
    if (handle != NULL) WriteFile(handle, token, (DWORD)strlen(token), &written, NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    TarneloChild child;
    char path[MAX_PATH];
    char input[512];
    DWORD count = 0;
    DWORD error = 0;
    int reads = 0;
    int code = 42;
    const char* arg = commandLine;
    (void)instance;
    (void)previous;
    (void)show;
    while (*arg == ' ') ++arg;
    lstrcpynA(path, arg, MAX_PATH);
    Record(path, "started\n");

    if (TarneloAttach(&child) != TARNELO_ATTACHED) {
        code = 41;
    } else {
        TarneloWriteStdout(&child, "<r1>", 4, &error);
        Put(TarneloStdoutHandle(&child), "<h1>");
        TarneloWriteStderr(&child, "<r2>", 4, &error);
        Put(TarneloStderrHandle(&child), "<h2>");
        TarneloWriteConsole(&child, "<r4>", 4, &error);
        Put(TarneloConsoleHandle(&child), "<h4>");
        /* A console stdin would wait for a typed line: read only redirected input. */
        while (!child.block.stdinIsConsole && reads++ < 4 && TarneloReadStdin(&child, input, sizeof input, &count, &error) && count != 0) {
        }
        TarneloSetRawMode(&child, 1);
        TarneloSetRawMode(&child, 0);
        TarneloWriteStdout(&child, "<r1>", 4, &error);
        TarneloDetach(&child);
    }
    Record(path, code == 42 ? "exit 42\n" : "exit 41\n");
    return code;
}
