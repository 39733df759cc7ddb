#!/usr/bin/env bash
# Builds the packages and checks what they install, without touching the machine's own /usr:
#   1. cmake --install into a scratch prefix: the programs, the library, every public header
#      compiling on its own from the installed copy, the package config, the desktop entry,
#      the icons at their sizes and the manual page;
#   2. cpack: comfind_*.deb and comfind-dev_*.deb, their dependencies and description,
#      unpacked with dpkg -x into a scratch root; the unpacked comfind-cli runs --help and
#      finds the simulated instrument with --demo;
#   3. a small project outside the tree finds the library with find_package(comfind) in the
#      unpacked root, builds and talks to a simulated device;
#   4. the Windows zip from the mingw-w64 cross-build (when the cross compiler is there).
# Usage (from the repository root): scripts/package-test.sh
# Builds in build/package and build/package-win; scratch files go to a temporary directory.
# Environment: COMFIND_PACKAGE_BUILD=DIR and COMFIND_PACKAGE_WIN_BUILD=DIR name builds that may
#              stand in for build/package and build/package-win (./test passes its main and its
#              mingw-w64 builds, which differ from them only by the tests): a folder is taken
#              when every command that build/package (or build/package-win), configured here,
#              would run to build what is packaged is one the folder runs too, and its install
#              folders and package settings are the same; the packages are then made from
#              objects built exactly as shipped, without building them a second time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

. scripts/deps.sh
ensure_packages build package
command -v dpkg-shlibdeps >/dev/null || {
  echo "dpkg-shlibdeps is missing (package dpkg-dev)" >&2
  exit 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/comfind-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }
# step NAME: a part of the test; the time of the part before it is printed first.
step_start=
step_done() {
  [ -z "$step_start" ] || echo "    ($(($(date +%s) - step_start)) s)"
  step_start=$(date +%s)
}
step() {
  step_done
  printf '\n--- %s\n' "$*"
}

# expect_files DIR FILE...: every FILE (relative to DIR) exists.
expect_files() {
  local dir=$1 f missing=0
  shift
  for f in "$@"; do
    [ -e "$dir/$f" ] || { fail "missing $f in ${dir#"$scratch"/}"; missing=1; }
  done
  return $missing
}

# expect_absent DIR PATTERN: nothing below DIR matches the find -path PATTERN.
expect_absent() {
  local found
  found=$(cd "$1" && find . -path "$2" | head -5)
  [ -z "$found" ] || fail "unexpected files in ${1#"$scratch"/}: $found"
}

icon_sizes="16 22 24 32 48 64 128 256"
programs="comfind comfind-cli instrument-sim"

# check_runtime_tree PREFIX: the programs, desktop entry, icons and manual page under PREFIX.
check_runtime_tree() {
  local p=$1 s prog
  local want=(share/applications/comfind.desktop share/man/man1/comfind-cli.1.gz)
  for prog in $programs; do want+=("bin/$prog"); done
  for s in $icon_sizes; do want+=("share/icons/hicolor/${s}x$s/apps/comfind.png"); done
  expect_files "$p" "${want[@]}" || return 0
  for prog in $programs; do
    [ -x "$p/bin/$prog" ] || fail "$prog is not executable"
  done
  for s in $icon_sizes; do
    file -b "$p/share/icons/hicolor/${s}x$s/apps/comfind.png" | grep -q "^PNG image data, $s x $s," ||
      fail "icon ${s}x$s is not a $s x $s PNG"
  done
  # A logo that failed to draw is a transparent square: a handful of bytes after compression.
  [ "$(stat -c %s "$p/share/icons/hicolor/256x256/apps/comfind.png")" -gt 4000 ] ||
    fail "the 256x256 icon is (nearly) empty"
  pass "programs, icons ($icon_sizes), desktop entry and manual page in ${p#"$scratch"/}"
}

