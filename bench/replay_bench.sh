#!/usr/bin/env bash
# Whole-program replay speed and memory, on one private virtual display:
#  - the program against the straightforward loop that never lets the window paint, and the
#    one that paints after every pass (cv::waitKey(1)), on about 5,000 real scans (or
#    generated ones when the shared real logs are not beside the project);
#  - peak memory for 10,000 and 100,000 generated records;
#  - the read-and-echo stage against iostream, in Google Benchmark.
# Usage: bench/replay_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -z "${BENCH_ON_DISPLAY:-}" ]; then
  mkdir -m 700 "$work/runtime"
  export XDG_RUNTIME_DIR="$work/runtime"
  export BENCH_ON_DISPLAY=1
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  exec xvfb-run -a -s "-screen 0 1600x1024x24 -nolisten tcp" "$0" "$build"
fi

real="$here/../../shared/data/csail.scans"
if [ -r "$real" ]; then
  for _ in $(seq 13); do cat "$real"; done > "$work/repeated.scans"
  head -n 5000 "$work/repeated.scans" > "$work/replay.scans"
  source="5000 real scans (csail.scans repeated)"
else
  "$build/make_scan_log" --scans 5000 > "$work/replay.scans"
  source="5000 generated scans"
fi

# Wall-clock seconds of the best of N runs, standard output to /dev/null.
best_of() {
  local runs=$1; shift
  local best=""
  for _ in $(seq "$runs"); do
    local start end took
    start=$(date +%s.%N)
    "$@" > /dev/null
    end=$(date +%s.%N)
    took=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
    if [ -z "$best" ] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$took; fi
  done
  printf '%.3f' "$best"
}

echo "== Replay of $source, standard output to /dev/null"
ours=$(best_of 3 "$build/rangeScanInspector" "$work/replay.scans")
no_paint=$(best_of 3 "$build/bench/baseline_no_paint" "$work/replay.scans")
paint=$(best_of 1 "$build/bench/baseline_paint" "$work/replay.scans")
printf '%-44s %8s s\n' "rangeScanInspector" "$ours" \
  "straightforward loop, window never paints" "$no_paint" \
  "straightforward loop, paints every pass" "$paint"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
echo "faster than the never-painting loop: $(ratio "$no_paint" "$ours")x (goal 3x)"
echo "faster than the painting loop:       $(ratio "$paint" "$ours")x (goal 10x)"

echo
echo "== Peak memory (maximum resident set size)"
for records in 10000 100000; do
  "$build/make_scan_log" --scans "$records" > "$work/memory.scans"
  /usr/bin/time -f "%M" -o "$work/rss" "$build/rangeScanInspector" "$work/memory.scans" > /dev/null
  printf '%7d records: %6d KB\n' "$records" "$(cat "$work/rss")"
  rm -f "$work/memory.scans"
done

echo
echo "== Read and echo, 10,000 records, against std::ifstream >> and std::cout <<"
"$build/bench/reader_bench" --benchmark_min_time=1
