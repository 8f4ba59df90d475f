"""JxlWriter: option rules, destinations, frame checks, lifecycle, and streams
checked against the reference decoder djxl."""

from __future__ import annotations

import gc
import io
import re
import pickle
import weakref
from pathlib import Path

import numpy as np
import pytest

from conftest import djxl, djxl_frames, read_pfm, read_pnm, run_threads, sample_image

IMG = sample_image(24, 32, 3)


def write_one(jxl, arr, **options) -> bytes:
    w = jxl.JxlWriter(**options)
    assert w.write_frame(arr) is None
    return w.close()


def smooth_image(ysize: int, xsize: int, channels: int, maxval: int) -> np.ndarray:
    """Gradients and a disc with faint noise: what lossy coding is made for."""
    yy, xx = np.mgrid[0:ysize, 0:xsize] / max(ysize, xsize)
    img = np.stack([0.5 + 0.4 * np.sin(3 * xx + 2 * c) * np.cos(2 * yy + c)
                    for c in range(channels)], axis=-1)
    img[(yy - 0.3) ** 2 + (xx - 0.4) ** 2 < 0.04] = 0.9
    img += np.random.default_rng(0).normal(0, 0.01, img.shape)
    return np.rint(np.clip(img, 0, 1) * maxval).astype(np.uint8 if maxval == 255 else np.uint16)


# --- options ------------------------------------------------------------------

@pytest.mark.parametrize("options, same_as", [
    ({"effort": 0}, {"effort": 1}),
    ({"effort": 11}, {"effort": 10}),
    ({"effort": None}, {"effort": 5}),
    ({"effort": 7.9}, {"effort": 7}),
    ({"decoding_speed": 9}, {"decoding_speed": 4}),
    ({"decoding_speed": -1}, {}),
    ({"decoding_speed": None}, {}),
    ({"quality": 101}, {"lossless": True}),
    ({"distance": 2.0, "lossless": True}, {"distance": 0}),
    ({"distance": "0.5"}, {"distance": 0.5}),
    ({"numthreads": 1}, {"numthreads": 8}),
    ({"numthreads": -4}, {"numthreads": 0}),
])
def test_option_equivalences(jxl, options, same_as):
    assert write_one(jxl, IMG, **options) == write_one(jxl, IMG, **same_as)


@pytest.mark.parametrize("options, lossless", [
    ({"distance": 0}, True),
    ({"quality": 101}, True),
    ({"quality": 100}, False),
    ({"distance": 0, "lossless": False}, False),
    ({"distance": 3, "lossless": 1}, True),
])
def test_lossless_default(jxl, options, lossless):
    reference = write_one(jxl, IMG, lossless=True)
    assert (write_one(jxl, IMG, **options) == reference) is lossless


@pytest.mark.parametrize("options, error, message", [
    ({"quality": 90, "distance": 1.0}, ValueError, "jxl: pass quality or distance, not both"),
    ({"quality": "90"}, TypeError, None),
    ({"effort": 2**40}, OverflowError, None),
])
def test_option_errors(jxl, options, error, message):
    with pytest.raises(error) as info:
        jxl.JxlWriter(**options)
    if message:
        assert str(info.value) == message


# --- destinations -----------------------------------------------------------------

