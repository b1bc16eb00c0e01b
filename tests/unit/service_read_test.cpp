// The read commands: one platform read of stdin or the console input per
// request, answered with a result and exactly the bytes that read delivered.
#include "service_fixture.h"

namespace service_test {
namespace {

DWORD FilePosition(HANDLE file) { return SetFilePointer(file, 0, NULL, FILE_CURRENT); }

using ServiceRead = ServiceTest;

TEST_F(ServiceRead, AnswersOneReadOfAtMost4096ThenExactlyItsBytes) {
    for (DWORD command : {CMD_READ_STDIN, CMD_READ_CONSOLE}) {
        for (size_t size : {0, 10, 4096, 5000, 9000}) {
            SCOPED_TRACE("command " + std::to_string(command) + ", " + std::to_string(size) + " bytes");
            Renew();
            const std::string content = Pattern(size, 21);
            HANDLE read = SourceFile("read.bin", content);
            HANDLE other = SourceFile("other.bin", "must not be read");
            g_state.stdinHandle = command == CMD_READ_STDIN ? read : other;
            g_state.consoleInput = command == CMD_READ_CONSOLE ? read : other;

            // One read more than the file needs: the last finds the end of the file.
            std::string script, expected;
            for (size_t offset = 0, n = 1; n != 0; offset += n) {
                n = size - offset < 4096 ? size - offset : 4096;
                script += Request(command, 0xFFFFFFFF);  // the argument of a read is ignored
                expected += Result(1, 0, static_cast<DWORD>(n)) + content.substr(offset, n);
            }

            EXPECT_EQ(1u, Run(script));

            EXPECT_TRUE(SameBytes(expected, Answers()));
            EXPECT_EQ(0u, FilePosition(other));
            for (const fault::Record& record : fault::Records(fault::kReadFile)) {
                if (record.args[0] != reinterpret_cast<UINT_PTR>(read)) continue;
                EXPECT_EQ(reinterpret_cast<UINT_PTR>(g_state.primaryBuffer), record.args[1]);
                EXPECT_EQ(4096u, record.args[2]);
            }
            CloseHandle(read);
            CloseHandle(other);
        }
    }
}

TEST_F(ServiceRead, ReportsABrokenStdinPipeToTheChildAndGoesOn) {
    Pipe in, out;
    WriteAll(in.write, "abc");
    in.CloseWrite();
    g_state.stdinHandle = in.read;
    g_state.stdoutHandle = out.write;

    EXPECT_EQ(1u, Run(Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDOUT, "ok") +
                      Request(CMD_READ_STDIN, 0)));

    EXPECT_TRUE(SameBytes(
        Result(1, 0, 3) + "abc" + Result(0, ERROR_BROKEN_PIPE, 0) + Result(1, 0, 0) + Result(0, ERROR_BROKEN_PIPE, 0),
        Answers()));
    EXPECT_EQ("ok", TakeAvailable(out.read));
}

TEST_F(ServiceRead, LeavesWhatOneReadDidNotTakeForTheNextRequest) {
    Pipe in;
    const std::string waiting = Pattern(5000, 22);
    WriteAll(in.write, waiting);  // the writer stays open: a second read would find the rest
    g_state.stdinHandle = in.read;

    EXPECT_EQ(1u, Run(Request(CMD_READ_STDIN, 0)));

    EXPECT_TRUE(SameBytes(Result(1, 0, 4096) + waiting.substr(0, 4096), Answers()));
    EXPECT_TRUE(SameBytes(waiting.substr(4096), TakeAvailable(in.read)));
}

// A source whose read fails yet says it delivered bytes: none may follow.
HANDLE g_liar;
BOOL WINAPI FailingReadWithCount(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    if (handle != g_liar) return ::ReadFile(handle, buffer, count, moved, overlapped);
    g_liar = NULL;  // once
    memset(buffer, 'L', 10);
    *moved = 10;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

TEST_F(ServiceRead, SendsTheErrorAndNoDataWhenTheReadFails) {
    HANDLE in = SourceFile("in.txt", "hello");
    g_state.stdinHandle = in;
    fault::Fail(fault::kReadFile, ERROR_ACCESS_DENIED, 0, 1, reinterpret_cast<UINT_PTR>(in));
    g_liar = in;  // the second read (the first never reaches the platform)
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&FailingReadWithCount));

