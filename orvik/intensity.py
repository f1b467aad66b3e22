"""The light between two registered images: a gain plane and an offset plane.

A multiplicative change of light across the scene (a lamp off centre,
vignetting, a ramp of bleaching) scales the structure by a factor that varies
with position: in normalised units, source(map(p)) = gain(p) * target(p) +
offset(p), with gain and offset linear in the target position p. Both are
fitted so that pixel noise, which differs between a bright frame and a
bleached one, does not bias the gain: at the refined map by a regression
whose instrument shares the target's structure but not its noise; where the
map may be pixels off, from the ratio of the two images' structure (each
image's covariance with itself one pixel along) in tiles, with a plane
through the tiles' gains. `shift_bias` predicts how far a light left
unmatched pulls a least-squares refinement.
"""

from dataclasses import dataclass

import numpy as np

from .verdict import bilinear, mapped

TILES = 4  # a side: enough to see a plane, each tile still holding hundreds of samples
LEAST_PER_TILE = 32
FIT_SAMPLES = 65536  # points the fit looks at, at most
LEAST_STRIDE = 2  # every other pixel each way at most: a frame-sized stack keeps its temporaries small
SLOPE_SIGNIFICANCE = 9.2  # chi-square of two degrees of freedom, 99 %
# A gain that changes by less across the image is taken as constant: resampling
# blurs a turned source's structure unevenly by about that much, and a plane
# fitted to it would pull the map where a constant does not.
LEAST_GAIN_RAMP = 0.05
FLAT = 0.1     # a tile with less structure than this share of the median tile's is left out
MISFIT = 0.1   # a tile's relative gain off the plane by this much counts half


@dataclass
class Light:
    """source(map(p)) ~ gain(p) * target(p) + offset(p); planes as (constant, x slope, y slope)."""

    gain: tuple = (1.0, 0.0, 0.0)
    offset: tuple = (0.0, 0.0, 0.0)

    def apply(self, values):
        """The target's values under this light: a new array."""
        h, w = values.shape
        g0, gx, gy = self.gain
        b0, bx, by = self.offset
        columns = np.arange(w, dtype=np.float64)[np.newaxis, :]
        rows = np.arange(h, dtype=np.float64)[:, np.newaxis]
        out = values * (g0 + gx * columns + gy * rows)
        out += b0 + bx * columns + by * rows
        return out

    def least_gain(self, shape):
        h, w = shape
        g0, gx, gy = self.gain
        return min(g0, g0 + gx * (w - 1)) + min(0.0, gy * (h - 1))

    def distance(self, other, shape):
        """Largest differences of gain and of offset between two lights over the image's corners."""
        h, w = shape
        corners = np.array([[1.0, 0.0, 0.0], [1.0, w - 1, 0.0], [1.0, 0.0, h - 1], [1.0, w - 1, h - 1]])
        gain = float(np.max(np.abs(corners @ (np.subtract(self.gain, other.gain)))))
        offset = float(np.max(np.abs(corners @ (np.subtract(self.offset, other.offset)))))
        return gain, offset


