#!/bin/bash
# The release ZIP as a user gets it.
#
#   package_test.sh contents|runs|cmake <cpack> <build dir> <source dir> <C compiler> <hello_gui.exe>
#
# contents: cpack makes tarnelo-<version>-win32.zip, named after the version
#           resource of the launcher inside; it holds the launcher, the SDK,
#           the guides, LICENSE and README.txt, and nothing else of the build;
#           the guide lists every fatal message word for word.
# runs:     unpacked, bin/tarnelo.exe runs the SDK's example in the explicit
#           form and reports a program it cannot start; a copy of it runs the example compiled from the package's
#           own SDK sources in the implicit form; and the guide's example
#           program compiles and works.
# cmake:    a separate CMake project (consumer/) configured against the
#           unpacked release with find_package(tarnelo) builds the SDK's
#           examples for i686 and for x86_64, and both run through the
#           release's launcher (the 64-bit ones in the 64-bit Wine prefix).
set -u

mode=$1
cpack=$2
build=$3
source=$4
cc=$5
hello_gui=$6

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A package of our own in the temp dir, so parallel runs never share one.
if ! (cd "$build" && "$cpack" -B "$work/out") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
zips=("$work"/out/*.zip)
if [ ${#zips[@]} -ne 1 ] || [ ! -f "${zips[0]}" ]; then
    cat "$work/cpack.log"
    echo "FAIL: expected one ZIP, found: ${zips[*]}"
    exit 1
fi
zip=${zips[0]}
name=$(basename "$zip" .zip)

case $mode in
contents)
    # Every entry, without the top directory and without directories.
    unzip -Z1 "$zip" >"$work/entries" || fail "unzip cannot list $zip"
    grep -v "^$name/" "$work/entries" | sed 's/^/outside the top directory: /' | grep . && fail "entries outside $name/"
    sed -n "s|^$name/||p" "$work/entries" | grep -v '/$' | sort >"$work/files"

    declare -A required=()
    for file in bin/tarnelo.exe include/tarnelo_child.h src/sdk/tarnelo_child.c \
                src/sdk/examples/hello.c src/sdk/examples/streams.cpp lib/cmake/tarnelo/tarnelo-config.cmake \
                lib/cmake/tarnelo/tarnelo-config-version.cmake docs/protocol.md docs/guide.md LICENSE README.txt; do
        required[$file]=1
    done
    for doc in "$source"/docs/*.md; do required[docs/$(basename "$doc")]=1; done
    for file in "${!required[@]}"; do
        grep -qxF "$file" "$work/files" || fail "missing $file"
    done
    # Nothing else: no test programs, no torture build, no libraries, no GoogleTest.
    while read -r file; do
        [ -n "${required[$file]:-}" ] || fail "unexpected $file"
    done <"$work/files"
    grep -iE '\.(a|lib|dll|o|obj)$|gtest|gmock|torture|_test|test_child|\.exe$' "$work/files" |
        grep -vx 'bin/tarnelo.exe' | sed 's/^/  build output: /' | grep . && fail "build output other than the launcher"

    unzip -q "$zip" -d "$work/pkg" || fail "unzip cannot unpack $zip"
    pkg=$work/pkg/$name
    cmp -s "$pkg/bin/tarnelo.exe" "$build/bin/tarnelo.exe" || fail "bin/tarnelo.exe is not the build's launcher"
    # FILEVERSION from the image's VS_FIXEDFILEINFO (after its 0xFEEF04BD
    # signature): the version users see must be the one in the name.
    version=$(perl -0777 -ne 'my $at = index($_, pack("V", 0xFEEF04BD)); exit 1 if $at < 0;
        my ($sig, $struc, $ms, $ls) = unpack("V4", substr($_, $at, 16));
        printf "%d.%d.%d.%d", $ms >> 16, $ms & 0xFFFF, $ls >> 16, $ls & 0xFFFF' "$pkg/bin/tarnelo.exe") ||
        fail "no version resource in bin/tarnelo.exe"
    [ "$name" = "tarnelo-$version-win32" ] || fail "package $name holds a launcher of version $version"
    grep -q "tarnelo $version " "$pkg/README.txt" || fail "README.txt does not name version $version"
    grep -q '^Copyright (c) 2026 the tarnelo developers' "$pkg/LICENSE" || fail "LICENSE lacks the copyright line"

    # The guide's table of fatal messages against the catalogue the launcher
    # is built from: every message once, word for word; reason and shell
    # texts quoted somewhere.
    perl -e '
        my ($ids, $rc, $guide) = @ARGV;
        my (%id, %text, %doc, @bad);
        open my $h, "<", $ids or die; while (<$h>) { $id{$1} = $2 if /^#define\s+(MSG_\w+)\s+(\d+)/ }
        open $h, "<", $rc or die; while (<$h>) { $text{$id{$1}} = $2 if /^\s*(MSG_\w+)\s+"(.*)"\s*$/ && exists $id{$1} }
        open $h, "<", $guide or die; my $all = do { local $/; <$h> };
        for (split /\n/, $all) { push @{$doc{$1}}, $2 if /^\| (\d+) \| "([^"]*)" \|/ }
        for my $n (sort { $a <=> $b } keys %text) {
            my $t = $text{$n};
            if ($n < 1000 || ($n > 4000 && $n < 5000)) {
                push @bad, "$n: \"$t\" not quoted" unless index($all =~ s/\s+/ /gr, "\"$t\"") >= 0;
            } elsif (!$doc{$n}) {
                push @bad, "$n: missing";
            } elsif (@{$doc{$n}} != 1 || $doc{$n}[0] ne $t) {
                push @bad, "$n: guide has \"" . join("\", \"", @{$doc{$n}}) . "\", catalogue \"$t\"";
            }
            delete $doc{$n};
        }
        push @bad, "$_: not in the catalogue" for sort keys %doc;
        push @bad, "catalogue not read: " . scalar(keys %text) . " texts" if keys %text < 50;
        print "$_\n" for @bad;
        exit(@bad ? 1 : 0);
    ' "$source/src/report/message_ids.h" "$source/res/tarnelo.rc" "$pkg/docs/guide.md" >"$work/messages.log" ||
        fail "fatal messages in docs/guide.md: $(cat "$work/messages.log")"
    ;;
runs)
    unzip -q "$zip" -d "$work/pkg" || { echo "FAIL: unzip cannot unpack $zip"; exit 1; }
    pkg=$work/pkg/$name

    # The prefix of the build the programs belong to, unless the caller chose one.
    tarnelo_build=$build . "$source/script/wine-env"
    wine_start
    # A crash ends the program at once instead of waiting in the debugger.
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d"

    # Wine lends a console only to a program with a terminal among its
    # standard streams: cmd.exe on a pty made by `script`, which then
    # redirects the launcher's streams the Windows way.
    run() {
        (cd "$work" && timeout 30 script -qec "wine cmd /c '$1'" /dev/null </dev/null >/dev/null)
    }
    expect_lines() {
        local file=$1
        shift
        for line in "$@"; do
            tr -d '\r' <"$work/$file" | grep -qxF "$line" || fail "$file lacks \"$line\": $(cat -v "$work/$file")"
        done
    }

    launcher=$(winepath -w "$pkg/bin/tarnelo.exe" 2>/dev/null)
    child=$(winepath -w "$hello_gui" 2>/dev/null)
    run "$launcher $child 3 < NUL > out.txt 2> err.txt"
    rc=$?
    [ $rc -eq 3 ] || fail "explicit form: exit code $rc, stderr: $(cat -v "$work/err.txt" 2>/dev/null)"
    expect_lines out.txt "hello: stdout through a request" "hello: stdout through the handle" \
        "hello: no stdin (end of input)"
    expect_lines err.txt "hello: stderr through a request" "hello: stderr through the handle"

    # A fatal report from the shipped image: its message texts and the
    # system error lines.
    run "$launcher nothere.exe < NUL > out1.txt 2> err1.txt"
    rc=$?
    [ $rc -eq 1 ] || fail "missing program: exit code $rc"
    expect_lines err1.txt "Fatal error: Failed to run nothere.exe" "System error number: 2 (0x2) "

    # The SDK as shipped, built the way README.txt says, run the implicit way.
    mkdir -p "$work/app"
    if "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -mwindows -I"$pkg/include" \
            "$pkg/src/sdk/examples/hello.c" "$pkg/src/sdk/tarnelo_child.c" -o "$work/app/hello.wxe" 2>"$work/cc.log"; then
        cp "$pkg/bin/tarnelo.exe" "$work/app/hello.exe"
        run "app\\hello.exe 5 < NUL > out2.txt 2> err2.txt"
        rc=$?
        [ $rc -eq 5 ] || fail "implicit form: exit code $rc, stderr: $(cat -v "$work/err2.txt" 2>/dev/null)"
        expect_lines out2.txt "hello: stdout through a request" "hello: no stdin (end of input)"
        expect_lines err2.txt "hello: stderr through a request"
    else
        fail "the shipped SDK does not compile: $(cat "$work/cc.log")"
    fi

    # The guide's example program, as printed there.
    sed -n '/^```c$/,/^```$/{/^```/d;p}' "$pkg/docs/guide.md" >"$work/upper.c"
    grep -q WinMain "$work/upper.c" || fail "no C example in docs/guide.md"
    if "$cc" -std=c99 -Wall -Werror -mwindows -I"$pkg/include" \
            "$work/upper.c" "$pkg/src/sdk/tarnelo_child.c" -o "$work/upper.exe" 2>"$work/cc.log"; then
        printf 'Shout this\r\nand this\r\n' >"$work/in.txt"
        run "$launcher upper.exe < in.txt > out3.txt 2> err3.txt"
        rc=$?
        [ $rc -eq 0 ] || fail "guide's example: exit code $rc, stderr: $(cat -v "$work/err3.txt" 2>/dev/null)"
        expect_lines out3.txt "SHOUT THIS" "AND THIS"
    else
        fail "the guide's example does not compile: $(cat "$work/cc.log")"
    fi
    ;;
cmake)
    unzip -q "$zip" -d "$work/pkg" || { echo "FAIL: unzip cannot unpack $zip"; exit 1; }
    pkg=$work/pkg/$name
    tarnelo_build=$build . "$source/script/wine-env"
    for arch in i686 x86_64; do
        out=$work/consumer-$arch
        if ! cmake -S "$source/tests/package/consumer" -B "$out" -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-$arch.cmake" -DCMAKE_PREFIX_PATH="$pkg" \
                >"$work/consumer.log" 2>&1 ||
            ! cmake --build "$out" -j2 >>"$work/consumer.log" 2>&1; then
            fail "$arch consumer does not build: $(tail -20 "$work/consumer.log")"
            continue
        fi
        # The launcher the package found is the release's.
        grep -qF "$pkg/bin/tarnelo.exe" "$out/launcher.txt" || fail "$arch: tarnelo::launcher is $(cat "$out/launcher.txt")"
        if [ $arch = x86_64 ]; then
            file "$out/hello.exe" | grep -q 'PE32+ executable (GUI) x86-64' || fail "not a 64-bit GUI program: $(file "$out/hello.exe")"
            wine_start 64
            wine_use 64
        else
            file "$out/hello.exe" | grep -q 'PE32 executable (GUI) Intel 80386' || fail "not a 32-bit GUI program: $(file "$out/hello.exe")"
            wine_start
        fi
        printf 'one\r\ntwo\r\n' >"$out/in.txt"
        # On a pty through cmd.exe, as in `runs`: the launcher needs a console.
        launcher=$(winepath -w "$pkg/bin/tarnelo.exe" 2>/dev/null)
        on_pty() { (cd "$out" && timeout 30 script -qec "wine cmd /c '$launcher $1'" /dev/null </dev/null >/dev/null); }
        on_pty "hello.exe 7 < in.txt > hello.out 2> hello.err"
        rc=$?
        [ $rc -eq 7 ] || fail "$arch hello: exit code $rc"
        on_pty "streams.exe echo 9 < in.txt > streams.out 2> streams.err"
        rc=$?
        [ $rc -eq 9 ] || fail "$arch streams: exit code $rc"
        tr -d '\r' <"$out/hello.out" | grep -qx "hello: got 10 bytes of stdin" || fail "$arch hello: $(cat -v "$out/hello.out")"
        tr -d '\r' <"$out/hello.err" | grep -qx "hello: stderr through a request" || fail "$arch hello: $(cat -v "$out/hello.err")"
        grep -q $'getline: \[two\]\r$' "$out/streams.out" || fail "$arch streams: $(cat -v "$out/streams.out")"
        grep -q $'^cerr: a line\r$' "$out/streams.err" || fail "$arch streams: $(cat -v "$out/streams.err")"
        wine_use 32
    done
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac

[ $failures -eq 0 ] && echo "PASS: $mode ($name)"
[ $failures -eq 0 ]
