"""Benchmarks of kestrelpix's JPEG XL API against raw libjxl, in one run.

Each workload runs the raw-libjxl baseline (build/bench/baseline, a C++
program over libjxl's C API) and the Python API in alternation, A B A B ...,
so that both see the same machine load, and reports the median of each side.
The raw side is one baseline process per workload that times itself, one
repetition per request, after a warm-up call; the Python side is timed in
this process after a warm-up call of its own (--quick skips both warm-ups).
Both stay warm across the repetitions. Streaming decodes run in fresh child processes on both sides,
which read their own peak resident memory.

Both sides run with glibc's malloc thresholds pinned (GLIBC_TUNABLES; the
script re-executes itself to set them). Left alone, glibc raises its mmap
threshold only once a large block has been freed, so whether libjxl's big
scratch buffers are mapped and page-faulted afresh on every call depends on
what the process did before: a tiny encode costs 2.9 ms or 1.9 ms per call,
the same code, depending on it. --default-malloc turns the pinning off. The
streaming decodes, one per fresh process with no such history, run with
glibc's defaults: pinning would keep freed chunks in the heap and raise the
peak memory they measure.

Wall time decides the ratios. Process CPU time (all threads) is measured
beside it and its ratio printed too: on a shared machine a side that was
descheduled loses wall time but not CPU time, so a wall-time miss with a CPU
ratio near 1 is load, not overhead.

    python bench/run.py [--quick] [--reps N] [--only GROUP,...] [--instructions]

Groups: decode, anim, encode, tiny, mid, out, count, probe, stream, lock, jpeg,
progressive; then volumes and large, the Zarr volume and larger-than-memory
benchmarks of their own (volumes.py, large.py). Without --only, all of them
run. The streams are made once into build/bench/cache/ (see streams.py).

--instructions counts instructions instead (valgrind's callgrind, both
sides) for the workloads whose calls take under 10 ms, whose wall-time
ratios a shared machine makes noisy: each side runs N calls and 2N calls,
and the difference over N is one call's count, start-up (the interpreter,
imports, reading the files) cancelled out. Callgrind runs the threads of a
process one at a time and counts no kernel work: what creating threads
costs in the kernel (clone, the first scheduling) does not show there.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, NamedTuple

import kestrelpix.codecs._jxl as jxl

sys.path.insert(0, str(Path(__file__).resolve().parent))
from streams import Picture, Recipe, StreamCache  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
BASELINE = BUILD / "baseline"

GROUPS = ("decode", "anim", "encode", "tiny", "mid", "out", "count", "probe", "stream", "lock",
          "jpeg", "progressive")
# Benchmarks of their own (bench/<name>.py), run after the table.
SCRIPTS = ("volumes", "large")
THREADS: tuple[int | None, ...] = (None, 1)  # the module's default, then one worker
MIB = 1 << 20
NO_ENCODE = "encode workloads skipped: this build of the module has no encode()"
# Blocks up to 32 MiB come from the heap, which keeps 64 MiB of free top.
MALLOC_TUNABLES = "glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=67108864"

# Targets: the goal, printed beside each ratio, never asserted.
LARGE_RATIO = 1.02       # decode/encode of 1 MP and more, against raw
TINY_EXTRA_US = 15.0     # 64x64 calls: at most this much over raw per call
COUNT_RATIO = 2.0        # frame_count against the raw frame-event count
STREAM_SLACK_MIB = 40.0  # streaming peak RSS above the frame's own bytes
LOCK_SPEEDUP = 1.8       # two threads against one
MID_RATIO = 0.95         # 512x512 at default threads, against raw with a runner per call
READ_RATIO = 1.0         # animation read() against iterating the same frames
OUT_RATIO = 0.90         # a loop of decodes of the big frame with out=, against allocating
STREAM_RATIO = 1.05      # streaming decode against raw streaming
DOWNSAMPLING_RATIO = 1 / 3  # downsampling=8 of a progressive 4K image against a full decode

LOSSY = Recipe(distance=1.0, effort=5)
LOSSLESS_E1 = Recipe(lossless=True, effort=1)

STILL_4K = Picture("still-3840x2160-u8", 3840, 2160, bits=8, seed=1)
STILL_2K16 = Picture("still-2048x2048-u16", 2048, 2048, bits=16, seed=2, noise=0.005)
ANIM = Picture("anim-16x1024x1024-u16", 1024, 1024, bits=16, seed=3, noise=0.005, frames=16)
TINY = Picture("tiny-64x64-u8", 64, 64, bits=8, seed=4)
MID = Picture("mid-512x512-u8", 512, 512, bits=8, seed=5)
HUGE_NOISE = 0.02  # heavy noise: the big lossless stream stays near the frame's size


@dataclass(frozen=True)
class Settings:
    quick: bool
    reps: int
    tiny_calls: int
    count_calls: int
    stream_mib: int
    stream_reps: int
    lock_images: int  # per thread
    warmup: int       # untimed calls before the first repetition, each side

    @staticmethod
    def make(quick: bool, reps: int | None) -> Settings:
        if quick:
            # No warm-up: the median of three absorbs a cold first repetition.
            return Settings(True, reps or 3, tiny_calls=200, count_calls=200, stream_mib=64,
                            stream_reps=reps or 1, lock_images=2, warmup=0)
        return Settings(False, reps or 5, tiny_calls=2000, count_calls=2000, stream_mib=256,
                        stream_reps=reps or 3, lock_images=4, warmup=1)


class Sample(NamedTuple):
    """One repetition (or the median of several): wall and process CPU seconds."""

    wall: float
    cpu: float


@dataclass
class Row:
    workload: str
    threads: str
    raw: str
    py: str
    ratio: str
    cpu: str     # the ratio in process CPU time, where it means something
    target: str
    met: bool | None  # None: information only, or skipped


def threads_label(numthreads: int | None) -> str:
    return "default" if numthreads is None else str(numthreads)


def fmt_time(seconds: float) -> str:
    ms = seconds * 1e3
    return f"{ms:.1f} ms" if ms >= 10 else f"{ms:.2f} ms"


def timed(fn: Callable[[], object], calls: int = 1) -> Sample:
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(calls):
        fn()
    return Sample(time.perf_counter() - wall, time.process_time() - cpu)


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


def median_sample(samples: Sequence[Sample]) -> Sample:
    return Sample(median([s.wall for s in samples]), median([s.cpu for s in samples]))


def as_sample(record: dict[str, float]) -> Sample:
    return Sample(record["seconds"], record["cpu_seconds"])


class RawServer:
    """A baseline process serving timed repetitions on request (--serve),
    so that its repetitions alternate with Python's while both stay warm."""

    def __init__(self, bench: Bench, workload: str, files: Sequence[Path],
                 numthreads: int | None, *options: str) -> None:
        self.bench = bench
        self.numthreads = numthreads
        self.cmd = [str(BASELINE), workload, *map(str, files), "--threads",
                    str(numthreads or 0), "--serve", "--warmup", str(bench.settings.warmup),
                    *options]
        self.proc: subprocess.Popen[str] | None = None

    def record(self) -> dict[str, float]:
        if self.proc is None:
            self.proc = subprocess.Popen(self.cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True)
        assert self.proc.stdin and self.proc.stdout and self.proc.stderr
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise SystemExit(f"baseline failed: {' '.join(self.cmd)}\n{self.proc.stderr.read()}")
        record = json.loads(line)
        if self.numthreads is None:
            self.bench.default_threads = int(record["threads"])
        return record

    def __call__(self) -> Sample:
        return as_sample(self.record())

    def close(self) -> None:
        if self.proc is not None:
            assert self.proc.stdin
            self.proc.stdin.close()
            self.proc.wait()
            self.proc = None


