// The output lock between the command service and the console output
// threads: taken for each console chunk and nothing else.
#include <set>
#include <thread>

#include "service_fixture.h"

namespace service_test {
namespace {

using ServiceLock = ServiceTest;

TEST_F(ServiceLock, IsTakenOnlyForWritesToAConsoleDestination) {
    struct Case {
        const char* name;
        DWORD command;
        BOOL stdoutIsConsole, stderrIsConsole;
        bool locks;
    };
    const Case cases[] = {
        {"read stdin", CMD_READ_STDIN, TRUE, TRUE, false},
        {"read console", CMD_READ_CONSOLE, TRUE, TRUE, false},
        {"stdout, not a console", CMD_WRITE_STDOUT, FALSE, TRUE, false},
        {"stdout, a console", CMD_WRITE_STDOUT, TRUE, FALSE, true},
        {"stderr, not a console", CMD_WRITE_STDERR, TRUE, FALSE, false},
        {"stderr, a console", CMD_WRITE_STDERR, FALSE, TRUE, true},
        {"console output device", CMD_WRITE_CONSOLE, FALSE, FALSE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Renew();
        g_state.stderrHandle = g_state.consoleOutput = out_.write;
        g_state.stdinHandle = g_state.consoleInput = SourceFile("in.txt", "input");
        g_state.stdoutIsConsole = c.stdoutIsConsole;
        g_state.stderrIsConsole = c.stderrIsConsole;
        const bool reads = c.command == CMD_READ_STDIN || c.command == CMD_READ_CONSOLE;
        const std::string answer = reads ? Result(1, 0, 5) + "input" : Result(1, 0, 0);

        EnterCriticalSection(&g_state.outputLock);  // as a console output thread in mid-write
        Start();
        Send(reads ? Request(c.command, 0) : Write(c.command, "data"));
        if (c.locks) {
            // Blocked on the lock: neither the bytes nor the answer may come yet.
            EXPECT_EQ("", ReadWithin(results_.read, 12, 300));
            EXPECT_EQ(0u, Available(out_.read));
            LeaveCriticalSection(&g_state.outputLock);
            EXPECT_EQ(answer, ReadWithin(results_.read, answer.size()));
        } else {
            EXPECT_EQ(answer, ReadWithin(results_.read, answer.size()));
            LeaveCriticalSection(&g_state.outputLock);
        }
        requests_.CloseWrite();
        EXPECT_EQ(1u, Finish());
        EXPECT_EQ(reads ? "" : "data", TakeAvailable(out_.read));
    }
}

TEST_F(ServiceLock, IsFreeWhileTheServiceWaitsForTheChildOrForInput) {
    Pipe in;
    g_state.stdoutIsConsole = TRUE;
    g_state.stdinHandle = in.read;
    HANDLE relay = StartStdoutRelay(out_.write);
    const std::string data = Pattern(8192, 41);
    Start();

    // Waiting for a request.
    ASSERT_TRUE(WriteAll(relay, "relay while idle"));
    EXPECT_EQ("relay while idle", ReadWithin(out_.read, 16));

    // Waiting for the second chunk of a write whose first chunk is out.
    Send(Request(CMD_WRITE_STDOUT, 8192) + data.substr(0, 4096));
    EXPECT_TRUE(SameBytes(data.substr(0, 4096), ReadWithin(out_.read, 4096)));
    ASSERT_TRUE(WriteAll(relay, "relay between chunks"));
    EXPECT_EQ("relay between chunks", ReadWithin(out_.read, 20));
    Send(data.substr(4096));
    EXPECT_EQ(Result(1, 0, 0), ReadWithin(results_.read, 12));
    EXPECT_TRUE(SameBytes(data.substr(4096), ReadWithin(out_.read, 4096)));

    // Waiting for a line of input.
    Send(Request(CMD_READ_STDIN, 0));
    ASSERT_TRUE(WriteAll(relay, "relay during a read"));
    EXPECT_EQ("relay during a read", ReadWithin(out_.read, 19));
    ASSERT_TRUE(WriteAll(in.write, "line\r\n"));
    EXPECT_EQ(Result(1, 0, 6) + "line\r\n", ReadWithin(results_.read, 18));

    requests_.CloseWrite();
    EXPECT_EQ(1u, Finish());
}

// Logs the write and then lets another thread run: the service and the
// relay take turns as often as the lock allows.
BOOL WINAPI YieldingWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    BOOL ok = LoggedTransfer<LPCVOID>(handle, buffer, count, moved, overlapped);
    DWORD error = GetLastError();
    SwitchToThread();
    SetLastError(error);
    return ok;
}

TEST_F(ServiceLock, KeepsEachServiceChunkAndEachRelayPieceWhole) {
    // A destination that takes 64 bytes per call, so a chunk or a relay
    // piece needs many writes: only the lock keeps others out in between.
    // Service bytes are below 0x80, relay bytes above, to tell them apart.
    g_state.stdoutIsConsole = TRUE;
    g_writeCaps[out_.write] = 64;
    LogTransfers();
    fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(&YieldingWriteFile));
    HANDLE relay = StartStdoutRelay(out_.write);

    std::string service = Pattern(65536, 51), relayed = Pattern(65536, 52);
    for (char& c : service) c = static_cast<char>(c & 0x7F);
    for (char& c : relayed) c = static_cast<char>(c | 0x80);
    ASSERT_TRUE(WriteAll(requests_.write, Write(CMD_WRITE_STDOUT, service)));
    requests_.CloseWrite();

    // The relay is already busy when the service starts.
    std::thread child([&] {
        for (size_t at = 0; at < relayed.size(); at += 256) WriteAll(relay, relayed.substr(at, 256));
    });
    std::string out = ReadWithin(out_.read, 1);
    EXPECT_EQ(1u, out.size());
    Start();
    EXPECT_EQ(1u, Finish());
    child.join();
    out += ReadWithin(out_.read, service.size() + relayed.size() - out.size());
    EXPECT_TRUE(SameBytes(Result(1, 0, 0), Answers()));

    // Where each chunk (service) and each piece (relay) ends, in its own stream.
    std::set<size_t> chunkEnds, pieceEnds;
    size_t chunked = 0, pieced = 0;
    for (const Transfer& t : LoggedTransfers()) {
        if (t.write || t.moved == 0) continue;
        if (t.handle == requests_.read && t.buffer == g_state.primaryBuffer) chunkEnds.insert(chunked += t.moved);
        if (t.handle == g_state.stdoutRelay.readEnd) pieceEnds.insert(pieced += t.moved);
    }
    ASSERT_EQ(service.size(), chunked);
    ASSERT_EQ(relayed.size(), pieced);

    std::string fromService, fromRelay;
    int runs = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const bool isRelay = (out[i] & 0x80) != 0;
        const bool switched = i > 0 && isRelay != ((out[i - 1] & 0x80) != 0);
        // The run that just ended must end where a chunk or piece ends.
        if (switched && isRelay) {
            EXPECT_EQ(1u, chunkEnds.count(fromService.size())) << "service chunk split at " << fromService.size();
        } else if (switched) {
            EXPECT_EQ(1u, pieceEnds.count(fromRelay.size())) << "relay piece split at " << fromRelay.size();
        }
        if (i == 0 || switched) ++runs;
        (isRelay ? fromRelay : fromService) += out[i];
    }
    EXPECT_TRUE(SameBytes(service, fromService));
    EXPECT_TRUE(SameBytes(relayed, fromRelay));
    // The two writers must really have overlapped, or nothing was shown.
    EXPECT_GT(runs, 2);
}

}  // namespace
}  // namespace service_test
