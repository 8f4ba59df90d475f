"""JxlReader and decode: sources, header rules, the frame loop, lifecycle and
the safety of misuse. Streams come from the reference encoder, and lossless
ones must decode to the source samples exactly."""

from __future__ import annotations

import io
import pickle
import threading
from pathlib import Path

import numpy as np
import pytest

from conftest import (TESTDATA, cjxl, run_python, run_threads, sample_image, write_apng,
                      write_pfm, write_pnm)

HEADER_TRUNCATED = "JxlDecoderProcessInput needs more input than was provided (truncated stream?)"
FRAME_TRUNCATED = "JxlDecoderProcessInput needs more input (truncated stream?)"


# --- exactness against the reference encoder -------------------------------

@pytest.mark.parametrize("channels, suffix", [(1, ".pgm"), (2, ".pam"), (3, ".ppm"), (4, ".pam")])
@pytest.mark.parametrize("maxval, dtype", [(1, np.uint8), (255, np.uint8), (1023, np.uint16),
                                           (4095, np.uint16), (65535, np.uint16)])
def test_cjxl_lossless_decodes_exactly(jxl, tmp_path, have_tools, channels, suffix, maxval, dtype):
    img = sample_image(13, 17, channels, maxval)
    stream = cjxl(write_pnm(tmp_path / f"in{suffix}", img, maxval), tmp_path / "out.jxl", "-d", "0")
    with jxl.JxlReader(stream) as reader:
        expected_shape = (13, 17) if channels == 1 else (13, 17, channels)
        assert (reader.frame_shape, reader.dtype, reader.samples) == (expected_shape, dtype, channels)
        out = reader.read()
    assert out.dtype == dtype and out.flags.c_contiguous
    np.testing.assert_array_equal(out, img)  # the stream's own range, not rescaled


@pytest.mark.parametrize("channels", [1, 3])
def test_cjxl_lossless_float32(jxl, tmp_path, have_tools, channels):
    rng = np.random.default_rng(channels)
    img = rng.random((9, 14) if channels == 1 else (9, 14, 3), dtype=np.float32)
    stream = cjxl(write_pfm(tmp_path / "in.pfm", img), tmp_path / "out.jxl", "-d", "0")
    out = jxl.decode(stream)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, img)


FLOWER_DEPTHS = sorted(TESTDATA.glob("jxl/flower/flower_small.*.depth*.p?m"))


@pytest.mark.skipif(not FLOWER_DEPTHS, reason="libjxl-testdata not installed")
@pytest.mark.parametrize("path", FLOWER_DEPTHS[::3], ids=lambda p: p.name)
def test_testdata_bit_depth_images(jxl, tmp_path, have_tools, path):
    from conftest import read_pnm
    img, _ = read_pnm(path)
    stream = cjxl(path, tmp_path / "out.jxl", "-d", "0", "-e", "1")
    np.testing.assert_array_equal(jxl.decode(stream), img)


def test_animation_frame_by_frame(jxl, lossless_animation):
    stream, frames = lossless_animation
    with jxl.JxlReader(stream) as reader:
        assert reader.is_animation and reader.n_frames is None
        decoded = list(reader)
    assert len(decoded) == len(frames)
    for got, want in zip(decoded, frames):
        np.testing.assert_array_equal(got, want)
    stacked = jxl.decode(stream)
    assert stacked.shape == frames.shape
    np.testing.assert_array_equal(stacked, frames)


@pytest.mark.parametrize("index, expected", [(0, 0), (2, 2), (3, 3), (-1, 3), (-4, 0)])
def test_decode_index(jxl, lossless_animation, index, expected):
    stream, frames = lossless_animation
    np.testing.assert_array_equal(jxl.decode(stream, index=index), frames[expected])


@pytest.mark.parametrize("index", [4, 10, -5])
def test_decode_index_beyond_stream(jxl, lossless_animation, index):
    with pytest.raises(IndexError, match=rf"^jxl: frame {index} not found \(stream too short\?\)$"):
        jxl.decode(lossless_animation[0], index=index)


