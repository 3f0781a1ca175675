"""A build backend (PEP 517) for the one package in this folder."""

import base64
import hashlib
import os
import zipfile

NAME, VERSION = "norvale_local_probe", "2.0"
DIST_INFO = f"{NAME}-{VERSION}.dist-info"


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    here = os.path.dirname(os.path.abspath(__file__))
    contents = []
    for name in ("__init__.py", "greeting.txt"):
        with open(os.path.join(here, NAME, name), "rb") as f:
            contents.append((f"{NAME}/{name}", f.read()))
    contents.append((f"{DIST_INFO}/METADATA",
                     f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {VERSION}\n".encode()))
    contents.append((f"{DIST_INFO}/WHEEL",
                     b"Wheel-Version: 1.0\nGenerator: backend\nRoot-Is-Purelib: true\n"
                     b"Tag: py3-none-any\n"))
    contents.append((f"{DIST_INFO}/entry_points.txt",
                     f"[norvale.probes]\nlocal = {NAME}:greeting\n".encode()))
    record = ""
    for arcname, data in contents:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record += f"{arcname},sha256={digest},{len(data)}\n"
    contents.append((f"{DIST_INFO}/RECORD", (record + f"{DIST_INFO}/RECORD,,\n").encode()))
    wheel = f"{NAME}-{VERSION}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w") as z:
        for arcname, data in contents:
            z.writestr(zipfile.ZipInfo(arcname, (2020, 1, 1, 0, 0, 0)), data)
    return wheel