class HalfWriter:
    """A destination whose write takes only half of what it is offered."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.calls = 0

    def write(self, b) -> int:
        self.calls += 1
        n = max(1, len(b) // 2)
        self.data += bytes(b[:n])
        return n


class CountlessWriter(HalfWriter):
    def write(self, b) -> None:
        self.data += bytes(b)


@pytest.mark.parametrize("old", [None, b"old"])
@pytest.mark.parametrize("as_path", [str, Path])
def test_path_written_only_at_close(jxl, tmp_path, as_path, old):
    target = tmp_path / "out.jxl"
    if old is not None:
        target.write_bytes(old)
    w = jxl.JxlWriter(as_path(target))
    w.write_frame(IMG)
    # Until close, the path is as it was and nothing else appeared beside it.
    assert (target.read_bytes() if old else target.exists()) == (old or False)
    assert sorted(p.name for p in tmp_path.iterdir()) == (["out.jxl"] if old else [])
    assert w.close() is None
    assert target.read_bytes() == write_one(jxl, IMG)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.jxl"]


FAILURES = {
    "option": lambda jxl, dest: jxl.JxlWriter(dest, quality=90, distance=1),
    "nan quality": lambda jxl, dest: jxl.JxlWriter(dest, quality=float("nan")),
    "distance 30": lambda jxl, dest: jxl.encode(IMG, distance=30, dest=dest),
    "frame dtype": lambda jxl, dest: jxl.encode(IMG.astype(np.int32), dest=dest),
    "duration": lambda jxl, dest: jxl.encode(np.stack([IMG, IMG]), animation=True,
                                             tps=(1, 3), durations=1, dest=dest),
}


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("old", [None, b"old contents"])
def test_failure_leaves_path_as_it_was(jxl, tmp_path, failure, old):
    target = tmp_path / "out.jxl"
    if old is not None:
        target.write_bytes(old)
    with pytest.raises((ValueError, TypeError, jxl.JxlError)):
        FAILURES[failure](jxl, target)
    assert sorted(p.name for p in tmp_path.iterdir()) == (["out.jxl"] if old else [])
    if old is not None:
        assert target.read_bytes() == old


def test_writer_never_closed_leaves_nothing(jxl, tmp_path):
    target = tmp_path / "out.jxl"
    target.write_bytes(b"old")
    w = jxl.JxlWriter(target)
    w.write_frame(IMG)
    del w
    gc.collect()
    assert [p.name for p in tmp_path.iterdir()] == ["out.jxl"]
    assert target.read_bytes() == b"old"


@pytest.mark.parametrize("where, error", [
    ("missing/out.jxl", FileNotFoundError),
    (".", IsADirectoryError),
])
def test_unwritable_path_refused_at_construction(jxl, tmp_path, where, error):
    with pytest.raises(error) as info:
        jxl.JxlWriter(tmp_path / where)
    assert info.value.filename == tmp_path / where


def test_replaced_file_keeps_its_permissions_and_links(jxl, tmp_path):
    real = tmp_path / "real.jxl"
    real.write_bytes(b"old")
    real.chmod(0o640)
    link = tmp_path / "link.jxl"
    link.symlink_to(real)
    jxl.encode(IMG, dest=link)
    assert link.is_symlink() and real.read_bytes() == write_one(jxl, IMG)
    assert real.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("dest_type", [io.BytesIO, HalfWriter, CountlessWriter])
def test_writable_destination_gets_every_byte(jxl, dest_type):
    dest = dest_type()
    w = jxl.JxlWriter(dest)
    w.write_frame(IMG)
    assert w.close() is None
    data = dest.getvalue() if isinstance(dest, io.BytesIO) else bytes(dest.data)
    assert data == write_one(jxl, IMG)
    if isinstance(dest, io.BytesIO):
        assert not dest.closed


def test_destination_accepting_nothing_fails(jxl):
    class Stuck:
        def write(self, b):
            return 0
    w = jxl.JxlWriter(Stuck())
    w.write_frame(IMG)
    with pytest.raises(OSError, match="accepted none"):
        w.close()


def test_failed_write_leaves_writer_open(jxl):
    class Flaky(HalfWriter):
        def write(self, b):
            if self.calls == 0:
                self.calls += 1
                raise OSError("disk full")
            self.data += bytes(b)
    dest = Flaky()
    w = jxl.JxlWriter(dest)
    w.write_frame(IMG)
    with pytest.raises(OSError, match="disk full"):
        w.close()
    assert w.close() is None
    assert bytes(dest.data) == write_one(jxl, IMG)


@pytest.mark.parametrize("dest, type_text", [(b"out.jxl", "<class 'bytes'>"), (3, "<class 'int'>")])
def test_bad_destination(jxl, dest, type_text):
    with pytest.raises(TypeError) as info:
        jxl.JxlWriter(dest)
    assert str(info.value) == "dest must be path, file-like, or None; got " + type_text


# --- frame checks -----------------------------------------------------------------

@pytest.mark.parametrize("shape, dtype, message", [
    ((4, 4, 5), np.uint8, "jxl: last dim must be 1/2/3/4 channels (got 5)"),
    ((4, 4, 0), np.uint8, "jxl: last dim must be 1/2/3/4 channels (got 0)"),
    ((4,), np.uint8, "jxl: ndim=1; expected 2 (Y,X) or 3 (Y,X,C)"),
    ((2, 4, 4, 3), np.int32, "jxl: ndim=4; expected 2 (Y,X) or 3 (Y,X,C)"),
    ((4, 4), np.int16, "jxl: unsupported dtype dtype('int16') (want uint8, uint16, float16, or float32)"),
    ((4, 4), ">u2", "jxl: unsupported dtype dtype('>u2') (want uint8, uint16, float16, or float32)"),
    ((4, 4), np.float64, "jxl: unsupported dtype dtype('float64') (want uint8, uint16, float16, or float32)"),
])
def test_first_frame_errors_leave_writer_unconfigured(jxl, shape, dtype, message):
    w = jxl.JxlWriter()
    with pytest.raises(ValueError) as info:
        w.write_frame(np.zeros(shape, dtype))
    assert str(info.value) == message
    w.write_frame(IMG)
    assert w.close() == write_one(jxl, IMG)


@pytest.mark.parametrize("first, later, message", [
    (np.zeros((8, 8), np.uint16), np.zeros((8, 8), np.float32),
     "jxl: frame dtype dtype('float32') does not match first frame dtype dtype('uint16')"),
    (np.zeros((8, 8), np.uint8), np.zeros((8, 9), np.uint8), "jxl: frame shape does not match first frame"),
    (np.zeros((8, 8, 3), np.uint8), np.zeros((8, 8), np.uint8), "jxl: frame shape does not match first frame"),
    (np.zeros((8, 8), np.uint8), np.zeros((1, 8, 8, 1), np.uint8), "jxl: invalid ndim 4"),
])
def test_later_frame_mismatch(jxl, first, later, message):
    w = jxl.JxlWriter(animation=True)
    w.write_frame(first)
    with pytest.raises(ValueError) as info:
        w.write_frame(later)
    assert str(info.value) == message


def test_grey_shapes_mix_in_animation(jxl, have_tools, tmp_path):
    frames = [sample_image(8, 8, 1, seed=i) for i in range(3)]
    w = jxl.JxlWriter(animation=True, lossless=True)
    for i, f in enumerate(frames):
        w.write_frame(f[:, :, None] if i % 2 else f)
    got = djxl_frames(w.close(), tmp_path)
    assert all(np.array_equal(g, f) for g, f in zip(got, frames, strict=True))


def test_second_still_frame_refused(jxl):
    w = jxl.JxlWriter()
    w.write_frame(IMG)
    with pytest.raises(RuntimeError, match="^jxl: writer is not in animation mode; "
                       "set animation=True for multi-frame output$"):
        w.write_frame(IMG)


def test_non_contiguous_frames_are_copied(jxl):
    assert write_one(jxl, np.asfortranarray(IMG)) == write_one(jxl, IMG)
    wide = np.zeros((24, 64, 3), np.uint8)
    wide[:, ::2] = IMG
    assert write_one(jxl, wide[:, ::2]) == write_one(jxl, IMG)


# --- lifecycle --------------------------------------------------------------------

def test_close_twice_and_closed_writer(jxl):
    w = jxl.JxlWriter()
    assert jxl.JxlWriter().close() == b""
    w.write_frame(IMG)
    assert w.close()[:2] == b"\xff\x0a"
    assert w.close() is None
    with pytest.raises(RuntimeError, match="^JxlWriter is closed$"):
        w.write_frame(IMG)


def test_exit_with_exception_releases_without_writing(jxl, tmp_path):
    target = tmp_path / "out.jxl"
    with pytest.raises(KeyError):
        with jxl.JxlWriter(target) as w:
            w.write_frame(IMG)
            raise KeyError("boom")
    assert not target.exists()
    with pytest.raises(RuntimeError, match="released after an error"):
        w.write_frame(IMG)
    assert w.close() is None
    assert not target.exists()


def test_with_block_closes_through_subclass(jxl, tmp_path):
    class Recording(jxl.JxlWriter):
        def close(self):
            self.result = super().close()
            return self.result
    with Recording() as w:
        assert type(w) is Recording
        w.write_frame(IMG)
    assert w.result == write_one(jxl, IMG)


def test_uninitialised_writer_is_safe(jxl):
    w = jxl.JxlWriter.__new__(jxl.JxlWriter)
    with pytest.raises(RuntimeError):
        w.write_frame(IMG)
    assert w.close() is None


def test_reference_cycle_through_destination_is_collected(jxl):
    class Dest(io.BytesIO):
        pass
    dest = Dest()
    dest.writer = jxl.JxlWriter(dest)
    alive = weakref.ref(dest)
    del dest
    gc.collect()
    assert alive() is None


def test_out_of_range_distance_refused_at_first_frame(jxl):
    w = jxl.JxlWriter(distance=30)
    with pytest.raises(jxl.JxlError) as info:
        w.write_frame(IMG)
    assert str(info.value) == "JxlEncoderSetFrameDistance returned JXL_ENC_ERROR (JXL_ENC_ERR_API_USAGE)"
    assert w.close() == b""


@pytest.mark.parametrize("attempt", [
    pickle.dumps,
    lambda w: w.__reduce__(),
    lambda w: w.__setstate__({}),
])
def test_pickling_refused(jxl, attempt):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        attempt(jxl.JxlWriter())


# --- colour specs -------------------------------------------------------------------

class Spec:
    """A colour spec that records the attributes read from it."""

    def __init__(self, **values):
        self.values, self.read = values, []

    def __getattr__(self, name):
        self.read.append(name)
        if name not in self.values:
            raise AttributeError(name)
        return self.values[name]


SRGB = dict(white_point=1, primaries=1, transfer=13, rendering_intent=1)


@pytest.mark.parametrize("values, error, message", [
    ({**SRGB, "white_point": -1}, OverflowError, "can't convert negative value to JxlWhitePoint"),
    ({**SRGB, "primaries": 2**40}, OverflowError, "value too large to convert to JxlPrimaries"),
    ({**SRGB, "transfer": 1.5}, TypeError, "an integer is required"),
    ({k: v for k, v in SRGB.items() if k != "rendering_intent"}, AttributeError, None),
])
def test_color_spec_errors(jxl, monkeypatch, values, error, message):
    import kestrelpix.core.color as color
    monkeypatch.setattr(color, "parse_color", lambda c: c)
    w = jxl.JxlWriter(color=Spec(**values))
    with pytest.raises(error) as info:
        w.write_frame(IMG)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("transfer, reads_gamma", [(13, False), ("gamma", True)])
def test_color_spec_attributes_read_in_order(jxl, monkeypatch, transfer, reads_gamma):
    import kestrelpix.core.color as color
    monkeypatch.setattr(color, "parse_color", lambda c: c)
    if transfer == "gamma":
        transfer = int(color.JXL_TF_GAMMA)
    spec = Spec(**{**SRGB, "transfer": transfer, "gamma": 1 / 2.2})
    w = jxl.JxlWriter(color=spec)
    w.write_frame(IMG)
    assert w.close()
    expected = ["is_hdr", "white_point", "primaries", "transfer", "rendering_intent"]
    assert spec.read == expected + ["gamma"] * reads_gamma


# --- against djxl ---------------------------------------------------------------

LAYOUTS = {1: ".pgm", 2: ".pam", 3: ".ppm", 4: ".pam"}


@pytest.mark.parametrize("channels", [1, 2, 3, 4])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float16, np.float32])
def test_lossless_round_trip_through_djxl(jxl, have_tools, tmp_path, dtype, channels):
    rng = np.random.default_rng(channels)
    shape = (20, 28) if channels == 1 else (20, 28, channels)
    if np.issubdtype(dtype, np.integer):
        img = rng.integers(0, np.iinfo(dtype).max + 1, shape, dtype=dtype, endpoint=False)
    else:
        img = rng.random(shape).astype(dtype)
    stream = write_one(jxl, img, lossless=True)
    if np.issubdtype(dtype, np.integer):
        out, maxval = read_pnm(djxl(stream, tmp_path, LAYOUTS[channels]))
        assert maxval == np.iinfo(dtype).max
        np.testing.assert_array_equal(out, img)
    elif channels in (1, 3):  # PFM has no alpha: those go through our reader only
        np.testing.assert_array_equal(read_pfm(djxl(stream, tmp_path, ".pfm")), img.astype(np.float32))
    if not hasattr(jxl, "decode"):
        return
    back = jxl.decode(stream)
    assert back.dtype == img.dtype
    np.testing.assert_array_equal(back, img)


@pytest.mark.parametrize("dtype, maxval", [(np.uint8, 255), (np.uint16, 65535), (np.float32, 1)])
def test_lossy_distance_1_is_close(jxl, have_tools, tmp_path, dtype, maxval):
    ints = smooth_image(48, 64, 3, 255 if maxval == 1 else maxval)
    img = (ints / 255).astype(dtype) if maxval == 1 else ints
    stream = write_one(jxl, img, distance=1.0)
    out = (read_pfm(djxl(stream, tmp_path, ".pfm")) if maxval == 1
           else read_pnm(djxl(stream, tmp_path, ".ppm"))[0])
    mse = np.mean((out.astype(np.float64) - img) ** 2)
    assert 10 * np.log10(maxval ** 2 / mse) > 35


@pytest.mark.parametrize("mark_last", [True, False])
def test_animation_frames(jxl, have_tools, tmp_path, mark_last):
    frames = [sample_image(16, 24, 3, seed=i) for i in range(4)]
    w = jxl.JxlWriter(animation=True, lossless=True)
    for i, f in enumerate(frames):
        w.write_frame(f, is_last=mark_last and i == len(frames) - 1)
        f[...] = 0  # the writer must not depend on the caller's array afterwards
    stream = w.close()
    frames = [sample_image(16, 24, 3, seed=i) for i in range(4)]
    got = djxl_frames(stream, tmp_path)
    assert len(got) == 4
    assert all(np.array_equal(g, f) for g, f in zip(got, frames))
    if hasattr(jxl, "decode"):
        assert jxl.frame_count(stream) == 4
        np.testing.assert_array_equal(jxl.decode(stream), np.stack(frames))


def test_frame_after_last_refused_by_libjxl(jxl):
    w = jxl.JxlWriter(animation=True)
    w.write_frame(IMG, is_last=True)
    with pytest.raises(jxl.JxlError, match="^JxlEncoderAddImageFrame returned"):
        w.write_frame(IMG)


def test_two_threads_on_one_writer(jxl, have_tools, tmp_path):
    w = jxl.JxlWriter(animation=True, effort=3)
    frame = sample_image(64, 96, 3)

    def feed():
        for _ in range(6):
            w.write_frame(frame)

    run_threads([feed, feed])
    assert len(djxl_frames(w.close(), tmp_path)) == 12


def test_lossless_float16_subnormals_refused(jxl):
    # libjxl does not keep them; a changed sample must not pass for lossless.
    frame = np.array([[5.7e-05, 0.5], [1.0, 65504]], np.float16)
    with pytest.raises(ValueError, match="^jxl: libjxl does not keep float16 subnormal"):
        jxl.encode(frame, lossless=True)
    normal = np.array([[6.104e-05, -0.5], [1.0, -65504]], np.float16)
    assert np.array_equal(jxl.decode(jxl.encode(normal, lossless=True)).view(np.uint16),
                          normal.view(np.uint16))


@pytest.mark.parametrize("color, allowed, refused", [
    ("srgb", 1e6, 2e6),
    ("display-p3", 1e6, 2e6),
    ("gamma:2.2", 1e6, 2e6),
    (None, 1e19, 2e19),  # linear sRGB
    ("rec2100-pq", 1e18, 2e18),
    ("rec2100-hlg", 1e18, 2e18),
    ("rec2020", 1e30, 2e30),
])
def test_lossy_float_bound_follows_the_transfer_function(jxl, color, allowed, refused):
    # Past these magnitudes libjxl writes samples that decode to NaN or
    # infinity (or, built with assertions, traps): refused before it sees them.
    frame = np.zeros((8, 8, 3), np.float32)
    frame[0, 0] = allowed
    decoded = jxl.decode(jxl.encode(frame, color=color, distance=1.0))
    assert np.isfinite(decoded).all()
    frame[0, 0] = -refused
    bound = re.escape(f"{allowed:g}")
    with pytest.raises(ValueError, match=rf"^jxl: lossy encoding needs finite float samples "
                                         rf"of magnitude at most {bound} with .*lossless=True"):
        jxl.encode(frame, color=color, distance=1.0)


def test_lossless_float16_nan_refused(jxl):
    # libjxl's 16-bit floats have no NaN: one came back as infinity.
    with pytest.raises(ValueError, match="^jxl: libjxl does not keep float16 NaN"):
        jxl.encode(np.array([[np.nan, 1.0]], np.float16), lossless=True)
    inf = np.array([[np.inf, -np.inf]], np.float16)
    np.testing.assert_array_equal(jxl.decode(jxl.encode(inf, lossless=True)), inf)


def test_frame_name_with_nul_refused(jxl):
    writer = jxl.JxlWriter(animation=True, lossless=True)
    with pytest.raises(ValueError, match="NUL"):
        writer.write_frame(np.zeros((4, 4), np.uint8), name="a\0b")
