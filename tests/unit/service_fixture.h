// Shared ground for the command service tests: the launcher state built by
// hand around two protocol pipes the test holds the child's ends of, the
// service run on a thread of its own with a bounded wait, and a log of the
// reads and writes the launcher makes (the fault layer routes them here).
#ifndef TARNELO_SERVICE_FIXTURE_H
#define TARNELO_SERVICE_FIXTURE_H

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "core/core.h"
#include "fault.h"
#include "harness.h"
#include "launcher_run.h"
#include "relay/relay.h"

namespace service_test {

const DWORD kWait = 10000;  // bound of every wait for the service or a pipe

// ---- Protocol records, little-endian words. ----

inline std::string Words(std::initializer_list<DWORD> words) {
    std::string bytes;
    for (DWORD word : words) {
        for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((word >> shift) & 0xFF);
    }
    return bytes;
}

inline std::string Request(DWORD command, DWORD argument) { return Words({command, argument}); }
inline std::string Result(DWORD ok, DWORD error, DWORD count) { return Words({ok, error, count}); }
inline std::string Write(DWORD command, const std::string& data) {
    return Request(command, static_cast<DWORD>(data.size())) + data;
}

// Deterministic binary data with NUL, CR, LF, ^Z and 0xFF all over it.
inline std::string Pattern(size_t size, unsigned seed) {
    static const char kSpecial[] = {'\0', '\r', '\n', '\x1a', '\xff'};
    std::string bytes(size, '\0');
    unsigned x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = (i % 7 == 3) ? kSpecial[(i / 7) % 5] : static_cast<char>(x >> 23);
    }
    return bytes;
}

// The first argument of a recorded call, for comparison with a handle.
inline UINT_PTR Arg(HANDLE handle) { return reinterpret_cast<UINT_PTR>(handle); }

// The calls of `call` made on `handle` (their first argument).
inline std::vector<fault::Record> RecordsOn(fault::Call call, HANDLE handle) {
    std::vector<fault::Record> on;
    for (const fault::Record& record : fault::Records(call)) {
        if (record.args[0] == Arg(handle)) on.push_back(record);
    }
    return on;
}

// Each SetConsoleMode the service made, in order: all on `input`, with these modes.
inline void ExpectModeSwitches(HANDLE input, const std::vector<DWORD>& modes) {
    const std::vector<fault::Record> sets = fault::Records(fault::kSetConsoleMode);
    ASSERT_EQ(modes.size(), sets.size());
    for (size_t i = 0; i < sets.size(); ++i) {
        EXPECT_EQ(Arg(input), sets[i].args[0]);
        EXPECT_EQ(modes[i], sets[i].args[1]) << "switch " << i;
    }
}

// ---- Pipes and files the test holds. ----

// `count` bytes from a pipe, or what came before the bound ran out. Anonymous
// pipes have no waitable readiness, so this polls.
inline std::string ReadWithin(HANDLE pipe, size_t count, DWORD timeoutMs = kWait) {
    std::string bytes;
    WaitUntil(
        [&] {
            DWORD available = 0, got = 0;
            if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL)) return true;  // broken: nothing more comes
            std::string chunk(std::min<size_t>(count - bytes.size(), available), '\0');
            if (!chunk.empty() && ReadFile(pipe, &chunk[0], static_cast<DWORD>(chunk.size()), &got, NULL)) {
                bytes.append(chunk.data(), got);
            }
            return bytes.size() >= count;
        },
        timeoutMs);
    return bytes;
}

inline DWORD Available(HANDLE pipe) {
    DWORD available = 0;
    return PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) ? available : 0;
}

// The error a write gets from a pipe whose reader has gone, as this platform
// gives it (232 on Windows and Wine).
inline DWORD BrokenWriteError() {
    Pipe pipe(0);
    pipe.CloseRead();
    DWORD written = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(WriteFile(pipe.write, "x", 1, &written, NULL));
    return GetLastError();
}

