#!/usr/bin/env bash
# Checks the rules of the code's layout that no compiler checks:
#   - no source file outside the tests grows beyond 700 lines (split it by job instead);
#   - only *.linux.cpp files include the kernel's own headers (<linux/...>, <asm/...>);
#   - the naming of local variables (the rule is in .clang-tidy) in every source file, with
#     clang-tidy over the compilation databases of the builds given.
#   scripts/code-check.sh [--fix] HOST_BUILD [MINGW_BUILD]
# HOST_BUILD is a configured and built host build (its generated sources, such as Qt's moc
# files, must exist); MINGW_BUILD, when given, adds the Windows-only files, parsed by clang for
# the mingw-w64 target with the cross compiler's C++ library. --fix renames in place instead
# of failing (review the diff, then run clang-format).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/deps.sh
ensure_packages lint

fix=0
if [ "${1:-}" = "--fix" ]; then
  fix=1
  shift
fi
[ $# -ge 1 ] || { sed -n '2,13p' "$0" >&2; exit 2; }
host=$1
mingw=${2:-}
jobs=$(nproc 2>/dev/null || echo 2)

# The repository's own translation units in a build's database (not generated ones).
sources() {
  python3 - "$1/compile_commands.json" "$root" <<'EOF'
import json, os, sys
db, root = sys.argv[1], sys.argv[2]
seen = set()
for e in json.load(open(db)):
    f = os.path.normpath(os.path.join(e["directory"], e["file"]))
    if f.startswith(root + "/") and not f.startswith(root + "/build") and f.endswith(".cpp"):
        if f not in seen:
            seen.add(f)
            print(f)
EOF
}

# run_tidy BUILD EXTRA_ARGS... < files: clang-tidy over each file; compiler warnings are the
# build's business (-w), only the naming check speaks here.
run_tidy() {
  local build=$1
  shift
  if [ "$fix" = 1 ]; then
    # Renames are collected from every file and applied once each (a header's rename is found
    # by every file that includes it).
    local files
    files=$(paste -sd'|' -)
    [ -n "$files" ] || return 0
    run-clang-tidy -quiet -fix -j "$jobs" -p "$build" -extra-arg=-w \
      "${@/--extra-arg=/-extra-arg=}" "^($files)\$"
  else
    xargs -r -n1 -P"$jobs" clang-tidy --quiet -p "$build" --extra-arg=-w "$@"
  fi
}

layout=0
while read -r lines file; do
  [ "$file" = total ] && continue
  if [ "$lines" -gt 700 ]; then
    echo "$file: $lines lines, more than 700: split it by job"
    layout=1
  fi
done < <(git ls-files '*.cpp' '*.h' ':!tests/' | xargs wc -l)
while read -r file; do
  case "$file" in
    *.linux.cpp) ;;
    *) echo "$file includes a kernel header: only *.linux.cpp files may"; layout=1 ;;
  esac
done < <(git grep -l -E '^#include <(linux|asm)/' -- '*.cpp' '*.h' || true)
[ "$layout" = 0 ] || [ "$fix" = 1 ] || exit 1
echo "layout: every source file within 700 lines, kernel headers only in *.linux.cpp"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
[ -f "$host/compile_commands.json" ] || { echo "no compile_commands.json in $host" >&2; exit 2; }
files=$(sources "$host" | wc -l)
sources "$host" | run_tidy "$host" >"$out" 2>&1 || true

if [ -n "$mingw" ]; then
  if [ -f "$mingw/compile_commands.json" ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    # clang brings its own compiler headers for the target; the C++ library and the Windows
    # headers are the cross compiler's.
    version=$(x86_64-w64-mingw32-g++-posix -dumpversion)
    cxx=/usr/lib/gcc/x86_64-w64-mingw32/$version-posix/include/c++
    [ -d "$cxx" ] || cxx=/usr/lib/gcc/x86_64-w64-mingw32/$version/include/c++
    sources "$mingw" | grep -E '\.win32\.cpp$' | run_tidy "$mingw" \
      --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++ \
      --extra-arg=-isystem"$cxx" --extra-arg=-isystem"$cxx/x86_64-w64-mingw32" \
      --extra-arg=-isystem/usr/x86_64-w64-mingw32/include >>"$out" 2>&1 || true
  else
    echo "naming: no mingw-w64 build in $mingw, the Windows-only files are not checked"
  fi
fi

# clang-tidy counts a header's findings once per file that includes it; generated files (Qt's
# moc output in the build folders) are not ours to name.
findings=$(sed 's/\x1b\[[0-9;]*m//g' "$out" | grep -E '(error|warning): ' | grep -v "^$root/build" |
  sort -u || true)
if [ "$fix" = 1 ]; then
  echo "naming: renamed in place; review with git diff and run clang-format"
  exit 0
fi
if [ -n "$findings" ]; then
  echo "$findings"
  echo "naming: $(printf '%s\n' "$findings" | grep -c . || true) findings" >&2
  exit 1
fi
echo "naming of local variables: clean ($files files of the host build${mingw:+ and the Windows-only ones})"
