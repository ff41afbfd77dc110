#!/usr/bin/env bash
# Configures and builds one target (i686 or x86_64) into build/<target>; further arguments
# go to cmake --build (e.g. --target fuzz).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target="$1"
build="$root/build/$target"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$target.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j "$(nproc)" "${@:2}"
