"""Fuzzes the decoder's entry points with every combination of their flags.

The first bytes choose the entry point (decode, decode into an `out` array,
a JxlReader iterated, iterated with frame info, read or read into `out`,
frame_count, probe with a max_box_size), the kind of source (bytes,
bytearray, memoryview, a uint8 array, a file object, or a file that looks
large enough to stream, served by the stand-in chunk reader in chunks of a
fuzzed size) and the flags: coalesce, keep_orientation, parse_color,
numthreads, index (negative and out-of-range ones too), skip_frames and
extra_channels (where the build has it); `out` arrays are right or wrong in
dtype, shape, layout or writability. The rest is the stream. A Python
exception is an acceptable answer; only a crash, a sanitizer report or a hang
is a finding."""

from __future__ import annotations

import sys

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup

sup.install_stand_ins()

# A few header bytes can declare a gigapixel image; allocating its frame is
# legitimate but not what fuzzing is for.
_MAX_FRAME_BYTES = 1 << 26
_HAVE_EXTRA = "extra_channels" in (jxl.decode.__doc__ or "")
_INDICES = [None, None, 0, 1, 2, 3, 5, -1, -2, -3, 2**31 - 1, 2**31, -2**31, -2**31 - 1,
            2**63, -2**63, 2**64]


def _small(reader) -> bool:
    shape = reader.frame_shape or (0,)
    return int(np.prod(shape, dtype=np.uint64)) * 4 <= _MAX_FRAME_BYTES


_KINDS = ("bytes", "bytearray", "memoryview", "array", "file")


def _source(kind: int, data: bytes, streaming: bool):
    if streaming:
        return sup.LargeLooking(data)
    return sup.as_source(_KINDS[min(kind, len(_KINDS) - 1)], data)


def _probe(data: bytes) -> bool:
    with jxl.JxlReader(data, numthreads=1, parse_color=False) as probe:
        return _small(probe)


def _out_like(fdp: atheris.FuzzedDataProvider, like: np.ndarray):
    """An `out` array for `like`: the right one, or one wrong in some way."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 3:
        return np.empty_like(like)
    if kind == 4:
        other = np.float32 if like.dtype != np.float32 else np.uint8
        return np.empty(like.shape, other)
    if kind == 5:
        return np.empty(like.shape[:-1] + (like.shape[-1] + 1,), like.dtype)
    if kind == 6:  # right shape, not contiguous
        return np.empty(like.shape + (2,), like.dtype)[..., 0]
    if kind == 7:
        out = np.empty_like(like)
        out.flags.writeable = False
        return out
    if kind == 8:
        return np.empty(like.size, like.dtype)
    return fdp.PickValueInList([None, np.empty((), like.dtype), [0], b"\0" * like.nbytes])


def _drain(reader, how: int, fdp: atheris.FuzzedDataProvider) -> None:
    with reader:
        if not _small(reader):
            return
        reader.basic_info, reader.color, reader.icc_profile, reader.dtype
        reader.is_animation, reader.n_frames, reader.samples
        for attr in ("animation", "extra_channels"):
            getattr(reader, attr, None)
        for _ in range(1 + (how & 1)):
            try:
                if how & 2:
                    reader.read()
                elif how & 4:
                    for _ in reader.iter_frames(info=fdp.ConsumeBool()):
                        pass
                else:
                    for _ in reader:
                        pass
            except jxl.JxlError:
                pass


def _read_into(make_reader, fdp: atheris.FuzzedDataProvider) -> None:
    with make_reader() as reader:
        if not _small(reader):
            return
        like = reader.read()
    with make_reader() as reader:
        reader.read(out=_out_like(fdp, like))


# The stream starts at a fixed offset, after the bytes that choose the rest,
# so that seeds and crash files read plainly.
HEADER = 20


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data[:HEADER])
    data = data[HEADER:]
    entry = fdp.ConsumeIntInRange(0, 7)
    source_kind = fdp.ConsumeIntInRange(0, 5)
    streaming = source_kind == 5
    sup.TinyChunks.chunk = fdp.PickValueInList([1, 2, 3, 7, 12, 16, 100, 4096]) \
        if fdp.ConsumeBool() else fdp.ConsumeIntInRange(1, 65536)
    flags = {
        "coalesce": fdp.ConsumeBool(),
        "keep_orientation": fdp.ConsumeBool(),
        "parse_color": fdp.ConsumeBool(),
        "numthreads": fdp.PickValueInList([1, 1, 1, 2, 0, -1, None]),
    }
    # The streaming flag also on sources it does not apply to.
    if streaming or fdp.ConsumeIntInRange(0, 7) == 0:
        flags["streaming"] = True
    index = None
    if fdp.ConsumeBool():
        index = fdp.PickValueInList(_INDICES) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-4, 8)
    skip = fdp.PickValueInList([0, 0, 0, 1, 2, 3, -1, 2**31, -2**31 - 1, 2**63, 2**64])
    how = fdp.ConsumeIntInRange(0, 7)
    if _HAVE_EXTRA and fdp.ConsumeIntInRange(0, 3) == 0:
        flags["extra_channels"] = True
    max_box = fdp.PickValueInList([0, 1, 8, 64, 4096, 1 << 26, 2**63 - 1, -1, 2**64, None])

    def source():
        return _source(source_kind, data, streaming)

    try:
        if entry == 3:
            jxl.frame_count(source(), numthreads=flags["numthreads"])
        elif entry == 4:
            if hasattr(jxl, "probe"):
                extra = {} if max_box is None else {"max_box_size": max_box}
                jxl.probe(source(), numthreads=flags["numthreads"], **extra)
        elif entry == 2:
            _drain(jxl.JxlReader(source(), skip_frames=skip, **flags), how, fdp)
        elif not _probe(data):
            return
        elif entry == 5:
            like = jxl.decode(source(), index=index, **flags)
            jxl.decode(source(), index=index, out=_out_like(fdp, like), **flags)
        elif entry == 6:
            _read_into(lambda: jxl.JxlReader(source(), skip_frames=skip, **flags), fdp)
        else:
            jxl.decode(source(), index=index, **flags)
    except Exception:
        pass


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
