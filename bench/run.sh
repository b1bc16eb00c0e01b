#!/usr/bin/env bash
# Measures the launcher's figures under Wine and prints one table; every
# figure is taken beside its baseline in the same run.
#
#   bench/run.sh [--quick] [--only ITEM] BIN_DIR
#
# BIN_DIR holds a launcher (tarnelo.exe, or tarnelo64.exe in a 64-bit
# build's bin64/), bench_child.exe and bench_console.exe; bin64/ beside it
# the two benchmark programs built for x86_64 (roundtrip64). The
# Wine environment (script/wine-env) must be exported and the servers of both
# prefixes running: script/bench does that. ITEM is one of stdout fwrite
# console roundtrip roundtrip64 startup memory size. OBJDUMP names the PE
# objdump (default: the MinGW one for the launcher's architecture).
#
# The two sides of every comparison run interleaved (A, B, A, B, ...): a
# change in the machine's load, which here comes within seconds, falls on
# both alike. Each ratio is the median of the per-pair ratios, shown with
# their lowest and highest.
# --quick uses tiny volumes: the figures then only show that
# each measurement works (the smoke tests use it). Exits non-zero when a
# figure could not be measured; never because of what a figure is.
set -uo pipefail

quick=0
only=""
while [ $# -gt 1 ]; do
  case "$1" in
    --quick) quick=1; shift ;;
    --only) only="$2"; shift 2 ;;
    *) echo "bench/run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: bench/run.sh [--quick] [--only ITEM] BIN_DIR" >&2; exit 2; }
bin=$(cd "$1" && pwd)
launcher=tarnelo.exe objdump=i686-w64-mingw32-objdump
[ -f "$bin/tarnelo64.exe" ] && launcher=tarnelo64.exe objdump=x86_64-w64-mingw32-objdump
for exe in $launcher bench_child.exe bench_console.exe; do
  [ -f "$bin/$exe" ] || { echo "bench/run.sh: $bin/$exe is missing (build the bench target)" >&2; exit 2; }
done

if [ $quick -eq 1 ]; then
  stdout_bytes=4M; console_bytes=64K; trips=300; memory_bytes=16M; idle_ms=300
  repeats=1; stdout_repeats=1; trip_repeats=1
  hyperfine_runs=(--warmup 1 --runs 3); startup_rounds=1
else
  # Console output under Wine moves a few MiB/s at best in 256-byte pieces:
  # 2 MiB keeps that figure to seconds. The stdout figures and the round
  # trips vary most with the machine's load, so they get more runs.
  stdout_bytes=256M; console_bytes=2M; trips=5000; memory_bytes=1024M; idle_ms=1500
  repeats=3; stdout_repeats=5; trip_repeats=7
  hyperfine_runs=(--warmup 1 --runs 5); startup_rounds=8
fi

bin64=""
[ -d "$bin/../bin64" ] && bin64=$(cd "$bin/../bin64" && pwd)
prefix64=${TARNELO_WINEPREFIX64:-$(cd "$bin/.." && pwd)/wineprefix64}

