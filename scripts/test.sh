#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets (x86 and x64) with
# warnings as errors and runs every test of both under Wine, with an X server (Xvfb) for the
# tests that open windows. The native fuzzer runs once, with the x86 target's tests.
# VEXA_TARGETS picks the targets (default "i686 x86_64"); CTEST_ARGS go to ctest, e.g.
# CTEST_ARGS="-L unit" (labels: unit, e2e, fuzz) or CTEST_ARGS="-R test_plugin".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh

targets=(${VEXA_TARGETS:-i686 x86_64})
for t in "${targets[@]}"; do VEXA_WERROR=1 bash scripts/build.sh "$t"; done

# One X server for all tests that open windows.
source scripts/wine.sh
start_xvfb

status=0
for t in "${targets[@]}"; do
  echo "=== tests: $t ==="
  prefix_start "$root/build/$t"
  if ! (cd "build/$t" && ctest --output-on-failure --timeout 600 ${CTEST_ARGS:-}); then
    status=1
  fi
  prefix_stop "$root/build/$t"
done
exit $status
