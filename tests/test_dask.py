"""kestrelpix.dask.imread, and JPEG XL data computed on a real distributed
cluster: the workers decode, the client gets only the results."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

from kestrelpix import jxl
from conftest import make_chunk

da = pytest.importorskip("dask.array")
from kestrelpix.dask import imread, to_jxl  # noqa: E402


def write_files(directory, stack, animation=False, prefix="img"):
    directory.mkdir(exist_ok=True)
    paths = []
    for i, image in enumerate(stack):
        path = directory / f"{prefix}{i:03d}.jxl"
        jxl.encode(image, lossless=True, effort=1, animation=animation, dest=path)
        paths.append(path)
    return paths


@pytest.fixture(scope="module")
def stills(tmp_path_factory):
    stack = make_chunk((40, 24, 32), "uint16", seed=9)
    return write_files(tmp_path_factory.mktemp("stills"), stack), stack


@pytest.mark.parametrize("shape,dtype", [((3, 24, 32), "uint16"), ((3, 16, 20, 4), "uint8"),
                                         ((2, 8, 8, 3), "float32")])
@pytest.mark.parametrize("animation", [False, True])
def test_stack_of_files(tmp_path, shape, dtype, animation):
    # Three files; as animations each holds the same frames, a chunk of them.
    stack = make_chunk(shape, dtype)
    files = stack[:, None] if not animation else np.stack([stack] * 3)
    paths = write_files(tmp_path / "files", files[:, 0] if not animation else files,
                        animation=animation)
    arr = imread(paths)
    want = files[:, 0] if not animation else files
    assert arr.shape == want.shape and arr.dtype == want.dtype
    assert arr.chunks == ((1,) * len(paths), *((n,) for n in want.shape[1:]))
    assert np.array_equal(arr.compute(), want)
    if animation:
        assert np.array_equal(imread(paths, index=-1).compute(), want[:, -1])
        assert np.array_equal(imread(paths, index=1)[2].compute(), want[2, 1])


def test_glob_is_sorted_and_lazy(stills, monkeypatch):
    paths, stack = stills
    decoded = []
    real = jxl.decode
    monkeypatch.setattr(jxl, "decode", lambda *a, **k: decoded.append(a) or real(*a, **k))
    arr = imread(str(paths[0].parent / "img*.jxl"))
    assert arr.shape == stack.shape and arr.dtype == np.uint16
    assert decoded == []  # headers only so far
    assert np.array_equal(arr[5:8].compute(), stack[5:8])
    assert len(decoded) == 3  # one chunk per file, only those asked for


@pytest.mark.parametrize("animation", [False, True])
def test_stacks_as_dasks_own_imread(tmp_path, animation):
    # dask.array.image.imread, reading each file with the codec, stacks the
    # same files alike (it decodes the first file to learn what imread reads
    # from the headers).
    from dask.array.image import imread as dask_imread
    stack = make_chunk((4, 3, 16, 20) if animation else (4, 16, 20), "uint16")
    write_files(tmp_path, stack, animation=animation)
    pattern = str(tmp_path / "img*.jxl")
    theirs, ours = dask_imread(pattern, imread=jxl.decode), imread(pattern)
    assert (ours.shape, ours.chunks, ours.dtype) == (theirs.shape, theirs.chunks, theirs.dtype)
    assert np.array_equal(ours.compute(), theirs.compute())


def test_one_frame_animation_keeps_its_axis(tmp_path):
    stack = make_chunk((2, 1, 8, 8), "uint8")
    paths = write_files(tmp_path, stack, animation=True)
    assert np.array_equal(imread(paths).compute(), stack)


@pytest.mark.parametrize("odd,match", [
    (make_chunk((24, 40), "uint16"), r"img001\.jxl is a uint16 \(24, 40\)"),
    (make_chunk((24, 32), "uint8"), r"img001\.jxl is a uint8 \(24, 32\)"),
    (make_chunk((24, 32, 3), "uint16"), r"img001\.jxl"),
    (make_chunk((1, 24, 32), "uint16"), r"img001\.jxl .* animation"),
])
def test_odd_file_is_named(tmp_path, odd, match):
    first = make_chunk((24, 32), "uint16")
    good = write_files(tmp_path, [first, first, first])
    jxl.encode(odd, lossless=True, animation=odd.ndim == 3 and odd.shape[0] == 1, dest=good[1])
    with pytest.raises(ValueError, match=match):
        imread(good)


def test_errors(tmp_path, stills):
    paths, _ = stills
    with pytest.raises(FileNotFoundError, match="no file matches"):
        imread(str(tmp_path / "*.jxl"))
    with pytest.raises(ValueError, match="empty"):
        imread([])
    (tmp_path / "not.jxl").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(64))
    with pytest.raises(ValueError, match=r"not\.jxl: jxl: not a JPEG XL stream"):
        imread([paths[0], tmp_path / "not.jxl"])
    with pytest.raises(IndexError, match="no frame 1"):
        imread(paths[:2], index=1)


@pytest.mark.parametrize("index,new,match", [
    (None, make_chunk((24, 32), "uint8"), r"img001\.jxl changed .* now a uint8 \(24, 32\)"),
    (None, make_chunk((32, 24), "uint16"), r"img001\.jxl changed .* now a uint16 \(32, 24\)"),
    (None, make_chunk((2, 24, 32), "uint16"), r"img001\.jxl changed .* animation"),
    # The planned last frame is frame 1; the file now has three.
    (-1, make_chunk((3, 24, 32), "uint16"), r"img001\.jxl changed .* of 3 frame\(s\), not .* of 2"),
    (0, make_chunk((1, 24, 32), "uint16"), r"img001\.jxl changed"),
])
def test_file_rewritten_after_the_array_was_made(tmp_path, index, new, match):
    paths = write_files(tmp_path, make_chunk((3, 2, 24, 32), "uint16"), animation=True)
    if index is None:
        paths = write_files(tmp_path, make_chunk((3, 24, 32), "uint16"))
    arr = imread(paths, index=index)
    jxl.encode(new, lossless=True, animation=new.ndim == 3, dest=paths[1])
    assert arr[0].compute().shape == arr.shape[1:]  # the untouched files still read
    with pytest.raises(ValueError, match=match):
        arr.compute()
    paths[2].unlink()
    with pytest.raises(FileNotFoundError, match=r"img002\.jxl"):
        arr[2].compute()


def test_bytes_paths_are_file_names(stills):
    # File names, as os.fsdecode reads them (jxl.decode takes bytes as data).
    paths, stack = stills
    names = [bytes(p) for p in paths[:3]]
    assert np.array_equal(imread(names).compute(), stack[:3])
    pattern = bytes(paths[0].parent / "img00[0-2].jxl")
    assert np.array_equal(imread(pattern).compute(), stack[:3])


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


def test_cluster_reduces_zarr_and_files(tmp_path, stills, cluster):
    import distributed
    import zarr

    from kestrelpix.zarr import Jxl
    client = cluster
    paths, stack = stills
    volume = make_chunk((12, 96, 80), "uint16", seed=4)
    z = zarr.create_array(tmp_path / "v.zarr", shape=volume.shape, chunks=(4, 48, 40),
                          dtype=volume.dtype, serializer=Jxl(effort=1), compressors=None)
    z[:] = volume

    from_zarr = da.from_zarr(str(tmp_path / "v.zarr"))
    from_files = imread(paths)
    # The graphs carry paths and metadata, not pixels: the workers read.
    for arr, source in ((from_zarr, volume), (from_files, stack)):
        assert len(pickle.dumps(dict(arr.__dask_graph__()))) < source.nbytes / 10

    with distributed.get_task_stream(client) as tasks:
        sums = client.compute([from_zarr.sum(axis=0, dtype=np.uint64),
                               from_files.max(axis=0), from_files.mean()],
                              optimize_graph=False)  # keep the reading tasks apart
        zsum, fmax, fmean = client.gather(sums)
    assert np.array_equal(zsum, volume.sum(axis=0, dtype=np.uint64))
    assert np.array_equal(fmax, stack.max(axis=0))
    assert fmean == pytest.approx(stack.mean())

    # Every chunk was read and decoded by a task on a worker.
    workers = set(client.scheduler_info()["workers"])
    for arr in (from_zarr, from_files):
        read = [t for t in tasks.data if isinstance(t["key"], tuple)
                and t["key"][0] == arr.name]
        assert len(read) == arr.npartitions
        assert {t["worker"] for t in read} <= workers


# --- to_jxl --------------------------------------------------------------------


class Counted:
    """Counts the blocks a Dask array computes."""

    def __init__(self):
        self.computed = 0

    def block(self, block):
        self.computed += 1
        return block


@pytest.mark.parametrize("shape, chunks", [
    ((2300, 2200, 3), (600, 700, 3)),
    ((2300, 2200), (2048, 2048)),
    ((900, 1300, 4), (300, 500, 2)),  # channels split across chunks
])
def test_to_jxl_round_trip_computing_each_block_once(tmp_path, shape, chunks):
    image = make_chunk(shape, "uint8", seed=4)
    counted = Counted()
    lazy = da.from_array(image, chunks=chunks).map_blocks(
        counted.block, dtype=np.uint8, meta=np.empty((0,) * len(shape), np.uint8))
    target = tmp_path / "big.jxl"
    import dask
    with dask.config.set(scheduler="threads"):  # counted here, not on a cluster's workers
        assert to_jxl(lazy, target, lossless=True, effort=2) == str(target)
    np.testing.assert_array_equal(jxl.decode(target), image)
    # Each block computed once: blocks are kept while libjxl's rectangles
    # straddle them, not recomputed per rectangle.
    assert counted.computed == int(np.prod([len(c) for c in lazy.chunks]))


@pytest.mark.parametrize("array, error, message", [
    (np.zeros((8, 8), np.uint8), TypeError, "^to_jxl: array must be a dask.array.Array"),
    (da.zeros((2, 8, 8, 3), np.uint8), ValueError, r"^to_jxl: array must be \(Y, X\)"),
    (da.zeros((8, 8), np.int32), ValueError, "unsupported dtype"),
])
def test_to_jxl_refusals_leave_no_file(tmp_path, array, error, message):
    with pytest.raises(error, match=message):
        to_jxl(array, tmp_path / "out.jxl")
    assert list(tmp_path.iterdir()) == []


def test_to_jxl_failing_block_leaves_no_file(tmp_path):
    def fail(block, block_info=None):
        if block_info[0]["chunk-location"][0] == 2:
            raise RuntimeError("block lost")
        return block

    lazy = da.zeros((2300, 900), np.uint8, chunks=(512, 900)).map_blocks(fail, dtype=np.uint8)
    target = tmp_path / "out.jxl"
    target.write_bytes(b"old")
    with pytest.raises(RuntimeError, match="^block lost$"):
        to_jxl(lazy, target, lossless=True, effort=1)
    assert target.read_bytes() == b"old" and len(list(tmp_path.iterdir())) == 1


@pytest.mark.parametrize("chunks, options", [
    ((2048, 2048), dict(distance=1, effort=3)),   # rectangles of 2048 + 8 around
    ((2048, 1500), dict(distance=1, effort=3)),
    ((2048, 2048, 3), dict(lossless=True, effort=1)),  # 256 square, from threads
])
def test_to_jxl_keeps_about_one_row_of_blocks(tmp_path, monkeypatch, chunks, options):
    """libjxl's rectangles overlap the block row below them: that row is
    computed as they go, while the blocks they have gone past shrink to the
    few rows the next row of rectangles reads (never two rows at once), and
    each block is computed once."""
    from kestrelpix import dask as kdask
    shape = (4200, 4200, *chunks[2:])
    image = make_chunk(shape, "uint8", seed=6)
    peaks = []

    class Watched(kdask._Blocks):
        def __getitem__(self, key):
            out = super().__getitem__(key)
            peaks.append(sum(p.nbytes for _, p in self._blocks.values()))
            return out
    monkeypatch.setattr(kdask, "_Blocks", Watched)
    counted = Counted()
    lazy = da.from_array(image, chunks=chunks).map_blocks(
        counted.block, dtype=np.uint8, meta=np.empty((0,) * len(shape), np.uint8))
    import dask
    with dask.config.set(scheduler="threads"):  # counted here, not on a cluster's workers
        to_jxl(lazy, tmp_path / "wide.jxl", **options)
    back = jxl.decode(tmp_path / "wide.jxl")
    if options.get("lossless"):
        np.testing.assert_array_equal(back, image)
    assert counted.computed == int(np.prod([len(c) for c in lazy.chunks]))
    row = image[:chunks[0]].nbytes
    assert max(peaks) <= row + 3 * image[:chunks[0], :chunks[1]].nbytes


@pytest.mark.parametrize("order", ["down", "up", "shuffled"])
def test_block_rows_serve_any_order(order):
    """libjxl's threads may ask out of order: a block trimmed or dropped
    for a later rectangle is computed again, never misplaced."""
    from kestrelpix.dask import _Blocks
    image = make_chunk((700, 300), "uint16", seed=5)
    rows = _Blocks(da.from_array(image, chunks=(128, 100)))
    keys = [(slice(y, min(y + 90, 700)), slice(x, x + 150)) for y in range(0, 700, 60)
            for x in (0, 150)]
    if order == "up":
        keys.reverse()
    elif order == "shuffled":
        np.random.default_rng(1).shuffle(keys)
    for key in keys:
        np.testing.assert_array_equal(rows[key], image[key])
