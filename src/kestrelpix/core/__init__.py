"""Pure-Python services shared by kestrelpix's codecs."""
