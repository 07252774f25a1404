"""Checks that Windows executables and extension modules import only DLLs every Windows has (and
the Python DLL): no MinGW runtime (libgcc, libstdc++, libwinpthread) and no third-party DLL,
since nothing ships beside them. Prints each file's imports; exits 1 naming any other DLL.

usage: check_imports.py FILE.pyd|FILE.exe ...
"""

import re
import subprocess
import sys

# Part of every Windows 10 and newer (the C runtime's API sets included).
SYSTEM_DLLS = {
    "kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "ws2_32.dll", "advapi32.dll", "user32.dll",
    "gdi32.dll", "bcrypt.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "iphlpapi.dll",
    "secur32.dll", "userenv.dll", "ntdll.dll", "psapi.dll", "winmm.dll", "version.dll",
}
PYTHON_DLL = re.compile(r"python3(\d+)?\.dll")
API_SET = re.compile(r"api-ms-win-[a-z0-9-]+\.dll")
OBJDUMP = "x86_64-w64-mingw32-objdump"


def imported_dlls(path):
    out = subprocess.run([OBJDUMP, "-p", path], check=True, capture_output=True, text=True).stdout
    return re.findall(r"DLL Name: (\S+)", out)


def foreign(dlls):
    """The DLLs of `dlls` that are neither the Python DLL nor part of Windows."""
    return [d for d in dlls if not (d.lower() in SYSTEM_DLLS or PYTHON_DLL.fullmatch(d.lower())
                                    or API_SET.fullmatch(d.lower()))]


def main(paths):
    bad = False
    for path in paths:
        dlls = imported_dlls(path)
        others = foreign(dlls)
        print(f"{path}: {' '.join(dlls)}")
        if others:
            print(f"  not part of Windows: {' '.join(others)}", file=sys.stderr)
            bad = True
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))
