"""The data behind the verdict's limits: many registrations, right and wrong, and their scores.

    PYTHONPATH=build/module:. /usr/bin/python3 bench/verdict_data.py [--quick] [--seed N] [--save scores.npy]

Every pair of bench/hard_pairs.py's conditions is refined from the identity and
from each global start candidate, which gives right results and wrong ones
(local optima, wrong rotations) alike. A result is right when its largest
mapping error over the area the source truly shows is below 0.5 px and wrong above 2 px; the ones in between are
counted apart. For each candidate limit the table shows the share of wrong
results flagged and of right results flagged, and the rule in orvik/verdict.py
is checked against the same data. The limits were chosen on seed 7 (the
default) and checked on seed 8.
"""

import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))

import hard_pairs  # noqa: E402
from orvik import geometry, native, verdict  # noqa: E402
from orvik.prepared import Prepared  # noqa: E402
from orvik.search import global_starts  # noqa: E402

QUICK = "--quick" in sys.argv
SEED = int(sys.argv[sys.argv.index("--seed") + 1]) if "--seed" in sys.argv else 7
RIGHT, WRONG = 0.5, 2.0


def collect():
    # error, plain correlation, score, overlap, flag, condition, family code, beyond noise, rises (one per step), sharpness
    rows = []
    sizes = {256: 6 if QUICK else 16, 512: 2 if QUICK else 4}
    for condition_index, condition in enumerate(hard_pairs.CONDITIONS):
        for family, code in hard_pairs.FAMILIES.items():
            for size, count in sizes.items():
                for _, target, source, mask, truth in hard_pairs.pairs(condition, code, size, count, seed=SEED):
                    t = Prepared(target)
                    s = Prepared(source, mask, like=t)
                    starts = [None] + global_starts(t, s, code)[:3]
                    for start in starts:
                        matrix = native.refine(t.values, s.values, code, t.mask, s.mask, start)[0]
                        a = verdict.agreement(t, s, matrix)
                        rows.append((overlap_error(matrix, truth, target.shape), a.correlation, a.score,
                                     a.overlap, a.ok, condition_index, code, a.beyond_noise, *a.rises,
                                     a.sharpness))
        print(f"{condition}: {len(rows)} results so far", file=sys.stderr, flush=True)
    return np.array(rows, dtype=np.float64)


def overlap_error(matrix, truth, shape):
    """Largest mapping error over the target pixels the source truly shows: all a
    verdict can judge (a map may be right there and free beyond)."""
    seen = geometry.support(truth, shape)
    y, x = np.nonzero(seen)
    points = np.stack([x, y], axis=-1).astype(np.float64)
    if not len(points):
        return float("inf")
    return float(np.max(np.hypot(*(geometry.apply(matrix, points) - geometry.apply(truth, points)).T)))


RISES = 8  # first column of the rises


def flagged(rows, score_limit, noise_limit, correlation_limit, overlap_limit, rise_limits=(np.inf, np.inf),
            sharp_correlation=2.0, sharp_limit=np.inf):
    """The verdict's rule (orvik/verdict.py) with the given limits: True where suspect."""
    correlation, score, overlap, beyond = (np.nan_to_num(rows[:, k], nan=-2.0) for k in (1, 2, 3, 7))
    sharpness = np.nan_to_num(rows[:, RISES + len(verdict.RISE_LIMITS)], nan=-np.inf)
    peak = np.ones(len(rows), dtype=bool)
    for k, limit in enumerate(rise_limits):
        peak &= ~(rows[:, RISES + k] > limit)  # NaN: too few points to tell, no objection
    ok = (overlap >= overlap_limit) & peak & (
        (score >= score_limit) | ((beyond >= noise_limit) & (correlation >= correlation_limit))
        | ((correlation >= sharp_correlation) & (sharpness >= sharp_limit)))
    return ~ok


def current_limits():
    v = verdict
    return (v.SCORE_LIMIT, v.NOISE_LIMIT, v.CORRELATION_LIMIT, v.OVERLAP_LIMIT, v.RISE_LIMITS, v.SHARP_CORRELATION,
            v.SHARP_LIMIT)


def rates(rows, *limits):
    error = rows[:, 0]
    suspect = flagged(rows, *limits)
    right, wrong = error < RIGHT, error > WRONG
    between = ~right & ~wrong
    return np.mean(suspect[wrong]), np.mean(suspect[right]), np.mean(suspect[between]) if between.any() else 0.0


