// The request loop itself: what ends it, what it skips, the reports it
// makes when the protocol breaks, and the raw/cooked switch.
#include <functional>

#include "service_fixture.h"

namespace service_test {
namespace {

// ---- Conversations: a script in, answers and stdout out ----

// What a row's streams are made of; the row's `arrange` points the state at
// them. Everything here is released when the row ends.
struct Streams {
    Pipe in, console;
    HANDLE requests = NULL;  // the launcher's end of the request pipe
    HANDLE file = NULL;      // a row's source file or stand-in child
};

// Stdout is the fixture's, the rest is the row's to arrange. The script is
// sent whole, then the child's end is closed: the service ends by itself,
// with no report, having sent exactly `answers` and written exactly `out` to
// stdout; `check` sees what else the row is about.
struct Conversation {
    const char* name;
    void (*arrange)(Streams&);
    std::string script, answers, out;
    void (*check)(Streams&);
};
void PrintTo(const Conversation& c, std::ostream* out) { *out << c.name; }

std::string Fatal(const std::string& message) { return "Fatal error: " + message + "\r\n"; }

// Claims 100 bytes more than any read that moved something.
BOOL WINAPI OverReportingReadFile(HANDLE handle, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED) {
    BOOL ok = ReadFile(handle, bytes, count, read, NULL);
    if (ok && *read != 0) *read += 100;
    return ok;
}

// Another thread's move at the worst moment, or an odd outcome of a platform
// call, played by the fault layer: just as the service makes its next call on
// `handle` (of `size` bytes; 0: any), the watch thread sees the child end or a
// Shutdown begins, as `move` says; the call is then made as asked when
// `error` is 0, else it is not made and gives `ok`, `moved` bytes and `error`.
enum Move { kNoMove, kChildEnds, kShutdownBegins };
struct Moment {
    HANDLE handle;
    DWORD size;
    Move move;
    DWORD error;
    BOOL ok = FALSE;
    DWORD moved = 0;
};
Moment g_moment;

template <typename Buffer>
BOOL WINAPI AtTheMoment(HANDLE handle, Buffer buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    if (handle == g_moment.handle && (g_moment.size == 0 || count == g_moment.size)) {
        g_moment.handle = NULL;  // once
        if (g_moment.move == kChildEnds) g_state.childEnded = TRUE;
        if (g_moment.move == kShutdownBegins) g_state.mainThread = MAIN_STOPPING;
        if (g_moment.error != 0) {
            *moved = g_moment.moved;
            SetLastError(g_moment.error);
            return g_moment.ok;
        }
    }
    return LoggedTransfer<Buffer>(handle, buffer, count, moved, overlapped);
}

void Arrive(const Moment& moment) {
    g_moment = moment;
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&AtTheMoment<LPVOID>));
    fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(&AtTheMoment<LPCVOID>));
}

// A Shutdown that began is left to finish the run: the service does not
// take the main thread back.
void StillStopping(Streams&) { EXPECT_EQ(MAIN_STOPPING, g_state.mainThread.load()); }

const std::string kNever = Write(CMD_WRITE_STDOUT, "never");

