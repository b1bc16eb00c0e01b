// Fault sweeps over the whole launcher: the torture variant fails its k-th
// fallible platform call (alone, or with every call after it), for every k
// a clean run makes, in several real scenarios. Each run must end in time,
// without a crash, with an exit code the rules allow, with well-formed
// reports, with a report whenever the failed call's failure must be
// reported, with no child left behind, and with nothing but the child's own
// bytes on the child's destinations.
//
// Under ctest a sample of k is swept; TARNELO_TORTURE_FULL=1 sweeps all,
// TARNELO_TORTURE_K=<k> (with TARNELO_TORTURE_PERSIST=0/1) reruns one.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "catalogue.h"
#include "harness.h"

// Waits `graceMs` for the processes of program `name` to end, counted in
// polls (they stretch on a loaded machine, as the children's ends do), then
// ends those still there and says how many it had to end. The fuzz test
// uses it too. Each torture scenario runs its own copy of the child, so that
// sweeps running side by side never count (or end) each other's children.
int EndLeftoverProcesses(const std::string& name, DWORD graceMs) {
    for (DWORD waited = 0;; waited += 20, Sleep(20)) {
        const bool late = waited >= graceMs;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return 0;
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        int left = 0;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
            if (lstrcmpiA(entry.szExeFile, name.c_str()) != 0) continue;
            ++left;
            HANDLE process = late ? OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID) : NULL;
            if (process != NULL) {
                TerminateProcess(process, 0);
                CloseHandle(process);
            }
        }
        CloseHandle(snapshot);
        if (left == 0 || late) return left;
    }
}

