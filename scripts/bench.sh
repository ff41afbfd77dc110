#!/usr/bin/env bash
# Runs the benchmarks of one target (default i686, what users install, where this machine runs
# it; x86_64 elsewhere) and prints their
# figures: each reports its times as ratios against a bare SAX parse of the same feeds,
# measured in the same run; then the sidebar's memory soak.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
source scripts/wine.sh
target="${1:-$(default_target)}"
bash scripts/build.sh "$target" >/dev/null
start_xvfb # the window benchmark draws on a display
prefix_start "$root/build/$target"
cd "build/$target"
for b in net panelwindow parse refresh; do # a process of its own for each
  echo "=== vexabench $b ($target) ==="
  wine ./vexabench.exe "$b"
done
prefix_stop "$root/build/$target"
# The sidebar's memory over many refreshes, in a prefix of its own (several minutes).
echo "=== soak_sidebar ($target) ==="
bash "$root/bench/soak_sidebar.sh" "$root/build/$target"
