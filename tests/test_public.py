"""kestrelpix.jxl, the public module: the extension's own objects under the
public name, and typed for its users."""

from __future__ import annotations


import pytest

from conftest import run_module
import kestrelpix.codecs._jxl as extension
from kestrelpix import jxl
from kestrelpix.core.errors import JxlError

NAMES = ["decode", "encode", "probe", "frame_count", "check_signature", "libjxl_version",
         "JxlReader", "JxlWriter"]
LATE = ["transcode_jpeg", "reconstruct_jpeg"]


@pytest.mark.parametrize("name", NAMES + LATE)
def test_same_objects_as_the_extension(name):
    if name in LATE and not hasattr(extension, name):
        assert not hasattr(jxl, name)
        return
    assert getattr(jxl, name) is getattr(extension, name)
    assert name in jxl.__all__


def test_nothing_else_published():
    assert jxl.JxlError is JxlError
    assert set(jxl.__all__) == {"JxlError", *NAMES, *(n for n in LATE if hasattr(extension, n))}


def test_typed_for_users(tmp_path):
    pytest.importorskip("mypy")
    usage = tmp_path / "usage.py"
    usage.write_text(
        "from typing import assert_type\n"
        "import numpy as np\n"
        "from kestrelpix import jxl\n"
        "data = jxl.encode(np.zeros((4, 4), np.uint8), lossless=True)\n"
        "assert_type(data, bytes)\n"
        "assert_type(jxl.frame_count(data), int)\n"
        "assert_type(jxl.probe(data)['orientation'], int)\n"
        "with jxl.JxlReader(data) as reader:\n"
        "    assert_type(reader.xsize, int)\n"
        "try:\n"
        "    jxl.decode(data)\n"
        "except jxl.JxlError as exc:\n"
        "    print(exc)\n"
        "jxl.decode(data, index='1')  # type: ignore[call-overload]\n")
    result = run_module("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(usage),
                        cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_docstring_example():
    import doctest
    failures, tried = doctest.testmod(jxl, report=False)
    assert tried and not failures
