"""Converted matrices warp a natural image the way alignopt._transform does."""

import math

import numpy as np
import pytest
from scipy import ndimage

import orvik_support  # noqa: F401  (puts orvik on sys.path)
import alignopt
import orvik
from orvik import geometry, sample


def _matrix(kind):
    c, s = math.cos(math.radians(7.0)), math.sin(math.radians(7.0))
    return {
        "translation": np.array([[3.4], [-2.7]]),
        "rigid": np.array([[4.3, c, -s], [-2.6, s, c]]),
        "affine": np.array([[-3.1, 1.04, 0.06], [2.2, -0.05, 0.97]]),
    }[kind]


@pytest.fixture(scope="module")
def image():
    # Lightly smoothed, so that the libraries' own interpolation kernels agree
    # closely with the cubic spline where the geometry is right.
    return ndimage.gaussian_filter(sample.natural_image()[150:278, 200:336], 2.0)


def _warp(library, image, m):
    h, w = image.shape
    if library == "scipy":
        matrix, offset = orvik.to_ndimage(m)
        return ndimage.affine_transform(image, matrix, offset, order=3, mode="reflect")
    if library == "skimage":
        from skimage import transform

        params = orvik.to_skimage(m)
        return transform.warp(image, transform.AffineTransform(matrix=params), order=3, mode="symmetric",
                              preserve_range=True)
    import cv2

    return cv2.warpAffine(image, orvik.to_opencv(m), (w, h), flags=cv2.INTER_CUBIC | cv2.WARP_INVERSE_MAP)


@pytest.mark.parametrize("kind", ["translation", "rigid", "affine"])
@pytest.mark.parametrize("library", ["scipy", "skimage", "opencv"])
def test_library_warp_matches_transform(library, kind, image):
    m = _matrix(kind)
    ours = alignopt._transform(image, m)
    inner = ndimage.binary_erosion(geometry.support(m, image.shape), iterations=3)
    theirs = _warp(library, image, m)
    error = np.abs(theirs - ours)[inner].mean()
    # Yardstick: what a quarter-pixel slip in the convention would cost.
    slipped = geometry.check_matrix(m).copy()
    slipped[:, 0] += 0.25
    slip = np.abs(alignopt._transform(image, slipped) - ours)[inner].mean()
    assert error < 0.25 * slip, (error, slip)
    if library == "scipy":  # the same cubic spline and mirror: equal up to single precision
        np.testing.assert_allclose(theirs[inner], ours[inner], rtol=0, atol=1e-4 * np.ptp(image))


@pytest.mark.parametrize("kind", ["translation", "rigid", "affine"])
def test_round_trips_are_exact(kind):
    m = _matrix(kind)
    family = "translation" if kind == "translation" else "affine"
    np.testing.assert_array_equal(orvik.from_skimage(orvik.to_skimage(m), family), m)
    np.testing.assert_array_equal(orvik.from_ndimage(*orvik.to_ndimage(m), family=family), m)
    np.testing.assert_array_equal(orvik.from_opencv(orvik.to_opencv(m), family), m)


def test_library_matrix_converted_back_warps_alike(image):
    # The other direction: a matrix written in scipy's (row, col) terms.
    matrix = np.array([[0.98, 0.04], [-0.03, 1.02]])
    offset = np.array([1.5, -2.25])
    m = orvik.from_ndimage(matrix, offset)
    inner = ndimage.binary_erosion(geometry.support(m, image.shape), iterations=3)
    theirs = ndimage.affine_transform(image, matrix, offset, order=3, mode="reflect")
    np.testing.assert_allclose(theirs[inner], alignopt._transform(image, m)[inner], atol=1e-4 * np.ptp(image))


@pytest.mark.parametrize("convert", [orvik.to_skimage, orvik.to_ndimage, orvik.to_opencv])
def test_bilinear_has_no_affine_form(convert):
    with pytest.raises(ValueError, match="bilinear"):
        convert(np.array([[0.0, 1.0, 0.0, 1e-3], [0.0, 0.0, 1.0, 0.0]]))


def test_translation_refuses_a_linear_part():
    with pytest.raises(ValueError, match="not a pure translation"):
        orvik.from_opencv(orvik.to_opencv(_matrix("rigid")), "translation")