# check_dev_tree PREFIX LIBDIR: library, headers and package config under PREFIX.
check_dev_tree() {
  local p=$1 lib=$2 h
  expect_files "$p" "$lib/libcomfind-serial.a" "$lib/libcomfind-framework.a" \
    "$lib/cmake/comfind/comfindConfig.cmake" "$lib/cmake/comfind/comfindConfigVersion.cmake" \
    "$lib/cmake/comfind/comfindTargets.cmake" \
    include/comfind/port/CPort.h include/comfind/port/packet/ComDataPacket.h include/comfind/port/storage/IniFile.h \
    include/comfind/port/ComEnum.h include/comfind/port/os/ComOS.h \
    include/comfind/port/os/SimComOS.h include/comfind/framework/Classes.h \
    include/comfind/framework/MainLoop.h || return 0
  # Platform headers stay inside the tree.
  expect_absent "$p" "./include/*Termios*"
  # Every public header compiles alone from the installed copy: none includes a header that
  # was left behind, and none leans on an include made before it.
  local n=0
  for h in $(cd "$p/include/comfind" && find . -name '*.h' | sort); do
    printf '#include "%s"\n#include "%s"\n' "${h#./}" "${h#./}" >"$scratch/header.cpp"
    if ! c++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$p/include/comfind" \
      "$scratch/header.cpp" 2>"$scratch/header.log"; then
      fail "installed header ${h#./} does not compile on its own:"
      head -5 "$scratch/header.log" >&2
    fi
    n=$((n + 1))
  done
  pass "library, package config and $n headers in ${p#"$scratch"/} (each compiles on its own)"
}

check_desktop_entry() {
  local f=$1
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$f" || fail "desktop-file-validate rejects comfind.desktop"
  fi
  grep -qx 'Type=Application' "$f" || fail "desktop entry: no Type=Application"
  grep -qx 'Exec=comfind' "$f" || fail "desktop entry: Exec is not comfind"
  grep -qx 'Icon=comfind' "$f" || fail "desktop entry: Icon is not comfind"
  grep -q '^Name=' "$f" || fail "desktop entry: no Name"
  pass "desktop entry"
}

check_manpage() {
  local f=$1 warnings
  warnings=$(gzip -dc "$f" | groff -k -man -Tutf8 -ww -z 2>&1) || fail "groff fails on the manual page"
  [ -z "$warnings" ] || fail "manual page warnings: $warnings"
  gzip -dc "$f" | groff -k -man -Tutf8 2>/dev/null | grep -q 'dialout' ||
    fail "manual page does not mention the dialout group"
  pass "manual page renders without warnings"
}

# build_commands DIR: every command the build in DIR runs for its default targets, with the
# folder's own path replaced and the names of the dependency files (hashed from that path) made
# equal, sorted.
build_commands() {
  local abs
  abs=$(cd "$1" && pwd)
  (cd "$1" && ninja -t commands) |
    sed -e "s#$abs#BUILD#g" -e 's#CMakeFiles/d/[0-9a-f]*\.d#CMakeFiles/d/DEPFILE.d#g' | sort -u
}

# cache_value DIR NAME: a value from the CMake cache of DIR.
cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

# choose_build OWN CANDIDATE: prints the folder to build the packages in: CANDIDATE when it
# builds what OWN (a configured packaging build) packages with the same commands, installs it
# to the same folders and packs it with the same settings; OWN otherwise. Says which and why.
choose_build() {
  local own=$1 cand=$2 extra var
  # Prints why CANDIDATE does not do (on stderr) and OWN.
  own_build() {
    echo "  $cand $*: building $own" >&2
    echo "$own"
  }
  if [ -z "$cand" ]; then
    echo "$own"
    return
  fi
  if [ ! -f "$cand/CMakeCache.txt" ] || [ ! -f "$cand/build.ninja" ]; then
    own_build "is not a configured Ninja build"
    return
  fi
  for var in CMAKE_BUILD_TYPE CMAKE_INSTALL_PREFIX CMAKE_INSTALL_LIBDIR CMAKE_CXX_COMPILER \
    CMAKE_TOOLCHAIN_FILE COMFIND_GUI COMFIND_SANITIZE; do
    if [ "$(cache_value "$own" "$var")" != "$(cache_value "$cand" "$var")" ]; then
      own_build "has another $var ('$(cache_value "$cand" "$var")'," \
        "packages want '$(cache_value "$own" "$var")')"
      return
    fi
  done
  extra=$(comm -23 <(build_commands "$own") <(build_commands "$cand") | head -3)
  if [ -n "$extra" ]; then
    own_build "builds the packaged files with other commands (the first ones below)"
    echo "$extra" | cut -c1-300 | sed 's/^/    /' >&2
    return
  fi
  if ! cmp -s <(sed "s#$(cd "$own" && pwd)#BUILD#g" "$own/CPackConfig.cmake") \
    <(sed "s#$(cd "$cand" && pwd)#BUILD#g" "$cand/CPackConfig.cmake"); then
    own_build "has other package settings"
    return
  fi
  echo "  $cand builds every packaged file with the packages' own commands: packing from it" >&2
  echo "$cand"
}

mkdir -p build

step "build (build/package)"
cmake -S "$root" -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DCOMFIND_TESTS=OFF -DCOMFIND_GUI=ON \
  >build/package.configure.log 2>&1 || { cat build/package.configure.log; exit 1; }
