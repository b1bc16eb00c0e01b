// Target resolution in-process: the launcher is handed made-up module paths,
// command lines and lookup results through the fault layer, and the target,
// the rest of the command line and the reports are compared byte for byte.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/launcher_state.h"
#include "fault.h"
#include "harness.h"
#include "launch/launch.h"
#include "launch_support.h"

// launch_test.cpp
void ExpectChildLogged(const std::string& commandLine, const std::string& dir, DWORD code, const std::string& log,
                       const std::string& logged, const std::map<std::string, std::string>& environment);

namespace {

using namespace launch_support;

const DWORD kNatural = 0xFFFFFFFF;  // a fake returns what the platform would

// What the fakes hand out, and what they were asked.
std::string g_module;
DWORD g_moduleResult = kNatural;
std::vector<char> g_commandLine;

std::string g_fullPathAsked;
DWORD g_fullPathSize;
std::string g_fullPath;
DWORD g_fullPathResult = kNatural;

std::string g_lookupFile;
std::string g_lookupDirectory;
const char* g_lookupBuffer;
UINT_PTR g_lookupResult;
std::string g_lookupProgram;

// Copies like the platform does when the name does not fit: `size`
// characters without a NUL, and returns `size`.
DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR buffer, DWORD size) {
    DWORD length = g_module.size() < size ? static_cast<DWORD>(g_module.size()) : size;
    memcpy(buffer, g_module.data(), length);
    if (length < size) buffer[length] = '\0';
    if (g_moduleResult == 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return g_moduleResult == kNatural ? length : g_moduleResult;
}

LPSTR WINAPI FakeCommandLine() { return g_commandLine.data(); }

DWORD WINAPI FakeFullPath(LPCSTR name, DWORD size, LPSTR buffer, LPSTR*) {
    g_fullPathAsked = name;
    g_fullPathSize = size;
    if (g_fullPath.size() < size) lstrcpyA(buffer, g_fullPath.c_str());
    return g_fullPathResult == kNatural ? static_cast<DWORD>(g_fullPath.size()) : g_fullPathResult;
}

HINSTANCE WINAPI FakeFindExecutable(LPCSTR file, LPCSTR directory, LPSTR result) {
    g_lookupFile = file;
    g_lookupDirectory = directory;
    g_lookupBuffer = result;
    lstrcpyA(result, g_lookupResult > 32 ? g_lookupProgram.c_str() : "");
    return reinterpret_cast<HINSTANCE>(g_lookupResult);
}

const char kExplicitModule[] = "C:\\apps\\tarnelo.exe";
const char kToolModule[] = "C:\\apps\\tool.exe";

class TargetResolution : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }

    // A launcher state as at load, the fakes in place, reports captured.
    void Fresh() {
        capture_.reset();
        ResetLauncherState();
        capture_.reset(new StderrCapture);
        fault::Replace(fault::kGetModuleFileNameA, reinterpret_cast<void*>(FakeModuleFileName));
        fault::Replace(fault::kGetCommandLineA, reinterpret_cast<void*>(FakeCommandLine));
        g_moduleResult = kNatural;
        g_fullPathResult = kNatural;
    }

    // The association lookup answers from the fakes instead of the registry.
    void FakeLookup(const std::string& fullPath, UINT_PTR result, const std::string& program = "") {
        fault::Replace(fault::kGetFullPathNameA, reinterpret_cast<void*>(FakeFullPath));
        fault::Replace(fault::kFindExecutableA, reinterpret_cast<void*>(FakeFindExecutable));
        g_fullPath = fullPath;
        g_lookupResult = result;
        g_lookupProgram = program;
    }

    // Both steps, as start-up runs them; false after a report.
    bool Resolve(const std::string& module, const std::string& commandLine) {
        g_module = module;
        g_commandLine.assign(commandLine.begin(), commandLine.end());
        g_commandLine.push_back('\0');
        return ReadModuleAndCommandLine() && ResolveTarget();
    }

    // Resolution succeeds without a report; the rest is never a copy: it
    // points into the platform's command line.
    void ExpectResolves(const std::string& commandLine, const std::string& target, const std::string& rest,
                        const std::string& module = kExplicitModule) {
        const bool resolved = Resolve(module, commandLine);
        EXPECT_EQ("", Report());
        ASSERT_TRUE(resolved);
        EXPECT_EQ(target, std::string(g_state.targetPath));
        EXPECT_EQ(rest, g_state.rest != NULL ? g_state.rest : "(null)");
        EXPECT_TRUE(g_state.rest >= g_commandLine.data() && g_state.rest < g_commandLine.data() + g_commandLine.size());
        EXPECT_EQ(0u, g_state.failureExitCode.load());
    }

    // Resolution fails and sets the failure exit code; gives the report.
    std::string Failure(const std::string& commandLine, const std::string& module = kExplicitModule) {
        EXPECT_FALSE(Resolve(module, commandLine));
        EXPECT_EQ(1u, g_state.failureExitCode.load());
        return Report();
    }

    std::string Report() { return capture_->Take(); }

    std::unique_ptr<StderrCapture> capture_;
    // Overrides start unset here; the destructors put the test process's values back.
    ScopedVariable wbt_{"TARNELO_WBT", NULL};
    ScopedVariable wbc_{"TARNELO_WBC", NULL};
    ScopedVariable w32_{"TARNELO_W32", NULL};
};

