"""Stack registration: known drifts recovered, reference modes agree, executors give the same bits."""

import concurrent.futures
import tracemalloc

import numpy as np
import pytest

from orvik_support import TEXTURED, drifted, map_distance
import alignopt
import orvik
from orvik import geometry, sample

FAMILIES = ["translation", "rigid", "scaled_rotation", "affine", "bilinear"]
# Largest error anywhere on a 128-pixel frame, corners included. A bilinear map
# has eight parameters and its corners lie beyond its landmarks, so noise moves
# them by a few tenths of a pixel; a wrong convention or chain costs pixels.
TOLERANCE = {"translation": 0.15, "rigid": 0.2, "scaled_rotation": 0.2, "affine": 0.2, "bilinear": 0.75}
REFERENCES = ["first", "previous", "mean", "template"]


def _stack_for(family):
    # A translation cannot follow a rotation: give it a drift it can represent.
    return drifted(angle=0.0) if family == "translation" else drifted()


def _reference(name, stack):
    return stack[2] if name == "template" else name


@pytest.mark.parametrize("reference", REFERENCES)
@pytest.mark.parametrize("family", FAMILIES)
def test_recovers_known_drift(family, reference, record_property):
    stack, truth = _stack_for(family)
    result = orvik.register_stack(stack, family, _reference(reference, stack), progress=False)
    errors = sample.drift_error(result.matrices, truth, stack.shape[1:])
    record_property("drift_error_px", float(errors.max()))
    print(f"{family}/{reference}: drift error mean {errors.mean():.4f} px, largest {errors.max():.4f} px")
    assert errors.max() < TOLERANCE[family], errors
    assert result.matrices.shape == (len(stack),) + geometry.identity(family).shape
    assert np.all(np.isfinite(result.residuals))


@pytest.mark.parametrize("family", FAMILIES)
def test_previous_chain_agrees_with_first(family):
    stack, _ = _stack_for(family)
    first = orvik.register_stack(stack, family, "first", progress=False)
    previous = orvik.register_stack(stack, family, "previous", progress=False)
    for i, (a, b) in enumerate(zip(first.matrices, previous.matrices)):
        assert map_distance(a, b, stack.shape[1:]) < TOLERANCE[family], i
    # Both report residuals against frame 0, so they must agree too.
    np.testing.assert_allclose(previous.residuals, first.residuals, rtol=0.2, atol=1e-3)


@pytest.mark.parametrize("family", ["rigid", "bilinear"])
def test_previous_carries_landmarks_through_the_pair_maps(family):
    stack, _ = _stack_for(family)
    code = geometry.family_code(family)
    result = orvik.register_stack(stack, family, "previous", progress=False)
    reference_landmarks = result.landmarks[0, 0]
    moved = reference_landmarks
    for i in range(1, len(stack)):
        pair = orvik.register(stack[i - 1], stack[i], code).matrix
        moved = geometry.apply(pair, moved)
        np.testing.assert_array_equal(result.landmarks[i, 0], reference_landmarks)
        # Frames lit alike share one scale along the chain, a pair on its own
        # takes the target's: the same maps but for rounding.
        np.testing.assert_allclose(result.landmarks[i, 1], moved, rtol=0, atol=1e-6)
        # The frame's matrix sends the reference landmarks exactly there.
        np.testing.assert_allclose(geometry.apply(result.matrices[i], reference_landmarks),
                                   result.landmarks[i, 1], atol=1e-9)


def test_first_frame_is_the_identity():
    stack, _ = drifted()
    for family in FAMILIES:
        for reference in ("first", "previous"):
            result = orvik.register_stack(stack, family, reference, progress=False)
            np.testing.assert_array_equal(result.matrices[0], geometry.identity(family))
            np.testing.assert_array_equal(result.landmarks[0, 1], result.landmarks[0, 0])


def test_normalize_removes_gain_and_offset():
    stack, truth = drifted()
    gains = np.array([1.0, 0.3, 2.5, 0.6, 4.0])[:, None, None]
    offsets = np.array([0.0, 40.0, -100.0, 7.0, 300.0])[:, None, None]
    changed = stack * gains + offsets
    plain = orvik.register_stack(stack, "rigid", "first", progress=False)
    result = orvik.register_stack(changed, "rigid", "first", progress=False)
    # Frames lit alike are compared in one scale, the changed ones through
    # the light fitted between them: the two agree to the fit's precision.
    for a, b in zip(plain.matrices, result.matrices):
        assert map_distance(a, b, stack.shape[1:]) < 0.02
    assert sample.drift_error(result.matrices, truth, stack.shape[1:]).max() < 0.1
    # The raw intensities are registered without it: the gain shows in the residuals.
    raw = orvik.register_stack(changed, "rigid", "first", progress=False, normalize=False)
    assert raw.residuals.max() > 100 * result.residuals.max()


