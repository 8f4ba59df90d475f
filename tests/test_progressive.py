"""Progressive streams: the writer's progressive, group_order and center
against cjxl's streams byte for byte; partial and downsampled decoding,
renderings as bytes arrive and probe's "progressive" against djxl on prefixes
of streams of every kind."""

from __future__ import annotations

import io
from pathlib import Path

import numpy as np
import pytest

from conftest import cjxl, sample_image, write_pnm

# 300 x 600: two rows of three groups, so that the group order matters.
SHAPE = (300, 600, 3)


@pytest.fixture(scope="module")
def rgb() -> np.ndarray:
    return sample_image(*SHAPE)


# --- encoding ---------------------------------------------------------------

@pytest.mark.parametrize(("cjxl_args", "options"), [
    (("-p",), {"progressive": True}),
    (("-p", "-d", "4"), {"progressive": True, "distance": 4}),
    (("-p", "-d", "0", "-e", "3"), {"progressive": True, "lossless": True, "effort": 3}),
    (("--group_order=1",), {"group_order": "center"}),
    (("--group_order=0",), {"group_order": "scanline"}),
    (("--group_order=1", "--center_x=100", "--center_y=250"),
     {"group_order": "center", "center": (100, 250)}),
    (("-p", "--group_order=1", "--center_x=599", "--center_y=0"),
     {"progressive": True, "group_order": "center", "center": [599, 0]}),
])
def test_streams_match_cjxl(jxl, tmp_path, have_tools, rgb, cjxl_args, options):
    options = {"effort": 7, **options}
    reference = cjxl(write_pnm(tmp_path / "in.ppm", rgb), tmp_path / "ref.jxl",
                     "-e", str(options["effort"]), *cjxl_args)
    assert jxl.encode(rgb, **options) == reference
    writer = jxl.JxlWriter(**options)
    writer.write_frame(rgb, is_last=True)
    assert writer.close() == reference


def test_pillow_save_passes_them_on(jxl, rgb):
    from PIL import Image

    import kestrelpix.pillow  # noqa: F401  (registers the plugin)
    options = {"progressive": True, "group_order": "center", "center": (10, 20)}
    out = io.BytesIO()
    Image.fromarray(rgb).save(out, "JXL", effort=3, **options)
    assert out.getvalue() == jxl.encode(rgb, effort=3, **options)


def test_progressive_changes_the_stream(jxl, rgb):
    """Not a no-op, for lossy (passes) and lossless (responsive) alike."""
    for lossless in (False, True):
        plain = jxl.encode(rgb, effort=3, lossless=lossless)
        assert jxl.encode(rgb, effort=3, lossless=lossless, progressive=True) != plain


@pytest.mark.parametrize(("options", "error", "match"), [
    ({"group_order": "diagonal"}, ValueError, "scanline.*center"),
    ({"group_order": 1}, TypeError, "group_order"),
    ({"center": (1, 2)}, ValueError, "center= is for group_order"),
    ({"group_order": "scanline", "center": (1, 2)}, ValueError, "center= is for"),
    ({"group_order": "center", "center": (1, 2, 3)}, ValueError, r"\(x, y\) pair"),
    ({"group_order": "center", "center": (-1, 2)}, ValueError, "lie in the image"),
    ({"group_order": "center", "center": (1.5, 2)}, TypeError, "integer"),
    ({"group_order": "center", "center": 7}, TypeError, "iterable"),
    ({"group_order": "center", "center": (600, 0)}, ValueError, r"outside the 600 x 300"),
    ({"group_order": "center", "center": (0, 300)}, ValueError, r"outside the 600 x 300"),
])
def test_refused_options(jxl, tmp_path, rgb, options, error, match):
    with pytest.raises(error, match=match):
        jxl.encode(rgb, **options)
    # Nothing is left half-written at a file destination.
    dest = tmp_path / "out.jxl"
    with pytest.raises(error, match=match):
        jxl.encode(rgb, dest=dest, **options)
    assert not dest.exists() or dest.stat().st_size == 0
