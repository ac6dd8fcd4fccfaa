#!/usr/bin/env bash
# --recover after a kill: times `ondrel --recover` on a recording of a given length (1 h by
# default) against the ffmpeg command line on the same files, interleaved so that both see the
# same machine state.
#   - partial file whole but for its last second: ondrel copies its packets and encodes the rest;
#     the anchor is ffmpeg copying the same packets into an M4A file (-c copy). Target: at most 2 s.
#   - partial file lost: ondrel encodes the whole WAV file; the anchor is ffmpeg's transcode of it.
#     Target: at most ffmpeg's time.
#
#   bench/recover_vs_ffmpeg.sh [build-dir] [seconds] [repetitions]
set -euo pipefail

build=${1:-build}
seconds=${2:-3600}
reps=${3:-3}
ondrel="$build/ondrel"
[[ -x "$ondrel" ]] || { echo "no $ondrel: build the ondrel target first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tone and a little noise, so that the encoder has real work on both channels; then what a kill
# leaves: the WAV file's sizes zero, and the partial file (fragments of a second) cut in its last
# fragment.
ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
  -f lavfi -i "anoisesrc=color=pink:sample_rate=48000:duration=$seconds:amplitude=0.1" \
  -filter_complex "[0][1]amerge=inputs=2[a]" -map "[a]" -c:a pcm_s16le -fflags +bitexact \
  "$work/audio.wav"
ffmpeg -v error -i "$work/audio.wav" -c:a aac -b:a 128k -f mp4 -frag_duration 1000000 \
  -movflags +empty_moov+default_base_moof "$work/partial"
truncate -s -12000 "$work/partial"
for offset in 4 40; do
  printf '\0\0\0\0' | dd of="$work/audio.wav" bs=1 seek=$offset conv=notrunc status=none
done

now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
# time_recover <with partial: 1|0>: the seconds of one `ondrel --recover` on a fresh copy.
time_recover() {
  rm -rf "$work/folder" && mkdir "$work/folder"
  cp "$work/audio.wav" "$work/folder/audio.wav"
  [[ $1 == 1 ]] && cp "$work/partial" "$work/folder/.audio.m4a.partial"
  sync
  local start
  start=$(now)
  "$ondrel" --recover "$work/folder" >"$work/events"
  echo "$(now) - $start" | bc -l
  grep -q '"type":"done"' "$work/events" || { cat "$work/events" >&2; exit 1; }
}
time_ffmpeg() {
  local start
  start=$(now)
  ffmpeg -nostdin -v error -y "$@"
  echo "$(now) - $start" | bc -l
}

splice=() copy=() whole=() transcode=()
for ((i = 0; i < reps; i++)); do
  splice+=("$(time_recover 1)")
  copy+=("$(time_ffmpeg -i "$work/partial" -c copy -movflags +faststart "$work/copy.m4a")")
  whole+=("$(time_recover 0)")
  transcode+=("$(time_ffmpeg -i "$work/audio.wav" -c:a aac -b:a 128k "$work/ffmpeg.m4a")")
  printf 'run %d: recover %.3f s (ffmpeg -c copy %.3f s)   without partial %.3f s (ffmpeg transcode %.3f s)\n' \
    "$((i + 1))" "${splice[i]}" "${copy[i]}" "${whole[i]}" "${transcode[i]}"
done
m_splice=$(median "${splice[@]}") m_copy=$(median "${copy[@]}")
m_whole=$(median "${whole[@]}") m_transcode=$(median "${transcode[@]}")
printf '%d s recording, medians: recover %.3f s = %.2f x ffmpeg -c copy (target <= 2 s)\n' \
  "$seconds" "$m_splice" "$(echo "$m_splice / $m_copy" | bc -l)"
printf '  without partial file: %.3f s = %.2f x ffmpeg transcode (target <= 1)\n' \
  "$m_whole" "$(echo "$m_whole / $m_transcode" | bc -l)"
