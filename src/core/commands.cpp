// Command service: the child's requests, served one at a time on the main
// thread until the child closes its end of the child->parent pipe.
#include "core/core.h"
#include "report/report.h"

namespace {

const DWORD kChildEndWait = 1000;

BOOL Serve(const CommandRequest& request) {
    switch (request.command) {
        case CMD_READ_STDIN:
            return ServeRead(g_state.stdinHandle);
        case CMD_WRITE_STDOUT:
            return ServeWrite(g_state.stdoutHandle, request.argument, g_state.stdoutIsConsole);
        case CMD_WRITE_STDERR:
            return ServeWrite(g_state.stderrHandle, request.argument, g_state.stderrIsConsole);
        case CMD_READ_CONSOLE:
            return ServeRead(g_state.consoleInput);
        case CMD_WRITE_CONSOLE:
            // Always locked: the dedicated relay writes to the same device.
            return ServeWrite(g_state.consoleOutput, request.argument, TRUE);
        case CMD_SET_RAW_MODE:
            // Works on the saved word, not the current mode, and answers nothing.
            if (request.argument != 0) {
                g_state.savedInputMode &= ~static_cast<DWORD>(INPUT_MODE_BITS);
            } else {
                g_state.savedInputMode |= INPUT_MODE_BITS;
            }
            SetConsoleMode(g_state.consoleInput, g_state.savedInputMode);
            return TRUE;
        default:  // unknown codes are skipped without an answer
            return TRUE;
    }
}

}  // namespace

BOOL ReadRequest(CommandRequest* request) {
    return ReadExact(g_state.childToParentRead, request, sizeof *request);
}

BOOL SendResult(const CommandResult* result) {
    return WriteExact(g_state.parentToChildWrite, result, sizeof *result);
}

BOOL ServeRead(HANDLE source) {
    DWORD count = 0;
    CommandResult result;
    result.ok = ReadFile(source, g_state.primaryBuffer, TRANSFER_CHUNK, &count, NULL) ? 1 : 0;
    result.error = result.ok ? 0 : GetLastError();
    if (count > TRANSFER_CHUNK) count = TRANSFER_CHUNK;
    result.count = count;
    if (!SendResult(&result)) return FatalLastError(MSG_SEND_READ_RESULT);
    // After a failed read no data follow, whatever the count says.
    if (result.ok && count != 0 && !WriteExact(g_state.parentToChildWrite, g_state.primaryBuffer, count)) {
        return FatalLastError(MSG_SEND_READ_DATA);
    }
    return TRUE;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a count and a flag, not two of a kind
BOOL ServeWrite(HANDLE destination, DWORD count, BOOL takeLock) {
    CommandResult result = {1, 0, 0};
    DWORD remaining = count;
    while (remaining != 0) {
        DWORD chunk = 0;
        DWORD wanted = remaining < TRANSFER_CHUNK ? remaining : TRANSFER_CHUNK;
        if (!ReadFile(g_state.childToParentRead, g_state.primaryBuffer, wanted, &chunk, NULL)) {
            return FatalLastError(MSG_GET_WRITE_DATA);
        }
        if (chunk == 0) return FatalNoError(MSG_ZERO_WRITE_DATA);
        if (chunk > wanted) chunk = wanted;
        // After a failed write the rest is still read and dropped, so the
        // protocol stays in step.
        if (result.ok) {
            if (takeLock) EnterCriticalSection(&g_state.outputLock);
            BOOL written = WriteExact(destination, g_state.primaryBuffer, chunk);
            DWORD error = written ? 0 : GetLastError();
            if (takeLock) LeaveCriticalSection(&g_state.outputLock);
            if (!written) {
                result.ok = 0;
                result.error = error;
            }
        }
        remaining -= chunk;
    }
    if (!SendResult(&result)) return FatalLastError(MSG_SEND_WRITE_RESULT);
    return TRUE;
}

BOOL ServeCommands() {
    for (;;) {
        CommandRequest request;
        MainThreadWaiting();
        BOOL received = ReadRequest(&request);
        DWORD error = received ? 0 : GetLastError();
        MainThreadBusy();
        if (!received) {
            if (error == ERROR_BROKEN_PIPE) {
                // The child closed its end: the one normal end of the service.
                WaitForChild(kChildEndWait);
                return TRUE;
            }
            SetLastError(error);
            return FatalLastError(MSG_READ_COMMAND);
        }
        if (!Serve(request)) return FALSE;
    }
}
