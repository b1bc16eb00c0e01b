// Command service: the child's requests, served one at a time on the main
// thread until the child closes its end of the child->parent pipe.
#include "core/core.h"
#include "report/report.h"

namespace {

const DWORD kChildEndWait = 1000;
const DWORD kPollInterval = 10;
// How long the watch thread keeps cancelling the main thread's read, on the
// clock: a cancel that comes just before the read begins finds nothing.
const DWORD kReadCancelWait = 1000;

// A Shutdown on another thread has asked the service to end.
BOOL Stopping() { return g_state.mainThread != MAIN_SERVING; }

// Waits on our own duplicate of the child process handle. Once the child
// has ended, a read the main thread does for it can never be delivered:
// cancel it, so that a program that ends with a read outstanding gives the
// user's console back at once. Under Wine a read of a Unix pipe cannot be
// cancelled; that read ends when input comes, and its result is dropped.
DWORD WINAPI ChildWatchThread(LPVOID) {
    if (WaitForSingleObject(g_state.watchedChild, INFINITE) != WAIT_OBJECT_0) return 0;
    g_state.childEnded = TRUE;
    const ULONGLONG giveUpAt = GetTickCount64() + kReadCancelWait;
    while (g_state.mainInRead && GetTickCount64() < giveUpAt) {
        CancelSynchronousIo(g_state.mainThreadHandle);
        Sleep(kPollInterval);
    }
    return 0;
}

// After a send to the child failed: TRUE when that is because the child has
// ended (its end of the pipe closes a moment before its process is seen to
// end), which is no failure of ours. A child that only stopped reading is.
BOOL ChildHasEnded() {
    if (g_state.childEnded) return TRUE;
    return g_state.watchedChild != NULL && WaitForSingleObject(g_state.watchedChild, kChildEndWait) == WAIT_OBJECT_0;
}

// Results and read data go through here: Shutdown closes the pipe under
// the same lock, so a send never meets a closed handle.
BOOL SendToChild(const void* bytes, DWORD count) {
    AcquireSRWLockExclusive(&g_state.childPipeLock);
    BOOL sent = FALSE;
    if (g_state.parentToChildWrite != NULL) {
        sent = WriteExact(g_state.parentToChildWrite, bytes, count);
    } else {
        SetLastError(ERROR_BROKEN_PIPE);
    }
    const DWORD error = GetLastError();
    ReleaseSRWLockExclusive(&g_state.childPipeLock);
    SetLastError(error);
    return sent;
}

// A send that failed: the service ends quietly when the child has gone or a
// Shutdown has begun, else the failure is reported.
DWORD SendFailed(DWORD message) {
    const DWORD error = GetLastError();
    if (Stopping() || ChildHasEnded()) return SERVE_END;
    SetLastError(error);
    return FatalLastError(message);
}

DWORD Serve(const CommandRequest& request) {
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
            return SERVE_NEXT;
        default:  // unknown codes are skipped without an answer
            return SERVE_NEXT;
    }
}

// The child is done with the service (or has ended): give it a moment to
// end, unless a Shutdown on another thread has begun, which waits itself.
BOOL EndService() {
    LONG serving = MAIN_SERVING;
    if (g_state.mainThread.compare_exchange_strong(serving, MAIN_BOUNDED)) WaitForChild(kChildEndWait);
    return TRUE;
}

}  // namespace

void WatchChild() {
    if (g_state.child.hProcess == NULL) return;
    // Without any of these the service still works; only a read outstanding
    // when the child ends then waits for its input, as a read always did.
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, GetCurrentThread(), self, &g_state.mainThreadHandle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        g_state.mainThreadHandle = NULL;
        return;
    }
    if (!DuplicateHandle(self, g_state.child.hProcess, self, &g_state.watchedChild, SYNCHRONIZE, FALSE, 0)) {
        g_state.watchedChild = NULL;
        return;
    }
    g_state.childWatchThread = CreateThread(NULL, 0, ChildWatchThread, NULL, 0, NULL);
}

BOOL ReadRequest(CommandRequest* request) {
    return ReadExact(g_state.childToParentRead, request, sizeof *request);
}

BOOL SendResult(const CommandResult* result) { return SendToChild(result, sizeof *result); }

