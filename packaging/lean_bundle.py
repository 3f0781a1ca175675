"""Makes the bundle lean and quick to start.

    lean_bundle.py python STDLIB OUT DEBUG LIB...
        Builds the bundle's Python in OUT: the shared libraries LIB... and
        the standard library copy STDLIB, with their debug information split
        off into DEBUG and no search path outside the bundle, and the pure
        Python modules compiled into lib/pythonXY.zip.
    lean_bundle.py finish DESTDIR PREFIX DEBUG FILES
        Run on an installed bundle: splits the debug information off every
        ELF file listed in FILES (one path a line, below DESTDIR, which may
        be empty: what this installation installed, and nothing else of
        PREFIX) that still has it, the application's packages aside.

Runs under the build's own interpreter, which is the version the bundle
ships, so the bytecode is the bundle's.
"""

import compileall
import importlib.util
import marshal
import os
import py_compile
import shutil
import subprocess
import sys
import zipfile

# Packages that read their own files through __file__ stay on disk: venv
# copies its activation scripts from beside itself.
ON_DISK = {"venv", "lib-dynload"}
# The application's packages, which python/ installs and makes lean itself.
APPLICATION_PACKAGES = "site-packages"
# A fixed date keeps the archive the same from build to build.
ZIP_DATE = (2020, 1, 1, 0, 0, 0)


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def sections(path):
    return subprocess.run(["readelf", "-S", "-W", path], check=True,
                          capture_output=True, text=True).stdout


def build_id(path):
    notes = subprocess.run(["readelf", "-n", path], check=True,
                           capture_output=True, text=True).stdout
    for line in notes.splitlines():
        line = line.strip()
        if line.startswith("Build ID:"):
            return line.split(":", 1)[1].strip()
    return None


def split_debug(path, debug_dir):
    """Moves the debug information of `path` into debug_dir, where gdb finds
    it by build ID (set debug-file-directory), and strips `path`."""
    present = sections(path)
    # A distribution's binaries come stripped, their debug information in
    # its debug packages (which gdb finds by build ID), and with a debug link
    # to a file that this build does not have: the link goes.
    foreign_link = ".gnu_debuglink" in present and ".debug_info" not in present
    if foreign_link:
        subprocess.run(["objcopy", "--remove-section=.gnu_debuglink", path], check=True)
    if ".debug_info" in present:
        bid = build_id(path)
        if bid:
            debug = os.path.join(debug_dir, ".build-id", bid[:2], bid[2:] + ".debug")
        else:
            debug = os.path.join(debug_dir, os.path.basename(path) + ".debug")
        os.makedirs(os.path.dirname(debug), exist_ok=True)
        subprocess.run(["objcopy", "--only-keep-debug", "--compress-debug-sections",
                        path, debug], check=True)
    elif ".symtab" not in present:
        return  # stripped already
    else:
        debug = None
    subprocess.run(["strip", "--strip-unneeded", "--remove-section=.comment",
                    "--remove-section=.note", path], check=True)
    if debug:
        subprocess.run(["objcopy", "--add-gnu-debuglink=" + debug, path], check=True)


def set_runpath(path, runpath):
    if runpath:
        subprocess.run(["patchelf", "--set-rpath", runpath, path], check=True)
    else:
        subprocess.run(["patchelf", "--remove-rpath", path], check=True)


def unchecked_pyc(source, name):
    """The bytes of an unchecked hash-based .pyc of `source`, whose code
    objects name `name` as their file."""
    code = compile(source, name, "exec", dont_inherit=True)
    flags = 0b01  # hash-based, not checked against a source
    return (importlib.util.MAGIC_NUMBER + flags.to_bytes(4, "little") +
            importlib.util.source_hash(source) + marshal.dumps(code))


