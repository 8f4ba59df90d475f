"""encode() against cjxl on the same 3840x2160 RGB uint8 image, in one run.

Both sides use libjxl's default worker count. For encode, the time is the
best of REPS calls (array in, bytes out). For cjxl, the figure is its own
--num_reps report (it times the encoding only, not reading the PPM), with
the wall time of the whole process, divided by the reps, beside it. The
machine may be shared: compare figures from the same run only.

    .venv/bin/python bench/encode_vs_cjxl.py
"""

from __future__ import annotations

import os
import re
import subprocess
import tempfile
import time
from pathlib import Path

import kestrelpix.codecs._jxl as jxl
from kestrelpix._demo import landscape

REPS = 5
YSIZE, XSIZE = 2160, 3840
CASES = [
    ("distance 1, effort 5", {"distance": 1.0, "effort": 5}, ["-d", "1", "-e", "5"]),
    ("lossless, effort 1", {"lossless": True, "effort": 1}, ["-d", "0", "-e", "1"]),
]


def time_encode(img, options: dict) -> tuple[float, int]:
    best, size = float("inf"), 0
    for _ in range(REPS):
        start = time.perf_counter()
        stream = jxl.encode(img, **options)
        best = min(best, time.perf_counter() - start)
        size = len(stream)
    return best, size


def time_cjxl(ppm: Path, out: Path, flags: list[str]) -> tuple[float, float, int, str]:
    """cjxl's own best MP/s, the process wall time, output size and threads."""
    start = time.perf_counter()
    done = subprocess.run(["cjxl", str(ppm), str(out), *flags, "--num_threads=-1",
                           f"--num_reps={REPS}"], check=True, capture_output=True, text=True)
    wall = time.perf_counter() - start
    report = done.stdout + done.stderr
    match = re.search(r"([\d.]+) MP/s \[([\d.]+), ([\d.]+)\].*?(\d+) reps, (\d+) threads", report)
    if not match:
        raise RuntimeError(f"unexpected cjxl report:\n{report}")
    best_mps = float(match.group(3))
    return best_mps, wall, out.stat().st_size, match.group(5)


def main() -> None:
    img = landscape(YSIZE, XSIZE)  # the demo's, for a natural-looking test image
    megapixels = YSIZE * XSIZE / 1e6
    print(f"libjxl {jxl.libjxl_version()}, {os.cpu_count()} CPUs, "
          f"{XSIZE}x{YSIZE} RGB uint8 landscape, best of {REPS}")
    print(f"{'setting':<22}{'encode s':>10}{'MP/s':>8}{'bytes':>12}"
          f"{'cjxl s':>10}{'MP/s':>8}{'bytes':>12}{'cjxl wall s':>13}{'threads':>9}")
    with tempfile.TemporaryDirectory() as tmp:
        ppm = Path(tmp, "in.ppm")
        ppm.write_bytes(f"P6\n{XSIZE} {YSIZE}\n255\n".encode() + img.tobytes())
        for name, options, flags in CASES:
            seconds, size = time_encode(img, options)
            cjxl_mps, wall, cjxl_size, threads = time_cjxl(ppm, Path(tmp, "out.jxl"), flags)
            print(f"{name:<22}{seconds:>10.3f}{megapixels / seconds:>8.2f}{size:>12,}"
                  f"{megapixels / cjxl_mps:>10.3f}{cjxl_mps:>8.2f}{cjxl_size:>12,}"
                  f"{wall / REPS:>13.3f}{threads:>9}")


if __name__ == "__main__":
    main()
