import builtins
import gc
import io
import os
import threading

import pytest

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
    while src.calls < 2:  # one chunk queued, the next one about to block
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
