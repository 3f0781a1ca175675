"""Prepares the application's packages for installation, as the bundle's
Python is prepared (packaging/lean_bundle.py).

    lean_packages.py SITE OUT DEBUG

Builds in OUT a copy of the bundle's site-packages SITE in which:
- every module has its bytecode beside it, compiled now, so that a
  read-only install never compiles; the bytecode is hash-based and not
  checked against the source at import, as the installed files do not
  change. The sources stay: packages read them (inspect, tracebacks);
- the debug information and symbol tables of the extension modules and of
  the libraries the wheels carry are split off into DEBUG (where gdb finds
  them by build ID), but only where the stripped file maps into memory byte
  for byte as the original does. GNU strip rewrites the string tables of
  files that auditwheel extended with patchelf; LLVM's strip, tried next,
  keeps them; a file that neither strips safely stays as the wheel has it;
- file modes say what a file is: only programs (ELF executables and
  scripts for an interpreter other than Python) are executable; libraries,
  modules and data are not (wheels often mark them so; Python's own
  modules are imported by the bundle's CPython, never run through the
  first line's interpreter);
- nothing else changes: the dist-info folders stay, so importlib.metadata
  finds each distribution.

Runs under the bundle's CPython (the build's), so the bytecode is its own.
"""

import compileall
import os
import py_compile
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
import lean_bundle  # noqa: E402

MARKER = ".norvale-requirements"
PT_LOAD = 1
PT_INTERP = 3


def memory_image(path):
    """What the dynamic loader maps of an ELF file: each segment's type,
    flags and address; for loadable ones the pages they cover and their
    bytes (a zero tail aside, which strip may cut from a string table); for
    the others their size. None for what this cannot read (not 64-bit
    little-endian)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        return None
    # Where the section headers are is no concern of the loader's.
    data = data[:0x28] + bytes(8) + data[0x30:0x3a] + bytes(6) + data[0x40:]
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    headers = [struct.unpack_from("<IIQQQQQQ", data, phoff + i * phentsize) for i in range(phnum)]
    # Nor where in the file a segment lies: the bytes mapped are compared.
    data = bytearray(data)
    for i in range(phnum):
        data[phoff + i * phentsize + 8:phoff + i * phentsize + 16] = bytes(8)
    image = []
    for kind, flags, offset, vaddr, _, filesz, memsz, align in headers:
        if kind == PT_LOAD:
            page = max(align, 4096)
            end = -(-(vaddr + memsz) // page) * page
            mapped = bytes(data[offset:offset + filesz]) + bytes(memsz - filesz)
            image.append((kind, flags, vaddr, end, mapped.rstrip(b"\0")))
        else:
            image.append((kind, flags, vaddr, memsz))
    return image


def is_program(path):
    """An ELF executable (it names its interpreter), or a script for one
    that is not Python."""
    with open(path, "rb") as f:
        head = f.read(256)
    if head[:4] == b"\x7fELF":
        image = memory_image(path)
        return image is not None and any(segment[0] == PT_INTERP for segment in image)
    if head[:2] == b"#!":
        return b"python" not in head.split(b"\n", 1)[0]
    return False


def set_modes(root):
    for directory, dirs, files in os.walk(root):
        os.chmod(directory, 0o755)
        for name in files:
            path = os.path.join(directory, name)
            if not os.path.islink(path):
                executable = os.stat(path).st_mode & 0o111 and is_program(path)
                os.chmod(path, 0o755 if executable else 0o644)


def has_symbols_or_debug(path):
    present = lean_bundle.sections(path)
    return ".symtab" in present or ".debug_" in present


def llvm_tool(name):
    """LLVM's binutils, which keep what is mapped where it was: GNU strip
    rewrites the string tables of files that patchelf has extended."""
    found = shutil.which(name)
    if found:
        return found
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        if os.path.isdir(directory):
            versions = sorted((entry for entry in os.listdir(directory)
                               if re.fullmatch(re.escape(name) + r"-\d+", entry)),
                              key=lambda entry: int(entry.rsplit("-", 1)[1]))
            if versions:
                return os.path.join(directory, versions[-1])
    return None


def llvm_split_debug(path, debug_dir):
    strip, objcopy = llvm_tool("llvm-strip"), llvm_tool("llvm-objcopy")
    if not strip or not objcopy:
        return False
    debug = None
    if ".debug_info" in lean_bundle.sections(path):
        bid = lean_bundle.build_id(path)
        if bid:
            debug = os.path.join(debug_dir, ".build-id", bid[:2], bid[2:] + ".debug")
            os.makedirs(os.path.dirname(debug), exist_ok=True)
            subprocess.run(["objcopy", "--only-keep-debug", "--compress-debug-sections",
                            path, debug], check=True)
    subprocess.run([strip, "--strip-unneeded", "--remove-section=.comment", path], check=True)
    if debug:
        subprocess.run([objcopy, "--add-gnu-debuglink=" + debug, path], check=True)
    return True


def gnu_split_debug(path, debug_dir):
    lean_bundle.split_debug(path, debug_dir)
    return True


def strip_if_safe(path, debug_dir):
    """Splits the debug information and symbols off `path` if the stripped
    file maps into memory exactly as the original; True when it did."""
    before = memory_image(path)
    if before is None:
        return False
    trial = path + ".stripping"
    try:
        for split in (gnu_split_debug, llvm_split_debug):
            shutil.copy2(path, trial)
            if split(trial, debug_dir) and memory_image(trial) == before:
                os.replace(trial, path)
                return True
        return False
    finally:
        if os.path.exists(trial):
            os.remove(trial)


def compile_all(directory):
    # Files that do not compile (templates, another Python's code) cannot be
    # imported either; they stay as they are.
    compileall.compile_dir(directory, quiet=2, workers=0,
                           invalidation_mode=py_compile.PycInvalidationMode.UNCHECKED_HASH)


def build(site, final_out, debug_dir):
    out = final_out + ".new"
    if os.path.exists(out):
        shutil.rmtree(out)
    if os.path.isdir(site):
        # Bytecode caches are made afresh; a module shipped as bytecode
        # alone (module.pyc beside its package's files) stays.
        shutil.copytree(site, out, symlinks=True,
                        ignore=shutil.ignore_patterns("__pycache__", MARKER))
    else:
        os.makedirs(out)
    kept = []
    for root, _, files in os.walk(out):
        for name in sorted(files):
            path = os.path.join(root, name)
            if os.path.islink(path) or not lean_bundle.is_elf(path):
                continue
            if has_symbols_or_debug(path) and not strip_if_safe(path, debug_dir):
                kept.append(os.path.relpath(path, out))
    compile_all(out)
    set_modes(out)
    # Read by the tests: what kept its symbols because stripping it was unsafe.
    with open(final_out + ".unstripped.txt", "w", encoding="utf-8") as f:
        f.writelines(path + "\n" for path in kept)
    if os.path.exists(final_out):
        shutil.rmtree(final_out)
    os.rename(out, final_out)


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    build(argv[1], argv[2], argv[3])


if __name__ == "__main__":
    main(sys.argv)
