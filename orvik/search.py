"""A start for the local refinement that does not depend on where it starts.

On a reduced level of both images, the rotation and scale come from the
log-polar resampled magnitude spectra (a rotation of the image turns the
spectrum, a scaling moves it along log-radius, and a translation does not touch
it), the translation from phase correlation once the source is turned and
scaled. Every candidate is scored by the verdict's agreement on the full
images; the best come first. FFTs are NumPy's (pocketfft): one thread, no
plan state, so the same bits on every run whatever else runs in the process.
"""

import math

import numpy as np

from .verdict import agreement, bilinear

LEVEL = 128             # longest side of the reduced level
ANGLES = 256            # log-polar samples over half a turn
PEAKS = 3               # rotation-scale peaks followed up, each at two turns half a turn apart
SCALES = (1 / 2.5, 2.5)  # the scales a peak may stand for
PAD = 2                 # zero padding of the spectra and correlations, in image sizes
TAPER = 0.5             # share of each side under the Tukey window's slopes
BAND = (2.0, 0.9)       # log-polar radii: lowest in frequency bins, highest as a share of the edge


def global_starts(target, source, code):
    """Candidate maps (family's shape), best agreement first, for two `Prepared` images."""
    import alignopt

    t, tw, factor = _reduced(target)
    s, sw, _ = _reduced(source, factor)
    if min(t.shape) < 8:  # too small a level to tell a turn from noise
        return []
    candidates = []
    if code == 2:
        linears = [np.eye(2)]
    else:
        linears = _rotations_and_scales(_tapered(t, tw), _tapered(s, sw), fixed_scale=code == 3)
    tt = np.fft.rfft2(_tapered(t, tw), s=(2 * t.shape[0], 2 * t.shape[1]))
    centre = (np.array(t.shape[::-1]) - 1) * 0.5
    for a in linears:
        turn = np.column_stack([centre - a @ centre, a])
        warped = alignopt._transform(s, turn)
        inside = alignopt._transform(sw, turn) > 0.5
        u = _phase_shift(tt, _tapered(warped, inside))
        reduced = turn.copy()
        reduced[:, 0] += a @ u
        matrix = _to_family(_to_full(reduced, factor), code)
        candidates.append((agreement(target, source, matrix, local=False).score, len(candidates), matrix))
    candidates.sort(key=lambda c: (-(c[0] if math.isfinite(c[0]) else -2.0), c[1]))
    return [m for _, _, m in candidates]


def search_factor(shape, level=LEVEL):
    """Full-resolution pixels a side of one pixel of the reduced level."""
    return max(1, math.ceil(max(shape) / level))


