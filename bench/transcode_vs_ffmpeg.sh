#!/usr/bin/env bash
# The wait between "stop" and "done" is the transcode: times Transcoder::wavToM4A against the ffmpeg
# command line on the same 60 s stereo 48 kHz WAV, interleaved so both see the same machine state.
#
#   bench/transcode_vs_ffmpeg.sh [build-dir] [repetitions]
#
# Prints each run and the ratio of the medians (ours / ffmpeg). Target: at most 1.1.
set -euo pipefail

build=${1:-build}
reps=${2:-7}
bench="$build/transcode_bench"
[[ -x "$bench" ]] || { echo "no $bench: build the transcode_bench target first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two different tones plus a little noise, so the encoder has real work on both channels.
ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" \
  -f lavfi -i "anoisesrc=color=pink:sample_rate=48000:duration=60:amplitude=0.1" \
  -filter_complex "[0][1]amerge=inputs=2[a]" -map "[a]" -c:a pcm_s16le "$work/in.wav"

now() { date +%s.%N; }
ours=()     # the call itself: what the host waits for between "stop" and "done"
process=()  # the whole bench process, start-up included, like the ffmpeg figure
theirs=()
for ((i = 0; i < reps; i++)); do
  start=$(now)
  ours+=("$("$bench" "$work/in.wav" "$work/ours.m4a")")
  process+=("$(echo "$(now) - $start" | bc -l)")
  start=$(now)
  ffmpeg -nostdin -v error -y -i "$work/in.wav" -c:a aac -b:a 128k "$work/ffmpeg.m4a"
  theirs+=("$(echo "$(now) - $start" | bc -l)")
  printf 'run %d: ondrel call %.3f s, process %.3f s   ffmpeg %.3f s\n' \
    "$((i + 1))" "${ours[i]}" "${process[i]}" "${theirs[i]}"
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
m_ours=$(median "${ours[@]}")
m_process=$(median "${process[@]}")
m_theirs=$(median "${theirs[@]}")
printf 'median: ondrel call %.3f s, process %.3f s   ffmpeg %.3f s\n' "$m_ours" "$m_process" "$m_theirs"
printf 'ratio call/ffmpeg %.3f   process/ffmpeg %.3f   (target <= 1.1)\n' \
  "$(echo "$m_ours / $m_theirs" | bc -l)" "$(echo "$m_process / $m_theirs" | bc -l)"
