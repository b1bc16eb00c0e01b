/* bulk: a GUI-subsystem program that moves exact bytes through the
   launcher, used by the SDK's own tests.

     bulk request N   writes N bytes of a fixed pattern to stdout through
                      requests, in pieces of uneven sizes (0 included)
     bulk handle N    the same through the stdout handle with WriteFile
     bulk echo        switches the console to raw and back, then reads
                      stdin in uneven pieces until the end and writes each
                      piece back to stdout through a request
     bulk threads     the echo on the main thread while four other threads
                      write numbered records to stderr through requests,
                      all at once: "T<thread> <number> <size> " and <size>
                      letters of the thread, then LF
     bulk twice       attaches a second time, with the same record and with
                      another: both refused, the first still works

   Exit codes: 3 done; 20 a write failed; 21 a read failed; 22 a bad
   command line; 23 a second attach was not refused as it should be; 100 +
   the TarneloAttach result when not attached, except for
   TARNELO_MAP_FAILED: 0x3000 + its system error. */
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

#define RECORD_THREADS 4
#define RECORDS_PER_THREAD 150
#define RECORD_MAX 9000 /* past one joined write and past the launcher's chunk */

static DWORD WINAPI WriteRecords(LPVOID parameter) {
    static BYTE records[RECORD_THREADS][RECORD_MAX + 32];
    const DWORD thread = *(const DWORD*)parameter;
    BYTE* record = records[thread];
    DWORD number;
    for (number = 0; number < RECORDS_PER_THREAD; ++number) {
        DWORD size = (number * 7919u + thread * 131u) % RECORD_MAX + 1;
        DWORD error = 0;
        int head = wsprintfA((char*)record, "T%lu %lu %lu ", (unsigned long)thread, (unsigned long)number,
                             (unsigned long)size);
        memset(record + head, 'a' + (int)thread, size);
        record[head + size] = '\n';
        if (!TarneloWriteStderr(&child, record, (DWORD)head + size + 1, &error)) return 20;
    }
    return 0;
}

static int Threads(void) {
    static DWORD numbers[RECORD_THREADS];
    HANDLE threads[RECORD_THREADS];
    DWORD i;
    int code;
    for (i = 0; i < RECORD_THREADS; ++i) {
        numbers[i] = i;
        threads[i] = CreateThread(NULL, 0, WriteRecords, &numbers[i], 0, NULL);
        if (threads[i] == NULL) return 20;
    }
    code = Echo();
    WaitForMultipleObjects(RECORD_THREADS, threads, TRUE, INFINITE);
    for (i = 0; i < RECORD_THREADS; ++i) {
        DWORD result = 1;
        if (!GetExitCodeThread(threads[i], &result) || result != 0) code = 20;
        CloseHandle(threads[i]);
    }
    return code;
}

static int AttachTwice(void) {
    static TarneloChild other;
    DWORD error = 0;
    memset(&other, 0xA5, sizeof other);
    if (TarneloAttach(&child) != TARNELO_ALREADY_ATTACHED || !child.attached) return 23;
    if (TarneloAttach(&other) != TARNELO_ALREADY_ATTACHED || other.attached || other.requests != NULL) return 23;
    if (TarneloStdoutHandle(&other) != NULL) return 23;
    return TarneloWriteStdout(&child, "still attached\n", 15, &error) ? 3 : 20;
}

/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the platform's entry point */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show) {
    int attached;
    int code;
    (void)instance;
    (void)previous;
    (void)show;

    attached = TarneloAttach(&child);
    if (attached == TARNELO_MAP_FAILED) return 0x3000 + (int)child.attachError;
    if (attached != TARNELO_ATTACHED) return 100 + attached;

    if (strncmp(arguments, "request ", 8) == 0) {
        code = WritePattern(0, (DWORD)strtoul(arguments + 8, NULL, 10)) ? 3 : 20;
    } else if (strncmp(arguments, "handle ", 7) == 0) {
        code = WritePattern(1, (DWORD)strtoul(arguments + 7, NULL, 10)) ? 3 : 20;
    } else if (strcmp(arguments, "echo") == 0) {
        code = Echo();
    } else if (strcmp(arguments, "threads") == 0) {
        code = Threads();
    } else if (strcmp(arguments, "twice") == 0) {
        code = AttachTwice();
    } else {
        code = 22;
    }
    TarneloDetach(&child);
    return code;
}
