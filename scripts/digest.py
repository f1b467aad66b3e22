"""One digest per case of _register and _transform, for holding two builds
of the module against each other bit for bit:

    PYTHONPATH=old/build/module /usr/bin/python3 scripts/digest.py > old.txt
    PYTHONPATH=build/module /usr/bin/python3 scripts/digest.py > new.txt
    diff old.txt new.txt

The cases are drawn from fixed seeds: smooth random images of odd and
square and non-square sizes (1, 2, 3, 23, 24, 47, 257 among them), every
registration family, and every matrix shape of the warp, with small and wild
entries. A case that raises digests its exception's type and message.
"""

import hashlib
import sys

import numpy as np
from scipy import ndimage

import alignopt

SIZES = [(1, 1), (2, 2), (3, 3), (1, 5), (5, 1), (2, 7), (23, 23), (24, 24), (47, 47), (23, 47), (47, 24),
         (31, 64), (100, 37), (257, 257), (257, 130)]
FAMILIES = (2, 3, 4, 6, 8)


def digest(value):
    h = hashlib.sha256()

    def feed(v):
        if isinstance(v, np.ndarray):
            h.update(f"array{v.shape}{v.dtype}".encode())
            h.update(np.ascontiguousarray(v).tobytes())
        elif isinstance(v, (tuple, list)):
            h.update(f"seq{len(v)}".encode())
            for item in v:
                feed(item)
        elif isinstance(v, dict):
            for key in sorted(v):
                feed(key)
                feed(v[key])
        else:
            h.update(repr(v).encode())

    feed(value)
    return h.hexdigest()[:32]


def outcome(call):
    try:
        return digest(call())
    except Exception as error:  # the message is part of the result
        return f"{type(error).__name__}: {error}"


def smooth_image(rng, height, width):
    noise = rng.standard_normal((height + 16, width + 16))
    image = ndimage.gaussian_filter(noise, 3.0, mode="wrap")[8:8 + height, 8:8 + width]
    return np.ascontiguousarray(image * 40.0 + 100.0)


def moved(image, rng):
    """The image resampled through a small random affine map, so that every
    family has something to find."""
    height, width = image.shape
    angle = rng.uniform(-0.05, 0.05)
    scale = 1.0 + rng.uniform(-0.03, 0.03)
    shift = rng.uniform(-2.0, 2.0, 2)
    c, s = np.cos(angle) * scale, np.sin(angle) * scale
    matrix = np.array([[c, -s], [s, c]])
    offset = shift + np.array([height, width]) / 2.0 - matrix @ (np.array([height, width]) / 2.0)
    return np.ascontiguousarray(ndimage.affine_transform(image, matrix, offset, order=3, mode="mirror"))


def matrices(rng, height, width):
    shapes = {
        "2x1": lambda scale: rng.uniform(-scale, scale, (2, 1)),
        "2x3": lambda scale: np.hstack([rng.uniform(-scale, scale, (2, 1)),
                                        np.eye(2) + rng.uniform(-0.2, 0.2, (2, 2))]),
        "2x4": lambda scale: np.hstack([rng.uniform(-scale, scale, (2, 1)),
                                        np.eye(2) + rng.uniform(-0.2, 0.2, (2, 2)),
                                        rng.uniform(-0.01, 0.01, (2, 1))]),
    }
    reach = float(max(height, width))
    for name, make in shapes.items():
        yield f"{name} small", make(3.0)
        yield f"{name} far", make(reach * 1.5)
    yield "2x1 whole", np.array([[2.0], [-1.0]])
    yield "2x3 turned", np.array([[reach / 2.0, 0.0, -1.0], [0.0, 1.0, 0.0]])
    yield "2x4 huge", np.array([[1e300, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0]])
    yield "2x3 nan", np.array([[np.nan, 1.0, 0.0], [0.0, 0.0, 1.0]])


def main():
    rng = np.random.default_rng(19)
    for height, width in SIZES:
        target = smooth_image(rng, height, width)
        source = moved(target, rng)
        for code in FAMILIES:
            print(f"register {height}x{width} family {code}",
                  outcome(lambda: alignopt._register(target, source, code)))
        for name, matrix in matrices(rng, height, width):
            print(f"transform {height}x{width} {name}", outcome(lambda: alignopt._transform(target, matrix)))
    # Natural-looking larger pairs, where the walks run many chunks.
    for seed in range(3):
        pair = np.random.default_rng(100 + seed)
        target = smooth_image(pair, 300, 301)
        source = moved(target, pair)
        for code in FAMILIES:
            print(f"register 300x301 seed {seed} family {code}",
                  outcome(lambda: alignopt._register(target, source, code)))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
