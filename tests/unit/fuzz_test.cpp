// Protocol fuzzing of the real launcher: fuzz_child sends a request stream
// made from a seed (any command code, write counts around the 4,096-byte
// chunks and up to 64 KiB, reads of a file or pipe stdin, raw and cooked
// switches, writes on the handed-over handles) and ends cleanly, in the
// middle of a request, or with less data than it announced. The test makes
// the same stream from the seed and predicts every byte on stdout and
// stderr, every result and read the child gets, the console input mode left
// behind, the report and the exit code.
//
// Under ctest seeds 1..40 run; TARNELO_FUZZ_SEEDS=<n> runs 1..n and
// TARNELO_FUZZ_SEED=<k> reruns one seed alone (script/fuzz).
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "../children/fuzz_stream.h"
#include "harness.h"
#include "launcher_run.h"
#include "service_fixture.h"

int EndLeftoverProcesses(const std::string& name, DWORD graceMs);  // torture_test.cpp

namespace {

const DWORD kRunLimitMs = 8000;
const FuzzWord kSampleSeeds = 40;

std::string Bytes(FuzzWord size, FuzzWord seed, bool printable) {
    std::string bytes(size, '\0');
    if (size != 0) FuzzFill(reinterpret_cast<unsigned char*>(&bytes[0]), size, seed, printable ? 1 : 0);
    return bytes;
}

DWORD Word(const std::string& bytes, size_t at) {
    DWORD value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Where two byte strings part, for a message that does not dump kilobytes.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
    return SameBytes(expected, actual).message();
}

// The first two lines of a report with a system error part, exactly; the
// platform's wording of the third is not ours to check.
const char kShortDataReport[] =
    "Fatal error: Failed to get write data from child process\r\n"
    "System error number: 109 (0x6D) \r\n";

struct Expected {
    std::string out;
    std::string err;
    bool report = false;  // kShortDataReport and a system error text follow err
    DWORD exitCode = 0;
    DWORD inputModeBits = 7;  // the three cooked-input bits left on the console: start-up leaves them set
};

Expected Predict(const FuzzPlan& plan) {
    Expected expected;
    auto written = [&expected](FuzzWord command, FuzzWord size, FuzzWord seed) {
        std::string data = Bytes(size, seed, FuzzIsConsole(command) != 0);
        if (command == 1) expected.out += data;
        if (command == 2) expected.err += data;
    };
    for (int i = 0; i < plan.opCount; ++i) {
        const FuzzOp& op = plan.ops[i];
        if (op.kind == FUZZ_MODE) expected.inputModeBits = op.argument != 0 ? 0 : 7;
        if (op.kind == FUZZ_WRITE || op.kind == FUZZ_DIRECT) written(op.command, op.argument, op.dataSeed);
    }
    // Each chunk is written as it arrives, so what was sent of a short request gets out.
    if (plan.ending == FUZZ_END_SHORT) written(plan.endCommand, plan.endSent, plan.endDataSeed);
    expected.report = plan.ending == FUZZ_END_SHORT;
    expected.exitCode = plan.exitCode;
    return expected;
}

// Walks the child's log against the plan: the result of every write and
// read, and read data that are exactly the next bytes of the input.
std::string CheckLog(const FuzzPlan& plan, const std::string& input, const std::string& log) {
    size_t at = 0;
    size_t consumed = 0;
    for (int step = 0; step < plan.opCount; ++step) {
        const FuzzOp& op = plan.ops[step];
        if (op.kind != FUZZ_WRITE && op.kind != FUZZ_READ) continue;
        std::string where = "step " + std::to_string(step) + ": ";
        if (log.compare(at, 4, "FAIL") == 0) return where + "the child failed: " + log.substr(at + 8);
        if (log.size() < at + 16) return where + "no result logged";
        if (Word(log, at) != static_cast<DWORD>(step)) return where + "result logged for step " + std::to_string(Word(log, at));
        const DWORD ok = Word(log, at + 4), error = Word(log, at + 8), count = Word(log, at + 12);
        at += 16;
        char got[80];
        snprintf(got, sizeof got, "ok %lu error %lu count %lu", ok, error, count);
        if (op.kind == FUZZ_WRITE) {
            if (ok != 1 || error != 0 || count != 0) return where + "write answered " + got;
            continue;
        }
        const size_t left = input.size() - consumed;
        if (!plan.stdinPipe) {
            // A file: one read of at most 4,096 bytes; at the end ok with 0.
            const DWORD want = static_cast<DWORD>(std::min<size_t>(left, 4096));
            if (ok != 1 || error != 0 || count != want) return where + "file read answered " + got + ", want " + std::to_string(want);
        } else if (left == 0) {
            // A pipe whose writer has gone fails with a broken pipe.
            if (ok != 0 || error != ERROR_BROKEN_PIPE || count != 0) return where + "read at end of pipe answered " + got;
        } else if (ok != 1 || error != 0 || count == 0 || count > 4096 || count > left) {
            return where + "pipe read answered " + got + " with " + std::to_string(left) + " bytes left";
        }
        if (ok == 1 && count != 0) {
            if (log.size() < at + count) return where + "read data cut short in the log";
            if (log.compare(at, count, input, consumed, count) != 0) return where + "read data are not the next input bytes";
            at += count;
            consumed += count;
        }
    }
    if (log.compare(at, 4, "DONE") != 0 || log.size() != at + 4) return "log does not end after the last step";
    return std::string();
}

// The console's input mode, put back as it was when the seeds are done.
struct ConsoleInput {
    HANDLE handle = launcher_run::OpenConsole("CONIN$");
    DWORD original = 0;
    ConsoleInput() { GetConsoleMode(handle, &original); }
    ~ConsoleInput() {
        SetConsoleMode(handle, original);
        CloseHandle(handle);
    }
};

// One seed: run, compare, return the first mismatch ("" when all held).
std::string RunSeed(FuzzWord seed, const FuzzPlan& plan, const std::string& dir, const ConsoleInput& console) {
    const Expected expected = Predict(plan);
    const std::string input = Bytes(plan.inputSize, plan.inputSeed, false);
    const std::string log = dir + "\\log.bin";
    DeleteFileA(log.c_str());

    RunOptions options = StreamOptions(plan.stdinPipe ? Stream::kPipe : Stream::kFile,
                                       plan.stdoutPipe ? Stream::kPipe : Stream::kFile,
                                       plan.stderrPipe ? Stream::kPipe : Stream::kFile, dir + "\\", input, input, ".bin");
    options.timeoutMs = kRunLimitMs;
    // Some other bits set too: only the three cooked-input bits may change.
    const DWORD modeBefore = (console.original & ~7u) | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE | (seed % 8);
    SetConsoleMode(console.handle, modeBefore);

    RunResult run = RunProcess(Quote(Launcher()) + " " + Quote(BinDir() + "\\fuzz_child.exe") + " fuzz " +
                                   std::to_string(seed) + " " + log,
                               options);
    DWORD modeAfter = 0xDEADBEEF;
    GetConsoleMode(console.handle, &modeAfter);
    if (run.timedOut) {
        EndLeftoverProcesses("fuzz_child.exe", 0);
        return "the launcher did not end within " + std::to_string(kRunLimitMs) + " ms";
    }
    if (run.exitCode >= 0xC0000000u) return "the launcher crashed: exit code " + std::to_string(run.exitCode);

    const std::string out = plan.stdoutPipe ? run.out : ReadFileBytes(options.outFile);
    std::string err = plan.stderrPipe ? run.err : ReadFileBytes(options.errFile);
    std::string problem = CheckLog(plan, input, ReadFileBytes(log));
    if (!problem.empty()) return "child's results: " + problem;
    if (run.exitCode != expected.exitCode) {
        return "exit code " + std::to_string(run.exitCode) + ", want " + std::to_string(expected.exitCode) +
               "; stderr tail " + ::testing::PrintToString(err.substr(err.size() > 200 ? err.size() - 200 : 0));
    }
    if (out != expected.out) return "stdout: " + FirstDifference(expected.out, out);
    if (expected.report) {
        const std::string head = expected.err + kShortDataReport + "System error text: ";
        if (err.compare(0, head.size(), head) != 0 || err.size() < head.size() + 3 ||
            err.compare(err.size() - 2, 2, "\r\n") != 0 || err.find("\r\n", head.size()) != err.size() - 2) {
            return "stderr with report: " + FirstDifference(head, err) + "; tail " +
                   ::testing::PrintToString(err.substr(std::min(err.size(), expected.err.size())));
        }
    } else if (err != expected.err) {
        return "stderr: " + FirstDifference(expected.err, err);
    }
    const DWORD wantMode = (modeBefore & ~7u) | expected.inputModeBits;
    if (modeAfter != wantMode) {
        char text[80];
        snprintf(text, sizeof text, "console input mode 0x%lX, want 0x%lX", modeAfter, wantMode);
        return text;
    }
    return std::string();
}

FuzzWord EnvSeed(const char* name, FuzzWord otherwise) {
    const std::string value = EnvValue(name);
    return value.empty() ? otherwise : static_cast<FuzzWord>(strtoul(value.c_str(), NULL, 10));
}

TEST(ProtocolFuzz, EverySeedEndsAsPredicted) {
    FuzzWord last = EnvSeed("TARNELO_FUZZ_SEEDS", kSampleSeeds);
    const FuzzWord first = EnvSeed("TARNELO_FUZZ_SEED", 1);
    if (!EnvValue("TARNELO_FUZZ_SEED").empty()) last = first;
    const std::string dir = TestDir();
    ConsoleInput console;

    int failures = 0;
    int endings[3] = {0, 0, 0};
    unsigned long long requests = 0;
    for (FuzzWord seed = first; seed <= last; ++seed) {
        static FuzzPlan plan;
        FuzzMakePlan(&plan, seed);
        ++endings[plan.ending];
        requests += plan.opCount;
        const std::string problem = RunSeed(seed, plan, dir, console);
        if (!problem.empty()) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ": " << problem << "\n  rerun alone: TARNELO_FUZZ_SEED=" << seed;
        }
    }
    printf("fuzz: %u seeds (%u..%u), %llu steps, endings detach %d / cut %d / short %d, %d failures\n",
           last - first + 1, first, last, requests, endings[FUZZ_END_DETACH], endings[FUZZ_END_CUT],
           endings[FUZZ_END_SHORT], failures);
}

}  // namespace
