"""What a file carries besides pixels: animation timing, loops, frame names,
orientation, ICC profiles and Exif/XMP/JUMBF boxes, as JxlWriter and encode
write them and probe and JxlReader read them back; jxlinfo, djxl and
libjxl-testdata are the judges."""

from __future__ import annotations

import inspect
import io
import re
import struct
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pytest

from conftest import TESTDATA, cjxl, djxl_frames, run_tool, sample_image

MIB = 1 << 20
CHUNK = 4 * MIB  # probe's documented read size for paths and file objects

# Minimal valid TIFF headers (one empty IFD), in both byte orders.
TIFF_II = b"II*\x00\x08\x00\x00\x00" + b"\x00\x00" + b"\x00\x00\x00\x00"
TIFF_MM = b"MM\x00*\x00\x00\x00\x08" + b"\x00\x00" + b"\x00\x00\x00\x00"
XMP = ('<?xpacket begin="\ufeff"?><x:xmpmeta xmlns:x="adobe:ns:meta/">'
       "caf\u00e9 \u2713</x:xmpmeta><?xpacket end=\"w\"?>")


def bmff_box(kind: bytes, content: bytes) -> bytes:
    return struct.pack(">I", 8 + len(content)) + kind + content


# A JUMBF superbox: a description box (type UUID, toggles, label) and a JSON box.
JUMBF = bmff_box(b"jumd", bytes(range(16)) + b"\x03" + b"kestrel\x00") + bmff_box(b"json", b"{}")


# --- judges: jxlinfo, and walkers of the file formats ---------------------------

@dataclass
class JxlInfo:
    """What `jxlinfo -v` says about a file."""

    tps: tuple[int, int] | None = None
    loops: int | None = None
    looping: bool = False            # "(looping)" after the animation length
    orientation: int | None = None
    size: tuple[int, int] = (0, 0)
    frames: list[tuple[str, float, str]] = field(default_factory=list)  # kind, ms, name
    layers: list[tuple[int, int, int, int]] = field(default_factory=list)  # x0, y0, xs, ys
    boxes: list[tuple[str, int]] = field(default_factory=list)          # type, content size
    metadata: list[tuple[str, bool]] = field(default_factory=list)      # type, compressed
    icc_size: int | None = None

    @property
    def displayed(self) -> list[tuple[str, float, str]]:
        """The frames a viewer shows: zero-duration layers are merged into
        the next frame, except the last one, which is always shown."""
        return [f for i, f in enumerate(self.frames)
                if f[0] == "frame" or i == len(self.frames) - 1]


def jxlinfo(stream: bytes | Path, tmp_path: Path) -> JxlInfo:
    path = stream if isinstance(stream, Path) else tmp_path / "jxlinfo_in.jxl"
    if not isinstance(stream, Path):
        path.write_bytes(stream)
    text = run_tool("jxlinfo", "-v", path)
    info = JxlInfo()
    for line in text.splitlines():
        if m := re.match(r"ticks per second \(numerator / denominator\): (\d+) / (\d+)$", line):
            info.tps = (int(m[1]), int(m[2]))
        elif m := re.match(r"num_loops: (\d+)$", line):
            info.loops = int(m[1])
        elif m := re.match(r"Orientation: (\d)", line):
            info.orientation = int(m[1])
        elif m := re.match(r"JPEG XL (?:image|animation), (\d+)x(\d+),", line):
            info.size = (int(m[1]), int(m[2]))
        elif m := re.match(r'(frame|layer): (.*), duration: ([0-9.]+) ms(?:, name: "(.*)")?$',
                           line):
            info.frames.append((m[1], float(m[3]), m[4] or ""))
            if m[2] == "full image size":
                info.layers.append((0, 0, *info.size))
            else:
                place = re.fullmatch(r"(\d+)x(\d+) at position \((-?\d+),(-?\d+)\)", m[2])
                assert place, line
                xs, ys, x0, y0 = map(int, place.groups())
                info.layers.append((x0, y0, xs, ys))
        elif m := re.match(r'box: type: "(.{4})" size: \d+, contents size: (\d+)$', line):
            info.boxes.append((m[1], int(m[2])))
        elif m := re.match(r"(Brotli-compressed|Uncompressed) (.{4}) metadata:", line):
            info.metadata.append((m[2], m[1] == "Brotli-compressed"))
        elif m := re.match(r"Color space: (\d+)-byte ICC profile", line):
            info.icc_size = int(m[1])
        elif line.startswith("Animation length:"):
            info.looping = line.endswith("(looping)")
    return info


