"""An application's program that uses real packages from PyPI, each for
what it is for, and says what it found, one line each. The tests run it
from a read-only install with the build's Python hidden."""

import sys

compiled = []


def audit(event, args):
    if event == "compile" and isinstance(args[1], str) and args[1].endswith(".py"):
        compiled.append(args[1])


sys.addaudithook(audit)

import importlib.metadata as metadata  # noqa: E402
import io  # noqa: E402
import os  # noqa: E402

BUNDLE = os.path.realpath(sys.prefix)
SYSTEM = ("/usr/lib/", "/lib/", "/usr/lib64/", "/lib64/")


def inside(path):
    return os.path.realpath(path).startswith(BUNDLE + os.sep)


def mapped_libraries():
    with open("/proc/self/maps", encoding="utf-8") as maps:
        return sorted({line.split()[-1] for line in maps if ".so" in line and "/" in line})


def numpy_line():
    import numpy as np
    solved = np.linalg.solve(np.array([[2.0, 1.0], [1.0, 3.0]]), np.array([3.0, 5.0]))
    openblas = [path for path in mapped_libraries() if "openblas" in path]
    where = "inside the bundle" if openblas and all(map(inside, openblas)) else openblas
    return f"numpy solve {solved.round(6).tolist()} with OpenBLAS {where}"


def pydantic_line():
    from pydantic import BaseModel, ValidationError

    class Person(BaseModel):
        name: str
        age: int

    person = Person.model_validate({"name": "Ada", "age": "36"})
    try:
        Person(name="Bob", age="old")
        invalid = "accepted"
    except ValidationError as error:
        invalid = error.errors()[0]["loc"]
    return f"pydantic {person.name} {person.age!r}, refused {invalid}"


def fernet_line():
    from cryptography.fernet import Fernet
    fernet = Fernet(Fernet.generate_key())
    token = fernet.encrypt(b"norvale")
    return f"fernet {fernet.decrypt(token).decode()} (token of {len(token)} bytes)"


def pillow_line():
    from PIL import Image
    source = io.BytesIO()
    Image.new("RGB", (64, 48), (200, 30, 30)).save(source, "PNG")
    source.seek(0)
    with Image.open(source) as opened:
        scaled = opened.resize((16, 12))
        size = opened.size
    saved = io.BytesIO()
    scaled.save(saved, "JPEG")
    saved.seek(0)
    with Image.open(saved) as back:
        return f"pillow {size} -> {back.size} {back.format} {back.getpixel((8, 6))[0] > 150}"


def certifi_line():
    import certifi
    where = certifi.where()
    with open(where, encoding="ascii") as pem:
        certificates = pem.read().count("-----BEGIN CERTIFICATE-----")
    return f"certifi {'inside the bundle' if inside(where) else where}, {certificates > 50}"


def metadata_lines():
    import numpy
    import norvale_local_probe
    import norvale_zstd_probe
    found = {dist.metadata["Name"].lower().replace("_", "-") for dist in metadata.distributions()
             if inside(str(dist.locate_file("")))}
    wanted = {"numpy", "pydantic", "pydantic-core", "cryptography", "pillow", "certifi",
              "psutil", "norvale-zstd-probe", "norvale-local-probe"}
    f2py = metadata.entry_points(group="console_scripts", name="f2py")
    probes = metadata.entry_points(group="norvale.probes")
    return [
        f"metadata numpy {metadata.version('numpy') == numpy.__version__}, "
        f"missing {sorted(wanted - found)}, colorama {'colorama' in found}",
        f"entry point f2py {[e.value for e in f2py]} loads {callable(next(iter(f2py)).load())}",
        f"entry point local {[e.load()() for e in probes]}",
        f"local wheel zstd {norvale_zstd_probe.zstd_version() >= 10000}, "
        f"local folder {norvale_local_probe.greeting()!r}",
    ]


def main():
    lines = [numpy_line(), pydantic_line(), fernet_line(), pillow_line(), certifi_line()]
    lines += metadata_lines()
    elsewhere = [path for path in mapped_libraries()
                 if not inside(path) and not path.startswith(SYSTEM)]
    lines.append(f"libraries from elsewhere {elsewhere}")
    lines.append(f"sys.path outside the bundle {[p for p in sys.path if not inside(p)]}")
    lines.append(f"executable inside the bundle {inside(sys.executable)}")
    lines.append(f"compiled {compiled}")
    for line in lines:
        print(line)


if __name__ == "__main__":
    main()
