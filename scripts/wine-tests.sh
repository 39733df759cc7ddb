#!/usr/bin/env bash
# The Windows stage of the tests, run on Linux:
#   1. cross-builds the Windows programs and the unit tests with mingw-w64 (build/mingw);
#   2. builds the host tools: instrument-sim and comfind-cli for Linux, and the LD_PRELOAD
#      library of tests/wine that lets Wine use a pseudo-terminal as a COM port (with its check);
#   3. runs every cross-built unit test program under Wine, in a prefix kept in build/wineprefix;
#   4. runs comfind-cli.exe under Wine against instrument-sim on pseudo-terminals mapped as COM
#      ports (through HKLM\Software\Wine\Ports and through dosdevices links), and the Linux
#      comfind-cli against the same simulators: both must print the lines of tests/wine/expected
#      and end with the same exit status;
#   5. lists the ports through the registry enumeration (comfind-cli.exe --list);
#   6. runs the window, comfind.exe, on a virtual X display (Xvfb) against three simulators on
#      COM3 to COM5 (silent, noisy, instrument): a search started with --autostart, a picture of
#      the window after it (build/screenshot-win32.png), a device change after the chosen port
#      was removed, an exception escaping a handler, a long log, where the focus goes when a
#      search disables the focused "Найти", the keyboard (Tab, F2, Enter on the default button,
#      Alt+F4); wine_window_driver.exe drives and reads it;
#   7. checks that the programs import only the system's own DLLs.
# Usage: scripts/wine-tests.sh [--window]   (from anywhere; exits non-zero when anything failed)
#        --window: only the cross-build, the host tools and step 6 (for work on the window)
# Environment: COMFIND_HOST_BUILD=DIR uses an existing Linux build folder (e.g. build/main) for
#              the host tools instead of build/wine-host.
# Logs of every program run are kept in build/wine-logs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

. scripts/deps.sh
ensure_packages build wine

mingw=$root/build/mingw
host=${COMFIND_HOST_BUILD:-build/wine-host}
[ "${host#/}" = "$host" ] && host=$root/$host
shimdir=$root/build/wine-shim
shim=$shimdir/libmodemshim.so
logs=$root/build/wine-logs
expected=$root/tests/wine/expected
export WINEPREFIX=$root/build/wineprefix
# No debug channels (they would mix into the programs' stderr), no Mono/Gecko installers, no
# display: nothing here draws a window.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The command-line stages draw nothing; the window's stage starts a display of its own.
unset DISPLAY WAYLAND_DISPLAY
window_only=0
[ "${1:-}" = "--window" ] && window_only=1
# Debian's wine64 alone installs no wine/wineserver on the PATH (the wine package adds them).
wine_bin=$(command -v wine || echo /usr/lib/wine/wine64)
wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver)
if [ ! -x "$wine_bin" ] || [ ! -x "$wineserver_bin" ]; then
  echo "Wine is not installed (apt-get install wine64)" >&2
  exit 1
fi
# Only Wine's processes get the library; the host tools run as they are.
wine_run=(env LD_PRELOAD="$shim" "$wine_bin")
wineserver_run=(env LD_PRELOAD="$shim" "$wineserver_bin")

rm -rf "$logs"
mkdir -p "$logs" "$shimdir"
work=$(mktemp -d /tmp/comfind-wine.XXXXXX)

passed=0
failed=0
skipped=0
start_all=$(date +%s%N)
stage_start=$start_all

ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
stage() {
  printf '\n--- %s\n' "$*"
  stage_start=$(date +%s%N)
}
stage_done() { echo "    ($(awk -v ms="$(ms_since "$stage_start")" 'BEGIN{printf "%.1f", ms/1000}') s)"; }
ok() {
  passed=$((passed + 1))
  echo "  ok    $*"
}
bad() {
  failed=$((failed + 1))
  echo "  FAIL  $*"
}

# Simulated instruments: name -> pid, output descriptor, device path.
declare -A sim_pid sim_fd sim_path sim_probes
sims_running=0

stop_wine() {
  [ -d "$WINEPREFIX" ] || return 0
  "${wineserver_run[@]}" -k >/dev/null 2>&1 || true
  timeout 60 "${wineserver_run[@]}" -w >/dev/null 2>&1 || true
}

stop_sims() {
  local name
  for name in "${!sim_pid[@]}"; do
    kill -TERM "${sim_pid[$name]}" 2>/dev/null || true
  done
  for name in "${!sim_pid[@]}"; do
    wait "${sim_pid[$name]}" 2>/dev/null || true
    # What the simulator logged after its path (the pipe ends with the process).
    local fd=${sim_fd[$name]}
    cat <&"$fd" >"$logs/sim-$name.log" || true
    exec {fd}<&-
  done
  sim_pid=()
  sims_running=0
}