def _reduced(prepared, factor=None, level=LEVEL):
    """Block means of the values and of the usable fraction, `factor` pixels a
    side (by default enough for a longest side of `level`)."""
    h, w = prepared.shape
    if factor is None:
        factor = search_factor(prepared.shape, level)
    rh, rw = max(1, h // factor), max(1, w // factor)
    f = min(factor, h, w)
    image = prepared.values[:rh * f, :rw * f].reshape(rh, f, rw, f).mean(axis=(1, 3))
    if prepared.valid is None:
        weight = np.ones_like(image)
    else:
        weight = prepared.valid[:rh * f, :rw * f].reshape(rh, f, rw, f).mean(axis=(1, 3))
    return np.ascontiguousarray(image), np.ascontiguousarray(weight), f


def _tukey(n, alpha=0.5):
    if n < 3:
        return np.ones(n)
    x = np.arange(n) / (n - 1)
    w = np.ones(n)
    edge = x < alpha / 2
    w[edge] = 0.5 * (1 - np.cos(2 * np.pi * x[edge] / alpha))
    edge = x > 1 - alpha / 2
    w[edge] = 0.5 * (1 - np.cos(2 * np.pi * (1 - x[edge]) / alpha))
    return w


def _tapered(image, weight):
    """Mean-free image under its weights and a Tukey window, so that neither the
    frame's edges nor the masked areas' edges show as structure."""
    w = np.outer(_tukey(image.shape[0], TAPER), _tukey(image.shape[1], TAPER)) * weight
    total = w.sum()
    mean = float((image * w).sum() / total) if total > 0 else 0.0
    return (image - mean) * w


def _rotations_and_scales(t, s, fixed_scale):
    """Linear parts A (source = target turned and scaled by A) from the spectra."""
    n = PAD * max(t.shape)
    radii = max(t.shape)
    lt, ls = _log_polar(t, n, radii), _log_polar(s, n, radii)
    r_min, r_max = BAND[0], n * 0.5 * BAND[1]
    step = math.log(r_max / r_min) / (radii - 1)
    surface = _correlation(lt, ls)
    if fixed_scale:
        surface[:, 2:-1] = -np.inf  # only the columns next to scale one
    out = []
    for da, dr in _peaks(surface, PEAKS, SCALES, step):
        angle = -math.pi * da / ANGLES
        scale = math.exp(dr * step)
        if fixed_scale:
            scale = 1.0
        for turn in (angle, angle + math.pi):
            c, s_ = math.cos(turn), math.sin(turn)
            out.append(scale * np.array([[c, -s_], [s_, c]]))
    return out


def _log_polar(image, n, radii):
    """Magnitude spectrum on a log-polar grid over half a turn (a real image's
    spectrum is symmetric, so the half with non-negative x frequencies holds it all)."""
    half = np.abs(np.fft.rfft2(image, s=(n, n)))  # rows: y frequency, columns: x frequency >= 0
    spectrum = np.fft.fftshift(half, axes=0)
    # Emphasise the fine structure: the coarse end holds the window's own lobes.
    fy = np.cos(np.pi * np.fft.fftshift(np.fft.fftfreq(n)))
    fx = np.cos(np.pi * np.arange(half.shape[1]) / n)
    spectrum *= 1.0 - np.outer(fy, fx)
    r_min, r_max = BAND[0], n * 0.5 * BAND[1]
    r = r_min * (r_max / r_min) ** (np.arange(radii) / (radii - 1))
    a = np.pi * np.arange(ANGLES) / ANGLES - np.pi / 2  # x = r cos(a) >= 0
    cx = np.outer(np.cos(a), r)
    cy = n // 2 + np.outer(np.sin(a), r)
    return bilinear(spectrum, cx.ravel(), cy.ravel()).reshape(ANGLES, radii)


def _correlation(a, b):
    """Phase correlation surface: its peak sits at the shift d with a(p) = b(p - d)."""
    fa, fb = np.fft.fft2(a), np.fft.fft2(b)
    cross = fa * np.conj(fb)
    cross /= np.abs(cross) + (1e-12 * np.abs(cross).max() + np.finfo(np.float64).tiny)
    return np.fft.ifft2(cross).real


def _peaks(surface, count, scales, step):
    """(angle bins, log-radius bins) of the highest peaks, signed, sub-bin."""
    rows, columns = surface.shape
    surface = surface.copy()
    out = []
    for _ in range(count):
        i = int(np.argmax(surface))
        r, c = divmod(i, columns)
        if not math.isfinite(surface[r, c]):
            break
        dr = _refined(surface[r, :], c)
        da = _refined(surface[:, c], r)
        da = da - rows if da > rows / 2 else da
        dr = dr - columns if dr > columns / 2 else dr
        if scales[0] <= math.exp(dr * step) <= scales[1] or not out:
            out.append((da, dr))
        # Clear the neighbourhood before looking for the next one.
        for dy in range(-3, 4):
            surface[(r + dy) % rows, [(c + dx) % columns for dx in range(-3, 4)]] = -np.inf
    return out


def _refined(line, i):
    """Peak position along a periodic line, refined by a parabola through three samples."""
    n = len(line)
    left, centre, right = line[(i - 1) % n], line[i], line[(i + 1) % n]
    if not (math.isfinite(left) and math.isfinite(right)):
        return float(i)
    bend = left - 2 * centre + right
    return float(i) + (0.5 * (left - right) / bend if bend < 0 else 0.0)


def _phase_shift(ft, w):
    """u (x, y) with t(p) = w(p + u), from the phase correlation zero-padded to
    twice the size; `ft` is t's spectrum at that size."""
    h, wd = w.shape
    return _peak(ft, w, (2 * h, 2 * wd), whitening=1.0)[1]


def _to_full(matrix, factor):
    """A reduced-level (2,3) map as a full-resolution one: reduced pixel i covers
    full pixels factor*i ... factor*i + factor - 1."""
    if factor == 1:
        return matrix
    c = (factor - 1) * 0.5
    a = matrix[:, 1:3]
    out = matrix.copy()
    out[:, 0] = factor * matrix[:, 0] + c - a @ np.array([c, c])
    return out


def _to_family(matrix, code):
    if code == 2:
        return matrix[:, 0:1].copy()
    if code == 8:
        return np.column_stack([matrix, np.zeros(2)])
    return matrix


# The swept start, for scenes whose spectrum hardly changes as they turn (a
# field of round cells): the scale from the spectra's radial profiles, the
# turn from the height of the phase correlation at each of a sweep of turns.
SWEEP_STEP = 6.0        # degrees between the turns tried
SWEEP_LEVEL = 64        # longest side of the sweep's reduced level: as sure as 128, and a quarter of the work
SWEEP_SCALES = 2        # radial-profile scale peaks followed up
SWEEP_REACH = 1.8       # the largest scale (and its inverse) the profiles are compared over
SWEEP_KEEP = 3          # candidates returned, best peak first
# The turns are ranked twice, by the correlation peak with the spectrum's
# magnitude divided by these powers of itself: half whitening keeps sparse
# structure above the noise, full whitening finds a field of alike cells that
# half whitening blurs into one another; their best are taken in turns.
SWEEP_WHITENINGS = (0.5, 1.0)


def swept_starts(target, source, code):
    """Candidate maps (family's shape) from a sweep of turns, highest peak first."""
    import alignopt

    if code == 2:
        return []
    t, tw, factor = _reduced(target, level=SWEEP_LEVEL)
    s, sw, _ = _reduced(source, factor)
    if min(t.shape) < 8:
        return []
    tt_, ss_ = _tapered(t, tw), _tapered(s, sw)
    scales = [1.0] if code == 3 else _radial_scales(tt_, ss_)
    size = (2 * t.shape[0], 2 * t.shape[1])
    tt = np.fft.rfft2(tt_, s=size)
    centre = (np.array(t.shape[::-1]) - 1) * 0.5
    turns = int(round(360.0 / SWEEP_STEP))
    # Per whitening: (peak height, order, scale, turn index, shift) of each
    # turn that stands above its neighbours.
    found = {whitening: [] for whitening in SWEEP_WHITENINGS}
    for scale in scales:
        peaks = {whitening: [] for whitening in SWEEP_WHITENINGS}
        for k in range(turns):
            a = _turned(scale, math.radians(k * SWEEP_STEP))
            turn = np.column_stack([centre - a @ centre, a])
            warped = alignopt._transform(s, turn)
            inside = alignopt._transform(sw, turn) > 0.5
            cross = tt * np.conj(np.fft.rfft2(_tapered(warped, inside), s=size))
            for whitening in SWEEP_WHITENINGS:
                peaks[whitening].append(_whitened_peak(cross, size, whitening))
        for whitening, at in peaks.items():
            for k in range(turns):
                height, left, right = at[k][0], at[(k - 1) % turns][0], at[(k + 1) % turns][0]
                if height >= left and height > right:
                    found[whitening].append((height, len(found[whitening]), scale, k, at[k][1]))
    ranked = [sorted(f, key=lambda f: (-f[0], f[1]))[:SWEEP_KEEP] for f in found.values()]
    out, taken = [], set()
    # The rankings taken in turns, each one's best first; a turn and scale once.
    for rank in range(SWEEP_KEEP):
        for candidates in ranked:
            if rank >= len(candidates):
                continue
            _, _, scale, k, u = candidates[rank]
            key = (scale, k, round(float(u[0]), 3), round(float(u[1]), 3))
            if key in taken:
                continue
            taken.add(key)
            a = _turned(scale, math.radians(k * SWEEP_STEP))
            reduced = np.column_stack([centre - a @ centre, a])
            reduced[:, 0] += a @ u
            out.append(_to_family(_to_full(reduced, factor), code))
    return out


def _turned(scale, angle):
    c, s = math.cos(angle), math.sin(angle)
    return scale * np.array([[c, -s], [s, c]])


def _peak(ft, w, size, whitening):
    """(height, u) of the correlation of t (spectrum `ft`) with w, t(p) = w(p + u),
    its spectrum divided by the `whitening` power of its magnitude (1: phase only)."""
    return _whitened_peak(ft * np.conj(np.fft.rfft2(w, s=size)), size, whitening)


def _whitened_peak(cross, size, whitening):
    """(height, u) of the correlation whose spectrum is `cross`, whitened."""
    magnitude = np.abs(cross)
    whitened = cross / ((magnitude if whitening == 1.0 else magnitude ** whitening) + (
        1e-12 * magnitude.max() + np.finfo(np.float64).tiny))
    surface = np.fft.irfft2(whitened, s=size)
    r, c = divmod(int(np.argmax(surface)), size[1])
    dy = _refined(surface[:, c], r)
    dx = _refined(surface[r, :], c)
    dy = dy - size[0] if dy > size[0] / 2 else dy
    dx = dx - size[1] if dx > size[1] / 2 else dx
    return float(surface[r, c]), np.array([-dx, -dy])


def _radial_scales(t, s):
    """Scales A's determinant may stand for, from the slopes of the spectra's
    log radial profiles (a scaling shifts them along log-radius), best first."""
    n = PAD * max(t.shape)
    radii = max(t.shape)
    r_min, r_max = BAND[0], n * 0.5 * BAND[1]
    step = math.log(r_max / r_min) / (radii - 1)
    tiny = np.finfo(np.float64).tiny
    pt = np.diff(np.log(_log_polar(t, n, radii).mean(axis=0) + tiny))
    ps = np.diff(np.log(_log_polar(s, n, radii).mean(axis=0) + tiny))
    reach = math.ceil(math.log(SWEEP_REACH) / step)
    shifts = range(-reach, reach + 1)
    values = []
    for d in shifts:  # the source's profile at x is the target's at x + d
        a, b = (ps[:len(ps) - d], pt[d:]) if d >= 0 else (ps[-d:], pt[:len(pt) + d])
        a, b = a - a.mean(), b - b.mean()
        norm = math.sqrt(float((a * a).sum() * (b * b).sum()))
        values.append(float((a * b).sum()) / norm if norm > 0 else -1.0)
    chosen = []
    for i in sorted(range(len(values)), key=lambda i: (-values[i], i)):
        if all(abs(i - j) > 2 for j in chosen):
            chosen.append(i)
        if len(chosen) == SWEEP_SCALES:
            break
    return [math.exp(shifts[i] * step) for i in chosen]
