#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the prefix of the build tree that the
# program lies in (build/<arch>/wineprefix). Used by ctest as the cross-compiling emulator.
set -u
exe="$1"
dir=$(cd "$(dirname "$exe")" && pwd)
while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
arch=$(sed -n 's/^VEXA_WINEARCH:[A-Z]*=//p' "$dir/CMakeCache.txt")
export WINEPREFIX="${WINEPREFIX:-$dir/wineprefix}"
export WINEARCH="${arch:-win64}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
