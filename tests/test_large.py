"""Images larger than memory: the streaming encode (streaming=True) reading
frames from array-likes in the rectangles libjxl asks for, and writing the
stream as it comes. Judged with djxl and against the whole-frame encode."""

from __future__ import annotations

import io

import numpy as np
import pytest

from conftest import djxl, djxl_frames, read_pnm, sample_image

# Larger than one 2048-pixel chunk both ways, so that libjxl asks for
# rectangles of several sizes, edges included.
BIG = sample_image(2100, 2060, 3)
SMALL = sample_image(40, 56, 3)


class Sliced:
    """An array-like that is not an array: shape, dtype and 2-D slicing, each
    slice recorded; `bad` replaces what the n-th slice returns."""

    def __init__(self, arr, bad=None, at=2):
        self.arr, self.shape, self.dtype = arr, arr.shape, arr.dtype
        self.bad, self.at, self.slices = bad, at, []

    def __getitem__(self, key):
        self.slices.append(key)
        part = self.arr[key]
        if self.bad is not None and len(self.slices) == self.at:
            return self.bad(part)
        return part


def _memmap(tmp_path, arr):
    m = np.memmap(tmp_path / "src.raw", arr.dtype, "w+", shape=arr.shape)
    m[:] = arr
    m.flush()
    return np.memmap(tmp_path / "src.raw", arr.dtype, "r", shape=arr.shape)


def _zarr(tmp_path, arr):
    zarr = pytest.importorskip("zarr")
    z = zarr.create_array(tmp_path / "src.zarr", shape=arr.shape, dtype=arr.dtype,
                          chunks=(512, 512) + arr.shape[2:])
    z[:] = arr
    return z


def _dask(tmp_path, arr):
    da = pytest.importorskip("dask.array")
    return da.from_array(arr, chunks=(700, 700) + arr.shape[2:])


SOURCES = {"numpy": lambda tmp_path, arr: arr, "memmap": _memmap, "zarr": _zarr,
           "dask": _dask, "sliced": lambda tmp_path, arr: Sliced(arr)}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("effort", [1, 3])
def test_lossless_round_trip_from_any_source(jxl, have_tools, tmp_path, source, effort):
    target = tmp_path / "out.jxl"
    assert jxl.encode(SOURCES[source](tmp_path, BIG), lossless=True, effort=effort,
                      dest=target, streaming=True) is None
    np.testing.assert_array_equal(read_pnm(djxl(target.read_bytes(), tmp_path, ".ppm"))[0], BIG)


def test_only_rectangles_are_read(jxl, tmp_path):
    source = Sliced(BIG)
    jxl.encode(source, lossless=True, effort=1, dest=tmp_path / "out.jxl", streaming=True)
    sizes = {(k[0].stop - k[0].start, k[1].stop - k[1].start) for k in source.slices}
    assert max(h * w for h, w in sizes) < BIG.shape[0] * BIG.shape[1] // 4


@pytest.mark.parametrize("name, arr, options", [
    ("grey", SMALL[..., 0], dict(lossless=True)),
    ("grey alpha", SMALL[..., :2], dict(distance=1)),
    ("rgba uint16", SMALL.astype(np.uint16) * 257 + np.uint16(3), dict(lossless=True)),
    ("rgb float32", SMALL.astype(np.float32) / 255, dict(distance=2)),
    ("float16", SMALL.astype(np.float16) / 255, dict(lossless=True)),
    ("depth", np.dstack([SMALL, SMALL[..., :1]]), dict(lossless=True, extra_channels=["depth"])),
    ("boxes", SMALL, dict(exif=b"II*\0\x08\0\0\0\0\0\0\0", xmp="<x/>", compress_boxes=True)),
    ("colour", SMALL, dict(color="display-p3", orientation=6, decoding_speed=2, effort=9)),
    ("container", SMALL, dict(container=True, quality=80)),
])
@pytest.mark.parametrize("dest", ["path", "seekable", "pipe"])
def test_same_stream_as_whole_frame_encode(jxl, tmp_path, name, arr, options, dest):
    class Pipe:  # write() only: libjxl keeps what it comes back to
        def __init__(self):
            self.data = bytearray()

        def write(self, b):
            self.data += b
            return len(b)

    target = {"path": tmp_path / "out.jxl", "seekable": io.BytesIO(), "pipe": Pipe()}[dest]
    jxl.encode(arr, dest=target, streaming=True, **options)
    got = (target.read_bytes() if dest == "path" else
           target.getvalue() if dest == "seekable" else bytes(target.data))
    assert got == jxl.encode(arr, **options)


