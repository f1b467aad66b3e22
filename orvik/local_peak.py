"""Whether a map is a local peak of the fine-structure agreement.

A right map agrees with the images better than the same map moved by a pixel
or two, everywhere; a map a few pixels off on a smooth scene can still
correlate well, but a moved copy of it correlates better somewhere. So the
overlap's sample points are split into a 3x3 grid of regions, and in each the
correlation of the source's differences over STEP pixels between the mapped
points with the target's differences over STEP pixels is compared with the
same for the target's points moved by STEP/2 pixels along x or y (whole
pixels of the target: nothing to interpolate, the source's differences are
computed once). Two steps: 4 pixels (a peak a few pixels wide) and 8 (the
broad peak of a smooth scene). A move's gain is a z statistic (Fisher's
transform, the two correlations' dependence allowed for), so noise sets the
margin. `rises` are the largest gains over regions and moves, per step.

A right map on a noisy pair correlates weakly, but more than its neighbours:
`sharpness` is how far, in standard errors, the correlation of the 2-pixel
differences over the whole overlap stands above its mean at the four moves
of 2 pixels along x or y.
"""

import numpy as np

STEPS = (4, 8)        # differences whose moved copies are compared with the map
SHARP_STEP = 2        # differences whose peak height is measured, moved by as much
GRID = 3              # regions a side
LEAST_REGION = 100    # differences in a region for its correlations to count
REACH = 4             # largest move, pixels


