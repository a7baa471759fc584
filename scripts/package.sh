#!/usr/bin/env bash
# Makes what users install: a Debian package of zamrik-pack (with the hello example's folder to
# try it on) and a zip of zamrik-pack.exe, both from the release presets and named with the
# project's version, in build/package/. Both packers carry the same launcher image.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in release-native release-windows; do
  [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target zamrik-pack
done

out=$PWD/build/package
rm -rf "$out"
mkdir -p "$out"
(cd build/release-native && cpack -G DEB -B "$out/deb" >/dev/null)
mv "$out"/deb/*.deb "$out/"
rm -rf "$out/deb"

version=$(sed -n 's/^project(zamrik_onefile VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip_dir=$out/zamrik-pack-$version-windows-x86_64
mkdir -p "$zip_dir"
cp build/release-windows/tools/pack/zamrik-pack.exe README.md "$zip_dir/"
(cd "$out" && cmake -E tar cf "$(basename "$zip_dir").zip" --format=zip --mtime=2000-01-01 "$(basename "$zip_dir")")
rm -rf "$zip_dir"
ls -l "$out"
