# Sourced by the scripts: an X server for windows, and a warmed-up Wine prefix per target.

start_xvfb() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return; fi
  local n
  for n in $(seq 90 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
  done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  trap 'kill $XVFB_PID 2>/dev/null || true' EXIT
}

# prefix_start BUILD_DIR: a persistent wineserver and a booted prefix, so that Wine's
# background services do not hold the first test's output open.
prefix_start() {
  local build="$1"
  export WINEPREFIX="$build/wineprefix"
  export WINEARCH=$(sed -n 's/^VEXA_WINEARCH:[A-Z]*=//p' "$build/CMakeCache.txt")
  export WINEDEBUG=-all
  # No Mono or Gecko installers, no desktop menu entries.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ ! -d "$WINEPREFIX" ]; then
    wine wineboot -i </dev/null >/dev/null 2>&1 || true
    # A crashing test must end, not wait in the debugger's dialog.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
         /v Debugger /d '' /f </dev/null >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
         </dev/null >/dev/null 2>&1 || true
  fi
  wineserver -p 2>/dev/null || true
  wine wineboot </dev/null >/dev/null 2>&1 || true
}

prefix_stop() {
  local build="$1"
  WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
  unset WINEPREFIX WINEARCH
}
