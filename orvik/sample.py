"""A sample stack with a known drift, cut from a natural image, and its error measure."""

import warnings

import numpy as np

from . import geometry


def natural_image():
    """The 512x512 greyscale photograph that Debian's SciPy ships, as float64."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from scipy import misc

        return misc.ascent().astype(np.float64)


def drift_stack(frames=8, size=128, shift=6.0, angle=1.5, noise=0.02, seed=0, image=None, centre=None):
    """Frames cut from a natural image moved by a known drift; returns (stack, truth).

    The drift is a random walk of translations (up to `shift` pixels in each
    axis) and rotations about the frame centre (up to `angle` degrees), frame 0
    unmoved; Gaussian noise of `noise` times the image's range is added. Frame 0
    is centred on the image position `centre` (x, y), by default the middle.
    `truth[i]` is the 3x3 affine map from frame 0's grid to frame i's, the
    answer a registration against frame 0 should give. The frames are
    resampled from the full image (cubic spline), so no frame has empty borders.
    """
    from scipy import ndimage

    base = natural_image() if image is None else np.asarray(image, dtype=np.float64)
    rng = np.random.default_rng(seed)
    half = (size - 1) * 0.5  # the frame's centre
    middle = (np.array(base.shape[::-1]) - 1) * 0.5 if centre is None else np.asarray(centre, dtype=np.float64)
    reach = half * np.sqrt(2.0) + shift + 2  # a frame's corner at the largest drift
    if np.any(middle - reach < 0) or np.any(middle + reach > np.array(base.shape[::-1]) - 1):
        raise ValueError(f"drifting frames of {size} pixels around {tuple(middle)} leave the {base.shape} image")
    steps = rng.uniform(-1.0, 1.0, size=(frames, 3)) * [shift / 2, shift / 2, angle / 2]
    steps[0] = 0.0
    walk = np.clip(np.cumsum(steps, axis=0), [-shift, -shift, -angle], [shift, shift, angle])

    def frame_to_image(dx, dy, degrees):
        # Frame pixel -> image position: rotate about the frame centre, then shift.
        c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
        g = np.eye(3)
        g[:2, :2] = [[c, -s], [s, c]]
        g[:2, 2] = middle + np.array([dx, dy]) - g[:2, :2] @ [half, half]
        return g

    spread = np.ptp(base)
    coefficients = ndimage.spline_filter(base, order=3, mode="reflect")
    stack = np.empty((frames, size, size))
    truth = np.empty((frames, 3, 3))
    g0 = frame_to_image(*walk[0])
    for i, (dx, dy, degrees) in enumerate(walk):
        g = frame_to_image(dx, dy, degrees)
        # (row, col) order for ndimage: swap the axes of the (x, y) map.
        swap = [1, 0]
        stack[i] = ndimage.affine_transform(coefficients, g[np.ix_(swap, swap)], g[swap, 2],
                                            output_shape=(size, size), order=3, mode="reflect", prefilter=False)
        stack[i] += rng.normal(0.0, noise * spread, size=(size, size))
        truth[i] = np.linalg.solve(g, g0)
    return stack, truth


def drift_error(matrices, truth, shape, samples=9):
    """Per-frame error in pixels of estimated maps against a true drift.

    Both are compared as maps from frame 0 to frame i, so the reference grid may
    be frame 0 or anything else (a mean or a template): the estimate's map of a
    reference point p is checked against the true map of where frame 0 sees p.
    The error is the largest distance over a grid of points covering the frame.
    """
    h, w = shape
    y, x = np.meshgrid(np.linspace(0, h - 1, samples), np.linspace(0, w - 1, samples), indexing="ij")
    points = np.stack([x.ravel(), y.ravel()], axis=-1)
    on_first = geometry.apply(matrices[0], points)
    errors = []
    for m, t in zip(matrices, truth):
        expected = on_first @ t[:2, :2].T + t[:2, 2]
        errors.append(np.max(np.hypot(*(geometry.apply(m, points) - expected).T)))
    return np.array(errors)


def write_sample(folder, frames=12, size=256, seed=0):
    """Write `drift.tif` (float32 frames) and `drift.json` (the true maps) into `folder`.

    `folder` is made when missing. Both files land together or, on an error or
    an interruption, neither does (an earlier pair stays). Returns both paths.
    """
    import json
    import os

    import tifffile

    from .atomic import Outputs

    os.makedirs(folder, exist_ok=True)
    stack_path = os.path.join(folder, "drift.tif")
    truth_path = os.path.join(folder, "drift.json")
    with Outputs(stack_path, truth_path) as outputs:
        stack, truth = drift_stack(frames=frames, size=size, seed=seed)
        tifffile.imwrite(outputs.path(stack_path), stack.astype(np.float32), photometric="minisblack")
        with open(outputs.path(truth_path), "w", encoding="utf-8") as f:
            json.dump({"description": "true maps from frame 0's grid to each frame's, 3x3 affine on (x, y, 1)",
                       "frames": frames, "size": size, "seed": seed, "truth": truth.tolist()}, f, indent=1)
    return stack_path, truth_path


def read_truth(path):
    """The true maps written by `write_sample`: an array (frames, 3, 3) of affine maps on (x, y, 1)."""
    import json

    with open(path, encoding="utf-8") as f:
        return np.array(json.load(f)["truth"], dtype=np.float64)
