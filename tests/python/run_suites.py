# Runs every test_*.py beside this file inside the embedded interpreter.
import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(sys.argv[0]))
pattern = os.environ.get("NORVALE_SUITE_PATTERN", "test_*.py")
suite = unittest.defaultTestLoader.discover(here, pattern=pattern, top_level_dir=here)
# The writers that replace sys.stderr have no stream of their own to hand out.
runner = unittest.TextTestRunner(stream=sys.stderr, verbosity=2)
result = runner.run(suite)
print(f"Python {sys.version.split()[0]}: {result.testsRun} tests", file=sys.stderr)
if not result.wasSuccessful():
    raise RuntimeError("Python-side tests failed")
