#!/usr/bin/env python3
"""Benchmarks of the launcher: unpack speed, memory and start-up, against the limit and against
peer formats, in one run. Called by `./run bench`; see docs/BENCHMARKS.md for what each figure
means. Every figure is the median of --runs runs after one warm-up round; the contenders of a
section run interleaved, round after round, so every ratio is taken pair by pair within a round.
"""
import argparse
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ROOT / "build" / "release-native"
WINDOWS = ROOT / "build" / "release-windows"
WORK = ROOT / "build" / "bench"
APPLICATION_BYTES = 1_351_699_297
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


# ---- Inputs: applications, blocks, peer archives (made once, kept in build/bench) ---------------

class Inputs:
    def __init__(self, args, wine):
        self.args = args
        self.wine = wine
        self.generator = NATIVE / "bench" / "zamrik-bench-app"
        self.packer = NATIVE / "bench" / "zamrik-bench-pack"
        self.main_dll = WINDOWS / "bench" / "main.dll"
        self.kit = args.launcher_kit or WINDOWS / "launcher-kit"
        self.kit_library = self.kit / "libzamrik_launcher_kit.a"
        # Inputs of each scale apart, so a quick run keeps the full-size ones.
        self.base = WORK / f"inputs-{args.scale:g}"

    def _fresh(self, stamp, key):
        return stamp.exists() and json.loads(stamp.read_text()).get("key") == key

    def app(self, name, **options):
        """An application folder from the generator; options become its command-line options."""
        folder = self.base / "apps" / name
        stamp = self.base / "apps" / f"{name}.json"
        key = {"seed": self.args.seed, **options, "generator": self.generator.stat().st_mtime,
               "main": self.main_dll.stat().st_mtime}
        if not self._fresh(stamp, key):
            log(f"generating {name} {options}")
            words = [str(self.generator), str(folder), "--main-dll", str(self.main_dll), "--seed", str(self.args.seed)]
            for option, value in options.items():
                words += [f"--{option.replace('_', '-')}"] + ([] if value is True else [str(value)])
            summary = json.loads(run(words))
            stamp.write_text(json.dumps({"key": key, "summary": summary}))
        return folder, json.loads(stamp.read_text())["summary"]

    def pack(self, name, folder):
        """The block (level and threads of the run), the frame alone, the launcher and the limit
        program around the same block."""
        out = self.base / "packs" / name
        stamp = out / "pack.json"
        key = {"app": (folder.parent / f"{folder.name}.json").read_text(), "level": self.args.level}
        if not self._fresh(stamp, key):
            log(f"packing {name} at level {self.args.level}")
            remove(out)
            started = time.perf_counter()
            summary = json.loads(run([str(self.packer), str(folder), str(out), "--level", str(self.args.level),
                                      "--threads", str(self.args.threads)]))
            summary["seconds_to_pack"] = round(time.perf_counter() - started, 1)
            stamp.write_text(json.dumps({"key": key, "summary": summary}))
        summary = json.loads(stamp.read_text())["summary"]
        self._link_limit(out)
        launcher = out / "launcher.exe"
        if self.kit_library.exists():
            linked = out / "launcher.kit"
            kit_key = f"{self.kit_library.resolve()} {self.kit_library.stat().st_mtime}"
            if not launcher.exists() or not linked.exists() or linked.read_text() != kit_key:
                log(f"linking the launcher for {name}")
                run([str(self.packer), str(folder), str(out), "--launcher-kit", str(self.kit), "--link-only"])
                linked.write_text(kit_key)
        else:
            launcher = None
        return {"dir": out, "launcher": launcher, "limit": out / "limit.exe", "limit aligned": out / "limit-aligned.exe",
                "stream": out / "stream.zst",
                "summary": summary}

    def _link_limit(self, out):
        """The limit program, linked with the same tools and flags as the launcher; and a second
        one whose sections lie at page-aligned file offsets, which Wine maps instead of reading
        the whole image into private memory at start."""
        library = WINDOWS / "bench" / "libzamrik_bench_limit.a"
        limit, aligned = out / "limit.exe", out / "limit-aligned.exe"
        if aligned.exists() and limit.exists() and limit.stat().st_mtime > library.stat().st_mtime:
            return
        block = out / "block.bin"
        source = out / "limit.S"
        source.write_text(
            '  .section .zamrik,"dr"\n  .balign 16\n  .globl bench_block\nbench_block:\n'
            f'  .incbin "{block.resolve()}"\n'
            '  .section .rdata,"dr"\n  .balign 8\n  .globl bench_block_length\nbench_block_length:\n'
            f"  .quad {block.stat().st_size}\n")
        run(["x86_64-w64-mingw32-gcc-posix", "-c", str(source), "-o", str(out / "limit.o")])
        for exe, extra in ((aligned, ["-Wl,--file-alignment=4096"]), (limit, [])):
            run(["x86_64-w64-mingw32-g++-posix", "-municode", "-mwindows", "-static", "-s", "-Wl,--no-insert-timestamp",
                 *extra, "-o", str(exe), str(out / "limit.o"), str(library), str(WINDOWS / "libzstd_decompress.a")])
        (out / "limit.o").unlink()

    def peers(self, name, folder):
        """The same tree as tar with zstd (the same level and window as ours), a zip of deflate
        streams (zip's usual level 6), and 7-Zip LZMA2 at level 3: its usual level 5 takes four
        times longer to make and decodes no faster (the same processor time, measured)."""
        out = self.base / "peers" / name
        stamp = out / "peers.json"
        key = {"app": (folder.parent / f"{folder.name}.json").read_text(), "level": self.args.level,
               "formats": "tar.zst at the level, zip -6, 7z lzma2 -mx=3"}
        if not self._fresh(stamp, key):
            remove(out)
            out.mkdir(parents=True)
            sizes = {}
            log(f"making tar.zst of {name}")
            tar = subprocess.Popen(["tar", "-C", str(folder), "-cf", "-", "."], stdout=subprocess.PIPE)
            run(["zstd", "-q", f"-{self.args.level}", f"-T{self.args.threads}", "--long=27", "-o",
                 str(out / "app.tar.zst")], stdin=tar.stdout)
            if tar.wait() != 0:
                raise RuntimeError("tar failed")
            log(f"making zip of {name}")
            run(["zip", "-q", "-r", "-6", str(out / "app.zip"), "."], cwd=folder)
            log(f"making 7z of {name}")
            run(["7z", "a", "-bd", "-t7z", "-m0=lzma2", "-mx=3", f"-mmt={self.args.threads}", str(out / "app.7z"), "."],
                cwd=folder)
            for archive in ("app.tar.zst", "app.zip", "app.7z"):
                sizes[archive] = (out / archive).stat().st_size
            stamp.write_text(json.dumps({"key": key, "sizes": sizes}))
        return out, json.loads(stamp.read_text())["sizes"]


