"""The kestrelpix command line, judged by the reference tools: recompressed
JPEG files rebuild byte for byte with djxl, `info --json` agrees with probe,
deep PNGs it writes read back through cjxl, and no failure or interrupt leaves
a partial file behind."""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

from conftest import TESTDATA, cjxl, djxl, read_pnm, run_tool, sample_image
from kestrelpix import cli, jxl

FLOWER = TESTDATA / "jxl" / "flower"
RECON = TESTDATA / "jxl" / "jpeg_reconstruction"
# Small JPEGs libjxl takes, under several suffixes, one in a subdirectory.
GOOD = {"a.jpg": FLOWER / "flower_small.q85_420_non_interleaved.jpg",
        "b.JPEG": RECON / "1x1_exif_xmp.jpg",
        "sub/c.jpe": RECON / "sideways_bench.jpg",
        "sub/deeper/d.jfif": FLOWER / "flower_small.q85_444_partially_interleaved.jpg"}
CMYK = FLOWER / "flower_small.cmyk.jpg"  # a JPEG libjxl refuses
EMPTY_EXIF = b"II*\x00\x08\x00\x00\x00" + bytes(6)  # a TIFF header, an IFD of no tags


def run(capsys, *args: str) -> tuple[int, str, str]:
    status = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def jpeg_tree(root: Path, *, damaged: bool = False) -> dict[Path, bytes]:
    """The GOOD JPEGs copied under `root`; with `damaged`, also a truncated
    JPEG and a CMYK one. Returns {path: original bytes} of the good ones."""
    originals = {}
    for name, src in GOOD.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(src, path)
        originals[path] = src.read_bytes()
    if damaged:
        data = (FLOWER / "flower_small.q85_444_non_interleaved.jpg").read_bytes()
        (root / "sub" / "truncated.jpg").write_bytes(data[:len(data) // 3])
        shutil.copyfile(CMYK, root / "sub" / "cmyk.jpg")
    return originals


def leftovers(root: Path) -> list[Path]:
    """Temporary files a write left behind."""
    return [p for p in root.rglob("*") if p.name.endswith(".tmp")]


# --- recompress -------------------------------------------------------------------

@pytest.mark.parametrize("jobs", ["1", "3"])
def test_recompress_tree_rebuilds_with_djxl(tmp_path, capsys, have_tools, jobs):
    originals = jpeg_tree(tmp_path, damaged=True)
    status, out, err = run(capsys, "recompress", tmp_path, "--jobs", jobs)
    assert status == 1  # the damaged and the CMYK JPEGs failed
    for path, jpeg in originals.items():
        stream = path.with_suffix(".jxl").read_bytes()
        assert djxl(stream, tmp_path, ".jpg").read_bytes() == jpeg
        assert path.read_bytes() == jpeg  # no --delete: kept
    for bad in ("truncated", "cmyk"):
        assert (tmp_path / "sub" / f"{bad}.jpg").exists()
        assert not (tmp_path / "sub" / f"{bad}.jxl").exists()
        assert f"sub/{bad}.jpg: libjxl refused it" in err
    assert "6 JPEG files" in out and "4  converted" in out
    saved = sum(map(len, originals.values())) - sum(
        p.with_suffix(".jxl").stat().st_size for p in originals)
    assert f"{saved:,}  bytes saved" in out
    assert not leftovers(tmp_path)


def test_recompress_delete_removes_only_verified_originals(tmp_path, capsys, have_tools):
    originals = jpeg_tree(tmp_path, damaged=True)
    status, out, _ = run(capsys, "recompress", tmp_path, "--delete")
    assert status == 1
    for path, jpeg in originals.items():
        assert not path.exists()
        assert djxl(path.with_suffix(".jxl").read_bytes(), tmp_path, ".jpg").read_bytes() == jpeg
    assert all((tmp_path / "sub" / name).exists() for name in ("truncated.jpg", "cmyk.jpg"))
    assert "4  originals deleted" in out


def test_recompress_delete_keeps_an_original_that_does_not_rebuild(tmp_path, capsys,
                                                                   monkeypatch):
    originals = jpeg_tree(tmp_path)
    target = tmp_path / "a.jpg"
    real = jxl.reconstruct_jpeg

    def reconstruct(data, **kw):  # a rebuild of a.jpg that is one byte off
        rebuilt = real(data, **kw)
        return rebuilt[:-1] + b"\0" if rebuilt == originals[target] else rebuilt

    monkeypatch.setattr(jxl, "reconstruct_jpeg", reconstruct)
    status, _, err = run(capsys, "recompress", tmp_path, "--delete")
    assert status == 1 and "a.jpg: not deleted: the .jxl does not rebuild it" in err
    assert target.read_bytes() == originals[target]
    assert [p for p in originals if p.exists()] == [target]


def test_recompress_existing_jxl_needs_force(tmp_path, capsys):
    originals = jpeg_tree(tmp_path)
    existing = tmp_path / "a.jxl"
    existing.write_bytes(b"mine")
    status, out, _ = run(capsys, "recompress", tmp_path)
    assert status == 0  # skipped, not failed
    assert existing.read_bytes() == b"mine"
    assert "1    already has .jxl (use --force)" in out and "3  converted" in out
    status, out, _ = run(capsys, "recompress", tmp_path / "a.jpg", "--force")
    assert status == 0
    assert jxl.reconstruct_jpeg(existing) == originals[tmp_path / "a.jpg"]


def test_recompress_not_smaller_is_no_failure(tmp_path, capsys, monkeypatch):
    jpeg_tree(tmp_path)
    monkeypatch.setattr(jxl, "transcode_jpeg", lambda data, **kw: bytes(len(data)))
    status, out, _ = run(capsys, "recompress", tmp_path)
    assert status == 0 and "4    not smaller as JPEG XL" in out
    assert not list(tmp_path.rglob("*.jxl"))


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("where", ["transcode_jpeg", "fsync"])
def test_recompress_interrupted_leaves_no_partial_file(tmp_path, capsys, monkeypatch,
                                                       where, jobs):
    """Ctrl-C on the third file (during libjxl's work, or while the temporary
    file is being written): exit 130, a summary, finished files intact."""
    originals = jpeg_tree(tmp_path)
    calls, lock = [0], threading.Lock()
    target, real = (jxl, jxl.transcode_jpeg) if where == "transcode_jpeg" else (os, os.fsync)

    def interrupting(*args, **kwargs):
        with lock:
            calls[0] += 1
            if calls[0] == 3:
                raise KeyboardInterrupt
        return real(*args, **kwargs)

    monkeypatch.setattr(target, where, interrupting)
    status, out, err = run(capsys, "recompress", tmp_path, "--jobs", jobs, "--delete")
    monkeypatch.undo()
    assert status == 130 and "interrupted" in err
    assert "not done (interrupted)" in out
    assert not leftovers(tmp_path)
    done = [p for p in originals if p.with_suffix(".jxl").exists()]
    assert 1 <= len(done) <= 3
    for path, jpeg in originals.items():
        if path in done:  # converted whole; deleted only after that, if at all
            assert jxl.reconstruct_jpeg(path.with_suffix(".jxl")) == jpeg
        if path.exists():
            assert path.read_bytes() == jpeg
    assert any(not path.exists() for path in done)


def test_recompress_progress_bar_only_on_a_terminal(tmp_path, capsys, monkeypatch):
    pytest.importorskip("tqdm")
    jpeg_tree(tmp_path)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True, raising=False)
    status, _, err = run(capsys, "recompress", tmp_path / "a.jpg", tmp_path / "b.JPEG")
    assert status == 0 and "file/s" in err
    # --quiet, or no tqdm: no bar, the same work.
    status, _, err = run(capsys, "recompress", tmp_path / "sub", "--quiet")
    assert status == 0 and err == ""
    monkeypatch.setitem(sys.modules, "tqdm", None)
    status, out, err = run(capsys, "recompress", tmp_path, "--force")
    assert status == 0 and err == "" and "4  converted" in out


# --- info ---------------------------------------------------------------------

def json_of(info):
    """probe's result as `info --json` gives it: bytes in base64, tuples as lists."""
    if isinstance(info, bytes):
        return base64.b64encode(info).decode()
    if isinstance(info, dict):
        return {k: json_of(v) for k, v in info.items()}
    if isinstance(info, (list, tuple)):
        return [json_of(v) for v in info]
    return info


def test_info_json_agrees_with_probe(tmp_path, capsys, have_tools, lossless_animation):
    files = {"anim.jxl": lossless_animation[0],
             "jpeg.jxl": jxl.transcode_jpeg(RECON / "1x1_exif_xmp.jpg"),
             "depth.jxl": jxl.encode(sample_image(8, 8, 4), lossless=True,
                                     extra_channels=[{"type": "depth", "name": "Z"}])}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    (tmp_path / "photo.jpg").write_bytes(b"\xff\xd8\xff\xe0 not JPEG XL")
    (tmp_path / "broken.jxl").write_bytes(files["anim.jxl"][:40])
    names = ["anim.jxl", "photo.jpg", "jpeg.jxl", "broken.jxl", "depth.jxl"]
    status, out, err = run(capsys, "info", "--json", *(tmp_path / n for n in names))
    assert status == 1
    lines = err.splitlines()
    assert len(lines) == 2
    assert lines[0].endswith("photo.jpg: not a JPEG XL file")
    assert "broken.jxl: damaged JPEG XL file" in lines[1]
    entries = json.loads(out)
    assert [Path(e["file"]).name for e in entries] == ["anim.jxl", "jpeg.jxl", "depth.jxl"]
    for entry in entries:
        path = Path(entry.pop("file"))
        assert entry.pop("file_size") == path.stat().st_size
        assert entry.pop("dtype") == str(np.dtype(jxl.JxlReader(path, extra_channels=True).dtype))
        assert entry == json_of(jxl.probe(path))
    assert base64.b64decode(entries[1]["exif"]) == jxl.probe(tmp_path / "jpeg.jxl")["exif"]


def test_info_table(tmp_path, capsys):
    frames = np.stack([sample_image(16, 24, 4, seed=t) for t in range(3)])
    clip = jxl.encode(frames, animation=True, lossless=True, durations=[40, 40, 120],
                      loops=2, orientation=6, exif=EMPTY_EXIF)
    (tmp_path / "clip.jxl").write_bytes(clip)
    status, out, _ = run(capsys, "info", tmp_path / "clip.jxl")
    assert status == 0
    rows = dict(line.strip().split("  ", 1) for line in out.splitlines()[1:])
    rows = {k.strip(): v.strip() for k, v in rows.items()}
    assert rows["image"] == "16 x 24 pixels (as shown)"  # turned by orientation 6
    assert rows["channels"] == "RGB + alpha (8-bit)"
    assert rows["orientation"] == "6: shown turned 90 degrees clockwise"
    assert rows["animation"].startswith("3 frames, 200 ms in all, 2 loops")
    assert rows["frame durations"] == "40 ms x2, 120 ms"
    assert rows["Exif"] == "14 bytes" and rows["JPEG reconstruction"] == "no"


# --- convert --------------------------------------------------------------------

Image = pytest.importorskip("PIL.Image", reason="Pillow is not installed")
from PIL import ImageSequence  # noqa: E402


@pytest.mark.parametrize("mode, channels, maxval", [
    ("RGB", 3, 255), ("RGBA", 4, 255), ("L", 1, 255), ("I;16", 1, 65535)])
def test_convert_png_lossless_round_trip(tmp_path, capsys, have_tools, mode, channels, maxval):
    pixels = sample_image(20, 30, channels, maxval=maxval)
    Image.fromarray(pixels).save(tmp_path / "in.png")
    assert Image.open(tmp_path / "in.png").mode == mode
    assert run(capsys, "convert", tmp_path / "in.png", tmp_path / "out.jxl", "--lossless")[0] == 0
    assert run(capsys, "convert", tmp_path / "out.jxl", tmp_path / "back.png")[0] == 0
    assert np.array_equal(np.asarray(Image.open(tmp_path / "back.png")), pixels)
    # The reference decoder agrees with the stream written.
    decoded, _ = read_pnm(djxl((tmp_path / "out.jxl").read_bytes(), tmp_path,
                               ".pam" if channels == 4 else ".ppm" if channels == 3 else ".pgm"))
    assert np.array_equal(decoded, pixels)


def test_convert_deep_colour_to_png_keeps_16_bits(tmp_path, capsys, have_tools):
    """Pillow holds colour in 8 bits; the PNG convert writes has all 16, as cjxl
    (libpng) reads it."""
    pixels = sample_image(150, 30, 4, maxval=65535)  # RGBA, rows filtered in strips
    jxl.encode(pixels, lossless=True, dest=tmp_path / "deep.jxl")
    assert run(capsys, "convert", tmp_path / "deep.jxl", tmp_path / "deep.png")[0] == 0
    cjxl(tmp_path / "deep.png", tmp_path / "again.jxl", "-d", "0", "-e", "1")
    run_tool("djxl", tmp_path / "again.jxl", tmp_path / "again.pam")
    assert np.array_equal(read_pnm(tmp_path / "again.pam")[0], pixels)


def test_convert_animation_both_ways(tmp_path, capsys):
    gif = TESTDATA / "jxl" / "traffic_light.gif"
    assert run(capsys, "convert", gif, tmp_path / "anim.jxl", "--lossless")[0] == 0
    with Image.open(gif) as im:
        durations = [frame.info["duration"] for frame in ImageSequence.Iterator(im)]
    info = jxl.probe(tmp_path / "anim.jxl")
    assert [f["duration_ms"] for f in info["frames"]] == durations
    assert run(capsys, "convert", tmp_path / "anim.jxl", tmp_path / "back.gif")[0] == 0
    with Image.open(tmp_path / "back.gif") as im:
        assert im.n_frames == len(durations)


def test_convert_jpeg_recompresses_and_comes_back(tmp_path, capsys):
    src = RECON / "1x1_exif_xmp.jpg"
    assert run(capsys, "convert", src, tmp_path / "p.jxl")[0] == 0
    assert jxl.probe(tmp_path / "p.jxl")["jpeg_reconstruction"]
    assert run(capsys, "convert", tmp_path / "p.jxl", tmp_path / "p.jpg")[0] == 0
    assert (tmp_path / "p.jpg").read_bytes() == src.read_bytes()


def test_convert_refuses_to_overwrite(tmp_path, capsys):
    Image.fromarray(sample_image(8, 8, 3)).save(tmp_path / "in.png")
    out = tmp_path / "out.jxl"
    out.write_bytes(b"keep me")
    status, _, err = run(capsys, "convert", tmp_path / "in.png", out)
    assert status == 1 and "exists (use --force" in err and out.read_bytes() == b"keep me"
    assert run(capsys, "convert", tmp_path / "in.png", out, "--force")[0] == 0
    assert jxl.decode(out).shape == (8, 8, 3)
    assert not leftovers(tmp_path)


@pytest.mark.parametrize("args, message", [
    (["in.png", "out.png"], "in.png: not a JPEG XL file"),
    (["missing.png", "out.jxl"], "missing.png: no such file"),
    (["layered.jxl", "out.png"], "unsupported channel layout"),
    (["in.png", "out.jxl", "-q", "90", "-d", "1"], "not allowed with argument"),
    (["layered.jxl", "out.png", "-d", "1"], "--distance applies to writing JPEG XL only"),
    (["layered.jxl", "out.xyz"], "Pillow cannot write a file named out.xyz"),
])
def test_convert_errors_leave_nothing(tmp_path, capsys, monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    Image.fromarray(sample_image(8, 8, 3)).save("in.png")
    jxl.encode(sample_image(8, 8, 4), lossless=True, dest="layered.jxl",
               extra_channels=[{"type": "depth"}])
    status, _, err = run(capsys, "convert", *args)
    assert status in (1, 2) and message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) <= 2  # argparse: usage, then the message
    assert not Path(args[1]).exists() and not leftovers(tmp_path)


# --- optional dependencies, demo, the installed command ------------------------

def test_missing_optional_dependencies(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "PIL", None)
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    status, _, err = run(capsys, "convert", tmp_path / "a.png", tmp_path / "a.jxl")
    assert status == 2 and 'pip install "kestrelpix[cli]"' in err
    real = cli.demo.importlib.util.find_spec
    monkeypatch.setattr(cli.demo.importlib.util, "find_spec",
                        lambda name, *a: None if name == "matplotlib" else real(name, *a))
    status, _, err = run(capsys, "demo", tmp_path / "demo")
    assert status == 2 and "matplotlib" in err and 'pip install "kestrelpix[cli]"' in err
    assert not (tmp_path / "demo").exists()


def test_installed_command_and_module(tmp_path):
    """The console script and `python -m kestrelpix`, as a user runs them."""
    script = Path(sys.executable).with_name("kestrelpix")
    if not script.exists():
        pytest.skip("the kestrelpix script is not installed beside this Python")
    pytest.importorskip("matplotlib")
    done = subprocess.run([sys.executable, "-m", "kestrelpix", "--version"],
                          capture_output=True, text=True, check=True)
    assert done.stdout.startswith(f"kestrelpix {cli.__version__} (libjxl ")
    done = subprocess.run([script, "demo", tmp_path / "pics"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "PSNR" in done.stdout and "lossless" in done.stdout
    for name in ("demo.png", "demo-rd.png", "demo-progressive.png"):
        with Image.open(tmp_path / "pics" / name) as im:
            assert im.format == "PNG" and min(im.size) > 100
    done = subprocess.run([script, "info", tmp_path / "nothing.jxl"], capture_output=True,
                          text=True)
    assert done.returncode == 1 and done.stderr.count("\n") == 1
