"""Native image codecs."""
