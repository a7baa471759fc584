#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine. Safe to run again: it only installs
# packages that are missing, so a machine that has everything costs one dpkg query.
# `install-deps.sh demo` installs only what ./run demo needs (no test tools); `install-deps.sh
# package` that and the man page's generator, for ./run package; `install-deps.sh bench` adds
# what only ./run bench needs: the peer archivers and gnuplot.
set -euo pipefail

# The demo: the host compiler and the Windows cross compiler (the launcher image and the example
# are built for Windows), Wine to run the result, and the libraries the packer links.
packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64
  libzstd-dev zlib1g-dev libz-mingw-w64-dev
  dpkg-dev xz-utils
)
case "${1:-}" in
  demo) ;;
  package) packages+=(help2man) ;;
  *) packages+=(zstd libgtest-dev libgmock-dev googletest osslsigncode openssl) ;;
esac
# ./run fuzz needs clang and its libFuzzer runtime.
if [ "${1:-}" = --fuzz ]; then packages+=(clang-14 libclang-rt-14-dev); fi
# ./run bench needs the peer archivers and a plotter.
if [ "${1:-}" = bench ]; then
  packages+=(tar zip unzip p7zip-full gnuplot-nox)
fi

# A fresh cloud machine often runs its own apt at boot: wait for its locks (up to ten minutes)
# instead of failing at once.
apt_waiting() {
  local errors tries=0
  errors=$(mktemp)
  until "$@" 2>"$errors"; do
    if grep -qE 'Could not get lock|Unable to lock|Unable to acquire' "$errors" && ((tries++ < 120)); then
      ((tries > 1)) || echo "waiting for another apt process to finish..."
      sleep 5
      continue
    fi
    cat "$errors" >&2
    rm -f "$errors"
    return 1
  done
  rm -f "$errors"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  apt_waiting "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt_waiting "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
