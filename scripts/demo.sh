#!/usr/bin/env bash
# The demo: packs the hello example (built by the Windows preset) into one executable with
# zamrik-pack, shows what it carries, and runs it under Wine. ./run demo builds everything first.
set -euo pipefail
cd "$(dirname "$0")/.."

pack=build/native/tools/pack/zamrik-pack
kit=build/windows/launcher-kit
app=build/windows/examples/hello/app
out=build/demo/hello.exe
for needed in "$pack" "$kit/libzamrik_launcher_kit.a" "$app/hello.dll"; do
  if [ ! -e "$needed" ]; then
    echo "demo: $needed is missing; build both presets first (./run build)" >&2
    exit 1
  fi
done
mkdir -p "$(dirname "$out")"

show() {
  local shown=() word
  for word in "$@"; do
    [[ $word == *" "* ]] && word="\"$word\""
    shown+=("$word")
  done
  echo "\$ ${shown[*]}"
  "$@"
  echo
}
show "$pack" build "$app" -o "$out" --launcher-kit "$kit" \
  --company "Zamrik demo" --product "Hello" --description "Zamrik onefile demo" --app-version 1.0.0.0
show "$pack" list "$out"
show "$pack" verify "$out"

echo "\$ wine $out one \"two words\""
set +e
ZAMRIK_WINEPREFIX="$PWD/build/windows/wine-prefix" ./cmake/wine-run.sh "$out" one "two words"
status=$?
set -e
echo
echo "exit status: $status"
exit "$status"
