"""_transform end to end: the values it resamples, the arrays users hand it,
and the edges of the sampled area. Argument checks are tested with the module."""

import warnings

import numpy as np
import pytest
import scipy.ndimage as ndi

import alignopt

IDENTITIES = {
    "translation": [[0.0], [0.0]],
    "affine": [[0.0, 1.0, 0.0], [0.0, 0.0, 1.0]],
    "bilinear": [[0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0]],
}


@pytest.fixture(scope="module")
def ascent():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from scipy import misc

        return misc.ascent().astype(np.float64)


@pytest.fixture(scope="module")
def small():
    """A positive, mildly varying image: every evaluated value stays far from 0."""
    rng = np.random.default_rng(4)
    return 100.0 + 10.0 * rng.random((9, 13))


def transform(image, matrix):
    out = alignopt._transform(image, matrix)
    assert out.dtype == np.float64
    # Every value is exactly a single-precision number.
    np.testing.assert_array_equal(out, out.astype(np.float32).astype(np.float64))
    return out


def positions(matrix, shape):
    """Where each output pixel reads the input, computed directly (no
    accumulation), as (x', y') arrays of the output's shape."""
    m = np.asarray(matrix, dtype=np.float64)
    y, x = np.mgrid[0 : shape[0], 0 : shape[1]].astype(np.float64)
    if m.shape[1] == 1:
        return x + m[0, 0], y + m[1, 0]
    xp = m[0, 0] + m[0, 1] * x + m[0, 2] * y
    yp = m[1, 0] + m[1, 1] * x + m[1, 2] * y
    if m.shape[1] == 4:
        xp = xp + m[0, 3] * x * y
        yp = yp + m[1, 3] * x * y
    return xp, yp


def spline_model(image, xp, yp):
    """The cubic spline of the image with half-sample mirror edges, from an
    independent implementation."""
    return ndi.map_coordinates(image, [yp, xp], order=3, mode="reflect")


def test_identities_give_the_image_spline_at_its_pixels(ascent):
    results = [transform(ascent, m) for m in IDENTITIES.values()]
    for other in results[1:]:
        np.testing.assert_array_equal(other, results[0])
    # The spline interpolates its samples; only single-precision rounding
    # of coefficients and result remains.
    np.testing.assert_allclose(results[0], ascent, rtol=0, atol=1e-4)


@pytest.mark.parametrize(
    "matrix",
    [
        [[0.0], [0.4]],
        [[-3.7], [2.25]],
        [[10.0, np.cos(0.2), -np.sin(0.2)], [-20.0, np.sin(0.2), np.cos(0.2)]],
        [[500.0, -1.1, 0.05], [20.0, 0.03, 0.9]],  # mirrored along x
        [[5.0, 0.95, 0.02, 1e-4], [-3.0, -0.03, 1.02, -2e-4]],
    ],
    ids=["down 0.4", "translation", "rigid body", "affine", "bilinear"],
)
def test_inside_positions_take_the_spline_model_outside_zero(ascent, matrix):
    out = transform(ascent, matrix)
    xp, yp = positions(matrix, ascent.shape)
    h, w = ascent.shape
    # Clear of the edges by more than the accumulation can drift.
    inside = (xp > -0.499) & (xp < w - 0.501) & (yp > -0.499) & (yp < h - 0.501)
    outside = (xp < -0.501) | (xp > w - 0.499) | (yp < -0.501) | (yp > h - 0.499)
    assert inside.any()
    np.testing.assert_allclose(out[inside], spline_model(ascent, xp, yp)[inside], rtol=0, atol=1e-3)
    assert not out[outside].any()


def test_translation_down_by_0_4_is_evaluated_everywhere(small):
    out = transform(small, [[0.0], [0.4]])
    assert (out > 50).all()  # the last row reads mirrored taps below the edge


@pytest.mark.parametrize(
    "matrix, zeroed",
    [
        ([[0.5], [0.0]], np.s_[:, -1]),
        ([[-0.5], [0.0]], np.s_[:, 0]),
        ([[0.0], [0.5]], np.s_[-1, :]),
        ([[0.0], [-0.5]], np.s_[0, :]),
    ],
)
def test_half_pixel_translations_zero_one_edge(small, matrix, zeroed):
    out = transform(small, matrix)
    expected_evaluated = np.ones(small.shape, dtype=bool)
    expected_evaluated[zeroed] = False
    np.testing.assert_array_equal(out != 0.0, expected_evaluated)
    assert not np.signbit(out[zeroed]).any()  # exactly +0.0


@pytest.mark.parametrize(
    "matrix",
    [
        [[13.0], [0.0]],
        [[-13.0], [0.0]],
        [[40.5], [0.0]],
        [[0.0], [-9.0]],
        [[np.nan], [0.0]],
        [[0.0], [np.nan]],
        [[np.inf], [0.0]],
        [[1e300], [-1e300]],
        [[np.nan, 1.0, 0.0], [0.0, 0.0, 1.0]],
    ],
)
def test_positions_outside_give_zeros(small, matrix):
    np.testing.assert_array_equal(transform(small, matrix), np.zeros_like(small))


