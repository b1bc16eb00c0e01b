// Channel set-up: the interprocess block as the child sees it, the handles
// in it working from the child's side, name clashes, every set-up step
// failing, stream classification, CTRL+C reaching the child and the console
// input mode the child starts with.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "fault.h"
#include "harness.h"
#include "launcher_run.h"
#include "service_fixture.h"

namespace {

using launcher_run::OpenConsole;
using namespace fault;

const DWORD kBoundMs = 5000;
const COORD kOrigin = {0, 0};

std::string TestChild() { return ChildDir() + "\\test_child.exe"; }

std::string PlainReport(const std::string& message) { return "Fatal error: " + message + "\r\n"; }

// Calls `use` with the console screen of this process and its size in cells.
template <typename Use>
void OnConsoleScreen(Use use) {
    HANDLE console = OpenConsole("CONOUT$");
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(console, &info)) {
        use(console, static_cast<DWORD>(info.dwSize.X) * info.dwSize.Y);
    }
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
}

// The block and its handles, seen from a real child behind tarnelo.exe.

struct Arrangement {
    const char* name;
    Stream in, out, err;
    const char* read;      // how the child reads stdin
    const char* readLine;  // the line it must log
};

const Arrangement kArrangements[] = {
    {"FileInPipeOutFileErr", Stream::kFile, Stream::kPipe, Stream::kFile, "readdup", "readdup: from the file\n"},
    {"PipeInNulOutPipeErr", Stream::kPipe, Stream::kNul, Stream::kPipe, "readcmd", "readcmd: from the pipe\n"},
    {"NulInFileOutNulErr", Stream::kNul, Stream::kFile, Stream::kNul, "readdup", "readdup: \n"},
    // A null stream is no stream: words 0, requests on it answer error 6.
    {"NoIn", Stream::kNone, Stream::kPipe, Stream::kPipe, "readcmd", "readcmd: \nreadcmd error 6\n"},
    {"NoOut", Stream::kPipe, Stream::kNone, Stream::kFile, "readdup", "readdup: from the pipe\n"},
    {"NoErr", Stream::kFile, Stream::kPipe, Stream::kNone, "readcmd", "readcmd: from the file\n"},
    {"NoStreams", Stream::kNone, Stream::kNone, Stream::kNone, "readcmd", "readcmd: \nreadcmd error 6\n"},
};

// The file type the block must give a redirected stream of each kind.
DWORD TypeOf(Stream kind) {
    const DWORD kTypes[] = {FILE_TYPE_PIPE, FILE_TYPE_DISK, FILE_TYPE_CHAR, FILE_TYPE_CHAR, FILE_TYPE_UNKNOWN};
    static_assert(static_cast<int>(Stream::kNone) == 4, "one type for each kind, in the order of Stream");
    return kTypes[static_cast<int>(kind)];
}

// What one output stream received, wherever it went.
std::string Received(Stream kind, const std::string& captured, const std::string& file) {
    if (kind == Stream::kPipe) return captured;
    if (kind == Stream::kFile) return ReadFileBytes(file);
    return "";
}

std::vector<DWORD> StreamWords(const InterprocessBlock& b) {
    return {b.stdinIsConsole, b.stdoutIsConsole, b.stderrIsConsole,
            b.stdinFileType,  b.stdoutFileType,  b.stderrFileType};
}

