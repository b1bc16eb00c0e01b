// The request loop itself: what ends it, what it skips, the reports it
// makes when the protocol breaks, and the raw/cooked switch.
#include "service_fixture.h"

namespace service_test {
namespace {

// ---- Conversations: a script in, answers and stdout out ----

// What a row's streams are made of; the row's `arrange` points the state at
// them. Everything here is released when the row ends.
struct Streams {
    Pipe in, out, console;
    HANDLE requests = NULL;  // the launcher's end of the request pipe
    HANDLE file = NULL;  // a row's source file or stand-in child
    std::string waiting;  // bytes a row left in its stdin pipe
    ~Streams() {
        if (file != NULL) CloseHandle(file);
    }
};

// The script is sent whole, then the child's end is closed: the service
// ends by itself, with no report, having sent exactly `answers` and written
// exactly `out` to stdout; `check` sees what else the row is about.
struct Conversation {
    const char* name;
    void (*arrange)(Streams&);
    std::string script;
    std::string answers;
    std::string out;
    void (*check)(Streams&);
};
void PrintTo(const Conversation& c, std::ostream* out) { *out << c.name; }

void StdoutOnly(Streams& s) { g_state.stdoutHandle = s.out.write; }

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

// Claims 100 bytes more than any read that moved something.
BOOL WINAPI OverReportingReadFile(HANDLE handle, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED) {
    BOOL ok = ReadFile(handle, bytes, count, read, NULL);
    if (ok && *read != 0) *read += 100;
    return ok;
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

const Conversation kConversations[] = {
    // The child closes its end between or within requests: a quiet end.
    {"EndsQuietlyWithNothingSent", StdoutOnly, "", "", "", nullptr},
    {"EndsQuietlyAfter3BytesOfARequest", StdoutOnly, Request(CMD_WRITE_STDOUT, 1).substr(0, 3), "", "", nullptr},
    {"EndsQuietlyAfter7BytesOfARequest", StdoutOnly, Request(CMD_WRITE_STDOUT, 1).substr(0, 7), "", "", nullptr},
    {"EndsQuietlyAfterARequest", StdoutOnly, Write(CMD_WRITE_STDOUT, "x"), Result(1, 0, 0), "x", nullptr},
    {"EndsQuietlyWithinTheSecondRequest", StdoutOnly,
     Write(CMD_WRITE_STDOUT, "x") + Request(CMD_WRITE_STDOUT, 1).substr(0, 5), Result(1, 0, 0), "x", nullptr},
    {"AssemblesRequestsThatArriveInPieces",
     [](Streams& s) {
         g_state.stdoutHandle = s.out.write;
         g_state.consoleOutput = s.console.write;
         s.file = SourceFile("in.txt", "typed");
         g_state.stdinHandle = s.file;
         g_readCaps[s.requests] = 3;  // the pipe hands over 3 bytes at a time
         fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&LoggedTransfer<LPVOID>));
         fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(&LoggedTransfer<LPCVOID>));
     },
     Write(CMD_WRITE_STDOUT, "hello world") + Request(6, 2) + Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_CONSOLE, "x"),
     Result(1, 0, 0) + Result(1, 0, 5) + "typed" + Result(1, 0, 0), "hello world",
     [](Streams& s) {
         EXPECT_EQ("x", TakeAvailable(s.console.read));
         int requestEnds = 0;  // reads that complete a request: its last 2 bytes, after 3 and 3
         for (const Transfer& t : LoggedTransfers()) {
             requestEnds += t.handle == s.requests && t.buffer != g_state.primaryBuffer && t.asked == 2;
         }
         EXPECT_EQ(4, requestEnds);
     }},
    {"GivesTheChildASecondToEndAfterItClosesThePipe",
     [](Streams& s) {
         // Stands in for a child that has already ended: the wait returns at once.
         s.file = CreateEventA(NULL, TRUE, TRUE, NULL);
         g_state.child.hProcess = s.file;
     },
     "", "", "",
     [](Streams& s) {
         std::vector<fault::Record> waits = fault::Records(fault::kWaitForSingleObject);
         ASSERT_EQ(1u, waits.size());
         EXPECT_EQ(reinterpret_cast<UINT_PTR>(s.file), waits[0].args[0]);
         EXPECT_EQ(1000u, waits[0].args[1]);
         if (g_state.child.hProcess == NULL) s.file = NULL;  // the wait's clean-up closed it
     }},
    // Arguments that look like byte counts: nothing may be read as their data.
    {"SkipsUnknownCodesWithoutAnswering", StdoutOnly,
     Request(6, 3) + Request(0xFFFFFFFF, 8) + Request(7, 0) + Write(CMD_WRITE_STDOUT, "abc") + Request(0x80000001, 1) +
         Write(CMD_WRITE_STDOUT, "de"),
     Result(1, 0, 0) + Result(1, 0, 0), "abcde", nullptr},
    {"ReportsABrokenStdinPipeToTheChildAndGoesOn",
     [](Streams& s) {
         WriteAll(s.in.write, "abc");
         s.in.CloseWrite();
         g_state.stdinHandle = s.in.read;
         g_state.stdoutHandle = s.out.write;
     },
     Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDOUT, "ok") +
         Request(CMD_READ_STDIN, 0),
     Result(1, 0, 3) + "abc" + Result(0, ERROR_BROKEN_PIPE, 0) + Result(1, 0, 0) + Result(0, ERROR_BROKEN_PIPE, 0), "ok",
     nullptr},
    {"LeavesWhatOneReadDidNotTakeForTheNextRequest",
     [](Streams& s) {
         s.waiting = Pattern(5000, 22);
         WriteAll(s.in.write, s.waiting);  // the writer stays open: a second read would find the rest
         g_state.stdinHandle = s.in.read;
     },
     Request(CMD_READ_STDIN, 0), Result(1, 0, 4096) + Pattern(5000, 22).substr(0, 4096), "",
     [](Streams& s) { EXPECT_TRUE(SameBytes(s.waiting.substr(4096), TakeAvailable(s.in.read))); }},
    {"SendsTheErrorAndNoDataWhenTheReadFails",
     [](Streams& s) {
         s.file = SourceFile("in.txt", "hello");
         g_state.stdinHandle = s.file;
         fault::Fail(fault::kReadFile, ERROR_ACCESS_DENIED, 0, 1, reinterpret_cast<UINT_PTR>(s.file));
         g_liar = s.file;  // the second read (the first never reaches the platform)
         fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&FailingReadWithCount));
     },
     Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0),
     Result(0, ERROR_ACCESS_DENIED, 0) + Result(0, ERROR_MORE_DATA, 10) + Result(1, 0, 5) + "hello", "", nullptr},
    // A platform count past what was asked never makes the service send or
    // write more than the request holds.
    {"CountsPastWhatWasAskedAreCutToTheRequest",
     [](Streams& s) {
         s.file = SourceFile("read.bin", Pattern(4096, 5));
         g_state.stdinHandle = s.file;
         g_state.stdoutHandle = s.out.write;
         fault::Replace(fault::kReadFile, reinterpret_cast<void*>(OverReportingReadFile));
     },
     Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDOUT, Pattern(10, 6)),
     Result(1, 0, 4096) + Pattern(4096, 5) + Result(1, 0, 0), Pattern(10, 6), nullptr},
    // The end of the file after the line still answers count 0.
    {"ConsoleReadInterruptedByCtrlCIsReadAgain",
     [](Streams& s) {
         s.file = SourceFile("console.txt", "hello");
         g_state.consoleInput = s.file;
         g_interrupted = s.file;
         fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&InterruptedOnce));
     },
     Request(CMD_READ_CONSOLE, 0) + Request(CMD_READ_CONSOLE, 0), Result(1, 0, 5) + "hello" + Result(1, 0, 0), "",
     [](Streams& s) {
         int reads = 0;
         for (const fault::Record& record : fault::Records(fault::kReadFile)) {
             if (record.args[0] == reinterpret_cast<UINT_PTR>(s.file)) ++reads;
         }
         EXPECT_EQ(3, reads);
     }},
    // A stream the launcher was started without: every request on it answers
    // ERROR_INVALID_HANDLE without touching a handle, and write data are drained.
    {"MissingStreamsAnswerInvalidHandle",
     [](Streams& s) {
         g_state.stdoutHandle = s.out.write;
         g_state.stderrHandle = NULL;  // stdin and stderr null
     },
     Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDERR, Pattern(5000, 3)) + Write(CMD_WRITE_STDOUT, "still here") +
         Request(CMD_READ_STDIN, 0),
     Result(0, ERROR_INVALID_HANDLE, 0) + Result(0, ERROR_INVALID_HANDLE, 0) + Result(1, 0, 0) +
         Result(0, ERROR_INVALID_HANDLE, 0),
     "still here",
     [](Streams&) {
         for (fault::Call call : {fault::kReadFile, fault::kWriteFile}) {
             for (const fault::Record& record : fault::Records(call)) EXPECT_NE(0u, record.args[0]);
         }
     }},
};

