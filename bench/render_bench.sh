#!/usr/bin/env bash
# scanlog render's speed: frames a second written as PNG frames and as an MP4 video, one frame
# a record, on about 5,000 real scans (or generated ones when the shared real logs are not
# beside the project). Needs no display.
# Usage: bench/render_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

real="$here/../../shared/data/csail.scans"
if [ -r "$real" ]; then
  for _ in $(seq 13); do cat "$real"; done | head -n 5000 > "$work/render.scans"
  source="5000 real scans (csail.scans repeated)"
else
  "$build/make_scan_log" --scans 5000 > "$work/render.scans"
  source="5000 generated scans"
fi
records=$(wc -l < "$work/render.scans")

# Frames a second of the best of N runs of scanlog render --every-record to OUT.
frames_a_second() {
  local runs=$1 out=$2 best=""
  for _ in $(seq "$runs"); do
    rm -rf "$work/out" && mkdir "$work/out"
    local start end took
    start=$(date +%s.%N)
    "$build/scanlog" render --every-record --zoom 1 "$work/render.scans" -o "$work/out/$out" 2> /dev/null
    end=$(date +%s.%N)
    took=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
    if [ -z "$best" ] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$took; fi
  done
  awk -v n="$records" -v t="$best" 'BEGIN { printf "%.0f frames a second (%.2f s)", n / t, t }'
}

echo "== scanlog render --every-record of $source, no display"
printf '%-12s %s (goal 300)\n' "PNG frames" "$(frames_a_second 3 'f-%05d.png')"
printf '%-12s %s (goal 150)\n' "MP4 (H.264)" "$(frames_a_second 3 'video.mp4')"
