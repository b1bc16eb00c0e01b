// Channel set-up: the named interprocess block, the protocol pipes and the
// routing of each standard stream, all done while the child is suspended.
#include "core/core.h"
#include "relay/relay.h"
#include "report/report.h"

namespace {

DWORD HandleWord(HANDLE handle) {
    return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(handle));
}

const DWORD kCloseSource = DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS;

BOOL SetUpProtocolPipes(InterprocessBlock* block) {
    HANDLE childEnd = NULL;
    if (!CreatePipe(&childEnd, &g_state.parentToChildWrite, NULL, TRANSFER_CHUNK)) {
        return FatalLastError(MSG_CREATE_PARENT_TO_CHILD_PIPE);
    }
    if (!GiveToChild(childEnd, &block->parentToChildRead, kCloseSource)) {
        return FatalLastError(MSG_DUPLICATE_PARENT_TO_CHILD);
    }
    if (!CreatePipe(&g_state.childToParentRead, &childEnd, NULL, TRANSFER_CHUNK)) {
        return FatalLastError(MSG_CREATE_CHILD_TO_PARENT_PIPE);
    }
    if (!GiveToChild(childEnd, &block->childToParentWrite, kCloseSource)) {
        return FatalLastError(MSG_DUPLICATE_CHILD_TO_PARENT);
    }
    return TRUE;
}

BOOL SetUpStdin(InterprocessBlock* block) {
    // A null stdin (a parent that passes only some streams) is no stream: its
    // words stay 0, and console reads still need the console.
    const BOOL present = g_state.stdinHandle != NULL;
    block->stdinIsConsole = present && ClassifyStream(g_state.stdinHandle, &block->stdinFileType);
    if (block->stdinIsConsole) {
        g_state.consoleInput = g_state.stdinHandle;
        return TRUE;
    }
    // Console reads still need the console when stdin is redirected.
    HANDLE device = OpenConsoleDevice("CONIN$");
    if (device == INVALID_HANDLE_VALUE) return FatalLastError(MSG_OPEN_CONSOLE_INPUT);
    g_state.consoleInputDevice = device;
    g_state.consoleInput = device;
    if (present && !GiveToChild(g_state.stdinHandle, &block->stdinDuplicate, DUPLICATE_SAME_ACCESS)) {
        return FatalLastError(MSG_DUPLICATE_STDIN);
    }
    return TRUE;
}

// stdout or stderr: a console stream gets a relay, anything else a duplicate,
// and a null handle nothing: its words stay 0.
// NOLINTBEGIN(bugprone-easily-swappable-parameters): one stream's block fields, in the block's order
BOOL SetUpOutputStream(HANDLE handle, BOOL* isConsoleFlag, DWORD* isConsoleWord, DWORD* fileType,
                       OutputRelay* relay, HANDLE* thread, DWORD* duplicateWord, DWORD* writeWord,
                       DWORD relayMessage, DWORD duplicateMessage) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    if (handle == NULL) return TRUE;
    *isConsoleFlag = ClassifyStream(handle, fileType);
    *isConsoleWord = *isConsoleFlag;
    if (*isConsoleFlag) {
        if (!StartOutputRelay(thread, relay, handle, writeWord)) return FatalNoError(relayMessage);
        return TRUE;
    }
    if (!GiveToChild(handle, duplicateWord, DUPLICATE_SAME_ACCESS)) return FatalLastError(duplicateMessage);
    *writeWord = *duplicateWord;
    return TRUE;
}

}  // namespace

BOOL GiveToChild(HANDLE handle, DWORD* word, DWORD options) {
    HANDLE duplicate = NULL;
    if (!DuplicateHandle(g_state.currentProcess, handle, g_state.child.hProcess, &duplicate, 0, FALSE, options)) {
        return FALSE;
    }
    *word = HandleWord(duplicate);
    return TRUE;
}

HANDLE OpenConsoleDevice(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                       NULL);
}

BOOL ClassifyStream(HANDLE handle, DWORD* fileType) {
    *fileType = GetFileType(handle) & ~static_cast<DWORD>(FILE_TYPE_REMOTE);
    DWORD mode = 0;
    // The NUL device is a character device too, but has no console mode.
    return *fileType == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

BOOL SetUpChannels() {
    FormatBounded(g_state.channelName, sizeof g_state.channelName, "tarnelo\t%u\t%u",
                  static_cast<unsigned>(g_state.child.dwProcessId), static_cast<unsigned>(g_state.child.dwThreadId));

    g_state.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(InterprocessBlock),
                                         g_state.channelName);
    if (g_state.mapping == NULL) return FatalLastError(MSG_CREATE_MAPPING);
    // Someone else's object under the child's name: write nothing into it.
    if (GetLastError() == ERROR_ALREADY_EXISTS) return FatalNoError(MSG_MAPPING_EXISTS);

    g_state.blockView = static_cast<BYTE*>(MapViewOfFile(g_state.mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (g_state.blockView == NULL) return FatalLastError(MSG_MAP_VIEW);
    InterprocessBlock* block = reinterpret_cast<InterprocessBlock*>(g_state.blockView);

    g_state.currentProcess = GetCurrentProcess();
    block->layoutVersion = LAYOUT_VERSION;
    block->ctrlCEvent = HandleWord(g_state.ctrlCEvent);  // inherited: same value in the child
    block->ctrlBreakEvent = HandleWord(g_state.ctrlBreakEvent);

    if (!SetUpProtocolPipes(block)) return FALSE;
    if (!SetUpStdin(block)) return FALSE;
    if (!SetUpOutputStream(g_state.stdoutHandle, &g_state.stdoutIsConsole, &block->stdoutIsConsole,
                           &block->stdoutFileType, &g_state.stdoutRelay, &g_state.stdoutRelayThread,
                           &block->stdoutDuplicate, &block->stdoutWrite, MSG_STDOUT_RELAY, MSG_DUPLICATE_STDOUT)) {
        return FALSE;
    }
    if (!SetUpOutputStream(g_state.stderrHandle, &g_state.stderrIsConsole, &block->stderrIsConsole,
                           &block->stderrFileType, &g_state.stderrRelay, &g_state.stderrRelayThread,
                           &block->stderrDuplicate, &block->stderrWrite, MSG_STDERR_RELAY, MSG_DUPLICATE_STDERR)) {
        return FALSE;
    }
    if (!StartOutputRelay(&g_state.consoleRelayThread, &g_state.consoleRelay, g_state.consoleOutput,
                          &block->consoleWrite)) {
        return FatalNoError(MSG_CONSOLE_RELAY);
    }
    return TRUE;
}
