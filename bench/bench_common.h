/* Helpers shared by the benchmark programs: argument parsing, a clock, the
   payload pattern and the one-line result file that bench/run.sh reads.
   Plain Win32 and C99, no C runtime formatting (fwrite is the one C
   runtime call: the fwrite figure measures it). */
#ifndef BENCH_COMMON_H
#define BENCH_COMMON_H

#include <windows.h>

#include <stdio.h>
#include "../tests/children/child_common.h"

#define BENCH_BUFFER_SIZE (1u << 20)

/* The payload, filled once. Text is what a console can show unchanged:
   lines of 63 printable characters and an LF. */
static BYTE g_payload[BENCH_BUFFER_SIZE];

static void FillPayload(int text) {
    PatternStream stream = {0x2545F491u, 0};
    PatternFill(&stream, g_payload, BENCH_BUFFER_SIZE, text ? PATTERN_LINES : PATTERN_BYTES);
}

/* The next blank-separated word of the command line; NULL at its end. */
static char* NextWord(char** cursor) {
    char* p = *cursor;
    char* start;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') {
        *cursor = p;
        return NULL;
    }
    start = p;
    if (*p == '"') {
        start = ++p;
        while (*p != '\0' && *p != '"') ++p;
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    }
    if (*p != '\0') *p++ = '\0';
    *cursor = p;
    return start;
}

/* The command line without the program's own name. */
static char* ArgumentsOf(char* commandLine) {
    char* cursor = commandLine;
    NextWord(&cursor);
    return cursor;
}

static DWORD ParseCount(const char* text) {
    DWORD value = 0;
    if (text == NULL) return 0;
    while (*text >= '0' && *text <= '9') value = value * 10u + (DWORD)(*text++ - '0');
    if (*text == 'K') value <<= 10;
    if (*text == 'M') value <<= 20;
    return value;
}

static LONGLONG Now(void) {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

static ULONGLONG MicrosecondsSince(LONGLONG start) {
    LARGE_INTEGER f;
    LONGLONG elapsed = Now() - start;
    QueryPerformanceFrequency(&f);
    return (ULONGLONG)(elapsed / (f.QuadPart / 1000000));
}

static char* PutDecimal64(char* out, ULONGLONG value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + (int)(value % 10u));
        value /= 10u;
    } while (value != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

/* Writes "<what>=<amount> us=<microseconds>\n" to the result file. */
static int WriteResult(const char* path, const char* what, ULONGLONG amount, ULONGLONG microseconds) {
    char line[96];
    char* p = line;
    DWORD written = 0;
    HANDLE file;
    BOOL ok;
    if (path == NULL) return 0;
    while (*what != '\0') *p++ = *what++;
    *p++ = '=';
    p = PutDecimal64(p, amount);
    *p++ = ' ';
    *p++ = 'u';
    *p++ = 's';
    *p++ = '=';
    p = PutDecimal64(p, microseconds);
    *p++ = '\n';
    file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    ok = WriteFile(file, line, (DWORD)(p - line), &written, NULL) && written == (DWORD)(p - line);
    CloseHandle(file);
    return ok;
}

/* Streams `total` bytes of the payload to `handle` in writes of `piece`. */
static int StreamTo(HANDLE handle, ULONGLONG total, DWORD piece) {
    while (total != 0) {
        DWORD size = total < piece ? (DWORD)total : piece;
        if (!ChildWriteAll(handle, g_payload, size)) return 0;
        total -= size;
    }
    return 1;
}

/* Streams `total` bytes of the payload to the C runtime's stdout with
   fwrite in pieces of `piece`, then flushes it. */
static int FwriteStdout(ULONGLONG total, DWORD piece) {
    while (total != 0) {
        DWORD size = total < piece ? (DWORD)total : piece;
        if (fwrite(g_payload, 1, size, stdout) != size) return 0;
        total -= size;
    }
    return fflush(stdout) == 0;
}

#endif
