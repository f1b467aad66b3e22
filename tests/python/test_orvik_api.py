"""The library's boundary: family aliases, frame references, typed matrices, channels, per-frame records."""

import csv
import math

import numpy as np
import pytest
from skimage import transform as skt

from orvik_support import drifted, map_distance
import alignopt
import orvik
from orvik import geometry


@pytest.mark.parametrize("given, code", [
    ("euclidean", 3), ("Rigid Body", 3), ("rigid-body", 3), ("similarity", 4), ("scaled rotation", 4),
    ("shift", 2), ("3", 3), (" 8 ", 8), (6, 6), (np.int64(4), 4),
])
def test_family_aliases_and_codes(given, code):
    assert geometry.family_code(given) == code


@pytest.mark.parametrize("given", ["5", "shear", 5, True, 3.0, "rigid3"])
def test_unknown_families_are_refused(given):
    with pytest.raises(ValueError, match="unknown family"):
        geometry.family_code(given)


def test_integer_reference_is_that_frame():
    stack, truth = drifted(frames=4)
    result = orvik.register_stack(stack, "rigid", 2, progress=False)
    assert result.reference == "frame 2"
    np.testing.assert_array_equal(result.matrices[2], geometry.identity(3))
    np.testing.assert_array_equal(result.landmarks[2, 1], result.landmarks[2, 0])
    # The map from frame 2's grid to frame i is truth_i after the inverse of truth_2.
    for i in range(len(stack)):
        expected = geometry.from_affine3(truth[i] @ np.linalg.inv(truth[2]))
        assert map_distance(result.matrices[i], expected, stack.shape[1:]) < 0.2, i
    # Per-frame lists come back in the stack's order too: a dark frame 0 is the one flagged.
    dark = stack.copy()
    dark[0] = 0.0
    flagged = orvik.register_stack(dark, "rigid", 2, progress=False)
    assert flagged.flags == ["suspect", "ok", "ok", "ok"] and np.isnan(flagged.scores[0])
    first = orvik.register_stack(stack, "rigid", "first", progress=False)
    zero = orvik.register_stack(stack, "rigid", np.int32(0), progress=False)
    assert zero.reference == "first"
    np.testing.assert_array_equal(zero.matrices, first.matrices)


@pytest.mark.parametrize("reference, message", [
    (4, "reference frame 4 is not a frame of this stack"),
    (-1, "reference frame -1 is not a frame"),
    (True, "template"),
])
def test_reference_outside_the_stack_is_refused(reference, message):
    with pytest.raises(ValueError, match=message):
        orvik.register_stack(np.zeros((4, 8, 8)), "rigid", reference, progress=False)


def _rotation(degrees, tx, ty, scale=1.0):
    c, s = scale * math.cos(math.radians(degrees)), scale * math.sin(math.radians(degrees))
    return np.array([[tx, c, -s], [ty, s, c]])


@pytest.mark.parametrize("transform", [
    skt.EuclideanTransform(rotation=0.05, translation=(3.5, -2.0)),
    skt.SimilarityTransform(scale=1.04, rotation=-0.03, translation=(-1.0, 2.5)),
    skt.AffineTransform(matrix=np.array([[1.02, 0.05, 2.0], [-0.03, 0.97, -1.5], [0, 0, 1]])),
])
def test_scikit_image_transforms_are_read_as_warp_reads_them(transform):
    stack, _ = drifted(frames=2)
    got = orvik.transform_stack(stack, [transform, transform])
    expected = alignopt._transform(stack[1], geometry.from_affine3(transform.params))
    np.testing.assert_array_equal(got[1], expected)
    # warp(frame, transform) samples the frame at transform(output position): the same direction.
    point = np.array([[40.0, 30.0]])
    np.testing.assert_allclose(geometry.apply(orvik.maps.as_matrix(transform), point), transform(point))


@pytest.mark.parametrize("matrix, message", [
    (np.eye(2, 3), "squeezes the frame"),                              # ECC's start in the OpenCV layout
    (np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]), "squeezes the frame"),
    (np.array([[0.9, 0.1, 0.0], [0.2, 0.2, 0.0]]), "from_opencv"),     # OpenCV layout, no shift
    (np.array([[5.0, 1.0, 0.0, 0.0], [3.0, 1.0, 0.0, 0.0]]), "squeezes"),  # bilinear, singular everywhere
    (np.eye(3), "3x3 homogeneous"),
    (skt.ProjectiveTransform(np.array([[1, 0, 0], [0, 1, 0], [0.001, 0, 1.0]])), "projective"),
    (skt.PolynomialTransform(), "not a matrix"),
    (np.zeros((2, 2)), "shape"),
])
def test_matrices_that_cannot_be_meant_are_refused(matrix, message):
    stack = np.zeros((1, 8, 8))
    with pytest.raises(ValueError, match=message):
        orvik.transform_stack(stack, [matrix])


def test_one_matrix_for_the_whole_stack_is_refused_and_failed_estimates_pass():
    stack = np.ones((2, 8, 8))
    with pytest.raises(ValueError, match="one matrix per frame"):
        orvik.transform_stack(stack, _rotation(0, 1, 1))
    failed = np.full((2, 3), np.nan)
    out = orvik.transform_stack(stack, [_rotation(0, 0, 0), failed])
    assert np.all(out[0] == 1.0) and np.all(out[1] == 0.0)