def test_any_frame_source_gives_the_same_result(tmp_path):
    stack, _ = drifted(frames=3)
    expected = orvik.register_stack(stack, "rigid", "first", progress=False, threads=1)
    path = tmp_path / "stack.npy"
    np.save(path, stack.astype(np.float32))
    as_float32 = orvik.register_stack(stack.astype(np.float32), "rigid", "first", progress=False, threads=1)
    import tifffile

    tifffile.imwrite(tmp_path / "stack.tif", stack.astype(np.float32), photometric="minisblack",
                     compression="zlib")  # not mappable: read page by page
    with tifffile.TiffFile(tmp_path / "stack.tif") as tiff:
        for frames in (list(stack.astype(np.float32)), np.load(path, mmap_mode="r"), tiff):
            got = orvik.register_stack(frames, "rigid", "first", progress=False, threads=1)
            np.testing.assert_array_equal(got.matrices, as_float32.matrices)
    import dask.array

    got = orvik.register_stack(dask.array.from_array(stack, chunks=(1, 48, 48)), "rigid", "first",
                               progress=False, threads=1)
    np.testing.assert_array_equal(got.matrices, expected.matrices)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("reference", ["first", "previous", "mean"])
def test_serial_threads_and_dask_agree_bit_for_bit(reference, dask_client):
    stack, _ = drifted(frames=4, size=64)
    runs = [orvik.register_stack(stack, "affine", reference, progress=False, threads=1)]
    runs.append(orvik.register_stack(stack, "affine", reference, progress=False, threads=3))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        runs.append(orvik.register_stack(stack, "affine", reference, executor=pool, progress=False))
    # Twice in a row: the same work resubmitted while the first run's tasks are released.
    for _ in range(2):
        runs.append(orvik.register_stack(stack, "affine", reference, executor=dask_client, progress=False))
    for other in runs[1:]:
        np.testing.assert_array_equal(other.matrices, runs[0].matrices)
        np.testing.assert_array_equal(other.landmarks, runs[0].landmarks)
        np.testing.assert_array_equal(other.residuals, runs[0].residuals)
    aligned = [orvik.transform_stack(stack, runs[0], threads=1),
               orvik.transform_stack(stack, runs[0], executor=dask_client)]
    np.testing.assert_array_equal(aligned[0], aligned[1])


def test_memmap_stack_is_processed_frame_by_frame(tmp_path):
    # 96 frames of 128x128: the whole stack as float64 would be 96 frame buffers.
    one, _ = drifted(frames=4, size=128, angle=0.0)
    frames = 96
    source = np.lib.format.open_memmap(tmp_path / "in.npy", mode="w+", dtype=np.float32,
                                       shape=(frames,) + one.shape[1:])
    for i in range(frames):
        source[i] = one[i % len(one)]
    source.flush()
    del source
    source = np.load(tmp_path / "in.npy", mmap_mode="r")
    out = np.lib.format.open_memmap(tmp_path / "out.npy", mode="w+", dtype=np.float32, shape=source.shape)
    frame_bytes = one[0].nbytes
    orvik.register_stack(source[:2], "translation", "previous", progress=False, threads=2)  # imports, caches

    peaks = []
    for step in ("register", "transform"):
        tracemalloc.start()
        try:
            if step == "register":
                result = orvik.register_stack(source, "translation", "previous", progress=False, threads=2)
            else:
                orvik.transform_stack(source, result, out=out, threads=2)
            peaks.append(tracemalloc.get_traced_memory()[1] / frame_bytes)
        finally:
            tracemalloc.stop()
    # A few frames in flight per worker, however long the stack.
    print("peak memory in frames:", peaks)
    assert max(peaks) < 32, peaks
    expected = alignopt._transform(np.asarray(source[5], dtype=np.float64), result.matrices[5])
    np.testing.assert_array_equal(out[5], expected)


def test_result_round_trips_through_json(tmp_path):
    stack, _ = drifted(frames=3)
    result = orvik.register_stack(stack, "bilinear", "mean", progress=False)
    result.residuals[1] = np.nan  # a failed estimate must survive the trip
    result.save(tmp_path / "r.json")
    loaded = orvik.StackResult.load(tmp_path / "r.json")
    np.testing.assert_array_equal(loaded.matrices, result.matrices)
    np.testing.assert_array_equal(loaded.landmarks, result.landmarks)
    np.testing.assert_array_equal(loaded.residuals, result.residuals)
    assert (loaded.family, loaded.reference, tuple(loaded.shape), loaded.info) == \
           ("bilinear", "mean", stack.shape[1:], {"rounds": 3})
    for text in ("[]", '{"format": "other"}', "{", '{"format": "orvik-stack-registration", "version": 1}'):
        (tmp_path / "bad.json").write_text(text)
        with pytest.raises(ValueError):
            orvik.StackResult.load(tmp_path / "bad.json")


