"""A short run of both methods for memcheck: every family and matrix shape,
thin images, and each kind of refused argument."""

import numpy as np

import alignopt

image = np.add.outer(np.arange(30.0), 0.5 * np.arange(27.0)) % 5
source = np.roll(image, (1, -2), axis=(0, 1))
for code in (2, 3, 4, 6, 8):
    alignopt._register(image, source, code)
    alignopt._register(image[:1], source[:1], code)
    alignopt._register(image[:, :1].copy(), source[:, :1].copy(), code)
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
]
for call in refused:
    try:
        call()
    except (TypeError, ValueError):
        pass
    else:
        raise SystemExit("a refused call returned")
print("ok")
