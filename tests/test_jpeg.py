"""transcode_jpeg and reconstruct_jpeg: lossless JPEG recompression, judged by
cjxl and djxl on libjxl-testdata's JPEG files."""

from __future__ import annotations

import io
import random

import numpy as np
import pytest

from conftest import TESTDATA, cjxl, djxl, read_pnm, run_tool
from kestrelpix.core.errors import JxlError

FLOWER = TESTDATA / "jxl" / "flower"
RECON = TESTDATA / "jxl" / "jpeg_reconstruction"
# libjxl refuses these two: CMYK, and a blue channel subsampled on its own.
REFUSED = {"flower_small.cmyk.jpg": "JxlEncoderAddJPEGFrame",
           "flower.png.im_q85_rgb_subsample_blue.jpg": "JxlEncoderProcessOutput"}
ACCEPTED = sorted(p.name for p in FLOWER.glob("*.jpg") if p.name not in REFUSED) + \
    sorted(p.name for p in RECON.glob("*.jpg"))
SMALL = "1x1_exif_xmp.jpg"
NO_JBRD = "^jxl: the stream holds no JPEG reconstruction data$"


def jpeg_path(name):
    return RECON / name if (RECON / name).exists() else FLOWER / name


@pytest.fixture(scope="module")
def small(jxl):
    jpeg = jpeg_path(SMALL).read_bytes()
    return jpeg, jxl.transcode_jpeg(jpeg)


def test_all_testdata_jpegs_are_here():
    assert len(ACCEPTED) == 19


@pytest.mark.parametrize("name", ACCEPTED)
def test_matches_cjxl_and_djxl(jxl, tmp_path, have_tools, name):
    src = jpeg_path(name)
    jpeg = src.read_bytes()
    ours = jxl.transcode_jpeg(jpeg)
    reference = cjxl(src, tmp_path / "ref.jxl", "--lossless_jpeg=1", "-e", "7")
    assert ours == reference
    assert jxl.reconstruct_jpeg(ours) == jpeg
    assert jxl.reconstruct_jpeg(reference) == jpeg
    assert djxl(ours, tmp_path, ".jpg").read_bytes() == jpeg
    info = jxl.probe(ours)
    assert info["jpeg_reconstruction"] and info["boxes"][0]["type"] == "JXL "


def test_decode_gives_the_pixels_djxl_renders(jxl, tmp_path, have_tools):
    stream = jxl.transcode_jpeg(jpeg_path("flower_cropped.jpg"))
    expected, _ = read_pnm(djxl(stream, tmp_path, ".ppm"))
    assert np.array_equal(jxl.decode(stream), expected)


def test_metadata_goes_into_boxes(jxl, small):
    info = jxl.probe(small[1])
    assert info["exif"].startswith((b"II*\0", b"MM\0*"))
    assert b"x:xmpmeta" in info["xmp"]
    assert {b["type"]: b["compressed"] for b in info["boxes"]}["Exif"]


def test_probe_says_false_without_jbrd(jxl):
    assert jxl.probe(jxl.encode(np.zeros((8, 8), np.uint8)))["jpeg_reconstruction"] is False


@pytest.mark.parametrize("name", sorted(REFUSED))
@pytest.mark.parametrize("dest", ["none", "path", "file"])
def test_refusals_name_the_call_and_write_nothing(jxl, tmp_path, have_tools, name, dest):
    with pytest.raises(Exception):
        run_tool("cjxl", jpeg_path(name), tmp_path / "cjxl.jxl", "--lossless_jpeg=1")
    out = {"none": None, "path": tmp_path / "out.jxl", "file": io.BytesIO()}[dest]
    with pytest.raises(JxlError, match=f"^{REFUSED[name]} returned JXL_ENC_ERROR"):
        jxl.transcode_jpeg(jpeg_path(name), dest=out, numthreads=1)
    if dest == "path":
        assert not out.exists()
    elif dest == "file":
        assert out.getvalue() == b""


def unrebuildable_jpeg():
    """A damaged JPEG (one byte changed in libjxl-testdata's file) that
    libjxl and cjxl accept but cannot give back byte for byte."""
    jpeg = bytearray(jpeg_path("flower_small.q85_444_non_interleaved.jpg").read_bytes())
    assert jpeg[4453] == 85
    jpeg[4453] = 254
    return bytes(jpeg)


def test_what_would_not_come_back_is_refused(jxl, tmp_path, have_tools):
    jpeg = unrebuildable_jpeg()
    (tmp_path / "in.jpg").write_bytes(jpeg)
    # The reference tools accept it and silently rebuild another file.
    run_tool("cjxl", tmp_path / "in.jpg", tmp_path / "cjxl.jxl", "--lossless_jpeg=1")
    run_tool("djxl", tmp_path / "cjxl.jxl", tmp_path / "back.jpg")
    assert (tmp_path / "back.jpg").read_bytes() != jpeg
    unchecked = jxl.transcode_jpeg(jpeg, verify=False)
    assert jxl.reconstruct_jpeg(unchecked) != jpeg
    sink = io.BytesIO()
    for dest in (None, tmp_path / "out.jxl", sink):
        with pytest.raises(JxlError, match="cannot rebuild it byte for byte"):
            jxl.transcode_jpeg(jpeg, dest=dest)
    assert not (tmp_path / "out.jxl").exists() and sink.getvalue() == b""
    assert jxl.transcode_jpeg(jpeg_path("flower_small.q85_444_non_interleaved.jpg"),
                              verify=False) == \
        jxl.transcode_jpeg(jpeg_path("flower_small.q85_444_non_interleaved.jpg"))


