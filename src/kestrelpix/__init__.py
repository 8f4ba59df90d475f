"""kestrelpix: image codecs for NumPy.

The JPEG XL codec lives in :mod:`kestrelpix.codecs._jxl`; the pure-Python
services it relies on (errors, colour specifications, background file reading)
live in :mod:`kestrelpix.core`.
"""

__version__ = "0.1.0"
