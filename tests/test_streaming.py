"""Streaming decodes: the background chunk reader feeding libjxl piece by piece."""

import gc
import io

import numpy as np
import pytest

from conftest import cjxl, sample_image, write_pnm
from kestrelpix.core import io as kio
from kestrelpix.core.errors import JxlError

THRESHOLD = 4194304  # sources strictly larger than this are streamed
TRUNCATED = (r"^(jxl: empty refill \(truncated\?\)"
             r"|jxl: NEED_MORE_INPUT after EOF \(truncated stream\?\)"
             r"|JxlDecoderProcessInput returned JXL_DEC_ERROR)$")


@pytest.fixture(scope="module")
def big_stream(tmp_path_factory, have_tools):
    """A lossless stream of about 17 MB (several chunks), its path and samples."""
    tmp = tmp_path_factory.mktemp("big")
    img = sample_image(1600, 1600, 3, maxval=65535)
    path = tmp / "big.jxl"
    stream = cjxl(write_pnm(tmp / "big.ppm", img), path, "-d", "0", "-e", "1")
    assert len(stream) > 2 * THRESHOLD
    return path, stream, img


@pytest.fixture(scope="module")
def container_rgb(tmp_path_factory, lossless_rgb):
    tmp = tmp_path_factory.mktemp("container")
    img = lossless_rgb[1]
    stream = cjxl(write_pnm(tmp / "in.ppm", img), tmp / "out.jxl", "-d", "0", "-e", "1",
                  "--container=1")
    assert stream.startswith(b"\0\0\0\x0cJXL ")
    return stream, img


class SizedSource:
    """A file object claiming `size` bytes; only the substituted chunk reader reads."""

    def __init__(self, size=THRESHOLD + 1):
        self.size, self.pos = size, 0

    def read(self, *args):
        raise AssertionError("a streamed source must not be read whole")

    def tell(self):
        return self.pos

    def seek(self, offset, whence=0):
        self.pos = self.size if whence == 2 else offset
        return self.pos


@pytest.fixture
def chunks(monkeypatch):
    """Substitute the chunk reader: install(items, on_get=..., close_exc=...)."""
    made = []

    def install(items, on_get=None, close_exc=None):
        class FakeChunkReader:
            def __init__(self, src, *, chunk_size, prefetch):
                self.items, self.calls, self.closes, self.ended = iter(items), 0, 0, False
                made.append(self)

            def get(self):
                assert not self.ended, "get() called again after the end"
                self.calls += 1
                chunk = on_get(self) if on_get is not None else None
                if chunk is None:
                    chunk = next(self.items, None)
                self.ended = chunk is None
                return chunk

            def close(self):
                self.closes += 1
                if close_exc is not None:
                    raise close_exc

        monkeypatch.setattr(kio, "BackgroundChunkReader", FakeChunkReader)
        return made

    return install


def cut(data, *sizes, rest=1):
    """`data` in chunks of the given sizes, then of `rest` bytes each."""
    out, pos = [], 0
    for size in sizes:
        out.append(data[pos:pos + size])
        pos += size
    out += [data[i:i + rest] for i in range(pos, len(data), rest)]
    return out


@pytest.mark.parametrize("kind", ["path", "file object after junk"])
def test_streaming_matches_buffered(jxl, big_stream, chunk_readers, kind):
    path, stream, img = big_stream
    if kind == "path":
        src = path
    else:
        src = io.BytesIO(b"junk" * 7 + stream)  # no usable fileno: measured by tell/seek
        src.seek(28)
    streamed = jxl.decode(src, streaming=True)
    assert [r.options for r in chunk_readers] == [{"chunk_size": THRESHOLD, "prefetch": 4}]
    if kind != "path":
        assert chunk_readers[0].start == 28  # the position is restored after measuring
    np.testing.assert_array_equal(streamed, jxl.decode(stream))
    np.testing.assert_array_equal(streamed, img)


@pytest.mark.parametrize("size, streamed", [(THRESHOLD, False), (THRESHOLD + 1, True)])
def test_streaming_threshold(jxl, lossless_rgb, tmp_path, chunk_readers, size, streamed):
    stream, img = lossless_rgb
    path = tmp_path / "padded.jxl"
    path.write_bytes(stream + bytes(size - len(stream)))  # libjxl ignores bytes past the end
    np.testing.assert_array_equal(jxl.decode(path, streaming=True), img)
    assert len(chunk_readers) == streamed


@pytest.mark.parametrize("fixture, sizes, rest", [
    ("lossless_rgb", (2,), 1),          # refills inside the header
    ("lossless_rgb", (), 300),          # refills inside the frame
    # Chunks ending inside box headers: libjxl hands the partial header back
    # and it must move to the front (the leftover differs from what is there).
    ("container_rgb", (17, 20), 1),
    ("container_rgb", (36, 3), 1),
    ("lossless_animation", (), 97),     # refills across frames
])
def test_tiny_chunks_decode_exactly(jxl, chunks, request, fixture, sizes, rest):
    stream, expected = request.getfixturevalue(fixture)
    made = chunks(cut(stream, *sizes, rest=rest))
    with jxl.JxlReader(SizedSource(), streaming=True) as reader:
        if sizes == (2,):
            assert made[0].calls > 1
        np.testing.assert_array_equal(reader.read(), expected)
        buffered = jxl.JxlReader(stream)
        assert (reader.basic_info, reader.color, reader.icc_profile) == (
            buffered.basic_info, buffered.color, buffered.icc_profile)


