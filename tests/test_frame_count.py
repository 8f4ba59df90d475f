"""frame_count: counting frames by parsing, without decoding pixels."""

import io
import pathlib

import numpy as np
import pytest

from conftest import cjxl, sample_image, write_apng

TRUNCATED = "^jxl: truncated stream while counting frames$"


@pytest.fixture(scope="module")
def animations(tmp_path_factory, have_tools):
    """Lossless cjxl animations by frame count."""
    tmp = tmp_path_factory.mktemp("frame_count")
    out = {}
    for count in (1, 3, 7):
        frames = np.stack([sample_image(16, 20, 3, seed=i) for i in range(count)])
        out[count] = cjxl(write_apng(tmp / f"{count}.apng", frames), tmp / f"{count}.jxl",
                          "-d", "0", "-e", "1")
    return out


@pytest.mark.parametrize("count", [1, 3, 7, "still"])
def test_counts_the_frames_decoded(jxl, animations, lossless_rgb, count):
    stream = lossless_rgb[0] if count == "still" else animations[count]
    expected = 1 if count == "still" else count
    assert jxl.frame_count(stream) == expected
    assert len(list(jxl.JxlReader(stream))) == expected


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, io.BytesIO, "str", pathlib.Path])
def test_input_kinds(jxl, animations, tmp_path, wrap):
    stream = animations[3]
    if wrap in ("str", pathlib.Path):
        path = tmp_path / "three.jxl"
        path.write_bytes(stream)
        data = str(path) if wrap == "str" else path
    else:
        data = wrap(stream)
    assert jxl.frame_count(data) == 3


def test_file_object_is_left_open(jxl, animations):
    file = io.BytesIO(b"xy" + animations[3])
    file.seek(2)
    assert jxl.frame_count(file) == 3
    assert not file.closed and file.tell() == len(file.getvalue())


@pytest.mark.parametrize("numthreads", [None, 0, -3, 1, 64, "ignored"])
def test_numthreads_is_ignored(jxl, animations, numthreads):
    assert jxl.frame_count(animations[7], numthreads=numthreads) == 7


@pytest.mark.parametrize("empty", [b"", bytearray(), memoryview(b""), io.BytesIO(), "file"])
def test_empty_input_counts_nothing(jxl, tmp_path, empty):
    if empty == "file":
        empty = tmp_path / "empty.jxl"
        empty.write_bytes(b"")
    assert jxl.frame_count(empty) == 0


def test_bytes_subclass_is_refused(jxl, animations):
    class Stream(bytes):
        pass

    with pytest.raises(TypeError, match="^Expected bytes, got Stream$"):
        jxl.frame_count(Stream(animations[1]))


@pytest.mark.parametrize("data", [None, 1.5, 5, 10**10, object(), io.StringIO("text")])
def test_unconvertible_input(jxl, data):
    with pytest.raises(TypeError):
        jxl.frame_count(data)


CORRUPT = "^JxlDecoderProcessInput returned JXL_DEC_ERROR$"


@pytest.mark.parametrize("data, message", [
    (b"\xff", TRUNCATED),
    (b"GIF89a, certainly not JPEG XL", CORRUPT),
    (b"\xff\x0a" + bytes(30), CORRUPT),  # a codestream signature, then an invalid header
])
def test_not_a_stream(jxl, data, message):
    with pytest.raises(jxl.JxlError, match=message):
        jxl.frame_count(data)


@pytest.mark.parametrize("count, cut", [
    (1, 6),      # inside the image header
    (3, 10),
    (3, 0.5),    # inside the second frame
    (7, 0.3),
    (7, 0.8),
])
def test_truncated_stream(jxl, animations, count, cut):
    # Cuts stay before the last frame: libjxl stops at the last frame header,
    # so a cut inside the last frame's data still counts every frame.
    stream = animations[count]
    end = cut if isinstance(cut, int) else int(len(stream) * cut)
    with pytest.raises(jxl.JxlError, match=TRUNCATED):
        jxl.frame_count(stream[:end])

