"""The add-on's interface: preferences, the sidebar panel (3D view, tab "Tavrel"), the scene's
script list, and the operators behind them."""

from __future__ import annotations

import bpy
import bpy.utils.previews
from bpy.props import (CollectionProperty, EnumProperty, IntProperty, PointerProperty,
                       StringProperty)

from tavrel.blender.service import Service, remember
from tavrel.tav_core import TavServer

QR_PIXELS = 256  # size the QR image is drawn at before the panel scales it
LEVEL_ICONS = {"INFO": "INFO", "WARNING": "ERROR", "ERROR": "CANCEL"}

_addon = {"name": None}  # the module name Blender registered the add-on under
_previews = {"collection": None, "qr": None}


def settings():
    """Port, capture mode and stream size: the add-on's preferences, or the session's."""
    entry = bpy.context.preferences.addons.get(_addon["name"] or "")
    return entry.preferences if entry else bpy.context.window_manager.tavrel_settings


def capture_settings():
    s = settings()
    return (s.capture_mode, s.stream_size)


service = Service(capture_settings, settings)


def labels_changed(self=None, context=None):
    """The script list changed: an app that is connected gets the new labels at once."""
    server = service.server
    if server is not None and server.is_connected:
        try:
            server.update_script_labels()
        except Exception as e:  # a label the app cannot take; the panel says so
            service.notify(f"Script labels not sent: {e}", "ERROR")


# -- data -----------------------------------------------------------------------------------------
def _settings():
    """The settings' properties: kept in the add-on's preferences where Blender has them (an
    installed, enabled add-on), else for the session on the window manager."""
    return {
        "port": IntProperty(name="Port", min=0, max=65535, default=0,
                            description="TCP port to serve on (0: any free port; the QR code "
                                        "carries it)"),
        "capture_mode": EnumProperty(
            name="Capture", default="BUFFER",
            items=[("BUFFER", "Camera view",
                    "Draw the app's camera off-screen at the stream size"),
                   ("SCREENSHOT", "3D view on screen",
                    "Stream the 3D view's region as it shows on the screen (window visible)")]),
        "stream_size": IntProperty(name="Stream size", min=160,
                                   max=max(TavServer._ENC_MAX_RESOLUTION), default=640,
                                   description="Longest side of the streamed picture in pixels"),
        # Who is served (service.py: Service.admit).
        "accept": EnumProperty(
            name="Accept", default="PAIRED",
            items=[("PAIRED", "The paired phone only",
                    "Serve only the paired phone: the first to connect after Pair"),
                   ("ANY", "Any phone", "Serve any phone that reaches the port")]),
        "paired_address": StringProperty(
            name="Paired phone", default="",
            description="Address of the paired phone (empty: the next phone to connect)"),
        "listen_address": StringProperty(
            name="Listen on", default="",
            description="IPv4 address of the network interface to serve on (empty: every "
                        "interface); the QR code then carries only this address"),
    }


class TavrelPreferences(bpy.types.AddonPreferences):
    bl_idname = __package__  # replaced by the add-on's name in register()
    __annotations__ = _settings()

    def draw(self, context):
        for name in self.__annotations__:
            self.layout.prop(self, name)


class TavrelSessionSettings(bpy.types.PropertyGroup):
    __annotations__ = _settings()


class TavrelScript(bpy.types.PropertyGroup):
    label: StringProperty(name="Label", update=labels_changed,
                          description="What the app shows (empty: the text or operator name)")
    kind: EnumProperty(name="Kind", update=labels_changed, default="TEXT",
                       items=[("TEXT", "Text", "Run a text block as a Python script"),
                              ("OPERATOR", "Operator", "Run an operator, such as view3d.snap")])
    text: PointerProperty(name="Text", type=bpy.types.Text, update=labels_changed)
    operator: StringProperty(name="Operator", update=labels_changed,
                             description="Operator id, for example object.duplicate_move")


# -- operators ------------------------------------------------------------------------------------
class TAVREL_OT_start(bpy.types.Operator):
    bl_idname = "tavrel.start"
    bl_label = "Start serving"
    bl_description = "Serve the Tavrel app on the port set below"

    def execute(self, context):
        return {"FINISHED"} if service.start(settings().port) else {"CANCELLED"}


class TAVREL_OT_stop(bpy.types.Operator):
    bl_idname = "tavrel.stop"
    bl_label = "Stop serving"
    bl_description = "Disconnect the app and stop serving"

    def execute(self, context):
        service.stop()
        return {"FINISHED"}


