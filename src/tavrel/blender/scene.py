"""The Blender scene as the server's host: every TavBase operation over bpy.

All of these run in Blender's main thread: the add-on serves in pull mode and its timer drains the
server's queue (see service.py). Objects are looked up by name on every call and never kept, so an
undo, a redo or a new file cannot leave a stale reference behind.

What the app changes follows Blender's habits:
- A change the user may want back is one undo step: keys recorded, keys removed, a new camera, a
  new playback range, a script run. Live camera moves come dozens a second; a burst of them
  becomes one step once the app has paused for UNDO_PAUSE seconds.
- Keys are F-curve keyframes at the app's times, taken as frames at the scene's frame rate
  (fps / fps_base, the rate ASK_PLAY_FPS reports); fractional times are subframe keys. Keyframes
  at a time that already has one replace it. Afterwards the scene is evaluated at the current
  frame again, so the camera shows its animated value, as after keying in Blender itself.
- Time changes go through Scene.frame_set, which evaluates animation and runs frame handlers.

Without a window (Blender in the background, or Blender as a Python module) the scene operations
work on the context's scene. What needs Blender's window on the screen (playback, streaming the 3D
view) raises a RuntimeError naming what is missing; the service reports it (see service.py).
"""

from __future__ import annotations

import math
import time
import traceback

import bpy

from tavrel.blender import keys
from tavrel.blender.convention import matrix_to_wire, wire_to_matrix
from tavrel.tav_base import TavBase

UNDO_PAUSE = 0.5  # seconds without a camera move that close a burst of moves into one undo step
TRANSFORM_PATHS = ("location", "rotation_euler", "rotation_quaternion", "rotation_axis_angle",
                   "scale")
ROTATION_PATHS = {"QUATERNION": "rotation_quaternion", "AXIS_ANGLE": "rotation_axis_angle"}


def window():
    """The window the add-on works in: the context's, or the first one; None where there is none."""
    windows = bpy.context.window_manager.windows
    return bpy.context.window or (windows[0] if len(windows) else None)


def shown_window(what):
    """The window for something that needs Blender on the screen; a RuntimeError naming what is
    missing where this Blender has none (it runs in the background or as a Python module)."""
    win = window()
    if bpy.app.background or win is None:
        raise RuntimeError(f"{what} needs Blender's window on the screen; this Blender has none "
                           "(it runs in the background or as a Python module)")
    return win


def scene():
    win = window()
    return win.scene if win is not None else bpy.context.scene


def view_layer():
    win = window()
    return win.view_layer if win is not None else bpy.context.view_layer


def view3d(win=None):
    """(area, region, space) of the largest 3D view in the window, or None."""
    win = win or window()
    if win is None or win.screen is None:
        return None
    areas = [a for a in win.screen.areas if a.type == "VIEW_3D"]
    if not areas:
        return None
    area = max(areas, key=lambda a: a.width * a.height)
    region = next(r for r in area.regions if r.type == "WINDOW")
    return area, region, area.spaces.active


def sendable(name):
    """Whether the app can list a name: ASCII, without the list separator."""
    return name.isascii() and "$" not in name


def window_override(win=None, **more):
    """A context for operators that work in a window (`win` or the add-on's)."""
    win = win or window()
    if win is None:
        return bpy.context.temp_override(**more)
    return bpy.context.temp_override(window=win, screen=win.screen, **more)


def undo_push(message):
    with window_override():
        if bpy.ops.ed.undo_push.poll():  # not without an undo stack (no window at all)
            bpy.ops.ed.undo_push(message=message)


