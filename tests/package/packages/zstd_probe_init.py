"""A local wheel's package: its library, loaded from beside it."""

import ctypes
import os

_library = ctypes.CDLL(os.path.join(os.path.dirname(__file__), "libnorvale_zstd_probe.so"))
_library.norvale_zstd_probe_version.restype = ctypes.c_uint


def zstd_version():
    return _library.norvale_zstd_probe_version()
