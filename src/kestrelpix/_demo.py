"""The kestrelpix demo: what the JPEG XL codec does with a photograph-like
image, on this machine, in numbers and in pictures.

``run(out)`` prints a table of settings (size, error, speed), then writes three
figures into the directory `out`: demo.png, the same crop of the image at 2x
zoom for the source and each setting, labelled; demo-rd.png, bits per pixel
against PSNR over a range of distances at two efforts; and
demo-progressive.png, the crop as libjxl renders it from the first 2 %, 5 %,
10 %, 25 % and all of the image's progressive stream. The figures need
Pillow and matplotlib (``pip install "kestrelpix[cli]"``).

``kestrelpix demo [DIR]`` and the checkout's ``make demo`` (scripts/demo.py)
both run it.
"""

from __future__ import annotations

import time
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kestrelpix import jxl

__all__ = ["landscape", "run"]

#: The modules the figures need, beyond NumPy.
FIGURE_MODULES = ("PIL", "matplotlib")

Image8 = NDArray[np.uint8]
Result = tuple[str, int, float, NDArray[Any]]  # setting, bytes, PSNR, decoded

YSIZE, XSIZE = 1080, 1920
SETTINGS: list[tuple[str, dict[str, Any]]] = [
    ("lossless", {"lossless": True}),
    ("distance 1.0", {"distance": 1.0}),
    ("distance 2.5", {"distance": 2.5}),
    ("quality 75", {"quality": 75}),
]
# The crop shown at 2x: buildings with lit windows against the hills.
CROP = (slice(440, 590), slice(990, 1190))  # rows, columns: 150 x 200 pixels
ZOOM = 2
# The rate-distortion figure: a quarter of the image (its centre), to keep
# effort 7 quick.
RD_DISTANCES = [0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 4.0, 6.0]
RD_EFFORTS = [3, 7]
# The progressive figure: prefixes of the lossless progressive stream, whose
# renderings start earliest on this image (its lossy streams spend a third of
# their bytes on the 1:8 image, which comes first and whole).
PROGRESSIVE_OPTIONS: dict[str, Any] = {"lossless": True, "progressive": True}
PREFIXES = [0.02, 0.05, 0.10, 0.25, 1.0]


# --- a deterministic landscape --------------------------------------------------

def value_noise(rng: np.random.Generator, cells: int, ysize: int,
                xsize: int) -> NDArray[np.float64]:
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
    result: NDArray[np.float64] = top * (1 - fy) + bottom * fy
    return result


def fractal_noise(rng: np.random.Generator, ysize: int, xsize: int,
                  octaves: int = 6) -> NDArray[np.float64]:
    octave = (value_noise(rng, 4 << i, ysize, xsize) * 0.5 ** i for i in range(octaves))
    total: NDArray[np.float64] = sum(octave, np.zeros((), np.float64))
    return total / sum(0.5 ** i for i in range(octaves))


def landscape(ysize: int = YSIZE, xsize: int = XSIZE, seed: int = 7) -> Image8:
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
    pixels: Image8 = np.rint(np.clip(img, 0, 1) * 255).astype(np.uint8)
    return pixels


# --- measuring ------------------------------------------------------------------

def psnr(back: NDArray[Any], img: NDArray[Any]) -> float:
    mse = float(np.mean((back.astype(np.float64) - img) ** 2))
    return float("inf") if mse == 0 else 10 * np.log10(255 ** 2 / mse)


def table(img: Image8) -> list[Result]:
    """Print the settings' table; return (name, bytes, PSNR, decoded) for each."""
    megapixels = img.shape[0] * img.shape[1] / 1e6
    print(f"{XSIZE}x{YSIZE} RGB uint8 landscape\n")
    print(f"{'setting':<14}{'bytes':>11}{'bpp':>8}{'max err':>9}{'PSNR dB':>9}"
          f"{'enc MP/s':>10}{'dec MP/s':>10}")
    results = []
    for name, options in SETTINGS:
        start = time.perf_counter()
        stream = jxl.encode(img, **options)
        encode_seconds = time.perf_counter() - start
        start = time.perf_counter()
        back = jxl.decode(stream)
        decode_seconds = time.perf_counter() - start
        quality = psnr(back, img)
        max_err = int(np.abs(back.astype(np.int16) - img).max())
        print(f"{name:<14}{len(stream):>11,}{8 * len(stream) / (megapixels * 1e6):>8.3f}"
              f"{max_err:>9}{quality:>9.2f}"
              f"{megapixels / encode_seconds:>10.2f}{megapixels / decode_seconds:>10.2f}")
        results.append((name, len(stream), quality, back))
    return results


# --- pictures ---------------------------------------------------------------------

