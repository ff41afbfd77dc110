#!/usr/bin/env bash
# Configures and builds one target (i686 or x86_64) into build/<target>; further arguments
# go to cmake --build (e.g. --target fuzz). VEXA_WERROR=1 makes compiler warnings errors
# (the test command and CI set it); without it a build reports them and goes on.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target="$1"
build="$root/build/$target"
werror=OFF
[ "${VEXA_WERROR:-0}" = 1 ] && werror=ON
if [ ! -f "$build/CMakeCache.txt" ] ||
   ! grep -qx "VEXA_WARNINGS_AS_ERRORS:BOOL=$werror" "$build/CMakeCache.txt"; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$target.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVEXA_WARNINGS_AS_ERRORS=$werror >/dev/null
fi
cmake --build "$build" -j "$(nproc)" "${@:2}"
