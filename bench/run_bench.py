#!/usr/bin/env python3
"""Benchmarks of the launcher: unpack speed, memory and start-up, against the limit and against
peer formats, in one run. Called by `./run bench`; see docs/BENCHMARKS.md for what each figure
means. Every figure is the median of --runs runs after one warm-up round; the contenders of a
section run interleaved, round after round, so every ratio is taken pair by pair within a round.
"""
import argparse
import json
import statistics
import time
from pathlib import Path

from bench_common import MIB, NATIVE, ROOT, WINDOW, WINDOWS, WORK, Wine, load_average, log, remove, run
from bench_inputs import Inputs
from bench_measure import Contender, ProcessWatch, check_removed, compare, summary
from bench_report import machine, report


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


def section_tar(wine, inputs, args):
    """The launcher's full run against tar with zstd on the same tree, with the limit and the
    native decoder beside them: the goal's pair without the slower peers."""
    log("== launcher, limit, tar --zstd and zstd native")
    folder, shape = inputs.app("full", scale=args.scale)
    packed = inputs.pack("full", folder)
    archives, sizes = inputs.peers("full", folder)
    contenders = unpack_contenders(wine, packed, "tar")
    native_out = WORK / "out" / "zstd.bin"
    native_out.parent.mkdir(parents=True, exist_ok=True)
    contenders.append(Contender("zstd native", ["zstd", "-d", "-q", "-f", str(packed["stream"]), "-o", str(native_out)],
                                lambda: remove(native_out)))
    out = WORK / "out" / "tar"
    contenders.append(peer("tar --zstd", ["tar", "--zstd", "-xf", str(archives / "app.tar.zst"), "-C", str(out)], out))
    names = [c.name for c in contenders]
    pairs = [p for p in (("launcher", "tar --zstd"), ("launcher", "limit"), ("limit", "tar --zstd"),
                         ("launcher", "zstd native")) if p[0] in names]
    result = compare(contenders, args.runs, pairs)
    result.update(shape=shape, block=packed["summary"], peer_archives={"app.tar.zst": sizes["app.tar.zst"]})
    return result


def section_phase(wine, inputs, args):
    """The unpack phase alone against decoding the same frames to nothing on one thread with the
    launcher's own reader, in one process under Wine, round after round, and the removal of the
    tree afterwards (bench/unpack_phase.cpp); once per count of --phase-workers, on the
    application that --phase-app names."""
    log(f"== unpack phase against decoding to nothing ({args.phase_app}, workers {args.phase_workers})")
    if args.phase_app == "single-1g":
        folder, shape = inputs.app("single-1g", single=True, scale=args.scale,
                                   bytes=(1 << 30) + inputs.main_dll.stat().st_size)
    else:
        folder, shape = inputs.app("full", scale=args.scale)
    packed = inputs.pack(args.phase_app, folder)
    program = WINDOWS / "bench" / "unpack_phase.exe"
    reported = reported_bytes()
    times, ratios, cpu, notes, threads = {}, {}, {}, [], {}
    for workers in (int(w) for w in args.phase_workers.split(",")):
        out = run(wine.command(program, Wine.path(packed["dir"] / "block.bin"), Wine.path(wine.temp), args.runs, workers),
                  env=wine.env)
        figures = json.loads(out.strip().splitlines()[-1])
        name = f"unpack phase, {workers or 'all'} workers"
        threads[name] = figures.get("decoding_threads", 0)
        times[name] = figures["unpack"]
        times.setdefault("decode only, one thread", []).extend(figures["decode"])
        times.setdefault("removal", []).extend(figures["remove"])
        kernel = figures["unpack_kernel"]
        ratios[f"{name} / decode only"] = summary([u / d for u, d in zip(figures["unpack"], figures["decode"])])
        cpu[name] = summary([u + k for u, k in zip(figures["unpack_user"], kernel)])
        notes.append(f"{name}: {threads[name]} threads decoded (0: the one-stream loop); processor time in the kernel "
                     f"(the writes) median {statistics.median(kernel):.3f} s, in user mode "
                     f"{statistics.median(figures['unpack_user']):.3f} s.")
    names = list(threads)
    for a, b in zip(names, names[1:]):
        ratios[f"{b} / {a}"] = summary([y / x for x, y in zip(times[a], times[b])])
    if reported is not None:
        notes.append(handed_back_since(reported))
    return {"times": {name: summary(t) for name, t in times.items()}, "ratios": ratios, "cpu": cpu,
            "notes": notes, "shape": shape, "block": packed["summary"], "decoding_threads": threads}


