#!/usr/bin/env bash
# A console launcher on the console of a console program (console_host), which starts it as a
# command prompt would. Wine makes a working console only for a program started in a terminal,
# so console_host runs under script(1).
#   pass-on   the program, started by the runner, is attached to that console and writes to it
#   ctrl-c    Ctrl+C sent to the console reaches the program, which has 5 s to end
set -u
case=$1
mkdir -p "$WORK"

# console_host's report, one key=value per line (screen= for each line of the console).
host() {
  rm -f "$WORK/report.txt"
  local line="'$WINE_RUN' '$E2E_DIR/console_host.exe'"
  for argument in "$@"; do line+=" '$argument'"; done
  script -qec "$line >'$WORK/report.txt'" /dev/null >/dev/null 2>&1 </dev/null
  cat "$WORK/report.txt"
}
fail() { echo "FAILED: $*"; echo "$report"; exit 1; }
value() { sed -n "s/^$1=//p" <<<"$report" | tr -d '\r' | head -1; }
launcher="Z:$E2E_DIR/launcher_console_program.exe"

# The run's unpack directory, from the program's report, is gone afterwards.
check_removed() {
  local directory
  directory=$(sed -n 's/^screen=library=.*\\\(onefile_[^\\]*\)\\app.exe.*/\1/p' <<<"$report" | head -1)
  [ -n "$directory" ] || fail "no unpack directory reported"
  ! ls -d "$ZAMRIK_WINEPREFIX"/drive_c/users/*/Temp/"$directory" >/dev/null 2>&1 || fail "$directory left behind"
}

case "$case" in
  pass-on)
    report=$(host return= no "$launcher" console-write through-the-console echo)
    [ "$(value console)" != none ] || fail "Wine made no console"
    [ "$(value exit)" = 0 ] || fail "exit status"
    # Written to CONOUT$, the console the program itself is attached to.
    grep -qx 'screen=through-the-console' <<<"$report" || fail "the program is not on the host's console"
    grep -qx 'screen=return=0' <<<"$report" || fail "the program's output is missing"
    check_removed
    ;;
  ctrl-c)
    report=$(host on-ctrl-c= yes "$launcher" on-ctrl-c 2000 7 sleep 8000)
    grep -qx 'screen=on-ctrl-c=ok' <<<"$report" || fail "the program could not take Ctrl+C"
    [ "$(value generate)" = ok ] || fail "Ctrl+C could not be sent"
    if ! grep -qx 'screen=ctrl-c event=0' <<<"$report"; then
      echo "This Wine delivers no Ctrl+C from GenerateConsoleCtrlEvent to the console's programs:"
      echo "$report"
      exit 77
    fi
    grep -qx 'screen=ctrl-c done' <<<"$report" || fail "the program did not end in its own time"
    [ "$(value elapsed_ms)" -lt 4900 ] || fail "the program took too long"
    check_removed
    report=$(host on-ctrl-c= yes "$launcher" on-ctrl-c 60000 7 sleep 60000)
    ! grep -qx 'screen=ctrl-c done' <<<"$report" || fail "the program was not ended"
    elapsed=$(value elapsed_ms)
    [ "$elapsed" -ge 4900 ] && [ "$elapsed" -lt 9000 ] || fail "the program was not ended after 5 s"
    check_removed
    ;;
esac
echo "ok: $case"
