// Fatal reports: the exact bytes on stderr for every kind of code, the
// fallbacks when texts or memory are missing, and the exit code they set.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "catalogue.h"
#include "core/core.h"
#include "fault.h"
#include "harness.h"
#include "report/report.h"

namespace {

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLauncherState();
        g_state.moduleHandle = GetModuleHandleA(NULL);
        capture_.reset(new StderrCapture);
    }
    void TearDown() override { fault::Reset(); }
    std::string Take() { return capture_->Take(); }
    // What a report wrote; a report returns 0, for its caller to pass up.
    std::string Reported(int result) {
        EXPECT_EQ(0, result);
        return Take();
    }
    // What a report of `code` as the last error wrote.
    std::string LastErrorReported(DWORD code, DWORD id) {
        SetLastError(code);
        return Reported(FatalLastError(id));
    }
    void ExpectFailureExit() {
        EXPECT_EQ(1u, g_state.failureExitCode.load());
        EXPECT_EQ(1u, EffectiveExitCode());
    }
    std::unique_ptr<StderrCapture> capture_;
};

TEST_F(Report, NoErrorWritesTheFatalLineAlone) {
    EXPECT_EQ(0u, g_state.failureExitCode.load());
    EXPECT_EQ("Fatal error: No target file specified\r\n", Reported(FatalNoError(MSG_NO_TARGET)));
    ExpectFailureExit();
}