struct ResolveRow {
    std::string module;
    std::string commandLine;
    std::string target;
    std::string rest;
};

TEST_F(TargetResolution, CommandLineTable) {
    // Runners that show which table entry matched.
    SetEnvironmentVariableA("TARNELO_WBT", "wbt-runner.exe");
    SetEnvironmentVariableA("TARNELO_WBC", "wbc-runner.exe");
    SetEnvironmentVariableA("TARNELO_W32", "w32-runner.exe");
    // A name the platform had to cut: only the 260 characters it stored count.
    const std::string longModule = "C:\\" + std::string(258, 'd') + "\\tool.exe";
    const std::string longTarget = longModule.substr(0, 256) + ".wxe";
    const std::string name300 = std::string(296, 'n') + ".wbt";
    const std::string script260 = std::string(256, 's') + ".wbt";
    const std::string name261 = std::string(257, 'm') + ".wbt";
    const ResolveRow rows[] = {
        // Implicit: the own token is skipped, everything after it goes on.
        {"C:\\apps\\tool.exe", "tool.exe a \"b c\"", "C:\\apps\\tool.wxe", " a \"b c\""},
        {"C:\\apps\\tool.exe", "tool.exe", "C:\\apps\\tool.wxe", ""},
        {"C:\\My Tools\\tool.exe", "\"C:\\My Tools\\tool.exe\" x", "C:\\My Tools\\tool.wxe", " x"},
        {"C:\\My Tools\\tool.exe", "C:\\\"My Tools\"\\tool.exe x", "C:\\My Tools\\tool.wxe", " x"},
        {"C:\\apps\\tool.exe", "tool.exe\tx y", "C:\\apps\\tool.wxe", " y"},
        {"C:\\apps\\tool.exe", "\"tool.exe a b", "C:\\apps\\tool.wxe", ""},
        {"C:\\apps\\tool.exe", "tool.exe job.wbt", "C:\\apps\\tool.wxe", " job.wbt"},
        {"C:\\apps\\tarnel.exe", "tarnel.exe a", "C:\\apps\\tarnel.wxe", " a"},
        {"C:\\apps\\mytarnelo.exe", "mytarnelo.exe a", "C:\\apps\\mytarnelo.wxe", " a"},
        {"C:\\tarnelo\\tool.exe", "tool.exe a", "C:\\tarnelo\\tool.wxe", " a"},
        {"C:\\apps\\runme", "runme x", "C:\\apps\\r.wxe", " x"},
        {"C:tool.exe", "tool.exe x", "C:tool.wxe", " x"},
        {"t.ex", "t.ex", ".wxe", ""},
        {longModule, "tool.exe z", longTarget, " z"},
        // Explicit: chosen by the file name's first seven letters, any case.
        {"C:\\apps\\Tarnelo.exe", "Tarnelo.exe prog.exe -v", "prog.exe", " -v"},
        {"C:\\apps\\TARNELO.EXE", "TARNELO.EXE prog.exe -v", "prog.exe", " -v"},
        {"C:\\apps\\tarnelo64.exe", "tarnelo64.exe prog.exe", "prog.exe", ""},
        {"C:\\apps\\tarnelo", "tarnelo prog.exe -v", "prog.exe", " -v"},
        {"C:tarnelo.exe", "tarnelo.exe prog.exe -v", "prog.exe", " -v"},
        {kExplicitModule, "tarnelo.exe   prog.exe  -v", "prog.exe", "  -v"},
        {kExplicitModule, "\"C:\\apps\\tarnelo.exe\" prog.exe", "prog.exe", ""},
        {kExplicitModule, "tarnelo.exe \"C:\\My Apps\\prog.exe\" -v", "C:\\My Apps\\prog.exe", " -v"},
        {kExplicitModule, "tarnelo.exe a\"b c\"d e", "ab cd", " e"},
        {kExplicitModule, "tarnelo.exe prog.exe\tx y", "prog.exe\tx", " y"},
        {kExplicitModule, "tarnelo.exe \"prog.exe -v", "prog.exe -v", ""},
        {kExplicitModule, "tarnelo.exe job.bat x", "job.bat", " x"},
        {kExplicitModule, "tarnelo.exe job.wbtx", "job.wbtx", ""},
        // Script extensions, any case: the runner starts, the script goes on as typed.
        {kExplicitModule, "tarnelo.exe .WBT x", "wbt-runner.exe", " .WBT x"},
        {kExplicitModule, "tarnelo.exe JOB.WBC", "wbc-runner.exe", " JOB.WBC"},
        {kExplicitModule, "tarnelo.exe x.w32 -q", "w32-runner.exe", " x.w32 -q"},
        {kExplicitModule, "tarnelo.exe  \"my job.wbt\" 1 2", "wbt-runner.exe", "  \"my job.wbt\" 1 2"},
        {kExplicitModule, "tarnelo.exe \"job\".wbt", "wbt-runner.exe", " \"job\".wbt"},
        // Only 260 characters are kept; the extension test sees the kept ones.
        {kExplicitModule, "tarnelo.exe " + script260 + " z", "wbt-runner.exe", " " + script260 + " z"},
        {kExplicitModule, "tarnelo.exe " + name261 + " z", name261.substr(0, 260), " z"},
        {kExplicitModule, "tarnelo.exe " + name300 + " z", name300.substr(0, 260), " z"},
        {kExplicitModule, "tarnelo.exe " + name300, name300.substr(0, 260), ""},
    };
    for (const ResolveRow& row : rows) {
        SCOPED_TRACE(row.module + " | " + row.commandLine);
        Fresh();
        ExpectResolves(row.commandLine, row.target, row.rest, row.module);
        // Letter case is compared the same way whatever the user's locale.
        for (const fault::Record& compare : fault::Records(fault::kCompareStringA)) {
            EXPECT_EQ(1033u, compare.args[0]);
            EXPECT_EQ(static_cast<UINT_PTR>(NORM_IGNORECASE), compare.args[1]);
        }
    }
    // Nothing to start.
    for (const char* commandLine : {"tarnelo.exe", "tarnelo.exe    ", "tarnelo.exe \"\"", "tarnelo.exe \"\"\"\" x"}) {
        SCOPED_TRACE(commandLine);
        Fresh();
        EXPECT_EQ("Fatal error: No target file specified\r\n", Failure(commandLine));
    }
}

