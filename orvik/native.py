"""The one door to the native optimiser: a registration with masks and a starting map.

Everything above this module calls `refine`; it returns the map and the final
mean squared difference over the pixels the optimiser used.
"""

import numpy as np

try:  # the registration entry with options, built beside alignopt
    import _orvik_native as _options
except ImportError:  # pragma: no cover - a build without it
    _options = None

import alignopt

from . import geometry


def refine(target, source, code, target_mask=None, source_mask=None, initial=None):
    """(matrix, target_landmarks, source_landmarks, error) of the local refinement.

    Images are C-ordered float64 arrays with only finite values; masks are
    image-shaped (0 leaves a pixel out) or None; `initial` is a matrix of the
    family's shape (target position -> source position) or None for the identity.
    """
    if _options is not None:
        out = _options.register(target, source, code, target_mask, source_mask, initial)
        return out[0], out[1], out[2], float(out[3])
    return _fallback(target, source, code, target_mask, source_mask, initial)


def _fallback(target, source, code, target_mask, source_mask, initial):
    # Without the native entry: the start is emulated by warping the source
    # through it first (exact for the affine families), masks are ignored by
    # the optimiser but respected by the error.
    if initial is None or code == 8:
        matrix, tl, sl = alignopt._register(target, source, code)
    else:
        warped = alignopt._transform(source, initial)
        local, tl, _ = alignopt._register(target, warped, code)
        matrix = geometry.compose(initial, local, code)
        sl = geometry.apply(matrix, tl)
    warped = alignopt._transform(source, matrix)
    used = geometry.support(matrix, target.shape)
    if target_mask is not None:
        used &= target_mask != 0
    if source_mask is not None:
        used &= alignopt._transform(np.asarray(source_mask, dtype=np.float64), matrix) > 0.5
    diff = (target - warped)[used]
    return matrix, tl, sl, float(np.mean(diff * diff)) if diff.size else float("nan")
