#!/usr/bin/env bash
# The demo: packs the hello example with zamrik-pack, shows what the executable carries, and runs
# it under Wine. ./run demo builds the packer (with the launcher image it carries) and the example
# first, nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."

pack=build/packer/tools/pack/zamrik-pack
app=build/packer/launcher-build/examples/hello/app
out=build/demo/hello.exe
for needed in "$pack" "$app/hello.dll"; do
  if [ ! -e "$needed" ]; then
    echo "demo: $needed is missing; build it first (./run build packer)" >&2
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
show "$pack" build "$app" -o "$out" \
  --company "Zamrik demo" --product "Hello" --description "Zamrik onefile demo" --app-version 1.0.0.0
show "$pack" list "$out"
show "$pack" verify "$out"

echo "\$ ./run wine $out one \"two words\""
set +e
./run wine "$out" one "two words"
status=$?
set -e
echo
echo "exit status: $status"
exit "$status"
