/* bench_console: the plain console programs the launcher's figures are
   compared with.

     bench_console noop                        ends at once (a trivial program)
     bench_console pipe BYTES PIECE RESULT     BYTES to its own stdout
     bench_console conout BYTES PIECE RESULT   text straight to "CONOUT$"
     bench_console fwrite BYTES PIECE RESULT   BYTES with fwrite to its own stdout
     bench_console pingpong COUNT RESULT       COUNT exchanges of an 8-byte
                                               message and a 12-byte answer
                                               with a second process over two
                                               anonymous pipes
     bench_console pipecopy BYTES PIECE RESULT a second process writes BYTES in
                                               writes of PIECE into an anonymous
                                               pipe; this one copies them to its
                                               stdout in reads of at most 4,096
                                               bytes: the launcher's stdout
                                               route without its protocol

   The payloads, piece sizes and result lines are those of bench_child.
   pingpong and pipecopy start this program again ("pong <in> <out>",
   "feed BYTES PIECE <out>") with inherited pipe ends; the pipes get the
   launcher's 4,096-byte size.
   Exit codes: 0 done; 2 bad arguments; 3 a transfer failed; 4 the result
   file could not be written; 5 the second process could not be started. */
#include <windows.h>

#include "bench_common.h"

static int Same(const char* a, const char* b) { return lstrcmpA(a, b) == 0; }

static char* PutHandle(char* out, HANDLE handle) {
    return PutDecimal64(out, (ULONGLONG)(UINT_PTR)handle);
}

/* The answering side: an exact 8-byte read, a 12-byte answer, until the
   other side closes its end. */
static int Pong(HANDLE in, HANDLE out) {
    BYTE request[8];
    BYTE answer[12] = {1, 0, 0, 0};
    while (ChildReadAll(in, request, sizeof request)) {
        if (!ChildWriteAll(out, answer, sizeof answer)) return 3;
    }
    return 0;
}

static int Exchange(HANDLE out, HANDLE in, DWORD count) {
    BYTE request[8] = {1, 0, 0, 0, 1, 0, 0, 0};
    BYTE answer[12];
    DWORD i;
    for (i = 0; i < count; ++i) {
        if (!ChildWriteAll(out, request, sizeof request) || !ChildReadAll(in, answer, sizeof answer)) return 0;
    }
    return 1;
}

/* Starts this program again with `arguments` and one or two inheritable
   handles (second may be NULL); closes our copies of them once the other
   process has its own. */
static int StartSelf(const char* arguments, HANDLE first, HANDLE second, PROCESS_INFORMATION* process) {
    char commandLine[MAX_PATH + 96];
    char* p = commandLine;
    STARTUPINFOA startup;
    *p++ = '"';
    p += GetModuleFileNameA(NULL, p, MAX_PATH);
    *p++ = '"';
    *p++ = ' ';
    lstrcpyA(p, arguments);
    p += lstrlenA(p);
    *p++ = ' ';
    p = PutHandle(p, first);
    if (second != NULL) {
        *p++ = ' ';
        p = PutHandle(p, second);
    }
    *p = '\0';
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, process)) return 0;
    CloseHandle(first);
    if (second != NULL) CloseHandle(second);
    return 1;
}

static void Reap(PROCESS_INFORMATION* process) {
    WaitForSingleObject(process->hProcess, 5000);
    CloseHandle(process->hProcess);
    CloseHandle(process->hThread);
}

static int PingPong(DWORD count, const char* resultPath) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE toPongRead, toPongWrite, fromPongRead, fromPongWrite;
    PROCESS_INFORMATION process;
    LONGLONG start;
    ULONGLONG elapsed;
    int ok;

    if (!CreatePipe(&toPongRead, &toPongWrite, &inherit, 4096) ||
        !CreatePipe(&fromPongRead, &fromPongWrite, &inherit, 4096)) {
        return 5;
    }
    /* Our own ends stay here: the other process must see the pipe break. */
    SetHandleInformation(toPongWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromPongRead, HANDLE_FLAG_INHERIT, 0);
    if (!StartSelf("pong", toPongRead, fromPongWrite, &process)) return 5;

    ok = Exchange(toPongWrite, fromPongRead, count / 10 + 1);
    start = Now();
    ok = ok && Exchange(toPongWrite, fromPongRead, count);
    elapsed = MicrosecondsSince(start);
    CloseHandle(toPongWrite);
    Reap(&process);
    if (!ok) return 3;
    return WriteResult(resultPath, "requests", count, elapsed) ? 0 : 4;
}

