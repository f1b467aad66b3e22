"""Registration of one pair of images: masks, a starting map, a global start, a verdict."""

from dataclasses import dataclass

import math

import numpy as np

from . import geometry, intensity, native, occluders
from .prepared import Prepared
from .search import global_starts, search_factor, swept_starts
from .verdict import agreement

# The intensity fit re-registers when the images' gain differs from one by
# more than GAIN_TOLERANCE, or their offset and ramp across the image by more
# than PLANE_TOLERANCE (in units of the target's spread), or when below that
# the light left is predicted to pull the map by more than BIAS_LIMIT px at a
# corner (intensity.shift_bias): a pair whose light matches pays for that
# prediction only.
GAIN_TOLERANCE = 0.02
PLANE_TOLERANCE = 0.05
BIAS_LIMIT = 0.02
REFIT_ROUNDS = 3
# A fitted light within this share of the tolerances of no change at all is
# the fit's scatter (on pairs lit alike: 0.4 % of gain in the median, 1 % in
# nine of ten): taken as no change.
SNAP_SHARE = 0.5
# Rounds of occluder masks, each from the residual of the one before; each
# refinement starts from a result near the answer, so the finest
# OCCLUDER_LEVELS levels serve, and one that moves it by more than
# OCCLUDER_REACH px (what an occluder biases a result by, at most) has lost
# the way and is not taken.
OCCLUDER_ROUNDS = 2
OCCLUDER_LEVELS = 2
OCCLUDER_REACH = 4.0
# Turns of light fit and refinement for a result no start passed.
RESCUE_ROUNDS = 3
# Global start candidates refined, best first, until one passes the verdict.
CANDIDATES = 2
# Then swept start candidates, when those did not pass either (search.swept_starts).
SWEPT = 2
DENSER = 2
RIGID_SCALE_REACH = 0.25


@dataclass
class PairResult:
    """The outcome of `register`.

    `matrix` maps a target position (x = column, y = row, origin at the first
    pixel's centre) to the source position, in `alignopt`'s layout;
    `target_landmarks` and `source_landmarks` are the landmark pairs it was
    estimated through; `score` is the agreement in [-1, 1] (NaN when the images
    share too little to tell) and `flag` "ok" or "suspect"; `start` says where
    the refinement that won began ("identity", "initial" or "search"); `error`
    is the optimiser's mean squared difference at `matrix` over the pixels it
    used, in the intensities registered and in its own direction (for every
    family but bilinear the target sampled at the source's pixels through the
    inverse map; interpolation smooths noise, so it runs below a difference
    taken through `orvik.transform_stack`; a rigid result taken from a
    similarity with its scale removed, see `_attempt`, carries the
    similarity's); `residual` the mean squared difference of
    the two prepared images through `matrix`, estimated on a grid of about
    4096 sample points of the overlap (linear interpolation); `overlap` the
    share of the target's usable samples the source covers.
    """

    matrix: np.ndarray
    target_landmarks: np.ndarray
    source_landmarks: np.ndarray
    score: float
    flag: str
    start: str
    error: float
    overlap: float
    residual: float

    @property
    def ok(self):
        return self.flag == "ok"


def register(target, source, family="rigid", *, target_mask=None, source_mask=None, initial=None, search=True,
             normalize=True):
    """Register `source` to `target` and judge the result.

    `family`: "translation", "rigid", "scaled_rotation", "affine", "bilinear"
    or its code. Masks are arrays of the image's shape: 0 leaves a pixel out,
    any other finite value uses it; NaN or infinite pixels are left out as if
    masked. `initial` is a (2,1), (2,3) or (2,4) matrix (target -> source
    position) where the refinement starts instead of the identity; the
    source landmarks start where it sends the target landmarks, each family
    keeping what its landmarks can hold (translation the displacement of the
    image centre; a (2,3) start is exact for affine and bilinear). With `search` a start
    that does not depend on the motion (phase correlation and a log-polar
    spectrum estimate) is also refined when the first result is not
    conclusively right, and the better result is kept: one the verdict
    passes over one it does not, else the lower final error. With `normalize`
    both images are scaled to zero mean and unit spread (a source lit like the
    target, its mean and spread within `prepared.SAME_LIGHT` of the target's
    spread of the target's, in the target's scale), and the light between
    them (a gain and an offset, each linear across the image: bleaching,
    exposure, a lamp off to one side) is fitted over their overlap and refined
    away; without it the raw intensities are compared.

    Returns a `PairResult`. Raises ValueError for an unknown family, images
    that are not 2-D of one shape, a mask of the wrong shape or with NaN or
    infinity, a mask (with the non-finite pixels) that leaves no usable pixel
    or fewer than the family needs, and an initial matrix of the wrong shape
    or with non-finite entries.
    """
    code = geometry.family_code(family)
    t = Prepared(target, target_mask, normalize, "target")
    s = Prepared(source, source_mask, normalize, "source", like=t)
    if t.shape != s.shape:
        raise ValueError(f"the target is {t.shape[0]}x{t.shape[1]}, the source {s.shape[0]}x{s.shape[1]}")
    start = None if initial is None else as_family(initial, code)
    return register_prepared(t, s, code, start, search, normalize)


