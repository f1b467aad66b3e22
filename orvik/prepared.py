"""An image made ready for registration: checked, its unusable pixels masked, scaled.

The same preparation serves an image as target or as source, so a stack's
reference is prepared once and shared by every frame.
"""

import copy
import math

import numpy as np

# Points the verdict and the intensity fit look at: a regular grid of about
# this many pixels, whatever the image's size.
SAMPLES = 4096
# Pixels a block of the statistics' pass holds at most.
STATISTICS_BLOCK = 1 << 16


# Two images whose own means and spreads differ by no more than this share of
# the first one's spread are taken to be lit alike: moving content changes
# them that much, and under light that did not change, each image in its own
# scale would leave a gain that biases the map (0.06 px on a cell image,
# against 0.006 px in one scale). A change of light that small is then the
# intensity fit's.
SAME_LIGHT = 0.1


def lit_alike(light, other):
    """Whether two (mean, spread) pairs are within SAME_LIGHT of the first spread."""
    (mean, spread), (other_mean, other_spread) = light, other
    return (spread > 0 and other_spread > 0 and abs(other_spread - spread) <= SAME_LIGHT * spread
            and abs(other_mean - mean) <= SAME_LIGHT * spread)


class UnusableImage(ValueError):
    """An image (with its mask) that leaves no pixel to register."""


class Prepared:
    """`values`: C-ordered float64, masked pixels replaced by the mean of the
    others; `valid`: boolean mask or None when every pixel is used; `mask`:
    the same as float64 for the optimiser, or None. `light` is the mean and
    spread of the usable pixels as given, `scale` the (mean, spread) the values
    are taken in: values = (image - mean) / spread; (0, 1) unnormalised.

    Normalised, an image takes its own light as its scale, or the scale of
    the `Prepared` image `like` when the two are lit alike (`lit_alike`): the
    two are then compared as they are.
    """

    def __init__(self, image, mask=None, normalize=True, name="image", like=None):
        values = np.asarray(image)
        if values.ndim != 2:
            raise ValueError(f"the {name} must be two dimensional, not of shape {values.shape}")
        if values.size == 0:
            raise ValueError(f"the {name} has no pixels")
        converted = np.ascontiguousarray(values, dtype=np.float64)
        # A converted copy is ours to change in place: a stack keeps several
        # frames in flight, and every frame-sized temporary counts there.
        owned = converted is not values and not np.shares_memory(converted, values)
        values = converted
        valid = None
        if mask is not None:
            mask = np.asarray(mask)
            if mask.shape != values.shape:
                raise ValueError(f"the {name} mask is {_shape(mask.shape)}, the {name} {_shape(values.shape)}")
            try:
                mask = mask.astype(np.float64, copy=False)
            except (TypeError, ValueError):
                raise ValueError(f"the {name} mask must hold numbers, not {mask.dtype}") from None
            if not np.isfinite(mask).all():
                raise ValueError(f"the {name} mask holds NaN or infinity")
            valid = mask != 0
            if valid.all():
                valid = None
        # One sum proves every pixel finite in the usual case; only a sum that
        # is not finite pays for the pixel-wise test.
        if not math.isfinite(float(values.sum())):
            finite = np.isfinite(values)
            if not finite.all():
                valid = finite if valid is None else valid & finite
        if valid is not None and not valid.any():
            raise UnusableImage(f"the {name} has no usable pixel (masked out or not finite)")
        self.shape = values.shape
        self.valid = valid
        self.count = int(values.size if valid is None else np.count_nonzero(valid))
        # Every fourth pixel at most: the samples' temporaries stay well below a frame's size.
        self.stride = max(4, int(math.sqrt(values.size / SAMPLES)))
        mean, spread = self._statistics(values)
        if valid is not None:
            if owned:
                values[~valid] = mean
            else:
                values = np.where(valid, values, mean)
                owned = True
        self.light = (mean, spread)
        if normalize:
            self.scale = (mean, spread if spread > 0 else 1.0)
            if like is not None and lit_alike(like.light, self.light) and like.scale[1] > 0:
                self.scale = like.scale
            values = np.subtract(values, self.scale[0], out=values if owned else None)
            values *= 1.0 / self.scale[1]
        else:
            self.scale = (0.0, 1.0)
        self.values = values
        self.mask = None if valid is None else valid.astype(np.float64)
        self.flat = not spread > 0

    def _statistics(self, values):
        # Mean and spread of every usable pixel, in blocks of rows so that no
        # frame-sized temporary is made: two images are compared by them
        # (`lit_alike`), and a sparse grid reads moving content as light.
        rows = max(1, STATISTICS_BLOCK // max(1, values.shape[1]))
        blocks = [(values[i:i + rows], None if self.valid is None else self.valid[i:i + rows])
                  for i in range(0, values.shape[0], rows)]
        total = sum(float(v.sum() if k is None else v[k].sum()) for v, k in blocks)
        mean = total / self.count
        squares = 0.0
        for v, k in blocks:
            d = (v if k is None else v[k]) - mean
            squares += float(np.vdot(d, d))
        return mean, math.sqrt(squares / self.count)

    def denser(self, factor):
        """The same image with a sample grid up to `factor` times finer each way (for
        fits that want more points), never finer than every fourth pixel."""
        out = copy.copy(self)
        out.stride = max(4, self.stride // factor)
        out._samples = None
        return out

    def masked(self, keep):
        """The same image with the pixels where `keep` (float64, this image's
        shape) is 0 left out as well; `keep` already holds this image's own
        mask. The values stay: what is left out is what the other image hides."""
        out = copy.copy(self)
        out.mask = keep
        out.valid = keep != 0
        out.count = int(np.count_nonzero(out.valid))
        out._samples = None
        return out

    def samples(self):
        """(x, y, values) of the usable pixels of the sample grid (cached)."""
        cached = getattr(self, "_samples", None)
        if cached is None:
            s = self.stride
            y, x = np.mgrid[s // 2:self.shape[0]:s, s // 2:self.shape[1]:s]
            v = self.values[s // 2::s, s // 2::s]
            keep = np.ones(v.shape, dtype=bool) if self.valid is None else self.valid[s // 2::s, s // 2::s]
            if np.count_nonzero(keep) < 256:  # a small image or mask: every usable pixel
                y, x = np.nonzero(np.ones(self.shape, dtype=bool) if self.valid is None else self.valid)
                v = self.values[y, x]
            else:
                x, y, v = x[keep], y[keep], v[keep]
            cached = (np.ravel(x).astype(np.float64), np.ravel(y).astype(np.float64), np.ravel(v))
            self._samples = cached
        return cached


def _shape(shape):
    return "x".join(str(s) for s in shape)
