# Sourced by the end-to-end scripts and the sidebar soak: a fresh Wine prefix of the build's
# bitness (scripts/wine.sh makes it), the class identifiers of the build, helpers that run
# Windows tools in the prefix and read its registry, the sample feeds, and a sidebar session
# driven through a FIFO and read through its output.
#
#   e2e_prefix BUILD NAME   the environment of BUILD/NAME-prefix (made by e2e_boot), a scratch
#                           folder $work, the sidebar's output $out, failure counting (fail,
#                           die, e2e_result) and the clean-up on exit (E2E_KEEP=1 keeps both)
#   e2e_register            regsvr32 of the host DLL and Vexa.dll
#   e2e_feeds [ARGS...]     the sample feed server (its address in $base, $secure_base)
#   e2e_feed_list URL...    the feed list, through a UTF-16 .reg file (addresses as written)
#   e2e_sidebar SECONDS [ARGS...]  sidebar.exe reading commands from fd 3, output in $out,
#                           ended after SECONDS (0: never; $sidebar_pid is then Wine's own)
#   e2e_quit [RC]           "quit", and the sidebar must end with RC (default 0)
#   e2e_record_opens        the shell's "open" of http and https records the address
#   e2e_opened [PREVIOUS]   the address recorded last, once it differs from PREVIOUS
#   session_start BUILD SRC NAME [ARGS...]  all of the above with an X server of its own and
#                           `sidebar --window --print`; session_window, session_capture

e2e_src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$e2e_src/scripts/wine.sh"

FEEDS_KEY='HKCU\SOFTWARE\Orvall\Halvane\Destinatons'
OPENED_KEY='HKCU\Software\VexaE2E'
work=""
out=""
base=""
secure_base=""
server_pid=""
sidebar_pid=""
failures=0

e2e_prefix() {
    e2e_build="$1"
    e2e_name="$2"
    wine_env "$1" "$1/$2-prefix"
    export WINEDEBUG=-all
    # The identifiers as the build defines them (CLSID_VexaPlugin, LIBID_VexaLib, ...).
    source "$1/generated/guids.sh"
    # The registry view that the DLLs write to: the 64-bit one in a 64-bit prefix ("wine reg"
    # may start the 32-bit reg.exe, which sees the redirected CLSID keys).
    view=()
    [ "$WINEARCH" = "win64" ] && view=(/reg:64)
    work=$(mktemp -d)
    out="$work/sidebar.out"
    : >"$out"
    trap e2e_finish EXIT
}

# Creates the prefix anew, its wineserver kept up until the end.
e2e_boot() { prefix_fresh "$e2e_build" "$e2e_name"; }

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Prints what the sidebar wrote, for a failure report.
e2e_dump() {
    [ -s "$out" ] && { echo "--- sidebar output ---"; cat "$out"; }
    [ -s "$work/sidebar.err" ] && { echo "--- sidebar stderr ---"; cat "$work/sidebar.err"; }
    return 0
}
# Ends the test at once, showing what the sidebar printed.
die() { echo "FAIL: $*"; e2e_dump; exit 1; }
# The end of a test: "$1: all checks passed", or the failures and exit status 1.
e2e_result() {
    if [ "$failures" -ne 0 ]; then
        e2e_dump
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "$1: all checks passed ($WINEARCH)"
}

