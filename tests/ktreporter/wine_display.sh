#!/bin/sh
# wine_display.sh PREFIX XVFB_RUN COMMAND...: runs a Windows program that opens windows in a Wine session of
# its own (the prefix is this test's alone) on a private virtual display. Wine's desktop process
# takes the display of the session's first program, and a desktop left on a display that has gone
# creates no windows: so no session is shared with another display.
set -eu
export KT_WINEPREFIX="$1" WINEPREFIX="$1"
xvfb_run=$2
shift 2
# A session of an earlier run, still ending, would keep that run's display for its desktop.
if [ -d "$WINEPREFIX" ]; then wineserver -w; fi
exec "$xvfb_run" -a -s "-screen 0 1280x800x24 -nolisten tcp" "$@"
