"""Hostile sources: reads that block, sources that call back into their reader,
mmaps that also have read(), pipes, sockets and short reads.

Whatever could hang runs with a timeout, in a child process or on a thread
that the test releases, so that a regression fails instead of hanging."""

import io
import mmap
import os
import socket
import threading

import numpy as np
import pytest

from conftest import LooksLarge, in_thread, join_thread, python_output
from kestrelpix.core import io as kio

CHUNK = 4194304  # the chunk size of streaming readers, and the streaming threshold
REFUSED = "jxl: JxlReader cannot be used from its own background reading thread"


@pytest.fixture(scope="module")
def big(jxl, tmp_path_factory):
    """A lossless noise stream of more than one chunk, its path and samples."""
    img = np.random.default_rng(5).integers(0, 256, (1400, 1400, 3), dtype=np.uint8)
    stream = jxl.encode(img, lossless=True, effort=1)
    assert len(stream) > CHUNK + 1_000_000
    path = tmp_path_factory.mktemp("hostile") / "big.jxl"
    path.write_bytes(stream)
    return path, stream, img


@pytest.fixture(scope="module")
def small(jxl):
    img = np.random.default_rng(6).integers(0, 256, (24, 40, 3), dtype=np.uint8)
    return jxl.encode(img, lossless=True), img


@pytest.fixture(scope="module")
def boxed(jxl, small):
    """The small image in the container format: its signature takes 12 bytes."""
    stream = jxl.encode(small[1], lossless=True, container=True)
    assert stream.startswith(b"\0\0\0\x0cJXL \r\n\x87\n")
    return stream, small[1]


@pytest.fixture(scope="module")
def movie(jxl):
    frames = np.random.default_rng(7).integers(0, 256, (4, 16, 20, 3), dtype=np.uint8)
    return jxl.encode(frames, animation=True, lossless=True), frames


class Unsized:
    """A stream with read(size) and nothing else: no fileno, tell or seek, and
    no read() without a size (reading it whole would fail). Each read returns
    at most `most` bytes; from read number `block_after` on, read blocks
    until `release` is set."""

    def __init__(self, data: bytes, most: int | None = None, block_after: int = 0) -> None:
        self.data, self.pos, self.calls = data, 0, 0
        self.most, self.block_after = most, block_after
        self.entered, self.release = threading.Event(), threading.Event()

    def read(self, size):
        self.calls += 1
        if self.block_after and self.calls >= self.block_after:
            self.entered.set()
            self.release.wait()
        size = min(size, self.most or size)
        out = self.data[self.pos:self.pos + size]
        self.pos += len(out)
        return out


@pytest.fixture
def unsized(releasing):
    """Make Unsized sources, all released at the end of the test."""
    return lambda *args, **kwargs: releasing(Unsized(*args, **kwargs))


# --- 7: a read that blocks holds up neither close() nor interpreter exit ------

def test_reader_close_does_not_wait_for_a_blocked_read(jxl, big, chunk_readers, unsized):
    src = unsized(big[1], block_after=2)  # the first chunk, then a stalled network
    reader = jxl.JxlReader(src, streaming=True)
    assert reader.frame_shape == (1400, 1400, 3)
    assert src.entered.wait(10)
    assert in_thread(reader.close) < 4
    src.release.set()
    join_thread(chunk_readers[0].thread_ident)  # the read returned; its data was dropped
    assert src.calls == 2


def test_reader_on_a_stalled_fifo_closes_and_the_thread_closes_the_file(
        jxl, big, chunk_readers, tmp_path, monkeypatch):
    class Watched:
        """The FIFO the reader opens, telling when its second read starts."""

        def __init__(self, *args) -> None:
            self.file, self.calls, self.second = open(*args), 0, threading.Event()

        def read(self, n):
            self.calls += 1
            if self.calls == 2:
                self.second.set()
            return self.file.read(n)

        def close(self) -> None:
            self.file.close()

        @property
        def closed(self) -> bool:
            return self.file.closed

    opened = []
    monkeypatch.setattr(kio, "open", lambda *a: opened.append(Watched(*a)) or opened[-1],
                        raising=False)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    stall = threading.Event()

    def write() -> None:
        with open(fifo, "wb") as f:
            f.write(big[1][:CHUNK + 1000])  # a chunk and a bit, then silence
            f.flush()
            stall.wait(60)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    try:
        reader = jxl.JxlReader(fifo, streaming=True)
        assert reader.frame_shape == (1400, 1400, 3)
        # The thread reads ahead: its second read gets the bit after the first
        # chunk, then waits for bytes that do not come.
        assert opened[0].second.wait(10)
        assert in_thread(reader.close) < 4
        assert not opened[0].closed  # never closed from under the read in progress
    finally:
        stall.set()
    writer.join(10)
    join_thread(chunk_readers[0].thread_ident)
    assert opened[0].closed  # by the reading thread, once its read returned


