#!/usr/bin/env bash
# Configures and builds one target (i686 or x86_64) into build/<target>; further arguments
# go to cmake --build (e.g. --target fuzz). VEXA_WERROR=1 makes compiler warnings errors
# (the test command and CI set it), VEXA_WERROR=0 makes them warnings again; without it a
# new build reports warnings and goes on, and an existing one keeps its setting (a change
# rebuilds everything).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target="$1"
build="$root/build/$target"
options=()
want=""
case "${VEXA_WERROR:-}" in
  1) want=ON ;;
  0) want=OFF ;;
esac
[ -n "$want" ] && options=(-DVEXA_WARNINGS_AS_ERRORS=$want)
if [ ! -f "$build/CMakeCache.txt" ] ||
   { [ -n "$want" ] && ! grep -qx "VEXA_WARNINGS_AS_ERRORS:BOOL=$want" "$build/CMakeCache.txt"; }; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$target.cmake" \
        -DCMAKE_BUILD_TYPE=Release "${options[@]}" >/dev/null
fi
cmake --build "$build" -j "$(nproc)" "${@:2}"
