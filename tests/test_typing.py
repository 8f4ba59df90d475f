"""The type stubs: a typed usage file passes `mypy --strict`, and stubtest
finds the stub and the built module in agreement."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from conftest import run_module

pytest.importorskip("mypy", reason="mypy is not installed (scripts/bootstrap installs it)")
# The checks read the stub and the module's signatures, no native code path;
# under the sanitizers mypy alone would take minutes.
pytestmark = pytest.mark.skipif(bool(os.environ.get("KESTRELPIX_SANITIZED")),
                                reason="stub checks do not exercise native code")

TYPING = Path(__file__).resolve().parent / "typing"
MODULE = "kestrelpix.codecs._jxl"

# libjxl_version and check_signature are published as a small callable type
# that carries their return annotations, which stubtest does not count as a
# function. It still compares their signatures with the stub's, so this one
# complaint about each is all that may pass (an allowlist entry would hide
# every other difference as well).
NOT_A_FUNCTION = {f"{MODULE}.{name} is not a function"
                  for name in ("check_signature", "libjxl_version")}


@pytest.mark.parametrize("target", [
    [str(TYPING / "usage.py")],
    ["-p", "kestrelpix"],
], ids=["usage", "package"])
def test_mypy_strict(tmp_path_factory, target):
    cache = tmp_path_factory.getbasetemp() / "mypy-cache"
    result = run_module("mypy", "--strict", "--cache-dir", str(cache), *target,
                        cwd=tmp_path_factory.mktemp("mypy"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest(tmp_path):
    result = run_module("mypy.stubtest", MODULE, "--concise",
                        "--allowlist", str(TYPING / "stubtest-allowlist.txt"), cwd=tmp_path)
    errors = set(result.stdout.splitlines())
    assert errors <= NOT_A_FUNCTION, result.stdout + result.stderr
    # A run that failed without reporting (stubtest itself broke) fails too.
    assert result.returncode == (1 if errors else 0), result.stdout + result.stderr
