"""Real Blender with the add-on, driven by the reference app.

The scene operations run on every Blender the add-on supports, each without a window, as a server
pumped from the interpreter's main thread: Debian's Blender 3.4 in the background, and the
registry's bpy releases (4.2 LTS, 4.5 LTS, the newest 5.x) as Python modules with the shipped
wheel for their Python (scripts/blender_modules.sh fetches them into build/bpy once). Debian's
Blender with its window on a virtual screen serves the rest (playback, the stream, the panels,
the add-on's life, quitting) from its timer, in file order; the last test quits it. Blender's side
is read back through the test agent, which runs code in Blender's main thread.
"""

import math
import os
import re
import socket
import subprocess
import zipfile
from pathlib import Path

import av
import pytest

from blender_support import (ROOT, Blender, WindowlessBlender, blender_missing,
                             blender_modules)
from conftest import recv_exact, wait_until
from streaming_support import session_processes
from tavrel.app import AppClient, ServerError
from wheel_support import built_wheels, unpack, wheel_for

pytestmark = pytest.mark.timeout(1800)  # the first test may build the wheels and fetch bpy

DEBIAN = "3.4"  # Debian's blender package, on the system's Python
BPY = ("4.2.23", "4.5.15", "5.3.0")  # the registry's bpy: the LTS lines and the newest 5.x
# Blender for Windows, where scripts/check_windows.sh asks for it: the registry's win_amd64 bpy
# in Windows CPython under Wine (scripts/windows/python.sh), the LTS line under Debian's Wine and
# the newest 5.x under Debian 13's.
WINDOWS = {f"{BPY[0]} on Windows": ["3.11", "--bpy", BPY[0]],
           f"{BPY[-1]} on Windows": ["3.13", "--bpy", BPY[-1], "--newer-wine"]}
if not os.environ.get("TAVREL_WINDOWS_BLENDER"):
    WINDOWS = {}
VERSIONS = (DEBIAN,) + BPY + tuple(WINDOWS)

SCENE = """
from tavrel.blender import keys, ui
from tavrel.blender.scene import window_override
scene = bpy.context.scene
side = bpy.data.objects.new("Camera.Side", bpy.data.cameras.new("Camera.Side"))
scene.collection.objects.link(side)

def matrix(name):
    return [v for row in scene.objects[name].matrix_world for v in row]

def key_frames(datablock, path):
    return [sorted(k.co[0] for k in fc.keyframe_points) for fc in keys.curves(datablock, (path,))]
"""

WINDOW_SCENE = SCENE + """
cube = scene.objects["Cube"]
cube.color = (0.0, 1.0, 0.0, 1.0)  # pure green where the default camera looks
for area in bpy.context.window.screen.areas:
    if area.type == "VIEW_3D":
        shading = area.spaces.active.shading
        shading.type, shading.light, shading.color_type = "SOLID", "FLAT", "OBJECT"
        area.spaces.active.overlay.show_overlays = False

def inside():
    # What this Blender holds: threads, descriptors, child processes, shared blocks mapped.
    import glob, os, re
    kids = set()
    for path in glob.glob("/proc/self/task/*/children"):
        kids.update(open(path).read().split())
    maps = open("/proc/self/maps").read()
    return (len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")), sorted(kids),
            sorted(set(re.findall(r"/dev/shm/psm_\\w+", maps))))
"""


@pytest.fixture(scope="module")
def wheels():
    return built_wheels()


def python_minor(python):
    return int(subprocess.run([python, "-c", "import sys; print(sys.version_info[1])"],
                              capture_output=True, text=True, check=True).stdout)


def windowless(version):
    """(interpreter or command, Python minor version) of a Blender without a window."""
    if version in WINDOWS:
        version_args = WINDOWS[version]
        command = ["bash", os.path.join(ROOT, "scripts", "windows", "python.sh"), *version_args,
                   "--time-limit", "900"]
        return command, int(version_args[0].split(".")[1])
    if version == DEBIAN:
        if blender_missing():
            pytest.skip("blender is not installed (scripts/setup.sh installs Debian's package)")
        return "blender", python_minor("python3")  # Debian's runs the system's Python
    python = blender_modules(version)[version]
    return python, python_minor(python)