@dataclass
class Bench:
    settings: Settings
    cache: StreamCache
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    default_threads: int = 0

    # --- measuring ---------------------------------------------------------

    def raw(self, workload: str, files: Sequence[Path], numthreads: int | None,
            *options: str) -> RawServer:
        """The baseline's repetitions of a workload, one per call."""
        return RawServer(self, workload, files, numthreads, *options)

    def raw_once(self, workload: str, files: Sequence[Path], numthreads: int | None,
                 *options: str) -> dict[str, float]:
        """A fresh baseline process, one repetition without warm-up: its JSON
        record (for peak memory, which needs a process of its own)."""
        cmd = [str(BASELINE), workload, *map(str, files), "--threads", str(numthreads or 0),
               "--reps", "1", "--warmup", "0", *options]
        done = subprocess.run(cmd, capture_output=True, text=True, env=default_malloc_env())
        if done.returncode != 0:
            raise SystemExit(f"baseline failed: {' '.join(cmd)}\n{done.stderr}")
        return json.loads(done.stdout.splitlines()[-1])

    def alternate(self, *runs: Callable[[], Sample], reps: int | None = None,
                  warm_up_python: bool = True) -> list[Sample]:
        """Medians of each run, taken in turn rep after rep. The last run is
        the Python one and gets the warm-up calls first; baseline servers are
        closed at the end."""
        try:
            for _ in range(self.settings.warmup if warm_up_python else 0):
                runs[-1]()
            samples: list[list[Sample]] = [[] for _ in runs]
            for _ in range(reps or self.settings.reps):
                for run, out in zip(runs, samples):
                    out.append(run())
            return [median_sample(s) for s in samples]
        finally:
            for run in runs:
                if isinstance(run, RawServer):
                    run.close()

    # --- rows ----------------------------------------------------------------

    def time_row(self, workload: str, numthreads: int | None, raw: Sample, py: Sample,
                 target: float | None = LARGE_RATIO) -> None:
        """A ratio row; `target` None makes it information only."""
        ratio = py.wall / raw.wall
        self.rows.append(Row(workload, threads_label(numthreads), fmt_time(raw.wall),
                             fmt_time(py.wall), f"{ratio:.3f}x", f"{py.cpu / raw.cpu:.3f}x",
                             "" if target is None else f"<= {target:g}x",
                             None if target is None else ratio <= target))

    def tiny_row(self, workload: str, numthreads: int | None, calls: int, raw: Sample,
                 py: Sample) -> None:
        raw_us, py_us = raw.wall * 1e6 / calls, py.wall * 1e6 / calls
        extra = py_us - raw_us
        self.rows.append(Row(workload, threads_label(numthreads), f"{raw_us:.0f} us",
                             f"{py_us:.0f} us", f"{py_us / raw_us:.2f}x ({extra:+.0f} us)",
                             f"{py.cpu / raw.cpu:.3f}x", f"<= raw+{TINY_EXTRA_US:.0f} us",
                             extra <= TINY_EXTRA_US))

    def info_row(self, workload: str, threads: str, raw: str, py: str, ratio: str = "",
                 cpu: str = "") -> None:
        self.rows.append(Row(workload, threads, raw, py, ratio, cpu, "", None))

    def skip(self, workload: str, why: str) -> None:
        self.rows.append(Row(workload, "-", "-", "-", "-", "-", "skipped", None))
        if why not in self.notes:
            self.notes.append(why)


# ---------------------------------------------------------------------------
# Workloads


def bench_decode(b: Bench) -> None:
    """(1), (2): single stills of 8 and 4 MP, lossy and lossless."""
    cases = [(STILL_4K, LOSSY, "decode 3840x2160 u8 d1 e5"),
             (STILL_4K, LOSSLESS_E1, "decode 3840x2160 u8 lossless e1"),
             (STILL_2K16, LOSSLESS_E1, "decode 2048x2048 u16 lossless e1")]
    for picture, recipe, name in cases:
        path = b.cache.stream(picture, recipe)
        data = path.read_bytes()
        for nt in THREADS:
            raw, py = b.alternate(b.raw("decode", [path], nt),
                                  lambda: timed(lambda: jxl.decode(data, numthreads=nt)))
            b.time_row(name, nt, raw, py)


def read_all(data: bytes, numthreads: int | None) -> None:
    with jxl.JxlReader(data, numthreads=numthreads) as reader:
        reader.read()


