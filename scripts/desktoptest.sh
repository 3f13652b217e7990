#!/usr/bin/env bash
# The main window on a real X desktop: Xvfb with the Openbox window manager and a PulseAudio
# sound server, driven by real input events (xdotool). Checks that the Output Format list opens
# at its box, that a dialog and a message box open over the main window, that the Help menu opens
# under its button inside the window, that a document the desktop cannot open is reported in a
# message box (a fake xdg-open that fails comes first on the PATH), that the Normalization dialog
# opens over the window, and that a conversion ends with its summary in the status line. Then,
# with 20 rows: Remove All clears the summary, the headings fit the list without a horizontal
# scroll bar, a batch on two jobs only moves its percentage forward, nothing is written while the
# Cancel question is open (and the summary's time leaves that out), the summary names the files
# left partial and opens the log, a press and release with no move between leaves the window in
# its place while a real drag moves it, and Exit after all that (and a preview) ends the program
# promptly. The window's own view of its windows and status line comes from its trace switch
# (QUORVIN_TRACE_WINDOWS, see src/ui/windowtrace.h); where the windows really are comes from the
# X server. Every wait polls for its condition with a time limit; the only fixed sleeps are the
# spans over which something must not happen (bytes written, the window moving).
# Usage: scripts/desktoptest.sh BUILD_DIR   (with the targets quorvin and qvfaac built)
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR}
program=$build/src/ui/quorvin
for tool in Xvfb openbox xdotool xwininfo import ffmpeg pulseaudio; do
  command -v "$tool" >/dev/null || { echo "desktoptest: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "desktoptest: FAILED: $*" >&2
  [[ -n ${display:-} ]] && import -display ":$display" -window root "$build/desktoptest-failure.png" 2>/dev/null &&
    echo "desktoptest: the screen is in $build/desktoptest-failure.png" >&2
  local log
  for log in xvfb openbox pulseaudio; do
    [[ -s $work/$log.log ]] && { echo "--- $log:" >&2; cat "$work/$log.log" >&2; }
  done
  echo "--- the program's trace:" >&2
  cat "$work/trace.log" >&2 2>/dev/null || true
  exit 1
}

# wait_for SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
  local seconds=$1 what=$2 deadline
  shift 2
  deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# The last trace line of a kind after line number $mark ("show QMenu", "status"...).
trace_after() { tail -n "+$((mark + 1))" "$work/trace.log" | grep -F "qv-trace: $1" | tail -n 1; }
has_trace() { [[ -n $(trace_after "$1") ]]; }
mark_trace() { mark=$(wc -l <"$work/trace.log"); }
# x y w h of a trace line "... X,Y WxH ..."
trace_geometry() { sed -E 's/.*" (-?[0-9]+),(-?[0-9]+) ([0-9]+)x([0-9]+).*/\1 \2 \3 \4/' <<<"$1"; }

# Xvfb picks a free display itself (-displayfd): a display number found free by its lock file
# may still be held by a server whose socket lives in another namespace.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/displayfd" >"$work/xvfb.log" 2>&1 &
pids+=($!)
xvfb_pid=$!
read -r -t 20 display <"$work/displayfd" || true
[[ -n ${display:-} ]] || fail "Xvfb did not start"
export DISPLAY=:$display
unset WAYLAND_DISPLAY SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS
wait_for 10 "the X server" xdpyinfo -display ":$display" >/dev/null 2>&1
# Fontconfig builds its cache on a first use; let that happen before the timed waits.
command -v fc-list >/dev/null && fc-list >/dev/null 2>&1
# Openbox is up when the root window names a check window that exists on this server (the
# property outlives a window manager that has gone).
wm_running() {
  kill -0 "$openbox_pid" 2>/dev/null || return 2
  local check
  check=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | sed -n 's/.*window id # //p')
  [[ -n $check ]] && xprop -id "$check" _NET_WM_NAME >/dev/null 2>&1
}
# Now and then Openbox cannot open a display that has just answered xdpyinfo, and ends at once
# ("Failed to open the display"): it is started again, up to three times.
for attempt in 1 2 3; do
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  pids+=($!)
  openbox_pid=$!
  deadline=$((SECONDS + 30))
  status=1
  while ((SECONDS < deadline)); do
    status=0
    wm_running || status=$?
    ((status == 1)) || break
    sleep 0.1
  done
  ((status == 0)) && break
  ((status == 2)) || fail "timed out waiting for the window manager"
  echo "desktoptest: Openbox ended at its start (attempt $attempt): $(tr '\n' ' ' <"$work/openbox.log")"
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb ended"
  sleep 1