# ---- Measuring -------------------------------------------------------------------------------

class Contender:
    """One program under test: `command` is timed; `after` (untimed) checks and clears its output."""

    def __init__(self, name, command, after=None, env=None):
        self.name, self.command, self.after, self.env = name, command, after, env
        # Processor time of the processes that were waited for: not Wine's server, and not a
        # process that Wine starts for a Windows program (the launcher's child).
        self.cpu = []

    def once(self):
        with tempfile.TemporaryFile() as output:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            started = time.perf_counter()
            returncode = subprocess.run(self.command, stdout=output, stderr=subprocess.STDOUT, env=self.env).returncode
            seconds = time.perf_counter() - started
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            self.cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
            if returncode != 0:
                output.seek(0)
                raise RuntimeError(f"{self.name} failed ({returncode}): {output.read().decode(errors='replace')[-2000:]}")
        if self.after:
            self.after()
        # Write-back of this run's files must not land in the next run's time.
        os.sync()
        return seconds


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "runs": values}


def compare(contenders, runs, baseline_pairs):
    """Runs the contenders interleaved: one warm-up round, then `runs` rounds. Returns the times
    and the ratios taken pair by pair within each round."""
    for contender in contenders:
        log(f"  warm-up {contender.name}")
        contender.once()
    times = {c.name: [] for c in contenders}
    loads = []
    for round_number in range(runs):
        loads.append(load_average())
        for contender in contenders:
            times[contender.name].append(contender.once())
        log(f"  round {round_number + 1}/{runs}: " + ", ".join(f"{n} {t[-1]:.3f}s" for n, t in times.items()))
    ratios = {}
    for a, b in baseline_pairs:
        ratios[f"{a} / {b}"] = summary([x / y for x, y in zip(times[a], times[b])])
    return {"times": {n: summary(t) for n, t in times.items()}, "ratios": ratios,
            "cpu": {c.name: summary(c.cpu[-runs:]) for c in contenders}, "load_average": summary(loads)}