def read_into(data: bytes, out: Any) -> None:
    with jxl.JxlReader(data) as reader:
        reader.read(out=out)


def iterate_all(data: bytes, numthreads: int | None) -> None:
    with jxl.JxlReader(data, numthreads=numthreads) as reader:
        for _ in reader:
            pass


def bench_anim(b: Bench) -> None:
    """(2): the 16-frame animation, all frames kept (read) or one at a time
    (iteration); raw keeps every frame's buffer, or only the last two."""
    path = b.cache.stream(ANIM, LOSSLESS_E1)
    data = path.read_bytes()
    name = f"anim {ANIM.frames}x{ANIM.width}x{ANIM.height} u16 ll e1"
    for nt in THREADS:
        raw, py = b.alternate(b.raw("decode", [path], nt, "--frames", "keep"),
                              lambda: timed(lambda: read_all(data, nt)))
        b.time_row(f"{name} read()", nt, raw, py)
        raw, py = b.alternate(b.raw("decode", [path], nt, "--frames", "drop"),
                              lambda: timed(lambda: iterate_all(data, nt)))
        b.time_row(f"{name} iteration", nt, raw, py)
    # read() against iterating the same frames, in one run; read(out=)
    # beside it, without the fresh pages of the stacked result.
    frames = jxl.JxlReader(data).read()
    iterate, read, read_out = b.alternate(
        lambda: timed(lambda: iterate_all(data, None)),
        lambda: timed(lambda: read_all(data, None)),
        lambda: timed(lambda: read_into(data, frames)))
    b.time_row(f"{name} read() vs iteration", None, iterate, read, READ_RATIO)
    b.time_row("  read(out=) vs iteration", None, iterate, read_out, None)


def bench_encode(b: Bench) -> None:
    """(3): the 8 MP still at d1 e3, d1 e5 and lossless e1."""
    cases = [(Recipe(distance=1.0, effort=3), "encode 3840x2160 u8 d1 e3"),
             (Recipe(distance=1.0, effort=5), "encode 3840x2160 u8 d1 e5"),
             (LOSSLESS_E1, "encode 3840x2160 u8 lossless e1")]
    if not hasattr(jxl, "encode"):
        for _, name in cases:
            b.skip(name, NO_ENCODE)
        return
    pnm = b.cache.pnm(STILL_4K)
    arr = STILL_4K.frame()
    for recipe, name in cases:
        raw_opts = ["--effort", str(recipe.effort)]
        raw_opts += ["--lossless"] if recipe.lossless else ["--distance", f"{recipe.distance:g}"]
        py_opts: dict[str, object] = {"effort": recipe.effort}
        py_opts.update({"lossless": True} if recipe.lossless else {"distance": recipe.distance})
        for nt in THREADS:
            raw, py = b.alternate(b.raw("encode", [pnm], nt, *raw_opts),
                                  lambda: timed(lambda: jxl.encode(arr, numthreads=nt, **py_opts)))
            b.time_row(name, nt, raw, py)


def tiny_rows(b: Bench, name: str, workload: str, files: Sequence[Path], opts: Sequence[str],
              call: Callable[[int | None], object]) -> None:
    """Per-call times of many 64x64 calls. One worker: against raw without a
    runner. The default count: against the same raw run (no runner: a 64x64
    image is one group, so nothing runs in parallel whatever the count), with
    raw creating a runner per call (as a caller asking for the default count
    must, in one call) and raw sharing one runner beside it."""
    calls = b.settings.tiny_calls
    opts = [*opts, "--calls", str(calls)]
    for nt in THREADS:
        runs = [b.raw(workload, files, nt, *opts, "--runner", "none")]
        if nt is None:
            runs.append(b.raw(workload, files, nt, *opts, "--runner", "per-call"))
            runs.append(b.raw(workload, files, nt, *opts, "--runner", "once"))
        medians = b.alternate(*runs, lambda: timed(lambda: call(nt), calls))
        py = medians[-1]
        b.tiny_row(name if nt == 1 else f"{name} vs raw 1 thread", nt, calls, medians[0], py)
        if nt is None:
            per_call, once = medians[1].wall * 1e6 / calls, medians[2].wall * 1e6 / calls
            py_us = py.wall * 1e6 / calls
            b.info_row("  raw, a runner per call", "default", f"{per_call:.0f} us",
                       f"{py_us:.0f} us", f"{py_us / per_call:.2f}x",
                       f"{py.cpu / medians[1].cpu:.3f}x")
            b.info_row("  raw, one runner for all calls", "default", f"{once:.0f} us",
                       f"{py_us:.0f} us", f"{py_us / once:.2f}x")


def bench_tiny(b: Bench) -> None:
    """(4): many 64x64 decodes and encodes."""
    calls = b.settings.tiny_calls
    path = b.cache.stream(TINY, LOSSY)
    data = path.read_bytes()
    tiny_rows(b, f"tiny decode 64x64 u8 d1 e5 x{calls}", "decode", [path], [],
              lambda nt: jxl.decode(data, numthreads=nt))
    name = f"tiny encode 64x64 u8 d1 e5 x{calls}"
    if not hasattr(jxl, "encode"):
        b.skip(name, NO_ENCODE)
        return
    arr = TINY.frame()
    tiny_rows(b, name, "encode", [b.cache.pnm(TINY)], ["--distance", "1", "--effort", "5"],
              lambda nt: jxl.encode(arr, distance=1.0, effort=5, numthreads=nt))


