/* Seeded request streams for the protocol fuzzer. The same seed gives the
   same stream in fuzz_child.c, which sends it on the launcher's pipes, and
   in fuzz_test.cpp, which predicts from it what the launcher must do: the
   bytes that reach stdout and stderr, the results the child gets, the
   report and the exit code. Plain C, usable from C and C++. */
#ifndef TARNELO_FUZZ_STREAM_H
#define TARNELO_FUZZ_STREAM_H

#include "child_common.h"

typedef unsigned int FuzzWord; /* 32 bits on every target built here */

#define FUZZ_MAX_OPS 64
#define FUZZ_MAX_WRITE 65536u
/* Console writes are slow under Wine and land on the test's console:
   printable and short, but still across one chunk boundary now and then. */
#define FUZZ_MAX_CONSOLE_WRITE 600u

/* The stream's generator: child_common.h's xorshift32 (PatternNext). */
typedef PatternStream FuzzRandom;

static inline void FuzzSeed(FuzzRandom* random, FuzzWord seed) {
    int i;
    random->state = (seed * 2654435761u) ^ 0x9E3779B9u;
    random->column = 0;
    if (random->state == 0) random->state = 1;
    for (i = 0; i < 4; ++i) PatternNext(random); /* spread nearby seeds apart */
}

static inline FuzzWord FuzzBelow(FuzzRandom* random, FuzzWord bound) {
    return bound == 0 ? 0 : PatternNext(random) % bound;
}

/* What one step of the stream does. */
enum FuzzKind {
    FUZZ_WRITE,   /* request `command` (1, 2 or 4) with `argument` bytes of data */
    FUZZ_READ,    /* request 0: one read of stdin */
    FUZZ_MODE,    /* request 5 with `argument` as the raw flag; no answer */
    FUZZ_UNKNOWN, /* request with a code the launcher does not know; no answer */
    FUZZ_DIRECT   /* WriteFile of `argument` bytes on the handed-over handle for `command` (1, 2, 4) */
};

/* How the stream ends. */
enum FuzzEnding {
    FUZZ_END_DETACH, /* close the pipes (or just exit) between requests */
    FUZZ_END_CUT,    /* send the first `endSent` (1-7) bytes of a request, then exit */
    FUZZ_END_SHORT   /* announce `endAnnounced` bytes for `endCommand`, send `endSent` fewer, exit */
};

typedef struct FuzzOp {
    int kind;
    FuzzWord command;
    FuzzWord argument;
    FuzzWord dataSeed; /* seeds the step's data bytes */
} FuzzOp;

typedef struct FuzzPlan {
    FuzzWord seed;
    int stdinPipe; /* else a file */
    int stdoutPipe;
    int stderrPipe;
    FuzzWord inputSize;
    FuzzWord inputSeed;
    int opCount;
    FuzzOp ops[FUZZ_MAX_OPS];
    int ending;
    int endClosesPipes; /* FUZZ_END_DETACH: close the handles first, else just exit */
    FuzzWord endCommand;
    FuzzWord endAnnounced;
    FuzzWord endSent;
    FuzzWord endDataSeed;
    FuzzWord exitCode;
} FuzzPlan;

static inline int FuzzIsConsole(FuzzWord command) { return command == 4u; }

/* Byte counts around the launcher's 4,096-byte chunks, and some far off. */
static inline FuzzWord FuzzWriteSize(FuzzRandom* random, FuzzWord command) {
    static const FuzzWord kEdges[] = {1u, 4095u, 4096u, 4097u, 8191u, 8192u, 8193u, 12288u};
    FuzzWord roll = FuzzBelow(random, 100);
    FuzzWord size;
    if (roll < 12) {
        size = 0;
    } else if (roll < 45) {
        size = 1 + FuzzBelow(random, 300);
    } else if (roll < 65) {
        size = kEdges[FuzzBelow(random, sizeof kEdges / sizeof kEdges[0])];
    } else if (roll < 90) {
        size = FuzzBelow(random, 16385);
    } else {
        size = FuzzBelow(random, FUZZ_MAX_WRITE + 1);
    }
    if (FuzzIsConsole(command) && size > FUZZ_MAX_CONSOLE_WRITE) {
        size = roll % 5 == 0 ? 4097u : size % FUZZ_MAX_CONSOLE_WRITE;
    }
    return size;
}

