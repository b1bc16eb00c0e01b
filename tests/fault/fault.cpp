// The fault layer: wrappers for the launcher's platform calls. Built only
// into test programs and the torture variant of the launcher.
#include "fault.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <deque>

#ifdef TARNELO_COVERAGE
// A process that leaves through ExitProcess or ends itself writes no
// coverage data (only a return from main does): flush it first.
extern "C" void __gcov_dump(void);
#define FAULT_COVERAGE_DUMP() __gcov_dump()
namespace {
// Runs just before a call goes to the platform: a process about to end
// itself flushes its coverage data.
void BeforeCall(fault::Call call, const UINT_PTR* args) {
    if (call == fault::kTerminateProcess &&
        GetProcessId(reinterpret_cast<HANDLE>(args[0])) == GetCurrentProcessId()) {
        FAULT_COVERAGE_DUMP();
    }
}
}  // namespace
#else
#define FAULT_COVERAGE_DUMP() ((void)0)
#define BeforeCall(call, args) ((void)0)
#endif

namespace fault {
namespace {

struct Rule {
    Call call;
    DWORD error;
    int skip;
    int times;
    UINT_PTR match;
    bool zeroBytes;
};

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<Rule>* g_rules;
std::deque<Record>* g_records;
const size_t kMaxRecords = 65536;  // a long transfer keeps only the newest
int g_counts[kCallCount];
void* g_replacements[kCallCount];
int g_total;
std::atomic<bool> g_slowSleeps;
std::atomic<int> g_dup2Failures;

// The torture variant's settings, read once from the environment.
bool g_envRead;
long g_failAt;
bool g_persist;
DWORD g_envError = ERROR_NOT_ENOUGH_MEMORY;
char g_countFile[MAX_PATH];
char g_logFile[MAX_PATH];
char g_timelineFile[MAX_PATH];

// The measurement build's start-up timeline (TARNELO_FAULT_TIMELINE): every
// call through the layer, stamped on entry and on return with the
// performance counter, which Wine takes from the Linux monotonic clock, so
// a runner outside can place its own stamps on the same line. Kept in a
// fixed table, written out by the exit: nothing is allocated or written
// while the launcher works.
struct Stamp {
    LONGLONG entered;
    LONGLONG returned;
    DWORD thread;
    Call call;
    UINT_PTR args[4];
    UINT_PTR result;
    FILETIME created;  // GetExitCodeProcess: the child's creation and exit, as the platform kept them
    FILETIME ended;
};
const LONG kMaxStamps = 4096;
Stamp g_stamps[kMaxStamps];
std::atomic<LONG> g_stampCount;
// The counter and the system time read together, on the first call: the
// launcher's own process times and the child's come as system times.
LONGLONG g_syncCounter;
FILETIME g_syncTime;
FILETIME g_processCreated;

const char* const kCallNames[] = {
#define FAULT_NAME(name, type, failure, params, args) #name,
    FAULT_CALLS(FAULT_NAME)
#undef FAULT_NAME
};

// Writes a line for the torture sweep to `path` (when named), appended or
// as the file's only content.
void WriteLine(const char* path, bool append, const char* line, int length) {
    if (path[0] == '\0') return;
    HANDLE file = ::CreateFileA(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(length), &written, NULL);
    ::CloseHandle(file);
}

// Appends one line to the torture log: which call the sweep failed.
void LogFailure(int index, Call call, DWORD error) {
    char line[128];
    WriteLine(g_logFile, true, line, wsprintfA(line, "%d %s %lu\n", index, kCallNames[call], error));
}

void ReadEnvironment() {
    g_envRead = true;
    char value[MAX_PATH];
    if (GetEnvironmentVariableA("TARNELO_FAULT_AT", value, sizeof value) != 0) g_failAt = strtol(value, NULL, 10);
    if (GetEnvironmentVariableA("TARNELO_FAULT_PERSIST", value, sizeof value) != 0) g_persist = value[0] == '1';
    if (GetEnvironmentVariableA("TARNELO_FAULT_ERROR", value, sizeof value) != 0) {
        g_envError = strtoul(value, NULL, 0);
    }
    if (GetEnvironmentVariableA("TARNELO_FAULT_COUNT_FILE", g_countFile, sizeof g_countFile) == 0) {
        g_countFile[0] = '\0';
    }
    if (GetEnvironmentVariableA("TARNELO_FAULT_LOG", g_logFile, sizeof g_logFile) == 0) g_logFile[0] = '\0';
    if (GetEnvironmentVariableA("TARNELO_FAULT_TIMELINE", g_timelineFile, sizeof g_timelineFile) == 0) {
        g_timelineFile[0] = '\0';
    }
    if (g_timelineFile[0] != '\0') {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        GetSystemTimePreciseAsFileTime(&g_syncTime);
        g_syncCounter = counter.QuadPart;
        FILETIME exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &g_processCreated, &exited, &kernel, &user);
    }
}

// The layer's lock, held for the scope; whoever takes it first makes what
// the layer keeps (the torture build's entry runs no static constructor).
struct Hold {
    Hold() {
        AcquireSRWLockExclusive(&g_lock);
        if (!g_envRead) ReadEnvironment();
        if (g_rules == NULL) g_rules = new std::vector<Rule>;
        if (g_records == NULL) g_records = new std::deque<Record>;
    }
    ~Hold() { ReleaseSRWLockExclusive(&g_lock); }
};

enum Verdict { kPass, kFail, kZero, kReplaced };

// Decides the fate of one call and records it. Keeps the caller's last error.
Verdict Decide(Call call, const UINT_PTR* args, int argc, DWORD* error, size_t* recordIndex) {
    DWORD saved = GetLastError();
    Hold hold;
    ++g_counts[call];
    ++g_total;

    Verdict verdict = kPass;
    for (Rule& rule : *g_rules) {
        if (rule.call != call || rule.times == 0) continue;
        if (rule.match != 0 && (argc == 0 || args[0] != rule.match)) continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        if (rule.times > 0) --rule.times;
        verdict = rule.zeroBytes ? kZero : kFail;
        *error = rule.error;
        break;
    }
    if (verdict == kPass && g_replacements[call] != NULL) verdict = kReplaced;
    if (verdict == kPass && g_failAt > 0 &&
        (g_total == g_failAt || (g_persist && g_total > g_failAt))) {
        verdict = kFail;
        *error = g_envError;
        LogFailure(g_total, call, g_envError);
    }

    Record record = {};
    record.call = call;
    record.thread = GetCurrentThreadId();
    for (int i = 0; i < argc && i < kMaxArgs; ++i) record.args[i] = args[i];
    if (g_records->size() == kMaxRecords) g_records->pop_front();
    g_records->push_back(record);
    *recordIndex = g_records->size() - 1;
    SetLastError(saved);
    return verdict;
}

void SetResult(size_t index, UINT_PTR result) {
    Hold hold;
    if (index < g_records->size()) (*g_records)[index].result = result;
}

template <typename T>
UINT_PTR Word(T value) {
    return (UINT_PTR)(value);
}

// Packs a call's arguments: Packer(words)(a0, a1, ...) gives their count.
struct Packer {
    UINT_PTR* words;
    template <typename... T>
    int operator()(T... values) const {
        UINT_PTR packed[] = {0, Word(values)...};
        int count = static_cast<int>(sizeof packed / sizeof packed[0]) - 1;
        for (int i = 0; i < count && i < kMaxArgs; ++i) words[i] = packed[i + 1];
        return count;
    }
};

// A transfer that "succeeds" with nothing moved (ReadFile, WriteFile).
BOOL ZeroMoved(const UINT_PTR* args) {
    LPDWORD moved = reinterpret_cast<LPDWORD>(args[3]);
    if (moved != NULL) *moved = 0;
    return TRUE;
}

LONGLONG CounterNow() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// Stamps one call that has returned (timeline runs only).
void StampCall(Call call, LONGLONG entered, const UINT_PTR* args, UINT_PTR result) {
    if (g_timelineFile[0] == '\0') return;
    const LONG index = g_stampCount++;
    if (index >= kMaxStamps) return;
    Stamp& stamp = g_stamps[index];
    stamp.returned = CounterNow();
    stamp.entered = entered;
    stamp.thread = GetCurrentThreadId();
    stamp.call = call;
    for (int i = 0; i < 4; ++i) stamp.args[i] = args[i];
    stamp.result = result;
    if (call == kGetExitCodeProcess && result != 0) {
        FILETIME kernel, user;
        GetProcessTimes(reinterpret_cast<HANDLE>(args[0]), &stamp.created, &stamp.ended, &kernel, &user);
    }
}

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// One line per stamp, for script/timeline; the exit's own stamp last.
void WriteTimeline(LONGLONG exiting, UINT code) {
    if (g_timelineFile[0] == '\0') return;
    HANDLE file = ::CreateFileA(g_timelineFile, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    char line[256];
    DWORD written = 0;
    typedef long long Signed;
    typedef unsigned long long Unsigned;
    int length = snprintf(line, sizeof line, "frequency %lld\nsync %lld %llu\ncreated %llu\n",
                          Signed(frequency.QuadPart), Signed(g_syncCounter), Unsigned(Ticks(g_syncTime)),
                          Unsigned(Ticks(g_processCreated)));
    ::WriteFile(file, line, static_cast<DWORD>(length), &written, NULL);
    const LONG count = g_stampCount < kMaxStamps ? g_stampCount.load() : kMaxStamps;
    for (LONG i = 0; i < count; ++i) {
        const Stamp& s = g_stamps[i];
        length = snprintf(line, sizeof line, "call %lld %lld %lu %s %llx %llx %llx %llx %llx %llu %llu\n",
                          Signed(s.entered), Signed(s.returned), static_cast<unsigned long>(s.thread),
                          kCallNames[s.call], Unsigned(s.args[0]), Unsigned(s.args[1]), Unsigned(s.args[2]),
                          Unsigned(s.args[3]), Unsigned(s.result), Unsigned(Ticks(s.created)),
                          Unsigned(Ticks(s.ended)));
        ::WriteFile(file, line, static_cast<DWORD>(length), &written, NULL);
    }
    length = snprintf(line, sizeof line, "exit %lld %lu %u\n", Signed(exiting),
                      static_cast<unsigned long>(GetCurrentThreadId()), code);
    ::WriteFile(file, line, static_cast<DWORD>(length), &written, NULL);
    ::CloseHandle(file);
}

}  // namespace

void Reset() {
    Hold hold;
    g_slowSleeps = false;
    g_dup2Failures = 0;
    g_rules->clear();
    g_records->clear();
    for (int& count : g_counts) count = 0;
    for (void*& replacement : g_replacements) replacement = NULL;
    g_total = 0;
}

void Fail(Call call, DWORD error, int skip, int times, UINT_PTR match) {
    Hold hold;
    g_rules->push_back(Rule{call, error, skip, times, match, false});
}

void ZeroBytes(Call call, int skip, int times, UINT_PTR match) {
    Hold hold;
    g_rules->push_back(Rule{call, 0, skip, times, match, true});
}

void Replace(Call call, void* replacement) {
    Hold hold;
    g_replacements[call] = replacement;
}

void SlowSleeps() { g_slowSleeps = true; }

void FailDup2(int times) { g_dup2Failures = times; }

void* Replacement(Call call) {
    Hold hold;
    return g_replacements[call];
}

int Count(Call call) {
    Hold hold;
    return g_counts[call];
}

std::vector<Record> Records(Call call) {
    std::vector<Record> out;
    Hold hold;
    for (const Record& record : *g_records) {
        if (record.call == call) out.push_back(record);
    }
    return out;
}

}  // namespace fault