def bench_mid(b: Bench) -> None:
    """512x512 decodes and encodes at the default worker count, where a pool
    pays but creating one per call still shows: against raw creating a
    runner per call, with raw sharing one runner beside it."""
    calls = 5 if b.settings.quick else 20
    path = b.cache.stream(MID, LOSSY)
    data = path.read_bytes()
    cases: list[tuple[str, str, list[Path], list[str], Callable[[], object]]] = [
        (f"decode 512x512 u8 d1 e5 x{calls}", "decode", [path], [],
         lambda: jxl.decode(data))]
    name = f"encode 512x512 u8 d1 e5 x{calls // 4}"
    if hasattr(jxl, "encode"):
        arr = MID.frame()
        cases.append((name, "encode", [b.cache.pnm(MID)], ["--distance", "1", "--effort", "5"],
                      lambda: jxl.encode(arr, distance=1.0, effort=5)))
    else:
        b.skip(name, NO_ENCODE)
    for name, workload, files, opts, call in cases:
        n = calls if workload == "decode" else max(calls // 4, 1)
        opts = [*opts, "--calls", str(n)]
        per_call, once, py = b.alternate(
            b.raw(workload, files, None, *opts, "--runner", "per-call"),
            b.raw(workload, files, None, *opts, "--runner", "once"),
            lambda: timed(call, n))
        b.time_row(f"{name} vs raw runner per call", None, per_call, py, MID_RATIO)
        b.time_row("  raw, one runner for all calls", None, once, py, None)


def bench_out(b: Bench) -> None:
    """A loop of decodes of one frame, into one array reused through out=,
    against the same loop allocating a fresh array per call: the big
    lossless stream's frame (its pages mapped and cleared afresh per call)
    and the 8 MP still. Raw does the same with one buffer kept (--reuse) or
    one allocated per call, information only."""
    picture, path = huge_picture(b)
    still = b.cache.stream(STILL_4K, LOSSLESS_E1)
    calls = 2
    for path, name, reps in [
            (path, f"{path.stat().st_size / MIB:.0f} MiB stream, {picture.frame_bytes / MIB:.0f} "
             f"MiB frame", b.settings.stream_reps),
            (still, "3840x2160 u8 lossless e1", None)]:
        data = path.read_bytes()
        out = jxl.decode(data)
        opts = ["--calls", str(calls)]
        raw_fresh, raw_reuse, py_fresh, py_out = b.alternate(
            b.raw("decode", [path], None, *opts),
            b.raw("decode", [path], None, *opts, "--reuse"),
            lambda: timed(lambda: jxl.decode(data), calls),
            lambda: timed(lambda: jxl.decode(data, out=out), calls),
            reps=reps)
        ratio = py_out.wall / py_fresh.wall
        target = OUT_RATIO if path != still else None
        b.rows.append(Row(f"decode x{calls} {name}: out= vs fresh array, both Python", "default",
                          fmt_time(py_fresh.wall), fmt_time(py_out.wall), f"{ratio:.3f}x",
                          f"{py_out.cpu / py_fresh.cpu:.3f}x",
                          "" if target is None else f"<= {target:g}x",
                          None if target is None else ratio <= target))
        b.info_row("  raw: reused buffer vs fresh", "default", fmt_time(raw_fresh.wall),
                   fmt_time(raw_reuse.wall), f"{raw_reuse.wall / raw_fresh.wall:.3f}x",
                   f"{raw_reuse.cpu / raw_fresh.cpu:.3f}x")
        b.time_row("  out= vs raw reused buffer", None, raw_reuse, py_out, None)
        del data, out


def bench_progressive(b: Bench) -> None:
    """The 4K still coded with progressive=True: decode(downsampling=8)
    against a full decode, and Pillow's thumbnail((256, 256)) with draft()
    (what Image.thumbnail does) against loading every pixel first; both
    sides Python. The stream sizes with and without progressive=True, same
    pixels and settings, as information."""
    from PIL import Image

    import kestrelpix.pillow  # noqa: F401  (registers the plugin)
    pixels = jxl.decode(b.cache.stream(STILL_4K, LOSSY).read_bytes())
    path = b.cache.root / f"{STILL_4K.name}.{LOSSY.tag}.progressive.jxl"
    if not path.exists():
        path.write_bytes(jxl.encode(pixels, distance=LOSSY.distance, effort=LOSSY.effort,
                                    progressive=True))
    data = path.read_bytes()
    plain = jxl.encode(pixels, distance=LOSSY.distance, effort=LOSSY.effort)
    b.info_row("3840x2160 d1 e5 stream bytes: plain vs progressive=True", "-",
               f"{len(plain) / 1e6:.3f} MB", f"{len(data) / 1e6:.3f} MB",
               f"{len(data) / len(plain):.3f}x")
    full, eighth = b.alternate(lambda: timed(lambda: jxl.decode(data)),
                               lambda: timed(lambda: jxl.decode(data, downsampling=8)))
    ratio = eighth.wall / full.wall
    b.rows.append(Row("decode progressive 3840x2160 d1: downsampling=8 vs full", "default",
                      fmt_time(full.wall), fmt_time(eighth.wall), f"{ratio:.3f}x",
                      f"{eighth.cpu / full.cpu:.3f}x", f"<= {DOWNSAMPLING_RATIO:.3f}x",
                      ratio <= DOWNSAMPLING_RATIO))

    def thumbnail(draft: bool) -> None:
        with Image.open(io.BytesIO(data)) as im:
            if not draft:
                im.load()  # every pixel first: draft() then has nothing to pick
            im.thumbnail((256, 256))

    off, on = b.alternate(lambda: timed(lambda: thumbnail(False)),
                          lambda: timed(lambda: thumbnail(True)))
    b.info_row("Pillow thumbnail((256, 256)) of it: draft off vs on", "default",
               fmt_time(off.wall), fmt_time(on.wall), f"{on.wall / off.wall:.3f}x",
               f"{on.cpu / off.cpu:.3f}x")


def bench_count(b: Bench) -> None:
    """(5): frame_count of the animation against the raw frame-event count,
    and against a full decode of it."""
    calls = b.settings.count_calls
    path = b.cache.stream(ANIM, LOSSLESS_E1)
    data = path.read_bytes()
    raw_count, raw_decode, py_count = b.alternate(
        b.raw("count", [path], None, "--calls", str(calls)),
        b.raw("decode", [path], None),
        lambda: timed(lambda: jxl.frame_count(data), calls))
    raw_us, py_us = raw_count.wall * 1e6 / calls, py_count.wall * 1e6 / calls
    ratio = py_us / raw_us
    b.rows.append(Row(f"frame_count {ANIM.frames}-frame anim x{calls}", "-", f"{raw_us:.1f} us",
                      f"{py_us:.1f} us", f"{ratio:.2f}x", f"{py_count.cpu / raw_count.cpu:.2f}x",
                      f"<= {COUNT_RATIO:g}x", ratio <= COUNT_RATIO))
    b.info_row("  frame_count vs raw full decode", "default", fmt_time(raw_decode.wall),
               f"{py_us:.1f} us", f"{py_us / (raw_decode.wall * 1e6):.5f}x")


def bench_probe(b: Bench) -> None:
    """probe of the animation (header, colour, every frame header, boxes)
    against the raw frame-event count and a raw full decode; no target."""
    calls = b.settings.count_calls
    path = b.cache.stream(ANIM, LOSSLESS_E1)
    data = path.read_bytes()
    raw_count, raw_decode, py_probe = b.alternate(
        b.raw("count", [path], None, "--calls", str(calls)),
        b.raw("decode", [path], None),
        lambda: timed(lambda: jxl.probe(data), calls))
    raw_us, py_us = raw_count.wall * 1e6 / calls, py_probe.wall * 1e6 / calls
    b.info_row(f"probe {ANIM.frames}-frame anim x{calls} vs raw count", "-", f"{raw_us:.1f} us",
               f"{py_us:.1f} us", f"{py_us / raw_us:.2f}x", f"{py_probe.cpu / raw_count.cpu:.2f}x")
    b.info_row("  probe vs raw full decode", "default", fmt_time(raw_decode.wall),
               f"{py_us:.1f} us", f"{py_us / (raw_decode.wall * 1e6):.5f}x")


# --- streaming ---------------------------------------------------------------

# Peak RSS comes from VmHWM, not from getrusage's ru_maxrss: the latter
# carries over exec the parent's size at fork, so a child of this (big)
# process would report this process's memory as its own.
STREAM_CHILD = r"""
import json, sys, time
import kestrelpix.codecs._jxl as jxl

def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmHWM:"))

path, streaming, numthreads = sys.argv[1], sys.argv[2] == "1", int(sys.argv[3]) or None
before = peak_kib()
wall, cpu = time.perf_counter(), time.process_time()
frame = jxl.decode(path, streaming=streaming, numthreads=numthreads)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
peak = peak_kib()
print(json.dumps({"seconds": wall, "cpu_seconds": cpu, "before_kib": before,
                  "maxrss_kib": peak, "nbytes": frame.nbytes}))
"""


def default_malloc_env() -> dict[str, str]:
    """This process's environment without the malloc pinning."""
    return {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}


def python_child(path: Path, streaming: bool, numthreads: int | None) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", STREAM_CHILD, str(path), str(int(streaming)),
                           str(numthreads or 0)], capture_output=True, text=True,
                          env=default_malloc_env())
    if done.returncode != 0:
        raise SystemExit(f"streaming child failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def huge_picture(b: Bench) -> tuple[Picture, Path]:
    """A lossless 16-bit still whose stream is at least the configured size:
    sized from the bytes per pixel of a small sample with the same noise."""
    target = b.settings.stream_mib * MIB
    sample = Picture("huge-sample-512x512-u16", 512, 512, bits=16, seed=7, noise=HUGE_NOISE)
    bytes_per_pixel = b.cache.stream(sample, LOSSLESS_E1).stat().st_size / (512 * 512)
    width = 8192
    height = 8 * math.ceil(target * 1.05 / bytes_per_pixel / width / 8)
    picture = Picture(f"huge-{width}x{height}-u16", width, height, bits=16, seed=7,
                      noise=HUGE_NOISE)
    path = b.cache.stream(picture, LOSSLESS_E1, keep_source=False)
    size = path.stat().st_size
    if size < target:
        raise SystemExit(f"{path} is {size / MIB:.0f} MiB, short of {b.settings.stream_mib} MiB")
    return picture, path


def bench_stream(b: Bench) -> None:
    """(6): a big lossless stream from its file, streaming=True against
    streaming=False: wall time and peak RSS, each run in its own process.
    Raw reads the file whole, or feeds it in 4 MiB chunks as it reads."""
    picture, path = huge_picture(b)
    frame_mib = picture.frame_bytes / MIB
    size_mib = path.stat().st_size / MIB
    name = f"{size_mib:.0f} MiB file {picture.width}x{picture.height} u16"
    b.notes.append(f"streaming: {path.name}, {size_mib:.0f} MiB; frame {frame_mib:.0f} MiB. "
                   "Python RSS is the decode's peak above the interpreter's peak before it "
                   "(imports); raw RSS is the whole baseline process's peak")
    limit = frame_mib + STREAM_SLACK_MIB
    for nt in THREADS:
        for streaming in (False, True):
            raw_records: list[dict[str, float]] = []
            py_records: list[dict[str, float]] = []
            chunk = str(4 * MIB if streaming else 0)

            def raw_run() -> Sample:
                raw_records.append(b.raw_once("decode-file", [path], nt, "--chunk", chunk))
                return as_sample(raw_records[-1])

            def py_run() -> Sample:
                py_records.append(python_child(path, streaming, nt))
                return as_sample(py_records[-1])

            raw, py = b.alternate(raw_run, py_run, reps=b.settings.stream_reps,
                                  warm_up_python=False)
            mode = f"streaming={streaming}"
            b.time_row(f"{name} {mode}", nt, raw, py, STREAM_RATIO if streaming else LARGE_RATIO)
            raw_rss = median([r["maxrss_kib"] for r in raw_records]) / 1024
            py_rss = median([r["maxrss_kib"] - r["before_kib"] for r in py_records]) / 1024
            py_abs = median([r["maxrss_kib"] for r in py_records]) / 1024
            cells = (f"  peak RSS {mode}", threads_label(nt), f"{raw_rss:.0f} MiB",
                     f"{py_rss:.0f} MiB", f"{py_rss / raw_rss:.2f}x", "")
            if streaming:
                b.rows.append(Row(*cells, f"<= {limit:.0f} MiB", py_rss <= limit))
            else:
                b.info_row(*cells)
            b.notes.append(f"streaming: {mode} numthreads={threads_label(nt)}: Python peak RSS "
                           f"{py_abs:.0f} MiB absolute")


# --- lock release ------------------------------------------------------------


def decode_set(streams: Sequence[bytes]) -> None:
    for data in streams:
        jxl.decode(data, numthreads=1)


def python_lock_run(first: Sequence[bytes], second: Sequence[bytes]) -> tuple[float, Sample]:
    """(one thread doing both sets, two threads doing one set each)."""
    one = timed(lambda: (decode_set(first), decode_set(second))).wall
    threads = [threading.Thread(target=decode_set, args=(s,)) for s in (first, second)]
    wall, cpu = time.perf_counter(), time.process_time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return one, Sample(time.perf_counter() - wall, time.process_time() - cpu)


def bench_lock(b: Bench) -> None:
    """(7): two Python threads each decoding its own set with numthreads=1,
    against one thread decoding both sets; the raw figure is the same with
    two native threads."""
    n = b.settings.lock_images
    pictures = [Picture(f"lock-{i}-1024x1024-u8", 1024, 1024, seed=100 + i) for i in range(2 * n)]
    paths = [b.cache.stream(p, LOSSY) for p in pictures]
    streams = [p.read_bytes() for p in paths]
    raw_one: list[float] = []
    py_one: list[float] = []
    server = b.raw("parallel", paths, 1)

    def raw_run() -> Sample:
        record = server.record()
        raw_one.append(record["one_thread"])
        return as_sample(record)

    def py_run() -> Sample:
        one, two = python_lock_run(streams[:n], streams[n:])
        py_one.append(one)
        return two

    try:
        raw_two, py_two = b.alternate(raw_run, py_run)
    finally:
        server.close()
    raw_speedup = median(raw_one) / raw_two.wall
    py_speedup = median(py_one) / py_two.wall
    b.rows.append(Row(f"lock release: 2 threads vs 1, {n}+{n} decodes 1024x1024 d1", "1",
                      f"{raw_speedup:.2f}x", f"{py_speedup:.2f}x",
                      f"{py_speedup / raw_speedup:.3f}", "", f">= {LOCK_SPEEDUP}x",
                      py_speedup >= LOCK_SPEEDUP))
    b.notes.append(f"lock release: one thread {fmt_time(median(py_one))} (raw "
                   f"{fmt_time(median(raw_one))}), two threads {fmt_time(py_two.wall)} (raw "
                   f"{fmt_time(raw_two.wall)})")


# --- JPEG recompression -------------------------------------------------------

TESTDATA = next((p for p in (Path(sys.prefix, "share", "libjxl-testdata"),
                             Path("/usr/share/libjxl-testdata")) if p.is_dir()),
                Path("/usr/share/libjxl-testdata"))
# The largest of libjxl-testdata's JPEG files that libjxl recompresses.
LARGEST_JPEG = TESTDATA / "jxl" / "flower" / "flower.png.im_q85_rgb.jpg"
NO_JPEG = "jpeg workloads skipped: libjxl-testdata or transcode_jpeg is missing"


def bench_jpeg(b: Bench) -> None:
    """transcode_jpeg of the largest testdata JPEG at effort 7, and
    reconstruct_jpeg of the stream it makes, against the same libjxl calls."""
    jpeg_name = f"transcode_jpeg {LARGEST_JPEG.name} e7"
    recon_name = f"reconstruct_jpeg of {LARGEST_JPEG.name}"
    if not LARGEST_JPEG.exists() or not hasattr(jxl, "transcode_jpeg"):
        b.skip(jpeg_name, NO_JPEG)
        b.skip(recon_name, NO_JPEG)
        return
    jpeg = LARGEST_JPEG.read_bytes()
    stream_path = b.cache.root / f"{LARGEST_JPEG.stem}.jxl"
    stream = jxl.transcode_jpeg(jpeg)
    stream_path.write_bytes(stream)
    # Raw transcodes only; the like-for-like row skips the verification
    # (rebuilding the JPEG and comparing) that transcode_jpeg does by default.
    raw_run = b.raw("transcode", [LARGEST_JPEG], None, "--effort", "7")
    verified: list[Sample] = []

    def py_run() -> Sample:
        verified.append(timed(lambda: jxl.transcode_jpeg(jpeg, effort=7)))
        return timed(lambda: jxl.transcode_jpeg(jpeg, effort=7, verify=False))

    raw, py = b.alternate(raw_run, py_run)
    b.time_row(f"{jpeg_name} verify=False", None, raw, py)
    checked = median_sample(verified[-b.settings.reps:])  # not the warm-up
    b.time_row("  default verify=True (rebuilds and compares)", None, raw, checked, target=None)
    raw, py = b.alternate(b.raw("reconstruct", [stream_path], None),
                          lambda: timed(lambda: jxl.reconstruct_jpeg(stream)))
    b.time_row(recon_name, None, raw, py)


# --- instruction counts -------------------------------------------------------

# Lets the Python side zero callgrind's counters after its start-up and a
# warm-up call and dump them after each workload's calls: one process then
# measures every workload, the interpreter's start-up counted in none.
CGMARK_SOURCE = """
#include <valgrind/callgrind.h>
void cg_zero(void) { CALLGRIND_ZERO_STATS; }
void cg_dump(const char *label) { CALLGRIND_DUMP_STATS_AT(label); }
"""
CGMARK = BUILD / "cgmark.so"

INSTR_CHILD = r"""
import ctypes, json, sys
sys.path.insert(0, sys.argv[1])
import kestrelpix.codecs._jxl as jxl
from streams import Picture
marks = ctypes.CDLL(sys.argv[2])
marks.cg_dump.argtypes = [ctypes.c_char_p]
for case in json.loads(sys.argv[3]):
    ns = {"jxl": jxl, "Picture": Picture}
    exec(case["setup"], ns)
    call = compile(case["stmt"], "<stmt>", "eval")
    eval(call, ns)  # warm-up, as raw's
    marks.cg_zero()
    for _ in range(case["calls"]):
        eval(call, ns)
    marks.cg_dump(case["label"].encode())
"""


@dataclass
class InstrCase:
    label: str
    raw: tuple[str, list[Path], int | None, list[str]]  # workload, files, threads, options
    setup: str
    stmt: str
    calls: int
    target: float | None = None  # a ratio target, where one applies to counts


def callgrind_cmd(out: Path) -> list[str]:
    return ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-line=no"]


def callgrind_total(path: Path) -> int:
    """The sum of the costs a dump lists. Not its `summary:` line, which in a
    dump made on request while other threads live counts more than the
    costs listed (and more than the same calls measured from outside)."""
    for line in path.read_text().splitlines():
        if line.startswith("totals:"):
            return int(line.split()[1])
    raise SystemExit(f"no instruction total in {path}")


def raw_instructions(case: InstrCase, workdir: Path) -> float:
    """Instructions of one raw call: (count of 2N calls - count of N) / N,
    without a warm-up repetition (the first call is in both and cancels)."""
    workload, files, nt, opts = case.raw
    totals = []
    for calls in (case.calls, 2 * case.calls):
        out = workdir / f"raw-{len(list(workdir.iterdir()))}.cg"
        cmd = [*callgrind_cmd(out), str(BASELINE), workload, *map(str, files), "--threads",
               str(nt or 0), "--reps", "1", "--warmup", "0", "--calls", str(calls), *opts]
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"callgrind run failed: {' '.join(cmd)}\n{done.stderr[-2000:]}")
        totals.append(callgrind_total(out))
    return (totals[1] - totals[0]) / case.calls


