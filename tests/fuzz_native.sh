#!/usr/bin/env bash
# The parsing rules under AddressSanitizer and UndefinedBehaviorSanitizer on Linux, driven by
# the feed grammar: a short pass. fuzz_native.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
src="$2"
bash "$src/tests/fuzz/native/build.sh" "$src" "$build/native/fuzz_native"
cd "$build/native"
exec ./fuzz_native --seconds "${FUZZ_NATIVE_SECONDS:-10}" --out "$build/native/failure"
