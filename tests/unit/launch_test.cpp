// Child launch: the composed command line and the creation arguments
// in-process, then whole launchers starting test_child.exe (a GUI program
// that does what its arguments say) and programs nobody here wrote.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/launcher_state.h"
#include "fault.h"
#include "harness.h"
#include "launch/launch.h"
#include "launch_support.h"

namespace {

using namespace launch_support;

// What the fake CreateProcessA was given, copied at the moment of the call.
struct CreateCall {
    bool made = false;
    bool applicationNull = false;
    std::string commandLine;
    const char* commandLinePointer = NULL;
    bool securityNull = false;
    BOOL inherit = FALSE;
    DWORD flags = 0;
    bool environmentNull = false;
    bool directoryNull = false;
    STARTUPINFOA startup = {};
    const STARTUPINFOA* startupPointer = NULL;
    const PROCESS_INFORMATION* informationPointer = NULL;
};
CreateCall g_create;

BOOL WINAPI FakeCreateProcess(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                              LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                              LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information) {
    g_create.made = true;
    g_create.applicationNull = application == NULL;
    g_create.commandLine = commandLine;
    g_create.commandLinePointer = commandLine;
    g_create.securityNull = processSecurity == NULL && threadSecurity == NULL;
    g_create.inherit = inherit;
    g_create.flags = flags;
    g_create.environmentNull = environment == NULL;
    g_create.directoryNull = directory == NULL;
    g_create.startup = *startup;
    g_create.startupPointer = startup;
    g_create.informationPointer = information;
    ZeroMemory(information, sizeof *information);  // no process: nothing to clean up
    return TRUE;
}

class ChildLaunch : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    void TearDown() override {
        FreeChildCommandLine();
        capture_.reset();
    }

    void Fresh() {
        FreeChildCommandLine();
        capture_.reset();
        ResetLauncherState();
        capture_.reset(new StderrCapture);
        g_create = CreateCall();
    }

    // The fields target resolution would have filled.
    void SetTarget(const std::string& target, const std::string& rest) {
        lstrcpynA(g_state.targetPath, target.c_str(), sizeof g_state.targetPath);
        rest_ = rest;
        g_state.rest = rest_.c_str();
    }

    std::string Report() { return capture_->Take(); }

    std::unique_ptr<StderrCapture> capture_;
    std::string rest_;
};

TEST_F(ChildLaunch, ComposesQuotedTargetAndRestInSizedBlock) {
    const std::string target260 = "C:\\" + std::string(253, 't') + ".wxe";
    const std::string rest2000 = " " + std::string(1999, 'r');
    const struct {
        std::string target;
        std::string rest;
        std::string commandLine;
    } rows[] = {
        {"C:\\apps\\tool.wxe", " a \"b c\"", "\"C:\\apps\\tool.wxe\" a \"b c\""},
        {"C:\\apps\\tool.wxe", "", "\"C:\\apps\\tool.wxe\""},
        {"C:\\Program Files\\Runner\\run.exe", "  \"my job.wbt\" 1 2",
         "\"C:\\Program Files\\Runner\\run.exe\"  \"my job.wbt\" 1 2"},
        {target260, rest2000, "\"" + target260 + "\"" + rest2000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.commandLine.substr(0, 60));
        Fresh();
        fault::Replace(fault::kCreateProcessA, reinterpret_cast<void*>(FakeCreateProcess));
        SetTarget(row.target, row.rest);
        ASSERT_TRUE(LaunchChild());
        EXPECT_EQ("", Report());
        ASSERT_TRUE(g_create.made);
        EXPECT_EQ(row.commandLine, g_create.commandLine);

        std::vector<fault::Record> allocations = fault::Records(fault::kLocalAlloc);
        ASSERT_EQ(1u, allocations.size());
        EXPECT_EQ(static_cast<UINT_PTR>(LMEM_FIXED), allocations[0].args[0]);
        EXPECT_EQ(row.rest.size() + row.target.size() + 32, allocations[0].args[1]);
        // The platform is handed the block the launcher keeps until shutdown.
        EXPECT_EQ(reinterpret_cast<UINT_PTR>(g_state.childCommandLine), allocations[0].result);
        EXPECT_EQ(g_state.childCommandLine, g_create.commandLinePointer);
    }
}