work=$(mktemp -d /tmp/tarnelo-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
facts="$work/facts"
: >"$facts"
echo "launcher=$launcher" >>"$facts"
failed=0

wanted() { [ -z "$only" ] || [ "$only" = "$1" ]; }
fact() { echo "$1=$2" >>"$facts"; }
miss() { echo "bench/run.sh: $1" >&2; failed=1; }

# The Windows name of a file in the work directory. Result files are named
# r_*, never CON/NUL/AUX-like, which Windows takes for devices.
winpath() { echo "Z:${work}/$1"; }

# Runs a shell snippet on a fresh pty (the launcher needs a console, and
# Wine gives one only to a process with a terminal), output discarded.
# With $pin set to a CPU number, the session and every process in it run on
# that CPU only (the Wine server, started earlier, is not bound).
on_pty() {
  printf '%s\n' "set -o pipefail" "$1" >"$work/cmd.sh"
  ${pin:+taskset -c "$pin"} script -qec "bash $work/cmd.sh" /dev/null </dev/null >/dev/null 2>&1
}

# Runs one measured program; its result file gives "<what>=N us=T".
# Prints N*1e6/T (per second), or nothing when the run failed.
measure() {  # label snippet-using-RESULT
  local label=$1 result="r_$1.txt"
  rm -f "$work/$result"
  on_pty "${2//RESULT/$(winpath "$result")}"
  local rc=$?
  if [ $rc -ne 0 ] || [ ! -s "$work/$result" ]; then
    miss "$label: exit code $rc, result '$(cat "$work/$result" 2>/dev/null)'"
    return
  fi
  awk -F'[= ]' '{ if ($4 > 0) printf "%.3f\n", $2 * 1e6 / $4 }' "$work/$result"
}

# Median of the values given (as many as ran).
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Several runs of each labelled snippet, interleaved so that a change in
# the machine's load falls on every figure alike; records each run (for the
# per-pair ratios) and each median.
measure_set() {  # label snippet [label snippet ...]
  local -a labels=() snippets=()
  while [ $# -gt 0 ]; do labels+=("$1"); snippets+=("$2"); shift 2; done
  declare -A got=()
  local round i value
  for ((round = 0; round < repeats; round++)); do
    for i in "${!labels[@]}"; do
      value=$(measure "${labels[$i]}" "${snippets[$i]}")
      if [ -n "$value" ]; then
        got[$i]="${got[$i]:-} $value"
        fact "${labels[$i]}_r$round" "$value"
      fi
    done
  done
  for i in "${!labels[@]}"; do
    if [ -n "${got[$i]:-}" ]; then
      # shellcheck disable=SC2086
      fact "${labels[$i]}" "$(median ${got[$i]})"
      fact "${labels[$i]}_runs" "$(echo ${got[$i]} | wc -w)"
      fact "${labels[$i]}_min" "$(printf '%s\n' ${got[$i]} | sort -g | head -1)"
      fact "${labels[$i]}_max" "$(printf '%s\n' ${got[$i]} | sort -g | tail -1)"
    fi
  done
}

L="wine $bin/$launcher"          # the launcher, followed by the child it runs
C="$bin/bench_child.exe"          # the child's path (started by the launcher)
P="wine $bin/bench_console.exe"   # the plain console program

if wanted stdout; then
  fact stdout_bytes "$stdout_bytes"
  repeats=$stdout_repeats measure_set \
    stdout_request "$L $C request $stdout_bytes 1M RESULT | cat >/dev/null" \
    stdout_handle "$L $C handle $stdout_bytes 1M RESULT | cat >/dev/null" \
    stdout_plain "$P pipe $stdout_bytes 1M RESULT | cat >/dev/null" \
    stdout_floor "$P pipecopy $stdout_bytes 1M RESULT | cat >/dev/null"
fi

if wanted fwrite; then
  fact fwrite_bytes "$stdout_bytes"
  # The same fwrite loop in both: a GUI program behind the launcher after
  # TarneloRedirectStdio, and a console program on its own.
  repeats=$stdout_repeats measure_set \
    fwrite_launcher "$L $C fwrite $stdout_bytes 64K RESULT | cat >/dev/null" \
    fwrite_console "$P fwrite $stdout_bytes 64K RESULT | cat >/dev/null"
fi

if wanted console; then
  fact console_bytes "$console_bytes"
  measure_set \
    console_relay "$L $C console $console_bytes 64K RESULT" \
    console_plain "$P conout $console_bytes 64K RESULT" \
    console_floor "$P conout $console_bytes 256 RESULT"
fi

if wanted roundtrip; then
  fact trips "$trips"
  # Each round trip wakes a blocked process twice or more; on this kind of
  # machine when that happens across CPUs its cost swings with the load.
  # Bound to one CPU the figures measure the work done and repeat well; the
  # unbound pair is kept for comparison.
  pin=$(($(nproc) - 1)) repeats=$trip_repeats measure_set \
    roundtrip_request "$L $C roundtrip $trips RESULT >/dev/null" \
    roundtrip_pingpong "$P pingpong $trips RESULT" \
    roundtrip_joined "$L $C joined $trips RESULT >/dev/null"
  repeats=$trip_repeats measure_set \
    roundtrip_request_free "$L $C roundtrip $trips RESULT >/dev/null" \
    roundtrip_pingpong_free "$P pingpong $trips RESULT"
fi

if wanted roundtrip64; then
  fact trips "$trips"
  if [ -z "$bin64" ] || [ ! -f "$bin64/bench_child.exe" ]; then
    miss "roundtrip64: no 64-bit benchmark programs in $bin/../bin64"
  else
    # This launcher and a 64-bit child in the 64-bit prefix; the
    # ping-pong between two 64-bit programs there.
    w64="WINEPREFIX=$prefix64 WINEARCH=win64"
    pin=$(($(nproc) - 1)) repeats=$trip_repeats measure_set \
      roundtrip64_request "$w64 $L $bin64/bench_child.exe roundtrip $trips RESULT >/dev/null" \
      roundtrip64_pingpong "$w64 wine $bin64/bench_console.exe pingpong $trips RESULT"
  fi
fi

if wanted startup; then
  # Short hyperfine sessions in turn, each timing the three commands: the
  # per-session medians give per-pair ratios like the other figures.
  # -N: no shell between hyperfine and wine. The commands' output goes to
  # the pty, so the launcher has its console as in interactive use.
  for ((round = 0; round < startup_rounds; round++)); do
    json="$work/startup_$round.json"
    on_pty "hyperfine -N ${hyperfine_runs[*]} --output=inherit --style none --export-json $json \
      '$L $C exit' 'wine $C exit' '$P noop'"
    if [ -s "$json" ]; then
      python3 - "$json" "$round" >>"$facts" <<'EOF' || miss "startup: unreadable hyperfine output"
import json, sys
results = json.load(open(sys.argv[1]))["results"]
for key, result in zip(("startup_launcher", "startup_child", "startup_trivial"), results):
    print(f"{key}_r{sys.argv[2]}={result['median'] * 1000:.2f}")
    print(f"{key}_n{sys.argv[2]}={len(result['times'])}")
EOF
    else
      miss "startup: hyperfine produced no results"
    fi
  done
fi

if wanted memory; then
  # Peak resident set (VmHWM) of the launcher's own process, sampled until
  # it ends: the last sample is the peak of the whole run.
  peak_of() {  # label child-arguments
    local pidfile="$work/pid_$1"
    rm -f "$pidfile"
    printf '%s\n' "$L $C $2 > >(cat >/dev/null) &" "echo \$! >$pidfile" "wait \$!" >"$work/mem_$1.sh"
    script -qec "bash $work/mem_$1.sh" /dev/null </dev/null >/dev/null 2>&1 &
    local session=$! pid="" peak="" sample
    while kill -0 "$session" 2>/dev/null; do
      [ -z "$pid" ] && [ -s "$pidfile" ] && pid=$(cat "$pidfile")
      if [ -n "$pid" ]; then
        sample=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
        [ -n "$sample" ] && peak=$sample
      fi
      sleep 0.02
    done
    wait "$session" || miss "memory $1: the run failed"
    if [ -n "$peak" ]; then fact "memory_$1" "$peak"; else miss "memory $1: no sample"; fi
  }
  fact memory_bytes "$memory_bytes"
  peak_of idle "idle $idle_ms"
  peak_of busy "request $memory_bytes 1M $(winpath r_memory.txt)"
fi

if wanted size; then
  exe="$bin/$launcher"
  fact size_bytes "$(stat -c %s "$exe")"
  dlls=$("${OBJDUMP:-$objdump}" -p "$exe" | awk '/DLL Name:/ { print tolower($3) }' | sort -u | tr '\n' ' ')
  # Delay-loaded DLLs are not in the import directory: take the other DLL
  # names the image holds, less netmsg.dll, which the fatal reports open as
  # a data file for network error texts and which may be absent.
  named=$(strings -a "$exe" | tr A-Z a-z | grep -x '[a-z0-9_]*\.dll' | sort -u)
  delayed=""
  for dll in $named; do
    case " $dlls netmsg.dll " in *" $dll "*) ;; *) delayed="$delayed $dll" ;; esac
  done
  fact size_dlls "${dlls% }"
  fact size_delayed "${delayed# }"
  system32="$WINEPREFIX/drive_c/windows/system32"
  foreign=""
  for dll in $dlls $delayed; do
    find "$system32" -maxdepth 1 -iname "$dll" | grep -q . || foreign="$foreign $dll"
  done
  fact size_foreign "${foreign# }"
  [ -n "$dlls" ] || miss "size: no imports found"
