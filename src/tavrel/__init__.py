"""tavrel: connects a 3D host application to a phone used as a hand-held virtual camera.

The server lives in the extension module ``tavrel.tav_core`` (class ``TavServer``); a host plug-in
implements ``tavrel.tav_base.TavBase`` to let the server read and change its scene.
"""
