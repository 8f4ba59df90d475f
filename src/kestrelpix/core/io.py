"""Background file reading for streaming decodes.

A `BackgroundChunkReader` reads a file on a thread of its own while the
decoder works, so that disk latency overlaps decoding.

Closing never waits long for that thread: a source whose ``read`` blocks (a
pipe nobody writes to, a stalled network or FUSE file system) must not hold
up `BackgroundChunkReader.close` or interpreter exit. After a short bounded
wait the thread is left to finish its ``read`` on its own; whatever that read
returns is discarded.
"""

from __future__ import annotations

import os
import queue
import threading
import weakref
from collections.abc import Iterator
from types import TracebackType
from typing import BinaryIO, Final

__all__ = ["BackgroundChunkReader"]

DEFAULT_CHUNK_SIZE: Final = 4194304
_PUT_POLL_SECONDS: Final = 0.1
# How long closing waits for the reading thread to end (a read in progress
# cannot be interrupted; it finishes later, unwaited for).
_JOIN_TIMEOUT_SECONDS: Final = 1.0


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


# What an eager chunk holds at least: a stream's signature and then some.
EAGER_MINIMUM = 16


def _read_chunks(
    file: BinaryIO, chunk_size: int, stop: threading.Event, eager: threading.Event
) -> Iterator[bytes]:
    """Yield the source's bytes in chunks of exactly `chunk_size` bytes, the
    last one possibly shorter (never empty); stop early once `stop` is set.

    A ``read`` may return less than asked without being at the end (a pipe, a
    socket, a raw file): reading goes on until the chunk is full or ``read``
    returns no bytes, so that the first chunk holds at least the stream's
    signature. A careless ``read`` returning more than asked is split up.
    While `eager` is set, what the reads returned is handed on as soon as it
    holds EAGER_MINIMUM bytes, however short of a chunk.
    """
    parts: list[bytes] = []
    have = 0  # bytes in `parts`, always fewer than chunk_size between reads
    while not stop.is_set():
        data = _as_bytes(file.read(chunk_size - have))
        if not data:
            break
        if not parts and len(data) == chunk_size:
            yield data  # the usual case: one read, one chunk, no copy
            continue
        parts.append(data)
        have += len(data)
        if have < chunk_size:
            if eager.is_set() and have >= EAGER_MINIMUM:
                yield b"".join(parts)
                parts, have = [], 0
            continue
        joined = b"".join(parts)
        full = len(joined) - len(joined) % chunk_size
        for start in range(0, full, chunk_size):
            yield joined[start:start + chunk_size]
        parts = [joined[full:]] if full < len(joined) else []
        have = len(joined) - full
    else:
        return  # stopped: a partial chunk is of no use to anyone
    if parts:
        yield b"".join(parts)


def _pump(
    file: BinaryIO,
    owned: bool,
    chunk_size: int,
    chunks: queue.Queue[_Item],
    stop: threading.Event,
    wanted: threading.Event,
    eager: threading.Event,
) -> None:
    """Body of the reading thread.

    It gets no reference to the reader object, so that a reader nobody closes
    can still be collected (and its finalizer stop this thread). It closes a
    file it owns itself, when its last ``read`` returns: closing that file
    from another thread while a read blocks in it is not safe.

    It reads nothing before `wanted` is set (by the first get() or by the
    shutdown): until then whoever drives the reader can learn the thread's
    identity and refuse calls from the source's ``read`` on this thread.
    """
    last: _Item = None
    try:
        wanted.wait()
        for piece in _read_chunks(file, chunk_size, stop, eager):
            if not _offer(chunks, piece, stop):
                return
    except BaseException as exc:  # noqa: BLE001 - handed over to the consumer
        last = _Failure(exc)
    finally:
        if owned:
            file.close()
    _offer(chunks, last, stop)


def _shutdown(
    thread: threading.Thread,
    chunks: queue.Queue[_Item],
    stop: threading.Event,
    wanted: threading.Event,
) -> None:
    """Stop the reading thread and wait a little for it to end; shared by
    close() and the finalizer (which also runs at interpreter exit).

    The wait is bounded: a thread blocked in the source's ``read`` cannot be
    interrupted, so it is left to end on its own once that read returns (it
    then discards the data, closes a file it owns and ends).
    """
    stop.set()
    wanted.set()  # a thread that never started reading ends now
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
    thread.join(_JOIN_TIMEOUT_SECONDS)


class BackgroundChunkReader:
    """Read a binary source in chunks, ahead of demand, on a daemon thread.

    `src` is a path (``str`` or ``os.PathLike``), opened by the reader and read
    from its start, or a readable binary file object, read from its current
    position and never closed by the reader. Reading starts at the first
    `get` (not before: see `thread_ident`) and then runs ahead of it. At most
    `prefetch` chunks of at most `chunk_size` bytes wait in the queue; every
    chunk but the last holds exactly `chunk_size` bytes (unless `eager`: see
    `eager()`), however little each ``read`` returns (the source is read until the chunk is full or ``read``
    returns no bytes). Non-blocking file objects (whose ``read`` may return
    None) are not supported.

    A reader that is never closed stops its thread when it is
    garbage-collected or the interpreter exits. Neither that nor `close`
    waits more than about a second for a ``read`` in progress: if the source
    blocks, the thread is left behind until that read returns, and the file
    the reader opened is closed by the thread then. A caller's buffered file
    stays locked by that read meanwhile: closing it waits, and CPython aborts
    if it must close it at exit (``sys.stdin.buffer``, say, once ``sys.stdin``
    is torn down: "could not acquire lock ... possibly due to daemon
    threads").
    """

    def __init__(
        self,
        src: str | os.PathLike[str] | BinaryIO,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        prefetch: int = 4,
        eager: bool = False,
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
        self._started = False
        stop = threading.Event()
        self._wanted = threading.Event()
        self._eager = threading.Event()
        if eager:
            self._eager.set()
        thread = threading.Thread(
            target=_pump,
            args=(file, owned, chunk_size, self._chunks, stop, self._wanted, self._eager),
            name="kestrelpix-chunk-reader",
            daemon=True,
        )
        try:
            thread.start()
        except BaseException:
            if owned:
                file.close()
            raise
        self._finalizer = weakref.finalize(
            self, _shutdown, thread, self._chunks, stop, self._wanted
        )
        self._thread_ident = thread.ident

    @property
    def thread_ident(self) -> int | None:
        """The identifier of the reading thread (as `threading.get_ident` gives it).

        The source's ``read`` runs on that thread, and only once `get` has
        been called: an owner that must refuse calls from inside ``read``
        (they could wait for the owner, which waits for the data) can look
        the identifier up between construction and the first `get`.
        """
        return self._thread_ident

    def eager(self, on: bool = True) -> None:
        """Hand on what each ``read`` returns (at least EAGER_MINIMUM bytes)
        rather than full chunks, from the next chunk the thread makes on;
        ``eager(False)`` goes back to full chunks. Chunks already waiting
        stay as they are."""
        if on:
            self._eager.set()
        else:
            self._eager.clear()

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
        if not self._started:
            self._started = True
            self._wanted.set()
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
        thread is waited for about a second at most: should it block longer,
        close returns anyway and the thread ends when the read returns,
        discarding its data (and closing the file if the reader opened it).
        Until then a caller's file object may still be in that ``read``.
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
