"""_orvik_native.register: the registration with masks, NaN pixels left out
and an initial map, against _register and on natural images."""

import numpy as np
import pytest

import _orvik_native
import alignopt
import images

CODES = (2, 3, 4, 6, 8)
SHAPES = [(1, 1), (2, 3), (23, 24), (47, 31), (64, 64)]


def _drifting_pair(shape, seed):
    """Smooth random content and the same content moved by a fraction of a
    pixel and a little turn, so every family has something to find."""
    from scipy import ndimage

    rng = np.random.default_rng(seed)
    height, width = shape
    base = ndimage.gaussian_filter(rng.random((height + 8, width + 8)), 1.5)
    source = ndimage.shift(ndimage.rotate(base, 1.0, reshape=False, order=3, mode="mirror"), (0.7, -0.4),
                           order=3, mode="mirror")
    return base[4:4 + height, 4:4 + width].copy(), source[4:4 + height, 4:4 + width].copy()


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("code", CODES)
def test_without_options_the_result_is_register_s_bit_for_bit(shape, code):
    target, source = _drifting_pair(shape, seed=shape[0] * 100 + shape[1])
    expected = alignopt._register(target, source, code)
    ones = np.ones(shape)
    for result in (_orvik_native.register(target, source, code),
                   _orvik_native.register(target=target, source=source, code=code, target_mask=None,
                                          source_mask=None, initial=None),
                   # masks that keep every pixel are no masks
                   _orvik_native.register(target, source, code, target_mask=ones, source_mask=ones * 7)):
        assert len(result) == 5
        for got, want in zip(result[:3], expected):
            assert got.dtype == want.dtype and got.shape == want.shape
            assert got.tobytes() == want.tobytes()
        error, pixels = result[3], result[4]
        assert isinstance(error, float) and isinstance(pixels, int)
        assert 0 <= pixels <= shape[0] * shape[1]
        assert (pixels == 0) == np.isnan(error)


def test_error_and_pixels_of_identical_images():
    target, _ = _drifting_pair((40, 50), seed=5)
    mask = np.zeros((40, 50))
    mask[5:30, 7:41] = 1.0
    _, _, _, error, pixels = _orvik_native.register(target, target, 2)
    assert pixels == 40 * 50 and error < 1e-12
    # At the identity every source pixel lands on itself: exactly the kept ones are used.
    _, _, _, error, pixels = _orvik_native.register(target, target, 2, source_mask=mask)
    assert pixels == int(mask.sum()) and error < 1e-12


SIZE = 160


def _mapped(matrix, x, y):
    m = np.column_stack([matrix, np.zeros((2, 4 - matrix.shape[1]))]) if matrix.shape[1] < 4 else matrix
    if matrix.shape[1] == 1:
        return x + m[0, 0], y + m[1, 0]
    return tuple(m[r, 0] + m[r, 1] * x + m[r, 2] * y + m[r, 3] * x * y for r in (0, 1))


@pytest.mark.parametrize("code", CODES)
def test_the_error_is_the_mean_squared_difference_at_the_returned_matrix(code):
    # In the optimiser's direction: the target sampled at the source's pixels
    # through the inverse map, except for bilinear (the source at the target's).
    truth = np.array([[6.0, 1.01, -0.035], [-4.0, 0.035, 1.01]])
    target, source = images.registration_pair(images.ascent(), truth, 150, 170, 128, noise=2.0, seed=5)
    matrix, _, _, error, pixels = _orvik_native.register(target, source, code)
    y, x = np.mgrid[0:128, 0:128].astype(np.float64)
    if code == 8:
        sampled, against, m = alignopt._transform(source, matrix), target, matrix
    else:
        a, b = images.as_affine(matrix)
        inverse = np.linalg.inv(a)
        m = np.column_stack([-inverse @ b, inverse])
        sampled, against = alignopt._transform(target, m), source
    px, py = _mapped(m, x, y)
    inside = (px >= 0) & (px <= 127) & (py >= 0) & (py <= 127)
    measured = np.mean((sampled - against)[inside] ** 2)
    assert abs(pixels / inside.sum() - 1) < 0.03
    assert abs(error / measured - 1) < 0.03


@pytest.fixture(scope="module")
def ascent():
    from scipy import ndimage

    # A little smoothing keeps the content resolvable at every level.
    return ndimage.gaussian_filter(images.ascent(), 1.0)


def _motion(degrees, shift):
    """A turn about the centre followed by a shift, as a (2, 3) matrix."""
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    matrix = np.array([[shift[0], c, -s], [shift[1], s, c]])
    centre = np.array([SIZE / 2, SIZE / 2])
    matrix[:, 0] += centre - matrix[:, 1:3] @ centre
    return matrix


