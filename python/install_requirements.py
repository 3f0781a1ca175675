"""Installs the packages that an application's requirements file names into
the bundle's site-packages, with the bundle's own CPython's pip.

    install_requirements.py --input FILE --site-packages DIR --work DIR
                            --cache DIR --stamp FILE

FILE holds two lines, written by the build: the requirements file (empty
for none) and the name of the target that asked for it (for messages).

Runs under the bundle's CPython, the build's, so that pip chooses the
distributions for its version, ABI and platform. pip installs into a
staging directory; only a complete installation replaces the bundle's
site-packages, so a failure leaves the bundle as it was. The requirements,
the local files they name, this script and the interpreter make a key kept
beside the packages: while it is unchanged, nothing is installed again.
The files the key covers are written to the depfile packages.d in the work
directory, for the build to watch.
"""

import argparse
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig

MARKER = ".norvale-requirements"
# Options of a requirements file whose value names a file or folder.
NESTED = {"-r", "--requirement", "-c", "--constraint"}
FIND_LINKS = {"-f", "--find-links"}
EDITABLE = {"-e", "--editable"}
ARCHIVE = re.compile(r"\.(whl|zip|tar\.gz|tgz|tar\.bz2|tar\.xz|tar)$")
NETWORK_TROUBLE = re.compile(
    r"NewConnectionError|Failed to establish a new connection|Temporary failure in name "
    r"resolution|Name or service not known|Network is unreachable|ConnectTimeout|"
    r"ProxyError|Connection refused|Could not fetch URL|Read timed out")


class Failure(Exception):
    """What to tell the developer: the package, and why."""

    def __init__(self, package, reason, details=""):
        super().__init__(f"{package}: {reason}")
        self.package, self.reason, self.details = package, reason, details


def logical_lines(path):
    """(number, text) of each line of a requirements file, continuation
    lines joined and comments dropped, as pip reads them."""
    with open(path, encoding="utf-8") as f:
        physical = f.read().splitlines()
    pending, start = "", 0
    for number, line in enumerate(physical, 1):
        if not pending:
            start = number
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        text = re.sub(r"(^|\s)#.*$", "", pending + line).strip()
        pending = ""
        if text:
            yield start, text


def local_path(text, base):
    """The local file or folder a requirement names, or None."""
    if text.startswith("file:"):
        path = re.sub(r"^file:(//)?", "", text)
    elif "@" in text and " @ " in text:
        url = text.split(" @ ", 1)[1].strip().split(";")[0].strip()
        return local_path(url, base) if url.startswith("file:") else None
    elif text.startswith((".", "/", "~")) or ARCHIVE.search(text.split(";")[0].strip()):
        path = text.split(";")[0].strip()
        if " " in path:
            path = path.split()[0]
    else:
        return None
    path = os.path.join(base, os.path.expanduser(path.split("#")[0]))
    return os.path.normpath(path)


def split_option(text):
    try:
        return shlex.split(text)
    except ValueError:  # unbalanced quotes: pip will say what is wrong
        return text.split()


def inputs(top):
    """The files whose content decides the installation: the requirements
    files, nested ones included, and the local distributions they name.
    Raises Failure for what cannot go into a bundle."""
    requirement_files, local_files = [], []

    def read(requirements):
        if requirements in requirement_files:
            return
        if not os.path.isfile(requirements):
            raise Failure(requirements, "the requirements file does not exist")
        requirement_files.append(requirements)
        here = os.path.dirname(requirements)
        for number, text in logical_lines(requirements):
            words = split_option(text) if text.startswith("-") else [text]
            option, _, inline = words[0].partition("=")
            value = inline or (words[1] if len(words) > 1 else "")
            if option in EDITABLE:
                raise Failure(value or text, f"line {number} of {requirements} asks for an "
                              "editable install, which would leave the bundle pointing at the "
                              "source folder; name the folder without -e")
            if option in NESTED and value:
                # Nested files are read relative to the file that names them.
                read(os.path.normpath(os.path.join(here, value)))
            elif option in FIND_LINKS and value and "://" not in value:
                local_files.extend(files_below(os.path.join(here, value)))
            elif not text.startswith("-"):
                # Local distributions are relative to pip's working
                # directory, which is the top requirements file's folder.
                path = local_path(text, os.path.dirname(top))
                if path and os.path.isfile(path):
                    local_files.append(path)
                elif path and os.path.isdir(path):
                    local_files.extend(files_below(path))

    read(top)
    return requirement_files, local_files