TEST_F(TargetResolution, ShortArgumentsAreTargetsWithoutExtensionTest) {
    const ResolveRow rows[] = {
        {kExplicitModule, "tarnelo.exe a", "a", ""},
        {kExplicitModule, "tarnelo.exe ab -x", "ab", " -x"},
        {kExplicitModule, "tarnelo.exe abc", "abc", ""},
        {kExplicitModule, "tarnelo.exe .wb", ".wb", ""},
        {kExplicitModule, "tarnelo.exe \"a b\" c", "a b", " c"},
        {kExplicitModule, "tarnelo.exe \"a\"\"b\"", "ab", ""},
    };
    for (const ResolveRow& row : rows) {
        SCOPED_TRACE(row.commandLine);
        Fresh();
        ExpectResolves(row.commandLine, row.target, row.rest, row.module);
        for (const fault::Record& compare : fault::Records(fault::kCompareStringA)) {
            EXPECT_NE(4u, compare.args[3]) << "an extension was compared";
        }
        EXPECT_EQ(0, fault::Count(fault::kGetEnvironmentVariableW));
    }
}

TEST_F(TargetResolution, OverrideVariableNamesRunnerWithoutLookup) {
    struct Row {
        const char* variable;
        std::string value;
        std::string commandLine;
        std::string target;
        std::string rest;
    };
    const std::string value260 = "C:\\" + std::string(253, 'r') + ".exe";
    std::string utf8At260 = "C:\\x";
    while (utf8At260.size() < 256) utf8At260 += "é";
    utf8At260 += ".exe";
    const Row rows[] = {
        {"TARNELO_WBT", "\"C:\\Program Files\\Runner\\run.exe\"", "tarnelo.exe  \"my job.wbt\" 1 2",
         "C:\\Program Files\\Runner\\run.exe", "  \"my job.wbt\" 1 2"},
        {"TARNELO_WBC", "C:\\\"Program Files\"\\r\"u\"n.exe", "tarnelo.exe job.WBC", "C:\\Program Files\\run.exe",
         " job.WBC"},
        {"TARNELO_W32", value260, "tarnelo.exe x.w32", value260, " x.w32"},
        // UTF-8, whole (more bytes than UTF-16 units), and 260 bytes of it at most.
        {"TARNELO_WBT", "\"C:\\Łódź\\ツール\\走る😀.exe\"", "tarnelo.exe 日本.wbt", "C:\\Łódź\\ツール\\走る😀.exe",
         " 日本.wbt"},
        {"TARNELO_WBC", utf8At260, "tarnelo.exe x.wbc", utf8At260, " x.wbc"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.variable) + "=" + row.value);
        Fresh();
        ScopedVariable variable(row.variable, row.value.c_str());
        ExpectResolves(row.commandLine, row.target, row.rest);
        EXPECT_EQ(0, fault::Count(fault::kGetFullPathNameA));
        EXPECT_EQ(0, fault::Count(fault::kFindExecutableA));
    }
}

