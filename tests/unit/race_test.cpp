// Shutdown racing real traffic. A console close arrives (Wine never sends
// one, so a second thread calls the handler) while the whole launcher runs
// in this process against a child that keeps the command service, the
// stdout relay and the dedicated console relay busy: at every moment the
// launcher must end by the exit code rules, without a crash or a hang,
// without a report, releasing each handle and buffer once and using none
// after its release. And CTRL+C pressed again and again during heavy
// transfers: every byte still arrives exactly, and the child sees the key.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "../stress/sha256.h"
#include "harness.h"
#include "launcher_run.h"
#include "service_fixture.h"

namespace {

const DWORD kWatchdogMs = 15000;  // start-up plus the shutdown's longest waits, and then some
const DWORD kChildDone = 0x60;

// Set by a hook when the launcher has reached the moment a case waits for.
HANDLE g_reached;

bool Reached() { return WaitForSingleObject(g_reached, 5000) == WAIT_OBJECT_0; }

// Runs in the death test's process: the whole launcher with `hook` in place
// of `call`, and a close event from a second thread once `due` returns.
void RunAndClose(const launcher_run::Setup& setup, fault::Call call, void* hook, std::function<bool()> due) {
    launcher_run::Start(setup, kWatchdogMs, 0x78);
    g_reached = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (hook != NULL) fault::Replace(call, hook);
    std::thread([due] {
        if (!due()) ::ExitProcess(0x77);
        ControlHandler(CTRL_CLOSE_EVENT);
        ::ExitProcess(0x79);  // it never returns
    }).detach();
    RunLauncher();
    Shutdown();
}

launcher_run::Setup ChildSetup(const std::string& dir, const char* child, const std::string& arguments) {
    return launcher_run::InDirectory(dir, Quote(BinDir() + "\\" + child) + " " + arguments);
}

std::string CaseDir(const std::string& name) {
    const std::string dir = TestDir() + "\\" + name;
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

// One race: how much the child sends before it ends by itself, and when
// the close comes, counted from the launcher's handler going in.
struct Race {
    const char* traffic;
    DWORD delayMs;
};

// A child that would outlast every wait, and one that ends about when the
// close comes, so that the service's own end races the handler's Shutdown.
const Race kRaces[] = {
    {"256M", 0}, {"256M", 50}, {"256M", 150}, {"256M", 300},
    {"1M", 0},   {"1M", 50},   {"1M", 100},   {"1M", 150},  {"1M", 200}, {"1M", 300},
};

// Before the launcher's control handler is in, no close event can reach it.
BOOL WINAPI NoticedSetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    BOOL done = SetConsoleCtrlHandler(routine, add);
    if (done && add) SetEvent(g_reached);
    return done;
}

void CloseDuringTraffic(const std::string& dir, const Race& race) {
    launcher_run::Setup setup = ChildSetup(dir, "stress_child.exe", std::string("mixed ") + race.traffic + " " +
                                                                         Quote(dir + "\\child.txt") + " text");
    // stdout on the console: a relay of its own, and command 1 under the lock.
    setup.std[1] = launcher_run::OpenConsole("CONOUT$");
    RunAndClose(setup, fault::kSetConsoleCtrlHandler, reinterpret_cast<void*>(NoticedSetConsoleCtrlHandler), [&race] {
        if (!Reached()) return false;
        Sleep(race.delayMs);
        return true;
    });
}

TEST(ShutdownRaceDeathTest, CloseEventDuringTrafficEndsByTheRulesReleasingOnce) {
    int childCodes = 0, ones = 0;
    for (const Race& race : kRaces) {
        SCOPED_TRACE(::testing::Message() << "child sending " << race.traffic << ", close " << race.delayMs
                                          << " ms after the handler went in");
        const std::string dir = CaseDir(race.traffic + std::string("-") + std::to_string(race.delayMs));
        const launcher_run::ExitedByTheRules rules{dir + "\\seen.txt", 1};
        EXPECT_EXIT(CloseDuringTraffic(dir, race), rules, "");
        // A close event is no failure of the launcher's: nothing to report.
        EXPECT_EQ("", ReadFileBytes(dir + "\\err.txt"));
        (rules.Expected() == 1 ? ones : childCodes) += 1;
    }
    printf("[ races    ] %d closes: %d ended with the child's code, %d with 1\n", int(sizeof kRaces / sizeof kRaces[0]),
           childCodes, ones);
}

// CTRL+C again and again while data stream through the launcher.

// A handler routine rather than the "ignore CTRL+C" flag, which children
// inherit: the launcher must still see every press.
BOOL WINAPI IgnoreCtrlC(DWORD type) { return type == CTRL_C_EVENT; }

std::string Sha256Of(const std::string& bytes) {
    Sha256 hash;
    Sha256Init(&hash);
    Sha256Add(&hash, bytes.data(), static_cast<unsigned>(bytes.size()));
    char hex[65];
    Sha256Hex(&hash, hex);
    return hex;
}

std::string Field(const std::string& line, const std::string& name) {
    size_t at = line.find(name + "=");
    if (at == std::string::npos) return std::string();
    at += name.size() + 1;
    return line.substr(at, line.find_first_of(" \n", at) - at);
}

TEST(CtrlCUnderLoad, EveryPressReachesTheChildAndTheTransferStaysExact) {
    const struct {
        const char* route;
        DWORD size;
    } kTransfers[] = {{"request1", 24u << 20}, {"stdin", 3u << 20}};
    const std::string dir = TestDir();
    const std::string input = service_test::Pattern(kTransfers[1].size, 1);

    ASSERT_TRUE(SetConsoleCtrlHandler(IgnoreCtrlC, TRUE));
    for (const auto& transfer : kTransfers) {
        SCOPED_TRACE(transfer.route);
        const bool viaStdin = transfer.route == std::string("stdin");
        const std::string report = dir + "\\" + transfer.route + ".txt";
        const std::string names = "tarnelo-ctrlc-" + std::to_string(GetCurrentProcessId());
        HANDLE ready = CreateEventA(NULL, TRUE, FALSE, (names + "-ready").c_str());
        HANDLE finished = CreateEventA(NULL, TRUE, FALSE, (names + "-finished").c_str());
        ASSERT_NE(nullptr, ready);
        ASSERT_NE(nullptr, finished);
        std::atomic<bool> done(false);
        int presses = 0;
        std::thread presser([&] {
            // Only while the child has its handler: before and after, the
            // key would end it, as it would any program on this console.
            if (WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0) return;
            while (!done && WaitForSingleObject(finished, 10) == WAIT_TIMEOUT) {
                if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) ++presses;
            }
        });
        RunOptions options;
        options.input = viaStdin ? input : std::string();
        options.timeoutMs = 60000;
        RunResult run = RunProcess(Quote(Launcher()) + " " + Quote(BinDir() + "\\stress_child.exe") + " " +
                                       transfer.route + " " + std::to_string(transfer.size) + " " + Quote(report) +
                                       " ctrlc ready=" + names + "-ready finished=" + names + "-finished",
                                   options);
        done = true;
        SetEvent(ready);
        presser.join();
        CloseHandle(ready);
        CloseHandle(finished);

        const std::string line = ReadFileBytes(report);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(kChildDone, run.exitCode) << line;
        EXPECT_EQ("", run.err);
        EXPECT_EQ("1", Field(line, "ok")) << line;
        EXPECT_EQ(std::to_string(transfer.size), Field(line, "bytes"));
        const std::string& moved = viaStdin ? input : run.out;
        EXPECT_EQ(transfer.size, moved.size());
        EXPECT_EQ(Sha256Of(moved), Field(line, "sha256"));
        EXPECT_GE(presses, 5) << "the transfer ended before the key was pressed a few times";
        EXPECT_GE(atoi(Field(line, "ctrlc").c_str()), 1) << presses << " presses, none seen by the child";
        printf("[ ctrl+c   ] %s: %d presses during %lu bytes, the child saw the event %s times\n", transfer.route,
               presses, transfer.size, Field(line, "ctrlc").c_str());
    }
    SetConsoleCtrlHandler(IgnoreCtrlC, FALSE);
}

