"""``kestrelpix recompress``: trees of JPEG files to JPEG XL in parallel,
losslessly, each stream verified, each file written whole, originals deleted
only once the file on disk rebuilds them."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import threading
from collections import Counter
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Literal

from kestrelpix import jxl
from kestrelpix.cli.common import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    JPEG_SIGNATURE,
    PROG,
    current_umask,
    error,
    fsync_dir,
    human_size,
    plural,
    reason_of,
    write_atomically,
)
from kestrelpix.core.errors import JxlError

JPEG_SUFFIXES = frozenset({".jpg", ".jpeg", ".jpe", ".jfif"})
#: Reasons a JPEG stays as it is.
ALREADY = "already has .jxl (use --force)"
NOT_SMALLER = "not smaller as JPEG XL"


@dataclass
class _Outcome:
    path: Path
    done: Literal["converted", "kept", "failed"]
    reason: str = ""
    bytes_in: int = 0
    bytes_out: int = 0
    deleted: bool = False


@dataclass(frozen=True)
class _Job:
    path: Path
    dest: Path
    force: bool
    delete: bool
    effort: int | None
    numthreads: int | None
    mode: int


def _find_jpegs(paths: Iterable[str]) -> Iterator[tuple[Path, _Outcome | None]]:
    """The JPEG files named or found below the directories named, in order;
    an outcome already decided for paths that cannot be looked at."""
    for name in paths:
        path = Path(name)
        if path.is_dir():
            errors: list[OSError] = []
            for root, dirs, files in os.walk(path, onerror=errors.append):
                dirs.sort()
                for file in sorted(files):
                    if Path(file).suffix.lower() in JPEG_SUFFIXES:
                        yield Path(root, file), None
            for exc in errors:  # directories that could not be listed
                where = Path(exc.filename) if exc.filename else path
                yield where, _Outcome(where, "failed", f"unreadable: {reason_of(exc)}")
        elif path.exists():
            yield path, None
        else:
            yield path, _Outcome(path, "failed", "unreadable: no such file or directory")


def _recompress_one(job: _Job, cancelled: threading.Event) -> _Outcome | None:
    """Recompress one JPEG; None when cancelled before anything was written."""
    path, dest = job.path, job.dest
    if cancelled.is_set():
        return None
    if not job.force and os.path.lexists(dest):
        return _Outcome(path, "kept", ALREADY)
    try:
        data = path.read_bytes()
    except OSError as exc:
        return _Outcome(path, "failed", f"unreadable: {reason_of(exc)}")
    if not data.startswith(JPEG_SIGNATURE):
        return _Outcome(path, "failed", "not a JPEG file (no FFD8FF signature)")
    try:
        stream = jxl.transcode_jpeg(data, effort=job.effort, numthreads=job.numthreads,
                                    verify=True)
    except JxlError as exc:
        return _Outcome(path, "failed", f"libjxl refused it: {reason_of(exc)}")
    except ValueError as exc:
        return _Outcome(path, "failed", reason_of(exc))
    if len(stream) >= len(data):
        return _Outcome(path, "kept", NOT_SMALLER, len(data), len(stream))
    if cancelled.is_set():
        return None
    try:
        write_atomically(dest, lambda fh: fh.write(stream), overwrite=job.force,
                         mode=job.mode)
    except FileExistsError:
        return _Outcome(path, "kept", ALREADY)
    except OSError as exc:
        return _Outcome(path, "failed", f"cannot write {dest.name}: {reason_of(exc)}")
    outcome = _Outcome(path, "converted", "", len(data), len(stream))
    if job.delete:
        _delete_verified(outcome, dest, data)
    return outcome


def _delete_verified(outcome: _Outcome, dest: Path, data: bytes) -> None:
    """Remove the original once the .jxl on disk rebuilds it byte for byte."""
    path = outcome.path
    try:
        rebuilt = jxl.reconstruct_jpeg(dest.read_bytes())
        original = path.read_bytes()
    except (OSError, JxlError, ValueError) as exc:
        outcome.done, outcome.reason = "failed", f"not deleted: {reason_of(exc)}"
        return
    if original != data:
        outcome.done, outcome.reason = "failed", "not deleted: it changed while being recompressed"
        return
    if rebuilt != original:
        outcome.done, outcome.reason = "failed", "not deleted: the .jxl does not rebuild it"
        return
    fsync_dir(dest.parent)  # the .jxl's name is on disk before the JPEG goes
    try:
        path.unlink()
    except OSError as exc:
        outcome.done, outcome.reason = "failed", f"not deleted: {reason_of(exc)}"
        return
    outcome.deleted = True


class _Progress:
    """A tqdm bar on stderr when available and wanted, else nothing; failure
    lines go above it."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.bar: Any = None
        if enabled:
            try:
                tqdm: ModuleType | None = importlib.import_module("tqdm")
            except ImportError:
                tqdm = None  # no bar without tqdm: the summary still tells all
            if tqdm is not None:
                self.bar = tqdm.tqdm(total=total, unit="file", file=sys.stderr,
                                     dynamic_ncols=True, leave=False)
        self.bytes_in = self.bytes_out = 0

    def update(self, outcome: _Outcome) -> None:
        if outcome.done == "converted":
            self.bytes_in += outcome.bytes_in
            self.bytes_out += outcome.bytes_out
        if self.bar is not None:
            self.bar.set_postfix_str(
                f"{human_size(self.bytes_in)} -> {human_size(self.bytes_out)}", refresh=False)
            self.bar.update(1)

    def say(self, text: str) -> None:
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _summary(outcomes: Sequence[_Outcome], not_done: int, delete: bool) -> list[str]:
    """The closing table: counts and bytes first, what they count after."""
    converted = [o for o in outcomes if o.done == "converted"]
    kept = [o for o in outcomes if o.done != "converted"]
    bytes_in = sum(o.bytes_in for o in converted)
    bytes_out = sum(o.bytes_out for o in converted)
    saved = bytes_in - bytes_out
    rows: list[tuple[int, str]] = [(len(converted), "converted")]
    if delete:
        rows.append((sum(o.deleted for o in outcomes), "originals deleted (verified)"))
    rows.append((len(kept), "kept as JPEG" + (":" if kept else "")))
    reasons = Counter(o.reason for o in kept)
    rows += [(n, f"  {reason}")
             for reason, n in sorted(reasons.items(), key=lambda item: (-item[1], item[0]))]
    if not_done:
        rows.append((not_done, "not done (interrupted)"))
    rows += [(bytes_in, "bytes in (of the JPEGs converted)"), (bytes_out, "bytes out"),
             (saved, "bytes saved" + (f" ({100 * saved / bytes_in:.1f}%)" if bytes_in else ""))]
    width = max(len(f"{n:,}") for n, _ in rows)
    total = len(outcomes) + not_done
    return [f"{PROG} recompress: {plural(total, 'JPEG file')}"] + [
        f"  {n:>{width},}  {label}" for n, label in rows]


