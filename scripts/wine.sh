#!/usr/bin/env bash
# X servers and Wine prefixes: the one place where the scripts and the tests set them up.
#
# Sourced:
#   start_xvfb              an X server for windows, unless DISPLAY already answers (sets
#                           DISPLAY and XVFB_PID; the server ends with the shell)
#   own_xvfb [WxH]          an X server of the caller's own, always (a known screen size and
#                           no other windows; sets DISPLAY and XVFB_PID; stop_xvfb ends it)
#   wine_env BUILD [PREFIX] the Wine environment of a build: its prefix (BUILD/wineprefix
#                           by default), its architecture (from the build's cache), quiet logs,
#                           no Mono or Gecko installers, no desktop menu entries
#   prefix_start BUILD [PREFIX]  that environment with a booted prefix and a persistent
#                           wineserver, so that Wine's background services do not hold the
#                           first test's output open
#   prefix_stop BUILD [PREFIX]   ends that prefix's wineserver
#   prefix_fresh BUILD NAME a new prefix BUILD/NAME-prefix, booted, its wineserver kept up
#                           (the end-to-end runs; prefix_remove ends and removes it)
# Run as a program, it runs a Windows program of a build in that build's prefix (the
# build's cross-compiling emulator, which ctest uses):  wine.sh PROGRAM [ARGS...]

# The Wine architecture recorded in the build's cache (win32 or win64).
wine_arch() { sed -n 's/^VEXA_WINEARCH:[A-Z]*=//p' "$1/CMakeCache.txt"; }

wine_env() {
    local arch
    arch=$(wine_arch "$1")
    export WINEPREFIX="${2:-$1/wineprefix}"
    export WINEARCH="${arch:-win64}"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# Boots the prefix of the environment: a crashing program must end, not wait in the
# debugger's dialog.
prefix_boot() {
    timeout 120 wine wineboot -i </dev/null >/dev/null 2>&1 || true
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
         /v Debugger /d '' /f </dev/null >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
         </dev/null >/dev/null 2>&1 || true
}

prefix_start() {
    wine_env "$1" "${2:-}"
    [ -d "$WINEPREFIX" ] || prefix_boot
    wineserver -p 2>/dev/null || true
    wine wineboot </dev/null >/dev/null 2>&1 || true
}

prefix_stop() {
    WINEPREFIX="${2:-$1/wineprefix}" wineserver -k 2>/dev/null || true
    unset WINEPREFIX WINEARCH
}

prefix_fresh() {
    wine_env "$1" "$1/$2-prefix"
    rm -rf "$WINEPREFIX"
    prefix_boot
    wineserver -p >/dev/null 2>&1
}

prefix_remove() {
    [ -n "${WINEPREFIX:-}" ] || return 0
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
}

# An X server on the first free display from $1, screen $2; sets DISPLAY and XVFB_PID.
xvfb_launch() {
    local n
    for n in $(seq "$1" $(($1 + 60))); do
        [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ] && break
    done
    Xvfb ":$n" -screen 0 "$2x24" -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && return 0; sleep 0.1; done
    echo "Xvfb did not start on :$n" >&2
    return 1
}

start_xvfb() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return; fi
    xvfb_launch 90 1280x1024
    trap 'kill $XVFB_PID 2>/dev/null || true' EXIT
}

own_xvfb() { xvfb_launch 140 "${1:-1280x800}"; }

stop_xvfb() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
}

# As a program: the emulator. The build is the nearest folder above the program with a
# CMake cache; a WINEPREFIX already set (a script's own prefix) is kept.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u
    dir=$(cd "$(dirname "$1")" && pwd)
    while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    wine_env "$dir" "${WINEPREFIX:-}"
    exec wine "$@"
fi