done
((status == 0)) || fail "Openbox ended"
kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb ended"

# A sound server of our own, PulseAudio with a null sink: the preview and Exit open and close a
# real audio device, as on a desktop, not SDL's dummy driver.
mkdir -p "$work/pulse"
chmod 700 "$work/pulse"
HOME="$work/pulse" XDG_RUNTIME_DIR="$work/pulse" pulseaudio --daemonize=no -n \
  --exit-idle-time=-1 --realtime=no --high-priority=no --disable-shm=yes \
  --load="module-null-sink sink_name=quorvin" \
  --load="module-native-protocol-unix auth-anonymous=1 socket=$work/pulse/native" \
  >"$work/pulseaudio.log" 2>&1 &
pids+=($!)
sound_server_up() { [[ -S $work/pulse/native ]]; }
wait_for 20 "the sound server" sound_server_up

# A configuration of our own, one short source file, and a launcher that cannot open anything.
mkdir -p "$work/appdata/Quorvin 1" "$work/music" "$work/out" "$work/bin" "$work/tmp"
cat >"$work/appdata/Quorvin 1/Quorvin1.ini" <<INI
[Quorvin 1]
FFMpegExe=$(command -v ffmpeg)
FFMpegAud=-vn
FAACExe=$build/src/qvfaac/qvfaac
autoplayonopen=0
jobs=2
SourceFilePath=$work/music
DestinationFolderPath=$work/out
INI
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:duration=2" \
  "$work/music/tone.wav"
printf '#!/bin/sh\necho "xdg-open: no method available for opening $1" >&2\nexit 1\n' \
  >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"

: >"$work/trace.log"
env PATH="$work/bin:$PATH" APPDATA="$work/appdata" TMPDIR="$work/tmp" \
  XDG_RUNTIME_DIR="$work/tmp" QT_QPA_PLATFORM=xcb SDL_AUDIODRIVER=pulseaudio PULSE_SERVER="unix:$work/pulse/native" \
  QUORVIN_TRACE_WINDOWS=1 "$program" >"$work/program.log" 2>"$work/trace.log" &
pids+=($!)
mark=0

