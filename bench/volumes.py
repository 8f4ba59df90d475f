"""Volumes: lossless JPEG XL chunks against numcodecs' general compressors.

A 16-bit and an 8-bit synthetic volume (smooth 1/f structure, bright blobs
and shot noise, as a microscope or a scanner gives) are cut into chunks;
every codec encodes and decodes the same chunks one after another, each at
its defaults for threads. Compression ratio is raw bytes over encoded bytes;
MB/s are raw megabytes (10^6 bytes) per second of wall time, the median of
the repetitions. Every lossless decode is checked against the source.

    python bench/volumes.py [--quick] [--reps N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable, Sequence

import numpy as np
from numcodecs import Blosc, Zstd
from numcodecs.abc import Codec

from kestrelpix.numcodecs import Jxl


def fractal_field(shape: tuple[int, ...], rng: np.random.Generator,
                  slope: float = 1.6) -> np.ndarray:
    """Gaussian noise with a 1/f^slope spectrum, scaled to 0..1: the large,
    smooth variation of natural scenes, with ever finer detail on top."""
    spectrum = np.fft.rfftn(rng.standard_normal(shape).astype(np.float32))
    freqs = np.meshgrid(*[np.fft.fftfreq(n) for n in shape[:-1]],
                        np.fft.rfftfreq(shape[-1]), indexing="ij", sparse=True)
    radius = np.sqrt(sum(f * f for f in freqs))
    radius[(0,) * len(shape)] = 1.0
    field = np.fft.irfftn(spectrum / radius ** slope, shape, axes=range(len(shape)))
    field = field.astype(np.float32)
    field -= field.min()
    return field / field.max()


def blobs(shape: tuple[int, ...], rng: np.random.Generator, count: int) -> np.ndarray:
    """Bright round cells of a few pixels' radius, as fluorescence shows them."""
    out = np.zeros(shape, np.float32)
    for _ in range(count):
        centre = [rng.uniform(0, n) for n in shape]
        radius = rng.uniform(2.0, 7.0)
        box = tuple(slice(max(0, int(c - 3 * radius)), min(n, int(c + 3 * radius) + 1))
                    for c, n in zip(centre, shape))
        dist2 = sum((g - c) ** 2 for g, c in zip(np.ogrid[box], centre))
        out[box] += np.exp(-dist2 / (2 * radius * radius)) * rng.uniform(0.3, 1.0)
    return out


def volume_u16(shape: tuple[int, ...], seed: int = 1) -> np.ndarray:
    """A fluorescence-like 12-bit-in-16 volume: background, tissue, cells, shot noise."""
    rng = np.random.default_rng(seed)
    signal = 150 + 900 * fractal_field(shape, rng) ** 2 + 2500 * blobs(shape, rng, 400)
    return np.clip(rng.poisson(signal) + rng.normal(0, 3, shape), 0, 65535).astype(np.uint16)


def volume_u8(shape: tuple[int, ...], seed: int = 2) -> np.ndarray:
    """A scan-like 8-bit volume: smooth anatomy with edges and mild noise."""
    rng = np.random.default_rng(seed)
    field = fractal_field(shape, rng, slope=1.8)
    tissue = np.where(field > 0.55, 60 + 150 * field, 25 + 40 * field)
    return np.clip(tissue + rng.normal(0, 2.5, shape), 0, 255).astype(np.uint8)


def chunks_of(volume: np.ndarray, chunk: tuple[int, ...]) -> list[np.ndarray]:
    return [np.ascontiguousarray(volume[z:z + chunk[0], y:y + chunk[1], x:x + chunk[2]])
            for z in range(0, volume.shape[0], chunk[0])
            for y in range(0, volume.shape[1], chunk[1])
            for x in range(0, volume.shape[2], chunk[2])]


def timed(fn: Callable[[], object]) -> tuple[float, object]:
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def measure(codec: Codec, chunks: Sequence[np.ndarray], reps: int) -> tuple[float, float, float]:
    """(ratio, write MB/s, read MB/s) of `codec` over `chunks`."""
    raw = sum(c.nbytes for c in chunks)
    writes, reads = [], []
    for _ in range(reps):
        seconds, streams = timed(lambda: [codec.encode(c) for c in chunks])
        writes.append(seconds)
        outs = [np.empty_like(c) for c in chunks]
        seconds, _ = timed(lambda: [codec.decode(s, out=o) for s, o in zip(streams, outs)])
        reads.append(seconds)
        for chunk, out in zip(chunks, outs):
            if not np.array_equal(chunk, out):
                raise SystemExit(f"{codec!r} did not restore a chunk exactly")
    encoded = sum(len(s) for s in streams)
    return (raw / encoded, raw / 1e6 / statistics.median(writes),
            raw / 1e6 / statistics.median(reads))


CODECS: list[tuple[str, Callable[[], Codec]]] = [
    ("JPEG XL lossless, effort 1", lambda: Jxl(effort=1)),
    ("JPEG XL lossless, effort 3", lambda: Jxl(effort=3)),
    ("Blosc-zstd (clevel 5, shuffle)", lambda: Blosc(cname="zstd")),
    ("Zstd (level 3)", lambda: Zstd()),
]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller volume, one rep")
    parser.add_argument("--reps", type=int, help="repetitions per codec (default 3, quick 1)")
    args = parser.parse_args(argv)
    reps = args.reps or (1 if args.quick else 3)
    shape = (16, 512, 512) if args.quick else (64, 512, 512)
    chunk = (16, 256, 256)
    load_before = os.getloadavg()[0]
    rows = []
    for label, make in (("16-bit", volume_u16), ("8-bit", volume_u8)):
        print(f"volumes: making the {label} volume ...", file=sys.stderr, flush=True)
        volume = make(shape)
        chunks = chunks_of(volume, chunk)
        for name, codec in CODECS:
            print(f"volumes: {label} {name} ...", file=sys.stderr, flush=True)
            ratio, write, read = measure(codec(), chunks, reps)
            rows.append((f"{label} {'x'.join(map(str, shape))}", name, f"{ratio:.2f}",
                         f"{write:.0f}", f"{read:.0f}"))
    header = ("volume", "codec", "ratio", "write MB/s", "read MB/s")
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    print()
    print(f"Volumes in {'x'.join(map(str, chunk))} chunks, median of {reps} rep(s); "
          f"codecs at their default thread counts; {os.cpu_count()} cores, load average "
          f"{load_before:.2f} before, {os.getloadavg()[0]:.2f} after")
    print()
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print("| " + " | ".join(c.ljust(w) if i < 2 else c.rjust(w)
                                for i, (c, w) in enumerate(zip(row, widths))) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
