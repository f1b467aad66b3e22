"""Natural greyscale test images and registration pairs made from them.

The images are the ones Debian's python3-scipy ships (scipy.misc.ascent and
scipy.misc.face); pairs are resampled from them with cubic splines, so the
mapping between target and source is known exactly.
"""

import warnings

import numpy as np
from scipy import ndimage


def _misc():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from scipy import misc
    return misc


def ascent():
    """512 x 512, values 0 to 255, as doubles."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return _misc().ascent().astype(np.float64)


def face():
    """768 x 1024 greyscale, values 0 to 255, as doubles."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return _misc().face(gray=True).astype(np.float64)


def as_affine(matrix):
    """A (2, 1) translation or (2, 3) matrix as (A, b) with x' = A @ x + b."""
    matrix = np.asarray(matrix, dtype=np.float64)
    if matrix.shape == (2, 1):
        return np.eye(2), matrix[:, 0]
    return matrix[:, 1:3], matrix[:, 0]


def apply_matrix(matrix, x, y):
    """Where a (2, 1) or (2, 3) matrix sends the points (x, y)."""
    a, b = as_affine(matrix)
    return b[0] + a[0, 0] * x + a[0, 1] * y, b[1] + a[1, 0] * x + a[1, 1] * y


def max_mapping_error(estimated, true, shape):
    """Largest distance, over every pixel of an image of `shape`, between the
    positions the two matrices map it to."""
    y, x = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
    ex, ey = apply_matrix(estimated, x, y)
    tx, ty = apply_matrix(true, x, y)
    return float(np.max(np.hypot(ex - tx, ey - ty)))


def registration_pair(image, matrix, top, left, size, noise=0.0, seed=0):
    """(target, source), both size x size: the target is a crop of `image` at
    (top, left); the source holds the same scene seen through `matrix`, so that
    target(p) = source(matrix(p)) for every target position p. Cubic spline
    resampling, mirrored at the edges of `image`. With `noise`, independent
    Gaussian noise of that standard deviation is added to both."""
    target = image[top:top + size, left:left + size].copy()
    a, b = as_affine(matrix)
    inverse = np.linalg.inv(a)
    qy, qx = np.mgrid[0:size, 0:size].astype(np.float64)
    px = inverse[0, 0] * (qx - b[0]) + inverse[0, 1] * (qy - b[1])
    py = inverse[1, 0] * (qx - b[0]) + inverse[1, 1] * (qy - b[1])
    source = ndimage.map_coordinates(image, [py + top, px + left], order=3, mode="mirror")
    if noise:
        rng = np.random.default_rng(seed)
        target = target + rng.normal(0.0, noise, target.shape)
        source = source + rng.normal(0.0, noise, source.shape)
    return np.ascontiguousarray(target), np.ascontiguousarray(source)
