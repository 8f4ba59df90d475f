"""Decoding into the caller's memory (out=), read() straight into the stack,
and worker pools lent per call: the results never depend on them."""

from __future__ import annotations

import textwrap

import numpy as np
import pytest

from conftest import python_output, sample_image


@pytest.fixture(scope="module")
def streams(jxl):
    rng = np.random.default_rng(7)
    still = rng.integers(0, 65535, (40, 30, 3), dtype=np.uint16)
    movie = rng.integers(0, 255, (5, 24, 20, 4), dtype=np.uint8)
    floats = rng.random((6, 7), dtype=np.float32)
    return {
        "still": (jxl.encode(still, lossless=True), still),
        "movie": (jxl.encode(movie, lossless=True, animation=True), movie),
        "floats": (jxl.encode(floats, lossless=True), floats),
    }


@pytest.mark.parametrize("name", ["still", "movie", "floats"])
def test_out_gives_the_same_pixels(jxl, streams, name):
    stream, want = streams[name]
    out = np.full_like(want, 7)
    assert jxl.decode(stream, out=out) is out
    np.testing.assert_array_equal(out, want)
    np.testing.assert_array_equal(jxl.decode(stream), want)
    out[...] = 0
    with jxl.JxlReader(stream) as reader:
        assert reader.read(out=out) is out
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("index", [0, 2, -1])
def test_out_with_index(jxl, streams, index):
    stream, movie = streams["movie"]
    out = np.empty_like(movie[0])
    assert jxl.decode(stream, index=index, out=out) is out
    np.testing.assert_array_equal(out, movie[index])


def test_read_after_frames_were_taken(jxl, streams):
    stream, movie = streams["movie"]
    with jxl.JxlReader(stream, skip_frames=1) as reader:
        next(iter(reader))
        np.testing.assert_array_equal(reader.read(), movie[2:])
    with jxl.JxlReader(stream) as reader:
        reader.read()
        with pytest.raises(jxl.JxlError, match="^jxl: no frames in stream$"):
            reader.read()


@pytest.mark.parametrize("make, error, message", [
    (lambda w: w.astype(np.uint8), TypeError, "out has dtype"),
    (lambda w: w.astype(w.dtype.newbyteorder()), TypeError, "out has dtype"),
    (lambda w: np.empty(w.shape[:-1] + (2,), w.dtype), ValueError, "out has shape"),
    (lambda w: np.empty((2,) + w.shape, w.dtype), ValueError, "out has shape"),
    (lambda w: np.empty(w.shape[::-1], w.dtype).T, ValueError, "C-contiguous"),
    (lambda w: np.frombuffer(bytes(w.nbytes), w.dtype).reshape(w.shape), ValueError,
     "read-only"),
    (lambda w: w.tolist(), TypeError, "must be a NumPy array"),
])
def test_out_refusals_before_decoding(jxl, streams, make, error, message):
    stream, want = streams["still"]
    out = make(np.zeros_like(want))
    with pytest.raises(error, match=message):
        jxl.decode(stream, out=out)
    with jxl.JxlReader(stream) as reader:
        with pytest.raises(error, match=message):
            reader.read(out=out)
        # Refused before any decoding: the frame is still there.
        np.testing.assert_array_equal(reader.read(), want)


def test_streamed_animation_checks_out_once_decoded(jxl, tmp_path, streams):
    stream, movie = streams["movie"]
    path = tmp_path / "m.jxl"
    path.write_bytes(stream)
    out = np.empty_like(movie)
    with jxl.JxlReader(path, streaming=True) as reader:
        assert reader.read(out=out) is out
    np.testing.assert_array_equal(out, movie)
    with jxl.JxlReader(path, streaming=True) as reader:
        with pytest.raises(ValueError, match="out has shape"):
            reader.read(out=np.empty_like(movie[1:]))


@pytest.mark.parametrize("size", [64, 300])
def test_results_do_not_depend_on_threads_or_pool_reuse(jxl, size):
    image = sample_image(size, size + 8, 3)
    streams = {n: jxl.encode(image, distance=1.0, effort=3, numthreads=n)
               for n in (1, 2, 4, None, 2, None)}
    assert len(set(streams.values())) == 1
    stream = streams[1]
    first = jxl.decode(stream, numthreads=1)
    for n in (2, 4, None, 2, 64):
        np.testing.assert_array_equal(jxl.decode(stream, numthreads=n), first)


def test_pools_do_not_outlive_the_interpreter():
    # Pools made by decodes and encodes of several worker counts end with
    # the interpreter: the process exits at once and cleanly.
    code = textwrap.dedent("""
        import numpy as np
        import kestrelpix.codecs._jxl as jxl
        img = np.random.default_rng(0).integers(0, 255, (512, 512, 3), np.uint8)
        for n in (2, 3, None):
            jxl.decode(jxl.encode(img, distance=1, effort=1, numthreads=n), numthreads=n)
        print("done")
    """)
    assert python_output(code).strip() == "done"
