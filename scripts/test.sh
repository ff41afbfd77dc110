#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets (x86 and x64) with
# warnings as errors and runs every test that this machine can run under Wine, with an X
# server (Xvfb) for the tests that open windows. Where the machine runs no 32-bit code the
# x86 target is built and checked without running it (its static checks, and the native
# fuzzer, which runs once, with the x86 target's tests).
# VEXA_TARGETS picks the targets (default "i686 x86_64"); CTEST_ARGS go to ctest, e.g.
# CTEST_ARGS="-L unit" (labels: unit, e2e, fuzz, static; native marks the tests that run
# without Wine) or CTEST_ARGS="-R test_plugin".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
source scripts/wine.sh

targets=(${VEXA_TARGETS:-i686 x86_64})
for t in "${targets[@]}"; do VEXA_WERROR=1 bash scripts/build.sh "$t"; done

# One X server for all tests that open windows.
start_xvfb

status=0
for t in "${targets[@]}"; do
  echo "=== tests: $t ==="
  if [ "$t" = i686 ] && ! runs_x86; then
    echo "x86: built and checked, not run: $vexa_no_x86_reason"
    (cd "build/$t" && ctest --output-on-failure --timeout 600 -L native ${CTEST_ARGS:-}) || status=1
    continue
  fi
  prefix_start "$root/build/$t"
  if ! (cd "build/$t" && ctest --output-on-failure --timeout 600 ${CTEST_ARGS:-}); then
    status=1
  fi
  prefix_stop "$root/build/$t"
done
exit $status