def test_animation_from_a_memmap_stack(jxl, have_tools, tmp_path):
    frames = np.stack([SMALL, SMALL[::-1], SMALL[:, ::-1]])
    target = tmp_path / "movie.jxl"
    jxl.encode(_memmap(tmp_path, frames), animation=True, lossless=True, durations=[10, 20, 30],
               dest=target, streaming=True)
    got = djxl_frames(target.read_bytes(), tmp_path)
    np.testing.assert_array_equal(np.stack(got), frames)
    assert target.read_bytes() == jxl.encode(frames, animation=True, lossless=True,
                                             durations=[10, 20, 30])


def test_writer_streams_frames_given_one_by_one(jxl, tmp_path):
    sink = io.BytesIO()
    with jxl.JxlWriter(sink, animation=True, lossless=True, streaming=True) as w:
        w.write_frame(Sliced(SMALL))
        w.write_frame(Sliced(SMALL[::-1]), is_last=True)
    assert sink.getvalue() == jxl.encode(np.stack([SMALL, SMALL[::-1]]), animation=True,
                                         lossless=True)


MISBEHAVIOURS = {
    "raises": (lambda part: (_ for _ in ()).throw(KeyError("no such chunk")), KeyError,
               "no such chunk"),
    "short": (lambda part: part[:-1], ValueError,
              r"^jxl: source\[\d+:\d+, \d+:\d+\] came back with shape \(\d+, \d+, 3\), "
              r"not \(\d+, \d+, 3\)$"),
    "other dtype": (lambda part: part.astype(np.uint16), ValueError,
                    r"came back as dtype\('uint16'\), but the source's dtype is dtype\('uint8'\)"),
    "grey": (lambda part: part[..., 0], ValueError, r"came back with shape \(\d+, \d+\)"),
    "none": (lambda part: None, ValueError, r"came back as dtype\('O'\)"),
    "ragged": (lambda part: [[1, 2], [3]], ValueError, "inhomogeneous"),
}


@pytest.mark.parametrize("misbehaviour", MISBEHAVIOURS)
@pytest.mark.parametrize("options", [dict(lossless=True, effort=1), dict(distance=1, effort=3)])
@pytest.mark.parametrize("old", [None, b"old"])
def test_failing_slice_leaves_no_file(jxl, tmp_path, misbehaviour, options, old):
    bad, error, message = MISBEHAVIOURS[misbehaviour]
    target = tmp_path / "out.jxl"
    if old is not None:
        target.write_bytes(old)
    with pytest.raises(error, match=message):
        jxl.encode(Sliced(BIG, bad), dest=target, streaming=True, **options)
    assert [p.name for p in tmp_path.iterdir()] == (["out.jxl"] if old else [])
    if old is not None:
        assert target.read_bytes() == old


@pytest.mark.parametrize("fail_at", [1, 3])
def test_failing_write_is_raised(jxl, fail_at):
    class Full:
        calls = 0

        def write(self, b):
            Full.calls += 1
            if Full.calls == fail_at:
                raise OSError(28, "No space left on device")
            return len(b)

    with pytest.raises(OSError, match="No space left"):
        jxl.encode(BIG, lossless=True, effort=1, dest=Full(), streaming=True)


def test_failed_streaming_writer_is_released(jxl, tmp_path):
    w = jxl.JxlWriter(tmp_path / "out.jxl", streaming=True, lossless=True)
    with pytest.raises(KeyError):
        w.write_frame(Sliced(SMALL, lambda part: {}["x"], at=1))
    with pytest.raises(RuntimeError, match="released after an error"):
        w.write_frame(SMALL)
    assert w.close() is None
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("make", [
    lambda jxl: jxl.encode(SMALL, streaming=True),
    lambda jxl: jxl.JxlWriter(streaming=True),
])
def test_streaming_needs_a_destination(jxl, make):
    with pytest.raises(ValueError, match="^jxl: streaming=True .* needs a dest"):
        make(jxl)


def test_progress_reaches_one_and_can_stop(jxl, tmp_path):
    seen = []
    jxl.encode(BIG, distance=1, effort=3, dest=io.BytesIO(), streaming=True, progress=seen.append)
    assert seen == sorted(seen) and seen[-1] == 1.0 and len(seen) > 1

    def stop(fraction):
        raise InterruptedError("stopped at %.2f" % fraction)
    target = tmp_path / "out.jxl"
    with pytest.raises(InterruptedError, match="^stopped at"):
        jxl.encode(BIG, distance=1, effort=3, dest=target, streaming=True, progress=stop)
    assert not target.exists()
    with pytest.raises(TypeError, match="^jxl: progress must be callable or None, not int$"):
        jxl.encode(SMALL, progress=3)


