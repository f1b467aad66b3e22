"""Matrices as callers hand them in: our own arrays or scikit-image transform objects, checked.

Our (2,3) matrices have the shape of OpenCV's but another layout (the constant
term first), so a matrix in the wrong layout would be accepted and give
garbage. What can be told apart is refused here with a message that says
which converter to use:

- a (3,3) array: a homogeneous matrix whose axis order (x, y) or (row, col)
  cannot be known; convert it with `from_skimage` or `from_ndimage`;
- a map whose linear part is singular (|det| below `SINGULAR`), such as
  `np.eye(2, 3)`, ECC's usual start, read in our layout (x' = 1, y' = x): no
  alignment squeezes a frame onto a line, while an OpenCV-layout matrix read
  in ours often does.

A non-singular OpenCV-layout matrix cannot be recognised by its numbers; such
a matrix is accepted as it reads in our layout, so convert with `from_opencv`.
Non-finite matrices pass, since they stand for a failed estimate whose frame
comes out empty.
"""

import numpy as np

from . import geometry

#: Smallest |det| of the linear part accepted: an area ratio of one in a million.
SINGULAR = 1e-6


def is_skimage_transform(value):
    """Whether `value` looks like a scikit-image geometric transform (it has 3x3 `params`)."""
    params = getattr(value, "params", None)
    return isinstance(params, np.ndarray) and params.shape == (3, 3) and not isinstance(value, np.ndarray)


def as_matrix(value, shape=None, what="the matrix"):
    """Our matrix from one of ours or a scikit-image transform; ValueError for what cannot be right.

    A scikit-image transform (`AffineTransform`, `EuclideanTransform`,
    `SimilarityTransform`, or a `ProjectiveTransform` whose last row is
    (0, 0, 1)) is read the way `skimage.transform.warp(frame, transform)` uses
    it: as the map from the output (reference) grid to the frame, (col, row),
    which is our direction. A transform estimated from frame points to
    reference points goes the other way: pass its `.inverse`. `shape` (rows,
    columns) places the Jacobian of a bilinear map at the frame's centre.
    """
    if is_skimage_transform(value):
        params = np.asarray(value.params, dtype=np.float64)
        if not np.allclose(params[2], [0.0, 0.0, 1.0], rtol=0.0, atol=1e-12):
            raise ValueError(f"{what} is a projective scikit-image transform, which no family here can express")
        return _check_linear(geometry.from_affine3(params), shape, what)
    m = np.asarray(value, dtype=np.float64) if not hasattr(value, "params") else None
    if m is None:
        raise ValueError(f"{what} is a {type(value).__name__}, not a matrix (expected an array of shape (2,1), "
                         "(2,3) or (2,4), or a scikit-image affine transform)")
    if m.shape == (3, 3):
        raise ValueError(f"{what} is a 3x3 homogeneous matrix: say which layout it is in with "
                         "orvik.from_skimage (x, y) or orvik.from_ndimage (row, col)")
    try:
        m = geometry.check_matrix(m)
    except ValueError as error:
        raise ValueError(f"{what}: {error}") from None
    return _check_linear(m, shape, what)


def as_matrices(values, count=None, shape=None, estimated=False):
    """A list of our matrices from a sequence of ours or of scikit-image transforms (see `as_matrix`).

    `estimated` matrices come from a registration result: only their shape is
    checked, since a registration that went astray must still give its frame
    (empty or distorted) rather than stop the whole stack.
    """
    if isinstance(values, np.ndarray) and values.ndim == 2:
        raise ValueError(f"one matrix of shape {values.shape} was given: pass one matrix per frame")
    if estimated:
        matrices = [geometry.check_matrix(v) for v in values]
    else:
        matrices = [as_matrix(v, shape, f"matrix {i}") for i, v in enumerate(values)]
    if count is not None and len(matrices) != count:
        raise ValueError(f"{len(matrices)} matrices for {count} frames")
    return matrices


def _check_linear(m, shape, what):
    if m.shape[1] == 1 or not np.all(np.isfinite(m)):
        return m
    # Without a frame size, a bilinear map is judged at the origin.
    jacobian = geometry.jacobian(m, shape if shape is not None else (1, 1))
    if abs(np.linalg.det(jacobian)) < SINGULAR:
        raise ValueError(f"{what} squeezes the frame onto a line or a point (its linear part, columns 1 and 2, "
                         "is singular); the constant term comes first here: an OpenCV-layout matrix "
                         "[[a, b, tx], [c, d, ty]] must be converted with orvik.from_opencv")
    return m
