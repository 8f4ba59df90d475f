"""Found by fuzz_metadata (KP_FUZZ_METADATA_NUL=1): write_frame(name=...)
with a NUL in the name is accepted and the stored name is cut at the NUL
("a\\0b" is read back as "a"), where a name over 1071 bytes is refused with
a ValueError. Exits non-zero while the name does not come back whole (or is
not refused)."""

import numpy as np

import kestrelpix.codecs._jxl as jxl

writer = jxl.JxlWriter(animation=True, lossless=True, effort=1, numthreads=1)
try:
    writer.write_frame(np.zeros((2, 2, 3), np.uint8), name="a\0b")
except ValueError:
    raise SystemExit("refused: fixed")
name = jxl.probe(writer.close())["frames"][0]["name"]
print("wrote 'a\\0b', read", repr(name))
assert name == "a\0b", "frame name cut at its NUL"
