"""Hostile callers and hostile environments: values that libjxl traps on,
arrays changed behind the codec's back, threads alive at interpreter exit,
fork, failing thread creation and failing destinations.

Whatever might take the interpreter down runs in a child process, which must
exit with code 0 (a signal shows up as a negative return code)."""

from __future__ import annotations

import gc
import io
import os
import subprocess
import textwrap
import warnings

import numpy as np
import pytest

from conftest import assert_ok, run_python, sample_image

PRELUDE = """\
import os, sys, threading, time
import numpy as np
import kestrelpix.codecs._jxl as jxl
from kestrelpix.core.errors import JxlError

def limit_address_space(extra_mb):
    # What the process maps now, plus a margin.
    import resource
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + (extra_mb << 20), resource.RLIM_INFINITY))
"""


def run_child(code: str, timeout: float = 120,
              env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Run PRELUDE + `code` in a fresh interpreter."""
    return run_python(PRELUDE + textwrap.dedent(code), timeout=timeout, env=env)


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


# === crashes ===================================================================

@pytest.mark.parametrize(("bits", "shape", "dtype", "streaming"), [
    (16, (129, 129), "uint16", False),
    (16, (200, 200, 3), "uint16", True),
    (16, (256, 120, 4), "uint16", False),
    (14, (256, 128), "uint16", True),
    (16, (172, 172, 2), "float16", False),
    (16, (574, 574, 4), "pattern", True),
    (16, (574, 574, 4), "pattern", False),
])
def test_noisy_deep_single_group_lossless_effort_1(tmp_path, have_tools, bits, shape, dtype,
                                                   streaming):
    """libjxl's effort-1 lossless coder corrupts the heap on such frames, of
    one group or several (cjxl -e 1 dies of them too): the stream comes out
    whole and decodes exactly."""
    from conftest import djxl, read_pnm
    rng = np.random.default_rng(0)
    img = (rng.integers(0, 1 << bits, shape).astype(np.uint16) if dtype == "uint16" else
           (rng.integers(1, 256, shape) / 255).astype(np.float16) if dtype == "float16" else
           # Twenty samples repeated (five RGBA pixels): what fuzzing found.
           np.resize(np.array([48573, 20157, 9806, 20046, 20046, 65358, 65535, 65535, 65535,
                               53247, 28229, 28515, 25956, 8050, 11, 65535, 9, 1280, 31845,
                               51925], np.uint16), shape))
    np.save(tmp_path / "img.npy", img)
    out = tmp_path / "out.jxl"
    assert_ok(run_child(f"""
        img = np.load({str(tmp_path / "img.npy")!r})
        jxl.encode(img, lossless=True, effort=1, dest={str(out)!r}, streaming={streaming})
        assert np.array_equal(jxl.decode({str(out)!r}), img)
    """))
    if dtype != "float16":
        suffix = ".pgm" if len(shape) == 2 else ".pam"
        got = read_pnm(djxl(out.read_bytes(), tmp_path, suffix))[0]
        np.testing.assert_array_equal(got.reshape(img.shape), img)


@pytest.mark.parametrize("call", [
    "jxl.encode(img, distance=float('nan'))",
    "jxl.encode(img, distance=float('inf'))",
    "jxl.encode(img, distance=float('-inf'))",
    "jxl.encode(img, quality=float('nan'))",
    "jxl.encode(img, quality=float('inf'))",
    "jxl.JxlWriter(quality=float('nan')).write_frame(img)",
    "jxl.JxlWriter(distance=float('nan')).write_frame(img)",
])
def test_non_finite_quality_or_distance(call):
    assert_ok(run_child(f"""
        img = np.zeros((8, 8), np.uint8)
        try:
            {call}
        except ValueError as exc:
            assert str(exc).startswith("jxl: "), exc
        else:
            sys.exit("accepted")
    """))


@pytest.mark.parametrize("color", [None, "srgb", "linear-srgb", "display-p3", "rec2020",
                                   "rec2100-pq", "rec2100-hlg"])
def test_large_float_samples(color):
    # Lossy coding either works, giving finite samples back, or refuses with a
    # pointer to lossless=True; lossless coding gives every value back exactly.
    assert_ok(run_child(f"""
        color = {color!r}
        values = [1, 1e3, 1e6, 1e10, 1e20, 1e30, 3e38]
        values += [-v for v in values]
        for dtype in (np.float32, np.float16):
            for v in values:
                if dtype is np.float16:
                    v = max(-65504.0, min(65504.0, v))
                for shape in ((8, 8), (8, 8, 3), (8, 8, 4)):
                    a = np.zeros(shape, dtype)
                    a[0, 0] = v
                    a[5, 3] = v / 3
                    what = (dtype.__name__, v, shape)
                    try:
                        lossy = jxl.encode(a, color=color, effort=1, numthreads=1)
                    except ValueError as exc:
                        assert "lossless=True" in str(exc), (what, exc)
                    else:
                        # What libjxl cannot model comes out as NaN or infinity;
                        # float16 may round just past its largest value.
                        out = jxl.decode(lossy)
                        ok = ~np.isnan(out) if dtype is np.float16 else np.isfinite(out)
                        assert ok.all(), what
                    exact = jxl.decode(jxl.encode(a, color=color, lossless=True, effort=1,
                                                  numthreads=1))
                    assert exact.dtype == a.dtype and np.array_equal(exact, a), what
    """, timeout=300))


# An `is_last` whose truth test poisons the frame after it was checked: the
# frame libjxl reads must be the one checked, so the writer either refuses it
# or writes exactly the stream of the unpoisoned frames.
POISONING_IS_LAST = """
    def frames():
        return np.full((64, 64, 3), 0.25, np.float32), np.full((64, 64, 3), 0.5, np.float32)
    class Poison:
        def __init__(self, frame, last): self.frame, self.last = frame, last
        def __bool__(self):
            self.frame[...] = np.nan
            return self.last
    def attempt(last):
        w = jxl.JxlWriter(animation=True, distance=1, effort=1)
        first, second = frames()
        try:
            w.write_frame(first)
            w.write_frame(second, is_last=Poison(second, last))
            out = w.close()
        except ValueError:
            return
        assert out == jxl.encode(np.stack(frames()), animation=True, distance=1, effort=1)
"""


@pytest.mark.parametrize("last", [True, False], ids=["is_last", "completed_by_close"])
def test_frame_poisoned_by_is_last(last):
    assert_ok(run_child(POISONING_IS_LAST + f"    attempt({last})\n"))


def test_frame_poisoned_by_another_thread_during_encode():
    # The poisoning thread waits for the interpreter lock, which the codec
    # releases only once it has checked the samples.
    assert_ok(run_child("""
        orig = np.random.default_rng(0).random((1024, 1024, 3), dtype=np.float32)
        a = orig.copy()
        go, stop = threading.Event(), threading.Event()
        def poison():
            while go.wait():
                go.clear()
                i = 0
                while not stop.is_set():
                    a[i % 1024] = np.nan if i % 2 else np.inf
                    i += 1
        threading.Thread(target=poison, daemon=True).start()
        calls = [(a, orig, {}), (a[None], orig[None], {"animation": True})]
        for arr, clean, options in calls * 4:
            expected = jxl.encode(clean, distance=1, effort=1, **options)
            a[...] = orig
            stop.clear()
            go.set()
            try:
                out = jxl.encode(arr, distance=1, effort=1, **options)
            except ValueError:
                out = None
            stop.set()
            time.sleep(0.02)
            assert out is None or out == expected, "encoded samples that were not checked"
    """))


def _spec_with(field: str, value) -> str:
    base = dict(white_point=1, primaries=1, transfer=13, rendering_intent=1)
    if field == "gamma":
        # ColorSpec refuses these gammas itself; a caller can still get past it.
        return (f"s = ColorSpec(1, 1, TransferFunction.GAMMA, 1, gamma=0.5); "
                f"object.__setattr__(s, 'gamma', {value})")
    base[field] = value
    return "s = ColorSpec(" + ", ".join(f"{k}={v}" for k, v in base.items()) + ")"


BAD_SPECS = {
    "unknown_transfer": "s = ColorSpec(1, 1, TransferFunction.UNKNOWN, 1)",
    "custom_primaries": "s = ColorSpec(1, Primaries.CUSTOM, 13, 1)",
    "custom_white_point": "s = ColorSpec(WhitePoint.CUSTOM, 1, 13, 1)",
    **{f"{field}={value}": _spec_with(field, value)
       for field in ("white_point", "primaries", "transfer", "rendering_intent")
       for value in ((4,) if field == "rendering_intent" else (0, 3)) + (99, 1000, 2**31)},
    **{f"gamma={value}": _spec_with("gamma", value)
       for value in ("0.0", "-0.5", "1.5", "float('nan')", "float('inf')")},
}


@pytest.mark.parametrize("spec", BAD_SPECS.values(), ids=BAD_SPECS.keys())
def test_unencodable_color_spec(spec):
    assert_ok(run_child(f"""
        from kestrelpix.core.color import ColorSpec, Primaries, TransferFunction, WhitePoint
        {spec}
        for shape in ((8, 8, 3), (8, 8)):
            for dtype in (np.uint8, np.float32):
                try:
                    w = jxl.JxlWriter(color=s, effort=1, numthreads=1)
                    w.write_frame(np.full(shape, 0.5 if dtype is np.float32 else 100, dtype))
                    w.close()
                except ValueError as exc:
                    assert str(exc).startswith("jxl: "), exc
                else:
                    assert len(shape) == 2, "RGB frame accepted"  # grey ignores primaries
    """))


EXIT_DURING = {
    "decode": """
        data = jxl.encode(np.random.default_rng(0).integers(0, 255, (512, 512, 3), np.uint8),
                          distance=1, effort=1)
        def work():
            while True:
                jxl.decode(data)
        for _ in range(2):
            threading.Thread(target=work, daemon=True).start()
    """,
    "frame_count": """
        data = jxl.encode(np.zeros((200, 8, 8), np.uint8), animation=True, effort=1)
        def work():
            while True:
                jxl.frame_count(data)
        threading.Thread(target=work, daemon=True).start()
    """,
    "waiting_for_reader": """
        data = jxl.encode(np.random.default_rng(0).integers(0, 255, (512, 512, 3), np.uint8),
                          distance=1, effort=1)
        readers = [jxl.JxlReader(data) for _ in range(1000)]
        def work():
            # One thread decodes each reader while the others wait for it.
            for reader in readers:
                try:
                    reader.read()
                except JxlError:
                    pass  # the reader was read out by another thread
        for _ in range(3):
            threading.Thread(target=work, daemon=True).start()
    """,
}


@pytest.mark.parametrize("repeat", range(5))
@pytest.mark.parametrize("where", EXIT_DURING.keys())
def test_interpreter_exit_with_daemon_thread_in_codec(where, repeat):
    # The main thread ends while the daemon threads are inside the codec.
    code = textwrap.dedent(EXIT_DURING[where]) + f"time.sleep({0.2 + 0.05 * repeat})\n"
    # Under the sanitizers, the child is checked for memory errors but not
    # for leaks: what a daemon thread holds when the interpreter stops it
    # (its Python frames, the call it is in) is never freed, by CPython's
    # design, and LeakSanitizer would count it at exit now and then.
    quiet = {"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"} \
        if "ASAN_OPTIONS" in os.environ else None
    assert_ok(run_child(code, env=quiet))


def test_many_threads_requested():
    assert_ok(run_child("""
        img = np.random.default_rng(0).integers(0, 255, (512, 512, 3), np.uint8)
        one = jxl.encode(img, distance=1, effort=3, numthreads=1)
        many = jxl.encode(img, distance=1, effort=3, numthreads=1000)
        assert many == one
        assert np.array_equal(jxl.decode(one, numthreads=1000), jxl.decode(one, numthreads=1))
    """))


def test_thread_creation_fails_under_address_space_limit():
    proc = run_child("""
        img = np.random.default_rng(0).integers(0, 255, (2048, 2048, 3), np.uint8)
        data = jxl.encode(img, distance=1, effort=1)
        limit_address_space(200)
        try:
            out = jxl.decode(data, numthreads=64)
        except (MemoryError, RuntimeError) as exc:
            print("refused:", exc)
        else:
            assert out.shape == img.shape
            print("decoded")
        # A pool that could not start all its threads is not kept: memory is
        # given back, and a single-threaded decode works afterwards.
        assert jxl.decode(data, numthreads=1).shape == img.shape
    """)
    assert_ok(proc)


def test_header_only_readers_hold_no_threads():
    assert_ok(run_child("""
        data = jxl.encode(np.random.default_rng(0).integers(0, 255, (1024, 1024, 3), np.uint8),
                          distance=1, effort=1)
        threads = lambda: len(os.listdir("/proc/self/task"))
        before = threads()
        readers = [jxl.JxlReader(data) for _ in range(200)]
        assert all(r.xsize == 1024 for r in readers)
        after = threads()
        assert after <= before + 4, (before, after)
    """))


def test_objects_from_before_fork():
    proc = run_child("""
        img = np.random.default_rng(0).integers(0, 255, (1024, 1024, 3), np.uint8)
        big = jxl.encode(img, distance=1, effort=1)
        expected = jxl.decode(big)  # threads start in the parent
        movie = jxl.encode(np.zeros((3, 8, 8), np.uint8), animation=True)
        readers = [jxl.JxlReader(movie) for _ in range(2)]
        writers = [jxl.JxlWriter(animation=True) for _ in range(2)]
        for w in writers:
            w.write_frame(np.zeros((8, 8), np.uint8))
        steps = [lambda: next(iter(readers[0])), readers[1].read,
                 lambda: writers[0].write_frame(np.zeros((8, 8), np.uint8)), writers[1].close]
        pid = os.fork()
        if pid == 0:
            code = 0
            for bit, step in enumerate(steps):
                try:
                    step()
                except RuntimeError as exc:
                    if "before os.fork()" not in str(exc):
                        code |= 1 << bit
                except BaseException:
                    code |= 1 << bit
                else:
                    code |= 1 << bit
            try:
                if not np.array_equal(jxl.decode(big), expected):
                    code |= 16
                if not np.array_equal(jxl.decode(jxl.encode(img, lossless=True, effort=1)), img):
                    code |= 32
            except BaseException:
                code |= 64
            os._exit(code)
        deadline = time.monotonic() + 60
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                sys.exit(os.waitstatus_to_exitcode(status))
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                sys.exit("forked child hung")
            time.sleep(0.05)
    """)
    assert_ok(proc)


@pytest.mark.parametrize("value", ["5", "10**10", "object()", "3.5"])
def test_frame_count_of_non_stream(value):
    # The old code took an int for a size: 10**10 allocated 10 GB.
    assert_ok(run_child(f"""
        limit_address_space(1024)
        try:
            jxl.frame_count({value})
        except TypeError:
            pass
        else:
            sys.exit("accepted")
    """))


def jpeg_claiming(ysize: int, xsize: int) -> bytes:
    """A small baseline JPEG whose frame header claims ysize x xsize pixels."""
    from PIL import Image
    buf = io.BytesIO()
    Image.fromarray(np.zeros((16, 16, 3), np.uint8)).save(buf, "JPEG")
    data = bytearray(buf.getvalue())
    sof = data.index(b"\xff\xc0")
    data[sof + 5:sof + 9] = ysize.to_bytes(2, "big") + xsize.to_bytes(2, "big")
    return bytes(data)


def jxl_claiming(size: int) -> bytes:
    """A bare codestream header claiming a size x size image (the size header
    written bit by bit, least significant first), then zeros."""
    selector = next(i for i, bits in enumerate((9, 13, 18, 30)) if size - 1 < 1 << bits)
    nbits = (9, 13, 18, 30)[selector]
    bits = [0, selector & 1, selector >> 1] + [(size - 1) >> i & 1 for i in range(nbits)]
    bits += [1, 0, 0]  # x size = y size
    bits += [1]  # default image metadata
    bits += [0] * (-len(bits) % 8) + [1]  # a default frame header
    bits += [0] * (-len(bits) % 8)
    body = bytes(sum(b << j for j, b in enumerate(bits[i:i + 8])) for i in range(0, len(bits), 8))
    return b"\xff\x0a" + body + bytes(600)


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("numthreads", [1, 2])
@pytest.mark.parametrize("size", [(65535, 65535), (65535, 8192), (40000, 40000)])
def test_jpeg_claiming_a_huge_frame(tmp_path, verify, numthreads, size):
    # Under a 4 GiB address space, libjxl's std::bad_alloc ended the process.
    src = tmp_path / "huge.jpg"
    src.write_bytes(jpeg_claiming(*size))
    assert_ok(run_child(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))
        data = open({str(src)!r}, "rb").read()
        try:
            jxl.transcode_jpeg(data, verify={verify}, numthreads={numthreads})
        except MemoryError as exc:
            assert "{size[1]} x {size[0]} pixels" in str(exc) and "MiB" in str(exc), exc
        except JxlError as exc:
            pass  # libjxl found the scans too short for the frame
        else:
            sys.exit("accepted")
    """))


