"""The ``kestrelpix`` command: JPEG XL files from the shell.

::

    kestrelpix info FILE...          what a JPEG XL file holds, without decoding it
    kestrelpix convert IN OUT        any image Pillow reads to JPEG XL, and back
    kestrelpix recompress PATH...    JPEG files to JPEG XL, losslessly, on every core
    kestrelpix demo [DIR]            the demo's table and pictures

``kestrelpix COMMAND --help`` tells the details; ``python -m kestrelpix`` is
the same command. ``info`` and ``recompress`` need nothing beyond kestrelpix;
``convert`` needs Pillow, ``demo`` Pillow and matplotlib, and ``recompress``
shows a progress bar when tqdm is installed: ``pip install "kestrelpix[cli]"``
brings all three.

Exit status: 0 when everything worked, 1 when a file failed, 2 for a usage
error or a missing optional dependency, 130 when interrupted (Ctrl-C).

:func:`main` runs the command in-process: ``main(["info", "a.jxl"])`` returns
the exit status rather than leaving the interpreter.

This module holds the parser and :func:`main`; each command has its module
(:mod:`.info`, :mod:`.convert`, :mod:`.recompress`, :mod:`.demo`) with a
``run(args)`` that returns the exit status, and :mod:`.common` what they share.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import IO, Any, TypeAlias

from kestrelpix import __version__, jxl
from kestrelpix.cli import convert, demo, info, recompress
from kestrelpix.cli.common import (
    CLI_EXTRA,
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Failure,
    error,
)

__all__ = ["main"]

_FORMATTER = argparse.RawDescriptionHelpFormatter
#: What add_subparsers returns, where each command adds its parser.
_Commands: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


def _ranged(kind: Callable[[str], float], low: float, high: float,
            what: str) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a number, not {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} must be {low:g} to {high:g}, not {text}")
        return value
    return parse


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"jobs must be a whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"jobs must be at least 1, not {value}")
    return value


def _cpu_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=_FORMATTER,
        description="JPEG XL files from the shell: inspect them, convert images to "
                    "and from JPEG XL, recompress JPEG archives losslessly.",
        epilog="Run `kestrelpix COMMAND --help` for a command's details.\n"
               "Exit status: 0 all done, 1 a file failed, 2 a usage error or a missing "
               "optional\ndependency, 130 interrupted. Optional dependencies (Pillow, tqdm, "
               f"matplotlib):\n{CLI_EXTRA}")
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {__version__} (libjxl {jxl.libjxl_version()})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_info(commands)
    _add_convert(commands)
    _add_recompress(commands)
    _add_demo(commands)
    return parser


# The commands' descriptions and epilogs, laid out as --help prints them.

_INFO_DESCRIPTION = """\
Tell what each JPEG XL file holds, from its headers alone (nothing is decoded):
size, samples, channels, colour, orientation, animation and frame durations,
extra channels, container boxes, metadata, and whether the original JPEG can be
rebuilt from it."""

_INFO_EPILOG = """\
A file that is not JPEG XL, or whose headers are damaged, gets one line on
stderr; the others are still shown, and the exit status is 1."""

_CONVERT_DESCRIPTION = """\
Convert IN to OUT; OUT's suffix chooses the way.

OUT ending in .jxl: IN is any image Pillow reads. Animations (GIF, APNG, WebP...)
stay animations with their frame durations and loop count; alpha, 16-bit grey,
the ICC profile, Exif and XMP are kept. A JPEG given no --quality, --distance or
--lossless is recompressed without loss (its original can be rebuilt byte for
byte); other images are lossy at distance 1 unless told otherwise.

Any other OUT: IN must be JPEG XL; it is decoded and written by Pillow in the
format of OUT's suffix (.png, .tif, .webp, .gif, .jpg, ...). Formats that hold
animations get every frame, others the first. To .png, images deeper than 8
bits are written with 16 bits per sample (Pillow's own writers take 8-bit
colour). A .jpg from a JPEG XL made by recompressing a JPEG is that JPEG again,
byte for byte, unless --quality is given."""

_CONVERT_EPILOG = """\
OUT is written through a temporary file beside it and renamed when complete:
a failure or Ctrl-C leaves no partial file. An existing OUT is kept unless
--force is given. Needs Pillow: """ + CLI_EXTRA

_RECOMPRESS_DESCRIPTION = """\
Recompress JPEG files to JPEG XL without loss: each X.jpg becomes X.jxl beside it,
typically a fifth smaller, from which the original file can be rebuilt byte for
byte (kestrelpix convert X.jxl X.jpg, or djxl). Every stream is rebuilt and compared
with its JPEG before it is written.

Directories are searched recursively for files named .jpg, .jpeg, .jpe or .jfif
(any case); files named on the command line are taken whatever their name.
Either way a file must start with a JPEG signature (FF D8 FF).

