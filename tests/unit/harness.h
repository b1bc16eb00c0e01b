// Shared helpers for the tests: running the launcher as a process with
// chosen standard handles, files, and a clean in-process launcher state.
#ifndef TARNELO_TEST_HARNESS_H
#define TARNELO_TEST_HARNESS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

// Directory of the test executable, where every built program lies.
std::string BinDir();
// The width of the child programs the tests run: this program's own, or
// the other one when the environment has TARNELO_CHILD_ARCH=64 or 32 (the
// same children from the other architecture's build).
int ChildBits();
// Where those children lie: BinDir(), or the other build's bin64/ or bin/
// beside it.
std::string ChildDir();
// A fresh empty directory for the running test (removed by nobody: build/).
std::string TestDir();

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool CopyProgram(const std::string& from, const std::string& to);

// How a process's standard streams are set up.
enum class Stream {
    kPipe,     // stdin: the bytes of `input`, then end of pipe; stdout/stderr: captured
    kFile,     // the file named in the options (stdin reads it, outputs create it)
    kNul,      // the NUL device
    kConsole,  // inherited from the test process (the console it allocated)
    kNone,     // a null handle, as a parent passing only some streams gives it
};

struct RunOptions {
    Stream in = Stream::kPipe;
    Stream out = Stream::kPipe;
    Stream err = Stream::kPipe;
    std::string input;        // for kPipe stdin
    DWORD inputDelayMs = 0;   // kPipe stdin: wait this long before writing the input
    bool holdInput = false;   // kPipe stdin: keep the writer open until the process ends
    std::string inFile;       // for kFile
    std::string outFile;
    std::string errFile;
    std::string directory;    // current directory; empty: the test's
    std::map<std::string, std::string> environment;  // added to (or, with empty value, removed from) ours
    DWORD timeoutMs = 20000;
    DWORD creationFlags = 0;  // added to CreateProcessA's flags (e.g. DETACHED_PROCESS)
};

// Options with these three streams, `pipeInput` for a piped stdin, and the
// files `files` + "in", "out" and "err" + `extension` for the file ones (the
// input file is written now, with `fileInput`).
inline RunOptions StreamOptions(Stream in, Stream out, Stream err, const std::string& files,
                                const std::string& pipeInput, const std::string& fileInput,
                                const char* extension = ".txt") {
    RunOptions options;
    options.in = in;
    options.out = out;
    options.err = err;
    options.input = pipeInput;
    options.inFile = files + "in" + extension;
    options.outFile = files + "out" + extension;
    options.errFile = files + "err" + extension;
    WriteFileBytes(options.inFile, fileInput);
    return options;
}

// Polls a condition for at most `ms`; for states no handle signals.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD ms = 5000) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > ms) return false;
        Sleep(5);
    }
    return true;
}

struct RunResult {
    DWORD exitCode = 0xFFFFFFFF;
    bool timedOut = false;
    DWORD endedTick = 0;  // GetTickCount() when the process was seen to end
    std::string out;
    std::string err;
};

// Runs `commandLine` (first token found by the platform's rules) and waits
// for it; a process that outlives the timeout is terminated and reported.
RunResult RunProcess(const std::string& commandLine, const RunOptions& options = RunOptions());

// The launcher as built, and the value of an environment variable of ours
// ("" when it is unset or longer than 63 characters).
inline std::string Launcher() { return BinDir() + "\\" TARNELO_LAUNCHER; }
inline std::string Quote(const std::string& text) { return "\"" + text + "\""; }
inline std::string EnvValue(const char* name) {
    char value[64];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length != 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The platform's own text for an error code, fetched the way the reports
// fetch it ("" when it has none). Only compared, never spelled out.
inline std::string PlatformText(DWORD code, HMODULE module = NULL) {
    char* text = NULL;
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    if (module != NULL) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    DWORD length = FormatMessageA(flags, module, code, 0x400, reinterpret_cast<char*>(&text), 0, NULL);
    std::string result = length != 0 && text != NULL ? std::string(text, length) : std::string();
    if (text != NULL) LocalFree(text);
    return result;
}

// The lines a report adds for a system error code: the number, then the
// platform's text when it has one; and a whole such report.
inline std::string SystemTextLine(DWORD code) {
    std::string text = PlatformText(code);
    return text.empty() ? std::string() : "System error text: " + text;
}
inline std::string SystemLines(DWORD code) {
    char line[80];
    wsprintfA(line, "System error number: %lu (0x%lX) \r\n", code, code);
    return line + SystemTextLine(code);
}
inline std::string SystemReport(const std::string& message, DWORD code) {
    return "Fatal error: " + message + "\r\n" + SystemLines(code);
}

// Puts the launcher's state back to its load-time values and clears every
// fault rule and record.
void ResetLauncherState();

// Everything that can be read from a pipe right now, without blocking.
std::string TakeAvailable(HANDLE pipe);

// All of `bytes` written to `handle`, however many calls it takes.
bool WriteAll(HANDLE handle, const std::string& bytes);

// Compares long byte strings without dumping megabytes on failure.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual);

inline void Drop(HANDLE& handle) {
    if (handle != NULL) CloseHandle(handle);
    handle = NULL;
}

// An anonymous pipe whose two ends this process holds.
struct Pipe {
    static const DWORD kBig = 16u << 20;  // holds a whole script: the writer never blocks
    HANDLE read = NULL;
    HANDLE write = NULL;
    explicit Pipe(DWORD size = kBig) { EXPECT_TRUE(CreatePipe(&read, &write, NULL, size)); }
    ~Pipe() { Close(); }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void Reopen() {
        Close();
        EXPECT_TRUE(CreatePipe(&read, &write, NULL, kBig));
    }
    void Close() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() { Drop(read); }
    void CloseWrite() { Drop(write); }
};

// Captures what the launcher's reports write: points the state's stderr
// handle at a pipe and gives back the bytes written so far.
class StderrCapture {
public:
    StderrCapture();
    std::string Take() { return TakeAvailable(pipe_.read); }  // everything written since construction or the last Take

private:
    Pipe pipe_{1 << 20};
};

#endif
