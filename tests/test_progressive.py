"""Progressive streams: the writer's progressive, group_order and center
against cjxl's streams byte for byte; partial and downsampled decoding and
renderings as bytes arrive against djxl on prefixes of streams of every kind;
the Pillow plugin's truncated files and draft()."""

from __future__ import annotations

import io
from pathlib import Path

import numpy as np
import pytest

from conftest import TESTDATA, cjxl, sample_image, write_pnm

# 300 x 600: two rows of three groups, so that the group order matters.
SHAPE = (300, 600, 3)


@pytest.fixture(scope="module")
def rgb() -> np.ndarray:
    return sample_image(*SHAPE)


# --- encoding ---------------------------------------------------------------

@pytest.mark.parametrize(("cjxl_args", "options"), [
    (("-p",), {"progressive": True}),
    (("-p", "-d", "4"), {"progressive": True, "distance": 4}),
    (("-p", "-d", "0", "-e", "3"), {"progressive": True, "lossless": True, "effort": 3}),
    (("--group_order=1",), {"group_order": "center"}),
    (("--group_order=0",), {"group_order": "scanline"}),
    (("--group_order=1", "--center_x=100", "--center_y=250"),
     {"group_order": "center", "center": (100, 250)}),
    (("-p", "--group_order=1", "--center_x=599", "--center_y=0"),
     {"progressive": True, "group_order": "center", "center": [599, 0]}),
])
def test_streams_match_cjxl(jxl, tmp_path, have_tools, rgb, cjxl_args, options):
    options = {"effort": 7, **options}
    reference = cjxl(write_pnm(tmp_path / "in.ppm", rgb), tmp_path / "ref.jxl",
                     "-e", str(options["effort"]), *cjxl_args)
    assert jxl.encode(rgb, **options) == reference
    writer = jxl.JxlWriter(**options)
    writer.write_frame(rgb, is_last=True)
    assert writer.close() == reference


def test_pillow_save_passes_them_on(jxl, rgb):
    from PIL import Image

    import kestrelpix.pillow  # noqa: F401  (registers the plugin)
    options = {"progressive": True, "group_order": "center", "center": (10, 20)}
    out = io.BytesIO()
    Image.fromarray(rgb).save(out, "JXL", effort=3, **options)
    assert out.getvalue() == jxl.encode(rgb, effort=3, **options)


def test_progressive_changes_the_stream(jxl, rgb):
    """Not a no-op, for lossy (passes) and lossless (responsive) alike."""
    for lossless in (False, True):
        plain = jxl.encode(rgb, effort=3, lossless=lossless)
        assert jxl.encode(rgb, effort=3, lossless=lossless, progressive=True) != plain


@pytest.mark.parametrize(("options", "error", "match"), [
    ({"group_order": "diagonal"}, ValueError, "scanline.*center"),
    ({"group_order": 1}, TypeError, "group_order"),
    ({"center": (1, 2)}, ValueError, "center= is for group_order"),
    ({"group_order": "scanline", "center": (1, 2)}, ValueError, "center= is for"),
    ({"group_order": "center", "center": (1, 2, 3)}, ValueError, r"\(x, y\) pair"),
    ({"group_order": "center", "center": (-1, 2)}, ValueError, "lie in the image"),
    ({"group_order": "center", "center": (1.5, 2)}, TypeError, "integer"),
    ({"group_order": "center", "center": 7}, TypeError, "iterable"),
    ({"group_order": "center", "center": (600, 0)}, ValueError, r"outside the 600 x 300"),
    ({"group_order": "center", "center": (0, 300)}, ValueError, r"outside the 600 x 300"),
])
def test_refused_options(jxl, tmp_path, rgb, options, error, match):
    with pytest.raises(error, match=match):
        jxl.encode(rgb, **options)
    # Nothing is left half-written at a file destination.
    dest = tmp_path / "out.jxl"
    with pytest.raises(error, match=match):
        jxl.encode(rgb, dest=dest, **options)
    assert not dest.exists() or dest.stat().st_size == 0