// Points stdout, stderr and the console output device at three pipes, so a
// byte that goes to the wrong one shows.
struct Destinations {
    Pipe out, err, console;
    Destinations() {
        g_state.stdoutHandle = out.write;
        g_state.stderrHandle = err.write;
        g_state.consoleOutput = console.write;
    }
    Pipe& For(DWORD command) { return command == CMD_WRITE_STDOUT ? out : command == CMD_WRITE_STDERR ? err : console; }
};

// Files SourceFile opened: the fixture closes them when the case ends.
inline std::vector<HANDLE> g_sources;

// A file with the given bytes, opened for reading from its start.
inline HANDLE SourceFile(const std::string& name, const std::string& bytes) {
    std::string path = TestDir() + "\\" + name;
    WriteFileBytes(path, bytes);
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, file) << path;
    g_sources.push_back(file);
    return file;
}

// ---- Transfer log: every ReadFile/WriteFile of the launcher, in order. ----

struct Transfer {
    bool write;
    HANDLE handle;
    const void* buffer;
    DWORD asked;
    DWORD moved;
};

inline std::mutex g_logMutex;
inline std::vector<Transfer> g_log;
// Most bytes one call may move on a handle: a pipe or device that takes or
// yields less than asked. Set before the launcher's threads run.
inline std::map<HANDLE, DWORD> g_readCaps;
inline std::map<HANDLE, DWORD> g_writeCaps;

inline DWORD Capped(const std::map<HANDLE, DWORD>& caps, HANDLE handle, DWORD count) {
    auto cap = caps.find(handle);
    return (cap != caps.end() && count > cap->second) ? cap->second : count;
}

// The platform's ReadFile (LPVOID) or WriteFile (LPCVOID), capped and logged.
template <typename Buffer>
BOOL WINAPI LoggedTransfer(HANDLE handle, Buffer buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    constexpr bool kWrite = std::is_same<Buffer, LPCVOID>::value;
    BOOL ok = kWrite ? ::WriteFile(handle, buffer, Capped(g_writeCaps, handle, count), moved, overlapped)
                     : ::ReadFile(handle, const_cast<LPVOID>(static_cast<LPCVOID>(buffer)),
                                  Capped(g_readCaps, handle, count), moved, overlapped);
    DWORD error = GetLastError();
    {
        std::lock_guard<std::mutex> hold(g_logMutex);
        g_log.push_back(Transfer{kWrite, handle, buffer, count, moved != NULL ? *moved : 0});
    }
    SetLastError(error);
    return ok;
}

inline std::vector<Transfer> LoggedTransfers() {
    std::lock_guard<std::mutex> hold(g_logMutex);
    return g_log;
}

// Routes the launcher's ReadFile/WriteFile through the transfer log.
inline void LogTransfers() {
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(&LoggedTransfer<LPVOID>));
    fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(&LoggedTransfer<LPCVOID>));
}

// ---- The fixture. ----

class ServiceTest : public ::testing::Test {
protected:
    Pipe requests_;  // child->parent: the test writes requests and write data
    Pipe results_;   // parent->child: the test reads results and read data
    Pipe out_;       // stdout, unless a case points it elsewhere
    std::unique_ptr<StderrCapture> reports_;  // stderr, likewise
    HANDLE relayWrite_ = NULL;

    void SetUp() override {
        launcher_run::Enter(launcher_run::kHoldBuffer | launcher_run::kHoldLock);
        g_state.currentProcess = GetCurrentProcess();
        Bind();
    }

    // A fresh conversation for the next case of a table: fresh state, new
    // protocol pipes, stdout and stderr, no fault rules, hooks, caps or log.
    void Renew() {
        ASSERT_EQ(NULL, thread_);
        TearDown();
        requests_.Reopen();
        results_.Reopen();
        out_.Reopen();
        SetUp();
    }

    void TearDown() override {
        if (thread_ != NULL) Finish();
        StopRelay();
        Disown();
        launcher_run::Leave();  // no fault rule or hook outlives the test
    }

    // ServeCommands on a thread of its own, so that every wait stays bounded.
    void Start() {
        ASSERT_EQ(NULL, thread_);
        served_ = 0xDEADBEEF;
        thread_ = CreateThread(NULL, 0, ServiceMain, this, 0, NULL);
        ASSERT_NE(static_cast<HANDLE>(NULL), thread_);
    }

