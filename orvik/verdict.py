"""How well a registered pair agrees: a normalised score, the flag, the intensity fit.

The score is the correlation of the target with the source seen through the
map, over the sample points valid in both, after each has lost its best-fit
plane (so gain, offset and a linear illumination ramp leave it unchanged); it
lies in [-1, 1]. A result is "ok" when the score reaches SCORE_LIMIT and the
overlap covers at least OVERLAP_LIMIT of the target's usable samples,
"suspect" otherwise. Both limits come from bench/verdict_data.py.
"""

from dataclasses import dataclass

import numpy as np

from . import geometry

SCORE_LIMIT = 0.5
OVERLAP_LIMIT = 0.05


@dataclass
class Agreement:
    score: float
    overlap: float
    detail: float = float("nan")
    gain: float = 1.0
    plane: tuple = (0.0, 0.0, 0.0)  # offset, x and y slopes, in target coordinates

    @property
    def flag(self):
        return "ok" if self.score >= SCORE_LIMIT and self.overlap >= OVERLAP_LIMIT else "suspect"

    @property
    def ok(self):
        return self.flag == "ok"


def agreement(target, source, matrix):
    """Agreement of two `Prepared` images under `matrix` (target -> source positions)."""
    x, y, t = target.samples()
    q = geometry.apply(matrix, np.stack([x, y], axis=-1))
    qx, qy = q[:, 0], q[:, 1]
    h, w = source.shape
    with np.errstate(invalid="ignore"):
        inside = (qx >= 0) & (qx <= w - 1) & (qy >= 0) & (qy <= h - 1)
    if source.valid is not None:
        near = np.flatnonzero(inside)
        keep = source.valid[np.rint(qy[near]).astype(np.intp), np.rint(qx[near]).astype(np.intp)]
        inside[near[~keep]] = False
    n = int(np.count_nonzero(inside))
    overlap = n / max(1, len(t))
    if n < 16:
        return Agreement(float("nan"), overlap)
    x, y, t, qx, qy = x[inside], y[inside], t[inside], qx[inside], qy[inside]
    s = bilinear(source.values, qx, qy)
    nearest = source.values[np.rint(qy).astype(np.intp), np.rint(qx).astype(np.intp)]
    design = np.column_stack([np.ones(n), x - x.mean(), y - y.mean()])
    # Planes of the target, the interpolated and the nearest source values at once.
    coefficients, *_ = np.linalg.lstsq(design, np.column_stack([t, s, nearest]), rcond=None)
    residual = np.column_stack([t, s, nearest]) - design @ coefficients
    tt = float(residual[:, 0] @ residual[:, 0])
    ss = float(residual[:, 1] @ residual[:, 1])
    if not (tt > 0 and ss > 0):
        return Agreement(float("nan"), overlap)
    score = float(residual[:, 0] @ residual[:, 1]) / np.sqrt(tt * ss)
    detail = _detail(target, source, matrix, x, y, qx, qy)
    # Gain from the spreads of the pixel values themselves (the nearest ones, so
    # no interpolation smooths the source's), the plane from the two fits.
    nn = float(residual[:, 2] @ residual[:, 2])
    gain = float(np.sqrt(tt / nn)) if nn > 0 else 1.0
    ct, cn = coefficients[:, 0], coefficients[:, 2]
    slope = ct[1:] - gain * cn[1:]
    offset = ct[0] - gain * cn[0] - slope[0] * x.mean() - slope[1] * y.mean()
    return Agreement(float(np.clip(score, -1.0, 1.0)), overlap, detail, gain,
                     (float(offset), float(slope[0]), float(slope[1])))


STEP = 2  # pixels between the two ends of a difference


def _detail(target, source, matrix, x, y, qx, qy):
    """Correlation of the differences over STEP pixels along x and along y of the
    target with those of the source between the mapped points: the fine structure
    only, blind to offsets and smooth illumination, and quick to fall once the
    map is off by more than a couple of pixels."""
    h, w = target.shape
    sh, sw = source.shape
    tv, sv = [], []
    base_t = target.values[y.astype(np.intp), x.astype(np.intp)]
    base_s = bilinear(source.values, qx, qy)
    for dx, dy in ((STEP, 0), (0, STEP)):
        px, py = x + dx, y + dy
        far = geometry.apply(matrix, np.stack([px, py], axis=-1))
        with np.errstate(invalid="ignore"):
            keep = (px <= w - 1) & (py <= h - 1) & (far[:, 0] >= 0) & (far[:, 0] <= sw - 1) & \
                   (far[:, 1] >= 0) & (far[:, 1] <= sh - 1)
        if target.valid is not None:
            keep[keep] = target.valid[py[keep].astype(np.intp), px[keep].astype(np.intp)]
        tv.append(target.values[py[keep].astype(np.intp), px[keep].astype(np.intp)] - base_t[keep])
        sv.append(bilinear(source.values, far[keep, 0], far[keep, 1]) - base_s[keep])
    a, b = np.concatenate(tv), np.concatenate(sv)
    if a.size < 16:
        return float("nan")
    a = a - a.mean()
    b = b - b.mean()
    aa, bb = float(a @ a), float(b @ b)
    return float(np.clip(a @ b / np.sqrt(aa * bb), -1.0, 1.0)) if aa > 0 and bb > 0 else float("nan")


def bilinear(image, x, y):
    """Values of `image` at positions (x, y) inside it, linearly interpolated."""
    h, w = image.shape
    x0 = np.minimum(np.floor(x).astype(np.intp), w - 2) if w > 1 else np.zeros(len(x), np.intp)
    y0 = np.minimum(np.floor(y).astype(np.intp), h - 2) if h > 1 else np.zeros(len(y), np.intp)
    fx = x - x0 if w > 1 else np.zeros(len(x))
    fy = y - y0 if h > 1 else np.zeros(len(y))
    x1 = x0 + (1 if w > 1 else 0)
    y1 = y0 + (1 if h > 1 else 0)
    top = image[y0, x0] * (1 - fx) + image[y0, x1] * fx
    bottom = image[y1, x0] * (1 - fx) + image[y1, x1] * fx
    return top * (1 - fy) + bottom * fy