EXIT_CHILD = r"""
import os, sys, threading
import kestrelpix.codecs._jxl as jxl

how, data = sys.argv[1], open(sys.argv[2], "rb").read()
r, w = os.pipe()
# A chunk and a bit, then the writer keeps the pipe open and says no more.
threading.Thread(target=os.write, args=(w, data[:4194304 + 1000]), daemon=True).start()
reader = jxl.JxlReader(open(r, "rb"), streaming=True)
assert reader.frame_shape == (1400, 1400, 3)
if how == "close":
    reader.close()
    print("closed", flush=True)
elif how == "read":
    threading.Thread(target=reader.read, daemon=True).start()  # waits for data forever
print("exiting", flush=True)
"""


@pytest.mark.parametrize("how", ["close", "exit", "read"])
def test_interpreter_exit_with_a_reader_on_a_stalled_pipe(big, how):
    out = python_output(EXIT_CHILD, how, big[0], timeout=30)
    assert out.split() == (["closed"] if how == "close" else []) + ["exiting"]


# --- 8: the source's read() calling its own reader is refused, not a deadlock -

CALLBACK_CHILD = r"""
import sys, threading
import kestrelpix.codecs._jxl as jxl

call, data = sys.argv[1], open(sys.argv[2], "rb").read()
CALLS = {
    "close": lambda r: r.close(),
    "read": lambda r: r.read(),
    "next": lambda r: next(iter(r)),
    "exit": lambda r: r.__exit__(None, None, None),
    "init": lambda r: r.__init__(data),
}
box, inside, go = {}, [], threading.Event()

class Source:
    pos = 0
    def read(self, n):
        if self.pos >= 4194304:  # the second chunk: the reader is decoding meanwhile
            go.wait()
            try:
                CALLS[call](box["reader"])
            except BaseException as exc:
                inside.append(exc)
                raise
            raise AssertionError("the call from read() was not refused")
        out = data[self.pos:self.pos + n]
        self.pos += len(out)
        return out

box["reader"] = reader = jxl.JxlReader(Source(), streaming=True)
go.set()
try:
    reader.read()
    outside = None
except BaseException as exc:
    outside = exc
reader.close()
assert len(inside) == 1, inside
assert outside is inside[0], (outside, inside)
print(type(outside).__name__, outside, sep=": ")
"""


@pytest.mark.parametrize("call", ["close", "read", "next", "exit", "init"])
def test_source_calling_its_reader_from_read_is_refused(big, call):
    out = python_output(CALLBACK_CHILD, call, big[0])
    assert out.startswith(f"RuntimeError: {REFUSED}"), out


FIRST_READ_CHILD = r"""
import io, sys
import kestrelpix.codecs._jxl as jxl

data, box, inside = open(sys.argv[1], "rb").read(), {}, []

class Source(io.BytesIO):
    def read(self, n=-1):
        try:
            box["reader"].close()
        except RuntimeError as exc:
            inside.append(exc)
        return super().read(n)

class Reader(jxl.JxlReader):  # the source can reach the reader before it is made
    def __init__(self, src):
        box["reader"] = self
        super().__init__(src, streaming=True)

with Reader(Source(data)) as reader:
    frame = reader.read()
assert frame.shape == (1400, 1400, 3)
assert inside and all(str(e).startswith("jxl: JxlReader cannot be used") for e in inside)
print("refused", len(inside))
"""


