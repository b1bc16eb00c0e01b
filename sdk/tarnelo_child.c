/* tarnelo child SDK: see tarnelo_child.h. */
#include "tarnelo_child.h"

#include <stdio.h>
#include <string.h>

static HANDLE AsHandle(DWORD word) { return (HANDLE)(UINT_PTR)word; }

static int SendAll(HANDLE pipe, const void* bytes, DWORD size) {
    const BYTE* p = (const BYTE*)bytes;
    while (size != 0) {
        DWORD written = 0;
        if (!WriteFile(pipe, p, size, &written, NULL) || written == 0) return 0;
        p += written;
        size -= written;
    }
    return 1;
}

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

static int Fail(DWORD* error, DWORD code) {
    if (error != NULL) *error = code;
    return 0;
}

int TarneloAttach(TarneloChild* child) {
    char name[64];
    HANDLE mapping;
    const void* view;
    memset(child, 0, sizeof *child);
    /* The launcher names the block after our process and main thread ids. */
    sprintf(name, "tarnelo\t%lu\t%lu", (unsigned long)GetCurrentProcessId(), (unsigned long)GetCurrentThreadId());
    mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (mapping == NULL) return TARNELO_NOT_LAUNCHED;
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
    /* The launcher owns CTRL+C and passes it on as an event; a program that
       shares its console must not be ended by the key itself. */
    SetConsoleCtrlHandler(NULL, TRUE);
    child->requests = AsHandle(child->block.childToParentWrite);
    child->results = AsHandle(child->block.parentToChildRead);
    child->attached = 1;
    return TARNELO_ATTACHED;
}

void TarneloDetach(TarneloChild* child) {
    if (!child->attached) return;
    CloseHandle(child->requests);
    CloseHandle(child->results);
    child->requests = NULL;
    child->results = NULL;
    child->attached = 0;
}

int TarneloWrite(TarneloChild* child, DWORD command, const void* data, DWORD size, DWORD* error) {
    DWORD request[2];
    DWORD result[3];
    if (!child->attached) return Fail(error, ERROR_INVALID_HANDLE);
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

int TarneloRead(TarneloChild* child, DWORD command, void* buffer, DWORD capacity, DWORD* count, DWORD* error) {
    DWORD request[2];
    DWORD result[3];
    DWORD take;
    *count = 0;
    if (!child->attached) return Fail(error, ERROR_INVALID_HANDLE);
    if (child->pendingCount == 0) {
        request[0] = command;
        request[1] = 0;
        if (!SendAll(child->requests, request, sizeof request) || !ReceiveAll(child->results, result, sizeof result)) {
            return Fail(error, GetLastError());
        }
        if (!result[0]) return Fail(error, result[1]);
        if (result[2] > TARNELO_MAX_TRANSFER) return Fail(error, ERROR_INVALID_DATA);
        if (!ReceiveAll(child->results, child->pending, result[2])) return Fail(error, GetLastError());
        child->pendingStart = 0;
        child->pendingCount = result[2];
    }
    take = capacity < child->pendingCount ? capacity : child->pendingCount;
    memcpy(buffer, child->pending + child->pendingStart, take);
    child->pendingStart += take;
    child->pendingCount -= take;
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
