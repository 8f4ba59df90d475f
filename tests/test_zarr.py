"""Zarr arrays with JPEG XL chunks: written here, read back by a process
that never imports kestrelpix, chunk files checked with djxl."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import assert_ok, djxl_frames, make_chunk, run_python

zarr = pytest.importorskip("zarr")
from kestrelpix.numcodecs import Jxl as NumcodecsJxl  # noqa: E402
from kestrelpix.zarr import Jxl  # noqa: E402

# A 16-bit volume whose size is no multiple of the chunks: edge chunks are
# padded by Zarr, and must still come back exact.
SHAPE, CHUNKS = (10, 40, 52), (4, 32, 32)


@pytest.fixture(scope="module")
def volume() -> np.ndarray:
    return make_chunk(SHAPE, "uint16", seed=3)


def write(path, data, zarr_format, **options):
    if zarr_format == 3:
        z = zarr.create_array(path, shape=data.shape, chunks=CHUNKS, dtype=data.dtype,
                              serializer=Jxl(**options), compressors=None)
    else:
        z = zarr.create_array(path, shape=data.shape, chunks=CHUNKS, dtype=data.dtype,
                              compressors=NumcodecsJxl(**options), filters=None,
                              zarr_format=2)
    z[:] = data
    return z


@pytest.mark.parametrize("zarr_format", [3, 2])
def test_fresh_process_reads_the_volume_exactly(tmp_path, volume, zarr_format):
    path = tmp_path / "volume.zarr"
    write(path, volume, zarr_format, effort=1)
    np.save(tmp_path / "source.npy", volume)
    code = (
        "import sys, numpy as np, zarr\n"
        "z = zarr.open_array(sys.argv[1], mode='r')\n"
        "source = np.load(sys.argv[2])\n"
        "assert z.dtype == source.dtype and z.shape == source.shape\n"
        "assert np.array_equal(z[:], source)\n"
        "assert np.array_equal(z[3:7, 5:35, 30:], source[3:7, 5:35, 30:])\n"
        "print(type(z.metadata.codecs[0] if z.metadata.zarr_format == 3 "
        "else z.metadata.compressor).__module__)\n")
    done = run_python(code, path, tmp_path / "source.npy")
    assert_ok(done)
    expected = "kestrelpix.zarr" if zarr_format == 3 else "kestrelpix.numcodecs"
    assert done.stdout.strip() == expected


@pytest.mark.parametrize("zarr_format", [3, 2])
def test_every_chunk_file_decodes_through_djxl(tmp_path, have_tools, volume, zarr_format):
    z = write(tmp_path / "volume.zarr", volume, zarr_format, effort=1)
    store = tmp_path / "volume.zarr"
    chunk_files = [p for p in store.rglob("*") if p.is_file() and not p.name.startswith(".")
                   and p.name != "zarr.json"]
    grid = [range(-(-n // c)) for n, c in zip(SHAPE, CHUNKS)]
    assert len(chunk_files) == np.prod([len(r) for r in grid])
    padded = np.zeros([len(r) * c for r, c in zip(grid, CHUNKS)], np.uint16)
    padded[tuple(slice(0, n) for n in SHAPE)] = volume
    sep = "/" if zarr_format == 3 else "."
    for path in chunk_files:
        key = path.relative_to(store).as_posix()
        index = [int(i) for i in (key[2:] if zarr_format == 3 else key).split(sep)]
        out = tmp_path / f"frames-{'-'.join(map(str, index))}"
        out.mkdir()
        frames = np.stack(djxl_frames(path.read_bytes(), out, ".pgm"))
        want = padded[tuple(slice(i * c, (i + 1) * c) for i, c in zip(index, CHUNKS))]
        assert np.array_equal(frames, want), key
    assert z.nchunks == len(chunk_files)


def test_colour_chunks_lossy(tmp_path):
    rgb = make_chunk((2, 48, 64, 3), "uint8", seed=5)
    z = zarr.create_array(tmp_path / "rgb.zarr", shape=rgb.shape, chunks=(1, 32, 32, 3),
                          dtype=rgb.dtype, serializer=Jxl(quality=90, channels_last=True),
                          compressors=None)
    z[:] = rgb
    back = zarr.open_array(tmp_path / "rgb.zarr", mode="r")
    assert back.metadata.codecs[0] == Jxl(quality=90, channels_last=True)
    assert back.metadata.codecs[0].lossless is False
    data = back[:]
    assert data.shape == rgb.shape and data.dtype == np.uint8
    assert abs(data.mean() - rgb.mean()) < 2


@pytest.mark.parametrize("sharded", [False, True], ids=["", "sharded"])
@pytest.mark.parametrize("dtype,chunks,options,error,match", [
    ("int16", (4, 32, 32), {}, TypeError, "dtype int16"),
    ("int32", (4, 32, 32), {}, TypeError, "dtype int32"),
    ("float64", (4, 32, 32), {}, TypeError, "dtype float64"),
    ("uint8", (32,), {}, ValueError, "too few axes"),
    ("uint8", (4, 32, 32), {"channels_last": True}, ValueError, "has 32"),
    ("uint8", (4, 32, 32, 5), {"channels_last": True}, ValueError, "has 5"),
])
def test_unsupported_arrays_are_refused_before_writing(tmp_path, dtype, chunks, options, error,
                                                       match, sharded):
    # Inside a ShardingCodec the codec's chunks are the inner chunks.
    shape = (8, 64, 64)[3 - len(chunks[:3]):] + chunks[3:]
    with pytest.raises(error, match=match):
        zarr.create_array(tmp_path / "bad.zarr", shape=shape, chunks=chunks, dtype=dtype,
                          shards=shape if sharded else None, serializer=Jxl(**options),
                          compressors=None)
    assert not (tmp_path / "bad.zarr" / "zarr.json").exists()


@pytest.mark.parametrize("shards", [None, (3, 64, 64)])
def test_transposed_colour_chunks(tmp_path, shards):
    # CYX planes turned YXC by a TransposeCodec ahead are colour images.
    from zarr.codecs import TransposeCodec
    planes = make_chunk((3, 40, 64), "uint8", seed=6)
    z = zarr.create_array(tmp_path / "cyx.zarr", shape=planes.shape, chunks=(3, 32, 32),
                          shards=shards, dtype=planes.dtype,
                          filters=[TransposeCodec(order=(1, 2, 0))],
                          serializer=Jxl(channels_last=True, effort=1), compressors=None)
    z[:] = planes
    assert np.array_equal(zarr.open_array(tmp_path / "cyx.zarr", mode="r")[:], planes)
    # Without the transpose the same chunks have no channel axis last.
    with pytest.raises(ValueError, match="has 32"):
        zarr.create_array(tmp_path / "plain.zarr", shape=planes.shape, chunks=(3, 32, 32),
                          shards=shards, dtype=planes.dtype,
                          serializer=Jxl(channels_last=True), compressors=None)


@pytest.mark.parametrize("zarr_format", [3, 2])
def test_float16_with_nan_fill_value(tmp_path, zarr_format):
    # Zarr pads the edge chunks with NaN, which libjxl's float16 cannot hold.
    data = make_chunk(SHAPE, "float16", seed=7)
    data[0, 0, :3] = [np.nan, np.inf, -0.0]
    path = tmp_path / "half.zarr"
    if zarr_format == 3:
        z = zarr.create_array(path, shape=SHAPE, chunks=CHUNKS, dtype="float16",
                              fill_value=np.nan, serializer=Jxl(effort=1), compressors=None)
    else:
        z = zarr.create_array(path, shape=SHAPE, chunks=CHUNKS, dtype="float16",
                              fill_value=np.nan, compressors=NumcodecsJxl(effort=1),
                              filters=None, zarr_format=2)
    z[:] = data
    back = zarr.open_array(path, mode="r")[:]
    assert back.dtype == np.float16 and np.array_equal(back, data, equal_nan=True)


@pytest.mark.parametrize("dtype", [">u2", ">f2", ">f4"])
def test_zarr2_big_endian(tmp_path, dtype):
    # Zarr 2 views what the codec decodes as the array's dtype.
    data = make_chunk(SHAPE, dtype.replace(">", "<"), seed=8).astype(dtype)
    z = write(tmp_path / "be.zarr", data, 2, effort=1)
    assert z.dtype == np.dtype(dtype)
    back = zarr.open_array(tmp_path / "be.zarr", mode="r")[:]
    assert np.array_equal(back, data)


@pytest.mark.parametrize("config", [{}, {"quality": 80, "effort": 2, "numthreads": 1},
                                    {"channels_last": True, "decoding_speed": 3}])
def test_metadata_round_trip(config):
    codec = Jxl(**config)
    saved = codec.to_dict()
    assert saved["name"] == "kestrelpix_jxl"
    assert Jxl.from_dict(saved) == codec
    assert zarr.registry.get_codec_class("kestrelpix_jxl") is Jxl


def test_fortran_ordered_zarr2_array_is_refused(tmp_path):
    import zarr as zarr_pkg
    from kestrelpix.numcodecs import Jxl as NumcodecsJxl

    volume = np.arange(2 * 16 * 16, dtype=np.uint16).reshape(2, 16, 16)
    array = zarr_pkg.create_array(tmp_path / "f.zarr", shape=volume.shape, chunks=(1, 16, 16),
                                  dtype=volume.dtype, zarr_format=2, order="F",
                                  compressors=NumcodecsJxl(), filters=None)
    with pytest.raises(ValueError, match="Fortran-ordered chunks"):
        array[:] = volume