@pytest.mark.parametrize("spoil", [
    lambda p: np.asarray(p.flat[0]),  # 0-d: once read past its (missing) dims
    lambda p: p.reshape(-1),          # 1-d: once read past its one dim
])
@pytest.mark.parametrize("frame", [BIG[:300, :200], BIG[:300, :200, 0]])
@pytest.mark.parametrize("to_path", [False, True])
def test_slice_of_too_few_dimensions_refused(jxl, tmp_path, spoil, frame, to_path):
    target = tmp_path / "out.jxl"
    with pytest.raises(ValueError, match=r"^jxl: source\[0:300, 0:200\] came back with shape"):
        jxl.encode(Sliced(frame, bad=spoil, at=1), distance=1, effort=1, streaming=True,
                   dest=target if to_path else io.BytesIO())
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("seed", range(12))
def test_fuzzed_misbehaving_sources(jxl, seed, tmp_path):
    """Slices that change shape, dtype, type or raise at random: the encode
    either raises one clear error and leaves nothing, or gives the image."""
    rng = np.random.default_rng(seed)
    arr = BIG[: int(rng.integers(1, 2100)), : int(rng.integers(1, 2060))]
    spoilers = [lambda p: p, lambda p: p[:, :-1], lambda p: p.astype(np.float32),
                lambda p: p.reshape(-1), lambda p: np.asfortranarray(p), lambda p: p[::-1],
                lambda p: 1 / 0, lambda p: p.tolist(), lambda p: p[..., :2]]
    choice = [spoilers[i] for i in rng.integers(0, len(spoilers), 64)]

    class Spoiled(Sliced):
        def __getitem__(self, key):
            self.slices.append(key)
            return choice[len(self.slices) % 64](self.arr[key])

    target = tmp_path / "out.jxl"
    effort = int(rng.choice([1, 2, 3]))
    try:
        jxl.encode(Spoiled(arr), lossless=True, effort=effort, dest=target, streaming=True)
    except (ValueError, ZeroDivisionError):
        assert not target.exists()
    else:
        back = jxl.decode(target)
        flipped_or_same = np.array_equal(back, arr)
        assert flipped_or_same or any(c is spoilers[5] for c in choice)


# --- decoding into writable array-likes ---------------------------------------


class Sink:
    """A writable array-like that is not an array: records each assignment."""

    def __init__(self, shape, dtype, chunks=None):
        self.shape, self.dtype, self.writes = shape, np.dtype(dtype), []
        self.data = np.zeros(shape, dtype)
        if chunks is not None:
            self.chunks = chunks

    def __setitem__(self, key, value):
        self.writes.append(key)
        self.data[key] = value


@pytest.fixture(scope="module")
def big_stream(jxl):
    return jxl.encode(BIG, lossless=True, effort=1)


@pytest.mark.parametrize("numthreads", [1, 2])
@pytest.mark.parametrize("chunks, rows", [(None, 256), ((700, 512, 3), 700)])
def test_sink_gets_every_row_once_in_bands(jxl, big_stream, numthreads, chunks, rows):
    sink = Sink(BIG.shape, np.uint8, chunks)
    assert jxl.decode(big_stream, out=sink, numthreads=numthreads) is sink
    np.testing.assert_array_equal(sink.data, BIG)
    bands = sorted((k.start, k.stop) for k in sink.writes)
    assert bands == [(y, min(y + rows, BIG.shape[0])) for y in range(0, BIG.shape[0], rows)]


@pytest.mark.parametrize("kind", ["zarr", "memmap", "reader", "index"])
def test_decode_into_zarr_and_memmap(jxl, tmp_path, big_stream, kind):
    if kind == "memmap":
        out = np.memmap(tmp_path / "out.raw", np.uint8, "w+", shape=BIG.shape)
    else:
        zarr = pytest.importorskip("zarr")
        out = zarr.create_array(tmp_path / "out.zarr", shape=BIG.shape, dtype=np.uint8,
                                chunks=(512, 512, 3))
    if kind == "reader":
        assert jxl.JxlReader(big_stream, streaming=True).read(out=out) is out
    elif kind == "index":
        assert jxl.decode(big_stream, index=0, out=out) is out
    else:
        assert jxl.decode(big_stream, out=out) is out
    np.testing.assert_array_equal(out[:], BIG)


