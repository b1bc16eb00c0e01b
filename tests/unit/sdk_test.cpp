// The child SDK against the real launcher: a GUI program built from sdk/
// alone (sdk/examples/bulk.c) moves exact bytes both ways, from several
// threads at once, and passes its exit code back, and refuses cleanly when
// it has no launcher or attaches twice; an ordinary printf/std::cout
// program (sdk/examples/streams.cpp) writes through the launcher exactly
// what its console build writes alone. With TARNELO_CHILD_ARCH=64 the same
// cases run the programs built for x86_64.
#include <fcntl.h>
#include <io.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fault.h"
#include "harness.h"
#include "tarnelo_child.h"

namespace {

// The bytes bulk.c writes, computed here independently of it.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    unsigned state = 0x7A4E1u;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

const int kDone = 3;
const int kNotAttachedBase = 100;  // bulk.c exits with this plus the attach result

RunOptions Within(DWORD timeoutMs, RunOptions options = RunOptions()) {
    options.timeoutMs = timeoutMs;
    return options;
}

std::string Bulk() { return Quote(ChildDir() + "\\bulk_gui.exe"); }

RunResult ThroughLauncher(const std::string& arguments, const RunOptions& options = Within(10000)) {
    return RunProcess(Quote(Launcher()) + " " + Bulk() + " " + arguments, options);
}

// bulk ended by itself, done, having written exactly `out`.
void ExpectDone(const RunResult& run, const std::string& out) {
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(static_cast<DWORD>(kDone), run.exitCode);
    ASSERT_TRUE(SameBytes(out, run.out));
}

}  // namespace

TEST(SdkWrite, OneMebibyteReachesStdoutByteExactAndTheExitCodePassesThrough) {
    const size_t kSize = 1u << 20;
    const std::string expected = Pattern(kSize);
    ASSERT_NE(std::string::npos, expected.find('\0'));
    ASSERT_NE(std::string::npos, expected.find("\r"));
    ASSERT_NE(std::string::npos, expected.find("\n"));
    DWORD type = 0;
    ASSERT_TRUE(GetBinaryTypeA((ChildDir() + "\\bulk_gui.exe").c_str(), &type)) << GetLastError();
    ASSERT_EQ(static_cast<DWORD>(ChildBits() == 64 ? SCS_64BIT_BINARY : SCS_32BIT_BINARY), type)
        << "the children must be of the width asked for";
    // Requests go through the launcher's command service; the handle is the
    // launcher's own stdout pipe, duplicated into the child.
    for (const char* route : {"request", "handle"}) {
        SCOPED_TRACE(route);
        RunResult run = ThroughLauncher(std::string(route) + " " + std::to_string(kSize));
        EXPECT_EQ("", run.err);
        ExpectDone(run, expected);
    }
}

