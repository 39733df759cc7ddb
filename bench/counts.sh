#!/usr/bin/env bash
# Counts that the machine's load does not change: context switches and system calls per reply
# round trip and per open/close cycle, for each receiver of bench_serial (comfind with each of
# its three SyncMethods, the floor and the peers), taken with perf stat around the receiver.
#
# Each figure is the difference between a long and a short run divided by the difference in
# rounds (or cycles), so the receiver's start and end drop out. The latency runs are pinned to
# one processor, as in bench/run. Prints a Markdown table per figure.
#
# Usage: bench/counts.sh [build folder (default build/bench)]   after bench/run has built it
# Environment: COUNTS_ONLY (a regular expression) keeps the receivers whose name matches;
# COUNTS_FIGURES (latency, openclose or both, the default) the figures; COUNTS_COMFIND runs
# another build of the comfind receiver (a change being tried), named "comfind ... (tried)".
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
bin=$build/bench
[ -x "$bin/bench_serial" ] || { echo "build $build first (bench/run)" >&2; exit 1; }
command -v perf >/dev/null || { echo "perf is missing (scripts/deps.sh group bench)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

events=context-switches,sched:sched_wakeup,raw_syscalls:sys_enter
calls="futex poll ppoll epoll_wait read write ioctl eventfd2 close clone3 sched_yield openat"
for c in $calls; do events="$events,syscalls:sys_enter_$c"; done

# bench_serial starts the receiver as "<program> MODE ARGS": the wrapper puts perf in front.
cat >"$work/wrap.sh" <<'EOF'
#!/bin/sh
exec perf stat -x, -o "$COUNTS_OUT.$$" -e "$COUNTS_EVENTS" -- $COUNTS_TARGET "$@"
EOF
chmod +x "$work/wrap.sh"

receivers=(
  "comfind smWindowSync|window|$bin/bench_comfind"
  "comfind smThreadSync|thread|$bin/bench_comfind"
  "comfind smNone|none|$bin/bench_comfind"
  "floor||$bin/bench_peer_floor"
  "libserialport||$bin/bench_peer_libserialport"
  "Qt||$bin/bench_peer_qt"
  "Asio||$bin/bench_peer_asio"
)
if [ -n "${COUNTS_COMFIND:-}" ]; then
  for s in WindowSync ThreadSync None; do
    l=$(echo "$s" | tr 'A-Z' 'a-z' | sed 's/sync//')
    receivers+=("comfind sm$s (tried)|$l|$COUNTS_COMFIND")
  done
fi
selected=()
for r in "${receivers[@]}"; do
  [[ "${r%%|*}" =~ ${COUNTS_ONLY:-.} ]] && selected+=("$r")
done
receivers=("${selected[@]}")

# Runs one receiver for one figure; prints "event value" lines summed over its perf files.
measure() {  # target sync only quick|full
  local target=$1 sync=$2 only=$3 size=$4 out="$work/out.$RANDOM"
  local args=(--only "$only" --reps 1 --peers none --pin auto --comfind "$work/wrap.sh")
  [ "$size" = quick ] && args+=(--quick)
  COUNTS_TARGET=$target COUNTS_OUT=$out COUNTS_EVENTS=$events BENCH_COMFIND_SYNC=$sync \
    "$bin/bench_serial" "${args[@]}" >/dev/null 2>&1
  cat "$out".* | awk -F, '$1 ~ /^[0-9]/ { sum[$3] += $1 } END { for (e in sum) print e, sum[e] }'
}

table() {  # only unit long short
  local only=$1 unit=$2 long=$3 short=$4
  printf '\n%s, per %s (perf stat; (%s run - %s run) / %s)\n\n' "$only" "$unit" "$long" "$short" \
    "$((long - short))"
  printf '| receiver | context switches | wake-ups | system calls |'
  for c in $calls; do printf ' %s |' "$c"; done
  printf '\n|---|---:|---:|---:|'
  for c in $calls; do printf -- '---:|'; done
  printf '\n'
  for r in "${receivers[@]}"; do
    IFS='|' read -r name sync target <<<"$r"
    measure "$target" "${sync:-window}" "$only" full >"$work/long"
    measure "$target" "${sync:-window}" "$only" quick >"$work/short"
    awk -v name="$name" -v n="$((long - short))" -v calls="$calls" '
      NR == FNR { long[$1] = $2; next } { short[$1] = $2 }
      END {
        split("context-switches sched:sched_wakeup raw_syscalls:sys_enter", head, " ")
        printf "| %s |", name
        for (i = 1; i <= 3; i++) printf " %.2f |", (long[head[i]] - short[head[i]]) / n
        k = split(calls, c, " ")
        for (i = 1; i <= k; i++) {
          e = "syscalls:sys_enter_" c[i]
          printf " %.2f |", (long[e] - short[e]) / n
        }
        printf "\n"
      }' "$work/long" "$work/short"
  done
}

# bench_serial's sizes: latency 2000 rounds (500 with --quick), open/close 1000 cycles (200).
figures=${COUNTS_FIGURES:-latency,openclose}
[[ ,$figures, == *,latency,* ]] && table latency "round trip" 2000 500
[[ ,$figures, == *,openclose,* ]] && table openclose "open, probe write, close cycle" 1000 200
true
