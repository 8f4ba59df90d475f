"""kestrelpix demo: what the JPEG XL codec does with a photograph-like image,
on this machine."""

from __future__ import annotations

import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import kestrelpix.codecs._jxl as jxl

YSIZE, XSIZE = 1080, 1920
SETTINGS: list[tuple[str, dict]] = [
    ("lossless", {"lossless": True}),
    ("distance 1.0", {"distance": 1.0}),
    ("distance 2.5", {"distance": 2.5}),
    ("quality 75", {"quality": 75}),
]


# --- a deterministic landscape --------------------------------------------------

def value_noise(rng: np.random.Generator, cells: int, ysize: int, xsize: int) -> np.ndarray:
    """Smoothly interpolated random values on a grid `cells` rows high."""
    cols = cells * xsize // ysize + 1
    grid = rng.random((cells + 1, cols + 1), dtype=np.float32)
    gy = np.linspace(0, cells - 1e-4, ysize, dtype=np.float32)
    gx = np.linspace(0, cols - 1e-4, xsize, dtype=np.float32)
    y0, x0 = gy.astype(int), gx.astype(int)
    fy, fx = (gy - y0)[:, None], (gx - x0)[None, :]
    fy, fx = fy * fy * (3 - 2 * fy), fx * fx * (3 - 2 * fx)  # smoothstep
    top = grid[y0][:, x0] * (1 - fx) + grid[y0][:, x0 + 1] * fx
    bottom = grid[y0 + 1][:, x0] * (1 - fx) + grid[y0 + 1][:, x0 + 1] * fx
    return top * (1 - fy) + bottom * fy


def fractal_noise(rng: np.random.Generator, ysize: int, xsize: int, octaves: int = 6) -> np.ndarray:
    total = sum(value_noise(rng, 4 << i, ysize, xsize) * 0.5 ** i for i in range(octaves))
    return total / sum(0.5 ** i for i in range(octaves))


def landscape(ysize: int = YSIZE, xsize: int = XSIZE, seed: int = 7) -> np.ndarray:
    """Sky, sun, hills, a lake, a few buildings and grain, as (Y, X, 3) uint8."""
    rng = np.random.default_rng(seed)
    v, u = np.mgrid[0:ysize, 0:xsize].astype(np.float32)
    v, u = v / ysize, u / xsize
    clouds = fractal_noise(rng, ysize, xsize)
    sky = np.stack([0.30 + 0.45 * v, 0.50 + 0.35 * v, 0.92 - 0.10 * v], axis=-1)
    sky += (np.clip(clouds - 0.5, 0, 1) * 1.2)[..., None]
    sun = np.exp(-(((u - 0.78) * 16 / 9) ** 2 + (v - 0.20) ** 2) / 0.004)
    img = sky + sun[..., None] * np.array([0.6, 0.5, 0.2], np.float32)

    horizon = 0.58 + 0.07 * np.sin(5.5 * u + 1.0) + 0.025 * np.sin(19 * u + 0.3)
    ground = v > horizon
    soil = fractal_noise(rng, ysize, xsize)
    grass = np.stack([0.22 + 0.25 * soil, 0.38 + 0.30 * soil, 0.12 + 0.10 * soil], axis=-1)
    grass *= (0.7 + 0.5 * (v - horizon))[..., None]
    img[ground] = grass[ground]

    lake = ((u - 0.3) / 0.22) ** 2 + ((v - 0.82) / 0.08) ** 2 < 1
    mirror_rows = (np.clip(2 * horizon - v, 0, 0.999) * ysize).astype(int)
    cols = np.broadcast_to(np.arange(xsize), lake.shape)
    img[lake] = sky[mirror_rows[lake], cols[lake]] * 0.8  # the sky, reflected

    for left, width, height, shade in [(0.52, 0.04, 0.16, 0.25), (0.57, 0.025, 0.24, 0.32),
                                       (0.60, 0.05, 0.12, 0.20), (0.66, 0.03, 0.19, 0.28)]:
        x0, x1 = int(left * xsize), int((left + width) * xsize)
        base = horizon[0, x0:x1].max()
        y0, y1 = int((base - height) * ysize), int(base * ysize) + 4
        img[y0:y1, x0:x1] = shade
        img[y0:y1:12, x0:x1:9] = 0.85  # lit windows

    img += rng.normal(0, 1.2 / 255, img.shape).astype(np.float32)
    return np.rint(np.clip(img, 0, 1) * 255).astype(np.uint8)


# --- decoding back --------------------------------------------------------------

def read_ppm(data: bytes) -> np.ndarray:
    """An 8-bit binary PPM as written by djxl (no comments)."""
    magic, width, height, maxval, body = data.split(maxsplit=4)
    assert magic == b"P6" and maxval == b"255"
    return np.frombuffer(body, np.uint8).reshape(int(height), int(width), 3)


def decode(stream: bytes, tmp: Path) -> tuple[np.ndarray, float]:
    """The decoded image and the seconds it took."""
    if hasattr(jxl, "decode"):
        start = time.perf_counter()
        arr = jxl.decode(stream)
        return arr, time.perf_counter() - start
    src, out = tmp / "in.jxl", tmp / "out.ppm"
    src.write_bytes(stream)
    start = time.perf_counter()
    subprocess.run(["djxl", str(src), str(out)], check=True, capture_output=True)
    seconds = time.perf_counter() - start
    return read_ppm(out.read_bytes()), seconds


def main() -> None:
    print(f"libjxl {jxl.libjxl_version()}")
    img = landscape()
    megapixels = img.size / 3 / 1e6
    decoder = "JxlReader" if hasattr(jxl, "decode") else "djxl (process, PPM file)"
    print(f"{XSIZE}x{YSIZE} RGB uint8 landscape, decoded with {decoder}\n")
    print(f"{'setting':<14}{'bytes':>11}{'bpp':>8}{'max err':>9}{'PSNR dB':>9}"
          f"{'enc MP/s':>10}{'dec MP/s':>10}")
    with tempfile.TemporaryDirectory() as tmp:
        for name, options in SETTINGS:
            start = time.perf_counter()
            stream = jxl.encode(img, **options)
            encode_seconds = time.perf_counter() - start
            back, decode_seconds = decode(stream, Path(tmp))
            diff = back.astype(np.int16) - img
            mse = float(np.mean(diff.astype(np.float64) ** 2))
            psnr = "inf" if mse == 0 else f"{10 * np.log10(255 ** 2 / mse):.2f}"
            print(f"{name:<14}{len(stream):>11,}{8 * len(stream) / (megapixels * 1e6):>8.3f}"
                  f"{int(np.abs(diff).max()):>9}{psnr:>9}"
                  f"{megapixels / encode_seconds:>10.2f}{megapixels / decode_seconds:>10.2f}")


if __name__ == "__main__":
    main()
