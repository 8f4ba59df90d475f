"""What installing kestrelpix gives a user: the metadata pip and the host
libraries read, the typing files, and, for a build from source, one clear
sentence when a prerequisite is missing."""

from __future__ import annotations

import importlib.metadata as md
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import kestrelpix

BACKEND_DIR = Path(__file__).resolve().parent.parent / "build_backend"


def test_metadata_names_extras_licence_and_dependencies():
    meta = md.metadata("kestrelpix")
    assert meta["Name"] == "kestrelpix" and meta["Summary"]
    assert meta["License-Expression"] == "BSD-3-Clause"
    assert {"pillow", "numcodecs", "zarr", "dask", "cli"} <= set(meta.get_all("Provides-Extra"))
    requires = md.requires("kestrelpix") or []
    assert any(r.startswith("numpy") and "extra" not in r for r in requires)
    licence = [f for f in md.files("kestrelpix") or [] if f.name == "LICENSE"]
    assert licence and "BSD 3-Clause" in licence[0].read_text()


@pytest.mark.parametrize("group, name, target", [
    ("numcodecs.codecs", "kestrelpix_jxl", "kestrelpix.numcodecs:Jxl"),
    ("zarr.codecs", "kestrelpix_jxl", "kestrelpix.zarr:Jxl"),
    ("console_scripts", "kestrelpix", "kestrelpix.cli:main"),
])
def test_entry_points_load(group, name, target):
    (ep,) = [ep for ep in md.entry_points(group=group) if ep.name == name]
    assert ep.value == target
    if group != "console_scripts":
        pytest.importorskip(group.split(".")[0])
    assert callable(ep.load())


def test_typing_files_beside_the_module():
    package = Path(kestrelpix.__file__).parent
    assert (package / "py.typed").is_file()
    assert (package / "codecs" / "_jxl.pyi").is_file()
    # The extension's C++ sources stay out of what is installed.
    assert not (package / "codecs" / "_jxl").exists()


# --- building from source without a prerequisite --------------------------------

def _fake_tool(directory: Path, name: str, script: str) -> None:
    path = directory / name
    path.write_text("#!/bin/sh\n" + script + "\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)


# Each: what the machine lacks, a PATH and environment that lack it, and words
# the one line must hold.
@pytest.mark.parametrize("case", ["no compiler", "CXX not found", "no C++20",
                                  "no pkg-config", "no libjxl", "old libjxl"])
def test_source_build_says_what_is_missing(case, tmp_path):
    if not (BACKEND_DIR / "kestrelpix_build.py").is_file():
        pytest.skip("the build backend is in the source tree only")
    pytest.importorskip("scikit_build_core")
    tools = tmp_path / "bin"
    tools.mkdir()
    env = {"PATH": str(tools), "HOME": str(tmp_path)}
    compiler = 'exit 0'
    pkgconf = 'case "$1" in --modversion) echo 0.11.2;; esac; exit 0'
    if case == "no compiler":
        compiler = None
        expect = ["C++20 compiler", "no C++ compiler is installed", "apt install g++"]
    elif case == "CXX not found":
        env["CXX"] = "no-such-c++"
        expect = ["CXX='no-such-c++' is not a program on PATH"]
    elif case == "no C++20":
        compiler = 'echo "error: unrecognized -std=c++20" >&2; exit 1'
        expect = ["cannot compile C++20", "set CXX"]
    elif case == "no pkg-config":
        pkgconf = None
        expect = ["needs pkg-config", "apt install pkg-config"]
    elif case == "no libjxl":
        pkgconf = 'exit 1'
        expect = ["finds no libjxl", "apt install libjxl-dev", "PKG_CONFIG_PATH"]
    else:
        pkgconf = 'case "$1" in --modversion) echo 0.10.2; exit 0;; esac; exit 1'
        expect = ["libjxl 0.11 or later", "finds libjxl 0.10.2"]
    if compiler is not None:
        _fake_tool(tools, "c++", compiler)
    if pkgconf is not None:
        _fake_tool(tools, "pkg-config", pkgconf)
    probe = ("import sys; sys.path.insert(0, sys.argv[1]); import kestrelpix_build as b; "
             "b.get_requires_for_build_wheel()")
    # The interpreter by its full path: PATH holds only the fake tools.
    done = subprocess.run([sys.executable, "-c", probe, str(BACKEND_DIR)],
                          env={**env, "PYTHONPATH": os.pathsep.join(sys.path)},
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("kestrelpix: building from source needs"), \
        done.stderr
    for words in expect:
        assert words in lines[0]
    assert "binary wheel" in lines[0]