@pytest.mark.parametrize("skip, first", [(0, 0), (-1, 0), (2, 2)])
def test_skip_frames(jxl, lossless_animation, skip, first):
    stream, frames = lossless_animation
    with jxl.JxlReader(stream, skip_frames=skip) as reader:
        got = reader.read()
    np.testing.assert_array_equal(got, frames[first:] if len(frames) - first > 1 else frames[first])


# --- sources -----------------------------------------------------------------

@pytest.mark.parametrize("kind", ["bytes", "bytearray", "memoryview", "ndarray", "str",
                                  "path", "file", "file_streaming", "bytes_streaming"])
def test_sources(jxl, tmp_path, lossless_rgb, kind):
    stream, img = lossless_rgb
    path = tmp_path / "s.jxl"
    path.write_bytes(stream)
    source, options = {
        "bytes": (stream, {}),
        "bytearray": (bytearray(stream), {}),
        "memoryview": (memoryview(stream), {}),
        "ndarray": (np.frombuffer(stream, np.uint8), {}),
        "str": (str(path), {}),
        "path": (path, {}),
        "file": (io.BytesIO(b"junk" + stream), {}),
        "file_streaming": (io.BytesIO(b"junk" + stream), {"streaming": True}),
        "bytes_streaming": (stream, {"streaming": True}),
    }[kind]
    if isinstance(source, io.BytesIO):
        source.seek(4)  # decoding starts at the file object's position
    np.testing.assert_array_equal(jxl.decode(source, **options), img)
    if isinstance(source, io.BytesIO):
        assert not source.closed


@pytest.mark.parametrize("data, error, message", [
    (b"", ValueError, "jxl: empty input"),
    (None, ValueError, "jxl: empty input"),
    (bytes(32), ValueError, "jxl: not a JPEG XL stream"),
    (b"\xff", ValueError, "jxl: not a JPEG XL stream"),
    (b"\xff\x0a", Exception, HEADER_TRUNCATED),
])
def test_rejected_input(jxl, data, error, message):
    with pytest.raises(error) as info:
        jxl.JxlReader(data)
    assert str(info.value) == message
    if error is Exception:
        assert isinstance(info.value, jxl.JxlError)


def test_source_errors(jxl, tmp_path, lossless_rgb):
    with pytest.raises(FileNotFoundError):
        jxl.JxlReader(tmp_path / "missing.jxl", streaming=True)
    with pytest.raises(TypeError):
        jxl.JxlReader(io.StringIO("text"))  # read() gives str, not bytes
    with pytest.raises(TypeError):
        jxl.JxlReader(lossless_rgb[0], 1)
    with pytest.raises(TypeError):
        jxl.JxlReader(lossless_rgb[0], bogus=1)


@pytest.mark.parametrize("numthreads", [None, 0, -3, 1, 2, 4])
def test_numthreads(jxl, lossless_rgb, numthreads):
    stream, img = lossless_rgb
    np.testing.assert_array_equal(jxl.decode(stream, numthreads=numthreads), img)


def test_buffer_export_held_until_close(jxl, lossless_rgb):
    data = bytearray(lossless_rgb[0])
    reader = jxl.JxlReader(data)
    with pytest.raises(BufferError):
        data.extend(b"\0" * 4096)  # libjxl is still reading this memory
    reader.close()
    data.extend(b"\0")


# --- truncation and corrupt input --------------------------------------------

def test_every_prefix_raises(jxl, lossless_rgb):
    stream = lossless_rgb[0]
    for cut in range(2, len(stream)):
        with pytest.raises(jxl.JxlError) as info:
            jxl.decode(stream[:cut])
        assert str(info.value) in (HEADER_TRUNCATED, FRAME_TRUNCATED)
    with pytest.raises(jxl.JxlError, match=r"^JxlDecoderProcessInput needs more input than"):
        jxl.JxlReader(stream[:3])


