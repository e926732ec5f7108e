#!/usr/bin/env bash
# scanlog's pace and report speed:
#  - pace accuracy of `scanlog play`: 750 records at 75 Hz into /dev/null, which should take
#    10 s (within 1%); the wall time and the largest lateness of any record;
#  - `scanlog info` on 100,000 generated records (best of 3).
# Usage: bench/player_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }

echo "== scanlog play: 750 records at 75 Hz into /dev/null (10 s wanted)"
"$build/make_scan_log" --scans 750 > "$work/pace.scans"
start=$(now)
"$build/scanlog" play --rate 75 "$work/pace.scans" > /dev/null 2> "$work/summary.txt"
end=$(now)
awk -v a="$start" -v b="$end" 'BEGIN {
  took = b - a; off = (took - 10) / 10 * 100
  printf "wall time, start to exit:  %.3f s (%+.2f%% of 10 s)\n", took, off }'
latest=$(grep -o 'latest record [0-9.]* ms late' "$work/summary.txt" | awk '{ print $3 }')
echo "largest lateness of a record: ${latest} ms"
echo "the player's summary: $(cat "$work/summary.txt")"

echo
echo "== scanlog info on 100,000 records"
"$build/make_scan_log" --scans 100000 > "$work/info.scans"
best=""
for _ in 1 2 3; do
  start=$(now)
  "$build/scanlog" info "$work/info.scans" > /dev/null
  end=$(now)
  took=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
  if [ -z "$best" ] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$took; fi
done
printf 'best of 3: %.3f s (goal: under 1 s), %s MB of scan file\n' "$best" \
  "$(du -m "$work/info.scans" | cut -f1)"
