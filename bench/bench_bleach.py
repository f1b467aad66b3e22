"""Bleaching stacks: a drift under photon noise, a camera offset and fading light.

    PYTHONPATH=build/module:. /usr/bin/python3 bench/bench_bleach.py [--frames 30]

Each stack is cut from a real image (python3-skimage's phase-contrast cell
image, and scipy's ascent and python3-skimage's moon for comparison), moved by
a drift of up to 8 px and 2 degrees, scaled to about 4000 photons at the
brightest pixel in frame 0 and 3 % fewer each frame after, Poisson noise, a
camera offset of 100 counts, stored as 16-bit counts. Registered with
`register_stack(..., "rigid")` (frame 0 as reference) and by a plain loop over
OpenCV's findTransformECC (Euclidean, frame 0 as template); the table shows
the largest and mean error over the frames (largest distance over the frame
between the recovered and the true drift).
"""

import argparse
import os
import sys
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import orvik  # noqa: E402
from orvik import sample  # noqa: E402


def scene(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if name == "ascent":
            from scipy import misc

            return misc.ascent().astype(np.float64)
        import skimage.data

        return getattr(skimage.data, name)().astype(np.float64)


def bleaching_stack(name, frames, size=256, seed=0):
    image = scene(name)
    clean, truth = sample.drift_stack(frames=frames, size=size, shift=8.0, angle=2.0, noise=0.0, seed=seed,
                                      image=image)
    rng = np.random.default_rng(seed)
    peak = 4000.0 / max(clean[0].max(), 1e-9)
    fading = 0.97 ** np.arange(frames)
    photons = rng.poisson(np.clip(clean, 0, None) * peak * fading[:, None, None])
    return np.clip(photons + 100, 0, 65535).astype(np.uint16), truth


def ecc_loop(stack):
    import cv2

    template = stack[0].astype(np.float32)
    criteria = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 100, 1e-6)
    matrices = [np.eye(2, 3, dtype=np.float32)]
    for frame in stack[1:]:
        warp = np.eye(2, 3, dtype=np.float32)
        try:
            _, warp = cv2.findTransformECC(template, frame.astype(np.float32), warp, cv2.MOTION_EUCLIDEAN,
                                           criteria, None, 5)
        except cv2.error:
            warp = np.full((2, 3), np.nan, np.float32)
        matrices.append(warp)
    return [orvik.from_opencv(w.astype(np.float64)) for w in matrices]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--scenes", nargs="+", default=["cell", "ascent", "moon"])
    args = parser.parse_args()
    print(f"{args.frames} frames of 256 x 256, rigid; error in px: largest / mean over the frames")
    print(f"{'scene':<8}{'register_stack':>18}{'no normalize':>18}{'ECC loop':>18}{'suspect':>9}")
    for name in args.scenes:
        stack, truth = bleaching_stack(name, args.frames)
        cells = []
        result = None
        for normalize in (True, False):
            r = orvik.register_stack(stack, "rigid", "first", progress=False, normalize=normalize)
            result = result or r
            e = sample.drift_error(r.matrices, truth, stack.shape[1:])
            cells.append(f"{e.max():.3f} / {e.mean():.3f}")
        e = sample.drift_error(ecc_loop(stack), truth, stack.shape[1:])
        cells.append(f"{np.nanmax(e):.3f} / {np.nanmean(e):.3f}")
        print(f"{name:<8}" + "".join(f"{c:>18}" for c in cells) + f"{len(result.suspect_frames()):>9}", flush=True)


if __name__ == "__main__":
    main()
