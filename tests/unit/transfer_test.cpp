// Exact transfers: whole counts over several platform calls, and the errors a
// caller sees when a handle moves nothing or breaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/core.h"
#include "fault.h"
#include "harness.h"
#include "report/report.h"
#include "service_fixture.h"

namespace {

using service_test::Pattern;

// A handle that moves at most `kCap` bytes per call, as a pipe with a full
// buffer does, and claims `kExtra` more than it moved.
template <DWORD kCap, DWORD kExtra>
BOOL WINAPI ShapedWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    BOOL ok = WriteFile(handle, bytes, std::min(count, kCap), written, overlapped);
    *written += kExtra;
    return ok;
}

template <DWORD kCap, DWORD kExtra>
BOOL WINAPI ShapedReadFile(HANDLE handle, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    BOOL ok = ReadFile(handle, bytes, std::min(count, kCap), read, overlapped);
    *read += kExtra;
    return ok;
}

const DWORD kWriteCap = 4096;
const DWORD kReadCap = 7;
const DWORD kWhole = 0xFFFFFFFF;

HANDLE g_afterRead;

BOOL WINAPI SignallingReadFile(HANDLE handle, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    BOOL ok = ReadFile(handle, bytes, count, read, overlapped);
    SetEvent(g_afterRead);
    return ok;
}

class ExactTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLauncherState();
        ASSERT_NE(nullptr, pipe_.read);
    }
    void TearDown() override { fault::Reset(); }
    Pipe pipe_{1 << 16};
};

TEST_F(ExactTransfer, ZeroCountMakesNoCallEvenOnInvalidHandles) {
    char byte = 0;
    for (HANDLE handle : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(NULL)}) {
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(WriteExact(handle, &byte, 0));
        EXPECT_TRUE(ReadExact(handle, &byte, 0));
        EXPECT_EQ(0xdeadbeefu, GetLastError());
    }
    EXPECT_EQ(0, fault::Count(fault::kWriteFile));
    EXPECT_EQ(0, fault::Count(fault::kReadFile));
}

TEST_F(ExactTransfer, WriteCompletesOverSeveralPartialCalls) {
    // Each size and the counts its calls ask for.
    const std::pair<DWORD, std::vector<DWORD>> kCases[] = {
        {4096, {4096}},
        {4097, {4097, 1}},
        {5000, {5000, 904}},
        {12289, {12289, 8193, 4097, 1}},
    };
    for (const auto& [size, asked] : kCases) {
        SCOPED_TRACE(size);
        fault::Reset();
        fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(ShapedWriteFile<kWriteCap, 0>));
        std::string data = Pattern(size, 1);
        ASSERT_TRUE(WriteExact(pipe_.write, data.data(), size));
        std::vector<fault::Record> calls = fault::Records(fault::kWriteFile);
        ASSERT_EQ(asked.size(), calls.size());
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(asked[i], calls[i].args[2]) << "call " << i;
            // Each call starts where the previous one stopped.
            EXPECT_EQ(reinterpret_cast<UINT_PTR>(data.data()) + (size - asked[i]), calls[i].args[1]) << "call " << i;
            EXPECT_EQ(0u, calls[i].args[4]) << "overlapped";
        }
        EXPECT_EQ(data, TakeAvailable(pipe_.read));
    }
}

TEST_F(ExactTransfer, ReadCompletesOverSeveralPartialCalls) {
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(ShapedReadFile<kReadCap, 0>));
    std::string data = Pattern(20, 1);
    ASSERT_TRUE(WriteAll(pipe_.write, data));
    std::string into(20, '\0');
    ASSERT_TRUE(ReadExact(pipe_.read, &into[0], 20));
    EXPECT_EQ(data, into);
    std::vector<fault::Record> calls = fault::Records(fault::kReadFile);
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(20u, calls[0].args[2]);
    EXPECT_EQ(13u, calls[1].args[2]);
    EXPECT_EQ(6u, calls[2].args[2]);
}

TEST_F(ExactTransfer, CountsPastWhatWasAskedEndTheTransferWithoutOverrun) {
    fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(ShapedWriteFile<kWhole, 100>));
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(ShapedReadFile<kWhole, 100>));
    std::string data = Pattern(20, 1);
    ASSERT_TRUE(WriteExact(pipe_.write, data.data(), 20));
    std::string into(21, '\x5A');
    ASSERT_TRUE(ReadExact(pipe_.read, &into[0], 20));
    EXPECT_EQ(data + '\x5A', into);
    EXPECT_EQ(1u, fault::Records(fault::kWriteFile).size());
    EXPECT_EQ(1u, fault::Records(fault::kReadFile).size());
}