    EXPECT_EQ(1u, Run(Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0)));

    EXPECT_TRUE(SameBytes(
        Result(0, ERROR_ACCESS_DENIED, 0) + Result(0, ERROR_MORE_DATA, 10) + Result(1, 0, 5) + "hello", Answers()));
    CloseHandle(in);
}

// On Windows a cooked console read that CTRL+C interrupts succeeds with
// nothing read and ERROR_OPERATION_ABORTED (Wine never does this, so the
// fault layer plays it): the service reads again rather than answer an end
// of input.
HANDLE g_interrupted;
BOOL WINAPI InterruptedOnce(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    if (handle != g_interrupted) return ::ReadFile(handle, buffer, count, moved, overlapped);
    g_interrupted = NULL;
    *moved = 0;
    SetLastError(ERROR_OPERATION_ABORTED);
    return TRUE;
}

TEST_F(ServiceRead, ConsoleReadInterruptedByCtrlCIsReadAgain) {
    HANDLE console = SourceFile("console.txt", "hello");
    g_state.consoleInput = console;
    g_interrupted = console;
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&InterruptedOnce));

    EXPECT_EQ(1u, Run(Request(CMD_READ_CONSOLE, 0) + Request(CMD_READ_CONSOLE, 0)));

    // The end of the file after the line still answers count 0.
    EXPECT_TRUE(SameBytes(Result(1, 0, 5) + "hello" + Result(1, 0, 0), Answers()));
    int reads = 0;
    for (const fault::Record& record : fault::Records(fault::kReadFile)) {
        if (record.args[0] == reinterpret_cast<UINT_PTR>(console)) ++reads;
    }
    EXPECT_EQ(3, reads);
    CloseHandle(console);
}

// A stream the launcher was started without: every request on it answers
// ERROR_INVALID_HANDLE without touching a handle, and write data are drained.
TEST_F(ServiceRead, MissingStreamsAnswerInvalidHandle) {
    Pipe out;
    g_state.stdoutHandle = out.write;  // stdin and stderr stay null

    EXPECT_EQ(1u, Run(Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDERR, Pattern(5000, 3)) +
                      Write(CMD_WRITE_STDOUT, "still here") + Request(CMD_READ_STDIN, 0)));

    EXPECT_TRUE(SameBytes(Result(0, ERROR_INVALID_HANDLE, 0) + Result(0, ERROR_INVALID_HANDLE, 0) + Result(1, 0, 0) +
                              Result(0, ERROR_INVALID_HANDLE, 0),
                          Answers()));
    EXPECT_EQ("still here", TakeAvailable(out.read));
    for (fault::Call call : {fault::kReadFile, fault::kWriteFile}) {
        for (const fault::Record& record : fault::Records(call)) EXPECT_NE(0u, record.args[0]);
    }
}

// Claims 100 bytes more than any read that moved something.
BOOL WINAPI OverReportingReadFile(HANDLE handle, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED) {
    BOOL ok = ReadFile(handle, bytes, count, read, NULL);
    if (ok && *read != 0) *read += 100;
    return ok;
}

// A platform count past what was asked never makes the service send or
// write more than the request holds.
TEST_F(ServiceRead, CountsPastWhatWasAskedAreCutToTheRequest) {
    const std::string content = Pattern(4096, 5);
    HANDLE read = SourceFile("read.bin", content);
    g_state.stdinHandle = read;
    Pipe out;
    g_state.stdoutHandle = out.write;
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(OverReportingReadFile));
    const std::string data = Pattern(10, 6);
    EXPECT_EQ(1u, Run(Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDOUT, data)));
    EXPECT_TRUE(SameBytes(Result(1, 0, 4096) + content + Result(1, 0, 0), Answers()));
    EXPECT_EQ(data, TakeAvailable(out.read));
    CloseHandle(read);
}

}  // namespace
}  // namespace service_test