def check_removed(wine):
    """The launcher removes its unpack folder: a leftover means the run was not a full run."""
    def after():
        left = sorted(wine.temp.glob("onefile_*"))
        if left:
            for folder in left:
                remove(folder)
            raise RuntimeError(f"the launcher left {left[0]} behind")
    return after


class ProcessWatch:
    """The Linux view of Wine processes whose command line names `marker`: for each, the highest
    resident size (VmHWM, kept by the kernel) and the highest anonymous resident size seen
    (RssAnon, sampled every few milliseconds)."""

    def __init__(self, marker):
        self.marker = marker.encode()
        self.probe = b"memory-probe"
        self.seen = {}  # pid -> {"order", "vm_hwm", "rss_anon"}
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)

    def __enter__(self):
        # Only processes started from now on; a Wine process is forked under its parent's
        # command line and takes its own at exec, so an unnamed one is looked at again.
        self.before = {int(e) for e in os.listdir("/proc") if e.isdigit()}
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join()

    def _watch(self):
        while not self.stopping.is_set():
            for entry in os.listdir("/proc"):
                if not entry.isdigit():
                    continue
                pid = int(entry)
                if pid in self.before:
                    continue
                try:
                    if pid not in self.seen:
                        command_line = Path(f"/proc/{pid}/cmdline").read_bytes()
                        if self.marker not in command_line or self.probe in command_line:
                            continue
                        self.seen[pid] = {"order": len(self.seen), "vm_hwm": 0, "rss_anon": 0}
                    status = Path(f"/proc/{pid}/status").read_text()
                except OSError:
                    continue
                for line in status.splitlines():
                    name, _, value = line.partition(":")
                    if name in ("VmHWM", "RssAnon"):
                        key = "vm_hwm" if name == "VmHWM" else "rss_anon"
                        self.seen[pid][key] = max(self.seen[pid][key], int(value.split()[0]) * 1024)
            time.sleep(0.005)

    def by_order(self):
        return [v for _, v in sorted(self.seen.items(), key=lambda item: item[1]["order"])]


# ---- Sections --------------------------------------------------------------------------------

def unpack_contenders(wine, packed, label, with_native=False, peers=None):
    """The launcher's full run and the limit under Wine; for the full application also the limit
    with page-aligned sections, and the native decoders."""
    contenders = []
    if packed["launcher"]:
        contenders.append(Contender("launcher", wine.command(packed["launcher"]), check_removed(wine), wine.env))
    limit_out = wine.temp / f"bench_limit_{label}"
    contenders.append(Contender("limit", wine.command(packed["limit"], Wine.path(limit_out)),
                                lambda: remove(limit_out), wine.env))
    if with_native:
        contenders.append(Contender("limit aligned", wine.command(packed["limit aligned"], Wine.path(limit_out)),
                                    lambda: remove(limit_out), wine.env))
        native_out = WORK / "out" / "zstd.bin"
        native_out.parent.mkdir(parents=True, exist_ok=True)
        contenders.append(Contender("zstd native", ["zstd", "-d", "-q", "-f", str(packed["stream"]), "-o", str(native_out)],
                                    lambda: remove(native_out)))
    if peers:
        archives, _ = peers
        for name, command in (
                ("tar --zstd", lambda out: ["tar", "--zstd", "-xf", str(archives / "app.tar.zst"), "-C", str(out)]),
                ("unzip", lambda out: ["unzip", "-q", "-o", str(archives / "app.zip"), "-d", str(out)]),
                ("7z x", lambda out: ["7z", "x", "-bd", "-y", f"-o{out}", str(archives / "app.7z")])):
            out = WORK / "out" / name.split()[0]
            contenders.append(peer(name, command(out), out))
    return contenders


