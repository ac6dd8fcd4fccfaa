#!/usr/bin/env bash
# CPU time per recorded second of ondrel, recording through a real (private) PulseAudio server,
# encoding included, against two parecord processes capturing the same two sources (the microphone
# and the default sink's monitor) at the same time plus ffmpeg's AAC encode of what they recorded.
# Target: at most 1.0x. Also: ondrel's resident memory at the start and the end of the window
# (target <= 40 MiB, flat), and the host's wait from "stop" to the process's end against the ffmpeg
# command line's transcode of a WAV of the same audio (targets <= 0.5 s and <= 1/4).
#
# Usage: bench/pulse_cpu.sh [path/to/ondrel] [seconds] [ondrel option...]
#   e.g. bench/pulse_cpu.sh build/ondrel 30 --echo-cancel (target: at most twice the CPU without)
set -euo pipefail

ondrel=${1:-$(dirname "$0")/../build/ondrel}
seconds=${2:-30}
options=("${@:3}")
warmup=3  # seconds left out at the start: startup is not recording
[ -x "$ondrel" ] || { echo "no ondrel binary at $ondrel (build first, or pass its path)" >&2; exit 1; }

dir=$(mktemp -d /tmp/ondrel-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

mkdir -m 700 "$dir/runtime"
export HOME=$dir XDG_RUNTIME_DIR=$dir/runtime PULSE_RUNTIME_PATH=$dir/runtime/pulse
export PULSE_SERVER=unix:$dir/runtime/pulse/native
cat > "$dir/server.pa" <<'EOF'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=speakers rate=48000 channels=2
load-module module-null-sink sink_name=micfeed rate=48000 channels=2
load-module module-remap-source source_name=builtin_mic master=micfeed.monitor channels=1 channel_map=mono master_channel_map=front-left remix=no source_properties=device.bus=pci
load-module module-sine sink=speakers frequency=1000
load-module module-sine sink=micfeed frequency=440
set-default-sink speakers
EOF
pulseaudio -n -F "$dir/server.pa" --daemonize=no --system=false --exit-idle-time=-1 \
  --use-pid-file=no --realtime=no --high-priority=no --log-target=file:"$dir/pulseaudio.log" &
pids+=($!)
for _ in $(seq 100); do pactl info > /dev/null 2>&1 && break; sleep 0.1; done
# Idle null sinks serve new low-latency monitor streams only after a delay: keep one open.
for sink in speakers micfeed; do
  parec --latency-msec=10 --raw --rate=8000 --channels=1 -d "$sink.monitor" > /dev/null &
  pids+=($!)
done
sleep 2.5

# CPU time (user + system) of a process so far, in seconds.
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"; }

mkfifo "$dir/stdin"
"$ondrel" --out "$dir/out" "${options[@]}" < "$dir/stdin" > "$dir/events" 2> "$dir/errors" &
ondrel_pid=$!
pids+=("$ondrel_pid")
exec 3> "$dir/stdin"
parecord --device=builtin_mic --latency-msec=20 --format=float32le --rate=48000 --channels=1 \
  "$dir/mic.wav" &
mic_pid=$!
parecord --device=speakers.monitor --latency-msec=20 --format=float32le --rate=48000 \
  --channels=2 "$dir/system.wav" &
system_pid=$!
pids+=("$mic_pid" "$system_pid")

# Resident memory of a process, in MiB.
rss() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }

sleep "$warmup"
rss_start=$(rss "$ondrel_pid")
start_ondrel=$(cpu "$ondrel_pid")
start_pair=$(echo "$(cpu "$mic_pid") + $(cpu "$system_pid")" | bc -l)
start_time=$(date +%s.%N)
sleep "$seconds"
end_ondrel=$(cpu "$ondrel_pid")
end_pair=$(echo "$(cpu "$mic_pid") + $(cpu "$system_pid")" | bc -l)
end_time=$(date +%s.%N)
rss_end=$(rss "$ondrel_pid")

stop_time=$(date +%s.%N)
echo stop >&3
exec 3>&-
wait "$ondrel_pid" || { echo "ondrel failed: $(cat "$dir/errors")" >&2; exit 1; }
stop_to_done=$(echo "$(date +%s.%N) - $stop_time" | bc -l)
kill "$mic_pid" "$system_pid"
wait "$mic_pid" "$system_pid" 2>/dev/null || true

# The same audio as one stereo 16-bit WAV, as ondrel's (microphone left, system mixed down right),
# then ffmpeg's encode of it: its CPU for the anchor, its wall time against stop to done.
ffmpeg -v error -i "$dir/mic.wav" -i "$dir/system.wav" -filter_complex \
  "[1]pan=mono|c0=0.5*c0+0.5*c1[s];[0][s]amerge=inputs=2[a]" -map "[a]" -c:a pcm_s16le \
  "$dir/same.wav"
audio_seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$dir/same.wav")
TIMEFORMAT='%R %U %S'
read -r ffmpeg_wall ffmpeg_user ffmpeg_sys < <({ time ffmpeg -nostdin -v error -y \
  -i "$dir/same.wav" -c:a aac -b:a 128k "$dir/ffmpeg.m4a" 2>/dev/null; } 2>&1)

awk -v o="$(echo "$end_ondrel - $start_ondrel" | bc -l)" \
    -v p="$(echo "$end_pair - $start_pair" | bc -l)" \
    -v t="$(echo "$end_time - $start_time" | bc -l)" \
    -v e="$(echo "$ffmpeg_user + $ffmpeg_sys" | bc -l)" -v a="$audio_seconds" \
    -v r0="$rss_start" -v r1="$rss_end" -v s="$stop_to_done" -v f="$ffmpeg_wall" \
    -v opts="${options[*]}" 'BEGIN {
  anchor = 1000 * p / t + 1000 * e / a
  printf "recorded %.1f s; CPU: ondrel %.2f s, parecord pair %.2f s; ffmpeg encode %.2f s for %.1f s\n", t, o, p, e, a
  printf "ondrel%s: %.2f ms CPU per recorded second\n", (opts == "" ? "" : " " opts), 1000 * o / t
  printf "parecord pair + encode:  %.2f ms CPU per recorded second\n", anchor
  printf "CPU ratio: %.2fx (target <= 1.0x)\n", 1000 * o / t / anchor
  printf "ondrel resident memory: %s MiB at the start, %s MiB at the end (target <= 40, flat)\n", r0, r1
  printf "stop to done: %.3f s; ffmpeg CLI transcode of the same %.1f s: %.3f s; ratio %.3f (targets <= 0.5 s, <= 0.25)\n", s, a, f, s / f
}'