@pytest.fixture(scope="module", params=VERSIONS)
def blender(request, tmp_path_factory):
    """A Blender without a window serving the app, with the shipped wheel for its Python."""
    python, minor = windowless(request.param)
    wheel = (windows_wheel(minor) if request.param in WINDOWS
             else wheel_for(request.getfixturevalue("wheels"), minor))
    assert wheel is not None, f"no wheel for {request.param}"
    home = tmp_path_factory.mktemp("blender")
    b = WindowlessBlender(python, str(home), core=str(unpack(wheel, home / "core")))
    b.version, b.windows = request.param.split()[0], request.param in WINDOWS
    try:
        assert b.run("result = bpy.app.version_string").startswith(b.version)
        b.run(SCENE)
        yield b
    finally:
        b.kill()
    assert b.proc.returncode == 0 and "Tavrel add-on: Stopped serving" in b.text, b.text


def windows_wheel(minor):
    return wheel_for(sorted(Path(ROOT, "dist").glob("tavrel-*-win_amd64.whl")), minor)


def unix_path(path):
    """A path as Wine shows it to a Windows program (drive z: is the root), as this system's."""
    return "/" + path[3:].replace("\\", "/") if path[:3].lower() == "z:\\" else path


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


# -- the scene operations, on every Blender --------------------------------------------------------
def test_camera_transform_focal_length_and_timeline(blender, app):
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

    blender.run("scene.render.fps, scene.render.fps_base = 25, 1.001")
    assert app.play_fps() == pytest.approx(25 / 1.001)
    app.set_playback_range(100.0, 10.0)  # either way round
    app.set_current_time(42.5)
    assert app.sync() == []
    assert blender.run("result = (scene.frame_start, scene.frame_end, scene.frame_current, "
                       "scene.frame_subframe)") == [10, 100, 42, pytest.approx(0.5)]
    # The playback state: (start, end, current frame), then the focal length.
    assert app.scene_status() == (10.0, 100.0, 42.5, 85.0)


def test_keys_at_the_apps_times(blender, app):
    select(app, "Camera.Side")
    times = [1.0, 12.5, 30.0]
    keyed = [turned(0.1 * i, (i, 0.0, 2.0)) for i in range(3)]
    app.set_camera_matrix_keys(zip(keyed, times))
    app.set_camera_flen_keys([(35.0, 1.0), (70.0, 30.0)])
    assert app.sync() == []
    frames = blender.run("o = scene.objects['Camera.Side']; "
                         "result = (key_frames(o, 'location'), key_frames(o, 'rotation_euler'), "
                         "key_frames(o.data, 'lens'))")
    assert frames == [[times] * 3, [times] * 3, [[1.0, 30.0]]]
    # From 4.4 on the camera data's keys go into a slot of the object's own action, where the
    # action's older flat list of F-curves does not show them: the case is met here.
    shared = blender.run("o = scene.objects['Camera.Side']; "
                         "result = o.animation_data.action == o.data.animation_data.action")
    assert shared == (blender.version in BPY[1:])
    assert app.camera_has_keys() == (True, True, True)
    app.set_current_time(12.5)  # the camera follows its keys
    assert close(app.camera_matrix(), keyed[1], 1e-4)
    app.set_current_time(30.0)
    assert app.scene_status()[2:] == (30.0, 70.0)

    assert app.remove_camera_keys()
    assert app.camera_has_keys() == (False, False, False)
    assert blender.run("o = scene.objects['Camera.Side']; "
                       "result = key_frames(o, 'location') + key_frames(o.data, 'lens')") == []
    # Nothing animates the camera any more: what the app sets stays at every frame.
    app.set_camera_matrix(keyed[0])
    app.set_focal_length(24.0)
    app.set_current_time(12.5)
    assert app.scene_status()[2:] == (12.5, 24.0)
    assert close(app.camera_matrix(), keyed[0])


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

    # Recorded keys are one undo step, and so is a new camera.
    app.set_camera_matrix_keys([(before, 1.0), (before, 5.0)])
    assert app.camera_has_keys()[0]
    undo = "with window_override(): bpy.ops.ed.undo()"
    blender.run(undo)
    assert not app.camera_has_keys()[0]
    blender.run(undo)
    assert new not in app.scene_cameras()[1]


