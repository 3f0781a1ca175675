# Modules in the user's site-packages or on a PYTHONPATH from the desktop are
# not the application's: no interpreter of the application imports them,
# while the environment that the program's children get keeps PYTHONPATH.
import concurrent.futures
import importlib.util
import multiprocessing
import os
import subprocess
import sys


def importable():
    return sorted(name for name in ("from_user_site", "from_pythonpath")
                  if importlib.util.find_spec(name) is not None)


if __name__ == "__main__":
    print("main", importable())
    for method in ("fork", "spawn", "forkserver"):
        with concurrent.futures.ProcessPoolExecutor(
                1, mp_context=multiprocessing.get_context(method)) as pool:
            print(method, pool.submit(importable).result())
    code = "import importlib.util as u; print([n for n in ('from_user_site', 'from_pythonpath') if u.find_spec(n)])"
    print("subprocess", subprocess.run([sys.executable, "-c", code],
                                       capture_output=True, text=True).stdout.strip())
    print("PYTHONPATH kept", os.environ.get("PYTHONPATH") == os.environ["EXPECTED_PYTHONPATH"])
    print("PYTHONNOUSERSITE", os.environ.get("PYTHONNOUSERSITE"))
