#!/usr/bin/env bash
# Installs the Debian 12 packages the kit needs to build, test and benchmark.
# Idempotent and quiet: when every package is present it prints nothing and changes nothing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopencv-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg
  nlohmann-json3-dev libnanoflann-dev
  libspdlog-dev libfmt-dev
  libusb-1.0-0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pybind11-dev python3-pybind11 python3-numpy python3-pytest
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
