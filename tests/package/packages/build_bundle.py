"""Builds, installs and packages the bundle whose program needs real
packages from PyPI, as an application's build would: the whole project
configured with NORVALE_DEMO_PROGRAM_DIR at the tests' program.

    build_bundle.py SOURCE_DIR WORK CMAKE PYTHON_PREFIX PIP_CACHE PROBE_LIBRARY

In WORK: program/ (the tests' program, its requirements naming the local
wheel by this machine's platform tag), wheels/ (that wheel, around
PROBE_LIBRARY), local_project/, build/ (kept from run to run, so that a
second run neither compiles nor downloads again), installed/ (installed
afresh) and build/package/*.deb. pip's downloads go to PIP_CACHE.
"""

import filecmp
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_wheel  # noqa: E402


def write_if_different(path, data):
    """Leaves an unchanged file alone, so that the build sees no change."""
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def mirror(source, target, replace=None):
    for root, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            for old, new in (replace or {}).items():
                data = data.replace(old.encode(), new.encode())
            write_if_different(os.path.join(target, os.path.relpath(path, source)), data)


def run(command, **kwargs):
    print("+", " ".join(command), flush=True)
    subprocess.run(command, check=True, **kwargs)


def main(argv):
    if len(argv) != 7:
        sys.exit(__doc__)
    source, work, cmake, python_prefix, pip_cache, probe = argv[1:]
    mirror(os.path.join(HERE, "program"), os.path.join(work, "program"),
           {"@PLATFORM@": make_wheel.platform_tag()})
    mirror(os.path.join(HERE, "local_project"), os.path.join(work, "local_project"))
    staged = os.path.join(work, "wheel-staging")
    wheel = make_wheel.make_wheel(
        staged, "norvale_zstd_probe", "1.0", "py3-none-@PLATFORM@",
        [("norvale_zstd_probe/__init__.py", os.path.join(HERE, "zstd_probe_init.py")),
         ("norvale_zstd_probe/libnorvale_zstd_probe.so", probe)])
    final = os.path.join(work, "wheels", os.path.basename(wheel))
    if not os.path.exists(final) or not filecmp.cmp(wheel, final, shallow=False):
        os.makedirs(os.path.dirname(final), exist_ok=True)
        shutil.copyfile(wheel, final)

    build = os.path.join(work, "build")
    run([cmake, "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         "-DNORVALE_BUILD_TESTS=OFF", "-DNORVALE_BUILD_BENCH=OFF",
         f"-DNORVALE_DEMO_PROGRAM_DIR={os.path.join(work, 'program')}",
         f"-DNORVALE_PYTHON_PREFIX={python_prefix}", f"-DNORVALE_PIP_CACHE_DIR={pip_cache}"],
        stdout=subprocess.DEVNULL)
    run([cmake, "--build", build, "--target", "norvale_package", "-j2"])
    installed = os.path.join(work, "installed")
    shutil.rmtree(installed, ignore_errors=True)
    run([cmake, "--install", build, "--prefix", installed], stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main(sys.argv)
