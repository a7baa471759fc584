#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, quietly, and passes its exit
# status through. The prefix is made on first use; a lock keeps parallel tests from racing it.
set -u
. "$(dirname "$0")/utf8-locale.sh"
prefix=${ZAMRIK_WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/wine-prefix}
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=$(command -v wine64 || command -v wine)
if [ ! -f "$prefix/.ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.ready" ]; then
      "$loader" wineboot -i >/dev/null 2>&1
      # No display here: the null graphics driver still makes windows (a message box a test
      # reads and closes), and a crash must never wait on a dialog nobody sees.
      "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
      wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver)
      "$wineserver_bin" -w >/dev/null 2>&1 || true
      touch "$prefix/.ready"
    fi
  ) 9>"$prefix.lock"
fi
exec "$loader" "$@"
