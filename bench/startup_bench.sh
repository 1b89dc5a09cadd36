#!/usr/bin/env bash
# bench/startup_bench.sh [RUNS]: builds a release markfit and the start-up
# benchmark, then compares markfit's start with a one-window Qt program,
# under offscreen (or under Xvfb with STARTUP_BENCH_XVFB=1).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build/bench"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARKFIT_BENCH=ON -DMARKFIT_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target markfit startup_bench >/dev/null
if [ "${STARTUP_BENCH_XVFB:-0}" = 1 ]; then
  export QT_QPA_PLATFORM=xcb
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$build/bench/startup_bench" --runs "${1:-15}"
fi
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
exec "$build/bench/startup_bench" --runs "${1:-15}"
