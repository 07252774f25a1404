"""The F-curves that animate a data-block, through the animation API the running Blender offers.

Blender 4.4 made actions slotted: an action holds slots, one per data-block it animates, and its
layers' strips hold a channel bag of F-curves per slot. One action may then animate both a camera
object and its camera data, each through a slot of its own. The flat list Action.fcurves of older
Blenders stays in 4.4 and 4.5 as a view of the first slot only, and is gone in 5.0. So the
data-block's own slot is read where this Blender has slots, and the flat list only where it does
not: decided by what the running Blender offers, not by its version number.
"""

from __future__ import annotations

try:
    from bpy_extras.anim_utils import action_get_channelbag_for_slot
except ImportError:  # before slotted actions
    action_get_channelbag_for_slot = None


def fcurves(datablock):
    """The collection of F-curves that animates `datablock` (it has `remove`), or None."""
    anim = datablock.animation_data
    if anim is None or anim.action is None:
        return None
    if action_get_channelbag_for_slot is not None and hasattr(anim, "action_slot"):
        if anim.action_slot is None:
            return None
        bag = action_get_channelbag_for_slot(anim.action, anim.action_slot)
        return bag.fcurves if bag is not None else None
    return anim.action.fcurves


def curves(datablock, paths):
    """The F-curves of `datablock` that animate one of `paths`."""
    found = fcurves(datablock)
    return [fc for fc in found if fc.data_path in paths] if found is not None else []


def has_keys(datablock, paths):
    return any(len(fc.keyframe_points) for fc in curves(datablock, paths))


def remove_keys(datablock, paths):
    found = fcurves(datablock)
    for fc in curves(datablock, paths):
        found.remove(fc)