TEST(SdkRead, StdinArrivesExactlyAndItsEndReadsAsZeroBytes) {
    // A pipe's end reaches the child as a broken pipe, a file's end as a
    // read of zero bytes: the SDK must hand both out as the end of input.
    struct Case {
        const char* name;
        Stream in;
        size_t size;
    };
    const Case cases[] = {
        {"pipe", Stream::kPipe, 10000},
        {"file", Stream::kFile, 10000},
        {"empty pipe", Stream::kPipe, 0},
        {"empty file", Stream::kFile, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = Pattern(c.size);
        const RunOptions options = StreamOptions(c.in, Stream::kPipe, Stream::kPipe, TestDir() + "\\", input, input);
        ExpectDone(ThroughLauncher("echo", Within(10000, options)), input);
    }
}

TEST(SdkAttach, ProgramStartedDirectlyIsToldItWasNotLaunched) {
    RunResult run = RunProcess(Bulk() + " request 10", Within(10000));
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(static_cast<DWORD>(kNotAttachedBase + 1), run.exitCode);  // TARNELO_NOT_LAUNCHED
    EXPECT_EQ("", run.out);
}

// Plays the launcher's first step for a suspended bulk_gui.exe with
// `publish` (given the channel name), runs it and gives its exit code.
template <typename Publish>
DWORD ExitCodeAfterPublishing(Publish publish) {
    std::string line = Bulk() + " request 10";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &process)) {
        ADD_FAILURE() << "cannot start bulk_gui.exe: " << GetLastError();
        return 0xDEADBEEF;
    }
    std::string name = "tarnelo\t" + std::to_string(process.dwProcessId) + "\t" + std::to_string(process.dwThreadId);
    HANDLE published = publish(name);
    ResumeThread(process.hThread);
    DWORD code = 0xDEADBEEF;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 10000));
    GetExitCodeProcess(process.hProcess, &code);
    if (published != NULL) CloseHandle(published);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(SdkAttach, BlockOfAnotherLayoutVersionIsRefused) {
    void* view = NULL;
    DWORD code = ExitCodeAfterPublishing([&](const std::string& name) {
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 68, name.c_str());
        view = mapping != NULL ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : NULL;
        if (view != NULL) static_cast<DWORD*>(view)[0] = 1002;
        return mapping;
    });
    ASSERT_NE(static_cast<void*>(NULL), view);
    UnmapViewOfFile(view);
    EXPECT_EQ(static_cast<DWORD>(kNotAttachedBase + 2), code);  // TARNELO_BAD_VERSION
}

TEST(SdkAttach, NameTakenByAnotherObjectFailsWithItsSystemError) {
    // An event under the block's name: the open fails, and the reason keeps
    // the system's error (bulk.c exits with 0x3000 + attachError).
    DWORD code = ExitCodeAfterPublishing([](const std::string& name) { return CreateEventA(NULL, TRUE, FALSE, name.c_str()); });
    EXPECT_EQ(static_cast<DWORD>(0x3000 + ERROR_INVALID_HANDLE), code);
}

TEST(SdkAttach, SecondAttachIsRefusedAndTheFirstStaysUsable) {
    ExpectDone(ThroughLauncher("twice"), "still attached\n");
}

TEST(SdkThreads, ConcurrentRequestsArriveWholeAndEachResultFindsItsRequest) {
    // The main thread's reads and echoes take results with data while four
    // threads write records: a result taken by the wrong thread would show
    // as bytes out of place, or as a thread that hangs.
    RunOptions options = Within(60000);
    options.input = Pattern(200000);
    RunResult run = ThroughLauncher("threads", options);
    ExpectDone(run, options.input);

    std::map<unsigned, unsigned> next;  // thread -> the record number it must send next
    std::istringstream records(run.err);
    std::string record;
    while (std::getline(records, record)) {
        unsigned thread = 0, number = 0, size = 0;
        int consumed = 0;
        ASSERT_EQ(3, sscanf(record.c_str(), "T%u %u %u %n", &thread, &number, &size, &consumed)) << record.substr(0, 40);
        ASSERT_EQ(next[thread], number) << "thread " << thread << " out of order";
        ASSERT_EQ(std::string(size, static_cast<char>('a' + thread)), record.substr(static_cast<size_t>(consumed)))
            << "record " << thread << "/" << number << " not whole";
        next[thread] = number + 1;
    }
    ASSERT_EQ(4u, next.size());
    for (const auto& seen : next) EXPECT_EQ(150u, seen.second) << "thread " << seen.first;
}

