import unittest

import norvale
import _norvale_testkit as testkit
from bridge_fixtures import TYPED_DATA, UINT8, bound

NOT_BOUND = "Dart API DL not initialized (call Norvale_InitDartApiDL from Dart first)"


class SendBytesTest(unittest.TestCase):
    def setUp(self):
        self.port = testkit.new_port()

    def tearDown(self):
        testkit.close_port(self.port)

    def test_payloads_arrive_as_uint8_typed_data_intact(self):
        for payload in (b"", b"\x00", bytes(range(256)), b"\xff" * (1 << 20)):
            with self.subTest(length=len(payload)):
                self.assertIs(norvale.send_bytes(self.port, payload), True)
                self.assertEqual(testkit.wait_message(self.port), (TYPED_DATA, UINT8, payload))

    def test_bytes_are_accepted_and_other_payloads_refused(self):
        class Payload(bytes):
            pass
        self.assertIs(norvale.send_bytes(self.port, Payload(b"sub")), True)
        self.assertEqual(testkit.wait_message(self.port)[2], b"sub")
        # Buffers that must be released or may change are refused.
        for refused in ("text", bytearray(b"x"), memoryview(b"x"), 5, 1.5, None, [b"x"],
                        object(), (b"x",)):
            with self.subTest(payload=refused), self.assertRaises(TypeError):
                norvale.send_bytes(self.port, refused)
        self.assertEqual(testkit.pending(self.port), 0)

    def test_port_arguments(self):
        with self.assertRaises(OverflowError):
            norvale.send_bytes(1 << 64, b"x")
        for port in ("1", 1.0, None, b"1", object()):
            with self.subTest(port=port), self.assertRaises(TypeError):
                norvale.send_bytes(port, b"x")
        with self.assertRaises(TypeError):
            norvale.send_bytes(self.port)
        with self.assertRaises(TypeError):
            norvale.send_bytes(port=self.port, payload=b"x")

    def test_port_zero_is_refused_before_the_binding_is_checked(self):
        with self.assertRaisesRegex(RuntimeError, r"^Dart port is 0 \(invalid\)$"):
            norvale.send_bytes(0, b"x")
        with bound("empty"):
            with self.assertRaisesRegex(RuntimeError, r"^Dart port is 0 \(invalid\)$"):
                norvale.send_bytes(0, b"x")
            with self.assertRaises(RuntimeError) as raised:
                norvale.send_bytes(self.port, b"x")
            self.assertEqual(str(raised.exception), NOT_BOUND)

    def test_refused_posts_raise(self):
        testkit.close_port(self.port)
        for kind in ("vm", "refusing"):
            with self.subTest(block=kind), bound(kind):
                with self.assertRaises(RuntimeError) as raised:
                    norvale.send_bytes(self.port, b"x")
                self.assertEqual(str(raised.exception), "Dart_PostCObject_DL failed")

    def test_the_record_reaches_the_vm_with_the_port_unchanged(self):
        with bound("recording"):
            for port in (-5, 1 << 62, -(1 << 63)):
                with self.subTest(port=port):
                    norvale.send_bytes(port, b"abc")
                    self.assertEqual(testkit.last_post(), (port, TYPED_DATA, UINT8, 3, b"abc"))


if __name__ == "__main__":
    unittest.main()