fi

python3 - "$facts" "$quick" "$only" <<'EOF' || failed=1
import sys
facts = {}
for line in open(sys.argv[1]):
    key, _, value = line.rstrip("\n").partition("=")
    facts[key] = value
quick, only = sys.argv[2] == "1", sys.argv[3]

def num(key):
    try:
        return float(facts[key])
    except (KeyError, ValueError):
        return None

def spread(key, show):
    lo, hi, n = num(key + "_min"), num(key + "_max"), num(key + "_runs")
    return "" if lo is None or hi is None or not n or n < 2 else f" ({show(lo)}–{show(hi)})"

def mib(key):
    v = num(key)
    show = lambda x: f"{x / 1048576:.1f}"
    return "—" if v is None else f"{show(v)} MiB/s" + spread(key, show)

def per_s(key):
    v = num(key)
    show = lambda x: f"{x:,.0f}"
    return "—" if v is None else f"{show(v)} req/s" + spread(key, show)

def ratio(a, b):
    x, y = num(a), num(b)
    return None if x is None or y is None or y == 0 else x / y

def rounds(key):
    return [num(f"{key}_r{r}") for r in range(1000) if f"{key}_r{r}" in facts]

def median(values):
    v = sorted(values)
    return None if not v else v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2

def pair_ratios(a, b):
    """a/b for each round that measured both: the sides of one pair ran back to back."""
    out = []
    for r in range(1000):
        x, y = num(f"{a}_r{r}"), num(f"{b}_r{r}")
        if x is not None and y:
            out.append(x / y)
    return out

