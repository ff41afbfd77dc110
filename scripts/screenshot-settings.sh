#!/usr/bin/env bash
# Shows the settings page in a frame window under Xvfb and captures the screen into
# build/<target>/settings-page.png. Usage: scripts/screenshot-settings.sh [i686|x86_64]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target="${1:-x86_64}"
build="$root/build/$target"
cd "$root"

bash scripts/build.sh "$target" >/dev/null
source scripts/wine.sh
start_xvfb
prefix_start "$build"

cd "$build"
rm -f settings-page.ready settings-page.done settings-page.png
VEXA_SCREENSHOT=1 wine ./test_propertypage.exe --gtest_filter=SettingsPage.ShowForScreenshot \
    >settings-page.log 2>&1 &
test_pid=$!

# The test writes settings-page.ready once the page is painted, and waits (at most 30 s)
# for settings-page.done.
for _ in $(seq 1 300); do
  [ -e settings-page.ready ] && break
  sleep 0.1
done
status=0
if [ -e settings-page.ready ]; then
  sleep 0.5
  import -window root -crop 700x360+0+0 settings-page.png || status=1
else
  echo "the page did not come up; see $build/settings-page.log" >&2
  status=1
fi
touch settings-page.done
wait "$test_pid" || status=1
prefix_stop "$build"
[ "$status" -eq 0 ] && echo "$build/settings-page.png"
exit $status
