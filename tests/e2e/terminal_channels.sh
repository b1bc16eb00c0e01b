#!/bin/bash
# The launcher under a real terminal, where Wine makes all three standard
# streams console streams: run through `script` so fds 0-2 are a pty.
#
#   terminal_channels.sh streams|typed|relays|endread|stdio <tarnelo.exe or tarnelo64.exe> <children's bin dir>
#
# The child is test_child.exe from the bin dir, and streams_gui.exe for stdio.
# streams: the block of an all-console run, and every way out of the child
#          reaching the terminal.
# typed:   a line typed on the terminal reaches the child's console read.
# relays:  output written through a relay just before the child exits is
#          all on the terminal, run after run.
# stdio:   the printf/std::cout program behind the launcher shows on the
#          terminal, and writes to the redirected other stream, exactly what
#          its console build (streams_console.exe beside it) does alone.
# endread: a child that ends 1 s after asking for a console line gives the
#          terminal back at once, with its exit code and no report.
set -u

mode=$1
launcher=$2
bin=$3
# What on_terminal runs; stdio sets its own.
program="wine '$launcher' '$bin/test_child.exe'"

# The prefixes of the build the programs belong to; a run with a 64-bit
# launcher (tarnelo64.exe) or children (bin64/) in it runs in the 64-bit one.
tarnelo_build=$(cd "$(dirname "$launcher")/.." && pwd) . "$(dirname "$0")/../../script/wine-env"
case "$launcher:$bin" in *tarnelo64.exe:* | */bin64) wine_start 64; wine_use 64 ;; *) wine_start ;; esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs $program on a pty, bounded; its terminal output goes to $1 and the
# pty's name to tty.txt. Whatever arrives on our stdin is typed into the
# pty.
on_terminal() {
    local out=$1
    shift
    timeout 30 script -qec "tty >tty.txt; exec $program $*" /dev/null >"$out"
}

# Terminal bytes as text: ESC[nC becomes n blanks, other ESC[...x sequences
# and CRs go.
plain() {
    perl -pe 's/\e\[(\d*)C/" " x ($1 eq "" ? 1 : $1)/ge; s/\e\[[0-9;?]*[A-Za-z]//g; s/\r//g' "$1"
}

# Waits at most 10 s for the command given to succeed.
wait_for() {
    local i
    for i in $(seq 200); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# Whether a console read is pending. Wine's console puts the pty into raw
# mode only then; a line typed earlier goes through the pty's own line
# discipline, which echoes it and turns its CR into LF.
console_read_pending() {
    [ -e tty.txt ] && stty -F "$(cat tty.txt)" -a 2>/dev/null | grep -q -- '-icanon'
}

case $mode in
streams)
    on_terminal out.txt log=log.txt dump=block.bin probe </dev/null
    rc=$?
    [ $rc -eq 0 ] || fail "exit code $rc"
    if [ "$(stat -c %s block.bin 2>/dev/null)" != 68 ]; then
        fail "no 68-byte block dumped"
    else
        read -r -a w <<<"$(od -An -tu4 -v block.bin | tr -s ' \n' '  ')"
        [ "${w[0]}" = 1003 ] || fail "layoutVersion ${w[0]}"
        for i in 1 2 3 4; do [ "${w[$i]}" != 0 ] || fail "word $i is 0"; done
        [ "${w[5]} ${w[6]} ${w[7]}" = "1 1 1" ] || fail "console flags ${w[5]} ${w[6]} ${w[7]}"
        [ "${w[8]} ${w[9]} ${w[10]}" = "2 2 2" ] || fail "file types ${w[8]} ${w[9]} ${w[10]}"
        [ "${w[11]} ${w[12]} ${w[13]}" = "0 0 0" ] || fail "duplicates ${w[11]} ${w[12]} ${w[13]}"
        # Three relay pipes: three distinct, non-zero write ends.
        distinct=$(printf '%s\n' "${w[14]}" "${w[15]}" "${w[16]}" | grep -v '^0$' | sort -u | wc -l)
        [ "$distinct" = 3 ] || fail "relay write ends ${w[14]} ${w[15]} ${w[16]}"
    fi
    for way in so-h se-h co-h so-r se-r co-r; do
        grep -qx "probe $way ok" log.txt || fail "child could not write through $way"
        plain out.txt | grep -qx "m-$way" || fail "m-$way not on the terminal"
    done
    ;;