def pair(a, b):
    return median(pair_ratios(a, b))

def fmt(r, digits=2):
    return "—" if r is None else f"{r:.{digits}f}"

def pfmt(a, b):
    """The median of the per-pair ratios, with their lowest and highest."""
    values = pair_ratios(a, b)
    if not values:
        return "—"
    if len(values) == 1:
        return f"{values[0]:.2f}"
    return f"{median(values):.2f} ({min(values):.2f}–{max(values):.2f}, {len(values)} pairs)"

def met(value, goal, higher):
    if value is None:
        return "—"
    return "yes" if (value >= goal if higher else value <= goal) else "no"

def volume(key):
    text = facts.get(key, "?")
    return text[:-1] + " KiB" if text.endswith("K") else text[:-1] + " MiB" if text.endswith("M") else text

def runs(key):
    n = facts.get(key + "_runs")
    return f", median of {n}" if n else ""

rows = []
missing = []
def want(item):
    return not only or only == item

if want("stdout"):
    r = pair("stdout_request", "stdout_handle")
    rows.append(("1", f"stdout, {volume('stdout_bytes')} to a pipe: requests (1 MiB calls){runs('stdout_request')}",
                 mib("stdout_request"), "child's stdout handle: " + mib("stdout_handle"), pfmt("stdout_request", "stdout_handle"), "≥ 0.45", met(r, 0.45, True)))
    rows.append(("1b", "  same bytes, plain console program to the same pipe", mib("stdout_plain"), "", pfmt("stdout_request", "stdout_plain"), "", ""))
    rows.append(("1c", "  floor: pipe copied in 4,096-byte reads, no launcher", mib("stdout_floor"), "", pfmt("stdout_request", "stdout_floor"), "", ""))
    missing += [k for k in ("stdout_request", "stdout_handle", "stdout_plain", "stdout_floor") if num(k) is None]
if want("fwrite"):
    r = pair("fwrite_launcher", "fwrite_console")
    rows.append(("7", f"fwrite(stdout), {volume('fwrite_bytes')} in 64 KiB calls to a pipe, GUI program after TarneloRedirectStdio{runs('fwrite_launcher')}",
                 mib("fwrite_launcher"), "console program, same fwrite, same pipe: " + mib("fwrite_console"),
                 pfmt("fwrite_launcher", "fwrite_console"), "≥ 0.9", met(r, 0.9, True)))
    missing += [k for k in ("fwrite_launcher", "fwrite_console") if num(k) is None]
if want("console"):
    r = pair("console_relay", "console_plain")
    rows.append(("2", f"console under a pty, {volume('console_bytes')} of text: relay (64 KiB writes){runs('console_relay')}",
                 mib("console_relay"), "CONOUT$ in 64 KiB writes: " + mib("console_plain"), pfmt("console_relay", "console_plain"), "≥ 0.45", met(r, 0.45, True)))
    rows.append(("2b", "  floor: CONOUT$ in 256-byte writes, no launcher", mib("console_floor"), "", pfmt("console_relay", "console_floor"), "", ""))
    missing += [k for k in ("console_relay", "console_plain", "console_floor") if num(k) is None]
