#!/usr/bin/env bash
# End-to-end tests of zamrik-pack: real launchers written by the packer around the hello example,
# run under Wine. Usage: e2e.sh CASE; ctest passes the paths in the environment.
set -euo pipefail
: "${ZAMRIK_PACK:?}" "${APP_DIR:?}" "${WINE_RUN:?}" "${WORK:?}"
export ZAMRIK_WINEPREFIX

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
expect_in() {  # TEXT NEEDLE
  grep -qF -- "$2" <<<"$1" || fail "expected '$2' in:"$'\n'"$1"
}
build() { "$ZAMRIK_PACK" build "$@" -q; }
# Runs a command and keeps its status, output and errors in $status, $out and $err.
capture() {
  set +e
  out=$("$@" 2>"$WORK/stderr.txt")
  status=$?
  set -e
  err=$(cat "$WORK/stderr.txt")
}
byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
flip_byte() {  # FILE OFFSET
  local value
  value=$(( $(byte_at "$1" "$2") ^ 0xFF ))
  printf "$(printf '\\%03o' "$value")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
u64_at() { od -An -tu8 -j "$2" -N8 "$1" | tr -d ' '; }
# The file offset of the block: the section .zamrik, from the section table.
block_offset() {
  local offset
  offset=$(x86_64-w64-mingw32-objdump -h "$1" | awk '$2 == ".zamrik" { print $6 }')
  [ -n "$offset" ] || fail "$1 has no section .zamrik"
  echo $((16#$offset))
}

rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK"

case "${1:?case}" in
  runs)
    build "$APP_DIR" -o hello.exe --product "Hello" --app-version 2.1.0.7
    resources=$(x86_64-w64-mingw32-windres -i hello.exe -O rc)
    expect_in "$resources" "FILEVERSION 2, 1, 0, 7"
    expect_in "$resources" 'VALUE "ProductVersion", "2.1.0.7"'
    expect_in "$resources" 'VALUE "ProductName", "Hello"'
    capture "$WINE_RUN" ./hello.exe one "two words"
    [ "$status" -eq 0 ] || fail "exit status $status; output: $out; errors: $err"
    expect_in "$out" "Hello from a packed application!"
    expect_in "$out" "arguments (3):"
    expect_in "$out" "[1] one"
    expect_in "$out" "[2] two words"
    for name in ZAMRIK_ONEFILE_PARENT ZAMRIK_ONEFILE_START ZAMRIK_ONEFILE_TIME_US ZAMRIK_ONEFILE_RANDOM \
                ZAMRIK_ONEFILE_DIRECTORY ZAMRIK_ORIGINAL_ARGV0; do
      expect_in "$out" "$name"
    done
    expect_in "$out" 'data\colors.csv'
    expect_in "$out" 'data\notes\readme.txt'
    expect_in "$out" 'hello.dll'
    ;;

  reproducible)
    build "$APP_DIR" -o first.exe
    # Another copy of the folder, with other timestamps, at another place, packed with one thread.
    cp -r "$APP_DIR" moved-app
    touch -d '2001-02-03 04:05:06' moved-app/hello.dll moved-app/data/*
    mkdir other
    # Same name, since the product is named after it.
    build moved-app -o other/first.exe --threads 1
    cmp first.exe other/first.exe || fail "two builds of the same folder differ"
    # Each variant under the same name in a folder of its own.
    mkdir no-checksum versioned old-spelling
    build "$APP_DIR" -o no-checksum/first.exe --no-checksum
    ! cmp -s first.exe no-checksum/first.exe || fail "--no-checksum changed nothing"
    # The deprecated spelling of --app-version still means the same.
    build "$APP_DIR" -o versioned/first.exe --app-version 2.1.0.7
    build "$APP_DIR" -o old-spelling/first.exe --version 2.1.0.7 2>/dev/null
    cmp versioned/first.exe old-spelling/first.exe || fail "--version and --app-version give different executables"
    ! cmp -s first.exe versioned/first.exe || fail "--app-version changed nothing"
    ;;

  round-trip)
    build "$APP_DIR" -o hello.exe
    capture "$ZAMRIK_PACK" list hello.exe
    [ "$status" -eq 0 ] || fail "list: $err"
    [ "$(sed -n 2p <<<"$out" | awk '{ print $2 }')" = hello.dll ] || fail "the main library is not first: $out"
    files=0
    while IFS= read -r file; do
      files=$((files + 1))
      expected=$(printf '%12d  %s' "$(stat -c %s "$APP_DIR/$file")" "${file//\//\\}")
      grep -qxF -- "$expected" <<<"$out" || fail "list lacks '$expected':"$'\n'"$out"
    done < <(cd "$APP_DIR" && find . -type f | sed 's|^\./||')
    [ "$(wc -l <<<"$out")" -eq $((files + 2)) ] || fail "list shows other files:"$'\n'"$out"
    expect_in "$(tail -1 <<<"$out")" "$files files, compressed to"

    capture "$ZAMRIK_PACK" verify hello.exe
    [ "$status" -eq 0 ] || fail "verify: $err"
    expect_in "$out" "hello.exe: OK, $files files"
    expect_in "$out" "checksum matches"

    capture "$ZAMRIK_PACK" extract hello.exe unpacked
    [ "$status" -eq 0 ] || fail "extract: $err"
    diff -r "$APP_DIR" unpacked || fail "the extracted tree differs from the folder"
    capture "$ZAMRIK_PACK" extract hello.exe unpacked
    [ "$status" -eq 1 ] || fail "extract into a full folder gave status $status"
    expect_in "$err" "the folder is not empty"
    ;;

  damaged)
    build "$APP_DIR" -o hello.exe
    block=$(block_offset hello.exe)
    table_size=$(u64_at hello.exe "$block")
    stream_size=$(u64_at hello.exe $((block + 8)))
    stream=$((block + 16 + table_size))

    # The last byte of the stream belongs to the checksum: the contents still decode, and only
    # the checksum tells that they are not what was packed.
    cp hello.exe checksum.exe
    flip_byte checksum.exe $((stream + stream_size - 1))
    capture "$ZAMRIK_PACK" verify checksum.exe
    [ "$status" -eq 1 ] || fail "verify of a bad checksum gave status $status"
    expect_in "$err" "zamrik-pack: error: checksum.exe: damaged block: the stream does not decode"
    expect_in "$err" "checksum"
    capture "$WINE_RUN" ./checksum.exe
    [ "$status" -eq 2 ] || fail "the launcher ran with a bad checksum: status $status, $out"
    expect_in "$out" "Error, couldn't decode attached data."

    cp hello.exe table.exe
    flip_byte table.exe $((block + 16))  # the first record's flags
    capture "$ZAMRIK_PACK" verify table.exe
    [ "$status" -eq 1 ] || fail "verify of a bad table gave status $status"
    expect_in "$err" "table.exe: damaged block: record 1 at table offset 0 has flags 255"

    cp hello.exe stream.exe
    flip_byte stream.exe $((stream + stream_size / 2))
    capture "$ZAMRIK_PACK" verify stream.exe
    [ "$status" -eq 1 ] || fail "verify of a bad stream gave status $status"
    expect_in "$err" "stream.exe: damaged block:"

    # The rest of the file: each damage named, and the launcher's own failure where it has one.
    size=$(stat -c %s hello.exe)
    section_offset() { echo $((16#$(x86_64-w64-mingw32-objdump -h "$1" | awk -v name="$2" '$2 == name { print $6 }'))); }
    head -c $((size - 1000)) hello.exe >short.exe
    head -c $((stream + stream_size / 2)) hello.exe >cut.exe
    cp hello.exe code.exe
    flip_byte code.exe $(($(section_offset hello.exe .text) + 4096))
    cp hello.exe resources.exe
    flip_byte resources.exe $(($(section_offset hello.exe .rsrc) + 200))
    cp hello.exe header.exe
    flip_byte header.exe 100  # in the DOS stub's text
    echo appended >>appended.exe && cat hello.exe appended.exe >longer.exe
    for damage in "short.exe:cut short: the file has $((size - 1000)) bytes, its headers describe $size (1000 missing)" \
                  "cut.exe:cut short: the file has $((stream + stream_size / 2)) bytes" \
                  "code.exe:changed after packing, in the launcher's code (section .text): the checksum in its headers does not match" \
                  "resources.exe:changed after packing, in its identity strings or resources (sections .zamid, .rsrc)" \
                  "header.exe:changed after packing, in its headers" \
                  "longer.exe:the file has 9 bytes after the end that its headers describe"; do
      file=${damage%%:*}
      capture "$ZAMRIK_PACK" verify "$file"
      [ "$status" -eq 1 ] || fail "verify of $file gave status $status: $out"
      expect_in "$err" "zamrik-pack: error: $file: ${damage#*:}"
    done
    capture "$WINE_RUN" ./short.exe
    [ "$status" -ne 0 ] || fail "the launcher cut short ran: $out"
    ;;

  signed)
    # The packer needs no tool of a toolchain: packed with nothing at all on PATH.
    no_tools=$(mktemp -d)
    ! PATH=$no_tools command -v x86_64-w64-mingw32-gcc-posix >/dev/null || fail "a compiler is still reachable"
    env PATH="$no_tools" "$ZAMRIK_PACK" build "$APP_DIR" -o hello.exe -q
    rmdir "$no_tools"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
      -subj "/CN=Zamrik throwaway test signer" 2>/dev/null
    osslsigncode sign -certs cert.pem -key key.pem -h sha256 -n "Hello" -in hello.exe -out signed.exe >/dev/null
    capture osslsigncode verify -CAfile cert.pem -in signed.exe
    [ "$status" -eq 0 ] || fail "the signature does not verify: $out $err"
    capture "$ZAMRIK_PACK" verify signed.exe
    [ "$status" -eq 0 ] || fail "verify of the signed executable: $err"
    capture "$WINE_RUN" ./signed.exe signed
    [ "$status" -eq 0 ] || fail "the signed executable: status $status, $out $err"
    expect_in "$out" "Hello from a packed application!"
    expect_in "$out" "[1] signed"
    ;;

  full-disk)
    # Both packers on a disk too small for the executable: the output and the system's reason in
    # one line, the tool's status, and nothing left behind. The Windows packer's output name goes
    # beyond ASCII, and comes back in the message as it was typed.
    [ -n "${ZAMRIK_TEST_SMALL_DISK:-}" ] || { echo "skipped: no small file system (mounting needs root)"; exit 77; }
    disk=${ZAMRIK_TEST_SMALL_DISK#Z:}
    disk=${disk//\\//}
    capture "$ZAMRIK_PACK" build "$APP_DIR" -o "$disk/hello.exe" -q
    [ "$status" -eq 2 ] || fail "Linux packer: status $status: $err"
    expect_in "$err" "zamrik-pack: error: $disk/hello.exe: cannot write the executable: No space left on device"
    [ -z "$(ls -A "$disk")" ] || fail "Linux packer left files: $(ls -A "$disk")"
    name=$'gr\xc3\xb6\xc3\x9fe.exe'
    capture "$WINE_RUN" "$ZAMRIK_PACK_EXE" build "Z:${APP_DIR//\//\\}" -o "$ZAMRIK_TEST_SMALL_DISK\\$name" -q
    [ "$status" -eq 2 ] || fail "Windows packer: status $status: $err"
    # The system's words for ERROR_DISK_FULL, as Wine has them.
    expect_in "$err" "zamrik-pack: error: $ZAMRIK_TEST_SMALL_DISK\\$name: cannot write the executable: Disk full"
    [ -z "$(ls -A "$disk")" ] || fail "Windows packer left files: $(ls -A "$disk")"
    ;;
  windows-packer)
    # The Windows packer, started as a Windows user would: a relative folder, paths with a drive
    # letter and backslashes, and a folder deeper than Windows' classic 260 characters. Each time
    # it writes the bytes that the Linux packer writes.
    : "${ZAMRIK_PACK_EXE:?}"
    identity=(--company "Zamrik demo" --product Hello --description "Zamrik onefile demo" --version 1.0.0.0)
    cp -r "$APP_DIR" app
    # Names beyond ASCII, two of which sort one way in UTF-8 and the other way in UTF-16
    # (U+E000 against U+1F600, a surrogate pair): both packers walk in UTF-8 order.
    echo private >app/data/$'\xee\x80\x80'.txt
    echo smile >app/data/$'\xf0\x9f\x98\x80'.txt
    echo umlauts >app/data/$'gr\xc3\xbc\xc3\x9fe'.txt
    # The Linux packer with nothing on PATH, as in the signed case.
    no_tools=$(mktemp -d)
    env PATH="$no_tools" "$ZAMRIK_PACK" build app -o linux.exe "${identity[@]}" -q
    rmdir "$no_tools"
    # Wine's drive Z: is the root of the host's file system.
    windows_path() { printf 'Z:%s' "${1//\//\\}"; }
    here=$(windows_path "$WORK")
    long=$WORK
    for i in 1 2 3 4 5 6; do long=$long/a-folder-name-of-fifty-characters-to-make-paths-$i; done
    mkdir -p "$long"
    cp -r app "$long/app"
    deep=$(windows_path "$long")
    [ ${#deep} -gt 300 ] || fail "the deep folder is only ${#deep} characters long"
    # What a killed build of windows.exe would have left: no process holds it, so it goes.
    : >.windows.exe.partial-4242-1234
    for run in "app windows.exe --threads 1" "$here\\app $here\\drive.exe" "$deep\\app $deep\\long.exe"; do
      read -r folder output threads <<<"$run"
      capture "$WINE_RUN" "$ZAMRIK_PACK_EXE" build "$folder" -o "$output" "${identity[@]}" $threads -q
      [ "$status" -eq 0 ] || fail "build $folder: status $status: $err"
    done
    [ ! -e .windows.exe.partial-4242-1234 ] || fail "the Windows packer left an abandoned partial file"
    cmp linux.exe windows.exe || fail "the Windows packer wrote other bytes (relative paths)"
    cmp linux.exe drive.exe || fail "the Windows packer wrote other bytes (drive letter)"
    cmp linux.exe "$long/long.exe" || fail "the Windows packer wrote other bytes (long path)"

    capture "$WINE_RUN" "$ZAMRIK_PACK_EXE" verify "$here\\windows.exe"
    [ "$status" -eq 0 ] || fail "verify: $err"
    expect_in "$out" "windows.exe: OK, 7 files"
    capture "$WINE_RUN" "$ZAMRIK_PACK_EXE" list windows.exe
    expect_in "$out" 'data\notes\readme.txt'
    capture "$WINE_RUN" "$ZAMRIK_PACK_EXE" extract "$deep\\long.exe" unpacked
    [ "$status" -eq 0 ] || fail "extract: $err"
    diff -r app unpacked || fail "the extracted tree differs from the folder"
    capture "$WINE_RUN" "$ZAMRIK_PACK_EXE" build app -o windows.exe --level 99
    [ "$status" -eq 1 ] || fail "a bad level gave status $status"
    expect_in "$err" "option '--level' takes a whole number"
    ;;

  *) fail "unknown case $1" ;;
esac
