# Sourced by the end-to-end scripts: a fresh Wine prefix of the build's bitness, and helpers
# that run Windows tools in it and read its registry.
# Usage: e2e_prefix BUILD_DIR NAME   (the prefix is BUILD_DIR/NAME-prefix)

e2e_prefix() {
    local arch
    arch=$(sed -n 's/^VEXA_WINEARCH:[A-Z]*=//p' "$1/CMakeCache.txt")
    export WINEARCH="${arch:-win64}"
    export WINEPREFIX="$1/$2-prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    # The registry view that the DLLs write to: the 64-bit one in a 64-bit prefix ("wine reg"
    # may start the 32-bit reg.exe, which sees the redirected CLSID keys).
    view=()
    [ "$WINEARCH" = "win64" ] && view=(/reg:64)
}

# Creates the prefix anew, with the crash dialog off.
e2e_boot() {
    rm -rf "$WINEPREFIX"
    timeout 120 wine wineboot -i </dev/null >/dev/null 2>&1
    run reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
}

run() { timeout 60 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
query() { run reg query "$@" "${view[@]}"; }
key_exists() { query "$1" >/dev/null; }

# Waits up to $2 seconds for the sidebar's output ($out) to match the extended regex $1; gives
# up early once the sidebar ($sidebar_pid) has ended.
wait_for() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        grep -Eq -- "$1" "$out" && return 0
        kill -0 "$sidebar_pid" 2>/dev/null || { grep -Eq -- "$1" "$out"; return; }
        sleep 0.1
    done
    return 1
}

# The end of a sidebar session: closes its input (fd 3), stops the sidebar and the feed
# server (their pids in sidebar_pid and server_pid), the prefix's wineserver, and removes
# the prefix and the scratch folder in $work.
e2e_finish() {
    exec 3>&- 2>/dev/null
    [ -n "${sidebar_pid:-}" ] && kill "$sidebar_pid" 2>/dev/null
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX" "${work:-}"
}
