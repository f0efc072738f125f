#!/usr/bin/env bash
# Installs the Debian 12 packages the fuzz build needs on top of scripts/install-deps.sh:
# clang and its runtime libraries (libFuzzer and the sanitizers). Idempotent and quiet like
# install-deps.sh: when every package is present it prints nothing and changes nothing.
set -euo pipefail

packages=(clang libclang-rt-14-dev)

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