def iso_boxes(data: bytes) -> list[tuple[bytes, bytes]]:
    """The top-level boxes of a container file: (type, content)."""
    out, pos = [], 0
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        head = 8
        if size == 1:
            size, head = struct.unpack(">Q", data[pos + 8:pos + 16])[0], 16
        elif size == 0:
            size = len(data) - pos
        out.append((kind, data[pos + head:pos + size]))
        pos += size
    return out


def png_chunk(data: bytes, kind: bytes) -> bytes:
    pos = 8
    while pos < len(data):
        length, chunk = struct.unpack(">I4s", data[pos:pos + 8])
        if chunk == kind:
            return data[pos + 8:pos + 8 + length]
        pos += 12 + length
    raise KeyError(kind)


def frame_infos(jxl, data, **options) -> list[dict]:
    with jxl.JxlReader(data, **options) as reader:
        return [info for _, info in reader.iter_frames(info=True)]


def check_timing(jxl, stream: bytes, ref: JxlInfo) -> dict:
    """probe, frame_count, iter_frames(info=True) and JxlReader.animation
    against each other and against jxlinfo; returns probe's dict."""
    info = jxl.probe(stream)
    anim = info["animation"]
    assert (anim["tps_numerator"], anim["tps_denominator"]) == ref.tps
    assert anim["num_loops"] == ref.loops
    assert ref.looping == (anim["num_loops"] == 0)  # "(looping)" rather than a count
    frames = info["frames"]
    assert len(frames) == jxl.frame_count(stream) == len(ref.displayed)
    assert [f["duration_ms"] for f in frames] == pytest.approx([f[1] for f in ref.displayed],
                                                               abs=0.05)
    assert [f["name"] for f in frames] == [f[2] for f in ref.displayed]
    for f in frames:
        assert f["duration_ms"] == pytest.approx(
            f["duration"] * 1000 * anim["tps_denominator"] / anim["tps_numerator"], rel=1e-12)
    assert [f["is_last"] for f in frames] == [False] * (len(frames) - 1) + [True]
    assert frame_infos(jxl, stream) == frames
    # As stored, every frame comes out with its place on the canvas.
    stored = frame_infos(jxl, stream, coalesce=False)
    assert [(f["x0"], f["y0"], f["xsize"], f["ysize"]) for f in stored] == ref.layers
    assert [f["duration_ms"] for f in stored] == pytest.approx([f[1] for f in ref.frames],
                                                               abs=0.05)
    assert jxl.JxlReader(stream).animation == anim
    return info


# --- libjxl-testdata through cjxl ---------------------------------------------

needs_testdata = pytest.mark.skipif(not TESTDATA.is_dir(), reason="libjxl-testdata not installed")


@needs_testdata
@pytest.mark.parametrize("name", ["animation_patches", "traffic_light"])
def test_gif_timing_matches_jxlinfo(jxl, have_tools, tmp_path, name):
    stream = cjxl(TESTDATA / "jxl" / f"{name}.gif", tmp_path / "out.jxl", "-d", "0", "-e", "1")
    ref = jxlinfo(tmp_path / "out.jxl", tmp_path)
    assert len(ref.frames) > 1
    if name == "traffic_light":  # cropped frames: their places are checked too
        assert any(layer[2:] != ref.size for layer in ref.layers)
    info = check_timing(jxl, stream, ref)
    assert jxl.probe(tmp_path / "out.jxl") == info == jxl.probe(io.BytesIO(stream))
    assert jxl.probe(bytearray(stream)) == info == jxl.probe(np.frombuffer(stream, np.uint8))


@needs_testdata
def test_png_exif_chunk_through_cjxl(jxl, have_tools, tmp_path):
    png = TESTDATA / "external" / "pngsuite" / "exif2c08.png"
    stream = cjxl(png, tmp_path / "out.jxl", "-d", "0", "-e", "1")
    assert jxl.probe(stream)["exif"] == png_chunk(png.read_bytes(), b"eXIf")


