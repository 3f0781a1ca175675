"""CPython's own test suites, run as the application's Python program (see
run_in_application.sh); the suites and the tests to leave out come from the
environment.

  NORVALE_CPYTHON_SUITES   test modules, separated by blanks
  NORVALE_CPYTHON_SELECT   optional: only tests whose id contains one of these
                           words (separated by blanks)
  NORVALE_CPYTHON_SKIP     optional: leave out tests whose id contains one of
                           these words, to keep a shorter run short
  NORVALE_CPYTHON_EXCLUDE  a file: one test id a line, '#' starts a comment
  NORVALE_CPYTHON_HANG_SECONDS  optional: after that long, every thread's
                           traceback on standard error, also those of the
                           children made by fork, and the end (status 1)

Ends with one line "N passed, N failed, N skipped, N excluded" and exit
status 0 when nothing failed.
"""

import faulthandler
import multiprocessing
import os
import signal
import sys
import threading
import time
import unittest


def excluded_ids(path):
    ids = set()
    if path:
        with open(path, encoding="utf-8") as listing:
            for line in listing:
                line = line.split("#", 1)[0].strip()
                if line:
                    ids.add(line)
    return ids


def flatten(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from flatten(test)
        else:
            yield test


def end_a_hung_run():
    """Says where every thread waits, and where each child waits (SIGABRT,
    to the fault handler it inherited), then ends the run. What is left of
    it, run_in_application.sh ends."""
    faulthandler.dump_traceback(all_threads=True)
    for child in list(multiprocessing.process._children):
        try:
            os.kill(child.pid, signal.SIGABRT)
        except OSError:
            pass
        time.sleep(0.5)  # one at a time, so that their tracebacks do not mix
    sys.stdout.flush()
    os._exit(1)


def guard_against_hangs(seconds):
    # A test that hangs names itself, where it waits, before the run's timeout.
    faulthandler.enable()  # children made by fork inherit it
    watchdog = threading.Timer(seconds, end_a_hung_run)
    watchdog.daemon = True
    watchdog.start()
    # The last resort, should no thread of Python's get to run any more.
    faulthandler.dump_traceback_later(seconds + 60, exit=True)


def main():
    hang_seconds = os.environ.get("NORVALE_CPYTHON_HANG_SECONDS")
    if hang_seconds:
        guard_against_hangs(float(hang_seconds))
    excluded = excluded_ids(os.environ.get("NORVALE_CPYTHON_EXCLUDE"))
    select = os.environ.get("NORVALE_CPYTHON_SELECT", "").split()
    skip = os.environ.get("NORVALE_CPYTHON_SKIP", "").split()
    loader = unittest.defaultTestLoader
    chosen = unittest.TestSuite()
    left_out = 0
    for name in os.environ["NORVALE_CPYTHON_SUITES"].split():
        for test in flatten(loader.loadTestsFromName(name)):
            test_id = test.id()
            if any(test_id.endswith(entry) for entry in excluded):
                left_out += 1
            elif any(word in test_id for word in skip):
                continue
            elif not select or any(word in test_id for word in select):
                chosen.addTest(test)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2, durations=15).run(chosen)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    print(f"{passed} passed, {failed} failed, {skipped} skipped, {left_out} excluded")
    sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