# --- decoding: partial streams and downsampling, against djxl ----------------

def _streams(jxl, rgb):
    """Streams of every kind, by name: lossy and lossless, progressive or not."""
    return {
        "lossy": jxl.encode(rgb, effort=3),
        "lossy-progressive": jxl.encode(rgb, effort=3, progressive=True),
        "lossless": jxl.encode(rgb, effort=2, lossless=True),
        "lossless-progressive": jxl.encode(rgb, effort=2, lossless=True, progressive=True),
    }


@pytest.fixture(scope="module")
def streams(jxl, rgb) -> dict[str, bytes]:
    return _streams(jxl, rgb)


def _djxl_or_none(stream, tmp_path, *options):
    """djxl's rendering of `stream`, or None when it renders nothing."""
    from conftest import read_pnm, run_tool
    src = tmp_path / "cut.jxl"
    src.write_bytes(stream)
    try:
        run_tool("djxl", src, tmp_path / "cut.ppm", *options)
    except Exception:
        return None
    return read_pnm(tmp_path / "cut.ppm")[0]


# Cuts in the 1:8 image, in the passes, and just before the end.
CUTS = [0.02, 0.08, 0.3, 0.6, -1]


@pytest.mark.parametrize("kind", ["lossy", "lossy-progressive", "lossless",
                                  "lossless-progressive"])
@pytest.mark.parametrize("cut", CUTS)
def test_partial_matches_djxl(jxl, tmp_path, have_tools, streams, kind, cut):
    stream = streams[kind]
    prefix = stream[:cut] if cut == -1 else stream[:int(len(stream) * cut)]
    reference = _djxl_or_none(prefix, tmp_path, "--allow_partial_files")
    if reference is None:
        with pytest.raises(jxl.JxlError, match="no preview available yet"):
            jxl.decode(prefix, partial=True)
    else:
        with jxl.JxlReader(prefix, partial=True) as reader:
            assert reader.complete
            got = reader.read()
            assert not reader.complete
        assert got.shape == SHAPE and got.dtype == np.uint8
        np.testing.assert_array_equal(got, reference)
    with pytest.raises(jxl.JxlError, match="truncated"):
        jxl.decode(prefix)  # without partial=True a cut stream stays an error


@pytest.mark.parametrize("kind", ["lossy", "lossy-progressive", "lossless-progressive"])
@pytest.mark.parametrize("ratio", [1, 2, 4, 8])
def test_downsampling_matches_djxl(jxl, tmp_path, have_tools, streams, kind, ratio):
    stream = streams[kind]
    reference = _djxl_or_none(stream, tmp_path, "-s", str(ratio))
    got = jxl.decode(stream, downsampling=ratio)
    np.testing.assert_array_equal(got, reference)
    with jxl.JxlReader(stream, downsampling=ratio) as reader:
        np.testing.assert_array_equal(reader.read(), reference)
        assert reader.complete


@pytest.fixture(scope="module")
def animation(jxl, rgb) -> dict[str, bytes]:
    frames = np.stack([rgb, rgb[::-1], rgb[:, ::-1]])
    return {"lossy": jxl.encode(frames, animation=True, effort=3, progressive=True),
            "lossless": jxl.encode(frames, animation=True, effort=1, lossless=True)}


@pytest.mark.parametrize("kind", ["lossy", "lossless"])
@pytest.mark.parametrize("cut", [0.4, 0.75, -1])
def test_partial_animation(jxl, tmp_path, have_tools, animation, kind, cut):
    from conftest import djxl_frames
    stream = animation[kind]
    prefix = stream[:cut] if cut == -1 else stream[:int(len(stream) * cut)]
    reference = djxl_frames(prefix, tmp_path, ".ppm", "--allow_partial_files")
    got = jxl.decode(prefix, partial=True)
    got = got if got.ndim == 4 else got[None]
    # The whole frames, and the partial one where libjxl could render it.
    assert 1 <= len(got) <= 3 and len(reference) == len(got)
    for ours, theirs in zip(got, reference):
        np.testing.assert_array_equal(ours, theirs)