TEST_F(Report, SystemCodeAddsNumberLineAndPlatformText) {
    // A blank precedes each number line's CR LF.
    const std::pair<DWORD, const char*> kCases[] = {
        {ERROR_FILE_NOT_FOUND, "System error number: 2 (0x2) \r\n"},
        {ERROR_BROKEN_PIPE, "System error number: 109 (0x6D) \r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "System error number: 122 (0x7A) \r\n"},
        {ERROR_NOT_ENOUGH_MEMORY, "System error number: 8 (0x8) \r\n"},
    };
    for (const auto& [code, numberLine] : kCases) {
        SCOPED_TRACE(code);
        std::string text = PlatformText(code);
        ASSERT_FALSE(text.empty()) << "this code should have a platform text";
        EXPECT_EQ(std::string("Fatal error: Failed to open console output file\r\n") + numberLine +
                      "System error text: " + text,
                  LastErrorReported(code, MSG_OPEN_CONSOLE_OUTPUT));
    }
    ExpectFailureExit();
}

TEST_F(Report, SystemCodeWithoutPlatformTextEndsAfterNumberLine) {
    const DWORD kCode = 0x1FFFFFF0;  // below the application bit, no platform text
    ASSERT_TRUE(PlatformText(kCode).empty());
    EXPECT_EQ("Fatal error: Failed to run C:\\x.wxe\r\nSystem error number: 536870896 (0x1FFFFFF0) \r\n",
              Reported(FatalWithCode(kCode, MSG_RUN_TARGET, "C:\\x.wxe")));
}

TEST_F(Report, HresultCodeShowsInDecimalAndHex) {
    EXPECT_EQ("Fatal error: Failed to generate command line\r\nSystem error number: 2147942487 (0x80070057) \r\n" +
                  SystemTextLine(0x80070057),
              Reported(FatalWithCode(0x80070057, MSG_GENERATE_COMMAND_LINE)));
    ExpectFailureExit();
}

TEST_F(Report, ApplicationCodeGivesReasonLine) {
    const std::pair<DWORD, const char*> kCases[] = {
        // The stored text, then LF CR: the order is part of the format.
        {ERROR_ZERO_BYTES_READ, "Reason: The read function indicated that zero bytes were read\n\r"},
        {ERROR_ZERO_BYTES_WRITTEN, "Reason: The write function indicated that zero bytes were written\n\r"},
        // Only the low 16 bits name the reason.
        {0x20010002, "Reason: The write function indicated that zero bytes were written\n\r"},
        {0x20000003, "Reason: An unknown error occurred.\r\n"},
        {0x20000000, "Reason: An unknown error occurred.\r\n"},
        {0x2000FFFF, "Reason: An unknown error occurred.\r\n"},
    };
    for (const auto& [code, reason] : kCases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(std::string("Fatal error: Failed to read command sent from child process\r\n") + reason,
                  LastErrorReported(code, MSG_READ_COMMAND));
    }
    ExpectFailureExit();
}

TEST_F(Report, MissingIdIsNamedByNumber) {
    for (DWORD id : {3u, 7u, 1032u, 4009u, 65535u}) {
        EXPECT_EQ("Fatal error: Application error " + std::to_string(id) + "\r\n", Reported(FatalNoError(id)));
    }
}

TEST_F(Report, InsertIsExpandedAndItsPercentSignsKept) {
    const std::tuple<DWORD, const char*, const char*> kCases[] = {
        {MSG_VARIABLE_TOO_LONG, "TARNELO_WBT", "Fatal error: Environment variable TARNELO_WBT too long\r\n"},
        {MSG_FILE_NOT_FOUND, "C:\\100% %s %u %1.wbt", "Fatal error: Could not find file C:\\100% %s %u %1.wbt\r\n"},
        {MSG_RUN_TARGET, "", "Fatal error: Failed to run \r\n"},
    };
    for (const auto& [id, insert, expected] : kCases) EXPECT_EQ(expected, Reported(FatalNoError(id, insert)));
}

TEST_F(Report, FailedExpansionLeavesInsertMarker) {
    fault::Fail(fault::kFormatMessageA, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ("Fatal error: Environment variable %1 too long\r\n",
              Reported(FatalNoError(MSG_VARIABLE_TOO_LONG, "TARNELO_WBT")));
    std::vector<fault::Record> calls = fault::Records(fault::kFormatMessageA);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(static_cast<UINT_PTR>(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER), calls[0].args[0]);
    ExpectFailureExit();
}

TEST_F(Report, LongLineIsCutAt1023CharactersWithoutLineEnd) {
    // "Fatal error: " (13) + "Could not find file " (20) + insert + CR LF.
    const std::pair<size_t, std::string> kCases[] = {
        {988, "x\r\n"},  // exactly 1,023 characters: whole
        {989, "xx\r"},   // the LF falls off
        {990, "xxx"},    // both fall off
        {1100, "xxx"},
    };
    for (const auto& [insertLength, tail] : kCases) {
        SCOPED_TRACE(insertLength);
        const std::string insert(insertLength, 'x');
        const std::string report = Reported(FatalNoError(MSG_FILE_NOT_FOUND, insert.c_str()));
        EXPECT_EQ(("Fatal error: Could not find file " + insert + "\r\n").substr(0, 1023), report);
        EXPECT_EQ(tail, report.substr(report.size() - 3));
    }
}

TEST_F(Report, NoMemoryForTextsGivesFixedFallbacks) {
    fault::Fail(fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 0, fault::kForever);
    EXPECT_EQ("Fatal error: An unknown error occurred\r\n", Reported(FatalNoError(MSG_NO_TARGET)));
    EXPECT_EQ("Fatal error: An unknown error occurred\r\nReason: An unknown error occurred.\r\n",
              LastErrorReported(ERROR_ZERO_BYTES_WRITTEN, MSG_SEND_WRITE_RESULT));
    ExpectFailureExit();
}

TEST_F(Report, NoMemoryForReasonOnlyLosesTheReason) {
    fault::Fail(fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 1);  // the message's buffer comes first
    EXPECT_EQ("Fatal error: Failed to read command sent from child process\r\nReason: An unknown error occurred.\r\n",
              LastErrorReported(ERROR_ZERO_BYTES_READ, MSG_READ_COMMAND));
}

// Every text a report allocates, and every text the platform allocates for
// it, is freed exactly once; nothing else is handed to LocalFree.
std::set<HLOCAL> g_live;
int g_strayFrees;

HLOCAL WINAPI TrackedLocalAlloc(UINT flags, SIZE_T bytes) {
    HLOCAL memory = LocalAlloc(flags, bytes);
    if (memory != NULL) g_live.insert(memory);
    return memory;
}

HLOCAL WINAPI TrackedLocalFree(HLOCAL memory) {
    if (g_live.erase(memory) == 0) {
        ++g_strayFrees;  // not ours to free: a constant, or freed before
        return memory;
    }
    return LocalFree(memory);
}

DWORD WINAPI TrackedFormatMessage(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                                  va_list* args) {
    DWORD length = FormatMessageA(flags, source, id, language, buffer, size, args);
    if (length != 0 && (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) g_live.insert(*reinterpret_cast<HLOCAL*>(buffer));
    return length;
}

TEST_F(Report, EveryTextIsFreedExactlyOnce) {
    g_live.clear();
    g_strayFrees = 0;
    fault::Replace(fault::kLocalAlloc, reinterpret_cast<void*>(TrackedLocalAlloc));
    fault::Replace(fault::kLocalFree, reinterpret_cast<void*>(TrackedLocalFree));
    fault::Replace(fault::kFormatMessageA, reinterpret_cast<void*>(TrackedFormatMessage));
    SetLastError(ERROR_ZERO_BYTES_READ);
    FatalLastError(MSG_FILE_NOT_FOUND, "a");
    FatalShellError(31, MSG_NO_EXECUTABLE, "b");
    FatalShellError(8, MSG_NO_EXECUTABLE, "b");
    FatalWithCode(2102, MSG_RUN_TARGET, "c");
    FatalWithCode(ERROR_ACCESS_DENIED, 7);
    // With no memory at all the constant fallback stands in everywhere.
    fault::Fail(fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 0, fault::kForever);
    FatalNoError(MSG_NO_TARGET);
    SetLastError(ERROR_ZERO_BYTES_WRITTEN);
    FatalLastError(MSG_SEND_WRITE_RESULT);
    FatalShellError(27, MSG_NO_EXECUTABLE, "d");
    EXPECT_TRUE(g_live.empty()) << g_live.size() << " texts never freed";
    EXPECT_EQ(0, g_strayFrees);
    EXPECT_LT(0, fault::Count(fault::kLocalFree));
    EXPECT_FALSE(Take().empty());
}

// A platform that changes the last error on every successful call.
HLOCAL WINAPI ClobberingLocalAlloc(UINT flags, SIZE_T bytes) {
    HLOCAL memory = LocalAlloc(flags, bytes);
    SetLastError(1234);
    return memory;
}

int WINAPI ClobberingLoadString(HINSTANCE module, UINT id, LPSTR buffer, int size) {
    int length = LoadStringA(module, id, buffer, size);
    SetLastError(4321);
    return length;
}

TEST_F(Report, LastErrorIsTakenBeforeAnythingCanChangeIt) {
    fault::Replace(fault::kLocalAlloc, reinterpret_cast<void*>(ClobberingLocalAlloc));
    fault::Replace(fault::kLoadStringA, reinterpret_cast<void*>(ClobberingLoadString));
    EXPECT_EQ("Fatal error: Failed to set control handler for process\r\n" + SystemLines(ERROR_ACCESS_DENIED),
              LastErrorReported(ERROR_ACCESS_DENIED, MSG_CONTROL_HANDLER));
}

TEST_F(Report, ReportToBrokenStderrStillSetsExitCode) {
    g_state.stderrHandle = NULL;
    EXPECT_EQ(0, FatalNoError(MSG_NO_TARGET));
    ExpectFailureExit();
    g_state.stderrHandle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(0, FatalWithCode(ERROR_ACCESS_DENIED, MSG_RUN_TARGET, "x"));
    ExpectFailureExit();
}

// --- Association lookup results ---

const char kShellMessage[] = "Fatal error: Failed to find executable for file C:\\dir\\s.wbt\r\n";

TEST_F(Report, ShellResultsMapToSystemOrShellLines) {
    // Each result and the ID of its shell text; 0: reported as a system code.
    const std::pair<DWORD, UINT> kCases[] = {
        {2, 0},    {3, 0},    {5, 0},    {8, 0},    {11, 0},   {26, 4001}, {27, 4002}, {28, 4003},
        {29, 4004}, {30, 4005}, {31, 4006}, {32, 4007}, {0, 4008},  {1, 4008},  {4, 4008},  {6, 4008},
        {7, 4008}, {9, 4008}, {10, 4008}, {12, 4008}, {25, 4008}, {33, 4008}, {0xFFFFFFFF, 4008},
    };
    for (const auto& [result, textId] : kCases) {
        SCOPED_TRACE(result);
        const std::string lines = textId == 0 ? SystemLines(result)
                                              : "Shell error number: " + std::to_string(result) +
                                                    "\r\nShell error text: " + catalogue::Text(textId) + "\r\n";
        EXPECT_EQ(kShellMessage + lines, Reported(FatalShellError(result, MSG_NO_EXECUTABLE, "C:\\dir\\s.wbt")));
    }
    ExpectFailureExit();
}

TEST_F(Report, ShellLinesDroppedWhenTheyCannotBeCombined) {
    // The third buffer is the combined text, after the two message texts.
    fault::Fail(fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 2);
    FatalShellError(31, MSG_NO_EXECUTABLE, "C:\\dir\\s.wbt");
    EXPECT_EQ(kShellMessage, Take());
}

TEST_F(Report, ShellTextMissingMemoryFallsBackPerText) {
    // No buffer for the shell text: the fixed fallback stands in its place.
    fault::Fail(fault::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 0, 1);
    FatalShellError(27, MSG_NO_EXECUTABLE, "C:\\dir\\s.wbt");
    EXPECT_EQ(std::string(kShellMessage) + "Shell error number: 27\r\nShell error text: An unknown error occurred\r\n",
              Take());
}

// --- The network message module ---

const std::string kKernel32Message = "Fatal error: Failed to get module handle for kernel32.dll\r\n";

TEST_F(Report, OnlyNetworkCodesConsultTheNetworkModule) {
    const std::pair<DWORD, bool> kCases[] = {{2099, false}, {2100, true},  {2102, true},
                                             {2999, true},  {3000, false}, {5, false}};
    for (const auto& [code, consults] : kCases) {
        SCOPED_TRACE(code);
        fault::Reset();
        FatalWithCode(code, MSG_KERNEL32_HANDLE);
        std::vector<fault::Record> loads = fault::Records(fault::kLoadLibraryExA);
        ASSERT_EQ(consults ? 1u : 0u, loads.size());
        if (consults) {
            EXPECT_STREQ("netmsg.dll", reinterpret_cast<const char*>(loads[0].args[0]));
            EXPECT_EQ(0u, loads[0].args[1]);
            EXPECT_EQ(static_cast<UINT_PTR>(LOAD_LIBRARY_AS_DATAFILE), loads[0].args[2]);
        }
        // There is no network module here: the system table alone answers.
        EXPECT_EQ(kKernel32Message + SystemLines(code), Take());
        EXPECT_EQ(0, fault::Count(fault::kFreeLibrary));
    }
}

std::string NetworkModulePath() { return BinDir() + "\\netmsg\\netmsg.dll"; }

HMODULE WINAPI LoadTestNetworkModule(LPCSTR, HANDLE file, DWORD flags) {
    return LoadLibraryExA(NetworkModulePath().c_str(), file, flags);
}

// The report of network code 2102 when the test module answers.
const std::string kNetworkReport =
    kKernel32Message + "System error number: 2102 (0x836) \r\nSystem error text: Test network text for 2102.\r\n";

TEST_F(Report, NetworkModuleTextIsUsedAndItsInsertsLeftAlone) {
    HMODULE module = LoadLibraryExA(NetworkModulePath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << NetworkModulePath();
    std::string text2102 = PlatformText(2102, module);
    std::string text2103 = PlatformText(2103, module);
    FreeLibrary(module);
    ASSERT_EQ("Test network text for 2102.\r\n", text2102);
    ASSERT_EQ("%1 is a test network text with an insert.\r\n", text2103);

    fault::Replace(fault::kLoadLibraryExA, reinterpret_cast<void*>(LoadTestNetworkModule));
    EXPECT_EQ(kNetworkReport, Reported(FatalWithCode(2102, MSG_KERNEL32_HANDLE)));
    EXPECT_EQ(kKernel32Message + "System error number: 2103 (0x837) \r\nSystem error text: " + text2103,
              Reported(FatalWithCode(2103, MSG_KERNEL32_HANDLE)));

    // The lookup searched the module, and each loaded module was freed once.
    std::vector<fault::Record> loads = fault::Records(fault::kLoadLibraryExA);
    std::vector<fault::Record> frees = fault::Records(fault::kFreeLibrary);
    ASSERT_EQ(2u, loads.size());
    ASSERT_EQ(2u, frees.size());
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(loads[i].result, frees[i].args[0]);
    int moduleLookups = 0;
    for (const fault::Record& call : fault::Records(fault::kFormatMessageA)) {
        if (call.args[0] & FORMAT_MESSAGE_FROM_HMODULE) {
            ++moduleLookups;
            EXPECT_EQ(static_cast<UINT_PTR>(0x1B00), call.args[0]);
            EXPECT_EQ(0x400u, call.args[3]);
        }
    }
    EXPECT_EQ(2, moduleLookups);
}

// The launcher as a process, its kernel32 look-up failed with a network code
// (the third fallible call), beside the test module and without it.
RunResult RunTortureWithNetworkCode(const std::string& dir) {
    EXPECT_TRUE(CopyProgram(BinDir() + "\\tarnelo-torture.exe", dir + "\\tarnelo-torture.exe"));
    RunOptions options;
    options.environment["TARNELO_FAULT_AT"] = "3";
    options.environment["TARNELO_FAULT_ERROR"] = "2102";
    options.timeoutMs = 10000;
    return RunProcess("\"" + dir + "\\tarnelo-torture.exe\"", options);
}

TEST(NetworkModule, LauncherBesideTheModuleShowsItsText) {
    std::string dir = TestDir();
    ASSERT_TRUE(CopyProgram(NetworkModulePath(), dir + "\\netmsg.dll"));
    RunResult run = RunTortureWithNetworkCode(dir);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(kNetworkReport, run.err);
}

TEST(NetworkModule, LauncherWithoutTheModuleUsesTheSystemTable) {
    RunResult run = RunTortureWithNetworkCode(TestDir());
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(kKernel32Message + SystemLines(2102), run.err);
}

}  // namespace