@pytest.mark.parametrize("size", [1 << 20, 1 << 30])
@pytest.mark.parametrize("call", ["jxl.probe(data)", "jxl.frame_count(data)", "jxl.decode(data)",
                                  "jxl.JxlReader(data).read()", "jxl.reconstruct_jpeg(data)"])
def test_jxl_claiming_a_huge_image(tmp_path, size, call):
    src = tmp_path / "huge.jxl"
    src.write_bytes(jxl_claiming(size))
    assert_ok(run_child(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))
        data = open({str(src)!r}, "rb").read()
        assert jxl.JxlReader(data).xsize == {size}
        try:
            {call}
        except (MemoryError, JxlError):
            pass
        else:
            sys.exit("accepted")
    """))


# === wrong results =============================================================

class PartialThenFailing(io.RawIOBase):
    """Takes 100 bytes on its first write(), raises on its second."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.calls = 0

    def writable(self) -> bool:
        return True

    def write(self, b) -> int:
        self.calls += 1
        if self.calls == 2:
            raise OSError("disk full, once")
        b = bytes(b)[:100] if self.calls == 1 else bytes(b)
        self.data += b
        return len(b)


def test_close_retried_after_partial_write_continues(jxl):
    img = sample_image(64, 64, 3)
    reference = jxl.encode(img, lossless=True, effort=1, numthreads=1)
    dest = PartialThenFailing()
    writer = jxl.JxlWriter(dest, lossless=True, effort=1, numthreads=1)
    writer.write_frame(img)
    with pytest.raises(OSError, match="disk full"):
        writer.close()
    assert writer.close() is None
    assert bytes(dest.data) == reference
    assert np.array_equal(jxl.decode(bytes(dest.data)), img)


