"""Makes an installed bundle portable: copies into it the shared libraries
that its binaries need beyond a desktop's baseline, and points the binaries
that need them there through $ORIGIN.

    portable_libraries.py LIBDIR [MANIFEST]

LIBDIR is the bundle's lib/. Every ELF file below it (CPython's shared
library and extension modules, those of any package the bundle carries, our
own libraries) is read for the libraries it needs. A library found in the
bundle is the bundle's; one of the baseline (the C library, the C++ and GCC
runtimes, GLib, GTK and their stack, the X11 and Wayland client libraries),
which any machine that runs a GTK 3 application has, is left to the system;
every other one (OpenSSL, SQLite, libffi, liblzma, ...) is copied from the
build machine into LIBDIR, with what it needs in turn. The binaries that
need a copied library get $ORIGIN-relative search paths to LIBDIR (a search
path is not inherited: each binary names its own). The paths of the copied
files are appended to MANIFEST (one a line), when given.

The Debian package does not do this: there the system's libraries are the
package's dependencies, as dpkg-shlibdeps computes them.
"""

import os
import re
import shutil
import subprocess
import sys

# Sonames that a machine running a GTK 3 application has: the C library,
# the compiler's runtimes, and the GTK stack down to X11 and Wayland.
BASELINE = re.compile(r"""^(
    ld-linux.*|libc|libm|libpthread|libdl|librt|libutil|libresolv|libanl|libmvec
  | libstdc\+\+|libgcc_s|libatomic
  | libglib-2\.0|libgobject-2\.0|libgio-2\.0|libgmodule-2\.0|libgthread-2\.0
  | libgtk-3|libgdk-3|libgdk_pixbuf-2\.0|libpango.*|libcairo.*|libharfbuzz.*
  | libatk-1\.0|libatk-bridge-2\.0|libatspi|libepoxy|libfontconfig|libfreetype
  | libfribidi|libpixman-1|libpng16|libthai|libdatrie|libgraphite2|libbrotli.*
  | libX.*|libxcb.*|libxkbcommon.*|libwayland-.*|libdbus-1|libsystemd|libmount|libblkid
  | libselinux|libpcre2-8
)\.so(\.[0-9.]+)?$""", re.VERBOSE)

SYSTEM_DIRS = ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64",
               "/lib", "/usr/lib"]


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def dynamic(path):
    """(needed sonames, runpath entries) of an ELF file."""
    out = subprocess.run(["readelf", "-d", "-W", path], check=True, capture_output=True,
                         text=True).stdout
    needed, runpath = [], []
    for line in out.splitlines():
        value = re.search(r"\[(.*)\]", line)
        if not value:
            continue
        if "(NEEDED)" in line:
            needed.append(value.group(1))
        elif "(RUNPATH)" in line or "(RPATH)" in line:
            runpath.extend(p for p in value.group(1).split(":") if p)
    return needed, runpath


def system_library_dirs():
    """The directories the dynamic linker searches on this machine, its cache's first."""
    dirs = []
    try:
        cache = subprocess.run(["ldconfig", "-p"], check=True, capture_output=True,
                               text=True).stdout
        for line in cache.splitlines():
            if "x86-64" in line and "=>" in line:
                d = os.path.dirname(line.split("=>", 1)[1].strip())
                if d not in dirs:
                    dirs.append(d)
    except (OSError, subprocess.CalledProcessError):
        pass
    return dirs + [d for d in SYSTEM_DIRS if d not in dirs]


def find_system_library(soname, dirs):
    for d in dirs:
        candidate = os.path.join(d, soname)
        if os.path.exists(candidate) and is_elf(os.path.realpath(candidate)):
            return candidate
    return None


def add_runpath(path, entry):
    _, runpath = dynamic(path)
    if entry in runpath:
        return
    subprocess.run(["patchelf", "--set-rpath", ":".join(runpath + [entry]), path], check=True)


def make_portable(libdir, manifest=None):
    libdir = os.path.abspath(libdir)
    dirs = system_library_dirs()
    bundled = {}  # soname -> path inside the bundle
    binaries = []
    for root, _, files in os.walk(libdir):
        for name in sorted(files):
            path = os.path.join(root, name)
            if os.path.islink(path) or not is_elf(path):
                continue
            binaries.append(path)
            bundled.setdefault(name, path)
    copied = []
    missing = []
    pending = list(binaries)
    while pending:
        path = pending.pop()
        needed, _ = dynamic(path)
        uses_copies = False
        for soname in needed:
            if soname in bundled:
                uses_copies = uses_copies or bundled[soname] in copied
                continue
            if BASELINE.match(soname):
                continue
            source = find_system_library(soname, dirs)
            if source is None:
                missing.append(f"{soname} (needed by {os.path.relpath(path, libdir)})")
                continue
            target = os.path.join(libdir, soname)
            shutil.copyfile(os.path.realpath(source), target)
            os.chmod(target, 0o644)
            # A copy needs no search path of the build machine's, and has no
            # debug file here: a distribution's library links to one in its
            # debug package, which gdb finds by build ID.
            subprocess.run(["patchelf", "--remove-rpath", target], check=True)
            subprocess.run(["objcopy", "--remove-section=.gnu_debuglink", target], check=True)
            bundled[soname] = target
            copied.append(target)
            pending.append(target)
            uses_copies = True
        if uses_copies:
            relative = os.path.relpath(libdir, os.path.dirname(path))
            add_runpath(path, "$ORIGIN" if relative == "." else "$ORIGIN/" + relative)
    if missing:
        sys.exit("portable_libraries: not found on this machine: " + ", ".join(sorted(missing)))
    if manifest:
        with open(manifest, "a") as f:
            for path in copied:
                f.write(path + "\n")
    for path in sorted(copied):
        print("portable_libraries: bundled", os.path.basename(path))


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    make_portable(argv[1], argv[2] if len(argv) == 3 else None)


if __name__ == "__main__":
    main(sys.argv)
