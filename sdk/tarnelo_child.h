/* tarnelo child SDK: lets a GUI-subsystem program use the console and the
   standard streams of the tarnelo launcher that started it.

   A program started by the launcher finds a small shared block named after
   its own process and main thread ids. TarneloAttach opens it; the calls
   below then write to the launcher's stdout, stderr and console, read its
   stdin and console input, switch the console between raw and cooked
   input, and hand out the CTRL+C and CTRL+BREAK events. TarneloDetach (or
   the program's exit) tells the launcher it is done.

   Two ways to write:
   - requests (TarneloWrite*): the launcher answers after the bytes are
     written, so the call reports the destination's error;
   - the handed-over handles (TarneloStdoutHandle and friends), written with
     WriteFile: no round trip, suited to streams of output. When the
     launcher's stream is a console these lead through a relay thread, so
     their bytes may come out after request writes made later; keep one way
     per stream when the order matters.

   A program that was not started by the launcher gets TARNELO_NOT_LAUNCHED
   from TarneloAttach; TarneloAttachReason turns every result into text.

   Plain C99; include it from C or C++, build it with MinGW or MSVC. One
   TarneloChild per program, used by one thread at a time. Protocol
   details: docs/protocol.md. */
#ifndef TARNELO_CHILD_H
#define TARNELO_CHILD_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARNELO_LAYOUT_VERSION 1003u
#define TARNELO_MAX_TRANSFER 4096u /* the most one read request delivers */

/* Results of TarneloAttach. */
#define TARNELO_ATTACHED 0     /* ready */
#define TARNELO_NOT_LAUNCHED 1 /* no block: not started by the launcher (or not on the main thread) */
#define TARNELO_BAD_VERSION 2  /* a block of another layout version */
#define TARNELO_MAP_FAILED 3   /* the block exists but cannot be opened or mapped */

/* Command codes of the protocol. */
#define TARNELO_CMD_READ_STDIN 0u
#define TARNELO_CMD_WRITE_STDOUT 1u
#define TARNELO_CMD_WRITE_STDERR 2u
#define TARNELO_CMD_READ_CONSOLE 3u
#define TARNELO_CMD_WRITE_CONSOLE 4u
#define TARNELO_CMD_SET_RAW_MODE 5u

/* The block as the launcher publishes it: 17 little-endian 32-bit words.
   Handle words hold values in this process's handle table; 0 means none. */
typedef struct TarneloBlock {
    DWORD layoutVersion;      /* 1003 */
    DWORD ctrlCEvent;         /* auto-reset event set on CTRL+C */
    DWORD ctrlBreakEvent;     /* auto-reset event set on CTRL+BREAK */
    DWORD parentToChildRead;  /* results and read data arrive here */
    DWORD childToParentWrite; /* requests and write data go here */
    DWORD stdinIsConsole;     /* 1 when the launcher's stream is a console */
    DWORD stdoutIsConsole;
    DWORD stderrIsConsole;
    DWORD stdinFileType;      /* GetFileType of the launcher's stream, remote bit cleared */
    DWORD stdoutFileType;
    DWORD stderrFileType;
    DWORD stdinDuplicate;     /* the launcher's stream itself, when not a console */
    DWORD stdoutDuplicate;
    DWORD stderrDuplicate;
    DWORD stdoutWrite;        /* where to WriteFile stdout bytes (always set) */
    DWORD stderrWrite;        /* where to WriteFile stderr bytes (always set) */
    DWORD consoleWrite;       /* where to WriteFile console bytes (always set) */
} TarneloBlock;

/* Read data not yet handed to the caller, one store per input source. */
typedef struct TarneloPending {
    BYTE data[TARNELO_MAX_TRANSFER];
    DWORD start;
    DWORD count;
} TarneloPending;

typedef struct TarneloChild {
    TarneloBlock block;        /* a copy of the published block; read it freely */
    HANDLE requests;           /* our end of the child->parent pipe */
    HANDLE results;            /* our end of the parent->child pipe */
    TarneloPending pending[2]; /* [0] stdin, [1] console input */
    int attached;              /* nonzero between TarneloAttach and TarneloDetach */
} TarneloChild;

/* Opens the block published for this process and copies it into *child.
   Call it on the program's main thread (the block's name carries that
   thread's id), before anything else talks to the launcher. Returns
   TARNELO_ATTACHED or the reason it could not; on failure every other call
   fails with ERROR_INVALID_HANDLE and every handle getter returns NULL.
   Once attached, CTRL+C and CTRL+BREAK no longer end this program when it
   shares the launcher's console: the launcher passes them on as events. */
int TarneloAttach(TarneloChild* child);

/* A fixed English sentence for a TarneloAttach result; never NULL. */
const char* TarneloAttachReason(int result);

/* Closes every handle the launcher handed over. Closing the request pipe
   ends the launcher's service: it then waits up to 1000 ms for this process
   to exit and takes its exit code. Later calls fail. Exiting the process
   has the same effect, so a program need not call it. */
void TarneloDetach(TarneloChild* child);

/* Writes `size` bytes through a request to stdout, stderr or the console
   (commands 1, 2, 4; any size, streamed in pieces by the launcher).
   Returns nonzero when the launcher wrote them all; otherwise zero, with
   *error (when not NULL) set to the launcher's error for the destination,
   to this side's own pipe error, or to ERROR_INVALID_PARAMETER for another
   command. */
int TarneloWrite(TarneloChild* child, DWORD command, const void* data, DWORD size, DWORD* error);
int TarneloWriteStdout(TarneloChild* child, const void* data, DWORD size, DWORD* error);
int TarneloWriteStderr(TarneloChild* child, const void* data, DWORD size, DWORD* error);
int TarneloWriteConsole(TarneloChild* child, const void* data, DWORD size, DWORD* error);

/* Reads from stdin or the console input (commands 0 and 3). The launcher
   makes one read of at most 4,096 bytes (from a cooked console: one line);
   what does not fit into `capacity` is kept and handed out by the next
   calls for the same source. Returns nonzero on success with *count bytes,
   where 0 means the end of input (a file at its end, or a pipe whose writer
   has closed); zero on failure with *error (when not NULL) set. */
int TarneloRead(TarneloChild* child, DWORD command, void* buffer, DWORD capacity, DWORD* count, DWORD* error);
int TarneloReadStdin(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error);
int TarneloReadConsole(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error);

/* Raw (nonzero) or cooked (zero) console input. The launcher does not
   answer: returns nonzero once the request is sent. */
int TarneloSetRawMode(TarneloChild* child, int raw);

/* The handed-over handles, NULL when not attached. Write to the first three
   with WriteFile. The stdin handle is NULL when the launcher's stdin is a
   console: read it with TarneloReadStdin or TarneloReadConsole then. */
HANDLE TarneloStdoutHandle(const TarneloChild* child);
HANDLE TarneloStderrHandle(const TarneloChild* child);
HANDLE TarneloConsoleHandle(const TarneloChild* child);
HANDLE TarneloStdinHandle(const TarneloChild* child);

/* Events the launcher sets on CTRL+C and CTRL+BREAK: wait on them with
   WaitForSingleObject or MsgWaitForMultipleObjects. Auto-reset: several
   presses before a wait release one wait. */
HANDLE TarneloCtrlCEvent(const TarneloChild* child);
HANDLE TarneloCtrlBreakEvent(const TarneloChild* child);

#ifdef __cplusplus
}
#endif

#endif
