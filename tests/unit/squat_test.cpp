// Someone else holds the child's channel name before the launcher gets to
// it: a mapping of the block's size, a smaller mapping, or an event. The
// name carries the child's process and thread ids, so the squatter moves in
// right after the real CreateProcessA, while the child is still suspended.
// The whole launcher runs in this process (a death test: its Shutdown ends
// the process). It must refuse with the exact report, write nothing into
// the squatter's object, still resume the child at shutdown and end with
// the child's exit code. The child (fuzz_child attach) dumps what it finds
// under its name and refuses a block of another layout version.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "launcher_run.h"

namespace {

const DWORD kWatchdogMs = 15000;
const DWORD kSquatterLayout = 999;  // anything but 1003: the child must refuse it
const DWORD kBlockSize = 68;
// fuzz_child attach exits with 0x20 + TarneloAttach's result.
const DWORD kChildBadVersion = 0x22;
const DWORD kChildMapFailed = 0x23;

enum class Squat { kMapping, kEvent };

struct SquatCase {
    const char* name;
    Squat kind;
    DWORD size;  // of the squatter's mapping
    DWORD childExit;
};

const SquatCase kCases[] = {
    {"BlockSizedMapping", Squat::kMapping, kBlockSize, kChildBadVersion},
    // Wine rounds a mapping up to whole pages: the child maps its 68 bytes
    // of the 16-byte one too and reads the bad version.
    {"SmallerMapping", Squat::kMapping, 16, kChildBadVersion},
    // The child cannot open an event as a mapping: it reports a map failure.
    {"Event", Squat::kEvent, 0, kChildMapFailed},
};

// What the squatter put into its mapping: a bad version, then a pattern.
std::string SquatterBytes(DWORD size) {
    std::string bytes(size, '\0');
    for (DWORD i = 0; i < size; ++i) bytes[i] = static_cast<char>(0xA5 ^ (i * 7));
    memcpy(&bytes[0], &kSquatterLayout, 4);
    return bytes;
}

// --- In the death test's process ---

SquatCase g_case;
BYTE* g_view;

BOOL WINAPI SquattingCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags,
                                    LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                                    LPPROCESS_INFORMATION child) {
    if (!launcher_run::CreateProcessInJob(application, commandLine, processAttributes, threadAttributes, inherit, flags,
                                          environment, directory, startup, child)) {
        return FALSE;
    }
    if (!(flags & CREATE_SUSPENDED)) ::ExitProcess(0x70);
    std::string name = "tarnelo\t" + std::to_string(child->dwProcessId) + "\t" + std::to_string(child->dwThreadId);
    if (g_case.kind == Squat::kEvent) {
        if (CreateEventA(NULL, TRUE, FALSE, name.c_str()) == NULL) ::ExitProcess(0x71);
        return TRUE;
    }
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, g_case.size, name.c_str());
    if (mapping == NULL) ::ExitProcess(0x71);
    g_view = static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, g_case.size));
    if (g_view == NULL) ::ExitProcess(0x72);
    const std::string bytes = SquatterBytes(g_case.size);
    memcpy(g_view, bytes.data(), bytes.size());
    return TRUE;
}

void RunAgainstSquatter(const SquatCase& squat, const std::string& dir) {
    g_case = squat;
    launcher_run::Start(
        launcher_run::InDirectory(dir, "\"" + BinDir() + "\\fuzz_child.exe\" attach \"" + dir + "\\dump.bin\""),
        kWatchdogMs, 0x73);
    fault::Replace(fault::kCreateProcessA, reinterpret_cast<void*>(SquattingCreateProcessA));

    if (RunLauncher() != 0) ::ExitProcess(0x74);
    if (!g_state.childSuspended) ::ExitProcess(0x75);
    if (g_view != NULL && std::string(reinterpret_cast<char*>(g_view), squat.size) != SquatterBytes(squat.size)) {
        ::ExitProcess(0x76);  // the launcher wrote into someone else's mapping
    }
    Shutdown();
}

// The error the platform gives for a mapping under an event's name.
DWORD MappingOverEventError() {
    const std::string name = "tarnelo-squat-probe-" + std::to_string(GetCurrentProcessId());
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, name.c_str());
    SetLastError(0);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kBlockSize, name.c_str());
    DWORD error = GetLastError();
    if (mapping != NULL) CloseHandle(mapping);
    CloseHandle(event);
    return mapping == NULL ? error : 0;
}

TEST(SquattedChannelDeathTest, LauncherRefusesLeavesTheObjectAloneAndEndsWithTheChild) {
    const DWORD eventError = MappingOverEventError();
    ASSERT_NE(0u, eventError) << "the platform let a mapping take an event's name";
    for (const SquatCase& squat : kCases) {
        SCOPED_TRACE(squat.name);
        const std::string dir = TestDir() + "\\" + squat.name;
        CreateDirectoryA(dir.c_str(), NULL);
        DeleteFileA((dir + "\\dump.bin").c_str());

        EXPECT_EXIT(RunAgainstSquatter(squat, dir), ::testing::ExitedWithCode(squat.childExit), "");

        // The child ran (the shutdown resumed it), and the launcher saw it end.
        EXPECT_EQ(std::to_string(squat.childExit), ReadFileBytes(dir + "\\seen.txt"));
        EXPECT_EQ("", ReadFileBytes(dir + "\\out.txt"));
        const std::string err = ReadFileBytes(dir + "\\err.txt");
        if (squat.kind == Squat::kMapping) {
            EXPECT_EQ("Fatal error: Name already exists for interprocess file mapping\r\n", err);
            // The child saw the squatter's bytes, as they were put there.
            std::string expected = SquatterBytes(squat.size);
            expected.resize(kBlockSize, '\0');
            EXPECT_EQ(expected, ReadFileBytes(dir + "\\dump.bin"));
        } else {
            // The platform's text for the error, fetched as the reports fetch it.
            ASSERT_NE("", SystemTextLine(eventError));
            EXPECT_EQ(SystemReport("Failed to create interprocess file mapping", eventError), err);
            EXPECT_EQ("", ReadFileBytes(dir + "\\dump.bin")) << "no mapping under the child's name";
        }
    }
}

}  // namespace