def test_playback_and_stream_without_a_window(blender, app):
    select(app, "Camera")
    app.set_current_time(7.5)
    app.start_playback()
    assert app.sync() == []
    assert blender.run("result = ui.service.notifications[-1]") == [
        "ERROR", "RuntimeError: Playback needs Blender's window on the screen; this Blender has "
        "none (it runs in the background or as a Python module)"]
    if blender.version == BPY[-1]:  # the newest draws off-screen without a window
        if blender.windows:
            pytest.skip("bpy for Windows under Wine: gpu.init() without a display ends Blender "
                        "in a page fault")
        app.start_streaming(fps=10.0, mbps=2.0, autosend=True)
        frame = _frames(app, av.CodecContext.create("vp9", "r"), 2)[-1]
        assert frame.shape == (360, 640, 3) and frame.std() > 10  # the scene, not a blank
        app.stop_streaming()
    else:
        app.start_streaming(fps=10.0, mbps=2.0, autosend=False)
        app.ask_viewport_img()
        with pytest.raises(ServerError, match="ERR_NOT_STREAMING"):
            app.read_video_packet(timeout=30)
        error = blender.run("result = ui.service.notifications[-1][1]")
        assert error.startswith("RuntimeError: Streaming the 3D view needs Blender's window on "
                                "the screen, or off-screen drawing without one"), error
    assert app.sync() == []
    assert app.scene_status()[2] == 7.5  # nothing plays, and the scene goes on answering


@pytest.fixture(scope="module")
def archive(wheels):
    built = subprocess.run([os.path.join(ROOT, "scripts", "build_blender_addon.sh")],
                           capture_output=True, text=True, timeout=600, check=True)
    return built.stdout.split()[0]


def test_the_archive_carries_the_wheels_and_the_licences(archive, wheels):
    with zipfile.ZipFile(archive) as z:
        names = set(z.namelist())
        manifest = z.read("tavrel_blender/blender_manifest.toml").decode()
    carried = sorted(n.split("/")[-1] for n in names if n.endswith(".whl"))
    # A wheel per Python: those of dist/, the stable-ABI one tagged for 3.12 and for 3.13; the
    # Windows wheels likewise when dist/ has them.
    windows = sorted(Path(ROOT, "dist").glob("tavrel-*-win_amd64.whl"))
    expected = []
    for w in list(wheels) + windows:
        expected += ([w.name.replace("-cp312-abi3-", f"-cp3{m}-cp3{m}-") for m in (12, 13)]
                     if "-abi3-" in w.name else [w.name])
    assert carried == sorted(expected)
    assert all(re.search(r"-cp31[0-3]-cp31[0-3]-(manylinux_2_\d+_x86_64|win_amd64)\.whl$", w)
               for w in carried)
    for w in carried:  # each listed in the manifest with its platform tag
        assert f'"./wheels/{w}"' in manifest
    platforms = '"linux-x64", "windows-x64"' if windows else '"linux-x64"'
    assert f"platforms = [{platforms}]" in manifest
    assert {"tavrel_blender/LICENSE", "tavrel_blender/licenses/third-party/VERSIONS",
            "tavrel_blender/licenses/third-party/ffmpeg/COPYING.LGPLv2.1"} <= names


