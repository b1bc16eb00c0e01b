/* tarnelo child SDK: see tarnelo_child.h and docs/protocol.md. */
#include "tarnelo_child.h"

#include <string.h>

/* NOLINTNEXTLINE(performance-no-int-to-ptr): the block carries handles as 32-bit words */
static HANDLE AsHandle(DWORD word) { return (HANDLE)(UINT_PTR)word; }

static int Fail(DWORD* error, DWORD code) {
    if (error != NULL) *error = code;
    return 0;
}

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

int TarneloAttach(TarneloChild* child) {
    char name[40];
    char* end;
    HANDLE mapping;
    const void* view;
    memset(child, 0, sizeof *child);

    /* NOLINTNEXTLINE(bugprone-not-null-terminated-result): a prefix: the name is terminated below */
    memcpy(name, "tarnelo\t", 8);
    end = PutDecimal(name + 8, GetCurrentProcessId());
    *end++ = '\t';
    end = PutDecimal(end, GetCurrentThreadId());
    *end = '\0';

    mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (mapping == NULL) return GetLastError() == ERROR_FILE_NOT_FOUND ? TARNELO_NOT_LAUNCHED : TARNELO_MAP_FAILED;
    view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(TarneloBlock));
    if (view == NULL) {
        CloseHandle(mapping);
        return TARNELO_MAP_FAILED;
    }
    memcpy(&child->block, view, sizeof child->block);
    UnmapViewOfFile(view);
    CloseHandle(mapping);

    if (child->block.layoutVersion != TARNELO_LAYOUT_VERSION) {
        memset(&child->block, 0, sizeof child->block);
        return TARNELO_BAD_VERSION;
    }
    SetConsoleCtrlHandler(SwallowBreakKeys, TRUE);
    child->requests = AsHandle(child->block.childToParentWrite);
    child->results = AsHandle(child->block.parentToChildRead);
    child->attached = 1;
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
        default:
            return "unknown attach result";
    }
}

void TarneloDetach(TarneloChild* child) {
    DWORD* words[6];
    int i;
    if (!child->attached) return;
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
    memset(child, 0, sizeof *child);
}

int TarneloWrite(TarneloChild* child, DWORD command, const void* data, DWORD size, DWORD* error) {
    DWORD request[2];
    DWORD result[3];
    if (!child->attached) return Fail(error, ERROR_INVALID_HANDLE);
    if (command != TARNELO_CMD_WRITE_STDOUT && command != TARNELO_CMD_WRITE_STDERR &&
        command != TARNELO_CMD_WRITE_CONSOLE) {
        return Fail(error, ERROR_INVALID_PARAMETER);
    }
    if (data == NULL && size != 0) return Fail(error, ERROR_INVALID_PARAMETER);
    request[0] = command;
    request[1] = size;
    if (!SendAll(child->requests, request, sizeof request) || !SendAll(child->requests, data, size) ||
        !ReceiveAll(child->results, result, sizeof result)) {
        return Fail(error, GetLastError());
    }
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

/* NOLINTNEXTLINE(bugprone-easily-swappable-parameters): out-parameters documented in tarnelo_child.h */
int TarneloRead(TarneloChild* child, DWORD command, void* buffer, DWORD capacity, DWORD* count, DWORD* error) {
    DWORD request[2];
    DWORD result[3];
    DWORD take;
    TarneloPending* pending;
    *count = 0;
    if (!child->attached) return Fail(error, ERROR_INVALID_HANDLE);
    if (command != TARNELO_CMD_READ_STDIN && command != TARNELO_CMD_READ_CONSOLE) {
        return Fail(error, ERROR_INVALID_PARAMETER);
    }
    /* A zero capacity would hand back a count of 0, which reads as the end. */
    if (buffer == NULL || capacity == 0) return Fail(error, ERROR_INVALID_PARAMETER);
    pending = &child->pending[command == TARNELO_CMD_READ_STDIN ? 0 : 1];
    if (pending->count == 0) {
        request[0] = command;
        request[1] = 0;
        if (!SendAll(child->requests, request, sizeof request) || !ReceiveAll(child->results, result, sizeof result)) {
            return Fail(error, GetLastError());
        }
        /* A failed read carries no data. A pipe whose writer has gone is
           the end of input, as ReadFile callers know it from a file. */
        if (!result[0]) {
            if (result[1] == ERROR_BROKEN_PIPE || result[1] == ERROR_HANDLE_EOF) {
                if (error != NULL) *error = 0;
                return 1;
            }
            return Fail(error, result[1]);
        }
        /* More than the launcher ever sends: the pipe is out of step. */
        if (result[2] > TARNELO_MAX_TRANSFER) return Fail(error, ERROR_INVALID_DATA);
        if (!ReceiveAll(child->results, pending->data, result[2])) return Fail(error, GetLastError());
        pending->start = 0;
        pending->count = result[2];
    }
    take = capacity < pending->count ? capacity : pending->count;
    memcpy(buffer, pending->data + pending->start, take);
    pending->start += take;
    pending->count -= take;
    *count = take;
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
    DWORD request[2];
    if (!child->attached) return 0;
    request[0] = TARNELO_CMD_SET_RAW_MODE;
    request[1] = raw ? 1u : 0u;
    return SendAll(child->requests, request, sizeof request);
}

HANDLE TarneloStdoutHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.stdoutWrite) : NULL; }
HANDLE TarneloStderrHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.stderrWrite) : NULL; }
HANDLE TarneloConsoleHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.consoleWrite) : NULL; }
HANDLE TarneloStdinHandle(const TarneloChild* child) { return child->attached ? AsHandle(child->block.stdinDuplicate) : NULL; }
HANDLE TarneloCtrlCEvent(const TarneloChild* child) { return child->attached ? AsHandle(child->block.ctrlCEvent) : NULL; }
HANDLE TarneloCtrlBreakEvent(const TarneloChild* child) { return child->attached ? AsHandle(child->block.ctrlBreakEvent) : NULL; }
