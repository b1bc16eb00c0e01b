// Console output threads in-process: the child's write end is duplicated
// into this very process, so the test plays the child and reads what the
// relay passes on from a pipe standing in for the console.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/core.h"
#include "fault.h"
#include "harness.h"
#include "launcher_run.h"
#include "relay/relay.h"
#include "service_fixture.h"

namespace {

using service_test::Arg;

// Whether each destination write was made while its thread held the lock.
std::vector<bool> g_writesUnderLock;
SRWLOCK g_writesGuard = SRWLOCK_INIT;

BOOL WINAPI WriteCheckingLock(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    const bool held = g_state.outputLock.OwningThread == reinterpret_cast<HANDLE>(
                                                             static_cast<UINT_PTR>(GetCurrentThreadId()));
    AcquireSRWLockExclusive(&g_writesGuard);
    g_writesUnderLock.push_back(held);
    ReleaseSRWLockExclusive(&g_writesGuard);
    return ::WriteFile(file, bytes, count, written, overlapped);
}

// A pipe read that delivers its bytes but says there are more.
BOOL WINAPI ReadSayingMoreData(HANDLE file, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    if (!::ReadFile(file, bytes, count, read, overlapped)) return FALSE;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

// Fresh state in which this process is the child too: the write ends come to us.
void PlayTheChild(unsigned holding) {
    launcher_run::Enter(holding);
    g_state.currentProcess = GetCurrentProcess();
    g_state.child.hProcess = GetCurrentProcess();
}

// A stdout relay towards `destination`; gives back the child's write end
// (NULL when the relay did not start).
HANDLE StartRelay(HANDLE destination) {
    DWORD word = 0;
    if (!StartOutputRelay(&g_state.stdoutRelayThread, &g_state.stdoutRelay, destination, &word)) return NULL;
    return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(word));
}

class OutputRelayThread : public ::testing::Test {
protected:
    void SetUp() override {
        PlayTheChild(launcher_run::kHoldLock);
        ASSERT_NE(nullptr, destination_.write);
    }

    // Leave() waits for the relay, which must end now that no write end is left.
    void TearDown() override {
        Drop(childWrite_);
        launcher_run::Leave();
        g_writesUnderLock.clear();
    }

    void Start() {
        childWrite_ = StartRelay(destination_.write);
        ASSERT_NE(nullptr, childWrite_);
        ASSERT_NE(nullptr, g_state.stdoutRelayThread);
        buffer_ = g_state.stdoutRelay.buffer;
    }

    void ChildWrites(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(childWrite_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL));
        ASSERT_EQ(bytes.size(), written);
    }

    // The child is done: its end closes and the relay must see the pipe break.
    void ChildCloses() { Drop(childWrite_); }

    bool ThreadEnded() { return WaitForSingleObject(g_state.stdoutRelayThread, 5000) == WAIT_OBJECT_0; }

    // What the destination received once it has `count` bytes, or by the
    // bound: bytes beyond `count` come too, so the callers' checks see them.
    std::string DestinationReceives(size_t count) {
        std::string got;
        WaitUntil([&] {
            got += TakeAvailable(destination_.read);
            return got.size() >= count;
        });
        return got;
    }

    bool BufferFreed() { return !service_test::RecordsOn(fault::kLocalFree, buffer_).empty(); }

    Pipe destination_{1 << 16};
    HANDLE childWrite_ = NULL;
    BYTE* buffer_ = NULL;
};

TEST_F(OutputRelayThread, ThousandBytesArriveInOrderInLockedPiecesOfAtMost256) {
    fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(WriteCheckingLock));
    Start();
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7 % 251);
    ChildWrites(bytes);
    EXPECT_EQ(bytes, DestinationReceives(bytes.size()));
    ChildCloses();
    ASSERT_TRUE(ThreadEnded());

    const std::vector<fault::Record> writes = fault::Records(fault::kWriteFile);
    ASSERT_GE(writes.size(), 4u);
    DWORD total = 0;
    for (const fault::Record& write : writes) {
        EXPECT_EQ(Arg(destination_.write), write.args[0]);
        EXPECT_LE(write.args[2], 256u);
        EXPECT_GT(write.args[2], 0u);
        total += static_cast<DWORD>(write.args[2]);
    }
    EXPECT_EQ(1000u, total);
    ASSERT_EQ(writes.size(), g_writesUnderLock.size());
    for (size_t i = 0; i < g_writesUnderLock.size(); ++i) EXPECT_TRUE(g_writesUnderLock[i]) << "write " << i;
    EXPECT_TRUE(BufferFreed());
}