// A close event while start-up is stuck in a slow launch: the child exists,
// suspended, and the main thread is still inside the launch call for longer
// than a request would be given. The handler's Shutdown must let start-up
// finish, so that the child is resumed, runs, and its code is ours.

BOOL WINAPI SlowCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION child) {
    BOOL created = launcher_run::CreateProcessInJob(application, commandLine, processAttributes, threadAttributes,
                                                    inherit, flags, environment, directory, startup, child);
    SetEvent(g_reached);
    Sleep(2500);  // longer than a Shutdown on the handler's thread waits for the main thread
    return created;
}

// The standard files are opened in the death test's process, where they are used.
void CloseDuringSlowLaunch(const std::string& dir) {
    const std::string arguments = Quote("pid=" + dir + "\\pid.txt") + " exit=5";
    RunAndClose(ChildSetup(dir, "test_child.exe", arguments), fault::kCreateProcessA,
                reinterpret_cast<void*>(SlowCreateProcessA), Reached);
}

TEST(ShutdownRaceDeathTest, CloseDuringSlowLaunchStillResumesTheChild) {
    const std::string dir = TestDir();
    DeleteFileA((dir + "\\pid.txt").c_str());
    EXPECT_EXIT(CloseDuringSlowLaunch(dir), ::testing::ExitedWithCode(5), "");
    EXPECT_NE("", ReadFileBytes(dir + "\\pid.txt")) << "the child never ran";
}

