#!/usr/bin/env python3
"""The launcher's start-up timeline, step by step (script/timeline).

Runs the measurement build of the launcher (tarnelo-torture.exe: the same
sources over the fault layer, which stamps every platform call with the
performance counter when TARNELO_FAULT_TIMELINE names a file) in front of
`bench_child.exe exit`, each run on a fresh pty, interleaved with the child
alone and a trivial console program. Wine's performance counter is the Linux
CLOCK_MONOTONIC_RAW in 100 ns units, so this runner's own stamps (spawned,
reaped) lie on the same line as the launcher's. The launcher's process
creation and the child's creation and end are the platform's own times
(GetProcessTimes), placed on that line through one reading of both clocks.

    timeline.py RUNS LAUNCHER CHILD TRIVIAL

Prints one table: per step the median over the runs (lowest-highest), in ms;
fails when a run fails or a step cannot be found in a run's stamps.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def now():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 100


def on_pty(argv, env=None):
    """Runs argv with all three streams on a new pty; (spawned, reaped) stamps."""
    master, slave = os.openpty()

    def drain():
        try:
            while os.read(master, 4096):
                pass
        except OSError:
            pass

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    spawned = now()
    process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, start_new_session=True, env=env)
    code = process.wait()
    reaped = now()
    os.close(slave)
    os.close(master)
    reader.join(1)
    return spawned, reaped, code


class Run:
    """One timeline file: the main thread's calls, in order, and the rest."""

    def __init__(self, path, spawned, reaped):
        self.calls, self.exit = [], None
        for line in open(path):
            f = line.split()
            if f[0] == "sync":
                counter, filetime = int(f[1]), int(f[2])
            elif f[0] == "created":
                created = int(f[1])
            elif f[0] == "call":
                self.calls.append({"in": int(f[1]), "out": int(f[2]), "thread": f[3], "name": f[4],
                                   "args": [int(a, 16) for a in f[5:9]], "result": int(f[9], 16),
                                   "created": int(f[10]), "ended": int(f[11])})
            elif f[0] == "exit":
                self.exit, self.main = int(f[1]), f[2]
        self.on_line = lambda ft: counter + (ft - filetime)
        self.created = self.on_line(created)
        self.spawned, self.reaped = spawned, reaped
        self.mine = [c for c in self.calls if c["thread"] == self.main]

    def find_all(self, name, after=None, test=lambda c: True):
        """The main-thread calls `name` after call `after` (from the first without it)."""
        start = 0 if after is None else self.mine.index(after) + 1
        return [c for c in self.mine[start:] if c["name"] == name and test(c)]

    def find(self, name, after=None, test=lambda c: True):
        """The first main-thread call `name` after call `after`, or None."""
        found = self.find_all(name, after, test)
        return found[0] if found else None

    def steps(self):
        """(label, milliseconds) in order; None where a step did not happen."""
        relay_pipe = lambda c: c["args"][3] == 0x100
        first = self.mine[0]
        conout = self.find("CreateFileA")
        event = self.find("CreateEventA", conout)
        stdin = self.find("GetStdHandle", event)
        module = self.find("GetModuleFileNameA", stdin)
        command = self.find("LocalAlloc", module)
        mapping = self.find("CreateFileMappingA", command)
        pipes = self.find("CreatePipe", mapping)
        types = self.find_all("GetFileType", pipes) if pipes is not None else []
        relay_pipes = self.find_all("CreatePipe", test=relay_pipe)
        console_pipe = relay_pipes[-1] if relay_pipes else None  # the console's comes last
        resume = self.find("ResumeThread", mapping)
        mode = self.find("GetConsoleMode", resume)
        watch = self.find("DuplicateHandle", resume)
        serve = self.find("ReadFile", watch)
        child_wait = self.find("WaitForSingleObject", serve)
        exit_code = self.find("GetExitCodeProcess", child_wait)
        release = self.find("LocalFree", child_wait)
        relay_waits = self.find_all("WaitForSingleObject", release) if release is not None else []
        relays, last_relay = (relay_waits[0], relay_waits[-1]) if relay_waits else (None, None)
        t = lambda c, key="in": None if c is None else c[key]

        def span(a, b):
            return None if a is None or b is None else (b - a) / 1e4

        create = self.find("CreateProcessA", command)
        child_ended = None
        if exit_code is not None and exit_code["ended"]:
            child_ended = self.on_line(exit_code["ended"])
        child_share = None
        if create is not None and resume is not None and child_ended is not None:
            child_share = (create["out"] - create["in"] + child_ended - resume["out"]) / 1e4
        return [
            ("runner spawns `wine` → launcher's process created", span(self.spawned, self.created)),
            ("loading: process created → first instruction", span(self.created, t(first))),
            ("own module, stderr, output lock", span(t(first), t(conout))),
            ("console output device (CONOUT$)", span(t(conout), t(event))),
            ("two events, control handler", span(t(event), t(stdin))),
            ("stdin, stdout, primary buffer", span(t(stdin), t(module))),
            ("target resolution", span(t(module), t(command))),
            ("child creation (command line, CreateProcessA)", span(t(command), t(mapping))),
            ("  of which CreateProcessA: the child's process, up to its first thread (suspended)",
             span(t(create), t(create, "out"))),
            ("mapping and view", span(t(mapping), t(pipes))),
            ("protocol pipes (two pipes, two duplicates)", span(t(pipes), t(types[0] if types else None))),
            ("stdin routing (console)", span(t(types[0] if types else None), t(types[1] if len(types) > 1 else None))),
            ("stdout routing: relay pipe, buffer, thread", span(t(types[1] if len(types) > 1 else None),
                                                              t(types[2] if len(types) > 2 else None))),
            ("stderr routing: relay pipe, buffer, thread", span(t(types[2] if len(types) > 2 else None),
                                                              t(console_pipe))),
            ("console relay: pipe, buffer, thread", span(t(console_pipe), t(resume))),
            ("resume", span(t(resume), t(mode))),
            ("cooked console input", span(t(mode), t(watch))),
            ("watch thread", span(t(watch), t(serve))),
            ("serving: first read until the child's end breaks the pipe", span(t(serve), t(serve, "out"))),
            ("  child: resumed → its process ended", span(t(resume, "out"), child_ended)),
            ("  launcher: child ended → pipe read fails", span(child_ended, t(serve, "out"))),
            ("wait for the child (ended), exit code, close its handles", span(t(serve, "out"), t(release))),
            ("release: buffers, view, mapping, events, pipe", span(t(release), t(relays))),
            ("wait for the relays", span(t(relays), t(last_relay, "out"))),
            ("close console device, ExitProcess called", span(t(last_relay, "out"), self.exit)),
            ("ExitProcess → runner sees the process gone", span(self.exit, self.reaped)),
            ("total, spawned → reaped", span(self.spawned, self.reaped)),
            ("launcher's own instructions: first → ExitProcess", span(t(first), self.exit)),
            ("the child's share: CreateProcessA + resumed → ended", child_share),
            ("the launcher's own steps: first → ExitProcess, less the child's share",
             None if child_share is None or self.exit is None else (self.exit - first["in"]) / 1e4 - child_share),
        ]