def test_transform_stack_writes_each_frame_through_its_matrix():
    stack, _ = drifted(frames=3)
    result = orvik.register_stack(stack, "affine", "first", progress=False)
    out = np.full(stack.shape, -1.0)
    assert orvik.transform_stack(stack, result, out=out) is out
    for i in range(len(stack)):
        np.testing.assert_array_equal(out[i], alignopt._transform(stack[i], result.matrices[i]))
    default = orvik.transform_stack(stack, list(result.matrices))
    assert default.dtype == np.float32
    np.testing.assert_array_equal(default, out)


@pytest.mark.parametrize("shifts, rows, columns", [
    ([(0, 0), (3, -2), (-1.5, 1)], slice(2, 47), slice(2, 37)),
    ([(0, 0), (0.4, 0.4)], slice(0, 48), slice(0, 40)),     # rounds back inside
    ([(0, 0), (0.6, 0)], slice(0, 48), slice(0, 39)),       # rounds past the last column
    ([(0, 0), (45, 0)], slice(0, 0), slice(0, 0)),          # nothing in common
])
def test_common_support_of_translations(shifts, rows, columns):
    matrices = [np.array([[dx], [dy]], dtype=float) for dx, dy in shifts]
    got = orvik.common_support(matrices, (48, 40))
    if rows.stop == 0:
        assert got[0].stop - got[0].start == 0 or got[1].stop - got[1].start == 0
    else:
        assert got == (rows, columns)


def test_common_support_is_covered_by_every_aligned_frame():
    stack, _ = drifted()
    result = orvik.register_stack(stack, "bilinear", "first", progress=False)
    rows, columns = result.common_support()
    ones = np.ones(stack.shape[1:])
    for m in result.matrices:
        assert np.all(alignopt._transform(ones, m)[rows, columns] != 0.0)
    assert (rows.stop - rows.start) * (columns.stop - columns.start) > 0.7 * ones.size


def test_largest_rectangle_with_holes_matches_brute_force():
    rng = np.random.default_rng(5)
    for _ in range(30):
        mask = rng.random((7, 9)) < 0.8
        rows, columns = orvik.largest_rectangle(mask)
        area = (rows.stop - rows.start) * (columns.stop - columns.start)
        assert mask[rows, columns].all()
        best = max((b - a) * (d - c) for a in range(7) for b in range(a + 1, 8) for c in range(9)
                   for d in range(c + 1, 10) if mask[a:b, c:d].all()) if mask.any() else 0
        assert area == best


@pytest.mark.parametrize("frames, family, reference, message", [
    (np.zeros((3, 8, 8)), "shear", "first", "unknown family"),
    (np.zeros((3, 8, 8)), 5, "first", "unknown family"),
    (np.zeros((3, 8, 8)), "rigid", "last", "unknown reference"),
    (np.zeros((3, 8, 8)), "rigid", np.zeros((8, 9)), "template"),
    (np.zeros((8, 8)), "rigid", "first", "shape"),
    (np.zeros((2, 8, 8, 3)), "rigid", "first", "shape"),
    ([np.zeros((8, 8)), np.zeros((8, 9))], "rigid", "first", "unequal size"),
    ([np.zeros((8, 8, 3))], "rigid", "first", "not greyscale"),
    (np.zeros((0, 8, 8)), "rigid", "first", "no frames"),
    (np.zeros((2, 0, 8)), "rigid", "first", "no pixels"),
])
def test_refuses_bad_input(frames, family, reference, message):
    with pytest.raises(ValueError, match=message):
        orvik.register_stack(frames, family, reference, progress=False)


def test_sample_frames_follow_their_true_drift():
    # The drift the error is measured against must be the one in the frames.
    stack, truth = sample.drift_stack(frames=4, size=128, noise=0.0, seed=3, centre=TEXTURED)
    for frame, t in zip(stack[1:], truth[1:]):
        m = geometry.from_affine3(t)
        inner = geometry.support(m, frame.shape)
        inner[:3], inner[-3:], inner[:, :3], inner[:, -3:] = False, False, False, False
        error = np.abs(alignopt._transform(frame, m) - stack[0])[inner].mean()
        slipped = m.copy()
        slipped[:, 0] += 0.25  # yardstick: a quarter-pixel error in the truth
        slip = np.abs(alignopt._transform(frame, slipped) - stack[0])[inner].mean()
        assert error < 0.3 * slip, (error, slip)
