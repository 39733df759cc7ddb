#!/usr/bin/env bash
# The long variants of the fault tests: a 1 GiB flood without line ends during a search, 10,000
# searches against the simulated instrument, 10,000 open/close cycles with traffic on a
# pseudo-terminal, with descriptors, threads and resident memory compared at the end. The
# default ./test run covers the same tests at 100 MiB, 1,000 searches and 2,000 cycles.
# Usage: scripts/soak.sh   (build in build/soak; a few minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=build/soak
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMFIND_GUI=OFF \
  >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$jobs" --target unit_faults pty_faults comfind-cli

export COMFIND_LONG=1
export COMFIND_BUILD_DIR="$root/$dir"
status=0
for t in unit_faults pty_faults; do
  start=$(date +%s)
  "$dir/tests/$t" --gtest_brief=1 || status=1
  echo "$t: $(( $(date +%s) - start ))s"
done
exit $status
