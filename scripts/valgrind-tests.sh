#!/usr/bin/env bash
# Runs the end-to-end tests (the search and the port over pseudo-terminals, the search on the
# simulated device, and the fault tests) under valgrind memcheck; any memory error or definite
# leak fails the run. Child programs the tests start (comfind-cli, instrument-sim) run under
# memcheck too. Takes a few minutes on two cores.
# Usage: scripts/valgrind-tests.sh [gtest filter]   (build in build/valgrind)
# Environment: COMFIND_VALGRIND_BUILD=DIR uses an existing configured build folder instead (./test
#              passes its main build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${COMFIND_VALGRIND_BUILD:-build/valgrind}
jobs=$(nproc 2>/dev/null || echo 2)
filter=${1:-*}

if ! command -v valgrind >/dev/null; then
  . scripts/deps.sh
  pkgs_valgrind="valgrind"
  ensure_packages valgrind
fi

if [ -z "${COMFIND_VALGRIND_BUILD:-}" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMFIND_GUI=OFF \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
fi
rm -f "$dir"/*.valgrind.*.log
cmake --build "$dir" -j"$jobs" --target unit_search pty_search pty_port pty_faults unit_faults \
  comfind-cli instrument-sim

export COMFIND_BUILD_DIR="$root/$dir"
# The fault tests skip their resident-memory figures, which mean nothing under memcheck.
export COMFIND_UNDER_VALGRIND=1
vg=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
  --show-leak-kinds=definite --trace-children=yes --trace-children-skip='/bin/*,/usr/bin/*'
  --child-silent-after-fork=yes --num-callers=30 --quiet)

# The floods and the soak test sizes of data and counts, not memory errors; the search and the
# port tests cover the same paths at a size memcheck runs in seconds.
# The dialout test runs the program as nobody, who cannot write memcheck's log here.
skip="HostileInput.AFlood*:Soak.*:LongRun.*:DialoutHint.*"

status=0
for t in unit_search pty_search pty_port pty_faults unit_faults; do
  start=$(date +%s)
  echo "== $t under memcheck"
  if ! "${vg[@]}" --log-file="$dir/$t.valgrind.%p.log" "$dir/tests/$t" \
      --gtest_filter="$filter:-$skip" --gtest_brief=1; then
    status=1
    echo "$t: FAILED (see $dir/$t.valgrind.*.log)"
  fi
  # memcheck's notes on terminal ioctls it does not model are not errors.
  cat "$dir"/$t.valgrind.*.log 2>/dev/null |
    grep -Ev '^$|unhandled ioctl|spurious value errors|README_MISSING_SYSCALL' | head -100 || true
  echo "$t: $(( $(date +%s) - start ))s"
done
[ $status = 0 ] && echo "memcheck: no errors"
exit $status
