#!/usr/bin/env bash
# Installs every Debian 12 package Orvane needs to build, test and fuzz. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libopenblas-dev
  libvulkan-dev glslang-dev glslang-tools mesa-vulkan-drivers vulkan-validationlayers
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev libfuzzer-14-dev
  libsndfile1-dev libsoxr-dev
  libcpp-httplib-dev nlohmann-json3-dev curl ca-certificates
  espeak-ng sox ffmpeg alsa-utils
  python3
  qt6-base-dev qt6-declarative-dev qt6-multimedia-dev qt6-qpa-plugins libqt6svg6
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-window qml6-module-qtquick-dialogs qml6-module-qtquick-templates
  qml6-module-qtqml-workerscript qml6-module-qt-labs-platform qml6-module-qttest
  pulseaudio pulseaudio-utils xvfb xclip xdotool
  libxcb1-dev libxcb-xkb-dev libx11-dev libxtst-dev libibus-1.0-dev ibus gir1.2-ibus-1.0 python3-gi
  libfcitx5core-dev fcitx5-modules-dev fcitx5-modules x11-utils x11-xserver-utils x11-xkb-utils dbus-daemon
  fonts-dejavu-core
  g++-aarch64-linux-gnu libopenblas-dev:arm64 libgtest-dev:arm64
)

# Node.js and npm run the OpenAI client in the server's tests; a Node.js installed another way
# (one that brings its own npm) is used as it is.
if ! command -v npm >/dev/null; then packages+=(nodejs npm); fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

# The aarch64 cross build (scripts/test.sh) takes its arm64 libraries from Debian's multiarch.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
