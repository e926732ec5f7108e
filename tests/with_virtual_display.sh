#!/usr/bin/env bash
# Runs a command on a private virtual X display that exists only for this run, with a private
# runtime folder so that Qt has nothing to complain about.
set -eu
runtime=$(mktemp -d)
chmod 700 "$runtime"
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR=$runtime
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$@"
