#!/bin/sh
# Builds kistwerk-cli and converts the bundled sample PFC file.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh scripts/install-deps.sh native
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/linux --target kistwerk-cli
mkdir -p build/examples
# The sample holds one damaged message on purpose: the converter skips it, says
# so, and ends with 3 ("converted, damaged messages skipped").
./build/linux/kistwerk-cli -o build/examples/sample.mbx examples/sample.pfc || [ $? = 3 ]
echo "Postfachdatei: $root/build/examples/sample.mbx"
