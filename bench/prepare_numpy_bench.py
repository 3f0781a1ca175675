"""Prepares the start-up comparison with numpy for bench_bundle: an
installed bundle whose program imports numpy, and a venv of the same
python3 with the same numpy.

    prepare_numpy_bench.py SOURCE_DIR WORK CMAKE PYTHON_PREFIX PYTHON3 PIP_CACHE

In WORK: build/ (the project built with bench/numpy_program as the demo's
program, kept from run to run), installed/ (installed afresh) and venv/.
pip's downloads come from PIP_CACHE, where the bundle's build left them.
"""

import glob
import os
import shutil
import subprocess
import sys


def run(command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def main(argv):
    if len(argv) != 7:
        sys.exit(__doc__)
    source, work, cmake, python_prefix, python3, pip_cache = argv[1:]
    build = os.path.join(work, "build")
    run([cmake, "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         "-DNORVALE_BUILD_TESTS=OFF", "-DNORVALE_BUILD_BENCH=OFF",
         f"-DNORVALE_DEMO_PROGRAM_DIR={os.path.join(source, 'bench', 'numpy_program')}",
         f"-DNORVALE_PYTHON_PREFIX={python_prefix}", f"-DNORVALE_PIP_CACHE_DIR={pip_cache}"],
        stdout=subprocess.DEVNULL)
    run([cmake, "--build", build, "--target", "bundle", "-j2"], stdout=subprocess.DEVNULL)
    installed = os.path.join(work, "installed")
    shutil.rmtree(installed, ignore_errors=True)
    run([cmake, "--install", build, "--prefix", installed], stdout=subprocess.DEVNULL)

    # The venv gets the numpy that the bundle got.
    dist_info = glob.glob(os.path.join(installed, "lib", "python3*", "site-packages",
                                       "numpy-*.dist-info"))
    version = os.path.basename(dist_info[0])[len("numpy-"):-len(".dist-info")]
    venv = os.path.join(work, "venv")
    if not os.path.exists(os.path.join(venv, "bin", "python3")):
        run([python3, "-I", "-m", "venv", venv])
    environment = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    environment["PIP_ROOT_USER_ACTION"] = "ignore"
    run([os.path.join(venv, "bin", "python3"), "-m", "pip", "install", "--quiet",
         "--disable-pip-version-check", "--cache-dir", pip_cache, f"numpy=={version}"],
        env=environment)


if __name__ == "__main__":
    main(sys.argv)
