"""``kestrelpix demo``: the demo's table and pictures (kestrelpix._demo)."""

from __future__ import annotations

import argparse
import importlib.util
from pathlib import Path

from kestrelpix.cli.common import EXIT_OK, missing


def run(args: argparse.Namespace) -> int:
    from kestrelpix import _demo

    for module, name in (("matplotlib", "matplotlib"), ("PIL", "Pillow")):
        if importlib.util.find_spec(module) is None:
            raise missing("demo", f"{name} (for its figures)")
    _demo.run(Path(args.dir))
    return EXIT_OK
