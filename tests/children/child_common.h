/* What the test and benchmark children share: their deterministic data,
   whole-buffer transfers over raw handles, and the files they leave. Plain
   C99 over Win32, usable from C and C++.

   The data is an xorshift32 stream: as bytes of any value (NUL, CR, LF, ^Z
   and 0xFF included), or as text a console shows unchanged: lower-case
   letters, in lines of 63 and an LF when lines are asked for. The same
   state gives the same bytes everywhere. */
#ifndef TARNELO_CHILD_COMMON_H
#define TARNELO_CHILD_COMMON_H

#include <windows.h>

typedef struct PatternStream {
    unsigned int state;  /* never 0 */
    unsigned int column; /* PATTERN_LINES: bytes since the last LF */
} PatternStream;

enum { PATTERN_BYTES, PATTERN_LETTERS, PATTERN_LINES };

static inline unsigned int PatternNext(PatternStream* stream) {
    unsigned int x = stream->state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    stream->state = x;
    return x;
}

/* The next `size` bytes of the stream, of the kind given. */
static inline void PatternFill(PatternStream* stream, unsigned char* out, DWORD size, int kind) {
    DWORD i;
    for (i = 0; i < size; ++i) {
        unsigned int x = PatternNext(stream);
        if (kind == PATTERN_BYTES) {
            out[i] = (unsigned char)(x >> 24);
        } else if (kind == PATTERN_LINES && ++stream->column == 64) {
            out[i] = '\n';
            stream->column = 0;
        } else {
            out[i] = (unsigned char)('a' + x % 26u);
        }
    }
}

/* WriteFile and ReadFile until the whole buffer has moved; 0 on a failure
   or a call that moved nothing (GetLastError tells which for a failure). */
static inline int ChildWriteAll(HANDLE handle, const void* bytes, DWORD size) {
    const unsigned char* p = (const unsigned char*)bytes;
    while (size != 0) {
        DWORD written = 0;
        if (!WriteFile(handle, p, size, &written, NULL) || written == 0) return 0;
        p += written;
        size -= written;
    }
    return 1;
}

static inline int ChildReadAll(HANDLE handle, void* bytes, DWORD size) {
    unsigned char* p = (unsigned char*)bytes;
    while (size != 0) {
        DWORD got = 0;
        if (!ReadFile(handle, p, size, &got, NULL) || got == 0) return 0;
        p += got;
        size -= got;
    }
    return 1;
}

/* Writes the bytes to file `path`, made anew, or added at its end with
   `append`; 0 when the file cannot be opened or written. */
static inline int ChildSaveFile(const char* path, const void* bytes, DWORD size, int append) {
    HANDLE file = CreateFileA(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, NULL);
    int done;
    if (file == INVALID_HANDLE_VALUE) return 0;
    done = ChildWriteAll(file, bytes, size);
    CloseHandle(file);
    return done;
}

#endif
