// Child launch: the composed command line and the creation arguments
// in-process, then whole launchers starting test_child.exe (a GUI program
// that does what its arguments say) and programs nobody here wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/launcher_state.h"
#include "fault.h"
#include "harness.h"
#include "launch/launch.h"
#include "launch_support.h"
#include "launcher_run.h"

// Runs `commandLine` in `dir` (ours when empty) with `environment` added: it
// ends with `code`, reports nothing, and the child logged `logged` as its
// command line to `log`, then a NUL and its current directory, which must be
// `dir` when one is given. The association tests use it too.
void ExpectChildLogged(const std::string& commandLine, const std::string& dir, DWORD code, const std::string& log,
                       const std::string& logged, const std::map<std::string, std::string>& environment = {}) {
    DeleteFileA(log.c_str());
    RunOptions options;
    options.directory = dir;
    options.environment = environment;
    RunResult run = RunProcess(commandLine, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(code, run.exitCode);
    EXPECT_EQ("", run.err);
    const std::string bytes = ReadFileBytes(log);
    const size_t separator = bytes.find('\0');
    ASSERT_NE(std::string::npos, separator) << "no log: " << bytes;
    EXPECT_EQ(logged, bytes.substr(0, separator));
    if (!dir.empty()) {
        EXPECT_EQ(dir, bytes.substr(separator + 1));
    }
}

int EndLeftoverProcesses(const std::string& name, DWORD graceMs);  // torture_test.cpp

namespace {

using namespace launch_support;

// What the fake CreateProcessA was given, copied at the moment of the call.
struct CreateCall {
    bool made, applicationNull, securityNull, environmentNull, directoryNull;
    std::string commandLine;
    const char* commandLinePointer;
    BOOL inherit;
    DWORD flags;
    STARTUPINFOA startup;
    const STARTUPINFOA* startupPointer;
    const PROCESS_INFORMATION* informationPointer;
};
CreateCall g_create;

BOOL WINAPI FakeCreateProcess(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                              LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                              LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information) {
    const bool securityNull = processSecurity == NULL && threadSecurity == NULL;
    g_create = {true,        application == NULL, securityNull, environment == NULL, directory == NULL, commandLine,
                commandLine, inherit,             flags,        *startup,            startup,           information};
    ZeroMemory(information, sizeof *information);  // no process: nothing to clean up
    return TRUE;
}

class ChildLaunch : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    void TearDown() override { FreeChildCommandLine(); }

    void Fresh() {
        FreeChildCommandLine();
        ResetLauncherState();
        capture_.reset(new StderrCapture);
        g_create = CreateCall();
    }

    // A launch from the fields target resolution would have filled.
    BOOL Launch(const std::string& target, const std::string& rest) {
        lstrcpynA(g_state.targetPath, target.c_str(), sizeof g_state.targetPath);
        rest_ = rest;
        g_state.rest = rest_.c_str();
        return LaunchChild();
    }

    // A launch that reaches only the fake CreateProcessA.
    BOOL FakeLaunch(const std::string& target, const std::string& rest) {
        fault::Replace(fault::kCreateProcessA, reinterpret_cast<void*>(FakeCreateProcess));
        return Launch(target, rest);
    }

    std::string Report() { return capture_->Take(); }

    std::unique_ptr<StderrCapture> capture_;
    std::string rest_;
};

TEST_F(ChildLaunch, ComposesQuotedTargetAndRestInSizedBlock) {
    const std::string target260 = "C:\\" + std::string(253, 't') + ".wxe";
    const std::string rest2000 = " " + std::string(1999, 'r');
    struct Row {
        std::string target, rest, commandLine;
    };
    const Row rows[] = {
        {"C:\\apps\\tool.wxe", " a \"b c\"", "\"C:\\apps\\tool.wxe\" a \"b c\""},
        {"C:\\apps\\tool.wxe", "", "\"C:\\apps\\tool.wxe\""},
        {"C:\\Program Files\\Runner\\run.exe", "  \"my job.wbt\" 1 2",
         "\"C:\\Program Files\\Runner\\run.exe\"  \"my job.wbt\" 1 2"},
        {target260, rest2000, "\"" + target260 + "\"" + rest2000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.commandLine.substr(0, 60));
        Fresh();
        ASSERT_TRUE(FakeLaunch(row.target, row.rest));
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
    ASSERT_TRUE(FakeLaunch("C:\\apps\\tool.wxe", " x"));
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
        const BOOL launched = FakeLaunch("C:\\apps\\tool.wxe", " x");
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
        expected.cb = sizeof expected;  // 68 bytes in a 32-bit program, 104 in a 64-bit one
        EXPECT_EQ(0, memcmp(&expected, &g_create.startup, sizeof expected)) << "cb " << g_create.startup.cb;
    }
}

TEST_F(ChildLaunch, UnreadablePriorityClassGivesSuspendedAlone) {
    fault::Fail(fault::kGetPriorityClass, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(FakeLaunch("C:\\apps\\tool.wxe", ""));
    EXPECT_EQ(static_cast<DWORD>(CREATE_SUSPENDED), g_create.flags);
    EXPECT_EQ("", Report());
}

std::string TestChild() { return BinDir() + "\\test_child.exe"; }

TEST_F(ChildLaunch, RealChildIsStillSuspendedOnReturn) {
    const std::string log = TestDir() + "\\log.txt";
    ASSERT_TRUE(Launch(TestChild(), " cmdline=" + log + " exit=3"));
    EXPECT_EQ("", Report());
    ASSERT_NE(nullptr, g_state.child.hProcess);
    HANDLE process = g_state.child.hProcess;
    BOOL inJob = FALSE;
    EXPECT_TRUE(IsProcessInJob(process, g_state.childJob, &inJob) && inJob) << "not in the launcher's job";

    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(log.c_str())) << "the child ran before its resume";
    EXPECT_EQ(1u, ResumeThread(g_state.child.hThread)) << "the main thread was not suspended once";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 5000));
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    EXPECT_EQ(3u, code);
    launcher_run::Leave();  // ends the child if it still runs

    // The child got our environment's current directory (none was given).
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    const std::string expected = Quote(TestChild()) + " cmdline=" + log + " exit=3" + '\0';
    EXPECT_EQ(expected + std::string(directory, length), ReadFileBytes(log));
}