@pytest.fixture(scope="module")
def movie(tmp_path_factory, jxl):
    frames = np.stack([sample_image(16, 20, 3, seed=i) for i in range(4)])
    path = tmp_path_factory.mktemp("movie") / "movie.jxl"
    jxl.encode(frames, animation=True, lossless=True, effort=1, dest=path)
    return path, frames


SOURCES = {
    "bytes": lambda path: dict(data=path.read_bytes()),
    "path": lambda path: dict(data=path),
    "file": lambda path: dict(data=io.BytesIO(path.read_bytes())),
    "path_streaming": lambda path: dict(data=path, streaming=True),
}


@pytest.mark.parametrize("source", SOURCES.keys())
def test_negative_index(jxl, movie, source):
    path, frames = movie
    for index in (-1, -2, -len(frames)):
        assert np.array_equal(jxl.decode(index=index, **SOURCES[source](path)), frames[index])
    index = -len(frames) - 1
    with pytest.raises(IndexError) as err:
        jxl.decode(index=index, **SOURCES[source](path))
    assert str(err.value) == f"jxl: frame {index} not found (stream too short?)"


def test_rewritten_still_writer_starts_new_stream(jxl):
    first, second = sample_image(8, 8, 3), sample_image(12, 10, 1, seed=3)
    writer = jxl.JxlWriter(lossless=True)
    writer.write_frame(first)
    writer.__init__(lossless=True)
    writer.write_frame(second)
    out = writer.close()
    assert np.array_equal(jxl.decode(out), second)


