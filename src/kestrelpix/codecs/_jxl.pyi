"""Type stubs for kestrelpix.codecs._jxl, the streaming JPEG XL codec.

The extension's own docstrings (``help(kestrelpix.codecs._jxl)``) are the
manual; this file gives editors and type checkers the exact parameters and
the precise types of what comes back.
"""

import os
from collections.abc import Callable, Iterator, Sequence
from types import TracebackType
from typing import Literal, Protocol, TypeAlias, TypedDict, TypeVar, overload, type_check_only

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import Buffer, Self, disjoint_base

from kestrelpix.core.color import ColorSpec
from kestrelpix.core.errors import JxlError as JxlError

# ---- Types that exist only for the checker -----------------------------------

#: A decoded frame, or a stack of frames on a leading axis: (Y, X), (Y, X, C)
#: with C of 2 to 4, or (T, Y, X[, C]). The dtype follows the stream's samples.
Frame: TypeAlias = (
    NDArray[np.uint8] | NDArray[np.uint16] | NDArray[np.float16] | NDArray[np.float32]
)

#: The NumPy scalar type of a reader's frames (the type itself, not a dtype).
FrameType: TypeAlias = (
    type[np.uint8] | type[np.uint16] | type[np.float16] | type[np.float32]
)

#: A path the module opens itself; bytes objects are stream data, never paths.
_Path: TypeAlias = str | os.PathLike[str] | os.PathLike[bytes]

@type_check_only
class _Readable(Protocol):
    # Called with no argument to load a file whole, with a chunk size when
    # streaming.
    def read(self, size: int = ..., /) -> bytes: ...

@type_check_only
class _Writable(Protocol):
    # Receives the whole stream at close; a short count gets the rest offered.
    def write(self, data: bytes, /) -> int | None: ...

#: Bytes-like input. NumPy declares arrays as buffers only for Python 3.12 and
#: later, so a uint8 array is named on its own for 3.11.
_Bytes: TypeAlias = Buffer | NDArray[np.uint8]

#: What a reader, decode and frame_count accept.
_Source: TypeAlias = _Bytes | _Path | _Readable

#: Where a writer or encode puts the stream (None: returned as bytes).
_Dest: TypeAlias = _Path | _Writable

@type_check_only
class _Sink(Protocol):
    # Any writable array-like decode and read() fill band by band (Zarr, h5py).
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def dtype(self) -> np.dtype[np.generic]: ...
    def __setitem__(self, key: slice | tuple[int, slice], value: Frame, /) -> None: ...

_SinkT = TypeVar("_SinkT", bound=_Sink)

@type_check_only
class _Sliced(Protocol):
    # What streaming=True reads frames from (np.memmap, Zarr, Dask, h5py).
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def dtype(self) -> np.dtype[np.generic]: ...
    def __getitem__(self, key: tuple[slice, slice], /) -> ArrayLike: ...

#: The writer's colour: a name such as "display-p3", "gamma:2.2", or a ColorSpec.
_Color: TypeAlias = ColorSpec | str | None

@type_check_only
class BasicInfo(TypedDict):
    """`JxlReader.basic_info`: the stream's header facts."""

    xsize: int
    ysize: int
    bits_per_sample: int
    exponent_bits_per_sample: int
    num_color_channels: int
    num_extra_channels: int
    alpha_bits: int
    have_animation: bool
    orientation: int
    intensity_target: float
    min_nits: float
    uses_original_profile: bool

@type_check_only
class ColorEncoding(TypedDict):
    """`JxlReader.color`: libjxl's colour enumerations as plain ints."""

    color_space: int
    white_point: int
    primaries: int
    transfer_function: int
    rendering_intent: int

@type_check_only
class AnimationInfo(TypedDict):
    """`JxlReader.animation` and `probe()["animation"]`."""

    tps_numerator: int
    tps_denominator: int
    num_loops: int
    have_timecodes: bool

@type_check_only
class ProgressiveInfo(TypedDict):
    """What iter_progressive() says of each rendering."""

    downsampling: int
    bytes_read: int

@type_check_only
class FrameInfo(TypedDict, total=False):
    """One frame's header, from `probe()["frames"]` or `iter_frames(info=True)`.

    The layer keys (x0, y0, xsize, ysize) come only from a reader opened
    with coalesce=False."""

    duration: int
    duration_ms: float
    timecode: int
    name: str
    is_last: bool
    x0: int
    y0: int
    xsize: int
    ysize: int

@type_check_only
class ExtraChannelInfo(TypedDict):
    """One extra channel in `JxlReader.extra_channels` and `probe()["extra_channels"]`."""

    type: str
    bits_per_sample: int
    exponent_bits_per_sample: int
    name: str
    alpha_premultiplied: bool
    spot_color: tuple[float, float, float, float] | None

@type_check_only
class ExtraChannelSpec(TypedDict, total=False):
    """An extra channel a writer declares (only "type" is required)."""

    type: str
    name: str
    bits_per_sample: int
    spot_color: Sequence[float]
    alpha_premultiplied: bool