@pytest.mark.parametrize("streaming", [False, True])
def test_animation_into_a_stacked_sink(jxl, streaming):
    frames = np.stack([SMALL, SMALL[::-1], SMALL[:, ::-1]])
    stream = jxl.encode(frames, animation=True, lossless=True)
    sink = Sink(frames.shape, np.uint8, chunks=(1, 16, 56, 3))
    assert jxl.JxlReader(stream, streaming=streaming).read(out=sink) is sink
    np.testing.assert_array_equal(sink.data, frames)
    assert {k[0] for k in sink.writes} == {0, 1, 2}


def test_extra_channels_into_a_sink(jxl):
    img = np.dstack([SMALL, SMALL[..., :1]])
    stream = jxl.encode(img, lossless=True, extra_channels=["depth"])
    sink = Sink(img.shape, np.uint8)
    jxl.decode(stream, out=sink, extra_channels=True)
    np.testing.assert_array_equal(sink.data, img)


@pytest.mark.parametrize("sink, error, message", [
    (Sink((10, 10, 3), np.uint8), ValueError,
     r"^jxl: out has shape \(10, 10, 3\), the result has shape \(2100, 2060, 3\)$"),
    (Sink(BIG.shape, np.uint16), TypeError, r"^jxl: out has dtype dtype\('uint16'\)"),
    (Sink(BIG.shape, ">u1".replace("u1", "u2")), TypeError, "out has dtype"),
    ([1, 2], TypeError, "^jxl: out must be a NumPy array or an object with shape, dtype and "
                        "slice assignment, not list$"),
])
def test_wrong_sink_refused_before_decoding(jxl, big_stream, sink, error, message):
    with pytest.raises(error, match=message):
        jxl.decode(big_stream, out=sink)
    assert getattr(sink, "writes", []) == []


def test_failing_sink_write_is_raised(jxl, big_stream):
    class Full(Sink):
        def __setitem__(self, key, value):
            if key.start >= 512:
                raise OSError(28, "No space left on device")
            super().__setitem__(key, value)

    sink = Full(BIG.shape, np.uint8)
    with pytest.raises(OSError, match="No space left"):
        jxl.decode(big_stream, out=sink)
    assert all(k.start < 512 for k in sink.writes)