TEST_F(TargetResolution, OverrideTooLongReportsVariableName) {
    std::string utf8At262;  // 131 characters, 262 bytes: the limit counts bytes
    while (utf8At262.size() < 262) utf8At262 += "é";
    const std::pair<const char*, const char*> entries[] = {
        {"TARNELO_WBT", "a.wbt"}, {"TARNELO_WBC", "a.wbc"}, {"TARNELO_W32", "a.w32"}};
    for (const auto& [name, script] : entries) {
        for (const std::string& value : {std::string(261, 'v'), std::string(262, 'v'), std::string(1000, 'v'), utf8At262}) {
            SCOPED_TRACE(std::string(name) + " of " + std::to_string(value.size()));
            Fresh();
            ScopedVariable variable(name, value.c_str());
            EXPECT_EQ(std::string("Fatal error: Environment variable ") + name + " too long\r\n",
                      Failure(std::string("tarnelo.exe ") + script));
            EXPECT_EQ(0, fault::Count(fault::kFindExecutableA));
        }
    }
}

TEST_F(TargetResolution, EmptyOverrideCountsAsUnset) {
    ScopedVariable empty("TARNELO_WBT", "");
    char value[4];
    SetLastError(0xdeadbeef);
    ASSERT_EQ(0u, GetEnvironmentVariableA("TARNELO_WBT", value, sizeof value));
    ASSERT_NE(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError()) << "set, but empty";
    FakeLookup("C:\\jobs\\job.wbt", 42, "C:\\assoc\\runner.exe");
    ExpectResolves("tarnelo.exe job.wbt", "C:\\assoc\\runner.exe", " job.wbt");
    EXPECT_EQ(1, fault::Count(fault::kFindExecutableA));
}

TEST_F(TargetResolution, AssociationLookupUsesScriptsFullPath) {
    for (UINT_PTR found : {33u, 42u}) {
        SCOPED_TRACE(found);
        Fresh();
        FakeLookup("C:\\jobs\\my job.wbt", found, "C:\\Runner\\run.exe");
        // Relative and quoted as typed in the rest; the full path serves the lookup only.
        ExpectResolves("tarnelo.exe  \"my job.wbt\" x", "C:\\Runner\\run.exe", "  \"my job.wbt\" x");
        EXPECT_EQ("my job.wbt", g_fullPathAsked);
        EXPECT_EQ(261u, g_fullPathSize);
        EXPECT_EQ("C:\\jobs\\my job.wbt", g_lookupFile);
        EXPECT_EQ("", g_lookupDirectory);
        EXPECT_EQ(g_state.targetPath, g_lookupBuffer);
    }
}