@needs_testdata
def test_jpeg_reconstruction_file_exif_and_xmp(jxl, have_tools, tmp_path):
    path = TESTDATA / "jxl" / "jpeg_reconstruction" / "1x1_exif_xmp.jxl"
    boxes = iso_boxes(path.read_bytes())
    info = jxl.probe(path)
    assert [(b["type"], b["size"], b["compressed"]) for b in info["boxes"]] == \
        [(k.decode("latin-1"), len(c), False) for k, c in boxes]
    assert [(b["type"], b["size"]) for b in info["boxes"]] == jxlinfo(path, tmp_path).boxes
    exif = next(c for k, c in boxes if k == b"Exif")
    offset, = struct.unpack(">I", exif[:4])
    assert info["exif"] == exif[4 + offset:]
    assert info["exif"][:4] in (b"II*\x00", b"MM\x00*")
    assert info["xmp"] == next(c for k, c in boxes if k == b"xml ")
    assert info["xmp"].startswith(b"<?xpacket")
    assert info["jumbf"] is None and info["animation"] is None


# --- streams we write -----------------------------------------------------------

FRAMES = np.stack([sample_image(12, 16, 3, seed=i) for i in range(3)])
NTSC = 1001 / 30

TIMING = {
    "ms-default-tps": ({"durations": [10, 250, 1000]}, (1000, 1), [10, 250, 1000]),
    "tps1000-once": ({"durations": [40, 40, 80], "tps": 1000, "loops": 1}, (1000, 1),
                     [40, 40, 80]),
    "ntsc": ({"durations": [NTSC, 2 * NTSC, 3 * NTSC], "tps": (30000, 1001), "loops": 7},
             (30000, 1001), [1, 2, 3]),
    "one-for-all": ({"durations": 250, "tps": 4, "loops": 2**32 - 1}, (4, 1), [1, 1, 1]),
    "default": ({}, (10, 1), [1, 1, 1]),
}


@pytest.mark.parametrize("lossless", [True, False], ids=["lossless", "lossy"])
@pytest.mark.parametrize("case", list(TIMING))
def test_timing_round_trip(jxl, have_tools, tmp_path, case, lossless):
    options, tps, ticks = TIMING[case]
    stream = jxl.encode(FRAMES, animation=True, lossless=lossless, effort=1, **options)
    # encode is a one-call JxlWriter: frame by frame gives the same stream.
    durations = options.get("durations")
    per_frame = durations if isinstance(durations, list) else [durations] * len(FRAMES)
    writer = jxl.JxlWriter(animation=True, lossless=lossless, effort=1,
                           **{k: v for k, v in options.items() if k != "durations"})
    for frame, duration in zip(FRAMES, per_frame):
        writer.write_frame(frame, duration=duration)
    assert writer.close() == stream

    info = check_timing(jxl, stream, jxlinfo(stream, tmp_path))
    anim = info["animation"]
    assert (anim["tps_numerator"], anim["tps_denominator"]) == tps
    assert anim["num_loops"] == options.get("loops", 0)
    assert [f["duration"] for f in info["frames"]] == ticks
    if case == "ntsc":
        assert [f["duration_ms"] for f in info["frames"]] == [k * 1001 / 30 for k in ticks]
    elif tps == (1000, 1):
        assert [f["duration_ms"] for f in info["frames"]] == durations
    decoded = djxl_frames(stream, tmp_path, no_warnings=True)
    assert len(decoded) == len(FRAMES)
    if lossless:
        assert np.array_equal(np.stack(decoded), FRAMES)
        assert np.array_equal(jxl.decode(stream), FRAMES)


NAMES = ["first", "caf\u00e9 \u2713 \u65e5\u672c", "", "n" * 1071, "\u00e9" * 535 + "x"]


