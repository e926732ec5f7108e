#!/usr/bin/env bash
# Plays a scan log in the window at the sensor's own pace, 75 scans a second, fed through a
# named pipe the way a live stream arrives. With no display it plays on a virtual one instead
# and saves a picture of the window, taken while the last scan is on screen.
# Usage: tools/demo.sh BUILD_DIR LOG
set -euo pipefail
build=$(cd "$1" && pwd)
log=$2
program="$build/rangeScanInspector"
out="$build/demo"
mkdir -p "$out"

if [ -z "${DEMO_ON_VIRTUAL_DISPLAY:-}" ] && ! xdpyinfo > /dev/null 2>&1; then
  echo "No display found: playing on a virtual display, and saving a picture of the window."
  runtime=$(mktemp -d)
  chmod 700 "$runtime"
  export XDG_RUNTIME_DIR=$runtime DEMO_ON_VIRTUAL_DISPLAY=1
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  status=0
  xvfb-run -a -s "-screen 0 1600x1024x24 -nolisten tcp" "$0" "$build" "$log" || status=$?
  rm -rf "$runtime"
  exit $status
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/live.scans"
"$program" "$work/live.scans" > "$out/echo.txt" &
pid=$!
exec 3> "$work/live.scans"

echo "Playing $log in the window \"rangeScanInspector\" (the echo goes to $out/echo.txt)."
scans=0
while IFS= read -r line; do
  printf '%s\n' "$line" >&3
  scans=$((scans + 1))
  sleep 0.0133
done < "$log"
sleep 2  # the last scan stays on screen while the pipe is open

if [ -n "${DEMO_ON_VIRTUAL_DISPLAY:-}" ]; then
  window=$(xdotool search --name '^rangeScanInspector$' | head -n 1)
  import -window "$window" "$out/rangeScanInspector.png"
  echo "Saved a picture of the window: $out/rangeScanInspector.png"
fi
exec 3>&-
wait "$pid"
echo "Played $scans lines of $log; the program ended with status 0."
