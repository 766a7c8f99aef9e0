#!/bin/sh
# Builds the release and checks what it built:
#   build/release/Kistwerk-VERSION-win32.zip   Kistwerk.exe, kistwerk-cli.exe, zlib1.dll, LIESMICH.txt
#   build/release/linux/                       bin/kistwerk-cli, share/man/man1/kistwerk-cli.1
# The zip is unpacked into a temporary folder and its programs are started from
# there under Wine (private prefix build/wineprefix-release); the manual page must
# render without a warning. Where this machine cannot run 32-bit programs, the
# checks under Wine start the programs of an x86_64 build of the same sources
# (build/windows64) under 64-bit Wine instead (prefix build/wineprefix64-release);
# the zip's own files are checked as files either way. Release builds in
# build/linux, build/windows and build/windows64 are reused, so after
# scripts/test.sh this only packs and checks.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

fail() {
    echo "release: $*" >&2
    failed=1
    exit 1
}

# A command that failed under "set -e" says nothing itself.
stopped() {
    [ "$1" = 0 ] || [ -n "${failed:-}" ] || echo "release: stopped with status $1" >&2
}

version=$(sed -n 's/^project(Kistwerk VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
out=build/release
zip="$out/Kistwerk-$version-win32.zip"
linux="$out/linux"

# The checks that need a display and Wine; run inside xvfb-run (see below).
# $1 is the folder of the programs, $2 the Wine loader, $3 the Wine prefix.
wine_checks() {
    cd "$1"
    wine=$2
    export WINEPREFIX="$3" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export HOME="${HOME:-/root}"
    trap 'status=$?; wineserver -k 2>/dev/null || true; stopped $status' EXIT
    # No virtual desktop in this prefix: each window is an X window of its own.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "   (first start of the release check's Wine prefix)"
        "$wine" wineboot -i >/dev/null 2>&1
        wineserver -w
    fi

    shown=$("$wine" kistwerk-cli.exe --version | tr -d '\r')
    [ "$shown" = "kistwerk-cli $version" ] || fail "kistwerk-cli.exe --version printed \"$shown\""

    # Converted by bare name, as a user would, the mailbox lands beside the
    # PFC file in the Windows form and must equal the Linux program's in that
    # form, byte for byte.
    cp "$root/examples/sample.pfc" sample.pfc
    # The sample holds one damaged item: 3 is "converted, damaged items skipped".
    status=0
    "$wine" kistwerk-cli.exe -q sample.pfc || status=$?
    [ $status = 3 ] || fail "kistwerk-cli.exe ended with $status on sample.pfc, not 3"
    "$root/$linux/bin/kistwerk-cli" -q --windows -o ../linux-sample.mbx "$root/examples/sample.pfc" || [ $? = 3 ]
    cmp sample.mbx ../linux-sample.mbx || fail "sample.mbx from kistwerk-cli.exe differs from the Linux output"
    rm -f sample.pfc sample.mbx

    "$wine" Kistwerk.exe &
    pid=$!
    window=""
    tries=0
    while [ -z "$window" ] && [ $tries -lt 60 ]; do
        sleep 0.5
        window=$(xdotool search --all --pid "$pid" --name '^Kistwerk$' 2>/dev/null | head -n 1) || true
        kill -0 "$pid" 2>/dev/null || break
        tries=$((tries + 1))
    done
    if [ -z "$window" ]; then
        kill "$pid" 2>/dev/null || true
        fail "Kistwerk.exe showed no main window \"Kistwerk\""
    fi
    # Alt+F4 until it ends: a window that has just appeared may miss the first.
    tries=0
    while kill -0 "$pid" 2>/dev/null && [ $tries -lt 20 ]; do
        xdotool key --window "$window" alt+F4 2>/dev/null || true
        sleep 0.5
        tries=$((tries + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        fail "Kistwerk.exe did not close on Alt+F4"
    fi
    wait "$pid" || fail "Kistwerk.exe ended with status $?"
    echo "   $wine: kistwerk-cli.exe $version converts sample.pfc as on Linux; Kistwerk.exe opens and closes"
}

if [ "${1:-}" = --wine-checks ]; then
    wine_checks "$2" "$3" "$4"
    exit 0
fi

sh scripts/install-deps.sh all

echo "== Release $version: Linux"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/linux -j 2 --target kistwerk-cli
rm -rf "$linux"
cmake --install build/linux --prefix "$linux" --strip >/dev/null

echo "== Release $version: Windows"
if [ -f build/windows/CMakeCache.txt ]; then
    cmake build/windows -DCMAKE_BUILD_TYPE=Release >/dev/null
else
    cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build/windows -j 2 --target Kistwerk kistwerk-cli
stage="$out/win32"
rm -rf "$stage" "$out"/Kistwerk-*-win32.zip
cmake --install build/windows --prefix "$stage" >/dev/null
# For Notepad on an old Windows: Windows line ends, Windows-1252 (the "ANSI"
# code page of German Windows) so that the umlauts show.
sed "s/@VERSION@/$version/; s/\$/\r/" doc/LIESMICH.txt | iconv -f UTF-8 -t CP1252 >"$stage/LIESMICH.txt"
staged=$(cd "$stage" && ls | LC_ALL=C sort | tr '\n' ' ')
[ "$staged" = "Kistwerk.exe LIESMICH.txt kistwerk-cli.exe zlib1.dll " ] || fail "the Windows install holds: $staged"
(cd "$stage" && zip -q -X -9 "$root/$zip" Kistwerk.exe kistwerk-cli.exe zlib1.dll LIESMICH.txt)

echo "== Checking the release"
check=$(mktemp -d "${TMPDIR:-/tmp}/kistwerk-release.XXXXXX")
trap 'status=$?; rm -rf "$check"; stopped $status' EXIT
unzip -q "$zip" -d "$check/Kistwerk"
unpacked=$(cd "$check/Kistwerk" && ls | LC_ALL=C sort | tr '\n' ' ')
[ "$unpacked" = "Kistwerk.exe LIESMICH.txt kistwerk-cli.exe zlib1.dll " ] || fail "the zip holds: $unpacked"

# Nothing beyond zlib1.dll may be needed that an old Windows lacks.
for file in Kistwerk.exe kistwerk-cli.exe zlib1.dll; do
    i686-w64-mingw32-objdump -p "$check/Kistwerk/$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' |
        while read -r dll; do
            case "$dll" in
            kernel32.dll | user32.dll | gdi32.dll | comdlg32.dll | msvcrt.dll | zlib1.dll) ;;
            *) fail "$file needs $dll, which the zip does not hold" ;;
            esac
        done
done
i686-w64-mingw32-objdump -f "$check/Kistwerk/Kistwerk.exe" | grep -q 'file format pei-i386' || fail "Kistwerk.exe is no 32-bit program"
# The About box and the version record carry the same version as the build.
file_version=$(echo "$version.0.0.0" | cut -d. -f1-4 | sed 's/\./, /g')
strings -el "$check/Kistwerk/Kistwerk.exe" | grep -qx "Version $version" || fail "Kistwerk.exe's About box does not say Version $version"
strings -el "$check/Kistwerk/Kistwerk.exe" | grep -qx "$file_version" || fail "Kistwerk.exe's version record is not $file_version"

# LIESMICH.txt: CR LF on every line, and read back as Windows-1252 it is the
# source text, umlauts included.
readme="$check/Kistwerk/LIESMICH.txt"
lines=$(tr -cd '\n' <"$readme" | wc -c)
crlf=$(grep -c "$(printf '\r')\$" "$readme" || true)
[ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ] || fail "LIESMICH.txt: $crlf of $lines lines end in CR LF"
iconv -f CP1252 -t UTF-8 "$readme" | tr -d '\r' >"$check/liesmich.utf8"
sed "s/@VERSION@/$version/" doc/LIESMICH.txt | cmp -s - "$check/liesmich.utf8" || fail "LIESMICH.txt does not read back as Windows-1252"
LC_ALL=C grep -q "$(printf '\344')" "$readme" || fail "LIESMICH.txt has no Windows-1252 umlaut"

# The Linux install and its manual page.
[ -x "$linux/bin/kistwerk-cli" ] || fail "$linux/bin/kistwerk-cli missing"
page="$linux/share/man/man1/kistwerk-cli.1"
[ -f "$page" ] || fail "$page missing"
shown=$("$linux/bin/kistwerk-cli" --version)
[ "$shown" = "kistwerk-cli $version" ] || fail "kistwerk-cli --version printed \"$shown\""
for locale in C C.UTF-8; do
    warnings=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man ($locale) warns about $page: $warnings"
done
lexgrog "$page" | grep -q ': "kistwerk-cli - ' || fail "$page has no NAME line that apropos can read"
# Every option the program's help names is in the manual page.
rendered=$(LC_ALL=C MANWIDTH=200 man -l "$page" 2>/dev/null)
for option in $("$linux/bin/kistwerk-cli" --help | grep -oE '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,' | sort -u); do
    printf '%s\n' "$rendered" | grep -qF -- "$option" || fail "kistwerk-cli --help names $option, the manual page does not"
done

# The README's example entry is what the program writes in the Windows form.
"$linux/bin/kistwerk-cli" -q --windows -o "$check/sample.mbx" examples/sample.pfc || [ $? = 3 ]
tr -d '\r' <"$check/sample.mbx" | awk 'NR > 1 && /^From - / { exit } { print }' >"$check/first-entry"
awk '/^```/ { if (inside) exit; if ((getline line) > 0 && line ~ /^From - /) { inside = 1; print line }; next }
     inside { print }' README.md >"$check/readme-entry"
cmp -s "$check/first-entry" "$check/readme-entry" ||
    fail "README.md's example entry is not the first entry of examples/sample.pfc's mailbox"

# Debian's `wine` starts the 32-bit loader, which a kernel without 32-bit
# support refuses ("Exec format error").
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    xvfb-run -a -s "-screen 0 1024x768x24" sh "$root/scripts/release.sh" --wine-checks "$check/Kistwerk" \
        wine "$root/build/wineprefix-release" || fail "the checks under Wine failed"
else
    echo "   this machine cannot run 32-bit programs: the checks under Wine run the x86_64 build of the same sources under 64-bit Wine"
    if [ -f build/windows64/CMakeCache.txt ]; then
        cmake build/windows64 -DCMAKE_BUILD_TYPE=Release >/dev/null
    else
        cmake -S . -B build/windows64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
            -DKISTWERK_WINE=/usr/lib/wine/wine64 >/dev/null
    fi
    cmake --build build/windows64 -j 2 --target Kistwerk kistwerk-cli
    cmake --install build/windows64 --prefix "$check/Kistwerk64" >/dev/null
    x86_64-w64-mingw32-objdump -f "$check/Kistwerk64/Kistwerk.exe" | grep -q 'file format pei-x86-64' ||
        fail "build/windows64 holds no 64-bit Kistwerk.exe"
    xvfb-run -a -s "-screen 0 1024x768x24" sh "$root/scripts/release.sh" --wine-checks "$check/Kistwerk64" \
        /usr/lib/wine/wine64 "$root/build/wineprefix64-release" || fail "the checks under 64-bit Wine failed"
fi

echo "Release $version:"
echo "   $root/$zip ($(wc -c <"$zip") bytes)"
echo "   $root/$linux (bin/kistwerk-cli, share/man/man1/kistwerk-cli.1)"