def main():
    if "--load" in sys.argv:
        rows = np.load(sys.argv[sys.argv.index("--load") + 1])
    else:
        rows = collect()
    if "--save" in sys.argv:
        np.save(sys.argv[sys.argv.index("--save") + 1], rows)
    error = rows[:, 0]
    right, wrong = error < RIGHT, error > WRONG
    print(f"{len(rows)} results: {right.sum()} right (< {RIGHT} px), {wrong.sum()} wrong (> {WRONG} px), "
          f"{len(rows) - right.sum() - wrong.sum()} in between")
    for name, column in (("plain correlation", 1), ("score", 2), ("beyond noise", 7)):
        values = np.nan_to_num(rows[:, column], nan=-2.0)
        print(f"{name}: right results' 0.5/1/5 % quantiles {np.percentile(values[right], [0.5, 1, 5]).round(3)}, "
              f"wrong results' 95/99/99.5 % quantiles {np.percentile(values[wrong], [95, 99, 99.5]).round(3)}")
    print("limits without the local peak test (score, beyond noise, plain correlation, overlap): "
          "wrong flagged, right flagged, between flagged")
    best = None
    for score_limit in (0.6, 0.65, 0.7, 0.74, 0.77, 0.8):
        for noise_limit in (0.8, 0.85, 0.9, 0.95, 0.98, 2.0):
            for correlation_limit in (0.3, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.98, 2.0):
                w, r, b = rates(rows, score_limit, noise_limit, correlation_limit, 0.05)
                if r <= 0.01 and (best is None or w > best[0]):
                    best = (w, r, b, score_limit, noise_limit, correlation_limit)
    for score_limit in (0.6, 0.7, 0.77, 0.8):
        w, r, b = rates(rows, score_limit, 2.0, 2.0, 0.05)
        print(f"  {score_limit:.2f}, -, -, 0.05: {100 * w:.1f} %, {100 * r:.1f} %, {100 * b:.1f} %")
    if best is not None:
        w, r, b, *limits = best
        print(f"  best with at most 1 % of the right ones flagged: {limits}, 0.05: {100 * w:.1f} %, {100 * r:.1f} %, "
              f"{100 * b:.1f} %")
    limits = current_limits()
    print("with the local peak test (the other limits as in orvik/verdict.py), rise limits per step, "
          "sharp correlation and limit: wrong flagged, right flagged, between flagged")
    best = None
    for near in (3.5, 4.0, 5.0, np.inf):
        for far in (2.0, 2.5, 3.0, 4.0, np.inf):
            for sharp in ((0.9, 3.0), (0.9, 4.0), (0.95, 3.0), (2.0, np.inf)):
                w, r, b = rates(rows, *limits[:4], (near, far), *sharp)
                if r <= 0.01 and (best is None or w > best[0]):
                    best = (w, r, b, (near, far), sharp)
                if sharp == limits[5:] or (near, far) == limits[4]:
                    print(f"  {near}, {far}, {sharp}: {100 * w:.1f} %, {100 * r:.2f} %, {100 * b:.1f} %")
    if best is not None:
        w, r, b, *chosen = best
        print(f"  best with at most 1 % of the right ones flagged: {chosen}: {100 * w:.1f} %, {100 * r:.2f} %, "
              f"{100 * b:.1f} %")
    w, r, b = rates(rows, *limits)
    print(f"the rule in orvik/verdict.py {limits}: {100 * w:.1f} % of the wrong results flagged, "
          f"{100 * r:.2f} % of the right ones, {100 * b:.1f} % of those in between")
    suspect = flagged(rows, *limits)
    print("wrong results flagged by how wrong: " + ", ".join(
        f"> {k} px {100 * np.mean(suspect[error > k]):.1f} % of {np.count_nonzero(error > k)}" for k in (2, 5, 10)))
    print("by condition: wrong flagged, right flagged")
    for index, condition in enumerate(hard_pairs.CONDITIONS):
        here = rows[:, 5] == index
        print(f"  {condition:<9} {100 * np.mean(suspect[here & wrong]):5.1f} % of {np.count_nonzero(here & wrong):>3}, "
              f"{100 * np.mean(suspect[here & right]):4.1f} % of {np.count_nonzero(here & right):>3}")


if __name__ == "__main__":
    main()
