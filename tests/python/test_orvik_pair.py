"""The robust pair path: global start, verdict, intensity changes, bad frames in stacks, argument errors."""

import concurrent.futures

import numpy as np
import pytest

from orvik_support import drifted, map_distance
import images
import orvik
from orvik import geometry, pair, sample


def _similarity(degrees, scale, shift, size):
    c, s = np.cos(np.radians(degrees)) * scale, np.sin(np.radians(degrees)) * scale
    a = np.array([[c, -s], [s, c]])
    centre = np.array([size / 2.0, size / 2.0])
    return np.column_stack([np.asarray(shift) + centre - a @ centre, a])


@pytest.fixture(scope="module")
def turned_pair():
    # 120 degrees, 15 % larger and 30 px away: far beyond what a start at the identity reaches.
    truth = _similarity(120.0, 1.15, (30.0, -18.0), 192)
    target, source = images.registration_pair(images.ascent(), truth, 160, 160, 192, noise=1.0, seed=2)
    return target, source, truth


def test_search_recovers_a_large_turn_that_the_identity_start_misses(turned_pair):
    target, source, truth = turned_pair
    plain = orvik.register(target, source, "scaled_rotation", search=False)
    found = orvik.register(target, source, "scaled_rotation")
    assert map_distance(plain.matrix, truth, target.shape) > 10
    assert plain.flag == "suspect"
    assert map_distance(found.matrix, truth, target.shape) < 0.5
    assert (found.flag, found.start) == ("ok", "search")
    # The same start handed in as `initial` needs no search.
    again = orvik.register(target, source, "scaled_rotation", initial=found.matrix, search=False)
    assert again.flag == "ok" and map_distance(again.matrix, truth, target.shape) < 0.5


@pytest.mark.parametrize("family", ["rigid", "scaled_rotation", "affine", "bilinear"])
def test_swept_turns_find_the_start_where_the_spectra_do_not(turned_pair, family, monkeypatch):
    # Scenes whose spectrum barely turns with them defeat the log-polar
    # estimate; stand that in by taking its candidates away.
    target, source, truth = turned_pair
    truth = _similarity(120.0, 1.0, (30.0, -18.0), 192) if family == "rigid" else truth
    if family == "rigid":
        target, source = images.registration_pair(images.ascent(), truth, 160, 160, 192, noise=1.0, seed=2)
    monkeypatch.setattr(pair, "global_starts", lambda *args: [])
    found = orvik.register(target, source, family)
    assert (found.flag, found.start) == ("ok", "search")
    assert map_distance(found.matrix, truth, target.shape) < 0.5


@pytest.mark.parametrize("family", ["translation", "rigid", "affine", "bilinear"])
def test_an_unmasked_occluder_is_found_in_the_residual_and_left_out(family, monkeypatch):
    # A bright disc over a tenth of the source only pulls every refinement
    # towards covering it up; left out, the map is the scene's.
    truth = np.array([[3.3], [-2.2]]) if family == "translation" else _similarity(4.0, 1.0, (3.0, -2.0), 192)
    target, source = images.registration_pair(images.ascent(), truth, 150, 150, 192, noise=1.0, seed=4)
    rows, columns = np.mgrid[0:192, 0:192]
    source[(columns - 120) ** 2 + (rows - 80) ** 2 < 34 ** 2] = 255.0
    found = orvik.register(target, source, family)
    assert found.flag == "ok"
    assert map_distance(found.matrix, truth, target.shape) < 0.06
    monkeypatch.setattr(pair.occluders, "suspected", lambda *args: False)
    plain = orvik.register(target, source, family)
    assert map_distance(plain.matrix, truth, target.shape) > 2 * map_distance(found.matrix, truth, target.shape)


