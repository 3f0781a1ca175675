import gc
import threading
import unittest
import weakref

import norvale
import _norvale_testkit as testkit
from bridge_fixtures import port_handler


class Recorder:
    def __init__(self):
        self.calls = []
        self.threads = set()
        self.lock = threading.Lock()

    def __call__(self, payload):
        with self.lock:
            self.calls.append(payload)
            self.threads.add(threading.get_ident())


class EnqueueHandlerTest(unittest.TestCase):
    PORT = 9100

    def test_deliveries_from_native_threads_reach_the_handler(self):
        recorder = Recorder()
        with port_handler(self.PORT, recorder):
            self.assertEqual(testkit.deliver(self.PORT, b"hello"), [0])
            self.assertEqual(testkit.deliver(self.PORT, b""), [0])
            self.assertEqual(testkit.deliver(self.PORT, bytes(range(256)) * 4096), [0])
        self.assertEqual(recorder.calls, [b"hello", b"", bytes(range(256)) * 4096])
        self.assertTrue(all(type(c) is bytes for c in recorder.calls))
        self.assertNotIn(threading.get_ident(), recorder.threads)

    def test_many_threads_deliver_at_once(self):
        recorder = Recorder()
        with port_handler(self.PORT, recorder):
            results = testkit.deliver(self.PORT, b"x", -1, 8, 250)
        self.assertEqual(results, [0] * 2000)
        self.assertEqual(len(recorder.calls), 2000)

    def test_a_delivering_thread_keeps_its_thread_state_until_it_ends(self):
        local = threading.local()
        tokens = []

        class Token:
            pass

        def handler(payload):
            if not hasattr(local, "token"):
                local.token = Token()
                tokens.append((threading.get_ident(), weakref.ref(local.token)))

        with port_handler(self.PORT, handler):
            self.assertEqual(testkit.deliver(self.PORT, b"x", -1, 4, 50), [0] * 200)
        # One thread state per delivering thread, kept across its deliveries ...
        self.assertEqual(len(tokens), 4)
        self.assertEqual(len({ident for ident, _ in tokens}), 4)
        # ... and released when that thread ended.
        gc.collect()
        self.assertEqual([ref() for _, ref in tokens], [None] * 4)

    def test_results_without_a_handler_or_buffer(self):
        recorder = Recorder()
        self.assertEqual(testkit.deliver(self.PORT + 1, b"x"), [-1])
        with port_handler(self.PORT, recorder):
            self.assertEqual(testkit.deliver(self.PORT, None, 5), [-1])
            self.assertEqual(testkit.deliver(self.PORT, None, 0), [0])
            # Lengths no buffer can have: the bytes object cannot be made.
            for length in (-2, -(1 << 63), 1 << 62, (1 << 63) - 1):
                self.assertEqual(testkit.deliver(self.PORT, b"x", length), [-1], length)
        self.assertEqual(recorder.calls, [b""])

    def test_every_port_value_is_a_key(self):
        for port in (0, -1, (1 << 63) - 1, -(1 << 63)):
            recorder = Recorder()
            with self.subTest(port=port), port_handler(port, recorder):
                self.assertEqual(testkit.deliver(port, b"p"), [0])
                self.assertEqual(recorder.calls, [b"p"])

    def test_a_handler_that_raises_still_counts_as_delivered(self):
        def handler(payload):
            raise ValueError("expected in this test")
        with port_handler(self.PORT, handler):
            self.assertEqual(testkit.deliver(self.PORT, b"x"), [0])

    def test_registering_again_replaces_and_releases_the_first(self):
        first, second = Recorder(), Recorder()
        first_ref = weakref.ref(first)
        norvale.set_enqueue_handler_func(self.PORT, first)
        norvale.set_enqueue_handler_func(self.PORT, second)
        del first
        gc.collect()
        self.assertIsNone(first_ref())
        self.assertEqual(testkit.deliver(self.PORT, b"2"), [0])
        self.assertEqual(second.calls, [b"2"])
        self.assertIsNone(norvale.set_enqueue_handler_func(self.PORT, None))
        self.assertEqual(testkit.deliver(self.PORT, b"3"), [-1])
        # Unregistering a port without a handler changes nothing.
        self.assertIsNone(norvale.set_enqueue_handler_func(self.PORT, None))

    def test_unregistering_one_port_keeps_the_others(self):
        recorders = {p: Recorder() for p in (1, 2, 3)}
        for port, recorder in recorders.items():
            norvale.set_enqueue_handler_func(port, recorder)
        norvale.set_enqueue_handler_func(2, None)
        self.assertEqual([testkit.deliver(p, b"x")[0] for p in (1, 2, 3)], [0, -1, 0])
        for port in (1, 3):
            norvale.set_enqueue_handler_func(port, None)

    def test_bad_arguments(self):
        with self.assertRaises(TypeError) as raised:
            norvale.set_enqueue_handler_func(self.PORT, 5)
        self.assertEqual(str(raised.exception), "second argument must be callable or None")
        with self.assertRaisesRegex(TypeError, "set_enqueue_handler_func"):
            norvale.set_enqueue_handler_func(self.PORT)
        with self.assertRaises(OverflowError):
            norvale.set_enqueue_handler_func(1 << 64, print)
        self.assertEqual(testkit.deliver(self.PORT, b"x"), [-1])

    def test_a_handler_that_unregisters_itself_lives_through_its_call(self):
        # The list holds the only reference to this handler.
        norvale.set_enqueue_handler_func(self.PORT, testkit.SelfRemovingHandler(self.PORT))
        self.assertEqual(testkit.deliver(self.PORT, b"x"), [0])
        self.assertFalse(testkit.freed_during_call())
        self.assertEqual(testkit.deliver(self.PORT, b"x"), [-1])

    def test_a_replaced_handler_whose_finaliser_unregisters_the_port(self):
        port = self.PORT

        class Unregisters:
            def __call__(self, payload):
                pass

            def __del__(self):
                norvale.set_enqueue_handler_func(port, None)

        replacement = Recorder()
        replacement_ref = weakref.ref(replacement)
        norvale.set_enqueue_handler_func(port, Unregisters())
        norvale.set_enqueue_handler_func(port, replacement)
        del replacement
        gc.collect()
        # The finaliser ran after the replacement was stored, and removed it.
        self.assertIsNone(replacement_ref())
        self.assertEqual(testkit.deliver(port, b"x"), [-1])
        norvale.set_enqueue_handler_func(port, Recorder())
        self.assertEqual(testkit.deliver(port, b"x"), [0])
        norvale.set_enqueue_handler_func(port, None)


if __name__ == "__main__":
    unittest.main()
