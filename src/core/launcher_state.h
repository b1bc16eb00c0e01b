// The launcher's one process-wide state record.
//
// Everything the launcher acquires lives here, is created once during
// start-up and is released only by Shutdown, each field only when it was
// acquired (non-null, or its flag set). Every field is zero at load, so the
// record needs no constructor: the image's own entry runs no initialiser.
#ifndef TARNELO_LAUNCHER_STATE_H
#define TARNELO_LAUNCHER_STATE_H

#include <windows.h>

#include <atomic>
#include <type_traits>

// Record of one console output thread. Written by StartOutputRelay on the
// main thread before the thread starts; the thread reads it once.
struct OutputRelay {
    HANDLE readEnd;      // launcher's read end of the relay pipe; never closed
    HANDLE destination;  // stdout, stderr or the console output device
    BYTE* buffer;        // 257 bytes; owned and freed by the thread
};

// Where the main thread stands, so that a Shutdown entered on the control
// handler's thread never releases what the main thread is still using.
// The main thread moves it on with MoveMainThread, which wakes a Shutdown
// that waits for that (the service's own end, serving to bounded, is a
// compare-exchange: nobody waits on a serving main thread). A Shutdown on
// the handler's thread changes it by compare-exchange only.
enum MainThreadState : LONG {
    MAIN_BOUNDED = 0,   // start-up or the service's last wait for the child (the state at load):
                        //   work that ends by itself, which Shutdown waits for within its deadline
    MAIN_SERVING = 1,   // the command service, which may block on a console or a pipe for ever
    MAIN_STOPPING = 2,  // Shutdown asked it to leave and cancels its blocking calls
    MAIN_STOPPED = 3,   // it touches nothing Shutdown releases any more: parked, or given up on
};

struct LauncherState {
    // --- Acquired by RunLauncher, in this order; released by Shutdown. ---
    HMODULE moduleHandle;         // own image; Fatal* loads message texts from it
    HANDLE stderrHandle;          // every report goes here; never closed
    CRITICAL_SECTION outputLock;  // held around each single write to a console destination
    BOOL lockInitialised;         // Shutdown deletes outputLock only when set
    HANDLE consoleOutput;         // "CONOUT$"; command 4 and the dedicated relay; closed by Shutdown
    HANDLE ctrlCEvent;            // inheritable auto-reset event; published in the block; closed by Shutdown
    HANDLE ctrlBreakEvent;        // likewise for CTRL+BREAK
    BOOL handlerInstalled;        // ControlHandler stays installed until the process ends
    HANDLE stdinHandle;           // GetStdHandle results, held for the whole run, never
    HANDLE stdoutHandle;          //   closed; null is "no stream": no duplicate, no relay
    BYTE* primaryBuffer;          // 4,097 bytes; every command-service transfer; freed by Shutdown
    DWORD savedInputMode;         // console input mode word; set to cooked after the resume, then only command 5 writes it
    SECURITY_ATTRIBUTES inheritable;  // for the two events only
    BOOL childSuspended;          // 1 from launch until the child is resumed

    // --- Target resolution (filled during start-up, read by the launch). ---
    char modulePath[261];         // own full path; index 260 always NUL
    DWORD modulePathLength;       // as GetModuleFileNameA returned it
    const char* rest;             // into the platform's command line; never written or freed
    char targetPath[261];
    char scratchPath[261];        // override value or a script's full path

    // --- Child launch. ---
    char* childCommandLine;       // LocalAlloc'd; freed by Shutdown
    STARTUPINFOA childStartup;
    PROCESS_INFORMATION child;    // handles closed (and nulled) only by WaitForChild
    HANDLE childJob;              // the job the child runs in, which ends it when this handle closes; the
                                  //   only handle, not inheritable; null when none could be had. Never
                                  //   closed: the end of the process closes it, after Shutdown cleared
                                  //   the kill limit for a child that outlived the waits

    // --- Channel set-up. ---
    char channelName[256];
    HANDLE mapping;               // closed by Shutdown
    BYTE* blockView;              // the InterprocessBlock; unmapped by Shutdown
    HANDLE currentProcess;        // pseudo handle; never closed
    HANDLE parentToChildWrite;    // results and read data; used and closed only under childPipeLock
    SRWLOCK childPipeLock;        // main thread around each send; Shutdown around the close
    HANDLE childToParentRead;     // requests and write data; ends with the process
    BOOL stdoutIsConsole;         // command 1 takes the output lock when set
    BOOL stderrIsConsole;         // command 2 likewise
    HANDLE consoleInput;          // stdin when it is a console stream, else consoleInputDevice
    HANDLE consoleInputDevice;    // "CONIN$" when stdin is not a console; closed by Shutdown
    OutputRelay stdoutRelay;
    OutputRelay stderrRelay;
    OutputRelay consoleRelay;
    HANDLE stdoutRelayThread;     // null when not started; waited on by Shutdown, never closed
    HANDLE stderrRelayThread;
    HANDLE consoleRelayThread;

    // --- Watching the child while the service runs (WatchChild). ---
    HANDLE mainThreadHandle;      // real handle of the main thread, whose blocking calls the watch thread
                                  //   and Shutdown cancel; null when it could not be had; never closed
    HANDLE watchedChild;          // our own duplicate of the child process handle, waited on by the watch
                                  //   thread; never closed, so that no wait outlives its handle
    HANDLE childWatchThread;      // null when not started; never closed

    // --- Shared between threads without a lock. ---
    // Exit code rules: the child's code whenever WaitForChild saw it end,
    // else failureExitCode (1 after a report or a close event), else 0.
    // Keeping the child's code apart means a late close event can never
    // overwrite it, whatever the order in which the threads get there.
    std::atomic<DWORD> failureExitCode;
    std::atomic<DWORD> childExitCode;
    std::atomic<BOOL> childExitSeen;
    std::atomic<BOOL> relaysStopping;       // set once by Shutdown; relays stop on it
    std::atomic<LONG> shutdownEntered;      // the first caller of Shutdown runs it; from then on
                                            //   the control handler signals no event
    std::atomic<LONG> ctrlSignalling;       // control handler calls inside SetEvent; Shutdown closes
                                            //   the events only once none is
    std::atomic<LONG> mainThread;           // a MainThreadState
    SRWLOCK mainThreadLock;                 // held around a move of the main thread and around a
    CONDITION_VARIABLE mainThreadMoved;     //   Shutdown's sleep until the next one (zero is initialised)
    std::atomic<ULONGLONG> closeDeadline;   // GetTickCount64() by which the path of a close, logoff or
                                            //   shutdown event must be over; set once by ControlHandler, 0 before
    std::atomic<BOOL> childEnded;           // set by the watch thread: a read for the child is abandoned
    std::atomic<BOOL> mainInRead;           // the main thread is in (or about to start) a read for the child
    DWORD mainThreadId;                     // tells Shutdown which thread called it
};

static_assert(std::is_trivially_default_constructible<LauncherState>::value,
              "the state record is zero at load, with nothing to construct");

extern LauncherState g_state;

#endif
