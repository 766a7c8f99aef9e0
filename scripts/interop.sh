#!/bin/sh
# Opens the mailbox files that kistwerk-cli writes, in the Windows form (--windows)
# and the Unix form (--unix), with independent mail readers from Debian (Python's
# mailbox and email, Dovecot's doveadm, mutt, s-nail, formail, GNU mailutils,
# Thunderbird headless with the file as a Local Folders folder) and
# checks that each sees every entry with its sender's address and name, subject,
# date and body text (and, where the reader tells, the first recipient), decoded
# exactly, umlauts, euro sign, quotes and other scripts' letters included.
#   scripts/interop.sh [BUILD_DIR]      (default build/linux; needs its
#                                        kistwerk-cli, tests/interop_fixture, bench/pfcgen)
# The readers come with scripts/install-deps.sh all. Run as root, Dovecot runs as
# the unprivileged user below, which is created when missing.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
user=kistwerk-interop

for tool in python3 doveadm mutt tmux s-nail formail messages frm readmsg thunderbird timeout; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "interop: $tool is missing (scripts/install-deps.sh all installs it)" >&2
        exit 1
    fi
done
if [ "$(id -u)" = 0 ] && ! id -u "$user" >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
fi

exec timeout 300 python3 "$root/tests/interop/readers.py" \
    --cli "$build/kistwerk-cli" \
    --fixture-writer "$build/tests/interop_fixture" \
    --pfcgen "$build/bench/pfcgen" \
    --sample "$root/examples/sample.pfc" \
    --work "$build/interop" \
    --user "$user" \
    --synth-size 4M