def test_frame_names(jxl, have_tools, tmp_path):
    writer = jxl.JxlWriter(animation=True, lossless=True, effort=1)
    for i, name in enumerate(NAMES):
        writer.write_frame(FRAMES[i % 3], duration=100 * (i + 1), name=name)
    stream = writer.close()
    ref = jxlinfo(stream, tmp_path)
    assert [f[2] for f in ref.frames] == NAMES
    info = check_timing(jxl, stream, ref)
    assert [f["name"] for f in info["frames"]] == NAMES
    assert len(djxl_frames(stream, tmp_path, no_warnings=True)) == len(NAMES)


@pytest.mark.parametrize("animation", [False, True], ids=["still", "animation"])
@pytest.mark.parametrize("lossless", [True, False], ids=["lossless", "lossy"])
@pytest.mark.parametrize("compress_boxes", [False, True], ids=["plain", "brotli"])
@pytest.mark.parametrize("exif, xmp", [(TIFF_II, XMP), (b"Exif\x00\x00" + TIFF_MM,
                                                        XMP.encode())],
                         ids=["tiff-str", "exif-prefix-bytes"])
def test_boxes_round_trip(jxl, have_tools, tmp_path, exif, xmp, compress_boxes, lossless,
                          animation):
    arr = FRAMES if animation else FRAMES[0]
    stream = jxl.encode(arr, animation=animation, lossless=lossless, effort=1, exif=exif,
                        xmp=xmp, jumbf=JUMBF, compress_boxes=compress_boxes)
    tiff = exif.removeprefix(b"Exif\x00\x00")
    xmp_bytes = xmp.encode() if isinstance(xmp, str) else xmp

    info = jxl.probe(stream)
    assert (info["exif"], info["xmp"], info["jumbf"]) == (tiff, xmp_bytes, JUMBF)
    metadata = [("Exif", compress_boxes), ("xml ", compress_boxes), ("jumb", False)]
    assert [(b["type"], b["compressed"]) for b in info["boxes"]
            if b["type"] in ("Exif", "xml ", "jumb")] == metadata
    ref = jxlinfo(stream, tmp_path)
    assert ref.metadata == metadata

    # The boxes as stored, walked here: probe's types and sizes, and the
    # plain ones' contents.
    boxes = iso_boxes(stream)
    assert [(k.decode("latin-1"), len(c)) for k, c in boxes] == ref.boxes
    assert [(b["type"], b["size"]) for b in info["boxes"]] == [
        ((c[:4] if k == b"brob" else k).decode("latin-1"), len(c)) for k, c in boxes]
    assert {k for k, _ in boxes} <= {b"JXL ", b"ftyp", b"jxlc", b"jxlp", b"Exif", b"xml ",
                                     b"jumb", b"brob"}
    stored = dict((k, c) for k, c in boxes if k != b"jxlp")
    assert stored[b"jumb"] == JUMBF
    if not compress_boxes:
        assert stored[b"Exif"][4:] == tiff and stored[b"xml "] == xmp_bytes

    decoded = djxl_frames(stream, tmp_path, no_warnings=True)
    if lossless:
        assert np.array_equal(np.stack(decoded) if animation else decoded[0], arr)


@pytest.mark.parametrize("orientation", range(1, 9))
def test_orientation(jxl, have_tools, tmp_path, orientation):
    img = FRAMES[0]
    stream = jxl.encode(img, lossless=True, effort=1, orientation=orientation)
    assert jxlinfo(stream, tmp_path).orientation == orientation
    info = jxl.probe(stream)
    assert info["orientation"] == orientation
    turned = orientation >= 5
    assert (info["basic_info"]["xsize"], info["basic_info"]["ysize"]) == \
        ((12, 16) if turned else (16, 12))
    assert info["basic_info"] == jxl.JxlReader(stream).basic_info
    shown = jxl.decode(stream)
    assert np.array_equal(shown, djxl_frames(stream, tmp_path, no_warnings=True)[0])
    assert np.array_equal(jxl.decode(stream, keep_orientation=True), img)


def custom_profile(jxl) -> bytes:
    """libjxl's Display P3 profile with another description: no longer
    byte-identical to the profile libjxl would write for its enumeration."""
    icc = bytearray(jxl.probe(jxl.encode(FRAMES[0], color="display-p3"))["icc_profile"])
    pos = icc.index("RGB".encode("utf-16-be"))
    icc[pos + 1] = ord("Q")
    return bytes(icc)


