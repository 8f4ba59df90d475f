"""Typed use of kestrelpix.codecs._jxl, checked with `mypy --strict`.

Never run: the checker reads it. `assert_type` pins what the stubs promise,
and each `# type: ignore[...]` marks a call they must refuse (strict mode
reports an ignore that is no longer needed, so a loosened stub fails).
"""

from __future__ import annotations

import io
from pathlib import Path
from typing import TYPE_CHECKING, Literal, assert_type

import numpy as np
from numpy.typing import NDArray

import kestrelpix.codecs._jxl as jxl
from kestrelpix.core.color import ColorSpec, parse_color
from kestrelpix.core.errors import CodecError

if TYPE_CHECKING:
    from kestrelpix.codecs._jxl import BasicInfo, ColorEncoding, Frame, FrameType


def one_call(image: NDArray[np.uint8], stack: NDArray[np.float32]) -> None:
    data = jxl.encode(image, lossless=True, effort=7, numthreads=2)
    assert_type(data, bytes)
    assert_type(jxl.encode(stack, animation=True, quality=90.5, color="display-p3"), bytes)
    assert_type(jxl.encode(image, dest=Path("out.jxl")), None)
    assert_type(jxl.encode(image, dest=io.BytesIO(), distance=1), None)
    maybe_dest: str | None = None
    assert_type(jxl.encode(image, dest=maybe_dest), bytes | None)
    gamma = parse_color("gamma:2.2")
    assert_type(jxl.encode(image, color=gamma, decoding_speed=2, container=True), bytes)

    assert_type(jxl.decode(data), Frame)
    assert_type(jxl.decode("out.jxl", index=2, streaming=True), Frame)
    with open("out.jxl", "rb") as f:
        assert_type(jxl.decode(f, numthreads=None), Frame)
    assert_type(jxl.decode(bytearray(data)), Frame)
    assert_type(jxl.decode(memoryview(data)), Frame)
    assert_type(jxl.decode(np.frombuffer(data, np.uint8)), Frame)

    assert_type(jxl.frame_count(Path("out.jxl")), int)
    assert_type(jxl.check_signature(data), bool)
    assert_type(jxl.check_signature(None), bool)
    assert_type(jxl.libjxl_version(), str)

    jxl.decode(data, 1)  # type: ignore[call-overload]
    jxl.decode(42)  # type: ignore[call-overload]
    jxl.encode(image, qualty=90)  # type: ignore[call-overload]
    jxl.encode(image, color=3)  # type: ignore[call-overload]
    jxl.check_signature("text")  # type: ignore[arg-type]


def reader(path: Path) -> Frame:
    with jxl.JxlReader(path, parse_color=True, skip_frames=1) as r:
        assert_type(r, jxl.JxlReader)
        assert_type(r.xsize, int)
        assert_type(r.frame_shape, tuple[int, int] | tuple[int, int, int])
        np.empty(r.frame_shape, r.dtype)
        assert_type(r.dtype, FrameType)
        assert_type(r.n_frames, None)
        assert_type(r.icc_profile, bytes | None)

        info = r.basic_info
        assert_type(info, BasicInfo)
        assert_type(info["have_animation"], bool)
        assert_type(info["intensity_target"], float)
        info["frames"]  # type: ignore[typeddict-item]

        color = r.color
        assert_type(color, ColorEncoding | None)
        if color is not None:
            assert_type(color["transfer_function"], int)

        for frame in r:
            assert_type(frame, Frame)
        first = next(r.iter_frames())
        r.xsize = 3  # type: ignore[misc]
        return first


def writer(frames: list[NDArray[np.uint16]], out: io.BytesIO) -> bytes | None:
    with jxl.JxlWriter(out, animation=True, effort=None) as w:
        assert_type(w, jxl.JxlWriter)
        for frame in frames:
            w.write_frame(frame, is_last=frame is frames[-1])
        w.write_frame(frames[0], True)  # type: ignore[call-arg]
        result = w.close()
    assert_type(result, bytes | None)
    jxl.JxlWriter(3)  # type: ignore[arg-type]
    return result


def exit_does_not_swallow(data: bytes) -> int:
    # __exit__ returns Literal[False], so the checker knows an exception in
    # the block propagates and the return below is reached only normally.
    with jxl.JxlReader(data) as r:
        return r.samples


def errors() -> None:
    try:
        jxl.decode(b"")
    except jxl.JxlError as exc:
        assert_type(exc, jxl.JxlError)
        base: CodecError = exc
        print(base)
    exit_flag = jxl.JxlReader(b"").__exit__(None, None, None)
    assert_type(exit_flag, Literal[False])


def custom_spec() -> ColorSpec:
    return ColorSpec(white_point=1, primaries=11, transfer=13, rendering_intent=1)
