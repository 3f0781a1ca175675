"""The program's end of the application's messages.

A message is one bridge payload of UTF-8 text: fields separated by TAB, the
first field the message's kind. Inside a field a backslash, a TAB and a line
feed are written as two characters: \\\\, \\t and \\n.
"""

import os
import sys

_ESCAPES = {"\\": "\\\\", "\t": "\\t", "\n": "\\n"}
_UNESCAPES = {"\\": "\\", "t": "\t", "n": "\n"}


def encode(kind, *fields):
    return "\t".join(
        "".join(_ESCAPES.get(c, c) for c in str(field)) for field in (kind,) + fields
    ).encode("utf-8")


def _unescape(field):
    out, chars = [], iter(field)
    for c in chars:
        if c == "\\":
            c = _UNESCAPES.get(next(chars, None))
            if c is None:
                raise ValueError("bad escape")
        out.append(c)
    return "".join(out)


def decode(payload):
    """The message's fields, or None for bytes that are no message."""
    try:
        fields = [_unescape(f) for f in payload.decode("utf-8").split("\t")]
    except (UnicodeDecodeError, ValueError):
        return None
    return fields if fields[0] else None


class Channel:
    """Sends to the Dart side's port and receives what it delivers there.

    When a new Dart VM session hands the program fresh ports, the channel
    moves to them: it then sends to the new port and listens on it only.
    """

    def __init__(self, bridge, port, on_message, on_restart):
        self._bridge = bridge
        self._port = port
        self._on_message = on_message
        self._on_restart = on_restart
        bridge.set_enqueue_handler_func(port, self._receive)
        bridge.add_session_restart_handler(self._restart)

    @classmethod
    def from_environment(cls, bridge, on_message, on_restart):
        return cls(bridge, int(os.environ["ZEMTRA_NORVALE_PORT"]), on_message, on_restart)

    @property
    def port(self):
        return self._port

    def send(self, kind, *fields):
        self._bridge.send_bytes(self._port, encode(kind, *fields))

    def _receive(self, payload):
        message = decode(payload)
        if message is None:
            print(f"demo: not a message: {payload!r}", file=sys.stderr)
            return
        self._on_message(message)

    def _restart(self, ports):
        new_port = ports.get("protocol")
        if not new_port:
            return
        old_port, self._port = self._port, new_port
        self._bridge.set_enqueue_handler_func(new_port, self._receive)
        self._bridge.set_enqueue_handler_func(old_port, None)
        self._on_restart(ports)