def fit(target, source, matrix, aligned=True):
    """The `Light` between two `Prepared` images under `matrix` (target -> source
    positions), on a grid of about FIT_SAMPLES target pixels; None when too
    little is shared.

    `aligned`: the map is the refined one, and the gain is the source's
    regression on the target with the mean of the target's four neighbours as
    instrument (they share its structure, not its noise), exact at the right
    map. Otherwise the map may be some pixels off, and the gain comes from the
    ratio of the two images' structure in tiles, which needs no exact map.
    """
    h, w = target.shape
    sh, sw = source.shape
    stride = max(LEAST_STRIDE, int(np.sqrt(h * w / FIT_SAMPLES)))
    y, x = np.mgrid[max(1, stride // 2):h - 1:stride, max(1, stride // 2):w - 1:stride]
    xi, yi = x.ravel(), y.ravel()
    if target.valid is not None:
        usable = target.valid[yi, xi] & target.valid[yi, xi + 1] & target.valid[yi + 1, xi]
        usable &= target.valid[yi, xi - 1] & target.valid[yi - 1, xi]
        xi, yi = xi[usable], yi[usable]
    x, y = xi.astype(np.float64), yi.astype(np.float64)
    qx, qy = mapped(matrix, x, y)
    with np.errstate(invalid="ignore"):
        inside = (qx >= 0) & (qx <= sw - 2) & (qy >= 0) & (qy <= sh - 2)
    ni = np.rint(np.where(inside, qx, 0)).astype(np.intp)
    nj = np.rint(np.where(inside, qy, 0)).astype(np.intp)
    if source.valid is not None:
        near = np.flatnonzero(inside)
        usable = source.valid[nj[near], ni[near]] & source.valid[nj[near], ni[near] + 1]
        usable &= source.valid[nj[near] + 1, ni[near]]
        inside[near[~usable]] = False
    if np.count_nonzero(inside) < 3 * LEAST_PER_TILE:
        return None
    x, y, xi, yi, ni, nj, qx, qy = (a[inside] for a in (x, y, xi, yi, ni, nj, qx, qy))
    tv, sv = target.values, source.values
    # Flat indices: a gather each, far quicker than one by rows and columns.
    flat, at = tv.ravel(), yi * w + xi
    t0 = flat[at]
    s = bilinear(sv, qx, qy)
    if aligned:
        around = flat[at + 1] + flat[at - 1] + flat[at + w] + flat[at - w]
        light = _instrumented(x, y, t0, 0.25 * around, s, w, h)
        # A map far off leaves the regression little to go on (its gain falls
        # towards zero, or below); the tiles still see the scene's structure.
        if light is not None and light.least_gain(target.shape) > 0:
            return light
    tile = np.minimum(xi * TILES // w, TILES - 1) + TILES * np.minimum(yi * TILES // h, TILES - 1)
    # Each tile's own plane taken off first: within a tile the light's offset
    # and the scene's shading are smooth, the structure is not.
    signal_t, spread_t = _structure(tile, x, y, t0, tv[yi, xi + 1], tv[yi + 1, xi])
    signal_s, _ = _structure(tile, x, y, sv[nj, ni], sv[nj, ni + 1], sv[nj + 1, ni])
    count = np.bincount(tile, minlength=TILES * TILES).astype(np.float64)
    use = (signal_t > 0) & (signal_s > 0) & (count >= LEAST_PER_TILE)
    if not use.any():
        return None
    gains = np.sqrt(signal_s[use] / signal_t[use])
    # Tiles whose values are mostly noise measure their gain worse; one with
    # much structure is no more to be trusted than a tile of fine texture, and
    # a nearly flat one (sky, background) not at all.
    weight = count[use] * np.minimum(1.0, signal_t[use] / spread_t[use])
    weight[signal_t[use] < FLAT * np.median(signal_t[use])] = 0.0
    if not weight.any():
        return None
    cx = np.bincount(tile, x, TILES * TILES)[use] / count[use]
    cy = np.bincount(tile, y, TILES * TILES)[use] / count[use]
    gain = _plane(cx, cy, gains, weight)
    # Where the map is off, a tile can show other structure in the two images:
    # its gain far from the plane is given less say (a Cauchy weight), once.
    misfit = gains / np.maximum(gain[0] + gain[1] * cx + gain[2] * cy, 1e-12) - 1.0
    weight = weight / (1.0 + (misfit / MISFIT) ** 2)
    gain = _plane(cx, cy, gains, weight, significant=True)
    along = gain[0] + gain[1] * x + gain[2] * y
    offset = _plane(x, y, s - along * t0, np.ones_like(x))
    return Light(tuple(float(v) for v in gain), tuple(float(v) for v in offset))


def _instrumented(x, y, t, around, s, w, h):
    """s ~ (g0 + g1 x + g2 y) t + (b0 + b1 x + b2 y) by instrumental variables
    (`around` for t); the gain's slopes kept only when significant (Wald
    statistic beyond SLOPE_SIGNIFICANCE) where they change the gain by more
    than LEAST_GAIN_RAMP from corner to corner, else a constant gain."""
    xm, ym = float(x.mean()), float(y.mean())
    xc, yc = (x - xm) / w, (y - ym) / h  # image sides: a well-conditioned system
    one = np.ones_like(x)
    regressors = np.array([t, xc * t, yc * t, one, xc, yc])
    instruments = np.array([around, xc * around, yc * around, one, xc, yc])
    cross = instruments @ regressors.T
    try:
        beta = np.linalg.solve(cross, instruments @ s)
        residual = s - beta @ regressors
        inverse = np.linalg.inv(cross)
        covariance = (residual @ residual / x.size) * (inverse @ (instruments @ instruments.T) @ inverse.T)
        slopes = beta[1:3]
        significant = (float(np.abs(slopes).sum()) > LEAST_GAIN_RAMP
                       and float(slopes @ np.linalg.solve(covariance[1:3, 1:3], slopes)) > SLOPE_SIGNIFICANCE)
    except np.linalg.LinAlgError:
        return None
    if not significant:
        keep = [0, 3, 4, 5]
        try:
            beta = np.zeros(6)
            beta[keep] = np.linalg.solve(cross[np.ix_(keep, keep)], (instruments @ s)[keep])
        except np.linalg.LinAlgError:
            return None
    if not np.isfinite(beta).all():
        return None

    def plane(c, cx, cy):
        return (float(c - cx * xm / w - cy * ym / h), float(cx / w), float(cy / h))

    return Light(plane(*beta[0:3]), plane(*beta[3:6]))


def _structure(tile, x, y, v0, vx, vy):
    """Per tile: the mean product of each value's residual with those of its
    neighbours one pixel along x and along y, after the tile's plane."""
    k = TILES * TILES
    n = np.bincount(tile, minlength=k).astype(np.float64)
    sx, sy = np.bincount(tile, x, k), np.bincount(tile, y, k)
    sxx, sxy, syy = np.bincount(tile, x * x, k), np.bincount(tile, x * y, k), np.bincount(tile, y * y, k)
    gram = np.stack([np.stack([n, sx, sy], -1), np.stack([sx, sxx, sxy], -1), np.stack([sy, sxy, syy], -1)], -2)
    moments = np.stack([np.bincount(tile, v0, k), np.bincount(tile, x * v0, k), np.bincount(tile, y * v0, k)], -1)
    gram[n < LEAST_PER_TILE] = np.eye(3)
    try:
        c = np.linalg.solve(gram, moments[..., np.newaxis])[..., 0]
    except np.linalg.LinAlgError:
        return np.zeros(k), np.zeros(k)
    c0, c1, c2 = c[tile, 0], c[tile, 1], c[tile, 2]
    base = c0 + c1 * x + c2 * y
    r0 = v0 - base
    products = r0 * (vx - base - c1) + r0 * (vy - base - c2)
    return np.bincount(tile, products, k) / np.maximum(2 * n, 1), np.bincount(tile, r0 * r0, k) / np.maximum(n, 1)


def _plane(x, y, v, weight, significant=False):
    """Weighted least-squares plane (constant, x slope, y slope) through v at
    (x, y). With `significant`, a constant instead where the slopes are not
    beyond SLOPE_SIGNIFICANCE (their Wald statistic) of their scatter."""
    xm, ym = np.average(x, weights=weight), np.average(y, weights=weight)
    xc, yc = x - xm, y - ym
    wx, wy = weight * xc, weight * yc
    gram = np.array([[wx @ xc, wx @ yc], [wx @ yc, wy @ yc]])
    vm = float(np.average(v, weights=weight))
    try:
        slope = np.linalg.solve(gram, np.array([wx @ v, wy @ v]))
    except np.linalg.LinAlgError:  # the points lie on a line: a constant only
        slope = np.zeros(2)
    if not np.isfinite(slope).all():
        slope = np.zeros(2)
    if significant and v.size > 3 and slope.any():
        # Noise alone tilts a plane through a few tiles' gains: keep it only
        # where the tiles lie along it well beyond their scatter about it.
        residual = v - vm - slope[0] * xc - slope[1] * yc
        scatter = float(weight @ residual ** 2) / (v.size - 3)
        if not float(slope @ gram @ slope) > SLOPE_SIGNIFICANCE * scatter:
            slope = np.zeros(2)
    return np.array([vm - slope[0] * xm - slope[1] * ym, slope[0], slope[1]])


def shift_bias(target, source, matrix, code, verdict):
    """How far, in pixels at the image's corners, the light the verdict measured
    (`verdict.gain`, `verdict.plane`: target ~ gain * source + plane) pulls a
    least-squares refinement off the right map: the mismatch times the
    target's gradients, over the overlap, through the family's normal equations."""
    x, y, t = target.samples()
    h, w = target.shape
    qx, qy = mapped(matrix, x, y)
    sh, sw = source.shape
    with np.errstate(invalid="ignore"):
        inside = (qx >= 0) & (qx <= sw - 1) & (qy >= 0) & (qy <= sh - 1) & (x >= 1) & (x <= w - 2)
        inside &= (y >= 1) & (y <= h - 3)
    x, y, t = x[inside], y[inside], t[inside]
    if x.size < 16:
        return 0.0
    xi, yi = x.astype(np.intp), y.astype(np.intp)
    v = target.values
    offset, sx, sy = verdict.plane
    # The source as the target would see it differs by this; gain is target over source.
    mismatch = (1.0 - 1.0 / verdict.gain) * t + (offset + sx * x + sy * y) / verdict.gain
    xc, yc = (x - 0.5 * (w - 1)) / w, (y - 0.5 * (h - 1)) / h
    columns = _jacobian(code, *_gradients(v, xi, yi), xc, yc)
    # The curvature from the gradients of the next row: the same structure,
    # other noise, so that noise does not stiffen it (noisy frames are pulled
    # as far as clean ones).
    below = _jacobian(code, *_gradients(v, xi, yi + 1), xc, yc)
    normal = 0.5 * (columns @ below.T + below @ columns.T)
    try:
        if not np.linalg.eigvalsh(normal)[0] > 0:
            normal = columns @ columns.T
        step = np.linalg.solve(normal, columns @ mismatch)
    except np.linalg.LinAlgError:
        return 0.0
    corners = [(-0.5, -0.5), (0.5, -0.5), (-0.5, 0.5), (0.5, 0.5)]
    return float(max(np.hypot(*_displacement(code, step, cx, cy)) for cx, cy in corners))


def _gradients(v, xi, yi):
    flat, w = v.ravel(), v.shape[1]
    at = yi * w + xi
    return 0.5 * (flat[at + 1] - flat[at - 1]), 0.5 * (flat[at + w] - flat[at - w])


def _jacobian(code, gx, gy, xc, yc):
    """Rows: the change of the target's value for each parameter of the family's
    motion (centred, in image sides), at the samples."""
    rows = [gx, gy]
    if code == 3:
        rows.append(-yc * gx + xc * gy)
    elif code == 4:
        rows += [-yc * gx + xc * gy, xc * gx + yc * gy]
    elif code in (6, 8):
        rows += [xc * gx, yc * gx, xc * gy, yc * gy]
        if code == 8:
            rows += [xc * yc * gx, xc * yc * gy]
    return np.array(rows)


def _displacement(code, step, cx, cy):
    """The motion in pixels of the point (cx, cy) (centred, in image sides) under a parameter step."""
    dx, dy = step[0], step[1]
    if code == 3:
        dx, dy = dx - step[2] * cy, dy + step[2] * cx
    elif code == 4:
        dx, dy = dx - step[2] * cy + step[3] * cx, dy + step[2] * cx + step[3] * cy
    elif code in (6, 8):
        dx, dy = dx + step[2] * cx + step[3] * cy, dy + step[4] * cx + step[5] * cy
        if code == 8:
            dx, dy = dx + step[6] * cx * cy, dy + step[7] * cx * cy
    return dx, dy
