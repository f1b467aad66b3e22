"""Rigid-body (code 3) and bilinear (code 8) registration end to end.

The target is resampled from a natural image through a known mapping of target
pixels to source positions, so the returned matrix must reproduce that mapping.
"""

import numpy as np
import pytest
from scipy import ndimage

import alignopt
import images

SIZE = 256
# Where the source is cut from the natural image.
OFFSET = (160, 190)


def natural_crop():
    # A little smoothing keeps the content resolvable by the cubic model at
    # every pyramid level; it stays the shipped photograph.
    oy, ox = OFFSET
    return ndimage.gaussian_filter(images.ascent(), 1.0)[oy:oy + SIZE, ox:ox + SIZE].copy()


def apply(matrix, x, y):
    """The mapping of a returned matrix: constant term first, then x, y, x*y."""
    terms = [np.ones_like(x), x, y, x * y][: matrix.shape[1]]
    return (sum(m * t for m, t in zip(matrix[0], terms)),
            sum(m * t for m, t in zip(matrix[1], terms)))


def make_pair(mapping, noise=0.0, seed=0):
    """(target, source): target pixel p shows the source's cubic spline at
    mapping(p), with the same half-sample mirror extension beyond the edges, so
    the pair agrees wherever the registration compares it."""
    source = natural_crop()
    y, x = np.mgrid[0:SIZE, 0:SIZE].astype(float)
    sx, sy = mapping(x, y)
    target = ndimage.map_coordinates(source, [sy, sx], order=3, mode="reflect")
    if noise:
        rng = np.random.default_rng(seed)
        spread = noise * (source.max() - source.min())
        target = target + rng.normal(0.0, spread, target.shape)
        source = source + rng.normal(0.0, spread, source.shape)
    return target, source


def mapping_error(matrix, mapping):
    """Largest distance between the returned and the true mapping over the grid."""
    y, x = np.mgrid[0:SIZE, 0:SIZE].astype(float)
    ex, ey = apply(matrix, x, y)
    tx, ty = mapping(x, y)
    return float(np.max(np.hypot(ex - tx, ey - ty)))


def rigid(angle_degrees, shift_x, shift_y):
    """Turn about the image centre, then shift."""
    a = np.deg2rad(angle_degrees)
    c = (SIZE - 1) / 2.0

    def mapping(x, y):
        return (c + np.cos(a) * (x - c) - np.sin(a) * (y - c) + shift_x,
                c + np.sin(a) * (x - c) + np.cos(a) * (y - c) + shift_y)
    return mapping


def bilinear(x, y):
    """A mild distortion: about a pixel of shift and shear, and up to five
    pixels from the x*y term at the far corner."""
    return (1.05 + 1.0075 * x - 0.006 * y + 0.000075 * x * y,
            -0.7 + 0.005 * x + 0.9925 * y - 0.00005 * x * y)


# Rotations up to 10 degrees, shifts up to a tenth of the size.
RIGID_CASES = [
    pytest.param(rigid(10.0, 25.6, -12.8), id="10deg"),
    pytest.param(rigid(-6.5, -17.9, 25.6), id="-6.5deg"),
    pytest.param(rigid(3.0, -25.6, -25.6), id="3deg"),
    pytest.param(rigid(0.7, 6.6, -3.3), id="0.7deg"),
    pytest.param(rigid(0.0, 0.0, 0.0), id="identity"),
]
NOISE = [pytest.param(0.0, 0.02, id="clean"), pytest.param(0.005, 0.1, id="noisy")]


@pytest.mark.parametrize("noise, tolerance", NOISE)
@pytest.mark.parametrize("mapping", RIGID_CASES)
def test_rigid_body_recovers_a_known_mapping(mapping, noise, tolerance):
    target, source = make_pair(mapping, noise)
    matrix, target_landmarks, source_landmarks = alignopt._register(target, source, 3)
    assert mapping_error(matrix, mapping) < tolerance
    # The matrix is rigid: its 2x2 block is a rotation.
    assert matrix[0, 1] == pytest.approx(matrix[1, 2], abs=1e-12)
    assert matrix[1, 1] == pytest.approx(-matrix[0, 2], abs=1e-12)
    assert matrix[0, 1] ** 2 + matrix[1, 1] ** 2 == pytest.approx(1.0, abs=1e-12)
    # The returned source landmarks are the target landmarks mapped by it.
    sx, sy = apply(matrix, target_landmarks[:, 0], target_landmarks[:, 1])
    np.testing.assert_allclose(source_landmarks, np.column_stack([sx, sy]), atol=1e-9)


@pytest.mark.parametrize("noise, tolerance", NOISE)
def test_bilinear_recovers_a_mild_distortion(noise, tolerance):
    target, source = make_pair(bilinear, noise)
    matrix, target_landmarks, source_landmarks = alignopt._register(target, source, 8)
    assert mapping_error(matrix, bilinear) < tolerance
    sx, sy = apply(matrix, target_landmarks[:, 0], target_landmarks[:, 1])
    np.testing.assert_allclose(source_landmarks, np.column_stack([sx, sy]), atol=1e-9)


@pytest.mark.parametrize("code, shapes", [
    (3, [(2, 3), (3, 2), (3, 2)]),
    (8, [(2, 4), (4, 2), (4, 2)]),
])
def test_result_shapes(code, shapes):
    target, source = make_pair(rigid(0.0, 0.0, 0.0))
    result = alignopt._register(target[:40, :56], source[:40, :56], code)
    assert isinstance(result, tuple)
    assert [a.shape for a in result] == shapes
    assert all(a.dtype == np.float64 for a in result)


@pytest.mark.parametrize("code", [3, 8])
def test_identical_images_give_the_identity(code):
    image = natural_crop()[:48, :64]
    matrix, target_landmarks, source_landmarks = alignopt._register(image, image, code)
    identity = np.zeros_like(matrix)
    identity[0, 1] = identity[1, 2] = 1.0
    # The model is a single-precision spline of the same samples, so the
    # residuals are not exactly zero.
    np.testing.assert_allclose(matrix, identity, atol=1e-5)
    np.testing.assert_allclose(source_landmarks, target_landmarks, atol=1e-5)
