#!/usr/bin/env bash
# X servers and Wine prefixes: the one place where the scripts and the tests set them up, and
# the one place that knows what this machine runs.
#
# Sourced:
#   runs_x86                whether this machine runs 32-bit x86 code (some of our machines'
#                           kernels refuse every i386 program, and Wine's 32-bit loader with
#                           them); probed once, VEXA_RUNS_X86=0 or 1 overrides the probe
#   runnable_targets        the build targets whose programs run here (i686 x86_64, or x86_64)
#   default_target          the one that scripts run when told none (i686 where it runs)
#   wine_loader             the Wine loader for $WINEARCH: a 64-bit prefix goes to Wine's
#                           64-bit loader directly, never through the 32-bit one (which
#                           /usr/bin/wine picks whenever wine32 is installed)
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
# Sourcing also puts scripts/winebin first on PATH: its `wine` and `winepath` take the loader
# that wine_loader names, so every script and test that says `wine` gets the right one.
# Run as a program, it runs a Windows program of a build in that build's prefix (the
# build's cross-compiling emulator, which ctest uses):  wine.sh PROGRAM [ARGS...]

vexa_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The smallest i386 program: exit(0) through int 0x80. A kernel without 32-bit support
# refuses it at execve ("Exec format error").
vexa_i386_probe='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80'

runs_x86() {
    if [ -z "${VEXA_RUNS_X86:-}" ]; then
        local dir probe
        VEXA_RUNS_X86=0
        if [ -x /usr/lib/wine/wine ]; then
            # Wine's 32-bit loader is installed: whether it starts is the answer.
            WINEDEBUG=-all /usr/lib/wine/wine --version >/dev/null 2>&1 && VEXA_RUNS_X86=1
        else
            # Where programs may run: the build tree, else the temporary folder.
            dir="$vexa_scripts/../build"
            mkdir -p "$dir" 2>/dev/null || dir="${TMPDIR:-/tmp}"
            if probe=$(mktemp "$dir/.i386-probe.XXXXXX"); then
                printf "$vexa_i386_probe" >"$probe"
                chmod +x "$probe"
                (exec "$probe") >/dev/null 2>&1 && VEXA_RUNS_X86=1
                rm -f "$probe"
            fi
        fi
        export VEXA_RUNS_X86
    fi
    [ "$VEXA_RUNS_X86" = 1 ]
}

runnable_targets() { if runs_x86; then echo "i686 x86_64"; else echo "x86_64"; fi; }
# The target that scripts run by default: the x86 one that users install, where it runs.
default_target() { if runs_x86; then echo i686; else echo x86_64; fi; }

# The line that every script prints where the x86 target cannot run.
vexa_no_x86_reason="this machine runs no 32-bit code"

wine_loader() {
    if [ "${WINEARCH:-win64}" = win32 ]; then
        echo "${VEXA_WINE32:-/usr/lib/wine/wine}"
    elif [ -n "${VEXA_WINE64:-}" ]; then
        echo "$VEXA_WINE64"
    elif [ -x /usr/lib/wine/wine64 ]; then
        echo /usr/lib/wine/wine64
    else
        command -v wine64 || echo wine64
    fi
}

case ":$PATH:" in
    *":$vexa_scripts/winebin:"*) ;;
    *) export PATH="$vexa_scripts/winebin:$PATH" ;;
esac

# The Wine architecture recorded in the build's cache (win32 or win64).
wine_arch() { sed -n 's/^VEXA_WINEARCH:[A-Z]*=//p' "$1/CMakeCache.txt"; }

wine_env() {
    local arch
    arch=$(wine_arch "$1")
    export WINEPREFIX="${2:-$1/wineprefix}"
    export WINEARCH="${arch:-win64}"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    # The loader that Wine starts further processes with: the 64-bit one for a 64-bit prefix
    # (Wine takes the 32-bit one beside it for 32-bit programs, where it can run).
    WINELOADER=$(wine_loader)
    export WINELOADER
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
    exec "$(wine_loader)" "$@"
fi
