#include "harness.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <thread>
#include <vector>

#include "core/launcher_state.h"
#include "fault.h"

std::string BinDir() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of("\\/"));
}

namespace {
const int kOwnBits = static_cast<int>(sizeof(void*)) * 8;
}  // namespace

int ChildBits() {
    std::string arch = EnvValue("TARNELO_CHILD_ARCH");
    return arch.empty() ? kOwnBits : std::atoi(arch.c_str());
}

std::string ChildDir() {
    if (ChildBits() == kOwnBits) return BinDir();
    return BinDir() + (ChildBits() == 64 ? "\\..\\bin64" : "\\..\\bin");
}

std::string TestDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != NULL ? std::string(info->test_suite_name()) + "." + info->name() : "shared";
    std::replace_if(name.begin(), name.end(), [](char c) { return c == '/' || c == '\\'; }, '_');
    // Each launcher and width of children has its own, since their runs may
    // be at work at once.
    std::string root = BinDir() + "\\..\\testdirs-" + std::to_string(kOwnBits) + "-" + std::to_string(ChildBits());
    CreateDirectoryA(root.c_str(), NULL);
    std::string dir = root + "\\" + name;
    CreateDirectoryA(dir.c_str(), NULL);
    // Start empty: remove files left by an earlier run of the same test.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((dir + "\\" + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return dir;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    ASSERT_TRUE(file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) << path;
}

bool CopyProgram(const std::string& from, const std::string& to) { return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0; }

namespace {

// UTF-16 of UTF-8 text, and back.
std::wstring Wide(const std::string& utf8) {
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), NULL, 0);
    std::wstring text(size > 0 ? size : 0, L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], size);
    return text;
}

std::string Utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    std::string bytes(size > 1 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, NULL, NULL);
    return bytes;
}

// Reads a pipe until every writer is gone, or until `stop` is set and the
// pipe stays empty: a child the launcher left running may hold it forever.
void Drain(HANDLE pipe, std::string* into, const std::atomic<bool>* stop) {
    DWORD quietSince = GetTickCount();
    for (DWORD available = 0; PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL); Sleep(1)) {
        if (available != 0) into->append(TakeAvailable(pipe));
        if (available != 0 || !stop->load()) {
            quietSince = GetTickCount();
        } else if (GetTickCount() - quietSince > 1000) {
            return;
        }
    }
}

// Names compare case-insensitively, as the platform has them.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const { return _stricmp(a.c_str(), b.c_str()) < 0; }
};

std::string EnvironmentBlock(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string, NoCase> variables;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p != L'\0'; p += lstrlenW(p) + 1) {
        std::string entry = Utf8(p);
        size_t equals = entry.find('=', 1);
        if (equals != std::string::npos) variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& change : changes) {
        variables.erase(change.first);
        if (!change.second.empty()) variables[change.first] = change.second;
    }
    std::string result;
    for (const auto& variable : variables) result += variable.first + "=" + variable.second + '\0';
    result += '\0';
    return result;
}

}  // namespace

