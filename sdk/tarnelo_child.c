/* tarnelo child SDK: see tarnelo_child.h and docs/protocol.md. */
#include "tarnelo_child.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

/* The block's words are 32-bit handle values. Windows shares handles
   between 32- and 64-bit processes by sign extension (LongToHandle), so a
   64-bit program widens them that way; in a 32-bit one this is a plain
   conversion. */
/* NOLINTNEXTLINE(performance-no-int-to-ptr): the block carries handles as 32-bit words */
static HANDLE AsHandle(DWORD word) { return (HANDLE)(LONG_PTR)(LONG)word; }

/* Claimed by the one successful TarneloAttach of this process. */
static volatile LONG s_claimed = 0;
static TarneloChild* s_owner = NULL;

static int Fail(DWORD* error, DWORD code) {
    if (error != NULL) *error = code;
    return 0;
}

/* Never a zero-length WriteFile: on Windows it would reach the launcher as
   a read of zero bytes, which ends its service with a fatal report. */
/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): buffer and size, as WriteFile takes them */
static int SendAll(HANDLE pipe, const void* bytes, DWORD size) {
    const BYTE* p = (const BYTE*)bytes;
    while (size != 0) {
        DWORD written = 0;
        if (!WriteFile(pipe, p, size, &written, NULL)) return 0;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return 0;
        }
        p += written;
        size -= written;
    }
    return 1;
}

/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): buffer and size, as ReadFile takes them */
static int ReceiveAll(HANDLE pipe, void* bytes, DWORD size) {
    BYTE* p = (BYTE*)bytes;
    while (size != 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, p, size, &got, NULL)) return 0;
        if (got == 0) {
            SetLastError(ERROR_HANDLE_EOF);
            return 0;
        }
        p += got;
        size -= got;
    }
    return 1;
}

static void PutWord(BYTE* out, DWORD value) {
    out[0] = (BYTE)value;
    out[1] = (BYTE)(value >> 8);
    out[2] = (BYTE)(value >> 16);
    out[3] = (BYTE)(value >> 24);
}

/* Appends the decimal form of `value` at `out`; returns the end. Done by
   hand to keep the C runtime's formatting (and its warnings) out. */
static char* PutDecimal(char* out, DWORD value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

/* Under a real Windows a GUI program has no console and never sees the
   keys; where it shares the launcher's console it would be ended by them.
   The launcher already passes them on as events, so we only swallow them. */
static BOOL WINAPI SwallowBreakKeys(DWORD type) { return type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT; }

static int GiveUpClaim(int result) {
    InterlockedExchange(&s_claimed, 0);
    return result;
}

int TarneloAttach(TarneloChild* child) {
    char name[40];
    char* end;
    HANDLE mapping;
    const void* view;

    if (InterlockedCompareExchange(&s_claimed, 1, 0) != 0) {
        if (child != s_owner || !child->attached) memset(child, 0, sizeof *child);
        return TARNELO_ALREADY_ATTACHED;
    }
    memset(child, 0, sizeof *child);

    lstrcpyA(name, "tarnelo\t");
    end = PutDecimal(name + 8, GetCurrentProcessId());
    *end++ = '\t';
    end = PutDecimal(end, GetCurrentThreadId());
    *end = '\0';

    mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (mapping == NULL) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return GiveUpClaim(TARNELO_NOT_LAUNCHED);
        child->attachError = error;
        GiveUpClaim(0);
        SetLastError(error);
        return TARNELO_MAP_FAILED;
    }
    view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(TarneloBlock));
    if (view == NULL) {
        child->attachError = GetLastError();
        CloseHandle(mapping);
        GiveUpClaim(0);
        SetLastError(child->attachError);
        return TARNELO_MAP_FAILED;
    }
    memcpy(&child->block, view, sizeof child->block);
    UnmapViewOfFile(view);
    CloseHandle(mapping);

    if (child->block.layoutVersion != TARNELO_LAYOUT_VERSION) {
        memset(&child->block, 0, sizeof child->block);
        return GiveUpClaim(TARNELO_BAD_VERSION);
    }
    InitializeCriticalSection(&child->lock);
    SetConsoleCtrlHandler(SwallowBreakKeys, TRUE);
    child->requests = AsHandle(child->block.childToParentWrite);
    child->results = AsHandle(child->block.parentToChildRead);
    child->attached = 1;
    s_owner = child;
    return TARNELO_ATTACHED;
}

