#!/usr/bin/env bash
# The fuzzing campaign: the native sanitizer build of the parsing rules, then every target
# of the fuzzing program under Wine, each by a count of inputs.
#   bash scripts/fuzz.sh [--seed N] [--target NAME] [--feeds N] [--count N]
#                        [--native-feeds N] [--native-text N] [--native-html N]
#                        [--no-native|--native-only] [i686|x86_64]
# The target is i686 by default where this machine runs 32-bit code, x86_64 elsewhere.
# Defaults: 100 000 feed inputs and 10 000 of each other target (pictures among them) under Wine; natively
# 300 000 documents, 9 700 000 texts (10 million inputs) and 1 000 000 web pages. Each run ends with its
# summary line; a run that ends without one has crashed. Failures go to
# build/<arch>/fuzz-out/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
feeds=100000
count=10000
nativeFeeds=300000
nativeText=9700000
nativeHtml=1000000
native=1
wine=1
target=all
seed=()
source scripts/wine.sh
arch=$(default_target)
while [ $# -gt 0 ]; do
  case "$1" in
    --feeds) feeds="$2"; shift 2 ;;
    --count) count="$2"; shift 2 ;;
    --native-feeds) nativeFeeds="$2"; shift 2 ;;
    --native-text) nativeText="$2"; shift 2 ;;
    --native-html) nativeHtml="$2"; shift 2 ;;
    --no-native) native=0; shift ;;
    --native-only) wine=0; shift ;;
    --target) target="$2"; shift 2 ;;
    --seed) seed=(--seed "$2"); shift 2 ;;
    i686|x86_64) arch="$1"; shift ;;
    *) echo "usage: fuzz.sh [--seed N] [--target NAME] [--feeds N] [--count N] [--native-feeds N] [--native-text N] [--native-html N] [--no-native|--native-only] [i686|x86_64]" >&2
       exit 2 ;;
  esac
done
bash scripts/setup.sh
if [ "$wine" = 1 ]; then bash scripts/build.sh "$arch" --target fuzz; fi
out="$root/build/$arch/fuzz-out"
mkdir -p "$out"
status=0

# Runs one program; fails unless its last line is a clean summary line.
summarised() {
  local log="$1"; shift
  "$@" 2>>"$log.err" | tee "$log" || true
  if ! tail -n 1 "$log" | grep -q '^fuzz: '; then
    echo "fuzz.sh: no summary line: the run crashed (see $log.err)"
    [ -f "$out/fuzz-running.txt" ] && { echo "the input it ended on:"; cat "$out/fuzz-running.txt"; }
    return 1
  fi
  tail -n 1 "$log" | tr -d '\r' | grep -q ' 0 crashes, 0 mismatches, 0 leaks, 0 hangs$'
}

if [ "$native" = 1 ]; then
  echo "=== native (AddressSanitizer, UndefinedBehaviorSanitizer): parsing rules ==="
  bash tests/fuzz/native/build.sh "$root" "$root/build/native/fuzz_native"
  for t in feeds:"$nativeFeeds" text:"$nativeText" html:"$nativeHtml"; do
    [ "${t#*:}" -gt 0 ] || continue
    (cd "$out" && summarised "$out/native-${t%%:*}.log" "$root/build/native/fuzz_native" "${seed[@]}" \
       --target "${t%%:*}" --count "${t#*:}" --out "$out/native") || status=1
  done
fi

[ "$wine" = 1 ] || exit $status
echo "=== $arch under Wine ==="
# A copy runs, so that builds during the campaign do not rewrite the program under it.
cp "build/$arch/fuzz.exe" "build/$arch/fuzz-campaign.exe"
source scripts/wine.sh
start_xvfb
# A prefix of its own: test runs that stop their prefix leave the campaign running.
prefix_start "$root/build/$arch" "$root/build/$arch/fuzz-prefix"
for t in feeds http registry stream calls opml html picture; do
  [ "$target" = all ] || [ "$target" = "$t" ] || continue
  n=$count
  [ "$t" = feeds ] && n=$feeds
  echo "--- $t: $n inputs"
  (cd "build/$arch" && summarised "$out/$t.log" bash "$root/scripts/wine.sh" ./fuzz-campaign.exe "${seed[@]}" \
     --target "$t" --count "$n" --out "$out/fuzz") || status=1
done
prefix_stop "$root/build/$arch" "$root/build/$arch/fuzz-prefix"
exit $status