def comparison(img: Image8, results: list[Result], path: Path) -> None:
    """The crop of the source and of each decoded setting, 2x, labelled, in a grid."""
    from PIL import Image, ImageDraw, ImageFont

    font = ImageFont.load_default(size=18)
    tiles = [("source", f"{img.nbytes:,} bytes as pixels", img)]
    tiles += [(name, f"{size:,} bytes, PSNR {quality:.2f} dB", back)
              for name, size, quality, back in results]
    height, width = (s.stop - s.start for s in CROP)
    tile_w, tile_h, label_h, gap = width * ZOOM, height * ZOOM, 52, 8
    columns = 3
    rows = -(-len(tiles) // columns)
    sheet = Image.new("RGB", (columns * (tile_w + gap) + gap,
                              rows * (tile_h + label_h + gap) + gap), "white")
    draw = ImageDraw.Draw(sheet)
    for index, (title, detail, pixels) in enumerate(tiles):
        x = gap + (index % columns) * (tile_w + gap)
        y = gap + (index // columns) * (tile_h + label_h + gap)
        crop = Image.fromarray(np.ascontiguousarray(pixels[CROP]))
        sheet.paste(crop.resize((tile_w, tile_h), Image.Resampling.NEAREST), (x, y))
        draw.text((x, y + tile_h + 4), title, fill="black", font=font)
        draw.text((x, y + tile_h + 26), detail, fill="dimgray", font=font)
    sheet.save(path)


def rate_distortion(img: Image8, path: Path) -> None:
    """Bits per pixel against PSNR for RD_DISTANCES at each of RD_EFFORTS."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ysize, xsize = img.shape[:2]
    part = img[ysize // 4: ysize // 4 + ysize // 2, xsize // 4: xsize // 4 + xsize // 2]
    pixels = part.shape[0] * part.shape[1]
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=110)
    for effort in RD_EFFORTS:
        points = []
        for distance in RD_DISTANCES:
            stream = jxl.encode(part, distance=distance, effort=effort)
            points.append((8 * len(stream) / pixels, psnr(jxl.decode(stream), part)))
        bpp, db = zip(*points)
        ax.plot(bpp, db, marker="o", label=f"effort {effort}")
        below = effort == RD_EFFORTS[0]
        for distance, x, y in zip(RD_DISTANCES, bpp, db):
            ax.annotate(f"d{distance:g}", (x, y), textcoords="offset points",
                        xytext=(4, -12 if below else 6), fontsize=8)
    ax.set_xlabel("bits per pixel")
    ax.set_ylabel("PSNR (dB)")
    ax.set_title(f"JPEG XL on the landscape's centre ({part.shape[1]}x{part.shape[0]}), "
                 f"distance {RD_DISTANCES[0]:g} to {RD_DISTANCES[-1]:g}", fontsize=10)
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def prefix_renderings(stream: bytes) -> list[tuple[float, int, NDArray[Any] | None]]:
    """(fraction, bytes, rendering or None) for each of PREFIXES of `stream`:
    what decode(partial=True) gives, None where libjxl has nothing to show."""
    renderings = []
    for fraction in PREFIXES:
        size = round(len(stream) * fraction)
        try:
            pixels: NDArray[Any] | None = jxl.decode(stream[:size], partial=True)
        except jxl.JxlError:
            pixels = None
        renderings.append((fraction, size, pixels))
    return renderings


def progressive(img: Image8, path: Path) -> None:
    """The crop at 2x, rendered from each of PREFIXES of the image's
    progressive stream, side by side, labelled with the bytes used."""
    from PIL import Image, ImageDraw, ImageFont

    font = ImageFont.load_default(size=18)
    stream = jxl.encode(img, **PROGRESSIVE_OPTIONS)
    height, width = (s.stop - s.start for s in CROP)
    tile_w, tile_h, label_h, gap = width * ZOOM, height * ZOOM, 52, 8
    sheet = Image.new("RGB", (len(PREFIXES) * (tile_w + gap) + gap, tile_h + label_h + 2 * gap),
                      "white")
    draw = ImageDraw.Draw(sheet)
    for index, (fraction, size, pixels) in enumerate(prefix_renderings(stream)):
        x = gap + index * (tile_w + gap)
        if pixels is None:
            draw.rectangle((x, gap, x + tile_w - 1, gap + tile_h - 1), fill="lightgray")
            draw.text((x + tile_w // 2, gap + tile_h // 2), "nothing to render yet",
                      fill="dimgray", font=font, anchor="mm")
        else:
            crop = Image.fromarray(np.ascontiguousarray(pixels[CROP]))
            sheet.paste(crop.resize((tile_w, tile_h), Image.Resampling.NEAREST), (x, gap))
        draw.text((x, gap + tile_h + 4), f"{fraction:.0%} of the stream", fill="black",
                  font=font)
        draw.text((x, gap + tile_h + 26), f"{size:,} of {len(stream):,} bytes", fill="dimgray",
                  font=font)
    sheet.save(path)


def run(out: Path) -> None:
    """Print the table and write demo.png, demo-rd.png and demo-progressive.png
    into `out` (created if need be)."""
    out.mkdir(parents=True, exist_ok=True)
    print(f"libjxl {jxl.libjxl_version()}")
    img = landscape()
    results = table(img)
    comparison(img, results, out / "demo.png")
    rate_distortion(img, out / "demo-rd.png")
    progressive(img, out / "demo-progressive.png")
    print(f"\nThe crop of each setting, 2x:  {out / 'demo.png'}")
    print(f"Bits per pixel against PSNR:  {out / 'demo-rd.png'}")
    print(f"The crop from stream prefixes: {out / 'demo-progressive.png'}")
