/* hello: a GUI-subsystem program that uses the console of the launcher
   that started it.

   Put a copy of tarnelo.exe beside it as hello.exe and this program as
   hello.wxe, then run `hello.exe 5 < some.txt` from a command prompt; or
   run `tarnelo.exe path\to\hello_gui.exe 5`. It writes one line each way
   to stdout and stderr, reports how many bytes of stdin it got, greets the
   console, and exits with its first argument (3 when there is none).

   Started any other way it has no console to talk to and exits with 2. */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "tarnelo_child.h"

/* Writes a text through the handed-over handle: no request, no answer. */
static void WriteText(HANDLE handle, const char* text) {
    DWORD written = 0;
    if (handle != NULL) WriteFile(handle, text, (DWORD)strlen(text), &written, NULL);
}

static void RequestText(TarneloChild* child, DWORD command, const char* text) {
    DWORD error = 0;
    TarneloWrite(child, command, text, (DWORD)strlen(text), &error);
}

/* The record holds two read stores of 4 KiB: keep it off the stack. */
static TarneloChild child;

/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the platform's entry point */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show) {
    char input[TARNELO_MAX_TRANSFER];
    char line[80];
    DWORD count = 0;
    DWORD error = 0;
    int exitCode = 3;
    int attached;
    (void)instance;
    (void)previous;
    (void)show;

    if (arguments != NULL && *arguments != '\0') exitCode = atoi(arguments);

    attached = TarneloAttach(&child);
    if (attached != TARNELO_ATTACHED) {
        /* Nothing to write to; a debugger still shows why. */
        OutputDebugStringA(TarneloAttachReason(attached));
        return 2;
    }

    RequestText(&child, TARNELO_CMD_WRITE_STDOUT, "hello: stdout through a request\r\n");
    WriteText(TarneloStdoutHandle(&child), "hello: stdout through the handle\r\n");
    RequestText(&child, TARNELO_CMD_WRITE_STDERR, "hello: stderr through a request\r\n");
    WriteText(TarneloStderrHandle(&child), "hello: stderr through the handle\r\n");

    /* One chunk: the launcher makes one read of at most 4096 bytes. */
    if (!TarneloReadStdin(&child, input, sizeof input, &count, &error)) {
        wsprintfA(line, "hello: stdin cannot be read, error %lu\r\n", (unsigned long)error);
    } else if (count == 0) {
        lstrcpyA(line, "hello: no stdin (end of input)\r\n");
    } else {
        wsprintfA(line, "hello: got %lu bytes of stdin\r\n", (unsigned long)count);
    }
    RequestText(&child, TARNELO_CMD_WRITE_STDOUT, line);

    /* The launcher always has a console: this reaches it even when stdout
       and stderr are redirected. */
    WriteText(TarneloConsoleHandle(&child), "hello: console through the relay handle\r\n");

    TarneloDetach(&child);
    return exitCode;
}
