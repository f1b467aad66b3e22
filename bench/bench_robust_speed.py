"""What the robust pair path costs, as ratios within one run.

    PYTHONPATH=build/module:. /usr/bin/python3 bench/bench_robust_speed.py [--quick]

On bench/bench_register.py's pairs (ascent at 512, the face at 1024, each
family's known map): processor time, best of a few runs, one thread, of bare
`alignopt._register`; of `orvik.register(..., search=False)` on the two
images; of a stack's frame (the reference prepared once, as
`register_stack` does); of `orvik.register` with the search on; and of
OpenCV's findTransformECC inside a pyramid (Euclidean for rigid, affine for
scaled rotation and affine, none for bilinear).
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))

import alignopt  # noqa: E402
import bench_register as reg  # noqa: E402
import orvik  # noqa: E402
from orvik.pair import register_prepared  # noqa: E402
from orvik.prepared import Prepared  # noqa: E402

ECC = {3: "ECC Euclidean", 4: "ECC affine", 6: "ECC affine", 2: "ECC translation"}


def main():
    quick = "--quick" in sys.argv
    scenes = reg.scenes()
    print(f"{'family':<16}{'size':>6}{'bare s':>9}{'no search':>11}{'frame':>8}{'search':>9}"
          f"{'ECC s':>9}{'search/ECC':>12}{'error px':>10}")
    for size in (512,) if quick else (512, 1024):
        image = scenes[size][1]
        repeats = 3 if size > 512 else 5
        for code in (2, 3, 4, 6, 8):
            family, mapping = reg.CASES[code]
            true = mapping(size)
            target, source = reg.make_pair(image, true, size)
            bare, _ = reg.timed(lambda: alignopt._register(target, source, code), repeats)
            pair, _ = reg.timed(lambda: orvik.register(target, source, code, search=False), repeats)
            prepared = Prepared(target)
            frame, _ = reg.timed(
                lambda: register_prepared(prepared, Prepared(source, like=prepared), code, None, False, True), repeats)
            searched, result = reg.timed(lambda: orvik.register(target, source, code), repeats)
            line = (f"{family:<16}{size:>6}{bare:>9.4f}{pair / bare:>10.2f}x{frame / bare:>7.2f}x"
                    f"{searched / bare:>8.2f}x")
            competitors = dict(reg.COMPETITORS.get(code, []))
            if code in ECC:
                ecc, _ = reg.timed(lambda: competitors[ECC[code]](target, source), 2)
                line += f"{ecc:>9.4f}{searched / ecc:>12.2f}"
            else:
                line += f"{'-':>9}{'-':>12}"
            print(line + f"{reg.mapping_error(result.matrix, true, target.shape):>10.4f}", flush=True)
    print("no search, frame, search: times as multiples of bare _register; search/ECC: search on over ECC")


if __name__ == "__main__":
    main()
