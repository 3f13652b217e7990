#!/usr/bin/env bash
# Pictures the main window with a few listed files and saves docs/screenshot.png.
# Runs the window under Xvfb with a throw-away configuration; installs nothing (needs xvfb,
# ffmpeg and a CMake build folder, by default build-screenshot next to the sources).
# Usage: scripts/screenshot.sh [BUILD_DIR] [OUTPUT.png]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build-screenshot}"
output="${2:-$here/docs/screenshot.png}"

for tool in Xvfb ffmpeg cmake; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing" >&2; exit 1; }
done

if [[ -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$here" -B "$build" >/dev/null
else
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target qv_screenshot qvfaac -j2 >/dev/null

work="$(mktemp -d)"
xvfb_pid=""
cleanup() {
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A configuration that passes the start-up checks, in a private APPDATA.
mkdir -p "$work/appdata/Quorvin 1" "$work/music"
cat > "$work/appdata/Quorvin 1/Quorvin1.ini" <<INI
[Quorvin 1]
FFMpegExe=$(command -v ffmpeg)
FFMpegAud=-vn
FAACExe=$build/src/qvfaac/qvfaac
autoplayonopen=1
DestinationFolderPath=$HOME/Music
INI

# A few short files in the formats people convert.
make_tone() {  # name frequency seconds rate channels [codec options...]
  local name="$1" freq="$2" seconds="$3" rate="$4" channels="$5"
  shift 5
  ffmpeg -hide_banner -loglevel error -y -f lavfi \
    -i "sine=frequency=$freq:sample_rate=$rate:duration=$seconds" -ac "$channels" "$@" \
    "$work/music/$name"
}
make_tone "Morning Walk.mp3" 440 6 44100 2 -b:a 192k -metadata album="Coast" -metadata artist="Ria"
make_tone "Harbour Lights.flac" 523 5 48000 2 -sample_fmt s16 -af volume=-9dB \
  -metadata album="Coast" -metadata artist="Ria"
make_tone "interview_take2.wav" 330 4 22050 1
make_tone "Live at the Hall.m4a" 392 5 44100 2 -b:a 128k
make_tone "voice memo 0412.ogg" 262 3 32000 1
make_tone "Rain Study.wav" 494 5 96000 2 -c:a pcm_s24le

# A free display number for Xvfb.
display=99
while [[ -e "/tmp/.X11-unix/X$display" || -e "/tmp/.X$display-lock" ]]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1000x520x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [[ -e "/tmp/.X11-unix/X$display" ]] && break; sleep 0.1; done

mkdir -p "$(dirname "$output")"
env -u WAYLAND_DISPLAY DISPLAY=":$display" QT_QPA_PLATFORM=xcb SDL_AUDIODRIVER=dummy \
  APPDATA="$work/appdata" TMPDIR="$work" \
  "$build/tests/ui/qv_screenshot" ${QV_SCREENSHOT_BATCH:+--batch} "$output" "$work"/music/*
echo "screenshot.sh: wrote $output"