// `files` starts the name of every file of this run.
void CheckArrangement(const Arrangement& a, const std::string& files) {
    RunOptions options = StreamOptions(a.in, a.out, a.err, files, "from the pipe", "from the file");
    OnConsoleScreen([](HANDLE console, DWORD cells) {
        DWORD written = 0;
        FillConsoleOutputCharacterA(console, ' ', cells, kOrigin, &written);
        SetConsoleCursorPosition(console, kOrigin);
    });

    RunResult run = RunProcess("\"" + Launcher() + "\" \"" + TestChild() + "\" \"log=" + files + "log.txt\" \"dump=" +
                                   files + "block.bin\" probe events " + a.read,
                               options);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode);

    const bool noOut = a.out == Stream::kNone, noErr = a.err == Stream::kNone;
    const auto probe = [](const char* way, bool none) {
        return std::string("probe ") + way + (none ? " failed 6\n" : " ok\n");  // no stream: error 6
    };
    EXPECT_EQ("attach 0\n" + probe("so-h", noOut) + probe("se-h", noErr) + probe("co-h", false) + probe("so-r", noOut) +
                  probe("se-r", noErr) + probe("co-r", false) + "event ctrlc ok\nevent ctrlbreak ok\n" + a.readLine,
              ReadFileBytes(files + "log.txt"));

    const std::string dump = ReadFileBytes(files + "block.bin");
    ASSERT_EQ(68u, dump.size());
    InterprocessBlock b;
    memcpy(&b, dump.data(), sizeof b);
    EXPECT_EQ(1003u, b.layoutVersion);
    EXPECT_NE(0u, b.ctrlCEvent);
    EXPECT_NE(0u, b.ctrlBreakEvent);
    EXPECT_NE(b.ctrlCEvent, b.ctrlBreakEvent);
    EXPECT_NE(0u, b.parentToChildRead);
    EXPECT_NE(0u, b.childToParentWrite);
    EXPECT_EQ((std::vector<DWORD>{0, 0, 0, TypeOf(a.in), TypeOf(a.out), TypeOf(a.err)}), StreamWords(b));
    EXPECT_EQ(a.in == Stream::kNone, 0u == b.stdinDuplicate);
    EXPECT_EQ(noOut, 0u == b.stdoutDuplicate);
    EXPECT_EQ(noErr, 0u == b.stderrDuplicate);
    EXPECT_EQ(b.stdoutDuplicate, b.stdoutWrite);
    EXPECT_EQ(b.stderrDuplicate, b.stderrWrite);
    // The dedicated relay runs even with no console stream at all.
    EXPECT_NE(0u, b.consoleWrite);
    const std::vector<DWORD> words = {b.parentToChildRead, b.childToParentWrite, b.stdinDuplicate,
                                      b.stdoutDuplicate,   b.stderrDuplicate,    b.consoleWrite};
    std::set<DWORD> distinct(words.begin(), words.end());
    distinct.erase(0);
    EXPECT_EQ(words.size() - std::count(words.begin(), words.end(), 0u), distinct.size()) << "two words share a handle";

    // A handle write is finished before the request after it is sent, so
    // each stream sees its two markers in this order.
    EXPECT_EQ(a.out == Stream::kNul || noOut ? "" : "m-so-h\nm-so-r\n", Received(a.out, run.out, options.outFile));
    EXPECT_EQ(a.err == Stream::kNul || noErr ? "" : "m-se-h\nm-se-r\n", Received(a.err, run.err, options.errFile));
    std::string screen;  // every row of it, one after the other
    OnConsoleScreen([&](HANDLE console, DWORD cells) {
        screen.resize(cells);
        DWORD read = 0;
        screen.resize(ReadConsoleOutputCharacterA(console, &screen[0], cells, kOrigin, &read) ? read : 0);
    });
    EXPECT_NE(std::string::npos, screen.find("m-co-h")) << "consoleWrite did not reach the console";
    EXPECT_NE(std::string::npos, screen.find("m-co-r")) << "request 4 did not reach the console";
}

TEST(ChannelBlock, RedirectedStreamsAreDuplicatedMissingOnesAreZeroAndEveryHandleDelivers) {
    const std::string dir = TestDir();
    for (const Arrangement& a : kArrangements) {
        SCOPED_TRACE(a.name);
        CheckArrangement(a, dir + "\\" + a.name + "-");
    }
}

// CTRL+C on the shared console, end to end.

BOOL WINAPI IgnoreCtrlC(DWORD type) { return type == CTRL_C_EVENT; }

