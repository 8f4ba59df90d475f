"""Finish and check a wheel that `auditwheel repair` has made self-contained.

    python scripts/wheel_finish.py WHEEL --libdir DIR --out DIST

- Adds the licences of the libraries auditwheel copied in, as
  kestrelpix.libs/THIRD_PARTY_LICENSES.txt: for each one Debian's copyright
  file of the package it came from (`dpkg -S`), or, for the private libjxl
  prefix of a Debian 12 build, the copyright files its sources carried.
- Checks what a user installs: every RPATH/RUNPATH stays inside the wheel
  ($ORIGIN), every library the extension needs is in the wheel or is one of
  the system's (libc, libm, libstdc++, libgcc_s, the loader), and the metadata
  names the package, its licence, the extras, the entry points, the stubs.
- Writes the result into DIST; exits non-zero, saying why, on any failure.

Runs in the project's venv (auditwheel's pyelftools reads the ELF files).
"""

from __future__ import annotations

import argparse
import email.parser
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

LIBS = "kestrelpix.libs"
LICENSES = f"{LIBS}/THIRD_PARTY_LICENSES.txt"
# What a manylinux wheel may take from the system instead of carrying it.
SYSTEM = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libpthread.so.0",
          "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
SYSTEM_LIBDIRS = [Path("/lib/x86_64-linux-gnu"), Path("/usr/lib/x86_64-linux-gnu"),
                  Path("/lib/aarch64-linux-gnu"), Path("/usr/lib/aarch64-linux-gnu"),
                  Path("/usr/lib"), Path("/lib")]
EXTRAS = {"pillow", "numcodecs", "zarr", "dask", "cli"}
ENTRY_POINTS = {"numcodecs.codecs": "kestrelpix_jxl", "zarr.codecs": "kestrelpix_jxl",
                "console_scripts": "kestrelpix"}
# Sources of the libraries a private prefix holds (scripts/deps.py).
PREFIX_SOURCES = {"libjxl": "jpeg-xl", "libjxl_threads": "jpeg-xl", "libjxl_cms": "jpeg-xl",
                  "libhwy": "highway"}


def fail(msg: str) -> None:
    raise SystemExit(f"wheel: {msg}")


def dynamic(path: Path) -> tuple[list[str], list[str]]:
    """(NEEDED, RPATH and RUNPATH entries) of an ELF file."""
    needed: list[str] = []
    paths: list[str] = []
    with open(path, "rb") as f:
        for section in ELFFile(f).iter_sections():
            if not isinstance(section, DynamicSection):
                continue
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED":
                    needed.append(tag.needed)
                elif tag.entry.d_tag == "DT_RPATH":
                    paths += tag.rpath.split(":")
                elif tag.entry.d_tag == "DT_RUNPATH":
                    paths += tag.runpath.split(":")
    return needed, paths


def original(bundled: str, libdir: Path) -> Path:
    """Where auditwheel took a bundled library from: libjxl-014db1ab.so.0.11.2
    was libjxl.so.0.11.2 in the libjxl directory or the system's."""
    m = re.fullmatch(r"(.+)-[0-9a-f]{8}(\.so.*)", bundled)
    if not m:
        fail(f"{bundled}: not named as auditwheel names the libraries it copies in")
    name = m.group(1) + m.group(2)
    for d in [libdir, *SYSTEM_LIBDIRS]:
        if (d / name).exists():
            return (d / name).resolve()
    fail(f"{bundled}: its original {name} is in neither {libdir} nor the system's directories")
    raise AssertionError


def copyright_of(path: Path, libdir: Path) -> tuple[str, Path]:
    """(what it came from, the copyright file) for a library on this machine."""
    base = path.name.split(".so")[0]
    if libdir.resolve() in path.parents and libdir.resolve() not in map(Path.resolve, SYSTEM_LIBDIRS):
        source = PREFIX_SOURCES.get(base)
        doc = libdir.parent / "share" / "doc" / str(source) / "copyright"
        if source is None or not doc.is_file():
            fail(f"no copyright file for {path} in {doc.parent} (scripts/deps.py --licenses adds it)")
        return f"Debian source package {source}, built as {libdir.parent.name}", doc
    owner = subprocess.run(["dpkg", "-S", str(path)], capture_output=True, text=True)
    if owner.returncode != 0:
        # Debian 12 keeps libraries under /lib as well as /usr/lib (merged /usr).
        alt = Path("/usr" + str(path)) if not str(path).startswith("/usr/") else Path(str(path)[4:])
        owner = subprocess.run(["dpkg", "-S", str(alt)], capture_output=True, text=True)
    if owner.returncode != 0:
        fail(f"dpkg knows no package holding {path}")
    package = owner.stdout.split(":")[0].strip()
    doc = Path("/usr/share/doc") / package / "copyright"
    if not doc.is_file():
        fail(f"{package} (holding {path}) has no {doc}")
    return f"Debian package {package}", doc