def test_source_calling_its_reader_from_the_very_first_read_is_refused(big):
    # The first read must not start before the reader knows the thread to refuse.
    assert python_output(FIRST_READ_CHILD, big[0]).startswith("refused")


# --- 13: an mmap is a buffer, read in place, though it has read() too ----------

@pytest.fixture
def mapped(movie, tmp_path):
    path = tmp_path / "movie.jxl"
    path.write_bytes(movie[0])
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        yield m, movie[1]


@pytest.mark.parametrize("streaming", [False, True])
def test_mmap_decodes_in_place_again_and_again(jxl, mapped, chunk_readers, streaming):
    m, frames = mapped
    for _ in range(2):
        np.testing.assert_array_equal(jxl.decode(m, streaming=streaming), frames)
        np.testing.assert_array_equal(jxl.decode(m, index=3, streaming=streaming), frames[3])
    assert m.tell() == 0 and not chunk_readers  # never read through read()
    with jxl.JxlReader(m, streaming=streaming) as reader:
        with pytest.raises(BufferError):
            m.close()  # the reader holds the mapping's buffer: read in place
        np.testing.assert_array_equal(reader.read(), frames)
    assert m.tell() == 0


def test_mmap_frame_count_again_and_again(jxl, mapped):
    m, frames = mapped
    assert [jxl.frame_count(m) for _ in range(3)] == [4, 4, 4]
    m.seek(5)  # where a file object stands does not matter to a buffer
    assert jxl.frame_count(m) == 4
    np.testing.assert_array_equal(jxl.decode(m), frames)


# --- 16: sources of unknown size are streamed, never read whole ---------------

def test_pipe_is_streamed(jxl, small, chunk_readers):
    r, w = os.pipe()
    writer = threading.Thread(target=lambda: (os.write(w, small[0]), os.close(w)), daemon=True)
    writer.start()
    with open(r, "rb") as f:
        np.testing.assert_array_equal(jxl.decode(f, streaming=True), small[1])
    writer.join(10)
    assert len(chunk_readers) == 1


def test_socket_file_is_streamed(jxl, small, chunk_readers):
    a, b = socket.socketpair()
    with a, b:
        def send() -> None:
            b.sendall(small[0])
            b.shutdown(socket.SHUT_WR)

        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        with a.makefile("rb") as f:
            np.testing.assert_array_equal(jxl.decode(f, streaming=True), small[1])
        sender.join(10)
    assert len(chunk_readers) == 1


@pytest.mark.parametrize("count", [False, True])
def test_object_with_only_read_size_is_streamed(jxl, small, chunk_readers, unsized, count):
    # Unsized.read() without a size argument raises TypeError: it is never read whole.
    src = unsized(small[0])
    if count:
        with jxl.JxlReader(src, streaming=True) as reader:
            assert reader.frame_shape == small[1].shape
            np.testing.assert_array_equal(next(iter(reader)), small[1])
    else:
        np.testing.assert_array_equal(jxl.decode(src, streaming=True), small[1])
    assert len(chunk_readers) == 1


def test_big_unsized_stream_is_streamed_in_chunks(jxl, big, chunk_readers, unsized):
    src = unsized(big[1])
    np.testing.assert_array_equal(jxl.decode(src, streaming=True), big[2])
    assert len(chunk_readers) == 1 and src.calls >= 3  # two chunks and the end


# --- 14: a first read shorter than the signature is no reason to refuse -------
# A bare codestream's signature takes 2 bytes, a container's 12.

@pytest.mark.parametrize("fixture", ["small", "boxed"])
@pytest.mark.parametrize("most", [1, 5, 11])
def test_trickling_source_is_streamed_whole(jxl, request, chunk_readers, unsized, fixture, most):
    stream, img = request.getfixturevalue(fixture)
    src = unsized(stream, most=most)
    np.testing.assert_array_equal(jxl.decode(src, streaming=True), img)
    assert len(chunk_readers) == 1


class ShortFirstRead(LooksLarge):
    """Measures as large (streamed); its first read returns 5 bytes."""

    calls = 0

    def read(self, n=-1):
        self.calls += 1
        return super().read(5 if self.calls == 1 else n)


