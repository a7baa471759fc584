#!/usr/bin/env bash
# Makes zamrik-pack's man page from its own help: help2man reads `zamrik-pack --help` and
# `--version`, and each command's help goes in as a section of its own.
# Usage: make-man-page.sh HELP2MAN ZAMRIK_PACK OUTPUT.1.gz
set -euo pipefail
help2man=$1 tool=$2 output=$3
include=$(mktemp)
page=$(mktemp)
trap 'rm -f "$include" "$page"' EXIT
{
  for command in build list verify extract; do
    echo "[${command^^} COMMAND]"
    # As the help shows it; roff reads a line that starts with a dot or a quote as a request.
    echo ".nf"
    "$tool" help "$command" | sed -e 's/\\/\\e/g' -e 's/^\([.'"'"']\)/\\\&\1/'
    echo ".fi"
    echo
  done
  cat <<'SEE'
[SEE ALSO]
/usr/share/zamrik-pack/examples/hello is an application folder to try the packer on, and
/usr/share/zamrik-pack/examples/hello-source the source of its main library.
/usr/share/doc/zamrik-pack/copyright holds the license, and the notices of the code that every
packed executable carries, which whoever ships such an executable ships with it.
SEE
} >"$include"
"$help2man" --no-info --no-discard-stderr --section 1 \
  --name "pack a Windows application folder into one self-unpacking executable" \
  --include "$include" --output "$page" "$tool"
gzip -9n <"$page" >"$output"
