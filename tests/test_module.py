"""The module surface: start-up, published names, version, signature test
and the status-name tables."""

from __future__ import annotations

import inspect
import re

import numpy as np
import pytest

from conftest import libjxl_include_dir, python_output

CONTAINER_SIGNATURE = bytes.fromhex("0000000c4a584c200d0a870a")


@pytest.mark.parametrize("data, expected", [
    (b"", False),
    (None, False),
    (b"\xff", False),
    (b"\xff\x0a", True),
    (CONTAINER_SIGNATURE, True),
    (b"\xff\x0a" + bytes(100), True),
    (bytes(16) + b"\xff\x0a", False),
    (b"\x89PNG\r\n\x1a\n", False),
])
def test_check_signature(jxl, data, expected):
    assert jxl.check_signature(data) is expected
    if data:
        for other in (bytearray(data), memoryview(data), np.frombuffer(data, np.uint8)):
            assert jxl.check_signature(other) is expected


@pytest.mark.parametrize("cut", range(1, len(CONTAINER_SIGNATURE)))
def test_container_signature_prefix_is_not_enough(jxl, cut):
    assert jxl.check_signature(CONTAINER_SIGNATURE[:cut]) is False


@pytest.mark.parametrize("data, error", [
    ("\xff\x0a", TypeError),
    (12, TypeError),
    (np.zeros((2, 2), np.uint8), ValueError),
    (np.zeros(4, np.int16), ValueError),
    (np.zeros(8, np.uint8)[::2], ValueError),
])
def test_check_signature_refuses_non_byte_buffers(jxl, data, error):
    with pytest.raises(error):
        jxl.check_signature(data)


def test_check_signature_arguments(jxl):
    assert jxl.check_signature(data=b"\xff\x0a") is True
    with pytest.raises(TypeError):
        jxl.check_signature()
    with pytest.raises(TypeError):
        jxl.check_signature(b"", b"")
    with pytest.raises(TypeError):
        jxl.libjxl_version(1)


def test_libjxl_version_matches_installed_library(jxl):
    # The headers of the libjxl in use name its version (pkg-config may be
    # absent where an installed wheel is tested).
    header = (libjxl_include_dir() / "jxl" / "version.h").read_text()
    expected = ".".join(re.search(rf"#define JPEGXL_{part}_VERSION (\d+)", header).group(1)
                        for part in ("MAJOR", "MINOR", "PATCH"))
    version = jxl.libjxl_version()
    assert version == expected
    assert [str(int(p)) for p in version.split(".")] == version.split(".")


def test_published_callables(jxl):
    assert inspect.signature(jxl.libjxl_version).return_annotation == "str"
    assert inspect.signature(jxl.check_signature).return_annotation == "bool"
    assert str(inspect.signature(jxl.check_signature)) == "(data) -> 'bool'"
    assert jxl.libjxl_version.__annotations__ == {"return": "str"}
    assert jxl.check_signature.__doc__ == "Return True if `data` looks like a JPEG XL stream."
    assert jxl.libjxl_version.__doc__ is None
    for name in ("libjxl_version", "check_signature", "decode", "frame_count"):
        func = getattr(jxl, name)
        assert func.__module__ == "kestrelpix.codecs._jxl"
        inspect.signature(func)
    for hidden in ("_raise_dec", "_raise_enc", "_RC_FRAME", "_ENC_OK"):
        assert not hasattr(jxl, hidden)
    assert jxl.JxlReader.__module__ == "kestrelpix.codecs._jxl"


def test_status_tables(jxl):
    assert list(jxl._DEC_STATUS_NAMES.items()) == [
        (0, "JXL_DEC_SUCCESS"), (1, "JXL_DEC_ERROR"), (2, "JXL_DEC_NEED_MORE_INPUT"),
        (3, "JXL_DEC_NEED_PREVIEW_OUT_BUFFER"), (5, "JXL_DEC_NEED_IMAGE_OUT_BUFFER"),
        (6, "JXL_DEC_JPEG_NEED_MORE_OUTPUT"), (64, "JXL_DEC_BASIC_INFO"),
        (256, "JXL_DEC_COLOR_ENCODING"), (512, "JXL_DEC_PREVIEW_IMAGE"),
        (1024, "JXL_DEC_FRAME"), (4096, "JXL_DEC_FULL_IMAGE"),
        (8192, "JXL_DEC_JPEG_RECONSTRUCTION"), (16384, "JXL_DEC_BOX"),
        (32768, "JXL_DEC_FRAME_PROGRESSION"), (65536, "JXL_DEC_BOX_COMPLETE")]
    assert list(jxl._ENC_STATUS_NAMES.items()) == [
        (0, "JXL_ENC_SUCCESS"), (1, "JXL_ENC_ERROR"), (2, "JXL_ENC_NEED_MORE_OUTPUT")]
    assert list(jxl._ENC_ERR_NAMES.items()) == [
        (0, "JXL_ENC_ERR_OK"), (1, "JXL_ENC_ERR_GENERIC"), (2, "JXL_ENC_ERR_OOM"),
        (3, "JXL_ENC_ERR_JBRD"), (4, "JXL_ENC_ERR_BAD_INPUT"),
        (128, "JXL_ENC_ERR_NOT_SUPPORTED"), (129, "JXL_ENC_ERR_API_USAGE")]


def test_jxl_error_is_the_package_error(jxl):
    from kestrelpix.core.errors import JxlError
    assert jxl.JxlError is JxlError


def _import_with_blocked(*modules: str) -> str:
    # NumPy itself is imported first, so that only what is blocked here fails.
    code = ("import sys, numpy\n"
            f"for name in {modules!r}: sys.modules[name] = None\n"
            "try:\n"
            "    import kestrelpix.codecs._jxl as m\n"
            "except ImportError as e:\n"
            "    print('ImportError:', e, '| cause:', type(e.__cause__).__name__)\n"
            "else:\n"
            "    print('imported', sorted(n for n in vars(m) if not n.startswith('__')))\n")
    return python_output(code)


@pytest.mark.parametrize("blocked, expected", [
    (("kestrelpix.core.color", "kestrelpix.core.io"), "imported"),
    (("kestrelpix.core.errors",), "ImportError: import of kestrelpix.core.errors halted"),
    (("numpy._core._multiarray_umath", "numpy.core._multiarray_umath"),
     "ImportError: numpy._core.multiarray failed to import | cause: ModuleNotFoundError"),
])
def test_start_up_dependencies(blocked, expected):
    assert _import_with_blocked(*blocked).startswith(expected)
