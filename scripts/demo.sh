#!/usr/bin/env bash
# Installs what ondrel needs, builds it, and records a few seconds the way a host application does:
# start `ondrel --out <folder>`, read its events, write "stop", wait for "done". Then shows the
# result. With a sound server running (a desktop) it records that machine's real system audio and
# microphone; without one it starts a private PulseAudio with a virtual speaker and a virtual
# built-in microphone and plays a known tone into each (440 Hz to the microphone, 1 kHz left-only
# to the speaker).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${DEMO_SECONDS:-4}
out=${DEMO_OUT:-$PWD/out/demo}

bash scripts/install-deps.sh
cmake -S . -B build -DONDREL_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target ondrel

pids=()
private=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "$private" ] && rm -rf "$private"
  return 0
}
trap cleanup EXIT

if pactl info >/dev/null 2>&1; then
  echo "== recording this machine's sound server: $(pactl info | sed -n 's/^Server Name: //p')"
else
  private=$(mktemp -d /tmp/ondrel-demo-XXXXXX)
  export XDG_RUNTIME_DIR=$private PULSE_RUNTIME_PATH=$private/pulse PULSE_SERVER=unix:$private/pulse/native
  mkdir -p "$private/pulse"
  cat >"$private/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=speakers rate=48000 channels=2 sink_properties=device.description=speakers
load-module module-null-sink sink_name=micfeed rate=48000 channels=2 sink_properties=device.description=micfeed
load-module module-remap-source source_name=builtin_mic master=micfeed.monitor channels=1 channel_map=mono master_channel_map=front-left remix=no source_properties=device.bus=pci
set-default-sink speakers
PA
  pulseaudio -n -F "$private/server.pa" --daemonize=no --system=false --exit-idle-time=-1 \
    --use-pid-file=no --realtime=no --high-priority=no --log-target=file:"$private/pulseaudio.log" &
  pids+=($!)
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl info >/dev/null
  echo "== no sound server was running: started a private PulseAudio with a virtual speaker and microphone"
  # Idle null sinks are slow to start a new low-latency monitor stream; a reader keeps them awake.
  for sink in speakers micfeed; do
    parec --latency-msec=10 -d "$sink.monitor" >/dev/null & pids+=($!)
  done
  sox -n -r 48000 -c 2 -b 16 -e signed "$private/mic.wav" synth 60 sine 440 vol 0.5
  sox -n -r 48000 -c 2 -b 16 -e signed "$private/system.wav" synth 60 sine 1000 sine 1000 remix 1 0 vol 0.5
  paplay -d micfeed "$private/mic.wav" & pids+=($!)
  paplay -d speakers "$private/system.wav" & pids+=($!)
  sleep 0.5
fi

rm -rf "$out"
echo "== ondrel --out $out  (stop after $seconds s)"
{ sleep "$seconds"; echo stop; } | build/ondrel --out "$out" | awk '/"level"/ { if (n++ % 10) next } { print; fflush() }'
echo "== (every tenth level event shown)"
echo "== ffprobe $out/audio.m4a"
ffprobe -v error -show_entries format=format_name,duration,bit_rate:stream=codec_name,profile,sample_rate,channels \
  -of default=noprint_wrappers=1 "$out/audio.m4a"
echo "== $out/meta.json"
cat "$out/meta.json"; echo
