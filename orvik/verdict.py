"""How well a registered pair agrees: a normalised score, the flag, the intensity fit.

The score is the correlation, over the sample points valid in both images, of
the target's differences across STEP pixels (along x and along y) with the
source's differences between the mapped points: a zero-normalised
cross-correlation of the fine structure, in [-1, 1], blind to gain, offset and
smooth illumination. Plain intensities correlate highly even for a map that is
tens of pixels off when the scene is smooth; their differences do not. A
result is "ok" when the score reaches SCORE_LIMIT and the overlap covers at
least OVERLAP_LIMIT of the target's usable samples, "suspect" otherwise; the
limits come from the measured data of bench/verdict_data.py.
"""

from dataclasses import dataclass

import numpy as np

from . import geometry

SCORE_LIMIT = 0.77
OVERLAP_LIMIT = 0.05


@dataclass
class Agreement:
    score: float
    overlap: float
    correlation: float = float("nan")  # of the plain intensities, planes removed
    gain: float = 1.0
    plane: tuple = (0.0, 0.0, 0.0)  # offset, x and y slopes, in target coordinates
    residual: float = float("nan")    # mean squared difference over the overlap's samples

    @property
    def flag(self):
        return "ok" if self.score >= SCORE_LIMIT and self.overlap >= OVERLAP_LIMIT else "suspect"

    @property
    def ok(self):
        return self.flag == "ok"


def agreement(target, source, matrix):
    """Agreement of two `Prepared` images under `matrix` (target -> source positions)."""
    x, y, t = target.samples()
    qx, qy = mapped(matrix, x, y)
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
    difference = t - s
    residual = float(difference @ difference) / n
    del difference
    # Planes through the target's, the interpolated and the nearest source values,
    # from sums alone (normal equations), so nothing of the samples' size is kept.
    xm, ym = float(x.mean()), float(y.mean())
    xc, yc = x - xm, y - ym
    gram = np.array([[n, 0.0, 0.0], [0.0, xc @ xc, xc @ yc], [0.0, xc @ yc, yc @ yc]])
    moments = {k: np.array([v.sum(), xc @ v, yc @ v]) for k, v in (("t", t), ("s", s), ("n", nearest))}
    try:
        planes = {k: np.linalg.solve(gram, m) for k, m in moments.items()}
    except np.linalg.LinAlgError:  # the samples lie on a line: offsets only
        planes = {k: np.array([m[0] / n, 0.0, 0.0]) for k, m in moments.items()}

    def after_planes(u, v, ku, kv):
        # Sum of products of the two residuals: the plane of one is orthogonal to the residual of the other.
        return float(u @ v) - float(planes[ku] @ moments[kv])

    tt, ss, nn = after_planes(t, t, "t", "t"), after_planes(s, s, "s", "s"), after_planes(nearest, nearest, "n", "n")
    if not (tt > 0 and ss > 0):
        return Agreement(float("nan"), overlap, residual=residual)
    correlation = after_planes(t, s, "t", "s") / np.sqrt(tt * ss)
    score = _fine_structure(target, source, matrix, x, y, qx, qy)
    # Gain from the spreads of the pixel values themselves (the nearest ones, so
    # no interpolation smooths the source's), the plane from the two fits.
    gain = float(np.sqrt(tt / nn)) if nn > 0 else 1.0
    ct, cn = planes["t"], planes["n"]
    slope = ct[1:] - gain * cn[1:]
    offset = ct[0] - gain * cn[0] - slope[0] * xm - slope[1] * ym
    return Agreement(score, overlap, float(np.clip(correlation, -1.0, 1.0)), gain,
                     (float(offset), float(slope[0]), float(slope[1])), residual)


STEP = 2  # pixels between the two ends of a difference


def _fine_structure(target, source, matrix, x, y, qx, qy):
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
        fx, fy = mapped(matrix, px, py)
        with np.errstate(invalid="ignore"):
            keep = (px <= w - 1) & (py <= h - 1) & (fx >= 0) & (fx <= sw - 1) & (fy >= 0) & (fy <= sh - 1)
        if target.valid is not None:
            keep[keep] = target.valid[py[keep].astype(np.intp), px[keep].astype(np.intp)]
        tv.append(target.values[py[keep].astype(np.intp), px[keep].astype(np.intp)] - base_t[keep])
        sv.append(bilinear(source.values, fx[keep], fy[keep]) - base_s[keep])
    a, b = np.concatenate(tv), np.concatenate(sv)
    if a.size < 16:
        return float("nan")
    a = a - a.mean()
    b = b - b.mean()
    aa, bb = float(a @ a), float(b @ b)
    return float(np.clip(a @ b / np.sqrt(aa * bb), -1.0, 1.0)) if aa > 0 and bb > 0 else float("nan")


def mapped(matrix, x, y):
    """Where `matrix` sends the points (x, y), as two arrays."""
    m = matrix
    if m.shape[1] == 1:
        return x + m[0, 0], y + m[1, 0]
    out = []
    for r in (0, 1):
        v = m[r, 1] * x
        v += m[r, 2] * y
        v += m[r, 0]
        if m.shape[1] == 4:
            v += m[r, 3] * (x * y)
        out.append(v)
    return out[0], out[1]


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
