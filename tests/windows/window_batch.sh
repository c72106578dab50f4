#!/usr/bin/env bash
# The window under wine in batch mode, on a virtual screen (Xvfb) with a window manager
# (openbox): `dicom-converter.exe INPUT OUTPUT` shows the study; Return presses Save, the
# default button, which writes OUTPUT with the Linux dicom2gsd's very bytes and ends with 0. A
# second start is left with Escape (Cancel): the exit status is -1, which a Linux parent sees as
# 255 and cmd.exe's %ERRORLEVEL% as -1. Help opens dicom.chm beside the program through the
# shell. The screen with the window on it goes to SCREENSHOT.
#   window_batch.sh BUILD_DIR INPUT WORKDIR LINUX_DICOM2GSD SCREENSHOT
set -euo pipefail

build=$1 input=$2 work=$3 linux=$4 screenshot=$5
rm -rf "$work"
mkdir -p "$work"
export WINE=${WINE:-wine} WORK=$work
win() { echo "Z:$(realpath -m "$1" | tr / '\\')"; }
export WINDOW_EXE WINDOW_INPUT WINDOW_OUTPUT WINDOW_CANCELLED SCREENSHOT=$screenshot
WINDOW_EXE=$(win "$build/dicom-converter.exe")
WINDOW_INPUT=$(win "$input")
WINDOW_OUTPUT=$(win "$work/saved.gsd")
WINDOW_CANCELLED=$(win "$work/cancelled.gsd")
export WINDOW_SCRIPT WINDOW_HELP
WINDOW_HELP=$(win "$build/dicom.chm")
WINDOW_SCRIPT=$(win "$work/cancel.cmd")

# A wine prefix of its own, made on the virtual screen: a prefix's desktop draws on the display
# its first program found, and one made without any draws no window.
export WINEPREFIX=$work/wine

# On the virtual screen: the window manager, then each start of the window.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -u
  wineboot -i </dev/null >/dev/null 2>&1
  # The form'"'"'s font is Arial, which every Windows has and wine has not: wine draws it
  # with Liberation Sans (fonts-liberation2), made to Arial'"'"'s metrics, as on Linux.
  "$WINE" reg add "HKCU\\Software\\Wine\\Fonts\\Replacements" /v Arial /d "Liberation Sans" /f \
    </dev/null >/dev/null 2>&1
  openbox >/dev/null 2>&1 &
  # The window, once it is mapped and has painted.
  wait_for_window() {
    for _ in $(seq 1 120); do
      id=$(xdotool search --onlyvisible --name "^DICOM Data Converter" 2>/dev/null | head -n 1)
      [ -n "$id" ] && { sleep 2; echo "$id"; return 0; }
      sleep 0.5
    done
    return 1
  }
  "$WINE" "$WINDOW_EXE" "$WINDOW_INPUT" "$WINDOW_OUTPUT" >"$WORK/saved.log" 2>&1 &
  window=$!
  id=$(wait_for_window) || { echo "the window did not appear"; cat "$WORK/saved.log"; exit 1; }
  import -window root "$SCREENSHOT"
  xdotool windowactivate --sync "$id" key Return
  wait $window
  echo "save $?" >"$WORK/saved.status"

  # cmd.exe waits for the window (start /wait) and shows its exit status:
  # a batch file, whose lines are read one at a time (a status on the line
  # of its command would be the one before) and whose quotes reach cmd.exe
  # as written.
  printf "@start /wait \"\" \"%s\" \"%s\" \"%s\"\r\n@echo cmd %%ERRORLEVEL%%\r\n" \
    "$WINDOW_EXE" "$WINDOW_INPUT" "$WINDOW_CANCELLED" >"$WORK/cancel.cmd"
  "$WINE" cmd /c "$WINDOW_SCRIPT" >"$WORK/cancelled.log" 2>&1 &
  shell=$!
  id=$(wait_for_window) || { echo "the window did not appear twice"; exit 1; }
  xdotool windowactivate --sync "$id" key Escape
  wait $shell
  "$WINE" "$WINDOW_EXE" "$WINDOW_INPUT" "$WINDOW_CANCELLED" >/dev/null 2>&1 &
  window=$!
  id=$(wait_for_window) || { echo "the window did not appear a third time"; exit 1; }
  xdotool windowactivate --sync "$id" key Escape
  wait $window
  echo "cancel $?" >"$WORK/cancelled.status"

  # Help (Alt+H) in the window without a study: the shell opens dicom.chm
  # beside the program with its viewer (wine: hh.exe).
  "$WINE" "$WINDOW_EXE" >/dev/null 2>&1 &
  window=$!
  id=$(wait_for_window) || { echo "the window did not appear a fourth time"; exit 1; }
  xdotool windowactivate --sync "$id" key alt+h
  viewer=""
  for _ in $(seq 1 60); do
    viewer=$(ps -eo pid=,args= | grep -F "hh.exe $WINDOW_HELP" | grep -v grep | awk "{ print \$1 }" | head -n 1)
    [ -n "$viewer" ] && break
    sleep 0.5
  done
  echo "viewer ${viewer:+started}" >"$WORK/help.status"
  [ -z "$viewer" ] || kill "$viewer"
  xdotool windowactivate --sync "$id" key Escape
  wait $window
  wineserver -k
'

"$linux" "$input" "$work/reference.gsd" >/dev/null
failed=0
[ "$(cat "$work/saved.status")" = "save 0" ] || { echo "Save: $(cat "$work/saved.status")"; failed=1; }
cmp "$work/saved.gsd" "$work/reference.gsd" || { echo "the window's GSD differs from Linux's"; failed=1; }
[ "$(cat "$work/cancelled.status")" = "cancel 255" ] ||
  { echo "Cancel, through wine: $(cat "$work/cancelled.status")"; failed=1; }
grep -q "cmd -1" "$work/cancelled.log" || { echo "Cancel, cmd.exe: $(cat "$work/cancelled.log")"; failed=1; }
[ ! -e "$work/cancelled.gsd" ] || { echo "Cancel wrote a file"; failed=1; }
[ "$(cat "$work/help.status")" = "viewer started" ] || { echo "Help started no viewer of dicom.chm"; failed=1; }
[ -s "$screenshot" ] || { echo "no screenshot"; failed=1; }
exit $failed
