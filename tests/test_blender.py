"""Real Blender with the add-on, driven by the reference app.

One Blender (Debian's, under software OpenGL on a virtual screen) serves every test of this
module, in file order; the last test quits it. Blender's side is read back through the test agent,
which runs code in Blender's main thread.
"""

import math
import os
import re
import socket
import subprocess

import av
import pytest

from blender_support import ROOT, Blender, blender_missing
from conftest import recv_exact, wait_until
from streaming_support import session_processes
from tavrel.app import AppClient

pytestmark = pytest.mark.skipif(blender_missing(), reason="blender is not installed "
                                "(scripts/setup.sh installs Debian's package)")

SCENE = """
from tavrel.blender import ui
scene = bpy.context.scene
cube = scene.objects["Cube"]
cube.color = (0.0, 1.0, 0.0, 1.0)  # pure green where the default camera looks
side = bpy.data.objects.new("Camera.Side", bpy.data.cameras.new("Camera.Side"))
scene.collection.objects.link(side)
for area in bpy.context.window.screen.areas:
    if area.type == "VIEW_3D":
        shading = area.spaces.active.shading
        shading.type, shading.light, shading.color_type = "SOLID", "FLAT", "OBJECT"
        area.spaces.active.overlay.show_overlays = False

def matrix(name):
    return [v for row in scene.objects[name].matrix_world for v in row]

def key_frames(datablock, path):
    curves = [fc for fc in datablock.animation_data.action.fcurves if fc.data_path == path]
    return [sorted(k.co[0] for k in fc.keyframe_points) for fc in curves]

def inside():
    # What this Blender holds: threads, descriptors, child processes, shared blocks mapped.
    import glob, os
    kids = set()
    for path in glob.glob("/proc/self/task/*/children"):
        kids.update(open(path).read().split())
    maps = open("/proc/self/maps").read()
    return (len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")), sorted(kids),
            sorted(set(re.findall(r"/dev/shm/psm_\\w+", maps))))
import re
"""


INSTALL = """
import addon_utils, bpy, sys
bpy.ops.preferences.addon_install(filepath=sys.argv[-1])
assert addon_utils.enable("tavrel_blender", default_set=True)
from tavrel.blender import ui
import tavrel.tav_core
assert ui.service.start(0)
print("SERVING FROM", tavrel.tav_core.__file__)
addon_utils.disable("tavrel_blender")
print("STOPPED", ui.service.server is None)
"""


def test_the_archive_installs_as_an_add_on(tmp_path):
    built = subprocess.run([os.path.join(ROOT, "scripts", "build_blender_addon.sh")],
                           capture_output=True, text=True, timeout=600, check=True)
    archive = built.stdout.split()[0]
    env = dict(os.environ, BLENDER_USER_SCRIPTS=str(tmp_path / "scripts"),
               BLENDER_USER_CONFIG=str(tmp_path / "config"))
    env.pop("PYTHONPATH", None)
    r = subprocess.run(["blender", "-b", "--factory-startup", "--python-expr", INSTALL, "--",
                        archive], env=env, capture_output=True, text=True, timeout=120)
    # The core came from the archive's wheel, unpacked into the installed add-on.
    assert f"SERVING FROM {tmp_path}/scripts/addons/tavrel_blender/lib/" in r.stdout, r.stdout
    assert "STOPPED True" in r.stdout and r.returncode == 0


@pytest.fixture(scope="module")
def blender():
    b = Blender()
    try:
        b.run(SCENE)
        yield b
    finally:
        b.kill()


@pytest.fixture
def app(blender):
    with AppClient("127.0.0.1", blender.port, timeout=30) as client:
        yield client


def connect_from(ip, port):
    return socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(ip, 0))


def turned(angle, location):
    """A camera matrix (row-major) turned by `angle` about Z, standing at `location`."""
    c, s = math.cos(angle), math.sin(angle)
    x, y, z = location
    return (c, -s, 0.0, x, s, c, 0.0, y, 0.0, 0.0, 1.0, z, 0.0, 0.0, 0.0, 1.0)


def close(a, b, tol=1e-5):
    return len(a) == len(b) and all(abs(x - y) <= tol for x, y in zip(a, b))


def select(app, name):
    _, names = app.scene_cameras()
    assert app.select_camera(names.index(name))


