"""Timing contenders round after round, and following Wine processes from the Linux side."""
import os
import resource
import statistics
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from bench_common import load_average, log, remove


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
