#!/usr/bin/env bash
# A long fuzzing campaign: the native sanitizer build of the parsing rules, then every target
# of the fuzzing program under Wine.
#   bash scripts/fuzz.sh [--seconds S] [--target NAME] [--seed N] [i686|x86_64]
# --seconds is the time per target (default 600); failures go to build/<target>/fuzz-out/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=600
args=()
arch=i686
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --target|--seed|--count) args+=("$1" "$2"); shift 2 ;;
    i686|x86_64) arch="$1"; shift ;;
    *) echo "usage: fuzz.sh [--seconds S] [--target NAME] [--seed N] [--count N] [i686|x86_64]" >&2; exit 2 ;;
  esac
done
bash scripts/setup.sh
bash scripts/build.sh "$arch"
out="$root/build/$arch/fuzz-out"
mkdir -p "$out"
status=0

echo "=== native (AddressSanitizer, UndefinedBehaviorSanitizer): parsing rules ==="
bash tests/fuzz/native/build.sh "$root" "$root/build/native/fuzz_native"
(cd "$out" && "$root/build/native/fuzz_native" --seconds "$seconds" --out "$out/native") || status=1

echo "=== $arch under Wine ==="
source scripts/xvfb.sh
start_xvfb
prefix_start "$root/build/$arch"
(cd "build/$arch" && bash "$root/scripts/wine-exec.sh" ./fuzz.exe --seconds "$seconds" --out "$out/fuzz" "${args[@]}") || status=1
prefix_stop "$root/build/$arch"
exit $status