TEST_F(ChildLaunch, FreeingCommandLineTwiceReleasesItOnce) {
    fault::Replace(fault::kCreateProcessA, reinterpret_cast<void*>(FakeCreateProcess));
    SetTarget("C:\\apps\\tool.wxe", " x");
    ASSERT_TRUE(LaunchChild());
    const UINT_PTR block = reinterpret_cast<UINT_PTR>(g_state.childCommandLine);
    FreeChildCommandLine();
    FreeChildCommandLine();
    EXPECT_EQ(nullptr, g_state.childCommandLine);
    std::vector<fault::Record> frees = fault::Records(fault::kLocalFree);
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(block, frees[0].args[0]);
}

TEST_F(ChildLaunch, CreatesSuspendedInheritingInOwnPriorityClass) {
    HANDLE self = GetCurrentProcess();
    const DWORD original = GetPriorityClass(self);
    for (DWORD priority : {original, static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS),
                           static_cast<DWORD>(HIGH_PRIORITY_CLASS)}) {
        SCOPED_TRACE(priority);
        Fresh();
        ASSERT_TRUE(SetPriorityClass(self, priority));
        ASSERT_EQ(priority, GetPriorityClass(self));
        fault::Replace(fault::kCreateProcessA, reinterpret_cast<void*>(FakeCreateProcess));
        SetTarget("C:\\apps\\tool.wxe", " x");
        const BOOL launched = LaunchChild();
        SetPriorityClass(self, original);
        ASSERT_TRUE(launched);

        EXPECT_EQ(priority | CREATE_SUSPENDED, g_create.flags);
        EXPECT_TRUE(g_create.applicationNull);
        EXPECT_TRUE(g_create.securityNull);
        EXPECT_EQ(TRUE, g_create.inherit);
        EXPECT_TRUE(g_create.environmentNull);
        EXPECT_TRUE(g_create.directoryNull);
        EXPECT_EQ(&g_state.childStartup, g_create.startupPointer);
        EXPECT_EQ(&g_state.child, g_create.informationPointer);
        STARTUPINFOA expected = {};
        expected.cb = 68;
        EXPECT_EQ(0, memcmp(&expected, &g_create.startup, sizeof expected)) << "cb " << g_create.startup.cb;
    }
}

TEST_F(ChildLaunch, UnreadablePriorityClassGivesSuspendedAlone) {
    fault::Fail(fault::kGetPriorityClass, ERROR_ACCESS_DENIED);
    fault::Replace(fault::kCreateProcessA, reinterpret_cast<void*>(FakeCreateProcess));
    SetTarget("C:\\apps\\tool.wxe", "");
    ASSERT_TRUE(LaunchChild());
    EXPECT_EQ(static_cast<DWORD>(CREATE_SUSPENDED), g_create.flags);
    EXPECT_EQ("", Report());
}

TEST_F(ChildLaunch, RealChildIsStillSuspendedOnReturn) {
    const std::string child = BinDir() + "\\test_child.exe";
    const std::string log = TestDir() + "\\log.txt";
    SetTarget(child, " cmdline=" + log + " exit=3");
    ASSERT_TRUE(LaunchChild());
    EXPECT_EQ("", Report());
    ASSERT_NE(nullptr, g_state.child.hProcess);
    HANDLE process = g_state.child.hProcess;
    HANDLE thread = g_state.child.hThread;

    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(log.c_str())) << "the child ran before its resume";
    EXPECT_EQ(1u, ResumeThread(thread)) << "the main thread was not suspended once";
    const bool ended = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process, 0xDEAD);
    EXPECT_TRUE(ended);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    EXPECT_EQ(3u, code);
    CloseHandle(thread);
    CloseHandle(process);

    // The child got our environment's current directory (none was given).
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    const std::string expected = Quote(child) + " cmdline=" + log + " exit=3" + '\0' + std::string(directory, length);
    EXPECT_EQ(expected, ReadFileBytes(log));
}