@pytest.mark.parametrize("noise", [0.0, 3.0, 12.0])
def test_noise_and_sharp_edges_under_the_right_map_are_no_occluder(noise):
    from orvik.prepared import Prepared

    truth = _similarity(4.0, 1.0, (3.0, -2.0), 192)
    target, source = images.registration_pair(images.ascent(), truth, 150, 150, 192, noise=noise, seed=4)
    t, s = Prepared(target), Prepared(source)
    assert not pair.occluders.suspected(t, s, truth)
    assert pair.occluders.occluder_mask(t, s, truth) is None


@pytest.fixture(scope="module")
def drifted_cells():
    # Phase-contrast cells: wide flat background, sparse sharp halos. A shift
    # brings in enough other content that each image's own spread differs.
    skimage_data = pytest.importorskip("skimage.data")
    cells = skimage_data.cell().astype(np.float64)
    truth = np.array([[3.3, 1.0, 0.0], [-2.2, 0.0, 1.0]])
    target, source = images.registration_pair(cells, truth, 300, 250, 256, noise=1.0, seed=3)
    return target, source, truth


@pytest.mark.parametrize("family", ["translation", "affine"])
def test_a_pair_lit_alike_is_registered_as_it_is(drifted_cells, family):
    # Each image in its own scale leaves a gain of the content's spread that
    # pulled the map by 0.02 to 0.09 px from what the images give.
    import alignopt

    target, source, _ = drifted_cells
    found = orvik.register(target, source, family, search=False)
    bare = alignopt._register(target, source, geometry.family_code(family))[0]
    assert map_distance(found.matrix, bare, target.shape) < 1e-6


@pytest.mark.parametrize("gain, offset", [(1.3, 20.0), (0.7, -10.0)])
def test_a_change_of_light_alone_is_no_occluder(drifted_cells, gain, offset):
    from orvik.prepared import Prepared

    target, source, truth = drifted_cells
    t, s = Prepared(target, normalize=False), Prepared(gain * source + offset, normalize=False)
    assert not pair.occluders.suspected(t, s, truth)
    assert pair.occluders.occluder_mask(t, s, truth) is None


@pytest.mark.parametrize("frame", [14, 21])
def test_a_bleached_frame_is_refitted_until_its_light_settles(frame):
    # 3 % fewer photons a frame, Poisson noise, a camera offset: the first
    # refit's gain is fitted at a map still off and comes out low, which also
    # lowers that round's error; kept for it, the frame was 0.14 px off.
    skimage_data = pytest.importorskip("skimage.data")
    clean, truth = sample.drift_stack(frames=30, size=256, shift=8.0, angle=2.0, noise=0.0, seed=1,
                                      image=skimage_data.cell().astype(np.float64))
    rng = np.random.default_rng(1)
    fading = 0.97 ** np.arange(30)
    counts = rng.poisson(np.clip(clean, 0, None) * (4000.0 / clean[0].max()) * fading[:, None, None]) + 100.0
    found = orvik.register(counts[0], counts[frame], "rigid")
    identity = geometry.identity("rigid")
    assert sample.drift_error([identity, found.matrix], truth[[0, frame]], clean.shape[1:])[1] < 0.04


def test_the_sweep_finds_a_field_of_alike_cells_that_half_whitening_blurs(monkeypatch):
    # Phase-contrast cells turned by 140 degrees and 30 px away; the log-polar
    # estimate is taken away. With the spectrum half whitened the correct turn
    # is not among the highest peaks; fully whitened it is the highest.
    skimage_data = pytest.importorskip("skimage.data")
    from scipy import ndimage

    cells = ndimage.zoom(skimage_data.cell().astype(np.float64), 1.164, order=3)
    truth = np.array([[224.944, -0.761, 0.649], [267.08, -0.649, -0.761]])
    top, left = (cells.shape[0] - 256) // 2, (cells.shape[1] - 256) // 2
    target, source = images.registration_pair(cells, truth, top, left, 256, noise=1.0, seed=3)
    monkeypatch.setattr(pair, "global_starts", lambda *args: [])
    found = orvik.register(target, source, "rigid")
    assert (found.flag, found.start) == ("ok", "search")
    assert map_distance(found.matrix, truth, target.shape) < 0.5


