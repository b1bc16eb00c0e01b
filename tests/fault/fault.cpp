// The fault layer: wrappers for the launcher's platform calls. Built only
// into test programs and the torture variant of the launcher.
#include "fault.h"

#include <stdlib.h>

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

// The torture variant's settings, read once from the environment.
bool g_envRead;
long g_failAt;
bool g_persist;
DWORD g_envError = ERROR_NOT_ENOUGH_MEMORY;
char g_countFile[MAX_PATH];
char g_logFile[MAX_PATH];

const char* const kCallNames[] = {
#define FAULT_NAME(name, type, failure, params, args) #name,
    FAULT_CALLS(FAULT_NAME)
#undef FAULT_NAME
};

// Appends one line to the torture log: which call the sweep failed.
void LogFailure(int index, Call call, DWORD error) {
    if (g_logFile[0] == '\0') return;
    HANDLE file = ::CreateFileA(g_logFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[128];
    int length = wsprintfA(line, "%d %s %lu\n", index, kCallNames[call], error);
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(length), &written, NULL);
    ::CloseHandle(file);
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
}

enum Verdict { kPass, kFail, kZero, kReplaced };

// Decides the fate of one call and records it. Keeps the caller's last error.
Verdict Decide(Call call, const UINT_PTR* args, int argc, DWORD* error, size_t* recordIndex) {
    DWORD saved = GetLastError();
    AcquireSRWLockExclusive(&g_lock);
    if (!g_envRead) ReadEnvironment();
    if (g_rules == NULL) g_rules = new std::vector<Rule>;
    if (g_records == NULL) g_records = new std::deque<Record>;
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
    ReleaseSRWLockExclusive(&g_lock);
    SetLastError(saved);
    return verdict;
}

void SetResult(size_t index, UINT_PTR result) {
    AcquireSRWLockExclusive(&g_lock);
    if (index < g_records->size()) (*g_records)[index].result = result;
    ReleaseSRWLockExclusive(&g_lock);
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

}  // namespace

void Reset() {
    AcquireSRWLockExclusive(&g_lock);
    if (g_rules != NULL) g_rules->clear();
    if (g_records != NULL) g_records->clear();
    for (int& count : g_counts) count = 0;
    for (void*& replacement : g_replacements) replacement = NULL;
    g_total = 0;
    ReleaseSRWLockExclusive(&g_lock);
}

void Fail(Call call, DWORD error, int skip, int times, UINT_PTR match) {
    AcquireSRWLockExclusive(&g_lock);
    if (g_rules == NULL) g_rules = new std::vector<Rule>;
    g_rules->push_back(Rule{call, error, skip, times, match, false});
    ReleaseSRWLockExclusive(&g_lock);
}

void ZeroBytes(Call call, int skip, int times, UINT_PTR match) {
    AcquireSRWLockExclusive(&g_lock);
    if (g_rules == NULL) g_rules = new std::vector<Rule>;
    g_rules->push_back(Rule{call, 0, skip, times, match, true});
    ReleaseSRWLockExclusive(&g_lock);
}

void Replace(Call call, void* replacement) {
    AcquireSRWLockExclusive(&g_lock);
    g_replacements[call] = replacement;
    ReleaseSRWLockExclusive(&g_lock);
}

void* Replacement(Call call) {
    AcquireSRWLockExclusive(&g_lock);
    void* replacement = g_replacements[call];
    ReleaseSRWLockExclusive(&g_lock);
    return replacement;
}

int Count(Call call) {
    AcquireSRWLockExclusive(&g_lock);
    int count = g_counts[call];
    ReleaseSRWLockExclusive(&g_lock);
    return count;
}

int TotalCount() {
    AcquireSRWLockExclusive(&g_lock);
    int count = g_total;
    ReleaseSRWLockExclusive(&g_lock);
    return count;
}

std::vector<Record> Records(Call call) {
    std::vector<Record> out;
    AcquireSRWLockExclusive(&g_lock);
    if (g_records != NULL) {
        for (const Record& record : *g_records) {
            if (record.call == call) out.push_back(record);
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
    return out;
}

}  // namespace fault

using namespace fault;

#define FAULT_DEFINE(name, type, failure, params, args)                                \
    extern "C" type WINAPI Fault_##name params {                                       \
        UINT_PTR packed[kMaxArgs] = {};                                                \
        int argc = Packer{packed} args;                                                \
        DWORD fault_error = 0;                                                         \
        size_t index = 0;                                                              \
        Verdict verdict = Decide(k##name, packed, argc, &fault_error, &index);         \
        if (verdict == kFail) {                                                        \
            SetLastError(fault_error);                                                 \
            return failure;                                                            \
        }                                                                              \
        if (verdict == kZero) return (type)ZeroMoved(packed);                          \
        typedef type(WINAPI * Function) params;                                        \
        Function function = ::name;                                                    \
        if (verdict == kReplaced) function = reinterpret_cast<Function>(Replacement(k##name)); \
        BeforeCall(k##name, packed);                                                   \
        type result = function args;                                                   \
        DWORD error = GetLastError();                                                  \
        SetResult(index, Word(result));                                                \
        SetLastError(error);                                                           \
        return result;                                                                 \
    }
FAULT_CALLS(FAULT_DEFINE)
#undef FAULT_DEFINE


extern "C" void WINAPI Fault_ExitProcess(UINT code) {
    AcquireSRWLockExclusive(&g_lock);
    if (!g_envRead) ReadEnvironment();
    int total = g_total;
    ReleaseSRWLockExclusive(&g_lock);
    if (g_countFile[0] != '\0') {
        HANDLE file = ::CreateFileA(g_countFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            char text[16];
            int length = wsprintfA(text, "%d\n", total);
            DWORD written = 0;
            ::WriteFile(file, text, static_cast<DWORD>(length), &written, NULL);
            ::CloseHandle(file);
        }
    }
    FAULT_COVERAGE_DUMP();
    ::ExitProcess(code);
}
