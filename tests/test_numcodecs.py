"""kestrelpix.numcodecs.Jxl: chunks of every supported layout and dtype
round-trip exactly, their streams decode through djxl, and bad chunks or
options fail before anything is written."""

from __future__ import annotations

import array
import json
from pathlib import Path

import numpy as np
import pytest

from kestrelpix import jxl as jxl_module
from kestrelpix.core.errors import JxlError
from conftest import djxl_frames, make_chunk, python_output

numcodecs = pytest.importorskip("numcodecs")
from numcodecs.compat import ndarray_copy  # noqa: E402
try:
    from numcodecs.tests import common
except ImportError:  # some numcodecs wheels leave their tests out
    common = None
needs_common = pytest.mark.skipif(common is None,
                                  reason="this numcodecs release ships without numcodecs.tests")

from kestrelpix.numcodecs import Jxl  # noqa: E402


def djxl_stack(stream: bytes, tmp_path: Path, dtype: np.dtype, channels: int) -> np.ndarray:
    """All frames of `stream` as djxl decodes them, stacked (T, Y, X[, C])."""
    suffix = ".pfm" if dtype.kind == "f" else {1: ".pgm", 3: ".ppm"}.get(channels, ".pam")
    return np.stack(djxl_frames(stream, tmp_path, suffix))


# (chunk shape, channels_last): grey stills, frames, frames on several
# leading axes, single frames with leading axes, and colour.
LAYOUTS = [
    ((24, 32), False),
    ((5, 24, 32), False),
    ((1, 24, 32), False),
    ((2, 3, 24, 32), False),
    ((24, 32, 2), True),
    ((24, 32, 3), True),
    ((3, 24, 32, 4), True),
    ((2, 1, 2, 24, 32, 3), True),
]
DTYPES = ["uint8", "uint16", "float16", "float32"]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape,channels_last", LAYOUTS)
def test_lossless_round_trip(shape, channels_last, dtype):
    chunk = make_chunk(shape, dtype)
    codec = Jxl(channels_last=channels_last, effort=1)
    stream = codec.encode(chunk)
    plain = codec.decode(stream)
    assert plain.shape == chunk.shape and plain.dtype == chunk.dtype
    assert np.array_equal(plain, chunk)
    out = np.zeros_like(chunk)
    assert codec.decode(stream, out=out) is out
    assert np.array_equal(out, chunk)
    # Into a raw byte buffer, as byte-oriented callers pass it.
    raw = bytearray(chunk.nbytes)
    codec.decode(stream, out=raw)
    assert bytes(raw) == chunk.tobytes()


@pytest.mark.parametrize("dtype", ["uint8", "uint16", "float32"])
@pytest.mark.parametrize("shape,channels_last", [
    ((24, 32), False), ((1, 24, 32), False), ((2, 3, 24, 32), False),
    ((24, 32, 3), True), ((3, 24, 32, 4), True), ((2, 24, 32, 2), True)])
def test_streams_decode_through_djxl(tmp_path, have_tools, shape, channels_last, dtype):
    dtype = np.dtype(dtype)
    channels = shape[-1] if channels_last else 1
    if dtype.kind == "f" and channels not in (1, 3):
        pytest.skip("PFM holds grey or RGB only")
    chunk = make_chunk(shape, dtype)
    stream = Jxl(channels_last=channels_last, effort=1).encode(chunk)
    frames = djxl_stack(stream, tmp_path, dtype, channels)
    assert np.array_equal(frames.reshape(chunk.shape), chunk)


def test_float16_subnormals_are_refused_not_changed():
    # libjxl does not keep them (5.7e-05 comes back as 5.29e-05): a chunk is
    # refused rather than stored changed.
    chunk = np.array([[5.7e-05, 1e-06, 6.1e-05, 0.5]] * 4, np.float16)
    with pytest.raises(ValueError, match="float16 subnormal"):
        Jxl().encode(chunk)


def test_lossy_is_asked_for_and_close():
    chunk = make_chunk((64, 64, 3), "uint8")
    lossless = Jxl(channels_last=True).encode(chunk)
    codec = Jxl(channels_last=True, quality=80)
    assert codec.lossless is False
    stream = codec.encode(chunk)
    back = codec.decode(stream)
    assert back.shape == chunk.shape and back.dtype == np.uint8
    assert len(stream) < len(lossless)
    assert not np.array_equal(back, chunk)
    # Noisy samples lose detail, not level: the picture is still the same.
    assert abs(back.mean() - chunk.mean()) < 2
    assert np.corrcoef(back.ravel(), chunk.ravel())[0, 1] > 0.8


