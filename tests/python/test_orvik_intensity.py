"""Changes of light between the images of a pair: the gain and offset planes, and pairs registered through them."""

import numpy as np
import pytest

from orvik_support import map_distance
import images
import orvik
from orvik import intensity
from orvik.prepared import Prepared

SIZE = 160


def _scene():
    crop = images.ascent()[150:150 + SIZE, 180:180 + SIZE]
    return (crop - crop.mean()) / crop.std()


def _corners(plane):
    h = w = SIZE
    return np.array([plane[0] + plane[1] * x + plane[2] * y for x, y in ((0, 0), (w - 1, 0), (0, h - 1),
                                                                          (w - 1, h - 1))])


GAIN = (1.2, -0.7 / SIZE, 0.2 / SIZE)   # 1.2 at the top left, 0.5 at the top right
OFFSET = (0.3, 0.5 / SIZE, -0.4 / SIZE)
IDENTITY = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])


@pytest.mark.parametrize("noise, aligned, shift, within", [
    (0.05, True, 0.0, 0.02),
    # Noise of half the structure's spread: a plain regression would find the
    # gain a fifth too low; the instrument does not share the target's noise.
    (0.5, True, 0.0, 0.08),
    # Two pixels off, as where a refinement is still to start: the tiles'
    # structure needs no exact map (the regression would lose a fifth).
    (0.05, False, 2.0, 0.15),
])
def test_gain_and_offset_planes_are_found_through_noise(noise, aligned, shift, within):
    rng = np.random.default_rng(4)
    scene = _scene()
    y, x = np.mgrid[0:SIZE, 0:SIZE].astype(np.float64)
    lit = (GAIN[0] + GAIN[1] * x + GAIN[2] * y) * scene + OFFSET[0] + OFFSET[1] * x + OFFSET[2] * y
    target = Prepared(scene + rng.normal(0, noise, scene.shape), normalize=False)
    source = Prepared(np.roll(lit, (0, int(shift)), axis=(0, 1)) + rng.normal(0, noise, scene.shape),
                      normalize=False)
    light = intensity.fit(target, source, IDENTITY, aligned=aligned)
    np.testing.assert_allclose(_corners(light.gain), _corners(GAIN), atol=within)
    np.testing.assert_allclose(_corners(light.offset), _corners(OFFSET), atol=2 * within)


def test_a_light_that_only_scales_is_fitted_as_a_constant_gain():
    # Noise alone tilts a plane through local gains; a constant gain stays constant.
    rng = np.random.default_rng(5)
    scene = _scene()
    target = Prepared(scene + rng.normal(0, 0.3, scene.shape), normalize=False)
    source = Prepared(0.8 * scene + 0.1 + rng.normal(0, 0.3, scene.shape), normalize=False)
    light = intensity.fit(target, source, IDENTITY)
    assert light.gain[1:] == (0.0, 0.0)
    assert light.gain[0] == pytest.approx(0.8, abs=0.02)


def _similarity(degrees, scale, shift):
    c, s = np.cos(np.radians(degrees)) * scale, np.sin(np.radians(degrees)) * scale
    a = np.array([[c, -s], [s, c]])
    centre = np.array([SIZE / 2.0, SIZE / 2.0])
    return np.column_stack([np.asarray(shift) + centre - a @ centre, a])


@pytest.mark.parametrize("family, truth", [
    ("translation", np.array([[4.3], [-2.6]])),
    ("rigid", _similarity(3.0, 1.0, (4.3, -2.6))),
    ("scaled_rotation", _similarity(3.0, 1.03, (4.3, -2.6))),
    ("affine", _similarity(3.0, 1.03, (4.3, -2.6)) @ np.diag([1.0, 1.02, 0.99])),
])
def test_a_pair_whose_light_halves_across_it_is_registered_right(family, truth):
    # The source's light falls by half across it, multiplicatively, as under a lamp off to one side.
    target, source = images.registration_pair(images.ascent(), truth, 150, 180, SIZE, noise=1.0, seed=3)
    y, x = np.mgrid[0:SIZE, 0:SIZE].astype(np.float64)
    along = (x + 0.4 * y) / (1.4 * (SIZE - 1))
    lit = 0.7 * source * (1.0 - 0.5 * along) + 20.0
    plain = orvik.register(target, source, family)
    result = orvik.register(target, lit, family)
    assert result.flag == "ok"
    # Within a hundredth of a pixel of the same pair under even light; fitted
    # as an additive plane, the ramp cost up to 0.06 px here.
    assert map_distance(result.matrix, truth, target.shape) < map_distance(plain.matrix, truth, target.shape) + 0.01
