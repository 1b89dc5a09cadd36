#!/usr/bin/env bash
# scripts/screenshots.sh [BUILD_DIR]: starts markfit under a virtual X
# display, lets it grab every window and menu it has, and leaves the PNGs
# in build/screenshots/. BUILD_DIR (default build/release) must hold a
# built cli/markfit.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$here/build/release}" && pwd)"
program="$build/cli/markfit"
out="$here/build/screenshots"

if [ ! -x "$program" ]; then
  echo "screenshots: $program is missing; build the markfit target first" >&2
  exit 1
fi
command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (package xvfb)" >&2; exit 1; }

mkdir -p "$out"
rm -f "$out"/*.png
# A scratch directory: the program keeps its settings file in the current
# directory, and a screenshot run should neither read nor change the user's.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
export MARKFIT_PROFILE="$work/profile.ini"
unset QT_QPA_PLATFORM
# For sanitizer builds: allocations the system libraries keep for good.
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/tests/lsan.supp}"
xvfb-run -a -s "-screen 0 800x600x24" timeout 60 "$program" --screenshot "$out"
ls -1 "$out"