def peer(name, command, out):
    def before_and_after():
        remove(out)
        out.mkdir(parents=True)
    before_and_after()
    return Contender(name, command, before_and_after)


def section_full(wine, inputs, args):
    log("== full application: launcher, limit, native decoders")
    folder, shape = inputs.app("full", scale=args.scale)
    packed = inputs.pack("full", folder)
    peers = inputs.peers("full", folder)
    contenders = unpack_contenders(wine, packed, "full", with_native=True, peers=peers)
    names = [c.name for c in contenders]
    pairs = [(a, b) for a, b in (("launcher", "limit"), ("limit aligned", "limit"), ("limit", "zstd native"), ("launcher", "zstd native"),
                                 ("launcher", "tar --zstd"), ("launcher", "unzip"), ("launcher", "7z x"),
                                 ("limit", "tar --zstd"), ("limit", "unzip"), ("limit", "7z x")) if a in names]
    result = compare(contenders, args.runs, pairs)
    result.update(shape=shape, block=packed["summary"], peer_archives=peers[1])
    return result


def section_pair(wine, inputs, args):
    """The launcher against the limit alone, on the full application, for a closer look at the
    goal's ratio than the peer rounds leave time for."""
    log("== launcher and limit alone")
    folder, shape = inputs.app("full", scale=args.scale)
    packed = inputs.pack("full", folder)
    contenders = unpack_contenders(wine, packed, "pair")
    result = compare(contenders, args.runs, [("launcher", "limit")] if packed["launcher"] else [])
    result.update(shape=shape, block=packed["summary"])
    return result


def section_scaling(wine, inputs, args, full):
    log("== scaling: total size and file count")
    points = []
    for fraction in (0.1, 0.5):
        folder, shape = inputs.app(f"scale-{fraction}", scale=args.scale * fraction)
        packed = inputs.pack(f"scale-{fraction}", folder)
        points.append((f"{fraction} of the size", shape, packed))
    folder, shape = inputs.app("files-10000", scale=args.scale, files=10000)
    packed = inputs.pack("files-10000", folder)
    points.append(("10,000 files", shape, packed))
    result = {}
    for label, shape, packed in points:
        log(f" - {label}")
        contenders = unpack_contenders(wine, packed, label.split()[0])
        names = [c.name for c in contenders]
        result[label] = compare(contenders, args.runs, [("launcher", "limit")] if "launcher" in names else [])
        result[label].update(shape=shape, block=packed["summary"])
    if full:
        result["1.0 of the size"] = {k: full[k] for k in ("times", "ratios", "shape", "block", "cpu")}
        result["1.0 of the size"]["times"] = {k: v for k, v in full["times"].items() if k in ("launcher", "limit")}
        result["1.0 of the size"]["cpu"] = {k: v for k, v in full["cpu"].items() if k in ("launcher", "limit")}
        result["1.0 of the size"]["ratios"] = {k: v for k, v in full["ratios"].items() if k == "launcher / limit"}
    return result


def memory_run(wine, exe, args_, report=None, marker=None):
    """One run under the memory probe: the system's figures for the process it starts, the
    child's own report when asked for, and the Linux view of every process named `marker`."""
    env = dict(wine.env)
    if report:
        remove(report)
        env["ZAMRIK_BENCH_MEMORY_REPORT"] = Wine.path(report)
    probe = WINDOWS / "bench" / "zamrik-bench-memory-probe.exe"
    with ProcessWatch(marker or Path(exe).name) as watch:
        out = run(wine.command(probe, Wine.path(exe), *args_), env=env)
    figures = {"probe": json.loads(out.strip().splitlines()[-1]), "linux": watch.by_order()}
    if report:
        figures["child_report"] = json.loads(report.read_text())
    return figures


