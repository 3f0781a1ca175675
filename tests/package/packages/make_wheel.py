"""Makes a wheel, as a build backend would, for the tests' local wheels.

    make_wheel.py OUT_DIR NAME VERSION TAG ARCNAME=FILE...

TAG is the wheel's python-abi-platform tag; "@PLATFORM@" in it stands for
this machine's platform tag (linux_x86_64). Prints the wheel's path.
"""

import base64
import hashlib
import os
import sys
import sysconfig
import zipfile


def record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}\n"


def platform_tag():
    return sysconfig.get_platform().replace("-", "_").replace(".", "_")


def make_wheel(out_dir, name, version, tag, files):
    tag = tag.replace("@PLATFORM@", platform_tag())
    dist_info = f"{name}-{version}.dist-info"
    contents = []
    for arcname, path in files:
        with open(path, "rb") as f:
            contents.append((arcname, f.read()))
    contents.append((f"{dist_info}/METADATA",
                     f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n".encode()))
    pure = "true" if tag.endswith("-any") else "false"
    contents.append((f"{dist_info}/WHEEL",
                     f"Wheel-Version: 1.0\nGenerator: make_wheel\nRoot-Is-Purelib: {pure}\n"
                     f"Tag: {tag}\n".encode()))
    record = "".join(record_line(arcname, data) for arcname, data in contents)
    record += f"{dist_info}/RECORD,,\n"
    contents.append((f"{dist_info}/RECORD", record.encode()))
    os.makedirs(out_dir, exist_ok=True)
    wheel = os.path.join(out_dir, f"{name}-{version}-{tag}.whl")
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in contents:
            entry = zipfile.ZipInfo(arcname, (2020, 1, 1, 0, 0, 0))
            entry.external_attr = 0o644 << 16
            z.writestr(entry, data)
    return wheel


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    files = [item.split("=", 1) for item in argv[5:]]
    print(make_wheel(argv[1], argv[2], argv[3], argv[4], files))


if __name__ == "__main__":
    main(sys.argv)