pkg=$(choose_build build/package "${COMFIND_PACKAGE_BUILD:-}")
pkg=$(cd "$pkg" && pwd)
cmake --build "$pkg" -j"$jobs"
for prog in $programs; do
  [ -n "$(find "$pkg" -name "$prog" -type f -perm -u+x | head -1)" ] || {
    echo "FAIL: $prog was not built (the .deb needs all three programs; is Qt 6 there?)" >&2
    exit 1
  }
done

step "cmake --install into a scratch prefix"
cmake --install "$pkg" --prefix "$scratch/prefix" >"$scratch/install.log"
libdir=$(cd "$scratch/prefix" && dirname "$(find . -name libcomfind-serial.a | head -1)")
libdir=${libdir#./}
check_runtime_tree "$scratch/prefix"
check_dev_tree "$scratch/prefix" "$libdir"
check_desktop_entry "$scratch/prefix/share/applications/comfind.desktop"
check_manpage "$scratch/prefix/share/man/man1/comfind-cli.1.gz"

step "Debian packages (cpack)"
rm -f "$pkg"/*.deb
(cd "$pkg" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$pkg"/comfind_*.deb)
devdeb=$(ls "$pkg"/comfind-dev_*.deb)
echo "$deb"
echo "$devdeb"

[ "$(dpkg-deb -f "$deb" Package)" = comfind ] || fail "runtime package is not named comfind"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libqt6widgets6' || fail "comfind does not depend on Qt 6 Widgets"
# Qt 6 Widgets (with the Gui and Core it is built on) and the C/C++ runtime, nothing else.
for dep in $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g'); do
  case $dep in
    libc6 | libgcc-s1 | libstdc++6 | libqt6core6 | libqt6gui6 | libqt6widgets6) ;;
    *) fail "unexpected runtime dependency $dep" ;;
  esac
done
dpkg-deb -f "$deb" Description | grep -q 'dialout' ||
  fail "the package description does not mention the dialout group"
[ "$(dpkg-deb -f "$devdeb" Package)" = comfind-dev ] || fail "library package is not comfind-dev"

dpkg -x "$deb" "$scratch/root"
expect_absent "$scratch/root" "./usr/include*"
check_runtime_tree "$scratch/root/usr"
check_desktop_entry "$scratch/root/usr/share/applications/comfind.desktop"
dpkg -x "$devdeb" "$scratch/root"
check_dev_tree "$scratch/root/usr" "$libdir"
# Ownership and modes as dpkg will create them: root, no group- or world-writable files.
dpkg-deb -c "$deb" | awk '$2 != "root/root" || $1 ~ /^.....w|^........w/ {print; bad=1} END {exit bad}' ||
  fail "files in $deb not owned by root or writable by others"

for prog in $programs; do
  if ldd "$scratch/root/usr/bin/$prog" | grep -q 'not found'; then
    fail "$prog needs a library that is not installed:"
    ldd "$scratch/root/usr/bin/$prog" | grep 'not found' >&2
  fi
done

step "the unpacked programs run"
cli=$scratch/root/usr/bin/comfind-cli
if "$cli" --help >"$scratch/help.txt" 2>&1 && grep -q -- '--demo' "$scratch/help.txt"; then
  pass "comfind-cli --help"
else
  fail "comfind-cli --help"
fi
status=0
timeout 60 "$cli" --demo >"$scratch/demo.txt" 2>&1 || status=$?
cat "$scratch/demo.txt"
if [ "$status" = 0 ] && tail -1 "$scratch/demo.txt" | grep -q '^Устройство найдено на '; then
  pass "comfind-cli --demo finds the simulated instrument"
else
  fail "comfind-cli --demo (status $status)"
fi
if QT_QPA_PLATFORM=offscreen timeout 60 "$scratch/root/usr/bin/comfind" --help \
  >"$scratch/gui-help.txt" 2>&1 && grep -q -- '--demo' "$scratch/gui-help.txt"; then
  pass "comfind --help"
else
  fail "comfind --help"
  cat "$scratch/gui-help.txt" >&2
fi

step "find_package(comfind) from a project outside the tree"
cp -r packaging/consumer "$scratch/consumer"
if cmake -S "$scratch/consumer" -B "$scratch/consumer/build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$scratch/root/usr" -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$scratch/consumer.log" 2>&1 &&
  cmake --build "$scratch/consumer/build" >>"$scratch/consumer.log" 2>&1 &&
  "$scratch/consumer/build/comfind_consumer"; then
  grep -q "$scratch/root/usr" "$scratch/consumer/build/CMakeCache.txt" ||
    fail "the consumer found a comfind other than the unpacked one"
  pass "the consumer builds against the unpacked comfind-dev and talks to a simulated device"
else
  fail "the consumer project:"
  tail -30 "$scratch/consumer.log" >&2
fi
# An incompatible version is refused instead of silently taken.
mkdir -p "$scratch/version"
cat >"$scratch/version/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(version_check LANGUAGES NONE)
find_package(comfind 99.0 REQUIRED)
EOF
if cmake -S "$scratch/version" -B "$scratch/version/build" \
  -DCMAKE_PREFIX_PATH="$scratch/root/usr" >/dev/null 2>&1; then
  fail "find_package(comfind 99.0) accepted version $(dpkg-deb -f "$devdeb" Version)"
else
  pass "find_package refuses an incompatible version"
fi

step "Windows zip (mingw-w64 cross-build)"
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  # The window's logo and icon come from the renderer of the Linux build above.
  cmake -S "$root" -B build/package-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMFIND_GUI=ON -DCOMFIND_TESTS=OFF \
    -DCOMFIND_HOST_RENDERER="$pkg/packaging/comfind-render-icons" \
    >build/package-win.configure.log 2>&1 || { cat build/package-win.configure.log; exit 1; }
  pkgwin=$(choose_build build/package-win "${COMFIND_PACKAGE_WIN_BUILD:-}")
  pkgwin=$(cd "$pkgwin" && pwd)
  cmake --build "$pkgwin" -j"$jobs"
  rm -f "$pkgwin"/*.zip
  (cd "$pkgwin" && cpack -G ZIP >"$scratch/cpack-win.log" 2>&1) ||
    { cat "$scratch/cpack-win.log"; exit 1; }
  zip=$(ls "$pkgwin"/comfind-*-win64.zip)
  echo "$zip"
  unzip -Z1 "$zip" | sort >"$scratch/zip.txt"
  cat "$scratch/zip.txt"
  top=$(basename "$zip" .zip)
  want="$top/README.txt $top/comfind-cli.exe $top/comfind.exe"
  [ -n "$(find "$pkgwin" -name instrument-sim.exe)" ] && want="$want $top/instrument-sim.exe"
  for f in $want; do grep -qx "$f" "$scratch/zip.txt" || fail "the zip lacks $f"; done
  [ "$(grep -cv '/$' "$scratch/zip.txt")" = "$(echo "$want" | wc -w)" ] ||
    fail "the zip holds more than the programs and the README"
  mkdir -p "$scratch/win"
  (cd "$scratch/win" && unzip -q "$zip")
  file -b "$scratch/win/$top/README.txt" | grep -q CRLF || fail "README.txt has no CRLF line ends"
  # A static runtime: the .exe imports only DLLs that every Windows has.
  for exe in "$scratch/win/$top"/*.exe; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z')
    for dll in $dlls; do
      case $dll in
        kernel32.dll | advapi32.dll | user32.dll | gdi32.dll | comctl32.dll | msvcrt.dll | \
          ws2_32.dll | shell32.dll | ole32.dll | setupapi.dll | cfgmgr32.dll) ;;
        *) fail "$(basename "$exe") needs $dll beside it" ;;
      esac
    done
  done
  grep -qi 'unzip' "$scratch/win/$top/README.txt" || fail "README.txt does not say to unzip and run"
  pass "Windows zip: $(echo "$want" | wc -w) files, static runtime"

  # The library installed for Windows, and the consumer cross-built against it with
  # <windows.h> included before comfind's headers.
  cmake --install "$pkgwin" --component development --prefix "$scratch/win-dev" \
    >"$scratch/install-win.log"
  if cmake -S packaging/consumer -B "$scratch/consumer-win" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -Dcomfind_DIR="$scratch/win-dev/lib/cmake/comfind" -DCMAKE_EXE_LINKER_FLAGS="-static" \
    >"$scratch/consumer-win.log" 2>&1 &&
    cmake --build "$scratch/consumer-win" >>"$scratch/consumer-win.log" 2>&1; then
    pass "the consumer builds for Windows with <windows.h> before comfind's headers"
  else
    fail "the Windows consumer project:"
    tail -30 "$scratch/consumer-win.log" >&2
  fi
else
  echo "x86_64-w64-mingw32-g++-posix not found: Windows zip skipped"
fi

step_done
echo
if [ "$failures" != 0 ]; then
  echo "package test: $failures failure(s)" >&2
  exit 1
fi
echo "package test passed: $deb $devdeb${zip:+ $zip}"
