import os
import sys
import threading
import time
import unittest

import norvale
import _norvale_testkit as testkit

HERE = os.path.dirname(os.path.abspath(__file__))


class SessionTest(unittest.TestCase):
    def test_runs_the_expected_interpreter(self):
        expected = os.environ.get("NORVALE_EXPECT_PYTHON")
        if expected:
            self.assertEqual(sys.version.split()[0], expected)

    def test_argv_and_module_paths(self):
        self.assertEqual(sys.argv, [os.path.join(HERE, "run_suites.py")])
        self.assertEqual(sys.path[0], HERE)

    def test_injection_names_stay_out_of_main(self):
        import __main__
        for name in ("_kestrune_paths", "_kestrune_norm", "_p"):
            self.assertFalse(hasattr(__main__, name), name)

    def test_the_interpreter_reports_itself_initialised(self):
        self.assertEqual(testkit.is_initialized(), 1)

    def test_request_stop_interrupts_the_session_thread(self):
        self.assertIs(threading.current_thread(), threading.main_thread())
        with self.assertRaises(KeyboardInterrupt):
            self.assertEqual(testkit.request_stop(), 0)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                sum(range(100))
        # Nothing is left pending for the next test.
        sum(range(100))


if __name__ == "__main__":
    unittest.main()