// The printf/std::cout program through the launcher against its own console
// build, run alone with the same kind of streams.
TEST(SdkStreams, RuntimeStreamsWriteWhatTheConsoleBuildWrites) {
    struct Case {
        const char* name;
        Stream in, out, err;
    };
    const Case cases[] = {
        {"pipes", Stream::kPipe, Stream::kPipe, Stream::kPipe},
        {"files", Stream::kFile, Stream::kFile, Stream::kFile},
        {"file in, NUL out, pipe err", Stream::kFile, Stream::kNul, Stream::kPipe},
        {"NUL in, pipe out, NUL err", Stream::kNul, Stream::kPipe, Stream::kNul},
    };
    const std::string input = "first line\nsecond\r\nthird, with no line end";
    const std::string dir = TestDir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string outs[2], errs[2];
        for (int gui = 0; gui < 2; ++gui) {
            const std::string files = dir + "\\" + std::to_string(gui);
            const RunOptions options = Within(10000, StreamOptions(c.in, c.out, c.err, files, input, input));
            const std::string program = ChildDir() + (gui ? "\\streams_gui.exe" : "\\streams_console.exe");
            const std::string line = (gui ? Quote(Launcher()) + " " : "") + Quote(program) + " echo 0x12345678";
            RunResult run = RunProcess(line, options);
            ASSERT_FALSE(run.timedOut);
            EXPECT_EQ(0x12345678u, run.exitCode);
            outs[gui] = c.out == Stream::kFile ? ReadFileBytes(options.outFile) : run.out;
            errs[gui] = c.err == Stream::kFile ? ReadFileBytes(options.errFile) : run.err;
        }
        EXPECT_EQ(outs[0], outs[1]);
        EXPECT_EQ(errs[0], errs[1]);
        // And the reference is what it should be: text mode, every stream.
        if (c.out != Stream::kNul) {
            std::vector<std::string> lines = {"printf: 42 and a line end the runtime turns into CR LF\r\n",
                                              "WriteFile: GetStdHandle\r\n", "cout: 3.5 and 7\r\n"};
            if (c.in == Stream::kNul) {
                lines.push_back("0 lines through getline\r\n");
            } else {
                lines.push_back("fgets: [first line\r\n]\r\n");
                lines.push_back("getline: [second]\r\ngetline: [third, with no line end]\r\n2 lines");
            }
            for (const std::string& line : lines) EXPECT_NE(std::string::npos, outs[0].find(line)) << line;
        }
        if (c.err != Stream::kNul) {
            EXPECT_EQ("fprintf(stderr): unbuffered\r\ncerr: a line\r\n", errs[0]);
        }
    }
}

// TarneloRedirectStdio itself, on the descriptors of a death test's process,
// for a launcher without stdin, with or without stdout, whose stderr (and
// stdout) is a pipe; _dup2 may fail once. Its exit code is what the call
// returned, plus 0x10 and 0x20 when stdout's and stderr's descriptors hold
// another handle afterwards, and 0x40 and 0x80 when they kept the binary
// mode set before.
static void RedirectOnce(bool withStdout, bool failDup2) {
    static TarneloChild child;
    Pipe launcherStream;
    child.attached = 1;
    child.block.stderrWrite = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(launcherStream.write));
    child.block.stdoutWrite = withStdout ? child.block.stderrWrite : 0;
    const intptr_t before[] = {_get_osfhandle(1), _get_osfhandle(2)};
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    if (failDup2) fault::FailDup2(1);
    UINT code = static_cast<UINT>(TarneloRedirectStdio(&child));
    for (int fd = 1; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != before[fd - 1]) code |= 0x10u << (fd - 1);
        if (_setmode(fd, _O_TEXT) == _O_BINARY) code |= 0x40u << (fd - 1);
    }
    ::ExitProcess(code);
}

TEST(SdkStreamsDeathTest, MissingStreamsAreNotedAndAFailedDup2KeepsTheDescriptor) {
    const int kNoStdinNoStdout = TARNELO_STDIO_REDIRECTED | TARNELO_STDIO_NO_STDIN | TARNELO_STDIO_NO_STDOUT;
    EXPECT_EXIT(RedirectOnce(false, false), ::testing::ExitedWithCode(kNoStdinNoStdout | 0x20 | 0xC0), "");
    // stdout's fails: the call fails, stdout stays as it was, stderr is redirected all the same.
    EXPECT_EXIT(RedirectOnce(true, true), ::testing::ExitedWithCode(0x20 | 0xC0), "");
}
