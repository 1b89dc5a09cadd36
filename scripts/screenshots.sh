#!/usr/bin/env bash
# scripts/screenshots.sh [BUILD_DIR]: starts markfit under a virtual X
# display, lets it grab every window and menu it has, and leaves the PNGs
# in build/screenshots/96/ and build/screenshots/144/: once at 96 dots per
# inch, once at 144 (Qt scales windows, fonts and icons by 1.5, as on a
# screen of that density), so that what only a denser screen cuts is seen.
# DPIS ("96 144" by default) picks others. BUILD_DIR (default build/release)
# must hold a built cli/markfit.
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

rm -rf "$out"
# A scratch directory: the program keeps its settings file in the current
# directory, and a screenshot run should neither read nor change the user's.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
export MARKFIT_PROFILE="$work/profile.ini"
# A page to read, and (below) a saved setup that names it, so that the
# conversion window shows its preview.
printf '%s\r\n' '<html>' '<head><title>Caf'$'\xE9'' du port</title></head>' '<body>' \
  '  <p class="menu">Men'$'\xFC'' &amp; prices</p>' "  <a href=\"#\" onclick='go()'>Don't wait</a>" \
  '</body>' '</html>' > "$work/index.htm"
unset QT_QPA_PLATFORM
# For sanitizer builds: allocations the system libraries keep for good.
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/tests/lsan.supp}"
for dpi in ${DPIS:-96 144}; do
  mkdir -p "$out/$dpi"
  rm -f "$work/Markfit.ini"
  printf '%s\n' '[WriteHtml]' 'Setup=1' 'ReadFile=index.htm' 'CommandBefore=HtmlLine('"'" 'CommandAfter='"')" \
    'Indent=2' 'Translation=1' 'DoubleQuotes=1' > "$work/Markfit.ini"
  QT_SCALE_FACTOR="$(awk -v d="$dpi" 'BEGIN { print d / 96 }')" \
    xvfb-run -a -s "-screen 0 1200x900x24 -dpi $dpi" timeout 60 "$program" --screenshot "$out/$dpi"
done
ls -1 "$out"/*
