"""What every part of the benchmarks shares: paths, running commands, and the bench's Wine."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ROOT / "build" / "release-native"
WINDOWS = ROOT / "build" / "release-windows"
WORK = ROOT / "build" / "bench"
WINDOW = 1 << 27
MIB = 1 << 20


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def run_to_file(command, **kwargs):
    """Runs a command with its output in a file, not a pipe: Wine's helper processes inherit the
    output handles and outlive the command, so a pipe would never reach its end."""
    with tempfile.TemporaryFile() as output:
        returncode = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT, **kwargs).returncode
        output.seek(0)
        return returncode, output.read().decode(errors="replace")


def run(command, **kwargs):
    """Runs a command that must succeed; its output is kept for the error message."""
    returncode, text = run_to_file(command, **kwargs)
    if returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({returncode}):\n{text[-2000:]}")
    return text


def load_average():
    return float(Path("/proc/loadavg").read_text().split()[0])


def remove(path):
    if path.is_dir():
        shutil.rmtree(path)
    elif path.exists():
        path.unlink()


# ---- Wine ----------------------------------------------------------------------------------

class Wine:
    """The bench's own prefix, with one persistent server, so no run pays for starting it."""

    def __init__(self):
        self.prefix = WORK / "wine-prefix"
        self.loader = "/usr/lib/wine/wine64" if os.access("/usr/lib/wine/wine64", os.X_OK) else shutil.which("wine64")
        server = Path(self.loader).parent / "wineserver"
        self.server = str(server) if server.exists() else shutil.which("wineserver")
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")

    def start(self):
        # The project's wrapper makes the prefix on first use.
        run([str(ROOT / "cmake" / "wine-run.sh"), "cmd", "/c", "exit", "0"],
            env=dict(os.environ, ZAMRIK_WINEPREFIX=str(self.prefix)))
        # Fails harmlessly when a server of this prefix already runs.
        subprocess.run([self.server, "-p"], env=self.env)
        # The launcher unpacks below the temporary folder that Wine gives Windows programs.
        windows_temp = run([self.loader, "cmd", "/c", "echo", "%TEMP%"], env=self.env).strip().splitlines()[-1]
        self.temp = Path(run([self.loader, "winepath", "-u", windows_temp], env=self.env).strip().splitlines()[-1]).resolve()
        if not self.temp.is_dir():
            raise RuntimeError(f"the Wine prefix has no temporary folder ({windows_temp})")

    def stop(self):
        subprocess.run([self.server, "-k"], env=self.env)

    def command(self, exe, *args):
        return [self.loader, str(exe), *[str(a) for a in args]]

    @staticmethod
    def path(unix_path):
        return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")
