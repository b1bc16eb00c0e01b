// The data commands. A write moves its data byte for byte, chunk by chunk,
// from the child->parent pipe to stdout, stderr or the console output
// device; a read makes one platform read of stdin or the console input,
// answered with a result and exactly the bytes that read delivered.
#include "report/report.h"
#include "service_fixture.h"

namespace service_test {
namespace {

const size_t kSizes[] = {0, 1, 255, 256, 257, 4095, 4096, 4097, 10000, (3u << 20) + 17};

using ServiceWrite = ServiceTest;

TEST_F(ServiceWrite, PassesEveryByteUnchangedAndAnswersOncePerRequest) {
    for (DWORD command : {CMD_WRITE_STDOUT, CMD_WRITE_STDERR, CMD_WRITE_CONSOLE}) {
        SCOPED_TRACE("command " + std::to_string(command));
        Renew();
        Destinations destinations;
        std::string script, expected, answers;
        size_t chunks = 0;
        unsigned seed = 0;
        for (size_t size : kSizes) {
            const std::string data = Pattern(size, ++seed);
            script += Write(command, data);
            expected += data;
            answers += Result(1, 0, 0);
            chunks += (size + 4095) / 4096;
        }

        ASSERT_EQ(1u, Run(script));

        EXPECT_TRUE(SameBytes(answers, Answers()));
        const std::string out = TakeAvailable(destinations.For(command).read);
        size_t offset = 0;
        for (size_t size : kSizes) {
            SCOPED_TRACE("request of " + std::to_string(size) + " bytes");
            EXPECT_TRUE(SameBytes(expected.substr(offset, size), out.substr(offset, size)));
            offset += size;
        }
        EXPECT_EQ(expected.size(), out.size());
        // The other two destinations got nothing.
        EXPECT_EQ(0u, Available(destinations.out.read) + Available(destinations.err.read) +
                          Available(destinations.console.read));

        // Never more than 4096 bytes per write to the destination, one write per chunk.
        const std::vector<fault::Record> writes = RecordsOn(fault::kWriteFile, destinations.For(command).write);
        for (const fault::Record& record : writes) EXPECT_LE(record.args[2], 4096u);
        EXPECT_EQ(chunks, writes.size());
    }
}

TEST_F(ServiceWrite, WritesEachChunkBeforeReadingTheNext) {
    Destinations destinations;
    LogTransfers();
    const std::string data = Pattern(10000, 7);

    ASSERT_EQ(1u, Run(Write(CMD_WRITE_STDOUT, data)));

    struct Step {
        bool write;
        HANDLE handle;
        DWORD asked;
    };
    const Step expected[] = {
        {false, requests_.read, 8},           {false, requests_.read, 4096},
        {true, destinations.out.write, 4096}, {false, requests_.read, 4096},
        {true, destinations.out.write, 4096}, {false, requests_.read, 1808},
        {true, destinations.out.write, 1808}, {true, results_.write, 12},
        {false, requests_.read, 8},  // the broken pipe that ends the service
    };
    std::vector<Transfer> log = LoggedTransfers();
    ASSERT_EQ(sizeof expected / sizeof expected[0], log.size());
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE("transfer " + std::to_string(i));
        EXPECT_EQ(expected[i].write, log[i].write);
        EXPECT_EQ(expected[i].handle, log[i].handle);
        EXPECT_EQ(expected[i].asked, log[i].asked);
        if (expected[i].asked > 12) {
            EXPECT_EQ(g_state.primaryBuffer, log[i].buffer);
        }
    }
    EXPECT_TRUE(SameBytes(data, TakeAvailable(destinations.out.read)));
    EXPECT_TRUE(SameBytes(Result(1, 0, 0), Answers()));
}

TEST_F(ServiceWrite, TakesWhatEachReadDeliversAndNeverAsksPastTheRequest) {
    // A pipe that hands over at most 1000 bytes per read: the chunks are
    // whatever arrives, and no read may reach into the next request.
    Destinations destinations;
    g_readCaps[requests_.read] = 1000;
    LogTransfers();
    const std::string data = Pattern(10000, 8);

    ASSERT_EQ(1u, Run(Write(CMD_WRITE_STDOUT, data) + Write(CMD_WRITE_STDOUT, "tail")));

    EXPECT_TRUE(SameBytes(Result(1, 0, 0) + Result(1, 0, 0), Answers()));
    EXPECT_TRUE(SameBytes(data + "tail", TakeAvailable(destinations.out.read)));
    DWORD remaining = 10000;
    int dataReads = 0;
    for (const Transfer& t : LoggedTransfers()) {
        if (t.write || t.buffer != g_state.primaryBuffer || remaining == 0) continue;
        ++dataReads;
        EXPECT_EQ(remaining < 4096 ? remaining : 4096, t.asked);
        remaining -= t.moved;
    }
    EXPECT_EQ(10, dataReads);
}

TEST_F(ServiceWrite, AnswersAZeroCountAtOnceWithoutReadingData) {
    Destinations destinations;
    Start();
    Send(Request(CMD_WRITE_STDOUT, 0));
    // Were the service waiting for data, this answer would never come.
    EXPECT_EQ(Result(1, 0, 0), ReadWithin(results_.read, 12));
    Send(Write(CMD_WRITE_STDOUT, "abc"));
    EXPECT_EQ(Result(1, 0, 0), ReadWithin(results_.read, 12));
    requests_.CloseWrite();
    EXPECT_EQ(1u, Finish());

    EXPECT_EQ("abc", TakeAvailable(destinations.out.read));
    for (const fault::Record& record : RecordsOn(fault::kReadFile, requests_.read)) {
        if (record.args[2] != 8) {
            EXPECT_EQ(3u, record.args[2]) << "the only data read is the 3 bytes of the second request";
        }
    }
}

TEST_F(ServiceWrite, DrainsTheAnnouncedBytesAfterTheDestinationFailsAndGoesOn) {
    struct Case {
        const char* name;
        DWORD error;
        size_t delivered;  // bytes that reached stdout before the failure
        size_t writes;     // write calls on stdout: none after the failure
    };
    const Case cases[] = {
        {"reader gone", BrokenWriteError(), 0, 1},
        {"zero bytes written", ERROR_ZERO_BYTES_WRITTEN, 0, 1},
        {"second chunk fails", ERROR_ACCESS_DENIED, 4096, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Renew();
        Destinations destinations;
        const UINT_PTR out = Arg(destinations.out.write);
        if (c.error == ERROR_ZERO_BYTES_WRITTEN) {
            fault::ZeroBytes(fault::kWriteFile, 0, 1, out);
        } else if (c.delivered != 0) {
            fault::Fail(fault::kWriteFile, c.error, 1, 1, out);
        } else {
            destinations.out.CloseRead();
        }
        // All zeros: any of it taken for requests would be stdin reads, each
        // answered, so bytes left undrained cannot go unseen.
        const std::string data(10000, '\0');

        // The stderr request after it must be read as a request, not as data.
        ASSERT_EQ(1u, Run(Write(CMD_WRITE_STDOUT, data) + Write(CMD_WRITE_STDERR, "next")));

        EXPECT_TRUE(SameBytes(Result(0, c.error, 0) + Result(1, 0, 0), Answers()));
        EXPECT_EQ("next", TakeAvailable(destinations.err.read));
        if (destinations.out.read != NULL) {
            EXPECT_TRUE(SameBytes(data.substr(0, c.delivered), TakeAvailable(destinations.out.read)));
        }
        EXPECT_EQ(c.writes, RecordsOn(fault::kWriteFile, destinations.out.write).size());
    }
}

// ---- Reads ----

DWORD FilePosition(HANDLE file) { return SetFilePointer(file, 0, NULL, FILE_CURRENT); }

using ServiceRead = ServiceTest;

TEST_F(ServiceRead, AnswersOneReadOfAtMost4096ThenExactlyItsBytes) {
    for (DWORD command : {CMD_READ_STDIN, CMD_READ_CONSOLE}) {
        for (size_t size : {0, 10, 4096, 5000, 9000}) {
            SCOPED_TRACE("command " + std::to_string(command) + ", " + std::to_string(size) + " bytes");
            Renew();
            const std::string content = Pattern(size, 21);
            HANDLE read = SourceFile("read.bin", content);
            HANDLE other = SourceFile("other.bin", "must not be read");
            g_state.stdinHandle = command == CMD_READ_STDIN ? read : other;
            g_state.consoleInput = command == CMD_READ_CONSOLE ? read : other;

            // One read more than the file needs: the last finds the end of the file.
            std::string script, expected;
            for (size_t offset = 0, n = 1; n != 0; offset += n) {
                n = size - offset < 4096 ? size - offset : 4096;
                script += Request(command, 0xFFFFFFFF);  // the argument of a read is ignored
                expected += Result(1, 0, static_cast<DWORD>(n)) + content.substr(offset, n);
            }

            EXPECT_EQ(1u, Run(script));

            EXPECT_TRUE(SameBytes(expected, Answers()));
            EXPECT_EQ(0u, FilePosition(other));
            for (const fault::Record& record : RecordsOn(fault::kReadFile, read)) {
                EXPECT_EQ(Arg(g_state.primaryBuffer), record.args[1]);
                EXPECT_EQ(4096u, record.args[2]);
            }
        }
    }
}

}  // namespace
}  // namespace service_test