def test_camera_transform_focal_length_and_keys(blender, app):
    cameras = blender.run("result = sorted(o.name for o in scene.objects if o.type == 'CAMERA')")
    assert app.scene_cameras() == (None, cameras) and cameras == ["Camera", "Camera.Side"]
    select(app, "Camera.Side")

    moved = turned(math.radians(90), (1.0, 2.0, 3.0))
    app.set_camera_matrix(moved)
    app.set_focal_length(85.0)
    assert app.sync() == []
    assert close(blender.run("result = matrix('Camera.Side')"), moved)
    assert close(app.camera_matrix(), moved)
    assert blender.run("result = scene.objects['Camera.Side'].data.lens") == 85.0
    assert app.scene_status()[3] == 85.0

    times = [1.0, 12.5, 30.0]
    keyed = [turned(0.1 * i, (i, 0.0, 2.0)) for i in range(3)]
    app.set_camera_matrix_keys(zip(keyed, times))
    app.set_camera_flen_keys([(35.0, 1.0), (70.0, 30.0)])
    assert app.sync() == []
    frames = blender.run("o = scene.objects['Camera.Side']; "
                         "result = (key_frames(o, 'location'), key_frames(o, 'rotation_euler'), "
                         "key_frames(o.data, 'lens'))")
    assert frames == [[times] * 3, [times] * 3, [[1.0, 30.0]]]
    assert app.camera_has_keys() == (True, True, True)
    app.set_current_time(12.5)  # the camera follows its keys
    assert close(app.camera_matrix(), keyed[1], 1e-4)

    assert app.remove_camera_keys()
    assert app.camera_has_keys() == (False, False, False)
    assert blender.run("o = scene.objects['Camera.Side']; "
                       "result = key_frames(o, 'location') + key_frames(o.data, 'lens')") == []


def test_timeline_and_playback(blender, app):
    blender.run("scene.render.fps, scene.render.fps_base = 25, 1.001")
    assert app.play_fps() == pytest.approx(25 / 1.001)
    select(app, "Camera")
    app.set_playback_range(10.0, 100.0)
    app.set_current_time(42.5)
    assert app.sync() == []
    assert blender.run("result = (scene.frame_start, scene.frame_end, scene.frame_current, "
                       "scene.frame_subframe)") == [10, 100, 42, pytest.approx(0.5)]
    assert app.scene_status()[:3] == (10.0, 100.0, 42.5)

    playing = "result = bpy.context.window.screen.is_animation_playing"
    app.start_playback()
    blender.until(playing)
    blender.until("result = scene.frame_current > 43")
    app.stop_playback()
    blender.until(playing.replace("result = ", "result = not "))
    assert 43 < app.scene_status()[2] <= 100


def test_scripts_new_camera_and_undo(blender, app):
    select(app, "Camera")
    blender.run("""
mark = bpy.data.texts.new("mark.py")
mark.write("bpy.context.scene['ran_with'] = camera_name")
boom = bpy.data.texts.new("boom.py")
boom.write("raise RuntimeError('boom')")
scripts = scene.tavrel_scripts
scripts.add().text = mark
""")
    assert app.read_script_info() == ["mark.py"]  # pushed by the add-on as the list changed
    blender.run("scripts.add().text = boom; scripts[0].label = 'Mark the camera'")
    assert app.read_script_info() == ["mark.py", "boom.py"]
    assert app.read_script_info() == ["Mark the camera", "boom.py"]
    assert app.script_info() == ["Mark the camera", "boom.py"]
    assert app.execute_script(0)
    assert blender.run("result = scene['ran_with']") == "Camera"
    assert not app.execute_script(1)
    assert not app.execute_script(7)
    assert "boom" in blender.run("result = ui.service.notifications[-2][1]")

    before = app.camera_matrix()
    app.create_new_camera()
    current, names = app.scene_cameras()
    new = names[current]
    assert new not in ("Camera", "Camera.Side")
    assert blender.run(f"result = scene.objects[{new!r}].type") == "CAMERA"
    assert close(app.camera_matrix(), before)
    assert blender.run(f"result = matrix({new!r})") == pytest.approx(before, abs=1e-5)

    # Recorded keys are one undo step.
    app.set_camera_matrix_keys([(before, 1.0), (before, 5.0)])
    assert app.camera_has_keys()[0]
    blender.run("with bpy.context.temp_override(window=bpy.context.window): bpy.ops.ed.undo()")
    assert not app.camera_has_keys()[0]


def _frames(app, decoder, count, timeout=60.0):
    """Decodes the stream until `count` more frames came; returns them as RGB arrays."""
    frames = []

    def more():
        for frame in decoder.decode(av.Packet(app.read_video_packet(timeout=timeout))):
            frames.append(frame.to_ndarray(format="rgb24"))
        return len(frames) >= count

    wait_until(more, timeout, interval=0)
    return frames


