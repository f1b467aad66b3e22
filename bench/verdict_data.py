"""The data behind the verdict's limits: many registrations, right and wrong, and their scores.

    PYTHONPATH=build/module:. /usr/bin/python3 bench/verdict_data.py [--quick] [--save scores.npy]

Every pair of bench/hard_pairs.py's conditions is refined from the identity and
from each global start candidate, which gives right results and wrong ones
(local optima, wrong rotations) alike. A result is right when its largest
mapping error over the area the source truly shows is below 0.5 px and wrong above 2 px; the ones in between are
counted apart. For each candidate limit the table shows the share of wrong
results flagged and of right results flagged, and the rule in orvik/verdict.py
is checked against the same data.
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
RIGHT, WRONG = 0.5, 2.0


def collect():
    rows = []  # error, plain correlation, score, overlap, flag, condition, family code
    sizes = {256: 6 if QUICK else 16, 512: 2 if QUICK else 4}
    for condition_index, condition in enumerate(hard_pairs.CONDITIONS):
        for family, code in hard_pairs.FAMILIES.items():
            for size, count in sizes.items():
                for _, target, source, mask, truth in hard_pairs.pairs(condition, code, size, count, seed=7):
                    t, s = Prepared(target), Prepared(source, mask)
                    starts = [None] + global_starts(t, s, code)[:3]
                    for start in starts:
                        matrix = native.refine(t.values, s.values, code, t.mask, s.mask, start)[0]
                        a = verdict.agreement(t, s, matrix)
                        rows.append((overlap_error(matrix, truth, target.shape), a.correlation, a.score,
                                     a.overlap, a.ok, condition_index, code))
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


def rates(rows, score_limit, overlap_limit):
    error, score, overlap = rows[:, 0], rows[:, 2], rows[:, 3]
    ok = (np.nan_to_num(score, nan=-2.0) >= score_limit) & (overlap >= overlap_limit)
    right, wrong = error < RIGHT, error > WRONG
    return np.mean(~ok[wrong]), np.mean(~ok[right]), np.mean(~ok[~right & ~wrong]) if np.any(~right & ~wrong) else 0.0


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
    for name, column in (("plain correlation", 1), ("score", 2)):
        values = np.nan_to_num(rows[:, column], nan=-2.0)
        print(f"{name}: right results' 0.5/1/5 % quantiles {np.percentile(values[right], [0.5, 1, 5]).round(3)}, "
              f"wrong results' 95/99/99.5 % quantiles {np.percentile(values[wrong], [95, 99, 99.5]).round(3)}")
    print(f"{'score limit':>13}{'overlap limit':>14}{'wrong flagged':>15}{'right flagged':>15}{'between flagged':>17}")
    for limit in (0.5, 0.6, 0.7, 0.74, 0.77, 0.8):
        for overlap in (0.05, 0.1):
            w, r, b = rates(rows, limit, overlap)
            print(f"{limit:>13.2f}{overlap:>14.2f}{100 * w:>14.1f}%{100 * r:>14.1f}%{100 * b:>16.1f}%")
    w, r, b = rates(rows, verdict.SCORE_LIMIT, verdict.OVERLAP_LIMIT)
    print(f"the rule in orvik/verdict.py (score >= {verdict.SCORE_LIMIT}, overlap >= {verdict.OVERLAP_LIMIT}): "
          f"{100 * w:.1f} % of the wrong results flagged, {100 * r:.1f} % of the right ones")


if __name__ == "__main__":
    main()