DWORD ServeRead(HANDLE source) {
    DWORD count = 0;
    CommandResult result = {0, ERROR_INVALID_HANDLE, 0};  // a missing stream
    while (source != NULL) {
        // Set before the child's end is looked at, so that the watch thread
        // either sees us reading or we see the child gone.
        g_state.mainInRead = TRUE;
        if (g_state.childEnded || Stopping()) {
            g_state.mainInRead = FALSE;
            return SERVE_END;
        }
        SetLastError(ERROR_SUCCESS);
        count = 0;
        result.ok = ReadFile(source, g_state.primaryBuffer, TRANSFER_CHUNK, &count, NULL) ? 1 : 0;
        result.error = result.ok ? 0 : GetLastError();
        const DWORD lastError = GetLastError();
        g_state.mainInRead = FALSE;
        // Abandoned (cancelled, or input that nobody can take any more).
        if (g_state.childEnded || Stopping()) return SERVE_END;
        // On Windows a cooked console read that CTRL+C interrupts succeeds
        // with nothing read and this error. It is no end of input: the CTRL+C
        // event has told the child already, so read on. (Wine never does this.)
        if (result.ok && count == 0 && lastError == ERROR_OPERATION_ABORTED) continue;
        break;
    }
    if (count > TRANSFER_CHUNK) count = TRANSFER_CHUNK;
    result.count = count;
    if (!SendResult(&result)) return SendFailed(MSG_SEND_READ_RESULT);
    // After a failed read no data follow, whatever the count says.
    if (result.ok && count != 0 && !SendToChild(g_state.primaryBuffer, count)) return SendFailed(MSG_SEND_READ_DATA);
    return SERVE_NEXT;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a count and a flag, not two of a kind
DWORD ServeWrite(HANDLE destination, DWORD count, BOOL takeLock) {
    // A missing stream takes nothing: the data are drained all the same.
    CommandResult result = {1, 0, 0};
    if (destination == NULL) result = CommandResult{0, ERROR_INVALID_HANDLE, 0};
    DWORD remaining = count;
    while (remaining != 0) {
        DWORD chunk = 0;
        DWORD wanted = remaining < TRANSFER_CHUNK ? remaining : TRANSFER_CHUNK;
        if (!ReadFile(g_state.childToParentRead, g_state.primaryBuffer, wanted, &chunk, NULL)) {
            if (Stopping()) return SERVE_END;
            return FatalLastError(MSG_GET_WRITE_DATA);
        }
        if (Stopping()) return SERVE_END;
        if (chunk == 0) return FatalNoError(MSG_ZERO_WRITE_DATA);
        if (chunk > wanted) chunk = wanted;
        // After a failed write the rest is still read and dropped, so the
        // protocol stays in step.
        if (result.ok) {
            if (takeLock) EnterCriticalSection(&g_state.outputLock);
            BOOL written = WriteExact(destination, g_state.primaryBuffer, chunk);
            DWORD error = written ? 0 : GetLastError();
            if (takeLock) LeaveCriticalSection(&g_state.outputLock);
            if (Stopping()) return SERVE_END;
            if (!written) {
                result.ok = 0;
                result.error = error;
            }
        }
        remaining -= chunk;
    }
    if (!SendResult(&result)) return SendFailed(MSG_SEND_WRITE_RESULT);
    return SERVE_NEXT;
}

BOOL ServeCommands() {
    // From here the main thread may block for ever: a Shutdown on another
    // thread no longer waits for it, it cancels it.
    MoveMainThread(MAIN_SERVING);
    for (;;) {
        if (Stopping()) return TRUE;
        CommandRequest request;
        BOOL received = ReadRequest(&request);
        DWORD error = received ? 0 : GetLastError();
        if (!received) {
            if (Stopping()) return TRUE;
            // The child closed its end: the one normal end of the service. A
            // child that has ended may have had this read cancelled instead.
            if (error == ERROR_BROKEN_PIPE || (error == ERROR_OPERATION_ABORTED && g_state.childEnded)) {
                return EndService();
            }
            SetLastError(error);
            return FatalLastError(MSG_READ_COMMAND);
        }
        const DWORD served = Serve(request);
        if (served == 0) return FALSE;
        if (served == SERVE_END) return EndService();
    }
}
