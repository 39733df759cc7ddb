#!/usr/bin/env bash
# The virtual-machine stage of the tests: the port code on real kernel drivers.
#
# Boots Debian's own kernel (the linux-image-amd64 package, downloaded and unpacked into the
# build folder, never installed here) under QEMU with TCG, with a small initramfs built here:
# busybox, the kernel's modules for the USB host controller, the FTDI USB-serial adapter and the
# virtio console, comfind-cli and tests/vm's port-events with the shared libraries they need.
# The machine has
#   ttyS0    a 16550 UART carrying the kernel console, recorded in build/vm-logs/console.log;
#   ttyS1    a 16550 UART whose far end is a host pseudo-terminal with instrument-sim on it;
#   ttyUSB0  an FTDI adapter on an xHCI controller, whose far end is one of two host
#            pseudo-terminals (instrument-sim answering, or silent); the QEMU monitor pulls it
#            out (device_del) and plugs it back (device_add);
#   ttyS2/3  empty UART slots the 8250 driver registers anyway.
# QEMU applies the guest's line settings to the host pseudo-terminals (instrument-sim logs the
# rate and framing each probe arrived at), and reads the modem lines of the tty behind ttyS1
# with TIOCMGET: the preloaded library of tests/wine answers that from files the script writes,
# so the host raises and drops CTS, DSR, DCD and RI.
# The host drives the machine over a virtio port: tests/vm/init runs each line as a command.
# One line per check; checks listed in tests/vm/known-faults are expected to fail until their
# fault is fixed ("known fault"), and the stage fails when one of them passes.
#
# Usage: scripts/vm-tests.sh [BUILD]   (BUILD: a Linux build folder, default build/vm-host;
#        comfind-cli, instrument-sim and port-events are built there)
# Skips (exit 0, with the reason) where QEMU or the kernel cannot be had. Logs: build/vm-logs.
set -euo pipefail
# Times are read from EPOCHREALTIME, whose decimal point follows the locale.
export LC_NUMERIC=C
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

build=${1:-${COMFIND_VM_BUILD:-build/vm-host}}
[ "${build#/}" = "$build" ] && build=$root/$build
cache=$root/build/vm
logs=$root/build/vm-logs
known_file=$root/tests/vm/known-faults
start_all=$EPOCHREALTIME

skip() {
  echo "VM stage skipped: $*"
  exit 0
}

. scripts/deps.sh
ensure_packages build
if ! ensure_packages vm; then
  skip "QEMU and busybox are not installed (packages: $pkgs_vm)"
fi
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not on the PATH"

rm -rf "$logs"
mkdir -p "$logs" "$cache"
work=$(mktemp -d /tmp/comfind-vm.XXXXXX)

ms_since() { echo $(((${EPOCHREALTIME/./} - ${1/./}) / 1000)); }
secs_since() { awk -v ms="$(ms_since "$1")" 'BEGIN{printf "%.1f", ms/1000}'; }
stage() { printf '\n--- %s\n' "$*"; }

# ------------------------------------------------------------------------------------------
# Results. Every check ends in exactly one call of result.
declare -A known=()
while read -r id fault; do
  [ -z "$id" ] || [ "${id:0:1}" = "#" ] || known[$id]=$fault
done <"$known_file"
passed=0
failed=0
known_seen=0
declare -A reported=()

# [see=FILE] result ID ok|fail TEXT...: one line for the check (a listed check inverts); a
# failure shows the end of FILE.
result() {
  local id=$1 verdict=$2 text detail=${see:-}
  shift 2
  text="$*"
  reported[$id]=1
  if [ -n "${known[$id]:-}" ]; then
    if [ "$verdict" = ok ]; then
      failed=$((failed + 1))
      echo "  FAIL  $id: $text -- passes now, but tests/vm/known-faults lists it as fault" \
        "${known[$id]}: remove that line"
    else
      known_seen=$((known_seen + 1))
      echo "  known fault  $id: $text"
    fi
  elif [ "$verdict" = ok ]; then
    passed=$((passed + 1))
    echo "  ok    $id: $text"
  else
    failed=$((failed + 1))
    echo "  FAIL  $id: $text"
    [ -n "$detail" ] && [ -f "$detail" ] && sed 's/^/        /' "$detail" | tail -40
  fi
  return 0
}

finish() {
  local id
  for id in "${!known[@]}"; do
    [ -n "${reported[$id]:-}" ] || echo "  (known fault $id was not checked in this run)"
  done
  echo
  echo "VM stage: $passed passed, $failed failed, $known_seen known faults" \
    "in $(secs_since "$start_all") s"
  [ "$failed" = 0 ]
}