def _max_error(matrix, true):
    """Largest distance over the image between where the two matrices
    ((2, 1), (2, 3) or (2, 4)) send a pixel."""
    y, x = np.mgrid[0:SIZE, 0:SIZE].astype(np.float64)

    def apply(m):
        m = np.asarray(m)
        if m.shape[1] == 1:
            return m[0, 0] + x, m[1, 0] + y
        terms = [np.ones_like(x), x, y, x * y][:m.shape[1]]
        return sum(c * t for c, t in zip(m[0], terms)), sum(c * t for c, t in zip(m[1], terms))

    (ex, ey), (tx, ty) = apply(matrix), apply(true)
    return float(np.max(np.hypot(ex - tx, ey - ty)))


def _true_motion(code, degrees, shift):
    return np.array([[shift[0]], [shift[1]]]) if code == 2 else _motion(degrees, shift)


@pytest.mark.parametrize("code", CODES)
def test_nan_pixels_are_left_out_exactly_as_masked_ones(ascent, code):
    true = _true_motion(code, 2.0, (3.2, -2.1))
    target, source = images.registration_pair(ascent, true, 150, 160, SIZE)
    holed = source.copy()
    holed[20:70, 30:90] = np.nan
    mask = np.ones_like(source)
    mask[20:70, 30:90] = 0.0
    by_nan = _orvik_native.register(target, holed, code)
    # Under the mask the values do not matter: they are replaced like NaN.
    by_mask = _orvik_native.register(target, np.where(mask == 0, 1e6, source), code, source_mask=mask)
    for a, b in zip(by_nan[:3], by_mask[:3]):
        assert a.tobytes() == b.tobytes()
    assert by_nan[3:] == by_mask[3:]
    assert _max_error(by_nan[0], true) < (0.5 if code == 8 else 0.05)


@pytest.mark.parametrize("code", CODES)
def test_a_start_near_a_large_motion_recovers_it(ascent, code):
    true = _true_motion(code, 25.0, (18.0, -14.0))
    target, source = images.registration_pair(ascent, true, 150, 160, SIZE)
    start = _true_motion(code, 22.0, (15.0, -11.0))
    if code == 8:
        start = np.hstack([start, np.zeros((2, 1))])
    from_identity = _orvik_native.register(target, source, code)
    from_start = _orvik_native.register(target, source, code, initial=start)
    assert _max_error(from_start[0], true) < 0.05
    assert _max_error(from_identity[0], true) > 3.0
    assert from_start[3] < from_identity[3]


@pytest.mark.parametrize("code, start", [
    (2, [[1000.0], [-1.0]]),
    (3, _motion(30.0, (1000.0, 0.0))),
    (4, _motion(-20.0, (0.0, 1000.0)) * [[1.0, 1.2, 1.2], [1.0, 1.2, 1.2]]),
    (6, [[1000.0, 1.1, 0.1], [-2.0, -0.05, 0.9]]),
    (8, [[1000.0, 1.1, 0.1, 0.001], [-2.0, -0.05, 0.9, 0.002]]),
])
def test_the_source_landmarks_start_where_the_initial_map_sends_the_target_ones(start, code):
    # Nothing overlaps: no evaluation has a pixel, so nothing moves the start.
    image = np.arange(30 * 40, dtype=np.float64).reshape(30, 40) % 11.0
    matrix, target_landmarks, source_landmarks, error, pixels = _orvik_native.register(image, image, code,
                                                                                       initial=start)
    assert np.isnan(error) and pixels == 0
    np.testing.assert_allclose(matrix, start, rtol=0, atol=1e-9)
    start = np.asarray(start)
    x, y = target_landmarks[:, 0], target_landmarks[:, 1]
    if start.shape[1] == 1:
        expected = np.column_stack([x + start[0, 0], y + start[1, 0]])
    else:
        terms = [np.ones_like(x), x, y, x * y][:start.shape[1]]
        expected = np.column_stack([sum(c * t for c, t in zip(start[r], terms)) for r in range(2)])
    np.testing.assert_allclose(source_landmarks, expected, rtol=0, atol=1e-9)


def test_translation_keeps_the_displacement_of_its_landmark():
    image = np.arange(30 * 40, dtype=np.float64).reshape(30, 40) % 11.0
    start = _motion(40.0, (1000.0, 7.0))
    matrix, target_landmarks, _, _, _ = _orvik_native.register(image, image, 2, initial=start)
    centre = target_landmarks[0]
    np.testing.assert_allclose(matrix[:, 0], start[:, 1:3] @ centre + start[:, 0] - centre, rtol=0, atol=1e-9)