class TAVREL_OT_pair(bpy.types.Operator):
    bl_idname = "tavrel.pair"
    bl_label = "Pair"
    bl_description = "Serve only the next phone that connects (until you pair again)"

    def execute(self, context):
        service.pair()
        return {"FINISHED"}


_interfaces = []  # the menu's last items: Blender keeps only references to their strings


def _interface_items(self, context):
    _interfaces[:] = [("ALL", "Every interface", "Serve on all of this computer's addresses")]
    _interfaces.extend((a, a, f"Serve on {a} only") for a in TavServer._get_net_addresses())
    return _interfaces


class TAVREL_OT_listen_on(bpy.types.Operator):
    bl_idname = "tavrel.listen_on"
    bl_label = "Listen on"
    bl_description = "The network interface to serve on (the QR code carries only its address)"
    bl_property = "interface"

    interface: EnumProperty(name="Interface", items=_interface_items)

    def execute(self, context):
        remember(settings(), "listen_address", "" if self.interface == "ALL" else self.interface)
        return {"FINISHED"}


class TAVREL_OT_report(bpy.types.Operator):
    """Shows the add-on's messages in the status bar. Reports of an operator called from a
    script stay with the script; those of a running modal operator reach the window manager."""

    bl_idname = "tavrel.report"
    bl_label = "Tavrel message"
    bl_options = {"INTERNAL"}

    def invoke(self, context, event):
        self._timer = context.window_manager.event_timer_add(0.0, window=context.window)
        context.window_manager.modal_handler_add(self)
        return {"RUNNING_MODAL"}

    def modal(self, context, event):
        if event.type != "TIMER":
            return {"PASS_THROUGH"}
        context.window_manager.event_timer_remove(self._timer)
        for level, text in service.take_reports():
            self.report({level}, f"Tavrel: {text}")
        return {"FINISHED"}


class TAVREL_OT_script_add(bpy.types.Operator):
    bl_idname = "tavrel.script_add"
    bl_label = "Add script"
    bl_description = "Add a script the app can run (the active text block, if any)"
    bl_options = {"REGISTER", "UNDO"}

    def execute(self, context):
        scripts = context.scene.tavrel_scripts
        item = scripts.add()
        space = context.space_data
        item.text = getattr(space, "text", None) or (bpy.data.texts[0] if bpy.data.texts else None)
        context.scene.tavrel_script_index = len(scripts) - 1
        labels_changed()
        return {"FINISHED"}


class TAVREL_OT_script_remove(bpy.types.Operator):
    bl_idname = "tavrel.script_remove"
    bl_label = "Remove script"
    bl_options = {"REGISTER", "UNDO"}

    @classmethod
    def poll(cls, context):
        return 0 <= context.scene.tavrel_script_index < len(context.scene.tavrel_scripts)

    def execute(self, context):
        scene = context.scene
        scene.tavrel_scripts.remove(scene.tavrel_script_index)
        scene.tavrel_script_index = min(scene.tavrel_script_index, len(scene.tavrel_scripts) - 1)
        labels_changed()
        return {"FINISHED"}


# -- panel ----------------------------------------------------------------------------------------
class TAVREL_UL_scripts(bpy.types.UIList):
    def draw_item(self, context, layout, data, item, icon, active_data, active_propname):
        from tavrel.blender.scene import script_label

        icon = "TEXT" if item.kind == "TEXT" else "PLAY"
        layout.label(text=script_label(item), icon=icon)