def _centre(frame):
    h, w, _ = frame.shape
    return frame[h // 2 - 4:h // 2 + 4, w // 2 - 4:w // 2 + 4].reshape(-1, 3).mean(0)


def test_stream_shows_the_scene_and_follows_the_camera(blender, app):
    select(app, "Camera")
    app.start_streaming(fps=10.0, mbps=2.0, autosend=True)
    decoder = av.CodecContext.create("vp9", "r")
    first = _frames(app, decoder, 2)[-1]
    assert first.shape == (360, 640, 3)  # the render's 16:9 at the stream size
    r, g, b = _centre(first)
    assert g > 150 and r < 90 and b < 90, (r, g, b)  # the green cube the camera looks at

    app.set_camera_matrix((1.0, 0, 0, 0, 0, -1.0, 0, 0, 0, 0, -1.0, 10.0, 0, 0, 0, 1.0))  # sky
    wait_until(lambda: _centre(_frames(app, decoder, 1)[-1])[1] < 120, 60, interval=0)
    app.stop_streaming()
    assert app.sync() == []
    assert blender.run("result = ui.service.host_errors") == 0


def test_pairing_serves_the_paired_phone_only_and_names_others(blender):
    port = blender.run("result = ui.service.server.server_port")
    blender.run("bpy.ops.tavrel.pair()")
    with connect_from("127.0.0.2", port) as paired:  # the first phone after Pair
        paired.sendall(b"\x08")
        assert recv_exact(paired, 7)[:1] == b"\x08"
    blender.until("result = not ui.service.server.is_connected")
    with connect_from("127.0.0.3", port) as other:
        assert other.recv(1) == b""  # refused: closed without a byte
    shown = blender.run("result = [t for _, t in list(ui.service.notifications)[-3:]]")
    assert any("Refused" in t and "127.0.0.3" in t for t in shown), shown  # the panel's lines
    assert blender.run("result = ui.settings().paired_address") == "127.0.0.2"
    blender.run("bpy.ops.tavrel.pair()")  # the next test's app pairs anew

    # The interface to listen on, chosen from this computer's: the QR code carries it alone.
    address, qr = blender.run("""
interface = ui._interface_items(None, None)[-1][0]
ui.service.shutdown()
bpy.ops.tavrel.listen_on(interface=interface)
assert ui.service.start(0)
result = (ui.settings().listen_address, ui.service.server.get_qr_string())
bpy.ops.tavrel.listen_on(interface="ALL")
""")
    port = blender.run("result = ui.service.server.server_port")
    assert qr == f"{port}_{address}" if address else qr.startswith(str(port))
    blender.run("ui.service.shutdown(); assert ui.service.start(0)")


def test_enable_and_disable_twice_leave_nothing_behind(blender):
    blender.run("import addon_utils; addon_utils.disable('tavrel_blender')")
    baseline = blender.run("result = inside()")
    for _ in range(2):
        blender.run("addon_utils.enable('tavrel_blender'); from tavrel.blender import ui; "
                    "assert ui.service.start(0); result = ui.service.server.server_port")
        port = blender.run("result = ui.service.server.server_port")
        with AppClient("127.0.0.1", port, timeout=30) as app:
            select(app, "Camera")
            app.start_streaming(fps=10.0, mbps=2.0, autosend=True)
            app.read_video_packet(timeout=60)
            blender.run("addon_utils.disable('tavrel_blender')")  # while the app streams
        try:
            wait_until(lambda: blender.run("result = inside()") == baseline, 10, interval=0.05)
        except AssertionError:
            assert blender.run("result = inside()") == baseline
    blender.run("addon_utils.enable('tavrel_blender'); from tavrel.blender import ui; "
                "assert ui.service.start(0)")


def test_quit_while_an_app_streams(blender):
    port = blender.run("from tavrel.blender import ui; result = ui.service.server.server_port")
    with AppClient("127.0.0.1", port, timeout=30) as app:
        select(app, "Camera")
        app.start_streaming(fps=10.0, mbps=2.0, autosend=True)
        app.read_video_packet(timeout=60)
        blocks = blender.run("result = inside()[3]")
        workers = blender.run("result = inside()[2]")
        assert blocks and workers
        blender.run("bpy.ops.wm.quit_blender()")
        assert blender.proc.wait(60) == 0
    assert not [block for block in blocks if os.path.exists(block)]
    assert session_processes(blender.proc.pid) == []
    assert re.search(r"Tavrel: Stopped serving", blender.text)
