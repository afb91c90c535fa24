#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev qtbase5-dev-tools qttools5-dev qttools5-dev-tools
  qtmultimedia5-dev libqt5multimedia5-plugins libqt5websockets5-dev
  libopus-dev libspeexdsp-dev libsndfile1-dev libprotobuf-dev protobuf-compiler
  pulseaudio pulseaudio-utils
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libgstreamer1.0-dev libgstreamer-plugins-bad1.0-dev gstreamer1.0-plugins-bad gstreamer1.0-nice
  nftables
  xvfb xauth iproute2
  dpkg-dev help2man lintian desktop-file-utils man-db
  libqrencode-dev libpulse-dev
  chromium fonts-dejavu-core zbar-tools nodejs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
