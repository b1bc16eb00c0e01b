/* tarnelo child SDK: lets a GUI-subsystem program use the console and the
   standard streams of the tarnelo launcher that started it.

   A program started by the launcher finds a small shared block named after
   its own process and main thread ids. TarneloAttach opens it; the calls
   below then write to the launcher's stdout, stderr and console, read its
   stdin and console input, switch the console between raw and cooked
   input, and hand out the CTRL+C and CTRL+BREAK events. TarneloDetach (or
   the program's exit) tells the launcher it is done.

   Three ways to write:
   - requests (TarneloWrite*): the launcher answers after the bytes are
     written, so the call reports the destination's error;
   - the handed-over handles (TarneloStdoutHandle and friends), written with
     WriteFile: no round trip, suited to streams of output;
   - the C runtime's own streams, once TarneloRedirectStdio has pointed
     them at those handles: printf, std::cout and the rest, unchanged.
   When the launcher's stream is a console the handles lead through a relay
   thread, so their bytes may come out after request writes made later;
   keep one way per stream when the order matters.

   A program that was not started by the launcher gets TARNELO_NOT_LAUNCHED
   from TarneloAttach; TarneloAttachReason turns every result into text.

   Plain C99; include it from C or C++, build it with MinGW or MSVC, for
   32-bit or 64-bit Windows: a 64-bit program works behind the 32-bit
   launcher. One TarneloChild per program. TarneloAttach and TarneloDetach
   belong to the main thread; every other call may be made from any thread,
   and a lock inside TarneloChild makes each request and its result one
   step that no other thread's request enters. Protocol details:
   docs/protocol.md. */
#ifndef TARNELO_CHILD_H
#define TARNELO_CHILD_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARNELO_LAYOUT_VERSION 1003u
#define TARNELO_MAX_TRANSFER 4096u /* the most one read request delivers */
/* A write request of at most this many data bytes leaves in one WriteFile
   with its 8-byte header (4,096 bytes in all: what the request pipe holds). */
#define TARNELO_JOINED_WRITE_MAX 4088u

/* Results of TarneloAttach. */
#define TARNELO_ATTACHED 0          /* ready */
#define TARNELO_NOT_LAUNCHED 1      /* no block: not started by the launcher (or not on the main thread) */
#define TARNELO_BAD_VERSION 2       /* a block of another layout version */
#define TARNELO_MAP_FAILED 3        /* the block exists but cannot be opened or mapped: see attachError */
#define TARNELO_ALREADY_ATTACHED 4  /* this process attached before: the launcher's handles have an owner */

/* Results of TarneloRedirectStdio other than 0 (failure): the first, plus
   one flag for each stream the launcher was started without. */
#define TARNELO_STDIO_REDIRECTED 1 /* every stream the launcher has leads there */
#define TARNELO_STDIO_NO_STDIN 2   /* no stdin at all (a console stdin is no missing one) */
#define TARNELO_STDIO_NO_STDOUT 4
#define TARNELO_STDIO_NO_STDERR 8

/* Command codes of the protocol. */
#define TARNELO_CMD_READ_STDIN 0u
#define TARNELO_CMD_WRITE_STDOUT 1u
#define TARNELO_CMD_WRITE_STDERR 2u
#define TARNELO_CMD_READ_CONSOLE 3u
#define TARNELO_CMD_WRITE_CONSOLE 4u
#define TARNELO_CMD_SET_RAW_MODE 5u

/* The block as the launcher publishes it: 17 little-endian 32-bit words.
   Handle words hold values in this process's handle table; 0 means none.
   A 64-bit program widens them with sign extension, as Windows documents
   for handles shared with 32-bit processes (the SDK's getters do that). */
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

/* About 12 KiB: keep it in static or heap memory rather than on a stack. */
typedef struct TarneloChild {
    TarneloBlock block;        /* a copy of the published block; read it freely */
    HANDLE requests;           /* our end of the child->parent pipe */
    HANDLE results;            /* our end of the parent->child pipe */
    CRITICAL_SECTION lock;     /* one request and its result at a time; valid while attached */
    TarneloPending pending[2]; /* [0] stdin, [1] console input */
    BYTE outgoing[8 + TARNELO_JOINED_WRITE_MAX]; /* a small request and its data, sent together */
    DWORD attachError;         /* the system error behind TARNELO_MAP_FAILED, else 0 */
    int attached;              /* nonzero between TarneloAttach and TarneloDetach */
    int redirected;            /* nonzero once TarneloRedirectStdio pointed stdout or stderr here */
} TarneloChild;

/* Opens the block published for this process and copies it into *child.
   Call it on the program's main thread (the block's name carries that
   thread's id), before anything else talks to the launcher. Returns
   TARNELO_ATTACHED or the reason it could not; on failure every other call
   fails with ERROR_INVALID_HANDLE and every handle getter returns NULL.
   For TARNELO_MAP_FAILED the system error stays in child->attachError and
   as the thread's last error.
   It succeeds once per process (the only process-wide state of the SDK is
   that one claim): the handed-over handles then belong to that TarneloChild,
   and a later call, also after TarneloDetach, returns
   TARNELO_ALREADY_ATTACHED: given the attached TarneloChild again it leaves
   it attached and unchanged; given another one it leaves that one cleared,
   owning nothing.
   Once attached, CTRL+C and CTRL+BREAK no longer end this program when it
   shares the launcher's console: the launcher passes them on as events. */
int TarneloAttach(TarneloChild* child);

/* A fixed English sentence for a TarneloAttach result; never NULL. */
const char* TarneloAttachReason(int result);

