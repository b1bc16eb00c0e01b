#!/usr/bin/env python3
"""Moves large amounts of data through each of the launcher's routes and
checks them by SHA-256: the stress child hashes what it sends (or what it
reads), this side hashes what arrives (or what it feeds), each with its own
implementation. Meanwhile the launcher's memory is sampled from
/proc/<pid>/status: its peak must not grow with the bytes moved.

Routes and where their bytes go:
  request1, request2  commands 1 and 2 into a pipe read here
  stdin               this side feeds a pipe; the child reads through command 0
  request4            command 4 to the console (a pty read here)
  relay1, relay2      stdout / stderr as consoles: the child's handle writes go
                      through the launcher's relay threads to the pty
  relay4              the dedicated console relay to the pty

Console output arrives with the console's own escape sequences and CR LF
line ends; the data are lines of 63 letters and a LF so that stripping
those gives back the bytes written.

Usage: stress.py --bin <dir with the launcher and stress_child.exe>
                 [--launcher tarnelo.exe|tarnelo64.exe] [--size 1G] [--console-size 1G] [--routes a,b,...]
Runs under the build's own Wine prefix (script/wine-env), the 64-bit one
for tarnelo64.exe. Exit status 1
when any route fails its hash, count or exit code, or its memory grows.
"""
import argparse
import contextlib
import fcntl
import hashlib
import os
import pty
import random
import re
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

# Each route's one standard stream of the launcher that is a pipe to this
# side (the others are the pty), or None for a console route.
ROUTES = {"request1": "stdout", "request2": "stderr", "stdin": "stdin",
          "request4": None, "relay1": None, "relay2": None, "relay4": None}
CHILD_DONE = 0x60
RUN_LIMIT_S = 3600
# Peak memory may rise a little while the first large transfers warm the
# heap and pipe buffers; a leak per request or per MiB would be far more.
MEMORY_SLACK_KB = 2048
MEMORY_CHECKED_FROM = 64 << 20

ESCAPE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")
CURSOR = (b"\x1b[?25l", b"\x1b[?25h")


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1] in units:
        return int(text[:-1]) * units[text[-1]]
    return int(text)


class Hasher:
    """SHA-256 and count of the bytes added; a console one hashes console
    output after dropping escape sequences and CRs."""

    def __init__(self, console):
        self.console = console
        self.hash = hashlib.sha256()
        self.count = 0
        self.carry = b""
        self.foreign = 0  # escape sequences other than cursor show/hide

    def add(self, chunk):
        if self.console:
            chunk = self.carry + chunk
            cut = chunk.rfind(b"\x1b")
            self.carry = b""
            # An escape sequence split by the read: keep it for the next chunk.
            if cut != -1 and not ESCAPE.match(chunk, cut) and len(chunk) - cut < 16:
                self.carry = chunk[cut:]
                chunk = chunk[:cut]
            self.foreign += sum(sequence not in CURSOR for sequence in ESCAPE.findall(chunk))
            chunk = ESCAPE.sub(b"", chunk).replace(b"\r", b"")
        self.hash.update(chunk)
        self.count += len(chunk)


def drain(fd, sink):
    while True:
        try:
            chunk = os.read(fd, 1 << 20)
        except OSError:  # a pty whose last writer has gone
            return
        if not chunk:
            return
        if sink is not None:
            sink.add(chunk)


def feed(fd, size, hasher):
    generator = random.Random(1005)
    left = size
    try:
        while left:
            piece = generator.randbytes(min(left, 1 << 20))
            hasher.add(piece)
            view = memoryview(piece)
            while view:
                written = os.write(fd, view)
                view = view[written:]
            left -= len(piece)
    except BrokenPipeError:
        pass
    finally:
        os.close(fd)


