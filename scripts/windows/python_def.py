"""Writes the module-definition files of CPython's Windows DLLs from its source tree, for
mingw-w64's dlltool to turn into import libraries: python3.def (the stable ABI's python3.dll, as
PC/python3dll.c lists it) and pythonXY.def (every function and data item the headers under
Include/ declare with PyAPI_FUNC or PyAPI_DATA under a Py or _Py name, plus the stable ABI's;
the pthread stubs some headers declare for WebAssembly, and words of comments, are no exports).

usage: python_def.py CPYTHON_SOURCE OUTPUT_DIR
"""

import pathlib
import re
import sys

STABLE = re.compile(r"^EXPORT_(FUNC|DATA)\((\w+)\)", re.M)
# PyAPI_FUNC(type) name(  /  PyAPI_DATA(type) name  (the type may hold one level of parentheses)
DECLARED = re.compile(r"PyAPI_(FUNC|DATA)\(((?:[^()]|\([^()]*\))*)\)\s*(_?Py\w+)\b")


def write_def(path, library, symbols):
    lines = [f"LIBRARY {library}", "EXPORTS"]
    lines += [f"    {name}{' DATA' if kind == 'DATA' else ''}" for name, kind in sorted(symbols.items())]
    path.write_text("\n".join(lines) + "\n")


def main(source, out):
    source, out = pathlib.Path(source), pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    version = re.search(r'#define PY_VERSION\s+"(\d+)\.(\d+)', (source / "Include/patchlevel.h").read_text())
    dll = f"python{version[1]}{version[2]}"

    stable = {name: kind for kind, name in STABLE.findall((source / "PC/python3dll.c").read_text())}
    if not stable:
        sys.exit(f"no EXPORT_FUNC lines in {source / 'PC/python3dll.c'}")
    write_def(out / "python3.def", "python3.dll", stable)

    full = dict(stable)
    for header in sorted((source / "Include").rglob("*.h")):
        for kind, _, name in DECLARED.findall(header.read_text(errors="replace")):
            full.setdefault(name, kind)
    write_def(out / f"{dll}.def", f"{dll}.dll", full)
    print(f"{dll}.def: {len(full)} symbols, python3.def: {len(stable)} symbols")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
