import io
import sys
import unittest

import __main__
import norvale


class NativeWriterTest(unittest.TestCase):
    def test_the_standard_streams_are_native_writers(self):
        writer_class = __main__._NorvaleNativeWriter
        self.assertIs(type(sys.stdout), writer_class)
        self.assertIs(type(sys.stderr), writer_class)
        self.assertEqual((sys.stdout._is_stderr, sys.stderr._is_stderr), (0, 1))
        # The interpreter's own saved copies stay untouched.
        self.assertIsNot(type(sys.__stdout__), writer_class)
        self.assertIsNot(type(sys.__stderr__), writer_class)

    def test_names_left_in_main(self):
        self.assertIs(__main__.sys, sys)
        self.assertIs(__main__.norvale, norvale)

    def test_writer_methods(self):
        self.assertEqual(sys.stdout.write(""), 0)
        self.assertEqual(sys.stderr.write(""), 0)
        self.assertIsNone(sys.stdout.flush())
        self.assertIs(sys.stdout.isatty(), False)
        for stream in (sys.stdout, sys.stderr):
            # An OSError, and the kind that tells a prober there is no descriptor.
            with self.assertRaises(io.UnsupportedOperation) as raised:
                stream.fileno()
            self.assertIsInstance(raised.exception, OSError)
            self.assertEqual(str(raised.exception), "no fileno on native log writer")
        self.assertFalse(hasattr(sys.stdout, "encoding"))
        self.assertFalse(hasattr(sys.stdout, "buffer"))

    def test_write_returns_the_length_of_its_argument(self):
        self.assertEqual(sys.stderr.write("\u00e9"), 1)
        self.assertEqual(sys.stderr.write("[stdio test]\n"), 13)
        with self.assertRaises(TypeError):
            sys.stderr.write(123)

    def test_native_log_write_arguments(self):
        self.assertIsNone(norvale._native_log_write(1, ""))
        self.assertIsNone(norvale._native_log_write(1, b""))
        with self.assertRaises(UnicodeEncodeError):
            norvale._native_log_write(1, "\ud800")
        with self.assertRaisesRegex(TypeError, "_native_log_write"):
            norvale._native_log_write(1)
        with self.assertRaises(TypeError):
            norvale._native_log_write("1", "x")


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
