"""Shared set-up for the application's tests: the package on sys.path and drifted stacks.

With ORVIK_TEST_INSTALLED=1 the tests run against the copy of `orvik` and
`alignopt` installed into the interpreter, and refuse to run against the
source tree or a build folder.
"""

import functools
import os
import pathlib
import sys
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parents[2]
INSTALLED = os.environ.get("ORVIK_TEST_INSTALLED") == "1"
if not INSTALLED and str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import numpy as np  # noqa: E402

import orvik  # noqa: E402
from orvik import geometry, sample  # noqa: E402


def installed_where(module):
    """The site folder of this interpreter that holds `module`, or None."""
    where = pathlib.Path(module.__file__).resolve()
    paths = sysconfig.get_paths()
    folders = {paths["purelib"], paths["platlib"], sysconfig.get_paths("posix_user")["purelib"]}
    return next((f for f in map(pathlib.Path, folders) if where.is_relative_to(f.resolve())), None)


if INSTALLED:
    import alignopt

    for _module in (orvik, alignopt):
        if installed_where(_module) is None:
            raise ImportError(f"ORVIK_TEST_INSTALLED=1 but {_module.__name__} comes from {_module.__file__}, "
                              "not from an installed copy")

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


def child_environment():
    """The environment for a child process: the source tree on its path unless testing an installed copy."""
    env = dict(os.environ)
    if not INSTALLED:
        env["PYTHONPATH"] = os.pathsep.join([str(ROOT)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep)
                                                           if p])
    return env


def build_dir():
    return pathlib.Path(os.environ.get("ORVIK_BUILD_DIR", ROOT / "build"))