TEST_F(TargetResolution, AssociationFailuresReportFullPath) {
    const std::string full = "C:\\jobs\\my job.wbt";
    const std::string noExecutable = "Fatal error: Failed to find executable for file " + full;
    const std::pair<UINT_PTR, std::string> rows[] = {
        {2, "Fatal error: Could not find file " + full + "\r\n"},
        {31, noExecutable + "\r\nShell error number: 31\r\nShell error text: There is no association for the file type\r\n"},
        {32, noExecutable + "\r\nShell error number: 32\r\nShell error text: DLL not found\r\n"},
        {0, noExecutable + "\r\nShell error number: 0\r\nShell error text: Unknown error\r\n"},
    };
    for (const auto& [result, report] : rows) {
        SCOPED_TRACE(result);
        Fresh();
        FakeLookup(full, result);
        EXPECT_EQ(report, Failure("tarnelo.exe \"my job.wbt\""));
    }
    // Results that are system error codes as well carry the platform's lines.
    Fresh();
    FakeLookup(full, SE_ERR_ACCESSDENIED);
    ExpectSystemReport(Failure("tarnelo.exe \"my job.wbt\""), "Failed to find executable for file " + full,
                       SE_ERR_ACCESSDENIED);
}

TEST_F(TargetResolution, FullPathFailuresReportScriptAsCollected) {
    fault::Fail(fault::kGetFullPathNameA, ERROR_FILENAME_EXCED_RANGE);
    ExpectSystemReport(Failure("tarnelo.exe \"my job.wbt\" x"), "Failed to get full path name for my job.wbt",
                       ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(0, fault::Count(fault::kFindExecutableA));

    for (DWORD needed : {262u, 263u, 5000u}) {
        SCOPED_TRACE(needed);
        Fresh();
        FakeLookup("C:\\unused.wbt", 42, "C:\\unused.exe");
        g_fullPathResult = needed;
        EXPECT_EQ("Fatal error: Full path name would exceed maximum length for file my job.wbt\r\n",
                  Failure("tarnelo.exe \"my job.wbt\" x"));
        EXPECT_EQ(0, fault::Count(fault::kFindExecutableA));
    }

    // 260 characters and the NUL fill the buffer exactly: still usable.
    Fresh();
    const std::string full260 = "C:\\" + std::string(253, 'j') + ".wbt";
    FakeLookup(full260, 42, "C:\\Runner\\run.exe");
    ExpectResolves("tarnelo.exe job.wbt", "C:\\Runner\\run.exe", " job.wbt");
    EXPECT_EQ(full260, g_lookupFile);
}

TEST_F(TargetResolution, ModuleAndCommandLineFailures) {
    fault::Fail(fault::kGetModuleFileNameA, ERROR_ACCESS_DENIED);
    ExpectSystemReport(Failure("tool.exe", kToolModule), "Failed to get module name", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, fault::Count(fault::kGetCommandLineA));

    Fresh();
    g_moduleResult = 0;  // the fake sets ERROR_INSUFFICIENT_BUFFER
    ExpectSystemReport(Failure("tool.exe", kToolModule), "Failed to get module name", ERROR_INSUFFICIENT_BUFFER);

    for (DWORD length : {1u, 2u, 3u}) {
        SCOPED_TRACE(length);
        Fresh();
        g_moduleResult = length;
        EXPECT_EQ("Fatal error: Module name length too short\r\n", Failure("abc", "abc"));
        EXPECT_EQ(0, fault::Count(fault::kGetCommandLineA));
    }

    Fresh();
    fault::Fail(fault::kGetCommandLineA, ERROR_NOT_ENOUGH_MEMORY);
    ExpectSystemReport(Failure("tool.exe", kToolModule), "Failed to get command line", ERROR_NOT_ENOUGH_MEMORY);

    Fresh();
    EXPECT_EQ("Fatal error: Empty command line\r\n", Failure("", kToolModule));
}

}  // namespace

// --- The shell's association lookup for real, in whole launchers ---

