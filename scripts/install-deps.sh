#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine. Safe to run again: it only installs
# packages that are missing, so a machine that has everything costs one dpkg query.
# `install-deps.sh bench` adds what only ./run bench needs: the peer archivers and gnuplot.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64
  libzstd-dev zstd
  libgtest-dev libgmock-dev googletest
  dpkg-dev xz-utils zlib1g-dev
  osslsigncode openssl
)
# ./run fuzz needs clang and its libFuzzer runtime.
if [ "${1:-}" = --fuzz ]; then packages+=(clang-14 libclang-rt-14-dev); fi
# ./run bench needs the peer archivers and a plotter.
if [ "${1:-}" = bench ]; then
  packages+=(tar zip unzip p7zip-full gnuplot-nox)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
