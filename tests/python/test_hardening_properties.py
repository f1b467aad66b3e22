"""Arbitrary arrays through both methods: every call ends in a result of the
documented shape or in one of the boundary's own exceptions, and leaves its
inputs as they were.

Runs a fixed, derandomised set of examples; HYPOTHESIS_PROFILE=explore runs
more, freshly drawn ones.
"""

import os

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

import alignopt  # noqa: E402

settings.register_profile("ci", max_examples=150, derandomize=True, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("explore", max_examples=1500, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

BOUNDARY_ERRORS = {
    "Input arrays must be two dimensional",
    "Input arrays must of the same shape",
    "Input arrays must not be empty",
    "Input arrays must be finite",
    "Transformation matrix must be of shape (2,1), (2,3) or (2,4)",
    "Invalid transformation",
}
SHAPES = {2: ((2, 1), (1, 2)), 3: ((2, 3), (3, 2)), 4: ((2, 3), (2, 2)), 6: ((2, 3), (3, 2)), 8: ((2, 4), (4, 2))}

dtypes = st.one_of(hnp.floating_dtypes(), hnp.integer_dtypes(), hnp.boolean_dtypes())
images = hnp.arrays(dtype=dtypes, shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=24))
two_d = hnp.arrays(dtype=np.float64, shape=hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=24),
                   elements=st.floats(-1e6, 1e6))
matrices = hnp.arrays(dtype=np.float64, shape=st.sampled_from([(2, 1), (2, 3), (2, 4), (2, 2), (3, 3), (2,), (1, 3)]),
                      elements=st.floats(allow_nan=True, allow_infinity=True))
codes = st.one_of(st.sampled_from([2, 3, 4, 6, 8]), st.integers(-300, 300))


def outcome(call, *inputs):
    kept = [np.array(a, copy=True) for a in inputs]
    try:
        result = call()
    except ValueError as error:
        assert str(error) in BOUNDARY_ERRORS, error
        result = None
    for value, copy in zip(inputs, kept):
        np.testing.assert_array_equal(value, copy)
    return result


@given(image=images, matrix=matrices)
def test_transform_arbitrary_arrays(image, matrix):
    result = outcome(lambda: alignopt._transform(image, matrix), image, matrix)
    if result is not None:
        assert image.ndim == 2 and matrix.shape in ((2, 1), (2, 3), (2, 4))
        assert result.shape == image.shape and result.dtype == np.float64


@given(image=two_d, matrix=matrices)
def test_transform_finite_input_gives_finite_output(image, matrix):
    result = outcome(lambda: alignopt._transform(image, matrix), image, matrix)
    if result is not None:
        assert np.isfinite(result).all()


@given(target=images, source=images, code=codes)
def test_register_arbitrary_arrays(target, source, code):
    result = outcome(lambda: alignopt._register(target, source, code), target, source)
    if result is not None:
        assert code in SHAPES and target.shape == source.shape and target.ndim == 2
        matrix_shape, landmark_shape = SHAPES[code]
        assert [a.shape for a in result] == [matrix_shape, landmark_shape, landmark_shape]


@given(data=st.data(), code=st.sampled_from([2, 3, 4, 6, 8]))
def test_register_finite_images_gives_finite_results(data, code):
    target = data.draw(two_d)
    source = data.draw(hnp.arrays(np.float64, target.shape, elements=st.floats(-1e6, 1e6)))
    result = outcome(lambda: alignopt._register(target, source, code), target, source)
    assert result is not None
    for array in result:
        assert np.isfinite(array).all()
