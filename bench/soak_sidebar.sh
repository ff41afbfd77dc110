#!/usr/bin/env bash
# Memory soak of the real sidebar program in a fresh prefix of its own: 20 feeds of the sample
# server that move on (one new entry per feed per refresh, one dropped), then 20 that never
# change. Each refresh is a Value1 write (the "refresh" command); the sidebar process's private
# memory (Private_Clean + Private_Dirty of the Wine process, as Linux counts them) is read from
# outside. Prints the growth per entry that passed and per unchanged refresh.
# Usage: bash bench/soak_sidebar.sh BUILD_DIR [MOVING_REFRESHES [STEADY_REFRESHES]]
# (0 steady refreshes skips that part). The growth is fitted from refresh SOAK_FROM (200) on,
# once the start-up's own allocations have settled. SOAK_SAMPLES=PATH keeps the samples (refresh,
# private bytes, heap bytes in use) in PATH.moving and PATH.steady.
set -u
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
moving=${2:-1000}
steady=${3:-2000}
source "$src/tests/support/e2e.sh"
e2e_prefix "$build" soak
die() { echo "soak: $*" >&2; exit 1; }

e2e_boot
e2e_register
# Connections kept open, as most servers do: Wine's WinINet leaks a heap block of 96 bytes
# for every connection that a server closes after its answer (measured with bare WinINet).
# SOAK_CLOSE=1 has the server close every connection instead.
keep=--keep-alive
[ -n "${SOAK_CLOSE:-}" ] && keep=""
e2e_feeds $keep

private_bytes() { awk '/^Private_(Clean|Dirty):/ { kb += $2 } END { print kb * 1024 }' "/proc/$sidebar_pid/smaps_rollup"; }
# Waits until the sidebar has printed a line matching $1 since byte $2 of its output.
wait_since() {
    local i
    for ((i = 0; i < 1200; i++)); do
        tail -c "+$2" "$out" 2>/dev/null | grep -q -- "$1" && return 0
        kill -0 "$sidebar_pid" 2>/dev/null || die "the sidebar ended: $(tail -n 5 "$out")"
        sleep 0.05
    done
    die "no \"$1\" within a minute"
}

# soak KIND REFRESHES: the sidebar with 20 feeds of that kind, refreshed that many times.
# Prints its private memory after the start-up and at the end, and the growth per refresh:
# the slope of a line fitted to a sample every 10 refreshes from refresh $from on (the heap's
# own ups and downs are larger than a refresh's share).
soak() {
    local kind=$1 refreshes=$2 i pos start end from=${SOAK_FROM:-200}
    [ "$from" -lt "$refreshes" ] || from=$((refreshes / 10))
    e2e_feed_list $(for i in $(seq 0 19); do echo "$base$kind/$i.xml"; done)
    rm -f "$work/samples"
    e2e_sidebar 0
    wait_since '^sidebar: plugin started' 1
    start=$(private_bytes)
    for ((i = 1; i <= refreshes; i++)); do
        pos=$(($(stat -c %s "$out") + 1))
        echo refresh >&3
        echo help >&3
        wait_since '^commands: open N' "$pos"
        if [ $((i % 10)) -eq 0 ] && [ $i -ge "$from" ]; then
            pos=$(($(stat -c %s "$out") + 1))
            echo heap >&3
            wait_since '^heap: ' "$pos"
            echo "$i $(private_bytes) $(tail -c "+$pos" "$out" | sed -n 's/^heap: \([0-9]*\) bytes.*/\1/p' | head -n1)" >>"$work/samples"
        fi
    done
    end=$(private_bytes)
    [ -n "${SOAK_SAMPLES:-}" ] && cp "$work/samples" "$SOAK_SAMPLES.$kind"
    echo quit >&3
    exec 3>&-
    wait "$sidebar_pid"
    sidebar_pid=""
    echo "$start $end $(fit 2) $(fit 3)"
}
# The slope of column $1 of the samples against their refresh numbers.
fit() {
    awk -v c="$1" '{ n++; sx += $1; sy += $c; sxx += $1 * $1; sxy += $1 * $c }
                   END { printf "%.1f", (n * sxy - sx * sy) / (n * sxx - sx * sx) }' "$work/samples"
}

kib() { echo "$(($1 >> 10)) KiB"; }
read -r start end slope heap <<<"$(soak moving "$moving")"
[ -n "$slope" ] || exit 1
echo "moving feeds: $moving refreshes of 20 feeds, one new entry per feed per refresh (one dropped)"
echo "  private memory   $(kib "$start") after the start-up, $(kib "$end") at the end"
echo "  per entry passed $(awk -v s="$slope" 'BEGIN { printf "%.1f", s / 20 }') bytes (target <= 100)"
echo "  heap in use      $(awk -v s="$heap" 'BEGIN { printf "%.1f", s / 20 }') bytes per entry passed (the blocks themselves)"

[ "$steady" -gt 0 ] || exit 0
read -r start end slope heap <<<"$(soak steady "$steady")"
[ -n "$slope" ] || exit 1
echo "unchanged feeds: $steady refreshes of 20 feeds"
echo "  private memory   $(kib "$start") after the start-up, $(kib "$end") at the end"
echo "  per refresh      $slope bytes (heap in use: $heap); over a week of 25-second ticks (24192): $(awk -v s="$slope" 'BEGIN { printf "%.0f", s * 24192 / 1024 }') KiB"