class BlenderHost(TavBase):
    """The host operations. `service` receives notifications and frame statistics; `capture`
    delivers viewport frames (capture.py)."""

    def __init__(self, service, capture):
        self.service = service
        self.capture = capture
        self._moved_at = None  # when the last live move came, while its undo step is pending
        self._moved = ""
        self._unlisted = set()  # camera names already reported as not sendable

    # -- helpers --------------------------------------------------------------------------------
    @staticmethod
    def camera(name):
        obj = scene().objects.get(name) if name else None
        if obj is None or obj.type != "CAMERA":
            raise KeyError(f"no camera {name!r} in the scene")
        return obj

    def _moved_now(self, name):
        self._moved_at, self._moved = time.monotonic(), name

    def tick(self):
        """Called by the add-on's timer: closes a burst of live moves into one undo step."""
        if self._moved_at is not None and time.monotonic() - self._moved_at > UNDO_PAUSE:
            self._push(f"Tavrel: move {self._moved}")

    def _push(self, message):
        # The step holds the moves still pending too: pushing them later would put them on
        # top of this step, and undo would then take back the moves but not this change.
        self._moved_at = None
        undo_push(message)

    @staticmethod
    def _reevaluate():
        sc = scene()
        sc.frame_set(sc.frame_current, subframe=sc.frame_subframe)

    @staticmethod
    def _playing():
        return any(w.screen is not None and w.screen.is_animation_playing
                   for w in bpy.context.window_manager.windows)

    # -- session --------------------------------------------------------------------------------
    def client_connected(self, server, client_ip, client_port):
        self.service.notify(f"App connected from {client_ip}:{client_port}")

    def client_disconnected(self, server):
        self.service.notify("App disconnected")

    def current_camera_changed(self, server, camera_name):
        if camera_name:
            self.service.notify(f"The app drives {camera_name}")

    def server_did_stop(self, server):
        self.service.notify("Stopped serving")

    # -- scene queries --------------------------------------------------------------------------
    def get_playback_state(self, server):
        sc = scene()
        if sc.use_preview_range:
            start, end = sc.frame_preview_start, sc.frame_preview_end
        else:
            start, end = sc.frame_start, sc.frame_end
        return (float(start), float(end), sc.frame_current + sc.frame_subframe)

    def get_playback_fps(self, server):
        render = scene().render
        return render.fps / render.fps_base

    def get_scene_cameras(self, server):
        names = sorted(o.name for o in scene().objects if o.type == "CAMERA")
        unlisted = {n for n in names if not sendable(n)} - self._unlisted
        if unlisted:
            self._unlisted |= unlisted
            self.service.notify("Cameras the app cannot list (use ASCII names without '$'): "
                                + ", ".join(sorted(unlisted)), "WARNING")
        return [n for n in names if sendable(n)]

    def get_camera_exists(self, server, camera_name):
        obj = scene().objects.get(camera_name)
        return obj is not None and obj.type == "CAMERA"

    def get_camera_has_keys(self, server, camera_name):
        obj = self.camera(camera_name)
        return (keys.has_keys(obj, TRANSFORM_PATHS), keys.has_keys(obj.data, ("lens",)))

    def get_camera_focal_length(self, server, camera_name):
        if not camera_name:  # no camera chosen yet: the 3D view's lens
            view = view3d()
            return float(view[2].lens) if view else 50.0
        return float(self.camera(camera_name).data.lens)

    def get_camera_transform(self, server, camera_name):
        if not camera_name:  # no camera chosen yet (a new camera takes this): the 3D view's eye
            view = view3d()
            if view is None:
                return matrix_to_wire(((1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1)))
            return matrix_to_wire(view[2].region_3d.view_matrix.inverted())
        return matrix_to_wire(self.camera(camera_name).matrix_world)

    def get_script_labels(self, server):
        return [script_label(item) for item in scene().tavrel_scripts]

    # -- scene changes --------------------------------------------------------------------------
    def set_frame(self, server, frame):
        frame = float(frame)
        whole = math.floor(frame)
        scene().frame_set(int(whole), subframe=frame - whole)

    def set_playback_range(self, server, start, end):
        sc = scene()
        start, end = round(start), round(end)
        if end < start:
            start, end = end, start
        if sc.use_preview_range:
            sc.frame_preview_start, sc.frame_preview_end = start, end
        else:
            sc.frame_start, sc.frame_end = start, end
        self._push("Tavrel: playback range")

    def set_camera_transform(self, server, camera_name, transform):
        self.camera(camera_name).matrix_world = wire_to_matrix(transform)
        self._moved_now(camera_name)

    def set_camera_focal_length(self, server, camera_name, focal_length):
        self.camera(camera_name).data.lens = focal_length
        self._moved_now(camera_name)

    def set_camera_transform_keys(self, server, camera_name, keyframes, values):
        obj = self.camera(camera_name)
        rotation = ROTATION_PATHS.get(obj.rotation_mode, "rotation_euler")
        # In time order, so that each key's Euler angles continue the previous key's.
        for t, matrix in sorted(zip(keyframes, values), key=lambda k: k[0]):
            obj.matrix_world = wire_to_matrix(matrix)
            for path in ("location", rotation, "scale"):
                obj.keyframe_insert(path, frame=t, group="Object Transforms")
        self._reevaluate()
        self._push(f"Tavrel: {len(keyframes)} transform keys on {camera_name}")

    def set_camera_flen_keys(self, server, camera_name, keyframes, values):
        data = self.camera(camera_name).data
        for t, lens in zip(keyframes, values):
            data.lens = lens
            data.keyframe_insert("lens", frame=t)
        self._reevaluate()
        self._push(f"Tavrel: {len(keyframes)} focal-length keys on {camera_name}")

    def remove_camera_keys(self, server, camera_name):
        obj = self.camera(camera_name)
        keys.remove_keys(obj, TRANSFORM_PATHS)
        keys.remove_keys(obj.data, ("lens",))
        self._push(f"Tavrel: remove keys of {camera_name}")

    def create_new_camera(self, server):
        data = bpy.data.cameras.new("Camera")
        obj = bpy.data.objects.new("Camera", data)
        view_layer().active_layer_collection.collection.objects.link(obj)
        self._push(f"Tavrel: new camera {obj.name}")
        self.service.notify(f"New camera {obj.name}")
        return obj.name

    def look_through_camera(self, server, camera_name):
        obj = self.camera(camera_name)
        scene().camera = obj
        view = view3d()
        if view is not None:
            view[2].region_3d.view_perspective = "CAMERA"

    def start_playback(self, server, flag):
        # The flag's meaning is not agreed with the app yet: playback runs forward either way.
        win = shown_window("Playback")
        if not self._playing():
            with window_override(win):
                bpy.ops.screen.animation_play()

    def stop_playback(self, server):
        if self._playing():  # never without a window
            with window_override():
                bpy.ops.screen.animation_cancel(restore_frame=False)

    def execute_script(self, server, index, camera_name):
        items = scene().tavrel_scripts
        if not 0 <= index < len(items):
            self.service.notify(f"The app asked for script {index}; the list has {len(items)}",
                                "WARNING")
            return False
        item = items[index]
        try:
            ok = run_script(item, camera_name)
        except Exception as e:  # the user's script: reported, and the app hears it failed
            traceback.print_exc()
            self.service.notify(f"Script {script_label(item)!r} failed: {type(e).__name__}: {e}",
                                "ERROR")
            return False
        if ok:
            self._push(f"Tavrel: script {script_label(item)}")
            self.service.notify(f"Ran script {script_label(item)!r}")
        else:
            self.service.notify(f"Script {script_label(item)!r} did not finish", "WARNING")
        return ok

    # -- viewport capture -----------------------------------------------------------------------
    def capture_will_start(self, server):
        self.capture.start(server)
        self.service.notify(f"Streaming the viewport at {server.capture_width}x"
                            f"{server.capture_height}")

    def capture_did_end(self, server):
        self.capture.stop()
        self.service.notify("Streaming ended")

    def get_capture_coords(self, server, camera_name):
        return self.capture.coords(server)

    def get_capture_buffer(self, server, camera_name):
        obj = scene().objects.get(camera_name)
        return self.capture.frame(server, obj if obj is not None and obj.type == "CAMERA" else
                                  scene().camera)


