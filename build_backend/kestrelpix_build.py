"""The build backend: scikit-build-core, after a check of what a build from
source needs.

Without libjxl or a C++20 compiler, CMake would stop with a page of its own
output in which the cause is easy to miss. Building from source (an sdist, a
clone) is the path of users the binary wheels do not serve, so it first says
in one sentence what is missing and how to get it, then hands over to
scikit-build-core unchanged. Making an sdist needs neither and is not checked.
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Any

from scikit_build_core import build as _backend
from scikit_build_core.build import (  # noqa: F401  (the hooks we pass through)
    build_sdist,
    get_requires_for_build_sdist,
    prepare_metadata_for_build_editable,
    prepare_metadata_for_build_wheel,
)

LIBJXL_MIN = "0.11"
PACKAGES = ("libjxl", "libjxl_threads")
WHEEL_HINT = ("or install a binary wheel of kestrelpix, which carries libjxl "
              "and needs neither")


class MissingPrerequisite(SystemExit):
    """Ends the build with one line on stderr and no traceback."""

    def __init__(self, message: str) -> None:
        super().__init__(f"kestrelpix: {message}")


def _run(args: list[str], **kwargs: Any) -> subprocess.CompletedProcess[str]:
    return subprocess.run(args, capture_output=True, text=True, check=False, **kwargs)


def _check_libjxl() -> None:
    pkg_config = shlex.split(os.environ.get("PKG_CONFIG", "pkg-config"))
    if not pkg_config or shutil.which(pkg_config[0]) is None:
        raise MissingPrerequisite(
            "building from source needs pkg-config to find libjxl, and none is "
            "installed: install it (Debian/Ubuntu: apt install pkg-config; Fedora: "
            f"dnf install pkgconf), {WHEEL_HINT}")
    for package in PACKAGES:
        found = _run([*pkg_config, "--modversion", package])
        if found.returncode != 0:
            raise MissingPrerequisite(
                f"building from source needs libjxl {LIBJXL_MIN} or later, and "
                f"pkg-config finds no {package}: install libjxl's development files "
                "(Debian 13/Ubuntu 25.04: apt install libjxl-dev; Fedora: dnf install "
                "libjxl-devel; Homebrew: brew install jpeg-xl) or put the directory "
                f"holding {package}.pc on PKG_CONFIG_PATH, {WHEEL_HINT}")
        if _run([*pkg_config, f"--atleast-version={LIBJXL_MIN}", package]).returncode != 0:
            raise MissingPrerequisite(
                f"building from source needs libjxl {LIBJXL_MIN} or later, and "
                f"pkg-config finds {package} {found.stdout.strip()}: install a newer "
                f"libjxl (its .pc files on PKG_CONFIG_PATH), {WHEEL_HINT}")


_CXX20_PROBE = """\
#include <span>
#include <version>
#if __cplusplus < 202002L
#error not C++20
#endif
int main() { int a[2] = {0, 0}; return static_cast<int>(std::span<int>(a).size()) - 2; }
"""


def _check_compiler() -> None:
    named = os.environ.get("CXX")
    candidates = [named] if named else ["c++", "g++", "clang++"]
    compiler = next((shlex.split(c) for c in candidates
                     if shlex.split(c) and shutil.which(shlex.split(c)[0])), None)
    if compiler is None:
        where = f"CXX={named!r} is not a program on PATH" if named else "no C++ compiler is installed"
        raise MissingPrerequisite(
            f"building from source needs a C++20 compiler and {where}: install one "
            "(Debian/Ubuntu: apt install g++; Fedora: dnf install gcc-c++), "
            f"{WHEEL_HINT}")
    with tempfile.TemporaryDirectory() as tmp:
        source = Path(tmp, "probe.cc")
        source.write_text(_CXX20_PROBE)
        result = _run([*compiler, "-std=c++20", "-fsyntax-only", str(source)], cwd=tmp)
    if result.returncode != 0:
        raise MissingPrerequisite(
            f"building from source needs a C++20 compiler, and {' '.join(compiler)} "
            "cannot compile C++20 (g++ 10 or clang++ 12 and later can; set CXX to "
            f"one), {WHEEL_HINT}")


def _check() -> None:
    # The compiler first: without one, libjxl's headers are of no use.
    _check_compiler()
    _check_libjxl()


def get_requires_for_build_wheel(config_settings: dict[str, Any] | None = None) -> list[str]:
    _check()
    return list(_backend.get_requires_for_build_wheel(config_settings))


def get_requires_for_build_editable(config_settings: dict[str, Any] | None = None) -> list[str]:
    _check()
    return list(_backend.get_requires_for_build_editable(config_settings))


def build_wheel(wheel_directory: str, config_settings: dict[str, Any] | None = None,
                metadata_directory: str | None = None) -> str:
    # Also here: a frontend may skip the get_requires hook (pip with
    # --no-build-isolation does).
    _check()
    return str(_backend.build_wheel(wheel_directory, config_settings, metadata_directory))


def build_editable(wheel_directory: str, config_settings: dict[str, Any] | None = None,
                   metadata_directory: str | None = None) -> str:
    _check()
    return str(_backend.build_editable(wheel_directory, config_settings, metadata_directory))
