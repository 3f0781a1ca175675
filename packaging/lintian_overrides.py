"""Writes the package's lintian overrides: the project's own (BASE), and
those that the application's packages need, each with its reason; only
those of tags that this lintian knows (it names an override of any other
tag an error).

    lintian_overrides.py BASE SITE_PACKAGES INSTALLED_AT PACKAGE OUT

SITE_PACKAGES is the application's packages as installation ships them
(python/lean_packages.py), INSTALLED_AT where the package puts them
(usr/lib/.../site-packages). What the wheels bring differs from one
application to the next, and lintian reports an override that matches
nothing, so each is written only where lintian's own check would fire:
the conditions below are lintian's.
"""

import os
import re
import subprocess
import sys

# lintian's table of the libraries it recognises inside other binaries.
EMBEDDED_LIBS = "/usr/share/lintian/data/binaries/embedded-libs"

REASONS = {
    "package-installs-python-pycache-dir":
        "Bytecode of the application's packages for the bundle's own CPython, compiled when "
        "the package was built, so that nothing is compiled at run time.",
    "embedded-library":
        "A wheel of the application's packages carries its own build of this library, as "
        "wheels carry what they link; only that package's modules load it.",
    "shared-library-lacks-prerequisites":
        "An extension module of the application's packages: it takes the interpreter's "
        "symbols from the process that imports it.",
    "library-not-linked-against-libc":
        "An extension module of the application's packages: it takes libc's symbols from the "
        "process that imports it.",
    "repeated-path-segment":
        "A folder of one of the application's packages, named as the package's code "
        "imports it.",
}


def elf_type_and_needed(path):
    """('DYN'|'EXEC'|..., [NEEDED...]) of an ELF file, or None."""
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            return None
    header = subprocess.run(["readelf", "-h", "-d", "-W", path], capture_output=True,
                            text=True).stdout
    kind = re.search(r"Type:\s+(\w+)", header)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", header)
    return (kind.group(1) if kind else "", needed)


def embedded_patterns():
    """(libname, regex) of lintian's table, where Python reads the regex."""
    patterns = []
    try:
        with open(EMBEDDED_LIBS, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError:
        return patterns
    for line in lines:
        if not line.strip() or line.lstrip().startswith("#") or "||" not in line:
            continue
        key, options, regex = (part for part in (line.split("||", 2) + ["", ""])[:3])
        libname = key.strip()
        for option in options.split():
            if option.startswith("libname="):
                libname = option.split("=", 1)[1]
        try:
            patterns.append((libname, re.compile(regex)))
        except re.error:
            pass
    return patterns


def overrides(site, installed_at):
    """(tag, context) of every hint lintian gives the packages."""
    found = []
    patterns = embedded_patterns()
    if any("__pycache__" in dirs for _, dirs, _ in os.walk(site)):
        found.append(("package-installs-python-pycache-dir", f"[{installed_at}/*__pycache__/]"))
    for root, dirs, files in os.walk(site):
        dirs.sort()
        relative_root = os.path.relpath(root, site)
        for name in dirs:
            # lintian: a folder whose name is already one of its parents'.
            path = os.path.normpath(os.path.join(installed_at, relative_root, name))
            segments = path.split("/")
            if segments.count(name) > 1:
                found.append(("repeated-path-segment", f"{name} [{path}/]"))
        for name in sorted(files):
            path = os.path.join(root, name)
            if os.path.islink(path):
                continue
            elf = elf_type_and_needed(path)
            if elf is None:
                continue
            packaged = os.path.normpath(os.path.join(installed_at, relative_root, name))
            kind, needed = elf
            shared = kind == "DYN"
            if shared and not needed:
                found.append(("shared-library-lacks-prerequisites", f"[{packaged}]"))
            if (shared and needed and
                    not any(n.startswith("libc.so.") for n in needed) and
                    not re.search(r"/libc\b", packaged)):
                found.append(("library-not-linked-against-libc", f"[{packaged}]"))
            if patterns:
                strings = subprocess.run(["strings", "--all", "--", path], capture_output=True
                                         ).stdout.decode("utf-8", "replace")
                for libname, regex in patterns:
                    if regex.search(strings):
                        found.append(("embedded-library", f"{libname} [{packaged}]"))
    return found


def known_tags():
    """The tags this lintian knows, or None when it cannot tell: an override
    of a tag it does not know is an error of its own (alien-tag)."""
    try:
        listed = subprocess.run(["lintian-explain-tags", "--list-tags"], check=True,
                                capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return set(listed.split())


def of_known_tags(text, known):
    """The overrides in `text` (each below its reason) whose tag is in
    `known`; all of them where `known` is None."""
    kept = []
    reason = None
    for line in text.splitlines():
        if line.startswith("#"):
            reason = line
            continue
        match = re.match(r"[^:]+: (\S+)", line)
        if match and (known is None or match.group(1) in known):
            kept += [reason, line] if reason is not None else [line]
        elif match:
            print(f"lintian knows no tag {match.group(1)}: its override is left out")
        reason = None
    return "".join(line + "\n" for line in kept)


def main(argv):
    if len(argv) != 6:
        sys.exit(__doc__)
    base, site, installed_at, package, out = argv[1:]
    with open(base, encoding="utf-8") as f:
        text = f.read()
    for tag, context in overrides(site, installed_at.strip("/")):
        text += f"# {REASONS[tag]}\n{package}: {tag} {context}\n"
    text = of_known_tags(text, known_tags())
    with open(out + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(out + ".tmp", out)


if __name__ == "__main__":
    main(sys.argv)