def test_a_degenerate_estimate_in_a_result_is_resampled_not_refused():
    # A registration gone astray must not stop the stack; only matrices handed in are judged.
    stack = np.ones((2, 2, 8, 8))
    result = orvik.StackResult("affine", "first", (8, 8), np.array([_rotation(0, 0, 0), np.eye(2, 3)]),
                               np.zeros((2, 2, 3, 2)), np.zeros(2))
    for frames in (stack[:, 0], stack):
        out = orvik.transform_stack(frames, result)
        assert np.all(out[0] == 1.0) and out.shape == frames.shape


def test_channels_register_on_one_and_move_together():
    stack, _ = drifted(frames=3)
    channels = np.stack([stack[:, ::-1, ::-1].copy(), stack], axis=1)  # (frames, channels, rows, columns)
    result = orvik.register_stack(channels, "rigid", "first", progress=False, channel=1)
    alone = orvik.register_stack(stack, "rigid", "first", progress=False)
    np.testing.assert_array_equal(result.matrices, alone.matrices)
    out = orvik.transform_stack(channels, result, threads=2)
    assert out.shape == channels.shape and out.dtype == np.float32
    for c in range(2):
        np.testing.assert_array_equal(out[:, c], orvik.transform_stack(channels[:, c], result))


@pytest.mark.parametrize("frames, channel, message", [
    (np.zeros((2, 2, 8, 8)), 2, "channel 2 is not a channel of this stack"),
    (np.zeros((2, 8, 8)), 0, "has shape \\(frames, channels, rows, columns\\)"),
    (np.zeros((2, 2, 8, 8)), 0.0, "integer"),
    (np.zeros((2, 2, 8, 8)), None, "shape"),
])
def test_bad_channels_are_refused(frames, channel, message):
    with pytest.raises(ValueError, match=message):
        orvik.register_stack(frames, "rigid", "first", progress=False, channel=channel)


def _centred(degrees, scale=1.0, centre=4.0):
    m = _rotation(degrees, 0.0, 0.0, scale)
    m[:, 0] = centre - m[:, 1:3] @ [centre, centre]
    return m


@pytest.mark.parametrize("matrix, motion", [
    # dx, dy of the centre; rotation (degrees, +x towards +y); scale; shear (degrees).
    (np.array([[2.5], [-1.0]]), (2.5, -1.0, 0.0, 1.0, 0.0)),
    (_centred(90.0) + [[1.0, 0, 0], [0.5, 0, 0]], (1.0, 0.5, 90.0, 1.0, 0.0)),
    (_centred(-30.0, 2.0), (0.0, 0.0, -30.0, 2.0, 0.0)),
    (np.array([[0.0, 1.0, 0.2], [0.0, 0.0, 1.0]]), (0.2 * 4.0, 0.0, -5.710593137, 1.0, 11.309932474)),
])
def test_frame_records_describe_the_motion(matrix, motion):
    # A 9x9 grid: centre (4, 4).
    code = {1: 2, 3: 6}[matrix.shape[1]]
    result = orvik.StackResult(geometry.family_name(code), "first", (9, 9), np.array([geometry.identity(code), matrix]),
                               np.zeros((2, 2, 1, 2)), np.array([0.0, 0.25]))
    record = result[1]
    assert record.frame == 1 and record.residual == 0.25
    np.testing.assert_allclose([record.dx, record.dy, record.rotation, record.scale, record.shear], motion,
                               atol=1e-9)
    assert [r.frame for r in result] == [0, 1] and result[-1].frame == 1 and len(result[0:2]) == 2
    with pytest.raises(IndexError):
        result[2]


def test_table_and_csv_hold_every_frame_with_scores_when_present(tmp_path):
    stack, _ = drifted(frames=3)
    result = orvik.register_stack(stack, "affine", "first", progress=False)
    result.matrices[2] = np.nan  # a failed estimate
    result.scores = result.flags = None  # as a file written before the verdict loads
    table = result.to_table()
    assert [list(row) for row in table] == [list(orvik.table.COLUMNS)] * 3
    assert table[0]["score"] is None and math.isnan(table[2]["dx"])
    result.to_csv(tmp_path / "a.csv")
    with open(tmp_path / "a.csv", newline="") as f:
        read = list(csv.DictReader(f))
    assert read[1]["frame"] == "1" and float(read[1]["dx"]) == table[1]["dx"]
    assert read[2]["dx"] == "nan" and read[0]["score"] == "" and read[0]["flag"] == ""

    result.scores = np.array([1.0, 0.5, np.nan])
    result.flags = ["ok", "suspect", "suspect"]
    result.to_csv(tmp_path / "b.csv")
    with open(tmp_path / "b.csv", newline="") as f:
        read = list(csv.DictReader(f))
    assert [(r["score"], r["flag"]) for r in read] == [("1.0", "ok"), ("0.5", "suspect"), ("nan", "suspect")]
