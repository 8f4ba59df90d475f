"""The reader's header views: basic_info, color and icc_profile."""

import pytest

from conftest import cjxl, sample_image, write_pnm

BASIC_INFO_KEYS = ["xsize", "ysize", "bits_per_sample", "exponent_bits_per_sample",
                   "num_color_channels", "num_extra_channels", "alpha_bits", "have_animation",
                   "orientation", "intensity_target", "min_nits", "uses_original_profile"]


@pytest.fixture(scope="module")
def streams(tmp_path_factory, lossless_rgb, lossless_animation):
    """Lossless cjxl streams by name."""
    tmp = tmp_path_factory.mktemp("views")
    grey = cjxl(write_pnm(tmp / "grey.pgm", sample_image(12, 10, 1)), tmp / "grey.jxl",
                "-d", "0", "-e", "1")
    rgba = cjxl(write_pnm(tmp / "rgba.pam", sample_image(12, 10, 4)), tmp / "rgba.jxl",
                "-d", "0", "-e", "1")
    return {"rgb": lossless_rgb[0], "grey": grey, "rgba": rgba,
            "animation": lossless_animation[0]}


@pytest.mark.parametrize("name, expected", [
    # D65 white point, sRGB primaries and sRGB transfer function
    ("rgb", {"color_space": 0, "white_point": 1, "primaries": 1, "transfer_function": 13}),
    ("rgba", {"color_space": 0, "white_point": 1, "primaries": 1, "transfer_function": 13}),
    ("grey", {"color_space": 1, "white_point": 1, "transfer_function": 13}),  # no primaries
])
def test_color_of_lossless_srgb(jxl, streams, name, expected):
    color = jxl.JxlReader(streams[name]).color
    assert list(color) == ["color_space", "white_point", "primaries", "transfer_function",
                           "rendering_intent"]
    assert all(type(value) is int for value in color.values())
    assert {key: color[key] for key in expected} == expected


def test_without_parse_color(jxl, streams):
    reader = jxl.JxlReader(streams["rgb"], parse_color=False)
    assert reader.color is None
    assert reader.icc_profile is None
    assert reader.basic_info["xsize"] == 32


def test_icc_profile_is_cached(jxl, streams):
    reader = jxl.JxlReader(streams["rgb"])
    icc = reader.icc_profile
    assert type(icc) is bytes and len(icc) > 128
    assert icc[36:40] == b"acsp"  # the ICC header signature
    assert reader.icc_profile is icc
    reader.close()
    assert reader.icc_profile is icc


def test_icc_profile_first_asked_after_close(jxl, streams):
    reader = jxl.JxlReader(streams["rgb"])
    reader.close()
    assert reader.icc_profile is None
    assert reader.icc_profile is None


@pytest.mark.parametrize("name, expected", [
    ("rgba", {"xsize": 10, "ysize": 12, "bits_per_sample": 8, "exponent_bits_per_sample": 0,
              "num_color_channels": 3, "num_extra_channels": 1, "alpha_bits": 8,
              "have_animation": False}),
    ("grey", {"bits_per_sample": 8, "num_color_channels": 1, "num_extra_channels": 0,
              "alpha_bits": 0, "have_animation": False}),
    ("animation", {"xsize": 20, "ysize": 16, "num_extra_channels": 1,
                   "have_animation": True}),
])
def test_basic_info(jxl, streams, name, expected):
    info = jxl.JxlReader(streams[name]).basic_info
    assert list(info) == BASIC_INFO_KEYS
    assert {key: info[key] for key in expected} == expected
    assert type(info["have_animation"]) is bool
    assert type(info["orientation"]) is int and 1 <= info["orientation"] <= 8
    assert type(info["intensity_target"]) is float
    assert type(info["min_nits"]) is float
    assert type(info["uses_original_profile"]) is bool


@pytest.mark.parametrize("view", ["basic_info", "color"])
def test_views_are_fresh_and_survive_close(jxl, streams, view):
    reader = jxl.JxlReader(streams["rgba"])
    first = getattr(reader, view)
    second = getattr(reader, view)
    assert first == second and first is not second
    second.clear()  # the caller's copy: changing it changes nothing
    reader.close()
    assert getattr(reader, view) == first
