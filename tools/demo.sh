#!/usr/bin/env bash
# Shows a scan log in the window with `scanlog view`, at the sensor's own pace, 75 scans a
# second. On a terminal the keys work and the last scan stays on screen until q. With no
# display it plays on a virtual one instead, through a pseudo-terminal so that the last scan
# stays, takes a picture of the window while it is on screen, and checks that the window
# shows the last scan pixel for pixel as `scanlog render` draws it: that drawing is saved as
# the demo's picture, the same bytes on every release (the toolkit's toolbar around it is not).
# Usage: tools/demo.sh BUILD_DIR LOG [VIEW OPTIONS...]   (--zoom 1, --facing 90 ...)
set -euo pipefail
build=$(cd "$1" && pwd)
log=$2
shift 2
options=("$@")
scanlog="$build/scanlog"
out="$build/demo"
mkdir -p "$out"

if [ -z "${DEMO_ON_VIRTUAL_DISPLAY:-}" ] && ! xdpyinfo > /dev/null 2>&1; then
  echo "No display found: playing on a virtual display, and saving a picture of the window."
  runtime=$(mktemp -d)
  chmod 700 "$runtime"
  export XDG_RUNTIME_DIR=$runtime DEMO_ON_VIRTUAL_DISPLAY=1
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  status=0
  xvfb-run -a -s "-screen 0 1600x1024x24 -nolisten tcp" "$0" "$build" "$log" "${options[@]}" || status=$?
  rm -rf "$runtime"
  exit $status
fi

if [ -z "${DEMO_ON_VIRTUAL_DISPLAY:-}" ]; then
  echo "Showing $log in the window \"rangeScanInspector\" (the echo goes to $out/echo.txt)."
  if [ -t 0 ]; then
    echo "Keys: space pauses, s or right arrow steps, left arrow steps back, up and down change the speed, + and - zoom, q quits."
  fi
  exec "$scanlog" view --echo "$out/echo.txt" "${options[@]}" "$log"
fi

# On the virtual display, `scanlog view` runs on a pseudo-terminal made by script(1): there
# it keeps the last scan on screen at the end of the log, until it is sent q.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/keys"
records=$("$scanlog" info "$log" | awk '$1 == "scans" { print $2 }')
rm -f "$out/echo.txt"
script -qfec "$(printf '%q ' "$scanlog" view --echo "$out/echo.txt" "${options[@]}" "$log")" /dev/null \
  < "$work/keys" > "$work/terminal.txt" &
pid=$!
exec 3> "$work/keys"

# The viewer's transcript is its banner and two lines a record: the last scan is drawn once
# they are all there.
wanted=$((1 + 2 * records))
while [ "$(cat "$out/echo.txt" 2> /dev/null | wc -l)" -lt "$wanted" ]; do
  if ! kill -0 "$pid" 2> /dev/null; then
    echo "scanlog view ended before the end of the log:" >&2
    tr '\r' '\n' < "$work/terminal.txt" >&2
    exit 1
  fi
  sleep 0.2
done
sleep 1  # a moment for the window to paint the last scan
window=$(xdotool search --name '^rangeScanInspector$' | head -n 1)
import -window "$window" "$out/window.png"
printf q >&3
exec 3>&-
wait "$pid"
tr '\r' '\n' < "$work/terminal.txt" | grep -o 'scanlog: played.*' || true
echo "Saved a picture of the window: $out/window.png"
"$scanlog" render "${options[@]}" "$log" -o "$out/rangeScanInspector.png" > /dev/null
if ! "$build/window_shows" "$out/window.png" "$out/rangeScanInspector.png"; then
  echo "The window did not show the last scan as scanlog render draws it ($out/rangeScanInspector.png)." >&2
  exit 1
fi
echo "The window showed the last scan pixel for pixel as drawn in $out/rangeScanInspector.png"