typed)
    # Type the line only once the child's console read is waiting for it.
    { wait_for test -e ready && wait_for console_read_pending && printf 'typed on the pty\r'; } |
        on_terminal out.txt log=log.txt ready=ready readconsole
    rc=$?
    [ $rc -eq 0 ] || fail "exit code $rc"
    grep -q '^readconsole: typed on the pty' log.txt || fail "console read got: $(cat -v log.txt)"
    ;;
relays)
    # 2,000 numbered lines written through a relay by a child that exits at
    # once; each run must show every line, in order.
    expected=$(seq 0 1999 |
        awk '{ d = $1 % 10; s = sprintf("R%05d:", $1); for (i = 0; i < 42; i++) s = s d; print s }')
    for run in $(seq 1 21); do
        case $((run % 3)) in 0) to=so ;; 1) to=se ;; 2) to=co ;; esac
        on_terminal out.txt relayto=$to relay=100000 exit=5 </dev/null
        rc=$?
        [ $rc -eq 5 ] || fail "run $run ($to): exit code $rc"
        got=$(plain out.txt | grep '^R[0-9]')
        if [ "$got" != "$expected" ]; then
            fail "run $run ($to): $(printf '%s\n' "$got" | wc -l) of 2000 lines, last: $(printf '%s\n' "$got" | tail -1)"
        fi
    done
    ;;
stdio)
    declare -A programs=([gui]="wine '$launcher' '$bin/streams_gui.exe'" [console]="wine '$bin/streams_console.exe'")
    # Both streams on the terminal, then one of them in a file, each way round.
    for redirect in none 2 1; do
        for build in gui console; do
            program=${programs[$build]}
            if [ $redirect = none ]; then to=""; : >"$build-file.txt"; else to="$redirect>$build-file.txt"; fi
            on_terminal "$build-screen.raw" 0x12345678 "$to" </dev/null
            rc=$?
            # 0x12345678 seen through a shell: its low eight bits.
            [ $rc -eq 120 ] || fail "$build, stream $redirect in a file: exit code $rc"
            plain "$build-screen.raw" | sed '/^$/d' >"$build-screen.txt"
        done
        cmp -s gui-file.txt console-file.txt ||
            fail "stream $redirect in a file differs: $(od -c gui-file.txt | head -3) against $(od -c console-file.txt | head -3)"
        cmp -s gui-screen.txt console-screen.txt ||
            fail "terminal with stream $redirect in a file differs: $(cat -A gui-screen.txt) against $(cat -A console-screen.txt)"
        grep -q "cout: last line before input" gui-screen.txt gui-file.txt || fail "stdout never arrived"
        grep -q "cerr: a line" gui-screen.txt gui-file.txt || fail "stderr never arrived"
    done
    ;;
endread)
    # Nothing is typed, and the terminal's input stays open: the read stays
    # outstanding until the child ends.
    mkfifo keys
    on_terminal out.txt log=log.txt ready=ready endin=1000:5 readconsole <keys &
    runner=$!
    exec 3>keys
    wait_for test -e ready || fail "the child never started"
    started=$(date +%s%N)
    wait $runner
    rc=$?
    ended=$(date +%s%N)
    exec 3>&-
    [ $rc -eq 5 ] || fail "exit code $rc"
    grep -q 'Fatal error' out.txt && fail "a report: $(plain out.txt)"
    grep -q '^readconsole' log.txt && fail "the read was answered: $(cat -v log.txt)"
    # The child ends 1 s after it started; the launcher within 0.5 s of that
    # (and the platform's slack, and this script's 50 ms polling).
    after=$(( (ended - started) / 1000000 - 1000 ))
    echo "launcher ended ${after} ms after the child"
    [ $after -lt 900 ] || fail "the launcher ended ${after} ms after the child"
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac

[ $failures -eq 0 ] && echo "PASS: $mode"
[ $failures -eq 0 ]