def files_below(folder):
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if d not in {"__pycache__", ".git", "build"} and
                         not d.endswith(".egg-info"))
        found.extend(os.path.join(root, name) for name in sorted(files))
    return found


def key_of(files):
    digest = hashlib.sha256()
    with open(__file__, "rb") as f:
        digest.update(f.read())
    digest.update(f"{sys.version}\n{sysconfig.get_platform()}\n".encode())
    for path in files:
        digest.update(path.encode() + b"\0")
        with open(path, "rb") as f:
            digest.update(hashlib.sha256(f.read()).digest())
    return digest.hexdigest()


def write_depfile(depfile, stamp, files):
    def escaped(path):
        return path.replace("\\", "\\\\").replace(" ", "\\ ").replace("#", "\\#").replace("$", "$$")
    with open(depfile + ".tmp", "w", encoding="utf-8") as f:
        f.write(escaped(stamp) + ":")
        for path in files:
            f.write(" \\\n  " + escaped(path))
        f.write("\n")
    os.replace(depfile + ".tmp", depfile)


def pip_environment():
    env = dict(os.environ)
    # The developer's pip configuration (index, proxy, certificates) stays;
    # what would send the installation elsewhere, stop it, or hand the
    # build's interpreter another library (in build backends pip starts),
    # does not.
    for name in ("PIP_TARGET", "PIP_PREFIX", "PIP_ROOT", "PIP_USER", "PIP_EDITABLE",
                 "PIP_REQUIRE_VIRTUALENV", "PIP_REQUIRE_VENV", "PYTHONHOME", "PYTHONPATH"):
        env.pop(name, None)
    env.update(PIP_USER="0", PIP_REQUIRE_VIRTUALENV="0", PIP_ROOT_USER_ACTION="ignore",
               PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", PIP_PROGRESS_BAR="off")
    return env


def check_pip():
    probe = subprocess.run([sys.executable, "-I", "-c", "import pip; print(pip.__version__)"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        raise Failure("pip", f"the bundle's CPython ({sys.executable}) has no pip; install it "
                      f"({sys.executable} -m ensurepip, or Debian's python3-pip)")
    version = tuple(int(part) for part in re.findall(r"\d+", probe.stdout)[:2])
    if version < (22, 2):
        raise Failure("pip", f"pip {probe.stdout.strip()} of {sys.executable} is too old; "
                      "22.2 or later is needed")


def this_python():
    impl = sys.implementation
    return (f"CPython {sys.version_info[0]}.{sys.version_info[1]} "
            f"({impl.cache_tag.replace('cpython-', 'cp')}, {sysconfig.get_platform()})")


def error_block(output):
    """pip's ERROR lines with the indented lines that belong to them, and
    the network warnings, as pip printed them."""
    lines, keep = [], False
    for line in output.splitlines():
        if line.startswith("ERROR:"):
            keep = True
        elif line and not line[0].isspace():
            keep = False
        if line.strip() and (keep or (line.startswith("WARNING:") and
                                      NETWORK_TROUBLE.search(line))):
            lines.append(line)
    return "\n".join(lines)


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def only_binary(requirement_files, requirement):
    """Whether the requirements or pip's configuration rule out building
    the package of `requirement` from source."""
    name = canonical(re.match(r"[A-Za-z0-9._-]*", requirement).group(0))
    values = [os.environ.get("PIP_ONLY_BINARY", "")]
    for path in requirement_files:
        for _, text in logical_lines(path):
            words = split_option(text) if text.startswith("--only-binary") else []
            if words:
                option, _, inline = words[0].partition("=")
                values.append(inline or (words[1] if len(words) > 1 else ""))
    names = {canonical(item) for value in values for item in value.split(",") if item}
    return (":all:" in names or name in names) and ":none:" not in names


def explain(output, requirement_files):
    """The package and pip's reason, from pip's output."""
    errors = error_block(output)
    m = re.search(r"Invalid requirement: '([^']*)'(?::\s*(.*))?", output)
    if m:
        where = re.search(r"\(from line (\d+) of ([^)]*)\)", output)
        place = f"line {where.group(1)} of {where.group(2)}" if where else "a line"
        reason = f"{place} is not a valid requirement"
        if m.group(2):
            reason += f" ({m.group(2).strip()})"
        return Failure(m.group(1), reason, errors)
    m = re.search(r"^ERROR: (?:.*\n)*?.*no such option: (\S+)", output, re.M)
    if m:
        return Failure(m.group(1), "the requirements file uses an option that pip does not know",
                       errors)
    if "DO NOT MATCH THE HASHES" in output:
        names = re.findall(r"^\s{4}(\S+) from ", output, re.M)
        return Failure(", ".join(names) or "a package",
                       "its download does not match the hash that the requirements file gives",
                       errors)
    if "Hashes are required in --require-hashes mode" in output:
        names = re.findall(r"^\s{4}(\S+) --hash=", output, re.M)
        return Failure(", ".join(names) or "a package",
                       "it has no hash, and with one requirement hashed every one must be",
                       errors)
    m = re.search(r"Cannot install (.+?) because these package versions have conflicting "
                  r"dependencies", output)
    if m or "ResolutionImpossible" in output:
        cause = re.findall(r"^\s{4}(.+)$", output.split("The conflict is caused by:", 1)[-1],
                           re.M) if "The conflict is caused by:" in output else []
        package = m.group(1) if m else "the requirements"
        reason = "the requirements conflict"
        if cause:
            reason += ": " + "; ".join(c.strip() for c in cause[:6])
        return Failure(package, reason, errors)
    m = re.search(r"No matching distribution found for (\S+)", output)
    if m:
        package = m.group(1)
        versions = re.search(r"satisfies the requirement \S+ \(from versions: ([^)]*)\)", output)
        seen = versions.group(1).strip() if versions else "none"
        listed = seen.split(", ")
        if len(listed) > 8:
            seen = ", ".join(["..."] + listed[-8:])
        if NETWORK_TROUBLE.search(output):
            reason = ("the package index could not be reached (no network?), and no download "
                      "of it is cached")
        elif only_binary(requirement_files, package):
            reason = (f"no wheel of a version it allows fits {this_python()}, and "
                      f"--only-binary rules out building it from source (versions with a "
                      f"wheel that fits: {seen})")
        elif seen == "none":
            reason = f"the package index has no distribution of it for {this_python()}"
        else:
            reason = (f"no version it allows can be installed on {this_python()} "
                      f"(versions found: {seen})")
        return Failure(package, reason, errors)
    m = re.search(r"ERROR: (\S+\.whl) is not a supported wheel on this platform", output)
    if m:
        return Failure(m.group(1), f"the wheel is not built for {this_python()}", errors)
    m = re.search(r"Failed (?:building wheel for|to build) (\S+)", output) or \
        re.search(r"Could not build wheels for (\S+)", output)
    if m:
        return Failure(m.group(1).rstrip(","), "building it from source failed", errors)
    m = re.search(r"No such file or directory: '([^']*)'", output)
    if m:
        return Failure(m.group(1), "the file does not exist", errors)
    m = re.search(r"^ERROR: (.*)$", output, re.M)
    return Failure("the requirements", m.group(1) if m else "pip failed", errors)


def run_pip(requirements, stage, cache, log_path, report_path, requirement_files):
    command = [sys.executable, "-I", "-m", "pip", "install", "--target", stage, "--no-compile",
               "--no-warn-script-location", "--cache-dir", cache, "--report", report_path,
               "-r", requirements]
    result = subprocess.run(command, cwd=os.path.dirname(requirements), env=pip_environment(),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    with open(log_path, "w", encoding="utf-8") as log:
        log.write(shlex.join(command) + "\n\n" + result.stdout)
    if result.returncode != 0:
        raise explain(result.stdout, requirement_files)


def rpath_entries(path):
    if not shutil.which("patchelf"):
        raise Failure("patchelf", "it is needed to check the packages' library search paths "
                      "(Debian's package patchelf)")
    result = subprocess.run(["patchelf", "--print-rpath", path], capture_output=True, text=True)
    if result.returncode != 0:
        return None
    return [entry for entry in result.stdout.strip().split(":") if entry]


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def keep_search_paths_inside(stage, bundle_root_from_stage):
    """Drops every library search path of the installed ELF files that
    leaves the bundle (a path on the build machine, one that climbs out):
    the wheels' own ($ORIGIN/../numpy.libs and the like) stay."""
    changed = []
    for root, _, files in os.walk(stage):
        for name in files:
            path = os.path.join(root, name)
            if os.path.islink(path) or not is_elf(path):
                continue
            entries = rpath_entries(path)
            if not entries:
                continue
            kept = []
            for entry in entries:
                if not entry.startswith(("$ORIGIN", "${ORIGIN}")):
                    continue
                rest = entry.split("ORIGIN", 1)[1].lstrip("}")
                target = os.path.normpath(os.path.dirname(path) + rest)
                bundle = os.path.normpath(os.path.join(stage, bundle_root_from_stage))
                if target == bundle or target.startswith(bundle + os.sep):
                    kept.append(entry)
            if kept != entries:
                command = (["patchelf", "--set-rpath", ":".join(kept), path] if kept else
                           ["patchelf", "--remove-rpath", path])
                subprocess.run(command, check=True)
                changed.append(os.path.relpath(path, stage))
    return changed


def put_in_place(stage, site_packages):
    """Replaces site-packages with the staged one; whoever looks meanwhile
    finds one or the other whole."""
    os.makedirs(os.path.dirname(site_packages), exist_ok=True)
    old = site_packages + ".old"
    if os.path.exists(old):
        shutil.rmtree(old)
    new = site_packages + ".new"
    if os.path.exists(new):
        shutil.rmtree(new)
    try:
        os.rename(stage, new)
    except OSError:  # the bundle on another file system than the build's work
        shutil.copytree(stage, new, symlinks=True)
        shutil.rmtree(stage)
    if os.path.exists(site_packages):
        os.rename(site_packages, old)
    os.rename(new, site_packages)
    if os.path.exists(old):
        shutil.rmtree(old)


def installed_summary(report_path):
    try:
        with open(report_path, encoding="utf-8") as f:
            report = json.load(f)
        return ", ".join(f"{item['metadata']['name']} {item['metadata']['version']}"
                         for item in report.get("install", []))
    except (OSError, ValueError, KeyError):
        return "?"


def install(args):
    with open(args.input, encoding="utf-8") as f:
        fields = f.read().split("\n")
    requirements, owner = (fields + ["", ""])[:2]
    requirements = os.path.abspath(requirements) if requirements else ""
    owner = owner or "norvale_add_python_program"
    os.makedirs(args.work, exist_ok=True)
    depfile = os.path.join(args.work, "packages.d")
    marker = os.path.join(args.site_packages, MARKER)
    try:
        requirement_files, local_files = inputs(requirements) if requirements else ([], [])
        files = requirement_files + local_files
        write_depfile(depfile, args.stamp, files)
        key = key_of(files)
        try:
            with open(marker, encoding="utf-8") as f:
                installed_key = f.read().strip()
        except OSError:
            installed_key = None
        if installed_key == key:
            if requirements:
                print(f"{owner}: the bundle's packages are up to date with {requirements}")
        else:
            stage = os.path.join(args.work, "site-packages.new")
            if os.path.exists(stage):
                shutil.rmtree(stage)
            os.makedirs(stage)
            summary = "nothing (no requirements)"
            log = os.path.join(args.work, "pip.log")
            if os.path.exists(log):
                os.remove(log)
            if requirements:
                check_pip()
                report = os.path.join(args.work, "pip-report.json")
                run_pip(requirements, stage, args.cache, log, report, requirement_files)
                summary = installed_summary(report)
                # Scripts whose first line names the build's interpreter.
                shutil.rmtree(os.path.join(stage, "bin"), ignore_errors=True)
                changed = keep_search_paths_inside(stage, os.path.join("..", "..", ".."))
                for path in changed:
                    print(f"{owner}: {path}: library search paths outside the bundle dropped")
            with open(os.path.join(stage, MARKER), "w", encoding="utf-8") as f:
                f.write(key + "\n")
            put_in_place(stage, args.site_packages)
            print(f"{owner}: installed into the bundle: {summary}")
    except Failure as failure:
        where = f" (from {requirements})" if requirements else ""
        message = f"{owner}: cannot install {failure.package}{where}: {failure.reason}."
        if failure.details:
            message += "\npip said:\n" + "\n".join("  " + line
                                                   for line in failure.details.splitlines())
        log = os.path.join(args.work, "pip.log")
        message += "\nNothing was installed into the bundle."
        if os.path.exists(log) and failure.details:
            message += f" pip's whole output: {log}"
        print(message, file=sys.stderr)
        return 1
    with open(args.stamp, "w", encoding="utf-8") as f:
        f.write(key + "\n")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--input", "--site-packages", "--work", "--cache", "--stamp"):
        parser.add_argument(option, required=True)
    return install(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