RunResult RunProcess(const std::string& commandLine, const RunOptions& options) {
    RunResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    std::vector<HANDLE> toClose;  // the child's ends, once it has them
    HANDLE ours[3] = {NULL, NULL, NULL};  // our ends of the pipes: stdin's write end, the outputs' read ends
    HANDLE handles[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                         GetStdHandle(STD_ERROR_HANDLE)};
    const Stream kinds[3] = {options.in, options.out, options.err};
    const std::string files[3] = {options.inFile, options.outFile, options.errFile};
    for (int i = 0; i < 3; ++i) {
        const bool write = i != 0;
        if (kinds[i] == Stream::kPipe) {
            HANDLE ends[2] = {NULL, NULL};
            CreatePipe(&ends[0], &ends[1], &inheritable, 1 << 16);
            handles[i] = ends[write];
            ours[i] = ends[!write];
            SetHandleInformation(ours[i], HANDLE_FLAG_INHERIT, 0);
        } else if (kinds[i] == Stream::kFile || kinds[i] == Stream::kNul) {
            handles[i] = CreateFileA(kinds[i] == Stream::kNul ? "NUL" : files[i].c_str(),
                                     write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, write ? CREATE_ALWAYS : OPEN_EXISTING, 0, NULL);
        } else if (kinds[i] == Stream::kNone) {
            handles[i] = NULL;
        }
        if (kinds[i] != Stream::kConsole && kinds[i] != Stream::kNone) toClose.push_back(handles[i]);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = handles[0];
    startup.hStdOutput = handles[1];
    startup.hStdError = handles[2];
    PROCESS_INFORMATION process = {};
    // A Unicode caller: the command line and directory are taken as UTF-8,
    // so no character depends on a code page on the way to the program.
    std::wstring line = Wide(commandLine);
    std::wstring directory = Wide(options.directory);
    std::wstring environment = Wide(EnvironmentBlock(options.environment));
    BOOL created = CreateProcessW(NULL, &line[0], NULL, NULL, TRUE, options.creationFlags | CREATE_UNICODE_ENVIRONMENT,
                                  &environment[0],
                                  directory.empty() ? NULL : directory.c_str(), &startup, &process);
    for (HANDLE handle : toClose) CloseHandle(handle);
    if (!created) {
        ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
        for (HANDLE& end : ours) Drop(end);
        return result;
    }

    std::thread threads[3];  // stdin's feeder, the outputs' readers
    std::atomic<bool> exited(false);
    if (ours[0] != NULL) {
        threads[0] = std::thread([&] {
            Sleep(options.inputDelayMs);
            WriteAll(ours[0], options.input);
            while (options.holdInput && !exited) Sleep(5);
            Drop(ours[0]);
        });
    }
    if (ours[1] != NULL) threads[1] = std::thread(Drain, ours[1], &result.out, &exited);
    if (ours[2] != NULL) threads[2] = std::thread(Drain, ours[2], &result.err, &exited);

    if (WaitForSingleObject(process.hProcess, options.timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
    }
    result.endedTick = GetTickCount();
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    exited = true;
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
    for (HANDLE& end : ours) Drop(end);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

void ResetLauncherState() {
    g_state.~LauncherState();
    new (&g_state) LauncherState();
    fault::Reset();
}

StderrCapture::StderrCapture() { g_state.stderrHandle = pipe_.write; }

std::string TakeAvailable(HANDLE pipe) {
    std::string bytes;
    DWORD available = 0;
    while (PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) && available != 0) {
        std::string chunk(available, '\0');
        DWORD count = 0;
        if (!ReadFile(pipe, &chunk[0], available, &count, NULL)) break;
        bytes.append(chunk.data(), count);
    }
    return bytes;
}

bool WriteAll(HANDLE handle, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, NULL)) {
            return false;
        }
        done += written;
    }
    return true;
}

::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    auto shown = [at](const std::string& bytes) {
        std::string text;
        char hex[4];
        for (size_t i = at; i < bytes.size() && i < at + 24; ++i) {
            text.append(hex, snprintf(hex, sizeof hex, "%02X ", static_cast<unsigned char>(bytes[i])));
        }
        return text;
    };
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << actual.size()
                                         << "; first difference at offset " << at << "\n  expected: "
                                         << shown(expected) << "\n  actual:   " << shown(actual);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // `--hold-console <ms> [ready-file]`: keep a console (and with it the
    // platform's desktop process) alive for a whole test run; the ready file
    // says it is up (script/wine-env's wine_hold_console says why).
    bool hold = argc >= 3 && argc <= 4 && strcmp(argv[1], "--hold-console") == 0;
    // The listing a runner asks for first needs no console: it must not be
    // the process that starts one.
    if (!hold && GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    // Under a runner without a terminal the test process has no console;
    // the launcher needs one, and every launcher a test starts shares ours.
    HANDLE console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (console == INVALID_HANDLE_VALUE) {
        FreeConsole();
        AllocConsole();
    } else {
        CloseHandle(console);
    }
    if (hold) {
        if (argc == 4) {
            HANDLE ready = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
        }
        Sleep(static_cast<DWORD>(atol(argv[2])));
        return 0;
    }
    return RUN_ALL_TESTS();
}