# === small =====================================================================

@pytest.mark.parametrize("shape", [(0, 8), (8, 0, 3), (8, 8, 0)])
@pytest.mark.parametrize("entry", ["encode", "write_frame"])
def test_empty_frames_refused(jxl, shape, entry):
    arr = np.zeros(shape, np.uint8)
    with pytest.raises(ValueError):
        if entry == "encode":
            jxl.encode(arr)
        else:
            jxl.JxlWriter().write_frame(arr)


def test_empty_animation_refused(jxl):
    with pytest.raises(ValueError):
        jxl.encode(np.zeros((0, 8, 8), np.uint8), animation=True)


def _resource_warnings(action) -> list[warnings.WarningMessage]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        action()
        gc.collect()
    return [w for w in caught if issubclass(w.category, ResourceWarning)]


def test_writer_block_that_raises_closes_its_file(jxl, tmp_path):
    def action():
        before = open_fds()
        with pytest.raises(KeyError):
            with jxl.JxlWriter(tmp_path / "out.jxl") as writer:
                writer.write_frame(np.zeros((8, 8), np.uint8))
                raise KeyError("boom")
        assert open_fds() == before  # while `writer` still exists
        del writer
    assert not _resource_warnings(action)


def test_failed_writer_constructor_leaves_no_file_open(jxl, tmp_path):
    def action():
        before = open_fds()
        with pytest.raises(ValueError):
            jxl.JxlWriter(tmp_path / "out.jxl", quality=90, distance=1)
        assert open_fds() == before
    assert not _resource_warnings(action)