def python_instructions(cases: Sequence[InstrCase], workdir: Path) -> dict[str, float]:
    """Instructions of one Python call of each case, all in one process."""
    if not CGMARK.exists() or CGMARK.stat().st_mtime < Path(__file__).stat().st_mtime:
        src = BUILD / "cgmark.c"
        src.write_text(CGMARK_SOURCE)
        subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", str(CGMARK), str(src)],
                       check=True)
    spec = json.dumps([{"label": c.label, "setup": c.setup, "stmt": c.stmt, "calls": c.calls}
                       for c in cases])
    out = workdir / "py.cg"
    cmd = [*callgrind_cmd(out), sys.executable, "-c", INSTR_CHILD,
           str(ROOT / "bench"), str(CGMARK), spec]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"callgrind run of Python failed\n{done.stderr[-3000:]}")
    counts: dict[str, float] = {}
    for dump in workdir.glob("py.cg*"):
        text = dump.read_text()
        trigger = next((l for l in text.splitlines() if l.startswith("desc: Trigger:")), "")
        for c in cases:
            if trigger.endswith(f"Client Request: {c.label}"):
                counts[c.label] = callgrind_total(dump) / c.calls
    missing = [c.label for c in cases if c.label not in counts]
    if missing:
        raise SystemExit(f"no callgrind dump for {missing} in {workdir}")
    return counts