@pytest.mark.parametrize("version", VERSIONS)
def test_the_archive_installs_and_serves(version, archive, tmp_path):
    """As a legacy add-on into 3.4, as an extension into 4.2, 4.5 and the newest 5.x."""
    python, _ = windowless(version)
    b = WindowlessBlender(python, str(tmp_path), archive=archive)
    try:
        with AppClient("127.0.0.1", b.port, timeout=30) as app:
            assert app.scene_cameras() == (None, ["Camera"])
            select(app, "Camera")
            assert app.scene_status() == (1.0, 250.0, 1.0, 50.0)
        core = b.run("import tavrel.tav_core; result = tavrel.tav_core.__file__")
        module = b.run("from tavrel.blender import ui; result = ui._addon['name']")
    finally:
        b.kill()
    # Blender's exit stopped the add-on, still serving, and ended cleanly.
    assert b.proc.returncode == 0 and "Tavrel add-on: Stopped serving" in b.text, b.text
    # The core came from the archive's wheel: unpacked by the add-on, or installed by Blender.
    assert unix_path(core).startswith(str(tmp_path)), core
    assert module == ("tavrel_blender" if version == DEBIAN
                      else "bl_ext.user_default.tavrel_blender")


# -- Debian's Blender with its window --------------------------------------------------------------
@pytest.fixture(scope="module")
def gui():
    if blender_missing():
        pytest.skip("blender is not installed (scripts/setup.sh installs Debian's package)")
    b = Blender()
    try:
        b.run(WINDOW_SCENE)
        yield b
    finally:
        b.kill()


@pytest.fixture
def gui_app(gui):
    with AppClient("127.0.0.1", gui.port, timeout=30) as client:
        yield client
    if gui.proc.poll() is not None:  # it died under the test: what it said shows with the failure
        print(f"Blender ended ({gui.proc.returncode}):\n{gui.text}")


def test_playback(gui, gui_app):
    app = gui_app
    select(app, "Camera")
    app.set_playback_range(10.0, 100.0)
    app.set_current_time(42.5)
    playing = "result = bpy.context.window.screen.is_animation_playing"
    app.start_playback()
    gui.until(playing)
    gui.until("result = scene.frame_current > 43")
    app.stop_playback()
    gui.until(playing.replace("result = ", "result = not "))
    assert 43 < app.scene_status()[2] <= 100


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


def test_stream_shows_the_scene_and_follows_the_camera(gui, gui_app):
    app = gui_app
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
    assert gui.run("result = ui.service.host_errors") == 0


def test_pairing_serves_the_paired_phone_only_and_names_others(gui):
    port = gui.run("result = ui.service.server.server_port")
    gui.run("bpy.ops.tavrel.pair()")
    with connect_from("127.0.0.2", port) as paired:  # the first phone after Pair
        paired.sendall(b"\x08")
        assert recv_exact(paired, 7)[:1] == b"\x08"
    gui.until("result = not ui.service.server.is_connected")
    with connect_from("127.0.0.3", port) as other:
        assert other.recv(1) == b""  # refused: closed without a byte
    shown = gui.run("result = [t for _, t in list(ui.service.notifications)[-3:]]")
    assert any("Refused" in t and "127.0.0.3" in t for t in shown), shown  # the panel's lines
    assert gui.run("result = ui.settings().paired_address") == "127.0.0.2"
    gui.run("bpy.ops.tavrel.pair()")  # the next test's app pairs anew

    # Installed, the add-on keeps these in Blender's preferences: pairing and the interface menu
    # mark them changed, or Blender would not save them.
    assert gui.run("""
entry = bpy.context.preferences.addons.new()
entry.module = "tavrel_blender"
marked = []
for change in ("ui.service.pair()", "ui.service.admit('127.0.0.9', 1)",
               "bpy.ops.tavrel.listen_on(interface='ALL')"):
    bpy.context.preferences.is_dirty = False
    exec(change)
    marked.append(bpy.context.preferences.is_dirty)
result = (type(ui.settings()).__name__, ui.settings().paired_address, marked)
ui.service.pair()
bpy.context.preferences.addons.remove(entry)
""") == ["TavrelPreferences", "127.0.0.9", [True, True, True]]

    # The interface to listen on, chosen from this computer's: the QR code carries it alone.
    address, qr = gui.run("""
interface = ui._interface_items(None, None)[-1][0]
ui.service.shutdown()
bpy.ops.tavrel.listen_on(interface=interface)
assert ui.service.start(0)
result = (ui.settings().listen_address, ui.service.server.get_qr_string())
bpy.ops.tavrel.listen_on(interface="ALL")
""")
    port = gui.run("result = ui.service.server.server_port")
    assert qr == f"{port}_{address}" if address else qr.startswith(str(port))
    gui.run("ui.service.shutdown(); assert ui.service.start(0)")