@pytest.mark.parametrize(
    "matrix",
    [[[0.0, np.nan, 0.0], [0.0, 0.0, 1.0]], [[0.0, np.nan, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0]]],
    ids=["affine", "bilinear"],
)
def test_nan_step_keeps_the_first_column(small, matrix):
    identity = transform(small, IDENTITIES["translation"])
    out = transform(small, matrix)
    np.testing.assert_array_equal(out[:, 0], identity[:, 0])
    assert not out[:, 1:].any()


def test_single_pixel_image():
    image = np.array([[0.1]])
    for matrix in [*IDENTITIES.values(), [[0.3], [-0.2]], [[-0.4, 2.0, 0.0], [0.4, 0.0, -3.0]]]:
        out = transform(image, matrix)
        assert out.shape == (1, 1)
        assert out[0, 0] == pytest.approx(np.float32(0.1), abs=1e-12)
    assert transform(image, [[0.5], [0.0]])[0, 0] == 0.0


@pytest.mark.parametrize("shift", [-1e-15, 0.9999999999999999])
@pytest.mark.parametrize("axis", [1, 0])
def test_translation_fraction_near_one_stays_on_its_pixel(shift, axis):
    """The position t + x rounds to the next integer while the fraction of t
    still says "almost 1": the taps must follow the fraction, not the sum."""
    ramp = np.tile(np.arange(40.0), (3, 1))
    if axis == 0:
        ramp = ramp.T.copy()
    matrix = [[shift], [0.0]] if axis == 1 else [[0.0], [shift]]
    out = transform(ramp, matrix)
    expected = ramp + round(shift)
    expected[expected >= 40] = 0.0  # read from beyond the last pixel
    np.testing.assert_allclose(out, expected, rtol=0, atol=1e-4)


def test_rigid_body_matrix_is_warped_as_affine(ascent):
    angle = -0.3
    c, s = np.cos(angle), np.sin(angle)
    centre = np.array([255.5, 255.5])
    rigid = np.array([[0.0, c, -s], [0.0, s, c]])
    rigid[:, 0] = centre - rigid[:, 1:] @ centre + [4.0, -7.5]
    out = transform(ascent, rigid)
    # The same positions through the bilinear loop with no x.y term: the
    # accumulated positions are the same bits, so the values are.
    bilinear = np.hstack([rigid, np.zeros((2, 1))])
    np.testing.assert_array_equal(transform(ascent, bilinear), out)
    assert np.count_nonzero(out) > 0.7 * out.size


def test_round_trip_reproduces_the_interior(ascent):
    there = transform(ascent, [[3.3], [-2.7]])
    back = transform(there, [[-3.3], [2.7]])
    error = np.abs(back - ascent)[8:-8, 8:-8]
    # Two fractional shifts smooth the sharpest edges of the picture a little;
    # everywhere else the picture comes back.
    assert error.mean() < 1.5
    assert np.percentile(error, 99) < 12.0
    # Whole-pixel shifts are exact up to single-precision rounding.
    there = transform(ascent, [[3.0], [-2.0]])
    back = transform(there, [[-3.0], [2.0]])
    np.testing.assert_allclose(back[8:-8, 8:-8], ascent[8:-8, 8:-8], rtol=0, atol=1e-4)


def user_arrays(image, matrix):
    """The same image and matrix as users hand them."""
    big_endian = image.astype(">f8")
    fortran = np.asfortranarray(image)
    padded = np.zeros((image.shape[0] * 2, image.shape[1] * 3))
    padded[::2, ::3] = image
    strided = padded[::2, ::3]
    yield "int", image.astype(np.int32), matrix
    yield "float32", image.astype(np.float32), matrix.astype(np.float32)
    yield "big-endian", big_endian, matrix.astype(">f8")
    yield "fortran", fortran, np.asfortranarray(matrix)
    padded_matrix = np.zeros((2, matrix.shape[1] * 2))
    padded_matrix[:, ::2] = matrix
    yield "strided", strided, padded_matrix[:, ::2]
    yield "lists", image.tolist(), matrix.tolist()


@pytest.mark.parametrize(
    "matrix",
    [[[0.5], [-1.25]], [[2.0, 0.9, 0.1], [-1.0, -0.1, 0.9]], [[2.0, 0.9, 0.1, 0.001], [-1.0, -0.1, 0.9, 0.002]]],
    ids=["translation", "affine", "bilinear"],
)
def test_arrays_as_users_hand_them(matrix):
    # Integral values, exactly representable in every dtype above.
    image = np.random.default_rng(8).integers(0, 256, size=(17, 23)).astype(np.float64)
    matrix = np.array(matrix)
    if matrix.shape[1] != 1:
        matrix = matrix.astype(np.float32).astype(np.float64)  # the float32 variant must be the same matrix
    expected = transform(image, matrix)
    for name, user_image, user_matrix in user_arrays(image, matrix):
        before = (np.array(user_image, copy=True), np.array(user_matrix, copy=True))
        out = transform(user_image, user_matrix)
        np.testing.assert_array_equal(out, expected, err_msg=name)
        assert out.shape == image.shape and out.flags.c_contiguous
        np.testing.assert_array_equal(np.asarray(user_image), before[0], err_msg=f"{name} image modified")
        np.testing.assert_array_equal(np.asarray(user_matrix), before[1], err_msg=f"{name} matrix modified")
