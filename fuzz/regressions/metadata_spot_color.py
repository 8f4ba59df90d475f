"""Found by fuzz_metadata (KP_FUZZ_METADATA_SPOT=1): a lossless stream with a
spot-colour extra channel does not decode back to what was written with
extra_channels=True: the spot channel itself comes back exactly, but the
colour channels come back with the spot colour blended in (libjxl's decoder
renders spot colours into the colour channels unless told not to;
decode.h: JxlDecoderSetRenderSpotcolors, default on). Exits non-zero while
the colour channels differ."""

import numpy as np

import kestrelpix.codecs._jxl as jxl

sent = np.arange(4 * 4 * 4, dtype=np.uint8).reshape(4, 4, 4)
stream = jxl.encode(sent, lossless=True, effort=1, numthreads=1,
                    extra_channels=[{"type": "spot_color", "spot_color": [1, 0, 0, 1]}])
got = jxl.decode(stream, extra_channels=True, numthreads=1)
print("spot channel exact:", np.array_equal(got[..., 3], sent[..., 3]))
print("sent", sent[0, 0].tolist(), "got", got[0, 0].tolist())
assert np.array_equal(got, sent), "colour channels changed by the rendered spot colour"
