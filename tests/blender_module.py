"""Blender without a window serving the app, for the tests: Blender as a Python module (python
tests/blender_module.py [ARCHIVE], with bpy importable) or in the background (blender -b
--python tests/blender_module.py [-- ARCHIVE]).

It enables the add-on: from the tavrel package on the Python path, or installed from the add-on
ARCHIVE the way this Blender installs add-ons (an extension where it has them, else a legacy
add-on), serves on any free port, and then pumps the server from the main thread as Blender's
timer does, between the requests of the test agent (blender_agent.py), which it runs the same
way: no timer runs here. It prints "AGENT PORT n" and "connection string PORT_..."; code sent
through the agent ends it with `raise SystemExit`.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bpy  # noqa: E402  (first: it makes Blender's own modules importable)
import addon_utils  # noqa: E402

import blender_agent  # noqa: E402

# This loop runs the agent: its timer would only outlive Python here, and crash Blender's exit.
bpy.app.timers.unregister(blender_agent.poll)

ADDON = "tavrel_blender"


def install(archive):
    """Installs and enables the add-on archive; returns the add-on's module name."""
    if "package_install_files" in dir(bpy.ops.extensions):
        bpy.ops.extensions.package_install_files(filepath=archive, repo="user_default",
                                                 enable_on_install=True)
        name = f"bl_ext.user_default.{ADDON}"
    else:
        bpy.ops.preferences.addon_install(filepath=archive)
        addon_utils.enable(ADDON, default_set=True)
        name = ADDON
    if name not in bpy.context.preferences.addons:
        sys.exit(f"the add-on {name} is not enabled")
    return name


args = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else sys.argv[1:]
if args:
    module = install(args[0])
else:
    import tavrel.blender as addon

    addon.register()
    module = addon.__name__
from tavrel.blender import ui  # noqa: E402

if not ui.service.start(0):
    sys.exit("could not serve")
print(f"Tavrel add-on {module}: connection string {ui.service.server.get_qr_string()} "
      f"(Blender {bpy.app.version_string})", flush=True)
try:
    while True:
        waits = [blender_agent.poll(), ui.service._timer()]
        time.sleep(min(w for w in waits if w is not None))
finally:
    # The add-on from the path is unregistered; an installed one is left enabled and serving,
    # for Blender's exit to stop.
    if not args:
        addon.unregister()