TEST(LauncherConsole, CtrlCSignalsTheChildsEventOnceAndServiceGoesOn) {
    const std::string dir = TestDir();
    const std::string ready = dir + "\\ready";
    // A handler routine, not the inherited "ignore" flag: the launcher must
    // still see the key.
    ASSERT_TRUE(SetConsoleCtrlHandler(IgnoreCtrlC, TRUE));
    RunResult run;
    std::thread launcher([&] {
        run = RunProcess("\"" + Launcher() + "\" \"" + TestChild() + "\" \"log=" + dir + "\\log.txt\" \"ready=" + ready +
                         "\" waitctrlc=5000 say=after-ctrl-c exit=305419896");
    });
    const bool childWaiting =
        WaitUntil([&] { return GetFileAttributesA(ready.c_str()) != INVALID_FILE_ATTRIBUTES; });
    if (childWaiting) {
        EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    }
    launcher.join();
    SetConsoleCtrlHandler(IgnoreCtrlC, FALSE);
    ASSERT_TRUE(childWaiting) << "the child never got going";

    EXPECT_EQ("attach 0\nctrlc signalled, then not signalled\n", ReadFileBytes(dir + "\\log.txt"));
    EXPECT_EQ("after-ctrl-c\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0x12345678u, run.exitCode);  // all 32 bits
}

// In-process set-up against a real suspended child.

// File types ClassifyStream is to see for chosen handles; one shown as
// FILE_TYPE_CHAR is taken for a console too (stderr cannot be a real
// console here: the reports must be captured).
std::map<HANDLE, DWORD> g_shownTypes;

DWORD WINAPI ShownFileType(HANDLE handle) {
    const auto shown = g_shownTypes.find(handle);
    return shown != g_shownTypes.end() ? shown->second : ::GetFileType(handle);
}

BOOL WINAPI ShownConsoleMode(HANDLE handle, LPDWORD mode) {
    const auto shown = g_shownTypes.find(handle);
    if (shown == g_shownTypes.end() || shown->second != FILE_TYPE_CHAR) return ::GetConsoleMode(handle, mode);
    *mode = ENABLE_PROCESSED_OUTPUT;
    return TRUE;
}

void ShowFileType(HANDLE handle, DWORD type) {
    g_shownTypes[handle] = type;
    Replace(kGetFileType, reinterpret_cast<void*>(ShownFileType));
    Replace(kGetConsoleMode, reinterpret_cast<void*>(ShownConsoleMode));
}

// The launcher's side of channel set-up, in this process, against a real
// child created suspended; End() releases what Begin() and the set-up made.
class SuspendedChildScene {
public:
    void Begin() {
        using namespace launcher_run;
        Enter(kHoldLock | kHoldEvents | kHoldInheritable | kHoldConsoleOutput);
        g_state.moduleHandle = GetModuleHandleA(NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, g_state.consoleOutput);
        capture_.reset(new StderrCapture());

        // By default every stream is redirected: stdin a file, stdout a pipe,
        // stderr the capture pipe.
        const std::string in = TestDir() + "\\in.txt";
        WriteFileBytes(in, "stdin bytes");
        g_state.stdinHandle = Keep(CreateFileA(in.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
        ASSERT_TRUE(CreatePipe(&stdoutRead_, &g_state.stdoutHandle, NULL, 4096));
        Keep(stdoutRead_);
        Keep(g_state.stdoutHandle);

        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        std::string line = "\"" + TestChild() + "\"";
        ASSERT_TRUE(CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup,
                                   &g_state.child))
            << GetLastError();
    }

    void End() {
        launcher_run::Leave();
        for (HANDLE handle : kept_) CloseHandle(handle);
        kept_.clear();
        capture_.reset();
        g_shownTypes.clear();
    }

    HANDLE Keep(HANDLE handle) {
        kept_.push_back(handle);
        return handle;
    }

    // A stream handle of a console-run launcher: the console device `name`.
    void UseConsole(HANDLE* stream, const char* name) {
        *stream = Keep(OpenConsole(name));
        ASSERT_NE(INVALID_HANDLE_VALUE, *stream);
    }

    const InterprocessBlock& Block() const { return *reinterpret_cast<const InterprocessBlock*>(g_state.blockView); }

    // A copy, in this process, of a handle in the child's table (NULL when
    // the child has no such handle).
    HANDLE FromChild(DWORD word) {
        HANDLE copy = NULL;
        return DuplicateHandle(g_state.child.hProcess, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(word)),
                               GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)
                   ? copy
                   : NULL;
    }

    std::string ChannelName() const {
        return "tarnelo\t" + std::to_string(g_state.child.dwProcessId) + "\t" +
               std::to_string(g_state.child.dwThreadId);
    }

    std::string Reports() { return capture_->Take(); }

    HANDLE stdoutRead_ = NULL;

private:
    std::unique_ptr<StderrCapture> capture_;
    std::vector<HANDLE> kept_;
};

class ChannelSetUp : public ::testing::Test, protected SuspendedChildScene {
protected:
    void SetUp() override { Begin(); }
    void TearDown() override { End(); }
};

// Runs `body` on a fresh scene for each case of a table.
template <typename Case, size_t N, typename Body>
void ForEachScene(const Case (&cases)[N], Body body) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SuspendedChildScene scene;
        scene.Begin();
        if (!::testing::Test::HasFatalFailure()) body(scene, c);
        scene.End();
    }
}

