"""Converters between our matrices and other imaging libraries' conventions.

Ours map a position of the output (reference) grid to the position read in the
input frame, with x = column, y = row and the origin at the first pixel's centre;
the three libraries below use the same origin, so only the layout changes.
None of them can express a bilinear map: those raise ValueError.

Each `to_*` function returns the other library's own layout, never ours, and
says which in its name and docstring; `to_skimage_transform` returns a typed
`skimage.transform.AffineTransform`, which cannot be mistaken for anything
else. `transform_stack` takes scikit-image transform objects directly.
"""

import numpy as np

from .geometry import check_matrix, family_code, from_affine3, to_affine3


def to_skimage(matrix):
    """SCIKIT-IMAGE LAYOUT: 3x3 `params` for `warp(image, AffineTransform(matrix=params))`, on (col, row, 1).

    Args:
        matrix: ours, of shape (2,1) or (2,3).

    Raises:
        ValueError: a bilinear (2,4) matrix, or another shape.
    """
    return to_affine3(matrix)


def to_skimage_transform(matrix):
    """A `skimage.transform.AffineTransform` for `skimage.transform.warp(frame, transform)`.

    It maps output (reference) positions (col, row) to the frame, as warp's
    inverse map does; `transform.inverse` maps frame positions to the reference.
    """
    from skimage.transform import AffineTransform

    return AffineTransform(matrix=to_affine3(matrix))


def from_skimage(params, family="affine"):
    """Our matrix from a scikit-image transform or its 3x3 `params`, used as warp's inverse map.

    Warp's inverse map goes from output to input, (col, row): our direction.

    Args:
        params: a scikit-image transform, or its 3x3 matrix with last row (0, 0, 1).
        family: the family of the result: "translation" gives a (2,1) matrix
            (and refuses a linear part), "bilinear" a (2,4) one with no x·y
            term, any other a (2,3) one.

    Raises:
        ValueError: not a 3x3 affine matrix, an unknown family, or a linear
            part where `family` is a translation.
    """
    p = np.asarray(getattr(params, "params", params), dtype=np.float64)
    if p.shape != (3, 3) or not np.array_equal(p[2], [0.0, 0.0, 1.0]):
        raise ValueError("scikit-image params must be a 3x3 affine matrix with last row (0, 0, 1)")
    return _narrow(from_affine3(p), family)


def to_ndimage(matrix):
    """NDIMAGE LAYOUT: (matrix, offset) for `scipy.ndimage.affine_transform(image, matrix, offset)`, (row, col).

    Args:
        matrix: ours, of shape (2,1) or (2,3).

    Returns:
        A 2x2 matrix and an offset of 2, both acting on (row, col).

    Raises:
        ValueError: a bilinear (2,4) matrix, or another shape.
    """
    a = to_affine3(matrix)
    swap = [1, 0]
    return a[np.ix_(swap, swap)].copy(), a[swap, 2].copy()


def from_ndimage(matrix, offset=0.0, family="affine"):
    """Our matrix from `scipy.ndimage.affine_transform`'s 2x2 (row, col) matrix and offset.

    Args:
        matrix: 2x2 on (row, col), or the 3x3 homogeneous form (then `offset`
            is taken from it).
        offset: a number or a pair (row, col).
        family: as for `from_skimage`.

    Raises:
        ValueError: a matrix of another shape, an unknown family, or a linear
            part where `family` is a translation.
    """
    m = np.asarray(matrix, dtype=np.float64)
    if m.shape == (3, 3):
        m, offset = m[:2, :2], m[:2, 2]
    if m.shape != (2, 2):
        raise ValueError("an ndimage matrix must be 2x2 (or 3x3 homogeneous) for a 2-D image")
    o = np.broadcast_to(np.asarray(offset, dtype=np.float64), (2,))
    swap = [1, 0]
    a = np.eye(3)
    a[:2, :2] = m[np.ix_(swap, swap)]
    a[:2, 2] = o[swap]
    return _narrow(from_affine3(a), family)


def to_opencv(matrix):
    """OPENCV LAYOUT (constant LAST): 2x3 for `cv2.warpAffine(image, M, size, flags=... | WARP_INVERSE_MAP)`.

    Not our layout, though it has our shape: never pass it back to
    `transform_stack` (which refuses what it can recognise) but through
    `from_opencv`.

    Args:
        matrix: ours, of shape (2,1) or (2,3).

    Raises:
        ValueError: a bilinear (2,4) matrix, or another shape.
    """
    return to_affine3(matrix)[:2].copy()


def from_opencv(matrix, family="affine"):
    """Our matrix from an OpenCV 2x3 matrix meant for `WARP_INVERSE_MAP` (dst -> src).

    Args:
        matrix: 2x3 on (x, y) = (column, row).
        family: as for `from_skimage`.

    Raises:
        ValueError: a matrix of another shape, an unknown family, or a linear
            part where `family` is a translation.
    """
    m = np.asarray(matrix, dtype=np.float64)
    if m.shape != (2, 3):
        raise ValueError("an OpenCV affine matrix must be 2x3")
    return _narrow(from_affine3(np.vstack([m, [0.0, 0.0, 1.0]])), family)


def _narrow(m, family):
    # A translation matrix keeps only the shift; refuse to drop a linear part.
    code = family_code(family)
    if code == 2:
        if not np.array_equal(m[:, 1:3], np.eye(2)):
            raise ValueError("the matrix is not a pure translation")
        return m[:, :1].copy()
    if code == 8:
        return np.hstack([m, np.zeros((2, 1))])
    return check_matrix(m)