def local_peak(target, source, matrix, x, y, qx, qy, s, sharp=True):
    """(rises, sharpness) for the target sample points (x, y) mapped to (qx, qy),
    all inside the overlap, where the source's interpolated values are s: the
    largest gain per step of STEPS, and the peak's height (NaN unless
    `sharp`); NaN when too few points keep their neighbours."""
    from .verdict import bilinear, mapped  # verdict imports this module

    h, w = source.shape
    th, tw = target.shape
    # All steps at once (a leading axis): with a few thousand points, the
    # number of array operations, not their size, sets the cost.
    steps = np.array(STEPS + ((SHARP_STEP,) if sharp else ()))
    moved = np.array([k // 2 for k in STEPS] + ([SHARP_STEP] if sharp else []))
    far = int(steps.max())
    keep = (x >= REACH) & (y >= REACH) & (x + far + REACH <= tw - 1) & (y + far + REACH <= th - 1)
    along = steps[:, None] + np.zeros_like(x)
    # Where each point's neighbours k pixels along x and along y are mapped: (2, steps, points).
    ex, ey = mapped(matrix, np.concatenate([(x + along).ravel(), np.broadcast_to(x, along.shape).ravel()]),
                    np.concatenate([np.broadcast_to(y, along.shape).ravel(), (y + along).ravel()]))
    ex, ey = ex.reshape(2, len(steps), -1), ey.reshape(2, len(steps), -1)
    with np.errstate(invalid="ignore"):
        keep &= ((ex >= 0) & (ex <= w - 1) & (ey >= 0) & (ey <= h - 1)).all(axis=(0, 1))
    if source.valid is not None:
        near = np.flatnonzero(keep)
        seen = source.valid[np.rint(ey[:, :, near]).astype(np.intp), np.rint(ex[:, :, near]).astype(np.intp)]
        keep[near[~seen.all(axis=(0, 1))]] = False
    base = y.astype(np.intp) * tw + x.astype(np.intp)
    ends = np.stack([steps, steps * tw], axis=-1)  # (steps, 2): flat offsets of the neighbours
    moves = moved[:, None] * np.array([0, 1, -1, tw, -tw])  # (steps, moves): no move, +x, -x, +y, -y
    if target.valid is not None:
        near = np.flatnonzero(keep)
        used = (moves[:, :, None] + np.concatenate([np.zeros((len(steps), 1), np.intp), ends], axis=1)[:, None, :])
        seen = target.valid.ravel().take(base[near][:, None] + used.ravel())
        keep[near[~seen.all(axis=1)]] = False
    if np.count_nonzero(keep) < 2 * LEAST_REGION:
        return (float("nan"),) * len(STEPS), float("nan")
    # Samples in region order, so that each region's sums are one slice.
    region = _regions(x[keep], y[keep])
    order = np.flatnonzero(keep)[np.argsort(region, kind="stable")]
    region = np.sort(region, kind="stable")
    starts = np.flatnonzero(np.r_[True, region[1:] != region[:-1]])
    ex, ey = ex[:, :, order], ey[:, :, order]
    fixed = (bilinear(source.values, ex.ravel(), ey.ravel()).reshape(ex.shape) - s[order]).transpose(1, 0, 2)
    sums = _sums(fixed, target.values.ravel(), base[order], ends, moves, starts)
    z = _gains(*sums)
    rises = tuple(float(v) if np.isfinite(v) else float("nan") for v in z[:len(STEPS)])
    sharpness = float("nan")
    if sharp:
        n, sf, sff, sm, smm, smf, _ = (v.sum(axis=-1) if v.ndim == 1 else v[-1].sum(axis=-1) for v in sums)
        with np.errstate(invalid="ignore", divide="ignore"):
            c = (smf - sf * sm / n) / np.sqrt((sff - sf * sf / n) * (smm - sm * sm / n))
        sharpness = float((c[0] - c[1:].mean()) * np.sqrt(n))
    return rises, sharpness


def _regions(x, y):
    span = lambda v: (v - v.min()) * (GRID / max(float(v.max() - v.min()), 1e-9))  # noqa: E731
    return np.minimum(span(y).astype(np.intp), GRID - 1) * GRID + np.minimum(span(x).astype(np.intp), GRID - 1)


def _sums(fixed, values, base, ends, moves, starts):
    """Per step and region, the sums that give the correlations of the
    source's differences `fixed` ((steps, 2, points): along x and y) with the
    target's between the pixels `base` and `base + ends`, unmoved and moved by
    each of `moves`: counts, sums of f and f*f, and per move of m, m*m, m*f
    and m*m0, each (steps, [moves,] regions)."""
    at = base + moves[:, :, None, None]
    m = values.take(at + ends[:, None, :, None]) - values.take(at)  # (steps, moves, 2, points)
    f = fixed[:, None]
    rows = np.concatenate([f, f * f, m, m * m, m * f, m * m[:, :1]], axis=1)
    steps, count, _, points = rows.shape
    total = np.add.reduceat(rows.reshape(-1, points), starts, axis=-1)
    total = total.reshape(steps, count, 2, len(starts)).sum(axis=2)
    n = 2.0 * np.diff(np.r_[starts, points])  # differences along x and y per sample
    k = moves.shape[1]
    return (n, total[:, 0], total[:, 1], total[:, 2:2 + k], total[:, 2 + k:2 + 2 * k], total[:, 2 + 2 * k:2 + 3 * k],
            total[:, 2 + 3 * k:])


def _gains(n, sf, sff, sm, smm, smf, smm0):
    """Per step, the largest z statistic by which a moved correlation beats
    the map's own, over regions with enough differences (Fisher's transform;
    the two correlations share f, and their m correlate by rho)."""
    sf, sff = sf[:, None], sff[:, None]
    with np.errstate(invalid="ignore", divide="ignore"):
        spread = smm - sm * sm / n
        c = (smf - sf * sm / n) / np.sqrt((sff - sf * sf / n) * spread)
        rho = (smm0[:, 1:] - sm[:, :1] * sm[:, 1:] / n) / np.sqrt(spread[:, :1] * spread[:, 1:])
        c0, c1 = np.clip(c[:, :1], -0.999, 0.999), np.clip(c[:, 1:], -0.999, 0.999)
        r2 = (0.5 * (c0 + c1)) ** 2
        shared = (rho * (1 - 2 * r2) - 0.5 * r2 * (1 - 2 * r2 - rho * rho)) / (1 - r2) ** 2
        z = (np.arctanh(c1) - np.arctanh(c0)) * np.sqrt(n - 3) / np.sqrt(np.maximum(2 - 2 * shared, 1e-6))
    return np.where(np.isfinite(z) & (n >= LEAST_REGION), z, -np.inf).max(axis=(1, 2))