if want("roundtrip"):
    r = pair("roundtrip_request", "roundtrip_pingpong")
    rows.append(("3", f"1-byte stdout requests through the SDK to NUL, {facts.get('trips')} timed, on one CPU{runs('roundtrip_request')}",
                 per_s("roundtrip_request"), "8/12-byte pipe ping-pong: " + per_s("roundtrip_pingpong"), pfmt("roundtrip_request", "roundtrip_pingpong"), "≥ 0.95", met(r, 0.95, True)))
    rows.append(("3b", "  same requests written by hand, request and byte in one WriteFile", per_s("roundtrip_joined"), "",
                 pfmt("roundtrip_joined", "roundtrip_pingpong"), "", ""))
    rows.append(("3c", "  as 3, processes free to use every CPU", per_s("roundtrip_request_free"),
                 "ping-pong: " + per_s("roundtrip_pingpong_free"), pfmt("roundtrip_request_free", "roundtrip_pingpong_free"), "", ""))
    missing += [k for k in ("roundtrip_request", "roundtrip_pingpong", "roundtrip_joined", "roundtrip_request_free",
                            "roundtrip_pingpong_free") if num(k) is None]
if want("roundtrip64"):
    r = pair("roundtrip64_request", "roundtrip64_pingpong")
    rows.append(("8", f"as 3 from a 64-bit program (64-bit prefix){runs('roundtrip64_request')}",
                 per_s("roundtrip64_request"), "64-bit ping-pong: " + per_s("roundtrip64_pingpong"),
                 pfmt("roundtrip64_request", "roundtrip64_pingpong"), "≥ 0.95", met(r, 0.95, True)))
    missing += [k for k in ("roundtrip64_request", "roundtrip64_pingpong") if num(k) is None]
if want("startup"):
    ls, cs, ts = rounds("startup_launcher"), rounds("startup_child"), rounds("startup_trivial")
    overheads = [(l - c) / t for l, c, t in zip(ls, cs, ts) if None not in (l, c, t) and t]
    l, c, t, o = median(ls), median(cs), median(ts), median(overheads)
    ms = lambda v: "—" if v is None else f"{v:.1f} ms"
    spread_o = "" if len(overheads) < 2 else f" ({min(overheads):.2f}–{max(overheads):.2f}, {len(overheads)} pairs)"
    n = sum(int(facts.get(f"startup_launcher_n{r}", 0)) for r in range(len(ls)))
    rows.append(("4", f"start-up, hyperfine: {len(ls)} sessions of {n // max(len(ls), 1)} runs each, medians: launcher + child",
                 ms(l), f"child alone {ms(c)}, trivial program {ms(t)}", fmt(o) + spread_o, "≤ 1.1", met(o, 1.1, False)))
    missing += [k for k, v in (("startup_launcher", l), ("startup_child", c), ("startup_trivial", t)) if v is None]
if want("memory"):
    i, b = num("memory_idle"), num("memory_busy")
    kib = lambda v: "—" if v is None else f"{v:,.0f} KiB"
    d = None if i is None or b is None else b - i
    rows.append(("5", f"launcher's peak resident set (VmHWM) while {volume('memory_bytes')} pass through requests",
                 kib(b), "idle: " + kib(i), "—" if d is None else f"{d:+,.0f} KiB", "flat (< 1 MiB)",
                 "—" if d is None else ("yes" if d < 1024 else "no")))
    missing += [k for k in ("memory_idle", "memory_busy") if num(k) is None]
if want("size"):
    s = num("size_bytes")
    foreign = facts.get("size_foreign", "")
    ok = None if s is None else (s <= 32768 and not foreign)
    delayed = facts.get("size_delayed", "")
    rows.append(("6", facts["launcher"] + " size; DLLs it imports", "—" if s is None else f"{s:,.0f} bytes",
                 facts.get("size_dlls", "—") + (f"; on first use: {delayed}" if delayed else "")
                 + (f" (not system: {foreign})" if foreign else " (all system DLLs)"),
                 "", "≤ 32,768, system DLLs", "—" if ok is None else ("yes" if ok else "no")))
    missing += [k for k in ("size_bytes",) if num(k) is None]

header = ("#", "Figure", "Launcher", "Baseline (same run)", "Ratio", "Goal", "Met")
widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
line = lambda r: "| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |"
print(f"Launcher: {facts['launcher']}")
print(line(header))
print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
for r in rows:
    print(line(r))
if quick:
    print("(quick run: volumes too small for the figures to mean anything)")
else:
    print("Throughput and request figures: median of the runs (lowest–highest); ratios: median of the per-pair ratios (lowest–highest, pairs).")
if missing:
    print("not measured: " + ", ".join(missing), file=sys.stderr)
    sys.exit(1)
EOF

exit $failed