@pytest.mark.parametrize("bad", [False, True])
def test_extra_channel_ranges_checked_per_slice(jxl, tmp_path, bad):
    depth = (BIG[..., :1] // 16).copy()  # fits in 4 bits
    if bad:
        depth[-1, -1] = 16
    img = np.dstack([BIG, depth])
    spec = [{"type": "depth", "bits_per_sample": 4}]
    target = tmp_path / "out.jxl"
    if bad:
        with pytest.raises(ValueError, match="4"):
            jxl.encode(Sliced(img), lossless=True, effort=1, extra_channels=spec, dest=target,
                       streaming=True)
        assert not target.exists()
    else:
        jxl.encode(Sliced(img), lossless=True, effort=1, extra_channels=spec, dest=target,
                   streaming=True)
        np.testing.assert_array_equal(jxl.decode(target, extra_channels=True), img)


@pytest.mark.parametrize("extras", [["depth"], ["depth", "optional", "selection_mask"]])
def test_extra_channels_slice_each_rectangle_once(jxl, tmp_path, extras):
    """A rectangle is sliced once for the colour and every extra channel (a
    Dask source would otherwise compute it again per channel)."""
    img = np.dstack([BIG] + [BIG[..., :1] // (k + 1) for k in range(len(extras))])
    source = Sliced(img)
    target = tmp_path / "out.jxl"
    jxl.encode(source, lossless=True, effort=1, extra_channels=extras, dest=target,
               streaming=True)
    np.testing.assert_array_equal(jxl.decode(target, extra_channels=True), img)
    rects = [(k[0].start, k[0].stop, k[1].start, k[1].stop) for k in source.slices]
    assert len(rects) < 1.5 * len(set(rects)), "rectangles sliced again per channel"


# --- progress of decodes ------------------------------------------------------


@pytest.fixture(scope="module")
def progress_streams(jxl, big_stream):
    frames = np.stack([BIG[:600, :700], BIG[600:1200, :700], BIG[1200:1800, :700]])
    return {"still": (big_stream, BIG),
            "lossy": (jxl.encode(BIG, distance=1, effort=3, progressive=True), None),
            "animation": (jxl.encode(frames, animation=True, lossless=True, effort=1), frames)}


def _decode_with_progress(jxl, stream, how, tmp_path, progress):
    if how == "array":
        return jxl.decode(stream, progress=progress)
    if how == "out":
        out = np.empty_like(jxl.decode(stream))
        assert jxl.decode(stream, out=out, progress=progress) is out
        return out
    if how == "sink":
        ref = jxl.decode(stream)
        sink = Sink(ref.shape, ref.dtype, chunks=(300,) + ref.shape[1:])
        assert jxl.decode(stream, out=sink, progress=progress) is sink
        return sink.data
    if how == "reader frames":
        with jxl.JxlReader(stream, progress=progress) as reader:
            frames = list(reader)
        return frames[0] if len(frames) == 1 else np.stack(frames)
    path = tmp_path / "in.jxl"
    path.write_bytes(stream)
    return jxl.JxlReader(path, streaming=True, progress=progress).read()


@pytest.mark.parametrize("kind", ["still", "lossy", "animation"])
@pytest.mark.parametrize("how", ["array", "out", "sink", "reader frames", "streamed path"])
def test_decode_progress_rises_to_one_on_the_calling_thread(jxl, progress_streams, tmp_path,
                                                            kind, how):
    import threading
    stream, expected = progress_streams[kind]
    seen, threads = [], set()

    def record(fraction):
        threads.add(threading.get_ident())
        seen.append(fraction)
    got = _decode_with_progress(jxl, stream, how, tmp_path, record)
    np.testing.assert_array_equal(got, jxl.decode(stream) if expected is None else expected)
    assert threads == {threading.get_ident()}
    assert all(type(f) is float for f in seen) and seen[-1] == 1.0
    assert seen == sorted(set(seen)) and 0 < seen[0]
    # A stream in memory goes in about 64 parts; a file streamed (above
    # 4 MiB, else read whole) in 4 MiB reads.
    assert len(seen) >= (2 if how == "streamed path" else 8)


@pytest.mark.parametrize("options, calls", [
    (dict(index=1), "several"),             # ends at that frame, with 1.0
    (dict(partial=True, cut=2), "several"),  # a truncated stream: what it renders
    (dict(downsampling=8), "any"),          # stops at the 1:8 image
])
def test_decode_progress_with_index_partial_downsampling(jxl, progress_streams, options, calls):
    stream = progress_streams["lossy" if "downsampling" in options else "animation"][0]
    cut = options.pop("cut", 1)
    seen = []
    got = jxl.decode(stream[: len(stream) // cut], progress=seen.append, **options)
    np.testing.assert_array_equal(got, jxl.decode(stream[: len(stream) // cut], **options))
    assert seen[-1] == 1.0 and seen == sorted(set(seen))
    assert len(seen) > (4 if calls == "several" else 0)


@pytest.mark.parametrize("out", ["array", "out", "sink"])
def test_decode_progress_exception_stops_the_decode(jxl, big_stream, out):
    calls = []

    def stop(fraction):
        calls.append(fraction)
        if fraction > 0.3:
            raise InterruptedError("stopped at %.2f" % fraction)
    sink = Sink(BIG.shape, np.uint8) if out == "sink" else None
    target = {"array": None, "out": np.zeros_like(BIG), "sink": sink}[out]
    with pytest.raises(InterruptedError, match="^stopped at 0.3"):
        jxl.decode(big_stream, out=target, progress=stop)
    assert calls[-1] < 0.5  # raised at once, not after the decode
    if sink is not None:  # the bands beyond what was decoded never came
        assert max(k.stop for k in sink.writes) < BIG.shape[0]


@pytest.mark.parametrize("make", [
    lambda jxl, data: jxl.decode(data, progress=3),
    lambda jxl, data: jxl.JxlReader(data, progress="tqdm"),
])
def test_decode_progress_must_be_callable(jxl, big_stream, make):
    with pytest.raises(TypeError, match="^jxl: progress must be callable or None, not (int|str)$"):
        make(jxl, big_stream)


@pytest.mark.parametrize("numthreads", [1, 2])
def test_sink_may_keep_the_bands_it_is_given(jxl, big_stream, numthreads):
    """A band's memory belongs to the array handed to the sink: a sink that
    keeps the arrays rather than copying them finds them intact later."""
    kept = {}

    class Keeper(Sink):
        def __setitem__(self, key, value):
            kept[key.start] = value

    jxl.decode(big_stream, out=Keeper(BIG.shape, np.uint8), numthreads=numthreads)
    import gc
    gc.collect()
    np.testing.assert_array_equal(np.concatenate([kept[y] for y in sorted(kept)]), BIG)
    assert all(not band.flags.owndata and band.base is not None for band in kept.values())