const char* TarneloAttachReason(int result) {
    switch (result) {
        case TARNELO_ATTACHED:
            return "attached to the launcher";
        case TARNELO_NOT_LAUNCHED:
            return "not started by the launcher (no interprocess block for this process and thread)";
        case TARNELO_BAD_VERSION:
            return "the launcher's interprocess block has another layout version than 1003";
        case TARNELO_MAP_FAILED:
            return "the launcher's interprocess block exists but cannot be opened or mapped";
        case TARNELO_ALREADY_ATTACHED:
            return "this process has attached to the launcher before";
        default:
            return "unknown attach result";
    }
}

/* Gives a stream without a descriptor one, on the NUL device (freopen
   hands back the same stream: nothing new to keep or close). */
static int ReopenOnNul(FILE* stream, const char* mode) {
#if defined(_MSC_VER)
    FILE* reopened = NULL;
    if (freopen_s(&reopened, "NUL", mode, stream) != 0) return 0;
#else
    /* cppcheck-suppress leakReturnValNotUsed */
    if (freopen("NUL", mode, stream) == NULL) return 0;
#endif
    return _fileno(stream) >= 0;
}

/* Points one standard stream at `handle`: a descriptor of its own for the
   runtime (a duplicate, so that the block's handle stays ours), put in
   place of the stream's descriptor, which keeps its mode. */