run() { timeout 60 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
query() { run reg query "$@" "${view[@]}"; }
key_exists() { query "$1" >/dev/null; }
winpath() { winepath -w "$1" 2>/dev/null; }

e2e_register() {
    run regsvr32 /s "$(winpath "$e2e_build/SidebarHost.dll")" || die "regsvr32 SidebarHost.dll"
    run regsvr32 /s "$(winpath "$e2e_build/Vexa.dll")" || die "regsvr32 Vexa.dll"
}

e2e_feeds() {
    python3 "$e2e_src/scripts/sample_feeds.py" --port 0 "$@" >"$work/feeds.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 1 100); do grep -q '^sample feeds on' "$work/feeds.log" && break; sleep 0.1; done
    base=$(sed -n 's/^sample feeds on \(http[^ ]*\)$/\1/p' "$work/feeds.log")
    secure_base=$(sed -n 's/^secure feeds on \(https[^ ]*\)$/\1/p' "$work/feeds.log")
    [ -n "$base" ] || die "the sample feed server did not start: $(cat "$work/feeds.log")"
}

e2e_feed_list() {
    python3 - "$work/feeds.reg" "$@" <<'PY' || die "cannot write the feed list's .reg file"
import os, sys
with open(sys.argv[1], "w", encoding="utf-16") as f:
    f.write("Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Orvall\\Halvane\\Destinatons]\r\n")
    for i, feed in enumerate(os.fsencode(a).decode("utf-8") for a in sys.argv[2:]):
        f.write('"dest[%d]"="%s"\r\n' % (i, feed))
PY
    run regedit /s "$(winpath "$work/feeds.reg")" || die "regedit of the feed list"
}

e2e_sidebar() {
    local seconds="$1"
    shift
    { exec 3>&-; } 2>/dev/null
    rm -f "$work/commands"
    mkfifo "$work/commands"
    if [ "$seconds" = 0 ]; then
        wine "$e2e_build/sidebar.exe" "$@" <"$work/commands" >"$out" 2>"$work/sidebar.err" &
    else
        timeout "$seconds" wine "$e2e_build/sidebar.exe" "$@" <"$work/commands" >"$out" 2>"$work/sidebar.err" &
    fi
    sidebar_pid=$!
    exec 3>"$work/commands"
}

# Waits up to $2 seconds for the sidebar's output ($out) to match the extended regex $1; gives
# up early once the sidebar has ended.
wait_for() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        grep -Eq -- "$1" "$out" && return 0
        kill -0 "$sidebar_pid" 2>/dev/null || { grep -Eq -- "$1" "$out"; return; }
        sleep 0.1
    done
    return 1
}

e2e_quit() {
    local rc
    echo "quit" >&3
    for _ in $(seq 1 200); do kill -0 "$sidebar_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$sidebar_pid" 2>/dev/null && die "sidebar did not end after quit"
    wait "$sidebar_pid"; rc=$?
    sidebar_pid=""
    [ $rc -eq "${1:-0}" ] || fail "sidebar exited with $rc"
    grep -q 'still alive' "$work/sidebar.err" && fail "$(grep 'still alive' "$work/sidebar.err")"
}

e2e_record_opens() {
    local scheme
    for scheme in http https; do
        run reg add "HKCR\\$scheme\\shell\\open\\command" /ve \
            /d "C:\\windows\\system32\\reg.exe add $OPENED_KEY /v opened /d %1 /f" \
            /f >/dev/null || die "cannot set the $scheme open command"
    done
}

e2e_opened() {
    local value=""
    for _ in $(seq 1 30); do
        value=$(run reg query "$OPENED_KEY" /v opened | sed -n 's/.*opened[[:space:]]*REG_SZ[[:space:]]*//p' | head -n1)
        [ -n "$value" ] && [ "$value" != "${1:-}" ] && break
        sleep 0.5
    done
    echo "$value"
}

# The end of a run: the sidebar's input, the sidebar, the feed server, an X server of the
# session's own, the prefix's wineserver, the prefix and the scratch folder.
e2e_finish() {
    { exec 3>&-; } 2>/dev/null
    [ -n "${sidebar_pid:-}" ] && kill "$sidebar_pid" 2>/dev/null
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
    stop_xvfb
    if [ -z "${E2E_KEEP:-}" ]; then
        [ -n "${WINEPREFIX:-}" ] && rm -rf "$WINEPREFIX"
        [ -n "$work" ] && rm -rf "$work"
    fi
    sidebar_pid=""; server_pid=""; work=""
    return 0
}

# --- The sidebar as a window ---------------------------------------------------------------
# Settings: SESSION_SCREEN (WxH, default 1280x800), SESSION_INTERVAL (seconds between the town
# feed's new entries, default 600).
session_start() {
    local build="$1" name="$3"
    shift 3
    e2e_prefix "$build" "$name"
    # An X server of our own: a known screen size and no other windows in the picture.
    own_xvfb "${SESSION_SCREEN:-1280x800}" || return 1
    e2e_boot
    e2e_register
    e2e_feeds --interval "${SESSION_INTERVAL:-600}"
    e2e_feed_list "${base}tech.xml" "${base}town.xml"
    e2e_sidebar 300 --window --print "$@"
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
