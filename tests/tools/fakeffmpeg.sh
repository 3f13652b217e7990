#!/bin/sh
# Stand-in for the ffmpeg program in the tool tests. Accepts "-i INPUT" (the duration query:
# header only, exit status 1) and "-y -i INPUT OPTIONS... OUTPUT" (writes OUTPUT). Prints a
# version banner, the duration line split over several writes, and progress lines ending in a
# carriage return at a set pace, all on standard error as the real program does.
# Environment:
#   FAKE_DURATION  the duration text (default 00:03:00.00; "N/A" for none)
#   FAKE_TIMES     the progress times, blank-separated (default 00:01:30.50)
#   FAKE_PACE      seconds between progress lines (default 0.02)
#   FAKE_MODE      "hang": wait for a signal after the progress; "fail": no output; "full":
#                  part of the output, then the error of a full disk and status 1
#   FAKE_PIDFILE   where to write this process's id
[ -n "$FAKE_PIDFILE" ] && echo $$ > "$FAKE_PIDFILE"
echo "ffmpeg version 5.1.9-fake Copyright (c) 2000-2026 the FFmpeg developers" >&2
echo "  built with gcc 12 (Debian 12.2.0-14)" >&2
echo "  configuration: --prefix=/usr --enable-fake" >&2
echo "  libavutil      57. 28.100 / 57. 28.100" >&2
echo "  libavformat    59. 27.100 / 59. 27.100" >&2

input=
output=
while [ $# -gt 0 ]; do
  case $1 in
    -i) input=$2; shift ;;
    -y) ;;
    *) output=$1 ;;
  esac
  shift
done
if [ ! -e "$input" ]; then
  printf '%s: No such file or directory\n' "$input" >&2
  exit 1
fi
printf "Input #0, wav, from '%s':\n" "$input" >&2
printf '  Dura' >&2
sleep 0.01
printf 'tion: %s, bitrate: 1411 kb/s\n' "${FAKE_DURATION:-00:03:00.00}" >&2
if [ -z "$output" ]; then
  echo "At least one output file must be specified" >&2
  exit 1
fi
if [ "$FAKE_MODE" = fail ]; then
  echo "Conversion failed!" >&2
  exit 1
fi
if [ "$FAKE_MODE" = full ]; then
  printf 'RIFFpart' > "$output"
  echo "av_interleaved_write_frame(): No space left on device" >&2
  echo "Conversion failed!" >&2
  exit 1
fi
: > "$output"
for t in ${FAKE_TIMES:-00:01:30.50}; do
  sleep "${FAKE_PACE:-0.02}"
  printf 'size=       1kB time=%s bitrate=1411.2kbits/s speed=1x    \r' "$t" >&2
done
if [ "$FAKE_MODE" = hang ]; then
  while :; do sleep 1; done
fi
printf 'RIFFfake' > "$output"
echo >&2
exit 0
