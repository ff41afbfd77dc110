#!/usr/bin/env bash
# The run command: installs what is missing, builds the x86 target, prepares a Wine prefix of
# its own (build/i686/runprefix), serves the sample feeds on the loopback interface, puts
# their addresses in the feed list, registers the host stand-in and Vexa.dll with regsvr32
# and runs `sidebar`, which prints the panel as it changes. Arguments go to sidebar
# (--settings, --exit-after SECONDS, --quiet-ole, --calls).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
echo "run.sh: building the x86 target (the first build takes a few minutes)"
bash scripts/build.sh i686 >/dev/null
build="$root/build/i686"
for f in sidebar.exe Vexa.dll SidebarHost.dll; do
  [ -f "$build/$f" ] || { echo "run.sh: $build/$f was not built" >&2; exit 1; }
done

source scripts/xvfb.sh
want_settings=0
for arg in "$@"; do [ "$arg" = "--settings" ] && want_settings=1; done
# The settings page is a real window: it needs an X server. Everything else runs without.
if [ $want_settings -eq 1 ]; then
  start_xvfb
  if [ -n "${XVFB_PID:-}" ]; then
    echo "run.sh: no usable DISPLAY; the settings page opens on the Xvfb display $DISPLAY"
  fi
fi

server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  prefix_stop "$build" "$build/runprefix"
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT

echo "run.sh: preparing the Wine prefix $build/runprefix"
prefix_start "$build" "$build/runprefix"

# The sample feeds. Port 8025 also serves the plugin's default destination; when it is taken,
# the system picks a port and the default destination is left to whoever holds 8025.
feeds_log="$build/runprefix/sample_feeds.log"
start_feeds() {
  : >"$feeds_log"
  python3 scripts/sample_feeds.py --port "$1" >"$feeds_log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 50); do
    grep -q '^sample feeds on' "$feeds_log" && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$server_pid" 2>/dev/null || true
  server_pid=""
  return 1
}
if ! start_feeds 8025; then
  echo "run.sh: port 8025 is in use; serving the sample feeds on another port"
  start_feeds 0 || { echo "run.sh: the sample feed server did not start:" >&2; cat "$feeds_log" >&2; exit 1; }
fi
base=$(sed -n 's/^sample feeds on \(http[^ ]*\)$/\1/p' "$feeds_log")
echo "run.sh: sample feeds on $base (one new entry a minute in town.xml)"
echo "run.sh: the feed server logs each request with its status and body size in $feeds_log"

# The feed list: the plugin reads the default destination first, then dest[0], dest[1], ...
key='HKCU\SOFTWARE\Orvall\Halvane\Destinatons'
i=0
for feed in tech.xml town.xml; do
  wine reg add "$key" /v "dest[$i]" /t REG_SZ /d "$base$feed" /f </dev/null >/dev/null 2>&1 ||
    { echo "run.sh: cannot write the feed list" >&2; exit 1; }
  i=$((i + 1))
done

for dll in SidebarHost.dll Vexa.dll; do
  if ! wine regsvr32 /s "$(winepath -w "$build/$dll" 2>/dev/null)" </dev/null >/dev/null 2>&1; then
    echo "run.sh: regsvr32 $dll failed" >&2
    exit 1
  fi
done
echo "run.sh: registered SidebarHost.dll and Vexa.dll; starting sidebar (Ctrl+C or 'quit' ends it)"
echo

status=0
wine "$build/sidebar.exe" "$@" || status=$?
exit $status