@pytest.mark.parametrize("dtype", [">u2", ">f2", ">f4"])
def test_non_native_byte_order(dtype):
    # Zarr 2 views the decoded bytes as the array's dtype: they come back in
    # the chunk's byte order, or into an `out` of either order.
    chunk = make_chunk((3, 16, 16), dtype.replace(">", "<")).astype(dtype)
    codec = Jxl()
    stream = codec.encode(chunk)
    back = codec.decode(stream)
    assert back.dtype == chunk.dtype and np.array_equal(back, chunk)
    assert bytes(back) == chunk.tobytes()
    for out in (np.zeros(chunk.shape, dtype), np.zeros(chunk.shape, chunk.dtype.newbyteorder())):
        codec.decode(stream, out=out)
        assert np.array_equal(out, chunk)
    raw = bytearray(chunk.nbytes)
    codec.decode(stream, out=raw)
    assert bytes(raw) == chunk.tobytes()


def test_float16_nan_is_stored_as_float32():
    # A NaN fill value pads Zarr's edge chunks; libjxl's float16 has no NaN.
    chunk = make_chunk((2, 16, 16), "float16")
    chunk[:, 10:] = np.nan
    chunk[0, 0, :4] = [np.inf, -np.inf, 6e-05, -0.0]
    codec = Jxl()
    stream = codec.encode(chunk)
    assert jxl_module.JxlReader(stream).dtype is np.float32
    for back in (codec.decode(stream), codec.decode(stream, out=np.empty_like(chunk))):
        assert back.dtype == np.float16
        assert np.array_equal(back, chunk, equal_nan=True)
        assert bytes(back) == chunk.tobytes()  # -0.0 and every NaN bit as written
    with pytest.raises(ValueError, match="finite float samples"):
        Jxl(quality=90).encode(chunk)  # lossy coding has no NaN either
    # A float32 stream goes into float16 only where each value is one.
    wide = jxl_module.encode(np.full((4, 4), 0.1, np.float32), lossless=True)
    with pytest.raises(ValueError, match="not all float16 values"):
        codec.decode(wide, out=np.empty((4, 4), np.float16))


@pytest.mark.parametrize("config", [
    {},
    {"quality": 90, "effort": 3},
    {"distance": 0.5, "decoding_speed": 2, "numthreads": 1},
    {"lossless": True, "effort": 1, "channels_last": True},
    {"lossless": False},
])
def test_config_round_trips_through_json(config):
    codec = Jxl(**config)
    saved = json.loads(json.dumps(codec.get_config()))
    again = numcodecs.get_codec(saved)
    assert isinstance(again, Jxl) and again == codec
    assert again.get_config() == saved
    assert saved["lossless"] is (config.get("lossless", not ({"quality", "distance"} & set(config))))
    if common is not None:
        common.check_config(codec)
    # numcodecs' check_repr: the repr is the statement that makes the codec.
    assert repr(eval(repr(codec), {"Jxl": Jxl})) == repr(codec)


def test_registered_for_a_fresh_process(tmp_path):
    # The entry point alone must bring the codec in: the child never imports kestrelpix.
    np.save(tmp_path / "chunk.npy", make_chunk((2, 16, 24), "uint16"))
    code = (
        "import sys, numpy as np, numcodecs\n"
        "codec = numcodecs.get_codec({'id': 'kestrelpix_jxl', 'effort': 2})\n"
        "chunk = np.load(sys.argv[1])\n"
        "assert np.array_equal(codec.decode(codec.encode(chunk)), chunk)\n"
        "print(type(codec).__module__, codec.effort)\n")
    assert python_output(code, tmp_path / "chunk.npy").split() == ["kestrelpix.numcodecs", "2"]


# object: numcodecs' check_err_encode_object_buffer.
@pytest.mark.parametrize("dtype", ["int8", "int16", "uint32", "int64", "float64", "bool",
                                   "complex64", "object"])
def test_unsupported_dtype_is_a_type_error(dtype):
    with pytest.raises(TypeError, match=rf"dtype {np.dtype(dtype)}.*uint8, uint16"):
        Jxl().encode(np.zeros((8, 8), dtype))


