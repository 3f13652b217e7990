#!/usr/bin/env bash
# A library as users keep one, converted as a phone wants it: 20 tagged FLACs of 60 to 240 s in
# artist/album folders to Opus at 128 kbit/s, named '{albumartist}/{album}/{track:02} {title}',
# 2 files at once. Quorvin (quorvin-cli --jobs 2) against beets' convert plugin (Debian's
# `beets`, which runs the ffmpeg program once per file, here on 2 threads, with the same path
# template), in one run, best of N rounds each, alternating. Prints both times and the ratio
# beets / Quorvin (goal: 1.1 or more), and checks that both wrote the same 20 names.
# Usage: bench/librarybench.sh BUILD_DIR [ROUNDS]   (a Release build with quorvin-cli, qvfaac)
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR [ROUNDS]}" && pwd)
rounds=${2:-2}
for tool in ffmpeg beet bc; do
  command -v "$tool" >/dev/null || { echo "librarybench: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lib=$work/lib

# Four artists, two albums each, two or three tracks an album: 20 files, 60 to 240 s, a tone
# over pink noise so that the encoder has real work.
n=0 a=0
for artist in "Ana Moura" "The Band" "Zé Quartet" "Orchestra X"; do
  for album in "First Light" "Second Wind"; do
    a=$((a + 1))
    for ((track = 1; track <= 2 + a % 2; ++track)); do
      seconds=$((60 + (n * 37) % 181))
      mkdir -p "$lib/$artist/$album"
      ffmpeg -hide_banner -loglevel error -y -f lavfi \
        -i "anoisesrc=color=pink:amplitude=0.2:d=$seconds:seed=$n" \
        -f lavfi -i "sine=frequency=$((200 + n * 30)):d=$seconds" -filter_complex amix=inputs=2 \
        -ac 2 -ar 44100 -c:a flac -metadata artist="$artist" -metadata album_artist="$artist" \
        -metadata album="$album" -metadata title="Song $n" -metadata track="$track" \
        "$lib/$artist/$album/$(printf %02d "$track") Song $n.flac"
      n=$((n + 1))
    done
  done
done
echo "librarybench: $n files, $(du -sh "$lib" | cut -f1) of FLAC"

# Quorvin: its own configuration, created at its first start.
export APPDATA=$work/quorvin TMPDIR=$work/tmp
mkdir -p "$APPDATA" "$TMPDIR"
quorvin() {
  rm -rf "$work/out-quorvin"
  "$build/src/cli/quorvin-cli" -q --jobs 2 --recursive --format opus --bitrate 128 \
    --name '{albumartist}/{album}/{track:02} {title}' --dest "$work/out-quorvin" "$lib"
}

# beets: a library of the same files (imported in place, untouched), the convert plugin with
# ffmpeg to Opus at 128 kbit/s on 2 threads.
export BEETSDIR=$work/beets
mkdir -p "$BEETSDIR"
cat >"$BEETSDIR/config.yaml" <<YAML
directory: $lib
library: $BEETSDIR/library.db
plugins: convert
import:
  copy: no
  write: no
paths:
  default: \$albumartist/\$album/\$track \$title
convert:
  dest: $work/out-beets
  format: opus
  threads: 2
  never_convert_lossy_files: no
  copy_album_art: no
  embed: no
  formats:
    opus:
      command: ffmpeg -nostdin -loglevel error -i \$source -y -vn -c:a libopus -b:a 128k \$dest
      extension: opus
YAML
beet import -q -A -C "$lib" >/dev/null 2>&1
beets() {
  rm -rf "$work/out-beets"
  beet convert -y >/dev/null 2>&1
}

best_q=999999 best_b=999999
for ((r = 0; r < rounds; ++r)); do
  for side in q b; do
    start=$(date +%s.%N)
    if [[ $side == q ]]; then quorvin; else beets; fi
    took=$(echo "$(date +%s.%N) - $start" | bc)
    if [[ $side == q ]]; then
      (($(echo "$took < $best_q" | bc))) && best_q=$took
    else
      (($(echo "$took < $best_b" | bc))) && best_b=$took
    fi
  done
done

names() { (cd "$1" && find . -type f -name '*.opus' | sort); }
same=yes
[[ $(names "$work/out-quorvin") == $(names "$work/out-beets") ]] || same=no
printf '%-26s %10s %10s %8s\n' "20 FLACs to Opus, 2 jobs" "Quorvin" "beets" "ratio"
printf '%-26s %9.2fs %9.2fs %7.2fx\n' "best of $rounds" "$best_q" "$best_b" \
  "$(echo "$best_b / $best_q" | bc -l)"
echo "same output names: $same ($(names "$work/out-quorvin" | wc -l) files)"
[[ $same == yes ]] || { diff <(names "$work/out-quorvin") <(names "$work/out-beets") | head -5; }