TEST_F(ExactTransfer, ReadWaitsForBytesThatArriveLater) {
    // A real pipe hands over what it holds; the rest is written only after
    // the transfer's first read has returned.
    std::string data = Pattern(300, 1);
    g_afterRead = CreateEventA(NULL, FALSE, FALSE, NULL);
    fault::Replace(fault::kReadFile, reinterpret_cast<void*>(SignallingReadFile));
    ASSERT_TRUE(WriteAll(pipe_.write, data.substr(0, 150)));
    std::thread writer([&] {
        if (WaitForSingleObject(g_afterRead, 5000) == WAIT_OBJECT_0) WriteAll(pipe_.write, data.substr(150));
    });
    std::string into(300, '\0');
    EXPECT_TRUE(ReadExact(pipe_.read, &into[0], 300));
    writer.join();
    CloseHandle(g_afterRead);
    EXPECT_EQ(data, into);
    std::vector<fault::Record> calls = fault::Records(fault::kReadFile);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(300u, calls[0].args[2]);
    EXPECT_EQ(150u, calls[1].args[2]);
}

TEST_F(ExactTransfer, ZeroBytesMovedFailsWithItsOwnCode) {
    char bytes[16] = {};
    fault::ZeroBytes(fault::kWriteFile);
    SetLastError(0);
    EXPECT_FALSE(WriteExact(pipe_.write, bytes, sizeof bytes));
    EXPECT_EQ(ERROR_ZERO_BYTES_WRITTEN, GetLastError());
    EXPECT_EQ(1, fault::Count(fault::kWriteFile)) << "no retry after zero bytes";

    // Bytes are waiting: a transfer that went on after zero bytes would
    // succeed instead of blocking.
    ASSERT_TRUE(WriteAll(pipe_.write, std::string(bytes, sizeof bytes)));
    fault::ZeroBytes(fault::kReadFile);
    SetLastError(0);
    EXPECT_FALSE(ReadExact(pipe_.read, bytes, sizeof bytes));
    EXPECT_EQ(ERROR_ZERO_BYTES_READ, GetLastError());
    EXPECT_EQ(1, fault::Count(fault::kReadFile));
}

TEST_F(ExactTransfer, ZeroBytesAfterAPartialWriteStillFails) {
    fault::Replace(fault::kWriteFile, reinterpret_cast<void*>(ShapedWriteFile<kWriteCap, 0>));
    fault::ZeroBytes(fault::kWriteFile, 1);
    std::string data = Pattern(5000, 1);
    EXPECT_FALSE(WriteExact(pipe_.write, data.data(), 5000));
    EXPECT_EQ(ERROR_ZERO_BYTES_WRITTEN, GetLastError());
    EXPECT_EQ(2, fault::Count(fault::kWriteFile));
}

TEST_F(ExactTransfer, PlatformFailureKeepsThePlatformError) {
    char bytes[4] = {};
    fault::Fail(fault::kWriteFile, ERROR_NO_DATA);
    EXPECT_FALSE(WriteExact(pipe_.write, bytes, sizeof bytes));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_DATA), GetLastError());
    fault::Fail(fault::kReadFile, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadExact(pipe_.read, bytes, sizeof bytes));
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
}

TEST_F(ExactTransfer, ReadFromPipeWhoseWriterClosedLeavesBrokenPipe) {
    ASSERT_TRUE(WriteAll(pipe_.write, "abcde"));
    pipe_.CloseWrite();
    char bytes[10] = {};
    EXPECT_FALSE(ReadExact(pipe_.read, bytes, sizeof bytes));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), GetLastError());
    EXPECT_EQ(std::string("abcde"), std::string(bytes, 5)) << "the bytes before the break were taken";
}

TEST_F(ExactTransfer, WriteToPipeWhoseReaderClosedFails) {
    pipe_.CloseRead();
    char bytes[4] = {};
    EXPECT_FALSE(WriteExact(pipe_.write, bytes, sizeof bytes));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_DATA), GetLastError());
}

}  // namespace
