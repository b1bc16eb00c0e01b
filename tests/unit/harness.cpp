#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <atomic>
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

bool SixtyFourBitChildren() {
    char value[8];
    DWORD length = GetEnvironmentVariableA("TARNELO_CHILD_ARCH", value, sizeof value);
    return length == 2 && value[0] == '6' && value[1] == '4';
}

std::string ChildDir() { return SixtyFourBitChildren() ? BinDir() + "\\..\\bin64" : BinDir(); }

std::string TestDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != NULL ? std::string(info->test_suite_name()) + "." + info->name() : "shared";
    for (char& c : name) {
        if (c == '/' || c == '\\') c = '_';
    }
    // The 64-bit runs have their own, since both runs may be at work at once.
    std::string root = BinDir() + (SixtyFourBitChildren() ? "\\..\\testdirs64" : "\\..\\testdirs");
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
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, NULL) && count != 0) bytes.append(buffer, count);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << path;
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
    CloseHandle(file);
}

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

bool CopyProgram(const std::string& from, const std::string& to) { return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0; }

namespace {

SECURITY_ATTRIBUTES Inheritable() {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, NULL, TRUE};
    return attributes;
}

HANDLE OpenForChild(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES attributes = Inheritable();
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &attributes, write ? CREATE_ALWAYS : OPEN_EXISTING, 0, NULL);
}

// Reads a pipe until every writer is gone, or until `stop` is set and the
// pipe stays empty: a child the launcher left running may hold it forever.
void Drain(HANDLE pipe, std::string* into, const std::atomic<bool>* stop) {
    char buffer[65536];
    DWORD idleSince = 0;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL)) return;  // broken: all written
        if (available != 0) {
            DWORD count = 0;
            if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &count, NULL)) return;
            into->append(buffer, count);
            idleSince = 0;
            continue;
        }
        if (stop->load()) {
            if (idleSince == 0) idleSince = GetTickCount();
            if (GetTickCount() - idleSince > 1000) return;
        }
        Sleep(1);
    }
}

std::string EnvironmentBlock(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> variables;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p != L'\0'; p += lstrlenW(p) + 1) {
        std::string entry = Utf8(p);
        size_t equals = entry.find('=', 1);
        if (equals == std::string::npos) continue;
        variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& change : changes) {
        // Case-insensitive names, as the platform has them.
        for (auto it = variables.begin(); it != variables.end();) {
            if (lstrcmpiA(it->first.c_str(), change.first.c_str()) == 0) {
                it = variables.erase(it);
            } else {
                ++it;
            }
        }
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
    SECURITY_ATTRIBUTES attributes = Inheritable();
    std::vector<HANDLE> toClose;
    HANDLE inWrite = NULL, outRead = NULL, errRead = NULL;
    HANDLE handles[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                         GetStdHandle(STD_ERROR_HANDLE)};
    const Stream kinds[3] = {options.in, options.out, options.err};
    const std::string files[3] = {options.inFile, options.outFile, options.errFile};
    for (int i = 0; i < 3; ++i) {
        switch (kinds[i]) {
            case Stream::kPipe: {
                HANDLE read = NULL, write = NULL;
                CreatePipe(&read, &write, &attributes, 1 << 16);
                if (i == 0) {
                    SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
                    handles[i] = read;
                    inWrite = write;
                } else {
                    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
                    handles[i] = write;
                    (i == 1 ? outRead : errRead) = read;
                }
                toClose.push_back(handles[i]);
                break;
            }
            case Stream::kFile:
                handles[i] = OpenForChild(files[i], i != 0);
                toClose.push_back(handles[i]);
                break;
            case Stream::kNul:
                handles[i] = OpenForChild("NUL", i != 0);
                toClose.push_back(handles[i]);
                break;
            case Stream::kConsole:
                break;
            case Stream::kNone:
                handles[i] = NULL;
                break;
        }
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
        if (inWrite) CloseHandle(inWrite);
        if (outRead) CloseHandle(outRead);
        if (errRead) CloseHandle(errRead);
        return result;
    }

    std::thread feeder, outReader, errReader;
    std::atomic<bool> exited(false);
    if (inWrite != NULL) {
        feeder = std::thread([&] {
            if (options.inputDelayMs != 0) Sleep(options.inputDelayMs);
            DWORD written = 0;
            size_t done = 0;
            while (done < options.input.size() &&
                   WriteFile(inWrite, options.input.data() + done,
                             static_cast<DWORD>(std::min<size_t>(options.input.size() - done, 65536)), &written, NULL)) {
                done += written;
            }
            while (options.holdInput && !exited) Sleep(5);
            CloseHandle(inWrite);
        });
    }
    if (outRead != NULL) outReader = std::thread(Drain, outRead, &result.out, &exited);
    if (errRead != NULL) errReader = std::thread(Drain, errRead, &result.err, &exited);

    if (WaitForSingleObject(process.hProcess, options.timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
    }
    result.endedTick = GetTickCount();
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    exited = true;
    if (feeder.joinable()) feeder.join();
    for (std::thread* reader : {&outReader, &errReader}) {
        if (reader->joinable()) reader->join();
    }
    if (outRead) CloseHandle(outRead);
    if (errRead) CloseHandle(errRead);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

void ResetLauncherState() {
    g_state.~LauncherState();
    new (&g_state) LauncherState();
    fault::Reset();
}

StderrCapture::StderrCapture() {
    CreatePipe(&read_, &write_, NULL, 1 << 20);
    g_state.stderrHandle = write_;
}

StderrCapture::~StderrCapture() {
    CloseHandle(read_);
    CloseHandle(write_);
}

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

std::string StderrCapture::Take() { return TakeAvailable(read_); }

int main(int argc, char** argv) {
    // Under a runner without a terminal the test process has no console;
    // the launcher needs one, and every launcher a test starts shares ours.
    HANDLE console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (console == INVALID_HANDLE_VALUE) {
        FreeConsole();
        AllocConsole();
    } else {
        CloseHandle(console);
    }
    // `--hold-console <ms>`: keep a console (and with it the platform's
    // desktop process) alive for a whole test run, started with our own
    // standard handles detached: otherwise the first test to need it starts
    // it and it keeps that test's output pipe open until the run ends.
    if (argc == 3 && strcmp(argv[1], "--hold-console") == 0) {
        Sleep(static_cast<DWORD>(atol(argv[2])));
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