xvfb_pid=
# Wine first: closing the instruments' ends while Wine's server still holds the devices gives
# it a hang-up it reports without end.
cleanup() {
  stop_wine
  [ "$sims_running" = 1 ] && stop_sims
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# start_sim NAME [instrument-sim options]: starts a simulator on a new pseudo-terminal and
# records the path it prints first.
start_sim() {
  local name=$1 fd path
  shift
  mkfifo "$work/$name.fifo"
  "$host/tools/instrument-sim" "$@" >"$work/$name.fifo" 2>"$logs/sim-$name.err" &
  sim_pid[$name]=$!
  sims_running=1
  exec {fd}<"$work/$name.fifo"
  sim_fd[$name]=$fd
  if ! read -r -t 30 -u "$fd" path; then
    echo "instrument-sim ($name) did not print its device path" >&2
    cat "$logs/sim-$name.err" >&2
    exit 1
  fi
  sim_path[$name]=$path
  sim_probes[$name]=0
}

# A Wine session: a persistent server, and the services started once by a first program whose
# output goes nowhere (they inherit it, and would hold a pipe open for good).
start_wine() {
  timeout 60 "${wineserver_run[@]}" -p >>"$logs/wine-session.log" 2>&1 </dev/null
  timeout 120 "${wine_run[@]}" cmd /c exit >>"$logs/wine-session.log" 2>&1 </dev/null
}

# count_gtest LOG: sets t_pass, t_fail, t_skip from a GoogleTest summary (t_pass empty when the
# program ended without one).
count_gtest() {
  t_pass=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$1" | tail -1)
  t_fail=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$1" | tail -1)
  t_skip=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$1" | tail -1)
  t_fail=${t_fail:-0}
  t_skip=${t_skip:-0}
}

# report_gtest NAME STATUS LOG SECONDS: adds a test program's results to the totals.
report_gtest() {
  local name=$1 status=$2 log=$3 secs=$4
  count_gtest "$log"
  if [ -z "$t_pass" ]; then
    bad "$name: ended without a result (exit status $status, $secs s); last lines:"
    tail -20 "$log" | sed 's/^/        /'
    return
  fi
  passed=$((passed + t_pass))
  failed=$((failed + t_fail))
  skipped=$((skipped + t_skip))
  echo "  $name: $t_pass passed, $t_fail failed, $t_skip skipped ($secs s)"
  if [ "$t_skip" != 0 ]; then
    grep '^\[  SKIPPED \] [A-Za-z][^ ]*$' "$log" | sed 's/^/        /'
  fi
  if [ "$t_fail" != 0 ]; then
    grep -B12 '^\[  FAILED  \] [A-Za-z].*(' "$log" | sed 's/^/        /'
  elif [ "$status" != 0 ]; then
    bad "$name: every test passed, but the program ended with status $status"
  fi
}

seconds_since() { awk -v ms="$(ms_since "$1")" 'BEGIN{printf "%.1f", ms/1000}'; }

# ------------------------------------------------------------------------------------------
stage "cross-build for Windows (mingw-w64, build/mingw)"
# RelWithDebInfo: optimised as shipped, with the debug information that makes Wine's crash
# reports readable.
# The window's logo and icon are rendered by the host build's comfind-render-icons when there is
# one (the main build of ./test); otherwise the cross-build makes its own.
renderer=$host/packaging/comfind-render-icons
[ -x "$renderer" ] || renderer=
if ! grep -q '^CMAKE_BUILD_TYPE:STRING=RelWithDebInfo$' "$mingw/CMakeCache.txt" 2>/dev/null ||
  ! grep -q '^COMFIND_GUI:BOOL=ON$' "$mingw/CMakeCache.txt" ||
  ! grep -qx "COMFIND_HOST_RENDERER:FILEPATH=$renderer" "$mingw/CMakeCache.txt"; then
  cmake -S "$root" -B "$mingw" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMFIND_GUI=ON -DCOMFIND_HOST_RENDERER="$renderer" \
    >"$logs/mingw-configure.log" 2>&1 ||
    {
      cat "$logs/mingw-configure.log"
      exit 1
    }
fi
cmake --build "$mingw" -j"$jobs" >"$logs/mingw-build.log" 2>&1 || {
  grep -E -A20 'FAILED|error' "$logs/mingw-build.log" | head -80
  exit 1
}
for exe in cli/comfind-cli.exe ui/win32/comfind.exe tests/wine_window_driver.exe; do
  [ -f "$mingw/$exe" ] || {
    echo "$exe was not built" >&2
    exit 1
  }
done
stage_done

# ------------------------------------------------------------------------------------------
stage "host tools (instrument-sim, comfind-cli, the modem-line library)"
if [ ! -f "$host/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMFIND_GUI=OFF \
    -DCOMFIND_TESTS=OFF >"$logs/host-configure.log" 2>&1 || {
    cat "$logs/host-configure.log"
    exit 1
  }
fi
cmake --build "$host" -j"$jobs" --target instrument-sim comfind-cli >"$logs/host-build.log" 2>&1 || {
  grep -E -A20 'FAILED|error' "$logs/host-build.log" | head -80
  exit 1
}
cxxflags=(-std=c++20 -O2 -g -Wall -Wextra -Wshadow -Werror)
if [ ! "$shim" -nt tests/wine/ModemLineShim.cpp ]; then
  g++ "${cxxflags[@]}" -shared -fPIC -o "$shim" tests/wine/ModemLineShim.cpp -ldl -pthread
fi
if [ ! "$shimdir/modem_shim_test" -nt tests/wine/ModemLineShimTest.cpp ]; then
  g++ "${cxxflags[@]}" -o "$shimdir/modem_shim_test" tests/wine/ModemLineShimTest.cpp \
    -lgtest -lgtest_main -pthread -ldl
fi
t0=$(date +%s%N)
status=0
LD_PRELOAD="$shim" timeout 300 "$shimdir/modem_shim_test" --gtest_color=no \
  >"$logs/modem_shim_test.log" 2>&1 || status=$?
report_gtest modem_shim_test "$status" "$logs/modem_shim_test.log" "$(seconds_since "$t0")"
stage_done

# ------------------------------------------------------------------------------------------
stage "Wine prefix (build/wineprefix)"
stop_wine
wine_version=$("$wine_bin" --version)
if [ "$(cat "$WINEPREFIX/.comfind-prefix" 2>/dev/null)" != "$wine_version" ]; then
  rm -rf "$WINEPREFIX"
  echo "  creating a fresh prefix ($wine_version)"
  timeout 300 "${wine_run[@]}" wineboot --init >"$logs/wineboot.log" 2>&1 </dev/null
  timeout 120 "${wineserver_run[@]}" -w
  echo "$wine_version" >"$WINEPREFIX/.comfind-prefix"
fi
# A prefix made without the library links com1 to the machine's /dev/ttyS0; no test may reach
# the machine's own ports, and the links of the last run point to pseudo-terminals now gone.
rm -f "$WINEPREFIX"/dosdevices/com*
# The window's stage sets a virtual desktop for its session; a run cut short may have left it.
if grep -q '^"Desktop"=' "$WINEPREFIX/user.reg" 2>/dev/null; then
  "${wine_run[@]}" reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f \
    >>"$logs/wine-session.log" 2>&1 </dev/null || true
  stop_wine
fi
stage_done

sim_names=()
declare -A com_of=()
if [ "$window_only" = 0 ]; then
# ------------------------------------------------------------------------------------------
stage "simulated instruments and COM ports"
start_sim ok
start_sim silent1 --silent
start_sim silent2 --silent
start_sim silent3 --silent
start_sim pieces --reply ok --pieces 3 --gap 60
start_sim noise --noise 'A\x5CB\x07\x7F\xC9\x98' --reply Ok
missing=/dev/comfind-no-such-port

# COM7 and COM10 through the registry (Wine maps them when its server starts, and lists them in
# HARDWARE\DEVICEMAP\SERIALCOMM); the others through dosdevices links, effective at once.
# COM20 is mapped to nothing and COM21 to a device that does not exist.
com_of=([ok]=COM7 [silent1]=COM10 [silent2]=COM11 [silent3]=COM12 [pieces]=COM13 [noise]=COM14)
start_wine
{
  "${wine_run[@]}" reg delete 'HKLM\Software\Wine\Ports' /f || true
  "${wine_run[@]}" reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "${sim_path[ok]}" /f
  "${wine_run[@]}" reg add 'HKLM\Software\Wine\Ports' /v COM10 /t REG_SZ \
    /d "${sim_path[silent1]}" /f
} >>"$logs/wine-session.log" 2>&1 </dev/null
stop_wine
start_wine
for name in silent2 silent3 pieces noise; do
  ln -sfn "${sim_path[$name]}" "$WINEPREFIX/dosdevices/${com_of[$name],,}"
done
ln -sfn "$missing" "$WINEPREFIX/dosdevices/com21"
for name in ok silent1; do
  # Wine's mount manager makes the link while the session starts, beside the first program; a
  # short look every 50 ms, for at most 30 s (there is nothing to wait on in the file system).
  link_file=$WINEPREFIX/dosdevices/${com_of[$name],,}
  for _ in $(seq 600); do
    [ -L "$link_file" ] && break
    sleep 0.05
  done
  link=$(readlink "$link_file" || true)
  if [ "$link" = "${sim_path[$name]}" ]; then
    ok "${com_of[$name]} mapped by Wine from HKLM\\Software\\Wine\\Ports to $link"
  else
    bad "${com_of[$name]} not mapped from HKLM\\Software\\Wine\\Ports (link: '${link}')"
  fi
done
sim_names=(ok silent1 silent2 silent3 pieces noise)
for name in "${sim_names[@]}"; do
  echo "  ${com_of[$name]} = ${sim_path[$name]} ($name)"
done
stage_done

# ------------------------------------------------------------------------------------------
stage "unit tests under Wine"
# In the session of the searches: a test that reached for a real COM port by mistake would find
# only the simulators, never another program's device.
shopt -s nullglob
unit_programs=("$mingw"/tests/unit_*.exe)
shopt -u nullglob
[ ${#unit_programs[@]} -gt 0 ] || bad "no unit test programs in $mingw/tests"
for exe in "${unit_programs[@]}"; do
  name=$(basename "$exe" .exe)
  t0=$(date +%s%N)
  status=0
  timeout 600 "${wine_run[@]}" "$exe" --gtest_color=no >"$logs/$name.log" 2>&1 </dev/null ||
    status=$?
  report_gtest "$name" "$status" "$logs/$name.log" "$(seconds_since "$t0")"
done
stage_done

# check_run LABEL EXPECTED_FILE WANT_STATUS STATUS OUT ERR: compares one run with what it must give.
check_run() {
  local label=$1 want_file=$2 want=$3 status=$4 out=$5 err=$6 problems=""
  [ "$status" = "$want" ] || problems="exit status $status, not $want; "
  cmp -s "$want_file" "$out" || problems="${problems}output differs; "
  [ ! -s "$err" ] || problems="${problems}stderr not empty; "
  if [ -z "$problems" ]; then
    ok "$label"
  else
    bad "$label: ${problems%; }"
    diff -u "$want_file" "$out" | sed 's/^/        /' || true
    sed 's/^/        stderr: /' "$err"
  fi
}

# scenario NAME WANT_STATUS SIM... -- PORT...: runs comfind-cli.exe under Wine with the COM names,
# checks it against tests/wine/expected/NAME.txt; SIM... are the simulators that get a probe.
declare -a linux_runs=()
declare -A linux_probes=()
scenario() {
  local name=$1 want=$2
  shift 2
  while [ "$1" != "--" ]; do
    sim_probes[$1]=$((sim_probes[$1] + 1))
    [ "${windows_only:-0}" = 1 ] || linux_probes[$1]=$((${linux_probes[$1]:-0} + 1))
    shift
  done
  shift
  local out=$logs/$name.windows
  local t0 status=0
  t0=$(date +%s%N)
  timeout 120 "${wine_run[@]}" "$mingw/cli/comfind-cli.exe" "$@" >"$out.raw" 2>"$out.err" \
    </dev/null || status=$?
  local secs
  secs=$(seconds_since "$t0")
  # The Windows runtime ends its text lines with CR LF; a bare LF would mean a line that went
  # out some other way than the console's text stream.
  sed 's/\r$//' "$out.raw" >"$out.txt"
  if ! awk '!/\r$/ { bare++ } END { exit bare > 0 }' "$out.raw"; then
    bad "Windows $name: lines without CR LF"
  fi
  local shown="$*"
  [ $# -le 6 ] || shown="$1 ... ($# ports)"
  check_run "Windows $name: comfind-cli.exe $shown (exit $status, $secs s)" "$expected/$name.txt" \
    "$want" "$status" "$out.txt" "$out.err"
  if [ "$name" = silent-ports ] && [ "$(ms_since "$t0")" -gt 15000 ]; then
    bad "Windows $name took $secs s; three silent ports take about 1.5 s"
  fi
  [ "${windows_only:-0}" = 1 ] || linux_runs+=("$name $want $*")
}

# ------------------------------------------------------------------------------------------
stage "comfind-cli.exe under Wine"
scenario found-first 0 ok -- COM7
scenario found-after-unopenable 0 ok -- COM20 COM21 COM7
scenario silent-ports 1 silent1 silent2 silent3 -- COM10 COM11 COM12
scenario reply-in-pieces 0 pieces -- COM13
scenario noise-then-reply 0 noise -- COM14
scenario last-unopenable 1 silent2 -- COM11 COM20
# Twenty closes while a comm wait is pending: the system completes the cancelled wait after the
# close has begun, and the port must keep the wait's buffers until then (a race that one close
# rarely loses). The pseudo-terminal tests cover the Linux side.
mapfile -t twenty_sims < <(printf 'silent2\n%.0s' {1..20})
mapfile -t twenty_ports < <(printf 'COM11\n%.0s' {1..20})
windows_only=1 scenario silent-port-20-times 1 "${twenty_sims[@]}" -- "${twenty_ports[@]}"

# Every port at once: the port that cannot be opened first, then the ports still waiting when
# the instrument answered (their wait cut short), then the instrument's block; with --all the
# answer as it comes and the silent port at the end of the one wait.
scenario parallel-found 0 ok silent1 silent2 -- --parallel COM10 COM20 COM7 COM11
scenario all-found 0 ok silent3 -- --all COM12 COM7

# The registry enumeration: the ports Wine mapped from HKLM\Software\Wine\Ports, sorted as
# text; the dosdevices links are not registered ports, and the machine's own are hidden.
status=0
timeout 120 "${wine_run[@]}" "$mingw/cli/comfind-cli.exe" --list >"$logs/list.windows.raw" \
  2>"$logs/list.windows.err" </dev/null || status=$?
sed 's/\r$//' "$logs/list.windows.raw" >"$logs/list.windows.txt"
check_run "Windows registry enumeration: comfind-cli.exe --list" "$expected/list.txt" 0 "$status" \
  "$logs/list.windows.txt" "$logs/list.windows.err"

# The details beside the list, as far as Wine answers SetupAPI: the same ports, in the same
# order, under a header; and as JSON, each port with its device path.
status=0
timeout 120 "${wine_run[@]}" "$mingw/cli/comfind-cli.exe" --list --long \
  >"$logs/list-long.windows.raw" 2>"$logs/list-long.windows.err" </dev/null || status=$?
sed 's/\r$//' "$logs/list-long.windows.raw" >"$logs/list-long.windows.txt"
if [ "$status" = 0 ] && [ ! -s "$logs/list-long.windows.err" ] &&
  [ "$(head -1 "$logs/list-long.windows.txt" | cut -d' ' -f1)" = PORT ] &&
  tail -n +2 "$logs/list-long.windows.txt" | cut -d' ' -f1 | cmp -s - "$expected/list.txt"; then
  ok "Windows port details: comfind-cli.exe --list --long lists the same ports"
else
  bad "Windows port details: comfind-cli.exe --list --long (exit $status)"
  sed 's/^/        /' "$logs/list-long.windows.txt" "$logs/list-long.windows.err"
fi
status=0
timeout 120 "${wine_run[@]}" "$mingw/cli/comfind-cli.exe" --list --json \
  >"$logs/list-json.windows.raw" 2>"$logs/list-json.windows.err" </dev/null || status=$?
json_ok=1
while read -r com; do
  grep -qF "\"path\": \"\\\\\\\\.\\\\$com\"" "$logs/list-json.windows.raw" || json_ok=0
done <"$expected/list.txt"
if [ "$status" = 0 ] && [ "$json_ok" = 1 ] && [ ! -s "$logs/list-json.windows.err" ]; then
  ok "Windows port details: comfind-cli.exe --list --json gives each port its device path"
else
  bad "Windows port details: comfind-cli.exe --list --json (exit $status)"
  sed 's/^/        /' "$logs/list-json.windows.raw" "$logs/list-json.windows.err"
fi
stage_done

# Wine stops before any simulator closes its end.
stop_wine

# ------------------------------------------------------------------------------------------
stage "the same searches with the Linux comfind-cli"
declare -A path_of=([COM20]=/dev/comfind-no-such-port-20 [COM21]=$missing)
for name in "${!com_of[@]}"; do
  path_of[${com_of[$name]}]=${sim_path[$name]}
  sim_probes[$name]=$((sim_probes[$name] + ${linux_probes[$name]:-0}))
done
# Device paths back to COM names, in whole names only (/dev/pts/1 is not the start of /dev/pts/10).
to_com=()
for com in "${!path_of[@]}"; do
  to_com+=(-e "s|^${path_of[$com]}\$|$com|" -e "s|\\(на \\)${path_of[$com]}\$|\\1$com|")
done
for run in "${linux_runs[@]}"; do
  read -r -a words <<<"$run"
  name=${words[0]}
  want=${words[1]}
  paths=()
  for com in "${words[@]:2}"; do
    # Options go through as they are; COM names become the simulators' devices.
    if [ "${com#--}" != "$com" ]; then
      paths+=("$com")
    else
      paths+=("${path_of[$com]}")
    fi
  done
  out=$logs/$name.linux
  status=0
  timeout 120 "$host/cli/comfind-cli" "${paths[@]}" >"$out.raw" 2>"$out.err" </dev/null ||
    status=$?
  sed "${to_com[@]}" "$out.raw" >"$out.txt"
  check_run "Linux $name: comfind-cli ${paths[*]} (exit $status)" "$expected/$name.txt" "$want" \
    "$status" "$out.txt" "$out.err"
done
stage_done
fi


# ------------------------------------------------------------------------------------------
stage "the Win32 window under Wine (comfind.exe on Xvfb)"
# A display of its own, numbered by the X server (no clash with another one on the machine).
mkfifo "$work/display.fifo"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display.fifo" \
  >"$logs/xvfb.log" 2>&1 &
xvfb_pid=$!
exec {display_fd}<"$work/display.fifo"
if ! read -r -t 30 -u "$display_fd" display_number; then
  echo "Xvfb did not start" >&2
  cat "$logs/xvfb.log" >&2
  exit 1
fi
exec {display_fd}<&-
export DISPLAY=:$display_number

# Three ports in the system's list (HARDWARE\DEVICEMAP\SERIALCOMM), which the window shows:
# silent, noisy and the instrument, sorted in that order.
start_sim wsilent --silent
start_sim wnoise --silent --noise 'ERR?\x07#\x7F~'
start_sim wok
com_of[wsilent]=COM3
com_of[wnoise]=COM4
com_of[wok]=COM5
window_sims=(wsilent wnoise wok)
sim_names+=("${window_sims[@]}")
stop_wine
start_wine
{
  "${wine_run[@]}" reg delete 'HKLM\Software\Wine\Ports' /f || true
  for name in "${window_sims[@]}"; do
    "${wine_run[@]}" reg add 'HKLM\Software\Wine\Ports' /v "${com_of[$name]}" /t REG_SZ \
      /d "${sim_path[$name]}" /f
  done
  # One virtual desktop for the session, drawn by Wine with Windows' window frames: the window
  # and the driver must share it (a program sees only the windows of its own desktop).
  "${wine_run[@]}" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
  "${wine_run[@]}" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1024 /f
} >>"$logs/wine-session.log" 2>&1 </dev/null
stop_wine
start_wine
for name in "${window_sims[@]}"; do
  echo "  ${com_of[$name]} = ${sim_path[$name]} ($name)"
done

winpath() { printf 'Z:%s' "${1//\//\\}"; }
driver=("${wine_run[@]}" "$mingw/tests/wine_window_driver.exe")
window_log=$logs/window
mkdir -p "$window_log"
shot=$root/build/screenshot-win32.png
rm -f "$shot"

# start_window ARGS...: comfind.exe with its test switch, in the background; sets window_pid.
start_window() {
  timeout 300 "${wine_run[@]}" "$mingw/ui/win32/comfind.exe" --test-control "$@" \
    >>"$window_log/comfind.out" 2>&1 </dev/null &
  window_pid=$!
}
# drive NAME COMMAND...: runs the driver, keeps its output; false when a command failed.
drive() {
  local name=$1
  shift
  timeout 300 "${driver[@]}" "$@" >"$window_log/$name.out" 2>&1 </dev/null
}
# state_value FILE KEY: the value of a "key=value" line of a state file.
state_value() { sed -n "s/^$2=//p" "$1" 2>/dev/null | head -1; }
# window_exited SECONDS: the program (and its desktop) ended by itself within SECONDS.
window_exited() {
  local waited=0
  while kill -0 "$window_pid" 2>/dev/null; do
    [ "$waited" -ge $(($1 * 20)) ] && return 1
    sleep 0.05
    waited=$((waited + 1))
  done
  wait "$window_pid"  # the program's exit status
}

# The search, started as the window shows, finds the instrument on the third port.
t0=$(date +%s%N)
start_window --autostart
sim_probes[wsilent]=$((sim_probes[wsilent] + 1))
sim_probes[wnoise]=$((sim_probes[wnoise] + 1))
sim_probes[wok]=$((sim_probes[wok] + 1))
found=$window_log/found.txt
if drive search wait-window 120 wait-state "$(winpath "$found")" 60 selected=COM5 butFind=enabled \
  screenshot "$(winpath "$shot")"; then
  ok "comfind.exe --autostart: the search ended with COM5 selected ($(seconds_since "$t0") s)"
else
  bad "comfind.exe --autostart: no search result in time"
  sed 's/^/        /' "$window_log/search.out"
fi
problems=""
[ "$(state_value "$found" items)" = "COM3 COM4 COM5" ] || problems="${problems}port list; "
[ "$(state_value "$found" result)" = "Устройство найдено на COM5" ] || problems="${problems}result; "
for control in butFind Action11 cbChooseCom butExit; do
  [ "$(state_value "$found" "$control")" = enabled ] || problems="${problems}$control disabled; "
done
[ "$(state_value "$found" size)" = 785x771 ] || problems="${problems}size; "
[ "$(state_value "$found" detail)" = "последний опрос: ответил" ] || problems="${problems}detail; "
[ "$(state_value "$found" tooltip)" = "последний опрос: ответил" ] || problems="${problems}tooltip; "
[ "$(state_value "$found" parallel)" = unchecked ] || problems="${problems}parallel option; "
[ "$(state_value "$found" probe-new)" = unchecked ] || problems="${problems}probe-new option; "
[ "$(state_value "$found" icon)" = "32 16" ] || problems="${problems}icon; "
sed -n 's/^log=//p' "$found" >"$window_log/found-log.txt" 2>/dev/null || true
cmp -s "$expected/window-search.txt" "$window_log/found-log.txt" || problems="${problems}log; "
if [ -z "$problems" ]; then
  ok "the window shows the search: ports COM3 COM4 COM5, the log line by line, the result, enabled"
  echo "        fonts: $(state_value "$found" font) (log, controls), $(state_value "$found" rez-font) (result)"
else
  bad "the window after the search: ${problems%; }"
  diff -u "$expected/window-search.txt" "$window_log/found-log.txt" | sed 's/^/        /' || true
  sed 's/^/        /' "$found"
fi
if [ -s "$shot" ] && file -b "$shot" | grep '^PNG image data, 7[0-9][0-9] x 7[0-9][0-9],' >/dev/null; then
  ok "screenshot of the window: $shot ($(file -b "$shot" | cut -d, -f2 | xargs))"
else
  bad "no screenshot of the window in $shot"
fi

# The instrument's port is removed (the driver's entry leaves the system's list, its device
# link goes): the device change warns and lists the two ports left. A notice with another event
# code changes nothing.
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
value=$("${wine_run[@]}" reg query "$serialcomm" </dev/null 2>/dev/null | tr -d '\r' |
  awk '$NF == "COM5" { print $1 }' | head -1)
{
  [ -n "$value" ] && "${wine_run[@]}" reg delete "$serialcomm" /v "$value" /f
  rm -f "$WINEPREFIX/dosdevices/com5"
} >>"$logs/wine-session.log" 2>&1 </dev/null
unchanged=$window_log/unchanged.txt
removed=$window_log/removed.txt
if drive devicechange devicechange 0x8004 state "$(winpath "$unchanged")" devicechange 7 \
  wait-state "$(winpath "$removed")" 30 "items=COM3 COM4"; then
  problems=""
  [ "$(state_value "$unchanged" items)" = "COM3 COM4 COM5" ] || problems="code 0x8004 refreshed; "
  [ "$(state_value "$removed" selected)" = COM3 ] || problems="${problems}selection; "
  warning="Внимание, устройство в выбранном COM-порту было удалено"
  [ "$(state_value "$removed" result)" = "$warning" ] || problems="${problems}result; "
  [ "$(sed -n 's/^log=//p' "$removed" | tail -1)" = "$warning" ] || problems="${problems}log; "
  [ "$(state_value "$removed" butFind)" = enabled ] || problems="${problems}butFind; "
  if [ -z "$problems" ]; then
    ok "WM_DEVICECHANGE after COM5 was removed: COM3 COM4 listed, COM3 selected, the warning"
  else
    bad "WM_DEVICECHANGE after COM5 was removed: ${problems%; }"
    sed 's/^/        /' "$removed"
  fi
else
  bad "WM_DEVICECHANGE after COM5 was removed: the list did not change"
  sed 's/^/        /' "$window_log/devicechange.out" "$removed" 2>/dev/null || true
fi

# An exception escaping a handler: a message box with its text, and the window goes on.
box=$window_log/messagebox.txt
after_box=$window_log/after-box.txt
if drive exception fail wait-messagebox 30 "$(winpath "$box")" state "$(winpath "$after_box")" &&
  [ "$(head -1 "$box")" = "Injected failure in a handler (test switch)" ] &&
  [ "$(state_value "$after_box" items)" = "COM3 COM4" ]; then
  ok "an exception escaping a handler is shown in a message box; the window goes on"
else
  bad "the exception's message box"
  sed 's/^/        /' "$window_log/exception.out" "$box" 2>/dev/null || true
fi

# A long day's log: thousands of lines, then a few more at the end of it, as a search adds them.
lines_before=$(state_value "$after_box" log-lines)
long=$window_log/long-log.txt
if drive long-log fill-log 5000 fill-log 10 state "$(winpath "$long")"; then
  mapfile -t ms < <(sed -n 's/^fill-log-ms //p' "$window_log/long-log.out" | tr -d '\r')
  lines_after=$(state_value "$long" log-lines)
  if [ "$lines_after" = $((${lines_before:-0} + 5010)) ] && [ "${ms[0]:-99999}" -lt 30000 ] &&
    [ "${ms[1]:-99999}" -lt 3000 ]; then
    ok "log: 5000 lines appended in ${ms[0]} ms, 10 more at its end in ${ms[1]} ms"
  else
    bad "log: $lines_after lines (from $lines_before); 5000 took ${ms[0]:-?} ms, 10 more ${ms[1]:-?} ms"
  fi
else
  bad "the long log"
  sed 's/^/        /' "$window_log/long-log.out"
fi

# The option "Опрашивать все порты сразу" (menu command 110): the search over COM3 and COM4
# then waits once for both, and each port's block comes whole when the wait is over. Started
# from the menu while "Найти" has the focus (where that focus goes is checked below).
# The search's end is told by the log's length: the driver's arguments reach it in Wine's ANSI
# code page, where the result's Cyrillic text has no letters.
parallel=$window_log/parallel.txt
sim_probes[wsilent]=$((sim_probes[wsilent] + 1))
sim_probes[wnoise]=$((sim_probes[wnoise] + 1))
drive parallel-before state "$(winpath "$parallel")" || true
lines_before=$(state_value "$parallel" log-lines)
if drive parallel menu 110 wait-state "$(winpath "$parallel")" 30 parallel=checked \
  tab-to butFind menu 101 wait-state "$(winpath "$parallel")" 60 \
  "log-lines=$((${lines_before:-0} + 11))" butFind=enabled; then
  sed -n 's/^log=//p' "$parallel" | tail -11 >"$window_log/parallel-log.txt"
  if cmp -s "$expected/window-parallel.txt" "$window_log/parallel-log.txt" &&
    [ "$(state_value "$parallel" result)" = "Устройство не найдено" ] &&
    [ "$(state_value "$parallel" detail)" = "последний опрос: не ответил" ] &&
    [ "$(state_value "$parallel" tooltip)" = "последний опрос: не ответил" ]; then
    ok "the parallel option: COM3 and COM4 probed at once, each block whole, then the verdict"
  else
    bad "the parallel option: the log, the result or the detail line differs"
    diff -u "$expected/window-parallel.txt" "$window_log/parallel-log.txt" | sed 's/^/        /' ||
      true
    sed 's/^/        /' "$parallel"
  fi
else
  bad "the parallel option: the search did not end as expected"
  sed 's/^/        /' "$window_log/parallel.out" "$parallel" 2>/dev/null || true
fi

# The search disables "Найти": when it has the focus, the focus moves on to the next enabled
# control, as in a dialog, instead of leaving the window with none (Tab and Enter then did
# nothing until a click). Started from the menu above, and here by Enter on "Найти": while it
# runs (or just after, on a slow machine) an enabled control has the focus, Tab moves it and
# the window answers; when it is over, Enter on "Найти" starts the next search.
on_find=$window_log/enter-on-find.txt
enter=$window_log/enter.txt
enter_done=$window_log/enter-done.txt
again=$window_log/enter-again.txt
sim_probes[wsilent]=$((sim_probes[wsilent] + 2))
sim_probes[wnoise]=$((sim_probes[wnoise] + 2))
lines_before=$(state_value "$parallel" log-lines)
lines_before=${lines_before:-0}
drive enter tab-to butFind wait-state "$(winpath "$on_find")" 10 focus=butFind default=butFind \
  keys RETURN \
  wait-state "$(winpath "$enter")" 30 "log-lines!=$lines_before" tab-walk 1 answers 10 \
  wait-state "$(winpath "$enter_done")" 60 "log-lines=$((lines_before + 11))" butFind=enabled \
  tab-to butFind keys RETURN \
  wait-state "$(winpath "$again")" 60 "log-lines=$((lines_before + 22))" butFind=enabled || true
# Tab to "Найти" makes it the button Enter presses (Wine asks DM_GETDEFID after the move).
if grep -q '^ok   state reached: focus=butFind default=butFind' "$window_log/enter.out"; then
  ok "Tab to \"Найти\" makes it the default button"
else
  bad "Tab to \"Найти\": it is not the default button (Enter would press another)"
  sed 's/^/        /' "$on_find" 2>/dev/null | grep -E 'focus|default' || true
fi
menu_focus=$(state_value "$parallel" focus)
if [ "$menu_focus" != none ] && [ "$menu_focus" != butFind ] &&
  [ "$(state_value "$parallel" focus-enabled)" = yes ]; then
  ok "a search from the menu moved the focus from the disabled \"Найти\" on to $menu_focus"
else
  bad "after a search from the menu the focus is on '$menu_focus', not on an enabled control"
fi
tab=$(sed -n 's/^focus //p' "$window_log/enter.out" | tr -d '\r')
read -r tab_from tab_to <<<"$tab"
enter_focus=$(state_value "$enter" focus)
if grep -q '^ok   state reached: log-lines!=' "$window_log/enter.out" &&
  [ "$enter_focus" != none ] && [ "$(state_value "$enter" focus-enabled)" = yes ] &&
  [ -n "$tab_to" ] && [ "$tab_to" != "$tab_from" ] && [ "$tab_to" != none ] &&
  grep -q '^ok   the window answers' "$window_log/enter.out"; then
  when=$([ "$(state_value "$enter" butFind)" = disabled ] && echo "during" || echo "after")
  ok "Enter on \"Найти\": $when the search the focus is on $enter_focus, Tab moves it to $tab_to," \
    "the window answers"
else
  bad "Enter on \"Найти\": focus '$enter_focus' (enabled: $(state_value "$enter" focus-enabled)," \
    "Tab: '$tab'), or no search, or no answer"
  sed 's/^/        /' "$window_log/enter.out"
fi
if grep -q "^ok   state reached: log-lines=$((lines_before + 22)) " "$window_log/enter.out"; then
  ok "after that search, Enter on \"Найти\" starts the next one"
else
  bad "after the search started by Enter, Enter on \"Найти\" did not start another one"
  sed 's/^/        /' "$window_log/enter.out"
fi

# The keyboard: Tab walks find, exit, the port box and the information text; F2 opens the menu
# "Файл" and Escape closes it; Enter on the port box presses the default button, exit.
menu=$window_log/menu.txt
drive keyboard tab-walk 4 keys F2 wait-state "$(winpath "$menu")" 30 menu=open keys ESCAPE \
  wait-state "$(winpath "$menu")" 30 menu=closed || true
walk=$(sed -n 's/^focus //p' "$window_log/keyboard.out" | tr -d '\r')
order="butFind butExit cbChooseCom memInfo butFind butExit cbChooseCom memInfo butFind"
if [ -n "$walk" ] && [ "${order#*"$walk"}" != "$order" ]; then
  ok "Tab walks the controls in their order: $walk"
else
  bad "Tab order: '$walk', a part of '$order' expected"
fi
if grep -q '^ok   state reached: menu=open' "$window_log/keyboard.out" &&
  grep -q '^ok   state reached: menu=closed' "$window_log/keyboard.out"; then
  ok "F2 opens the menu, Escape closes it"
else
  bad "F2 and the menu"
  sed 's/^/        /' "$window_log/keyboard.out"
fi
if drive default-button tab-to cbChooseCom keys RETURN wait-exit 30 && window_exited 60; then
  ok "Enter on the port box presses the default button: the program ended"
else
  bad "Enter on the port box did not end the program through the default button"
  sed 's/^/        /' "$window_log/default-button.out"
fi
kill "$window_pid" 2>/dev/null || true
wait "$window_pid" 2>/dev/null || true

# Alt+F4 ends the program.
start_window
if drive alt-f4 wait-window 120 keys ALT+F4 wait-exit 30 && window_exited 60; then
  ok "Alt+F4 ends the program"
else
  bad "Alt+F4 did not end the program"
  sed 's/^/        /' "$window_log/alt-f4.out"
fi
kill "$window_pid" 2>/dev/null || true
wait "$window_pid" 2>/dev/null || true
"${wine_run[@]}" reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f \
  >>"$logs/wine-session.log" 2>&1 </dev/null || true
stop_wine
stage_done

# ------------------------------------------------------------------------------------------
stage "the programs import only the system's own DLLs; the window's resources"
for exe in "$mingw/ui/win32/comfind.exe" "$mingw/cli/comfind-cli.exe"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' |
    sort | tr '\n' ' ')
  others=""
  for dll in $dlls; do
    case $dll in
      kernel32.dll | advapi32.dll | user32.dll | gdi32.dll | comctl32.dll | shell32.dll | \
        msvcrt.dll | ws2_32.dll | ole32.dll | setupapi.dll | cfgmgr32.dll) ;;
      *) others="$others $dll" ;;
    esac
  done
  if [ -z "$others" ]; then
    ok "$(basename "$exe"): $dlls"
  else
    bad "$(basename "$exe") needs DLLs beside it:$others"
  fi
done
# What Wine does not act on (it draws its own controls and has one monitor): the manifest asks
# for common controls 6 and per-monitor DPI awareness, and the version resource is there.
exe=$mingw/ui/win32/comfind.exe
strings "$exe" >"$work/strings.txt"
strings -el "$exe" >"$work/strings16.txt"
if grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$work/strings.txt" &&
  grep -q 'PerMonitorV2' "$work/strings.txt" && grep -qx 'FileVersion' "$work/strings16.txt" &&
  grep -qx 'comfind.exe' "$work/strings16.txt"; then
  ok "comfind.exe: manifest (common controls 6, per-monitor DPI) and version resource"
else
  bad "comfind.exe lacks its manifest or its version resource"
fi
stage_done

# ------------------------------------------------------------------------------------------
stage "what the instruments received"
stop_sims
probe='rx 18 bytes at 19200 8N1: TRG0000000010000\x0D\x0A'
for name in "${sim_names[@]}"; do
  log=$logs/sim-$name.log
  got=$(grep -c '^rx ' "$log" || true)
  others=$(grep '^rx ' "$log" | grep -v -F -x "$probe" || true)
  if [ "$got" = "${sim_probes[$name]}" ] && [ -z "$others" ]; then
    ok "$name (${com_of[$name]}): $got probes of 18 bytes at 19200 8N1"
  else
    bad "$name (${com_of[$name]}): $got probes, ${sim_probes[$name]} expected, each '$probe'"
    sed 's/^/        /' "$log"
  fi
done
stage_done

echo
echo "Windows stage (Wine): $passed passed, $failed failed, $skipped skipped" \
  "in $(seconds_since "$start_all") s"
[ "$failed" = 0 ]