def instruction_cases(b: Bench) -> list[InstrCase]:
    """The workloads whose calls take under 10 ms, as the time table runs them."""
    tiny = b.cache.stream(TINY, LOSSY)
    mid = b.cache.stream(MID, LOSSY)
    anim = b.cache.stream(ANIM, LOSSLESS_E1)
    lossy = ["--distance", "1", "--effort", "5"]
    enc = "jxl.encode(arr, distance=1.0, effort=5{})"
    cases = []
    for nt in THREADS:
        arg = "" if nt is None else ", numthreads=1"
        cases.append(InstrCase(f"tiny decode 64x64 u8 d1 e5, {threads_label(nt)} vs raw 1 thread",
                               ("decode", [tiny], nt, ["--runner", "none"]),
                               f"data = open({str(tiny)!r}, 'rb').read()",
                               f"jxl.decode(data{arg})", 10))
        if nt is None:
            cases.append(InstrCase("  raw with a runner per call", ("decode", [tiny], None,
                                   ["--runner", "per-call"]), "", "", 10))
    if hasattr(jxl, "encode"):
        for nt in THREADS:
            arg = "" if nt is None else ", numthreads=1"
            cases.append(InstrCase(
                f"tiny encode 64x64 u8 d1 e5, {threads_label(nt)} vs raw 1 thread",
                ("encode", [b.cache.pnm(TINY)], nt, [*lossy, "--runner", "none"]),
                f"arr = {TINY!r}.frame()", enc.format(arg), 5))
            if nt is None:
                cases.append(InstrCase("  raw with a runner per call",
                                       ("encode", [b.cache.pnm(TINY)], None,
                                        [*lossy, "--runner", "per-call"]), "", "", 5))
    # No target: what a runner per call costs is mostly the kernel's
    # (clone, exit, scheduling), which callgrind does not count.
    cases.append(InstrCase("decode 512x512 u8 d1 e5 vs raw runner per call",
                           ("decode", [mid], None, ["--runner", "per-call"]),
                           f"data = open({str(mid)!r}, 'rb').read()", "jxl.decode(data)", 3))
    if hasattr(jxl, "encode"):
        cases.append(InstrCase("encode 512x512 u8 d1 e5 vs raw runner per call",
                               ("encode", [b.cache.pnm(MID)], None,
                                [*lossy, "--runner", "per-call"]),
                               f"arr = {MID!r}.frame()", enc.format(""), 1))
    read = f"data = open({str(anim)!r}, 'rb').read()"
    cases.append(InstrCase(f"frame_count {ANIM.frames}-frame anim vs raw count",
                           ("count", [anim], None, []), read, "jxl.frame_count(data)", 20,
                           COUNT_RATIO))
    cases.append(InstrCase(f"probe {ANIM.frames}-frame anim vs raw count",
                           ("count", [anim], None, []), read, "jxl.probe(data)", 20))
    return cases


