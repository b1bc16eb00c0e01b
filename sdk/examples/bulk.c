/* bulk: a GUI-subsystem program that moves exact bytes through the
   launcher, used by the SDK's own tests.

     bulk request N   writes N bytes of a fixed pattern to stdout through
                      requests, in pieces of uneven sizes (0 included)
     bulk handle N    the same through the stdout handle with WriteFile
     bulk echo        switches the console to raw and back, then reads
                      stdin in uneven pieces until the end and writes each
                      piece back to stdout through a request

   Exit codes: 3 done; 20 a write failed; 21 a read failed; 22 a bad
   command line; 100 + the TarneloAttach result when not attached. */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "tarnelo_child.h"

static TarneloChild child;
static BYTE buffer[100003];

/* The pattern: every byte value occurs, NUL, CR and LF included, and it
   does not repeat at any piece size. */
static BYTE PatternByte(DWORD* state) {
    *state = *state * 1664525u + 1013904223u;
    return (BYTE)(*state >> 24);
}

static const DWORD kPieces[] = {1, 4095, 0, 4096, 4097, 13, 65536, 100003, 256, 255};
#define PIECE_COUNT (sizeof kPieces / sizeof kPieces[0])

/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a route flag and a size, not two of a kind */
static int WritePattern(int throughHandle, DWORD total) {
    DWORD state = 0x7A4E1u;
    DWORD done = 0;
    DWORD turn = 0;
    while (done < total || turn == 0) {
        DWORD size = kPieces[turn++ % PIECE_COUNT];
        DWORD i;
        DWORD error = 0;
        if (size > total - done) size = total - done;
        for (i = 0; i < size; ++i) buffer[i] = PatternByte(&state);
        if (throughHandle) {
            DWORD written = 0;
            if (!WriteFile(TarneloStdoutHandle(&child), buffer, size, &written, NULL) || written != size) return 0;
        } else if (!TarneloWriteStdout(&child, buffer, size, &error)) {
            return 0;
        }
        done += size;
    }
    return 1;
}

static int Echo(void) {
    static const DWORD kCapacities[] = {1, 100, 4096, 7, 5000};
    DWORD turn = 0;
    DWORD count = 0;
    DWORD error = 0;
    TarneloSetRawMode(&child, 1);
    TarneloSetRawMode(&child, 0);
    for (;;) {
        DWORD capacity = kCapacities[turn++ % (sizeof kCapacities / sizeof kCapacities[0])];
        if (!TarneloReadStdin(&child, buffer, capacity, &count, &error)) return 21;
        if (count == 0) break;
        if (!TarneloWriteStdout(&child, buffer, count, &error)) return 20;
    }
    /* The end of input stays the end. */
    if (!TarneloReadStdin(&child, buffer, sizeof buffer, &count, &error) || count != 0) return 21;
    return 3;
}

/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the platform's entry point */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show) {
    int attached;
    int code;
    (void)instance;
    (void)previous;
    (void)show;

    attached = TarneloAttach(&child);
    if (attached != TARNELO_ATTACHED) return 100 + attached;

    if (strncmp(arguments, "request ", 8) == 0) {
        code = WritePattern(0, (DWORD)strtoul(arguments + 8, NULL, 10)) ? 3 : 20;
    } else if (strncmp(arguments, "handle ", 7) == 0) {
        code = WritePattern(1, (DWORD)strtoul(arguments + 7, NULL, 10)) ? 3 : 20;
    } else if (strcmp(arguments, "echo") == 0) {
        code = Echo();
    } else {
        code = 22;
    }
    TarneloDetach(&child);
    return code;
}
