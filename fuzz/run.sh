#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehavior-
# Sanitizer), replays every stored input, then fuzzes each target.
#   sh fuzz/run.sh [-t SECONDS] [-j PARALLEL] [TARGET...]
#     -t  fuzzing time per target (default 15; 0 replays the stored inputs only)
#     -j  targets fuzzed at the same time (default 1)
#     TARGET: conversion, filter, fold, date (default all four)
#   sh fuzz/run.sh -t 600 -j 2      the long run: ten minutes each, two at a time
# Stored inputs: fuzz/regression/TARGET (inputs that once found a fault; replayed
# every time), fuzz/corpus/TARGET (committed seeds) and the seeds that fuzz_seeds
# and pfcgen write into the build. New inputs collect in BUILD/corpus/TARGET.
# Any crash, leak, sanitizer report, timeout (10 s per input) or use of more than
# 2 GiB makes the script print the log's end and the saved input, and exit 1.
# An input takes well under a millisecond; the timeout is that long because a
# busy machine can stall a sanitizer's mapping of memory for seconds, and a hang
# shows as surely at 10 s as at 2.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=15
parallel=1
while getopts t:j: opt; do
    case $opt in
    t) seconds=$OPTARG ;;
    j) parallel=$OPTARG ;;
    *) echo "usage: fuzz/run.sh [-t SECONDS] [-j PARALLEL] [conversion|filter|fold|date...]" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
targets=${*:-conversion filter fold date}
for target in $targets; do
    case $target in
    conversion | filter | fold | date) ;;
    *) echo "fuzz/run.sh: no fuzz target \"$target\" (conversion, filter, fold, date)" >&2; exit 2 ;;
    esac
done
build=${KISTWERK_FUZZ_BUILD:-$root/build/fuzz}
limits="-timeout=10 -rss_limit_mb=2048"

command -v clang++ >/dev/null || { echo "fuzz/run.sh needs clang (sh scripts/install-deps.sh)" >&2; exit 1; }

# Only the fuzz targets, the seed writer and the generator are built.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DKISTWERK_FUZZ=ON -DKISTWERK_TESTS=OFF \
    -DKISTWERK_BENCH=ON -DKISTWERK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target kistwerk_fuzzers pfcgen >/dev/null

# Seeds: small images and texts from the fixture builder, and the generator's
# sample, a long flat chain and two small realistic files.
seeds=$build/seeds
rm -rf "$seeds"
"$build/fuzz/fuzz_seeds" "$seeds"
scratch=$build/seed-scratch
rm -rf "$scratch" && mkdir -p "$scratch"
"$build/bench/pfcgen" sample "$seeds/conversion/pfcgen-sample.pfc"
"$build/bench/pfcgen" many 20 "$seeds/conversion/pfcgen-many.pfc"
for seed in 1 2; do
    "$build/bench/pfcgen" synth --size 24K --seed $seed "$scratch/synth$seed.pfc" >/dev/null
    mv "$scratch/synth$seed.pfc" "$seeds/conversion/pfcgen-synth$seed.pfc"
done
rm -rf "$scratch"

findings=$build/findings/$(date -u +%Y%m%d-%H%M%S)
logs=$build/logs
mkdir -p "$findings" "$logs"

dictionary() {
    [ -f "$root/fuzz/$1.dict" ] && echo "-dict=$root/fuzz/$1.dict" || true
}

# Prints the end of the log and the saved inputs of a target that found something.
report() {
    echo "== fuzz_$1: FINDING (exit status $2); the log's end ($3):" >&2
    tail -n 40 "$3" >&2
    for artifact in "$findings/$1"-*; do
        [ -e "$artifact" ] && echo "== saved input: $artifact" >&2
    done
    return 0
}

# Every stored input once; the file names go on the command line, so nothing
# is fuzzed and nothing is added to the stored directories.
replay() {
    target=$1
    log=$logs/replay-$target.log
    set --
    for dir in "$root/fuzz/regression/$target" "$root/fuzz/corpus/$target" "$seeds/$target"; do
        for f in "$dir"/*; do
            [ -f "$f" ] && set -- "$@" "$f"
        done
    done
    [ $# -gt 0 ] || return 0
    status=0
    # shellcheck disable=SC2086
    "$build/fuzz/fuzz_$target" $limits -artifact_prefix="$findings/$target-" "$@" >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        report "$target" $status "$log"
        return 1
    fi
    echo "fuzz_$target: replayed $# stored inputs"
}

fuzz() {
    target=$1
    log=$logs/$target.log
    work=$build/corpus/$target
    mkdir -p "$work"
    status=0
    # New inputs go to the first directory only; the others are read.
    set -- "$work"
    for dir in "$root/fuzz/regression/$target" "$root/fuzz/corpus/$target" "$seeds/$target"; do
        [ -d "$dir" ] && set -- "$@" "$dir"
    done
    # shellcheck disable=SC2086
    "$build/fuzz/fuzz_$target" $limits -max_total_time="$seconds" -print_final_stats=1 $(dictionary "$target") \
        -artifact_prefix="$findings/$target-" "$@" >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ] || ls "$findings/$target"-* >/dev/null 2>&1; then
        report "$target" $status "$log"
        return 1
    fi
    # libFuzzer's last status line: executions, coverage and features.
    printf 'fuzz_%s: %s\n' "$target" "$(grep 'DONE' "$log" | tail -n 1 | sed 's/[[:space:]]\{1,\}/ /g')"
}

failed=0
for target in $targets; do
    replay "$target" || failed=1
done
[ $failed -eq 0 ] || exit 1
[ "$seconds" -gt 0 ] || exit 0

# PARALLEL targets at a time; each batch is waited for before the next starts.
set -- $targets
while [ $# -gt 0 ]; do
    pids=""
    n=0
    while [ $# -gt 0 ] && [ $n -lt "$parallel" ]; do
        fuzz "$1" &
        pids="$pids $!"
        n=$((n + 1))
        shift
    done
    for pid in $pids; do
        wait "$pid" || failed=1
    done
done
if [ $failed -ne 0 ]; then
    echo "fuzzing found faults; saved inputs are in $findings" >&2
    exit 1
fi
rmdir "$findings" 2>/dev/null || true