@pytest.mark.parametrize("lossless", [True, False], ids=["lossless", "lossy"])
@pytest.mark.parametrize("profile", ["display-p3", "custom"])
def test_icc_profile_round_trip(jxl, have_tools, tmp_path, profile, lossless):
    if profile == "custom":
        icc = custom_profile(jxl)
    else:
        icc = jxl.probe(jxl.encode(FRAMES[0], color="display-p3"))["icc_profile"]
    assert icc[36:40] == b"acsp"
    stream = jxl.encode(FRAMES[0], icc_profile=icc, lossless=lossless, effort=1)
    info = jxl.probe(stream)
    if lossless or profile != "custom":
        assert info["icc_profile"] == icc
    else:
        # Coding lossily, libjxl stores a profile it recognises as one of its
        # enumerated colours in that form: the colour is kept, the bytes are
        # libjxl's own.
        assert info["color"] is not None and info["color"]["primaries"] == 11
    ref = jxlinfo(stream, tmp_path)
    # probe's colour is None exactly when the stream describes it by ICC alone.
    assert (info["color"] is None) == (ref.icc_size is not None)
    if ref.icc_size is not None:
        assert ref.icc_size == len(icc)
    decoded = djxl_frames(stream, tmp_path, no_warnings=True)[0]
    if lossless:
        assert np.array_equal(decoded, FRAMES[0])
        assert np.array_equal(jxl.decode(stream), FRAMES[0])


def test_zero_duration_frame_merges_into_next(jxl, have_tools, tmp_path):
    frames = np.stack([sample_image(12, 16, 4, seed=i) for i in range(4)])
    stream = jxl.encode(frames, animation=True, lossless=True, effort=1,
                        durations=[10, 0, 30, 40])
    ref = jxlinfo(stream, tmp_path)
    assert [f[:2] for f in ref.frames] == [("frame", 10), ("layer", 0), ("frame", 30),
                                           ("frame", 40)]
    info = check_timing(jxl, stream, ref)
    assert [f["duration"] for f in info["frames"]] == [10, 30, 40]
    shown = jxl.decode(stream)
    assert shown.shape[0] == jxl.frame_count(stream) == 3
    assert np.array_equal(shown, np.stack(djxl_frames(stream, tmp_path, ".pam", no_warnings=True)))
    assert np.array_equal(shown, frames[[0, 2, 3]])
    # Without coalescing every stored frame comes out, the zero-duration one too.
    assert [f["duration"] for f in frame_infos(jxl, stream, coalesce=False)] == [10, 0, 30, 40]


# --- errors ---------------------------------------------------------------------

def _frame(jxl, animation=True, writer=None, **frame_options):
    w = jxl.JxlWriter(animation=animation, **(writer or {}))
    w.write_frame(FRAMES[0], **frame_options)
    return w.close()


def _two_frames(jxl, first, second):
    # Without tps=, a first frame without a duration sets 10 ticks per second.
    w = jxl.JxlWriter(animation=True)
    w.write_frame(FRAMES[0], duration=first)
    w.write_frame(FRAMES[1], duration=second)
    return w.close()


