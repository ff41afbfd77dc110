#!/usr/bin/env bash
# End to end with the sidebar as a window, driven with real input under an X server of the
# test's own: the panel docks at the right edge, its picture has a dark caption band over
# light rows with one picture per row; a click on a row and Enter on the last row open
# those items (the shell's "open" of http is pointed at reg.exe, which records the address);
# the caption's settings button shows the settings page, and a second request while it is up
# is refused; the context menu's "Refresh now" clears the panel; and a plugin that cannot
# start leaves a window that says so and still ends cleanly.
# Usage: bash tests/e2e_window.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
source "$src/tests/support/e2e.sh"

for f in sidebar.exe Vexa.dll SidebarHost.dll; do
    [ -f "$build/$f" ] || die "$build/$f was not built"
done
command -v xdotool >/dev/null || die "xdotool is missing (scripts/setup.sh installs it)"

SESSION_SCREEN=1280x800
session_start "$build" "$src" e2e-window --exit-after 150 || die "cannot start the session"
e2e_record_opens

wait_for '^\[[0-9]+\] Library extends its hours: $' 60 || die "no feed items within 60 s"
session_window || die "no window named after the plugin's title"
count=$(grep -c '^\[[0-9]*\] ' "$out")

# Docked at the right edge of the work area, about 320 pixels wide, the work area's height.
right=$((win_x + win_w))
[ "$right" -ge 1270 ] && [ "$right" -le 1290 ] || fail "the window ends at x=$right, not at the right edge"
[ "$win_w" -ge 280 ] && [ "$win_w" -le 340 ] || fail "the window is $win_w pixels wide"
[ "$win_h" -ge 760 ] || fail "the window is $win_h pixels high"

