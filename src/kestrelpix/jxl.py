"""JPEG XL for NumPy: decode and encode stills and animations, streaming.

The public face of the codec. Every name here is the very same object as in
the extension :mod:`kestrelpix.codecs._jxl`, whose docstrings are the manual
(``help(jxl.decode)``, ``help(jxl.JxlReader)``, ...).

Decode:
  decode(data)             the whole stream, or one frame with index=
  JxlReader(data)          the header at once, then frame by frame
Inspect:
  probe(data)              header, colour, timing, frames and metadata boxes
  frame_count(data)        frames, counted without decoding pixels
  check_signature(data)    whether bytes start a JPEG XL stream
  libjxl_version()         the libjxl in use
Encode:
  encode(arr)              an image or animation stack in one call
  JxlWriter(dest)          frame by frame
Errors:
  JxlError                 whatever libjxl refuses

Example:
    >>> import numpy as np
    >>> from kestrelpix import jxl
    >>> image = np.arange(48, dtype=np.uint8).reshape(4, 4, 3)
    >>> np.array_equal(jxl.decode(jxl.encode(image, lossless=True)), image)
    True
"""

from __future__ import annotations

from kestrelpix.codecs._jxl import JxlReader as JxlReader
from kestrelpix.codecs._jxl import JxlWriter as JxlWriter
from kestrelpix.codecs._jxl import check_signature as check_signature
from kestrelpix.codecs._jxl import decode as decode
from kestrelpix.codecs._jxl import encode as encode
from kestrelpix.codecs._jxl import frame_count as frame_count
from kestrelpix.codecs._jxl import libjxl_version as libjxl_version
from kestrelpix.codecs._jxl import probe as probe
from kestrelpix.core.errors import JxlError as JxlError

__all__ = ["JxlError", "JxlReader", "JxlWriter", "check_signature", "decode", "encode",
           "frame_count", "libjxl_version", "probe"]

# JPEG recompression arrives in the extension separately; publish it as soon
# as the built module has it. The ignore covers the stub catching up later.
try:
    from kestrelpix.codecs._jxl import (  # type: ignore[attr-defined, unused-ignore]
        transcode_jpeg as transcode_jpeg,
    )
except ImportError:
    pass
else:
    __all__ += ["transcode_jpeg"]
try:
    from kestrelpix.codecs._jxl import (  # type: ignore[attr-defined, unused-ignore]
        reconstruct_jpeg as reconstruct_jpeg,
    )
except ImportError:
    pass
else:
    __all__ += ["reconstruct_jpeg"]
