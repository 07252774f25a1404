"""Blender without a window serving the app, for the tests: Blender as a Python module (python
tests/blender_module.py, with bpy and tavrel importable) or in the background (blender -b
--python tests/blender_module.py). It registers the add-on, serves on any free port, and then
pumps the server from the main thread as Blender's timer does, between the requests of the test
agent (blender_agent.py), which it runs the same way: no timer runs here. It prints
"AGENT PORT n" and "connection string PORT_..."; code sent through the agent ends it with
`raise SystemExit`.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bpy  # noqa: E402

import blender_agent  # noqa: E402
import tavrel.blender as addon  # noqa: E402
from tavrel.blender import ui  # noqa: E402

addon.register()
if not ui.service.start(0):
    sys.exit("could not serve")
print(f"Tavrel add-on: connection string {ui.service.server.get_qr_string()} "
      f"(Blender {bpy.app.version_string})", flush=True)
try:
    while True:
        waits = [blender_agent.poll(), ui.service._timer()]
        time.sleep(min(w for w in waits if w is not None))
finally:
    addon.unregister()
