"""Images larger than memory: the streaming encode from an np.memmap, decodes
into an np.memmap and a Zarr array, and kestrelpix.dask.to_jxl, each against
raw libjxl (build/bench/baseline's stream-encode and stream-decode: chunked
input read straight from the mapped file, output processor writing the file,
an image-out callback that discards rows) and, for the encode, today's
whole-frame path.

Every run is a fresh child process that samples its own /proc/self/status
RssAnon every 10 ms: the pages of a mapped file belong to the page cache,
not to the process. Peak RSS (ru_maxrss) is printed beside it. The encode
runs alternate raw and ours, three each, and report medians.

    python bench/large.py [--quick]

--quick: the 8192x8192 rows only, one run each.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
BASELINE = ROOT / "build" / "bench" / "baseline"
CACHE = ROOT / "build" / "bench" / "cache" / "large"
LOSSLESS = {"lossless": True, "effort": 1}
LOSSY = {"distance": 1.0, "effort": 5}


def source(n: int) -> Path:
    """An n x n RGB uint8 picture in a raw file: smooth gradients, texture
    and a little noise, written a band at a time."""
    path = CACHE / f"rgb{n}.u8"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    out = np.memmap(path.with_suffix(".tmp"), np.uint8, "w+", shape=(n, n, 3))
    rng = np.random.default_rng(n)
    x = np.arange(n, dtype=np.float32)[None, :]
    for y0 in range(0, n, 512):
        y = np.arange(y0, min(y0 + 512, n), dtype=np.float32)[:, None]
        base = 128 + 60 * np.sin(x / 97 + y / 131) * np.cos(x / 413 - y / 277)
        for c in range(3):
            band = base + 40 * np.sin((x * (c + 1) + y) / 37) + rng.normal(0, 4, (len(y), n))
            out[y0:y0 + len(y), :, c] = np.clip(band, 0, 255)
    out.flush()
    del out
    path.with_suffix(".tmp").rename(path)
    return path


# --- the child side ---------------------------------------------------------

class AnonPeak:
    def __init__(self) -> None:
        self.peak = 0
        threading.Thread(target=self._run, daemon=True).start()

    def read(self) -> int:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    self.peak = max(self.peak, int(line.split()[1]))
        return self.peak

    def _run(self) -> None:
        while True:
            self.read()
            time.sleep(0.01)


def child(case: dict) -> None:
    import resource

    from kestrelpix import jxl
    anon = AnonPeak()
    n, kind = case["n"], case["kind"]
    start = time.perf_counter()
    if kind in ("stream", "whole"):
        src = np.memmap(case["src"], np.uint8, "r", shape=(n, n, 3))
        jxl.encode(src, dest=case["out"], streaming=kind == "stream", **case["options"])
    elif kind in ("memmap", "zarr"):
        import mmap
        with open(case["src"], "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            if kind == "memmap":
                out = np.memmap(case["out"], np.uint8, "w+", shape=(n, n, 3))
            else:
                import shutil

                import zarr
                shutil.rmtree(case["out"], ignore_errors=True)
                out = zarr.create_array(case["out"], shape=(n, n, 3), dtype=np.uint8,
                                        chunks=(512, 512, 3))
            jxl.decode(m, out=out)
    elif kind == "dask":
        import dask.array as da

        from kestrelpix.dask import to_jxl

        def block(block_id=None):
            i, j = block_id[:2]
            y, x = np.mgrid[0:2048, 0:2048].astype(np.float32)
            v = 128 + 100 * np.sin((x + 2048 * j) / 211 + (y + 2048 * i) / 157)
            return np.repeat(v[..., None], 3, axis=2).astype(np.uint8)
        array = da.map_blocks(block, chunks=((2048,) * (n // 2048), (2048,) * (n // 2048), (3,)),
                              dtype=np.uint8, meta=np.empty((0, 0, 0), np.uint8))
        to_jxl(array, case["out"], **case["options"])
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "peak_anon_kib": anon.read(),
                      "maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))


# --- the parent side --------------------------------------------------------

def run_ours(case: dict) -> dict:
    done = subprocess.run([sys.executable, __file__, "--child", json.dumps(case)],
                          capture_output=True, text=True, check=False)
    if done.returncode:
        raise SystemExit(f"large: {case}: {done.stderr}")
    return json.loads(done.stdout)


def run_raw(*args: str | Path) -> dict:
    done = subprocess.run([BASELINE, *map(str, args)], capture_output=True, text=True,
                          check=False)
    if done.returncode:
        raise SystemExit(f"large: baseline {args}: {done.stderr}")
    return json.loads(done.stdout)


def median(runs: list[dict]) -> dict:
    return {k: statistics.median(r[k] for r in runs) for k in runs[0]}


def row(name: str, ours: dict, raw: dict | None, whole: dict | None = None) -> None:
    mib = 1024
    text = (f"{name:<38} {ours['seconds']:8.2f}s {ours['peak_anon_kib'] / mib:8.0f} "
            f"{ours['maxrss_kib'] / mib:8.0f}")
    if raw:
        text += (f" | {raw['seconds']:8.2f}s {raw['peak_anon_kib'] / mib:8.0f} "
                 f"{raw['maxrss_kib'] / mib:8.0f} | x{ours['seconds'] / raw['seconds']:.2f} "
                 f"{(ours['peak_anon_kib'] - raw['peak_anon_kib']) / mib:+.0f} MiB anon")
    if whole:
        text += (f" | today {whole['seconds']:.2f}s, {whole['peak_anon_kib'] / mib:.0f} MiB anon,"
                 f" {whole['maxrss_kib'] / mib:.0f} MiB RSS")
    print(text, flush=True)


def encode_rows(n: int, reps: int, with_whole: bool) -> dict[str, Path]:
    src = source(n)
    streams = {}
    for label, options in (("lossless e1", LOSSLESS), ("lossy d1 e5", LOSSY)):
        out = CACHE / f"ours{n}-{label.split()[0]}.jxl"
        raw_out = CACHE / f"raw{n}-{label.split()[0]}.jxl"
        flags = ["--lossless"] if options.get("lossless") else ["--distance", "1"]
        raws, ours = [], []
        for _ in range(reps):
            raws.append(run_raw("stream-encode", src, raw_out, "--xsize", n, "--ysize", n,
                                *flags, "--effort", options["effort"]))
            ours.append(run_ours({"kind": "stream", "n": n, "src": str(src), "out": str(out),
                                  "options": options}))
        whole = (run_ours({"kind": "whole", "n": n, "src": str(src), "out": str(out) + ".w",
                           "options": options}) if with_whole else None)
        row(f"encode {n}^2 {label} memmap->file", median(ours), median(raws), whole)
        streams[label] = out
    return streams


def decode_rows(n: int, streams: dict[str, Path]) -> None:
    for label, stream in streams.items():
        raw = run_raw("stream-decode", stream)
        for sink in ("memmap", "zarr"):
            if sink == "zarr" and n > 8192:
                continue
            ours = run_ours({"kind": sink, "n": n, "src": str(stream),
                             "out": str(CACHE / f"decoded.{sink}")})
            row(f"decode {n}^2 {label} -> {sink}", ours, raw)
    for sink in ("decoded.memmap",):
        (CACHE / sink).unlink(missing_ok=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(json.loads(args.child))
        return 0
    if not BASELINE.exists():
        parser.error(f"{BASELINE} is missing: run `make bench`, which builds it")
    print(f"{'larger than memory':<38} {'ours':>9} {'anonMiB':>8} {'RSS MiB':>8} | "
          f"{'raw':>9} {'anonMiB':>8} {'RSS MiB':>8} | ours/raw")
    streams = encode_rows(8192, 1 if args.quick else 3, with_whole=True)
    decode_rows(8192, streams)
    if args.quick:
        return 0
    src = source(32768)
    out = CACHE / "ours32768-lossy.jxl"
    ours = run_ours({"kind": "stream", "n": 32768, "src": str(src), "out": str(out),
                     "options": LOSSY})
    row("encode 32768^2 lossy d1 e5 memmap->file", ours, None)
    decode_rows(32768, {"lossy d1 e5": out})
    ours = run_ours({"kind": "dask", "n": 16384, "out": str(CACHE / "dask16384.jxl"),
                     "options": LOSSY})
    row("to_jxl 16384^2 dask (2048^2 chunks) d1 e5", ours, None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