# ------------------------------------------------------------------------------------------
qemu_pid=
declare -A sim_pid=() sim_fd=() sim_path=()
cleanup() {
  if [ -n "$qemu_pid" ]; then
    kill -TERM "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  local name
  for name in "${!sim_pid[@]}"; do
    kill -TERM "${sim_pid[$name]}" 2>/dev/null || true
    wait "${sim_pid[$name]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# [see=FILE] abort ID TEXT...: stops the stage with a failure (something the rest needs).
abort() {
  result "$1" fail "${@:2}"
  echo "    the remaining checks cannot run"
  finish || true
  exit 1
}

# ------------------------------------------------------------------------------------------
stage "host programs ($build)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMFIND_GUI=OFF \
    -DCOMFIND_FUZZ=OFF >"$logs/configure.log" 2>&1 || {
    cat "$logs/configure.log"
    exit 1
  }
fi
cmake --build "$build" -j"$jobs" --target comfind-cli instrument-sim port-events \
  >"$logs/build.log" 2>&1 || {
  grep -E -A20 'FAILED|error' "$logs/build.log" | head -80
  exit 1
}
shim=$cache/libmodemshim.so
cxxflags=(-std=c++20 -O2 -g -Wall -Wextra -Wshadow -Werror)
if [ ! "$shim" -nt tests/wine/ModemLineShim.cpp ]; then
  g++ "${cxxflags[@]}" -shared -fPIC -o "$shim" tests/wine/ModemLineShim.cpp -ldl -pthread
fi
if [ ! "$cache/modem_shim_test" -nt tests/wine/ModemLineShimTest.cpp ]; then
  g++ "${cxxflags[@]}" -o "$cache/modem_shim_test" tests/wine/ModemLineShimTest.cpp \
    -lgtest -lgtest_main -pthread -ldl
fi
if LD_PRELOAD="$shim" timeout 120 "$cache/modem_shim_test" --gtest_color=no \
  >"$logs/modem_shim_test.log" 2>&1; then
  result modem-line-library ok "the preloaded library answers TIOCMGET from its control files"
else
  see=$logs/modem_shim_test.log abort modem-line-library "the preloaded library fails its tests"
fi

# ------------------------------------------------------------------------------------------
stage "kernel and initramfs (cached in build/vm)"
# The kernel package that linux-image-amd64 stands for now; offline, the newest one cached.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
  awk '/Depends: linux-image-[0-9]/ { print $2; exit }' || true)