def as_family(initial, code):
    """The starting matrix, checked; ValueError when it is not a usable matrix.

    Any of the three shapes serves every family: the optimiser converts it
    where its landmarks start (translation keeps the displacement of the image
    centre, rigid body that of the centre and the turn of the middle column,
    scaled rotation and affine the map through their landmarks, bilinear the
    map itself).
    """
    m = np.asarray(initial, dtype=np.float64)
    if m.ndim != 2 or m.shape[0] != 2 or m.shape[1] not in (1, 3, 4):
        raise ValueError(f"the initial matrix must have shape (2,1), (2,3) or (2,4), not {m.shape}")
    if not np.isfinite(m).all():
        raise ValueError("the initial matrix holds NaN or infinity")
    geometry.family_code(code)
    return np.ascontiguousarray(m)


def register_prepared(t, s, code, start, search, normalize):
    """`register` on `Prepared` images; `start` is None or a matrix of the family's shape."""
    first = _attempt(t, s, code, start, "identity" if start is None else "initial")
    best = _settled(t, s, code, first, normalize)
    if search and not best[1].ok:
        for candidate in global_starts(t, s, code)[:CANDIDATES]:
            other = _settled(t, s, code, _from_global_start(t, s, code, candidate), normalize)
            if _preferred(other, best):
                best = other
            if best[1].ok:
                break
        if not best[1].ok:
            # Taken only when the verdict passes it: where an unmasked object
            # biases every refinement, a sweep's lower error is no better answer.
            for candidate in swept_starts(t, s, code)[:SWEPT]:
                other = _settled(t, s, code, _attempt(t, s, code, candidate, "search"), normalize)
                if other[1].ok:
                    best = other
                    break
    if normalize and not best[1].ok:
        best = _rescued(t, s, code, best, start)
    (matrix, tl, sl, error), verdict, label = best
    return PairResult(matrix, tl, sl, verdict.score, verdict.flag, label, error, verdict.overlap, verdict.residual)


def _settled(t, s, code, attempt, normalize):
    """The attempt refined again without what biases it, when it is right or
    only a little off its peak (it fails the verdict's local peak test alone):
    an object that one image shows and the other does not, and with
    `normalize` light left unmatched. Each step takes a refinement only when
    the verdict passes it, so anything else comes back as it was."""
    if not (attempt[1].ok or attempt[1].off_peak):
        return attempt
    # Seen through a right map, an occluder stands out of the residual.
    if occluders.suspected(t, s, attempt[0][0]):
        t, attempt = _without_occluders(t, s, code, attempt)
    if normalize:
        attempt = _refit_intensity(t, s, code, attempt)
    return attempt


def _from_global_start(t, s, code, start):
    """Refined from a global start, first without the levels coarser than the
    search's own: the start is good to about a pixel there, and coarser levels
    of a partial overlap can pull it away from where it was right (a smooth
    fundus under a bilinear map: 0.5 px from the start, 180 px through every
    level). Through every level as well when that does not pass the verdict."""
    first = _attempt(t, s, code, start, "search", _search_levels(t.shape))
    if first[1].ok:
        return first
    other = _attempt(t, s, code, start, "search")
    return other if _preferred(other, first) else first