// What comes out of the pipe `out` when `bytes` go in at `in`.
std::string Through(HANDLE in, HANDLE out, const std::string& bytes) {
    return WriteAll(in, bytes) ? service_test::ReadWithin(out, bytes.size()) : "(write failed)";
}

TEST_F(ChannelSetUp, ChildsEndsConnectToTheLaunchersAndTheLauncherKeepsNoCopy) {
    ASSERT_EQ(TRUE, SetUpChannels());
    EXPECT_EQ("", Reports());
    const InterprocessBlock& b = Block();

    HANDLE requests = FromChild(b.childToParentWrite);
    HANDLE results = FromChild(b.parentToChildRead);
    HANDLE stdoutCopy = FromChild(b.stdoutWrite);
    HANDLE stdinCopy = FromChild(b.stdinDuplicate);
    HANDLE consoleCopy = FromChild(b.consoleWrite);
    ASSERT_TRUE(requests && results && stdoutCopy && stdinCopy && consoleCopy) << "a word is no handle of the child";
    EXPECT_EQ("request", Through(requests, g_state.childToParentRead, "request"));
    EXPECT_EQ("result", Through(g_state.parentToChildWrite, results, "result"));
    EXPECT_EQ("to stdout", Through(stdoutCopy, stdoutRead_, "to stdout"));
    char in[32] = {};
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(stdinCopy, in, sizeof in, &count, NULL));
    EXPECT_EQ("stdin bytes", std::string(in, count));

    // stdin is a file, so console reads go to "CONIN$"; only the dedicated
    // relay runs.
    EXPECT_NE(nullptr, g_state.consoleInputDevice);
    EXPECT_EQ(g_state.consoleInputDevice, g_state.consoleInput);
    EXPECT_EQ(nullptr, g_state.stdoutRelayThread);
    EXPECT_EQ(nullptr, g_state.stderrRelayThread);
    EXPECT_NE(nullptr, g_state.consoleRelayThread);
    EXPECT_FALSE(g_state.stdoutIsConsole);
    EXPECT_FALSE(g_state.stderrIsConsole);

    for (HANDLE copy : {requests, results, stdoutCopy, stdinCopy, consoleCopy}) CloseHandle(copy);
    TerminateProcess(g_state.child.hProcess, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_state.child.hProcess, kBoundMs));
    // The child's ends were moved, not copied: with the child gone the pipes break.
    char byte;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFile(g_state.childToParentRead, &byte, 1, &count, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_state.consoleRelayThread, kBoundMs));
    // The launcher's own stdout stays usable: it was duplicated, not moved.
    EXPECT_EQ("still mine", Through(g_state.stdoutHandle, stdoutRead_, "still mine"));
}

