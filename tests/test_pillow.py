"""JPEG XL through Pillow, judged by Pillow itself and the reference tools:
cjxl-made streams open with the pixels Pillow gives for the source PNGs,
Pillow-written streams decode with djxl to the saved pixels, and GIF
animations keep their frames, durations and loop."""

from __future__ import annotations

import io
import re
import warnings

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image", reason="Pillow is not installed")
from PIL import ImageOps, ImageSequence  # noqa: E402

import kestrelpix.pillow  # noqa: E402, F401  (registers the format)
from conftest import TESTDATA, cjxl, djxl, make_chunk, run_tool, sample_image  # noqa: E402
from kestrelpix import jxl  # noqa: E402

# Sources covering Pillow's modes, bit depths, palettes, profiles and Exif.
PNGS = [
    "jxl/flower/flower_small.g.png",                      # L
    "jxl/flower/flower_small.ga.png",                     # LA
    "jxl/flower/flower_small.rgba.png",                   # RGBA, ICC
    "external/pngsuite/ct1n0g04.png",                     # 4-bit grey
    "external/pngsuite/exif2c08.png",                     # eXIf chunk
    "external/wesaturate/64px/phu1or_alfann24_srgb8.png",  # palette, ICC
    "external/raw.pixls/DJI-FC6310-16bit_709_v4_krita.png",  # 16-bit colour, ICC
    "palette/358colors.png",                              # RGBA
]
GIFS = ["jxl/traffic_light.gif", "jxl/animation_patches.gif"]


def reopen(im, **params):
    buffer = io.BytesIO()
    im.save(buffer, "JXL", **params)
    buffer.seek(0)
    return Image.open(buffer)


def animation(frames=4, ysize=24, xsize=32, channels=3):
    return np.stack([np.roll(sample_image(ysize, xsize, channels), 5 * t, axis=1)
                     for t in range(frames)])


# --- registration -------------------------------------------------------------

@pytest.mark.parametrize("container", [False, True], ids=["codestream", "container"])
def test_registered_and_recognised(container):
    assert Image.registered_extensions()[".jxl"] == "JXL"
    assert Image.MIME["JXL"] == "image/jxl"
    data = jxl.encode(sample_image(8, 8, 3), lossless=True, container=container)
    assert data[:2] == b"\xff\x0a" or container
    with Image.open(io.BytesIO(data)) as im:
        assert (im.format, im.get_format_mimetype(), im.size) == ("JXL", "image/jxl", (8, 8))
    png = io.BytesIO()
    Image.new("RGB", (4, 4)).save(png, "PNG")
    assert Image.open(png).format == "PNG"


def test_open_reads_headers_only(tmp_path, monkeypatch):
    path = tmp_path / "movie.jxl"
    jxl.encode(animation(), animation=True, lossless=True, durations=[40, 80, 40, 80],
               loops=3, dest=path)

    def no_decoding(self, frame):
        raise AssertionError("decoded on open")

    monkeypatch.setattr(kestrelpix.pillow.JxlImageFile, "_decode", no_decoding)
    with Image.open(path) as im:
        assert (im.size, im.mode, im.n_frames, im.is_animated) == ((32, 24), "RGB", 4, True)
        assert (im.info["duration"], im.info["loop"]) == (40, 3)
        im.seek(3)
        assert im.info["duration"] == 80


# --- opening: Pillow's pixels for the same source -------------------------------

@pytest.mark.parametrize("name", PNGS)
def test_cjxl_lossless_opens_as_pillow_opens_the_png(name, tmp_path, have_tools):
    source = TESTDATA / name
    stream = cjxl(source, tmp_path / "out.jxl", "-d", "0", "-e", "1")
    with Image.open(source) as png, Image.open(io.BytesIO(stream)) as im:
        expected = png.convert("RGBA" if png.has_transparency_data else "RGB") \
            if png.mode == "P" else png
        assert im.mode == expected.mode and im.size == png.size
        assert np.array_equal(np.asarray(im), np.asarray(expected))
        if "icc_profile" in png.info:
            assert im.info["icc_profile"] == png.info["icc_profile"]
        assert dict(im.getexif()) == dict(png.getexif())


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA", "P", "I;16"])
def test_saved_lossless_decodes_with_djxl(mode, tmp_path, have_tools):
    channels = {"L": 1, "LA": 2, "RGB": 3, "RGBA": 4, "P": 3, "I;16": 1}[mode]
    pixels = sample_image(40, 56, channels, maxval=65535 if mode == "I;16" else 255)
    im = Image.fromarray(pixels)
    if mode == "P":
        im = im.quantize(64)
    buffer = io.BytesIO()
    im.save(buffer, "JXL", lossless=True)
    with Image.open(djxl(buffer.getvalue(), tmp_path, ".png")) as back:
        expected = im.convert("RGB") if mode == "P" else im
        assert np.array_equal(np.asarray(back), np.asarray(expected))