class ServiceConversation : public ServiceTest, public ::testing::WithParamInterface<Conversation> {};

TEST_P(ServiceConversation, AnswersAndWritesExactlyWhatTheScriptAsks) {
    const Conversation& c = GetParam();
    Streams streams;
    streams.requests = requests_.read;
    StderrCapture reports;  // a row may take stderr away again
    c.arrange(streams);

    EXPECT_EQ(1u, Run(c.script));

    EXPECT_TRUE(SameBytes(c.answers, Answers()));
    EXPECT_EQ(c.out, TakeAvailable(streams.out.read));
    EXPECT_EQ("", reports.Take());
    EXPECT_EQ(0u, g_state.failureExitCode.load());
    if (c.check != nullptr) c.check(streams);
}

INSTANTIATE_TEST_SUITE_P(Rows, ServiceConversation, ::testing::ValuesIn(kConversations),
                         [](const ::testing::TestParamInfo<Conversation>& info) { return std::string(info.param.name); });

// ---- Reports that stop the service ----

// A read of the 10 bytes of write data that succeeds with nothing and leaves
// an unrelated last error behind, as a successful platform call may.
BOOL WINAPI ZeroDataRead(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    if (count != 10) return ::ReadFile(handle, buffer, count, moved, overlapped);
    *moved = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return TRUE;
}

