"""Background file reading for streaming decodes.

A `BackgroundChunkReader` reads a file on a thread of its own while the
decoder works, so that disk latency overlaps decoding.
"""

from __future__ import annotations

import os
import queue
import threading
import weakref
from types import TracebackType
from typing import BinaryIO, Final

__all__ = ["BackgroundChunkReader"]

DEFAULT_CHUNK_SIZE: Final = 4194304
_PUT_POLL_SECONDS: Final = 0.1


class _Failure:
    """Carries an exception raised by ``read`` from the thread to `get`."""

    __slots__ = ("exc",)

    def __init__(self, exc: BaseException) -> None:
        self.exc = exc


# The queue holds bytes chunks, then either None (end of data) or a _Failure.
_Item = bytes | _Failure | None


def _as_bytes(data: object) -> bytes:
    if type(data) is bytes:
        return data
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"read() returned {type(data).__name__}, expected bytes")


def _offer(chunks: queue.Queue[_Item], item: _Item, stop: threading.Event) -> bool:
    """Put `item` unless the reader stops first; return whether it was put."""
    # close() drains the queue, which wakes a blocked put at once; the timeout
    # only bounds the wait when nobody drains (a finalizer run on this thread).
    while not stop.is_set():
        try:
            chunks.put(item, timeout=_PUT_POLL_SECONDS)
            return True
        except queue.Full:
            continue
    return False


def _pump(
    file: BinaryIO,
    owned: bool,
    chunk_size: int,
    chunks: queue.Queue[_Item],
    stop: threading.Event,
) -> None:
    """Body of the reading thread.

    It gets no reference to the reader object, so that a reader nobody closes
    can still be collected (and its finalizer stop this thread).
    """
    last: _Item = None
    try:
        while not stop.is_set():
            data = _as_bytes(file.read(chunk_size))
            if not data:
                break
            # A read may return less than asked (that is not the end) or, from
            # a careless file object, more: split it to honour chunk_size.
            for start in range(0, len(data), chunk_size):
                piece = data if len(data) <= chunk_size else data[start:start + chunk_size]
                if not _offer(chunks, piece, stop):
                    return
    except BaseException as exc:  # noqa: BLE001 - handed over to the consumer
        last = _Failure(exc)
    finally:
        if owned:
            file.close()
    _offer(chunks, last, stop)


def _shutdown(
    thread: threading.Thread, chunks: queue.Queue[_Item], stop: threading.Event
) -> None:
    """Stop and join the reading thread; shared by close() and the finalizer."""
    stop.set()
    # A garbage collection run on the reading thread itself may finalize the
    # reader, maybe while that thread holds the queue's lock: it cannot drain
    # nor join itself, but it will see `stop` and end.
    if thread is threading.current_thread():
        return
    # Emptying the queue wakes a thread blocked in put(), which then sees `stop`.
    while True:
        try:
            chunks.get_nowait()
        except queue.Empty:
            break
    thread.join()


class BackgroundChunkReader:
    """Read a binary source in chunks, ahead of demand, on a daemon thread.

    `src` is a path (``str`` or ``os.PathLike``), opened by the reader and read
    from its start, or a readable binary file object, read from its current
    position and never closed by the reader. At most `prefetch` chunks of at
    most `chunk_size` bytes wait in the queue. Non-blocking file objects
    (whose ``read`` may return None) are not supported.

    A reader that is never closed stops its thread and closes the file it
    opened when it is garbage-collected.
    """

    def __init__(
        self,
        src: str | os.PathLike[str] | BinaryIO,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        prefetch: int = 4,
    ) -> None:
        _check_positive("chunk_size", chunk_size)
        _check_positive("prefetch", prefetch)
        if isinstance(src, (str, os.PathLike)):
            file: BinaryIO = open(src, "rb")
            owned = True
        elif callable(getattr(src, "read", None)):
            file, owned = src, False
        else:
            raise TypeError(
                f"src must be a path or a readable binary file object, not {type(src).__name__}"
            )
        self._chunks: queue.Queue[_Item] = queue.Queue(maxsize=prefetch)
        self._error: BaseException | None = None
        self._traceback: TracebackType | None = None
        self._exhausted = False
        stop = threading.Event()
        thread = threading.Thread(
            target=_pump,
            args=(file, owned, chunk_size, self._chunks, stop),
            name="kestrelpix-chunk-reader",
            daemon=True,
        )
        try:
            thread.start()
        except BaseException:
            if owned:
                file.close()
            raise
        self._finalizer = weakref.finalize(self, _shutdown, thread, self._chunks, stop)
        self._thread_ident = thread.ident

    @property
    def thread_ident(self) -> int | None:
        """The identifier of the reading thread (as `threading.get_ident` gives it)."""
        return self._thread_ident

    @property
    def closed(self) -> bool:
        """Whether the reader has been closed."""
        return not self._finalizer.alive

    def get(self) -> bytes | None:
        """Return the next chunk, or None at the end of the source.

        Waits for the thread if no chunk is ready. An exception raised by the
        source's ``read`` is re-raised here, the same object, and again on
        every later call; after the end, every call returns None.
        """
        if self.closed:
            raise ValueError("get() on a closed BackgroundChunkReader")
        if self._error is not None:
            raise self._error.with_traceback(self._traceback)
        if self._exhausted:
            return None
        item = self._chunks.get()
        if isinstance(item, _Failure):
            self._error, self._traceback = item.exc, item.exc.__traceback__
            raise item.exc
        if item is None:
            self._exhausted = True
        return item

    def close(self) -> None:
        """Stop the thread and close the file if the reader opened it; idempotent.

        Unread chunks are discarded. A ``read`` already in progress on the
        thread is waited for.
        """
        self._finalizer()

    def __enter__(self) -> BackgroundChunkReader:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


def _check_positive(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"{name} must be a positive int, got {value!r}")