def section_memory(wine, inputs, args):
    log("== memory")
    result = {"window": WINDOW, "goal": WINDOW + 4 * MIB}
    blocks = [("full", inputs.app("full", scale=args.scale)),
              ("one 1 GiB file", inputs.app("single-1g", single=True, scale=args.scale,
                                            bytes=(1 << 30) + inputs.main_dll.stat().st_size))]
    tiny_folder, _ = inputs.app("tiny", bytes=1_000_000, files=20, directories=3)
    result["wine baseline (host-start, tiny application)"] = memory_run(
        wine, WINDOWS / "bench" / "zamrik-bench-host-start.exe", [Wine.path(tiny_folder), Wine.path(tiny_folder / "main.dll")])
    for label, (folder, shape) in blocks:
        packed = inputs.pack(folder.name, folder)
        entry = {"shape": shape, "block": packed["summary"]}
        if packed["launcher"]:
            runs = []
            for _ in range(3):
                runs.append(memory_run(wine, packed["launcher"], [], report=WORK / "out" / "child-memory.json",
                                       marker=str(packed["launcher"].name)))
                check_removed(wine)()
            entry["launcher"] = runs
        limit_out = wine.temp / "bench_limit_memory"
        for limit in ("limit", "limit aligned"):
            entry[limit] = memory_run(wine, packed[limit], [Wine.path(limit_out)])
            remove(limit_out)
        result[label] = entry
    return result


def section_startup(wine, inputs, args):
    log("== start-up: tiny application through the launcher, and loaded by a host program")
    folder, shape = inputs.app("tiny", bytes=1_000_000, files=20, directories=3)
    packed = inputs.pack("tiny", folder)
    host = WINDOWS / "bench" / "zamrik-bench-host-start.exe"
    contenders = [Contender("host start", wine.command(host, Wine.path(folder), Wine.path(folder / "main.dll")),
                            env=wine.env)]
    if packed["launcher"]:
        contenders.insert(0, Contender("launcher", wine.command(packed["launcher"]), check_removed(wine), wine.env))
    names = [c.name for c in contenders]
    result = compare(contenders, max(args.runs, 20), [("launcher", "host start")] if "launcher" in names else [])
    result.update(shape=shape, block=packed["summary"])
    return result


def prepare(inputs, args):
    folder, _ = inputs.app("full", scale=args.scale)
    inputs.pack("full", folder)
    inputs.peers("full", folder)
    for name, options in (("tiny", {"bytes": 1_000_000, "files": 20, "directories": 3}),
                          ("single-1g", {"single": True, "scale": args.scale,
                                         "bytes": (1 << 30) + inputs.main_dll.stat().st_size}),
                          ("scale-0.1", {"scale": args.scale * 0.1}), ("scale-0.5", {"scale": args.scale * 0.5}),
                          ("files-10000", {"scale": args.scale, "files": 10000})):
        folder, _ = inputs.app(name, **options)
        inputs.pack(name, folder)


# ---- Report ------------------------------------------------------------------------------------

def machine():
    info = {"cores": os.cpu_count(), "kernel": platform.release()}
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            info["cpu"] = line.split(":", 1)[1].strip()
            break
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal"):
            info["memory_bytes"] = int(line.split()[1]) * 1024
    info["file_system"] = run(["df", "--output=fstype", str(WORK)]).splitlines()[-1].split()[0]
    info["wine"] = run(["/usr/lib/wine/wine64", "--version"]).strip() if os.path.exists("/usr/lib/wine/wine64") else ""
    info["zstd"] = run(["zstd", "--version"]).strip()
    info["7z"] = next((l for l in run(["7z"]).splitlines() if l.startswith("7-Zip")), "")
    return info


