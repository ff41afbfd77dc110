#!/usr/bin/env bash
# Memory soak of the real sidebar program in a fresh prefix of its own: 20 feeds of the sample
# server that move on (one new entry per feed per refresh, one dropped), then 20 that never
# change. Each refresh is a Value1 write (the "refresh" command); the sidebar process's private
# memory (Private_Clean + Private_Dirty of the Wine process, as Linux counts them) is read from
# outside. Prints the growth per entry that passed and per unchanged refresh.
# Usage: bash bench/soak_sidebar.sh BUILD_DIR [MOVING_REFRESHES [STEADY_REFRESHES]]
set -u
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
moving=${2:-1000}
steady=${3:-2000}
source "$src/tests/support/e2e_prefix.sh"
e2e_prefix "$build" soak

work=$(mktemp -d)
server_pid="" sidebar_pid=""
finish() {
    exec 3>&- 2>/dev/null
    [ -n "$sidebar_pid" ] && kill "$sidebar_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX" "$work"
}
trap finish EXIT
die() { echo "soak: $*" >&2; exit 1; }

e2e_boot
wineserver -p >/dev/null 2>&1
run regsvr32 /s "$(winepath -w "$build/SidebarHost.dll" 2>/dev/null)" || die "regsvr32 SidebarHost.dll"
run regsvr32 /s "$(winepath -w "$build/Vexa.dll" 2>/dev/null)" || die "regsvr32 Vexa.dll"
python3 "$src/scripts/sample_feeds.py" --port 0 >"$work/feeds.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do grep -q '^sample feeds on' "$work/feeds.log" && break; sleep 0.1; done
base=$(sed -n 's/^sample feeds on \(http[^ ]*\)$/\1/p' "$work/feeds.log")
[ -n "$base" ] || die "the sample feed server did not start"

out="$work/sidebar.out"
private_bytes() { awk '/^Private_(Clean|Dirty):/ { kb += $2 } END { print kb * 1024 }' "/proc/$sidebar_pid/smaps_rollup"; }
# Waits until the sidebar has printed a line matching $1 since byte $2 of its output.
wait_since() {
    local i
    for ((i = 0; i < 1200; i++)); do
        tail -c "+$2" "$out" | grep -q -- "$1" && return 0
        kill -0 "$sidebar_pid" 2>/dev/null || die "the sidebar ended: $(tail -n 5 "$out")"
        sleep 0.05
    done
    die "no \"$1\" within a minute"
}

# soak KIND REFRESHES: the sidebar with 20 feeds of that kind; prints the private memory
# after the start-up, after a tenth of the refreshes (the warm-up) and at the end.
soak() {
    local kind=$1 refreshes=$2 i pos start warm end
    { printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvall\\Halvane\\Destinatons]\r\n'
      for i in $(seq 0 19); do printf '"dest[%d]"="%s%s/%d.xml"\r\n' "$i" "$base" "$kind" "$i"; done
    } >"$work/feeds.reg"
    run regedit /s "$(winepath -w "$work/feeds.reg" 2>/dev/null)" || die "regedit of the feed list"
    rm -f "$work/commands" && mkfifo "$work/commands"
    wine "$build/sidebar.exe" <"$work/commands" >"$out" 2>"$work/sidebar.err" &
    sidebar_pid=$!
    exec 3>"$work/commands"
    wait_since '^sidebar: plugin started' 1
    start=$(private_bytes)
    for ((i = 1; i <= refreshes; i++)); do
        pos=$(($(stat -c %s "$out") + 1))
        echo refresh >&3
        echo help >&3
        wait_since '^commands: open N' "$pos"
        [ $i -eq $((refreshes / 10)) ] && warm=$(private_bytes)
    done
    end=$(private_bytes)
    echo quit >&3
    exec 3>&-
    wait "$sidebar_pid"
    sidebar_pid=""
    echo "$start $warm $end"
}

read -r start warm end <<<"$(soak moving "$moving")"
[ -n "$end" ] || exit 1
per_entry() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.1f", (b - a) / (20 * n) }'; }
echo "moving feeds: $moving refreshes of 20 feeds, one new entry per feed per refresh"
echo "  private memory   $((start >> 10)) KiB after the start-up, $((warm >> 10)) KiB after $((moving / 10)), $((end >> 10)) KiB at the end"
echo "  per entry passed $(per_entry "$warm" "$end" $((moving - moving / 10))) bytes after the warm-up, $(per_entry "$start" "$end" "$moving") bytes overall (target <= 100)"

read -r start warm end <<<"$(soak steady "$steady")"
[ -n "$end" ] || exit 1
per_refresh=$(awk -v a="$warm" -v b="$end" -v n=$((steady - steady / 10)) 'BEGIN { printf "%.1f", (b - a) / n }')
echo "unchanged feeds: $steady refreshes of 20 feeds"
echo "  private memory   $((start >> 10)) KiB after the start-up, $((warm >> 10)) KiB after $((steady / 10)), $((end >> 10)) KiB at the end"
echo "  per refresh      $per_refresh bytes after the warm-up; a week of 25-second ticks (24192): $(awk -v r="$per_refresh" 'BEGIN { printf "%.0f", r * 24192 / 1024 }') KiB"
