"""What a user does first with an installed wheel, on a machine that has
nothing else: run by scripts/check-wheel inside its bare roots.

    python wheel_smoke.py JPEG_DIR WORK_DIR

Decodes and encodes, opens and saves through Pillow, round-trips a Zarr
array, runs the `kestrelpix` command (info, convert, and recompress of every
JPEG in JPEG_DIR), and has `djxl` (the reference decoder, on PATH) rebuild each
recompressed JPEG, which must come back byte for byte. One line per check;
exit status 1 if any failed.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import traceback
from pathlib import Path

import numpy as np

failures = 0


def check(name: str):
    def run(fn):
        global failures
        try:
            detail = fn()
            print(f"ok    {name}{f': {detail}' if detail else ''}", flush=True)
        except Exception:
            failures += 1
            print(f"FAIL  {name}", flush=True)
            traceback.print_exc(file=sys.stdout)
        return fn
    return run


def main() -> int:
    jpegs, work = Path(sys.argv[1]), Path(sys.argv[2])
    work.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(0)
    image = rng.integers(0, 256, (64, 96, 3), dtype=np.uint8)
    kestrelpix_cmd = Path(sys.executable).with_name("kestrelpix")

    @check("import and libjxl")
    def _():
        from kestrelpix import jxl
        return f"kestrelpix from {Path(jxl.__file__).parent}, libjxl {jxl.libjxl_version()}"

    @check("encode and decode, lossless and lossy")
    def _():
        from kestrelpix import jxl
        assert np.array_equal(jxl.decode(jxl.encode(image, lossless=True)), image)
        lossy = jxl.decode(jxl.encode(image, distance=1.0))
        assert lossy.shape == image.shape and lossy.dtype == np.uint8
        movie = jxl.encode(np.stack([image, image[::-1]]), animation=True, lossless=True)
        assert jxl.frame_count(movie) == 2

    @check("Pillow: save and open")
    def _():
        from PIL import Image

        import kestrelpix.pillow  # noqa: F401  (registers the format)
        path = work / "pillow.jxl"
        Image.fromarray(image).save(path, lossless=True)
        with Image.open(path) as im:
            assert im.format == "JXL"
            assert np.array_equal(np.asarray(im), image)

    @check("Zarr: a round trip through the codec")
    def _():
        import zarr

        from kestrelpix.zarr import Jxl
        z = zarr.create_array(work / "a.zarr", shape=(128, 192, 3), chunks=(64, 96, 3),
                              dtype=np.uint8, serializer=Jxl(lossless=True), compressors=None)
        data = np.tile(image, (2, 2, 1))
        z[:] = data
        assert np.array_equal(zarr.open_array(work / "a.zarr", mode="r")[:], data)
        return f"zarr {zarr.__version__}"

    @check("kestrelpix info and convert (the console script)")
    def _():
        from PIL import Image
        version = subprocess.run([kestrelpix_cmd, "--version"], check=True, capture_output=True,
                                 text=True).stdout
        assert "0." in version, version
        png = work / "in.png"
        Image.fromarray(image).save(png)
        subprocess.run([kestrelpix_cmd, "convert", png, work / "c.jxl", "--lossless"], check=True)
        subprocess.run([kestrelpix_cmd, "convert", work / "c.jxl", work / "back.png"], check=True)
        assert np.array_equal(np.asarray(Image.open(work / "back.png")), image)
        out = subprocess.run([kestrelpix_cmd, "info", work / "c.jxl"], check=True,
                             capture_output=True, text=True).stdout
        assert "96" in out and "64" in out, out

    @check("kestrelpix recompress: djxl rebuilds every JPEG byte for byte")
    def _():
        tree = work / "jpegs"
        shutil.copytree(jpegs, tree)
        originals = {p: p.read_bytes() for p in tree.rglob("*.jpg")}
        subprocess.run([kestrelpix_cmd, "recompress", "--quiet", tree], check=False)
        rebuilt = 0
        for path, data in originals.items():
            jxl_path = path.with_name(path.name + ".jxl") if not path.with_suffix(".jxl").exists() \
                else path.with_suffix(".jxl")
            if not jxl_path.exists():
                continue  # kept as JPEG (the command's summary says why)
            out = work / "djxl.jpg"
            subprocess.run(["djxl", jxl_path, out], check=True, capture_output=True)
            assert out.read_bytes() == data, f"{path.name}: djxl rebuilt another file"
            rebuilt += 1
        assert rebuilt >= len(originals) - 2, f"only {rebuilt} of {len(originals)} recompressed"
        return f"{rebuilt} of {len(originals)} JPEGs recompressed and rebuilt exactly"

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