TEST_F(ChannelSetUp, ConsoleStreamsGetThreeRelaysAndNoConsoleInputDevice) {
    UseConsole(&g_state.stdinHandle, "CONIN$");
    UseConsole(&g_state.stdoutHandle, "CONOUT$");
    UseConsole(&g_state.stderrHandle, "CONOUT$");
    ASSERT_EQ(TRUE, SetUpChannels());
    const InterprocessBlock& b = Block();
    EXPECT_EQ((std::vector<DWORD>{1, 1, 1, 2, 2, 2}), StreamWords(b));
    EXPECT_EQ(0u, b.stdinDuplicate);
    EXPECT_EQ(0u, b.stdoutDuplicate);
    EXPECT_EQ(0u, b.stderrDuplicate);
    EXPECT_EQ(3u, (std::set<DWORD>{b.stdoutWrite, b.stderrWrite, b.consoleWrite}).size()) << "two relays share a pipe";
    EXPECT_TRUE(g_state.stdoutIsConsole);
    EXPECT_TRUE(g_state.stderrIsConsole);
    EXPECT_NE(nullptr, g_state.stdoutRelayThread);
    EXPECT_NE(nullptr, g_state.stderrRelayThread);
    EXPECT_NE(nullptr, g_state.consoleRelayThread);
    EXPECT_EQ(g_state.stdinHandle, g_state.consoleInput);
    EXPECT_EQ(nullptr, g_state.consoleInputDevice);
    EXPECT_EQ(0, fault::Count(fault::kCreateFileA)) << "\"CONIN$\" opened though stdin is the console";

    // Each relay pipe's write end lives in the child.
    for (DWORD word : {b.stdoutWrite, b.stderrWrite, b.consoleWrite}) {
        EXPECT_NE(0u, word);
        HANDLE copy = FromChild(word);
        EXPECT_NE(nullptr, copy);
        if (copy != NULL) CloseHandle(copy);
    }
}

// Someone else's mapping under the child's name, of any size.
struct Squatter {
    const char* name;
    DWORD size;
};

const Squatter kSquatters[] = {{"Smaller", 16}, {"SameSize", 68}, {"Larger", 4096}};

TEST(ChannelNameClash, ExistingMappingIsReportedAndLeftAlone) {
    ForEachScene(kSquatters, [](SuspendedChildScene& scene, const Squatter& squatter) {
        HANDLE mapping = scene.Keep(CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, squatter.size,
                                                       scene.ChannelName().c_str()));
        ASSERT_NE(nullptr, mapping);
        BYTE* view = static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, squatter.size));
        ASSERT_NE(nullptr, view);
        memset(view, 0x5A, squatter.size);

        EXPECT_EQ(FALSE, SetUpChannels());
        EXPECT_EQ(PlainReport("Name already exists for interprocess file mapping"), scene.Reports());
        EXPECT_EQ(std::string(squatter.size, '\x5A'), std::string(reinterpret_cast<const char*>(view), squatter.size));
        EXPECT_EQ(0, fault::Count(fault::kMapViewOfFile));
        EXPECT_EQ(0, fault::Count(fault::kCreatePipe));
        EXPECT_EQ(0, fault::Count(fault::kDuplicateHandle));
        EXPECT_EQ(nullptr, g_state.blockView);
        EXPECT_NE(nullptr, g_state.mapping) << "the handle stays for the shutdown to close";
        EXPECT_EQ(1u, g_state.failureExitCode.load());
        UnmapViewOfFile(view);
    });
}

TEST_F(ChannelSetUp, EventUnderTheChildsNameFailsTheMappingWithTheSystemError) {
    HANDLE squatter = Keep(CreateEventA(NULL, TRUE, FALSE, ChannelName().c_str()));
    ASSERT_NE(nullptr, squatter);
    SetLastError(0);
    HANDLE probe = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 68, ChannelName().c_str());
    const DWORD expected = GetLastError();
    ASSERT_EQ(nullptr, probe) << "the platform let a mapping share an event's name";

    EXPECT_EQ(FALSE, SetUpChannels());
    EXPECT_EQ(SystemReport("Failed to create interprocess file mapping", expected), Reports());
    EXPECT_EQ(0, fault::Count(fault::kMapViewOfFile));
    EXPECT_EQ(0, fault::Count(fault::kCreatePipe));
    EXPECT_EQ(nullptr, g_state.mapping);
}