    // Waits for ServeCommands to return and gives its result. A service that
    // hangs fails the test; its pipes are broken to get it out.
    DWORD Finish(DWORD timeoutMs = kWait) {
        if (thread_ == NULL) return served_;
        if (WaitForSingleObject(thread_, timeoutMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the command service did not end within " << timeoutMs << " ms";
            requests_.CloseWrite();
            results_.CloseRead();
            if (WaitForSingleObject(thread_, 3000) != WAIT_OBJECT_0) TerminateThread(thread_, 1);
        }
        Drop(thread_);
        return served_;
    }

    // The whole conversation at once: the script, then the child's end closed.
    DWORD Run(const std::string& script) {
        Send(script);
        requests_.CloseWrite();
        Start();
        return Finish();
    }

    // Run(script), which must end as `report` says: with that report, or
    // by itself when it is empty; the service must have sent exactly
    // `answers` and written exactly `out` to out_.
    void ExpectRun(const std::string& script, const std::string& report, const std::string& answers,
                   const std::string& out) {
        const bool stops = !report.empty();
        EXPECT_EQ(stops ? 0u : 1u, Run(script));
        EXPECT_EQ(report, reports_->Take());
        EXPECT_EQ(stops ? 1u : 0u, g_state.failureExitCode.load());
        EXPECT_TRUE(SameBytes(answers, Answers()));
        EXPECT_EQ(out, TakeAvailable(out_.read));
    }

    void Send(const std::string& bytes) { EXPECT_TRUE(WriteAll(requests_.write, bytes)); }

    // Everything the service sent back that is still unread.
    std::string Answers() { return results_.read != NULL ? TakeAvailable(results_.read) : std::string(); }

    // The stdout console output thread, copying to `destination`; returns the
    // write end the child would get. The relay hands that end to the "child",
    // which is this process here, so the value is a handle we can write to.
    HANDLE StartStdoutRelay(HANDLE destination) {
        g_state.child.hProcess = GetCurrentProcess();
        DWORD childEnd = 0;
        BOOL started = StartOutputRelay(&g_state.stdoutRelayThread, &g_state.stdoutRelay, destination, &childEnd);
        g_state.child.hProcess = NULL;  // the service's end-of-run wait must not wait on ourselves
        EXPECT_TRUE(started);
        relayWrite_ = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(childEnd));
        return relayWrite_;
    }

    // Breaks the relay pipe and waits for its thread to end.
    void StopRelay() {
        Drop(relayWrite_);
        if (g_state.stdoutRelayThread == NULL) return;
        if (WaitForSingleObject(g_state.stdoutRelayThread, kWait) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the console output thread did not end";
            TerminateThread(g_state.stdoutRelayThread, 1);
        }
        Drop(g_state.stdoutRelayThread);
        Drop(g_state.stdoutRelay.readEnd);
    }

private:
    // Takes the handles the cases own (pipes, files, a stand-in child) out
    // of the state, so that only what SetUp acquired is left to release.
    void Disown() {
        g_state.stdinHandle = g_state.stdoutHandle = g_state.stderrHandle = NULL;
        g_state.consoleInput = g_state.consoleOutput = NULL;
        g_state.childToParentRead = g_state.parentToChildWrite = NULL;
        g_state.child.hProcess = NULL;
        for (HANDLE& file : g_sources) Drop(file);
        g_sources.clear();
    }

    void Bind() {
        {
            std::lock_guard<std::mutex> hold(g_logMutex);
            g_log.clear();
        }
        g_readCaps.clear();
        g_writeCaps.clear();
        g_state.childToParentRead = requests_.read;
        g_state.parentToChildWrite = results_.write;
        g_state.stdoutHandle = out_.write;
        reports_.reset(new StderrCapture());
    }

    static DWORD WINAPI ServiceMain(LPVOID self) {
        g_state.mainThreadId = GetCurrentThreadId();
        static_cast<ServiceTest*>(self)->served_ = ServeCommands();
        return 0;
    }

    HANDLE thread_ = NULL;
    DWORD served_ = 0xDEADBEEF;
};

}  // namespace service_test

#endif
