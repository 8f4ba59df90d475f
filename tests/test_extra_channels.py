"""Extra channels (black, spot colours, depth, masks, more alphas): written
with extra_channels=[...], read with extra_channels=True, judged by djxl's
--output_extra_channels and jxlinfo."""

from __future__ import annotations


import re

import numpy as np
import pytest

from conftest import djxl, read_pnm, run_tool

SPOT = {"type": "spot_color", "name": "gold", "spot_color": [1.0, 0.8, 0.0, 1.0]}

LAYOUTS = {
    "grey+alpha+depth": (1, ["alpha", {"type": "depth", "name": "Z"}]),
    "rgb+thermal": (3, ["thermal"]),
    "rgb+black (cmyk)": (3, ["black"]),
    "grey+3 alphas": (1, ["alpha", "alpha", {"type": "alpha", "name": "matte"}]),
    "rgb+mask (1 bit)": (3, [{"type": "selection_mask", "bits_per_sample": 1}]),
    "grey+optional+depth": (1, ["optional", "depth"]),
}


def frame_for(color: int, extras: list, dtype, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    top = np.iinfo(dtype).max
    frame = rng.integers(0, top, (12, 10, color + len(extras)), dtype=np.int64)
    for i, e in enumerate(extras):
        bits = e.get("bits_per_sample") if isinstance(e, dict) else None
        if bits:
            frame[..., color + i] %= 1 << bits
    return frame.astype(dtype)


def djxl_channels(stream: bytes, tmp_path, count: int) -> list[np.ndarray]:
    """The colour file and one file per extra channel, as djxl writes them."""
    out = djxl(stream, tmp_path, ".pnm", "--output_extra_channels")
    return [read_pnm(out)[0]] + [read_pnm(f"{out}-ec{i + 1}.pnm")[0] for i in range(count)]


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16], ids=["u8", "u16"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_lossless_round_trip_matches_djxl(jxl, have_tools, tmp_path, layout, dtype):
    color, extras = LAYOUTS[layout]
    if dtype is np.uint16 and "mask" in layout:
        pytest.skip("libjxl's encoder refuses extra channels narrower than 16-bit colour")
    frame = frame_for(color, extras, dtype)
    stream = jxl.encode(frame, lossless=True, extra_channels=extras)
    decoded = jxl.decode(stream, extra_channels=True)
    assert decoded.dtype == dtype and decoded.shape == frame.shape
    np.testing.assert_array_equal(decoded, frame)
    planes = djxl_channels(stream, tmp_path, len(extras))
    colour = planes[0] if color == 3 else planes[0][..., None]
    np.testing.assert_array_equal(colour, frame[..., :color])
    for i, plane in enumerate(planes[1:]):
        np.testing.assert_array_equal(plane, frame[..., color + i])


@pytest.mark.parametrize("layout", LAYOUTS)
def test_descriptions_match_jxlinfo(jxl, have_tools, tmp_path, layout):
    color, extras = LAYOUTS[layout]
    stream = jxl.encode(frame_for(color, extras, np.uint8), lossless=True, extra_channels=extras)
    described = jxl.JxlReader(stream, extra_channels=True).extra_channels
    assert described == jxl.probe(stream)["extra_channels"]
    want = [e if isinstance(e, str) else e["type"] for e in extras]
    assert [d["type"] for d in described] == want
    for d, e in zip(described, extras):
        if isinstance(e, dict):
            assert d["name"] == e.get("name", "")
            assert d["bits_per_sample"] == e.get("bits_per_sample", 8)
    path = tmp_path / "s.jxl"
    path.write_bytes(stream)
    info = run_tool("jxlinfo", path)
    names = {"alpha": "Alpha", "depth": "Depth", "thermal": "Thermal", "black": "Black",
             "selection_mask": "Selection", "optional": "Optional"}
    for kind in want:
        assert names[kind] in info, info


def test_spot_colour_is_rendered_as_djxl_does(jxl, have_tools, tmp_path):
    frame = frame_for(3, [SPOT], np.uint8)
    stream = jxl.encode(frame, lossless=True, extra_channels=[SPOT])
    (info,) = jxl.probe(stream)["extra_channels"]
    assert info["type"] == "spot_color" and info["name"] == "gold"
    assert info["spot_color"] == pytest.approx((1.0, 0.8, 0.0, 1.0), abs=1e-3)
    decoded = jxl.decode(stream, extra_channels=True)
    colour, spot = djxl_channels(stream, tmp_path, 1)
    np.testing.assert_array_equal(decoded[..., :3], colour)
    np.testing.assert_array_equal(decoded[..., 3], spot)
    np.testing.assert_array_equal(spot, frame[..., 3])


def test_float_depth(jxl):
    rng = np.random.default_rng(3)
    frame = rng.random((9, 7, 2), dtype=np.float32)
    stream = jxl.encode(frame, lossless=True, extra_channels=["depth"])
    np.testing.assert_array_equal(jxl.decode(stream, extra_channels=True), frame)


@pytest.mark.parametrize("samples", [1, 2, 3, 4])
@pytest.mark.parametrize("animation", [False, True])
def test_layouts_of_today_decode_identically(jxl, samples, animation):
    rng = np.random.default_rng(samples)
    shape = (3, 8, 6, samples) if animation else (8, 6, samples)
    frames = rng.integers(0, 255, shape, dtype=np.uint8)
    if samples == 1:
        frames = frames[..., 0]
    stream = jxl.encode(frames, lossless=True, animation=animation)
    plain = jxl.decode(stream)
    extra = jxl.decode(stream, extra_channels=True)
    assert extra.shape == plain.shape and extra.dtype == plain.dtype
    np.testing.assert_array_equal(extra, plain)


def test_without_the_flag_the_old_refusal_stays(jxl):
    stream = jxl.encode(frame_for(3, ["depth"], np.uint8), lossless=True,
                        extra_channels=["depth"])
    with pytest.raises(NotImplementedError, match="supports L, LA, RGB, RGBA only"):
        jxl.decode(stream)
    # ... while the description is there either way.
    assert jxl.probe(stream)["extra_channels"][0]["type"] == "depth"


def test_widest_channel_sets_the_dtype(jxl):
    # An 8-bit image whose depth channel has 12 bits decodes as uint16, each
    # channel at its own range.
    frame = frame_for(1, [{"type": "depth", "bits_per_sample": 12}], np.uint16)
    frame[..., 0] %= 256
    with jxl.JxlWriter(lossless=True, extra_channels=[
            {"type": "depth", "bits_per_sample": 12}]) as w:
        w.write_frame(frame)
        stream = w.close()
    decoded = jxl.decode(stream, extra_channels=True)
    assert decoded.dtype == np.uint16
    np.testing.assert_array_equal(decoded[..., 1], frame[..., 1])


@pytest.mark.parametrize("extras, channels, message", [
    (["depth"], 3, "the frame has 3 channels and extra_channels lists 1, which leaves 2"),
    (["depth", "alpha"], 2, "the frame has 2 channels and extra_channels lists 2"),
    (["sparkle"], 2, "unknown extra channel type 'sparkle'"),
    ([{"type": "spot_color"}], 4, "needs \"spot_color\""),
    ([{"type": "depth", "colour": 1}], 2, "unknown extra channel key 'colour'"),
    ([{"name": "x"}], 2, "needs a \"type\""),
    ([{"type": "depth", "bits_per_sample": 0}], 2, "bits_per_sample must be 1 to 16"),
    ([], 2, "extra_channels is empty"),
])
def test_refusals(jxl, extras, channels, message):
    frame = np.zeros((4, 4, channels), np.uint8)
    with pytest.raises(ValueError, match=message):
        jxl.encode(frame, lossless=True, extra_channels=extras)


@pytest.mark.parametrize("extras", ["depth", [5], {"type": "depth"}])
def test_type_errors(jxl, extras):
    with pytest.raises(TypeError):
        jxl.JxlWriter(extra_channels=extras)


@pytest.mark.parametrize("dtype, bits, bad", [(np.uint8, 4, 17), (np.uint16, 12, 8000)])
def test_values_beyond_a_narrow_channel_are_refused(jxl, dtype, bits, bad):
    # libjxl would clamp them, lossless or not.
    frame = np.zeros((4, 4, 2), dtype)
    frame[1, 1, 1] = bad
    with pytest.raises(ValueError, match=f"holds {bad}, more than its {bits} bits allow"):
        jxl.encode(frame, lossless=True,
                   extra_channels=[{"type": "depth", "bits_per_sample": bits}])


# Refused where given, naming the option and its bound, rather than with
# JXL_ENC_ERR_GENERIC after every frame was encoded.
@pytest.mark.parametrize("call, message", [
    (lambda j: j.encode(np.zeros((3, 8, 8), np.uint8), animation=True, tps=(2**30 + 1, 1)),
     "tps numerator must be between 1 and 1073741824"),
    (lambda j: j.encode(np.zeros((3, 8, 8), np.uint8), animation=True, tps=2**30 + 1),
     "tps must be between 1 and 1073741824"),
    (lambda j: j.encode(np.zeros((3, 8, 8), np.uint8), animation=True, tps=(1, 1025)),
     "tps denominator must be between 1 and 1024"),
    (lambda j: j.encode(np.zeros((8, 8, 4), np.uint8), lossless=True,
                        extra_channels=[{"type": "depth", "bits_per_sample": 12}]),
     "bits_per_sample must be 1 to 8 with uint8 frames, got 12"),
    (lambda j: j.encode(np.zeros((8, 8, 4), np.uint16), lossless=True,
                        extra_channels=[{"type": "depth", "bits_per_sample": 8}]),
     "bits_per_sample must be 9 to 16 with uint16 frames, got 8"),
    (lambda j: j.JxlWriter(extra_channels=[{"type": "depth", "bits_per_sample": 16}])
     .write_frame(np.zeros((8, 8, 4), np.uint8)),
     "bits_per_sample must be 1 to 8 with uint8 frames, got 16"),
    (lambda j: j.encode(np.zeros((8, 8, 2), np.uint8),
                        extra_channels=[{"type": "spot_color", "spot_color": [0, 0, 65520, 1]}]),
     "spot_color values must be finite, from -65504 to 65504"),
    (lambda j: j.encode(np.zeros((8, 8, 2), np.uint8),
                        extra_channels=[{"type": "spot_color", "spot_color": [-1e38, 0, 0, 1]}]),
     "spot_color values must be finite, from -65504 to 65504"),
    (lambda j: j.encode(np.zeros((8, 8, 260), np.uint8), extra_channels=["depth"] * 257),
     "at most 256 extra channels"),
])
def test_bounds_libjxl_enforces_only_at_the_end(jxl, call, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        call(jxl)


@pytest.mark.parametrize("case", ["tps", "bits-8", "bits-16", "spot", "count"])
def test_the_bounds_themselves_are_accepted(jxl, case):
    stack = np.zeros((3, 8, 8), np.uint8)
    if case == "tps":
        stream = jxl.encode(stack, animation=True, tps=(2**30, 1024), lossless=True)
        assert jxl.probe(stream)["animation"]["tps_numerator"] == 2**30
    elif case.startswith("bits"):
        dtype = np.uint8 if case == "bits-8" else np.uint16
        img = np.zeros((8, 8, 4), dtype)
        bits = 8 if dtype == np.uint8 else 16
        stream = jxl.encode(img, lossless=True,
                            extra_channels=[{"type": "depth", "bits_per_sample": bits}])
        assert jxl.probe(stream)["extra_channels"][0]["bits_per_sample"] == bits
    elif case == "spot":
        spot = [-65504.0, 0.0, 65504.0, 1.0]
        stream = jxl.encode(np.zeros((8, 8, 2), np.uint8),
                            extra_channels=[{"type": "spot_color", "spot_color": spot}])
        assert list(jxl.probe(stream)["extra_channels"][0]["spot_color"]) == spot
    else:
        stream = jxl.encode(np.zeros((8, 8, 259), np.uint8), lossless=True,
                            extra_channels=["depth"] * 256)
        assert len(jxl.probe(stream)["extra_channels"]) == 256
