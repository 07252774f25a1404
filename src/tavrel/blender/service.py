"""The add-on's server: one TavServer in pull mode, drained by a bpy.app.timers timer.

Blender calls Python only from its main thread, so the server queues every host operation and the
timer runs them (TavServer.execute_pending_events). The timer is registered when serving starts
and removes itself once the server reports is_event_loop_running false, after the last delivery
of a stop. An error from a host operation is reported in the interface and the timer goes on:
Blender drops a timer whose function raises, which would leave the app unanswered.

Unregistering the add-on (also on a script reload and when Blender quits) and loading another
.blend file stop the server synchronously: the stop's deliveries are drained right there, so the
stream's worker and shared block are gone before Blender goes on. So does the interpreter's exit
where nothing unregisters the add-on (Blender as a Python module): a timer left registered then
would crash Blender's own exit.

Who is served: by default only the paired phone. "Pair" forgets the paired phone's address; the
first phone that connects afterwards (or ever) becomes the paired one, and any other is refused
with a notification naming its address. The preferences also choose the interface to listen on.
"""

from __future__ import annotations

import atexit
import collections
import time
import traceback

import bpy

from tavrel.blender.capture import Capture
from tavrel.blender.scene import BlenderHost, shown_window, window_override
from tavrel.tav_core import TavServer

PLUGIN_VERSION = (1, 0, 0)
BUSY_INTERVAL = 0.001  # timer interval while an app is connected
IDLE_INTERVAL = 0.05  # while waiting for an app: an idle Blender stays idle
STOP_TIMEOUT = 15.0  # longest wait for a synchronous stop
REDRAW_INTERVAL = 0.5  # panel refresh while streaming (the frame rate changes)
NOTIFICATIONS = 5


def remember(prefs, name, value):
    """Sets one of the add-on's settings from code. Blender saves its preferences (with auto-save,
    when it quits) only when they are marked changed, which it does for an edit in its interface
    but not for a script's: the paired phone and the interface would be forgotten."""
    setattr(prefs, name, value)
    if isinstance(prefs, bpy.types.AddonPreferences):
        bpy.context.preferences.is_dirty = True


class PairingHost(BlenderHost):
    """The scene, served to the phones the service admits."""

    def client_may_connect(self, server, client_ip, client_port):
        return self.service.admit(client_ip, client_port)


