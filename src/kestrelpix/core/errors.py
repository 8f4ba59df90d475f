"""Exceptions raised by kestrelpix's codecs."""

from __future__ import annotations

__all__ = ["CodecError", "JxlError"]


class CodecError(Exception):
    """Base class of every codec failure, so callers can catch them all at once.

    Caller mistakes (wrong types, bad shapes, closed objects) are reported with
    the built-in exceptions instead, never with a subclass of this one.
    """


class JxlError(CodecError):
    """libjxl refused an operation, or a JPEG XL stream failed one of our checks."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
