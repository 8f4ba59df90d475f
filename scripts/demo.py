"""kestrelpix demo: what the JPEG XL codec does with a photograph-like image,
on this machine, in numbers and in pictures.

Prints a table of settings (size, error, speed), then writes three figures:
demo.png, the same crop of the image at 2x zoom for the source and each
setting, labelled; demo-rd.png, bits per pixel against PSNR over a range of
distances at two efforts; and demo-progressive.png, the crop rendered from
the first 2 %, 5 %, 10 %, 25 % and all of the image's progressive stream.
`--out DIR` says where (default: build/demo).

The demo itself lives in the package (kestrelpix._demo), so that an installed
kestrelpix runs it too (`kestrelpix demo`); this script is `make demo`'s way in.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from kestrelpix import _demo


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path,
                        default=Path(__file__).resolve().parent.parent / "build" / "demo",
                        help="directory for demo.png, demo-rd.png and demo-progressive.png")
    _demo.run(parser.parse_args().out)


if __name__ == "__main__":
    main()