def seconds(s):
    return f"{s['median']:.3f} s ({s['min']:.3f} to {s['max']:.3f})"


def ratio(r):
    return f"{r['median']:.3f} ({r['min']:.3f} to {r['max']:.3f})"


def linux_figure(process, key):
    """A short-lived process can end between two samples of the Linux view."""
    value = process.get(key, 0)
    return f"{value:,}" if value else "not sampled"


def tables(results):
    lines = []
    def section(title, data):
        lines.extend([f"### {title}", "", "| comparison | ratio, median (min to max) |", "|---|---|"])
        for name, r in data["ratios"].items():
            lines.append(f"| {name} | {ratio(r)} |")
        lines.extend(["", "| program | time, median (min to max) | processor time, median |", "|---|---|---|"])
        for name, s in data["times"].items():
            cpu = data.get("cpu", {}).get(name)
            lines.append(f"| {name} | {seconds(s)} | {cpu['median']:.3f} s |" if cpu else f"| {name} | {seconds(s)} | |")
        load = data.get("load_average")
        if load:
            lines.append("")
            lines.append(f"Load average at the start of each round: {load['min']:.2f} to {load['max']:.2f}.")
        lines.append("")
    if "full" in results:
        section("Full application", results["full"])
    if "pair" in results:
        section("Launcher and limit alone (full application)", results["pair"])
    if "startup" in results:
        section("Start-up (tiny application)", results["startup"])
    if "scaling" in results:
        for label, data in results["scaling"].items():
            section(f"Scaling: {label} ({data['shape']['files']} files, {data['shape']['bytes']:,} bytes)", data)
    if "memory" in results:
        m = results["memory"]
        lines.extend(["### Memory (bytes; goal: window + 4 MiB = %s)" % f"{m['goal']:,}", "",
                      "| block | process | peak private (PeakPagefileUsage) | peak working set | Linux: peak RSS | Linux: peak anonymous RSS |",
                      "|---|---|---|---|---|---|"])
        for label, entry in m.items():
            if not isinstance(entry, dict) or "limit" not in entry:
                continue
            for run_ in entry.get("launcher", [])[:1]:
                linux = run_["linux"] + [{}, {}]
                lines.append(f"| {label} | launcher parent | {run_['probe']['peak_pagefile_usage']:,} | "
                             f"{run_['probe']['peak_working_set']:,} | {linux_figure(linux[0], 'vm_hwm')} | "
                             f"{linux_figure(linux[0], 'rss_anon')} |")
                lines.append(f"| {label} | launcher child | {run_['child_report']['peak_pagefile_usage']:,} | "
                             f"{run_['child_report']['peak_working_set']:,} | {linux_figure(linux[1], 'vm_hwm')} | "
                             f"{linux_figure(linux[1], 'rss_anon')} |")
            for name in ("limit", "limit aligned"):
                limit = entry[name]
                linux = limit["linux"] + [{}]
                lines.append(f"| {label} | {name} | {limit['probe']['peak_pagefile_usage']:,} | {limit['probe']['peak_working_set']:,} | "
                             f"{linux_figure(linux[0], 'vm_hwm')} | {linux_figure(linux[0], 'rss_anon')} |")
        base = m.get("wine baseline (host-start, tiny application)")
        if base:
            lines.append(f"| tiny | host start (Wine baseline) | {base['probe']['peak_pagefile_usage']:,} | "
                         f"{base['probe']['peak_working_set']:,} | | |")
        lines.append("")
    return "\n".join(lines)


