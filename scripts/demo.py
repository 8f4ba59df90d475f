"""kestrelpix demo: what the JPEG XL codec can do, on this machine."""

from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path

import kestrelpix.codecs._jxl as jxl


def cjxl_signature_check() -> bool:
    """Encode a tiny PGM with the reference encoder and test its signature."""
    with tempfile.TemporaryDirectory() as tmp:
        src, out = Path(tmp, "in.pgm"), Path(tmp, "out.jxl")
        src.write_bytes(b"P5\n4 4\n255\n" + bytes(range(16)))
        subprocess.run(["cjxl", "-q", "100", str(src), str(out)], check=True,
                       capture_output=True)
        return jxl.check_signature(out.read_bytes())


def main() -> None:
    print(f"libjxl {jxl.libjxl_version()}")
    print(f"cjxl output recognised as JPEG XL: {cjxl_signature_check()}")


if __name__ == "__main__":
    main()
