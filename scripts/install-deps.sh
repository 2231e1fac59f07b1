#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# "install-deps.sh fuzz" adds clang with its libFuzzer and sanitizer runtimes
# for scripts/fuzz.sh.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libtinyxml2-dev libminizip-dev zlib1g-dev libisal-dev
          libgtest-dev libbenchmark-dev unzip zip python3 openssl libssl-dev qt6-base-dev
          help2man dpkg-dev)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