# The picture's broad shape. Mean brightness (0..1) of a region of the PNG $1.
mean() { convert "$1" -crop "$2" +repage -colorspace Gray -format '%[fx:mean]' info:; }
# The tops (y) of the runs of colour (an item's picture or the content image) in the image
# column of the PNG $1, below the caption band: one per row in view.
image_rows() {
    convert "$1" -crop "1x$((win_h - 60))+28+60" +repage txt:- |
        awk -F'[,:() ]+' 'function abs(v) { return v < 0 ? -v : v }
        NR > 1 {
            y = $2 + 60; vivid = (abs($3 - $5) > 30 || abs($3 - $4) > 30 || abs($4 - $5) > 30)
            if (vivid && y - last > 20) print y
            if (vivid) last = y }'
}
shot="$work/panel.png"
session_capture "$shot" || die "no screenshot"
caption=$(mean "$shot" "${win_w}x44+0+4")
list=$(mean "$shot" "$((win_w - 30))x$((win_h - 80))+0+70")
awk -v c="$caption" 'BEGIN { exit !(c < 0.35) }' || fail "the caption band is not dark (mean $caption)"
awk -v l="$list" 'BEGIN { exit !(l > 0.8) }' || fail "the rows are not light (mean $list)"
tops=($(image_rows "$shot"))
[ ${#tops[@]} -ge 5 ] && [ ${#tops[@]} -le 8 ] || fail "expected 5 to 8 rows in view, found ${#tops[@]}: ${tops[*]}"
[ ${#tops[@]} -ge 2 ] || die "too few rows to go on"

# The address that item N's snippet ends with.
link_of() { awk -v n="[$1]" 'index($0, n " ") == 1 { on = 1; next } on && /^\[/ { exit }
    on && match($0, /http:[^ ]*/) { link = substr($0, RSTART, RLENGTH) } END { print link }' "$out"; }

# A click on the second row opens item 2.
xdotool mousemove --sync $((win_x + win_w / 2)) $((win_y + tops[1] + 10)) click 1
wait_for '^sidebar: OpenItem returned ' 20 || die "a click on row 2 opened nothing"
grep -q '^sidebar: opening \[2\] ' "$out" || fail "the click did not open item 2: $(grep '^sidebar: opening' "$out")"
grep -q '^sidebar: OpenItem returned 0x00000000$' "$out" || fail "OpenItem did not return S_OK"
first=$(e2e_opened)
[ "$first" = "$(link_of 2)" ] || fail "the click launched '$first', not '$(link_of 2)'"

# End selects the last row, Enter opens it.
# (The launch may have taken the activation away: a click on the caption band's title brings it
# back, as a person would do; the launched program may take it once more while it starts,
# so the keys are tried up to three times.)
sleep 1
for attempt in 1 2 3; do
    xdotool mousemove --sync $((win_x + 70)) $((win_y + 20)) click 1
    sleep 0.5
    xdotool key End Return
    wait_for "^sidebar: opening \\[$count\\] " 5 && break
    echo "note: the keys were not taken (attempt $attempt)"
done
grep -q "^sidebar: opening \\[$count\\] " "$out" || fail "End and Enter did not open item $count"
second=$(e2e_opened "$first")
[ "$second" = "$(link_of "$count")" ] || fail "Enter launched '$second', not '$(link_of "$count")'"

# The settings button in the caption band shows the settings page; a second request waits.
xdotool mousemove --sync $((win_x + win_w - 25)) $((win_y + 28)) click 1
wait_for '^sidebar: showing the settings page' 20 || fail "the settings button showed nothing"
frame=""
for _ in $(seq 1 100); do
    frame=$(xdotool search --onlyvisible --name 'Vexa' 2>/dev/null | grep -vx "$wid" | head -n1)
    [ -n "$frame" ] && break
    sleep 0.1
done
[ -n "$frame" ] || fail "no property frame window came up"
echo "settings" >&3
wait_for '^sidebar: the settings page is already open$' 20 || fail "a second settings page was not refused"
if [ -n "$frame" ]; then
    eval "$(xdotool getwindowgeometry --shell "$frame" | sed 's/^/frame_/')"
    # Focus the frame and press Escape; on a loaded machine the first press can land before
    # the frame takes the focus, so it is tried up to three times.
    for _ in 1 2 3; do
        xdotool mousemove --sync $((frame_X + frame_WIDTH - 8)) $((frame_Y + frame_HEIGHT / 2)) click 1
        sleep 0.5
        xdotool key Escape
        wait_for '^sidebar: settings page closed \(Cancel\)$' 10 && break
    done
fi
wait_for '^sidebar: settings page closed \(Cancel\)$' 5 || {
    # Close it whatever it takes, so the rest can run.
    [ -n "$frame" ] && xdotool windowclose "$frame" 2>/dev/null
    fail "Escape did not close the settings page"
    wait_for '^sidebar: settings page closed \(Cancel\)$' 10
}

# The context menu's "Refresh now" writes Value1: a clearing refresh, nothing new to add.
for attempt in 1 2 3; do
    xdotool mousemove --sync $((win_x + 70)) $((win_y + 20)) click 1
    xdotool mousemove --sync $((win_x + win_w / 2)) $((win_y + tops[0] + 10)) click 3
    sleep 1
    xdotool key r
    wait_for '^sidebar: writing Value1' 5 && break
    echo "note: the menu key was not taken (attempt $attempt)"
    xdotool key Escape
done
grep -q '^sidebar: writing Value1' "$out" || fail "the menu's Refresh now did not write Value1"
for _ in $(seq 1 100); do [ "$(grep -c '^-- panel cleared --$' "$out")" -ge 2 ] && break; sleep 0.1; done
[ "$(grep -c '^-- panel cleared --$' "$out")" = 2 ] || fail "expected two clearings (start-up and Refresh now)"
sleep 1
session_capture "$shot" || die "no screenshot"
tops=($(image_rows "$shot"))
[ ${#tops[@]} -eq 0 ] || fail "the cleared panel still shows ${#tops[@]} rows"
caption=$(mean "$shot" "${win_w}x44+0+4")
awk -v c="$caption" 'BEGIN { exit !(c < 0.35) }' || fail "the cleared panel lost its caption band"

# A person's changes land in the stored list: an address typed, added and confirmed with OK;
# then a list file imported through the file dialog (its path typed) and stored with Apply,
# the names it gives kept beside the feeds.
settings_frame() {
    local shown
    shown=$(grep -c '^sidebar: showing the settings page' "$out")
    xdotool mousemove --sync $((win_x + win_w - 25)) $((win_y + 28)) click 1
    frame=""
    for _ in $(seq 1 100); do
        [ "$(grep -c '^sidebar: showing the settings page' "$out")" -gt "$shown" ] &&
            frame=$(xdotool search --onlyvisible --name '^Vexa settings$' 2>/dev/null | head -n1)
        [ -n "$frame" ] && break
        sleep 0.1
    done
    [ -n "$frame" ] || return 1
    eval "$(xdotool getwindowgeometry --shell "$frame" | sed 's/^/frame_/')"
    # Its blank right edge: the frame takes the focus, which goes back to the address box.
    xdotool mousemove --sync $((frame_X + frame_WIDTH - 8)) $((frame_Y + frame_HEIGHT / 2)) click 1
    sleep 0.5
}
# Waits up to $3 seconds for $2 lines of the sidebar's output to match $1.
wait_count() {
    for ((i = 0; i < $3 * 10; i++)); do [ "$(grep -Ec -- "$1" "$out")" -ge "$2" ] && return 0; sleep 0.1; done
    return 1
}
stored() { query "$FEEDS_KEY" | sed -n 's/^ *dest\[[0-9]*\] *REG_SZ *//p'; }
typed="${base}town.xml?typed"
settings_frame || die "the settings frame did not come up again"
xdotool type --delay 20 "$typed"
# Tab to Add, Space presses it; back to the address box, where Enter is the frame's OK.
xdotool key Tab space shift+Tab Return
wait_for '^sidebar: settings page closed \(OK\)$' 10 || fail "Enter did not close the frame with OK"
stored | grep -qxF "$typed" || fail "OK did not store the added address: $(stored | tr '\n' ' ')"

python3 - "$work/list.opml" "$base" <<'PY'
import sys
outlines = "".join('<outline text="Imported %d" xmlUrl="%stech.xml?n=%d"/>' % (i, sys.argv[2], i) for i in range(3))
open(sys.argv[1], "w").write('<?xml version="1.0"?><opml version="2.0"><head/><body>%s</body></opml>' % outlines)
PY
settings_frame || die "the settings frame did not come up a third time"
# Address box, list, Remove, Import: Space opens the file dialog, whose name box has the focus.
xdotool key Tab Tab Tab space
# The file dialog and then the message that says what it did share their title.
titled() { xdotool search --onlyvisible --name '^Import feeds$' 2>/dev/null | head -n1; }
dialog=""
for _ in $(seq 1 100); do dialog=$(titled); [ -n "$dialog" ] && break; sleep 0.1; done
sleep 0.5
xdotool type --delay 10 "$(winpath "$work/list.opml")"
xdotool key Return
for _ in $(seq 1 100); do message=$(titled); [ -n "$message" ] && [ "$message" != "$dialog" ] && break; sleep 0.1; done
sleep 0.5
# The message goes with Enter; Apply, the frame's last button, gets a click.
xdotool key Return
sleep 0.5
xdotool mousemove --sync $((frame_X + frame_WIDTH - 57)) $((frame_Y + frame_HEIGHT - 24)) click 1
for _ in $(seq 1 20); do [ "$(stored | grep -c 'tech.xml?n=')" = 3 ] && break; sleep 0.5; done
[ "$(stored | grep -c 'tech.xml?n=')" = 3 ] || fail "Apply did not store the imported feeds: $(stored | tr '\n' ' ')"
query 'HKCU\SOFTWARE\Vexa\Feed Health' | grep -q 'name=Imported 2' || fail "the imported names were not kept"
xdotool key Escape
wait_count '^sidebar: settings page closed \(Cancel\)$' 2 10 || fail "Escape did not close the frame after Apply"
[ "$(stored | grep -c 'tech.xml?n=')" = 3 ] || fail "Cancel after Apply undid what Apply stored"

e2e_quit
[ $failures -ne 0 ] && e2e_dump

# A plugin that cannot start: the window comes up, says so, and still ends cleanly.
run regsvr32 /s /u "$(winpath "$build/Vexa.dll")" || fail "regsvr32 /u Vexa.dll"
out="$work/failed.out"
e2e_sidebar 60 --window --print
failed=""
for _ in $(seq 1 200); do
    failed=$(xdotool search --onlyvisible --name '^Sidebar$' 2>/dev/null | head -n1)
    [ -n "$failed" ] && break
    sleep 0.1
done
[ -n "$failed" ] || fail "no window when the plugin cannot start"
wait_for '^sidebar: error: the ProgID Vexa.VexaPlugin is not registered' 20 || fail "the failure was not reported"
# Still usable: the settings button answers, without asking the plugin for anything.
if [ -n "$failed" ]; then
    eval "$(xdotool getwindowgeometry --shell "$failed" | sed 's/^/failed_/')"
    xdotool mousemove --sync $((failed_X + failed_WIDTH - 25)) $((failed_Y + 28)) click 1
    wait_for '^sidebar: the plugin is not running$' 20 || fail "the settings button of the failed window did not answer"
fi
kill -0 "$sidebar_pid" 2>/dev/null || fail "the sidebar ended instead of staying up"
e2e_quit 1

e2e_result "sidebar window end to end"
