#!/bin/bash
# The release ZIP as a user gets it.
#
#   package_test.sh contents|runs|cmake-i686|cmake-x86_64 <cpack> <build dir> <source dir> <C compiler>
#                   <hello_gui.exe> <launcher>
#
# The launcher is the build's (tarnelo.exe or tarnelo64.exe): the one the
# unpacked release runs here.
# contents: cpack makes tarnelo-<version>-win32.zip, named after the version
#           resource of the launcher inside; it holds both launchers, the SDK,
#           the guides, LICENSE and README.txt, and nothing else of the build;
#           the guide lists every fatal message word for word.
# runs:     unpacked, the launcher runs the SDK's example in the explicit
#           form and reports a program it cannot start; a copy of it runs the example compiled from the package's
#           own SDK sources in the implicit form; and the guide's example
#           program compiles and works.
# cmake-*:  a separate CMake project (consumer/) configured against the
#           unpacked release with find_package(tarnelo) builds the SDK's
#           examples for that architecture, and they run through the
#           release's launcher (in the 64-bit Wine prefix wherever either is
#           64-bit).
set -u

mode=$1
cpack=$2
build=$3
source=$4
cc=$5
hello_gui=$6
launcher_name=$(basename "$7")
bits=32
case $launcher_name in *64.exe) bits=64 ;; esac

# Returns false too, so that a helper which fails says so to its caller.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
    return 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A package of our own in the temp dir, so parallel runs never share one.
