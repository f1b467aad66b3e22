"""Transformation families and the arithmetic on their matrices.

Every matrix here has the layout `alignopt` uses: two rows (x', then y'), the
constant term first, and it maps a position (x = column, y = row, origin at
the first pixel's centre) on the reference grid to a position on the frame.
"""

import math

import numpy as np

#: Family names and the codes `alignopt._register` takes.
FAMILIES = {
    "translation": 2,
    "rigid": 3,
    "scaled_rotation": 4,
    "affine": 6,
    "bilinear": 8,
}
_NAMES = {code: name for name, code in FAMILIES.items()}
#: Other names users of the field give the families; codes count as names too.
ALIASES = {
    "shift": 2, "rigid_body": 3, "rigidbody": 3, "euclidean": 3, "similarity": 4, "similar": 4,
    **{str(code): code for code in _NAMES},
}
_COLUMNS = {2: 1, 3: 3, 4: 3, 6: 3, 8: 4}


def family_code(family):
    """Return the code of `family`, given by name, alias or code; ValueError if unknown.

    Names: translation (alias shift), rigid (rigid_body, euclidean),
    scaled_rotation (similarity), affine, bilinear; case, spaces and hyphens
    do not matter, and the codes 2, 3, 4, 6, 8 may be given as numbers or text.
    """
    if isinstance(family, str):
        key = "_".join(family.strip().lower().replace("-", " ").split())
        code = FAMILIES.get(key, ALIASES.get(key))
    elif isinstance(family, (int, np.integer)) and not isinstance(family, bool):
        code = int(family) if int(family) in _NAMES else None
    else:
        code = None
    if code is None:
        raise ValueError(f"unknown family {family!r} (expected one of {', '.join(FAMILIES)}, an alias such as "
                         "euclidean or similarity, or a code 2, 3, 4, 6, 8)")
    return code


def family_name(family):
    """Return the name of `family`, given by name or by code."""
    return _NAMES[family_code(family)]


def identity(code):
    """Identity matrix of the family's shape: (2,1), (2,3) or (2,4)."""
    columns = _COLUMNS[family_code(code)]
    m = np.zeros((2, columns))
    if columns > 1:
        m[0, 1] = m[1, 2] = 1.0
    return m


def check_matrix(matrix):
    """Return `matrix` as a float (2,1), (2,3) or (2,4) array; ValueError otherwise."""
    m = np.asarray(matrix, dtype=np.float64)
    if m.ndim != 2 or m.shape[0] != 2 or m.shape[1] not in (1, 3, 4):
        raise ValueError(f"a matrix must have shape (2,1), (2,3) or (2,4), not {m.shape}")
    return m


def to_affine3(matrix):
    """3x3 homogeneous form of a (2,1) or (2,3) matrix, acting on (x, y, 1)."""
    m = check_matrix(matrix)
    if m.shape[1] == 4:
        raise ValueError("a bilinear (2,4) matrix has no 3x3 affine form")
    a = np.eye(3)
    if m.shape[1] == 1:
        a[:2, 2] = m[:, 0]
    else:
        a[:2, :2] = m[:, 1:3]
        a[:2, 2] = m[:, 0]
    return a


def from_affine3(a, code=6):
    """Matrix of family `code` from a 3x3 homogeneous affine (translation keeps only the shift)."""
    a = np.asarray(a, dtype=np.float64)
    if a.shape != (3, 3):
        raise ValueError(f"an affine matrix must have shape (3,3), not {a.shape}")
    code = family_code(code)
    if code == 2:
        return a[:2, 2:3].copy()
    m = np.empty((2, 4 if code == 8 else 3))
    m[:, 0] = a[:2, 2]
    m[:, 1:3] = a[:2, :2]
    if code == 8:
        m[:, 3] = 0.0
    return m