// One set-up step failing, and how far the set-up got.
enum class Streams { kRedirected, kStdoutConsole, kStderrConsole };

struct StepFailure {
    const char* name;
    Streams streams;
    fault::Call call;
    int skip;             // calls of that kind let through first
    const char* first;    // report with the system error (NULL: none)
    const char* second;   // report without it (NULL: none)
    int pipes, duplicates, fileTypes, threads;  // calls made in all
};

const DWORD kInjected = ERROR_NOT_ENOUGH_MEMORY;

const char kRelayPipe[] = "Failed to create child->parent pipe for console output thread";
const char kRelayDuplicate[] = "Failed to duplicate write end of child->parent pipe for console output thread";
const char kRelayBuffer[] = "Failed to allocate buffer for console output thread";
const char kStdoutRelay[] = "Failed to create console output thread for STDOUT";
const char kStderrRelay[] = "Failed to create console output thread for STDERR";
const char kConsoleRelay[] = "Failed to create dedicated console output thread";

// With stdin a file and stdout and stderr pipes, a clean set-up makes three
// pipes (two protocol pipes, the dedicated relay's) and six duplicates (two
// pipe ends, the three streams, the dedicated relay's write end).
const StepFailure kStepFailures[] = {
    {"Mapping", Streams::kRedirected, kCreateFileMappingA, 0, "Failed to create interprocess file mapping", NULL, 0, 0, 0, 0},
    {"View", Streams::kRedirected, kMapViewOfFile, 0, "Failed to map view of interprocess data", NULL, 0, 0, 0, 0},
    {"ParentToChildPipe", Streams::kRedirected, kCreatePipe, 0, "Failed to create pipe for parent->child communication", NULL, 1, 0, 0, 0},
    {"ParentToChildDuplicate", Streams::kRedirected, kDuplicateHandle, 0, "Failed to duplicate read end of parent->child pipe", NULL, 1, 1, 0, 0},
    {"ChildToParentPipe", Streams::kRedirected, kCreatePipe, 1, "Failed to create pipe for child->parent communication", NULL, 2, 1, 0, 0},
    {"ChildToParentDuplicate", Streams::kRedirected, kDuplicateHandle, 1, "Failed to duplicate write end of child->parent pipe", NULL, 2, 2, 0, 0},
    {"ConsoleInputOpen", Streams::kRedirected, kCreateFileA, 0, "Failed to open console input file", NULL, 2, 2, 1, 0},
    {"StdinDuplicate", Streams::kRedirected, kDuplicateHandle, 2, "Failed to duplicate console input handle", NULL, 2, 3, 1, 0},
    {"StdoutDuplicate", Streams::kRedirected, kDuplicateHandle, 3, "Failed to duplicate STDOUT handle", NULL, 2, 4, 2, 0},
    {"StderrDuplicate", Streams::kRedirected, kDuplicateHandle, 4, "Failed to duplicate STDERR handle", NULL, 2, 5, 3, 0},
    {"DedicatedRelayPipe", Streams::kRedirected, kCreatePipe, 2, kRelayPipe, kConsoleRelay, 3, 5, 3, 0},
    {"DedicatedRelayDuplicate", Streams::kRedirected, kDuplicateHandle, 5, kRelayDuplicate, kConsoleRelay, 3, 6, 3, 0},
    {"DedicatedRelayBuffer", Streams::kRedirected, kLocalAlloc, 0, kRelayBuffer, kConsoleRelay, 3, 6, 3, 0},
    {"DedicatedRelayThread", Streams::kRedirected, kCreateThread, 0, NULL, kConsoleRelay, 3, 6, 3, 1},
    {"StdoutRelayPipe", Streams::kStdoutConsole, kCreatePipe, 2, kRelayPipe, kStdoutRelay, 3, 3, 2, 0},
    {"StdoutRelayDuplicate", Streams::kStdoutConsole, kDuplicateHandle, 3, kRelayDuplicate, kStdoutRelay, 3, 4, 2, 0},
    {"StdoutRelayBuffer", Streams::kStdoutConsole, kLocalAlloc, 0, kRelayBuffer, kStdoutRelay, 3, 4, 2, 0},
    {"StdoutRelayThread", Streams::kStdoutConsole, kCreateThread, 0, NULL, kStdoutRelay, 3, 4, 2, 1},
    {"StderrRelayPipe", Streams::kStderrConsole, kCreatePipe, 2, kRelayPipe, kStderrRelay, 3, 4, 3, 0},
    {"StderrRelayDuplicate", Streams::kStderrConsole, kDuplicateHandle, 4, kRelayDuplicate, kStderrRelay, 3, 5, 3, 0},
    {"StderrRelayThread", Streams::kStderrConsole, kCreateThread, 0, NULL, kStderrRelay, 3, 5, 3, 1},
};

