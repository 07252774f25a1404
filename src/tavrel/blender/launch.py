"""Starts the add-on in a running Blender and serves once Blender's event loop runs (so after a
.blend file given on the command line has loaded). Used by scripts/blender.sh:

    blender --python-expr "import tavrel.blender.launch as l; l.main(PORT)" [ARGS...]

The add-on is enabled for this session only (the preferences are not changed), under the module
name ``tavrel_blender``, which the script puts on the Python path.
"""

import addon_utils
import bpy

ADDON = "tavrel_blender"


def main(port):
    if addon_utils.enable(ADDON, default_set=False, persistent=True) is None:
        print(f"Tavrel add-on: could not enable {ADDON} (see the error above)")
        return

    def serve():
        from tavrel.blender import ui

        ui.settings().port = port
        if ui.service.start(port):
            print(f"Tavrel add-on: connection string {ui.service.server.get_qr_string()}",
                  flush=True)
        return None

    bpy.app.timers.register(serve, first_interval=0.0)
