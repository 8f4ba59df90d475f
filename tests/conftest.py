"""Shared fixtures and helpers: sample images and chunks, the reference tools
cjxl/djxl/jxlinfo and the Netpbm/PFM files they read and write, child
interpreters, threads, and stand-ins for the background chunk reader."""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterable
from pathlib import Path

import numpy as np
import pytest

# The reference tools and test data of the libjxl in use: linked into the venv
# by the bootstrap when libjxl lives in a private prefix, else the system's.
os.environ["PATH"] = os.pathsep.join([str(Path(sys.executable).parent),
                                      os.environ.get("PATH", "")])
os.environ["PKG_CONFIG_PATH"] = os.pathsep.join(
    p for p in (str(Path(sys.prefix, "lib", "pkgconfig")), os.environ.get("PKG_CONFIG_PATH"))
    if p)


def libjxl_include_dir() -> Path:
    """Where the headers of the libjxl in use are: pkg-config's answer, else
    the venv's include directory (where a machine without pkg-config, such as
    the bare roots that test the wheels, links them), else the system's."""
    try:
        out = subprocess.run(["pkg-config", "--variable=includedir", "libjxl"],
                             capture_output=True, text=True).stdout.strip()
    except FileNotFoundError:
        out = ""
    if out:
        return Path(out)
    venv = Path(sys.prefix, "include")
    return venv if (venv / "jxl").is_dir() else Path("/usr/include")
# `make test-wheel` and `make check-wheel` run this suite against an installed
# wheel: it must be what is imported, never the source tree beside the tests.
if os.environ.get("KESTRELPIX_EXPECT_INSTALLED"):
    import kestrelpix

    _source_tree = Path(__file__).resolve().parent.parent / "src"
    _installed = Path(kestrelpix.__file__).resolve()
    if _source_tree in _installed.parents or Path(sys.prefix).resolve() not in _installed.parents:
        raise RuntimeError(f"kestrelpix was imported from {_installed}, not from the "
                           f"installed wheel in {sys.prefix}")


def pytest_report_header(config) -> str:
    import kestrelpix
    return f"kestrelpix: {Path(kestrelpix.__file__).parent}"


TESTDATA = next((p for p in (Path(sys.prefix, "share", "libjxl-testdata"),
                             Path("/usr/share/libjxl-testdata")) if p.is_dir()),
                Path("/usr/share/libjxl-testdata"))


# --- Netpbm (PGM/PPM/PAM) and PFM files ------------------------------------

_PAM_TUPLTYPES = {1: "GRAYSCALE", 2: "GRAYSCALE_ALPHA", 3: "RGB", 4: "RGB_ALPHA"}


def write_pnm(path: Path, arr: np.ndarray, maxval: int | None = None) -> Path:
    """Write a (Y, X) or (Y, X, C) integer array as PGM, PPM or PAM.

    The extension of `path` picks the flavour; samples above 255 are stored
    big-endian in two bytes, as Netpbm requires."""
    arr = np.asarray(arr)
    if maxval is None:
        maxval = 255 if arr.dtype == np.uint8 else 65535
    ysize, xsize = arr.shape[:2]
    channels = 1 if arr.ndim == 2 else arr.shape[2]
    body = arr.astype(">u2" if maxval > 255 else "u1").tobytes()
    suffix = Path(path).suffix.lower()
    if suffix == ".pam":
        header = (f"P7\nWIDTH {xsize}\nHEIGHT {ysize}\nDEPTH {channels}\n"
                  f"MAXVAL {maxval}\nTUPLTYPE {_PAM_TUPLTYPES[channels]}\nENDHDR\n")
    else:
        magic = {1: "P5", 3: "P6"}[channels]
        header = f"{magic}\n{xsize} {ysize}\n{maxval}\n"
    Path(path).write_bytes(header.encode() + body)
    return Path(path)


def _tokens(data: bytes, count: int, pos: int) -> tuple[list[bytes], int]:
    out: list[bytes] = []
    while len(out) < count:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        out.append(data[pos:end])
        pos = end
    return out, pos + 1


