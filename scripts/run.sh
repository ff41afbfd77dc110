#!/usr/bin/env bash
# The run command: installs what is missing, builds the x86 target (the x64 one where the
# machine runs no 32-bit code), prepares a Wine prefix of its own (build/<target>/runprefix), serves the sample feeds on the loopback interface (one of
# them over https, with a test authority that the prefix is made to trust), puts
# their addresses in the feed list, registers the host stand-in and Vexa.dll with regsvr32
# and runs `sidebar`. With a display (DISPLAY answers) the panel is a window docked at the
# right of the screen and is printed on the terminal too (--window --print); without one, or
# with --console, it is printed only. --failing also lists four addresses that fail (not
# found, a server that never answers, a web page without a feed, a broken document), to see
# the feed health lines. Other arguments go to sidebar (--settings, --exit-after SECONDS,
# --quiet-ole, --calls, --feeds).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
source scripts/wine.sh
# The x86 target is what sidebar hosts load; where this machine cannot run it, the x64 one.
target=i686
if ! runs_x86; then
  target=x86_64
  echo "run.sh: running the x64 sidebar and Vexa.dll: $vexa_no_x86_reason"
fi
echo "run.sh: building the $target target (the first build takes a few minutes)"
bash scripts/build.sh "$target" >/dev/null
build="$root/build/$target"
for f in sidebar.exe Vexa.dll SidebarHost.dll trustca.exe; do
  [ -f "$build/$f" ] || { echo "run.sh: $build/$f was not built" >&2; exit 1; }
done
want_settings=0
console=0
failing=0
args=()
for arg in "$@"; do
  case "$arg" in
    --console) console=1 ;;
    --window) ;; # the default with a display
    --failing) failing=1 ;;
    *) args+=("$arg") ;;
  esac
  [ "$arg" = "--settings" ] && want_settings=1
done
if [ $console -eq 0 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  args=(--window --print "${args[@]}")
  echo "run.sh: showing the panel in a window on $DISPLAY (--console prints it only)"
fi
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

# One sample feed is served over https: its server's certificate is signed by a test
# authority of the run's own (kept in the prefix), which this prefix, and nothing else, trusts.
authority_dir="$build/runprefix/sample-authority"
python3 scripts/sample_feeds.py --https-dir "$authority_dir" --make-authority >/dev/null ||
  { echo "run.sh: cannot make the sample feeds' test authority" >&2; exit 1; }
wine "$build/trustca.exe" "$(winepath -w "$authority_dir/ca.pem" 2>/dev/null)" </dev/null 2>/dev/null | tr -d '\r' ||
  { echo "run.sh: cannot trust the sample feeds' authority" >&2; exit 1; }

# The sample feeds. Port 8025 also serves the plugin's default destination; when it is taken,
# the system picks a port and the default destination is left to whoever holds 8025.
feeds_log="$build/runprefix/sample_feeds.log"
start_feeds() {
  : >"$feeds_log"
  python3 scripts/sample_feeds.py --port "$1" --https-dir "$authority_dir" \
    >"$feeds_log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 100); do
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
secure_base=$(sed -n 's/^secure feeds on \(https[^ ]*\)$/\1/p' "$feeds_log")
echo "run.sh: sample feeds on $base (one new entry a minute in town.xml)"
echo "run.sh: secure sample feed on ${secure_base}secure.xml"
echo "run.sh: the feed server logs each request with its status and body size in $feeds_log"

# The feed list: the plugin reads the default destination first, then dest[0], dest[1], ...
key='HKCU\SOFTWARE\Orvall\Halvane\Destinatons'
# A list of this run's own: what an earlier run (with --failing, say) left there goes.
wine reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
i=0
feeds=("${base}tech.xml" "${base}town.xml" "${base}releases.atom" "${secure_base}secure.xml" "${base%feeds/}garden/")
[ $failing -eq 1 ] && feeds+=("${base}missing.xml" "${base%feeds/}broken/silent.xml" \
                              "${base%feeds/}broken/page.html" "${base%feeds/}broken/bad.xml")
for feed in "${feeds[@]}"; do
  wine reg add "$key" /v "dest[$i]" /t REG_SZ /d "$feed" /f </dev/null >/dev/null 2>&1 ||
    { echo "run.sh: cannot write the feed list" >&2; exit 1; }
  i=$((i + 1))
done
# The world feed's address is Cyrillic: a UTF-16 .reg file carries it into the registry as
# written (command-line arguments would pass through the terminal's character set).
world_reg="$build/world-feed.reg"
python3 - "$world_reg" "$base" "$i" <<'PY'
import sys
path, base, index = sys.argv[1:]
with open(path, "w", encoding="utf-16") as f:
    f.write("Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Orvall\\Halvane\\Destinatons]\r\n"
            '"dest[%s]"="%s\u043c\u0438\u0440.xml"\r\n' % (index, base))
PY
wine regedit /s "$(winepath -w "$world_reg" 2>/dev/null)" </dev/null >/dev/null 2>&1 ||
  { echo "run.sh: cannot write the feed list" >&2; exit 1; }

for dll in SidebarHost.dll Vexa.dll; do
  if ! wine regsvr32 /s "$(winepath -w "$build/$dll" 2>/dev/null)" </dev/null >/dev/null 2>&1; then
    echo "run.sh: regsvr32 $dll failed" >&2
    exit 1
  fi
done
echo "run.sh: registered SidebarHost.dll and Vexa.dll; starting sidebar (Ctrl+C or 'quit' ends it)"
echo

status=0
wine "$build/sidebar.exe" "${args[@]}" || status=$?
exit $status
