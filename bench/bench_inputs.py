"""The benchmarks' inputs: applications, blocks, launchers, limit programs and peer archives,
made once and kept below build/bench/inputs-<scale>."""
import json
import subprocess
import time

from bench_common import NATIVE, WINDOWS, WORK, log, remove, run


class Inputs:
    def __init__(self, args, wine):
        self.args = args
        self.wine = wine
        self.generator = NATIVE / "bench" / "zamrik-bench-app"
        self.packer = NATIVE / "bench" / "zamrik-bench-pack"
        self.main_dll = WINDOWS / "bench" / "main.dll"
        # The launcher image that the bench packer carries: a new one means new launchers.
        self.image = NATIVE / "launcher-build" / "launcher-image" / "launcher-image.exe"
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
        key = {"app": (folder.parent / f"{folder.name}.json").read_text(), "level": self.args.level,
               "packer": self.packer.stat().st_mtime}
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
        written = out / "launcher.image"
        image_key = f"{self.image.resolve()} {self.image.stat().st_mtime} {self.packer.stat().st_mtime}"
        if not launcher.exists() or not written.exists() or written.read_text() != image_key:
            log(f"writing the launcher for {name}")
            run([str(self.packer), str(folder), str(out), "--launcher-only"])
            written.write_text(image_key)
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