class Service:
    def __init__(self, settings, preferences=None):
        """`settings()` gives the capture settings when a stream starts: (mode, longest side).
        `preferences()` gives the add-on's settings with `accept` ("PAIRED" or "ANY"),
        `paired_address` and `listen_address` (empty: every interface); without it any phone is
        served on every interface."""
        self.preferences = preferences
        self.server = None
        self.host = None
        self.capture = Capture(settings)
        self.notifications = collections.deque(maxlen=NOTIFICATIONS)  # (level, text)
        self.host_errors = 0
        self.closing = False  # no interface work: Blender is unloading the add-on
        self._reports = []
        self._reporting = False
        self._redrawn = 0.0
        self._timer = self._pump  # one bound method, so that the timer can be found again

    @property
    def serving(self):
        return self.server is not None

    # -- lifecycle ------------------------------------------------------------------------------
    def start(self, port):
        """Serves on `port` (0: any free port). False when the port cannot be bound."""
        if self.server is not None:
            return False
        self.closing = False
        host = PairingHost(self, self.capture)
        server = TavServer("Blender", PLUGIN_VERSION, host, TavServer.EVENTMODE_PULL)
        prefs = self.preferences() if self.preferences else None
        address = (prefs.listen_address.strip() or None) if prefs else None
        try:
            started = server.start_serving(port, address)
        except ValueError:
            self.notify(f"Can't serve on '{address}': no address of this computer", "ERROR")
            return False
        if not started:
            self.notify(f"Can't serve on port {port}: it is in use", "ERROR")
            return False
        self.server, self.host = server, host
        if not bpy.app.timers.is_registered(self._timer):
            bpy.app.timers.register(self._timer, first_interval=0.0, persistent=True)
        atexit.register(self.shutdown)
        self.notify(f"Serving on port {server.server_port}")
        return True

    def stop(self):
        """Asks the server to stop; the timer runs the stop's deliveries and then ends."""
        if self.server is not None:
            self.server.stop_serving()

    def shutdown(self):
        """Stops now: returns once the server, its stream and the timer are gone."""
        server = self.server
        if server is None:
            return
        self.closing = True
        server.stop_serving()
        deadline = time.monotonic() + STOP_TIMEOUT
        while server.is_serving or server.is_stopping or server.is_event_loop_running:
            if time.monotonic() > deadline:
                print("Tavrel add-on: the server did not stop in time")
                break
            self._drain(server)
            time.sleep(0.002)
        if bpy.app.timers.is_registered(self._timer):
            bpy.app.timers.unregister(self._timer)
        self._finished()

    def _finished(self):
        atexit.unregister(self.shutdown)
        self.capture.stop()
        self.server = self.host = None
        self._redraw(force=True)

    def _drain(self, server):
        try:
            server.execute_pending_events()
        except Exception as e:  # a host operation failed; the app got no reply to it
            self.host_errors += 1
            traceback.print_exc()
            self.notify(f"{type(e).__name__}: {e}", "ERROR")

    def _pump(self):
        server = self.server
        if server is None:
            return None
        try:
            self._drain(server)
            if self.host is not None:
                self.host.tick()
            if not server.is_event_loop_running:
                self._finished()
                return None
            self._redraw()
        except Exception:  # never let Blender drop the timer while the server needs it
            traceback.print_exc()
        return BUSY_INTERVAL if server.is_connected or server.is_stopping else IDLE_INTERVAL

    # -- who is served --------------------------------------------------------------------------
    def admit(self, ip, port):
        """Whether to serve the phone at `ip` (in Blender's main thread, before it connects)."""
        prefs = self.preferences() if self.preferences else None
        if prefs is None or prefs.accept == "ANY" or ip == prefs.paired_address:
            return True
        if not prefs.paired_address:
            remember(prefs, "paired_address", ip)
            self.notify(f"Paired with the phone at {ip}")
            return True
        self.notify(f"Refused the phone at {ip}:{port}: not the paired phone "
                    f"({prefs.paired_address}); press Pair to pair another", "WARNING")
        return False

    def pair(self):
        """Forgets the paired phone: the next phone that connects becomes it."""
        if self.preferences:
            remember(self.preferences(), "paired_address", "")
            self.notify("Pairing: the next phone that connects is paired")

    # -- the interface --------------------------------------------------------------------------
    def notify(self, text, level="INFO"):
        """A message for the user: printed, listed in the panel and shown in the status bar."""
        print(f"Tavrel add-on: {text}")
        self.notifications.append((level, text))
        if self.closing:
            return
        self._reports.append((level, text))
        if not self._reporting:
            try:
                with window_override(shown_window("The status bar")):
                    bpy.ops.tavrel.report("INVOKE_DEFAULT")
                self._reporting = True
            except Exception:  # no window to report in (none at all, or starting or ending)
                self._reports.clear()
        self._redraw(force=True)

    def take_reports(self):
        """The messages not yet shown in the status bar (for the report operator)."""
        reports, self._reports, self._reporting = self._reports, [], False
        return reports

    def _redraw(self, force=False):
        now = time.monotonic()
        if self.closing or not (force or (self.server is not None and self.server.is_capturing
                                          and now - self._redrawn > REDRAW_INTERVAL)):
            return
        self._redrawn = now
        # Only the sidebars: a whole 3D view redraw costs a frame's time under software OpenGL.
        for win in bpy.context.window_manager.windows:
            for area in win.screen.areas:
                if area.type == "VIEW_3D":
                    for region in area.regions:
                        if region.type == "UI":
                            region.tag_redraw()