# Where a virtual machine's kernel reports the free memory that it hands back to the host.
REPORTED = Path("/sys/module/page_reporting/parameters/reported_kib")
# How long memory must stay free before it goes (at most 300,000 ms), and how much may wait
# before it goes all the same.
HOLD_SETTINGS = {Path("/sys/module/page_reporting/parameters/min_free_ms"): "300000",
                 Path("/sys/module/page_reporting/parameters/max_waiting_mib"): "65536"}


class HeldHostMemory:
    """With --hold-host-memory, keeps freed memory in the machine for the run, so that no round
    pays the host's page faults for memory it took back; the settings are put back afterwards."""

    def __init__(self, wanted):
        self.wanted, self.old = wanted, {}

    def hold(self):
        if not self.wanted:
            return
        for setting, value in HOLD_SETTINGS.items():
            try:
                old = setting.read_text().strip()
                setting.write_text(value)
                self.old[setting] = old
            except OSError as error:
                raise SystemExit(f"run_bench: --hold-host-memory: {setting}: {error.strerror or error}")
            log(f"memory is held from the host for the run: {setting.name} {value} (was {old})")

    def release(self):
        for setting, old in self.old.items():
            setting.write_text(old)


def reported_bytes():
    try:
        return int(REPORTED.read_text()) * 1024
    except (OSError, ValueError):
        return None


def handed_back_since(reported):
    return f"Free memory handed back to the host during the section: {(reported_bytes() - reported) / MIB:,.0f} MiB."


