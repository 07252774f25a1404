"""The demo's viewport: its scene's ground, grid and boxes drawn with numpy through a camera.

Camera transforms are read as row-major camera-to-world matrices (translation in elements 3, 7
and 11), the camera looking along its local -Z with +Y up, in a world whose ground is z = 0. The
focal length is in millimetres on a 36 mm wide sensor. These are the demo host's conventions; the
server passes the numbers through untouched.
"""

from __future__ import annotations

import numpy as np

WIDTH, HEIGHT = 640, 360
SENSOR_WIDTH = 36.0  # millimetres
NEAR = 0.1


def rgba(r, g, b, a=255):
    """A pixel as the uint32 whose bytes in memory are r, g, b, a."""
    return np.array([r, g, b, a], np.uint8).view("<u4")[0]


SKY, GROUND = rgba(118, 150, 196), rgba(58, 62, 66)
BAR, BAR_BACK = rgba(240, 240, 240), rgba(30, 30, 30)
GRID, AXIS_X, AXIS_Y = rgba(150, 154, 160), rgba(220, 70, 60), rgba(90, 200, 80)
LIGHT = np.array((0.4, -0.3, 0.87)) / np.linalg.norm((0.4, -0.3, 0.87))
# (centre x, centre y, size x, size y, height, colour)
BOXES = [
    (0.0, 0.0, 1.6, 1.6, 1.6, (230, 160, 40)),
    (3.5, 1.0, 1.0, 1.0, 2.6, (70, 120, 230)),
    (-2.5, 2.5, 2.0, 0.8, 0.8, (200, 60, 160)),
    (1.5, -3.0, 0.7, 0.7, 0.7, (60, 200, 190)),
]


