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

exec "$(dirname "$0")/install-packages.sh" "${packages[@]}"
