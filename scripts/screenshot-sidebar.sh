#!/usr/bin/env bash
# Runs the sidebar as a window under Xvfb with the sample feeds and captures the window into
# build/<target>/sidebar-window.png, then its settings in the sidebar's property frame into
# build/<target>/sidebar-settings.png. Usage: scripts/screenshot-sidebar.sh [i686|x86_64]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/wine.sh
target="${1:-$(default_target)}"
build="$root/build/$target"

bash scripts/build.sh "$target" >/dev/null || exit 1
# The feeds on a free port, never the default feed's 8025: a test run on the same machine
# counts on nobody answering there.
source tests/support/e2e.sh
session_start "$build" "$root" screenshot --exit-after 120 || { e2e_dump; exit 1; }
if ! wait_for '^\[[0-9]+\] Library extends its hours: $' 60 || ! session_window; then
    echo "the sidebar window did not come up" >&2
    e2e_dump >&2
    exit 1
fi
# Past the few seconds in which new items are marked, with the mouse out of the way.
xdotool mousemove 10 10
sleep 6
png="$build/sidebar-window.png"
session_capture "$png" || exit 1
echo "settings" >&3
wait_for '^sidebar: showing the settings page' 20 || { echo "the settings did not come up" >&2; exit 1; }
for _ in $(seq 1 100); do
    frame=$(xdotool search --onlyvisible --name '^Vexa settings$' 2>/dev/null | head -n1)
    [ -n "$frame" ] && break
    sleep 0.1
done
sleep 1
eval "$(xdotool getwindowgeometry --shell "$frame")"
settings="$build/sidebar-settings.png"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$settings" || exit 1
echo "$settings"
echo "quit" >&3
for _ in $(seq 1 100); do kill -0 "$sidebar_pid" 2>/dev/null || break; sleep 0.1; done
echo "$png"