/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): one stream's settings, each of its own kind */
static int RedirectStream(FILE* stream, const char* mode, HANDLE handle, DWORD which, int unbuffered) {
    HANDLE process = GetCurrentProcess();
    HANDLE copy = NULL;
    int temporary;
    int target;
    int previousMode;
    DWORD error;

    fflush(stream);
    if (!DuplicateHandle(process, handle, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return 0;
    /* On Windows a GUI program's streams have no descriptor (fileno gives
       a negative value): opening NUL gives them one to replace. */
    if (_fileno(stream) < 0 && !ReopenOnNul(stream, mode)) {
        error = GetLastError();
        CloseHandle(copy);
        SetLastError(error != 0 ? error : ERROR_INVALID_HANDLE);
        return 0;
    }
    target = _fileno(stream);
    temporary = _open_osfhandle((intptr_t)copy, mode[0] == 'r' ? _O_RDONLY : _O_WRONLY);
    if (temporary < 0) {
        CloseHandle(copy);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return 0;
    }
    previousMode = _setmode(target, _O_TEXT);
    if (_dup2(temporary, target) != 0) {
        _close(temporary);
        if (previousMode != -1) _setmode(target, previousMode);
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    _close(temporary);
    _setmode(target, previousMode == -1 ? _O_TEXT : previousMode);
    if (unbuffered) setvbuf(stream, NULL, _IONBF, 0);
    /* NOLINTNEXTLINE(performance-no-int-to-ptr): the runtime hands out OS handles as intptr_t */
    SetStdHandle(which, (HANDLE)_get_osfhandle(target));
    return 1;
}

/* Redirects one stream when the launcher has it (`handle` not NULL), else
   adds `missing` to *result; the first failure's error stays in *error. */
/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): one stream's settings, each of its own kind */
static void RedirectIfPresent(FILE* stream, const char* mode, HANDLE handle, DWORD which, int unbuffered,
                              int missing, int* result, DWORD* error) {
    if (handle == NULL) {
        *result |= missing;
    } else if (!RedirectStream(stream, mode, handle, which, unbuffered) && *error == 0) {
        *error = GetLastError();
        if (*error == 0) *error = ERROR_INVALID_HANDLE;
    }
}

int TarneloRedirectStdio(TarneloChild* child) {
    HANDLE errorOut = AsHandle(child->block.stderrWrite);
    int result = TARNELO_STDIO_REDIRECTED;
    DWORD error = 0;
    if (!child->attached) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    /* Both on the console: one relay for both keeps their bytes in the order
       a console program's direct writes have; two relays copy each on its
       own thread and would mix them. */
    if (child->block.stdoutIsConsole != 0 && child->block.stderrIsConsole != 0) {
        errorOut = AsHandle(child->block.stdoutWrite);
    }
    /* A console stdin stays with TarneloReadConsole: it is not missing. */
    if (child->block.stdinIsConsole == 0) {
        RedirectIfPresent(stdin, "r", AsHandle(child->block.stdinDuplicate), STD_INPUT_HANDLE, 0,
                          TARNELO_STDIO_NO_STDIN, &result, &error);
    }
    RedirectIfPresent(stdout, "w", AsHandle(child->block.stdoutWrite), STD_OUTPUT_HANDLE,
                      child->block.stdoutIsConsole != 0, TARNELO_STDIO_NO_STDOUT, &result, &error);
    RedirectIfPresent(stderr, "w", errorOut, STD_ERROR_HANDLE, child->block.stderrIsConsole != 0,
                      TARNELO_STDIO_NO_STDERR, &result, &error);
    child->redirected = 1;
    if (error != 0) {
        SetLastError(error);
        return 0;
    }
    return result;
}

void TarneloDetach(TarneloChild* child) {
    DWORD* words[6];
    int i;
    if (!child->attached) return;
    if (child->redirected) {
        fflush(stdout);
        fflush(stderr);
    }
    EnterCriticalSection(&child->lock);
    /* The request pipe first: closing it is what ends the launcher's service. */
    CloseHandle(child->requests);
    CloseHandle(child->results);
    words[0] = &child->block.stdinDuplicate;
    words[1] = &child->block.stdoutWrite;
    words[2] = &child->block.stderrWrite;
    words[3] = &child->block.consoleWrite;
    words[4] = &child->block.ctrlCEvent;
    words[5] = &child->block.ctrlBreakEvent;
    for (i = 0; i < 6; ++i) {
        if (*words[i] != 0) CloseHandle(AsHandle(*words[i]));
    }
    SetConsoleCtrlHandler(SwallowBreakKeys, FALSE);
    LeaveCriticalSection(&child->lock);
    DeleteCriticalSection(&child->lock);
    memset(child, 0, sizeof *child);
}

/* The request, its data and its result, under the lock. */
static int Exchange(TarneloChild* child, DWORD command, const void* data, DWORD size, DWORD result[3]) {
    int sent;
    if (size <= TARNELO_JOINED_WRITE_MAX) {
        PutWord(child->outgoing, command);
        PutWord(child->outgoing + 4, size);
        if (size != 0) memcpy(child->outgoing + 8, data, size);
        sent = SendAll(child->requests, child->outgoing, 8 + size);
    } else {
        DWORD request[2];
        request[0] = command;
        request[1] = size;
        sent = SendAll(child->requests, request, sizeof request) && SendAll(child->requests, data, size);
    }
    return sent && ReceiveAll(child->results, result, 3 * sizeof(DWORD));
}

int TarneloWrite(TarneloChild* child, DWORD command, const void* data, DWORD size, DWORD* error) {
    DWORD result[3];
    int ok;
    if (!child->attached) return Fail(error, ERROR_INVALID_HANDLE);
    if (command != TARNELO_CMD_WRITE_STDOUT && command != TARNELO_CMD_WRITE_STDERR &&
        command != TARNELO_CMD_WRITE_CONSOLE) {
        return Fail(error, ERROR_INVALID_PARAMETER);
    }
    if (data == NULL && size != 0) return Fail(error, ERROR_INVALID_PARAMETER);
    EnterCriticalSection(&child->lock);
    ok = Exchange(child, command, data, size, result);
    LeaveCriticalSection(&child->lock);
    if (!ok) return Fail(error, GetLastError());
    if (error != NULL) *error = result[1];
    return result[0] != 0;
}

int TarneloWriteStdout(TarneloChild* child, const void* data, DWORD size, DWORD* error) {
    return TarneloWrite(child, TARNELO_CMD_WRITE_STDOUT, data, size, error);
}

int TarneloWriteStderr(TarneloChild* child, const void* data, DWORD size, DWORD* error) {
    return TarneloWrite(child, TARNELO_CMD_WRITE_STDERR, data, size, error);
}

int TarneloWriteConsole(TarneloChild* child, const void* data, DWORD size, DWORD* error) {
    return TarneloWrite(child, TARNELO_CMD_WRITE_CONSOLE, data, size, error);
}

/* Hands out pending bytes of `pending`, asking the launcher for one more
   read when none are left. Runs under the lock; returns the error code,
   0 for success. */
/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): out-parameters documented in tarnelo_child.h */
static DWORD ReadLocked(TarneloChild* child, DWORD command, TarneloPending* pending, void* buffer, DWORD capacity,
                        DWORD* count) {
    DWORD result[3];
    DWORD take;
    if (pending->count == 0) {
        if (!Exchange(child, command, NULL, 0, result)) return GetLastError();
        /* A failed read carries no data. A pipe whose writer has gone is
           the end of input, as ReadFile callers know it from a file. */
        if (!result[0]) return result[1] == ERROR_BROKEN_PIPE || result[1] == ERROR_HANDLE_EOF ? 0 : result[1];
        /* More than the launcher ever sends: the pipe is out of step. */
        if (result[2] > TARNELO_MAX_TRANSFER) return ERROR_INVALID_DATA;
        if (!ReceiveAll(child->results, pending->data, result[2])) return GetLastError();
        pending->start = 0;
        pending->count = result[2];
    }
    take = capacity < pending->count ? capacity : pending->count;
    memcpy(buffer, pending->data + pending->start, take);
    pending->start += take;
    pending->count -= take;
    *count = take;
    return 0;
}

/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): out-parameters documented in tarnelo_child.h */
int TarneloRead(TarneloChild* child, DWORD command, void* buffer, DWORD capacity, DWORD* count, DWORD* error) {
    DWORD code;
    *count = 0;
    if (!child->attached) return Fail(error, ERROR_INVALID_HANDLE);
    if (command != TARNELO_CMD_READ_STDIN && command != TARNELO_CMD_READ_CONSOLE) {
        return Fail(error, ERROR_INVALID_PARAMETER);
    }
    /* A zero capacity would hand back a count of 0, which reads as the end. */
    if (buffer == NULL || capacity == 0) return Fail(error, ERROR_INVALID_PARAMETER);
    EnterCriticalSection(&child->lock);
    code = ReadLocked(child, command, &child->pending[command == TARNELO_CMD_READ_STDIN ? 0 : 1], buffer, capacity,
                      count);
    LeaveCriticalSection(&child->lock);
    if (code != 0) return Fail(error, code);
    if (error != NULL) *error = 0;
    return 1;
}

