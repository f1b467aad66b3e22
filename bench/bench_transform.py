"""Speed of _transform against the cubic warps of scipy and OpenCV.

Warps tiled copies of a natural image (512, 2048 and 4096 pixels square)
with a translation, an affine and a bilinear matrix, through alignopt's
_transform, scipy's order-3 spline (affine_transform for the first two,
map_coordinates for the bilinear map) and OpenCV's cubic interpolation
(warpAffine, and remap for the bilinear map), each on one thread. The times
are CPU seconds of this process, best of a few runs, so that other work on
the machine does not count against any of them.

Run with /usr/bin/python3 and PYTHONPATH at the built module:
    PYTHONPATH=build/module /usr/bin/python3 bench/bench_transform.py [sizes...]
"""

import sys
import time
import warnings

import numpy as np
import scipy.ndimage as ndi
import cv2

import alignopt

cv2.setNumThreads(1)


def natural_image(size):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from scipy import misc

        tile = misc.ascent().astype(np.float64)
    reps = -(-size // tile.shape[0])
    return np.ascontiguousarray(np.tile(tile, (reps, reps))[:size, :size])


def matrices(size):
    """(2,1), (2,3) and (2,4) matrices that keep most positions inside."""
    angle, scale = np.deg2rad(5.0), 1.02
    c, s = scale * np.cos(angle), scale * np.sin(angle)
    centre = (size - 1) / 2.0
    affine = np.array([[0.0, c, -s], [0.0, s, c]])
    affine[:, 0] = centre - affine[:, 1:] @ [centre, centre] + [3.3, -2.7]
    k = 0.05 / size  # bends the far corner by about 5% of the size
    bilinear = np.array([[2.5, 0.97, 0.02, k], [-1.5, -0.02, 0.98, -k]])
    return {
        "translation": np.array([[3.3], [-2.7]]),
        "affine": affine,
        "bilinear": bilinear,
    }


def positions(matrix, shape):
    y, x = np.mgrid[0 : shape[0], 0 : shape[1]].astype(np.float64)
    xp = matrix[0, 0] + matrix[0, 1] * x + matrix[0, 2] * y + matrix[0, 3] * x * y
    yp = matrix[1, 0] + matrix[1, 1] * x + matrix[1, 2] * y + matrix[1, 3] * x * y
    return xp, yp


def scipy_warp(image, matrix):
    if matrix.shape[1] == 1:
        return ndi.affine_transform(image, np.eye(2), offset=(matrix[1, 0], matrix[0, 0]), order=3, mode="mirror")
    if matrix.shape[1] == 3:
        rows_cols = np.array([[matrix[1, 2], matrix[1, 1]], [matrix[0, 2], matrix[0, 1]]])
        return ndi.affine_transform(image, rows_cols, offset=(matrix[1, 0], matrix[0, 0]), order=3, mode="mirror")
    xp, yp = positions(matrix, image.shape)
    return ndi.map_coordinates(image, [yp, xp], order=3, mode="mirror")


def opencv_warp(image, matrix):
    h, w = image.shape
    if matrix.shape[1] == 4:
        xp, yp = positions(matrix, image.shape)
        return cv2.remap(image, xp.astype(np.float32), yp.astype(np.float32), cv2.INTER_CUBIC,
                         borderMode=cv2.BORDER_REFLECT)
    m = matrix if matrix.shape[1] == 3 else np.array([[matrix[0, 0], 1.0, 0.0], [matrix[1, 0], 0.0, 1.0]])
    forward = np.array([[m[0, 1], m[0, 2], m[0, 0]], [m[1, 1], m[1, 2], m[1, 0]]])
    return cv2.warpAffine(image, forward, (w, h), flags=cv2.INTER_CUBIC | cv2.WARP_INVERSE_MAP,
                          borderMode=cv2.BORDER_REFLECT)


def best_time(job, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        job()
        best = min(best, time.process_time() - start)
    return best


def main(sizes):
    print(f"{'size':>6} {'matrix':<12} {'_transform':>11} {'scipy o3':>10} {'OpenCV cubic':>13}"
          f" {'scipy/ours':>11} {'ours/OpenCV':>12}")
    for size in sizes:
        image = natural_image(size)
        repeats = 5 if size <= 512 else 3 if size <= 2048 else 2
        for name, matrix in matrices(size).items():
            ours = best_time(lambda: alignopt._transform(image, matrix), repeats)
            theirs = best_time(lambda: scipy_warp(image, matrix), repeats)
            opencv = best_time(lambda: opencv_warp(image, matrix), repeats)
            print(f"{size:>6} {name:<12} {ours * 1e3:>9.1f}ms {theirs * 1e3:>8.1f}ms {opencv * 1e3:>11.1f}ms"
                  f" {theirs / ours:>10.2f}x {ours / opencv:>11.2f}x", flush=True)


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [512, 2048, 4096])
