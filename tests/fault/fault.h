// Test-side control of the fault layer: make chosen platform calls of the
// launcher fail with a chosen last error (or, for ReadFile and WriteFile,
// succeed with zero bytes), and read back the arguments calls received.
//
// The launcher executable variant built with this layer also reads its
// environment: TARNELO_FAULT_AT=k fails the k-th fallible call (1-based),
// TARNELO_FAULT_PERSIST=1 fails every call from the k-th on,
// TARNELO_FAULT_ERROR sets the error (default 8, not enough memory), and
// TARNELO_FAULT_COUNT_FILE names a file that receives the number of
// fallible calls made when the process exits, and TARNELO_FAULT_LOG names a
// file that gets a line "<index> <call> <error>" for each call so failed.
// TARNELO_FAULT_TIMELINE names a file that gets, when the process exits,
// every call stamped with the performance counter on entry and on return
// (script/timeline turns it into the start-up timeline).
#ifndef TARNELO_FAULT_H
#define TARNELO_FAULT_H

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "fault_calls.h"

namespace fault {

enum Call {
#define FAULT_ENUM(name, type, failure, params, args) k##name,
    FAULT_CALLS(FAULT_ENUM)
#undef FAULT_ENUM
    kCallCount
};

const int kForever = -1;
const int kMaxArgs = 10;

struct Record {
    Call call;
    DWORD thread;
    UINT_PTR args[kMaxArgs];
    UINT_PTR result;
};

// Clears every rule, counter and record.
void Reset();

// Fails calls of `call` with last error `error`: skips the first `skip`
// matching calls, then fails `times` of them (kForever: all). With `match`
// non-zero, only calls whose first argument equals it are considered.
void Fail(Call call, DWORD error, int skip = 0, int times = 1, UINT_PTR match = 0);

// ReadFile/WriteFile: report success with zero bytes moved.
void ZeroBytes(Call call, int skip = 0, int times = 1, UINT_PTR match = 0);

// Routes calls of `call` to `replacement`, a function with the platform
// call's own signature (WINAPI), until Reset: a test can hand the launcher
// any command line, module name or lookup result it likes.
void Replace(Call call, void* replacement);

// Until Reset, every Sleep lasts 1.6 times as long as asked, as Windows'
// default 15.6 ms tick makes a 10 ms one last (Wine's sleeps are precise).
void SlowSleeps();

// Until Reset, the next `times` calls of _dup2 by the SDK built over this
// layer (sdk_redirect.h) fail with EBADF and change nothing.
void FailDup2(int times);

// Calls made since the last Reset (all threads).
int Count(Call call);

// Arguments and results of the calls made since the last Reset, oldest first.
std::vector<Record> Records(Call call);

}  // namespace fault

#endif
