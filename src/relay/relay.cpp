// Console output threads: copy what the child writes into a relay pipe to a
// console destination, one read at a time, each write under the output lock.
#include "relay/relay.h"

#include "core/core.h"
#include "report/report.h"

BOOL StartOutputRelay(HANDLE* thread, OutputRelay* relay, HANDLE destination, DWORD* childWriteEnd) {
    HANDLE writeEnd = NULL;
    if (!CreatePipe(&relay->readEnd, &writeEnd, NULL, RELAY_PIPE_SIZE)) {
        return FatalLastError(MSG_RELAY_CREATE_PIPE);
    }
    // Close-source: we keep no copy, so the pipe breaks when the child is done.
    if (!GiveToChild(writeEnd, childWriteEnd, DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
        return FatalLastError(MSG_RELAY_DUPLICATE_WRITE_END);
    }

    relay->buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, RELAY_BUFFER_SIZE));
    if (relay->buffer == NULL) return FatalLastError(MSG_RELAY_ALLOCATE_BUFFER);
    relay->destination = destination;

    *thread = CreateThread(NULL, 0, OutputRelayThread, relay, 0, NULL);
    return *thread != NULL;  // the caller reports a thread that did not start
}

DWORD WINAPI OutputRelayThread(LPVOID parameter) {
    const OutputRelay* relay = static_cast<const OutputRelay*>(parameter);
    HANDLE readEnd = relay->readEnd;
    HANDLE destination = relay->destination;
    BYTE* buffer = relay->buffer;

    while (!g_state.relaysStopping) {
        DWORD count = 0;
        if (!ReadFile(readEnd, buffer, RELAY_PIPE_SIZE, &count, NULL) && GetLastError() != ERROR_MORE_DATA) {
            break;  // broken pipe: the child is done with it
        }
        if (g_state.relaysStopping) break;  // shutting down: drop what came late
        if (count != 0) {
            EnterCriticalSection(&g_state.outputLock);
            WriteExact(destination, buffer, count);  // bytes the destination refuses are lost
            LeaveCriticalSection(&g_state.outputLock);
        }
    }
    LocalFree(buffer);
    return 0;
}