def _attempt(t, s, code, start, label, levels=None):
    """Refine from `start` through at most `levels` pyramid levels (None: all);
    `t` is a `Prepared` target or an `_Adjusted` one."""
    refined = native.refine(t.values, s.values, code, t.mask, s.mask, start, levels)
    if code == 3 and label == "search":
        # The rigid-body refinement can stop short from a start at a large
        # turn; from a similarity refined first it does not: keep the better.
        similar = native.refine(t.values, s.values, 4, t.mask, s.mask, start, levels)
        other = native.refine(t.values, s.values, code, t.mask, s.mask, similar[0], levels)
        if other[3] < refined[3]:
            refined = other
        judged = agreement(t, s, refined[0])
        # Even from the similarity it can drift at a large turn (its coarse
        # levels move it, the finest does not bring it back). A similarity of
        # scale one within RIGID_SCALE_REACH px at the corners is a rigid map:
        # taken with its scale removed when it differs less from the source.
        rigid = _without_scale(similar[0], t.shape)
        if rigid is not None:
            projected = agreement(t, s, rigid)
            if projected.residual < judged.residual and projected.ok:
                # The error is the similarity's, whose map differs by less than that reach.
                return (rigid, refined[1], _rigid_landmarks(rigid, refined[1]), similar[3]), projected, label
        return refined, judged, label
    return refined, agreement(t, s, refined[0]), label


def _search_levels(shape):
    """The pyramid levels down to the one whose pixels are no larger than the
    search level's."""
    return 1 + int(math.log2(search_factor(shape)))


def _without_scale(similarity, shape):
    """The rigid map of a similarity about the image centre, or None when its
    scale moves a corner by more than RIGID_SCALE_REACH px."""
    a = similarity[:, 1:3]
    scale = math.sqrt(abs(float(np.linalg.det(a))))
    h, w = shape
    centre = np.array([(w - 1) * 0.5, (h - 1) * 0.5])
    if not (scale > 0 and abs(scale - 1.0) * math.hypot(*centre) <= RIGID_SCALE_REACH):
        return None
    turn = a / scale
    return np.column_stack([similarity[:, 0] + a @ centre - turn @ centre, turn])


def _rigid_landmarks(matrix, target_landmarks):
    return np.ascontiguousarray(target_landmarks @ matrix[:, 1:3].T + matrix[:, 0])


def _without_occluders(t, s, code, attempt):
    """(target, attempt): again from the result with what the residual shows
    as an occluder left out of the target, while that passes the verdict and
    finds one; the target as used."""
    for _ in range(OCCLUDER_ROUNDS):
        keep = occluders.occluder_mask(t, s, attempt[0][0])
        if keep is None:
            break
        masked = t.masked(keep)
        again = _attempt(masked, s, code, attempt[0][0], attempt[2], OCCLUDER_LEVELS)
        if not again[1].ok or geometry.distance(again[0][0], attempt[0][0], t.shape) > OCCLUDER_REACH:
            break
        t, attempt = masked, again
    return t, attempt


def _preferred(a, b):
    """Whether attempt `a` is a better answer than `b`: one the verdict passes
    over one it does not, else the lower final error. The error alone would
    prefer a map that overlaps little and only smooth background (on a fundus
    photograph a map 230 px off had a lower error than the right one)."""
    if a[1].ok != b[1].ok:
        return a[1].ok
    return _better(a, b)


def _better(a, b):
    ea, eb = a[0][3], b[0][3]
    if not np.isfinite(eb):
        return np.isfinite(ea)
    return np.isfinite(ea) and ea < eb


def _refit_intensity(t, s, code, attempt):
    """Again from the result (right or a little off its peak), with the
    target's light (a gain plane and an offset plane, `intensity.fit`) matched
    to the source's, while the fit still moves by more than the tolerances."""
    (matrix, _, _, _), verdict, label = attempt
    step_offset, step_sx, step_sy = verdict.plane
    h, w = t.shape
    # The verdict's global gain and additive plane are free: a pair they find
    # within the tolerances has no change of light worth a refit.
    ramp = abs(step_sx) * (w - 1) + abs(step_sy) * (h - 1)
    if abs(verdict.gain - 1.0) <= GAIN_TOLERANCE and abs(step_offset) + ramp <= PLANE_TOLERANCE:
        # Small as they are, they can still pull the map (each image's own
        # normalisation leaves them, and a scene bright at the overlap's
        # edge pulls hard): refit when the pull predicted is worth it.
        if intensity.shift_bias(t, s, matrix, code, verdict) <= BIAS_LIMIT:
            return attempt
    # Once a refit is due, the fit looks at four times the points: its scatter
    # is what is left of the bias.
    return _light_rounds(t, t.denser(DENSER), s, code, attempt, None)


