"""Real Blender for the tests: scripts/blender.sh on a virtual screen, with the add-on serving
and a test agent (blender_agent.py) that runs Python in Blender's main thread."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import threading

from conftest import wait_until
from screen_support import VirtualScreen

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AGENT = os.path.join(ROOT, "tests", "blender_agent.py")
START_TIMEOUT = 90.0  # software OpenGL on a busy machine


def blender_missing():
    return shutil.which("blender") is None


class Blender:
    """A Blender process in a session of its own (its workers stay in that session)."""

    def __init__(self, *args):
        self.screen = VirtualScreen(1024, 640)
        env = dict(os.environ, DISPLAY=self.screen.display, PYTHONUNBUFFERED="1")
        command = [os.path.join(ROOT, "scripts", "blender.sh"), "--port", "0",
                   "--factory-startup", "--python", AGENT, *args]
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, env=env, start_new_session=True)
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

    def run(self, code):
        """Runs `code` in Blender's main thread; returns what it left in `result`."""
        if self._agent is None:
            raise RuntimeError("no agent connection")
        self._agent.sendall(json.dumps({"code": code}).encode() + b"\n")
        reply = json.loads(self._replies.readline())
        if "error" in reply:
            raise AssertionError(f"in Blender:\n{reply['error']}")
        return reply["result"]

    def until(self, code, timeout=10.0):
        """Polls `code` in Blender until its result is true."""
        return wait_until(lambda: self.run(code), timeout, interval=0.05)

    def kill(self):
        """Quits Blender (so the add-on stops its stream), or kills what is left of it."""
        if self.proc.poll() is None:
            try:
                self.run("bpy.ops.wm.quit_blender()")
                self.proc.wait(30)
            except Exception:  # no agent, or Blender is stuck
                pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        self.screen.close()
