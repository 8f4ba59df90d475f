"""Found by fuzz_metadata (KP_FUZZ_METADATA_NAN=1): a float16 NaN sample,
coded with lossless=True, decoded as an infinity of the same sign (bits
0x7e00 -> 0x7c00, 0xfe00 -> 0xfc00): libjxl's 16-bit floats have no NaN.
Such frames are now refused with a ValueError, as float16 subnormals are,
rather than changed. Exits non-zero if a NaN frame is accepted and changed."""

import numpy as np

import kestrelpix.codecs._jxl as jxl

sent = np.array([[np.nan, -np.nan], [1.0, 0.5]], np.float16)
try:
    got = jxl.decode(jxl.encode(sent, lossless=True, effort=1, numthreads=1), numthreads=1)
except ValueError as exc:
    print("refused:", exc)
else:
    print("sent", sent.view(np.uint16).tolist(), "got", got.view(np.uint16).tolist())
    assert np.array_equal(got, sent, equal_nan=True), "float16 NaN did not survive lossless coding"
