"""encode: one call over JxlWriter, for stills, animation stacks and
destinations."""

from __future__ import annotations

import inspect
import io

import numpy as np
import pytest

from conftest import djxl, read_pnm, sample_image


def written(jxl, frames, **options) -> bytes:
    """The stream a writer makes from `frames`, marking the last one."""
    w = jxl.JxlWriter(**options)
    for i, frame in enumerate(frames):
        w.write_frame(frame, is_last=i == len(frames) - 1)
    return w.close()


def test_signature(jxl):
    assert str(inspect.signature(jxl.encode)) == (
        "(arr, *, color=None, lossless=None, quality=None, distance=None, effort=5, "
        "decoding_speed=0, numthreads=None, animation=False, container=False, dest=None, "
        "durations=None, loops=0, tps=None, exif=None, xmp=None, jumbf=None, orientation=1, "
        "icc_profile=None, compress_boxes=False, extra_channels=None, progressive=False, "
        "group_order=None, center=None, streaming=False, progress=None)")


@pytest.mark.parametrize("channels, suffix", [(1, ".pgm"), (2, ".pam"), (3, ".ppm"), (4, ".pam")])
def test_still_round_trip(jxl, have_tools, tmp_path, channels, suffix):
    img = sample_image(12, 20, channels)
    stream = jxl.encode(memoryview(img), lossless=True)  # anything numpy.asarray takes
    assert stream == written(jxl, [img], lossless=True)
    np.testing.assert_array_equal(read_pnm(djxl(stream, tmp_path, suffix))[0], img)


@pytest.mark.parametrize("stack_shape", [(3, 10, 14), (3, 10, 14, 3)])
def test_animation_stack_matches_writer(jxl, have_tools, tmp_path, stack_shape):
    channels = stack_shape[3] if len(stack_shape) == 4 else 1
    stack = np.stack([sample_image(*stack_shape[1:3], channels, seed=i)
                      for i in range(stack_shape[0])])
    stream = jxl.encode(stack, animation=True, lossless=True)
    assert stream == written(jxl, list(stack), animation=True, lossless=True)
    djxl(stream, tmp_path, ".pnm", "--output_frames")
    for i, frame in enumerate(stack):
        np.testing.assert_array_equal(read_pnm(tmp_path / f"djxl_out.pnm-{i}.pnm")[0], frame)


@pytest.mark.parametrize("samples, message", [
    (3, None),
    (5, "jxl: last dim must be 1/2/3/4 channels (got 5)"),
])
def test_stack_without_animation_is_one_still(jxl, samples, message):
    stack = np.zeros((4, 6, samples), np.uint8)
    if message is None:
        assert jxl.encode(stack) == written(jxl, [stack])
    else:
        with pytest.raises(ValueError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
            jxl.encode(stack)


@pytest.mark.parametrize("shape, message", [
    ((4, 6), "animation requires (T, Y, X[, C]) input"),
    ((1, 2, 4, 6, 3), "jxl: ndim=4; expected 2 (Y,X) or 3 (Y,X,C)"),
])
def test_animation_shape_errors(jxl, tmp_path, shape, message):
    target = tmp_path / "out.jxl"
    with pytest.raises(ValueError) as info:
        jxl.encode(np.zeros(shape, np.uint8), animation=True, dest=target)
    assert str(info.value) == message
    # A path is written only once the whole stream exists.
    assert not target.exists()


def test_empty_animation_is_refused(jxl):
    with pytest.raises(ValueError, match="^jxl: an animation needs at least one frame"):
        jxl.encode(np.zeros((0, 4, 4), np.uint8), animation=True)


@pytest.mark.parametrize("make_dest", [lambda p: p, str, lambda p: io.BytesIO()])
def test_destination_receives_stream(jxl, tmp_path, make_dest):
    img = sample_image(12, 20, 3)
    dest = make_dest(tmp_path / "out.jxl")
    assert jxl.encode(img, dest=dest, effort=2) is None
    data = dest.getvalue() if isinstance(dest, io.BytesIO) else (tmp_path / "out.jxl").read_bytes()
    assert data == jxl.encode(img, effort=2)


def test_errors_propagate_from_writer(jxl, tmp_path):
    with pytest.raises(ValueError, match="^jxl: pass quality or distance, not both$"):
        jxl.encode(np.zeros((4, 4), np.uint8), quality=90, distance=1)
    target = tmp_path / "out.jxl"
    with pytest.raises(ValueError, match="unsupported dtype"):
        jxl.encode(np.zeros((4, 4), np.float64), dest=target)
    assert not target.exists()
    with pytest.raises(TypeError):
        jxl.encode(np.zeros((4, 4), np.uint8), None)
