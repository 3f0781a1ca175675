"""Shared helpers for the suites that run inside the embedded interpreter."""
import contextlib

import _norvale_testkit as testkit

TYPED_DATA = 7
UINT8 = 2
INT64 = 3


@contextlib.contextmanager
def bound(kind):
    """Binds the Dart API from another block for the duration, then the VM's again."""
    try:
        assert testkit.bind(kind) == 0
        yield
    finally:
        testkit.bind("vm")


@contextlib.contextmanager
def port_handler(port, handler):
    import norvale
    norvale.set_enqueue_handler_func(port, handler)
    try:
        yield
    finally:
        norvale.set_enqueue_handler_func(port, None)