@pytest.mark.parametrize("degrees", [100.0, 135.0])
def test_a_rigid_body_at_a_large_turn_is_found_to_a_small_fraction_of_a_pixel(degrees):
    # The rigid-body refinement drifts from such a start (0.3-1 px); a
    # similarity of scale one does not (its own scatter here: 0.04-0.12 px).
    truth = _similarity(degrees, 1.0, (30.0, -18.0), 192)
    target, source = images.registration_pair(images.ascent(), truth, 160, 160, 192, noise=1.0, seed=2)
    found = orvik.register(target, source, "rigid")
    assert (found.flag, found.start) == ("ok", "search")
    assert map_distance(found.matrix, truth, target.shape) < 0.15
    a = found.matrix[:, 1:3]
    np.testing.assert_allclose(a.T @ a, np.eye(2), atol=1e-12)
    np.testing.assert_allclose(found.source_landmarks,
                               found.target_landmarks @ a.T + found.matrix[:, 0], atol=1e-9)


def test_search_gives_the_same_bits_from_one_and_two_threads(turned_pair):
    target, source, _ = turned_pair
    runs = [orvik.register(target, source, "affine")]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        runs += list(pool.map(lambda _: orvik.register(target, source, "affine"), range(2)))
    for other in runs[1:]:
        np.testing.assert_array_equal(other.matrix, runs[0].matrix)
        assert (other.score, other.error) == (runs[0].score, runs[0].error)


@pytest.mark.parametrize("wrong", [False, True])
def test_verdict_flags_a_wrong_result_and_passes_a_right_one(wrong):
    stack, truth = drifted(frames=2, size=128)
    target, source = stack[0], stack[1]
    matrix = geometry.from_affine3(truth[1], 3)
    if wrong:  # a few pixels off: the local optima a start too far away ends in
        matrix[:, 0] += (4.0, -3.0)
    from orvik.prepared import Prepared
    from orvik.verdict import agreement

    judged = agreement(Prepared(target), Prepared(source), matrix)
    assert judged.flag == ("suspect" if wrong else "ok"), judged
    assert -1.0 <= judged.score <= 1.0


SMOOTH_TRUTH = np.array([[4.0, 0.998, -0.052], [-3.0, 0.052, 0.998]])


def _smooth_or_noisy_pair(kind):
    """A pair of a blurred scene (structure only above a few pixels), or of few counted photons."""
    from scipy import ndimage

    if kind == "smooth":
        scene = ndimage.gaussian_filter(images.ascent(), 6.0)
        return images.registration_pair(scene, SMOOTH_TRUTH, 150, 150, 192, noise=0.5, seed=1)
    target, source = images.registration_pair(images.ascent(), SMOOTH_TRUTH, 150, 150, 192)
    rng = np.random.default_rng(5)
    return rng.poisson(target * 100 / 255.0).astype(float), rng.poisson(np.clip(source, 0, None) * 60 / 255.0).astype(float)


@pytest.mark.parametrize("kind, off, flag", [
    ("smooth", (0.0, 0.0), "ok"),
    ("smooth", (2.0, -1.5), "suspect"),
    ("smooth", (3.0, -2.0), "suspect"),
    ("smooth", (-4.0, 3.0), "suspect"),
    ("photons", (0.0, 0.0), "ok"),
    ("photons", (3.0, -2.0), "suspect"),
])
def test_verdict_flags_a_map_a_few_pixels_off_that_still_correlates_well(kind, off, flag):
    # On the smooth scene the score alone passes maps 2-5 px off; that a moved
    # copy of such a map agrees better somewhere gives it away.
    from orvik.prepared import Prepared
    from orvik.verdict import SCORE_LIMIT, agreement

    target, source = _smooth_or_noisy_pair(kind)
    matrix = SMOOTH_TRUTH.copy()
    matrix[:, 0] += off
    judged = agreement(Prepared(target), Prepared(source), matrix)
    assert judged.flag == flag, judged
    if kind == "smooth":
        assert judged.score >= SCORE_LIMIT, judged
    assert -1.0 <= judged.score <= 1.0


