import unittest

import norvale
import _norvale_testkit as testkit

# Subscribers cannot be removed, so each test's subscribers act only while
# their test runs; later signals find them idle.
_active = [None]


def subscriber(test, tag, action=None):
    def on_restart(ports):
        if _active[0] is not test:
            return
        test.calls.append((tag, ports))
        if action:
            action(ports)
    norvale.add_session_restart_handler(on_restart)
    return on_restart


class SessionRestartTest(unittest.TestCase):
    def setUp(self):
        self.calls = []
        _active[0] = self

    def tearDown(self):
        _active[0] = None

    def signal(self, labels, ports):
        testkit.signal_session(labels, ports)
        return [(tag, dict(ports)) for tag, ports in self.calls]

    def test_newest_subscriber_first_with_one_shared_dict(self):
        subscriber(self, "f")
        subscriber(self, "g")
        self.assertEqual(self.signal([], []), [("g", {}), ("f", {})])
        self.assertIs(self.calls[0][1], self.calls[1][1])

    def test_pairs_become_the_dict(self):
        cases = [
            ([b"protocol", None], [5, 7], {"protocol": 5}),
            ([b"exit", b"exit"], [1, 2], {"exit": 2}),
            ([b"protocol", b"exit"], [-(1 << 63), (1 << 63) - 1],
             {"protocol": -(1 << 63), "exit": (1 << 63) - 1}),
            ([b"\xc3\xa9"], [3], {"\u00e9": 3}),
        ]
        subscriber(self, "s")
        for labels, ports, expected in cases:
            with self.subTest(labels=labels):
                self.calls.clear()
                self.assertEqual(self.signal(labels, ports), [("s", expected)])

    def test_a_raising_subscriber_does_not_stop_the_others(self):
        def fail(ports):
            raise RuntimeError("subscriber failed on purpose")
        subscriber(self, "old")
        subscriber(self, "raising", fail)
        subscriber(self, "new")
        self.assertEqual([t for t, _ in self.signal([b"exit"], [4])], ["new", "raising", "old"])

    def test_changes_to_the_dict_reach_later_subscribers(self):
        subscriber(self, "second")
        subscriber(self, "first", lambda ports: ports.update(extra=1))
        self.signal([b"protocol"], [9])
        self.assertEqual(self.calls[1], ("second", {"protocol": 9, "extra": 1}))

    def test_the_same_callable_twice_is_called_twice(self):
        callback = subscriber(self, "twice")
        norvale.add_session_restart_handler(callback)
        self.assertEqual(len(self.signal([], [])), 2)

    def test_a_subscriber_added_during_a_signal_waits_for_the_next(self):
        subscriber(self, "adder", lambda ports: subscriber(self, "late"))
        self.assertEqual([t for t, _ in self.signal([], [])], ["adder"])
        self.calls.clear()
        self.assertEqual([t for t, _ in self.signal([], [])][:2], ["late", "adder"])

    def test_a_label_that_is_not_utf8_calls_nobody(self):
        subscriber(self, "s")
        self.assertEqual(self.signal([b"ok", b"\xff"], [1, 2]), [])

    def test_only_callables_subscribe(self):
        with self.assertRaises(TypeError) as raised:
            norvale.add_session_restart_handler(1)
        self.assertEqual(str(raised.exception), "argument must be callable")
        with self.assertRaises(TypeError):
            norvale.add_session_restart_handler(print, print)
        self.assertEqual(self.signal([], []), [])


if __name__ == "__main__":
    unittest.main()
