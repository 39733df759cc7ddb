# Package lists and the installer used by ./test, ./run and bench/run.
# ensure_packages GROUP...: installs the missing packages of the groups with apt-get (as root).

pkgs_build="build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest clang libclang-rt-14-dev qt6-base-dev libgl1-mesa-dev g++-mingw-w64-x86-64-posix"
pkgs_package="dpkg-dev groff-base unzip desktop-file-utils"
pkgs_valgrind="valgrind"
pkgs_wine="wine wine64 fonts-wine xvfb xauth"
pkgs_vm="qemu-system-x86 busybox-static"
pkgs_gui="qt6-base-dev libgl1-mesa-dev xvfb xauth"
pkgs_lint="clang-tidy python3"
pkgs_bench="libbenchmark-dev libserialport-dev qt6-serialport-dev libboost-dev python3-serial"

ensure_packages() {
  local want="" missing="" p g
  for g in "$@"; do
    local var="pkgs_$g"
    want="$want ${!var}"
  done
  for p in $want; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages:$missing (run as root, or install them with apt-get)" >&2
    return 1
  fi
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
}
