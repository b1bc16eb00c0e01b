/* GUI child for the stress runs and the shutdown races.

     stress_child.exe <route> <size> <report> [text] [ctrlc] [ready=<event>]
                      [finished=<event>]

   Routes: request1, request2, request4 send <size> bytes of deterministic
   data through write requests (commands 1, 2, 4), one for all of it as far
   as a request's count reaches, streamed in 64 KiB writes;
   relay1, relay2, relay4 write them with WriteFile on the handed-over
   stdout, stderr or console handle; stdin reads stdin through command 0
   (the SDK's reads) until its end (<size> is then only a limit); mixed keeps commands 1 and
   4 and the stdout and console handles busy in turn until <size> bytes
   went out or something fails.

   `text` makes the data lines of 63 lowercase letters and a LF (a console
   shows them as they are); `ctrlc` counts how often the CTRL+C event was
   set, polled between pieces; `ready` names an event to set once attached
   (from then on CTRL+C no longer ends this process), `finished` one to set
   when the transfer is over.

   The report file gets one line:
     route=<r> bytes=<moved> sha256=<hex of the bytes moved> ctrlc=<n> ok=<0|1> error=<code>
   Exit code 0x60 when everything went through, 0x61 when something failed
   (the line says what), 0x62 when the launcher's block was not there,
   0x63 for bad arguments. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../children/child_common.h"
#include "sha256.h"
#include "tarnelo_child.h"

#define EXIT_DONE 0x60
#define EXIT_FAILED 0x61
#define EXIT_NOT_ATTACHED 0x62
#define EXIT_BAD_ARGUMENTS 0x63

#define WRITE_PIECE 65536u

static unsigned char g_buffer[WRITE_PIECE];
static PatternStream g_stream = {0x12345678u, 0}; /* the one stream all routes send */

static TarneloChild g_child;
static Sha256 g_hash;
static unsigned long long g_moved;
static int g_text;
static int g_countCtrlC;
static int g_ctrlC;

static void PollCtrlC(void) {
    if (g_countCtrlC && WaitForSingleObject(TarneloCtrlCEvent(&g_child), 0) == WAIT_OBJECT_0) ++g_ctrlC;
}

/* Generates `size` bytes and sends them on `pipe` in 64 KiB writes. */
static int Stream(HANDLE pipe, unsigned long long size, DWORD* error) {
    while (size != 0) {
        DWORD piece = size < WRITE_PIECE ? (DWORD)size : WRITE_PIECE;
        PatternFill(&g_stream, g_buffer, piece, g_text ? PATTERN_LINES : PATTERN_BYTES);
        if (!ChildWriteAll(pipe, g_buffer, piece)) {
            *error = GetLastError();
            return 0;
        }
        Sha256Add(&g_hash, g_buffer, piece);
        g_moved += piece;
        size -= piece;
        PollCtrlC();
    }
    return 1;
}

/* One write request of `size` bytes; the launcher's result decides. */
static int Request(DWORD command, DWORD size, DWORD* error) {
    DWORD request[2] = {command, size};
    DWORD result[3];
    if (!ChildWriteAll(g_child.requests, request, sizeof request) || !Stream(g_child.requests, size, error) ||
        !ChildReadAll(g_child.results, result, sizeof result)) {
        if (*error == 0) *error = GetLastError();
        return 0;
    }
    *error = result[1];
    return result[0] == 1;
}

static int WriteRequests(DWORD command, unsigned long long size, DWORD* error) {
    while (size != 0) {
        DWORD piece = size < 0xFFFFFFFFull ? (DWORD)size : 0xFFFFFFFFu;
        if (!Request(command, piece, error)) return 0;
        size -= piece;
    }
    return 1;
}

/* Through the SDK's reads, which take a pipe whose writer has gone for the
   end of the input. */
static int ReadStdin(unsigned long long limit, DWORD* error) {
    static unsigned char data[TARNELO_MAX_TRANSFER];
    DWORD count = 1;
    while (g_moved < limit && count != 0) {
        if (!TarneloReadStdin(&g_child, data, sizeof data, &count, error)) return 0;
        Sha256Add(&g_hash, data, count);
        g_moved += count;
        PollCtrlC();
    }
    return 1;
}