const Conversation kConversations[] = {
    // The child closes its end between or within requests: a quiet end.
    {"EndsQuietlyWithNothingSent", nullptr, "", "", "", nullptr},
    // Once the child has ended or a Shutdown has begun, nothing is read for
    // the child or sent to it, and a call that fails then is no failure.
    {"EndsQuietlyWhenTheChildHasEndedBeforeARead",
     [](Streams& s) {
         s.file = g_state.stdinHandle = SourceFile("in.txt", "typed");
         g_state.childEnded = TRUE;
     },
     Request(CMD_READ_STDIN, 0) + kNever, "", "",
     [](Streams& s) { EXPECT_TRUE(RecordsOn(fault::kReadFile, s.file).empty()); }},
    {"EndsQuietlyWhenTheChildEndsAsAResultCannotBeSent",
     [](Streams&) { Arrive({g_state.parentToChildWrite, 0, kChildEnds, ERROR_NO_DATA}); },
     Write(CMD_WRITE_STDOUT, "x") + kNever, "", "x", nullptr},
    {"EndsQuietlyWhenAShutdownBeginsAsAResultCannotBeSent",
     [](Streams&) { Arrive({g_state.parentToChildWrite, 0, kShutdownBegins, ERROR_NO_DATA}); },
     Write(CMD_WRITE_STDOUT, "x") + kNever, "", "x", StillStopping},
    {"EndsQuietlyWhenAShutdownBeginsDuringWriteData",
     [](Streams&) { Arrive({g_state.childToParentRead, 5, kShutdownBegins, 0}); },
     Write(CMD_WRITE_STDOUT, "hello") + kNever, "", "", StillStopping},
    {"EndsQuietlyWhenAShutdownCancelsAWriteDataRead",
     [](Streams&) { Arrive({g_state.childToParentRead, 5, kShutdownBegins, ERROR_OPERATION_ABORTED}); },
     Write(CMD_WRITE_STDOUT, "hello") + kNever, "", "", StillStopping},
    {"EndsQuietlyWhenAShutdownCancelsARequestRead",
     [](Streams&) {
         Arrive({g_state.childToParentRead, sizeof(CommandRequest), kShutdownBegins, ERROR_OPERATION_ABORTED});
     },
     kNever, "", "", StillStopping},
    {"EndsQuietlyWhenAShutdownBeginsBeforeARead",
     [](Streams&) {
         g_state.stdinHandle = SourceFile("in.txt", "typed");
         Arrive({g_state.childToParentRead, sizeof(CommandRequest), kShutdownBegins, 0});
     },
     Request(CMD_READ_STDIN, 0) + kNever, "", "", StillStopping},
    {"EndsQuietlyWhenAShutdownBeginsAsAResultIsSent",
     [](Streams&) { Arrive({g_state.parentToChildWrite, 0, kShutdownBegins, 0}); },
     Write(CMD_WRITE_STDOUT, "x") + kNever, Result(1, 0, 0), "x", StillStopping},
    // The send fails a moment before the child's end shows: the wait for it sees it.
    {"EndsQuietlyWhenTheChildIsSeenEndingAfterASendFails",
     [](Streams& s) {
         s.file = g_state.watchedChild = CreateEventA(NULL, TRUE, TRUE, NULL);
         fault::Fail(fault::kWriteFile, ERROR_NO_DATA, 0, 1, Arg(g_state.parentToChildWrite));
     },
     Write(CMD_WRITE_STDOUT, "x") + kNever, "", "x", [](Streams& s) { CloseHandle(s.file); }},
    {"EndsQuietlyWhenTheChildEndsDuringARequestRead",
     [](Streams&) { Arrive({g_state.childToParentRead, sizeof(CommandRequest), kChildEnds, ERROR_OPERATION_ABORTED}); },
     kNever, "", "", nullptr},
    {"EndsQuietlyAfter3BytesOfARequest", nullptr, Request(CMD_WRITE_STDOUT, 1).substr(0, 3), "", "", nullptr},
    {"EndsQuietlyAfter7BytesOfARequest", nullptr, Request(CMD_WRITE_STDOUT, 1).substr(0, 7), "", "", nullptr},
    {"EndsQuietlyAfterARequest", nullptr, Write(CMD_WRITE_STDOUT, "x"), Result(1, 0, 0), "x", nullptr},
    {"EndsQuietlyWithinTheSecondRequest", nullptr,
     Write(CMD_WRITE_STDOUT, "x") + Request(CMD_WRITE_STDOUT, 1).substr(0, 5), Result(1, 0, 0), "x", nullptr},
    {"AssemblesRequestsThatArriveInPieces",
     [](Streams& s) {
         g_state.consoleOutput = s.console.write;
         g_state.stdinHandle = SourceFile("in.txt", "typed");
         g_readCaps[s.requests] = 3;  // the pipe hands over 3 bytes at a time
         LogTransfers();
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
         s.file = g_state.child.hProcess = CreateEventA(NULL, TRUE, TRUE, NULL);
     },
     "", "", "",
     [](Streams& s) {
         std::vector<fault::Record> waits = fault::Records(fault::kWaitForSingleObject);
         if (g_state.child.hProcess != NULL) CloseHandle(s.file);  // else the wait's clean-up closed it
         ASSERT_EQ(1u, waits.size());
         EXPECT_EQ(Arg(s.file), waits[0].args[0]);
         EXPECT_EQ(1000u, waits[0].args[1]);
     }},
    // Arguments that look like byte counts: nothing may be read as their data.
    {"SkipsUnknownCodesWithoutAnswering", nullptr,
     Request(6, 3) + Request(0xFFFFFFFF, 8) + Request(7, 0) + Write(CMD_WRITE_STDOUT, "abc") + Request(0x80000001, 1) +
         Write(CMD_WRITE_STDOUT, "de"),
     Result(1, 0, 0) + Result(1, 0, 0), "abcde", nullptr},
    {"ReportsABrokenStdinPipeToTheChildAndGoesOn",
     [](Streams& s) {
         WriteAll(s.in.write, "abc");
         s.in.CloseWrite();
         g_state.stdinHandle = s.in.read;
     },
     Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDOUT, "ok") +
         Request(CMD_READ_STDIN, 0),
     Result(1, 0, 3) + "abc" + Result(0, ERROR_BROKEN_PIPE, 0) + Result(1, 0, 0) + Result(0, ERROR_BROKEN_PIPE, 0), "ok",
     nullptr},
    {"LeavesWhatOneReadDidNotTakeForTheNextRequest",
     [](Streams& s) {
         WriteAll(s.in.write, Pattern(5000, 22));  // the writer stays open: a second read would find the rest
         g_state.stdinHandle = s.in.read;
     },
     Request(CMD_READ_STDIN, 0), Result(1, 0, 4096) + Pattern(5000, 22).substr(0, 4096), "",
     [](Streams& s) { EXPECT_TRUE(SameBytes(Pattern(5000, 22).substr(4096), TakeAvailable(s.in.read))); }},
    {"SendsTheErrorAndNoDataWhenTheReadFails",
     [](Streams&) {
         // The second read fails yet says it delivered bytes: none may follow.
         // The first never reaches the platform.
         HANDLE liar = g_state.stdinHandle = SourceFile("in.txt", "hello");
         fault::Fail(fault::kReadFile, ERROR_ACCESS_DENIED, 0, 1, Arg(liar));
         Arrive({liar, 0, kNoMove, ERROR_MORE_DATA, FALSE, 10});
     },
     Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0) + Request(CMD_READ_STDIN, 0),
     Result(0, ERROR_ACCESS_DENIED, 0) + Result(0, ERROR_MORE_DATA, 10) + Result(1, 0, 5) + "hello", "", nullptr},
    // A platform count past what was asked never makes the service send or
    // write more than the request holds.
    {"CountsPastWhatWasAskedAreCutToTheRequest",
     [](Streams&) {
         g_state.stdinHandle = SourceFile("read.bin", Pattern(4096, 5));
         fault::Replace(fault::kReadFile, reinterpret_cast<void*>(OverReportingReadFile));
     },
     Request(CMD_READ_STDIN, 0) + Write(CMD_WRITE_STDOUT, Pattern(10, 6)),
     Result(1, 0, 4096) + Pattern(4096, 5) + Result(1, 0, 0), Pattern(10, 6), nullptr},
    // On Windows a cooked console read that CTRL+C interrupts succeeds with
    // nothing read and ERROR_OPERATION_ABORTED (Wine never does this, so the
    // fault layer plays it): the service reads again rather than answer an
    // end of input. The end of the file after the line still answers count 0.
    {"ConsoleReadInterruptedByCtrlCIsReadAgain",
     [](Streams& s) {
         s.file = g_state.consoleInput = SourceFile("console.txt", "hello");
         Arrive({s.file, 0, kNoMove, ERROR_OPERATION_ABORTED, TRUE});
     },
     Request(CMD_READ_CONSOLE, 0) + Request(CMD_READ_CONSOLE, 0), Result(1, 0, 5) + "hello" + Result(1, 0, 0), "",
     [](Streams& s) { EXPECT_EQ(3u, RecordsOn(fault::kReadFile, s.file).size()); }},
    // A stream the launcher was started without: every request on it answers
    // ERROR_INVALID_HANDLE without touching a handle, and write data are drained.
    {"MissingStreamsAnswerInvalidHandle",
     [](Streams&) { g_state.stderrHandle = NULL; },  // stdin and stderr null
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
    if (c.arrange != nullptr) c.arrange(streams);  // a row may take stderr away again
    ExpectRun(c.script, "", c.answers, c.out);
    if (c.check != nullptr) c.check(streams);
}

