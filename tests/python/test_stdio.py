import codecs
import io
import os
import sys
import unittest

import norvale


class StandardStreamsTest(unittest.TestCase):
    """sys.stdout and sys.stderr are text streams as python3 has them."""

    def test_they_are_the_streams_python_started_with(self):
        self.assertIs(sys.stdout, sys.__stdout__)
        self.assertIs(sys.stderr, sys.__stderr__)
        for stream, fd, name in ((sys.stdout, 1, "<stdout>"), (sys.stderr, 2, "<stderr>")):
            with self.subTest(name=name):
                self.assertIsInstance(stream, io.TextIOWrapper)
                self.assertIsInstance(stream.buffer, io.BufferedIOBase)
                self.assertEqual((stream.name, stream.mode, stream.fileno()), (name, "w", fd))
                self.assertEqual(stream.isatty(), os.isatty(fd))
                codecs.lookup(stream.encoding)
        self.assertEqual(sys.stderr.errors, "backslashreplace")
        self.assertTrue(sys.stderr.line_buffering)

    def test_text_only_and_bytes_only(self):
        self.assertEqual(sys.stderr.write(""), 0)
        self.assertEqual(sys.stderr.write("\u00e9"), 1)
        self.assertEqual(sys.stderr.buffer.write(b"[stdio test]\n"), 13)
        self.assertEqual(sys.stderr.buffer.write(bytearray(b"")), 0)
        sys.stderr.writelines(["[", "lines", "]\n"])
        for wrong in (b"bytes", 123):
            with self.assertRaises(TypeError):
                sys.stderr.write(wrong)
        with self.assertRaises(TypeError):
            sys.stderr.buffer.write("text")
        self.assertEqual(sys.stderr.buffer.raw.write(b""), 0)
        self.assertEqual(sys.stderr.buffer.raw.fileno(), 2)

    def test_reconfigure_keeps_the_same_stream(self):
        stream = sys.stderr
        stream.reconfigure(line_buffering=False)
        try:
            self.assertFalse(sys.stderr.line_buffering)
        finally:
            stream.reconfigure(line_buffering=True)
        self.assertIs(sys.stderr, stream)

    def test_a_closed_stream_refuses_writes_and_leaves_the_descriptor_open(self):
        buffer = type(sys.stderr.buffer)(1, 2, "<closed>", False)
        stream = io.TextIOWrapper(buffer, write_through=True)
        stream.close()
        for call in (lambda: stream.write("x"), buffer.flush, buffer.isatty,
                     lambda: buffer.write(b"x")):
            with self.assertRaises(ValueError):
                call()
        os.fstat(2)

    def test_native_log_write_arguments(self):
        self.assertIsNone(norvale._native_log_write(1, ""))
        self.assertIsNone(norvale._native_log_write(1, b""))
        with self.assertRaises(UnicodeEncodeError):
            norvale._native_log_write(1, "\ud800")
        with self.assertRaisesRegex(TypeError, "_native_log_write"):
            norvale._native_log_write(1)
        with self.assertRaises(TypeError):
            norvale._native_log_write("1", "x")

    def test_no_name_of_the_bridge_reaches_main(self):
        import __main__
        for name in ("_NorvaleNativeWriter", "_NativeStreamBuffer", "_native_stream",
                     "_orig_signal", "_give_signals_back", "_home", "norvale"):
            self.assertFalse(hasattr(__main__, name), name)


class ModuleDefinitionTest(unittest.TestCase):
    DOCS = {
        "send_bytes":
            "send_bytes(port, payload) \u2014 post a bytes payload to the Dart\n"
            "ReceivePort identified by its native port.",
        "set_enqueue_handler_func":
            "set_enqueue_handler_func(port, callable) \u2014 register a Python\n"
            "callable that receives bytes posted from Dart for the given port.\n"
            "Pass None as the callable to unregister.",
        "add_session_restart_handler":
            "add_session_restart_handler(callable) \u2014 register a callback that\n"
            "fires when a new Dart VM signals the running Python program with\n"
            "fresh native port numbers (e.g. Android process reuse). The callback\n"
            "receives a {label: port} dict. Multiple subscribers supported; each\n"
            "gets the full map.",
        "_native_log_write":
            "_native_log_write(is_stderr, text) \u2014 internal. Forwards bytes to the\n"
            "platform's native log sink (logcat / os_log / stderr). Used by the\n"
            "sys.stdout / sys.stderr wrappers installed at interpreter start.",
        "_native_log_flush":
            "_native_log_flush(is_stderr) \u2014 internal. Flushes the process stream\n"
            "that _native_log_write writes to.",
    }

    def test_module_is_builtin_without_doc(self):
        self.assertIn("norvale", sys.builtin_module_names)
        self.assertIsNone(norvale.__doc__)
        public = sorted(n for n in dir(norvale) if not n.startswith("__"))
        self.assertEqual(public, sorted(self.DOCS))

    def test_doc_strings_verbatim(self):
        for name, doc in self.DOCS.items():
            with self.subTest(name=name):
                self.assertEqual(getattr(norvale, name).__doc__, doc)


if __name__ == "__main__":
    unittest.main()
