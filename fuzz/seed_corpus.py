"""Seed a fuzz target's corpus: `seed_corpus.py TARGET DIR`.

The decoding targets get small streams from the reference encoder (still,
float, container, animation) and libjxl-testdata's streams and fuzz cases,
each behind the bytes that pick the entry point and flags; the encoding
targets get deterministic random inputs, which their data providers read as
options and samples."""

from __future__ import annotations

import random
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from conftest import (TESTDATA, sample_image, write_apng, write_pfm,  # noqa: E402
                      write_pnm)

# Where the decoding target's stream starts (fuzz_decode.HEADER).
DECODE_HEADER = 20


def reference_streams(tmp: Path, extra: bool) -> list[bytes]:
    sources = [write_pnm(tmp / "g.pgm", sample_image(8, 9, 1)),
               write_pnm(tmp / "rgba.pam", sample_image(7, 6, 4, 65535), 65535),
               write_apng(tmp / "a.apng", [sample_image(6, 5, 3, seed=i) for i in range(3)])]
    if extra:
        ramp = np.linspace(-0.5, 4.0, 5 * 6 * 3, dtype=np.float32).reshape(5, 6, 3)
        sources += [write_pfm(tmp / "f.pfm", ramp), TESTDATA / "jxl" / "traffic_light.gif"]
    streams = []
    for i, src in enumerate(sources):
        for options in (["-d", "0", "-e", "1"], ["-d", "2", "-e", "3", "--container=1"]):
            out = tmp / f"{i}.jxl"
            subprocess.run(["cjxl", str(src), str(out), *options], check=True,
                           capture_output=True)
            streams.append(out.read_bytes())
    return streams


def streams(extra: bool) -> list[bytes]:
    with tempfile.TemporaryDirectory() as tmp:
        found = reference_streams(Path(tmp), extra)
    if extra:
        found += [p.read_bytes() for p in sorted((TESTDATA / "jxl").rglob("*.jxl"))]
    found += [p.read_bytes() for p in sorted((TESTDATA / "oss-fuzz").glob("*"))]
    return found


def seed_jxl(corpus: Path) -> None:
    for n, stream in enumerate(streams(extra=False)):
        for mode in range(4):
            (corpus / f"seed-{n}-{mode}").write_bytes(bytes([mode * 64, n & 0xFF]) + stream)
    (corpus / "seed-encode").write_bytes(bytes([255]) + np.arange(200, dtype=np.uint8).tobytes())


def seed_decode(corpus: Path) -> None:
    rng = random.Random(0)
    for n, stream in enumerate(streams(extra=True)):
        for k in range(4):
            header = bytes(rng.randrange(256) for _ in range(DECODE_HEADER))
            (corpus / f"seed-{n}-{k}").write_bytes(header + stream)


def seed_random(corpus: Path) -> None:
    rng = random.Random(0)
    for n in range(48):
        size = rng.choice([8, 16, 32, 64, 128, 256, 512, 1024])
        (corpus / f"seed-{n}").write_bytes(bytes(rng.randrange(256) for _ in range(size)))


SEEDERS = {"jxl": seed_jxl, "decode": seed_decode, "options": seed_random,
           "floats": seed_random}


def main(target: str, corpus: Path) -> None:
    corpus.mkdir(parents=True, exist_ok=True)
    SEEDERS.get(target, seed_random)(corpus)


if __name__ == "__main__":
    main(sys.argv[1], Path(sys.argv[2]))