def chart(results, out):
    """Full-run time against total size, and against file count, drawn with gnuplot."""
    scaling = results.get("scaling")
    if not scaling or not shutil.which("gnuplot"):
        return None
    data = out.with_suffix(".dat")
    rows = []
    for label, entry in scaling.items():
        if "of the size" not in label:
            continue
        t = entry["times"]
        rows.append((entry["shape"]["bytes"] / 1e9, t.get("launcher", {}).get("median", float("nan")), t["limit"]["median"],
                     t.get("launcher", {}).get("min", float("nan")), t.get("launcher", {}).get("max", float("nan")),
                     t["limit"]["min"], t["limit"]["max"]))
    rows.sort()
    data.write_text("".join(" ".join(f"{v:.6g}" for v in row) + "\n" for row in rows))
    files = sorted(((label, entry) for label, entry in scaling.items() if label in ("1.0 of the size", "10,000 files")),
                   key=lambda item: item[1]["shape"]["files"])
    bars = out.with_name(out.stem + "-files.dat")
    bars.write_text("".join(f"\"{e['shape']['files']} files\" {e['times'].get('launcher', {}).get('median', 0):.6g} "
                            f"{e['times']['limit']['median']:.6g}\n" for _, e in files))
    script = f"""
set terminal pngcairo size 1100,480 font "DejaVu Sans,10"
set output "{out}"
set multiplot layout 1,2 title "Full-run time under Wine (median of runs; bars: min to max)"
set key top left
set grid
set xlabel "application size (GB unpacked)"
set ylabel "seconds"
set yrange [0:*]
plot "{data}" using 1:2:4:5 with yerrorlines lw 2 title "launcher (unpack, child, removal)", \\
     "{data}" using 1:3:6:7 with yerrorlines lw 2 title "limit (decode and write only)"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set xlabel "same bytes, different file count"
unset xrange
plot "{bars}" using 2:xtic(1) title "launcher", "" using 3 title "limit"
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
    data.unlink()
    bars.unlink()
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the application's size (default 1.0)")
    parser.add_argument("--runs", type=int, default=5, help="measured rounds after the warm-up (at least 5)")
    parser.add_argument("--level", type=int, default=9, help="compression level of the blocks and of tar.zst")
    parser.add_argument("--threads", type=int, default=2, help="compression threads")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--launcher-kit", type=Path, help="another launcher kit (default: the release build's)")
    parser.add_argument("--sections", default="full,startup,memory,scaling",
                        help="any of full, startup, memory, scaling, pair (launcher and limit alone)")
    parser.add_argument("--report-only", action="store_true", help="redo the tables and the chart from latest.json")
    parser.add_argument("--prepare", action="store_true", help="only make the inputs (applications, blocks, archives)")
    parser.add_argument("--out", type=Path, help="where the results go (default: bench/results for a full-size run)")
    args = parser.parse_args()
    out = args.out or (ROOT / "bench" / "results" if args.scale == 1.0 else WORK / "results")
    out.mkdir(parents=True, exist_ok=True)
    sections = args.sections.split(",")
    WORK.mkdir(parents=True, exist_ok=True)
    if args.report_only:
        report(json.loads((out / "latest.json").read_text()), out)
        return

    wine = Wine()
    try:
        wine.start()
        inputs = Inputs(args, wine)
        if not inputs.kit_library.exists():
            log("the launcher kit is not built yet: launcher rows are left out")
        results = {"machine": machine(), "settings": {k: str(v) for k, v in vars(args).items() if k != "out"},
                   "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "load_average_at_start": load_average()}
        if args.prepare:
            prepare(inputs, args)
            return
        if "full" in sections:
            results["full"] = section_full(wine, inputs, args)
        if "pair" in sections:
            results["pair"] = section_pair(wine, inputs, args)
        if "startup" in sections:
            results["startup"] = section_startup(wine, inputs, args)
        if "memory" in sections:
            results["memory"] = section_memory(wine, inputs, args)
        if "scaling" in sections:
            results["scaling"] = section_scaling(wine, inputs, args, results.get("full"))
        results["finished"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
    finally:
        wine.stop()
    (out / "latest.json").write_text(json.dumps(results, indent=1) + "\n")
    report(results, out)


def report(results, out):
    text = tables(results)
    (out / "latest.md").write_text(text + "\n")
    picture = chart(results, out / "scaling.png")
    print(text)
    log(f"results in {out / 'latest.json'}" + (f", chart {picture}" if picture else ""))


if __name__ == "__main__":
    main()