def _rescued(t, s, code, attempt, start):
    """A result the verdict does not pass, tried once more from `start`
    (None: the identity) with the light matched there (`_rescue`), then
    refitted; `attempt` itself when that does not pass either."""
    dense = t.denser(DENSER)
    rescued, light = _rescue(t, dense, s, code, attempt, start)
    if light is None:
        return attempt
    return _light_rounds(t, dense, s, code, rescued, light)


def _light_rounds(t, dense, s, code, attempt, light, rounds=REFIT_ROUNDS):
    """Rounds of light fit and refinement from `attempt`, whose light is
    `light` (None: not fitted yet), each taken only when the verdict passes
    it, until the fit moves by less than a quarter of the tolerances."""
    # Each round fits the light at the map the one before found, the surer
    # the nearer that is to the answer: the latest round is the answer.
    # Keeping the round of lowest error instead favoured a gain fitted too
    # low, which lowers the error by itself (a bleached frame: 0.14 px kept
    # over the next round's 0.03).
    for _ in range(rounds):
        (matrix, _, _, _), _, label = attempt
        found = intensity.fit(dense, s, matrix)
        if found is None or not found.gain[0] > 0:
            break
        unchanged = _unchanged_light(t, s)
        if _within_tolerances(found.distance(unchanged, t.shape), SNAP_SHARE):
            # No change of light the fit can tell from its own scatter: the
            # images as they are serve best, and already do in one scale.
            if t.scale == s.scale and light is None:
                return attempt
            found = unchanged
        if light is not None and _within_tolerances(found.distance(light, t.shape), 0.25):
            break
        light = found
        # Through the levels the result came through: a search's start skipped the coarsest.
        levels = _search_levels(t.shape) if label == "search" else None
        refined, again, _ = _attempt(_Adjusted(dense, light.apply(t.values)), s, code, matrix, label, levels)
        if not again.ok:
            break
        attempt = refined, again, label
    return attempt


def _rescue(t, dense, s, code, attempt, start):
    """A result the verdict does not pass, tried again from `start` (None: the
    identity) with the light matched there, then where that led, up to
    RESCUE_ROUNDS times: (the first that passes, its light), or (`attempt`,
    None) when none does or no change of light shows."""
    # A strong change of light can keep every refinement from the right map.
    # Under the motion a start reaches, the tiles still show much the same
    # scene and their gains need no exact map; the offset plane takes up some
    # of the misalignment, so the fit and the refinement take turns.
    matrix, label = (_IDENTITY, "identity") if start is None else (start, "initial")
    origin = start
    for round_index in range(RESCUE_ROUNDS):
        light = intensity.fit(dense, s, matrix, aligned=False)
        if light is None or not light.gain[0] > 0:
            break
        if round_index == 0 and _within_tolerances(light.distance(intensity.Light(), t.shape)):
            break
        retried = _attempt(_Adjusted(dense, light.apply(t.values)), s, code, origin, label)
        if retried[1].ok:
            return retried, light
        matrix = origin = retried[0][0]
    return attempt, None


_IDENTITY = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])


def _unchanged_light(t, s):
    """The light that takes the target's values into the source's scale alone."""
    (target_mean, target_spread), (source_mean, source_spread) = t.scale, s.scale
    return intensity.Light((target_spread / source_spread, 0.0, 0.0),
                           ((target_mean - source_mean) / source_spread, 0.0, 0.0))


def _within_tolerances(distance, share=1.0):
    gain, offset = distance
    return gain <= share * GAIN_TOLERANCE and offset <= share * PLANE_TOLERANCE


class _Adjusted:
    """A prepared image with other values: the samples follow them."""

    def __init__(self, prepared, values):
        self.shape, self.valid, self.mask, self.stride = prepared.shape, prepared.valid, prepared.mask, prepared.stride
        self.values = values
        x, y, _ = prepared.samples()
        self._samples = (x, y, values[y.astype(np.intp), x.astype(np.intp)])

    def samples(self):
        return self._samples