def peak_memory(pid):
    """VmHWM in kB, or None once the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as status:
            fields = dict(line.split(":", 1) for line in status if ":" in line)
        return int(fields["VmHWM"].split()[0])
    except (OSError, KeyError, ValueError):
        return None


def run_route(route, size, bin_dir, launcher, work):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 120, 0, 0))
    pipe = ROUTES[route]
    # What the child sent, as it arrives here; or for stdin what this side fed.
    ours = Hasher(console=pipe is None)

    # Wine lends the launcher a console only when one of fds 0-2 is a
    # terminal; the stream under test is a pipe, the rest the pty.
    streams = {name: subprocess.PIPE if name == pipe else slave for name in ("stdin", "stdout", "stderr")}
    report = os.path.join(work, f"{route}.txt")
    with contextlib.suppress(FileNotFoundError):
        os.remove(report)
    args = ["wine", os.path.join(bin_dir, launcher), os.path.join(bin_dir, "stress_child.exe"), route,
            str(size), f"{route}.txt"]
    if pipe is None:
        args.append("text")

    started = time.monotonic()
    process = subprocess.Popen(args, cwd=work, **streams)
    os.close(slave)
    threads = [threading.Thread(target=drain, args=(master, None if pipe else ours), daemon=True)]
    if pipe == "stdin":
        threads.append(threading.Thread(target=feed, args=(os.dup(process.stdin.fileno()), size, ours), daemon=True))
        process.stdin.close()
    elif pipe:
        threads.append(threading.Thread(target=drain, args=(getattr(process, pipe).fileno(), ours), daemon=True))
    for thread in threads:
        thread.start()

    # Peak memory when the transfer is under way, at its middle, and last seen.
    samples = {}
    # Well past start-up. What this side fed to stdin runs ahead of what the
    # launcher has taken by several MiB, so that route starts later.
    started_at = min(size // 4, (16 << 20) if route == "stdin" else max(size // 100, 1 << 20))
    while process.poll() is None and time.monotonic() - started < RUN_LIMIT_S:
        peak = peak_memory(process.pid)
        if peak is not None:
            done = ours.count
            if "start" not in samples and done >= started_at:
                samples["start"] = peak
            if "mid" not in samples and done >= size // 2:
                samples["mid"] = peak
            samples["end"] = peak
        time.sleep(0.05)
    if process.poll() is None:
        process.kill()
    code = process.wait()
    elapsed = time.monotonic() - started
    for thread in threads[1:]:
        thread.join(30)
    threads[0].join(2)
    os.close(master)

    fields = {}
    with contextlib.suppress(OSError), open(report) as f:
        fields = dict(item.split("=", 1) for item in f.read().split() if "=" in item)
    child_hash = fields.get("sha256", "")
    child_bytes = int(fields.get("bytes", "0"))
    problems = []
    if code != CHILD_DONE:
        problems.append(f"exit code {code:#x}")
    if child_bytes != size or ours.count != size:
        problems.append(f"child moved {child_bytes}, this side {ours.count}, want {size}")
    matches = child_hash == ours.hash.hexdigest()
    if not matches:
        problems.append("hash differs")
    if ours.foreign:
        problems.append(f"{ours.foreign} unexpected escape sequences")
    start, mid, end = samples.get("start"), samples.get("mid"), samples.get("end")
    # A small run may be over before the first sample, or its "start" still
    # in the launcher's start-up: only larger runs are judged.
    if size < MEMORY_CHECKED_FROM:
        pass
    elif start is None or end is None:
        problems.append("memory not sampled")
    elif end - start > MEMORY_SLACK_KB:
        problems.append(f"peak memory grew by {end - start} kB")
    return {"match": matches and ours.count == size, "seconds": elapsed, "start": start, "mid": mid, "end": end,
            "problems": problems}


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def prepare_wine(bin_dir, launcher):
    """The build's own prefix, whatever the caller exported, and a running
    server that holds none of our pipes (else a pipe's end of file waits for it)."""
    wide = launcher == "tarnelo64.exe"
    os.environ["WINEPREFIX"] = os.path.join(os.path.dirname(bin_dir), "wineprefix64" if wide else "wineprefix")
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    os.environ["WINEARCH"] = "win64" if wide else "win32"
    for command in (["wineserver", "-p"], ["wine", "cmd", "/c", "exit"]):
        subprocess.call(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--launcher", default="tarnelo.exe")
    parser.add_argument("--size", default="1G", help="bytes per pipe route (K, M, G)")
    parser.add_argument("--console-size", default=None, help="bytes per console route (default: --size)")
    parser.add_argument("--routes", default=",".join(ROUTES))
    options = parser.parse_args()
    size = parse_size(options.size)
    console_size = parse_size(options.console_size) if options.console_size else size
    bin_dir = os.path.abspath(options.bin)
    prepare_wine(bin_dir, options.launcher)

    print(f"load before: {load()} on {os.cpu_count()} cores")
    print(f"{'route':<9} {'bytes':>11} {'hash':>5} {'seconds':>8} {'MB/s':>7}  peak kB start / mid / end")
    failed = 0
    with tempfile.TemporaryDirectory(prefix="tarnelo-stress-") as work:
        for route in options.routes.split(","):
            amount = console_size if ROUTES[route] is None else size
            result = run_route(route, amount, bin_dir, options.launcher, work)
            rate = amount / result["seconds"] / 1e6
            peaks = " / ".join("-" if result[at] is None else str(result[at]) for at in ("start", "mid", "end"))
            print(f"{route:<9} {amount:>11} {'ok' if result['match'] else 'BAD':>5} {result['seconds']:>8.1f} "
                  f"{rate:>7.1f}  {peaks}", flush=True)
            for problem in result["problems"]:
                print(f"  FAIL {route}: {problem}", flush=True)
            failed += bool(result["problems"])
    print(f"load after: {load()}")
    print(f"stress: {len(options.routes.split(','))} routes, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
