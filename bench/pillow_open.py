"""Pillow: what opening many JPEG XL files costs before any is loaded.

Writes one 3840x2160 RGB JPEG XL (lossy, distance 1, about 10 MB of noisy
content) and the same image as PNG, then opens N copies of each with
``Image.open`` without loading them, as a gallery or a batch script does,
and reports the growth of the process's resident memory, its thread count
and the bytes read from the files (``/proc/self/io``'s rchar) while they are
open. Each format is measured in a child process of its own.

    python bench/pillow_open.py [--count N]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

CHILD = """
import sys, threading
from PIL import Image
import kestrelpix.pillow

def status():
    rss = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmRSS"))
    rchar = next(int(l.split()[1]) for l in open("/proc/self/io") if l.startswith("rchar"))
    return rss * 1024, rchar

path, count = sys.argv[1], int(sys.argv[2])
Image.open(path).close()  # imports and first-use costs outside the measurement
rss0, read0 = status()
threads0 = threading.active_count()
images = [Image.open(path) for _ in range(count)]
size = images[0].size
rss1, read1 = status()
print(rss1 - rss0, threading.active_count() - threads0, read1 - read0, *size)
"""


def measure(path: Path, count: int) -> tuple[int, int, int]:
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), str(count)],
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1]), int(out[2])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100)
    args = parser.parse_args()

    from PIL import Image

    from kestrelpix import jxl

    rng = np.random.default_rng(0)
    image = rng.integers(0, 256, (2160, 3840, 3), dtype=np.uint8)
    with tempfile.TemporaryDirectory() as tmp:
        paths = {"JPEG XL": Path(tmp, "4k.jxl"), "PNG": Path(tmp, "4k.png")}
        jxl.encode(image, distance=1.0, effort=1, dest=paths["JPEG XL"])
        Image.fromarray(image).save(paths["PNG"], compress_level=1)
        print(f"{args.count} images opened, none loaded")
        print(f"{'format':<8} {'file MB':>8} {'RSS growth MiB':>15} {'threads':>8} "
              f"{'read MB':>8}")
        for name, path in paths.items():
            rss, threads, read = measure(path, args.count)
            print(f"{name:<8} {path.stat().st_size / 1e6:>8.1f} {rss / 2**20:>15.1f} "
                  f"{threads:>8} {read / 1e6:>8.2f}")


if __name__ == "__main__":
    main()