INSTANTIATE_TEST_SUITE_P(Rows, ServiceConversation, ::testing::ValuesIn(kConversations),
                         [](const ::testing::TestParamInfo<Conversation>& info) { return std::string(info.param.name); });

// ---- Reports that stop the service ----

using ServiceReport = ServiceTest;

TEST_F(ServiceReport, StopsTheServiceWithItsOwnReport) {
    struct Breach {
        const char* name;
        std::function<void()> arrange;  // after the fresh conversation, before the run
        std::string script, report, answers, written;
    };
    const std::string noRequest = Fatal("Failed to read command sent from child process");
    // Whatever follows the breach is never served (a cut-short write has
    // nothing after it: the child closed its end).
    const std::string never = Write(CMD_WRITE_STDOUT, "never");
    const Breach breaches[] = {
        // N announced, fewer bytes sent, then the pipe closed: the chunk that
        // came is written before the next read.
        {"data cut short", [] {}, Request(CMD_WRITE_STDOUT, 100) + std::string(40, 'd'),
         SystemReport("Failed to get write data from child process", ERROR_BROKEN_PIPE), "", std::string(40, 'd')},
        {"zero-byte request", [&] { fault::ZeroBytes(fault::kReadFile, 0, 1, Arg(requests_.read)); },
         Write(CMD_WRITE_STDOUT, "x") + never,
         noRequest + "Reason: The read function indicated that zero bytes were read\n\r", "", ""},
        // The read of a request fails with another error, after "x" and its data.
        {"request read fails", [&] { fault::Fail(fault::kReadFile, ERROR_ACCESS_DENIED, 2, 1, Arg(requests_.read)); },
         Write(CMD_WRITE_STDOUT, "x") + Write(CMD_WRITE_STDOUT, "y") + never,
         noRequest + SystemLines(ERROR_ACCESS_DENIED), Result(1, 0, 0), "x"},
        // The read of the 10 bytes of write data succeeds with nothing, with an
        // unrelated last error about (as a successful call may leave one) that
        // the report must not show.
        {"zero-byte data", [&] { Arrive({requests_.read, 10, kNoMove, ERROR_ACCESS_DENIED, TRUE}); },
         Write(CMD_WRITE_STDOUT, "0123456789") + never,
         Fatal("Zero bytes were read when getting write data from child process"), "", ""},
        // The child no longer reads results, of a write or of a read command.
        {"write result lost", [&] { results_.CloseRead(); }, Write(CMD_WRITE_STDOUT, "abc") + never,
         SystemReport("Failed to send write result to child process", BrokenWriteError()), "", "abc"},
        {"read result lost", [&] { results_.CloseRead(); }, Request(CMD_READ_STDIN, 0) + never,
         SystemReport("Failed to send read result to child process", BrokenWriteError()), "", ""},
        // The read result goes out, its data cannot.
        {"read data lost", [&] { fault::Fail(fault::kWriteFile, ERROR_NO_DATA, 1, 1, Arg(results_.write)); },
         Request(CMD_READ_STDIN, 0) + never, SystemReport("Failed to send read data to child process", ERROR_NO_DATA),
         Result(1, 0, 5), ""},
        // A request read cancelled while the child runs: no one of ours did it.
        {"request read cancelled",
         [&] { fault::Fail(fault::kReadFile, ERROR_OPERATION_ABORTED, 0, 1, Arg(requests_.read)); }, never,
         noRequest + SystemLines(ERROR_OPERATION_ABORTED), "", ""},
        // A failed send while the child still runs (here: this process, which
        // the 1 s wait for its end does not see end). Last: the watch stays.
        {"result lost, child still running",
         [&] {
             results_.CloseRead();
             g_state.watchedChild = GetCurrentProcess();
         },
         Write(CMD_WRITE_STDOUT, "abc") + never,
         SystemReport("Failed to send write result to child process", BrokenWriteError()), "", "abc"},
    };
    for (const Breach& breach : breaches) {
        SCOPED_TRACE(breach.name);
        Renew();
        g_state.stdinHandle = SourceFile("in.txt", "input");
        breach.arrange();
        ExpectRun(breach.script, breach.report, breach.answers, breach.written);
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
        HANDLE input = g_state.consoleInput = SourceFile("input.txt", "");
        g_state.stdinHandle = out_.read;  // the mode is set on the console input, never on stdin
        g_state.savedInputMode = c.saved;
        // Every switch fails: the failure is ignored, and the word still changes.
        fault::Fail(fault::kSetConsoleMode, ERROR_INVALID_HANDLE, 0, fault::kForever);

        // A write after each switch: its answer must be the next thing that comes.
        std::string script, answers;
        std::vector<DWORD> modes;
        for (const auto& step : c.steps) {
            script += Request(CMD_SET_RAW_MODE, step.first) + Write(CMD_WRITE_STDOUT, "w");
            answers += Result(1, 0, 0);
            modes.push_back(step.second);
        }
        ExpectRun(script, "", answers, std::string(modes.size(), 'w'));
        ExpectModeSwitches(input, modes);
        EXPECT_EQ(modes.back(), g_state.savedInputMode);
        EXPECT_EQ(0, fault::Count(fault::kGetConsoleMode));  // the saved word, never the current mode
    }
}

}  // namespace
}  // namespace service_test
