"""The one door to the native optimiser: a registration with masks and a starting map.

`_orvik_native` is a private extension built beside `alignopt` on the same
core, so that `alignopt`'s own surface stays exactly as it is.
"""


def refine(target, source, code, target_mask=None, source_mask=None, initial=None, levels=None):
    """(matrix, target_landmarks, source_landmarks, error) of the local refinement.

    Images are C-ordered float64 arrays with only finite values; masks are
    image-shaped (0 leaves a pixel out) or None; `initial` is a matrix of the
    family's shape (target position -> source position) or None for the
    identity; `levels` None (every pyramid level) or the most levels to visit,
    full resolution included. `error` is the optimiser's last accepted mean
    squared difference.
    """
    import _orvik_native  # at first use: the package imports without the built modules (the sample job)

    matrix, target_landmarks, source_landmarks, error = _orvik_native.register(
        target, source, code, target_mask, source_mask, initial, levels)[:4]
    return matrix, target_landmarks, source_landmarks, float(error)
