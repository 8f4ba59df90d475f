import math
import pathlib
import re

import pytest

from kestrelpix.core import color as C
from kestrelpix.core.color import ColorSpec, gamma_spec, parse_color
from kestrelpix.core.errors import CodecError, JxlError

from conftest import libjxl_include_dir

HEADER = libjxl_include_dir() / "jxl" / "color_encoding.h"
SDR = C.JXL_RENDERING_INTENT_RELATIVE, False
HDR = C.JXL_RENDERING_INTENT_PERCEPTUAL, True
SRGB = C.JXL_WHITE_POINT_D65, C.JXL_PRIMARIES_SRGB
P3 = C.JXL_WHITE_POINT_D65, C.JXL_PRIMARIES_P3
BT2100 = C.JXL_WHITE_POINT_D65, C.JXL_PRIMARIES_2100


@pytest.mark.skipif(not HEADER.exists(), reason="libjxl headers not installed")
def test_constants_match_libjxl_header():
    header = {}
    for body in re.findall(r"typedef enum \{(.*?)\}", HEADER.read_text(), re.S):
        nxt = 0  # enumerators without "= value" count on from the previous one
        for name, value in re.findall(r"(JXL_\w+)\s*(?:=\s*(\d+))?\s*,",
                                      re.sub(r"/\*.*?\*/", "", body, flags=re.S)):
            header[name] = nxt = int(value) if value else nxt
            nxt += 1
    ours = {n.replace("JXL_TF_", "JXL_TRANSFER_FUNCTION_"): getattr(C, n)
            for n in dir(C) if n.startswith("JXL_")}
    assert ours == header


def test_jxl_error_takes_a_message():
    err = JxlError("jxl: truncated stream")
    assert isinstance(err, CodecError) and str(err) == "jxl: truncated stream"


@pytest.mark.parametrize(("name", "wp_prim", "transfer", "intent_hdr"), [
    ("  sRGB ", SRGB, C.JXL_TF_SRGB, SDR),
    ("linear-srgb", SRGB, C.JXL_TF_LINEAR, SDR),
    ("Linear", SRGB, C.JXL_TF_LINEAR, SDR),
    ("Display P3", P3, C.JXL_TF_SRGB, SDR),
    ("DCI_P3", (C.JXL_WHITE_POINT_DCI, C.JXL_PRIMARIES_P3), C.JXL_TF_DCI, SDR),
    ("rec709", SRGB, C.JXL_TF_709, SDR),
    ("BT709", SRGB, C.JXL_TF_709, SDR),
    ("bt2020", BT2100, C.JXL_TF_709, SDR),
    ("rec2100-pq", BT2100, C.JXL_TF_PQ, HDR),
    ("BT2100_PQ", BT2100, C.JXL_TF_PQ, HDR),
    ("rec 2100 hlg", BT2100, C.JXL_TF_HLG, HDR),
])
def test_named_colors(name, wp_prim, transfer, intent_hdr):
    s = parse_color(name)
    assert (s.white_point, s.primaries, s.transfer, s.rendering_intent, s.is_hdr) == (
        *wp_prim, transfer, *intent_hdr)


@pytest.mark.parametrize("value", [None, ColorSpec(1, 11, 16, 0, is_hdr=True)])
def test_passthrough_is_identity(value):
    assert parse_color(value) is value


@pytest.mark.parametrize(("spec", "wp_prim", "display"), [
    (parse_color("gamma:2.2"), SRGB, 2.2),
    (parse_color(" GAMMA: 1 "), SRGB, 1.0),
    (gamma_spec(2.6, primaries=C.JXL_PRIMARIES_P3, white_point=C.JXL_WHITE_POINT_DCI),
     (C.JXL_WHITE_POINT_DCI, C.JXL_PRIMARIES_P3), 2.6),
])
def test_gamma_encoding_exponent(spec, wp_prim, display):
    assert spec.transfer == C.JXL_TF_GAMMA == 65535
    assert (spec.white_point, spec.primaries) == wp_prim
    assert math.isclose(spec.gamma, 1.0 / display)


@pytest.mark.parametrize("bad", ["gamma:0", "gamma:-2.2", "gamma:abc", "gamma:",
                                 "gamma:nan", "gamma:inf", "gamma:0.5"])
def test_bad_gamma_string(bad):
    with pytest.raises(ValueError, match="gamma"):
        parse_color(bad)


@pytest.mark.parametrize(("bad", "exc"), [(0, ValueError), (-2.2, ValueError),
                                          (float("nan"), ValueError), (0.5, ValueError),
                                          ("2.2", TypeError), (True, TypeError)])
def test_bad_gamma_value(bad, exc):
    with pytest.raises(exc):
        gamma_spec(bad)


def test_spec_refuses_display_gamma_as_exponent():
    with pytest.raises(ValueError):  # libjxl refuses an encoding exponent above 1
        ColorSpec(*SRGB, C.JXL_TF_GAMMA, 1, gamma=2.2)


@pytest.mark.parametrize("name", ["adobe-rgb", "", "srgb2"])
def test_unknown_name_lists_accepted_names(name):
    with pytest.raises(ValueError) as info:
        parse_color(name)
    assert all(n in str(info.value) for n in (*C.COLOR_NAMES, "gamma:G"))


@pytest.mark.parametrize("value", [1, 2.2, b"srgb", {"name": "srgb"}, ["srgb"]])
def test_wrong_type(value):
    with pytest.raises(TypeError, match=type(value).__name__):
        parse_color(value)