OSS_FUZZ = sorted((TESTDATA / "oss-fuzz").glob("*"))

_FUZZ_SCRIPT = """
import sys
import kestrelpix.codecs._jxl as m
for path in sys.argv[1:]:
    data = open(path, 'rb').read()
    for call in (lambda: m.decode(data), lambda: m.decode(data, index=1),
                 lambda: m.frame_count(data),
                 lambda: m.JxlReader(data, coalesce=False, keep_orientation=True).read()):
        try:
            call()
        except Exception:
            pass
print('survived')
"""


@pytest.mark.skipif(not OSS_FUZZ, reason="libjxl-testdata not installed")
def test_fuzz_cases_never_crash():
    def run(paths):
        return run_python(_FUZZ_SCRIPT, *paths, timeout=300)
    if run(OSS_FUZZ).returncode == 0:
        return
    crashed = [p.name for p in OSS_FUZZ if run([p]).returncode != 0]
    pytest.fail(f"interpreter died on {crashed}")


def test_layers_without_coalescing(jxl, tmp_path, have_tools):
    # Narrower sub-frames are layers smaller than the image: each comes out
    # at its own size, as stored.
    frames = [sample_image(8, 12, 3), sample_image(8, 5, 3, seed=1)]
    stream = cjxl(write_apng(tmp_path / "l.apng", frames, x_offsets=[0, 4]),
                  tmp_path / "l.jxl", "-d", "0", "-e", "1")
    assert jxl.decode(stream).shape == (2, 8, 12, 3)
    layers = list(jxl.JxlReader(stream, coalesce=False))
    assert [layer.shape for layer in layers] == [(8, 12, 3), (8, 5, 3)]
    np.testing.assert_array_equal(layers[1], frames[1])
    np.testing.assert_array_equal(jxl.decode(stream, coalesce=False, index=1), frames[1])
    with pytest.raises(ValueError, match="^jxl: the frames differ in size"):
        jxl.decode(stream, coalesce=False)


@pytest.mark.skipif(not TESTDATA.is_dir(), reason="libjxl-testdata not installed")
def test_cropped_layer_from_testdata(jxl):
    path = TESTDATA / "jxl" / "blending" / "cropped_traffic_light.jxl"
    with jxl.JxlReader(path, coalesce=False) as reader:
        canvas = reader.frame_shape
        layers = list(reader)
    assert len(layers) == jxl.frame_count(path)
    assert any(layer.shape[:2] != canvas[:2] for layer in layers)


# --- lifecycle ------------------------------------------------------------------

def test_close_and_properties_after_close(jxl, lossless_rgb):
    reader = jxl.JxlReader(lossless_rgb[0])
    before = (reader.xsize, reader.ysize, reader.samples, reader.frame_shape, reader.dtype,
              reader.is_animation)
    assert before == (32, 24, 3, (24, 32, 3), np.uint8, False)
    assert reader.close() is None and reader.close() is None
    assert (reader.xsize, reader.ysize, reader.samples, reader.frame_shape, reader.dtype,
            reader.is_animation) == before
    frames = reader.iter_frames()  # nothing is checked until the first next()
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(frames)
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        reader.read()
    with pytest.raises(AttributeError):
        reader.xsize = 3


def test_close_between_frames(jxl, lossless_animation):
    reader = jxl.JxlReader(lossless_animation[0])
    frames = iter(reader)
    next(frames)
    reader.close()
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(frames)


def test_exhausted_reader(jxl, lossless_animation):
    with jxl.JxlReader(lossless_animation[0]) as reader:
        first = next(iter(reader))
        rest = reader.read()  # continues after the frame already taken
        assert first.shape == rest.shape[1:] and len(rest) == 3
        with pytest.raises(jxl.JxlError, match="^jxl: no frames in stream$"):
            reader.read()
        assert list(reader) == []


def test_context_manager(jxl, lossless_rgb):
    with pytest.raises(KeyError):
        with jxl.JxlReader(lossless_rgb[0]) as reader:
            raise KeyError("propagates")
    with pytest.raises(RuntimeError, match="closed"):
        reader.read()