def read_pnm(path: Path) -> tuple[np.ndarray, int]:
    """Read a PGM, PPM or PAM file: (array, maxval); grey comes back 2-D."""
    data = Path(path).read_bytes()
    if data.startswith(b"P7"):
        head_end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
        fields = dict(line.split(None, 1) for line in data[3:head_end].decode().splitlines()
                      if line and not line.startswith(("#", "ENDHDR")))
        xsize, ysize = int(fields["WIDTH"]), int(fields["HEIGHT"])
        channels, maxval = int(fields["DEPTH"]), int(fields["MAXVAL"])
        pos = head_end
    else:
        channels = {b"P5": 1, b"P6": 3}[data[:2]]
        (x, y, m), pos = _tokens(data, 3, 2)
        xsize, ysize, maxval = int(x), int(y), int(m)
    dtype = np.dtype(">u2" if maxval > 255 else "u1")
    count = xsize * ysize * channels
    arr = np.frombuffer(data, dtype, count, pos).reshape(ysize, xsize, channels)
    arr = arr.astype(np.uint16 if maxval > 255 else np.uint8)
    return (arr[:, :, 0] if channels == 1 else arr), maxval


def write_pfm(path: Path, arr: np.ndarray) -> Path:
    """Write a float (Y, X) or (Y, X, 3) array as little-endian PFM."""
    arr = np.asarray(arr, dtype="<f4")
    ysize, xsize = arr.shape[:2]
    magic = "Pf" if arr.ndim == 2 else "PF"
    # PFM stores rows bottom to top.
    Path(path).write_bytes(f"{magic}\n{xsize} {ysize}\n-1.0\n".encode()
                           + arr[::-1].tobytes())
    return Path(path)


def read_pfm(path: Path) -> np.ndarray:
    data = Path(path).read_bytes()
    (magic, x, y, scale), pos = _tokens(data, 4, 0)
    channels = 3 if magic == b"PF" else 1
    dtype = "<f4" if float(scale) < 0 else ">f4"
    xsize, ysize = int(x), int(y)
    arr = np.frombuffer(data, dtype, xsize * ysize * channels, pos)
    arr = arr.reshape(ysize, xsize, channels)[::-1].astype(np.float32)
    return arr[:, :, 0] if channels == 1 else np.ascontiguousarray(arr)


# --- reference tools --------------------------------------------------------

def run_tool(*args: str | Path) -> str:
    """Run a reference tool, failing on a non-zero exit; its output."""
    return subprocess.run([str(a) for a in args], check=True, capture_output=True,
                          text=True).stdout


def cjxl(src: Path, out: Path, *options: str) -> bytes:
    """Encode `src` with the reference encoder and return the stream."""
    run_tool("cjxl", src, out, *options)
    return Path(out).read_bytes()


def djxl(stream: bytes, tmp_path: Path, suffix: str, *options: str) -> Path:
    """Decode `stream` with the reference decoder into a file of `suffix`."""
    src = tmp_path / "djxl_in.jxl"
    src.write_bytes(stream)
    out = tmp_path / f"djxl_out{suffix}"
    run_tool("djxl", src, out, *options)
    return out