namespace {

const DWORD kRunLimitMs = 8000;

bool MatchesText(const std::string& line, const std::string& text) {
    if (line == text) return true;
    size_t insert = text.find("%1");
    if (insert == std::string::npos) return false;
    std::string prefix = text.substr(0, insert);
    std::string suffix = text.substr(insert + 2);
    return line.size() >= prefix.size() + suffix.size() && line.compare(0, prefix.size(), prefix) == 0 &&
           line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A message or reason text the launcher may print: one of the catalogue but
// for the association texts, which stand only after "Shell error text: ".
bool KnownMessage(const std::string& line) {
    if (line == "An unknown error occurred") return true;
    unsigned id = 0;
    char tail = 0;
    if (sscanf(line.c_str(), "Application error %u%c", &id, &tail) == 1) return true;
    for (const catalogue::Entry& entry : catalogue::kCatalogue) {
        if (!catalogue::IsShellText(entry.id) && MatchesText(line, entry.text)) return true;
    }
    return false;
}

bool TakeLine(const std::string& text, size_t* pos, const char* end, std::string* line) {
    size_t stop = text.find(end, *pos);
    if (stop == std::string::npos) return false;
    *line = text.substr(*pos, stop - *pos);
    *pos = stop + strlen(end);
    return true;
}

bool StartsAt(const std::string& text, size_t pos, const char* prefix) {
    return text.compare(pos, strlen(prefix), prefix) == 0;
}

// Splits stderr into reports and checks each line's exact form. Returns
// the number of reports, or -1 when something is malformed.
int ParseReports(std::string err) {
    for (const char* token : {"<r2>", "<h2>"}) {
        for (size_t at; (at = err.find(token)) != std::string::npos;) err.erase(at, 4);
    }
    int reports = 0;
    size_t pos = 0;
    std::string line;
    while (pos < err.size()) {
        if (!StartsAt(err, pos, "Fatal error: ")) return -1;
        pos += 13;
        if (!TakeLine(err, &pos, "\r\n", &line)) return -1;
        ++reports;
        if (StartsAt(err, pos, "Shell error number: ")) {
            if (!TakeLine(err, &pos, "\r\n", &line) || !TakeLine(err, &pos, "\r\n", &line)) return -1;
            if (line.compare(0, 18, "Shell error text: ") != 0) return -1;
        } else if (!KnownMessage(line)) {
            return -1;
        }
        if (StartsAt(err, pos, "System error number: ")) {
            pos += 21;
            if (!TakeLine(err, &pos, "\r\n", &line)) return -1;
            unsigned decimal = 0, hex = 0;
            char tail = 0;
            if (sscanf(line.c_str(), "%u (0x%X) %c", &decimal, &hex, &tail) != 2 || decimal != hex ||
                line != std::to_string(decimal) + " (0x" + line.substr(line.find("0x") + 2, line.find(')') - line.find("0x") - 2) + ") ") {
                return -1;
            }
            if (StartsAt(err, pos, "System error text: ") && !TakeLine(err, &pos, "\r\n", &line)) return -1;
        } else if (StartsAt(err, pos, "Reason: ")) {
            pos += 8;
            if (StartsAt(err, pos, "An unknown error occurred.\r\n")) {
                pos += 28;
            } else if (!TakeLine(err, &pos, "\n\r", &line) || !KnownMessage(line)) {
                return -1;
            }
        }
    }
    return reports;
}

// True when `bytes` is made only of the given tokens.
bool OnlyTokens(const std::string& bytes, std::initializer_list<const char*> tokens) {
    for (size_t pos = 0, was = 0; pos < bytes.size(); was = pos) {
        for (const char* token : tokens) {
            if (StartsAt(bytes, pos, token)) {
                pos += strlen(token);
                break;
            }
        }
        if (pos == was) return false;
    }
    return true;
}

struct Scenario {
    const char* name;
    Stream in, out, err;
    bool association;  // the child runs as the handler of a ".wbc" script
};

// Listings show the scenario, not the record's bytes (an address among them, which moves with every build).
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

struct Tally {
    int runs = 0, crashes = 0, hangs = 0, wrongExit = 0, malformed = 0, leftBehind = 0, foreignBytes = 0, silent = 0;
};

class Torture : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override {
        dir_ = TestDir();
        std::string launcher = dir_ + "\\tarnelo-torture.exe";
        ASSERT_TRUE(CopyProgram(BinDir() + "\\tarnelo-torture.exe", launcher));
        const Scenario& scenario = GetParam();
        childName_ = std::string("tchild_") + scenario.name + ".exe";
        std::string child = dir_ + "\\" + childName_;
        ASSERT_TRUE(CopyProgram(BinDir() + "\\test_child.exe", child));
        record_ = scenario.association ? "job.wbc" : dir_ + "\\record.txt";
        if (scenario.association) {
            std::string command = "\\\"" + child + "\\\" \\\"%1\\\"";
            RunProcess("reg add HKCR\\.wbc /ve /d TortureWbc /f");
            RunProcess("reg add HKCR\\TortureWbc\\shell\\open\\command /ve /d \"" + command + "\" /f");
            commandLine_ = "\"" + launcher + "\" job.wbc";
        } else {
            commandLine_ = "\"" + launcher + "\" \"" + child + "\" \"routes=" + record_ + "\"";
        }
    }

    void TearDown() override {
        if (GetParam().association) {
            RunProcess("reg delete HKCR\\.wbc /f");
            RunProcess("reg delete HKCR\\TortureWbc /f");
        }
    }

    // One run with call `k` failing (0: none). Returns the fallible calls made.
    int Run(int k, bool persist, Tally* tally) {
        const Scenario& scenario = GetParam();
        std::string recordPath = scenario.association ? dir_ + "\\job.wbc" : record_;
        WriteFileBytes(recordPath, "");
        std::string countFile = dir_ + "\\count.txt";
        std::string logFile = dir_ + "\\failed.txt";
        DeleteFileA(countFile.c_str());
        DeleteFileA(logFile.c_str());

        RunOptions options =
            StreamOptions(scenario.in, scenario.out, scenario.err, dir_ + "\\", "input bytes\n", "file input\n");
        options.directory = dir_;
        options.timeoutMs = kRunLimitMs;
        // A runner started through the association gets its orders here.
        if (scenario.association) options.environment["TEST_CHILD"] = "routes=" + recordPath;
        options.environment["TARNELO_FAULT_AT"] = k > 0 ? std::to_string(k) : "";
        options.environment["TARNELO_FAULT_PERSIST"] = persist ? "1" : "";
        options.environment["TARNELO_FAULT_COUNT_FILE"] = countFile;
        options.environment["TARNELO_FAULT_LOG"] = logFile;
        RunResult run = RunProcess(commandLine_, options);

        const std::string out = scenario.out == Stream::kFile ? ReadFileBytes(options.outFile) : run.out;
        const std::string err = scenario.err == Stream::kFile ? ReadFileBytes(options.errFile) : run.err;
        const std::string failed = ReadFileBytes(logFile);
        const std::string record = ReadFileBytes(recordPath);
        std::string what = std::string(scenario.name) + " k=" + std::to_string(k) + (persist ? " persistent" : " transient");
        // Counts a fault of this run and tells it, with the calls that were failed.
        auto problem = [&](int* count, const ::testing::Message& text) {
            ++*count;
            ADD_FAILURE() << what << ": " << text << "; failed: " << failed;
        };

        ++tally->runs;
        int left = EndLeftoverProcesses(childName_, 3000);
        // A child the platform will neither resume nor end cannot be helped.
        bool unrecoverable = failed.find(" ResumeThread ") != std::string::npos &&
                             failed.find(" TerminateProcess ") != std::string::npos;
        if (left != 0 && !unrecoverable) {
            problem(&tally->leftBehind, ::testing::Message() << left << " child(ren) left behind");
        }
        if (run.timedOut) problem(&tally->hangs, ::testing::Message() << "no exit within " << kRunLimitMs << " ms");
        if (!run.timedOut && run.exitCode >= 0xC0000000u) {
            problem(&tally->crashes, ::testing::Message() << "crashed with 0x" << std::hex << run.exitCode);
        }
        if (run.timedOut || run.exitCode >= 0xC0000000u) return 0;

        int reports = ParseReports(err);
        // A failed write to stderr may cut a report short; nothing else may.
        bool reportMayBeCut = failed.find(" WriteFile ") != std::string::npos;
        if (reports < 0 && !reportMayBeCut) {
            problem(&tally->malformed, ::testing::Message() << "malformed report: " << ::testing::PrintToString(err));
        }

        // A failure the launcher must report may not pass in silence: the
        // calls each of whose failures is a fatal report. (DuplicateHandle
        // and CreateThread also serve the child watch, which degrades
        // instead; GetStdHandle for stderr ends the launcher with 1 unseen.)
        static const std::set<std::string> kMustReport = {
            "CreateFileA",         "CreateEventA",       "SetConsoleCtrlHandler", "LocalAlloc",
            "ResumeThread",        "GetModuleFileNameA", "GetCommandLineA",       "GetFullPathNameA",
            "FindExecutableA",     "CreateProcessA",     "CreateFileMappingA",    "MapViewOfFile",
            "CreatePipe",
        };
        char firstCall[64] = "";
        sscanf(failed.c_str(), "%*d %63s", firstCall);
        if (kMustReport.count(firstCall) != 0 && reports == 0 && !reportMayBeCut) {
            problem(&tally->silent, ::testing::Message() << "no report after a failed " << firstCall << ", exit code "
                                                       << run.exitCode);
        }

        std::set<DWORD> allowed;
        size_t exitAt = record.find("exit ");
        if (exitAt != std::string::npos) allowed.insert(static_cast<DWORD>(atoi(record.c_str() + exitAt + 5)));
        if (reports != 0 || reportMayBeCut || failed.find(" GetStdHandle ") != std::string::npos) allowed.insert(1);
        if (reports <= 0) allowed.insert(0);
        if (allowed.count(run.exitCode) == 0) {
            problem(&tally->wrongExit, ::testing::Message() << "exit code " << run.exitCode << "; stderr "
                                                          << ::testing::PrintToString(err) << "; record "
                                                          << ::testing::PrintToString(record));
        }
        if (!OnlyTokens(out, {"<r1>", "<h1>"})) {
            problem(&tally->foreignBytes, ::testing::Message() << "stdout holds " << ::testing::PrintToString(out));
        }
        return atoi(ReadFileBytes(countFile).c_str());
    }

    std::string dir_;
    std::string childName_;
    std::string record_;
    std::string commandLine_;
};

TEST_P(Torture, EveryFailingCallEndsByTheRules) {
    Tally tally;
    const int calls = Run(0, false, &tally);
    ASSERT_GT(calls, 10) << "the clean run made too few fallible calls to sweep";

    std::string only = EnvValue("TARNELO_TORTURE_K");
    int first = 1, last = calls, step = EnvValue("TARNELO_TORTURE_FULL") == "1" ? 1 : 9;
    if (!only.empty()) first = last = atoi(only.c_str());
    std::string persistOnly = EnvValue("TARNELO_TORTURE_PERSIST");
    for (int k = first; k <= last; k += step) {
        if (persistOnly != "1") Run(k, false, &tally);
        if (persistOnly != "0") Run(k, true, &tally);
    }
    printf("[ torture  ] %-12s calls %d, runs %d, crashes %d, hangs %d, wrong exit codes %d, malformed reports %d, "
           "children left %d, foreign bytes %d, silent failures %d\n",
           GetParam().name, calls, tally.runs, tally.crashes, tally.hangs, tally.wrongExit, tally.malformed,
           tally.leftBehind, tally.foreignBytes, tally.silent);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, Torture,
    ::testing::Values(Scenario{"pipes", Stream::kPipe, Stream::kPipe, Stream::kPipe, false},
                      Scenario{"fileout", Stream::kPipe, Stream::kFile, Stream::kPipe, false},
                      Scenario{"infile_nul", Stream::kFile, Stream::kNul, Stream::kPipe, false},
                      Scenario{"console", Stream::kPipe, Stream::kConsole, Stream::kPipe, false},
                      Scenario{"association", Stream::kPipe, Stream::kPipe, Stream::kPipe, true}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
