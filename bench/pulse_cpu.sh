#!/usr/bin/env bash
# CPU time per recorded second of ondrel, recording through a real (private) PulseAudio server,
# against two parecord processes capturing the same two sources (the microphone and the default
# sink's monitor) at the same time. Target: ondrel at most 1.5 times the pair.
#
# Usage: bench/pulse_cpu.sh [path/to/ondrel] [seconds]
set -euo pipefail

ondrel=${1:-$(dirname "$0")/../build/ondrel}
seconds=${2:-30}
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
"$ondrel" --out "$dir/out" < "$dir/stdin" > "$dir/events" 2> "$dir/errors" &
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

sleep "$warmup"
start_ondrel=$(cpu "$ondrel_pid")
start_pair=$(echo "$(cpu "$mic_pid") + $(cpu "$system_pid")" | bc -l)
start_time=$(date +%s.%N)
sleep "$seconds"
end_ondrel=$(cpu "$ondrel_pid")
end_pair=$(echo "$(cpu "$mic_pid") + $(cpu "$system_pid")" | bc -l)
end_time=$(date +%s.%N)

echo stop >&3
exec 3>&-
wait "$ondrel_pid" || { echo "ondrel failed: $(cat "$dir/errors")" >&2; exit 1; }

awk -v o="$(echo "$end_ondrel - $start_ondrel" | bc -l)" \
    -v p="$(echo "$end_pair - $start_pair" | bc -l)" \
    -v t="$(echo "$end_time - $start_time" | bc -l)" 'BEGIN {
  printf "recorded %.1f s; CPU: ondrel %.2f s, parecord pair %.2f s\n", t, o, p
  printf "ondrel:        %.2f ms CPU per recorded second\n", 1000 * o / t
  printf "parecord pair: %.2f ms CPU per recorded second\n", 1000 * p / t
  if (p > 0) printf "ratio: %.2fx (target <= 1.5x)\n", o / p
}'