@type_check_only
class BoxInfo(TypedDict):
    """One container box in `probe()["boxes"]`."""

    type: str
    size: int
    compressed: bool

@type_check_only
class ProbeProgressive(TypedDict):
    """What `probe` tells of progressive rendering: the ratios the first
    frame renders at (with ``progressive=True``), and whether the stream
    carries a preview image."""

    downsampling: list[int] | None
    preview: bool

@type_check_only
class ProbeResult(TypedDict):
    """What `probe` tells about a stream."""

    basic_info: BasicInfo
    orientation: int
    color: ColorEncoding | None
    icc_profile: bytes | None
    animation: AnimationInfo | None
    frames: list[FrameInfo]
    boxes: list[BoxInfo]
    exif: bytes | None
    xmp: bytes | None
    jumbf: bytes | None
    extra_channels: list[ExtraChannelInfo]
    jpeg_reconstruction: bool
    progressive: ProbeProgressive

# ---- Module globals ------------------------------------------------------------

# libjxl's status and error values and their symbolic names.
_DEC_STATUS_NAMES: dict[int, str]
_ENC_STATUS_NAMES: dict[int, str]
_ENC_ERR_NAMES: dict[int, str]

# ---- Functions -----------------------------------------------------------------

def libjxl_version() -> str: ...
def check_signature(data: _Bytes | None) -> bool: ...

@overload
def decode(
    data: _Source,
    *,
    numthreads: int | None = None,
    keep_orientation: bool = False,
    coalesce: bool = True,
    parse_color: bool = False,
    streaming: bool = False,
    index: int | None = None,
    out: Frame | None = None,
    extra_channels: bool = False,
    partial: bool = False,
    downsampling: int = 1,
    progress: Callable[[float], object] | None = None,
    preview: bool = False,
) -> Frame: ...
@overload
def decode(
    data: _Source,
    *,
    numthreads: int | None = None,
    keep_orientation: bool = False,
    coalesce: bool = True,
    parse_color: bool = False,
    streaming: bool = False,
    index: int | None = None,
    out: _SinkT,
    extra_channels: bool = False,
    partial: bool = False,
    downsampling: int = 1,
    progress: Callable[[float], object] | None = None,
    preview: Literal[False] = False,
) -> _SinkT: ...
@overload
def encode(
    arr: ArrayLike | _Sliced,
    *,
    color: _Color = None,
    lossless: bool | None = None,
    quality: float | None = None,
    distance: float | None = None,
    effort: int | None = 5,
    decoding_speed: int | None = 0,
    numthreads: int | None = None,
    animation: bool = False,
    container: bool = False,
    dest: None = None,
    durations: float | Sequence[float] | None = None,
    loops: int = 0,
    tps: int | tuple[int, int] | None = None,
    exif: _Bytes | None = None,
    xmp: _Bytes | str | None = None,
    jumbf: _Bytes | None = None,
    orientation: int = 1,
    icc_profile: _Bytes | None = None,
    compress_boxes: bool = False,
    extra_channels: Sequence[str | ExtraChannelSpec] | None = None,
    progressive: bool = False,
    group_order: Literal["scanline", "center"] | None = None,
    center: tuple[int, int] | None = None,
    streaming: bool = False,
    progress: Callable[[float], object] | None = None,
) -> bytes: ...
@overload
def encode(
    arr: ArrayLike | _Sliced,
    *,
    color: _Color = None,
    lossless: bool | None = None,
    quality: float | None = None,
    distance: float | None = None,
    effort: int | None = 5,
    decoding_speed: int | None = 0,
    numthreads: int | None = None,
    animation: bool = False,
    container: bool = False,
    dest: _Dest,
    durations: float | Sequence[float] | None = None,
    loops: int = 0,
    tps: int | tuple[int, int] | None = None,
    exif: _Bytes | None = None,
    xmp: _Bytes | str | None = None,
    jumbf: _Bytes | None = None,
    orientation: int = 1,
    icc_profile: _Bytes | None = None,
    compress_boxes: bool = False,
    extra_channels: Sequence[str | ExtraChannelSpec] | None = None,
    progressive: bool = False,
    group_order: Literal["scanline", "center"] | None = None,
    center: tuple[int, int] | None = None,
    streaming: bool = False,
    progress: Callable[[float], object] | None = None,
) -> None: ...
@overload
def encode(
    arr: ArrayLike | _Sliced,
    *,
    color: _Color = None,
    lossless: bool | None = None,
    quality: float | None = None,
    distance: float | None = None,
    effort: int | None = 5,
    decoding_speed: int | None = 0,
    numthreads: int | None = None,
    animation: bool = False,
    container: bool = False,
    dest: _Dest | None = None,
    durations: float | Sequence[float] | None = None,
    loops: int = 0,
    tps: int | tuple[int, int] | None = None,
    exif: _Bytes | None = None,
    xmp: _Bytes | str | None = None,
    jumbf: _Bytes | None = None,
    orientation: int = 1,
    icc_profile: _Bytes | None = None,
    compress_boxes: bool = False,
    extra_channels: Sequence[str | ExtraChannelSpec] | None = None,
    progressive: bool = False,
    group_order: Literal["scanline", "center"] | None = None,
    center: tuple[int, int] | None = None,
    streaming: bool = False,
    progress: Callable[[float], object] | None = None,
) -> bytes | None: ...
def frame_count(data: _Source, *, numthreads: int | None = None) -> int: ...
def probe(
    data: _Source,
    *,
    numthreads: int | None = None,
    max_box_size: int = 67108864,
    progressive: bool = False,
) -> ProbeResult: ...
@overload
def transcode_jpeg(
    jpeg: _Source,
    *,
    effort: int | None = 7,
    numthreads: int | None = None,
    dest: None = None,
    verify: bool = True,
) -> bytes: ...
@overload
def transcode_jpeg(
    jpeg: _Source,
    *,
    effort: int | None = 7,
    numthreads: int | None = None,
    dest: _Dest,
    verify: bool = True,
) -> None: ...
@overload
def transcode_jpeg(
    jpeg: _Source,
    *,
    effort: int | None = 7,
    numthreads: int | None = None,
    dest: _Dest | None = None,
    verify: bool = True,
) -> bytes | None: ...
@overload
def reconstruct_jpeg(data: _Source, *, dest: None = None) -> bytes: ...
@overload
def reconstruct_jpeg(data: _Source, *, dest: _Dest) -> None: ...
@overload
def reconstruct_jpeg(data: _Source, *, dest: _Dest | None = None) -> bytes | None: ...

