"""frame_count: counting frames by parsing, without decoding pixels."""

import io
import pathlib

import numpy as np
import pytest

from conftest import cjxl, sample_image, write_apng

TRUNCATED = "^jxl: truncated stream while counting frames"


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
    stream = animations[count]
    end = cut if isinstance(cut, int) else int(len(stream) * cut)
    with pytest.raises(jxl.JxlError, match=TRUNCATED):
        jxl.frame_count(stream[:end])



@pytest.fixture(scope="module")
def made_by_cjxl(tmp_path_factory, have_tools):
    """Still and animated, bare and container streams made by cjxl (lossy,
    so that the last frame is several groups long)."""
    tmp = tmp_path_factory.mktemp("cut")
    still = write_apng(tmp / "still.apng", sample_image(300, 280, 3)[None])
    frames = np.stack([sample_image(64, 80, 4, seed=i) for i in range(4)])
    anim = write_apng(tmp / "anim.apng", frames)
    return {f"{kind}-{wrap}": cjxl(src, tmp / f"{kind}-{wrap}.jxl", "-d", "1", "-e", "3",
                                   f"--container={int(wrap == 'container')}")
            for kind, src in (("still", still), ("anim", anim))
            for wrap in ("bare", "container")}


CUTS = [0.05, 0.3, 0.6, 0.9, -100, -2, -1]


@pytest.mark.parametrize("as_file", [False, True], ids=["bytes", "file"])
@pytest.mark.parametrize("func", ["frame_count", "probe"])
@pytest.mark.parametrize("name", ["still-bare", "still-container", "anim-bare", "anim-container"])
def test_cut_anywhere_before_the_last_frame_ends(jxl, made_by_cjxl, name, func, as_file):
    # libjxl stops at the last frame's header: a cut inside that frame's data
    # (or one byte short) counted every frame.
    stream = made_by_cjxl[name]
    call = getattr(jxl, func)
    whole = call(io.BytesIO(stream) if as_file else stream)
    assert (whole if func == "frame_count" else len(whole["frames"])) == (4 if "anim" in name else 1)
    for cut in CUTS:
        end = cut if isinstance(cut, int) else int(len(stream) * cut)
        with pytest.raises(jxl.JxlError, match="truncated|JXL_DEC_ERROR"):
            call(io.BytesIO(stream[:end]) if as_file else stream[:end])


@pytest.mark.parametrize("name", ["still-bare", "anim-container"])
def test_djxl_refuses_the_same_cuts(tmp_path, made_by_cjxl, name):
    import subprocess
    stream = made_by_cjxl[name]
    for end in (len(stream) - 1, len(stream) // 2):
        (tmp_path / "cut.jxl").write_bytes(stream[:end])
        done = subprocess.run(["djxl", tmp_path / "cut.jxl", tmp_path / "out.png"],
                              capture_output=True)
        assert done.returncode != 0