static inline FuzzWord FuzzWriteCommand(FuzzRandom* random) {
    FuzzWord roll = FuzzBelow(random, 10);
    return roll < 5 ? 1u : roll < 9 ? 2u : 4u;
}

static inline void FuzzMakePlan(FuzzPlan* plan, FuzzWord seed) {
    FuzzRandom random;
    FuzzWord roll;
    int i;
    FuzzSeed(&random, seed);
    plan->seed = seed;
    plan->stdinPipe = (int)FuzzBelow(&random, 2);
    plan->stdoutPipe = (int)FuzzBelow(&random, 2);
    plan->stderrPipe = (int)FuzzBelow(&random, 2);
    roll = FuzzBelow(&random, 10);
    plan->inputSize = roll == 0 ? 0u : roll == 1 ? 4096u : roll == 2 ? 8192u : FuzzBelow(&random, 20000);
    plan->inputSeed = PatternNext(&random);
    plan->opCount = 4 + (int)FuzzBelow(&random, FUZZ_MAX_OPS - 3);
    for (i = 0; i < plan->opCount; ++i) {
        FuzzOp* op = &plan->ops[i];
        roll = FuzzBelow(&random, 100);
        op->dataSeed = PatternNext(&random);
        if (roll < 40) {
            op->kind = FUZZ_WRITE;
            op->command = FuzzWriteCommand(&random);
            op->argument = FuzzWriteSize(&random, op->command);
        } else if (roll < 58) {
            op->kind = FUZZ_READ;
            op->command = 0u;
            op->argument = PatternNext(&random); /* ignored by the launcher */
        } else if (roll < 70) {
            op->kind = FUZZ_MODE;
            op->command = 5u;
            roll = FuzzBelow(&random, 3);
            op->argument = roll == 0 ? 0u : roll == 1 ? 1u : PatternNext(&random);
        } else if (roll < 82) {
            op->kind = FUZZ_UNKNOWN;
            roll = FuzzBelow(&random, 3);
            op->command = roll == 0 ? 6u : roll == 1 ? 0xFFFFFFFFu : 6u + FuzzBelow(&random, 0xFFFFFFF9u);
            op->argument = PatternNext(&random); /* a huge "count" must not be read as data */
        } else {
            op->kind = FUZZ_DIRECT;
            op->command = FuzzWriteCommand(&random);
            op->argument = FuzzWriteSize(&random, op->command);
        }
    }
    roll = FuzzBelow(&random, 4);
    plan->ending = roll < 2 ? FUZZ_END_DETACH : roll == 2 ? FUZZ_END_CUT : FUZZ_END_SHORT;
    plan->endClosesPipes = (int)FuzzBelow(&random, 2);
    plan->endCommand = plan->ending == FUZZ_END_CUT ? PatternNext(&random) : FuzzWriteCommand(&random);
    plan->endAnnounced = 1 + FuzzBelow(&random, FuzzIsConsole(plan->endCommand) ? 5000u : 70000u);
    plan->endSent = plan->ending == FUZZ_END_CUT ? 1 + FuzzBelow(&random, 7) : FuzzBelow(&random, plan->endAnnounced);
    plan->endDataSeed = PatternNext(&random);
    plan->exitCode = 0x40u + seed % 16u;
}

/* The data of one step: printable letters for the console, any byte value
   (NUL, CR, LF, ^Z and 0xFF included) elsewhere. */
static inline void FuzzFill(unsigned char* out, FuzzWord size, FuzzWord dataSeed, int printable) {
    FuzzRandom random;
    FuzzSeed(&random, dataSeed);
    PatternFill(&random, out, size, printable ? PATTERN_LETTERS : PATTERN_BYTES);
}

#endif