/* The feeding side of pipecopy. */
static int Feed(ULONGLONG total, DWORD piece, HANDLE out) {
    FillPayload(0);
    return StreamTo(out, total, piece) ? 0 : 3;
}

static int PipeCopy(ULONGLONG total, const char* pieceText, const char* resultPath) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    static BYTE chunk[4097];
    HANDLE readEnd, writeEnd;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    PROCESS_INFORMATION process;
    char arguments[64] = "feed ";
    char* p = arguments + 5;
    LONGLONG start;
    ULONGLONG elapsed;
    ULONGLONG left = total;

    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 4096)) return 5;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    p = PutDecimal64(p, total);
    *p++ = ' ';
    lstrcpyA(p, pieceText);
    if (!StartSelf(arguments, writeEnd, NULL, &process)) return 5;
    start = Now();
    while (left != 0) {
        DWORD got = 0;
        if (!ReadFile(readEnd, chunk, left < 4096 ? (DWORD)left : 4096, &got, NULL) || got == 0) break;
        if (!ChildWriteAll(out, chunk, got)) break;
        left -= got;
    }
    elapsed = MicrosecondsSince(start);
    CloseHandle(readEnd);
    Reap(&process);
    if (left != 0) return 3;
    return WriteResult(resultPath, "bytes", total, elapsed) ? 0 : 4;
}

int main(void) {
    char* cursor = ArgumentsOf(GetCommandLineA());
    const char* mode = NextWord(&cursor);
    const char* first = NextWord(&cursor);
    const char* second = NextWord(&cursor);
    const char* third = NextWord(&cursor);
    HANDLE destination;
    LONGLONG start;
    ULONGLONG elapsed;
    ULONGLONG total;
    DWORD piece;
    int ok;

    if (mode == NULL) return 2;
    if (Same(mode, "noop")) return 0;
    if (Same(mode, "pong")) {
        return Pong((HANDLE)(UINT_PTR)ParseCount(first), (HANDLE)(UINT_PTR)ParseCount(second));
    }
    if (Same(mode, "feed")) {
        if (third == NULL) return 2;
        return Feed(ParseCount(first), ParseCount(second), (HANDLE)(UINT_PTR)ParseCount(third));
    }
    if (Same(mode, "pipecopy")) {
        if (ParseCount(first) == 0 || ParseCount(second) == 0 || third == NULL) return 2;
        return PipeCopy(ParseCount(first), second, third);
    }
    if (Same(mode, "pingpong")) {
        if (ParseCount(first) == 0 || second == NULL) return 2;
        return PingPong(ParseCount(first), second);
    }

    total = ParseCount(first);
    piece = ParseCount(second);
    if (total == 0 || piece == 0 || piece > BENCH_BUFFER_SIZE || third == NULL) return 2;
    if (Same(mode, "fwrite")) {
        FillPayload(0);
        start = Now();
        ok = FwriteStdout(total, piece);
        elapsed = MicrosecondsSince(start);
        if (!ok) return 3;
        return WriteResult(third, "bytes", total, elapsed) ? 0 : 4;
    }
    if (Same(mode, "pipe")) {
        FillPayload(0);
        destination = GetStdHandle(STD_OUTPUT_HANDLE);
    } else if (Same(mode, "conout")) {
        FillPayload(1);
        destination = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (destination == INVALID_HANDLE_VALUE) return 3;
    } else {
        return 2;
    }
    start = Now();
    ok = StreamTo(destination, total, piece);
    elapsed = MicrosecondsSince(start);
    if (!ok) return 3;
    return WriteResult(third, "bytes", total, elapsed) ? 0 : 4;
}
