"""_register against OpenCV's findTransformECC and scikit-image's
phase_cross_correlation on natural image pairs with known mappings.

Run with the system interpreter and the built module on the path:
    PYTHONPATH=build/module /usr/bin/python3 bench/bench_register.py
Prints, per family and size, each method's processor time, its largest
mapping error over the image (pixels), and each competitor's time as a
multiple of ours. OpenCV has no similarity motion, so scaled rotation is
compared with its affine motion; rigid body meets its Euclidean motion, and
bilinear has no counterpart there.
"""

import os
import sys
import time
import warnings

import numpy as np
from scipy import ndimage

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import alignopt  # noqa: E402
import images  # noqa: E402

warnings.simplefilter("ignore")
import cv2  # noqa: E402
from skimage.registration import phase_cross_correlation  # noqa: E402

cv2.setNumThreads(1)


def about_centre(matrix, size):
    """Moves the fixed point of a (2, 3) matrix's linear part to the image centre."""
    matrix = np.array(matrix, dtype=np.float64)
    centre = np.array([size / 2.0, size / 2.0])
    matrix[:, 0] += centre - matrix[:, 1:3] @ centre
    return matrix


def similarity(degrees, scale, shift, size):
    c, s = np.cos(np.radians(degrees)) * scale, np.sin(np.radians(degrees)) * scale
    return about_centre([[shift[0], c, -s], [shift[1], s, c]], size)


# code -> (family, known mapping for an image of `size`). Further families add
# their entries here and in COMPETITORS.
CASES = {
    2: ("translation", lambda size: np.array([[3.37], [-2.81]])),
    4: ("scaled rotation", lambda size: similarity(4.0, 1.03, (2.5, -1.5), size)),
    6: ("affine", lambda size: about_centre([[1.8, 1.02, 0.03], [-2.2, -0.025, 0.97]], size)),
    3: ("rigid body", lambda size: similarity(3.0, 1.0, (2.5, -1.5), size)),
    # A mild distortion: a pixel or so of shift and shear, and about five
    # pixels from the x*y term at the far corner, at every size.
    8: ("bilinear", lambda size: np.array([[1.05 * size / 256, 1.0075, -0.006, 0.000075 * 256 / size],
                                           [-0.7 * size / 256, 0.005, 0.9925, -0.00005 * 256 / size]])),
}


def apply_bilinear(matrix, x, y):
    return (matrix[0, 0] + matrix[0, 1] * x + matrix[0, 2] * y + matrix[0, 3] * x * y,
            matrix[1, 0] + matrix[1, 1] * x + matrix[1, 2] * y + matrix[1, 3] * x * y)


def bilinear_pair(image, matrix, top, left, size):
    """As images.registration_pair for a (2, 4) matrix, which has no inverse of
    its kind: the source is the crop and the target is resampled from the
    image, so that target(p) = source(matrix(p)) again."""
    source = image[top:top + size, left:left + size].copy()
    y, x = np.mgrid[0:size, 0:size].astype(np.float64)
    sx, sy = apply_bilinear(matrix, x, y)
    target = ndimage.map_coordinates(image, [sy + top, sx + left], order=3, mode="mirror")
    return np.ascontiguousarray(target), np.ascontiguousarray(source)


def make_pair(image, matrix, size):
    if matrix.shape == (2, 4):
        return bilinear_pair(image, matrix, 0, 0, size)
    return images.registration_pair(image, matrix, 0, 0, size)


def mapping_error(estimated, true, shape):
    if true.shape == (2, 4):
        y, x = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
        ex, ey = apply_bilinear(estimated, x, y)
        tx, ty = apply_bilinear(true, x, y)
        return float(np.max(np.hypot(ex - tx, ey - ty)))
    return images.max_mapping_error(estimated, true, shape)


def scenes():
    """Square natural scenes: ascent at 512, the face mirrored out to 1024."""
    face = images.face()
    face = np.pad(face, ((0, 1024 - face.shape[0]), (0, 0)), mode="symmetric")
    return {512: ("ascent", images.ascent()), 1024: ("face", face)}


def ecc(motion):
    """findTransformECC coarse to fine over a pyrDown pyramid (it does not
    converge from the identity on full-size images otherwise); returns our
    (2, 1) or (2, 3) layout, target to source."""

    def run(target, source):
        pyramid = [(target.astype(np.float32), source.astype(np.float32))]
        while min(pyramid[-1][0].shape) > 64:
            t, s = pyramid[-1]
            pyramid.append((cv2.pyrDown(t), cv2.pyrDown(s)))
        warp = np.eye(2, 3, dtype=np.float32)
        criteria = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 100, 1e-6)
        for level, (t, s) in enumerate(reversed(pyramid)):
            if level:
                warp[:, 2] *= 2.0
            _, warp = cv2.findTransformECC(t, s, warp, motion, criteria, None, 5)
        warp = warp.astype(np.float64)
        if motion == cv2.MOTION_TRANSLATION:
            return warp[:, 2:3]
        return np.column_stack([warp[:, 2], warp[:, 0:2]])

    return run


def phase_correlation(target, source):
    # The shift that moves the source onto the target is minus our mapping.
    shift, _, _ = phase_cross_correlation(target, source, upsample_factor=100)
    return np.array([[-shift[1]], [-shift[0]]])


# code -> [(name, function(target, source) -> matrix in our layout)]
COMPETITORS = {
    2: [("ECC translation", ecc(cv2.MOTION_TRANSLATION)), ("phase correlation", phase_correlation)],
    4: [("ECC affine", ecc(cv2.MOTION_AFFINE))],  # OpenCV has no similarity motion
    6: [("ECC affine", ecc(cv2.MOTION_AFFINE))],
    3: [("ECC Euclidean", ecc(cv2.MOTION_EUCLIDEAN))],
}


def timed(function, repeats):
    """Best processor time of a few runs: every method here runs on one
    thread, and processor time is steadier than wall time on a busy machine."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.process_time()
        result = function()
        best = min(best, time.process_time() - start)
    return best, result


def main():
    rows = []
    for size, (scene, image) in scenes().items():
        repeats = 5 if size <= 512 else 3
        for code, (family, mapping) in CASES.items():
            true = mapping(size)
            target, source = make_pair(image, true, size)
            ours_time, result = timed(lambda: alignopt._register(target, source, code), repeats)
            ours_error = mapping_error(result[0], true, target.shape)
            rows.append((family, code, size, scene, "alignopt", ours_time, ours_error, 1.0))
            for name, competitor in COMPETITORS.get(code, []):
                their_time, matrix = timed(lambda: competitor(target, source), repeats)
                error = mapping_error(matrix, true, target.shape)
                rows.append((family, code, size, scene, name, their_time, error, their_time / ours_time))

    header = f"{'family':<16}{'code':>5}{'size':>6}  {'scene':<7}{'method':<19}{'time s':>9}{'max err px':>12}{'time / ours':>13}"
    print(header)
    print("-" * len(header))
    for family, code, size, scene, method, seconds, error, ratio in rows:
        print(f"{family:<16}{code:>5}{size:>6}  {scene:<7}{method:<19}{seconds:>9.3f}{error:>12.4f}{ratio:>13.2f}")


if __name__ == "__main__":
    main()
