/* GUI child for the protocol fuzzer and the squatting tests.

     fuzz_child.exe fuzz <seed> <log>
       Sends the request stream that fuzz_stream.h makes from <seed> straight
       on the launcher's pipes (no SDK calls beyond reading the block), in
       write pieces of random size. Every result it gets, with the data of
       each read, goes to <log> as records "<step> <12-byte result> <data>"
       (step a little-endian word), followed by "DONE" once every step went
       through. Then it ends the way the plan says and exits with the plan's
       exit code.

     fuzz_child.exe attach <dump>
       Writes to <dump> the first 68 bytes of whatever mapping carries this
       process's channel name (nothing when there is none), then exits with
       0x20 + the result of TarneloAttach.

   Own failures: 0x3D attach failed, 0x3E a pipe of ours failed or a result
   was out of step (the log says at which step), 0x3F bad arguments. */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "fuzz_stream.h"
#include "tarnelo_child.h"

#define EXIT_NOT_ATTACHED 0x3D
#define EXIT_OUT_OF_STEP 0x3E
#define EXIT_BAD_ARGUMENTS 0x3F

static unsigned char g_data[8 + FUZZ_MAX_WRITE + 70000];
static unsigned char g_log[FUZZ_MAX_OPS * (16 + TARNELO_MAX_TRANSFER) + 64];
static DWORD g_logSize;
static const char* g_logPath;

static void PutWord(unsigned char* out, FuzzWord value) {
    out[0] = (unsigned char)value;
    out[1] = (unsigned char)(value >> 8);
    out[2] = (unsigned char)(value >> 16);
    out[3] = (unsigned char)(value >> 24);
}

static FuzzWord GetWord(const unsigned char* in) {
    return (FuzzWord)in[0] | (FuzzWord)in[1] << 8 | (FuzzWord)in[2] << 16 | (FuzzWord)in[3] << 24;
}

static void LogBytes(const void* bytes, DWORD size) {
    if (g_logSize + size > sizeof g_log) return;
    memcpy(g_log + g_logSize, bytes, size);
    g_logSize += size;
}

static void SaveLog(void) { ChildSaveFile(g_logPath, g_log, g_logSize, 0); }

static void OutOfStep(int step, const char* what) {
    unsigned char word[4];
    PutWord(word, (FuzzWord)step);
    LogBytes("FAIL", 4);
    LogBytes(word, 4);
    LogBytes(what, (DWORD)strlen(what));
    SaveLog();
    ExitProcess(EXIT_OUT_OF_STEP);
}

/* Sends in pieces of 1 to 8,192 bytes: the launcher must not care how a
   request and its data are cut up on the pipe. */
static int SendPieces(HANDLE pipe, const unsigned char* bytes, DWORD size, FuzzRandom* cuts) {
    while (size != 0) {
        DWORD piece = 1 + FuzzBelow(cuts, 8192);
        if (piece > size) piece = size;
        if (!ChildWriteAll(pipe, bytes, piece)) return 0;
        bytes += piece;
        size -= piece;
    }
    return 1;
}

static HANDLE DirectHandle(const TarneloChild* child, FuzzWord command) {
    return command == 1u   ? TarneloStdoutHandle(child)
           : command == 2u ? TarneloStderrHandle(child)
                           : TarneloConsoleHandle(child);
}

static void RunStep(TarneloChild* child, const FuzzOp* op, int step, FuzzRandom* cuts) {
    const int write = op->kind == FUZZ_WRITE;
    unsigned char result[12];
    unsigned char stepWord[4];
    PutWord(stepWord, (FuzzWord)step);
    PutWord(g_data, op->command);
    PutWord(g_data + 4, op->argument);
    if (write || op->kind == FUZZ_READ) {
        if (write) FuzzFill(g_data + 8, op->argument, op->dataSeed, FuzzIsConsole(op->command));
        /* The step number tells a write from a read. */
        if (!SendPieces(child->requests, g_data, write ? 8 + op->argument : 8, cuts)) OutOfStep(step, "send request");
        if (!ChildReadAll(child->results, result, sizeof result)) OutOfStep(step, "result");
        LogBytes(stepWord, 4);
        LogBytes(result, sizeof result);
        if (!write && GetWord(result) != 0 && GetWord(result + 8) != 0) {
            DWORD count = GetWord(result + 8);
            if (count > TARNELO_MAX_TRANSFER) OutOfStep(step, "read count");
            if (!ChildReadAll(child->results, g_data, count)) OutOfStep(step, "read data");
            LogBytes(g_data, count);
        }
    } else if (op->kind == FUZZ_DIRECT) {
        FuzzFill(g_data, op->argument, op->dataSeed, FuzzIsConsole(op->command));
        if (!SendPieces(DirectHandle(child, op->command), g_data, op->argument, cuts)) OutOfStep(step, "direct write");
    } else if (!SendPieces(child->requests, g_data, 8, cuts)) {
        OutOfStep(step, "send unanswered"); /* a mode switch or an unknown code: no answer */
    }
}

static int Fuzz(FuzzWord seed) {
    static FuzzPlan plan;
    TarneloChild child;
    FuzzRandom cuts;
    int step;
    FuzzMakePlan(&plan, seed);
    FuzzSeed(&cuts, seed ^ 0xC0FFEEu);
    if (TarneloAttach(&child) != TARNELO_ATTACHED) return EXIT_NOT_ATTACHED;
    for (step = 0; step < plan.opCount; ++step) RunStep(&child, &plan.ops[step], step, &cuts);
    LogBytes("DONE", 4);
    SaveLog();

    if (plan.ending == FUZZ_END_DETACH) {
        if (plan.endClosesPipes) TarneloDetach(&child);
    } else {
        /* A request cut within its header, or short of the data it announced. */
        const int cut = plan.ending == FUZZ_END_CUT;
        PutWord(g_data, plan.endCommand);
        PutWord(g_data + 4, plan.endAnnounced);
        if (!cut) FuzzFill(g_data + 8, plan.endSent, plan.endDataSeed, FuzzIsConsole(plan.endCommand));
        SendPieces(child.requests, g_data, cut ? plan.endSent : 8 + plan.endSent, &cuts);
    }
    return (int)plan.exitCode;
}

static int Attach(const char* dumpPath) {
    char name[40];
    TarneloChild child;
    HANDLE mapping;
    wsprintfA(name, "tarnelo\t%lu\t%lu", GetCurrentProcessId(), GetCurrentThreadId());
    mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (mapping != NULL) {
        const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        if (view != NULL) {
            ChildSaveFile(dumpPath, view, sizeof(TarneloBlock), 0);
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
    }
    return 0x20 + TarneloAttach(&child);
}

/* main, not WinMain: the link makes it a GUI program all the same. */
int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "fuzz") == 0) {
        g_logPath = argv[3];
        return Fuzz((FuzzWord)strtoul(argv[2], NULL, 10));
    }
    if (argc == 3 && strcmp(argv[1], "attach") == 0) return Attach(argv[2]);
    return EXIT_BAD_ARGUMENTS;
}