using namespace fault;

#define FAULT_DEFINE(name, type, failure, params, args)                                \
    extern "C" type WINAPI Fault_##name params {                                       \
        const LONGLONG fault_entered = CounterNow();                                   \
        UINT_PTR packed[kMaxArgs] = {};                                                \
        int argc = Packer{packed} args;                                                \
        DWORD fault_error = 0;                                                         \
        size_t index = 0;                                                              \
        Verdict verdict = Decide(k##name, packed, argc, &fault_error, &index);         \
        if (verdict == kFail) {                                                        \
            SetLastError(fault_error);                                                 \
            return failure;                                                            \
        }                                                                              \
        if (verdict == kZero) return (type)(UINT_PTR)ZeroMoved(packed);               \
        typedef type(WINAPI * Function) params;                                        \
        Function function = ::name;                                                    \
        if (verdict == kReplaced) function = reinterpret_cast<Function>(Replacement(k##name)); \
        BeforeCall(k##name, packed);                                                   \
        type result = function args;                                                   \
        DWORD error = GetLastError();                                                  \
        SetResult(index, Word(result));                                                \
        StampCall(k##name, fault_entered, packed, Word(result));                       \
        SetLastError(error);                                                           \
        return result;                                                                 \
    }
FAULT_CALLS(FAULT_DEFINE)
#undef FAULT_DEFINE

extern "C" int Fault_dup2(int from, int to) {
    if (g_dup2Failures > 0) {
        --g_dup2Failures;
        errno = EBADF;
        return -1;
    }
    return ::_dup2(from, to);
}

extern "C" void WINAPI Fault_Sleep(DWORD milliseconds) {
    ::Sleep(g_slowSleeps && milliseconds != INFINITE ? milliseconds + milliseconds * 6 / 10 : milliseconds);
}

extern "C" void WINAPI Fault_ExitProcess(UINT code) {
    WriteTimeline(CounterNow(), code);
    int total = 0;
    {
        Hold hold;
        total = g_total;
    }
    char text[16];
    WriteLine(g_countFile, false, text, wsprintfA(text, "%d\n", total));
    FAULT_COVERAGE_DUMP();
    ::ExitProcess(code);
}