@pytest.mark.parametrize("shape,channels_last,match", [
    ((64,), False, "too few axes"),
    ((8, 8), True, "too few axes"),
    ((8, 8, 1), True, "last axis must be 2"),
    ((8, 8, 5), True, "has 5"),
    ((4, 8, 8, 6), True, "has 6"),
    ((0, 8, 8), False, "empty chunk"),
    ((8, 0), False, "empty chunk"),
])
def test_unsupported_shape_is_a_value_error(shape, channels_last, match):
    with pytest.raises(ValueError, match=match):
        Jxl(channels_last=channels_last).encode(np.zeros(shape, np.uint8))


@pytest.mark.parametrize("options,error,match", [
    ({"lossless": True, "quality": 90}, ValueError, "conflicts"),
    ({"quality": 90, "distance": 1.0}, ValueError, None),
    ({"distance": 30.0}, JxlError, None),
    ({"effort": "fast"}, TypeError, "effort must be an int"),
    ({"quality": "high"}, TypeError, "quality must be a number"),
    # A hand-written JSON config: the string "false" is no False.
    ({"lossless": "false"}, TypeError, "lossless must be True or False, got 'false'"),
    ({"channels_last": "false"}, TypeError, "channels_last must be True or False"),
    ({"channels_last": 0}, TypeError, "channels_last must be True or False, got 0"),
])
def test_bad_options_fail_at_construction(options, error, match):
    with pytest.raises(error, match=match):
        Jxl(**options)
    with pytest.raises(error, match=match):
        numcodecs.get_codec({"id": "kestrelpix_jxl", **options})


def test_out_of_the_wrong_size_or_type():
    codec = Jxl()
    stream = codec.encode(make_chunk((16, 16), "uint16"))
    with pytest.raises(ValueError, match="out has 255 samples"):
        codec.decode(stream, out=np.zeros(255, np.uint16))
    with pytest.raises(ValueError, match="out has dtype float32"):
        codec.decode(stream, out=np.zeros((16, 16), np.float32))
    # numcodecs' check_err_decode_object_buffer: never samples over pointers.
    with pytest.raises(TypeError):
        codec.decode(stream, out=np.empty((16, 16), object))


def test_reads_streams_it_did_not_write(lossless_rgb):
    # Any JPEG XL stream is a chunk: here one made by cjxl.
    stream, image = lossless_rgb
    assert np.array_equal(Jxl().decode(stream), image)
    out = np.zeros_like(image)
    Jxl().decode(np.frombuffer(stream, np.uint8), out=out)
    assert np.array_equal(out, image)



# The `out` buffers numcodecs callers pass: flat or shaped as the chunk, in
# any order, views into larger arrays, raw bytes.
OUTS = {
    "same shape": lambda c: np.empty_like(c),
    "flat": lambda c: np.empty(c.size, c.dtype),
    "axes of length 1 added": lambda c: np.empty((1, *c.shape[:-1], 1, c.shape[-1]), c.dtype),
    "Fortran order": lambda c: np.empty(c.shape, c.dtype, order="F"),
    "view in a larger array": lambda c: np.empty((2, *c.shape), c.dtype)[1],
    "strided": lambda c: np.empty((*c.shape[:-1], 2 * c.shape[-1]), c.dtype)[..., ::2],
    "bytearray": lambda c: bytearray(c.nbytes),
    "uint8 array": lambda c: np.empty(c.nbytes, np.uint8),
}


@pytest.mark.parametrize("make_out", OUTS.values(), ids=OUTS.keys())
@pytest.mark.parametrize("shape,channels_last,dtype", [
    ((24, 32), False, "uint8"), ((2, 3, 24, 32), False, "uint16"),
    ((3, 24, 32, 4), True, "float32")])
def test_out_is_filled_as_ndarray_copy_fills_it(shape, channels_last, dtype, make_out):
    chunk = make_chunk(shape, dtype)
    codec = Jxl(channels_last=channels_last, effort=1)
    stream = codec.encode(chunk)
    want = ndarray_copy(codec.decode(stream), make_out(chunk))
    out = make_out(chunk)
    got = codec.decode(stream, out=out)
    if isinstance(out, np.ndarray):
        assert got is out
    got_samples, want_samples = np.asarray(out), np.asarray(want)
    assert got_samples.dtype == want_samples.dtype
    assert np.array_equal(got_samples, want_samples)