def test_bleached_exposure_and_a_ramp_do_not_bias_the_result():
    stack, truth = drifted(frames=2, size=128)
    target, source = stack[0], stack[1].copy()
    h, w = source.shape
    ramp = 1.0 - 0.4 * np.arange(w)[np.newaxis, :] / w
    changed = 0.35 * source * ramp + 40.0
    expected = geometry.from_affine3(truth[1], 3)
    plain = orvik.register(target, source, "rigid")
    result = orvik.register(target, changed, "rigid")
    assert result.flag == "ok"
    assert map_distance(result.matrix, expected, target.shape) < map_distance(plain.matrix, expected, target.shape) + 0.05


def _with_bad_frames(stack):
    frames = stack.copy()
    frames[2] = np.random.default_rng(0).normal(0.0, 0.5, frames[2].shape)  # shutter closed: noise only
    frames[3] = np.nan
    frames[4, 10, 20] = np.nan  # one NaN pixel: masked, the frame stays good
    return frames


@pytest.mark.parametrize("reference", ["first", "previous", "mean"])
def test_bad_frames_are_flagged_and_do_not_derail_the_others(reference):
    stack, truth = drifted(frames=6, size=128)
    frames = _with_bad_frames(stack)
    result = orvik.register_stack(frames, "rigid", reference, progress=False)
    assert [result.flags[i] for i in (2, 3)] == ["suspect", "suspect"]
    good = [0, 1, 4, 5]
    assert [result.flags[i] for i in good] == ["ok"] * 4
    errors = sample.drift_error(result.matrices, truth, stack.shape[1:])
    assert errors[good].max() < 0.25, errors
    assert result.suspect_frames() == [2, 3]


def test_scores_and_flags_survive_the_file_and_old_files_still_load(tmp_path):
    stack, _ = drifted(frames=3)
    result = orvik.register_stack(_with_bad_frames(np.concatenate([stack, stack[:2]]))[:4], "rigid", "first",
                                  progress=False)
    result.save(tmp_path / "r.json")
    loaded = orvik.StackResult.load(tmp_path / "r.json")
    np.testing.assert_array_equal(loaded.scores, result.scores)
    assert loaded.flags == result.flags
    import json

    data = json.loads((tmp_path / "r.json").read_text())
    del data["scores"], data["flags"]
    old = orvik.StackResult.from_dict(data)
    assert old.scores is None and old.flags is None and old.suspect_frames() == []


SHAPE = (32, 32)


@pytest.mark.parametrize("options, message", [
    ({"target_mask": np.ones((32, 31))}, "target mask is 32x31"),
    ({"source_mask": np.zeros(SHAPE)}, "no usable pixel"),
    ({"target_mask": np.full(SHAPE, np.nan)}, "NaN or infinity"),
    ({"source_mask": np.where(np.eye(32) > 0, np.inf, 1.0)}, "NaN or infinity"),
    ({"initial": np.zeros((3, 2))}, r"shape \(2,1\), \(2,3\) or \(2,4\)"),
    ({"initial": np.array([[np.nan], [0.0]])}, "initial matrix holds NaN"),
    ({"target_mask": np.pad(np.ones((1, 2)), ((0, 31), (0, 30)))}, "needs at least 6"),
    ({"family": "shear"}, "unknown family"),
])
def test_bad_options_raise_clear_value_errors(options, message):
    image = images.ascent()[:32, :32].copy()
    family = options.pop("family", "affine")
    with pytest.raises(ValueError, match=message):
        orvik.register(image, image, family, **options)


def test_a_stack_error_names_the_frame():
    stack, _ = drifted(frames=3)
    with pytest.raises(ValueError, match="frame 1: the frame mask"):
        orvik.register_stack(stack, "rigid", "first", progress=False,
                             frame_masks=[None, np.ones((4, 4)), None])
