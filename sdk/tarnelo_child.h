/* tarnelo child SDK: lets a GUI-subsystem program use the console of the
   tarnelo launcher that started it.

   A program started by the launcher finds a small shared block named after
   its own process and main thread ids. TarneloAttach opens it; the calls
   below then write to the launcher's stdout, stderr and console, read its
   stdin and console input, switch the console between raw and cooked
   input, and hand out the CTRL+C and CTRL+BREAK events. TarneloDetach (or
   the program's exit) tells the launcher it is done.

   Two ways to write: requests (TarneloWrite*), answered by the launcher
   after the bytes are written, so the call reports the destination's
   error; or the handles (TarneloStdoutHandle and friends), which need no
   round trip and suit streams of output.

   Plain C; include it from C or C++. One TarneloChild per program, used
   by one thread at a time. */
#ifndef TARNELO_CHILD_H
#define TARNELO_CHILD_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARNELO_LAYOUT_VERSION 1003u
#define TARNELO_MAX_TRANSFER 4096u

/* Results of TarneloAttach. */
#define TARNELO_ATTACHED 0      /* ready */
#define TARNELO_NOT_LAUNCHED 1  /* no block: not started by the launcher */
#define TARNELO_BAD_VERSION 2   /* a block of another layout version */
#define TARNELO_MAP_FAILED 3    /* the block exists but cannot be mapped */

/* Command codes of the protocol. */
#define TARNELO_CMD_READ_STDIN 0u
#define TARNELO_CMD_WRITE_STDOUT 1u
#define TARNELO_CMD_WRITE_STDERR 2u
#define TARNELO_CMD_READ_CONSOLE 3u
#define TARNELO_CMD_WRITE_CONSOLE 4u
#define TARNELO_CMD_SET_RAW_MODE 5u

/* The block as the launcher publishes it: 17 little-endian 32-bit words. */
typedef struct TarneloBlock {
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
} TarneloBlock;

typedef struct TarneloChild {
    TarneloBlock block;  /* a copy of the published block */
    HANDLE requests;     /* our end of the child->parent pipe; NULL once detached */
    HANDLE results;      /* our end of the parent->child pipe */
    BYTE pending[TARNELO_MAX_TRANSFER];  /* read data not yet handed to the caller */
    DWORD pendingStart;
    DWORD pendingCount;
    int attached;
} TarneloChild;

/* Opens the block published for this process. Call it on the program's
   main thread: the block's name carries that thread's id. Returns TARNELO_ATTACHED or
   the reason it could not; on failure every other call fails cleanly with
   ERROR_INVALID_HANDLE. */
int TarneloAttach(TarneloChild* child);

/* Closes our end of the request pipe: the launcher's service ends and it
   waits for this process to exit. Later calls fail. */
void TarneloDetach(TarneloChild* child);

/* Writes `size` bytes through a request to stdout, stderr or the console
   (commands 1, 2, 4). Returns nonzero when the launcher wrote them all;
   otherwise zero, with *error (when not NULL) set to the launcher's error
   for the destination or to this side's own pipe error. */
int TarneloWrite(TarneloChild* child, DWORD command, const void* data, DWORD size, DWORD* error);
int TarneloWriteStdout(TarneloChild* child, const void* data, DWORD size, DWORD* error);
int TarneloWriteStderr(TarneloChild* child, const void* data, DWORD size, DWORD* error);
int TarneloWriteConsole(TarneloChild* child, const void* data, DWORD size, DWORD* error);

/* Reads from stdin or the console input (commands 0 and 3): one read on the
   launcher's side, at most 4,096 bytes, handed out over as many calls as
   `capacity` needs. Returns nonzero on success with *count bytes (0 at the
   end of input); zero on failure with *error set. */
int TarneloRead(TarneloChild* child, DWORD command, void* buffer, DWORD capacity, DWORD* count, DWORD* error);
int TarneloReadStdin(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error);
int TarneloReadConsole(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error);

/* Raw (nonzero) or cooked (zero) console input. Not answered by the
   launcher: returns nonzero once the request is sent. */
int TarneloSetRawMode(TarneloChild* child, int raw);

/* The handed-over handles (NULL when not attached): write straight to them
   with WriteFile; stdin reads with ReadFile. */
HANDLE TarneloStdoutHandle(const TarneloChild* child);
HANDLE TarneloStderrHandle(const TarneloChild* child);
HANDLE TarneloConsoleHandle(const TarneloChild* child);
HANDLE TarneloStdinHandle(const TarneloChild* child); /* NULL when stdin is a console: use TarneloReadConsole */

/* Events the launcher sets on CTRL+C and CTRL+BREAK (auto-reset). */
HANDLE TarneloCtrlCEvent(const TarneloChild* child);
HANDLE TarneloCtrlBreakEvent(const TarneloChild* child);

#ifdef __cplusplus
}
#endif

#endif