def script_label(item):
    """A script's label as the app shows it: ASCII, without the list separator '%'."""
    text = item.label or (item.text.name if item.kind == "TEXT" and item.text else item.operator)
    return text.encode("ascii", "replace").decode().replace("%", "/") or " "


def run_script(item, camera_name):
    """Runs one entry of the scene's script list with the app's camera; True when it finished.
    A text block runs as a module named __main__ with `camera` (the object or None) and
    `camera_name` defined; an operator runs in the 3D view with the camera as active object."""
    camera = scene().objects.get(camera_name) if camera_name else None
    if item.kind == "TEXT":
        if item.text is None:
            raise ValueError("no text block chosen")
        namespace = {"__name__": "__main__", "__file__": item.text.name, "bpy": bpy,
                     "camera": camera, "camera_name": camera_name}
        exec(compile(item.text.as_string(), item.text.name, "exec"), namespace)
        return True
    module, _, name = item.operator.partition(".")
    op = getattr(getattr(bpy.ops, module, None), name, None) if name else None
    if op is None:
        raise ValueError(f"no operator {item.operator!r}")
    view = view3d()
    area = {"area": view[0], "region": view[1]} if view is not None else {}
    if camera is not None:
        view_layer().objects.active = camera
        camera.select_set(True)
    with window_override(**area):
        return "FINISHED" in op("EXEC_DEFAULT")