def section_host(wine, inputs, args):
    """What writing the tree's bytes costs on this machine, natively and without the launcher:
    fresh files in 1 MiB writes, once right after the previous round's files were removed, once
    after their memory has stayed free for 3 s. A virtual machine that hands free memory back to
    its host pays the host's page faults on the second."""
    log("== writing the tree's bytes into fresh memory")
    _, shape = inputs.app("full", scale=args.scale)
    directory = WORK / "host-writes"
    chunk = memoryview(bytes(range(256)) * (MIB // 256))

    def write_and_remove():
        remove(directory)
        directory.mkdir(parents=True)
        started = time.perf_counter()
        left, number = shape["bytes"], 0
        while left > 0:
            in_file = min(left, 64 * MIB)
            left -= in_file
            with open(directory / f"file-{number}", "wb", buffering=0) as file:
                while in_file > 0:
                    in_file -= file.write(chunk[:min(MIB, in_file)])
            number += 1
        seconds = time.perf_counter() - started
        remove(directory)
        return seconds

    reported = reported_bytes()
    write_and_remove()
    times = {"just freed": [], "free for 3 s": []}
    for round_number in range(args.runs):
        times["just freed"].append(write_and_remove())
        time.sleep(3)
        times["free for 3 s"].append(write_and_remove())
        log(f"  round {round_number + 1}/{args.runs}: " + ", ".join(f"{n} {t[-1]:.3f}s" for n, t in times.items()))
    notes = [f"{shape['bytes']:,} bytes in files of 64 MiB."]
    if reported is not None:
        notes.append(handed_back_since(reported))
    return {"times": {name: summary(t) for name, t in times.items()},
            "ratios": {"free for 3 s / just freed": summary([b / a for a, b in zip(times["just freed"], times["free for 3 s"])])},
            "notes": notes}


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
        report.parent.mkdir(parents=True, exist_ok=True)
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
    at_once = WINDOWS / "bench" / "zamrik-bench-return.exe"
    contenders = [Contender("host start", wine.command(host, Wine.path(folder), Wine.path(folder / "main.dll")),
                            env=wine.env),
                  Contender("return at once", wine.command(at_once), env=wine.env)]
    if packed["launcher"]:
        contenders.insert(0, Contender("launcher", wine.command(packed["launcher"]), check_removed(wine), wine.env))
    names = [c.name for c in contenders]
    pairs = [("launcher", "return at once"), ("launcher", "host start")] if "launcher" in names else []
    result = compare(contenders, max(args.runs, 20), pairs + [("host start", "return at once")])
    result.update(shape=shape, block=packed["summary"])
    return result


# The levels of the level table; 22 is an ultra level, and its window, fitted to the content by
# the packer, is then 2^27 bytes, the window of zstd's --long.
LEVELS = (3, 6, 9, 12, 15, 19, 22)


def section_levels(wine, inputs, args):
    """The packer itself at each level of LEVELS on the full application: packed size, packing
    time with --threads threads, and the launcher's whole run under Wine (unpack, start, clean up)."""
    log("== levels: packed size, packing time and unpack time")
    folder, shape = inputs.app("full", scale=args.scale)
    out = WORK / "levels"
    out.mkdir(parents=True, exist_ok=True)
    packer = NATIVE / "tools" / "pack" / "zamrik-pack"
    rows = {}
    for level in LEVELS:
        exe = out / f"level-{level}.exe"
        started = time.perf_counter()
        run([str(packer), "build", str(folder), "-o", str(exe), "--main", "main.dll", "--level", str(level),
             "--threads", str(args.threads), "-q"])
        rows[level] = {"pack_seconds": round(time.perf_counter() - started, 2), "bytes": exe.stat().st_size}
        log(f"  level {level}: {rows[level]['bytes']} bytes in {rows[level]['pack_seconds']} s")
    contenders = [Contender(f"level {level}", wine.command(out / f"level-{level}.exe"), check_removed(wine), wine.env)
                  for level in LEVELS]
    result = compare(contenders, args.runs, [])
    for level in LEVELS:
        rows[level]["unpack_seconds"] = result["times"][f"level {level}"]
    return {"shape": shape, "threads": args.threads, "levels": rows, "load_average": result["load_average"]}


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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the application's size (default 1.0)")
    parser.add_argument("--runs", type=int, default=5, help="measured rounds after the warm-up (at least 5)")
    parser.add_argument("--level", type=int, default=9, help="compression level of the blocks and of tar.zst")
    parser.add_argument("--threads", type=int, default=2, help="compression threads")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sections", default="full,startup,memory,scaling",
                        help="any of full, startup, memory, scaling, pair (launcher and limit alone), "
                             "levels (the level table), tar (launcher, limit, tar --zstd, zstd native), "
                             "phase (unpack phase against decoding to nothing), "
                             "host (writing the same bytes natively into fresh memory)")
    parser.add_argument("--phase-workers", default="0",
                        help="phase: the unpack's worker counts to measure, e.g. 1,2 (0: one per processor)")
    parser.add_argument("--phase-app", default="full", choices=("full", "single-1g"),
                        help="phase: the full application, or one file of 1 GiB")
    parser.add_argument("--hold-host-memory", action="store_true",
                        help="on a virtual machine that hands free memory back to its host, keep it for the run "
                             "(root: sets page_reporting's min_free_ms and max_waiting_mib for the run)")
    parser.add_argument("--report-only", action="store_true", help="redo the tables and the chart from latest.json")
    parser.add_argument("--prepare", action="store_true", help="only make the inputs (applications, blocks, archives)")
    parser.add_argument("--out", type=Path, help="where the results go (default: bench/results for a full-size run)")
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("--runs: a median wants at least 5 runs")
    out = args.out or (ROOT / "bench" / "results" if args.scale == 1.0 else WORK / "results")
    out.mkdir(parents=True, exist_ok=True)
    sections = args.sections.split(",")
    WORK.mkdir(parents=True, exist_ok=True)
    if args.report_only:
        report(json.loads((out / "latest.json").read_text()), out)
        return

    wine = Wine()
    held = HeldHostMemory(args.hold_host_memory)
    reported = reported_bytes()
    try:
        held.hold()
        wine.start()
        inputs = Inputs(args, wine)
        results = {"machine": machine(), "settings": {k: str(v) for k, v in vars(args).items() if k != "out"},
                   "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "load_average_at_start": load_average()}
        if args.prepare:
            prepare(inputs, args)
            return
        if "full" in sections:
            results["full"] = section_full(wine, inputs, args)
        if "pair" in sections:
            results["pair"] = section_pair(wine, inputs, args)
        if "tar" in sections:
            results["tar"] = section_tar(wine, inputs, args)
        if "phase" in sections:
            results["phase"] = section_phase(wine, inputs, args)
        if "host" in sections:
            results["host"] = section_host(wine, inputs, args)
        if "levels" in sections:
            results["levels"] = section_levels(wine, inputs, args)
        if "startup" in sections:
            results["startup"] = section_startup(wine, inputs, args)
        if "memory" in sections:
            results["memory"] = section_memory(wine, inputs, args)
        if "scaling" in sections:
            results["scaling"] = section_scaling(wine, inputs, args, results.get("full"))
        results["finished"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
        if reported is not None:
            results["memory_handed_to_host_bytes"] = reported_bytes() - reported
    finally:
        wine.stop()
        held.release()
    (out / "latest.json").write_text(json.dumps(results, indent=1) + "\n")
    report(results, out)


if __name__ == "__main__":
    main()
