# Sourced by the scripts that run the sidebar as a window: an X server of their own, a fresh
# Wine prefix with the host DLL and Vexa.dll registered, the sample feeds on a loopback port
# in the feed list, and `sidebar --window --print` reading commands from a FIFO (fd 3).
# Usage:
#   source tests/support/window_session.sh
#   session_start BUILD_DIR SOURCE_DIR NAME [sidebar options...]
#   session_window           # sets $wid, the X window of the panel, and its geometry
#   ...                      # $out is the sidebar's output, $base the feeds' address
#   session_stop             # ends everything started (also run on exit)
# Settings: SESSION_SCREEN (WxH, default 1280x800), SESSION_PORT (default 0: any free port),
# SESSION_INTERVAL (seconds between the town feed's new entries, default 600).

session_src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$session_src/tests/support/e2e_prefix.sh"

work=""
out=""
base=""
wid=""
sidebar_pid=""
feeds_pid=""
session_xvfb=""

session_stop() {
    exec 3>&- 2>/dev/null
    [ -n "$sidebar_pid" ] && kill "$sidebar_pid" 2>/dev/null
    [ -n "$feeds_pid" ] && kill "$feeds_pid" 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
    [ -n "$session_xvfb" ] && kill "$session_xvfb" 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && rm -rf "$WINEPREFIX"
    [ -n "$work" ] && rm -rf "$work"
    sidebar_pid=""; feeds_pid=""; session_xvfb=""; work=""
}

# Prints what the sidebar wrote, for a failure report.
session_dump() {
    [ -s "$out" ] && { echo "--- sidebar output ---"; cat "$out"; }
    [ -s "$work/sidebar.err" ] && { echo "--- sidebar stderr ---"; cat "$work/sidebar.err"; }
    return 0
}


session_start() {
    local build="$1" src="$2" name="$3"
    shift 3
    work=$(mktemp -d)
    out="$work/sidebar.out"
    : >"$out"
    trap session_stop EXIT

    # An X server of our own: a known screen size and no other windows in the picture.
    local n
    for n in $(seq 140 199); do
        [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ] && break
    done
    Xvfb ":$n" -screen 0 "${SESSION_SCREEN:-1280x800}x24" -nolisten tcp >/dev/null 2>&1 &
    session_xvfb=$!
    export DISPLAY=":$n"
    for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start"; return 1; }

    e2e_prefix "$build" "$name"
    e2e_boot
    wineserver -p >/dev/null 2>&1
    run regsvr32 /s "$(winepath -w "$build/SidebarHost.dll" 2>/dev/null)" || { echo "regsvr32 SidebarHost.dll"; return 1; }
    run regsvr32 /s "$(winepath -w "$build/Vexa.dll" 2>/dev/null)" || { echo "regsvr32 Vexa.dll"; return 1; }

    python3 "$src/scripts/sample_feeds.py" --port "${SESSION_PORT:-0}" \
        --interval "${SESSION_INTERVAL:-600}" >"$work/feeds.log" 2>&1 &
    feeds_pid=$!
    for _ in $(seq 1 50); do grep -q '^sample feeds on' "$work/feeds.log" && break; sleep 0.1; done
    base=$(sed -n 's/^sample feeds on \(http[^ ]*\)$/\1/p' "$work/feeds.log")
    [ -n "$base" ] || { echo "the sample feed server did not start"; return 1; }
    local key='HKCU\SOFTWARE\Orvall\Halvane\Destinatons'
    run reg add "$key" /v 'dest[0]' /t REG_SZ /d "${base}tech.xml" /f >/dev/null || return 1
    run reg add "$key" /v 'dest[1]' /t REG_SZ /d "${base}town.xml" /f >/dev/null || return 1

    mkfifo "$work/commands"
    timeout 300 wine "$build/sidebar.exe" --window --print "$@" <"$work/commands" >"$out" \
        2>"$work/sidebar.err" &
    sidebar_pid=$!
    exec 3>"$work/commands"
}

# Finds the panel window (named after the plugin's title) and sets $wid, $win_x, $win_y,
# $win_w, $win_h.
session_window() {
    local i geometry
    for ((i = 0; i < 300; i++)); do
        wid=$(xdotool search --onlyvisible --name '^Cindral  Plugin$' 2>/dev/null | head -n1)
        [ -n "$wid" ] && break
        kill -0 "$sidebar_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    [ -n "$wid" ] || return 1
    geometry=$(xdotool getwindowgeometry --shell "$wid") || return 1
    win_x=$(sed -n 's/^X=//p' <<<"$geometry")
    win_y=$(sed -n 's/^Y=//p' <<<"$geometry")
    win_w=$(sed -n 's/^WIDTH=//p' <<<"$geometry")
    win_h=$(sed -n 's/^HEIGHT=//p' <<<"$geometry")
}

# Captures the panel window into the PNG $1.
session_capture() {
    import -window root -crop "${win_w}x${win_h}+${win_x}+${win_y}" +repage "$1"
}