def add_licenses(tree: Path, libdir: Path) -> list[str]:
    parts = ["Libraries in kestrelpix.libs and the licences they are distributed under.\n"
             "Each section is the copyright file of the Debian package (or source\n"
             "package) the library was built from.\n"]
    seen: dict[Path, list[str]] = {}
    origins: dict[Path, str] = {}
    for lib in sorted((tree / LIBS).glob("*.so*")):
        origin, doc = copyright_of(original(lib.name, libdir), libdir)
        seen.setdefault(doc, []).append(lib.name)
        origins[doc] = origin
    for doc, libs in seen.items():
        parts.append("=" * 78 + f"\n{', '.join(libs)}\nfrom {origins[doc]}\n" + "=" * 78
                     + "\n\n" + doc.read_text(encoding="utf-8", errors="replace"))
    (tree / LICENSES).write_text("\n".join(parts), encoding="utf-8")
    return sorted(lib for libs in seen.values() for lib in libs)


def check_elf(tree: Path) -> None:
    bundled = {p.name for p in (tree / LIBS).glob("*.so*")}
    for so in sorted(tree.rglob("*.so*")):
        needed, paths = dynamic(so)
        outside = [p for p in paths if not p.startswith("$ORIGIN")]
        if outside:
            fail(f"{so.relative_to(tree)} looks for libraries outside the wheel: {outside}")
        missing = [n for n in needed if n not in bundled and n not in SYSTEM]
        if missing:
            fail(f"{so.relative_to(tree)} needs libraries the wheel does not carry: {missing}")


def check_metadata(tree: Path) -> None:
    info = next(tree.glob("*.dist-info"))
    meta = email.parser.Parser().parsestr((info / "METADATA").read_text(encoding="utf-8"))
    for field in ("Name", "Version", "Summary", "License-Expression", "Requires-Python"):
        if not meta.get(field):
            fail(f"METADATA has no {field}")
    extras = set(meta.get_all("Provides-Extra") or [])
    if not EXTRAS <= extras:
        fail(f"METADATA lacks the extras {sorted(EXTRAS - extras)}")
    licenses = meta.get_all("License-File") or []
    for name in licenses or ["LICENSE"]:
        if not (info / "licenses" / name).is_file():
            fail(f"the licence file {name} is not in {info.name}/licenses")
    entry_points = (info / "entry_points.txt").read_text(encoding="utf-8")
    for group, name in ENTRY_POINTS.items():
        if not re.search(rf"^\[{re.escape(group)}\][^\[]*^{name}\s*=", entry_points, re.M | re.S):
            fail(f"entry_points.txt has no {name} in [{group}]")
    for needed in ("kestrelpix/py.typed", "kestrelpix/codecs/_jxl.pyi"):
        if not (tree / needed).is_file():
            fail(f"{needed} is not in the wheel")
    if list(tree.glob("kestrelpix/codecs/_jxl/*")):
        fail("the extension's C++ sources went into the wheel")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--libdir", type=Path, required=True,
                        help="the directory libjxl was linked from")
    parser.add_argument("--out", type=Path, required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tree = Path(tmp) / "tree"
        with zipfile.ZipFile(args.wheel) as z:
            z.extractall(tree)
        libs = add_licenses(tree, args.libdir)
        check_elf(tree)
        check_metadata(tree)
        # `wheel pack` writes the RECORD anew, with the licences in it.
        packed = Path(tmp) / "packed"
        packed.mkdir()
        subprocess.run([sys.executable, "-m", "wheel", "pack", "--dest-dir", str(packed), str(tree)],
                       check=True, stdout=subprocess.DEVNULL)
        (result,) = packed.glob("*.whl")
        subprocess.run([sys.executable, "-m", "twine", "check", "--strict", str(result)], check=True)
        args.out.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(result, args.out / result.name)
    print(f"wheel: {args.out / result.name}: {len(libs)} libraries carried ({', '.join(libs)}), "
          "licences added, RPATHs inside the wheel, metadata complete")
    return 0


if __name__ == "__main__":
    sys.exit(main())