TEST(ChannelStepFailure, EachStepReportsAndLeavesLaterStepsUntouched) {
    ForEachScene(kStepFailures, [](SuspendedChildScene& scene, const StepFailure& f) {
        if (f.streams == Streams::kStdoutConsole) scene.UseConsole(&g_state.stdoutHandle, "CONOUT$");
        // stderr carries the reports, so it can only pretend to be a console.
        if (f.streams == Streams::kStderrConsole) ShowFileType(g_state.stderrHandle, FILE_TYPE_CHAR);
        fault::Fail(f.call, kInjected, f.skip);

        EXPECT_EQ(FALSE, SetUpChannels());
        std::string expected;
        if (f.first != NULL) expected += SystemReport(f.first, kInjected);
        if (f.second != NULL) expected += PlainReport(f.second);
        EXPECT_EQ(expected, scene.Reports());
        EXPECT_EQ(1u, g_state.failureExitCode.load());

        EXPECT_EQ(f.pipes, fault::Count(kCreatePipe));
        EXPECT_EQ(f.duplicates, fault::Count(kDuplicateHandle));
        EXPECT_EQ(f.fileTypes, fault::Count(fault::kGetFileType));
        EXPECT_EQ(f.threads, fault::Count(kCreateThread));
        if (f.call == kCreateFileA) {
            EXPECT_EQ(nullptr, g_state.consoleInputDevice);
        }
        if (f.call == kLocalAlloc) {
            EXPECT_EQ(257u, fault::Records(kLocalAlloc)[0].args[1]) << "not the relay buffer";
        }
        // A relay that failed leaves no thread behind, and none after it starts.
        EXPECT_EQ(nullptr, g_state.stdoutRelayThread);
        EXPECT_EQ(nullptr, g_state.stderrRelayThread);
        EXPECT_EQ(nullptr, g_state.consoleRelayThread);
    });
}

// ClassifyStream on each kind of handle.

struct StreamKind {
    const char* name;
    const char* device;  // opened for reading and writing; "": a file of this test's, NULL: a pipe
    DWORD remoteBits;    // FILE_TYPE_REMOTE added to what the platform says
    DWORD type;
    BOOL console;
};

const StreamKind kStreamKinds[] = {
    {"DiskFile", "", 0, FILE_TYPE_DISK, FALSE},
    {"Pipe", NULL, 0, FILE_TYPE_PIPE, FALSE},
    {"NulDevice", "NUL", 0, FILE_TYPE_CHAR, FALSE},
    {"ConsoleOutput", "CONOUT$", 0, FILE_TYPE_CHAR, TRUE},
    {"ConsoleInput", "CONIN$", 0, FILE_TYPE_CHAR, TRUE},
    {"RemoteDiskFile", "", FILE_TYPE_REMOTE, FILE_TYPE_DISK, FALSE},
    {"RemoteConsoleOutput", "CONOUT$", FILE_TYPE_REMOTE, FILE_TYPE_CHAR, TRUE},
};

