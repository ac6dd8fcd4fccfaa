#!/usr/bin/env bash
# Installs everything ondrel needs to build, test and demonstrate on Debian 12 (run as root or via sudo).
set -euo pipefail
packages=(
  build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
  libpulse-dev libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  nlohmann-json3-dev uuid-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  pulseaudio pulseaudio-utils ffmpeg sox python3 python3-pytest python3-numpy
  pipewire pipewire-pulse wireplumber dbus
  libspeexdsp-dev libwebrtc-audio-processing-dev espeak-ng
  dpkg-dev lintian nodejs
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
