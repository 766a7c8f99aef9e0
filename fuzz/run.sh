#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60).
#   sh fuzz/run.sh [SECONDS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${KISTWERK_FUZZ_BUILD:-/tmp/kistwerk-fuzz}
command -v clang++ >/dev/null || { echo "fuzz/run.sh needs clang (apt-get install clang)" >&2; exit 1; }
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DKISTWERK_FUZZ=ON -DKISTWERK_TESTS=OFF \
    -DKISTWERK_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target fuzz_filter fuzz_conversion
for target in filter conversion; do
    work="$build/corpus-$target"
    mkdir -p "$work"
    dict=""
    [ "$target" = filter ] && dict="-dict=$root/fuzz/filter.dict"
    "$build/fuzz/fuzz_$target" $dict -max_total_time="$seconds" -artifact_prefix="$build/" \
        "$work" "$root/fuzz/corpus/$target"
done
