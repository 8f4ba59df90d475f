"""Seed the fuzzing corpus: small streams from the reference encoder and
libjxl-testdata's fuzz cases, each prefixed with every entry-point byte."""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from conftest import TESTDATA, sample_image, write_apng, write_pnm  # noqa: E402


def reference_streams(tmp: Path) -> list[bytes]:
    sources = [write_pnm(tmp / "g.pgm", sample_image(8, 9, 1)),
               write_pnm(tmp / "rgba.pam", sample_image(7, 6, 4, 65535), 65535),
               write_apng(tmp / "a.apng", [sample_image(6, 5, 3, seed=i) for i in range(3)])]
    streams = []
    for i, src in enumerate(sources):
        for options in (["-d", "0", "-e", "1"], ["-d", "2", "-e", "3", "--container=1"]):
            out = tmp / f"{i}.jxl"
            subprocess.run(["cjxl", str(src), str(out), *options], check=True,
                           capture_output=True)
            streams.append(out.read_bytes())
    return streams


def main(corpus: Path) -> None:
    corpus.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        streams = reference_streams(Path(tmp))
    streams += [p.read_bytes() for p in sorted((TESTDATA / "oss-fuzz").glob("*"))]
    for n, stream in enumerate(streams):
        for mode in range(4):
            (corpus / f"seed-{n}-{mode}").write_bytes(bytes([mode * 64, n & 0xFF]) + stream)
    (corpus / "seed-encode").write_bytes(bytes([255]) + np.arange(200, dtype=np.uint8).tobytes())


if __name__ == "__main__":
    main(Path(sys.argv[1]))