# ---- Classes -------------------------------------------------------------------

@disjoint_base
class JxlReader:
    def __init__(
        self,
        data: _Source,
        *,
        numthreads: int | None = None,
        keep_orientation: bool = False,
        coalesce: bool = True,
        parse_color: bool = True,
        streaming: bool = False,
        skip_frames: int = 0,
        extra_channels: bool = False,
        partial: bool = False,
        downsampling: int = 1,
        progress: Callable[[float], object] | None = None,
    ) -> None: ...
    @property
    def complete(self) -> bool: ...
    @property
    def xsize(self) -> int: ...
    @property
    def ysize(self) -> int: ...
    @property
    def samples(self) -> int: ...
    # Both are None only on a reader whose construction failed, which a
    # caller never holds.
    @property
    def frame_shape(self) -> tuple[int, int] | tuple[int, int, int]: ...
    @property
    def dtype(self) -> FrameType: ...
    @property
    def is_animation(self) -> bool: ...
    @property
    def n_frames(self) -> None: ...
    @property
    def basic_info(self) -> BasicInfo: ...
    @property
    def color(self) -> ColorEncoding | None: ...
    @property
    def icc_profile(self) -> bytes | None: ...
    @property
    def animation(self) -> AnimationInfo | None: ...
    @property
    def extra_channels(self) -> list[ExtraChannelInfo]: ...
    @overload
    def iter_frames(self, *, info: Literal[False] = False) -> Iterator[Frame]: ...
    @overload
    def iter_frames(self, *, info: Literal[True]) -> Iterator[tuple[Frame, FrameInfo]]: ...
    @overload
    def iter_frames(
        self, *, info: bool
    ) -> Iterator[Frame] | Iterator[tuple[Frame, FrameInfo]]: ...
    def iter_progressive(self) -> Iterator[tuple[Frame, ProgressiveInfo]]: ...
    def __iter__(self) -> Iterator[Frame]: ...
    @overload
    def read(self, out: Frame | None = None) -> Frame: ...
    @overload
    def read(self, out: _SinkT) -> _SinkT: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]: ...

@disjoint_base
class JxlWriter:
    def __init__(
        self,
        dest: _Dest | None = None,
        *,
        color: _Color = None,
        lossless: bool | None = None,
        quality: float | None = None,
        distance: float | None = None,
        effort: int | None = 5,
        decoding_speed: int | None = 0,
        numthreads: int | None = None,
        animation: bool = False,
        container: bool = False,
        loops: int = 0,
        tps: int | tuple[int, int] | None = None,
        exif: _Bytes | None = None,
        xmp: _Bytes | str | None = None,
        jumbf: _Bytes | None = None,
        orientation: int = 1,
        icc_profile: _Bytes | None = None,
        compress_boxes: bool = False,
        extra_channels: Sequence[str | ExtraChannelSpec] | None = None,
        progressive: bool = False,
        group_order: Literal["scanline", "center"] | None = None,
        center: tuple[int, int] | None = None,
        streaming: bool = False,
        progress: Callable[[float], object] | None = None,
    ) -> None: ...
    def write_frame(
        self,
        arr: ArrayLike | _Sliced,
        *,
        is_last: bool = False,
        duration: float | None = None,
        name: str | None = None,
    ) -> None: ...
    def close(self) -> bytes | None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]: ...