/* Makes the C runtime's standard streams lead to the launcher's, after a
   successful TarneloAttach and before the streams are first used (it
   flushes them first): printf, puts, fwrite(stdout), std::cout write to the
   launcher's stdout, fprintf(stderr) and std::cerr to its stderr, through
   the handed-over handles (WriteFile, no request per write), and
   GetStdHandle gives those handles to code that uses WriteFile. When the
   launcher's stdin is a file, a pipe or the NUL device, stdin, std::cin and
   GetStdHandle(STD_INPUT_HANDLE) read it as well.
   - Each descriptor keeps its text or binary mode (text unless the program
     chose otherwise), so the bytes are those a console program built with
     the same runtime writes. Buffering follows the runtime's own rules for
     a file or pipe; where the launcher's stream is a console the stream is
     made unbuffered, as a console program's stream writes through at once
     (the runtime cannot see a console behind the relay pipe).
   - Console input stays with TarneloReadConsole (stdin is then left alone):
     reading it through the runtime would need a thread blocked in a request
     for console input, and that read would hold the launcher's console for
     a line after the program has ended.
   - The streams belong to the runtime the SDK was compiled against: code
     in a DLL sees them when it shares that runtime (the DLL form of it,
     msvcrt.dll or the UCRT), not when it links its own static copy. C++
     streams follow while they stay synchronised with stdio (the default).
   - Where stdout and stderr are both the console, both streams go through
     the stdout relay, so that their bytes keep the order in which they were
     written. Output through a relay may come out after request writes made
     later (see above): use requests or the streams for one stream.
   - The runtime's descriptors hold inheritable handles, as a console
     program's do: programs started with system(), _popen or an inheriting
     CreateProcess write to the launcher's streams too, and one that
     outlives this program holds the relay pipes open, which costs the
     launcher its 500 ms wait for the relays at exit.
   Returns TARNELO_STDIO_REDIRECTED once every stream the launcher has was
   redirected, plus TARNELO_STDIO_NO_STDIN, TARNELO_STDIO_NO_STDOUT or
   TARNELO_STDIO_NO_STDERR for each one it was started without (a null
   handle): such a stream keeps what it had. Test the result for zero, not
   for 1. Zero when not attached (ERROR_INVALID_HANDLE) or when the runtime
   refused a descriptor, with the first failure's error as the thread's
   last error; the other streams are redirected all the same, and a stream
   whose redirection failed keeps its descriptor, that descriptor's handle
   and its text or binary mode (one that had no descriptor may have one on
   the NUL device). */
int TarneloRedirectStdio(TarneloChild* child);

/* Closes every handle the launcher handed over (after flushing stdout and
   stderr when they were redirected). Closing the request pipe ends the
   launcher's service: it then waits up to 1000 ms for this process to exit
   and takes its exit code. Later calls fail. Exiting the process has the
   same effect, so a program need not call it. Call it on the main thread,
   when no other thread is inside an SDK call.
   A program that detaches and keeps running outlives the launcher: about
   three seconds later (1000 ms, then 2000 ms) the launcher posts WM_CLOSE
   to the top-level windows of this program's main thread, waits 2000 ms
   more and exits without this program's exit code. Redirected streams keep
   their descriptors until the program exits; after the launcher has gone,
   writes to a relayed console stream fail. */
void TarneloDetach(TarneloChild* child);

/* Writes `size` bytes through a request to stdout, stderr or the console
   (commands 1, 2, 4; any size, streamed in pieces by the launcher). Up to
   TARNELO_JOINED_WRITE_MAX bytes leave with the request in one WriteFile.
   Returns nonzero when the launcher wrote them all; otherwise zero, with
   *error (when not NULL) set to the launcher's error for the destination,
   to this side's own pipe error, or to ERROR_INVALID_PARAMETER for another
   command.
   Only data of up to TARNELO_JOINED_WRITE_MAX bytes leave in one WriteFile;
   more leave in several. A program that ends while one of its threads is
   inside a write call (an ExitProcess on another thread, say) can leave the
   launcher a request whose data never come: the launcher then ends with
   its fatal report 1003, "Failed to get write data from child process".
   End the program only while no thread is writing. */
int TarneloWrite(TarneloChild* child, DWORD command, const void* data, DWORD size, DWORD* error);
int TarneloWriteStdout(TarneloChild* child, const void* data, DWORD size, DWORD* error);
int TarneloWriteStderr(TarneloChild* child, const void* data, DWORD size, DWORD* error);
int TarneloWriteConsole(TarneloChild* child, const void* data, DWORD size, DWORD* error);

/* Reads from stdin or the console input (commands 0 and 3). The launcher
   makes one read of at most 4,096 bytes (from a cooked console: one line);
   what does not fit into `capacity` is kept and handed out by the next
   calls for the same source. Returns nonzero on success with *count bytes,
   where 0 means the end of input (a file at its end, or a pipe whose writer
   has closed); zero on failure with *error (when not NULL) set. A read
   holds the lock until its input arrives: requests of other threads wait
   for it, as the launcher serves nothing else meanwhile. A program may end
   with a read outstanding: the launcher gives it up at once, except a
   console read before Windows 8 (not cancellable there), which still takes
   the next line typed before the launcher exits. */
int TarneloRead(TarneloChild* child, DWORD command, void* buffer, DWORD capacity, DWORD* count, DWORD* error);
int TarneloReadStdin(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error);
int TarneloReadConsole(TarneloChild* child, void* buffer, DWORD capacity, DWORD* count, DWORD* error);

/* Raw (nonzero) or cooked (zero) console input. The launcher does not
   answer: returns nonzero once the request is sent. The mode outlives the
   program: nobody restores it, so a program that ends in raw mode (a crash
   included) leaves the console without echo and line input. Set cooked
   input again before ending. */
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
