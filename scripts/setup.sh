#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running Veltra needs.
# Idempotent: when everything is present it installs nothing and says so.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format git
  lld ccache
  # libraries
  libssl-dev libasio-dev nlohmann-json3-dev libicu-dev libavcodec-dev libavutil-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # an independent H.264 decoder and encoder for the codec tests and benchmarks
  ffmpeg
  # the X11 host: virtual display, capture, input injection; time for the main job's figures
  xvfb xauth libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-xtest0-dev
  libyuv-dev libsystemd-dev time
  # the command-line parser of every program
  libcli11-dev
  # a desktop session's own D-Bus bus, and a terminal that can run as the session
  dbus-daemon xterm
  # each display's own sound server (a null sink) and its Opus capture; paplay for the tests
  pulseaudio pulseaudio-utils libpulse-dev libopus-dev
  # the desktop applications: Qt 6 Widgets with OpenGL, Mesa's software OpenGL for Xvfb, and
  # xdotool to drive them as a user would in the tests
  qt6-base-dev libqt6opengl6-dev libgl-dev libgl1-mesa-dri libglx-mesa0 xdotool
  # the clipboard tests copy and paste in the display as its programs would
  xclip
  # the performance report's latency plot
  gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