class TinyReads(io.BytesIO):
    """A file whose read(size) gives at most 7 bytes: every chunk boundary shows."""

    def read(self, size=-1):
        return super().read(size if size is None or size < 0 else min(size, 7))


def sources(data, path):
    return {"bytes": data, "bytearray": bytearray(data), "memoryview": memoryview(data),
            "array": np.frombuffer(data, np.uint8),
            "strided": np.frombuffer(data, np.uint8).repeat(2)[::2],
            "str path": str(path), "path": path, "file": io.BytesIO(data),
            "tiny reads": TinyReads(data)}


@pytest.mark.parametrize("kind", list(sources(b"", "")))
def test_every_kind_of_source(jxl, tmp_path, small, kind):
    jpeg, stream = small
    (tmp_path / "in.jpg").write_bytes(jpeg)
    (tmp_path / "in.jxl").write_bytes(stream)
    assert jxl.transcode_jpeg(sources(jpeg, tmp_path / "in.jpg")[kind]) == stream
    assert jxl.reconstruct_jpeg(sources(stream, tmp_path / "in.jxl")[kind]) == jpeg


def test_output_grows_past_the_first_buffer(jxl):
    # Read 7 bytes at a time, the first buffer is the 64 KiB minimum.
    jpeg = jpeg_path("flower.png.im_q85_rgb.jpg").read_bytes()
    assert jxl.reconstruct_jpeg(TinyReads(jxl.transcode_jpeg(jpeg))) == jpeg


class ShortWrites(io.BytesIO):
    def write(self, b):
        return super().write(bytes(b)[:1000])


@pytest.mark.parametrize("func", ["transcode_jpeg", "reconstruct_jpeg"])
@pytest.mark.parametrize("kind", ["path", "file", "short writes"])
def test_dest(jxl, tmp_path, small, func, kind):
    src, expected = small if func == "transcode_jpeg" else small[::-1]
    dest = {"path": tmp_path / "out", "file": io.BytesIO(), "short writes": ShortWrites()}[kind]
    assert getattr(jxl, func)(src, dest=dest) is None
    assert (dest.read_bytes() if kind == "path" else dest.getvalue()) == expected


def test_effort_is_clamped_and_threads_change_nothing(jxl, small):
    jpeg, stream = small
    assert jxl.transcode_jpeg(jpeg, effort=None) == stream
    assert jxl.transcode_jpeg(jpeg, effort=-3) == jxl.transcode_jpeg(jpeg, effort=1)
    assert jxl.transcode_jpeg(jpeg, effort=99) == jxl.transcode_jpeg(jpeg, effort=10)
    big = jpeg_path("flower.png.im_q85_420.jpg")
    assert jxl.transcode_jpeg(big, numthreads=1) == jxl.transcode_jpeg(big, numthreads=2)


@pytest.mark.parametrize("data", [b"", b"\xff", b"\xd8\xff", b"GIF89a", b"\x89PNG\r\n\x1a\n"])
def test_not_a_jpeg(jxl, data):
    with pytest.raises(ValueError, match="^jxl: not a JPEG file$"):
        jxl.transcode_jpeg(data)


@pytest.mark.parametrize("data, error, message", [
    (b"", ValueError, "^jxl: empty input$"),
    (b"\xff\xd8\xff\xe0", ValueError, "^jxl: not a JPEG XL stream$"),
    ("still", JxlError, NO_JBRD),
    ("container", JxlError, NO_JBRD),
])
def test_reconstruct_refusals(jxl, data, error, message):
    still = np.zeros((8, 8, 3), np.uint8)
    data = {"still": jxl.encode(still),
            "container": jxl.encode(still, container=True, exif=b"II*\0")}.get(data, data)
    with pytest.raises(error, match=message):
        jxl.reconstruct_jpeg(data)


@pytest.mark.parametrize("call", [
    lambda jxl: jxl.transcode_jpeg(3),
    lambda jxl: jxl.transcode_jpeg(b"\xff\xd8", dest=3),
    lambda jxl: jxl.reconstruct_jpeg(3.5),
    lambda jxl: jxl.reconstruct_jpeg(b"x", dest=object()),
])
def test_wrong_kinds(jxl, call):
    with pytest.raises(TypeError):
        call(jxl)


def test_truncated_and_flipped_inputs_raise(jxl, small):
    jpeg, stream = small
    rng = random.Random(5)
    for cut in range(12, len(stream)):  # shorter ones are not JPEG XL (ValueError)
        with pytest.raises(JxlError):
            jxl.reconstruct_jpeg(stream[:cut])
    for data, func in ((stream, jxl.reconstruct_jpeg), (jpeg, jxl.transcode_jpeg)):
        for _ in range(150):
            flipped = bytearray(data)
            flipped[rng.randrange(2, len(data))] ^= 1 << rng.randrange(8)
            try:
                made = func(flipped)
            except (JxlError, ValueError):  # ValueError: the signature was hit
                continue
            if func is jxl.transcode_jpeg:  # what is accepted comes back exactly
                assert jxl.reconstruct_jpeg(made) == flipped
    for cut in range(2, len(jpeg), 37):
        try:
            made = jxl.transcode_jpeg(jpeg[:cut])
        except JxlError:
            continue
        assert jxl.reconstruct_jpeg(made) == jpeg[:cut]
