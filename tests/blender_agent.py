"""Runs inside Blender for the tests (blender --python tests/blender_agent.py): executes Python
sent by the test in Blender's main thread, from a timer, and answers with the value the code
left in `result`. Where no timer runs (Blender as a module), blender_module.py calls `poll`.

Requests and answers are lines of JSON on a loopback connection: {"code": ...} in, {"result": ...}
or {"error": traceback} out. The names the code defines stay for the next request. The agent
prints "AGENT PORT n" when it listens.
"""

import json
import socket
import traceback

import bpy

listener = socket.create_server(("127.0.0.1", 0))
listener.setblocking(False)
state = {"conn": None, "data": b""}
namespace = {"bpy": bpy}


def _answer(line):
    try:
        namespace.pop("result", None)
        exec(json.loads(line)["code"], namespace)
        return {"result": namespace.get("result")}
    except Exception:
        return {"error": traceback.format_exc()}


def poll():
    """Answers what has arrived; returns the seconds until the next call."""
    try:
        if state["conn"] is None:
            try:
                state["conn"], _ = listener.accept()
            except BlockingIOError:
                return 0.01
            state["conn"].setblocking(False)
        try:
            chunk = state["conn"].recv(65536)
        except BlockingIOError:
            return 0.005
        if not chunk:
            state["conn"].close()
            state["conn"] = None
            return 0.01
        state["data"] += chunk
        while b"\n" in state["data"]:
            line, state["data"] = state["data"].split(b"\n", 1)
            reply = json.dumps(_answer(line), default=repr).encode() + b"\n"
            state["conn"].setblocking(True)
            state["conn"].sendall(reply)
            state["conn"].setblocking(False)
    except Exception:
        traceback.print_exc()
    return 0.005


bpy.app.timers.register(poll, first_interval=0.0, persistent=True)
print(f"AGENT PORT {listener.getsockname()[1]}", flush=True)