@pytest.mark.parametrize("fixture", ["small", "boxed"])
def test_sized_source_with_a_short_first_read(jxl, request, chunk_readers, fixture):
    stream, img = request.getfixturevalue(fixture)
    np.testing.assert_array_equal(jxl.decode(ShortFirstRead(stream), streaming=True), img)
    assert len(chunk_readers) == 1


@pytest.mark.parametrize("fixture", ["small", "boxed"])
def test_unbuffered_pipe_trickling_in(jxl, request, chunk_readers, fixture):
    stream, img = request.getfixturevalue(fixture)
    r, w = os.pipe()
    stalled = threading.Event()

    def write() -> None:
        os.write(w, stream[:5])
        stalled.wait(0.3)  # the reader's first read sees 5 bytes alone
        os.write(w, stream[5:])
        os.close(w)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    with open(r, "rb", buffering=0) as f:
        np.testing.assert_array_equal(jxl.decode(f, streaming=True), img)
    writer.join(10)
    assert len(chunk_readers) == 1


# --- one rule for what read() and write() return -------------------------------

class _Bytes(bytes):
    pass


class _Returns(io.RawIOBase):
    """A file object whose read() hands its data over as `kind` (None: it
    always returns None, as a non-blocking file with no data at hand does)."""

    def __init__(self, data: bytes, kind) -> None:
        self._data, self._kind, self._pos = data, kind, 0

    def readable(self) -> bool:
        return True

    def read(self, n=-1):
        if self._kind is None:
            return None
        end = len(self._data) if n is None or n < 0 else self._pos + n
        piece, self._pos = self._data[self._pos:end], min(end, len(self._data))
        return self._kind(piece)


READERS = {
    "probe": lambda j, f: j.probe(f)["basic_info"]["xsize"],
    "frame_count": lambda j, f: j.frame_count(f),
    "decode": lambda j, f: j.decode(f).shape,
    "decode-streaming": lambda j, f: j.decode(f, streaming=True).shape,
    "decode-index": lambda j, f: j.decode(f, index=-1).shape,
    "JxlReader": lambda j, f: j.JxlReader(f).read().shape,
}


@pytest.mark.parametrize("kind", [_Bytes, bytearray, memoryview, None],
                         ids=["bytes-subclass", "bytearray", "memoryview", "None"])
@pytest.mark.parametrize("call", list(READERS))
def test_what_read_returns_is_taken_alike_everywhere(jxl, kind, call):
    stream = jxl.encode(np.zeros((8, 8), np.uint8), container=True)
    expected = READERS[call](jxl, io.BytesIO(stream))
    if kind is None:
        with pytest.raises(TypeError, match="read\\(\\) returned NoneType, expected bytes"):
            READERS[call](jxl, _Returns(stream, kind))
    else:
        assert READERS[call](jxl, _Returns(stream, kind)) == expected


@pytest.mark.parametrize("returned", ["7", 3.0, True, b"", None])
def test_what_write_returns(jxl, returned):
    class Dest:
        data = b""

        def write(self, b):
            self.data += bytes(b)
            return returned

    img = np.zeros((8, 8), np.uint8)
    dest = Dest()
    if returned is None:  # a writer that does not count took everything
        jxl.encode(img, dest=dest)
        assert dest.data == jxl.encode(img)
    else:
        with pytest.raises(TypeError, match=f"write\\(\\) returned {type(returned).__name__}"):
            jxl.encode(img, dest=dest)


@pytest.mark.parametrize("option", ["exif", "xmp", "jumbf"])
def test_non_contiguous_metadata_is_copied(jxl, option):
    payload = {"exif": b"II*\x00\x08\x00\x00\x00" + bytes(8), "xmp": b"<x:xmpmeta/>",
               "jumbf": b"\x00\x00\x00\x0cjumdabcd"}[option]
    spread = np.zeros(2 * len(payload), np.uint8)
    spread[::2] = np.frombuffer(payload, np.uint8)
    view = memoryview(spread)[::2]
    assert not view.contiguous
    img = np.zeros((8, 8), np.uint8)
    assert jxl.encode(img, **{option: view}) == jxl.encode(img, **{option: payload})