enum class Breach {
    kDataCutShort,      // N announced, fewer bytes sent, then the pipe closed
    kZeroByteRequest,   // the read of a request delivers nothing
    kRequestReadFails,  // the read of a request fails with another error
    kZeroByteData,      // a read of write data delivers nothing
    kWriteResultLost,   // the child no longer reads results (write command)
    kReadResultLost,    // the same for a read command
    kReadDataLost,      // the read result goes out, its data cannot
};

using ServiceReport = ServiceTest;

TEST_F(ServiceReport, StopsTheServiceWithItsOwnReport) {
    static const char* const kNames[] = {"data cut short", "zero-byte request", "request read fails",
                                         "zero-byte data", "write result lost", "read result lost",
                                         "read data lost"};
    for (Breach breach :
         {Breach::kDataCutShort, Breach::kZeroByteRequest, Breach::kRequestReadFails, Breach::kZeroByteData,
          Breach::kWriteResultLost, Breach::kReadResultLost, Breach::kReadDataLost}) {
        SCOPED_TRACE(kNames[static_cast<int>(breach)]);
        Renew();
        Pipe out;
        g_state.stdoutHandle = out.write;
        HANDLE in = SourceFile("in.txt", "input");
        g_state.stdinHandle = in;
        StderrCapture reports;
        const UINT_PTR requestEnd = reinterpret_cast<UINT_PTR>(requests_.read);
        const UINT_PTR resultEnd = reinterpret_cast<UINT_PTR>(results_.write);

        std::string script, report, answers, written;
        switch (breach) {
            case Breach::kDataCutShort:
                script = Request(CMD_WRITE_STDOUT, 100) + std::string(40, 'd');
                report = Fatal("Failed to get write data from child process") + SystemLines(ERROR_BROKEN_PIPE);
                written = std::string(40, 'd');  // the chunk that came is written before the next read
                break;
            case Breach::kZeroByteRequest:
                fault::ZeroBytes(fault::kReadFile, 0, 1, requestEnd);
                script = Write(CMD_WRITE_STDOUT, "x");
                report = Fatal("Failed to read command sent from child process") +
                         "Reason: The read function indicated that zero bytes were read\n\r";
                break;
            case Breach::kRequestReadFails:
                fault::Fail(fault::kReadFile, ERROR_ACCESS_DENIED, 2, 1, requestEnd);  // after "x" and its data
                script = Write(CMD_WRITE_STDOUT, "x") + Write(CMD_WRITE_STDOUT, "y");
                report =
                    Fatal("Failed to read command sent from child process") + SystemLines(ERROR_ACCESS_DENIED);
                answers = Result(1, 0, 0);
                written = "x";
                break;
            case Breach::kZeroByteData:
                // With a stale last error about: the report must not show it.
                fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&ZeroDataRead));
                script = Write(CMD_WRITE_STDOUT, "0123456789");
                report = Fatal("Zero bytes were read when getting write data from child process");
                break;
            case Breach::kWriteResultLost:
                results_.CloseRead();
                script = Write(CMD_WRITE_STDOUT, "abc");
                report = Fatal("Failed to send write result to child process") + SystemLines(BrokenWriteError());
                written = "abc";
                break;
            case Breach::kReadResultLost:
                results_.CloseRead();
                script = Request(CMD_READ_STDIN, 0);
                report = Fatal("Failed to send read result to child process") + SystemLines(BrokenWriteError());
                break;
            case Breach::kReadDataLost:
                fault::Fail(fault::kWriteFile, ERROR_NO_DATA, 1, 1, resultEnd);
                script = Request(CMD_READ_STDIN, 0);
                report = Fatal("Failed to send read data to child process") + SystemLines(ERROR_NO_DATA);
                answers = Result(1, 0, 5);
                break;
        }
        // Whatever follows the breach is never served (a cut-short write has
        // nothing after it: the child closed its end).
        if (breach != Breach::kDataCutShort) script += Write(CMD_WRITE_STDOUT, "never");

        EXPECT_EQ(0u, Run(script));

        EXPECT_EQ(report, reports.Take());
        EXPECT_EQ(1u, g_state.failureExitCode.load());
        EXPECT_TRUE(SameBytes(answers, Answers()));
        EXPECT_EQ(written, TakeAvailable(out.read));
        CloseHandle(in);
    }
}