@pytest.mark.parametrize(("options", "error"), [
    ({"downsampling": 3}, ValueError), ({"downsampling": 16}, ValueError),
    ({"downsampling": 0}, ValueError), ({"downsampling": 2.0}, TypeError),
])
def test_downsampling_refused(jxl, streams, options, error):
    with pytest.raises(error, match="downsampling"):
        jxl.decode(streams["lossy"], **options)


# --- what probe tells, and preview images ---------------------------------------

@pytest.mark.parametrize("kind", ["lossy", "lossy-progressive", "lossless",
                                  "lossless-progressive", "container", "animation"])
def test_probe_ratios_are_the_renderings(jxl, streams, animation, rgb, kind):
    """probe's ratios are those iter_progressive renders the first frame at."""
    stream = {"container": lambda: jxl.encode(rgb, effort=3, progressive=True, container=True),
              "animation": lambda: animation["lossy"]}.get(kind, lambda: streams[kind])()
    assert jxl.probe(stream)["progressive"] == {"downsampling": None, "preview": False}
    with jxl.JxlReader(stream) as reader:
        rendered = [info["downsampling"] for _, info in reader.iter_progressive()]
    ratios = jxl.probe(stream, progressive=True, numthreads=2)["progressive"]["downsampling"]
    assert ratios == sorted(set(rendered), reverse=True) and ratios[-1] == 1
    assert ratios == {"lossy": [8, 1], "lossless": [1], "lossless-progressive": [1]}.get(
        kind, [8, 2, 1])
    # Every listed ratio decodes as djxl -s would; the frame stays whole.
    for ratio in ratios:
        assert jxl.decode(stream, downsampling=ratio, index=0).shape == SHAPE


def test_probe_progressive_from_a_file_and_refusals(jxl, streams, tmp_path):
    path = tmp_path / "p.jxl"
    path.write_bytes(streams["lossy-progressive"])
    with open(path, "rb") as f:
        assert jxl.probe(f, progressive=True)["progressive"]["downsampling"] == [8, 2, 1]
    with pytest.raises(jxl.JxlError):  # cut in the frame followed, as without
        jxl.probe(streams["lossy-progressive"][:-10], progressive=True)


# libjxl cannot write a preview; these streams of libjxl's own fuzzing corpus
# carry one that libjxl decodes (the frames after it are broken).
PREVIEWS = {"4816304719134720": (128, 128), "5467620336336896": (385, 385),
            "5914266367557632": (181, 136), "6748486320652288": (1016, 1016)}


def _preview_stream(name: str) -> bytes:
    path = TESTDATA / "oss-fuzz" / f"clusterfuzz-testcase-minimized-djxl_fuzzer-{name}"
    if not path.exists():
        pytest.skip("libjxl-testdata's fuzzing corpus is not installed")
    return path.read_bytes()


# The orientations (Exif's 1 to 8) as NumPy sees them on a stored (Y, X) array.
ORIENT = {1: lambda a: a, 2: lambda a: a[:, ::-1], 3: lambda a: a[::-1, ::-1],
          4: lambda a: a[::-1], 5: lambda a: a.swapaxes(0, 1),
          6: lambda a: a[::-1].swapaxes(0, 1), 7: lambda a: a[::-1, ::-1].swapaxes(0, 1),
          8: lambda a: a[:, ::-1].swapaxes(0, 1)}


@pytest.mark.parametrize("name", sorted(PREVIEWS))
def test_decode_preview(jxl, name):
    stream = _preview_stream(name)
    stored = jxl.decode(stream, preview=True, keep_orientation=True)
    xsize, ysize = PREVIEWS[name]
    assert stored.shape[:2] == (ysize, xsize) and stored.flags.c_contiguous
    with jxl.JxlReader(stream, keep_orientation=True) as reader:
        orientation = reader.basic_info["orientation"]
        assert stored.dtype == reader.dtype
    shown = jxl.decode(io.BytesIO(stream), preview=True)
    np.testing.assert_array_equal(shown, ORIENT[orientation](stored))
    assert shown.flags.c_contiguous


