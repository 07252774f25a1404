"""How a camera matrix travels between Blender and the app: the one place that decides it.

On the wire a transform is 16 doubles: the camera object's world matrix (camera to world) in
row-major order, so elements 3, 7 and 11 are the translation. Axes are Blender's own: the world
is Z up, and the camera looks along its local -Z with +Y up. Scale, where an object has one,
travels inside the matrix.

When the phone app's convention turns out to differ (column order, Y up), only these two functions
change.
"""

from mathutils import Matrix


def matrix_to_wire(matrix):
    """A 4x4 mathutils.Matrix as the 16 numbers sent to the app."""
    return tuple(float(v) for row in matrix for v in row)


def wire_to_matrix(values):
    """16 numbers from the app as a 4x4 mathutils.Matrix."""
    if len(values) != 16:
        raise ValueError(f"a camera matrix has 16 numbers, not {len(values)}")
    v = [float(x) for x in values]
    return Matrix((v[0:4], v[4:8], v[8:12], v[12:16]))
