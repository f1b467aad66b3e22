"""_register end to end for translation, scaled rotation and affine, on
natural images with known mappings."""

import gc
import weakref

import numpy as np
import pytest

import alignopt
import images

SIZE = 192


def _similarity(degrees, scale, shift, centre):
    c, s = np.cos(np.radians(degrees)) * scale, np.sin(np.radians(degrees)) * scale
    return _about_centre(np.array([[shift[0], c, -s], [shift[1], s, c]]), centre)


def _about_centre(matrix, centre):
    """Moves the fixed point of a (2, 3) matrix's linear part to `centre`."""
    matrix = matrix.copy()
    centre = np.array(centre, dtype=np.float64)
    matrix[:, 0] += centre - matrix[:, 1:3] @ centre
    return matrix


MAPPINGS = {
    2: np.array([[3.37], [-2.81]]),
    4: _similarity(4.0, 1.03, (2.5, -1.5), (SIZE / 2, SIZE / 2)),
    6: _about_centre(np.array([[1.8, 1.02, 0.03], [-2.2, -0.025, 0.97]]), (SIZE / 2, SIZE / 2)),
}

# (image, top, left) of the target crop; the source is resampled from the
# whole image, so its content around the crop is real.
SCENES = {"ascent": (images.ascent, 150, 160), "face": (images.face, 250, 400)}


@pytest.fixture(scope="module")
def scenes():
    return {name: (load(), top, left) for name, (load, top, left) in SCENES.items()}


@pytest.mark.parametrize("scene", sorted(SCENES))
@pytest.mark.parametrize("code", sorted(MAPPINGS))
@pytest.mark.parametrize("noise, tolerance, interior_rms", [(0.0, 0.02, 2.0), (2.0, 0.1, 3.5)])
def test_recovers_known_mapping(scenes, scene, code, noise, tolerance, interior_rms):
    image, top, left = scenes[scene]
    true = MAPPINGS[code]
    target, source = images.registration_pair(image, true, top, left, SIZE, noise=noise)

    matrix, _, _ = alignopt._register(target, source, code)

    assert matrix.shape == true.shape
    assert images.max_mapping_error(matrix, true, target.shape) < tolerance
    # Resampling the source through the result lands it on the target; what
    # remains is the noise and the blur of resampling twice.
    warped = alignopt._transform(source, matrix)
    margin = 16
    difference = (warped - target)[margin:-margin, margin:-margin]
    assert np.sqrt(np.mean(difference ** 2)) < interior_rms


# Shapes by code and the placement on a 192 x 192 image.
RESULTS = {
    2: ((2, 1), [[96, 96]]),
    4: ((2, 3), [[48, 96], [144, 96]]),
    6: ((2, 3), [[96, 48], [48, 144], [144, 144]]),
}


@pytest.mark.parametrize("code", sorted(RESULTS))
def test_result_tuple(scenes, code):
    image, top, left = scenes["ascent"]
    target, source = images.registration_pair(image, MAPPINGS[code], top, left, SIZE)
    result = alignopt._register(target, source, code)

    assert isinstance(result, tuple) and len(result) == 3
    matrix_shape, placed = RESULTS[code]
    landmark_shape = (len(placed), 2)
    assert [a.shape for a in result] == [matrix_shape, landmark_shape, landmark_shape]
    for array in result:
        assert array.dtype == np.float64
        assert array.flags.c_contiguous and array.flags.owndata
        assert not np.shares_memory(array, target) and not np.shares_memory(array, source)
    # The target landmarks are exactly the initial placement; the source
    # landmarks are where the result sends them.
    assert np.array_equal(result[1], np.array(placed, dtype=np.float64))
    moved_x, moved_y = images.apply_matrix(result[0], result[1][:, 0], result[1][:, 1])
    assert np.allclose(np.column_stack([moved_x, moved_y]), result[2], atol=1e-9)


def test_deleting_the_tuple_frees_the_arrays(scenes):
    image, top, left = scenes["face"]
    target, source = images.registration_pair(image, MAPPINGS[6], top, left, 64)
    result = alignopt._register(target, source, 6)
    refs = [weakref.ref(array) for array in result]
    assert all(ref() is not None for ref in refs)
    del result
    gc.collect()
    assert all(ref() is None for ref in refs)


@pytest.mark.parametrize("code", sorted(MAPPINGS))
@pytest.mark.parametrize("layout", ["C", "F", "int"])
def test_inputs_are_never_modified(scenes, code, layout):
    image, top, left = scenes["ascent"]
    target, source = images.registration_pair(image, MAPPINGS[code], top, left, 96)
    if layout == "F":
        target, source = np.asfortranarray(target), np.asfortranarray(source)
    elif layout == "int":
        target, source = np.rint(target).astype(np.int32), np.rint(source).astype(np.int32)
    before = target.copy(order="K"), source.copy(order="K")
    alignopt._register(target, source, code)
    for array, copy in zip((target, source), before):
        assert np.array_equal(array, copy)
        assert array.dtype == copy.dtype and array.flags.f_contiguous == copy.flags.f_contiguous


@pytest.mark.parametrize("code", sorted(MAPPINGS))
def test_identical_images_give_the_identity(scenes, code):
    image, top, left = scenes["face"]
    crop = np.ascontiguousarray(image[top:top + 80, left:left + 100])
    matrix, target_landmarks, source_landmarks = alignopt._register(crop, crop, code)
    identity = np.zeros((2, 1)) if code == 2 else np.array([[0.0, 1, 0], [0, 0, 1]])
    assert np.allclose(matrix, identity, atol=1e-4)
    assert np.allclose(source_landmarks, target_landmarks, atol=1e-3)


# Values past what the single-precision spline model can hold used to make
# every error NaN, so nothing was ever accepted and the identity came back as
# if it had been found. A checkerboard of 1e38 is finite and below the largest
# float, but its coefficients (three times the pixels in each direction) are not.
@pytest.mark.parametrize("code", [2, 3, 4, 6, 8])
def test_values_whose_model_overflows_are_refused_not_returned_as_identity(code):
    checkerboard = np.indices((32, 32)).sum(axis=0) % 2 * 2e38 - 1e38
    with pytest.raises(ValueError, match="^Input values are too large$"):
        alignopt._register(checkerboard, checkerboard, code)


def test_large_but_representable_values_still_register(scenes):
    image, top, left = scenes["ascent"]
    true = MAPPINGS[2]
    target, source = images.registration_pair(image, true, top, left, SIZE)

    matrix, _, _ = alignopt._register(target * 1e30, source * 1e30, 2)

    assert images.max_mapping_error(matrix, true, target.shape) < 0.02