W, H = 12, 10
GOOD = np.arange(H * W, dtype=np.float64).reshape(H, W) % 7.0


def _with(**changes):
    arguments = {"target": GOOD, "source": GOOD, "code": 6}
    arguments.update(changes)
    return arguments


@pytest.mark.parametrize("code", CODES)
def test_levels_cap_the_pyramid_from_the_finest_level_up(code):
    # 64 x 64 has three levels: a cap at or above that is no cap, a lower one
    # takes another path that still ends where the motion is.
    target, source = _drifting_pair((64, 64), seed=5)
    full = _orvik_native.register(target, source, code)
    for levels in (3, 4, 2 ** 40):
        capped = _orvik_native.register(target, source, code, levels=levels)
        assert all(a.tobytes() == b.tobytes() for a, b in zip(capped[:3], full[:3]))
    for levels in (1, 2):
        capped = _orvik_native.register(target, source, code, levels=levels)
        assert capped[0].tobytes() != full[0].tobytes()
        np.testing.assert_allclose(capped[0], full[0], atol=0.05)


def _one_pixel(value, at=(3, 4)):
    array = np.ones((H, W))
    array[at] = value
    return array


def _keeping(count):
    mask = np.zeros((H, W))
    mask.flat[:count] = 1.0
    return mask


ERRORS = [
    (_with(target_mask=np.ones((H, W + 1))), r"target_mask must have the images' shape \(10, 12\), not \(10, 13\)"),
    (_with(source_mask=np.ones(H * W)), r"source_mask must have the images' shape \(10, 12\), not \(120,\)"),
    (_with(source_mask=np.ones((1, H, W))), r"source_mask must have .* not \(1, 10, 12\)"),
    (_with(target_mask=_one_pixel(np.nan)), r"target_mask must be finite"),
    (_with(source_mask=_one_pixel(-np.inf)), r"source_mask must be finite"),
    (_with(target_mask=np.zeros((H, W))), r"target has no usable pixel"),
    (_with(source=np.full((H, W), np.nan)), r"source has no usable pixel"),
    (_with(source_mask=_keeping(5)), r"source has 5 usable pixels .* affine family needs at least 6"),
    (_with(code=8, target=np.where(_keeping(7) == 1, GOOD, np.nan)), r"target has 7 usable .* needs at least 8"),
    (_with(target=_one_pixel(np.inf)), r"target must not hold infinities"),
    (_with(initial=np.eye(3)), r"initial must have the shape \(2, 1\), \(2, 3\) or \(2, 4\), not \(3, 3\)"),
    (_with(initial=np.zeros((2, 2))), r"initial must have the shape .* not \(2, 2\)"),
    (_with(initial=np.zeros(2)), r"initial must have the shape .* not \(2,\)"),
    (_with(initial=[[np.nan], [0.0]]), r"initial must be finite"),
    (_with(initial=[[0.0, 1.0, 0.0], [0.0, 0.0, np.inf]]), r"initial must be finite"),
    (_with(initial=[[1e308, 1e308, 0.0], [0.0, 0.0, 1.0]]), r"initial sends the landmarks beyond"),
    (_with(levels=0), r"^levels must be at least 1$"),
    (_with(levels=-(2 ** 70)), r"^levels must be at least 1$"),
    # The images and the code are checked as _register checks them.
    (_with(code=5), r"^Invalid transformation$"),
    (_with(source=np.ones((H, W - 1))), r"^Input arrays must of the same shape$"),
    (_with(target=np.ones(5), source=np.ones(5)), r"^Input arrays must be two dimensional$"),
]


@pytest.mark.parametrize("arguments, message", ERRORS)
def test_bad_options_are_value_errors_that_say_which(arguments, message):
    with pytest.raises(ValueError, match=message):
        _orvik_native.register(**arguments)


def test_argument_parsing():
    with pytest.raises(TypeError):
        _orvik_native.register(GOOD, GOOD)
    with pytest.raises(TypeError):
        _orvik_native.register(GOOD, GOOD, 2, mask=GOOD)
    with pytest.raises(TypeError):
        _orvik_native.register(GOOD, GOOD, 2.5)
    for levels in (2.0, True, "2"):
        with pytest.raises(TypeError, match="levels must be None or an int"):
            _orvik_native.register(GOOD, GOOD, 2, levels=levels)
    # Boolean masks convert to 0 and 1.
    assert _orvik_native.register(GOOD, GOOD, 2, target_mask=GOOD > 1)[4] > 0


def test_module_surface():
    assert [name for name in dir(_orvik_native) if not name.startswith("__")] == ["register"]
    assert "error, pixels" in _orvik_native.register.__doc__
