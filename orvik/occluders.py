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
GROW = 3               # pixels the occluder's outline is grown by: its edge's gradients reach that far


def _limit(residual):
    centre = np.median(residual)
    spread = 1.4826 * float(np.median(np.abs(residual - centre)))
    return centre, max(OUTLIER_SPREADS * spread, OUTLIER_FLOOR)


def suspected(target, source, matrix):
    """Whether enough of the sample points of two `Prepared` images disagree
    under `matrix` beyond the noise to look for an occluder; a few hundred
    points, so it costs next to nothing."""
    _, _, t, qx, qy, inside = sample_overlap(target, source, matrix)
    if np.count_nonzero(inside) < 64:
        return False
    residual = t[inside] - bilinear(source.values, qx[inside], qy[inside])
    centre, limit = _limit(residual)
    share = np.count_nonzero(np.abs(residual - centre) > limit) / residual.size
    return TRIGGER_SHARE <= share <= LARGEST_SHARE


def occluder_mask(target, source, matrix):
    """The target's mask (float64, 0 over the occluder as `matrix` sees it,
    and wherever the target's own mask is 0), or None when the residual shows
    no occluder."""
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