def look_at(eye, target, focal_length=35.0):
    """(transform, focal length) of a camera at `eye` looking at `target`, world z up."""
    eye, target = np.asarray(eye, float), np.asarray(target, float)
    back = eye - target
    back /= np.linalg.norm(back)
    right = np.cross((0.0, 0.0, 1.0), back)
    right /= np.linalg.norm(right)
    up = np.cross(back, right)
    m = np.identity(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = right, up, back, eye
    return tuple(float(v) for v in m.ravel()), float(focal_length)


# -- the viewport --------------------------------------------------------------------------------
class Viewport:
    """Renders the scene through a camera: sky and ground split at the horizon, the ground grid
    as lines, the boxes as shaded faces drawn back to front, and a timeline bar. Pixels are
    handled as packed RGBA words, which keeps a 640x360 frame to a few milliseconds."""

    def __init__(self, width=WIDTH, height=HEIGHT, grid=12):
        self.width, self.height = width, height
        self.show_grid = True
        self._xs = np.arange(width, dtype=np.float32) - (width - 1) / 2
        self._ys = (height - 1) / 2 - np.arange(height, dtype=np.float32)
        r = np.arange(-grid, grid + 1, dtype=float)
        ends = np.full(r.shape, float(grid))
        z = np.zeros_like(r)
        along_y = np.stack([np.stack([r, -ends, z], 1), np.stack([r, ends, z], 1)], 1)
        along_x = np.stack([np.stack([-ends, r, z], 1), np.stack([ends, r, z], 1)], 1)
        self._lines = np.concatenate([along_y, along_x])
        self._line_colours = np.full(len(self._lines), GRID)
        self._line_colours[grid] = AXIS_Y  # the line x = 0
        self._line_colours[len(r) + grid] = AXIS_X
        faces = [face for box in BOXES for face in _box_faces(*box)]
        self._faces = tuple(np.array(column) for column in zip(*faces))

    def render(self, transform, focal_length, progress=None):
        """The frame as a (height, width, 4) RGBA array."""
        m = np.asarray(transform, float).reshape(4, 4)
        rotation, eye = m[:3, :3], m[:3, 3]
        f = focal_length / SENSOR_WIDTH * self.width
        # A pixel looks at the sky when its ray points up: the world z of the ray (x, y, -f) in
        # camera space is a x + b y - c f, so the horizon is a straight line.
        a, b, c = rotation[2]
        image = np.where(a * self._xs[None, :] + (b * self._ys - c * f)[:, None] > 0, SKY, GROUND)
        if self.show_grid:
            self._draw_lines(image, rotation, eye, f)
        self._draw_faces(image, rotation, eye, f)
        if progress is not None:
            bar = int(round(min(max(progress, 0.0), 1.0) * self.width))
            image[-6:, :bar], image[-6:, bar:] = BAR, BAR_BACK
        return image.view(np.uint8).reshape(self.height, self.width, 4)

    def _project(self, points_camera, f):
        depth = -points_camera[..., 2]
        x = (self.width - 1) / 2 + f * points_camera[..., 0] / depth
        y = (self.height - 1) / 2 - f * points_camera[..., 1] / depth
        return np.stack([x, y], -1)

    def _draw_lines(self, image, rotation, eye, f):
        cam = (self._lines - eye) @ rotation  # (lines, 2, 3) in camera space
        z0, z1 = cam[:, 0, 2], cam[:, 1, 2]
        keep = (z0 < -NEAR) | (z1 < -NEAR)
        cam, colours, z0, z1 = cam[keep], self._line_colours[keep], z0[keep], z1[keep]
        # Clip each line to the near plane.
        t = np.clip((-NEAR - z0) / np.where(z1 == z0, 1e-12, z1 - z0), 0.0, 1.0)[:, None]
        cut = cam[:, 0] + t * (cam[:, 1] - cam[:, 0])
        p0 = np.where((z0 < -NEAR)[:, None], cam[:, 0], cut)
        p1 = np.where((z1 < -NEAR)[:, None], cam[:, 1], cut)
        s0, s1 = self._project(p0, f), self._project(p1, f)
        # Clip to the image (Liang-Barsky), then one sample per pixel along each line.
        d = s1 - s0
        lo, hi = np.zeros(len(d)), np.ones(len(d))
        for axis, limit in ((0, self.width - 1), (1, self.height - 1)):
            for p, q in ((-d[:, axis], s0[:, axis]), (d[:, axis], limit - s0[:, axis])):
                with np.errstate(divide="ignore", invalid="ignore"):
                    r = q / p
                hi = np.where((p == 0) & (q < 0), -1.0, hi)  # parallel to the edge, outside
                lo = np.where(p < 0, np.maximum(lo, r), lo)
                hi = np.where(p > 0, np.minimum(hi, r), hi)
        visible = lo <= hi
        s0, d, lo, hi, colours = s0[visible], d[visible], lo[visible], hi[visible], colours[visible]
        a, b = s0 + lo[:, None] * d, s0 + hi[:, None] * d
        counts = (np.abs(b - a).max(1) + 1).astype(int)
        line = np.repeat(np.arange(len(counts)), counts)
        step = np.arange(counts.sum()) - np.repeat(np.cumsum(counts) - counts, counts)
        t = step / np.maximum(counts - 1, 1)[line]
        pts = np.rint(a[line] + t[:, None] * (b - a)[line]).astype(int)
        x = np.clip(pts[:, 0], 0, self.width - 1)
        y = np.clip(pts[:, 1], 0, self.height - 1)
        image[y, x] = colours[line]

    def _draw_faces(self, image, rotation, eye, f):
        corners, centres, normals, colours = self._faces
        facing = np.einsum("ij,ij->i", normals, eye - centres) > 0
        cam = (corners[facing] - eye) @ rotation  # (faces, 4, 3)
        quads = self._project(cam, f)
        in_front = (cam[..., 2] < -NEAR).all(1)  # a face reaching behind the camera is left out
        colours = colours[facing]
        distance = np.linalg.norm(centres[facing] - eye, axis=1)
        for i in np.argsort(-distance):  # far faces first
            if not in_front[i]:
                continue
            quad = quads[i]
            x0, y0 = np.maximum(np.floor(quad.min(0)).astype(int), 0)
            x1 = min(int(np.ceil(quad[:, 0].max())) + 1, self.width)
            y1 = min(int(np.ceil(quad[:, 1].max())) + 1, self.height)
            if x0 >= x1 or y0 >= y1:
                continue
            xs = np.arange(x0, x1, dtype=np.float32)[None, :]
            ys = np.arange(y0, y1, dtype=np.float32)[:, None]
            inside = None
            for (ax, ay), (bx, by) in zip(quad, quad[[1, 2, 3, 0]]):
                # Faces that face the camera wind the same way on screen: inside is one side of
                # every edge.
                edge = (xs - ax) * (by - ay) - (ys - ay) * (bx - ax) >= 0
                inside = edge if inside is None else inside & edge
            image[y0:y1, x0:x1][inside] = colours[i]


def _box_faces(cx, cy, sx, sy, height, colour):
    """The six faces of a box standing on the ground: (corners, centre, normal, shaded colour),
    corners counter-clockwise seen from outside."""
    x0, x1, y0, y1, z0, z1 = cx - sx / 2, cx + sx / 2, cy - sy / 2, cy + sy / 2, 0.0, height
    faces = [
        ((x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1)),
        ((x0, y1, z0), (x0, y0, z0), (x0, y0, z1), (x0, y1, z1)),
        ((x1, y1, z0), (x0, y1, z0), (x0, y1, z1), (x1, y1, z1)),
        ((x0, y0, z0), (x1, y0, z0), (x1, y0, z1), (x0, y0, z1)),
        ((x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)),
        ((x0, y1, z0), (x1, y1, z0), (x1, y0, z0), (x0, y0, z0)),
    ]
    out = []
    for face in faces:
        corners = np.array(face, float)
        centre = corners.mean(0)
        normal = np.cross(corners[1] - corners[0], corners[2] - corners[1])
        normal /= np.linalg.norm(normal)
        shade = 0.45 + 0.55 * max(0.0, float(np.dot(normal, LIGHT)))
        out.append((corners, centre, normal, rgba(*(int(c * shade) for c in colour))))
    return out

