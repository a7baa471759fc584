"""Tables, chart and machine description of a benchmark run."""
import os
import platform
import shutil
import subprocess
from pathlib import Path

from bench_common import WORK, log, run


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
        if data.get("notes"):
            lines.extend([""] + data["notes"])
        lines.append("")
    if "full" in results:
        section("Full application", results["full"])
    if "pair" in results:
        section("Launcher and limit alone (full application)", results["pair"])
    if "tar" in results:
        section("Launcher against tar --zstd (full application)", results["tar"])
    if "phase" in results:
        section("Unpack phase against decoding to nothing (one process under Wine)", results["phase"])
    if "host" in results:
        section("Writing the same bytes natively into fresh memory", results["host"])
    if "levels" in results:
        lv = results["levels"]
        lines.extend([f"### Levels ({lv['shape']['files']} files, {lv['shape']['bytes']:,} bytes; packing with "
                      f"{lv['threads']} threads)", "",
                      "| level | executable (bytes) | of the contents | packing time | launcher's run under Wine, median (min to max) |",
                      "|---|---|---|---|---|"])
        for level, row in lv["levels"].items():
            lines.append(f"| {level} | {row['bytes']:,} | {100 * row['bytes'] / lv['shape']['bytes']:.1f}% | "
                         f"{row['pack_seconds']:.1f} s | {seconds(row['unpack_seconds'])} |")
        load = lv.get("load_average")
        if load:
            lines.extend(["", f"Load average at the start of each round: {load['min']:.2f} to {load['max']:.2f}."])
        lines.append("")
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


def report(results, out):
    text = tables(results)
    if "memory_handed_to_host_bytes" in results:
        held = results.get("settings", {}).get("hold_host_memory") == "True"
        text += (f"\nFree memory handed back to the host during the run: "
                 f"{results['memory_handed_to_host_bytes'] / (1 << 20):,.0f} MiB"
                 + (" (held from the host with --hold-host-memory).\n" if held else ".\n"))
    (out / "latest.md").write_text(text + "\n")
    picture = chart(results, out / "scaling.png")
    print(text)
    log(f"results in {out / 'latest.json'}" + (f", chart {picture}" if picture else ""))