@pytest.mark.parametrize("dtype, channels, mode", [
    (np.uint16, 3, "RGB"), (np.uint16, 4, "RGBA"), (np.uint16, 2, "LA"),
    (np.float32, 1, "F"), (np.float32, 3, "RGB"), (np.float16, 4, "RGBA"),
])
def test_deep_samples_open_in_pillow_modes(dtype, channels, mode):
    rng = np.random.default_rng(3)
    if dtype == np.uint16:
        pixels = rng.integers(0, 65536, (6, 10, channels), dtype=np.uint16)
        expected = (pixels >> 8).astype(np.uint8)  # the high byte, as PNG 16-bit colour
    else:
        pixels = rng.random((6, 10, channels)).astype(dtype) * 1.2 - 0.1
        expected = np.rint(np.clip(pixels.astype(np.float32), 0, 1) * 255).astype(np.uint8)
        if mode == "F":
            expected = pixels.astype(np.float32)
    pixels, expected = pixels.squeeze(), expected.squeeze()
    with Image.open(io.BytesIO(jxl.encode(pixels, lossless=True))) as im:
        assert im.mode == mode
        assert np.array_equal(np.asarray(im), expected)


def test_fewer_bits_fill_the_pillow_range(tmp_path, have_tools):
    # A 10-bit grey stream reads as full-range I;16, as a 16-bit PNG would.
    from conftest import write_pnm
    values = np.arange(0, 1024, 4, dtype=np.uint16).reshape(16, 16)
    stream = cjxl(write_pnm(tmp_path / "in.pgm", values, maxval=1023), tmp_path / "o.jxl",
                  "-d", "0")
    with Image.open(io.BytesIO(stream)) as im:
        assert im.mode == "I;16"
        assert np.array_equal(np.asarray(im), (values.astype(np.uint32) * 65535 + 511) // 1023)


# --- saving: modes, options, metadata ---------------------------------------------

@pytest.mark.parametrize("mode, opened, via", [
    ("1", "L", "L"), ("P", "RGB", "RGB"), ("PA", "RGBA", "RGBA"), ("CMYK", "RGB", "RGB"),
    ("YCbCr", "RGB", "RGB"), ("HSV", "RGB", "RGB"), ("LAB", "RGB", "RGB"),
    ("La", "LA", "LA"), ("RGBa", "RGBA", "RGBA"), ("RGBX", "RGB", "RGB"),
    ("I", "I;16", None), ("I;16B", "I;16", None), ("F", "F", None),
])
def test_every_mode_is_written(mode, opened, via):
    if mode == "I":
        im = Image.fromarray(sample_image(12, 16, 1, maxval=65535).astype(np.int32) * 2 - 999)
    elif mode in ("La", "RGBa", "PA"):
        im = Image.fromarray(sample_image(12, 16, 2 if mode == "La" else 4))
        im = im.convert("P").convert("PA") if mode == "PA" else im.convert(mode)
    else:
        im = Image.fromarray(sample_image(12, 16, 3)).convert(mode)
    with reopen(im, lossless=True) as back:
        assert back.mode == opened
        if via is not None:
            expected = np.asarray(im.convert(via))
        elif mode == "I":
            expected = np.clip(np.asarray(im), 0, 65535)
        else:
            expected = np.asarray(im).astype(np.asarray(back).dtype)
        assert np.array_equal(np.asarray(back), expected)


def test_transparency_key_becomes_alpha():
    im = Image.fromarray(sample_image(8, 8, 3))
    im.info["transparency"] = tuple(int(v) for v in np.asarray(im)[0, 0])
    with reopen(im, lossless=True) as back:
        assert back.mode == "RGBA" and back.getpixel((0, 0))[3] == 0


def test_quality_options(tmp_path, have_tools):
    y, x = np.mgrid[0:64, 0:64]
    im = Image.fromarray(np.stack([x * 4, y * 4, (x + y) * 2], axis=-1).astype(np.uint8))
    sizes, errors = [], []
    for params in [{"lossless": True, "effort": 1}, {"quality": 95, "decoding_speed": 2},
                   {}, {"distance": 4.0, "effort": 3}]:
        buffer = io.BytesIO()
        im.save(buffer, "JXL", **params)
        back = Image.open(djxl(buffer.getvalue(), tmp_path, ".png"))
        sizes.append(buffer.tell())
        errors.append(np.abs(np.asarray(back, int) - np.asarray(im, int)).mean())
    assert errors[0] == 0 and 0 < errors[1] < errors[3] < 4
    assert sizes[0] > sizes[1] > sizes[2] > sizes[3]


def test_exif_xmp_and_profile_survive(tmp_path, have_tools):
    with Image.open(TESTDATA / "jxl/flower/flower.png") as png:
        png = png.crop((0, 0, 256, 192))
        exif = png.getexif()
        assert len(exif) > 3
        path = tmp_path / "flower.jxl"
        png.save(path, exif=exif, xmp=png.info["xmp"], lossless=True, effort=1)
        with Image.open(path) as im:
            assert dict(im.getexif()) == dict(exif)
            assert im.info["xmp"] == png.info["xmp"]
            assert im.info["icc_profile"] == png.info["icc_profile"]
        assert "Exif" in run_tool("jxlinfo", path) and "ICC" in run_tool("jxlinfo", path)
        # Told otherwise, the profile is left out (the stream is then sRGB).
        with reopen(png, icc_profile=None) as im:
            assert "icc_profile" not in im.info


@pytest.mark.parametrize("container", [False, True])
def test_loading_a_still_decodes_it_once(monkeypatch, container):
    """A bare codestream still has no boxes to look for: loading it decodes
    it once, without a probe (which would decode it to reach its end)."""
    data = jxl.encode(sample_image(40, 60, 3), effort=1, container=container)
    probed = []
    real_probe = jxl.probe
    monkeypatch.setattr(jxl, "probe", lambda *a, **k: probed.append(1) or real_probe(*a, **k))
    with Image.open(io.BytesIO(data)) as im:
        im.load()
        assert len(im.getexif()) == 0 and "xmp" not in im.info
        assert im.n_frames == 1 and not im.is_animated
    assert len(probed) == container
    # A cut one still fails at load, as a cut container does.
    with Image.open(io.BytesIO(data[:len(data) * 2 // 3])) as im:
        with pytest.raises(OSError):
            im.load()


@pytest.mark.parametrize("orientation", [2, 3, 6, 8])
def test_orientation_is_applied_once(orientation, tmp_path, have_tools):
    stored = Image.fromarray(sample_image(12, 20, 3))
    exif = Image.Exif()
    exif[0x0112] = orientation
    exif[0x0131] = "kestrelpix"
    stored.info["exif"] = exif.tobytes()
    upright = ImageOps.exif_transpose(stored)
    path = tmp_path / "turned.jxl"
    stored.save(path, exif=exif, lossless=True)
    assert f"Orientation: {orientation}" in run_tool("jxlinfo", path)
    with Image.open(path) as im:
        assert im.size == upright.size
        assert np.array_equal(np.asarray(im), np.asarray(upright))
        assert im.getexif()[0x0112] == 1 and im.getexif()[0x0131] == "kestrelpix"
        assert np.array_equal(np.asarray(ImageOps.exif_transpose(im)), np.asarray(upright))
    back = djxl(path.read_bytes(), tmp_path, ".png")
    assert np.array_equal(np.asarray(Image.open(back)), np.asarray(upright))


# --- animations ------------------------------------------------------------------

@pytest.mark.parametrize("name", GIFS)
def test_gif_animation_round_trip(name, tmp_path, have_tools):
    path = tmp_path / "anim.jxl"
    with Image.open(TESTDATA / name) as gif:
        frames = [np.asarray(f.convert("RGBA" if f.has_transparency_data else "RGB"))
                  for f in ImageSequence.Iterator(gif)]
        durations = [f.info["duration"] for f in ImageSequence.Iterator(gif)]
        gif.seek(0)
        loop = gif.info["loop"]
        gif.save(path, save_all=True, lossless=True, effort=1)
    with Image.open(path) as im:
        assert (im.n_frames, im.is_animated, im.info["loop"]) == (len(frames), True, loop)
        for index, frame in enumerate(ImageSequence.Iterator(im)):
            assert im.tell() == index and im.info["duration"] == durations[index]
            assert np.array_equal(np.asarray(frame), frames[index])
    info = run_tool("jxlinfo", path)
    assert [float(d) for d in re.findall(r"duration: ([\d.]+) ms", info)] == durations
    assert ("(looping)" in info) == (loop == 0)


def test_seek_walks_frames_in_any_order(tmp_path):
    stack = animation(frames=5)
    path = tmp_path / "movie.jxl"
    jxl.encode(stack, animation=True, lossless=True, dest=path)
    with Image.open(path) as im:
        for index in [0, 1, 2, 4, 1, 1, 3, 0]:
            im.seek(index)
            assert im.tell() == index
            assert np.array_equal(np.asarray(im), stack[index])
        with pytest.raises(EOFError):
            im.seek(5)
    with pytest.raises(ValueError):
        im.seek(2)
        im.load()


@pytest.mark.parametrize("duration, expected", [
    (None, [100, 100, 100]), (50, [50, 50, 50]), ([10, 20, 30], [10, 20, 30]),
    ((40, 41.6, 60, 99), [40, 42, 60]),
])
def test_save_all_durations_and_loop(duration, expected):
    frames = [Image.fromarray(f) for f in animation(frames=3)]
    params = {} if duration is None else {"duration": duration}
    with reopen(frames[0], save_all=True, append_images=frames[1:], loop=2, **params) as im:
        assert im.info["loop"] == 2
        got = []
        for index in range(im.n_frames):
            im.seek(index)
            got.append(im.info["duration"])
        assert got == expected


def test_mixed_frames_share_one_layout():
    # A grey frame, a palette frame and a transparent one: all become RGBA.
    grey = Image.fromarray(sample_image(16, 16, 1))
    palette = Image.fromarray(sample_image(16, 16, 3)).quantize(16)
    clear = Image.fromarray(sample_image(16, 16, 4))
    with reopen(grey, save_all=True, append_images=[palette, clear], lossless=True) as im:
        assert (im.mode, im.n_frames) == ("RGBA", 3)
        for index, source in enumerate([grey, palette, clear]):
            im.seek(index)
            assert np.array_equal(np.asarray(im), np.asarray(source.convert("RGBA")))
    # One frame, even with save_all, is a still.
    with reopen(grey, save_all=True) as im:
        assert not im.is_animated and "duration" not in im.info


@pytest.mark.parametrize("make", [iter, lambda frames: (f for f in frames), tuple])
def test_append_images_of_any_iterable(make):
    # As Pillow's own writers take them: each frame written, once.
    frames = [Image.fromarray(f) for f in animation(frames=4)]
    with reopen(frames[0], save_all=True, append_images=make(frames[1:]), lossless=True) as im:
        assert im.n_frames == 4
        for index, source in enumerate(frames):
            im.seek(index)
            assert np.array_equal(np.asarray(im), np.asarray(source))


# --- opening is cheap -----------------------------------------------------------

class CountingReads(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.bytes_read = 0

    def read(self, size=-1):
        chunk = super().read(size)
        self.bytes_read += len(chunk)
        return chunk


@pytest.mark.parametrize("head_bytes", [16384, 40], ids=["default", "header grown"])
def test_open_reads_headers_only(monkeypatch, chunk_readers, head_bytes):
    # A hundred opened, unloaded images must not hold megabytes and a
    # thread each: the frames are counted, and read, only when used.
    monkeypatch.setattr(kestrelpix.pillow, "_HEAD_BYTES", head_bytes)
    stack = np.stack([sample_image(256, 256, 3, seed=t) for t in range(3)])
    icc = Image.open(TESTDATA / PNGS[2]).info["icc_profile"]
    exif = Image.Exif()
    exif[0x0131] = "kestrelpix"
    data = jxl.encode(stack, animation=True, lossless=True, effort=1, icc_profile=icc,
                      exif=exif.tobytes())
    file = CountingReads(data)
    im = Image.open(file)
    assert (im.size, im.mode, im.info["icc_profile"], im.info["loop"]) == \
        ((256, 256), "RGB", icc, 0)
    # Pillow reads 16 bytes to tell the format; the header is doubled as needed.
    assert file.bytes_read <= 16 + max(head_bytes, 2 * len(icc) + 1024) < len(data) // 4
    assert chunk_readers == [] and "exif" not in im.info
    assert (im.n_frames, im.is_animated, im.info["duration"]) == (3, True, 100)
    assert im.getexif()[0x0131] == "kestrelpix" and chunk_readers == []
    im.seek(2)
    assert np.array_equal(np.asarray(im), stack[2])


# --- Pillow's tools on opened images -------------------------------------------

def test_pillow_operations(tmp_path):
    path = tmp_path / "movie.jxl"
    stack = animation(frames=2, ysize=64, xsize=96)
    jxl.encode(stack, animation=True, lossless=True, orientation=6, dest=path)
    with Image.open(path) as im:
        assert im.size == (64, 96)
        assert ImageOps.exif_transpose(im).size == (64, 96)
        im.seek(1)
        grey = im.convert("L")
        assert grey.mode == "L" and grey.size == (64, 96)
        im.thumbnail((32, 32))
        assert im.size == (21, 32)


def test_large_file_streams_and_closes(tmp_path):
    # Larger than the reader's 4 MiB chunk, so it is read while it decodes.
    pixels = np.random.default_rng(5).integers(0, 256, (1536, 1024, 3), dtype=np.uint8)
    path = tmp_path / "big.jxl"
    jxl.encode(pixels, lossless=True, effort=1, dest=path)
    assert path.stat().st_size > 4 << 20
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        im = Image.open(path)
        assert np.array_equal(np.asarray(im), pixels)
        assert im.fp is None  # a still's file is closed once loaded


@pytest.mark.parametrize("damage", ["truncated", "garbage"])
def test_unreadable_files_raise_oserror(damage):
    data = jxl.encode(sample_image(64, 64, 3), lossless=True)
    data = data[: len(data) // 2] if damage == "truncated" else data[:2] + b"\x00" * 64
    with pytest.raises(OSError, match="JPEG XL"):
        Image.open(io.BytesIO(data)).load()


@pytest.mark.parametrize("params, match", [
    ({"save_all": True, "append_images": [Image.new("RGB", (9, 8))]}, "one size"),
    ({"exif": b"not exif"}, "TIFF header"),
    ({"quality": 90, "distance": 1.0}, "quality"),
    ({"save_all": True, "append_images": [Image.new("RGB", (8, 8))] * 2, "duration": [9]},
     "duration"),
])
def test_save_refusals_are_value_errors(params, match):
    with pytest.raises(ValueError, match=match):
        Image.new("RGB", (8, 8)).save(io.BytesIO(), "JXL", **params)


# --- streams with extra channels ----------------------------------------------

EXTRA_LAYOUTS = {  # colour channels, extra channels, dtype
    "rgb+depth": (3, ["depth"], np.uint8),
    "rgba+depth": (3, ["alpha", "depth"], np.uint8),
    "depth+alpha": (3, ["depth", "alpha"], np.uint8),
    "l+thermal": (1, ["thermal"], np.uint8),
    "la+alpha": (1, ["alpha", "alpha"], np.uint8),
    "l16+depth": (1, ["depth"], np.uint16),
}


@pytest.mark.parametrize("layout", list(EXTRA_LAYOUTS))
def test_extra_channels_open_as_djxl_writes_png(tmp_path, have_tools, layout):
    colour, extras, dtype = EXTRA_LAYOUTS[layout]
    frame = make_chunk((12, 10, colour + len(extras)), np.dtype(dtype).str)
    stream = jxl.encode(frame, lossless=True, extra_channels=extras)
    with Image.open(djxl(stream, tmp_path, ".png")) as png:
        png.load()
        expected_mode, expected = png.mode, np.asarray(png)
    with Image.open(io.BytesIO(stream)) as im:
        assert (im.mode, im.size) == (expected_mode, (10, 12))
        assert np.array_equal(np.asarray(im), expected)
        kept_alpha = extras.index("alpha") if "alpha" in extras else None
        omitted = [(c["index"], c["type"]) for c in im.info["extra_channels_omitted"]]
        assert omitted == [(i, t) for i, t in enumerate(extras) if i != kept_alpha]


@pytest.mark.parametrize("alpha", [False, True])
def test_colour_and_black_open_as_cmyk(alpha):
    frame = make_chunk((9, 7, 5 if alpha else 4), "uint8")
    extras = ["black", "alpha"] if alpha else ["black"]
    stream = jxl.encode(frame, lossless=True, extra_channels=extras)
    with Image.open(io.BytesIO(stream)) as im:
        assert im.mode == "CMYK"
        # JPEG XL's 0 is the most ink, Pillow's 255.
        assert np.array_equal(np.asarray(im), 255 - frame[..., :4])
        assert [c["type"] for c in im.info.get("extra_channels_omitted", [])] == (
            ["alpha"] if alpha else [])
    no_ink = jxl.encode(np.full((2, 2, 4), 255, np.uint8), lossless=True, extra_channels=["black"])
    with Image.open(io.BytesIO(no_ink)) as im:
        assert im.convert("RGB").getpixel((0, 0)) == (255, 255, 255)