def bench_instructions(b: Bench) -> None:
    """Instruction counts per call (callgrind), raw against Python. A case
    with no Python statement compares the Python figure of the case above it
    with another raw run."""
    import tempfile

    cases = instruction_cases(b)
    with tempfile.TemporaryDirectory(prefix="kp-callgrind-") as tmp:
        workdir = Path(tmp)
        print("instructions: Python (one process under callgrind) ...", file=sys.stderr,
              flush=True)
        (workdir / "py").mkdir()
        py_counts = python_instructions([c for c in cases if c.stmt], workdir / "py")
        last_py = 0.0
        for case in cases:
            print(f"instructions: raw {case.label.strip()} ...", file=sys.stderr, flush=True)
            rawdir = workdir / "raw"
            rawdir.mkdir(exist_ok=True)
            raw = raw_instructions(case, rawdir)
            py = py_counts.get(case.label, last_py)
            last_py = py
            ratio = py / raw
            nt = case.raw[2] if case.stmt else None
            if case.target is None:
                b.info_row(case.label, threads_label(nt), f"{raw / 1e6:.3f} M",
                           f"{py / 1e6:.3f} M", f"{ratio:.3f}x ({(py - raw) / 1e3:+.0f} k)")
            else:
                b.rows.append(Row(case.label, threads_label(nt), f"{raw / 1e6:.3f} M",
                                  f"{py / 1e6:.3f} M", f"{ratio:.3f}x", "",
                                  f"<= {case.target:g}x", ratio <= case.target))
    b.notes.append("instructions: per call, M = million; callgrind counts user-space "
                   "instructions only, all threads together: the kernel's part of creating "
                   "and waking threads is not in it")


