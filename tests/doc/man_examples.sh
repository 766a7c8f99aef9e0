#!/bin/sh
# Runs every example of the manual page's EXAMPLES section as it stands there,
# in a temporary folder that holds the sample as Post.pfc and archive/*.pfc, so
# an example that does not work fails the test.
#   man_examples.sh MANPAGE BINDIR SAMPLE.pfc
# Ends with 77 (CTest's "skipped") when a mail tool an example needs is missing.
set -eu
page=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
bindir=$(cd "$2" && pwd)
sample=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$sample" "$work/Post.pfc"
mkdir "$work/archive"
cp "$sample" "$work/archive/2008.pfc"
cp "$sample" "$work/archive/2009.pfc"

# The lines between .EX and .EE, with the roff escapes the page uses undone.
sed -n '/^\.SH EXAMPLES/,/^\.SH [^E]/p' "$page" |
    awk '/^\.EX/ { inside = 1; next } /^\.EE/ { inside = 0; next } inside' |
    sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" >"$work/examples"

cd "$work"
PATH="$bindir:$PATH"
export PATH
count=0
while IFS= read -r line; do
    count=$((count + 1))
    tool=${line%% *}
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is not installed ($line)"; exit 77; }
    status=0
    sh -c "$line" >out 2>&1 </dev/null || status=$?
    case $tool in
    # The sample holds one damaged message: 3 is "converted, damaged ones skipped".
    kistwerk-cli) [ "$status" = 0 ] || [ "$status" = 3 ] ;;
    # GNU frm ends with 1 when it found no unread mail, 2 when it failed.
    frm) [ "$status" -le 1 ] && [ -s out ] ;;
    # A reader must also show something of the mailbox.
    *) [ "$status" = 0 ] && [ -s out ] ;;
    esac || { echo "example failed with $status: $line"; cat out; exit 1; }
    echo "ok: $line"
done <examples
[ "$count" -ge 4 ] || { echo "only $count examples found in $page"; exit 1; }
# What the examples promise: the mailbox files beside their PFC files.
for made in Post.mbx post.mbox archive/2008.mbx archive/2009.mbx; do
    [ -s "$made" ] || { echo "no $made after the examples"; exit 1; }
done