VALUE_ERRORS = {
    "tps-still-writer": (lambda j: j.JxlWriter(tps=1000), "tps"),
    "tps-still-encode": (lambda j: j.encode(FRAMES[0], tps=(30000, 1001)), "tps"),
    "tps-zero": (lambda j: j.JxlWriter(animation=True, tps=0), "tps"),
    "tps-denominator-zero": (lambda j: j.JxlWriter(animation=True, tps=(30, 0)), "tps"),
    "loops-still": (lambda j: j.JxlWriter(loops=3), "loops"),
    "loops-negative": (lambda j: j.JxlWriter(animation=True, loops=-1), "loops"),
    "loops-2**32": (lambda j: j.encode(FRAMES, animation=True, loops=2**32), "loops"),
    "orientation-0": (lambda j: j.JxlWriter(orientation=0), "orientation"),
    "orientation-9": (lambda j: j.encode(FRAMES[0], orientation=9), "orientation"),
    "exif-no-tiff": (lambda j: j.JxlWriter(exif=b"hello, world"), "exif"),
    "exif-prefix-only": (lambda j: j.JxlWriter(exif=b"Exif\x00\x00"), "exif"),
    "exif-prefix-no-tiff": (lambda j: j.encode(FRAMES[0], exif=b"Exif\x00\x00" + TIFF_II[1:]),
                            "exif"),
    "color-and-icc": (lambda j: j.encode(FRAMES[0], color="display-p3",
                                         icc_profile=custom_profile(j)), "icc_profile"),
    "duration-still": (lambda j: _frame(j, animation=False, duration=100), "duration"),
    "durations-still": (lambda j: j.encode(FRAMES[0], durations=[100]), "durations"),
    "duration-negative": (lambda j: _frame(j, duration=-10), "duration"),
    "duration-fraction-tps1000": (lambda j: _frame(j, duration=1.5), "tps="),
    "duration-not-ticks-tps10": (lambda j: _frame(j, writer={"tps": 10}, duration=150),
                                 "tps="),
    "duration-not-ticks-ntsc": (lambda j: _frame(j, writer={"tps": (30000, 1001)},
                                                 duration=33), "tps="),
    "durations-not-ticks": (lambda j: j.encode(FRAMES, animation=True, tps=10,
                                               durations=[100, 150, 100]), "tps="),
    "duration-after-default-tps": (lambda j: _two_frames(j, None, 250), "tps="),
    "name-1072-ascii": (lambda j: _frame(j, name="n" * 1072), "1071"),
    "name-1072-utf8": (lambda j: _frame(j, name="\u00e9" * 536), "1071"),
    "durations-too-few": (lambda j: j.encode(FRAMES, animation=True, durations=[100, 100]),
                          "durations"),
    "durations-too-many": (lambda j: j.encode(FRAMES, animation=True, durations=[100] * 4),
                           "durations"),
    "max-box-size-negative": (lambda j: j.probe(j.encode(FRAMES[0]), max_box_size=-1),
                              "max_box_size"),
    "probe-empty-bytes": (lambda j: j.probe(b""), "empty"),
    "probe-empty-file": (lambda j: j.probe(io.BytesIO()), "empty"),
}


@pytest.mark.parametrize("case", list(VALUE_ERRORS))
def test_value_errors(jxl, case):
    call, word = VALUE_ERRORS[case]
    with pytest.raises(ValueError, match=re.escape(word)) as raised:
        call(jxl)
    assert str(raised.value).startswith("jxl: ")


TYPE_ERRORS = {
    "tps-str": lambda j: j.JxlWriter(animation=True, tps="1000"),
    "tps-float": lambda j: j.JxlWriter(animation=True, tps=29.97),
    "loops-float": lambda j: j.JxlWriter(animation=True, loops=1.5),
    "orientation-str": lambda j: j.JxlWriter(orientation="6"),
    "exif-str": lambda j: j.JxlWriter(exif=TIFF_II.decode("latin-1")),
    "xmp-int": lambda j: j.JxlWriter(xmp=5),
    "jumbf-str": lambda j: j.encode(FRAMES[0], jumbf="jumb"),
    "icc-str": lambda j: j.JxlWriter(icc_profile="icc"),
    "name-bytes": lambda j: _frame(j, name=b"first"),
    "duration-str": lambda j: _frame(j, duration="100"),
    "durations-str": lambda j: j.encode(FRAMES, animation=True, durations="abc"),
    "probe-int": lambda j: j.probe(5),
    "probe-none": lambda j: j.probe(None),
}


@pytest.mark.parametrize("case", list(TYPE_ERRORS))
def test_type_errors(jxl, case):
    with pytest.raises(TypeError):
        TYPE_ERRORS[case](jxl)


def test_name_of_1071_bytes_is_accepted(jxl):
    for name in ("n" * 1071, "\u00e9" * 535 + "x"):
        assert jxl.probe(_frame(jxl, name=name))["frames"][0]["name"] == name


BIG_BOX = {"Exif": ("exif", TIFF_MM + bytes(100), 4),  # after a 4-byte offset
           "xml ": ("xmp", XMP.encode() * 3, 0),
           "jumb": ("jumbf", JUMBF + bmff_box(b"json", b"{}" * 50), 0)}


