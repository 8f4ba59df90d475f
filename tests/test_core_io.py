import builtins
import gc
import io
import os
import threading

import pytest

from conftest import in_thread, join_thread, run_python
from kestrelpix.core import io as kio
from kestrelpix.core.io import BackgroundChunkReader

DATA = os.urandom(10_000)


def reader_threads() -> list[threading.Thread]:
    return [t for t in threading.enumerate() if t.name == "kestrelpix-chunk-reader"]


def drain(reader: BackgroundChunkReader, chunk_size: int) -> bytes:
    chunks = list(iter(reader.get, None))
    assert all(type(c) is bytes and 0 < len(c) <= chunk_size for c in chunks)
    assert reader.get() is None  # the end is sticky
    return b"".join(chunks)


class Source(io.BytesIO):
    """A file object with odd read() results, failing after `fail_after` calls."""

    def __init__(self, mode: str = "plain", fail_after: int = 10**9) -> None:
        super().__init__(DATA)
        self.mode, self.calls, self.fail_after = mode, 0, fail_after
        self.error = OSError("disk on fire")

    def read(self, n: int = -1):
        self.calls += 1
        if self.calls > self.fail_after:
            raise self.error
        if self.mode == "short":
            return bytearray(super().read(min(n, 777)))
        if self.mode == "memoryview":
            return memoryview(super().read(max(1, n // 3)))
        return super().read(3 * n if self.mode == "overlong" else n)


@pytest.fixture
def data_file(tmp_path):
    (tmp_path / "data.bin").write_bytes(DATA)
    return tmp_path / "data.bin"


@pytest.fixture
def opened(monkeypatch):
    """The files the reader opens itself."""
    files = []
    spy = lambda *a: files.append(builtins.open(*a)) or files[-1]  # noqa: E731
    monkeypatch.setattr(kio, "open", spy, raising=False)
    return files


@pytest.mark.parametrize("chunk_size", [4096, 1000, 7, 10_000, 1 << 20])
@pytest.mark.parametrize("kind", ["str", "path", "short", "memoryview", "overlong"])
def test_chunks_in_order(data_file, chunk_size, kind):
    src = {"str": str(data_file), "path": data_file}.get(kind) or Source(kind)
    with BackgroundChunkReader(src, chunk_size=chunk_size, prefetch=2) as reader:
        assert drain(reader, chunk_size) == DATA


@pytest.mark.parametrize("start", [0, 1, 4096, 9_999, 10_000])
def test_file_object_read_from_current_position(data_file, start):
    with open(data_file, "rb") as f:
        f.seek(start)
        with BackgroundChunkReader(f, chunk_size=4096) as reader:
            assert drain(reader, 4096) == DATA[start:]
        assert not f.closed


def test_empty_source_gives_none_at_once(tmp_path):
    (tmp_path / "empty").write_bytes(b"")
    for src in (tmp_path / "empty", io.BytesIO()):
        with BackgroundChunkReader(src) as reader:
            assert reader.get() is None and reader.get() is None


def test_close_while_thread_blocks_on_full_queue():
    src = Source()
    reader = BackgroundChunkReader(src, chunk_size=1, prefetch=1)
    assert reader.get() == DATA[:1]  # reading starts at the first get()
    while src.calls < 3:  # one chunk queued, the next one about to block
        threading.Event().wait(0.001)
    threading.Event().wait(0.05)
    closer = threading.Thread(target=reader.close)
    closer.start()
    closer.join(timeout=10)  # a hang guard, not a timing check
    assert not closer.is_alive() and not reader_threads() and not src.closed
    reader.close()  # idempotent
    with pytest.raises(ValueError):
        reader.get()


@pytest.mark.parametrize("fail_after", [0, 3])
def test_read_error_is_raised_in_get(fail_after):
    src = Source(fail_after=fail_after)
    with BackgroundChunkReader(src, chunk_size=100) as reader:
        assert b"".join(reader.get() for _ in range(fail_after)) == DATA[:100 * fail_after]
        for _ in range(2):  # and again on the next call
            with pytest.raises(OSError) as info:
                reader.get()
            assert info.value is src.error


def test_owned_file_closed_callers_file_left_open(data_file, opened):
    with BackgroundChunkReader(data_file, chunk_size=1, prefetch=1) as reader:
        reader.get()
    assert len(opened) == 1 and opened[0].closed
    with open(data_file, "rb") as f:
        BackgroundChunkReader(f, chunk_size=1, prefetch=1).close()
        assert not f.closed


@pytest.mark.parametrize("consume", [0, 5])
def test_dropped_reader_releases_thread_and_file(data_file, opened, consume):
    reader = BackgroundChunkReader(data_file, chunk_size=1, prefetch=1)
    for _ in range(consume):
        reader.get()
    del reader
    gc.collect()
    assert not reader_threads() and opened[0].closed


@pytest.mark.parametrize(("args", "exc"), [
    ((123,), TypeError), ((b"/tmp/x",), TypeError), ((None,), TypeError),
    ((io.BytesIO(), 0), ValueError), ((io.BytesIO(), -1), ValueError),
    ((io.BytesIO(), 1.5), ValueError), ((io.BytesIO(), True), ValueError),
    ((io.BytesIO(), 4, 0), ValueError), ((io.BytesIO(), 4, "2"), ValueError),
    (("/nonexistent/kestrelpix",), FileNotFoundError),
])
def test_bad_arguments(args, exc):
    with pytest.raises(exc):
        BackgroundChunkReader(*args)
    assert not reader_threads()


# --- full chunks (a read may return less than asked without being at the end)

class Trickle(io.BytesIO):
    """A file object whose read() returns at most `most` bytes at a time."""

    def __init__(self, data: bytes = DATA, most: int = 5) -> None:
        super().__init__(data)
        self.most = most

    def read(self, n: int = -1):
        return super().read(min(n, self.most))


@pytest.mark.parametrize("chunk_size", [7, 1000, 4096, 9_999, 10_000, 1 << 20])
@pytest.mark.parametrize("kind", ["short", "memoryview", "overlong", "trickle"])
def test_chunks_are_full_however_little_each_read_returns(chunk_size, kind):
    src = Trickle() if kind == "trickle" else Source(kind)
    with BackgroundChunkReader(src, chunk_size=chunk_size, prefetch=2) as reader:
        chunks = list(iter(reader.get, None))
    assert b"".join(chunks) == DATA
    assert all(len(c) == chunk_size for c in chunks[:-1]) and 0 < len(chunks[-1]) <= chunk_size


def test_first_chunk_holds_the_signature_from_a_trickling_pipe():
    # An unbuffered pipe returns what has arrived: 5 bytes, then the rest.
    r, w = os.pipe()
    later = threading.Event()

    def write() -> None:
        with open(w, "wb", buffering=0) as f:
            f.write(DATA[:5])
            later.wait(0.2)
            f.write(DATA[5:])

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    with open(r, "rb", buffering=0) as f, BackgroundChunkReader(f, chunk_size=4096) as reader:
        first = reader.get()
        assert first == DATA[:4096]
        assert drain(reader, 4096) == DATA[4096:]
    writer.join(10)


# --- nothing is read before the first get(): its owner can first learn the
# thread's identity, to refuse calls that the source's read() makes on it

def test_reading_starts_at_the_first_get():
    src = Source()
    with BackgroundChunkReader(src, chunk_size=100) as reader:
        assert reader.thread_ident in {t.ident for t in reader_threads()}
        threading.Event().wait(0.1)
        assert src.calls == 0
        assert reader.get() == DATA[:100] and src.calls >= 1


def test_close_before_any_get_ends_the_thread(data_file, opened):
    reader = BackgroundChunkReader(data_file)
    assert in_thread(reader.close) < 4
    assert not reader_threads() and opened[0].closed


# --- closing never waits long for a read that blocks (network, FUSE, pipes)

class Blocking(io.BytesIO):
    """Reads normally `free` times, then every read blocks until `release`."""

    def __init__(self, data: bytes = DATA, free: int = 1) -> None:
        super().__init__(data)
        self.free, self.calls, self.closed_by = free, 0, None
        self.entered, self.release = threading.Event(), threading.Event()

    def read(self, n: int = -1):
        self.calls += 1
        if self.calls > self.free:
            self.entered.set()
            self.release.wait()
        return super().read(n)

    def close(self) -> None:
        self.closed_by = threading.get_ident()
        super().close()


@pytest.fixture
def blocking(releasing):
    """Make Blocking sources, all released at the end of the test."""
    return lambda *args, **kwargs: releasing(Blocking(*args, **kwargs))


def test_close_does_not_wait_for_a_blocked_read(blocking):
    src = blocking(free=1)
    reader = BackgroundChunkReader(src, chunk_size=100)
    assert reader.get() == DATA[:100]
    assert src.entered.wait(10)  # reading ahead, stuck in read()
    assert in_thread(reader.close) < 4
    assert reader.closed and not src.closed
    with pytest.raises(ValueError):
        reader.get()
    src.release.set()  # the read returns at last; its data goes nowhere
    join_thread(reader.thread_ident)
    assert src.calls == 2 and not src.closed


def test_owned_file_is_closed_by_the_thread_when_its_blocked_read_returns(
        data_file, monkeypatch, blocking):
    files: list[Blocking] = []
    monkeypatch.setattr(kio, "open", lambda path, mode: files.append(
        blocking(open(path, mode).read(), free=1)) or files[-1], raising=False)
    reader = BackgroundChunkReader(data_file, chunk_size=100)
    assert reader.get() == DATA[:100]
    assert files[0].entered.wait(10)
    assert in_thread(reader.close) < 4
    assert not files[0].closed  # not from under the read in progress
    files[0].release.set()
    join_thread(reader.thread_ident)
    assert files[0].closed and files[0].closed_by == reader.thread_ident


def test_dropped_reader_does_not_wait_for_a_blocked_read(blocking):
    src = blocking(free=1)
    box = [BackgroundChunkReader(src, chunk_size=100)]
    ident = box[0].thread_ident
    assert box[0].get() == DATA[:100]
    assert src.entered.wait(10)
    # Dropping the last reference runs the finalizer at once, on that thread.
    assert in_thread(box.clear) < 4
    src.release.set()
    join_thread(ident)


EXIT_CHILD = r"""
import os, sys
from kestrelpix.core.io import BackgroundChunkReader

how, kind = sys.argv[1], sys.argv[2]
if kind == "pipe":
    r, w = os.pipe()
    src = open(r, "rb")
else:  # a FIFO the reader opens itself, with a writer that never writes more
    path = os.path.join(sys.argv[3], "fifo")
    os.mkfifo(path)
    w = os.open(path, os.O_RDWR)
    src = path
os.write(w, b"x" * 100)
reader = BackgroundChunkReader(src, chunk_size=100)
assert reader.get() == b"x" * 100
# The thread is now reading ahead, blocked: nothing more comes.
if how == "close":
    reader.close()
    print("closed", flush=True)
print("exiting", flush=True)
"""


@pytest.mark.parametrize("kind", ["pipe", "fifo path"])
@pytest.mark.parametrize("how", ["close", "exit"])
def test_interpreter_exit_does_not_wait_for_a_blocked_read(tmp_path, how, kind):
    done = run_python(EXIT_CHILD, how, kind.split()[0], tmp_path, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == (["closed"] if how == "close" else []) + ["exiting"]