TEST(ClassifyStream, StoresTheTypeWithoutTheRemoteBitAndKnowsConsoles) {
    const std::string dir = TestDir();
    std::vector<HANDLE> opened;
    for (const StreamKind& kind : kStreamKinds) {
        SCOPED_TRACE(kind.name);
        ResetLauncherState();
        HANDLE handle = NULL, write = NULL;
        if (kind.device == NULL) {
            CreatePipe(&handle, &write, NULL, 0);
            opened.push_back(write);
        } else {
            const std::string path = *kind.device != '\0' ? kind.device : dir + "\\" + kind.name + ".txt";
            if (*kind.device == '\0') WriteFileBytes(path, "x");
            handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
        }
        opened.push_back(handle);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        ASSERT_NE(nullptr, handle);
        if (kind.remoteBits != 0) ShowFileType(handle, ::GetFileType(handle) | kind.remoteBits);
        DWORD type = 0xdeadbeef;
        EXPECT_EQ(kind.console, ClassifyStream(handle, &type));
        EXPECT_EQ(kind.type, type);
    }
    for (HANDLE handle : opened) CloseHandle(handle);
    g_shownTypes.clear();
    ResetLauncherState();
}

// The console input mode the child starts with: RunLauncher in-process with
// a real child, the console mode calls faked so our console stays as it is.

DWORD g_consoleModeRead;  // what the console input "is in"; 0: unreadable

BOOL WINAPI FakeGetConsoleMode(HANDLE handle, LPDWORD mode) {
    if (handle != g_state.consoleInput) return ::GetConsoleMode(handle, mode);
    if (g_consoleModeRead == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *mode = g_consoleModeRead;
    return TRUE;
}

// Where the launcher stood when it set the mode.
BOOL g_suspendedAtSet;
size_t g_mainThreadReadsAtSet;

BOOL WINAPI FakeSetConsoleMode(HANDLE, DWORD) {
    g_suspendedAtSet = g_state.childSuspended;
    const std::vector<fault::Record> reads = fault::Records(fault::kReadFile);
    const auto onMainThread = [](const fault::Record& read) { return read.thread == GetCurrentThreadId(); };
    g_mainThreadReadsAtSet = std::count_if(reads.begin(), reads.end(), onMainThread);
    return TRUE;
}

struct ModeCase {
    const char* name;
    DWORD read;      // 0: GetConsoleMode fails
    DWORD expected;  // what SetConsoleMode gets
};

const ModeCase kModeCases[] = {
    {"RawWithOtherBits", 0x1F0, 0x1F7},
    {"PartlyCooked", ENABLE_LINE_INPUT | ENABLE_MOUSE_INPUT, 0x17},
    {"AlreadyCooked", 0x1F7, 0x1F7},
    {"Unreadable", 0, 7},
};

// stdin an empty file, stdout and stderr files.
TEST(InitialInputMode, CookedBitsAreSetAndEveryOtherBitKept) {
    for (const ModeCase& c : kModeCases) {
        SCOPED_TRACE(c.name);
        const std::string dir = TestDir();
        const launcher_run::Setup setup = launcher_run::InDirectory(dir, Quote(TestChild()) + " exit=3");
        launcher_run::Surround(setup);
        g_consoleModeRead = c.read;
        Replace(kGetConsoleMode, reinterpret_cast<void*>(FakeGetConsoleMode));
        Replace(kSetConsoleMode, reinterpret_cast<void*>(FakeSetConsoleMode));

        EXPECT_EQ(1u, RunLauncher());
        EXPECT_EQ("", ReadFileBytes(dir + "\\err.txt")) << "a report was made";
        EXPECT_EQ(3u, EffectiveExitCode()) << "the child did not run to its end";
        const std::vector<fault::Record> sets = fault::Records(fault::kSetConsoleMode);
        EXPECT_EQ(1u, sets.size());
        if (!sets.empty()) {
            EXPECT_EQ(reinterpret_cast<UINT_PTR>(g_state.consoleInput), sets[0].args[0]);
            EXPECT_EQ(c.expected, sets[0].args[1]);
        }
        // Set after the child was resumed, before the first request was read.
        EXPECT_FALSE(g_suspendedAtSet);
        EXPECT_EQ(0u, g_mainThreadReadsAtSet);

        launcher_run::Leave();  // what RunLauncher acquired, released as Shutdown would
        for (HANDLE handle : setup.std) CloseHandle(handle);
    }
}

}  // namespace
