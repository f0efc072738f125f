#!/usr/bin/env bash
# Installs the Debian 12 packages the fuzz build needs on top of scripts/install-deps.sh:
# clang and its runtime libraries (libFuzzer and the sanitizers). Idempotent and quiet like
# install-deps.sh: when every package is present it prints nothing and changes nothing.
set -euo pipefail

packages=(clang libclang-rt-14-dev)

exec "$(dirname "$0")/install-packages.sh" "${packages[@]}"