def main():
    runs, launcher, child, trivial = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    work = tempfile.mkdtemp(prefix="timeline.")
    try:
        return measure(runs, launcher, child, trivial, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure(runs, launcher, child, trivial, work):
    tables, alone, plain = [], [], []
    for r in range(runs):
        path = os.path.join(work, f"run{r}.txt")
        env = dict(os.environ, TARNELO_FAULT_TIMELINE="Z:" + path)
        spawned, reaped, code = on_pty(["wine", launcher, child, "exit"], env)
        if code != 0 or not os.path.exists(path):
            print(f"timeline run {r}: exit code {code}", file=sys.stderr)
            return 1
        tables.append(Run(path, spawned, reaped).steps())
        s, e, _ = on_pty(["wine", child, "exit"])
        alone.append((e - s) / 1e4)
        s, e, _ = on_pty(["wine", trivial, "noop"])
        plain.append((e - s) / 1e4)

    def cell(values):
        values = [v for v in values if v is not None]
        if not values:
            return "—"
        return f"{statistics.median(values):.2f} ({min(values):.2f}–{max(values):.2f})"

    print(f"| Step | ms, median of {runs} (lowest–highest) |")
    print("|---|---|")
    for i, (label, _) in enumerate(tables[0]):
        print(f"| {label} | {cell([t[i][1] for t in tables])} |")
    print(f"| the child alone, spawned → reaped (interleaved) | {cell(alone)} |")
    print(f"| a trivial console program, spawned → reaped (interleaved) | {cell(plain)} |")
    missing = sorted({label for table in tables for label, value in table if value is None})
    if missing:
        print("not measured: " + "; ".join(missing), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