int TarneloReadStdin(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error) {
    return TarneloRead(child, TARNELO_CMD_READ_STDIN, buffer, capacity, count, error);
}

int TarneloReadConsole(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error) {
    return TarneloRead(child, TARNELO_CMD_READ_CONSOLE, buffer, capacity, count, error);
}

int TarneloSetRawMode(TarneloChild* child, int raw) {
    BYTE request[8];
    int sent;
    if (!child->attached) return 0;
    PutWord(request, TARNELO_CMD_SET_RAW_MODE);
    PutWord(request + 4, raw ? 1u : 0u);
    EnterCriticalSection(&child->lock);
    sent = SendAll(child->requests, request, sizeof request);
    LeaveCriticalSection(&child->lock);
    return sent;
}

HANDLE TarneloStdoutHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.stdoutWrite) : NULL; }
HANDLE TarneloStderrHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.stderrWrite) : NULL; }
HANDLE TarneloConsoleHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.consoleWrite) : NULL; }
HANDLE TarneloStdinHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.stdinDuplicate) : NULL; }
HANDLE TarneloCtrlCEvent(const TarneloChild* child) { return child->attached ? AsHandle(child->block.ctrlCEvent) : NULL; }
HANDLE TarneloCtrlBreakEvent(const TarneloChild* child) { return child->attached ? AsHandle(child->block.ctrlBreakEvent) : NULL; }