def test_allocated_only_reader(jxl):
    reader = jxl.JxlReader.__new__(jxl.JxlReader)
    assert (reader.xsize, reader.ysize, reader.samples, reader.frame_shape, reader.dtype,
            reader.is_animation, reader.color, reader.icc_profile) == (0, 0, 0, None, None,
                                                                      False, None, None)
    with pytest.raises(RuntimeError):
        reader.read()  # no decoder: refused, never handed to libjxl
    assert reader.close() is None


def test_init_twice_is_refused(jxl, lossless_rgb):
    reader = jxl.JxlReader(lossless_rgb[0])
    with pytest.raises(RuntimeError):
        reader.__init__(lossless_rgb[0])
    np.testing.assert_array_equal(reader.read(), lossless_rgb[1])


def test_pickling_refused(jxl, lossless_rgb):
    reader = jxl.JxlReader(lossless_rgb[0])
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(reader)
    with pytest.raises(TypeError, match="__cinit__"):
        reader.__setstate__({})


def test_subclass(jxl, lossless_rgb):
    calls = []

    class Reader(jxl.JxlReader):
        def close(self):
            calls.append("close")
            super().close()

        def iter_frames(self):
            for frame in super().iter_frames():
                yield frame + 1

    with Reader(lossless_rgb[0]) as reader:
        np.testing.assert_array_equal(reader.read(), lossless_rgb[1] + 1)
    assert calls == ["close"]


# --- threads ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def large_stream(tmp_path_factory, have_tools) -> bytes:
    tmp = tmp_path_factory.mktemp("large")
    return cjxl(write_pnm(tmp / "in.ppm", sample_image(1024, 1024, 3)), tmp / "out.jxl",
                "-d", "1", "-e", "3")


def test_close_from_another_thread_while_decoding(jxl, large_stream):
    # close() waits for the running decode step; the iterator then finds the
    # reader closed. Either way: an exception or a frame, never a crash.
    for delay in (0.0, 0.001, 0.01):
        reader = jxl.JxlReader(large_stream, numthreads=1)
        outcome = []

        def decode():
            try:
                outcome.append(reader.read().shape)
            except RuntimeError as exc:
                outcome.append(str(exc))

        worker = threading.Thread(target=decode)
        worker.start()
        threading.Event().wait(delay)
        reader.close()
        worker.join()
        assert outcome[0] in ((1024, 1024, 3), "JxlReader is closed")


def test_two_threads_share_one_reader(jxl, lossless_animation):
    stream, frames = lossless_animation
    with jxl.JxlReader(stream) as reader:
        got: list[np.ndarray] = []
        run_threads([lambda: got.extend(reader)] * 2)
    assert len(got) == len(frames)
    assert sorted(f.tobytes() for f in got) == sorted(f.tobytes() for f in frames)


def test_threads_decode_concurrently(jxl, large_stream):
    expected = jxl.decode(large_stream, numthreads=1)
    results: list[bool] = []
    run_threads([lambda: results.append(np.array_equal(jxl.decode(large_stream, numthreads=1),
                                                       expected))] * 4)
    assert results == [True] * 4


def test_decode_arguments(jxl, lossless_rgb):
    with pytest.raises(TypeError):
        jxl.decode(lossless_rgb[0], 1)
    with pytest.raises(TypeError):
        jxl.decode()
    with pytest.raises(OverflowError):
        jxl.decode(lossless_rgb[0], index=2**31)


def test_reader_closed_by_decode(jxl, lossless_rgb, monkeypatch):
    closed = []

    class Spy(jxl.JxlReader):
        def close(self):
            closed.append(True)
            super().close()

    monkeypatch.setattr(jxl, "JxlReader", Spy)
    jxl.decode(lossless_rgb[0])
    with pytest.raises(IndexError):
        jxl.decode(lossless_rgb[0], index=1)
    assert closed == [True, True]