TEST_F(OutputRelayThread, ReadEndingInMoreDataIsWrittenAndReadingGoesOn) {
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(ReadSayingMoreData));
    Start();
    ChildWrites("first part");
    EXPECT_EQ("first part", DestinationReceives(10));
    ChildWrites("second part");
    EXPECT_EQ("second part", DestinationReceives(11));
    ChildCloses();
    EXPECT_TRUE(ThreadEnded());
}

TEST_F(OutputRelayThread, ReadMovingNothingWritesNothingAndReadingGoesOn) {
    fault::ZeroBytes(fault::kReadFile, 0, 1, 0);
    Start();
    ChildWrites("after");
    EXPECT_EQ("after", DestinationReceives(5));
    ChildCloses();
    EXPECT_TRUE(ThreadEnded());
    EXPECT_GE(fault::Records(fault::kReadFile).size(), 2u);
    for (const fault::Record& write : fault::Records(fault::kWriteFile)) EXPECT_GT(write.args[2], 0u);
}

TEST_F(OutputRelayThread, BytesTheDestinationRefusesAreLostAndTheNextArrive) {
    fault::Fail(fault::kWriteFile, ERROR_ACCESS_DENIED, 0, 1, Arg(destination_.write));
    Start();
    ChildWrites("refused");
    ASSERT_TRUE(WaitUntil([] { return fault::Count(fault::kWriteFile) >= 1; }));
    ChildWrites("accepted");
    EXPECT_EQ("accepted", DestinationReceives(8));
    ChildCloses();
    ASSERT_TRUE(ThreadEnded());
    EXPECT_EQ(0u, service_test::Available(destination_.read));
    EXPECT_EQ(2, fault::Count(fault::kWriteFile));
}

TEST_F(OutputRelayThread, DataArrivingAfterTheFlagIsClearedIsDropped) {
    Start();
    // The thread has passed its first check of the flag and is in its read.
    ASSERT_TRUE(WaitUntil([] { return fault::Count(fault::kReadFile) >= 1; }));
    g_state.relaysStopping = TRUE;
    ChildWrites("too late");
    ASSERT_TRUE(ThreadEnded());
    EXPECT_EQ(0, fault::Count(fault::kWriteFile));
    EXPECT_EQ(0u, service_test::Available(destination_.read));
    EXPECT_EQ(1, fault::Count(fault::kReadFile));
    EXPECT_TRUE(BufferFreed());
}

TEST_F(OutputRelayThread, PipeNeverWrittenEndsWithoutAWriteWhenTheChildCloses) {
    Start();
    ChildCloses();
    ASSERT_TRUE(ThreadEnded());
    DWORD code = 0xdeadbeef;
    EXPECT_TRUE(GetExitCodeThread(g_state.stdoutRelayThread, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0, fault::Count(fault::kWriteFile));
    EXPECT_TRUE(BufferFreed());
}

// A console that takes its time: each write waits a little before it lands.
BOOL WINAPI SlowWrite(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    Sleep(30);
    return ::WriteFile(file, bytes, count, written, overlapped);
}

const DWORD kRelayedExit = 42;

// 16 pieces of 256 bytes, each of its own letter.
std::string SixteenPieces() {
    std::string bytes;
    for (int i = 0; i < 16 * 256; ++i) bytes += static_cast<char>('a' + i / 256);
    return bytes;
}

// The child writes 16 pieces through a relay whose destination is slow,
// so some are still in the pipe when its end closes; then Shutdown runs.
__declspec(noreturn) void ChildWritesAndEnds(const std::string& destinationPath) {
    PlayTheChild(launcher_run::kHoldMainThread | launcher_run::kHoldLock);
    HANDLE destination = CreateFileA(destinationPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    HANDLE childWrite = destination == INVALID_HANDLE_VALUE ? NULL : StartRelay(destination);
    if (childWrite == NULL) ::ExitProcess(1);
    // The child is gone by the time Shutdown runs: nothing to wait for but the relay.
    g_state.child.hProcess = NULL;
    fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(SlowWrite));
    const std::string bytes = SixteenPieces();
    for (size_t done = 0; done < bytes.size(); done += 256) {
        DWORD written = 0;
        if (!::WriteFile(childWrite, bytes.data() + done, 256, &written, NULL)) ::ExitProcess(2);
    }
    CloseHandle(childWrite);
    g_state.childExitSeen = TRUE;
    g_state.childExitCode = kRelayedExit;
    Shutdown();
}

TEST(RelayAtShutdownDeathTest, BytesStillInThePipeWhenTheChildEndsAreWrittenBeforeExit) {
    const std::string path = TestDir() + "\\relayed.bin";
    EXPECT_EXIT(ChildWritesAndEnds(path), ::testing::ExitedWithCode(kRelayedExit), "");
    const std::string relayed = ReadFileBytes(path);
    EXPECT_EQ(4096u, relayed.size());
    EXPECT_EQ(SixteenPieces(), relayed);
}

}  // namespace
