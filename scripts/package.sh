#!/usr/bin/env bash
# Makes what users install: a Debian package of zamrik-pack (with its man page, the license and
# notices, and the hello example's folder to try it on) and a zip of zamrik-pack.exe, both from
# the release presets and named with the project's version, in build/package/. Both packers
# carry the same launcher image.
set -euo pipefail
cd "$(dirname "$0")/.."

# Configured each time, so that a help2man installed since is found.
for preset in release-native release-windows; do
  cmake --preset "$preset" >/dev/null
done
cmake --build --preset release-native --target zamrik-pack zamrik-pack-man zamrik-pack-copyright
cmake --build --preset release-windows --target zamrik-pack hello_app

out=$PWD/build/package
rm -rf "$out"
mkdir -p "$out"
(cd build/release-native && cpack -G DEB -B "$out/deb" >/dev/null)
mv "$out"/deb/*.deb "$out/"
rm -rf "$out/deb"

# The zip, for Windows users: the packer, a README written for them, the license and notices,
# and the example's folder with its source beside it (text files with Windows line ends).
version=$(sed -n 's/^project(zamrik_onefile VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip_dir=$out/zamrik-pack-$version-windows-x86_64
mkdir -p "$zip_dir/examples/hello-source"
cp build/release-windows/tools/pack/zamrik-pack.exe "$zip_dir/"
cp -r build/release-windows/examples/hello/app "$zip_dir/examples/hello"
cp examples/hello/hello.c examples/hello/hello.def "$zip_dir/examples/hello-source/"
cp docs/README-windows.txt "$zip_dir/README.txt"
cp LICENSE "$zip_dir/LICENSE.txt"
cp THIRD-PARTY-NOTICES.txt "$zip_dir/"
for text in README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt examples/hello-source/hello.c examples/hello-source/hello.def; do
  sed -i 's/$/\r/' "$zip_dir/$text"
done
(cd "$out" && cmake -E tar cf "$(basename "$zip_dir").zip" --format=zip --mtime=2000-01-01 "$(basename "$zip_dir")")
rm -rf "$zip_dir"
ls -l "$out"
