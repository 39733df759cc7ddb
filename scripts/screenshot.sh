#!/usr/bin/env bash
# Builds the window, runs one search over the demo ports (a silent port, a noisy port and the
# simulated instrument) on a virtual X display, and saves a picture of the window once the
# result shows.
#   scripts/screenshot.sh [FILE]     default: build/screenshot.png
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages build gui

out=${1:-build/screenshot.png}
mkdir -p build "$(dirname "$out")"
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >build/main.configure.log 2>&1 \
  || { cat build/main.configure.log; exit 1; }
cmake --build build/main --target comfind >/dev/null

rm -f "$out"
# The program saves the picture itself (a grab of the window, frame excluded) and ends; the
# timeout only guards against a search that never finishes.
timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" \
  build/main/ui/qt/comfind --demo --screenshot "$out" 2> >(grep -v XDG_RUNTIME_DIR >&2)
[ -s "$out" ] || { echo "no picture was written" >&2; exit 1; }
echo "$out"
