#!/bin/sh
# Installs everything the tests need, builds for Linux and 32-bit Windows, and
# runs every test (the Windows ones under Wine inside Xvfb).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh scripts/install-deps.sh all

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Linux build and tests"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DKISTWERK_WERROR=ON >/dev/null
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"