TEST_F(ChildLaunch, MissingTargetReportsRunFailure) {
    const std::string target = FullPath(TestDir()) + "\\absent.exe";
    SetTarget(target, " x");
    EXPECT_FALSE(LaunchChild());
    ExpectSystemReport(Report(), "Failed to run " + target, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(nullptr, g_state.child.hProcess);
    EXPECT_EQ(nullptr, g_state.child.hThread);
    // Kept for the shutdown to free.
    EXPECT_NE(nullptr, g_state.childCommandLine);
    EXPECT_EQ(1u, g_state.failureExitCode.load());
}

TEST_F(ChildLaunch, AllocationFailureReportsBeforeAnyCreation) {
    fault::Fail(fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
    SetTarget("C:\\apps\\tool.wxe", " a");
    EXPECT_FALSE(LaunchChild());
    ExpectSystemReport(Report(), "Failed to allocate memory for generating command line", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, fault::Count(fault::kCreateProcessA));
    EXPECT_EQ(nullptr, g_state.childCommandLine);
}

// --- Whole launchers ---

std::string TestChild() { return BinDir() + "\\test_child.exe"; }

// The child's logged command line and current directory.
struct ChildLog {
    std::string commandLine;
    std::string directory;
};

ChildLog ReadChildLog(const std::string& path) {
    std::string bytes = ReadFileBytes(path);
    size_t separator = bytes.find('\0');
    if (separator == std::string::npos) return ChildLog{"(no log: " + bytes + ")", ""};
    return ChildLog{bytes.substr(0, separator), bytes.substr(separator + 1)};
}

TEST(LaunchedChild, ImplicitPairPassesCommandLineAndExitCode) {
    const std::string dir = FullPath(TestDir());
    ASSERT_TRUE(CopyProgram(Launcher(), dir + "\\x.exe"));
    ASSERT_TRUE(CopyProgram(TestChild(), dir + "\\x.wxe"));
    const std::string log = dir + "\\log.txt";
    for (const char* code : {"0", "7", "255", "0x1234"}) {
        SCOPED_TRACE(code);
        DeleteFileA(log.c_str());
        const std::string args = std::string(" cmdline=") + log + " a \"b c\" exit=" + code;
        RunOptions options;
        options.directory = dir;
        RunResult run = RunProcess(Quote(dir + "\\x.exe") + args, options);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(strtoul(code, NULL, 0), run.exitCode);
        EXPECT_EQ("", run.err);
        ChildLog child = ReadChildLog(log);
        EXPECT_EQ(Quote(dir + "\\x.wxe") + args, child.commandLine);
        EXPECT_EQ(dir, child.directory);
    }
}

TEST(LaunchedChild, ExplicitTargetGetsArgumentsAsTyped) {
    const std::string log = FullPath(TestDir()) + "\\log.txt";
    const std::string args = " cmdline=" + log + "   a \"b c\"";
    for (const std::string& typed : {TestChild(), Quote(TestChild())}) {
        SCOPED_TRACE(typed);
        DeleteFileA(log.c_str());
        RunResult run = RunProcess(Quote(Launcher()) + " " + typed + args + " exit=9");
        EXPECT_EQ(9u, run.exitCode);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(Quote(TestChild()) + args + " exit=9", ReadChildLog(log).commandLine);
    }
}

// Text no Western-European code page holds: Latin beyond ASCII, Cyrillic,
// CJK and a character outside the Basic Multilingual Plane (a surrogate
// pair in UTF-16), quoted and unquoted. The child logs its own wide
// command line, so nothing here depends on its code page.
const char kUnicodeArguments[] = " é ß \"Привет мир\" 日本.txt \"😀 x\"é";

TEST(LaunchedChild, UnicodeFoldersNamesAndArgumentsReachTheProgramUnchanged) {
    const std::string log = FullPath(TestDir()) + "\\log.txt";
    const std::string dir = FullPath(TestDir()) + "\\ツール Łukasz";
    CreateDirectoryA(dir.c_str(), NULL);
    ASSERT_TRUE(CopyProgram(Launcher(), dir + "\\更新😀.exe"));
    ASSERT_TRUE(CopyProgram(TestChild(), dir + "\\更新😀.wxe"));
    ASSERT_TRUE(CopyProgram(TestChild(), dir + "\\prog é日.exe"));
    const struct {
        std::string launcher;
        std::string typed;  // the explicit target as typed, empty for the implicit form
        std::string target;
    } forms[] = {
        {dir + "\\更新😀.exe", "", dir + "\\更新😀.wxe"},
        {Launcher(), " " + Quote(dir + "\\prog é日.exe"), dir + "\\prog é日.exe"},
    };
    const std::string args = " cmdline=" + log + kUnicodeArguments;
    for (const auto& form : forms) {
        SCOPED_TRACE(form.launcher + form.typed);
        DeleteFileA(log.c_str());
        RunOptions options;
        options.directory = dir;
        RunResult run = RunProcess(Quote(form.launcher) + form.typed + args + " exit=3", options);
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_EQ("", run.err);
        ChildLog child = ReadChildLog(log);
        EXPECT_EQ(Quote(form.target) + args + " exit=3", child.commandLine);
        EXPECT_EQ(dir, child.directory);
    }
    // A report names such a target in UTF-8 too.
    RunResult run = RunProcess(Quote(Launcher()) + " nothere_日本.exe");
    EXPECT_EQ(1u, run.exitCode);
    ExpectSystemReport(run.err, "Failed to run nothere_日本.exe", ERROR_FILE_NOT_FOUND);
}

TEST(LaunchedChild, RunsProgramsItDidNotWrite) {
    RunResult run = RunProcess(Quote(Launcher()) + " cmd.exe /c exit 7");
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(7u, run.exitCode);
    EXPECT_EQ("", run.err);
}

TEST(LaunchedChild, NothingToStartReportsAndExits1) {
    for (const char* args : {"", "   ", " \"\"", " \"\" x"}) {
        SCOPED_TRACE(args);
        RunResult run = RunProcess(Quote(Launcher()) + args);
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_EQ("Fatal error: No target file specified\r\n", run.err);
        EXPECT_EQ("", run.out);
    }
}

// A child that hands back its pipe ends but lives on: the service ends at
// once, the launcher waits 1,000 ms, the shutdown 2,000 ms, then posts
// WM_CLOSE to the child's windows and waits 2,000 ms more.
TEST(LaunchedChild, DetachedChildHonouringCloseGivesItsExitCode) {
    const std::string closes = FullPath(TestDir()) + "\\closes.txt";
    RunOptions options;
    options.out = Stream::kNul;
    DWORD start = GetTickCount();
    RunResult run = RunProcess(Quote(Launcher()) + " " + TestChild() + " closelog=" + closes +
                                   " detach life=8000 window=honour exit=42",
                               options);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(42u, run.exitCode);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("close\n", ReadFileBytes(closes));
    EXPECT_GE(elapsed, 2700u);
    EXPECT_LE(elapsed, 4600u) << "the child was not asked to close after the first wait";
}

TEST(LaunchedChild, DetachedChildIgnoringCloseIsLeftRunning) {
    const std::string dir = FullPath(TestDir());
    const std::string pidFile = dir + "\\pid.txt";
    const std::string closes = dir + "\\closes.txt";
    RunOptions options;
    options.out = Stream::kNul;
    options.err = Stream::kFile;  // the child inherits it and outlives the launcher
    options.errFile = dir + "\\err.txt";
    DWORD start = GetTickCount();
    RunResult run = RunProcess(Quote(Launcher()) + " " + TestChild() + " pid=" + pidFile + " closelog=" + closes +
                                   " detach life=15000 window=ignore exit=42",
                               options);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_GE(elapsed, 4700u);
    EXPECT_LE(elapsed, 7000u);

    const DWORD pid = strtoul(ReadFileBytes(pidFile).c_str(), NULL, 10);
    ASSERT_NE(0u, pid);
    HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(child, 0)) << "the child did not outlive the launcher";
    TerminateProcess(child, 0xDEAD);
    WaitForSingleObject(child, 5000);
    CloseHandle(child);
    EXPECT_EQ("close\n", ReadFileBytes(closes));
    EXPECT_EQ("", ReadFileBytes(options.errFile));
}

// A program that ends while a read of stdin is outstanding (stdin a pipe
// whose writer stays open): the launcher lets the read go and ends with
// the program's code, whether the input comes before, at or after its end.
TEST(LaunchedChild, EndingWithAReadOutstandingEndsTheLauncherAtOnce) {
    const std::string dir = TestDir();
    const std::string log = dir + "\\log.txt";
    for (DWORD inputAt : {0u, 900u, 1000u, 1100u}) {  // 0: no input at all
        SCOPED_TRACE(inputAt);
        RunOptions options;
        options.holdInput = true;
        options.inputDelayMs = inputAt;
        options.input = inputAt != 0 ? "typed\n" : "";
        const DWORD start = GetTickCount();
        RunResult run = RunProcess(Quote(Launcher()) + " " + Quote(BinDir() + "\\test_child.exe") + " " +
                                       Quote("log=" + log) + " endin=1000:5 readcmd",
                                   options);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(5u, run.exitCode);
        EXPECT_EQ("", run.err);
        const std::string logged = ReadFileBytes(log);
        const size_t at = logged.find("end ");
        ASSERT_NE(std::string::npos, at) << logged;
        const DWORD childEnd = static_cast<DWORD>(strtoul(logged.c_str() + at + 4, NULL, 10));
        EXPECT_LT(run.endedTick - childEnd, 850u) << "0.5 s, and the platform's slack";
        printf("[ end+read ] input at %lu ms: launcher ended %lu ms after the child (run %lu ms)\n", inputAt,
               run.endedTick - childEnd, run.endedTick - start);
    }
}

}  // namespace
