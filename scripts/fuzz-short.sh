#!/bin/sh
# The fuzzing share of the test command: replays every stored fuzz input, then
# fuzzes each of the four targets for 15 s (about a minute in all). Fails on any
# finding and names the saved input.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
exec sh "$root/fuzz/run.sh" -t 15 -j 1
