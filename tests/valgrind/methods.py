"""A short run of both methods and of the registration with options for
memcheck: every family and matrix shape, thin images, masks, NaN pixels, an
initial map, and each kind of refused argument."""

import numpy as np

import _orvik_native
import alignopt

image = np.add.outer(np.arange(30.0), 0.5 * np.arange(27.0)) % 5
source = np.roll(image, (1, -2), axis=(0, 1))
for code in (2, 3, 4, 6, 8):
    alignopt._register(image, source, code)
    alignopt._register(image[:1], source[:1], code)
    alignopt._register(image[:, :1].copy(), source[:, :1].copy(), code)
holed = source.copy()
holed[3:9, 4:12] = np.nan
mask = np.ones_like(image)
mask[10:20, 5:9] = 0.0
for code, initial in ((2, [[1.0], [-2.0]]), (3, [[1.0, 1.0, 0.0], [-2.0, 0.0, 1.0]]), (4, None),
                      (6, [[1.0, 1.0, 0.01], [-2.0, 0.0, 1.0]]), (8, [[1.0, 1.0, 0.0, 0.001], [-2.0, 0.0, 1.0, 0.0]])):
    _orvik_native.register(image, holed, code, target_mask=mask, initial=initial)
    _orvik_native.register(image, source, code, initial=initial, levels=2)
    _orvik_native.register(image[:1], source[:1], code, source_mask=mask[:1] > 0)
for matrix in ([[0.5], [-0.25]], [[0.5, 1.0, 0.1], [-0.25, -0.1, 1.0]], [[0.5, 1.0, 0.0, 0.01], [0.0, 0.0, 1.0, 0.0]],
               [[np.nan], [0.0]], [[0.0], [np.nan]], [[1e300, 1.0, 0.0], [0.0, np.inf, 1.0]]):
    alignopt._transform(image, matrix)
    alignopt._transform(image[:1], matrix)
    alignopt._transform(np.asfortranarray(image[:5, :1]), matrix)

refused = [
    lambda: alignopt._register(image, source, 5),
    lambda: alignopt._register(image, source, 2.0),
    lambda: alignopt._register(image, source.T, 2),
    lambda: alignopt._register(image[0], source, 2),
    lambda: alignopt._register(image[:0], source[:0], 2),
    lambda: alignopt._register(np.full_like(image, np.nan), source, 2),
    lambda: alignopt._register(image.astype(complex), source, 2),
    lambda: alignopt._register(np.broadcast_to(image[:1, :1], (2**16, 2**15)), source, 2),
    lambda: alignopt._transform(image, [[0.0, 1.0]]),
    lambda: alignopt._transform(image, np.zeros(6)),
    lambda: alignopt._transform("image", [[0.0], [0.0]]),
    lambda: alignopt._transform(image),
    lambda: _orvik_native.register(image, source, 6, target_mask=mask[:5]),
    lambda: _orvik_native.register(image, source, 6, source_mask=np.zeros_like(image)),
    lambda: _orvik_native.register(image, source, 6, source_mask=np.full_like(image, np.nan)),
    lambda: _orvik_native.register(image, np.full_like(image, np.nan), 6),
    lambda: _orvik_native.register(image, np.full_like(image, np.inf), 6),
    lambda: _orvik_native.register(image, source, 6, initial=np.eye(3)),
    lambda: _orvik_native.register(image, source, 6, initial=[[np.nan], [0.0]]),
    lambda: _orvik_native.register(image, source, 6, extra=1),
    lambda: _orvik_native.register(image, source, 6, levels=0),
    lambda: _orvik_native.register(image, source, 6, levels=1.5),
]
for call in refused:
    try:
        call()
    except (TypeError, ValueError):
        pass
    else:
        raise SystemExit("a refused call returned")
print("ok")