@pytest.mark.parametrize("compress_boxes", [False, True], ids=["plain", "brotli"])
@pytest.mark.parametrize("kind", list(BIG_BOX))
def test_max_box_size(jxl, kind, compress_boxes):
    option, big, head = BIG_BOX[kind]
    stream = jxl.encode(FRAMES[0], lossless=True, effort=1, compress_boxes=compress_boxes,
                        **{option: big})
    # The limit is on the box's content once decompressed.
    size = len(big) + head
    assert jxl.probe(stream, max_box_size=size)[option] == big
    for limit in (size - 1, 10):
        with pytest.raises(jxl_error(), match=f'"{kind}".*\\b{limit}\\b'):
            jxl.probe(stream, max_box_size=limit)


def jxl_error():
    from kestrelpix.core.errors import JxlError
    return JxlError


def test_probe_of_empty_path(jxl, tmp_path):
    (tmp_path / "empty.jxl").write_bytes(b"")
    with pytest.raises(ValueError, match="empty"):
        jxl.probe(tmp_path / "empty.jxl")


@pytest.mark.parametrize("cut", [1, 12, 40, 0.5, -1])
def test_probe_of_truncated_stream(jxl, tmp_path, cut):
    stream = jxl.encode(FRAMES, animation=True, lossless=True, effort=1, exif=TIFF_II, xmp=XMP)
    end = int(len(stream) * cut) if isinstance(cut, float) else cut
    for data in (stream[:end], io.BytesIO(stream[:end])):
        with pytest.raises(jxl_error()):
            jxl.probe(data)


# --- large inputs, read in chunks -------------------------------------------------

class ChunkOnly(io.BytesIO):
    """A file object that records each read() size and refuses whole reads."""

    def __init__(self, data: bytes) -> None:
        super().__init__(data)
        self.sizes: list[int] = []

    def read(self, size=-1):
        if size is None or size < 0:
            raise AssertionError("read() without a size")
        self.sizes.append(size)
        return super().read(size)

    def readinto(self, buffer):
        raise AssertionError("readinto() reads as much as the buffer holds")

    def readall(self):
        raise AssertionError("readall()")


def test_probe_of_large_path_and_file_object(jxl, tmp_path):
    jumbf = bmff_box(b"jumd", bytes(16) + b"\x03big\x00") + \
        bmff_box(b"bidb", np.random.default_rng(5).bytes(5 * MIB))
    stream = jxl.encode(FRAMES, animation=True, lossless=True, effort=1, jumbf=jumbf,
                        exif=TIFF_MM, durations=[10, 20, 30])
    assert len(stream) > CHUNK
    path = tmp_path / "large.jxl"
    path.write_bytes(stream)
    expected = jxl.probe(stream)
    assert expected["jumbf"] == jumbf and expected["exif"] == TIFF_MM
    assert jxl.probe(path) == expected == jxl.probe(str(path))

    file = ChunkOnly(b"junk" + stream)
    file.seek(4)
    assert jxl.probe(file) == expected
    assert len(file.sizes) > 1 and all(0 < s <= CHUNK for s in file.sizes)
    assert not file.closed


# --- defaults -----------------------------------------------------------------------

def test_defaults_are_unchanged(jxl):
    img = FRAMES[0]
    still = jxl.encode(img)
    writer = jxl.JxlWriter()
    writer.write_frame(img)
    assert writer.close() == still
    assert jxl.encode(img, exif=None, xmp=None, jumbf=None, orientation=1, icc_profile=None,
                      compress_boxes=False) == still
    assert jxl.JxlReader(still).animation is None
    info = jxl.probe(still)
    assert info["boxes"] == [] and info["animation"] is None and info["orientation"] == 1
    assert (info["exif"], info["xmp"], info["jumbf"]) == (None, None, None)
    assert len(info["frames"]) == 1

    movie = jxl.encode(FRAMES, animation=True)
    writer = jxl.JxlWriter(animation=True)
    for frame in FRAMES:
        writer.write_frame(frame)
    assert writer.close() == movie
    # A tenth of a second per frame is one tick at 10 ticks per second.
    assert jxl.encode(FRAMES, animation=True, loops=0, tps=10, durations=100) == movie
    assert jxl.encode(FRAMES, animation=True, tps=(10, 1), durations=[100] * 3) == movie
    info = jxl.probe(movie)
    assert info["animation"] == {"tps_numerator": 10, "tps_denominator": 1, "num_loops": 0,
                                 "have_timecodes": False}
    assert [(f["duration"], f["duration_ms"], f["name"]) for f in info["frames"]] == \
        [(1, 100.0, "")] * 3
    assert info["orientation"] == 1
    assert {b["type"] for b in info["boxes"]} <= {"JXL ", "ftyp", "jxlc", "jxlp"}
    assert (info["exif"], info["xmp"], info["jumbf"]) == (None, None, None)


