// The read commands: one platform read of stdin or the console input per
// request, answered with a result and exactly the bytes that read delivered.
#include "service_fixture.h"

namespace service_test {
namespace {

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
            for (const fault::Record& record : fault::Records(fault::kReadFile)) {
                if (record.args[0] != reinterpret_cast<UINT_PTR>(read)) continue;
                EXPECT_EQ(reinterpret_cast<UINT_PTR>(g_state.primaryBuffer), record.args[1]);
                EXPECT_EQ(4096u, record.args[2]);
            }
            CloseHandle(read);
            CloseHandle(other);
        }
    }
}

}  // namespace
}  // namespace service_test
