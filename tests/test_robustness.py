"""Mutation sweeps: whatever the bytes, decoding either succeeds or raises a
Python exception. A crash takes the whole test run down with it."""

from __future__ import annotations


import numpy as np
import pytest

from conftest import LooksLarge, cjxl, sample_image, served_in_pieces, write_apng, write_pnm


@pytest.fixture(scope="module")
def small_streams(tmp_path_factory, have_tools) -> dict[str, bytes]:
    tmp = tmp_path_factory.mktemp("mutation")
    still = write_pnm(tmp / "still.ppm", sample_image(12, 10, 3))
    anim = write_apng(tmp / "anim.apng", [sample_image(8, 9, 2, seed=i) for i in range(3)])
    return {
        "still": cjxl(still, tmp / "still.jxl", "-d", "0", "-e", "1"),
        "lossy": cjxl(still, tmp / "lossy.jxl", "-d", "2", "-e", "3"),
        "animation": cjxl(anim, tmp / "anim.jxl", "-d", "0", "-e", "1"),
        "container": cjxl(still, tmp / "box.jxl", "-d", "0", "-e", "1", "--container=1"),
    }


def _decode_everything(jxl, data) -> None:
    """Every entry point over `data`; only Python exceptions may come out."""
    calls = (
        lambda: jxl.decode(data, parse_color=True),
        lambda: jxl.decode(data, index=1, coalesce=False, numthreads=1),
        lambda: jxl.frame_count(data),
    )
    for call in calls:
        try:
            call()
        except (jxl.JxlError, ValueError, NotImplementedError, IndexError):
            pass
    try:
        reader = jxl.JxlReader(data, numthreads=1)
    except (jxl.JxlError, ValueError, NotImplementedError):
        return
    with reader:
        reader.basic_info, reader.color, reader.icc_profile
        # A second pass resumes a decoder that failed mid-frame: libjxl may
        # still hold the first pass's frame memory.
        for _ in range(2):
            try:
                for _ in reader:
                    pass
            except jxl.JxlError:
                pass


@pytest.mark.parametrize("name", ["still", "lossy", "animation", "container"])
def test_every_truncation(jxl, small_streams, name):
    stream = small_streams[name]
    for cut in range(len(stream)):
        _decode_everything(jxl, stream[:cut])


@pytest.mark.parametrize("name", ["still", "animation"])
def test_single_bit_flips(jxl, small_streams, name):
    stream = np.frombuffer(small_streams[name], np.uint8)
    for pos in range(len(stream)):
        for bit in (pos % 8, (pos + 4) % 8):
            mutated = stream.copy()
            mutated[pos] ^= 1 << bit
            _decode_everything(jxl, mutated.tobytes())


# Found by fuzzing: after libjxl reports an error, driving the same decoder
# again crashed inside libjxl. The error must repeat instead.
FAILED_DECODER_STREAM = bytes.fromhex(
    "ff0a30ffffffff030000400a30ff0000000000000000000000000000000000000000000a"
    + "00" * 48)


def test_decoder_error_is_final(jxl):
    reader = jxl.JxlReader(FAILED_DECODER_STREAM, numthreads=1, coalesce=False,
                           parse_color=False)
    for _ in range(3):
        with pytest.raises(jxl.JxlError, match="^JxlDecoderProcessInput returned JXL_DEC_ERROR$"):
            reader.read()


@pytest.mark.parametrize("size", [1, 7, 4096])
@pytest.mark.parametrize("name", ["still", "container", "animation"])
def test_streaming_truncations(jxl, small_streams, monkeypatch, size, name):
    import kestrelpix.core.io as kio
    monkeypatch.setattr(kio, "BackgroundChunkReader", served_in_pieces(size))
    stream = small_streams[name]
    expected = jxl.decode(stream)
    np.testing.assert_array_equal(jxl.decode(LooksLarge(stream), streaming=True), expected)
    for cut in range(0, len(stream), 3 if size == 1 else 1):
        try:
            jxl.decode(LooksLarge(stream[:cut]), streaming=True, numthreads=1)
        except (jxl.JxlError, ValueError):
            pass


# Found by fuzzing: libjxl's lossy encoder traps (SIGILL) on float samples it
# cannot model; such frames are refused before they reach it.
HUGE_LA_FRAME = np.frombuffer(bytes.fromhex(
    "7472616e73666572727e7874666565727e787472616e73666572727e78747261"),
    np.float32).reshape(4, 1, 2)


@pytest.mark.parametrize("frame", [
    HUGE_LA_FRAME,
    np.full((4, 4), np.nan, np.float32),
    np.full((4, 4, 3), np.inf, np.float32),
    np.full((4, 4), -np.inf, np.float16),
    np.full((4, 4), 2e30, np.float32),
])
def test_lossy_float_frames_libjxl_cannot_model(jxl, frame):
    with pytest.raises(ValueError, match="^jxl: lossy encoding needs finite float samples"):
        jxl.encode(frame, distance=13.6, decoding_speed=1, numthreads=1)
    # Lossless coding takes any float value.
    out = jxl.decode(jxl.encode(frame, lossless=True, numthreads=1))
    np.testing.assert_array_equal(out, frame)
