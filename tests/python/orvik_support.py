"""Shared set-up for the application's tests: the package on sys.path and drifted stacks."""

import functools
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import numpy as np  # noqa: E402

from orvik import geometry, sample  # noqa: E402

# A textured part of the natural image: away from the plain sky and the long
# railings, whose stripes would let small frames slide along them.
TEXTURED = (200.0, 330.0)


@functools.lru_cache(maxsize=None)
def drifted(frames=5, size=128, angle=1.5, shift=5.0, seed=3):
    """(stack, truth) cut from the natural image; cached, so never modify them."""
    stack, truth = sample.drift_stack(frames=frames, size=size, shift=shift, angle=angle, noise=0.01, seed=seed,
                                      centre=TEXTURED)
    stack.flags.writeable = False
    truth.flags.writeable = False
    return stack, truth


def map_distance(a, b, shape, samples=9):
    """Largest distance in pixels between two maps over a grid covering the frame."""
    h, w = shape
    y, x = np.meshgrid(np.linspace(0, h - 1, samples), np.linspace(0, w - 1, samples), indexing="ij")
    points = np.stack([x.ravel(), y.ravel()], axis=-1)
    return float(np.max(np.hypot(*(geometry.apply(a, points) - geometry.apply(b, points)).T)))


def build_dir():
    return pathlib.Path(os.environ.get("ORVIK_BUILD_DIR", ROOT / "build"))