if [ -z "$kpkg" ] || [ ! -f "$cache/$kpkg/.complete" ]; then
  if [ -n "$kpkg" ]; then
    rm -rf "$cache/download"
    mkdir -p "$cache/download/x"
    echo "  downloading $kpkg"
    if (cd "$cache/download" && timeout 600 apt-get download "$kpkg") >"$logs/download.log" 2>&1
    then
      # Only what the machine loads: the kernel, and the modules of the USB host controllers,
      # USB serial adapters and virtio.
      dpkg-deb --fsys-tarfile "$cache/download/"*.deb |
        tar -x -C "$cache/download/x" --wildcards './boot/vmlinuz-*' \
          './lib/modules/*/kernel/drivers/usb/*' './lib/modules/*/kernel/drivers/virtio/*' \
          './lib/modules/*/kernel/drivers/char/virtio_console.ko'
      rm -rf "${cache:?}/linux-image-"*
      mv "$cache/download/x" "$cache/$kpkg"
      touch "$cache/$kpkg/.complete"
    fi
    rm -rf "$cache/download"
  fi
  if [ -z "$kpkg" ] || [ ! -f "$cache/$kpkg/.complete" ]; then
    kpkg=$(find "$cache" -maxdepth 2 -name .complete -path '*linux-image-*' -printf '%h\n' |
      sort -V | tail -1 || true)
    kpkg=${kpkg##*/}
    [ -n "$kpkg" ] || skip "the kernel package (linux-image-amd64) cannot be downloaded" \
      "(apt-get update? network?); see $logs/download.log"
  fi
fi
kdir=$cache/$kpkg
vmlinuz=$(echo "$kdir"/boot/vmlinuz-*)
kmods=$(echo "$kdir"/lib/modules/*)
echo "  kernel: $kpkg"

# The initramfs, built afresh (a second or so): the programs change with every build.
initrd_root=$work/initrd
mkdir -p "$initrd_root"/{bin,dev,proc,sys,lib/modules}
cp /bin/busybox "$initrd_root/bin/busybox"
ln -s busybox "$initrd_root/bin/sh"
install -m 755 tests/vm/init "$initrd_root/init"
# Modules with everything they depend on, in an order that loads each after its needs.
declare -A mod_path=() mod_done=()
while IFS= read -r path; do
  name=${path##*/}
  name=${name%.ko}
  mod_path[${name//-/_}]=$path
done < <(find "$kmods/kernel" -name '*.ko')
load_order=()
add_module() {
  local key=${1//-/_} dep
  [ -n "${mod_done[$key]:-}" ] && return 0
  mod_done[$key]=1
  [ -n "${mod_path[$key]:-}" ] || {
    echo "module $1 is not in $kpkg" >&2
    return 1
  }
  for dep in $(grep -a -o 'depends=[^[:cntrl:]]*' "${mod_path[$key]}" | head -1 | cut -d= -f2 |
    tr ',' ' '); do
    add_module "$dep"
  done
  load_order+=("${mod_path[$key]}")
}
for m in xhci_pci ftdi_sio virtio_pci virtio_console; do
  add_module "$m"
done
: >"$initrd_root/lib/modules/load-order"
for path in "${load_order[@]}"; do
  cp "$path" "$initrd_root/lib/modules/"
  echo "${path##*/}" >>"$initrd_root/lib/modules/load-order"
done
# The programs, stripped, and the shared libraries they load, at the paths they load them from.
for program in "$build/cli/comfind-cli" "$build/tests/vm/port-events"; do
  objcopy --strip-debug "$program" "$initrd_root/bin/${program##*/}"
  for lib in $(ldd "$program" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }'); do
    mkdir -p "$initrd_root$(dirname "$lib")"
    [ -f "$initrd_root$lib" ] || cp -L "$lib" "$initrd_root$lib"
  done
done
(cd "$initrd_root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$work/initrd.cpio"
echo "  initramfs: $(($(stat -c %s "$work/initrd.cpio") / 1024)) KiB, modules:" \
  "$(tr '\n' ' ' <"$initrd_root/lib/modules/load-order")"

# ------------------------------------------------------------------------------------------
stage "simulated instruments"
lines=$logs/lines
mkdir -p "$lines"
# start_sim NAME [instrument-sim options]: a simulator on a new pseudo-terminal; its output
# goes through a pipe that sim_lines reads.
start_sim() {
  local name=$1 fd path
  shift
  mkfifo "$work/sim-$name"
  "$build/tools/instrument-sim" "$@" >"$work/sim-$name" 2>"$logs/sim-$name.err" &
  sim_pid[$name]=$!
  exec {fd}<"$work/sim-$name"
  sim_fd[$name]=$fd
  if ! read -r -t 30 -u "$fd" path; then
    cat "$logs/sim-$name.err" >&2
    abort simulators "instrument-sim ($name) did not print its device path"
  fi
  sim_path[$name]=$path
  echo "  $name: $path (instrument-sim $*)"
}
start_sim uart
start_sim usbok
start_sim usbquiet --silent

# sim_lines NAME: what the simulator printed since the last call (it has printed it by the time
# the guest has its answer), also kept in its log.
sim_lines() {
  local name=$1 line
  while read -r -t 0.05 -u "${sim_fd[$name]}" line; do
    echo "$line" | tee -a "$logs/sim-$name.log"
  done
  return 0
}

# The input lines of the tty behind ttyS1 (pts number $uart_pts), through the library.
uart_pts=${sim_path[uart]##*/}
lines_gen=0
# put_lines WORD...: sets the input lines of ttyS1 (cts dsr dcd ri) for QEMU's next look.
put_lines() {
  lines_gen=$((lines_gen + 1))
  echo "$lines_gen $*" >"$lines/$uart_pts.new"
  mv "$lines/$uart_pts.new" "$lines/$uart_pts"
}
# set_lines WORD...: sets the input lines of ttyS1 (cts dsr dcd ri) and waits until QEMU has
# read them (the library writes the generation it handed out); 1 when it did not in 20 s.
set_lines() {
  put_lines "$@"
  # QEMU reads the lines every 10 ms while the guest listens for them: a look every 10 ms.
  local until=$((${EPOCHREALTIME/./} + 20000000))
  while [ "$(cat "$lines/$uart_pts.seen" 2>/dev/null)" != "$lines_gen" ]; do
    [ "${EPOCHREALTIME/./}" -lt "$until" ] || return 1
    sleep 0.01
  done
}

# ------------------------------------------------------------------------------------------
stage "boot"
# QEMU must be able to run at all here (TCG; no KVM is used).
if ! printf '%s\n' '{"execute":"qmp_capabilities"}' '{"execute":"quit"}' |
  timeout 60 "$qemu" -M none -accel tcg -nodefaults -no-user-config -display none -qmp stdio \
    >"$logs/qemu-probe.log" 2>&1; then
  skip "QEMU cannot run here: $(tail -3 "$logs/qemu-probe.log" | tr '\n' ' ')"
fi

mkfifo "$work/ctl.in" "$work/ctl.out" "$work/qmp.in" "$work/qmp.out"
COMFIND_MODEM_LINES=$lines LD_PRELOAD=$shim "$qemu" \
  -M pc -accel tcg -m 384 -nodefaults -no-user-config -display none -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 panic=-1 quiet" \
  -chardev file,id=console,path="$logs/console.log" -serial chardev:console \
  -chardev serial,id=uart,path="${sim_path[uart]}" -device isa-serial,chardev=uart,index=1 \
  -chardev serial,id=usbok,path="${sim_path[usbok]}" \
  -chardev serial,id=usbquiet,path="${sim_path[usbquiet]}" \
  -device qemu-xhci,id=xhci -device usb-serial,id=ftdi,bus=xhci.0,chardev=usbok \
  -device virtio-serial-pci -chardev pipe,id=ctl,path="$work/ctl" \
  -device virtserialport,chardev=ctl,name=comfind.ctl \
  -chardev pipe,id=qmp,path="$work/qmp" -mon chardev=qmp,mode=control \
  >"$logs/qemu.log" 2>&1 &
qemu_pid=$!
# Both ways open read-write: opening a pipe so never waits for the other side.
exec {to_guest}<>"$work/ctl.in" {from_guest}<>"$work/ctl.out"
exec {to_qmp}<>"$work/qmp.in" {from_qmp}<>"$work/qmp.out"

# guest_read PATTERN SECONDS: reads the guest's lines into $transcript until one matches the
# extended regular expression PATTERN; 1 at the deadline or when QEMU has ended.
transcript=$work/transcript
: >"$transcript"
guest_partial=
guest_read() {
  local pattern=$1 until=$((${EPOCHREALTIME/./} + $2 * 1000000)) left line
  while :; do
    left=$((until - ${EPOCHREALTIME/./}))
    [ "$left" -gt 0 ] || return 1
    kill -0 "$qemu_pid" 2>/dev/null || return 1
    # In slices of at most a second, so that an ended QEMU is noticed.
    [ "$left" -gt 1000000 ] && left=1000000
    line=
    if read -r -t "$((left / 1000000)).$(printf '%06d' $((left % 1000000)))" -u "$from_guest" line
    then
      line=$guest_partial$line
      guest_partial=
      echo "$line" >>"$transcript"
      echo "$line" >>"$logs/guest.log"
      [[ $line =~ $pattern ]] && return 0
    else
      # A read that times out in the middle of a line keeps what it got: the rest follows.
      guest_partial=$guest_partial$line
    fi
  done
}
# guest COMMAND...: sends a command line to the guest's shell, with a fresh transcript. Each
# command has a number, which its "@@done" line repeats: the end of a command that outlived its
# wait is never taken for the end of a later one.
guest_seq=0
guest() {
  guest_seq=$((guest_seq + 1))
  : >"$transcript"
  echo "@@ $guest_seq $*" >>"$logs/guest.log"
  printf '%s %s\n' "$guest_seq" "$*" >&"$to_guest"
}
# guest_done SECONDS: waits for the end of the last command; sets $status (its exit status, or
# "hung" at the deadline).
guest_done() {
  if guest_read "^@@done $guest_seq [0-9]+\$" "$1"; then
    status=$(tail -1 "$transcript" | cut -d' ' -f3)
  else
    status=hung
  fi
}
# guest_run SECONDS COMMAND...: runs a command in the guest and waits for its end ($status).
guest_run() {
  local secs=$1
  shift
  guest "$@"
  guest_done "$secs"
}
# Sends a line to the program the guest runs now (its stdin is the conversation).
program() {
  echo "@@> $*" >>"$logs/guest.log"
  printf '%s\n' "$*" >&"$to_guest"
}

# qmp COMMAND-JSON: sends a monitor command and waits for its answer; 1 when it failed or did
# not answer in 20 s. Events that come before the answer are kept for qmp_event.
qmp_answer=
qmp_events=
qmp() {
  local line until=$((${EPOCHREALTIME/./} + 20000000))
  qmp_events=
  echo "$1" >>"$logs/qmp.log"
  printf '%s\n' "$1" >&"$to_qmp"
  while [ "${EPOCHREALTIME/./}" -lt "$until" ]; do
    read -r -t 1 -u "$from_qmp" line || continue
    echo "$line" >>"$logs/qmp.log"
    case $line in
      *'"event"'*) qmp_events+=$line$'\n' ;;
      *'"return"'*) qmp_answer=$line && return 0 ;;
      *'"error"'*) qmp_answer=$line && return 1 ;;
    esac
  done
  qmp_answer="(no answer)"
  return 1
}
# qmp_event NAME SECONDS: waits for a monitor event (or finds it among those that came with the
# last answer); 1 at the deadline.
qmp_event() {
  local line until=$((${EPOCHREALTIME/./} + $2 * 1000000))
  [[ $qmp_events == *"\"event\": \"$1\""* ]] && return 0
  while [ "${EPOCHREALTIME/./}" -lt "$until" ]; do
    read -r -t 1 -u "$from_qmp" line || continue
    echo "$line" >>"$logs/qmp.log"
    [[ $line == *"\"event\": \"$1\""* ]] && return 0
  done
  return 1
}

t0=$EPOCHREALTIME
if ! read -r -t 60 -u "$from_qmp" line || [[ $line != *QMP* ]] ||
  ! qmp '{"execute":"qmp_capabilities"}'; then
  see=$logs/qemu.log abort boot "QEMU did not start its monitor"
fi
# TCG boots Debian's kernel in 5 to 15 s on an idle machine; a loaded one gets far more.
if ! guest_read '^@@ready' 180; then
  see=$logs/console.log abort boot "the machine did not come up in 180 s"
fi
result boot ok "Debian's kernel $(cut -d' ' -f2 <<<"$(tail -1 "$transcript")") up with its" \
  "drivers in $(secs_since "$t0") s"

# Adapter plugging. plug CHARDEV: plugs the FTDI adapter in on that host pseudo-terminal and
# waits until the guest has its ttyUSB0; unplug: pulls it out (and waits for the monitor's
# word that it is gone).
plug() {
  local args="\"driver\":\"usb-serial\",\"id\":\"ftdi\",\"bus\":\"xhci.0\",\"chardev\":\"$1\""
  qmp "{\"execute\":\"device_add\",\"arguments\":{$args}}" || return 1
  guest_run 60 wait_node /dev/ttyUSB0 30
  [ "$status" = 0 ]
}
unplug() {
  qmp '{"execute":"device_del","arguments":{"id":"ftdi"}}' && qmp_event DEVICE_DELETED 20
}

# ------------------------------------------------------------------------------------------
stage "port list"
guest_run 60 wait_node /dev/ttyUSB0 30
[ "$status" = 0 ] || see=$logs/console.log abort adapter "the guest has no ttyUSB0 after 30 s"
guest_run 60 timeout 30 comfind-cli --list
grep -v '^@@' "$transcript" >"$work/list.txt" || true
list=$(tr '\n' ' ' <"$work/list.txt")
if [ "$status" = 0 ] && grep -qx ttyS1 "$work/list.txt" && grep -qx ttyUSB0 "$work/list.txt" &&
  ! grep -qE '^ttyS[23]$' "$work/list.txt"; then
  result list-ports ok "the UART and the USB adapter are listed, no empty UART slot ($list)"
else
  result list-ports fail "comfind-cli --list (exit $status): '$list', want ttyS1 and ttyUSB0" \
    "and no ttyS2/ttyS3"
fi
if [ "$status" = 0 ] && ! grep -qx ttyS0 "$work/list.txt"; then
  result list-no-console ok "the kernel console ttyS0 is not listed"
else
  result list-no-console fail "the kernel console ttyS0 is listed: '$list'"
fi

# ------------------------------------------------------------------------------------------
stage "searches with comfind-cli"
probe_rx='^rx 18 bytes at 19200 8N1: TRG0000000010000\\x0D\\x0A$'

# search ID SIM PORT TEXT: comfind-cli PORT must find the instrument of SIM on PORT, and the
# simulator must have received one probe at 19200 8N1.
search() {
  local id=$1 sim=$2 port=$3 text=$4 rx problems=""
  guest_run 60 timeout 30 comfind-cli "$port"
  cp "$transcript" "$logs/$id.txt"
  rx=$(sim_lines "$sim")
  [ "$status" = 0 ] || problems="exit status $status; "
  grep -qx "Устройство найдено на $port" "$transcript" || problems="${problems}not found; "
  [ "$(grep -c '^rx ' <<<"$rx")" = 1 ] && grep -qE "$probe_rx" <<<"$rx" ||
    problems="${problems}the far end got '$(tr '\n' ' ' <<<"$rx")'; "
  if [ -z "$problems" ]; then
    result "$id" ok "$text: found, the probe arrived at 19200 8N1"
  else
    see=$logs/$id.txt result "$id" fail "$text: ${problems%; }"
  fi
}
search search-uart uart ttyS1 "comfind-cli ttyS1 (8250 UART)"
search search-adapter usbok ttyUSB0 "comfind-cli ttyUSB0 (FTDI adapter)"

# Every port the machine lists: the console must not get the probe.
before=$(grep -c TRG0000000010000 "$logs/console.log" || true)
guest_run 60 timeout 30 comfind-cli
cp "$transcript" "$logs/search-all.txt"
sim_lines uart >/dev/null
after=$(grep -c TRG0000000010000 "$logs/console.log" || true)
if [ "$status" = 0 ] && grep -qx 'Устройство найдено на ttyS1' "$transcript" &&
  [ "$before" = "$after" ] && ! grep -qx ttyS0 "$transcript"; then
  result search-all-skips-console ok "comfind-cli with no port finds ttyS1, the console got" \
    "no probe"
else
  see=$logs/search-all.txt result search-all-skips-console fail "comfind-cli with no port" \
    "(exit $status): the console got $((after - before)) probes"
fi

# A console named on purpose is still a port that can be opened.
before=$after
guest_run 60 timeout 30 comfind-cli ttyS0
cp "$transcript" "$logs/console-named.txt"
after=$(grep -c TRG0000000010000 "$logs/console.log" || true)
if [ "$status" = 1 ] && grep -qx '>TRG0000000010000' "$transcript" &&
  grep -qx 'Устройство не найдено на ttyS0' "$transcript" && [ "$after" -gt "$before" ]; then
  result console-named-opens ok "comfind-cli ttyS0 opens the console it was given and probes it"
else
  see=$logs/console-named.txt result console-named-opens fail "comfind-cli ttyS0" \
    "(exit $status) did not probe the console"
fi

# Line settings: what the port had before the search, it has again after it.
guest_run 30 port-events termios /dev/ttyS1 9600
settings_before=$(grep '^termios ' "$transcript" || true)
guest_run 60 timeout 30 comfind-cli ttyS1
sim_lines uart >/dev/null
guest_run 30 port-events termios /dev/ttyS1
settings_after=$(grep '^termios ' "$transcript" || true)
host_rate=$(tail -1 "$lines/$uart_pts.termios" 2>/dev/null || true)
if [ -n "$settings_before" ] && [ "$settings_before" = "$settings_after" ] &&
  [ "$host_rate" = "9600 8N1" ]; then
  result settings-restored ok "ttyS1 set to 9600 before a search is at 9600 after it"
else
  echo "before: $settings_before" >"$work/settings.txt"
  echo "after:  $settings_after" >>"$work/settings.txt"
  echo "host pseudo-terminal last set to: $host_rate" >>"$work/settings.txt"
  see=$work/settings.txt result settings-restored fail "ttyS1 set to 9600 before a search is at" \
    "'$(cut -d' ' -f2-3 <<<"$settings_after")' after it (host side: $host_rate)"
fi

# ------------------------------------------------------------------------------------------
stage "modem lines of the 8250 UART (ttyS1)"
# count PATTERN: how many lines of the transcript match exactly.
count() { grep -cxE "$1" "$transcript" || true; }

guest "timeout 120 port-events listen ttyS1"
if ! guest_read '^(open|not open)$' 30 || [ "$(tail -1 "$transcript")" != open ]; then
  see=$transcript abort modem-lines "port-events could not open ttyS1"
fi
# The report of the lines at open (all off) is not a change: checks count from here.
: >"$transcript"
lines_ok=1
# step WORD...: sets the input lines; expect LINE: waits for the program to print LINE.
step() {
  if ! set_lines "$@"; then
    echo "    QEMU did not read the lines '$*' in 20 s"
    lines_ok=0
    return 1
  fi
}
expect() {
  guest_read "^$1\$" 20 || {
    echo "    no '$1' in 20 s"
    lines_ok=0
  }
}
# CTS first: once it is heard, the driver's line interrupts are on and the watcher waits.
step cts && expect 'OnCTSChange 1'
# A ring is a pulse: RI up, seen; RI down, seen. The next change is heard after it, so a ring
# that is reported at all is reported by then.
step cts ri && step cts
step && expect 'OnCTSChange 0'
step dsr && expect 'OnDSRChange 1'
step && expect 'OnDSRChange 0'
step dcd && expect 'OnRLSDChange 1'
step && expect 'OnRLSDChange 0'
program close
guest_read '^closed [0-9]+ ms$' 30 || true
cp "$transcript" "$logs/modem-lines.txt"
events=$(sed '/^closing$/,$d' "$transcript")
at_close=$(sed -n '/^closing$/,/^closed /p' "$transcript")
program quit
guest_done 30
modem_check() {
  local id=$1 name=$2 up down
  up=$(grep -cx "$name 1" <<<"$events" || true)
  down=$(grep -cx "$name 0" <<<"$events" || true)
  if [ "$lines_ok" = 1 ] && [ "$up" = 1 ] && [ "$down" = 1 ]; then
    result "$id" ok "$3 raised and dropped: $name 1 once, then $name 0 once"
  else
    see=$logs/modem-lines.txt result "$id" fail "$3 raised and dropped: $name 1 $up times," \
      "$name 0 $down times"
  fi
}
modem_check modem-cts OnCTSChange CTS
modem_check modem-dsr OnDSRChange DSR
modem_check modem-dcd OnRLSDChange DCD
rings=$(grep -cx OnRing <<<"$events" || true)
if [ "$lines_ok" = 1 ] && [ "$rings" = 1 ] &&
  [ "$(grep -nx -m1 OnRing <<<"$events" | cut -d: -f1)" -lt \
    "$(grep -nx -m1 'OnCTSChange 0' <<<"$events" | cut -d: -f1)" ]; then
  result modem-ring ok "RI pulsed once: OnRing once"
else
  see=$logs/modem-lines.txt result modem-ring fail "RI pulsed once: OnRing $rings times"
fi
stray=$(grep -E '^On(CTS|DSR|RLSD)Change|^OnRing' <<<"$at_close" | tr '\n' ' ' || true)
if [ -n "$at_close" ] && [ -z "$stray" ]; then
  result close-reports-nothing ok "closing reported no line change"
else
  see=$logs/modem-lines.txt result close-reports-nothing fail "closing reported:" \
    "${stray:-(the close did not end)}"
fi

# ------------------------------------------------------------------------------------------
stage "a non-standard rate (ttyS1 at 14400)"
# 14400 has no Bxxx constant; the 16550 runs it exactly (divisor 8), and QEMU asks the host
# pseudo-terminal for the nearest rate it names, 19200. A setting that passes through 38400 on
# its way shows there as a request for 38400.
host_settings() { wc -l <"$lines/$uart_pts.termios"; }
settings_from=$(($(host_settings) + 1))
guest "timeout 120 port-events listen ttyS1 --rate 14400"
if guest_read '^(open|not open)$' 30 && [ "$(tail -1 "$transcript")" = open ]; then
  program parity even
  guest_read '^parity even$' 20 || true
  program quit
  guest_done 30
  cp "$transcript" "$logs/custom-rate.txt"
  # What QEMU asked of the host, in turn (repeats folded).
  asked=$(tail -n +"$settings_from" "$lines/$uart_pts.termios" | sed 's/ refused$//' | uniq |
    tr '\n' ',' | sed 's/,$//')
  if grep -qx 'parity even' "$transcript" && [[ ,$asked, == *",19200 8E1,"* ]] &&
    [[ ,$asked, != *",38400 "* ]]; then
    result custom-rate-one-step ok "opening at 14400 baud and changing the parity went" \
      "straight to the new settings (host: $asked)"
  else
    see=$logs/custom-rate.txt result custom-rate-one-step fail "opening at 14400 baud and" \
      "changing the parity passed through 38400 (host settings in turn: $asked)"
  fi
else
  see=$transcript result custom-rate-one-step fail "port-events could not open ttyS1 at 14400"
fi

# ------------------------------------------------------------------------------------------
stage "a close with output stuck behind CTS (ttyS1)"
# CTS is low; the kernel would wait up to its closing wait (10 s here, 30 s by default) for
# output that cannot go out. (QEMU reads the lines when the port opens.)
put_lines
guest_run 30 port-events closing-wait /dev/ttyS1 1000
for variant in events no-events; do
  flag=
  [ "$variant" = no-events ] && flag=--no-events
  guest "timeout 120 port-events listen ttyS1 --cts-flow $flag"
  if guest_read '^(open|not open)$' 30 && [ "$(tail -1 "$transcript")" = open ]; then
    program write 1000
    guest_read '^wrote ' 20 || true
    program close
    guest_read '^closed [0-9]+ ms$' 60 || true
    program quit
    guest_done 30
    cp "$transcript" "$logs/close-stuck-$variant.txt"
    ms=$(sed -n 's/^closed \([0-9]*\) ms$/\1/p' "$transcript")
    if [ -n "$ms" ] && [ "$ms" -lt 3000 ]; then
      result "close-stuck-$variant" ok "close with 1000 bytes stuck behind CTS ($variant):" \
        "$ms ms"
    else
      see=$logs/close-stuck-$variant.txt result "close-stuck-$variant" fail "close with 1000" \
        "bytes stuck behind CTS ($variant): ${ms:-did not end in 60 s} ms"
    fi
  else
    see=$transcript result "close-stuck-$variant" fail "port-events could not open ttyS1" \
      "with CTS flow"
  fi
done

# ------------------------------------------------------------------------------------------
stage "the adapter pulled out while a program listens (ttyUSB0)"
guest "timeout 120 port-events listen ttyUSB0"
if guest_read '^(open|not open)$' 30 && [ "$(tail -1 "$transcript")" = open ]; then
  program cpu
  guest_read '^cpu [0-9]+$' 20 || true
  cpu_before=$(sed -n 's/^cpu //p' "$transcript" | tail -1)
  : >"$transcript"
  t0=$EPOCHREALTIME
  unplug || abort unplug "the monitor could not pull the adapter out: $qmp_answer"
  if guest_read '^(OnError|OnException|exception)' 10; then
    result vanish-reported ok "the program was told in $(ms_since "$t0") ms:" \
      "$(tail -1 "$transcript")"
  else
    result vanish-reported fail "the program heard nothing in 10 s after the adapter went"
  fi
  # Two seconds to see whether anything spins on the dead device.
  program cpu
  guest_read '^cpu [0-9]+$' 20 || true
  guest_read '^@@never$' 2 || true
  program cpu
  guest_read '^cpu [0-9]+$' 20 || true
  cpu=$(sed -n 's/^cpu //p' "$transcript" | tail -2 | tr '\n' ' ')
  read -r c1 c2 <<<"$cpu"
  if [ -n "${c2:-}" ] && [ $((c2 - c1)) -lt 500 ]; then
    result vanish-no-spin ok "after the adapter went: $((c2 - c1)) ms of processor time in 2 s"
  else
    result vanish-no-spin fail "after the adapter went: processor time '$cpu_before' '$cpu'"
  fi
  program close
  if guest_read '^closed [0-9]+ ms$' 30; then
    result vanish-close ok "closing the port of the vanished adapter: $(tail -1 "$transcript")"
  else
    result vanish-close fail "closing the port of the vanished adapter did not end in 30 s"
  fi
  program quit
  guest_done 30
  cp "$transcript" "$logs/vanish.txt"
else
  see=$transcript result vanish-reported fail "port-events could not open ttyUSB0"
  unplug || true
fi

# ------------------------------------------------------------------------------------------
stage "the adapter pulled out while it is probed, plugged back"
plug usbquiet || see=$logs/qmp.log abort plug "the adapter plugged back (silent far end) did" \
  "not come up"
sim_lines usbquiet >/dev/null
for attempt in 1 2 3; do
  guest "timeout 60 comfind-cli ttyUSB0 ttyS1"
  pulled=
  until=$((${EPOCHREALTIME/./} + 30000000))
  while [ "${EPOCHREALTIME/./}" -lt "$until" ]; do
    if read -r -t 1 -u "${sim_fd[usbquiet]}" line; then
      echo "$line" >>"$logs/sim-usbquiet.log"
      if [[ $line == "rx "* ]]; then
        t0=$EPOCHREALTIME
        unplug || abort unplug "the monitor could not pull the adapter out: $qmp_answer"
        pulled=$(ms_since "$t0")
        break
      fi
    fi
  done
  guest_done 90
  cp "$transcript" "$logs/unplug-during-probe.txt"
  sim_lines uart >/dev/null
  # The search's wait for an answer is 500 ms: a pull that took longer may have come after it.
  if [ -n "$pulled" ] && [ "$pulled" -ge 300 ] && [ "$attempt" -lt 3 ]; then
    echo "    the pull took $pulled ms, maybe after the probe's wait: again"
    plug usbquiet || see=$logs/qmp.log abort plug "the adapter plugged back did not come up"
    continue
  fi
  break
done
if [ -z "$pulled" ]; then
  see=$logs/unplug-during-probe.txt result unplug-during-probe fail "the probe never reached" \
    "the adapter's far end"
  unplug || true
elif [ "$status" = 0 ] && grep -qx 'Устройство найдено на ttyS1' "$transcript"; then
  result unplug-during-probe ok "pulled $pulled ms after the probe arrived: the search went" \
    "on and found ttyS1"
else
  see=$logs/unplug-during-probe.txt result unplug-during-probe fail "pulled $pulled ms after" \
    "the probe arrived: exit ${status:-(hung)}, ttyS1 not found"
fi

if plug usbok; then
  search replug-found usbok ttyUSB0 "adapter plugged back, comfind-cli ttyUSB0"
else
  see=$logs/qmp.log result replug-found fail "the adapter plugged back did not come up"
fi

finish
