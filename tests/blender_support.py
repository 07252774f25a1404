"""Real Blender for the tests, driven through a test agent (blender_agent.py) that runs Python in
Blender's main thread:
- `Blender`: Debian's Blender on a virtual screen through scripts/blender.sh, the add-on serving
  from its timer;
- `WindowlessBlender`: a Blender without a window (Blender as a Python module, or Debian's in the
  background) running blender_module.py, which pumps the add-on's server itself;
- `blender_modules()`: the bpy releases scripts/blender_modules.sh prepares, each with its
  interpreter."""

import json
import os
import re
import shutil
import socket
import subprocess
import threading

from conftest import wait_until
from screen_support import VirtualScreen
from streaming_support import kill_session

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AGENT = os.path.join(ROOT, "tests", "blender_agent.py")
MODULE_HOST = os.path.join(ROOT, "tests", "blender_module.py")
START_TIMEOUT = 90.0  # software OpenGL on a busy machine
SETUP_TIMEOUT = 900.0  # downloading and installing the bpy releases on a fresh machine


def blender_missing():
    return shutil.which("blender") is None


def blender_modules(*versions):
    """{version: python} of the bpy releases, set up (downloaded once) where missing."""
    out = subprocess.run([os.path.join(ROOT, "scripts", "blender_modules.sh"), *versions],
                         capture_output=True, text=True, timeout=SETUP_TIMEOUT)
    assert out.returncode == 0, out.stderr
    return dict(line.split(" ", 1) for line in out.stdout.splitlines())


class _Driven:
    """A Blender process in a session of its own (its workers stay in that session), its output
    collected, serving the app on `port`."""

    def __init__(self, command, env):
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, env=dict(env, PYTHONUNBUFFERED="1"),
                                     start_new_session=True)
        self.lines = []
        self._agent = None
        threading.Thread(target=self._read, daemon=True).start()
        try:
            agent = int(self.wait_for(r"AGENT PORT (\d+)").group(1))
            self.port = int(self.wait_for(r"connection string (\d+)").group(1))
            self._agent = socket.create_connection(("127.0.0.1", agent), timeout=60)
            self._replies = self._agent.makefile("r")
        except BaseException:
            self._agent = None
            self.kill()
            raise

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    @property
    def text(self):
        return "\n".join(self.lines)

    def wait_for(self, pattern, timeout=START_TIMEOUT):
        def found():
            if self.proc.poll() is not None and not re.search(pattern, self.text):
                raise AssertionError(f"Blender ended ({self.proc.returncode}):\n{self.text}")
            return re.search(pattern, self.text)

        return wait_until(found, timeout, interval=0.05)

    def _ended(self):
        """An AssertionError with Blender's output, once it ended (crashed, say)."""
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            return AssertionError(f"Blender's agent connection broke:\n{self.text}")
        return AssertionError(f"Blender ended ({self.proc.returncode}):\n{self.text}")

    def send(self, code):
        """Sends `code` to run in Blender's main thread, without waiting for an answer."""
        if self._agent is None:
            raise RuntimeError("no agent connection")
        try:
            self._agent.sendall(json.dumps({"code": code}).encode() + b"\n")
        except OSError:
            raise self._ended() from None

    def run(self, code):
        """Runs `code` in Blender's main thread; returns what it left in `result`."""
        self.send(code)
        line = self._replies.readline()
        if not line:
            raise self._ended()
        reply = json.loads(line)
        if "error" in reply:
            raise AssertionError(f"in Blender:\n{reply['error']}")
        return reply["result"]

    def until(self, code, timeout=10.0):
        """Polls `code` in Blender until its result is true."""
        return wait_until(lambda: self.run(code), timeout, interval=0.05)

    QUIT = "bpy.ops.wm.quit_blender()"

    def kill(self):
        """Quits Blender (so the add-on stops its stream), or kills what is left of it."""
        if self.proc.poll() is None and self._agent is not None:
            try:
                self.send(self.QUIT)
                self.proc.wait(30)
            except Exception:  # Blender is stuck
                pass
        kill_session(self.proc.pid)
        self.proc.wait()


class Blender(_Driven):
    """Debian's Blender with its window on a virtual screen."""

    def __init__(self, *args):
        self.screen = VirtualScreen(1024, 640)
        command = [os.path.join(ROOT, "scripts", "blender.sh"), "--port", "0",
                   "--factory-startup", "--python", AGENT, *args]
        try:
            super().__init__(command, dict(os.environ, DISPLAY=self.screen.display))
        except BaseException:
            self.screen.close()
            raise

    def kill(self):
        super().kill()
        self.screen.close()


class WindowlessBlender(_Driven):
    """`python` (a bpy environment's interpreter, Debian's blender run in the background, or a
    command that runs a Python with bpy) with the add-on from `core` (a folder holding the tavrel package, put on the Python path) or
    installed from the add-on `archive`, in a user folder of its own, `home`."""

    QUIT = "raise SystemExit"  # blender_module.py disables the add-on on its way out

    def __init__(self, python, home, core=None, archive=None):
        if isinstance(python, list):  # a command: Windows' Python with bpy, under Wine
            command = [*python, MODULE_HOST]
        elif os.path.basename(python) == "blender":
            command = [python, "-b", "--factory-startup", "--python", MODULE_HOST, "--"]
        else:
            command = [python, MODULE_HOST]
        env = dict(os.environ, BLENDER_USER_RESOURCES=f"{home}/resources",
                   BLENDER_USER_SCRIPTS=f"{home}/scripts", BLENDER_USER_CONFIG=f"{home}/config")
        env.pop("DISPLAY", None)
        env.pop("PYTHONPATH", None)
        if core is not None:
            env["PYTHONPATH"] = core
        super().__init__(command + ([archive] if archive else []), env)