Files are done in parallel, one per core by default. A progress bar (with tqdm
installed, on a terminal) shows files, bytes in and out and files per second;
a summary follows: files converted, kept as JPEG and why, bytes saved."""

_RECOMPRESS_EPILOG = """\
A JPEG is kept, and the run goes on, when its .jxl exists already (use --force),
when libjxl refuses it, when it is unreadable or when JPEG XL would not be smaller.
The exit status is 1 if any file failed (exists already and not smaller are no
failures), 130 after Ctrl-C, which finishes the files in progress, removes
any temporary file and prints the summary of what was done."""

_DEMO_DESCRIPTION = """\
What the JPEG XL codec does with a photograph-like image, on this machine:
prints sizes, errors and speeds of a few settings, and writes demo.png (a 2x crop
of each setting, labelled), demo-rd.png (bits per pixel against PSNR) and
demo-progressive.png (the crop from the first bytes of a progressive stream)
into DIR."""

_DEMO_EPILOG = """\
Needs Pillow and matplotlib: """ + CLI_EXTRA


def _add_info(commands: _Commands) -> None:
    sub = commands.add_parser(
        "info", formatter_class=_FORMATTER, help="what JPEG XL files hold",
        description=_INFO_DESCRIPTION, epilog=_INFO_EPILOG)
    sub.add_argument("files", nargs="+", metavar="FILE", help="JPEG XL files")
    sub.add_argument("--json", action="store_true",
                     help="print a JSON list with one object per readable file: what "
                          "kestrelpix.jxl.probe returns, plus 'file', 'file_size' and "
                          "'dtype'; bytes values (icc_profile, exif, xmp, jumbf) are "
                          "base64 strings, null when absent")
    sub.set_defaults(run=info.run)


def _add_convert(commands: _Commands) -> None:
    sub = commands.add_parser(
        "convert", formatter_class=_FORMATTER, help="an image to JPEG XL, or JPEG XL to "
                                                    "another format",
        description=_CONVERT_DESCRIPTION, epilog=_CONVERT_EPILOG)
    sub.add_argument("input", metavar="IN", help="the image to read")
    sub.add_argument("output", metavar="OUT", help="the file to write")
    how = sub.add_mutually_exclusive_group()
    how.add_argument("-q", "--quality", type=_ranged(float, 0, 100, "quality"), metavar="Q",
                     help="quality 0 to 100 (libjxl's scale; for .jpg/.webp/.avif OUT, "
                          "Pillow's)")
    how.add_argument("-d", "--distance", type=_ranged(float, 0, 25, "distance"), metavar="D",
                     help="Butteraugli distance 0 to 25 (0 lossless, 1 visually lossless, "
                          "the default)")
    how.add_argument("--lossless", action="store_true",
                     help="exactly the input's samples (also for .webp OUT)")
    sub.add_argument("-e", "--effort", type=_ranged(int, 1, 10, "effort"), metavar="E",
                     help="encoder effort 1 (fast) to 10 (small); default 5, or 7 for "
                          "a JPEG recompressed")
    sub.add_argument("-f", "--force", action="store_true", help="overwrite OUT")
    sub.set_defaults(run=convert.run)


def _add_recompress(commands: _Commands) -> None:
    sub = commands.add_parser(
        "recompress", formatter_class=_FORMATTER,
        help="JPEG files to JPEG XL, losslessly (the JPEG can be rebuilt)",
        description=_RECOMPRESS_DESCRIPTION, epilog=_RECOMPRESS_EPILOG)
    sub.add_argument("paths", nargs="+", metavar="PATH",
                     help="JPEG files and directories")
    sub.add_argument("--delete", action="store_true",
                     help="remove each original once its .jxl, read back from "
                          "disk, rebuilds it byte for byte")
    sub.add_argument("-f", "--force", action="store_true",
                     help="replace .jxl files that exist already")
    sub.add_argument("-j", "--jobs", type=_jobs, default=_cpu_count(), metavar="N",
                     help="files at once (default: %(default)s, the cores available)")
    sub.add_argument("-e", "--effort", type=_ranged(int, 1, 10, "effort"), metavar="E",
                     help="encoder effort 1 to 10 (default 7, as cjxl)")
    sub.add_argument("--quiet", action="store_true", help="no progress bar")
    sub.set_defaults(run=recompress.run)


def _add_demo(commands: _Commands) -> None:
    sub = commands.add_parser(
        "demo", formatter_class=_FORMATTER, help="the demo's table and pictures",
        description=_DEMO_DESCRIPTION, epilog=_DEMO_EPILOG)
    sub.add_argument("dir", nargs="?", default="kestrelpix-demo", metavar="DIR",
                     help="where the pictures go (default: ./kestrelpix-demo)")
    sub.set_defaults(run=demo.run)


def _show_warning(message: Warning | str, category: type[Warning], filename: str,
                  lineno: int, file: IO[str] | None = None, line: str | None = None) -> None:
    # A library's warning (Pillow on odd Exif data, say) as one line, not a
    # source location.
    error(f"warning: {' '.join(str(message).split())}")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: ``sys.argv[1:]``) and return
    the exit status: 0 success, 1 a file failed, 2 a usage error or a missing
    optional dependency, 130 interrupted."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        code = exc.code
        return code if isinstance(code, int) else EXIT_OK if code is None else EXIT_USAGE
    try:
        with warnings.catch_warnings():  # restores showwarning afterwards
            warnings.showwarning = _show_warning
            status: int = args.run(args)
    except Failure as exc:
        error(str(exc))
        return exc.status
    except KeyboardInterrupt:
        error(f"{args.command}: interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Whoever read the output has gone (`kestrelpix info ... | head`).
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    sys.stdout.flush()
    return status
