"""Found by fuzz_metadata (KP_FUZZ_METADATA_NAN=1): a float16 NaN sample,
coded with lossless=True, decodes as an infinity of the same sign (bits
0x7e00 -> 0x7c00, 0xfe00 -> 0xfc00); float32 NaNs come back bit for bit, and
float16 subnormals are refused with a ValueError rather than changed.
Exits non-zero while the round trip is not exact."""

import numpy as np

import kestrelpix.codecs._jxl as jxl

sent = np.array([[np.nan, -np.nan], [1.0, 0.5]], np.float16)
got = jxl.decode(jxl.encode(sent, lossless=True, effort=1, numthreads=1), numthreads=1)
print("sent", sent.view(np.uint16).tolist(), "got", got.view(np.uint16).tolist())
assert np.array_equal(got, sent, equal_nan=True), "float16 NaN did not survive lossless coding"