def qr_icon(server):
    """The icon id of the QR code of `server`'s connection string, drawn from its raw image."""
    key = server.get_qr_string()
    if _previews["qr"] != key:
        rows = server.get_qr_image_raw(1)
        box = max(1, QR_PIXELS // len(rows))
        rows = server.get_qr_image_raw(box)
        size = len(rows)
        pixels = []
        for row in reversed(rows):  # Blender's images start at the bottom row
            for v in row:
                g = v / 255.0
                pixels += (g, g, g, 1.0)
        preview = _previews["collection"].get("qr") or _previews["collection"].new("qr")
        preview.image_size = preview.icon_size = (size, size)
        preview.image_pixels_float = preview.icon_pixels_float = pixels
        _previews["qr"] = key
    return _previews["collection"]["qr"].icon_id


class _SidebarPanel:
    """Where every panel of the add-on lives: the 3D view's sidebar, tab "Tavrel"."""

    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Tavrel"


class _SubPanel(_SidebarPanel):
    bl_parent_id = "VIEW3D_PT_tavrel"
    bl_options = {"DEFAULT_CLOSED"}


def draw_access(layout, prefs, serving):
    """Who may connect: the interface listened on (chosen before serving) and the pairing."""
    col = layout.column(align=True)
    if not serving:
        row = col.row(align=True)
        row.label(text="Listen on")
        row.operator_menu_enum("tavrel.listen_on", "interface",
                               text=prefs.listen_address or "Every interface")
    col.prop(prefs, "accept")
    if prefs.accept == "PAIRED":
        row = col.row(align=True)
        row.label(text=f"Paired: {prefs.paired_address or 'the next phone to connect'}",
                  icon="LOCKED")
        row.operator("tavrel.pair")


class VIEW3D_PT_tavrel(_SidebarPanel, bpy.types.Panel):
    bl_label = "Tavrel"

    def draw(self, context):
        layout = self.layout
        server = service.server
        if server is None:
            layout.prop(settings(), "port")
            layout.operator("tavrel.start", icon="PLAY")
        else:
            layout.operator("tavrel.stop", icon="PAUSE")
            col = layout.column(align=True)
            col.label(text=f"Port {server.server_port}")
            col.label(text=f"Connection: {server.get_qr_string()}")
            if not server.is_connected:
                layout.template_icon(icon_value=qr_icon(server), scale=10.0)
                layout.label(text="Scan the code with the app", icon="INFO")
            else:
                col = layout.column(align=True)
                col.label(text=f"App: {server.client_ip}:{server.client_port}",
                          icon="LINKED")
                col.label(text=f"Camera: {server.current_camera or '-'}",
                          icon="CAMERA_DATA")
                if server.is_capturing:
                    capture = service.capture
                    size = "x".join(map(str, capture.size)) if capture.size else "-"
                    col.label(text=f"Streaming {size}, {capture.rate:.1f} fps",
                              icon="RENDER_ANIMATION")
                else:
                    col.label(text="Not streaming")
        draw_access(layout, settings(), serving=server is not None)
        if service.notifications:
            box = layout.box().column(align=True)
            for level, text in list(service.notifications)[-3:]:
                box.label(text=text, icon=LEVEL_ICONS.get(level, "INFO"))


class VIEW3D_PT_tavrel_scripts(_SubPanel, bpy.types.Panel):
    bl_label = "Scripts for the app"

    def draw(self, context):
        layout, scene = self.layout, context.scene
        row = layout.row()
        row.template_list("TAVREL_UL_scripts", "", scene, "tavrel_scripts", scene,
                          "tavrel_script_index", rows=3)
        col = row.column(align=True)
        col.operator("tavrel.script_add", icon="ADD", text="")
        col.operator("tavrel.script_remove", icon="REMOVE", text="")
        if 0 <= scene.tavrel_script_index < len(scene.tavrel_scripts):
            item = scene.tavrel_scripts[scene.tavrel_script_index]
            layout.prop(item, "kind", expand=True)
            layout.prop(item, "text" if item.kind == "TEXT" else "operator")
            layout.prop(item, "label")


class VIEW3D_PT_tavrel_stream(_SubPanel, bpy.types.Panel):
    bl_label = "Stream"

    def draw(self, context):
        self.layout.prop(settings(), "capture_mode")
        self.layout.prop(settings(), "stream_size")


CLASSES = (TavrelPreferences, TavrelSessionSettings, TavrelScript, TAVREL_OT_start, TAVREL_OT_stop, TAVREL_OT_report,
           TAVREL_OT_pair, TAVREL_OT_listen_on, TAVREL_OT_script_add, TAVREL_OT_script_remove, TAVREL_UL_scripts, VIEW3D_PT_tavrel,
           VIEW3D_PT_tavrel_scripts, VIEW3D_PT_tavrel_stream)


@bpy.app.handlers.persistent
def _load_pre(*args):
    service.shutdown()


def register(addon_name):
    _addon["name"] = TavrelPreferences.bl_idname = addon_name
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.WindowManager.tavrel_settings = PointerProperty(type=TavrelSessionSettings)
    bpy.types.Scene.tavrel_scripts = CollectionProperty(type=TavrelScript)
    bpy.types.Scene.tavrel_script_index = IntProperty(default=0)
    _previews["collection"], _previews["qr"] = bpy.utils.previews.new(), None
    bpy.app.handlers.load_pre.append(_load_pre)


def unregister():
    service.shutdown()
    if _load_pre in bpy.app.handlers.load_pre:
        bpy.app.handlers.load_pre.remove(_load_pre)
    if _previews["collection"] is not None:
        bpy.utils.previews.remove(_previews["collection"])
        _previews["collection"] = None
    del bpy.types.Scene.tavrel_script_index
    del bpy.types.Scene.tavrel_scripts
    del bpy.types.WindowManager.tavrel_settings
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
