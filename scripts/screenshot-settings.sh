#!/usr/bin/env bash
# Shows the settings page in the sidebar's property frame under Xvfb, with feed health records written
# before it opens, and captures the screen three times into build/<target>/: nothing selected
# (the summary line) as settings-page.png, a failing feed selected as
# settings-page-failing.png and a loaded one as settings-page-loaded.png.
# Usage: scripts/screenshot-settings.sh [i686|x86_64]
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
shots=(settings-page.png settings-page-failing.png settings-page-loaded.png)
rm -f settings-page.ready settings-page.done "${shots[@]}"
VEXA_SCREENSHOT=1 wine ./test_propertypage.exe --gtest_filter=SettingsPage.ShowForScreenshot \
    >settings-page.log 2>&1 &
test_pid=$!

# For each picture the test writes settings-page.ready once the page is painted, waits (at
# most 30 s) for settings-page.done, then deletes both and goes on to the next selection.
status=0
for shot in "${shots[@]}"; do
  for _ in $(seq 1 300); do
    [ -e settings-page.ready ] && break
    sleep 0.1
  done
  if [ ! -e settings-page.ready ]; then
    echo "the page did not come up for $shot; see $build/settings-page.log" >&2
    status=1
    break
  fi
  sleep 0.5
  frame=$(xdotool search --onlyvisible --name '^Vexa settings$' 2>/dev/null | head -n1)
  eval "$(xdotool getwindowgeometry --shell "$frame" 2>/dev/null)"
  import -window root -crop "${WIDTH:-700}x${HEIGHT:-360}+${X:-0}+${Y:-0}" +repage "$shot" || status=1
  touch settings-page.done
  for _ in $(seq 1 300); do
    [ -e settings-page.done ] || break
    sleep 0.1
  done
done
touch settings-page.done
wait "$test_pid" || status=1
rm -f settings-page.done
prefix_stop "$build"
[ "$status" -eq 0 ] && printf "$build/%s\n" "${shots[@]}"
exit $status