def test_orientations_of_a_preview(jxl):
    """Each orientation's arithmetic, on an array whose every pixel differs."""
    a = np.arange(12).reshape(3, 4)
    assert ORIENT[6](a).tolist() == np.rot90(a, -1).tolist()
    assert ORIENT[8](a).tolist() == np.rot90(a, 1).tolist()
    assert ORIENT[7](a).tolist() == np.rot90(a, 2).T.tolist()


@pytest.mark.parametrize(("options", "error", "match"), [
    ({}, "JxlError", "no preview image"),
    ({"index": 0}, ValueError, "does not take index"),
    ({"out": np.zeros(SHAPE, np.uint8)}, ValueError, "does not take out"),
    ({"partial": True}, ValueError, "does not take partial"),
    ({"downsampling": 8}, ValueError, "does not take downsampling"),
    ({"extra_channels": True}, ValueError, "does not take extra_channels"),
    ({"progress": print}, ValueError, "does not take progress"),
])
def test_decode_preview_refused(jxl, streams, options, error, match):
    error = getattr(jxl, error) if isinstance(error, str) else error
    with pytest.raises(error, match=match):
        jxl.decode(streams["lossy"], preview=True, **options)


def test_preview_truncated(jxl):
    stream = _preview_stream("4816304719134720")
    with pytest.raises(jxl.JxlError, match="truncated stream in the preview"):
        jxl.decode(stream[:20], preview=True)


# --- renderings as bytes arrive -----------------------------------------------

class Trickle(io.RawIOBase):
    """A source that gives at most 64 KiB per read() and, past the middle of
    the stream, waits until the first rendering has been seen."""

    def __init__(self, data: bytes, gate) -> None:
        self.data, self.pos, self.gate = data, 0, gate

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        if self.pos > len(self.data) // 2:
            self.gate.wait(30)
        size = 65536 if size < 0 else min(size, 65536)
        out = self.data[self.pos:self.pos + size]
        self.pos += len(out)
        return out


@pytest.fixture(scope="module")
def large_progressive(jxl) -> bytes:
    return jxl.encode(sample_image(768, 1280, 3), effort=3, progressive=True)


@pytest.mark.parametrize("source", ["bytes", "trickle"])
def test_iter_progressive(jxl, large_progressive, source):
    import threading
    stream = large_progressive
    gate = threading.Event()
    trickle = Trickle(stream, gate)
    reader = jxl.JxlReader(stream) if source == "bytes" else jxl.JxlReader(trickle, streaming=True)
    steps = []
    with reader:
        for array, info in reader.iter_progressive():
            steps.append((array, info, trickle.pos))
            gate.set()
        assert reader.complete
    ratios = [info["downsampling"] for _, info, _ in steps]
    read = [info["bytes_read"] for _, info, _ in steps]
    assert ratios == sorted(ratios, reverse=True) and ratios[0] == 8 and ratios[-1] == 1
    assert read == sorted(read) and read[-1] == len(stream) and read[0] < len(stream) // 4
    if source == "trickle":
        assert steps[0][2] < len(stream)  # the first rendering before the source's end
    full = jxl.decode(stream)
    np.testing.assert_array_equal(steps[-1][0], full)
    # Each rendering is its own array, and refines the one before.
    assert len({id(a) for a, _, _ in steps}) == len(steps)
    errors = [np.abs(a.astype(int) - full).mean() for a, _, _ in steps]
    assert errors == sorted(errors, reverse=True) and errors[0] > 0