def test_enable_and_disable_twice_leave_nothing_behind(gui):
    gui.run("import addon_utils; addon_utils.disable('tavrel_blender')")
    baseline = gui.run("result = inside()")
    for _ in range(2):
        gui.run("addon_utils.enable('tavrel_blender'); from tavrel.blender import ui; "
                "assert ui.service.start(0); result = ui.service.server.server_port")
        port = gui.run("result = ui.service.server.server_port")
        with AppClient("127.0.0.1", port, timeout=30) as app:
            select(app, "Camera")
            app.start_streaming(fps=10.0, mbps=2.0, autosend=True)
            app.read_video_packet(timeout=60)
            gui.run("addon_utils.disable('tavrel_blender')")  # while the app streams
        try:
            wait_until(lambda: gui.run("result = inside()") == baseline, 10, interval=0.05)
        except AssertionError:
            assert gui.run("result = inside()") == baseline
    gui.run("addon_utils.enable('tavrel_blender'); from tavrel.blender import ui; "
            "assert ui.service.start(0)")


PANELS = ("VIEW3D_PT_tavrel", "VIEW3D_PT_tavrel_scripts", "VIEW3D_PT_tavrel_stream")


def test_panels_draw_the_connection_and_the_app(gui):
    """The sidebar's panels as Blender draws them (opened over the 3D view: 3.4 cannot choose the
    sidebar's tab from Python): the QR code while no app is connected, then the app, its camera
    and the stream. Blender prints what fails in a panel and goes on: its output is read."""
    gui.run(f"""
from tavrel.blender import ui
win = bpy.context.window_manager.windows[0]
area = next(a for a in win.screen.areas if a.type == "VIEW_3D")
region = next(r for r in area.regions if r.type == "WINDOW")

def draw_panels():
    with bpy.context.temp_override(window=win, screen=win.screen, area=area, region=region):
        for name in {PANELS!r}:
            bpy.ops.wm.call_panel(name=name, keep_open=True)
        bpy.ops.wm.redraw_timer(type="DRAW_WIN_SWAP", iterations=1)
""")
    shown = len(gui.lines)
    gui.run("ui._previews['qr'] = None; draw_panels()")
    assert gui.run("result = ui._previews['qr'] == ui.service.server.get_qr_string()")
    port = gui.run("result = ui.service.server.server_port")
    with AppClient("127.0.0.1", port, timeout=30) as app:
        select(app, "Camera")
        app.start_streaming(fps=10.0, mbps=2.0, autosend=True)
        app.read_video_packet(timeout=60)
        gui.run("draw_panels()")
        app.stop_streaming()
        assert app.sync() == []
    gui.run("print('PANELS DRAWN', flush=True)")  # after whatever the drawing printed
    gui.wait_for("PANELS DRAWN")
    failed = [line for line in gui.lines[shown:] if re.search(r"Traceback|Error|rna_ui", line)]
    assert failed == [], "\n".join(gui.lines[shown:])


def test_quit_while_an_app_streams(gui):
    port = gui.run("from tavrel.blender import ui; result = ui.service.server.server_port")
    with AppClient("127.0.0.1", port, timeout=30) as app:
        select(app, "Camera")
        app.start_streaming(fps=10.0, mbps=2.0, autosend=True)
        app.read_video_packet(timeout=60)
        blocks = gui.run("result = inside()[3]")
        workers = gui.run("result = inside()[2]")
        assert blocks and workers
        gui.run("bpy.ops.wm.quit_blender()")
        assert gui.proc.wait(60) == 0
    assert not [block for block in blocks if os.path.exists(block)]
    assert session_processes(gui.proc.pid) == []
    assert re.search(r"Tavrel: Stopped serving", gui.text)