def write_stdlib_zip(stdlib, archive):
    with zipfile.ZipFile(archive + ".tmp", "w", zipfile.ZIP_STORED) as z:
        for root, dirs, files in os.walk(stdlib):
            rel_root = os.path.relpath(root, stdlib)
            dirs[:] = sorted(d for d in dirs if d != "__pycache__" and
                             not (rel_root == "." and
                                  (d in ON_DISK or d == APPLICATION_PACKAGES)))
            for name in sorted(files):
                if not name.endswith(".py"):
                    continue
                rel = os.path.normpath(os.path.join(rel_root, name))
                with open(os.path.join(root, name), "rb") as f:
                    source = f.read()
                entry = zipfile.ZipInfo(rel + "c", ZIP_DATE)
                entry.external_attr = 0o644 << 16
                z.writestr(entry, unchecked_pyc(source, rel))
    os.replace(archive + ".tmp", archive)


def copy_file(source, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(source, target)
    os.chmod(target, 0o644)


def build_python(stdlib, final_out, debug_dir, libs):
    # Built beside, then put in place: an installation reading the previous
    # one meanwhile finds it whole.
    out = final_out + ".new"
    if os.path.exists(out):
        shutil.rmtree(out)
    lib = os.path.join(out, "lib")
    os.makedirs(lib)
    for path in libs:
        target = os.path.join(lib, os.path.basename(path))
        copy_file(path, target)
        # libpython3.so is a stub that needs the versioned library beside it.
        needs_sibling = subprocess.run(
            ["patchelf", "--print-needed", target], check=True, capture_output=True,
            text=True).stdout.count("libpython") > 0
        set_runpath(target, "$ORIGIN" if needs_sibling else "")
        split_debug(target, debug_dir)

    version = f"{sys.version_info[0]}{sys.version_info[1]}"
    write_stdlib_zip(stdlib, os.path.join(lib, f"python{version}.zip"))

    # On disk: the license, lib-dynload and the packages that must stay
    # files.
    stdlib_out = os.path.join(lib, os.path.basename(stdlib))
    for root, dirs, files in os.walk(stdlib):
        rel_root = os.path.relpath(root, stdlib)
        at_top = rel_root == "."
        dirs[:] = [d for d in dirs if d != "__pycache__" and (not at_top or d in ON_DISK)]
        os.makedirs(os.path.join(stdlib_out, rel_root), exist_ok=True)
        for name in files:
            if at_top and not name.endswith(".txt"):
                continue
            target = os.path.normpath(os.path.join(stdlib_out, rel_root, name))
            copy_file(os.path.join(root, name), target)
            if is_elf(target):
                set_runpath(target, "")
                split_debug(target, debug_dir)
    for package in ON_DISK - {"lib-dynload"}:
        compile_tree(os.path.join(stdlib_out, package))
    if os.path.exists(final_out):
        shutil.rmtree(final_out)
    os.rename(out, final_out)


def compile_tree(directory):
    # Checked against the source, so that the bytecode stays right whatever
    # an installation does to the files' times.
    if not compileall.compile_dir(
            directory, quiet=1,
            invalidation_mode=py_compile.PycInvalidationMode.CHECKED_HASH):
        sys.exit(f"lean_bundle: {directory} does not compile")


def finish(destdir, prefix, debug_dir, listing):
    with open(listing) as f:
        installed = [destdir + line for line in f.read().splitlines() if line]
    # The application's packages were stripped where that is safe when they
    # were prepared (python/lean_packages.py); what kept its symbols there
    # must keep them.
    packages = os.sep + APPLICATION_PACKAGES + os.sep
    for path in installed:
        if packages in path:
            continue
        if os.path.isfile(path) and not os.path.islink(path) and is_elf(path):
            split_debug(path, debug_dir)


def main(argv):
    if len(argv) >= 5 and argv[1] == "python":
        build_python(argv[2], argv[3], argv[4], argv[5:])
    elif len(argv) == 6 and argv[1] == "finish":
        finish(argv[2], argv[3], argv[4], argv[5])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
