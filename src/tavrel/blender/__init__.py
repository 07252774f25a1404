"""Tavrel for Blender: a camera of the scene driven by the Tavrel phone app, and the 3D view
streamed to it.

This file is the add-on's entry point in all its forms: the package ``tavrel.blender`` run from a
Python path, the legacy add-on ``tavrel_blender`` (Blender 3.x, this file with ``bl_info`` and a
``wheels`` folder beside it), and the extension of Blender 4.2 and newer (the same folder with a
``blender_manifest.toml``; Blender installs the listed wheels itself). The add-on itself lives in
the other modules of ``tavrel.blender``.
"""

import glob
import importlib
import os
import sys
import zipfile

bl_info = {
    "name": "Tavrel",
    "author": "The tavrel developers",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "3D View > Sidebar > Tavrel",
    "description": "Drive a camera with the Tavrel phone app and stream the viewport to it",
    "category": "Camera",
}

MODULES = ("convention", "keys", "scene", "capture", "service", "ui")  # in import order


def _bundled_core():
    """Makes the tavrel package importable from a wheel beside this file, unpacked once into
    lib/cpXY (an extension module cannot be imported from inside a zip): the wheel built for this
    Python and system, or from 3.12 on the stable-ABI one. (An extension has Blender install its
    wheels.)"""
    try:
        import tavrel.tav_core  # noqa: F401
        return
    except ImportError:
        pass
    here = os.path.dirname(os.path.abspath(__file__))
    major, minor = sys.version_info[:2]
    tag = f"cp{major}{minor}"
    system = "win_amd64" if sys.platform == "win32" else "manylinux*"
    patterns = [f"tavrel-*-{tag}-{tag}-{system}.whl"]
    if minor >= 12:
        patterns.append(f"tavrel-*-abi3-{system}.whl")
    wheels = [w for p in patterns for w in sorted(glob.glob(os.path.join(here, "wheels", p)))]
    if not wheels:
        found = [os.path.basename(w) for w in glob.glob(os.path.join(here, "wheels", "*.whl"))]
        raise ImportError(f"Tavrel needs its core built for Python {major}.{minor}, the Python "
                          f"of this Blender; the add-on carries {found or 'none'}")
    lib = os.path.join(here, "lib", tag)
    if not os.path.isdir(os.path.join(lib, "tavrel")):
        with zipfile.ZipFile(wheels[0]) as wheel:
            wheel.extractall(lib)
    if lib not in sys.path:
        sys.path.insert(0, lib)


def register():
    _bundled_core()
    # A script reload reloads this file; the add-on's modules follow, so edits take effect.
    for name in MODULES:
        module = sys.modules.get(f"tavrel.blender.{name}")
        if module is not None:
            importlib.reload(module)
    from tavrel.blender import ui

    ui.register(__package__ or __name__)


def unregister():
    from tavrel.blender import ui

    ui.unregister()