WORKLOADS: dict[str, Callable[[Bench], None]] = {
    "decode": bench_decode, "anim": bench_anim, "encode": bench_encode, "tiny": bench_tiny,
    "mid": bench_mid, "out": bench_out,
    "count": bench_count, "probe": bench_probe, "stream": bench_stream, "lock": bench_lock,
    "progressive": bench_progressive,
    "jpeg": bench_jpeg,
}


# ---------------------------------------------------------------------------
# Report


def print_table(b: Bench, load_before: tuple[float, ...], elapsed: float,
                what: str = "") -> None:
    header = Row("workload", "threads", "raw", "python", "ratio", "cpu ratio", "target", None)
    cols = ["workload", "threads", "raw", "py", "ratio", "cpu", "target"]
    widths = {c: max(len(getattr(r, c)) for r in [header, *b.rows]) for c in cols}

    def line(r: Row, met: str) -> str:
        cells = [getattr(r, c).ljust(widths[c]) if c == "workload" else
                 getattr(r, c).rjust(widths[c]) for c in cols]
        return "  ".join(cells + [met]).rstrip()

    load_after = os.getloadavg()
    print()
    print(f"kestrelpix against raw libjxl {jxl.libjxl_version()}"
          f"{' (quick)' if b.settings.quick else ''}; " +
          (what or f"medians of {b.settings.reps} reps ({b.settings.stream_reps} for "
           "streaming)"))
    print(f"cores: {os.cpu_count()} (usable {len(os.sched_getaffinity(0))}); default worker "
          f"count {b.default_threads or '?'}; load average before "
          f"{' '.join(f'{x:.2f}' for x in load_before)}, after "
          f"{' '.join(f'{x:.2f}' for x in load_after)}")
    print(f"streams made by {b.cache.producer}; GLIBC_TUNABLES="
          f"{os.environ.get('GLIBC_TUNABLES', '(unset)')}; run took {elapsed:.0f} s")
    print()
    print(line(header, "met"))
    print("-" * len(line(header, "met")))
    for r in b.rows:
        print(line(r, "-" if r.met is None else "yes" if r.met else "NO"))
    if b.notes:
        print()
        for note in b.notes:
            print(f"note: {note}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer reps and calls, smaller "
                        "streaming input: under two minutes on two cores once the cache is made")
    parser.add_argument("--reps", type=int, help="repetitions per side (default 5, quick 3; "
                        "streaming 3, quick 1)")
    parser.add_argument("--only", help="comma-separated groups out of "
                        f"{', '.join(GROUPS + SCRIPTS)}")
    parser.add_argument("--cache", type=Path, default=BUILD / "cache",
                        help="where the synthetic sources and streams are kept")
    parser.add_argument("--instructions", action="store_true",
                        help="instruction counts (valgrind's callgrind, both sides) of the "
                        "workloads under 10 ms per call, instead of wall times")
    parser.add_argument("--default-malloc", action="store_true",
                        help="leave glibc's malloc thresholds to adapt as they do by default")
    args = parser.parse_args(argv)
    if not args.default_malloc and os.environ.get("GLIBC_TUNABLES") != MALLOC_TUNABLES:
        # Tunables are read at start-up only: run again with them set.
        os.environ["GLIBC_TUNABLES"] = MALLOC_TUNABLES
        os.execv(sys.executable, [sys.executable, __file__, *sys.argv[1:]])
    groups = args.only.split(",") if args.only else list(GROUPS)
    unknown = set(groups) - set(GROUPS) - set(SCRIPTS)
    if unknown:
        parser.error(f"unknown groups: {', '.join(sorted(unknown))}")
    if not BASELINE.exists():
        parser.error(f"{BASELINE} is missing: run `make bench`, which builds it")

    load_before = os.getloadavg()
    if load_before[0] > 0.5:
        print(f"warning: load average {load_before[0]:.2f}: the machine is busy, wall-time "
              "ratios (two-thread figures above all) will be noisy", file=sys.stderr)
    bench = Bench(Settings.make(args.quick, args.reps), StreamCache(args.cache, jxl))
    start = time.perf_counter()
    if args.instructions:
        bench_instructions(bench)
        print_table(bench, load_before, time.perf_counter() - start, "instructions per call")
        return 0
    for group in GROUPS:
        if group in groups:
            print(f"running {group} ...", file=sys.stderr, flush=True)
            WORKLOADS[group](bench)
    if any(group in GROUPS for group in groups):
        print_table(bench, load_before, time.perf_counter() - start)
    for script in SCRIPTS:
        if script in groups:
            subprocess.run([sys.executable, ROOT / "bench" / f"{script}.py",
                            *["--quick"] * args.quick])
    return 0


if __name__ == "__main__":
    sys.exit(main())