@pytest.mark.parametrize("fixture, end, sizes, rest", [
    ("lossless_rgb", 4, (2,), 1),        # inside the header
    ("lossless_rgb", 1500, (), 300),     # inside the frame
    ("lossless_rgb", -1, (), 4096),      # one byte short, in one chunk
    # Inside a box header: the leftover is handed back with the input closed.
    ("container_rgb", 36, (15, 35), 1),
    ("container_rgb", -3, (15, 35), 1),
])
def test_source_ending_early(jxl, chunks, request, fixture, end, sizes, rest):
    stream = request.getfixturevalue(fixture)[0]
    chunks(cut(stream[:end], *sizes, rest=rest))
    with pytest.raises(jxl.JxlError, match=TRUNCATED):
        jxl.decode(SizedSource(), streaming=True)


@pytest.mark.parametrize("bad", ["text", bytearray(b"\xff\x0a"), type("Sub", (bytes,), {})(b"x")])
@pytest.mark.parametrize("position", ["first", "later"])
def test_chunk_of_wrong_type(jxl, chunks, lossless_rgb, bad, position):
    chunks([bad] if position == "first" else [lossless_rgb[0][:300], bad])
    with pytest.raises(TypeError, match=f"^Expected bytes, got {type(bad).__name__}$"):
        jxl.decode(SizedSource(), streaming=True)


@pytest.mark.parametrize("first, exc, message", [
    (b"", ValueError, "jxl: empty input"),
    (None, ValueError, "jxl: empty input"),
    (b"GIF89a, not a JPEG XL stream", ValueError, "jxl: not a JPEG XL stream"),
])
def test_bad_first_chunk(jxl, chunks, first, exc, message):
    chunks([first])
    with pytest.raises(exc, match=f"^{message}$"):
        jxl.JxlReader(SizedSource(), streaming=True)


@pytest.mark.parametrize("fixture, splits", [
    ("lossless_rgb", ()),
    ("lossless_rgb", (300,)),
    # Ending inside box headers: the tail libjxl hands back sits in a chunk,
    # then in the buffer, which must grow (and move) to take the big chunk.
    ("container_rgb", (17,)),
    ("container_rgb", (17, 19)),
])
def test_oversized_chunks_grow_the_buffer(jxl, chunks, request, fixture, splits):
    # A chunk reader breaking its size contract, first chunk or a later one.
    stream, img = request.getfixturevalue(fixture)
    padded = stream + bytes(9 << 20)
    bounds = [0, *splits, len(padded)]
    chunks([padded[a:b] for a, b in zip(bounds, bounds[1:])])
    np.testing.assert_array_equal(jxl.decode(SizedSource(), streaming=True), img)


@pytest.mark.parametrize("third, exc, message", [
    (OSError("disk on fire"), OSError, "disk on fire"),
    (b"", JxlError, r"^jxl: empty refill \(truncated\?\)$"),
    ("text", TypeError, "^Expected bytes, got str$"),
])
def test_failed_refill_inside_a_frame_is_final(jxl, chunks, lossless_rgb, third, exc, message):
    # The decoder has already been given the frame's output array; going on
    # later would decode into an array that is gone.
    def third_get(fake):
        if fake.calls == 3:
            if isinstance(third, BaseException):
                raise third
            return third
        return None

    chunks(cut(lossless_rgb[0], rest=300), on_get=third_get)
    reader = jxl.JxlReader(SizedSource(), streaming=True)
    frames = iter(reader)
    with pytest.raises(exc, match=message):
        next(frames)
    with pytest.raises(StopIteration):
        next(frames)
    for _ in range(2):
        with pytest.raises(jxl.JxlError):
            reader.read()
    reader.close()


def test_get_closing_the_reader_is_refused(jxl, chunks, lossless_rgb):
    box = {}

    def close_reader(fake):
        if fake.calls == 3:
            box["reader"].close()

    made = chunks(cut(lossless_rgb[0], rest=300), on_get=close_reader)
    box["reader"] = reader = jxl.JxlReader(SizedSource(), streaming=True)
    with pytest.raises(RuntimeError):
        reader.read()
    assert reader.close() is None
    assert made[0].closes == 1
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(iter(reader))


def test_chunk_reader_close_raising_exception(jxl, chunks, lossless_rgb):
    made = chunks([lossless_rgb[0]], close_exc=ValueError("ignored"))
    reader = jxl.JxlReader(SizedSource(), streaming=True)
    assert reader.close() is None
    assert reader.close() is None
    assert made[0].closes == 1
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(iter(reader))


def test_chunk_reader_close_raising_keyboard_interrupt(jxl, chunks, lossless_rgb):
    made = chunks([lossless_rgb[0]], close_exc=KeyboardInterrupt())
    reader = jxl.JxlReader(SizedSource(), streaming=True)
    for closes in (1, 2):
        with pytest.raises(KeyboardInterrupt):
            reader.close()
        assert made[0].closes == closes
    with pytest.raises(RuntimeError):
        reader.read()
    made[0].close = lambda: None  # the next attempt completes the release
    assert reader.close() is None
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(iter(reader))


def test_dropping_an_open_reader_does_not_close_the_chunk_reader(jxl, chunks, lossless_rgb):
    made = chunks([lossless_rgb[0]])
    reader = jxl.JxlReader(SizedSource(), streaming=True)
    del reader
    gc.collect()
    assert made[0].closes == 0