def run(args: argparse.Namespace) -> int:
    mode = 0o666 & ~current_umask()
    outcomes: list[_Outcome] = []
    plan: list[tuple[Path, Path]] = []
    seen: set[str] = set()
    claimed: dict[str, Path] = {}
    for path, decided in _find_jpegs(args.paths):
        if decided is not None:
            outcomes.append(decided)
            continue
        key = os.path.realpath(path)
        if key in seen:
            continue
        seen.add(key)
        dest = path.with_suffix(".jxl")
        dest_key = os.path.realpath(dest)
        if dest_key == key:
            outcomes.append(_Outcome(path, "failed", "named .jxl already: would replace itself"))
        elif dest_key in claimed:
            outcomes.append(_Outcome(path, "failed", f"{claimed[dest_key].name} also becomes "
                                                     f"{dest.name}"))
        else:
            claimed[dest_key] = path
            plan.append((path, dest))

    workers = max(1, min(args.jobs, len(plan)))
    # Many files at once: one libjxl thread each; a single file gets them all.
    numthreads = 1 if workers > 1 else None
    cancelled = threading.Event()
    progress = _Progress(len(plan) + len(outcomes),
                         not args.quiet and sys.stderr.isatty())
    for outcome in outcomes:
        progress.say(f"{PROG} recompress: {outcome.path}: {outcome.reason}")
        progress.update(outcome)
    interrupted = False
    pending: dict[Future[_Outcome | None], Path] = {}

    def record(outcome: _Outcome | None) -> None:
        if outcome is None:
            return
        outcomes.append(outcome)
        if outcome.done == "failed":
            progress.say(f"{PROG} recompress: {outcome.path}: {outcome.reason}")
        progress.update(outcome)

    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="recompress")
    try:
        for path, dest in plan:
            job = _Job(path, dest, args.force, args.delete, args.effort, numthreads, mode)
            pending[pool.submit(_recompress_one, job, cancelled)] = path
        for future in as_completed(list(pending)):
            del pending[future]
            record(future.result())
    except KeyboardInterrupt:
        interrupted = True
        cancelled.set()
        pool.shutdown(wait=False, cancel_futures=True)
        # Files in the works finish (libjxl cannot be stopped halfway) or
        # drop what they made; either way no temporary file stays behind.
        while pending:
            future = next(iter(pending))
            try:
                # exception() waits without raising what the job raised.
                if not future.cancelled() and future.exception() is None:
                    record(future.result())
            except KeyboardInterrupt:
                continue  # Ctrl-C again: the files in progress still finish
            del pending[future]
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        progress.close()

    finished = {o.path for o in outcomes}
    not_done = sum(1 for path, _ in plan if path not in finished)
    for line in _summary(outcomes, not_done if interrupted else 0, args.delete):
        print(line)
    if interrupted:
        error("recompress: interrupted")
        return EXIT_INTERRUPTED
    return EXIT_FAILED if any(o.done == "failed" for o in outcomes) else EXIT_OK
