#!/usr/bin/env bash
# How far lossy encoding moves a normalized output from its target. Three signals made with the
# ffmpeg program (a music-like mix of tones over pink noise with the treble rolled off, plain
# pink noise, and white noise, the brightest case) are normalized with quorvin-cli to 89.0 dB
# (ReplayGain 1.0) and to -18.0 LUFS (R128) in every lossy format at its default bitrate, and
# each output is measured with the ffmpeg program's own filters (replaygain, ebur128). Prints
# the output's level minus the target; WAV is the lossless reference.
# Usage: bench/lossylevels.sh BUILD_DIR   (with quorvin-cli and qvfaac built)
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
cli=$build/src/cli/quorvin-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/home"
ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
ff -f lavfi -i "aevalsrc=0.2*sin(2*PI*220*t)+0.1*sin(2*PI*660*t)+0.05*sin(2*PI*1760*t):s=44100:d=30" \
  -f lavfi -i "anoisesrc=c=pink:s=1:a=0.08:r=44100:d=30" \
  -filter_complex "amix=inputs=2:normalize=0,lowpass=f=9000" -ac 2 "$work/in/music.wav"
ff -f lavfi -i "anoisesrc=c=pink:s=2:a=0.1:r=44100:d=30" -ac 2 "$work/in/pink.wav"
ff -f lavfi -i "anoisesrc=c=white:s=3:a=0.1:r=44100:d=30" -ac 2 "$work/in/white.wav"

measure() {  # FILE -> "rg_volume lufs"
  ffmpeg -hide_banner -nostdin -nostats -i "$1" -af ebur128=framelog=verbose,replaygain \
    -f null - 2>&1 | awk '/track_gain =/ {g=$(NF-1)} /^ +I:/ {i=$2} END {printf "%.2f %.2f", 89-g, i}'
}
printf '%-7s %-6s %12s %12s\n' signal format "RG1 - 89 dB" "R128 - -18"
for signal in music pink white; do
  for format in wav mp3 aac m4a wma opus ogg; do
    line="$(printf '%-7s %-6s' "$signal" "$format")"
    for standard in replaygain1 r128; do
      rm -rf "$work/out" && mkdir -p "$work/out"
      APPDATA="$work/home" TMPDIR="$work/home" "$cli" --standard "$standard" --normalize \
        --format "$format" --dest "$work/out" "$work/in/$signal.wav" 2>/dev/null
      read -r volume lufs <<<"$(measure "$work/out/$signal.$format")"
      if [[ $standard == replaygain1 ]]; then
        line+="$(printf ' %12s' "$(awk -v v="$volume" 'BEGIN {printf "%+.2f", v - 89}')")"
      else
        line+="$(printf ' %12s' "$(awk -v v="$lufs" 'BEGIN {printf "%+.2f", v + 18}')")"
      fi
    done
    echo "$line"
  done
done
