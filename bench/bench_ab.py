"""Two builds of the module timed in turns in one process, for a change that
must not be slower:

    /usr/bin/python3 bench/bench_ab.py OLD.so NEW.so [rounds]

Each case runs old, new, new, old, ... for the given rounds (5 by default),
pinned to one processor; the best processor time of each build is kept and
the ratio new/old printed. Alternating within one process lets a busy
machine slow both builds alike. The cases are those of bench_all.py's
register (256 and 512 pixels, every family) and transform (2048 pixels,
every matrix shape) tables, without the competitors.
"""

import importlib.util
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def load(path):
    spec = importlib.util.spec_from_file_location("alignopt", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def cases():
    # bench_register imports the module by name: loaded first, it finds one.
    import bench_register as reg

    scenes = reg.scenes()
    for size in (256, 512):
        image = scenes[512][1][128:384, 128:384].copy() if size == 256 else scenes[512][1]
        for code in (2, 3, 4, 6, 8):
            target, source = reg.make_pair(image, reg.CASES[code][1](size), size)
            yield f"register {code} {size}", lambda m, t=target, s=source, c=code: m._register(t, s, c)
    big = np.ascontiguousarray(np.tile(scenes[512][1], (4, 4)))
    for name, matrix in (("2x1", [[3.3], [-2.7]]), ("2x3", [[5.0, 0.99, 0.05], [-3.0, -0.05, 0.99]]),
                         ("2x4", [[5.0, 0.99, 0.05, 1e-5], [-3.0, -0.05, 0.99, -1e-5]])):
        yield f"transform {name} 2048", lambda m, a=np.array(matrix): m._transform(big, a)


def main():
    old, new = load(sys.argv[1]), load(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    ratios = []
    for name, call in cases():
        best = {"old": float("inf"), "new": float("inf")}
        for r in range(rounds):
            order = (("old", old), ("new", new)) if r % 2 == 0 else (("new", new), ("old", old))
            for label, module in order:
                start = time.process_time()
                call(module)
                best[label] = min(best[label], time.process_time() - start)
        ratio = best["new"] / best["old"]
        ratios.append(ratio)
        print(f"{name:<22} old {best['old'] * 1000:8.1f} ms  new {best['new'] * 1000:8.1f} ms  new/old {ratio:.3f}",
              flush=True)
    print(f"{'geometric mean':<22} new/old {float(np.exp(np.mean(np.log(ratios)))):.3f}")


if __name__ == "__main__":
    main()
