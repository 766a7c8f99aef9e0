#!/bin/sh
# Installs everything the tests need, builds for Linux and 32-bit Windows, and
# runs every test (the Windows ones under Wine inside Xvfb). Where this machine
# cannot run 32-bit programs, or the 32-bit Wine could not be installed, the
# Windows tests run on an x86_64 build of the same sources (build/windows64)
# under 64-bit Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh scripts/install-deps.sh all

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Linux build and tests"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DKISTWERK_WERROR=ON >/dev/null
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"
sh scripts/interop.sh build/linux
sh scripts/sanitize.sh
sh scripts/fuzz-short.sh

echo "== Windows cross-build (i686-w64-mingw32)"
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
    -DKISTWERK_WERROR=ON -DKISTWERK_ARTIFACTS_DIR="$root/build/artifacts" >/dev/null
cmake --build build/windows -j "$jobs"

# Kistwerk.exe must be a 32-bit GUI program that needs nothing beside it but
# zlib1.dll: no C or C++ runtime DLLs of the toolchain.
objdump=i686-w64-mingw32-objdump
$objdump -f build/windows/bin/Kistwerk.exe | grep -q 'file format pei-i386'
$objdump -p build/windows/bin/Kistwerk.exe | grep -q 'Subsystem.*Windows GUI'
for exe in Kistwerk kistwerk-cli; do
    if $objdump -p "build/windows/bin/$exe.exe" | grep 'DLL Name' | grep -Eiq 'libstdc|libgcc|winpthread'; then
        echo "$exe.exe needs a runtime DLL of the toolchain" >&2
        exit 1
    fi
done

# Debian's `wine` starts the 32-bit loader, which a kernel without 32-bit
# support refuses ("Exec format error") and which is missing where wine32 could
# not be installed; then the 64-bit loader runs an x86_64 build of the same
# sources, with its own prefix.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "== Windows tests under Wine"
    wine=wine
    tested=build/windows
    export WINEPREFIX="$root/build/wineprefix"
else
    echo "== no 32-bit Wine runs on this machine: the Windows tests run on an x86_64 build of the same sources under 64-bit Wine"
    wine=/usr/lib/wine/wine64
    tested=build/windows64
    export WINEPREFIX="$root/build/wineprefix64"
    cmake -S . -B "$tested" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
        -DKISTWERK_WERROR=ON -DKISTWERK_WINE="$wine" -DKISTWERK_ARTIFACTS_DIR="$root/build/artifacts" >/dev/null
    cmake --build "$tested" -j "$jobs"
fi

# A private Wine prefix, no debug chatter, no offer to install Mono or Gecko, and
# one virtual desktop so that Wine draws the title bars into the screenshots.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME="${HOME:-/root}"
trap 'wineserver -k 2>/dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "   (first start of the Wine prefix, this takes a while)"
    xvfb-run -a "$wine" wineboot -i >/dev/null 2>&1
    wineserver -w
fi
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
wineserver -w
rm -rf build/artifacts/screenshots
status=0
xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir "$tested" --output-on-failure || status=$?
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

# The GUI tests leave BMP screenshots; keep them as PNG.
for shot in build/artifacts/screenshots/*.bmp; do
    [ -f "$shot" ] || continue
    convert "$shot" "${shot%.bmp}.png" && rm -f "$shot"
done
[ -d build/artifacts/screenshots ] && echo "Screenshots ($tested): $root/build/artifacts/screenshots"
[ $status = 0 ] && sh scripts/release.sh
exit $status
