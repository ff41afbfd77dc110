#!/usr/bin/env bash
# The parsing rules under AddressSanitizer and UndefinedBehaviorSanitizer on Linux, driven by
# the feed grammar: a short pass. fuzz_native.sh BUILD_DIR SOURCE_DIR
# The native program is built once for both targets, beside their build directories.
set -euo pipefail
build="$1"
src="$2"
native="$(dirname "$build")/native"
bash "$src/tests/fuzz/native/build.sh" "$src" "$native/fuzz_native"
mkdir -p "$build/fuzz-out"
cd "$build/fuzz-out"
exec "$native/fuzz_native" --seconds "${FUZZ_NATIVE_SECONDS:-10}" --out "$build/fuzz-out/native"
