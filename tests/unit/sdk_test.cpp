// The child SDK against the real launcher: a GUI program built from sdk/
// alone (sdk/examples/bulk.c) moves exact bytes both ways and passes its
// exit code back, and refuses cleanly when it has no launcher.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

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

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string ThroughLauncher(const std::string& arguments) {
    return Quoted(BinDir() + "\\tarnelo.exe") + " " + Quoted(BinDir() + "\\bulk_gui.exe") + " " + arguments;
}

// Index of the first differing byte, for a readable failure on 1 MiB.
size_t FirstDifference(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

const int kDone = 3;
const int kNotAttachedBase = 100;  // bulk.c exits with this plus the attach result

}  // namespace

TEST(SdkWrite, OneMebibyteReachesStdoutByteExactAndTheExitCodePassesThrough) {
    const size_t kSize = 1u << 20;
    const std::string expected = Pattern(kSize);
    ASSERT_NE(std::string::npos, expected.find('\0'));
    ASSERT_NE(std::string::npos, expected.find("\r"));
    ASSERT_NE(std::string::npos, expected.find("\n"));
    // Requests go through the launcher's command service; the handle is the
    // launcher's own stdout pipe, duplicated into the child.
    for (const char* route : {"request", "handle"}) {
        SCOPED_TRACE(route);
        RunOptions options;
        options.timeoutMs = 10000;
        RunResult run = RunProcess(ThroughLauncher(std::string(route) + " " + std::to_string(kSize)), options);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(static_cast<DWORD>(kDone), run.exitCode);
        EXPECT_EQ("", run.err);
        ASSERT_EQ(expected.size(), run.out.size());
        EXPECT_TRUE(run.out == expected) << "first difference at byte " << FirstDifference(run.out, expected);
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
        RunOptions options;
        options.timeoutMs = 10000;
        options.in = c.in;
        options.input = input;
        options.inFile = TestDir() + "\\input.bin";
        WriteFileBytes(options.inFile, input);
        RunResult run = RunProcess(ThroughLauncher("echo"), options);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(static_cast<DWORD>(kDone), run.exitCode);
        EXPECT_EQ(input.size(), run.out.size());
        EXPECT_TRUE(run.out == input) << "first difference at byte " << FirstDifference(run.out, input);
    }
}

TEST(SdkAttach, ProgramStartedDirectlyIsToldItWasNotLaunched) {
    RunOptions options;
    options.timeoutMs = 10000;
    RunResult run = RunProcess(Quoted(BinDir() + "\\bulk_gui.exe") + " request 10", options);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(static_cast<DWORD>(kNotAttachedBase + 1), run.exitCode);  // TARNELO_NOT_LAUNCHED
    EXPECT_EQ("", run.out);
}

TEST(SdkAttach, BlockOfAnotherLayoutVersionIsRefused) {
    // Play the launcher's first step: publish a block for the suspended
    // program, but of an older layout.
    std::string line = Quoted(BinDir() + "\\bulk_gui.exe") + " request 10";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &process))
        << GetLastError();
    std::string name = "tarnelo\t" + std::to_string(process.dwProcessId) + "\t" + std::to_string(process.dwThreadId);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 68, name.c_str());
    ASSERT_NE(static_cast<HANDLE>(NULL), mapping);
    DWORD* words = static_cast<DWORD*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(static_cast<DWORD*>(NULL), words);
    words[0] = 1002;

    ResumeThread(process.hThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 10000));
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(static_cast<DWORD>(kNotAttachedBase + 2), code);  // TARNELO_BAD_VERSION

    UnmapViewOfFile(words);
    CloseHandle(mapping);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