@pytest.mark.parametrize("chunk,out_shape,options", [
    (make_chunk((4, 16), "uint8"), (8, 8), {}),
    (make_chunk((8, 8, 3), "uint8"), (3, 8, 8), {"channels_last": True}),
    (make_chunk((2, 8, 8), "uint16"), (16, 8), {}),
    (make_chunk((2, 8, 8), "uint16"), (2, 4, 16), {}),
    (make_chunk((8, 8, 3), "uint8"), (8, 24), {"channels_last": True}),
])
def test_out_of_another_frame_shape_is_refused(chunk, out_shape, options):
    # ndarray_copy would fill these without a word, the image scrambled.
    stream = Jxl(effort=1, **options).encode(chunk)
    out = np.zeros(out_shape, chunk.dtype)
    with pytest.raises(ValueError, match=r"out has shape .* cannot hold the stream's frames"):
        Jxl().decode(stream, out=out)
    assert not out.any()
    Jxl().decode(stream, out=out.reshape(-1))  # a flat buffer takes them in stream order
    assert np.array_equal(out.reshape(-1), chunk.reshape(-1))


def test_turned_stream_is_refused_by_a_chunk_of_its_stored_shape():
    # Orientation 6 turns the stored 4x16 samples into a 16x4 image.
    stored = make_chunk((4, 16), "uint8")
    stream = jxl_module.encode(stored, lossless=True, orientation=6)
    shown = Jxl().decode(stream)
    assert shown.shape == (16, 4) and np.array_equal(shown, np.rot90(stored, -1))
    with pytest.raises(ValueError, match=r"frames of shape \(16, 4\)"):
        Jxl().decode(stream, out=np.empty((4, 16), np.uint8))


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, lambda b: array.array("b", b),
                                  lambda b: np.frombuffer(b, np.uint8)],
                         ids=["bytes", "bytearray", "memoryview", "array.array", "ndarray"])
def test_decodes_any_buffer(kind):
    # As numcodecs' check_encode_decode feeds streams back.
    chunk = make_chunk((2, 3, 16, 16), "uint16")
    codec = Jxl(effort=1)
    back = codec.decode(kind(codec.encode(chunk)))
    assert back.shape == chunk.shape and np.array_equal(back, chunk)


FIXTURES = Path(__file__).parent / "fixture"


@needs_common
@pytest.mark.parametrize("prefix,arrays,codecs", [
    ("grey", [make_chunk((24, 32), "uint8", 1), make_chunk((2, 3, 16, 16), "uint16", 2),
              make_chunk((1, 16, 16), "float32", 3), make_chunk((3, 8, 8), "float16", 4)],
     [Jxl(effort=1), Jxl(effort=7, decoding_speed=2)]),
    ("colour", [make_chunk((16, 16, 3), "uint8", 5), make_chunk((2, 16, 16, 4), "uint16", 6)],
     [Jxl(channels_last=True, effort=1)]),
])
def test_reads_the_chunks_earlier_versions_wrote(monkeypatch, prefix, arrays, codecs):
    # numcodecs' own check against stored chunks and configurations
    # (tests/fixture/kestrelpix_jxl): a change that cannot read them back
    # exactly breaks every array already written.
    assert (FIXTURES / Jxl.codec_id / prefix).is_dir()
    monkeypatch.chdir(FIXTURES.parent)
    common.check_backwards_compatibility(Jxl.codec_id, arrays, codecs, prefix=prefix)


@pytest.mark.parametrize("payload", [
    b"[" * 100000 + b"]" * 100000,  # nesting beyond the parser's recursion
    b'{"shape": 5, "dtype": "<u2"}', b'{"shape": [2, 3]}', b'{"dtype": "<u2"}',
    b'[2, 3.5, 16, 16]', b'[2, -3, 16, 16]', b'[true, 3, 16, 16]', b'[2, 3, 16, 1e400]',
    b'[2, 3, 16, 99999999999999999999999]', b'"text"', b'{"shape": [2, 3, 16, 16], "dtype": "O"}',
    b"\xff\xfe not json",
])
def test_corrupt_shape_record_is_refused(payload):
    codec = Jxl(effort=1)
    chunk = make_chunk((2, 3, 16, 16), "uint16")
    stream = bytes(codec.encode(chunk))
    at = stream.index(b"kpsh") - 4
    size = int.from_bytes(stream[at:at + 4], "big")
    damaged = (stream[:at] + (8 + len(payload)).to_bytes(4, "big") + b"kpsh" + payload
               + stream[at + size:])
    with pytest.raises(ValueError, match="shape record .* is corrupt"):
        codec.decode(damaged)
