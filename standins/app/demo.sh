#!/bin/sh
# The demo: the bundle's runner with its Python program.
#
#   demo.sh BUNDLE WITH_DISPLAY OUTPUT_DIR
#
# With a display (DISPLAY or WAYLAND_DISPLAY set) it opens the window and
# runs until the window is closed. Without one it runs under Xvfb with
# openbox (the display harness WITH_DISPLAY), drives the application through
# a script of inputs, and writes a screenshot OUTPUT_DIR/demo.png. Either way
# the messages of both directions go to OUTPUT_DIR/demo-transcript.txt, and
# the exit status is the run's.
set -eu
bundle=$1 harness=$2 out=$3
runner="$bundle/bin/runner"
mkdir -p "$out"
export NORVALE_APP_TRANSCRIPT="$out/demo-transcript.txt"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$runner"
fi

rm -f "$out/demo.png"
# Steps of the application's script, one after the other; "await" waits for
# the program's next message of that kind, never for a time.
NORVALE_APP_SCRIPT="await ready; await button"
NORVALE_APP_SCRIPT="$NORVALE_APP_SCRIPT; send echo	Hello from the Dart side; await echoed"
NORVALE_APP_SCRIPT="$NORVALE_APP_SCRIPT; click compute; await computed"
NORVALE_APP_SCRIPT="$NORVALE_APP_SCRIPT; click refresh; await show"
NORVALE_APP_SCRIPT="$NORVALE_APP_SCRIPT; screenshot $out/demo.png; click quit"
export NORVALE_APP_SCRIPT
status=0
"$harness" --wm=openbox -- "$runner" || status=$?
echo "demo: screenshot $out/demo.png, transcript $NORVALE_APP_TRANSCRIPT, status $status"
exit "$status"