main_window() {
  local id
  for id in $(xdotool search --onlyvisible --name '^Quorvin$' 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    if ((WIDTH == 863)); then
      main_id=$id wx=$X wy=$Y
      return 0
    fi
  done
  return 1
}
wait_for 20 "the main window" main_window
wait_for 10 "the idle status line" has_trace 'status "Ready"'
echo "desktoptest: main window at $wx,$wy (placed by the window manager)"

# Where Qt thinks the main window is must be where it is.
qt_main=$(trace_after "move qv::CQuorvinDlg")
[[ -z $qt_main ]] && qt_main=$(trace_after "show qv::CQuorvinDlg")
read -r qx qy _ _ <<<"$(trace_geometry "$qt_main")"
((qx == wx && qy == wy)) || fail "Qt places the main window at $qx,$qy, the X server at $wx,$wy"

# click X Y: a real click at a place of the main window (its frame coordinates).
click() { xdotool mousemove "$((wx + $1))" "$((wy + $2))" click 1; }
near() { (($1 - $2 <= $3 && $2 - $1 <= $3)); }
# centred_over_main NAME: a visible window named NAME (other than the main window) whose centre
# the X server puts within 60 pixels of the main window's centre.
centred_over_main() {
  local id
  for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
    [[ $id == "$main_id" ]] && continue
    eval "$(xdotool getwindowgeometry --shell "$id")"
    if near $((X + WIDTH / 2)) $((wx + 863 / 2)) 60 && near $((Y + HEIGHT / 2)) $((wy + 399 / 2)) 60; then
      echo "desktoptest: $1 over the main window at $X,$Y (${WIDTH}x$HEIGHT)"
      return 0
    fi
  done
  return 1
}

# The Output Format list (its box at 95,309 in the window, 22 high) opens at its box.
mark_trace
click 150 318
wait_for 10 "the Output Format list" has_trace "show QComboBoxPrivateContainer"
read -r px py _ _ <<<"$(trace_geometry "$(trace_after "show QComboBoxPrivateContainer")")"
near "$px" $((wx + 95)) 3 && ((py >= wy + 300 && py <= wy + 340)) ||
  fail "the Output Format list opened at $px,$py, its box is at $((wx + 95)),$((wy + 309))"
echo "desktoptest: Output Format list at $px,$py"
xdotool key Escape
wait_for 10 "the Output Format list to close" has_trace "hide QComboBoxPrivateContainer"

# Options opens its dialog over the main window.
mark_trace
click 553 57
wait_for 10 "the Options dialog" has_trace "show qv::CQVDefaultFileLocationsDlg"
wait_for 10 "the Options dialog over the main window" centred_over_main '^Default File Locations'

dialog_gone() { [[ -z $(xdotool search --onlyvisible --name '^Default File Locations' 2>/dev/null) ]]; }
xdotool key Escape
wait_for 10 "the Options dialog to close" dialog_gone

# Help opens under its button, inside the window; its User Guide cannot be opened here, and a
# message box over the main window says so.
mark_trace
click 826 57
wait_for 10 "the Help menu" has_trace "show QMenu"
read -r mx my mw _ <<<"$(trace_geometry "$(trace_after "show QMenu")")"
((my >= wy + 80 && my <= wy + 90 && mx + mw <= wx + 863)) ||
  fail "the Help menu opened at $mx,$my (${mw} wide), not under its button inside the window"
echo "desktoptest: Help menu at $mx,$my"
xdotool mousemove $((mx + 30)) $((my + 12)) click 1
wait_for 10 "the Help menu to close" has_trace "hide QMenu"
wait_for 15 "the message about the document" has_trace "show QMessageBox \"Quorvin\""
grep -q "text \"Can't open:.*README.md" <<<"$(trace_after "show QMessageBox")" ||
  fail "the message box does not name the document: $(trace_after "show QMessageBox")"
wait_for 10 "the message box over the main window" centred_over_main '^Quorvin$'
message_gone() { [[ -z $(xdotool search --onlyvisible --name '^Quorvin$' 2>/dev/null | grep -vx "$main_id") ]]; }
xdotool key Return
wait_for 10 "the message box to close" message_gone

# Add Files: the file chooser over the window, the file typed in, the summary answered.
mark_trace
click 42 57
wait_for 10 "the file chooser" has_trace "show QFileDialog"
wait_for 10 "the file chooser over the main window" centred_over_main '^Select Source File'
xdotool type --delay 5 "$work/music/tone.wav"
xdotool key Return
wait_for 15 "the summary of the add" has_trace "show QMessageBox"
grep -q 'text "Added 1 new file' <<<"$(trace_after "show QMessageBox")" ||
  fail "unexpected message: $(trace_after "show QMessageBox")"
xdotool key Return
wait_for 10 "the summary to close" message_gone

# Normalization opens its dialog over the main window; Return presses its OK.
mark_trace
click 405 57
wait_for 10 "the Normalization dialog" has_trace "show qv::CQVNormalizationDlg"
wait_for 10 "the Normalization dialog over the main window" centred_over_main '^Normalization$'
import -window root "$build/desktoptest-normalization.png"
normalization_gone() { [[ -z $(xdotool search --onlyvisible --name '^Normalization$' 2>/dev/null) ]]; }
xdotool key Return
wait_for 10 "the Normalization dialog to close" normalization_gone

# Convert: the status line says what runs from the start and ends with the summary.
mark_trace
click 822 333
wait_for 60 "the summary of the conversion" has_trace 'status "Converted 1 of 1 file in'
first_status=$(tail -n "+$((mark + 1))" "$work/trace.log" | grep -F 'qv-trace: status' | head -n 1)
grep -q 'status "Converting' <<<"$first_status" || fail "the batch began with $first_status"
[[ -f $work/out/tone.wav ]] || fail "no output file in $work/out"
echo "desktoptest: $(trace_after 'status "' | sed 's/^qv-trace: //')"
import -window root "$build/desktoptest.png"

# Remove All: the summary of rows that are gone gives way to "Ready".
mark_trace
click 254 57
wait_for 10 "Ready after Remove All" has_trace 'status "Ready"'

# 20 rows (more than the list shows at once): 16 short files, then four long ones.
names=()
for i in $(seq -w 1 20); do
  seconds=3
  ((10#$i <= 16)) || seconds=120
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=$((200 + 10#$i * 20)):duration=$seconds" \
    -ac 2 "$work/music/t$i.flac"
  names+=("\"t$i.flac\"")
done
mark_trace
click 42 57
wait_for 10 "the file chooser" has_trace "show QFileDialog"
xdotool type --delay 5 "${names[*]}"
xdotool key Return
wait_for 30 "the summary of the add" has_trace "show QMessageBox"
grep -q 'text "Added 20 new files' <<<"$(trace_after "show QMessageBox")" ||
  fail "unexpected message: $(trace_after "show QMessageBox")"
xdotool key Return
wait_for 10 "the summary to close" message_gone
# The headings are no wider than the list, and no horizontal scroll bar shows.
list_line=$(grep -F "qv-trace: list headings" "$work/trace.log" | tail -n 1 || true)
read -r headings room <<<"$(sed -E 's/.*headings ([0-9]+) of ([0-9]+) wide.*/\1 \2/' <<<"$list_line")"
[[ -n $headings && $headings -le $room && $list_line == *"scroll bar hidden"* ]] ||
  fail "the headings do not fit the list: $list_line"
echo "desktoptest: $list_line"
import -window root "$build/desktoptest-columns.png"

# MP3 (the entry after WAV), two files at once.
mark_trace
click 150 318
wait_for 10 "the Output Format list" has_trace "show QComboBoxPrivateContainer"
xdotool key Down Return
wait_for 10 "the Output Format list to close" has_trace "hide QComboBoxPrivateContainer"

# The written bytes of every output, hidden or named.
out_bytes() { find "$work/out" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'; }
short_done() { [[ $(trace_after 'status "') =~ \ ([0-9]+)\ of\ 20\ files\ done && ${BASH_REMATCH[1]} -ge 16 ]]; }
mark_trace
batch_mark=$mark
started=$(date +%s.%N)
click 822 333
wait_for 60 "the short files to be converted" short_done
# Cancel: while its question is open the running files wait, so nothing more is written.
click 825 382
cancel_question() { [[ $(trace_after 'show QMessageBox') == *'text "Cancel the File Conversion?"'* ]]; }
wait_for 10 "the Cancel question" cancel_question
sleep 0.3  # a block under way when the question opened ends
before=$(out_bytes)
sleep 2  # the span over which nothing may be written
after=$(out_bytes)
((before == after)) || fail "$((after - before)) bytes were written while the Cancel question was open"
echo "desktoptest: nothing written while the Cancel question was open ($before bytes)"
xdotool key alt+y
wait_for 60 "the summary of the cancelled batch" has_trace 'status "Converted'
ended=$(date +%s.%N)
summary=$(trace_after 'status "Converted')
echo "desktoptest: ${summary#qv-trace: }"
grep -q '(cancelled, [0-9]* left partial) in ' <<<"$summary" || fail "the summary names no partial files"
has_trace "status link \"$work/tmp/" || fail "the summary does not offer the log"
# Its time leaves out the 2.3 s the question stood open.
read -r minutes secs <<<"$(sed -E 's/.* in ([0-9]+):([0-9]+)\..*/\1 \2/' <<<"$summary")"
awk -v s=$((10#$minutes * 60 + 10#$secs)) -v a="$started" -v b="$ended" \
  'BEGIN { exit !(s <= b - a - 2.3 + 1) }' || fail "the summary's time counts the open question"
# The percentage only moved forward.
percents=$(tail -n "+$((batch_mark + 1))" "$work/trace.log" |
  sed -nE 's/.*qv-trace: status "Converting\.\.\.  [0-9]+ of 20 files done - ([0-9]+)%".*/\1/p')
[[ -n $percents ]] || fail "the batch showed no percentage"
awk 'NR > 1 && $1 < last { exit 1 } { last = $1 }' <<<"$percents" ||
  fail "the percentage went back: $(tr '\n' ' ' <<<"$percents")"
echo "desktoptest: percentages $(tr '\n' ' ' <<<"$percents")"
# The rows left partial are the last ones: the list scrolled to its end shows their marks.
xdotool mousemove $((wx + 400)) $((wy + 200)) click --repeat 10 5
import -window root "$build/desktoptest-partial.png"

# The summary opens the log (which the fake launcher cannot: its message names the log).
mark_trace
click 100 381
wait_for 15 "the message about the log" has_trace "show QMessageBox \"Quorvin\""
grep -q "text \"Can't open:.*QV_Log" <<<"$(trace_after "show QMessageBox")" ||
  fail "the status line did not open the log: $(trace_after "show QMessageBox")"
xdotool key Return
wait_for 10 "the message box to close" message_gone

# A press and release with no move between (a touchpad tap) starts no move: the window stays
# where it is when the pointer goes on.
main_window
before_x=$wx before_y=$wy
xdotool mousemove $((wx + 303)) $((wy + 15)) mousedown 1 mouseup 1
xdotool mousemove_relative --sync 150 120
xdotool mousemove_relative --sync 40 30
sleep 0.5  # the window manager would follow the pointer within this time
main_window
((wx == before_x && wy == before_y)) ||
  fail "a click without a move moved the window from $before_x,$before_y to $wx,$wy"
# A real drag moves it, and Qt hears where it went.
xdotool mousemove $((wx + 303)) $((wy + 15)) mousedown 1
for step in 1 2 3 4 5 6; do xdotool mousemove_relative --sync 10 5; sleep 0.05; done
xdotool mouseup 1
moved() { main_window && ((wx != before_x || wy != before_y)); }
wait_for 10 "the window to be dragged" moved
wait_for 10 "Qt to hear of the move" has_trace "move qv::CQuorvinDlg \"Quorvin\" $wx,$wy "
echo "desktoptest: a click left the window at $before_x,$before_y, a drag moved it to $wx,$wy"
# Exit after batches and a preview: the program ends within a second and a half.
program_pid=${pids[-1]}
click 100 112  # the first row shown
click 323 57   # Play
mark_trace
click 843 12
wait_for 10 "the exit question" has_trace 'show QMessageBox'
exit_asked=$(date +%s.%N)
xdotool key alt+y
program_ended() { ! kill -0 "$program_pid" 2>/dev/null; }
wait_for 20 "the program to end" program_ended
exit_took=$(awk -v a="$exit_asked" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
awk -v t="$exit_took" 'BEGIN { exit !(t < 1.5) }' || fail "Exit took $exit_took s"
! grep -q "audio device could not be initialized" "$work/trace.log" ||
  fail "the preview could not open the sound server's device"
echo "desktoptest: Exit took $exit_took s, after a preview through the sound server"
echo "desktoptest: passed (the screens are in $build/desktoptest*.png)"
