"""Every kind of interpreter that the application starts: the program
itself, pool children of each start method, a ProcessPoolExecutor, and
Python started through sys.executable. Each says where its numpy comes
from, computes with it, and names what reached it from outside the
bundle."""

import sys

compiled = []
SCRIPT = __file__


def audit(event, args):
    # Compilation of a module from its source; the script itself is read
    # as source by every interpreter that runs it, as under python3.
    if (event == "compile" and isinstance(args[1], str) and args[1].endswith(".py") and
            args[1] != SCRIPT):
        compiled.append(args[1])


sys.addaudithook(audit)

import importlib.util  # noqa: E402
import multiprocessing  # noqa: E402
import os  # noqa: E402
import subprocess  # noqa: E402
from concurrent.futures import ProcessPoolExecutor  # noqa: E402

# What a desktop may put in reach: the tests place these in the user's
# site-packages and in PYTHONPATH.
OUTSIDERS = ("norvale_leak_probe",)


def report(_=None):
    try:
        import numpy as np
    except ImportError as error:
        return f"numpy=failed ({error})"
    bundle = os.path.realpath(sys.prefix)

    def inside(path):
        return os.path.realpath(path).startswith(bundle + os.sep)

    origin = "bundle" if inside(np.__file__) else np.__file__
    total = int(np.arange(10).sum() + round(np.linalg.det(np.eye(3) * 2)))
    leaks = [name for name in OUTSIDERS if importlib.util.find_spec(name)]
    # "" is the working directory that `python -c` puts first, as python3 does.
    outside = [path for path in sys.path if path and not inside(path)]
    return (f"numpy={origin} sum={total} leaks={leaks or 'none'} "
            f"path={outside or 'inside'} compiled={compiled or 0}")


def main():
    print("main", report(), flush=True)
    for method in ("spawn", "forkserver", "fork"):
        with multiprocessing.get_context(method).Pool(2) as pool:
            print(method, pool.map(report, [0])[0], flush=True)
    with ProcessPoolExecutor(1) as executor:
        print("executor", executor.submit(report).result(), flush=True)
    code = (f"import sys; sys.path.insert(0, {os.path.dirname(SCRIPT)!r}); "
            "import children; print(children.report())")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    print("subprocess", child.stdout.strip() or child.stderr.strip(), flush=True)


if __name__ == "__main__":
    main()