namespace {

std::string Runner() { return BinDir() + "\\test_child.exe"; }

// Registry changes go through the prefix's own reg.exe, as a user would make them.
bool Reg(const std::string& arguments) {
    RunOptions options;
    options.out = Stream::kNul;
    options.err = Stream::kNul;
    return RunProcess("reg " + arguments, options).exitCode == 0;
}

class ScriptAssociation : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = FullPath(TestDir());
        log_ = dir_ + "\\log.txt";
        options_.directory = dir_;
        // The runner is started through the association: it gets its orders here.
        options_.environment["TEST_CHILD"] = "cmdline=" + log_;
    }
    void TearDown() override {
        for (const std::string& key : associated_) Reg("delete HKCR\\" + key + " /f");
    }

    // Associates an extension with a runner until the test ends. Each test
    // that needs an association uses an extension of its own: tests may run
    // in parallel in the same prefix, and one test's clean-up must not pull
    // another's away.
    bool Associate(const std::string& extension, const std::string& runner) {
        const std::string type = "TarneloTest" + extension;
        associated_ = {extension, type};
        return Reg("add HKCR\\" + extension + " /ve /d " + type + " /f") &&
               Reg("add HKCR\\" + type + "\\shell\\open\\command /ve /d \"\\\"" + runner + "\\\" \\\"%1\\\"\" /f");
    }

    // A copy of the runner in a folder and under a name of Latin, Cyrillic,
    // CJK and an emoji.
    std::string UnicodeRunner() {
        const std::string folder = dir_ + "\\Łódź ツール";
        CreateDirectoryA(folder.c_str(), NULL);
        const std::string runner = folder + "\\走る😀.exe";
        EXPECT_TRUE(CopyProgram(Runner(), runner));
        return runner;
    }

    // The launcher started with `args` starts `runner` with them as typed.
    void ExpectRunnerStarted(const std::string& runner, const std::string& args) {
        SCOPED_TRACE(runner + args);
        ExpectChildLogged(Quote(Launcher()) + args, dir_, 0, log_, Quote(runner) + args, options_.environment);
    }

    std::string dir_;
    std::string log_;
    RunOptions options_;
    std::vector<std::string> associated_;
};

TEST_F(ScriptAssociation, RegisteredScriptStartsRunnerWithScriptAsTyped) {
    // The runner lies on a path no Western-European code page holds.
    const std::string runner = UnicodeRunner();
    ASSERT_TRUE(Associate(".wbt", runner));
    WriteFileBytes(dir_ + "\\job.wbt", "script");
    WriteFileBytes(dir_ + "\\my job.wbt", "script");
    WriteFileBytes(dir_ + "\\задача 日本😀.wbt", "script");
    ExpectRunnerStarted(runner, " job.wbt x");
    ExpectRunnerStarted(runner, "  \"my job.wbt\" 1 2");
    ExpectRunnerStarted(runner, " \"задача 日本😀.wbt\" é");
}

TEST_F(ScriptAssociation, OverrideVariableWinsOverAssociation) {
    ASSERT_TRUE(Associate(".wbc", Runner()));
    WriteFileBytes(dir_ + "\\job.wbc", "script");
    WriteFileBytes(dir_ + "\\задача 日本😀.wbc", "script");
    const std::string plain = dir_ + "\\other runner.exe";
    ASSERT_TRUE(CopyProgram(Runner(), plain));
    for (const std::string& runner : {plain, UnicodeRunner()}) {
        options_.environment["TARNELO_WBC"] = Quote(runner);
        ExpectRunnerStarted(runner, " job.wbc x");
        ExpectRunnerStarted(runner, " \"задача 日本😀.wbc\" é");
    }
}

TEST_F(ScriptAssociation, MissingScriptReportsItsFullPath) {
    RunResult run = RunProcess(Quote(Launcher()) + " gone.wbt x", options_);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ("Fatal error: Could not find file " + dir_ + "\\gone.wbt\r\n", run.err);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(log_.c_str()));
}

TEST_F(ScriptAssociation, UnassociatedExtensionReportsShellError) {
    Reg("delete HKCR\\.w32 /f");  // no test associates it
    WriteFileBytes(dir_ + "\\job.w32", "script");
    RunResult run = RunProcess(Quote(Launcher()) + " job.w32", options_);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ("Fatal error: Failed to find executable for file " + dir_ +
                  "\\job.w32\r\nShell error number: 31\r\nShell error text: There is no association for the file type\r\n",
              run.err);
}

}  // namespace