# --- signatures -----------------------------------------------------------------------

@pytest.mark.parametrize("target, names", [
    ("probe", {"max_box_size"}),
    ("JxlReader.iter_frames", {"info"}),
    ("JxlWriter", {"loops", "tps", "exif", "xmp", "jumbf", "orientation", "icc_profile",
                   "compress_boxes"}),
    ("JxlWriter.write_frame", {"duration", "name"}),
    ("encode", {"durations", "loops", "tps", "exif", "xmp", "jumbf", "orientation",
                "icc_profile", "compress_boxes"}),
])
def test_signatures_list_the_new_parameters(jxl, target, names):
    obj = jxl
    for part in target.split("."):
        obj = getattr(obj, part)
    params = inspect.signature(obj).parameters
    assert names <= set(params)
    assert all(params[n].kind is inspect.Parameter.KEYWORD_ONLY for n in names)


def boxes_of(stream: bytes) -> list[tuple[int, int, bytes]]:
    """(offset, size, type) of each top-level box of a container."""
    out, pos = [], 0
    while pos < len(stream):
        size, kind = struct.unpack(">I4s", stream[pos:pos + 8])
        out.append((pos, size, kind))
        pos += size
    return out


NOISE = np.random.default_rng(7).integers(0, 256, 200_000, np.uint8).tobytes()


@pytest.mark.parametrize("cut", [1, 100, 5000])
@pytest.mark.parametrize("kind", ["Exif", "xml "])  # what compress_boxes compresses
def test_brotli_box_cut_short_is_an_error(jxl, kind, cut):
    # libjxl hands out what a cut Brotli stream gave before it stopped (the
    # first 65,532 bytes of an Exif box) as if it were the whole box.
    option, big, _ = BIG_BOX[kind]
    stream = jxl.encode(FRAMES[0], lossless=True, effort=1, compress_boxes=True,
                        **{option: big + NOISE})
    pos, size, _ = next(b for b in boxes_of(stream) if b[2] == b"brob")
    shortened = (stream[:pos] + struct.pack(">I", size - cut) + stream[pos + 4:pos + size - cut]
                 + stream[pos + size:])
    with pytest.raises(jxl_error(), match=f'"{kind}" box does not decompress whole'):
        jxl.probe(shortened)
    assert jxl.probe(stream)[option] == big + NOISE


@pytest.mark.parametrize("tail", [b"\x00", b"garbage!!", bytes(7), b"\x00\x00\x00\x10abcd"])
@pytest.mark.parametrize("container", ["ours", "cjxl"])
def test_bytes_after_the_last_box_are_ignored(jxl, tmp_path, have_tools, tail, container):
    from PIL import Image

    import kestrelpix.pillow  # noqa: F401
    from conftest import write_pnm
    if container == "ours":
        stream = jxl.encode(FRAMES, animation=True, lossless=True, effort=1, xmp=XMP)
    else:
        stream = cjxl(write_pnm(tmp_path / "in.ppm", FRAMES[0]), tmp_path / "out.jxl",
                      "-d", "0", "-e", "1", "--container=1")
    info, whole = jxl.probe(stream + tail), jxl.probe(stream)
    # Trailing bytes that read as a box header are listed as what they claim.
    assert info.pop("boxes")[:len(whole["boxes"])] == whole.pop("boxes")
    assert info == whole
    assert jxl.frame_count(stream + tail) == len(info["frames"])
    with Image.open(io.BytesIO(stream + tail)) as im:
        assert im.n_frames == len(info["frames"])