/* Requests and handle writes in turn, 4 KiB to 64 KiB each. */
static int Mixed(unsigned long long size, DWORD* error) {
    unsigned int turn = 0;
    while (g_moved < size) {
        DWORD piece = 4096u << (turn % 5);
        switch (turn++ % 4) {
            case 0:
                if (!Request(TARNELO_CMD_WRITE_STDOUT, piece, error)) return 0;
                break;
            case 1:
                if (!Stream(TarneloConsoleHandle(&g_child), piece / 16, error)) return 0;
                break;
            case 2:
                if (!Request(TARNELO_CMD_WRITE_CONSOLE, piece / 16, error)) return 0;
                break;
            default:
                if (!Stream(TarneloStdoutHandle(&g_child), piece, error)) return 0;
                break;
        }
    }
    return 1;
}

static void Signal(const char* eventName) {
    HANDLE event;
    if (eventName == NULL) return;
    event = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    if (event == NULL) return;
    SetEvent(event);
    CloseHandle(event);
}

static unsigned long long ParseSize(const char* text) {
    char* end = NULL;
    unsigned long long value = strtoull(text, &end, 10);
    if (*end == 'K') value <<= 10;
    if (*end == 'M') value <<= 20;
    if (*end == 'G') value <<= 30;
    return value;
}

static void Report(const char* path, const char* route, int ok, DWORD error) {
    char line[256];
    char hex[65];
    Sha256Hex(&g_hash, hex);
    int length = sprintf(line, "route=%s bytes=%llu sha256=%s ctrlc=%d ok=%d error=%lu\n", route, g_moved, hex,
                         g_ctrlC, ok, error);
    ChildSaveFile(path, line, (DWORD)length, 0);
}

/* main, not WinMain: the GUI subsystem comes from the link, and the C
   runtime's start-up calls either. */
int main(int argc, char** argv) {
    const char* route;
    const char* ready = NULL;
    const char* finished = NULL;
    unsigned long long size;
    DWORD error = 0;
    int ok = 0;
    int i;
    if (argc < 4) return EXIT_BAD_ARGUMENTS;
    route = argv[1];
    size = ParseSize(argv[2]);
    for (i = 4; i < argc; ++i) {
        if (strcmp(argv[i], "text") == 0) g_text = 1;
        if (strcmp(argv[i], "ctrlc") == 0) g_countCtrlC = 1;
        if (strncmp(argv[i], "ready=", 6) == 0) ready = argv[i] + 6;
        if (strncmp(argv[i], "finished=", 9) == 0) finished = argv[i] + 9;
    }
    Sha256Init(&g_hash);
    if (TarneloAttach(&g_child) != TARNELO_ATTACHED) return EXIT_NOT_ATTACHED;
    /* Tells whoever presses CTRL+C that it no longer ends this process. */
    Signal(ready);

    if (strcmp(route, "request1") == 0) {
        ok = WriteRequests(TARNELO_CMD_WRITE_STDOUT, size, &error);
    } else if (strcmp(route, "request2") == 0) {
        ok = WriteRequests(TARNELO_CMD_WRITE_STDERR, size, &error);
    } else if (strcmp(route, "request4") == 0) {
        ok = WriteRequests(TARNELO_CMD_WRITE_CONSOLE, size, &error);
    } else if (strcmp(route, "relay1") == 0) {
        ok = Stream(TarneloStdoutHandle(&g_child), size, &error);
    } else if (strcmp(route, "relay2") == 0) {
        ok = Stream(TarneloStderrHandle(&g_child), size, &error);
    } else if (strcmp(route, "relay4") == 0) {
        ok = Stream(TarneloConsoleHandle(&g_child), size, &error);
    } else if (strcmp(route, "stdin") == 0) {
        ok = ReadStdin(size, &error);
    } else if (strcmp(route, "mixed") == 0) {
        ok = Mixed(size, &error);
    } else {
        return EXIT_BAD_ARGUMENTS;
    }
    PollCtrlC();
    Signal(finished);
    Report(argv[3], route, ok, error);
    /* Detaching gives the key back its default action, which ends this
       process: while someone keeps pressing it, leave that to the exit. */
    if (!g_countCtrlC) TarneloDetach(&g_child);
    return ok ? EXIT_DONE : EXIT_FAILED;
}
