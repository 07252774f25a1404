"""Adds the licence texts of the third-party libraries a wheel carries to the wheel, as
NAME.dist-info/licenses/third-party/..., each listed in METADATA as a License-File, and rewrites
RECORD. Running it again on the same wheel replaces what an earlier run added.

    python scripts/wheel_licenses.py LICENSES_DIR WHEEL...
"""

import base64
import hashlib
import os
import sys
import zipfile

PREFIX = "third-party/"


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def texts(licenses):
    """{path under licenses/: bytes} of every file in the folder LICENSES_DIR."""
    found = {}
    for folder, dirs, files in os.walk(licenses):
        dirs.sort()
        for f in sorted(files):
            path = os.path.join(folder, f)
            with open(path, "rb") as fh:
                found[PREFIX + os.path.relpath(path, licenses)] = fh.read()
    return found


def add(wheel, extra):
    with zipfile.ZipFile(wheel) as z:
        entries = [(info, z.read(info)) for info in z.infolist()]
    meta = next(i.filename for i, _ in entries if i.filename.endswith(".dist-info/METADATA"))
    dist_info = meta.split("/")[0]
    ours = f"{dist_info}/licenses/{PREFIX}"
    kept = []
    for info, data in entries:
        if info.filename.startswith(ours) or info.filename == f"{dist_info}/RECORD":
            continue
        if info.filename == meta:
            head, sep, body = data.decode("utf-8").partition("\n\n")
            lines = [ln for ln in head.split("\n") if not ln.startswith(f"License-File: {PREFIX}")]
            lines += [f"License-File: {name}" for name in extra]
            data = ("\n".join(lines) + sep + body).encode("utf-8")
        kept.append((info, data))
    for name, data in extra.items():
        info = zipfile.ZipInfo(f"{dist_info}/licenses/{name}", date_time=(1980, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        kept.append((info, data))
    record = "".join(record_line(i.filename, d) + "\n" for i, d in kept if not i.is_dir())
    record += f"{dist_info}/RECORD,,\n"
    temporary = wheel + ".part"
    with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in kept:
            z.writestr(info, data)
        z.writestr(zipfile.ZipInfo(f"{dist_info}/RECORD", date_time=(1980, 1, 1, 0, 0, 0)),
                   record.encode())
    os.replace(temporary, wheel)


def main(licenses, *wheels):
    extra = texts(licenses)
    if not extra:
        sys.exit(f"no licence texts in {licenses}")
    for wheel in wheels:
        add(wheel, extra)


if __name__ == "__main__":
    main(*sys.argv[1:])