// The job is only a help: with any of its calls refused (on Windows 7
// joining is, for a launcher that runs in a job itself), the child is
// launched as before, unreported, and runs to its end.
TEST_F(ChildLaunch, RefusedJobLeavesTheLaunchAsItWas) {
    for (fault::Call refused : {fault::kCreateJobObjectA, fault::kSetInformationJobObject,
                                fault::kAssignProcessToJobObject}) {
        Fresh();
        fault::Fail(refused, ERROR_ACCESS_DENIED);
        ASSERT_TRUE(Launch(TestChild(), " exit=3")) << refused;
        EXPECT_EQ("", Report());
        ResumeThread(g_state.child.hThread);
        EXPECT_TRUE(WaitForChild(5000));
        EXPECT_EQ(3u, EffectiveExitCode()) << refused;
        EXPECT_EQ(1, fault::Count(refused)) << "never refused: proves nothing";
    }
}

TEST_F(ChildLaunch, MissingTargetReportsRunFailure) {
    const std::string target = FullPath(TestDir()) + "\\absent.exe";
    EXPECT_FALSE(Launch(target, " x"));
    ExpectSystemReport(Report(), "Failed to run " + target, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(nullptr, g_state.child.hProcess);
    EXPECT_EQ(nullptr, g_state.child.hThread);
    // Kept for the shutdown to free.
    EXPECT_NE(nullptr, g_state.childCommandLine);
    EXPECT_EQ(1u, g_state.failureExitCode.load());
}

TEST_F(ChildLaunch, AllocationFailureReportsBeforeAnyCreation) {
    fault::Fail(fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(Launch("C:\\apps\\tool.wxe", " a"));
    ExpectSystemReport(Report(), "Failed to allocate memory for generating command line", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, fault::Count(fault::kCreateProcessA));
    EXPECT_EQ(nullptr, g_state.childCommandLine);
}

// --- Whole launchers ---

TEST(LaunchedChild, ImplicitPairPassesCommandLineAndExitCode) {
    const std::string dir = FullPath(TestDir());
    ASSERT_TRUE(CopyProgram(Launcher(), dir + "\\x.exe"));
    ASSERT_TRUE(CopyProgram(TestChild(), dir + "\\x.wxe"));
    for (const char* code : {"0", "7", "255", "0x1234"}) {
        SCOPED_TRACE(code);
        const std::string args = " cmdline=" + dir + "\\log.txt a \"b c\" exit=" + code;
        ExpectChildLogged(Quote(dir + "\\x.exe") + args, dir, strtoul(code, NULL, 0), dir + "\\log.txt",
                          Quote(dir + "\\x.wxe") + args);
    }
}

TEST(LaunchedChild, ExplicitTargetGetsArgumentsAsTyped) {
    const std::string log = FullPath(TestDir()) + "\\log.txt";
    const std::string args = " cmdline=" + log + "   a \"b c\"";
    for (const std::string& typed : {TestChild(), Quote(TestChild())}) {
        SCOPED_TRACE(typed);
        ExpectChildLogged(Quote(Launcher()) + " " + typed + args + " exit=9", "", 9, log,
                          Quote(TestChild()) + args + " exit=9");
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
    const std::string args = " cmdline=" + log + kUnicodeArguments + " exit=3";
    // The implicit form, then an explicit target as typed.
    ExpectChildLogged(Quote(dir + "\\更新😀.exe") + args, dir, 3, log, Quote(dir + "\\更新😀.wxe") + args);
    ExpectChildLogged(Quote(Launcher()) + " " + Quote(dir + "\\prog é日.exe") + args, dir, 3, log,
                      Quote(dir + "\\prog é日.exe") + args);
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
// WM_CLOSE to the child's windows and waits 2,000 ms more. The run, with
// stdout the NUL device, must end within [`least`, `most`] ms.
RunResult RunDetached(const std::string& args, RunOptions options, DWORD least, DWORD most) {
    options.out = Stream::kNul;
    const DWORD start = GetTickCount();
    RunResult run = RunProcess(Quote(Launcher()) + " " + TestChild() + args + " exit=42", options);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_FALSE(run.timedOut);
    EXPECT_GE(elapsed, least);
    EXPECT_LE(elapsed, most) << "the waits did not end when they should";
    return run;
}

TEST(LaunchedChild, DetachedChildHonouringCloseGivesItsExitCode) {
    const std::string closes = FullPath(TestDir()) + "\\closes.txt";
    RunResult run = RunDetached(" closelog=" + closes + " detach life=8000 window=honour", RunOptions(), 2700, 4600);
    EXPECT_EQ(42u, run.exitCode);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("close\n", ReadFileBytes(closes));
}

TEST(LaunchedChild, DetachedChildIgnoringCloseIsLeftRunning) {
    const std::string dir = FullPath(TestDir());
    RunOptions options;
    options.err = Stream::kFile;  // the child inherits it and outlives the launcher
    options.errFile = dir + "\\err.txt";
    const std::string args = " pid=" + dir + "\\pid.txt closelog=" + dir + "\\closes.txt detach life=15000";
    RunResult run = RunDetached(args + " window=ignore", options, 4700, 7000);
    EXPECT_EQ(0u, run.exitCode);

    const DWORD pid = strtoul(ReadFileBytes(dir + "\\pid.txt").c_str(), NULL, 10);
    ASSERT_NE(0u, pid);
    HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    ASSERT_NE(nullptr, child);
    // Still there a second after the launcher ended: no job took it along.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(child, 1000)) << "the child did not outlive the launcher";
    TerminateProcess(child, 0xDEAD);
    WaitForSingleObject(child, 5000);
    CloseHandle(child);
    EXPECT_EQ("close\n", ReadFileBytes(dir + "\\closes.txt"));
    EXPECT_EQ("", ReadFileBytes(options.errFile));
}

// Under Wine, the Unix process of program file `name`: the one whose first
// argument in /proc is a path ending in that name ("" when none).
std::string UnixProcessOf(const std::string& name) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    std::string id;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more && id.empty(); more = FindNextFileA(search, &found)) {
        std::string first = ReadFileBytes(std::string("Z:\\proc\\") + found.cFileName + "\\cmdline");
        first = first.substr(0, first.find('\0'));
        const size_t at = first.size() - std::min(first.size(), name.size() + 1);
        if (first.compare(at, std::string::npos, "\\" + name) == 0) id = found.cFileName;
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return id;
}

HANDLE OpenRecordedProcess(const std::string& pidFile) {
    std::string pid;
    WaitUntil([&] { return !(pid = ReadFileBytes(pidFile)).empty(); });
    return OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, strtoul(pid.c_str(), NULL, 10));
}

// A launcher ended from outside runs no shutdown: TerminateProcess (a test
// runner's time limit, "End task"), or a kill of its Unix process under
// Wine (a CI system's). Whatever the program is doing then, idling, waiting
// for a read the launcher serves, or lingering after closing its pipe, it
// ends with the launcher; a program it started itself lives on.
TEST(LaunchedChild, KilledLauncherTakesTheProgramButNotWhatItStarted) {
    const std::string dir = FullPath(TestDir());
    const char* const kDoing[] = {"life=20000 window=ignore", "readcmd", "detach life=20000 window=ignore"};
    for (bool unixKill : {false, true}) {
        for (const char* doing : kDoing) {
            SCOPED_TRACE(::testing::Message() << (unixKill ? "Unix kill, " : "TerminateProcess, ") << doing);
            // Explicit, and named for this run alone: the other width's suite may be at the same test.
            const std::string name = "tarnelo-killed-" + std::to_string(GetTickCount()) + ".exe";
            ASSERT_TRUE(CopyProgram(Launcher(), dir + "\\" + name));
            const std::string pid = dir + "\\" + name + ".pid", grandchildPid = pid + "2";
            RunOptions options;
            options.holdInput = true;
            options.timeoutMs = 10000;
            std::thread launcher([&] {
                RunProcess(Quote(dir + "\\" + name) + " " + Quote(TestChild()) + " " + Quote("pid=" + pid) + " " +
                               Quote("start=" + grandchildPid) + " " + doing,
                           options);
            });
            HANDLE child = OpenRecordedProcess(pid);
            HANDLE grandchild = OpenRecordedProcess(grandchildPid);
            Sleep(300);  // at what it does by now
            const DWORD killed = GetTickCount();
            if (unixKill) {
                // Wine runs a Unix program named by its path on drive Z: as what it is.
                std::string line = "Z:\\bin\\kill -KILL " + UnixProcessOf(name);
                STARTUPINFOA startup = {};
                startup.cb = sizeof startup;
                PROCESS_INFORMATION kill = {};
                EXPECT_TRUE(CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &kill));
                CloseHandle(kill.hThread);
                CloseHandle(kill.hProcess);
            } else {
                EXPECT_EQ(1, EndLeftoverProcesses(name, 0));
            }
            // Within a second, and the slack the platform's waits have.
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 1350)) << "the program outlived the launcher";
            printf("[ killed   ] %s, program at %s: it ended %lu ms after\n",
                   unixKill ? "Unix kill" : "TerminateProcess", doing, GetTickCount() - killed);
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(grandchild, 500)) << "its program ended";
            launcher.join();
            for (HANDLE process : {child, grandchild}) {
                TerminateProcess(process, 0);
                CloseHandle(process);
            }
        }
    }
}

// A program that ends while a read of stdin is outstanding (stdin a pipe
// whose writer stays open): the launcher lets the read go and ends with
// the program's code, whether the input comes before, at or after its end.
TEST(LaunchedChild, EndingWithAReadOutstandingEndsTheLauncherAtOnce) {
    const std::string log = TestDir() + "\\log.txt";
    for (DWORD inputAt : {0u, 900u, 1000u, 1100u}) {  // 0: no input at all
        SCOPED_TRACE(inputAt);
        RunOptions options;
        options.holdInput = true;
        options.inputDelayMs = inputAt;
        options.input = inputAt != 0 ? "typed\n" : "";
        const DWORD start = GetTickCount();
        RunResult run = RunProcess(Quote(Launcher()) + " " + Quote(TestChild()) + " " + Quote("log=" + log) +
                                       " endin=1000:5 readcmd",
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