def djxl_frames(stream: bytes, tmp_path: Path, suffix: str = ".pnm", *options: str,
                no_warnings: bool = False) -> list[np.ndarray]:
    """Every frame of `stream` as djxl decodes it (--output_frames), in
    order: PNM files read as integers (grey 2-D), ".pfm" as float32."""
    src = tmp_path / "djxl_in.jxl"
    src.write_bytes(stream)
    for old in tmp_path.glob("djxl_out*"):
        old.unlink()
    out = tmp_path / f"djxl_out{suffix}"
    done = subprocess.run(["djxl", str(src), str(out), "--output_frames", *options],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    if no_warnings:
        assert "warning" not in done.stderr.lower(), done.stderr
    files = sorted(tmp_path.glob(f"djxl_out{suffix}-*{suffix}"),
                   key=lambda p: int(p.stem.split("-")[-1])) or [out]
    return [read_pfm(f) if suffix == ".pfm" else read_pnm(f)[0] for f in files]


# --- child interpreters -----------------------------------------------------

def run_python(code: str, *args: object, timeout: float = 120, cwd: Path | None = None,
               env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Run `code` in a fresh interpreter of this venv with `args` as
    sys.argv[1:] (and `env` over this process's environment); a child that
    hangs past `timeout` fails the test."""
    try:
        return subprocess.run([sys.executable, "-c", code, *map(str, args)], cwd=cwd,
                              capture_output=True, text=True, timeout=timeout,
                              env={**os.environ, **env} if env else None)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child process hung (no end after {timeout} s)")


def run_module(*args: str, cwd: Path, timeout: float = 600) -> subprocess.CompletedProcess[str]:
    """`python -m *args` in a fresh interpreter of this venv, from `cwd`."""
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)


def assert_ok(proc: subprocess.CompletedProcess[str]) -> None:
    """The child exited with 0 (a signal shows as a negative code)."""
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout[-3000:]}"
        f"\n--- stderr\n{proc.stderr[-3000:]}")


def python_output(code: str, *args: object, timeout: float = 120) -> str:
    """What `code` prints in a fresh interpreter that must exit cleanly."""
    proc = run_python(code, *args, timeout=timeout)
    assert_ok(proc)
    return proc.stdout


# --- threads ----------------------------------------------------------------

def in_thread(fn: Callable[[], object], timeout: float = 5.0) -> float:
    """Run fn() on a daemon thread; return how long it took, failing past `timeout`."""
    done = threading.Event()
    start = time.monotonic()

    def run() -> None:
        fn()
        done.set()

    threading.Thread(target=run, daemon=True).start()
    assert done.wait(timeout), f"{fn} still waiting after {timeout} s"
    return time.monotonic() - start


def join_thread(ident: int | None) -> None:
    """Wait for the thread `ident` (if still alive) to end."""
    for t in threading.enumerate():
        if t.ident == ident:
            t.join(10)
            assert not t.is_alive()


@pytest.fixture
def releasing():
    """Register a source that blocks until its `release` event is set: each
    is released at the end of the test, so that a regression fails the test
    instead of hanging the suite. Returns what it registers."""
    made = []

    def register(src):
        made.append(src)
        return src

    yield register
    for src in made:
        src.release.set()


def run_threads(targets: Iterable[Callable[[], object]], timeout: float = 120) -> None:
    """Run each target on a thread of its own, all at once; the first error
    any raised is raised here, and a thread still alive after `timeout` is a
    deadlock."""
    errors: list[BaseException] = []

    def guard(target: Callable[[], object]) -> None:
        try:
            target()
        except BaseException as exc:  # surfaced in the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=guard, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=timeout)
        assert not t.is_alive(), "deadlock"
    if errors:
        raise errors[0]


# --- the background chunk reader ---------------------------------------------

@pytest.fixture
def chunk_readers(monkeypatch) -> list:
    """The real background chunk reader, recording each one made: its
    keyword arguments as `options`, where the source stood as `start`."""
    from kestrelpix.core import io as kio
    made = []

    class Recording(kio.BackgroundChunkReader):
        def __init__(self, src, **kwargs):
            self.options, self.start = kwargs, None
            try:
                self.start = src.tell()
            except (AttributeError, OSError):  # no tell, or a pipe's
                pass
            made.append(self)
            super().__init__(src, **kwargs)

    monkeypatch.setattr(kio, "BackgroundChunkReader", Recording)
    return made


def served_in_pieces(size: int | None) -> type:
    """A stand-in for the background chunk reader that serves a BytesIO's
    bytes in pieces of `size` (None: whole) on the caller's thread; the first
    piece holds the whole signature, as the real reader's does."""

    class Pieces:
        def __init__(self, src, *, chunk_size, prefetch):
            self._data, self._pos = src.getvalue(), 0

        def get(self):
            step = len(self._data) if size is None else size
            step = step if self._pos else max(step, 16)
            piece = self._data[self._pos:self._pos + step]
            self._pos += step
            return piece or None

        def close(self):
            pass

    return Pieces


class LooksLarge(io.BytesIO):
    """An in-memory file that measures above the 4 MiB streaming threshold
    (seeking to its end lands past it), so readers stream it."""

    def seek(self, pos, whence=0):
        return super().seek(4194305 if whence == 2 else pos, 0 if whence == 2 else whence)


# --- sample images ----------------------------------------------------------

def sample_image(ysize: int, xsize: int, channels: int, maxval: int = 255,
                 seed: int = 0) -> np.ndarray:
    """A deterministic image with gradients, edges and noise, in 0..maxval.

    Returns (Y, X) for one channel, else (Y, X, C), as uint8 up to 255 and
    uint16 above."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:ysize, 0:xsize]
    planes = []
    for c in range(channels):
        base = (x * (c + 1) * 7 + y * 3) % (xsize + ysize + 1) / (xsize + ysize)
        edges = ((x // 5 + y // 7 + c) % 2) * 0.25
        noise = rng.random((ysize, xsize)) * 0.2
        planes.append(np.clip(base * 0.6 + edges + noise, 0, 1))
    img = np.rint(np.stack(planes, axis=-1) * maxval)
    img = img.astype(np.uint8 if maxval <= 255 else np.uint16)
    return img[:, :, 0] if channels == 1 else img


def make_chunk(shape: tuple[int, ...], dtype: str, seed: int = 0) -> np.ndarray:
    """Image-like samples of `shape` in the full range of `dtype` (0..1 for floats)."""
    rng = np.random.default_rng(seed)
    grid = np.indices(shape).sum(axis=0)
    base = (grid % 37) / 37 * 0.7 + rng.random(shape) * 0.3
    if np.dtype(dtype).kind == "f":
        # float16 subnormals are refused by the codec: none here.
        return np.maximum(base, 2.0 ** -14).astype(dtype)
    return np.rint(base * np.iinfo(dtype).max).astype(dtype)


@pytest.fixture(scope="session")
def have_tools() -> None:
    if not (shutil.which("cjxl") and shutil.which("djxl")):
        pytest.skip("cjxl/djxl not installed")


@pytest.fixture(scope="session")
def jxl():
    import kestrelpix.codecs._jxl as module
    return module


@pytest.fixture(scope="session")
def lossless_rgb(tmp_path_factory, have_tools) -> tuple[bytes, np.ndarray]:
    """A small lossless 8-bit RGB stream made by cjxl, with its samples."""
    tmp = tmp_path_factory.mktemp("lossless_rgb")
    img = sample_image(24, 32, 3)
    stream = cjxl(write_pnm(tmp / "in.ppm", img), tmp / "out.jxl", "-d", "0", "-e", "1")
    return stream, img


# --- animated PNG, the reference encoder's animation input --------------------

def _png_chunk(kind: bytes, body: bytes) -> bytes:
    import struct
    import zlib
    return (struct.pack(">I", len(body)) + kind + body
            + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))


def write_apng(path: Path, frames, delay_ms: int = 100,
               x_offsets: list[int] | None = None) -> Path:
    """Write a (T, Y, X[, C]) uint8/uint16 stack (C of 1 to 4) as an APNG.

    Frames after the first may be narrower than the canvas, placed at
    `x_offsets`; they keep the full height, as the reference encoder 0.11.2
    cannot take sub-frames shorter than the canvas."""
    import struct
    import zlib
    frames = [np.asarray(f) if np.asarray(f).ndim == 3 else np.asarray(f)[..., None]
              for f in frames]
    count = len(frames)
    ysize, xsize, channels = frames[0].shape
    x_offsets = x_offsets or [0] * count
    depth = 16 if frames[0].dtype == np.uint16 else 8
    color_type = {1: 0, 2: 4, 3: 2, 4: 6}[channels]
    out = [b"\x89PNG\r\n\x1a\n",
           _png_chunk(b"IHDR", struct.pack(">IIBBBBB", xsize, ysize, depth, color_type, 0, 0, 0)),
           _png_chunk(b"acTL", struct.pack(">II", count, 0))]
    seq = 0
    for i, frame in enumerate(frames):
        rows = frame.astype(">u2" if depth == 16 else "u1").reshape(ysize, -1)
        raw = b"".join(b"\x00" + row.tobytes() for row in rows)
        out.append(_png_chunk(b"fcTL", struct.pack(">IIIIIHHBB", seq, frame.shape[1], ysize,
                                                   x_offsets[i], 0, delay_ms, 1000, 0, 0)))
        seq += 1
        data = zlib.compress(raw)
        if i == 0:
            out.append(_png_chunk(b"IDAT", data))
        else:
            out.append(_png_chunk(b"fdAT", struct.pack(">I", seq) + data))
            seq += 1
    out.append(_png_chunk(b"IEND", b""))
    Path(path).write_bytes(b"".join(out))
    return Path(path)


@pytest.fixture(scope="session")
def lossless_animation(tmp_path_factory, have_tools) -> tuple[bytes, np.ndarray]:
    """A lossless 4-frame RGBA animation made by cjxl, with its frames."""
    tmp = tmp_path_factory.mktemp("animation")
    frames = np.stack([sample_image(16, 20, 4, seed=i) for i in range(4)])
    stream = cjxl(write_apng(tmp / "in.apng", frames), tmp / "out.jxl", "-d", "0", "-e", "1")
    return stream, frames