(cd "$build" && "$cpack" -B "$work/out") >"$work/cpack.log" 2>&1
rc=$?
zips=("$work"/out/*.zip)
if [ $rc -ne 0 ] || [ ${#zips[@]} -ne 1 ] || [ ! -f "${zips[0]}" ]; then
    cat "$work/cpack.log"
    echo "FAIL: cpack exit code $rc, expected one ZIP, found: ${zips[*]}"
    exit 1
fi
zip=${zips[0]}
name=$(basename "$zip" .zip)
unzip -q "$zip" -d "$work/pkg" || { echo "FAIL: unzip cannot unpack $zip"; exit 1; }
pkg=$work/pkg/$name

if [ "$mode" != contents ]; then
    # The prefix of the build the programs belong to, unless the caller chose one.
    # (The 64-bit build's programs lie in bin64/ beside bin/, with the prefixes.)
    tarnelo_build=$(dirname "$(dirname "$7")") . "$source/script/wine-env"
    wine_start "$bits"
    wine_use "$bits"
    # A crash ends the program at once instead of waiting in the debugger.
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d"
    launcher=$(winepath -w "$pkg/bin/$launcher_name" 2>/dev/null)
fi

# Runs command line $3 in directory $1 with stdin from $4, stdout to $2.out
# and stderr to $2.err; fails unless it exits with code $5. Wine lends a
# console only to a program with a terminal among its standard streams:
# cmd.exe on a pty made by `script`, which then redirects the launcher's
# streams the Windows way.
run() {
    local dir=$1 name=$2 line=$3 input=$4 want=$5 rc
    (cd "$dir" && timeout 30 script -qec "wine cmd /c '$line < $input > $name.out 2> $name.err'" /dev/null \
        </dev/null >/dev/null)
    rc=$?
    [ $rc -eq "$want" ] || fail "$name in $dir: exit code $rc, stderr: $(cat -v "$dir/$name.err" 2>/dev/null)"
}

# Fails for each of the lines given that file $1 lacks (CRs aside).
expect_lines() {
    local file=$1 line
    shift
    for line in "$@"; do
        tr -d '\r' <"$file" | grep -qxF "$line" || fail "$file lacks \"$line\": $(cat -v "$file")"
    done
}

# Builds program $1 from the sources given (and any extra flags) and the
# package's SDK, the way README.txt says.
compile() {
    local program=$1
    shift
    "$cc" -std=c99 -Wall -Werror -mwindows -I"$pkg/include" "$@" "$pkg/src/sdk/tarnelo_child.c" -o "$program" \
        2>"$work/cc.log" || fail "$program does not compile: $(cat "$work/cc.log")"
}

case $mode in
contents)
    # Every entry, without the top directory and without directories.
    unzip -Z1 "$zip" >"$work/entries" || fail "unzip cannot list $zip"
    grep -v "^$name/" "$work/entries" | sed 's/^/outside the top directory: /' | grep . && fail "entries outside $name/"
    sed -n "s|^$name/||p" "$work/entries" | grep -v '/$' | sort >"$work/files"

    # Exactly these: no test programs, no torture build, no libraries, no GoogleTest.
    { printf '%s\n' bin/tarnelo.exe bin/tarnelo64.exe include/tarnelo_child.h src/sdk/tarnelo_child.c src/sdk/examples/hello.c \
          src/sdk/examples/streams.cpp lib/cmake/tarnelo/tarnelo-config.cmake \
          lib/cmake/tarnelo/tarnelo-config-version.cmake docs/protocol.md docs/guide.md LICENSE README.txt
      (cd "$source/docs" && printf 'docs/%s\n' *.md); } | sort -u >"$work/required"
    comm -23 "$work/required" "$work/files" | sed 's/^/  missing: /' | grep . && fail "files missing"
    comm -13 "$work/required" "$work/files" | sed 's/^/  unexpected: /' | grep . && fail "unexpected files"
    grep -iE '\.(a|lib|dll|o|obj)$|gtest|gmock|torture|_test|test_child|\.exe$' "$work/files" |
        grep -vx -e bin/tarnelo.exe -e bin/tarnelo64.exe | sed 's/^/  build output: /' | grep . && fail "build output other than the launcher"

    cmp -s "$pkg/bin/$launcher_name" "$7" || fail "bin/$launcher_name is not the build's launcher"
    file "$pkg/bin/tarnelo.exe" | grep -qF 'PE32 executable (console) Intel 80386' ||
        fail "bin/tarnelo.exe: $(file "$pkg/bin/tarnelo.exe")"
    file "$pkg/bin/tarnelo64.exe" | grep -qF 'PE32+ executable (console) x86-64' ||
        fail "bin/tarnelo64.exe: $(file "$pkg/bin/tarnelo64.exe")"
    # FILEVERSION from the image's VS_FIXEDFILEINFO (after its 0xFEEF04BD
    # signature): the version users see must be the one in the name.
    version=$(perl -0777 -ne 'my $at = index($_, pack("V", 0xFEEF04BD)); exit 1 if $at < 0;
        my ($sig, $struc, $ms, $ls) = unpack("V4", substr($_, $at, 16));
        printf "%d.%d.%d.%d", $ms >> 16, $ms & 0xFFFF, $ls >> 16, $ls & 0xFFFF' "$pkg/bin/$launcher_name") ||
        fail "no version resource in bin/$launcher_name"
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
    child=$(winepath -w "$hello_gui" 2>/dev/null)
    run "$work" explicit "$launcher $child 3" NUL 3
    expect_lines "$work/explicit.out" "hello: stdout through a request" "hello: stdout through the handle" \
        "hello: no stdin (end of input)"
    expect_lines "$work/explicit.err" "hello: stderr through a request" "hello: stderr through the handle"

    # A fatal report from the shipped image: its message texts and the
    # system error lines.
    run "$work" missing "$launcher nothere.exe" NUL 1
    expect_lines "$work/missing.err" "Fatal error: Failed to run nothere.exe" "System error number: 2 (0x2) "

    # The SDK as shipped, run the implicit way.
    mkdir -p "$work/app"
    if compile "$work/app/hello.wxe" -Wextra -Wpedantic "$pkg/src/sdk/examples/hello.c"; then
        cp "$pkg/bin/$launcher_name" "$work/app/hello.exe"
        run "$work" implicit 'app\hello.exe 5' NUL 5
        expect_lines "$work/implicit.out" "hello: stdout through a request" "hello: no stdin (end of input)"
        expect_lines "$work/implicit.err" "hello: stderr through a request"
    fi

    # The guide's example program, as printed there.
    sed -n '/^```c$/,/^```$/{/^```/d;p}' "$pkg/docs/guide.md" >"$work/upper.c"
    grep -q WinMain "$work/upper.c" || fail "no C example in docs/guide.md"
    if compile "$work/upper.exe" "$work/upper.c"; then
        printf 'Shout this\r\nand this\r\n' >"$work/in.txt"
        run "$work" upper "$launcher upper.exe" in.txt 0
        expect_lines "$work/upper.out" "SHOUT THIS" "AND THIS"
    fi
    ;;
cmake-*)
    arch=${mode#cmake-}
    out=$work/consumer-$arch
    format='PE32 executable (GUI) Intel 80386'
    [ "$arch" = i686 ] || { format='PE32+ executable (GUI) x86-64'; bits=64; }
    if ! cmake -S "$source/tests/package/consumer" -B "$out" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-$arch.cmake" -DCMAKE_PREFIX_PATH="$pkg" \
            >"$work/consumer.log" 2>&1 ||
        ! cmake --build "$out" -j2 >>"$work/consumer.log" 2>&1; then
        fail "$arch consumer does not build: $(tail -20 "$work/consumer.log")"
    else
        # The launchers the package found are the release's.
        printf '%s\n' "$pkg/bin/tarnelo.exe" "$pkg/bin/tarnelo64.exe" | cmp -s - "$out/launcher.txt" ||
            fail "$arch: tarnelo::launcher and tarnelo::launcher64 are $(cat "$out/launcher.txt")"
        file "$out/hello.exe" | grep -qF "$format" || fail "not a $format: $(file "$out/hello.exe")"
        # A 64-bit program, or any program behind the 64-bit launcher, runs
        # in the 64-bit prefix.
        wine_start "$bits"
        wine_use "$bits"
        printf 'one\r\ntwo\r\n' >"$out/in.txt"
        run "$out" hello "$launcher hello.exe 7" in.txt 7
        run "$out" streams "$launcher streams.exe echo 9" in.txt 9
        expect_lines "$out/hello.out" "hello: got 10 bytes of stdin"
        expect_lines "$out/hello.err" "hello: stderr through a request"
        grep -q $'getline: \\[two\\]\r$' "$out/streams.out" || fail "$arch streams: $(cat -v "$out/streams.out")"
        grep -q $'^cerr: a line\r$' "$out/streams.err" || fail "$arch streams: $(cat -v "$out/streams.err")"
    fi
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac

[ $failures -eq 0 ] && echo "PASS: $mode ($name)"
[ $failures -eq 0 ]
