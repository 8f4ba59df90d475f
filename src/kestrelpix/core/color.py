"""Colour specifications for the JPEG XL writer.

`parse_color` turns the writer's ``color`` argument into a `ColorSpec`, whose
fields hold libjxl's colour enumeration values (``jxl/color_encoding.h``) so
that the codec copies them into a ``JxlColorEncoding`` unchanged.

Rendering intents: the SDR encodings use relative colorimetric, which keeps
in-gamut colours exact; the HDR ones (PQ, HLG) use perceptual, since showing
them on an ordinary display needs tone mapping rather than clipping.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from enum import IntEnum
from numbers import Real

__all__ = [
    "ColorSpace", "WhitePoint", "Primaries", "TransferFunction", "RenderingIntent",
    "JXL_COLOR_SPACE_RGB", "JXL_COLOR_SPACE_GRAY", "JXL_COLOR_SPACE_XYB",
    "JXL_COLOR_SPACE_UNKNOWN",
    "JXL_WHITE_POINT_D65", "JXL_WHITE_POINT_CUSTOM", "JXL_WHITE_POINT_E",
    "JXL_WHITE_POINT_DCI",
    "JXL_PRIMARIES_SRGB", "JXL_PRIMARIES_CUSTOM", "JXL_PRIMARIES_2100", "JXL_PRIMARIES_P3",
    "JXL_TF_709", "JXL_TF_UNKNOWN", "JXL_TF_LINEAR", "JXL_TF_SRGB", "JXL_TF_PQ",
    "JXL_TF_DCI", "JXL_TF_HLG", "JXL_TF_GAMMA",
    "JXL_RENDERING_INTENT_PERCEPTUAL", "JXL_RENDERING_INTENT_RELATIVE",
    "JXL_RENDERING_INTENT_SATURATION", "JXL_RENDERING_INTENT_ABSOLUTE",
    "ColorSpec", "gamma_spec", "parse_color", "COLOR_NAMES",
]


# ---- libjxl's enumerations, with the values of jxl/color_encoding.h ---------

class ColorSpace(IntEnum):
    """``JxlColorSpace``."""

    RGB = 0
    GRAY = 1
    XYB = 2
    UNKNOWN = 3


class WhitePoint(IntEnum):
    """``JxlWhitePoint``."""

    D65 = 1
    CUSTOM = 2
    E = 10
    DCI = 11


class Primaries(IntEnum):
    """``JxlPrimaries``."""

    SRGB = 1
    CUSTOM = 2
    BT2100 = 9
    P3 = 11


class TransferFunction(IntEnum):
    """``JxlTransferFunction``."""

    BT709 = 1
    UNKNOWN = 2
    LINEAR = 8
    SRGB = 13
    PQ = 16
    DCI = 17
    HLG = 18
    GAMMA = 65535  # not a CICP value: a power law set by JxlColorEncoding.gamma


class RenderingIntent(IntEnum):
    """``JxlRenderingIntent``."""

    PERCEPTUAL = 0
    RELATIVE = 1
    SATURATION = 2
    ABSOLUTE = 3


JXL_COLOR_SPACE_RGB = ColorSpace.RGB
JXL_COLOR_SPACE_GRAY = ColorSpace.GRAY
JXL_COLOR_SPACE_XYB = ColorSpace.XYB
JXL_COLOR_SPACE_UNKNOWN = ColorSpace.UNKNOWN

JXL_WHITE_POINT_D65 = WhitePoint.D65
JXL_WHITE_POINT_CUSTOM = WhitePoint.CUSTOM
JXL_WHITE_POINT_E = WhitePoint.E
JXL_WHITE_POINT_DCI = WhitePoint.DCI

JXL_PRIMARIES_SRGB = Primaries.SRGB
JXL_PRIMARIES_CUSTOM = Primaries.CUSTOM
JXL_PRIMARIES_2100 = Primaries.BT2100
JXL_PRIMARIES_P3 = Primaries.P3

JXL_TF_709 = TransferFunction.BT709
JXL_TF_UNKNOWN = TransferFunction.UNKNOWN
JXL_TF_LINEAR = TransferFunction.LINEAR
JXL_TF_SRGB = TransferFunction.SRGB
JXL_TF_PQ = TransferFunction.PQ
JXL_TF_DCI = TransferFunction.DCI
JXL_TF_HLG = TransferFunction.HLG
JXL_TF_GAMMA = TransferFunction.GAMMA

JXL_RENDERING_INTENT_PERCEPTUAL = RenderingIntent.PERCEPTUAL
JXL_RENDERING_INTENT_RELATIVE = RenderingIntent.RELATIVE
JXL_RENDERING_INTENT_SATURATION = RenderingIntent.SATURATION
JXL_RENDERING_INTENT_ABSOLUTE = RenderingIntent.ABSOLUTE


# ---- ColorSpec ---------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class ColorSpec:
    """An RGB colour encoding described by libjxl's enumerations.

    `gamma` follows ``JxlColorEncoding.gamma``: the *encoding* exponent, the
    reciprocal of the display gamma (about 0.4545 for a display gamma of 2.2).
    libjxl accepts it in (0, 1] and reads it only when `transfer` is
    `JXL_TF_GAMMA`; the named encodings leave it at 0.0.
    """

    white_point: int
    primaries: int
    transfer: int
    rendering_intent: int
    gamma: float = 0.0
    is_hdr: bool = False

    def __post_init__(self) -> None:
        if self.transfer == JXL_TF_GAMMA and not 0.0 < self.gamma <= 1.0:
            raise ValueError(
                f"gamma must be in (0, 1] with a gamma transfer, got {self.gamma!r}"
            )


def gamma_spec(
    display_gamma: float,
    *,
    primaries: int = JXL_PRIMARIES_SRGB,
    white_point: int = JXL_WHITE_POINT_D65,
    rendering_intent: int = JXL_RENDERING_INTENT_RELATIVE,
) -> ColorSpec:
    """Return a pure power-law encoding for `display_gamma` (2.2 means ``V**2.2``).

    The display gamma must be finite and at least 1, because libjxl refuses an
    encoding exponent (its reciprocal) above 1.
    """
    if isinstance(display_gamma, bool) or not isinstance(display_gamma, Real):
        raise TypeError(
            f"display gamma must be a real number, not {type(display_gamma).__name__}"
        )
    value = float(display_gamma)
    if not (math.isfinite(value) and value >= 1.0):
        raise ValueError(f"display gamma must be a finite number >= 1, got {display_gamma!r}")
    return ColorSpec(white_point, primaries, JXL_TF_GAMMA, rendering_intent, gamma=1.0 / value)


# ---- Named encodings ---------------------------------------------------------

_REL = JXL_RENDERING_INTENT_RELATIVE
_PER = JXL_RENDERING_INTENT_PERCEPTUAL

_NAMED: dict[str, ColorSpec] = {
    "srgb": ColorSpec(JXL_WHITE_POINT_D65, JXL_PRIMARIES_SRGB, JXL_TF_SRGB, _REL),
    "linear-srgb": ColorSpec(JXL_WHITE_POINT_D65, JXL_PRIMARIES_SRGB, JXL_TF_LINEAR, _REL),
    "display-p3": ColorSpec(JXL_WHITE_POINT_D65, JXL_PRIMARIES_P3, JXL_TF_SRGB, _REL),
    "dci-p3": ColorSpec(JXL_WHITE_POINT_DCI, JXL_PRIMARIES_P3, JXL_TF_DCI, _REL),
    "rec709": ColorSpec(JXL_WHITE_POINT_D65, JXL_PRIMARIES_SRGB, JXL_TF_709, _REL),
    "rec2020": ColorSpec(JXL_WHITE_POINT_D65, JXL_PRIMARIES_2100, JXL_TF_709, _REL),
    "rec2100-pq": ColorSpec(
        JXL_WHITE_POINT_D65, JXL_PRIMARIES_2100, JXL_TF_PQ, _PER, is_hdr=True
    ),
    "rec2100-hlg": ColorSpec(
        JXL_WHITE_POINT_D65, JXL_PRIMARIES_2100, JXL_TF_HLG, _PER, is_hdr=True
    ),
}

_ALIASES: dict[str, str] = {
    "linear": "linear-srgb",
    "srgb-linear": "linear-srgb",
    "bt709": "rec709",
    "bt2020": "rec2020",
    "bt2100-pq": "rec2100-pq",
    "pq": "rec2100-pq",
    "bt2100-hlg": "rec2100-hlg",
    "hlg": "rec2100-hlg",
}

#: The canonical colour names `parse_color` accepts (aliases aside).
COLOR_NAMES: tuple[str, ...] = tuple(sorted(_NAMED))


def _key(name: str) -> str:
    # Separators are dropped altogether, so "Display P3", "display_p3" and
    # "rec-2100-pq" all find their entry.
    return "".join(c for c in name.strip().lower() if c not in "-_ ")


_LOOKUP: dict[str, ColorSpec] = {_key(n): s for n, s in _NAMED.items()}
_LOOKUP.update((_key(a), _NAMED[n]) for a, n in _ALIASES.items())

_GAMMA_PREFIX = "gamma:"


def _parse_gamma(color: str, text: str) -> ColorSpec:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"invalid gamma in color {color!r}: {text!r} is not a number") from None
    return gamma_spec(value)


def parse_color(color: ColorSpec | str | None) -> ColorSpec | None:
    """Resolve the writer's ``color`` argument.

    None gives None (the writer's sRGB default); a `ColorSpec` is returned as
    is; a string is a name from `COLOR_NAMES` or an alias (case, ``_``, ``-``
    and spaces do not matter), or ``"gamma:G"`` for a power law of display
    gamma G (see `gamma_spec`). An unknown name raises ValueError, any other
    type TypeError.
    """
    if color is None or isinstance(color, ColorSpec):
        return color
    if not isinstance(color, str):
        raise TypeError(f"color must be None, a str or a ColorSpec, not {type(color).__name__}")
    text = color.strip().lower()
    if text.startswith(_GAMMA_PREFIX):
        return _parse_gamma(color, text[len(_GAMMA_PREFIX):].strip())
    spec = _LOOKUP.get(_key(text))
    if spec is None:
        raise ValueError(
            f"unknown color {color!r}; expected one of {', '.join(COLOR_NAMES)}"
            f" (aliases: {', '.join(sorted(_ALIASES))}) or 'gamma:G' with G >= 1"
        )
    return spec