def test_iter_progressive_partial_and_frames(jxl, animation, large_progressive):
    """A truncated stream ends on its partial rendering; an animation's
    renderings are of the current frame, and the reader then stands at the next."""
    cut = large_progressive[:len(large_progressive) // 2]
    with jxl.JxlReader(cut, partial=True) as reader:
        steps = list(reader.iter_progressive())
        assert not reader.complete
    np.testing.assert_array_equal(steps[-1][0], jxl.decode(cut, partial=True))
    assert steps[-1][1]["bytes_read"] == len(cut)
    with pytest.raises(jxl.JxlError, match="truncated"):
        list(jxl.JxlReader(cut).iter_progressive())
    frames = jxl.decode(animation["lossy"])
    with jxl.JxlReader(animation["lossy"]) as reader:
        for i in range(3):
            last = list(reader.iter_progressive())[-1][0]
            np.testing.assert_array_equal(last, frames[i])
        assert list(reader.iter_progressive()) == []


@pytest.mark.parametrize("cut", [15, 20, 40, 48, 60])
@pytest.mark.parametrize("entry", ["read", "iter_progressive"])
def test_streamed_partial_cut_in_the_header(jxl, rgb, cut, entry):
    """A streamed partial reader cut before the first frame ends with an
    error, never going round for ever on the bytes left at the cut."""
    from conftest import LooksLarge, in_thread
    stream = jxl.encode(rgb, effort=1, container=True, exif=b"II*\x00" + bytes(40))[:cut]

    def attempt():
        with pytest.raises((jxl.JxlError, ValueError)):
            with jxl.JxlReader(LooksLarge(stream), streaming=True, partial=True) as reader:
                reader.read() if entry == "read" else list(reader.iter_progressive())
    in_thread(attempt, timeout=30)


# --- Pillow: truncated files and draft ----------------------------------------

@pytest.fixture
def load_truncated():
    from PIL import ImageFile
    ImageFile.LOAD_TRUNCATED_IMAGES = True
    yield
    ImageFile.LOAD_TRUNCATED_IMAGES = False


@pytest.mark.parametrize("kind", ["lossy-progressive", "lossless"])
def test_pillow_truncated(jxl, streams, kind, request):
    from PIL import Image
    import kestrelpix.pillow  # noqa: F401
    prefix = streams[kind][:len(streams[kind]) // 2]
    with Image.open(io.BytesIO(prefix)) as im:  # the header is all open needs
        assert im.size == (SHAPE[1], SHAPE[0]) and im.mode == "RGB"
        with pytest.raises(OSError, match="JPEG XL"):
            im.load()
    request.getfixturevalue("load_truncated")
    with Image.open(io.BytesIO(prefix)) as im:
        im.load()
        np.testing.assert_array_equal(np.asarray(im), jxl.decode(prefix, partial=True))


@pytest.mark.parametrize(("request_size", "ratio"), [
    ((600, 300), 1), ((700, 400), 1), ((300, 150), 2), ((150, 70), 4), ((100, 30), 4), ((70, 30), 8),
    ((16, 16), 8),
])
def test_pillow_draft(jxl, streams, request_size, ratio):
    from PIL import Image
    import kestrelpix.pillow  # noqa: F401
    stream = streams["lossy-progressive"]
    with Image.open(io.BytesIO(stream)) as im:
        mode, box = im.draft("RGB", request_size)
        size = (-(-600 // ratio), -(-300 // ratio))
        assert (mode, box, im.size) == ("RGB", (0, 0, 600 / ratio, 300 / ratio), size)
        assert im.draft("RGB", (10, 10)) is None  # once, as the JPEG plugin
        im.load()
        rendered = Image.fromarray(jxl.decode(stream, downsampling=ratio)).reduce(ratio)
        assert im.size == size
        np.testing.assert_array_equal(np.asarray(im), np.asarray(rendered))


def test_pillow_thumbnail_uses_draft(jxl, streams):
    from PIL import Image
    import kestrelpix.pillow  # noqa: F401
    stream = streams["lossy-progressive"]
    with Image.open(io.BytesIO(stream)) as im:
        im.thumbnail((64, 64))
        assert im.size == (64, 32)
    reference = Image.fromarray(jxl.decode(stream))
    reference.thumbnail((64, 64))
    # A thumbnail from the 1:8 rendering is close to one from every pixel.
    diff = np.abs(np.asarray(im, int) - np.asarray(reference, int))
    assert diff.mean() < 8
