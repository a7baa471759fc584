#!/usr/bin/env bash
# Fetches Debian's own zstd source package into .cache/zstd (git-ignored) and unpacks it with
# Debian's patches applied. The machine's apt configuration is left alone: apt reads a private
# sources folder and keeps its lists and downloads inside the cache.
set -euo pipefail

version=1.5.4+dfsg2-5
# Pinned: what Debian's archive signed for this version.
declare -A sha256=(
  [libzstd_1.5.4+dfsg2-5.dsc]=8f602f92b575aa8b5e979196fb6ee82d78f233521dc9636526d3ecba1f63c1b1
  [libzstd_1.5.4+dfsg2.orig.tar.xz]=8cf4bbb65e77ec348d052c8d6230eba66d435bddf64c8b5be2fcb16880c19953
  [libzstd_1.5.4+dfsg2-5.debian.tar.xz]=82ce911445772861d0838bd4545f93bc50658bc7f3cefdb17a307dfb8ffca5d8
)

top=$(cd "$(dirname "$0")/.." && pwd)
cache=$top/.cache/zstd
source_dir=$cache/source
if [ -f "$source_dir/.complete" ]; then
  exit 0
fi

mkdir -p "$cache/apt/sources.list.d" "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial" "$cache/download"
cat > "$cache/apt/sources.list.d/debian-source.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_options=(
  -o Dir::Etc::SourceParts="$cache/apt/sources.list.d"
  -o Dir::Etc::SourceList=/dev/null
  -o Dir::State::Lists="$cache/apt/lists"
  -o Dir::Cache="$cache/apt/cache"
  -o APT::Sandbox::User=root
)

echo "fetching Debian's zstd source package $version"
apt-get "${apt_options[@]}" -qq update
(cd "$cache/download" && apt-get "${apt_options[@]}" -qq source --download-only "libzstd=$version" >/dev/null)

for file in "${!sha256[@]}"; do
  actual=$(sha256sum "$cache/download/$file" | cut -d' ' -f1)
  if [ "$actual" != "${sha256[$file]}" ]; then
    echo "fetch-zstd-source: $file has sha256 $actual, expected ${sha256[$file]}" >&2
    exit 1
  fi
done

rm -rf "$source_dir"
dpkg-source --no-check -x "$cache/download/libzstd_$version.dsc" "$source_dir" >/dev/null
test -f "$source_dir/lib/decompress/zstd_decompress.c"
touch "$source_dir/.complete"
