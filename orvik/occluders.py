"""Occluders: what one image shows and the other does not (debris, a bubble, a
cell that swims in), found in the residual of a result and left out of the
refinement that follows.

An occluder biases the squared difference towards a map that covers it up,
by a fraction of a pixel to a few pixels. Seen through a map that is right
or nearly so it stands out of the residual as a compact region of
differences far beyond the noise; the rest of the residual is noise and the
interpolation's small errors.
"""

import numpy as np

from .verdict import bilinear, sample_overlap

OUTLIER_SPREADS = 4.0  # a residual beyond this many robust spreads (1.4826 MAD) ...
OUTLIER_FLOOR = 0.5    # ... and beyond this share of the images' spread is an outlier
TRIGGER_SHARE = 0.01   # the share of sample points that must be outliers to look closer
LARGEST_SHARE = 0.3    # more than this is a wrong map or a change of scene, not an occluder
LEAST_REGION = 16      # pixels: smaller groups of outliers are edges the interpolation missed
TRIM_KEEP = 0.7       # the share of sample points, those that fit best, the light is measured on ...
TRIM_ROUNDS = 3       # ... first on all of them, then on those that fit the last round best
GROW = 3               # pixels the occluder's outline is grown by: its edge's gradients reach that far


def _limit(residual):
    centre = np.median(residual)
    spread = 1.4826 * float(np.median(np.abs(residual - centre)))
    return centre, max(OUTLIER_SPREADS * spread, OUTLIER_FLOOR)


def _matched(x, y, t, s):
    """The source's values `s` with the light between the images matched to
    the target's `t` (t ~ gain * s + an offset plane), by least squares over
    the TRIM_KEEP of the points that fit it best, in TRIM_ROUNDS rounds: a
    change of light left in the residual is no occluder, and the occluder
    must take no part in measuring it."""
    design = np.stack([s, np.ones_like(s), x, y])
    keep = slice(None)
    light = np.array([1.0, 0.0, 0.0, 0.0])
    for _ in range(TRIM_ROUNDS):
        part = design[:, keep]
        try:
            light = np.linalg.solve(part @ part.T, part @ t[keep])
        except np.linalg.LinAlgError:
            break
        misfit = np.abs(t - light @ design)
        rank = int(TRIM_KEEP * (misfit.size - 1))
        keep = misfit <= np.partition(misfit, rank)[rank]
    return light @ design, light


def _sampled(target, source, matrix):
    """(x, y, target values, source values) at the sample points the map
    sends onto the source, or None when fewer than 64."""
    x, y, t, qx, qy, inside = sample_overlap(target, source, matrix)
    if np.count_nonzero(inside) < 64:
        return None
    return x[inside], y[inside], t[inside], bilinear(source.values, qx[inside], qy[inside])


def _outlying(residual):
    centre, limit = _limit(residual)
    share = np.count_nonzero(np.abs(residual - centre) > limit) / residual.size
    return TRIGGER_SHARE <= share <= LARGEST_SHARE


def suspected(target, source, matrix):
    """Whether enough of the sample points of two `Prepared` images disagree
    under `matrix` beyond the noise to look for an occluder; a few thousand
    points, so it costs next to nothing."""
    sampled = _sampled(target, source, matrix)
    if sampled is None:
        return False
    x, y, t, s = sampled
    # A change of light alone can look like one: a suspicion is confirmed
    # with the light matched.
    return _outlying(t - s) and _outlying(t - _matched(x, y, t, s)[0])


def occluder_mask(target, source, matrix):
    """The target's mask (float64, 0 over the occluder as `matrix` sees it,
    the light matched, and wherever the target's own mask is 0), or None when
    the residual shows no occluder."""
    import alignopt
    from scipy import ndimage

    from . import geometry

    warped = alignopt._transform(source.values, matrix)
    seen = geometry.support(matrix, target.shape)
    if target.valid is not None:
        seen &= target.valid
    if source.valid is not None:
        seen &= alignopt._transform(source.valid.astype(np.float64), matrix) > 0.999
    if np.count_nonzero(seen) < 64:
        return None
    sampled = _sampled(target, source, matrix)
    if sampled is None:
        return None
    gain, offset, sx, sy = _matched(*sampled)[1]
    h, w = target.shape
    warped *= gain
    warped += offset + sx * np.arange(w)[np.newaxis, :] + sy * np.arange(h)[:, np.newaxis]
    residual = target.values - warped
    del warped
    centre, limit = _limit(residual[seen])
    outliers = seen & (np.abs(residual - centre) > limit)
    del residual
    # Single pixels and thin lines are edges the two samplings disagree on.
    outliers = ndimage.binary_opening(outliers)
    labels, count = ndimage.label(outliers)
    if count == 0:
        return None
    sizes = np.bincount(labels.ravel())
    sizes[0] = 0
    outliers = sizes[labels] >= LEAST_REGION
    share = np.count_nonzero(outliers) / np.count_nonzero(seen)
    if not 0 < share <= LARGEST_SHARE:
        return None
    outliers = ndimage.binary_dilation(outliers, iterations=GROW)
    keep = ~outliers if target.valid is None else target.valid & ~outliers
    return keep.astype(np.float64)
