// Long seeded runs of mixed requests against a model that predicts every
// byte at every destination and every answer; and the memory the service
// uses while it serves them.
#include <random>

#include "service_fixture.h"

namespace service_test {
namespace {

// What the launcher must produce for a script, built alongside it from
// what the run gives the service.
struct Model {
    std::string stdinBytes, consoleInBytes;
    DWORD brokenError = 0;  // stderr is a pipe whose reader has gone
    DWORD mode = 0;         // the saved input mode, from the run's first one
    std::string script, answers;
    std::string out, console;  // stdout and the console output device
    std::vector<DWORD> modes;  // each SetConsoleMode, in order
    size_t stdinAt = 0, consoleInAt = 0;  // how far the reads have gone
};

DWORD Size(std::mt19937& random) {
    const unsigned kind = random() % 8;
    if (kind == 0) return 0;
    if (kind == 1) return 4096 * (1 + random() % 4) + (random() % 3) - 1;  // around chunk boundaries
    return random() % 20001;
}

void Read(DWORD command, const std::string& source, size_t* at, Model* model) {
    const size_t n = source.size() - *at < 4096 ? source.size() - *at : 4096;
    model->script += Request(command, 0);
    model->answers += Result(1, 0, static_cast<DWORD>(n)) + source.substr(*at, n);
    *at += n;
}

Model Generate(unsigned seed, int count, Model model) {
    std::mt19937 random(seed);
    for (int i = 0; i < count; ++i) {
        const unsigned pick = random() % 100;
        if (pick < 45) {
            const DWORD command = pick < 20 ? CMD_WRITE_STDOUT : pick < 30 ? CMD_WRITE_STDERR : CMD_WRITE_CONSOLE;
            const std::string data = Pattern(Size(random), seed * 1000 + i);
            model.script += Write(command, data);
            const bool broken = command == CMD_WRITE_STDERR && !data.empty();
            model.answers += broken ? Result(0, model.brokenError, 0) : Result(1, 0, 0);
            if (command == CMD_WRITE_STDOUT) model.out += data;
            if (command == CMD_WRITE_CONSOLE) model.console += data;
        } else if (pick < 60) {
            Read(CMD_READ_STDIN, model.stdinBytes, &model.stdinAt, &model);
        } else if (pick < 75) {
            Read(CMD_READ_CONSOLE, model.consoleInBytes, &model.consoleInAt, &model);
        } else if (pick < 90) {
            const DWORD argument = random() % 3 == 0 ? 0 : static_cast<DWORD>(random()) | 1;
            model.script += Request(CMD_SET_RAW_MODE, argument);
            model.mode = argument != 0 ? model.mode & ~7u : model.mode | 7u;
            model.modes.push_back(model.mode);
        } else {
            const DWORD code = random() % 4 == 0 ? 0xFFFFFFFF : 6 + random() % 1000;
            model.script += Request(code, static_cast<DWORD>(random()));
        }
    }
    return model;
}

struct ModelRun {
    unsigned seed;
    DWORD requestReadCap;   // 0: the pipe delivers all that waits
    DWORD consoleWriteCap;  // 0: the console takes every chunk whole
};

class ServiceModelTest : public ServiceTest {
protected:
    // Runs a generated script through the service and checks every output.
    void RunAndCheck(const ModelRun& run, int count) {
        const unsigned seed = run.seed;
        SCOPED_TRACE("seed " + std::to_string(seed));
        Renew();
        std::mt19937 random(seed ^ 0x5EED);
        Model given;
        given.stdinBytes = Pattern(30000 + random() % 5000, seed + 100);
        given.consoleInBytes = Pattern(200000, seed + 200);
        given.brokenError = BrokenWriteError();
        given.mode = static_cast<DWORD>(random());

        Destinations to;
        to.err.CloseRead();
        g_state.stdinHandle = SourceFile("stdin.bin", given.stdinBytes);
        HANDLE consoleIn = g_state.consoleInput = SourceFile("conin.bin", given.consoleInBytes);
        g_state.stdoutIsConsole = random() % 2;
        g_state.stderrIsConsole = random() % 2;
        g_state.savedInputMode = given.mode;
        if (run.requestReadCap != 0) g_readCaps[requests_.read] = run.requestReadCap;
        if (run.consoleWriteCap != 0) g_writeCaps[to.console.write] = run.consoleWriteCap;
        LogTransfers();
        const Model model = Generate(seed, count, given);

        ASSERT_EQ(1u, Run(model.script));

        EXPECT_TRUE(SameBytes(model.answers, Answers())) << "answers";
        EXPECT_TRUE(SameBytes(model.out, TakeAvailable(to.out.read))) << "stdout";
        EXPECT_TRUE(SameBytes(model.console, TakeAvailable(to.console.read))) << "console output";
        ExpectModeSwitches(consoleIn, model.modes);
        EXPECT_EQ(model.mode, g_state.savedInputMode);
    }
};

using ServiceModel = ServiceModelTest;

TEST_F(ServiceModel, DeliversWhatTheModelPredicts) {
    // Pipes that deliver and devices that take less than asked, on some seeds.
    const ModelRun runs[] = {{1, 0, 0}, {2, 1000, 0}, {3, 0, 700}, {4, 1000, 700}};
    for (const ModelRun& run : runs) RunAndCheck(run, 300);
}

using ServiceMemory = ServiceModelTest;

TEST_F(ServiceMemory, AllocatesNothingAndMovesDataOnlyThroughThePrimaryBuffer) {
    RunAndCheck(ModelRun{11, 0, 0}, 300);

    EXPECT_EQ(0, fault::Count(fault::kLocalAlloc));
    EXPECT_EQ(0, fault::Count(fault::kLocalFree));
    // Every transfer of data goes through the primary buffer, at most 4096
    // bytes at a time. Only a request (read into its 8-byte record) and a
    // result (written from its 12-byte record) use memory of their own.
    const BYTE* primary = g_state.primaryBuffer;
    const BYTE* requestRecord = NULL;
    int dataMoves = 0;
    for (const Transfer& t : LoggedTransfers()) {
        const BYTE* buffer = static_cast<const BYTE*>(t.buffer);
        if (buffer >= primary && buffer + t.asked <= primary + 4096) {
            ++dataMoves;
            continue;
        }
        if (t.write) {
            EXPECT_EQ(results_.write, t.handle) << "a write of " << t.asked << " bytes outside the primary buffer";
            EXPECT_EQ(12u, t.asked);
        } else {
            EXPECT_EQ(requests_.read, t.handle) << "a read of " << t.asked << " bytes outside the primary buffer";
            if (requestRecord == NULL) requestRecord = buffer;
            EXPECT_TRUE(buffer >= requestRecord && buffer + t.asked <= requestRecord + 8)
                << "a read of " << t.asked << " bytes outside the request record";
        }
    }
    EXPECT_GT(dataMoves, 300);
}

}  // namespace
}  // namespace service_test
