"""Image pairs with known maps drawn from wide ranges, cut from real images that
Debian ships (python3-scipy's ascent and face, python3-skimage's data folder).

A pair is (target, source, truth, masks): the target is a crop of a scene, the
source the scene seen through the map, so target(p) = source(truth(p)); the
source may show what the target does not (partial overlap), but always the
scene (maps whose source would leave it are drawn again). Conditions:
  ordinary  rotation within 10 degrees, scale 0.95-1.05, shift within 5 % of the side
  large     rotation anywhere in +-180 degrees, scale 0.6-1.6, shift up to 40 % of the side
  blob      ordinary motion, a bright disc covering a tenth of the source only
  masked    the same with a mask over the disc
  ramp      ordinary motion, the source's light falling off by half across it, gain 0.7
  photons   ordinary motion, counted photons as a camera sees them: about 1000 at the
            brightest pixel of the target, 40 % fewer in the source, Poisson noise, an offset of 100
"""

import functools
import math
import os
import sys
import warnings

import numpy as np
from scipy import ndimage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_register import mapping_error  # noqa: E402,F401  (the error measure every table uses)

CONDITIONS = ("ordinary", "large", "blob", "masked", "ramp", "photons")
FAMILIES = {"translation": 2, "rigid": 3, "scaled_rotation": 4, "affine": 6, "bilinear": 8}


def _grey(image):
    image = np.asarray(image, dtype=np.float64)
    return image @ [0.299, 0.587, 0.114] if image.ndim == 3 else image


@functools.lru_cache(maxsize=None)
def scenes():
    """name -> greyscale float64 image, 0-255."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from scipy import misc
        import skimage.data as data

        out = {"ascent": misc.ascent(), "face": misc.face(gray=True)}
        for name in ("camera", "cell", "moon", "coins", "retina", "hubble_deep_field", "astronaut"):
            out[name] = getattr(data, name)()
    return {name: _grey(image) for name, image in out.items()}


# The scenes that give each size: at least that big once enlarged by at most 1.5.
SIZES = {256: ("ascent", "face", "camera", "cell", "moon", "coins", "retina", "astronaut"),
         512: ("ascent", "face", "cell", "retina", "hubble_deep_field"),
         1024: ("face", "retina", "hubble_deep_field")}


def draw(condition, code, size, rng):
    """A known map (target -> source) of the family's kind for an image of `size`."""
    if condition == "large":
        degrees = rng.uniform(-180, 180)
        scale = math.exp(rng.uniform(math.log(0.6), math.log(1.6)))
        reach = rng.uniform(0, 0.4 * size)
    else:
        degrees = rng.uniform(-10, 10)
        scale = rng.uniform(0.95, 1.05)
        reach = rng.uniform(0, 0.05 * size)
    angle = rng.uniform(0, 2 * math.pi)
    shift = reach * np.array([math.cos(angle), math.sin(angle)])
    if code == 2:
        degrees, scale = 0.0, 1.0
    elif code == 3:
        scale = 1.0
    c, s = math.cos(math.radians(degrees)) * scale, math.sin(math.radians(degrees)) * scale
    a = np.array([[c, -s], [s, c]])
    if code in (6, 8):
        a = a @ np.array([[1 + rng.uniform(-0.04, 0.04), rng.uniform(-0.04, 0.04)],
                          [rng.uniform(-0.04, 0.04), 1 + rng.uniform(-0.04, 0.04)]])
    centre = np.array([size / 2.0, size / 2.0])
    m = np.column_stack([shift + centre - a @ centre, a])
    if code == 2:
        return m[:, 0:1]
    if code == 8:
        return np.column_stack([m, np.zeros(2)])
    return m


@functools.lru_cache(maxsize=None)
def scene_for(name, size):
    """The scene, enlarged to at least 2.5 frames of `size` a side, so that the
    source of a large motion still shows the scene and not a mirror of it."""
    scene = scenes()[name]
    zoom = max(1.0, 2.5 * size / min(scene.shape))
    return ndimage.zoom(scene, zoom, order=3) if zoom > 1.0 else scene


def fits(scene, truth, size):
    """Whether every source pixel under `truth` comes from inside the scene."""
    h, w = scene.shape
    m = np.asarray(truth, dtype=np.float64)
    a, b = (np.eye(2), m[:, 0]) if m.shape[1] == 1 else (m[:, 1:3], m[:, 0])
    corners = np.array([[0, 0], [size - 1, 0], [0, size - 1], [size - 1, size - 1]], dtype=np.float64)
    p = (np.linalg.inv(a) @ (corners - b).T).T + [(w - size) // 2, (h - size) // 2]
    return bool(np.all(p >= 2) and np.all(p[:, 0] <= w - 3) and np.all(p[:, 1] <= h - 3))


def make(scene, truth, size, condition, rng, noise=1.0):
    """(target, source, source_mask) for the scene under `truth` (2,1), (2,3) or (2,4) affine."""
    h, w = scene.shape
    top, left = (h - size) // 2, (w - size) // 2
    target = scene[top:top + size, left:left + size].copy()
    m = np.asarray(truth, dtype=np.float64)
    if m.shape[1] == 1:
        a, b = np.eye(2), m[:, 0]
    else:
        a, b = m[:, 1:3], m[:, 0]
    inverse = np.linalg.inv(a)
    qy, qx = np.mgrid[0:size, 0:size].astype(np.float64)
    px = inverse[0, 0] * (qx - b[0]) + inverse[0, 1] * (qy - b[1])
    py = inverse[1, 0] * (qx - b[0]) + inverse[1, 1] * (qy - b[1])
    source = ndimage.map_coordinates(scene, [py + top, px + left], order=3, mode="mirror")
    mask = None
    if condition in ("blob", "masked"):
        cx, cy = rng.uniform(0.3, 0.7, 2) * size
        radius = size * math.sqrt(0.1 / math.pi)
        disc = (qx - cx) ** 2 + (qy - cy) ** 2 < radius ** 2
        source[disc] = 255.0
        if condition == "masked":
            mask = (~ndimage.binary_dilation(disc, iterations=2)).astype(np.float64)
    elif condition == "ramp":
        direction = rng.uniform(0, 2 * math.pi)
        along = (qx * math.cos(direction) + qy * math.sin(direction)) / size
        along -= along.min()
        source = 0.7 * source * (1.0 - 0.5 * along / along.max()) + 20.0
    if condition == "photons":
        scale = 1000.0 / max(target.max(), 1e-9)
        target = rng.poisson(np.clip(target, 0, None) * scale) + 100.0
        source = rng.poisson(np.clip(source, 0, None) * scale * 0.6) + 100.0
        return np.ascontiguousarray(target), np.ascontiguousarray(source), mask
    target = target + rng.normal(0, noise, target.shape)
    source = source + rng.normal(0, noise, source.shape)
    return np.ascontiguousarray(target), np.ascontiguousarray(source), mask


def pairs(condition, code, size, count, seed):
    """`count` pairs (scene name, target, source, source_mask, truth) for a condition, family and size."""
    rng = np.random.default_rng([seed, code, size, CONDITIONS.index(condition)])
    names = SIZES[size]
    for i in range(count):
        name = names[i % len(names)]
        scene = scene_for(name, size)
        truth = draw(condition, code, size, rng)
        while not fits(scene, truth, size):
            truth = draw(condition, code, size, rng)
        target, source, mask = make(scene, truth, size, condition, rng)
        yield name, target, source, mask, truth
