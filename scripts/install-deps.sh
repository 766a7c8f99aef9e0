#!/bin/sh
# Installs what the build needs on Debian 12, as root.
#   install-deps.sh native   compiler, CMake, zlib, GoogleTest, GNU time (benchmark)
#   install-deps.sh all      native + the 32-bit Windows toolchain, Wine, Xvfb and tools for the GUI tests,
#                            the mail readers of scripts/interop.sh, and zip and man for the release;
#                            also the 64-bit toolchain and 64-bit Wine, for the Windows tests on
#                            machines that cannot run 32-bit programs (and so not wine32)
set -eu
mode=${1:-native}

native="build-essential cmake ninja-build zlib1g-dev libgtest-dev googletest python3 pkg-config locales time"
native="$native clang libclang-rt-14-dev"  # the fuzz targets (libFuzzer and the sanitizer runtimes)
windows="g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 xvfb xauth xdotool imagemagick x11-utils"
# The 32-bit Wine comes from the i386 lists, which a mirror may not serve whole; without it the
# Windows tests run under 64-bit Wine (scripts/test.sh), so it is installed on its own.
windows32="wine32:i386"
# Mail readers that open the converted files (scripts/interop.sh); formail is in procmail;
# thunderbird runs headless there.
readers="dovecot-core mutt s-nail procmail mailutils tmux thunderbird"
release="zip unzip man-db groff-base"

missing=""
missing32=""
want=$native
[ "$mode" = all ] && want="$native $windows $readers $release"

if [ "$mode" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need_update=1
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in $want; do
    installed "$p" || missing="$missing $p"
done
if [ "$mode" = all ]; then
    for p in $windows32; do
        installed "$p" || missing32="$missing32 $p"
    done
fi

if [ -n "$missing$missing32" ] || [ -n "${need_update:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "install-deps: missing packages:$missing$missing32 (run as root)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in the middle of a sync hands out index files of the wrong size for a while:
    # try again, then go on with the lists that came (the install names what it cannot find).
    tries=1
    until apt-get update -qq; do
        [ $tries -ge 3 ] && { echo "install-deps: apt-get update failed $tries times, going on" >&2; break; }
        tries=$((tries + 1)); sleep 20
    done
    # dovecot-core would start its daemon where nothing forbids it; nothing here needs it.
    policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d && policy=1
    fi
    tries=1
    while [ -n "$missing" ] && ! apt-get install -y -qq --no-install-recommends $missing >/dev/null; do
        [ $tries -ge 2 ] && { [ -n "$policy" ] && rm -f /usr/sbin/policy-rc.d; exit 1; }
        tries=$((tries + 1)); sleep 20
        apt-get update -qq || true
    done
    if [ -n "$missing32" ] && ! apt-get install -y -qq --no-install-recommends $missing32 >/dev/null; then
        echo "install-deps: could not install$missing32; the Windows tests will run under 64-bit Wine" >&2
    fi
    if [ -n "$policy" ]; then rm -f /usr/sbin/policy-rc.d; fi
fi

# A German locale, so that the tests can show the output does not follow it.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf-\?8' && [ "$(id -u)" = 0 ] && command -v localedef >/dev/null &&
   [ -f /usr/share/i18n/locales/de_DE ]; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 || true
fi
exit 0