def apply(matrix, points):
    """Map points (..., 2) given as (x, y) through `matrix`."""
    m = check_matrix(matrix)
    p = np.asarray(points, dtype=np.float64)
    x, y = p[..., 0], p[..., 1]
    if m.shape[1] == 1:
        return np.stack([x + m[0, 0], y + m[1, 0]], axis=-1)
    terms = [np.ones_like(x), x, y] + ([x * y] if m.shape[1] == 4 else [])
    return np.stack([sum(m[r, k] * t for k, t in enumerate(terms)) for r in (0, 1)], axis=-1)


def compose(outer, inner, code):
    """Matrix of `outer` after `inner` (p -> outer(inner(p))) for the affine families."""
    return from_affine3(to_affine3(outer) @ to_affine3(inner), code)


def bilinear_from_landmarks(reference, moved):
    """The (2,4) map sending four reference landmarks exactly onto `moved` ones."""
    p = np.asarray(reference, dtype=np.float64)
    q = np.asarray(moved, dtype=np.float64)
    g = np.column_stack([np.ones(4), p[:, 0], p[:, 1], p[:, 0] * p[:, 1]])
    return np.linalg.solve(g, q).T.copy()


def distance(a, b, shape):
    """The largest distance, in pixels, between where two maps send the corners
    of an image of `shape` (the largest anywhere on it for every family: their
    difference is bilinear at most)."""
    h, w = shape
    corners = np.array([[0.0, 0.0], [w - 1.0, 0.0], [0.0, h - 1.0], [w - 1.0, h - 1.0]])
    return float(np.max(np.hypot(*(apply(a, corners) - apply(b, corners)).T)))


def positions(matrix, shape):
    """Mapped positions (x', y') of every pixel of a grid of `shape` (rows, columns)."""
    h, w = shape
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    mapped = apply(matrix, np.stack([x, y], axis=-1))
    return mapped[..., 0], mapped[..., 1]


def support(matrix, shape):
    """Boolean mask of the grid pixels whose mapped position falls inside the frame.

    A position is inside when, rounded half away from zero, it lies in
    [0, width) x [0, height); this is where the warp of a frame holds data.
    """
    m = check_matrix(matrix)
    h, w = shape
    # Rows and columns broadcast, so a mask costs a couple of frame-sized arrays.
    x = np.arange(w, dtype=np.float64)[np.newaxis, :]
    y = np.arange(h, dtype=np.float64)[:, np.newaxis]
    if m.shape[1] == 1:
        return _inside(x + m[0, 0], w) & _inside(y + m[1, 0], h)
    mask = None
    for r, size in ((0, w), (1, h)):
        v = m[r, 0] + m[r, 1] * x + m[r, 2] * y
        if m.shape[1] == 4:
            v += m[r, 3] * x * y
        inside = _inside(v, size)
        mask = inside if mask is None else mask & inside
    return mask


def _inside(v, size):
    rounded = np.copysign(0.5, v)
    rounded += v
    np.trunc(rounded, out=rounded)
    with np.errstate(invalid="ignore"):
        return (rounded >= 0) & (rounded < size)


def describe(matrix, shape):
    """Shift of the grid centre (dx, dy) in pixels, rotation in degrees and scale.

    Rotation and scale come from the map's Jacobian at the centre, so a
    bilinear map is described by its local behaviour there.
    """
    m = check_matrix(matrix)
    h, w = shape
    cx, cy = (w - 1) * 0.5, (h - 1) * 0.5
    moved = apply(m, [cx, cy])
    jac = jacobian(m, shape)
    rotation = math.degrees(math.atan2(jac[1, 0] - jac[0, 1], jac[0, 0] + jac[1, 1]))
    scale = math.sqrt(abs(np.linalg.det(jac)))
    return float(moved[0] - cx), float(moved[1] - cy), rotation, scale


def jacobian(matrix, shape):
    """2x2 derivative of the map (d(x', y') / d(x, y)) at the centre of a grid of `shape` (rows, columns)."""
    m = check_matrix(matrix)
    if m.shape[1] == 1:
        return np.eye(2)
    jac = m[:, 1:3].copy()
    if m.shape[1] == 4:
        h, w = shape
        jac[:, 0] += m[:, 3] * ((h - 1) * 0.5)
        jac[:, 1] += m[:, 3] * ((w - 1) * 0.5)
    return jac


