#!/usr/bin/env bash
# Runs a command on the current X display with a window manager (openbox) beside it: windows
# then get frames, and focus and Alt+mnemonics behave as on a desktop. Waits until the manager
# has taken the display, and stops it when the command ends, with the command's status.
#
#   scripts/with-wm.sh COMMAND [ARGUMENTS...]
set -uo pipefail
command -v openbox >/dev/null || { echo "with-wm: openbox is missing (scripts/deps.sh)" >&2; exit 1; }
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
# The manager announces itself on the root window; a command started before would meet a
# display without one.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    kill -0 "$wm" 2>/dev/null || { echo "with-wm: openbox ended at once" >&2; exit 1; }
    sleep 0.05
done
"$@"
rc=$?
kill "$wm" 2>/dev/null
wait "$wm" 2>/dev/null
exit $rc
