// Launcher core: start-up, channels, command service, control and shutdown,
// and the exact transfers the protocol is built on.
//
// Every fallible operation returns non-zero for success and zero after it
// has made its own fatal report.
#ifndef TARNELO_CORE_H
#define TARNELO_CORE_H

#include <windows.h>

#include "core/launcher_state.h"

// Layout of the interprocess block, all words little-endian.
#define LAYOUT_VERSION 1003u

struct InterprocessBlock {
    DWORD layoutVersion;
    DWORD ctrlCEvent;
    DWORD ctrlBreakEvent;
    DWORD parentToChildRead;
    DWORD childToParentWrite;
    DWORD stdinIsConsole;
    DWORD stdoutIsConsole;
    DWORD stderrIsConsole;
    DWORD stdinFileType;
    DWORD stdoutFileType;
    DWORD stderrFileType;
    DWORD stdinDuplicate;
    DWORD stdoutDuplicate;
    DWORD stderrDuplicate;
    DWORD stdoutWrite;
    DWORD stderrWrite;
    DWORD consoleWrite;
};
static_assert(sizeof(InterprocessBlock) == 68, "the block is 17 words");

// Command protocol.
#define CMD_READ_STDIN 0u
#define CMD_WRITE_STDOUT 1u
#define CMD_WRITE_STDERR 2u
#define CMD_READ_CONSOLE 3u
#define CMD_WRITE_CONSOLE 4u
#define CMD_SET_RAW_MODE 5u

struct CommandRequest {
    DWORD command;
    DWORD argument;  // byte count of a write; raw flag of CMD_SET_RAW_MODE
};
static_assert(sizeof(CommandRequest) == 8, "requests are 8 bytes");

struct CommandResult {
    DWORD ok;
    DWORD error;
    DWORD count;  // bytes of read data that follow; 0 for writes
};
static_assert(sizeof(CommandResult) == 12, "results are 12 bytes");

#define PRIMARY_BUFFER_SIZE 4097u
#define TRANSFER_CHUNK 4096u
#define INPUT_MODE_BITS (ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)

// Start-up driver: 1 when the command service ended normally, else 0.
DWORD RunLauncher();

// Channel set-up.
BOOL SetUpChannels();
BOOL ClassifyStream(HANDLE handle, DWORD* fileType);
// Puts a duplicate of one of our handles into the child's table, its value
// straight into a block word. Not reported: each caller has its message.
BOOL GiveToChild(HANDLE handle, DWORD* word, DWORD options);
// "CONIN$" or "CONOUT$" for reading and writing; INVALID_HANDLE_VALUE on failure.
HANDLE OpenConsoleDevice(const char* name);

// Command service. ServeRead and ServeWrite answer SERVE_NEXT to go on,
// SERVE_END when the service is over without a fault (the child has ended,
// or a Shutdown on another thread stops it), and 0 after a fatal report.
#define SERVE_NEXT 1u
#define SERVE_END 2u
BOOL ServeCommands();
BOOL ReadRequest(CommandRequest* request);
BOOL SendResult(const CommandResult* result);
DWORD ServeRead(HANDLE source);
DWORD ServeWrite(HANDLE destination, DWORD count, BOOL takeLock);
// Starts the thread that watches the child's process while the service
// runs, on the thread that will serve. Nothing to report: without it reads
// are just not abandoned when the child ends.
void WatchChild();

// Console control and shutdown.
BOOL WINAPI ControlHandler(DWORD controlType);
// TRUE once the child has ended (or there is none): its code is taken and
// its handles released. FALSE while it runs, also after a failed wait.
BOOL WaitForChild(DWORD milliseconds);
BOOL CALLBACK PostCloseToWindow(HWND window, LPARAM value);
// The main thread's own changes of g_state.mainThread go through here.
void MoveMainThread(LONG state);
__declspec(noreturn) void Shutdown();

// The exit code the process ends with under the rules kept in LauncherState.
DWORD EffectiveExitCode();

// Exact transfers: the whole count or failure, with the last error set
// (ERROR_ZERO_BYTES_* when the platform reports zero bytes moved).
BOOL WriteExact(HANDLE handle, const void* bytes, DWORD count);
BOOL ReadExact(HANDLE handle, void* bytes, DWORD count);

#endif
