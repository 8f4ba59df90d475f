"""JPEG XL for Pillow: ``import kestrelpix.pillow``, then use Pillow as usual.

Importing this module registers the format "JXL" with Pillow: ``Image.open``
recognises JPEG XL streams (bare codestreams and containers), ``save`` and
``save(save_all=True)`` write them, the extension ``.jxl`` and the MIME type
``image/jxl`` are known. Pillow is an optional dependency:
``pip install kestrelpix[pillow]``.

Opening
-------
``Image.open`` reads the headers only (the first 16 KiB of the file, more
only for a larger header) and starts no thread: size, mode, "icc_profile"
and "loop" are known at once. What needs the whole file, ``n_frames``,
``is_animated`` (of an animation), the frames' "duration" and the "exif" and
"xmp" boxes, is read on first use (of these, of ``seek``, ``getexif``,
``getxmp``, ``verify`` or ``load``), as Pillow's GIF plugin counts its
frames. Pixels are decoded on ``load()`` (or first use), one frame at a
time, streaming from the file.
``seek(n)`` and ``tell()`` walk an animation's frames; seeking backwards
starts decoding again from the beginning. The stream's orientation is
applied, so ``size`` is the size as displayed.

======================================  ===================================
the stream's samples                    Pillow mode
======================================  ===================================
grey, integer up to 8 bits              "L" (fewer bits scaled to 0-255)
grey, integer up to 16 bits             "I;16" (fewer bits scaled to 0-65535)
grey, float                             "F" (32-bit, values as decoded)
grey+alpha, RGB, RGBA, 8 bits           "LA", "RGB", "RGBA"
grey+alpha, RGB, RGBA, up to 16 bits    "LA", "RGB", "RGBA", 8 bits per sample:
                                        the high byte, as Pillow's PNG plugin
                                        does with 16-bit colour
grey+alpha, RGB, RGBA, float            "LA", "RGB", "RGBA", 8 bits per sample:
                                        0.0-1.0 clipped and scaled to 0-255
======================================  ===================================

``info`` holds:

- "icc_profile": the ICC profile of the decoded pixels; absent when they are
  plain sRGB described by the stream's enumerated colour (Pillow's default).
- "exif": the Exif box from its TIFF header on, so that ``getexif()`` works.
  An Orientation tag other than 1 is rewritten to 1: the pixels come turned
  as the stream's own orientation says, and ``ImageOps.exif_transpose`` must
  not turn them a second time.
- "xmp": the XMP packet, as bytes.
- "loop" (animations): the stream's loop count, 0 for ever.
- "duration" (animations): how long the current frame shows, in ms.
- "extra_channels_omitted": the stream's extra channels that are not in the
  image (depth, thermal, a second alpha...), each a dict as
  ``JxlReader.extra_channels`` gives it plus its "index"; absent when none
  is. The image holds the colour and the first alpha channel, as djxl
  writes them to PNG; colour with a "black" channel opens as "CMYK" (ink
  amounts as Pillow counts them: 0 none, 255 full; an alpha is left out).

Saving
------
``im.save(f, "JXL", ...)`` (or any ``.jxl`` file name) takes:

- ``quality`` (libjxl's 0-100 scale), ``distance`` (Butteraugli distance,
  0 lossless, 1 by default), ``lossless``, ``effort`` (1-10),
  ``decoding_speed`` (0-4), ``progressive``, ``group_order`` ("scanline" or
  "center") and ``center`` (x, y), meaning what they mean for
  :func:`kestrelpix.jxl.encode`; without any, the image is stored lossy at
  distance 1.
- ``exif`` (bytes or an ``Image.Exif``) and ``xmp`` (bytes or str), stored in
  the container's boxes. An Exif Orientation tag becomes the stream's own
  orientation (the pixels are stored as given).
- ``icc_profile``: by default the image's own ``info["icc_profile"]``; pass
  ``icc_profile=None`` to drop it. A profile for other channels than the
  ones written (a CMYK profile on an image converted to RGB) is left out.

======================================  ===================================
Pillow mode                             written as
======================================  ===================================
"L", "LA", "RGB", "RGBA"                the same, 8 bits
"1"                                     "L" (0 and 255)
"La", "RGBa", "RGBX"                    "LA", "RGBA", "RGB"
"P", "PA"                               "RGB", or "RGBA" when transparent
"CMYK", "YCbCr", "LAB", "HSV"           "RGB", through ``Image.convert``
"I;16", "I;16L", "I;16B", "I;16N"       16-bit grey (sRGB unless a profile
                                        says otherwise)
"I"                                     16-bit grey, clipped to 0-65535
"F"                                     32-bit float grey (linear sRGB
                                        unless a profile says otherwise)
======================================  ===================================

A mode with transparency (``info["transparency"]``) gains an alpha channel.
Frames of one animation share one layout: the first frame that needs colour
or alpha gives it to all (16-bit or float grey frames mixed with others are
converted to 8 bits).

``save_all=True`` writes every frame of the image and of ``append_images``
as an animation when there is more than one. ``duration`` is one number or
one per frame, in ms (by default each frame's own ``info["duration"]``, else
100); a duration of 0 makes a frame part of the next one, as JPEG XL
defines. ``loop`` is the loop count, 0 (the default) for ever and None for
once.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from io import BytesIO
from typing import IO, TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray
from PIL import ExifTags, Image, ImageFile, ImageSequence
from PIL._util import DeferredError

from kestrelpix import jxl
from kestrelpix.core.color import ColorSpace, Primaries, TransferFunction, WhitePoint

if TYPE_CHECKING:
    from PIL._imaging import PixelAccess

    from kestrelpix.codecs._jxl import ProbeResult

__all__ = ["JxlImageFile"]

FORMAT = "JXL"

_ORIENTATION = ExifTags.Base.Orientation
# Read at open for the headers, doubled while they need more: the size,
# colour and ICC profile of any ordinary file, none of its frame data.
_HEAD_BYTES = 16384


def _accept(prefix: bytes) -> bool:
    return jxl.check_signature(prefix)


def _scale(values: NDArray[Any], bits: int, to_bits: int) -> NDArray[Any]:
    """Integer samples of `bits` bits as samples of `to_bits` bits."""
    if bits == to_bits:
        return values
    wide = values.astype(np.uint32)
    if bits > to_bits:
        # Dropping the low bits is what Pillow's PNG plugin does with 16-bit
        # colour, so a 16-bit PNG and its lossless JPEG XL open alike.
        return wide >> (bits - to_bits)
    top, full = (1 << bits) - 1, (1 << to_bits) - 1
    return (wide * full + top // 2) // top


def _plain_srgb(color: Mapping[str, object] | None) -> bool:
    """Whether an enumerated colour is what Pillow assumes without a profile."""
    if color is None:
        return False
    space = color["color_space"]
    return (space in (ColorSpace.RGB, ColorSpace.GRAY)
            and color["white_point"] == WhitePoint.D65
            and color["transfer_function"] == TransferFunction.SRGB
            and (space == ColorSpace.GRAY or color["primaries"] == Primaries.SRGB))


def _upright_exif(exif: bytes) -> bytes:
    """The Exif block with an Orientation other than 1 set to 1."""
    data = Image.Exif()
    try:
        data.load(exif)
    except Exception:
        return exif  # what Pillow cannot parse is handed over as stored
    if data.get(_ORIENTATION, 1) == 1:
        return exif
    data[_ORIENTATION] = 1
    return data.tobytes()


class JxlImageFile(ImageFile.ImageFile):
    """A JPEG XL file opened by Pillow (see the module's docstring)."""

    format = FORMAT
    format_description = "JPEG XL image"
    # The reader streams from the file while an animation is walked.
    _close_exclusive_fp_after_loading = False

    _reader: jxl.JxlReader | None = None
    _frames: Iterator[Any] | None = None
    _meta: ProbeResult | None = None
    _keep: list[int] | None = None  # the decoded channels kept, None: all
    _cmyk = False

    def _open(self) -> None:
        assert self.fp is not None
        self._start = self.fp.tell()
        # Pillow's own handle on the file, kept for walking the frames once
        # self.fp has been swapped for the decoded pixels (as its GIF plugin does).
        self._fp = self.fp
        with self._header() as head:
            self._read_header(head)

    def _read_header(self, head: jxl.JxlReader) -> None:
        self._bits = head.basic_info["bits_per_sample"]
        self._dtype = np.dtype(head.dtype)
        self._pick_channels(head)
        samples = len(self._keep) if self._keep is not None else head.samples
        if self._cmyk:
            self._mode = "CMYK"
        elif samples == 1 and self._dtype == np.uint16:
            self._mode = "I;16"
        elif samples == 1 and self._dtype.kind == "f":
            self._mode = "F"
        else:
            self._mode = ("L", "LA", "RGB", "RGBA")[samples - 1]
        self._size = (head.xsize, head.ysize)
        self._animation = head.is_animation
        self._frame = 0
        self._loaded = -1
        self._draft = 0  # the downsampling draft() chose, 0 before it ran

        icc = head.icc_profile
        if icc and not (head.color is not None and _plain_srgb(head.color)):
            self.info["icc_profile"] = icc
        if head.animation is not None:
            self.info["loop"] = head.animation["num_loops"]

    def _pick_channels(self, head: jxl.JxlReader) -> None:
        """Which of the decoded channels become the image's: the colour and
        the first alpha channel, as djxl writes a PNG; the colour and a
        "black" channel for CMYK. The others are named in
        info["extra_channels_omitted"]."""
        colour = head.basic_info["num_color_channels"]
        extras = head.extra_channels
        types = [channel["type"] for channel in extras]
        self._keep = None
        self._cmyk = colour == 3 and "black" in types
        if self._cmyk:
            kept = [colour + types.index("black")]
        else:
            kept = [colour + types.index("alpha")] if "alpha" in types else []
        if len(kept) == len(extras) and not self._cmyk:
            return  # L, LA, RGB or RGBA: the reader gives them as they are
        self._keep = list(range(colour)) + kept
        omitted = [{"index": i, **channel} for i, channel in enumerate(extras)
                   if colour + i not in kept]
        if omitted:
            self.info["extra_channels_omitted"] = omitted

    def _header(self) -> jxl.JxlReader:
        """A reader of the stream's headers, from as few of the file's first
        bytes as hold them: opening reads no frame data and starts no thread."""
        fp = self._fp
        head = fp.read(_HEAD_BYTES)
        if not _accept(head[:16]):
            msg = "not a JPEG XL file"
            raise SyntaxError(msg)
        self._bare = head[:2] == b"\xff\x0a"  # a codestream without boxes
        while True:
            try:
                return jxl.JxlReader(head, extra_channels=True)
            except (jxl.JxlError, NotImplementedError) as exc:
                # A longer header (a large ICC profile) needs more bytes; a
                # file read to its end is what it is.
                more = fp.read(len(head)) if isinstance(exc, jxl.JxlError) else b""
                if not more:
                    # OSError, as Pillow reports files it cannot read.
                    msg = f"cannot read this JPEG XL file: {exc}"
                    raise OSError(msg) from exc
                head += more

    def _metadata(self) -> ProbeResult:
        """What needs the whole file (frames, their durations, Exif and XMP
        boxes wherever they are), read on first use, as Pillow's GIF plugin
        counts its frames."""
        if self._meta is None:
            fp = self._fp
            if isinstance(fp, DeferredError):  # the image was closed
                raise fp.ex
            fp.seek(self._start)
            try:
                meta = jxl.probe(fp)
            except jxl.JxlError as exc:
                msg = f"broken JPEG XL data: {exc}"
                raise OSError(msg) from exc
            self._meta = meta
            self._durations = [frame["duration_ms"] for frame in meta["frames"]]
            if meta["exif"]:
                self.info["exif"] = _upright_exif(meta["exif"])
            if meta["xmp"]:
                self.info["xmp"] = meta["xmp"]
            self._set_duration()
        return self._meta

    @property
    def n_frames(self) -> int:
        if not self._animation:
            return 1
        return max(len(self._metadata()["frames"]), 1)

    @property
    def is_animated(self) -> bool:
        return self._animation and self.n_frames > 1

    @property
    def _headers_tell_all(self) -> bool:
        """A still without boxes has no Exif, XMP or frame timing for probe
        to find; probing it would decode it just to reach its end."""
        return self._bare and not self._animation

    def getexif(self) -> Image.Exif:
        if not self._headers_tell_all:
            self._metadata()
        return super().getexif()

    def getxmp(self, **kwargs: Any) -> dict[str, Any]:
        if not self._headers_tell_all:
            self._metadata()
        return super().getxmp(**kwargs)

    def _set_duration(self) -> None:
        if "loop" in self.info and self._meta is not None and self._durations:
            ms = self._durations[self._frame]
            self.info["duration"] = int(ms) if ms == int(ms) else ms

    # --- frames ------------------------------------------------------------

    def _open_reader(self, skip: int) -> None:
        """A new reader on the file, to yield frame `skip` next."""
        self._close_reader()
        fp = self._fp
        if isinstance(fp, DeferredError):  # the image was closed
            raise fp.ex
        fp.seek(self._start)
        self._reader = jxl.JxlReader(fp, streaming=True, skip_frames=skip,
                                     extra_channels=self._keep is not None,
                                     partial=bool(ImageFile.LOAD_TRUNCATED_IMAGES),
                                     downsampling=self._draft or 1)
        self._frames = iter(self._reader)
        self._next = skip

    def _close_reader(self) -> None:
        if self._reader is not None:
            self._reader.close()
        self._reader = self._frames = None

    def seek(self, frame: int) -> None:
        if not self._seek_check(frame):
            return
        self._frame = frame
        self._metadata()
        self._set_duration()

    def tell(self) -> int:
        return self._frame

    def _decode(self, frame: int) -> NDArray[Any]:
        # Sequential frames come from the open reader; any other frame from a
        # new one that passes over the frames before it without their pixels.
        try:
            if self._frames is None or frame != self._next:
                self._open_reader(frame)
            assert self._frames is not None
            pixels: NDArray[Any] = next(self._frames)
        except jxl.JxlError as exc:
            self._close_reader()
            msg = f"broken JPEG XL data: {exc}"
            raise OSError(msg) from exc
        except StopIteration:
            self._close_reader()
            msg = f"JPEG XL stream ended before frame {frame}"
            raise EOFError(msg) from None
        self._next = frame + 1
        return pixels

    def _to_pillow(self, pixels: NDArray[Any]) -> tuple[bytes, str]:
        """The frame's bytes in the layout of a Pillow raw mode."""
        if self._keep is not None:
            pixels = pixels.reshape(*pixels.shape[:2], -1)[..., self._keep]
            if len(self._keep) == 1:
                pixels = pixels[..., 0]
        if self._mode == "I;16":
            return _scale(pixels, self._bits, 16).astype("<u2").tobytes(), "I;16"
        if self._mode == "F":
            return pixels.astype(np.float32).tobytes(), "F"
        if self._dtype.kind == "f":
            # In float32: float16 arithmetic would round 255 * x coarsely.
            pixels = np.rint(np.clip(pixels.astype(np.float32), 0.0, 1.0) * 255.0)
        else:
            pixels = _scale(pixels, self._bits, 8)
        if self._cmyk:
            # JPEG XL's 0 is the most ink, Pillow's 255.
            pixels = 255 - pixels
        return pixels.astype(np.uint8).tobytes(), self._mode

    def draft(self, mode: str | None, size: tuple[int, int] | None
              ) -> tuple[str, tuple[int, int, float, float]] | None:
        """As Pillow's JPEG plugin: a still decoded only as far as 1/2, 1/4
        or 1/8 of its size needs (the largest ratio that keeps it at least
        `size`), `size` then reduced by that ratio; once, before loading."""
        if self._animation or self._draft or self._loaded != -1:
            return None
        scale = 1
        if size:
            fits = min(self.size[0] // max(size[0], 1), self.size[1] // max(size[1], 1))
            scale = next((s for s in (8, 4, 2) if fits >= s), 1)
        original = self._full_size = self.size
        self._draft = scale
        self._size = ((original[0] + scale - 1) // scale, (original[1] + scale - 1) // scale)
        return self.mode, (0, 0, original[0] / scale, original[1] / scale)

    def _loadable_metadata(self) -> ProbeResult | None:
        """The metadata, or None for a truncated file Pillow was told to load."""
        try:
            return self._metadata()
        except OSError:
            if not ImageFile.LOAD_TRUNCATED_IMAGES:
                raise
            return None

    def load(self) -> PixelAccess | None:
        if self._loaded != self._frame:
            # While the file is open: a still's closes now.
            meta = None if self._headers_tell_all else self._loadable_metadata()
            raw, rawmode = self._to_pillow(self._decode(self._frame))
            if self._draft > 1:
                # libjxl renders the reduced detail at full size; Pillow's
                # box reduction brings it to the draft's size.
                whole = Image.frombytes(self.mode, self._full_size, raw, "raw", rawmode)
                raw, rawmode = whole.reduce(self._draft).tobytes(), self.mode
            self._loaded = self._frame
            if not self._animation or (meta is not None and self.n_frames == 1):
                # A still needs neither the reader nor, if Pillow opened it,
                # the file any more.
                self._close_reader()
                if self._exclusive_fp and not isinstance(self._fp, DeferredError):
                    self._fp.close()
            self.fp = BytesIO(raw)
            self.tile = [ImageFile._Tile("raw", (0, 0, *self.size), 0, rawmode)]
        return super().load()

    def load_seek(self, pos: int) -> None:
        # Defined so that Pillow reads the decoded pixels rather than mapping
        # the file itself into memory.
        pass

    def verify(self) -> None:
        self._close_reader()
        self._metadata()  # every frame's header, to its end
        super().verify()

    def close(self) -> None:
        self._close_reader()
        super().close()

    def __exit__(self, *args: object) -> None:
        self._close_reader()
        super().__exit__(*args)


# --- saving ------------------------------------------------------------------

_GREY = {"1", "L", "LA", "La", "I", "F", "I;16", "I;16L", "I;16B", "I;16N"}
_COLOUR = {"RGB", "RGBA", "RGBa", "RGBX", "P", "PA", "CMYK", "YCbCr", "LAB", "HSV"}


def _layout(frame: Image.Image) -> tuple[str, str]:
    """(channels as a Pillow mode, "8", "16" or "F") for writing `frame`."""
    mode = frame.mode
    if mode not in _GREY and mode not in _COLOUR:
        msg = f"cannot write mode {mode} as JPEG XL"
        raise OSError(msg)
    alpha = frame.has_transparency_data
    if mode in _GREY:
        depth = "8"
        if not alpha and mode.startswith("I"):
            depth = "16"
        elif not alpha and mode == "F":
            depth = "F"
        return ("LA" if alpha else "L"), depth
    return ("RGBA" if alpha else "RGB"), "8"


def _combined(layouts: list[tuple[str, str]]) -> tuple[str, str]:
    """One layout for frames that must all be written alike."""
    alpha = any(mode.endswith("A") for mode, _ in layouts)
    colour = any(mode.startswith("RGB") for mode, _ in layouts)
    depths = {depth for _, depth in layouts}
    depth = depths.pop() if len(depths) == 1 else "8"
    mode = ("RGB" if colour else "L") + ("A" if alpha else "")
    return mode, depth if mode == "L" else "8"


def _pixels(frame: Image.Image, mode: str, depth: str) -> NDArray[Any]:
    pixels: NDArray[Any]
    if depth == "16":
        pixels = np.clip(np.asarray(frame), 0, 65535).astype(np.uint16)
    elif depth == "F":
        pixels = np.asarray(frame, dtype=np.float32)
    else:
        pixels = np.asarray(frame if frame.mode == mode else frame.convert(mode))
    return pixels


def _frames(im: Image.Image, appended: list[Image.Image] | None) -> Iterator[Image.Image]:
    """Every frame to write: `im` alone, or (save_all) all frames of `im`
    and of the images appended."""
    if appended is None:
        yield im
        return
    for image in [im, *appended]:
        yield from ImageSequence.Iterator(image)


def _save_all(im: Image.Image, fp: IO[bytes], filename: str | bytes) -> None:
    _save(im, fp, filename, save_all=True)


def _save(im: Image.Image, fp: IO[bytes], filename: str | bytes,
          save_all: bool = False) -> None:
    info = im.encoderinfo
    current = im.tell()
    # Walked twice (layouts first, then the pixels): a generator given as
    # append_images is taken in once.
    appended = list(info.get("append_images", ())) if save_all else None
    try:
        layouts, sizes = [], set()
        for frame in _frames(im, appended):
            layouts.append(_layout(frame))
            sizes.add(frame.size)
        if len(sizes) > 1:
            msg = f"JPEG XL animation frames must all have one size, not {sorted(sizes)}"
            raise ValueError(msg)
        animation = len(layouts) > 1
        mode, depth = _combined(layouts)

        options: dict[str, Any] = {key: info[key] for key in
                                   ("quality", "lossless", "distance", "effort",
                                    "decoding_speed", "progressive", "group_order", "center")
                                   if key in info}
        icc = info.get("icc_profile", im.info.get("icc_profile"))
        if icc and icc[16:20] == (b"GRAY" if mode.startswith("L") else b"RGB "):
            options["icc_profile"] = icc
        elif depth == "16":
            options["color"] = "srgb"  # what an unprofiled 16-bit Pillow image means

        exif = info.get("exif")
        if isinstance(exif, Image.Exif):
            exif = exif.tobytes()
        if exif:
            options["exif"] = exif
            parsed = Image.Exif()
            try:
                parsed.load(exif)
            except Exception:
                pass  # not Exif: the writer refuses it with a ValueError
            if parsed.get(_ORIENTATION) in range(2, 9):
                options["orientation"] = parsed[_ORIENTATION]
        if xmp := info.get("xmp"):
            options["xmp"] = xmp

        durations: list[float] = []
        if animation:
            loop = info.get("loop", im.info.get("loop", 0))
            options["loops"] = 1 if loop is None else loop
            duration = info.get("duration")
            if isinstance(duration, (list, tuple)):
                if len(duration) < len(layouts):
                    msg = f"duration has {len(duration)} entries for {len(layouts)} frames"
                    raise ValueError(msg)
                durations = list(duration)

        with jxl.JxlWriter(fp, animation=animation, **options) as writer:
            for index, frame in enumerate(_frames(im, appended)):
                if not animation:
                    writer.write_frame(_pixels(frame, mode, depth))
                    break
                if durations:
                    ms = durations[index]
                elif info.get("duration") is not None:
                    ms = info["duration"]
                else:
                    ms = frame.info.get("duration", 100)
                writer.write_frame(_pixels(frame, mode, depth), duration=round(ms))
    finally:
        im.seek(current)


Image.register_open(FORMAT, JxlImageFile, _accept)
Image.register_save(FORMAT, _save)
Image.register_save_all(FORMAT, _save_all)
Image.register_extensions(FORMAT, [".jxl"])
Image.register_mime(FORMAT, "image/jxl")