// A close event while the main thread serves a request that waits for ever:
// a stdin read of a pipe whose writer stays open, or a large write to a
// stdout pipe nobody reads. The blocked call is cancelled, the child's part
// of the shutdown is done all the same (its pipe closed, it is waited for),
// and the child's code wins; the whole path stays within its bounds.

struct Serving {
    const char* name;
    const char* actions;  // test_child's
    DWORD childCode;      // the child's, when it ends within the shutdown's first wait
};

const Serving kServing[] = {
    // The result read fails once its pipe is closed: the child ends at once.
    {"stdin", "readcmd", 0},
    // Blocked in its own write, the child lingers until it ends itself.
    {"write", "endin=1500:7 sayn=4000000", 7},
};

void CloseWhileServing(const std::string& dir, const Serving& serving) {
    const std::string ready = dir + "\\ready";
    launcher_run::Setup setup = ChildSetup(dir, "test_child.exe", Quote("ready=" + ready) + " " + serving.actions);
    HANDLE inWrite = NULL, outRead = NULL;  // held, never used: the reads and writes wait
    CreatePipe(&setup.std[0], &inWrite, NULL, 0);
    CreatePipe(&outRead, &setup.std[1], NULL, 4096);
    RunAndClose(setup, fault::kCallCount, NULL, [ready] {
        WaitUntil([&ready] { return GetFileAttributesA(ready.c_str()) != INVALID_FILE_ATTRIBUTES; });
        Sleep(300);  // the request is being served by then
        return true;
    });
}

TEST(ShutdownRaceDeathTest, CloseWhileARequestWaitsStillEndsTheChildInOrder) {
    for (const Serving& serving : kServing) {
        SCOPED_TRACE(serving.name);
        const std::string dir = CaseDir(serving.name);
        DeleteFileA((dir + "\\ready").c_str());
        const DWORD start = GetTickCount();
        EXPECT_EXIT(CloseWhileServing(dir, serving), ::testing::ExitedWithCode(serving.childCode), "");
        const DWORD took = GetTickCount() - start;
        EXPECT_EQ(std::to_string(serving.childCode), ReadFileBytes(dir + "\\seen.txt")) << "the child was not waited for";
        EXPECT_EQ("", ReadFileBytes(dir + "\\err.txt"));
        // Start-up, 300 ms, the child's own end, then at most the relays' 500 ms.
        EXPECT_LT(took, 4000u);
        printf("[ close    ] while serving %s: ended after %lu ms\n", serving.name, took);
    }
}

// The close path's worst case: the close comes as the service begins its
// last wait for a program that has detached, keeps a relay open (as its
// redirected streams would), and ignores WM_CLOSE. Windows ends a process
// 5 s after the event; all is over 4.5 s after it, with Wine's precise
// sleeps and with sleeps as long as Windows' timer tick makes them. The time
// runs from the event, which the case writes down, to the end of the
// process that the death test sees.
void CloseInTheLastWait(const std::string& dir, bool slowSleeps) {
    const std::string closes = Quote("closelog=" + dir + "\\closes.txt");
    const auto lastWait = [](const fault::Record& wait) {
        return wait.thread == g_state.mainThreadId && wait.args[1] == 1000;
    };
    RunAndClose(ChildSetup(dir, "test_child.exe", closes + " relayto=co keep detach life=15000 window=ignore"),
                fault::kCallCount, NULL, [dir, slowSleeps, lastWait] {
                    if (slowSleeps) fault::SlowSleeps();
                    const bool due = WaitUntil([lastWait] {
                        const std::vector<fault::Record> waits = fault::Records(fault::kWaitForSingleObject);
                        return std::any_of(waits.begin(), waits.end(), lastWait);
                    });
                    WriteFileBytes(dir + "\\event.txt", std::to_string(GetTickCount64()));
                    return due;
                });
}

TEST(ShutdownRaceDeathTest, CloseInTheLastWaitForALingeringChildEndsWithinItsBudget) {
    for (bool slowSleeps : {false, true}) {
        SCOPED_TRACE(slowSleeps ? "sleeps 1.6 times as long" : "Wine's sleeps");
        const std::string dir = CaseDir(slowSleeps ? "last-wait-slow" : "last-wait");
        DeleteFileA((dir + "\\closes.txt").c_str());
        EXPECT_EXIT(CloseInTheLastWait(dir, slowSleeps), ::testing::ExitedWithCode(1), "");
        const ULONGLONG took = GetTickCount64() - strtoull(ReadFileBytes(dir + "\\event.txt").c_str(), NULL, 10);
        EXPECT_NEAR(4500.0, static_cast<double>(took), 350.0) << "the whole budget, and no more";
        EXPECT_EQ("close\n", ReadFileBytes(dir + "\\closes.txt"));
        EXPECT_EQ("", ReadFileBytes(dir + "\\err.txt"));
        printf("[ close    ] in the last wait, %s: ended %llu ms after the event\n", slowSleeps ? "slow" : "Wine's",
               took);
    }
}

}  // namespace