def shear(matrix, shape):
    """How far the map takes the x and y axes from perpendicular, in degrees, at the grid's centre.

    0 for translation, rigid and scaled rotation; positive when the mapped axes
    close in (an angle below 90 degrees between them), whatever the rotation.
    """
    jac = jacobian(matrix, shape)
    ex, ey = jac[:, 0], jac[:, 1]
    return math.degrees(math.atan2(float(ex @ ey), float(abs(ex[0] * ey[1] - ex[1] * ey[0]))))


def support_mask(matrices, shape):
    """Boolean mask of the reference grid pixels that every frame covers.

    Args:
        matrices: a `StackResult` or a sequence of matrices of shape (2,1),
            (2,3) or (2,4), each mapping the reference grid to a frame.
        shape: the frame shape (rows, columns).

    Returns:
        A boolean array of `shape`: True where every frame has data, that is
        where each matrix maps the pixel, rounded to the nearest pixel, inside
        the frame.

    Raises:
        ValueError: a matrix of another shape.
    """
    mask = np.ones(shape, dtype=bool)
    for m in getattr(matrices, "matrices", matrices):  # a StackResult or a sequence of matrices
        mask &= support(m, shape)
    return mask


def common_support(matrices, shape):
    """Slices (rows, columns) of the largest axis-aligned rectangle valid in every frame.

    `aligned[:, rows, columns]` crops an aligned stack to the area where no
    frame is padded with zeros; both slices are empty when no pixel is common.

    Args:
        matrices: as for `support_mask`.
        shape: the frame shape (rows, columns).

    Raises:
        ValueError: a matrix of another shape.
    """
    return largest_rectangle(support_mask(matrices, shape))


def largest_rectangle(mask):
    """Slices (rows, columns) of the largest all-True rectangle of a 2-D boolean mask.

    Args:
        mask: a 2-D array, taken as booleans.

    Returns:
        Two slices; both empty when the mask holds no True.
    """
    mask = np.asarray(mask, dtype=bool)
    h, w = mask.shape
    filled = mask.any(axis=1)
    left = np.where(filled, mask.argmax(axis=1), w)
    right = np.where(filled, w - 1 - mask[:, ::-1].argmax(axis=1), -1)
    if np.array_equal(mask.sum(axis=1), np.maximum(right - left + 1, 0)):
        return _largest_in_intervals(left, right)
    return _largest_by_histogram(mask)


def _largest_in_intervals(left, right):
    # Each row holds one run [left, right]: the best rectangle starting at row a
    # spans rows a..b with the columns common to all of them.
    best, where = 0, (0, 0, 0, 0)
    for a in range(len(left)):
        lo = np.maximum.accumulate(left[a:])
        hi = np.minimum.accumulate(right[a:])
        areas = np.maximum(hi - lo + 1, 0) * np.arange(1, len(lo) + 1)
        b = int(areas.argmax())
        if areas[b] > best:
            best, where = int(areas[b]), (a, a + b + 1, int(lo[b]), int(hi[b]) + 1)
    return slice(where[0], where[1]), slice(where[2], where[3])


def _largest_by_histogram(mask):
    # Row by row, the largest rectangle under the histogram of True runs above.
    h, w = mask.shape
    heights = np.zeros(w + 1, dtype=np.int64)
    best, where = 0, (0, 0, 0, 0)
    for row in range(h):
        heights[:w] = np.where(mask[row], heights[:w] + 1, 0)
        stack = []
        for col in range(w + 1):
            start = col
            while stack and stack[-1][1] >= heights[col]:
                start, height = stack.pop()
                area = height * (col - start)
                if area > best:
                    best, where = area, (row - height + 1, row + 1, start, col)
            stack.append((start, heights[col]))
    return slice(where[0], where[1]), slice(where[2], where[3])