// ---- Raw and cooked console input ----

using ServiceRawMode = ServiceTest;

TEST_F(ServiceRawMode, SwitchesTheInputBitsOfTheSavedWordAndAnswersNothing) {
    struct Case {
        DWORD saved;
        std::vector<std::pair<DWORD, DWORD>> steps;  // argument, mode written
    };
    const Case cases[] = {
        {0x1F7, {{1, 0x1F0}, {0, 0x1F7}, {0, 0x1F7}, {0x80000000, 0x1F0}, {2, 0x1F0}, {0, 0x1F7}}},
        {0x000, {{0, 0x007}, {0xFFFFFFFF, 0x000}}},
        {0xFFFFFFFF, {{1, 0xFFFFFFF8}, {0, 0xFFFFFFFF}}},
        {0x0A5, {{0, 0x0A7}, {1, 0x0A0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("saved mode " + std::to_string(c.saved));
        Renew();
        Pipe out;
        g_state.stdoutHandle = out.write;
        HANDLE input = SourceFile("input.txt", "");
        g_state.consoleInput = input;
        g_state.stdinHandle = out.read;  // the mode is set on the console input, never on stdin
        g_state.savedInputMode = c.saved;
        // Every switch fails: the failure is ignored, and the word still changes.
        fault::Fail(fault::kSetConsoleMode, ERROR_INVALID_HANDLE, 0, fault::kForever);

        // A write after each switch: its answer must be the next thing that comes.
        std::string script, answers;
        for (const auto& step : c.steps) {
            script += Request(CMD_SET_RAW_MODE, step.first) + Write(CMD_WRITE_STDOUT, "w");
            answers += Result(1, 0, 0);
        }
        EXPECT_EQ(1u, Run(script));

        EXPECT_TRUE(SameBytes(answers, Answers()));
        std::vector<fault::Record> sets = fault::Records(fault::kSetConsoleMode);
        ASSERT_EQ(c.steps.size(), sets.size());
        for (size_t i = 0; i < sets.size(); ++i) {
            EXPECT_EQ(reinterpret_cast<UINT_PTR>(input), sets[i].args[0]);
            EXPECT_EQ(c.steps[i].second, sets[i].args[1]) << "switch " << i;
        }
        EXPECT_EQ(c.steps.back().second, g_state.savedInputMode);
        EXPECT_EQ(0, fault::Count(fault::kGetConsoleMode));  // the saved word, never the current mode
        CloseHandle(input);
    }
}

}  // namespace
}  // namespace service_test
