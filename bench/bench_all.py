"""Everything the module is measured by, in one table.

    PYTHONPATH=build/module /usr/bin/python3 bench/bench_all.py [--quick] [register transform memory stack]

1. _register per family and size (256, 512, 1024 pixels square) beside
   OpenCV's findTransformECC in a pyrDown pyramid and, for translation,
   scikit-image's phase_cross_correlation (upsample_factor=100): processor
   time (best of a few runs, one thread each) and largest mapping error.
2. _transform of a 2048 x 2048 image for every matrix shape beside scipy's
   order-3 spline warp (mirror) and OpenCV's cubic warp.
3. Peak memory of a 4096 x 4096 registration beyond its inputs, in units of
   one float64 image of that size, measured in a fresh process.
4. Frames per second registering a stack from a thread pool of 1 and 2
   threads (wall time: that is what threads buy), beside one thread pinned
   to each processor in turn: on a virtual machine the processors can
   differ in speed, and their sum is what two threads could reach.

The timing tables run pinned to the first processor of the process's set.

Ratios are formed within one run, so a busy machine slows every column alike.
--quick leaves out 1024 pixels and shortens the repeats.
"""

import hashlib
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import alignopt  # noqa: E402
import bench_register as reg  # noqa: E402
import bench_transform as warp  # noqa: E402

QUICK = "--quick" in sys.argv
FAMILY_ORDER = (2, 3, 4, 6, 8)


def register_scenes():
    scenes = reg.scenes()
    out = {256: ("ascent", scenes[512][1][128:384, 128:384].copy()), 512: scenes[512]}
    if not QUICK:
        out[1024] = scenes[1024]
    return out


def register_table():
    print("_register: processor seconds (best of n) and largest mapping error in pixels")
    header = (f"{'family':<16}{'size':>6}  {'ours s':>8}{'err px':>9}  {'ECC s':>8}{'err px':>9}{'ECC/ours':>10}"
              f"  {'phase s':>8}{'err px':>9}{'phase/ours':>11}")
    print(header)
    print("-" * len(header))
    for size, (_, image) in register_scenes().items():
        repeats = (3 if size <= 512 else 2) if QUICK else (5 if size <= 512 else 3)
        for code in FAMILY_ORDER:
            family, mapping = reg.CASES[code]
            true = mapping(size)
            target, source = reg.make_pair(image, true, size)
            ours, result = reg.timed(lambda: alignopt._register(target, source, code), repeats)
            line = f"{family:<16}{size:>6}  {ours:>8.3f}{reg.mapping_error(result[0], true, target.shape):>9.4f}"
            competitors = dict(reg.COMPETITORS.get(code, []))
            ecc = next((f for name, f in competitors.items() if name.startswith("ECC")), None)
            if ecc is not None:
                # ECC at 1024 takes seconds a pair: fewer repeats there.
                theirs, matrix = reg.timed(lambda: ecc(target, source), min(repeats, 2 if size > 512 else repeats))
                line += f"  {theirs:>8.3f}{reg.mapping_error(matrix, true, target.shape):>9.4f}{theirs / ours:>10.2f}"
            else:
                line += f"  {'-':>8}{'-':>9}{'-':>10}"
            if "phase correlation" in competitors:
                phase, matrix = reg.timed(lambda: competitors["phase correlation"](target, source), repeats)
                line += f"  {phase:>8.3f}{reg.mapping_error(matrix, true, target.shape):>9.4f}{phase / ours:>11.2f}"
            print(line, flush=True)
    print()


def transform_table():
    size = 2048
    print(f"_transform of {size} x {size}: processor milliseconds (best of n)")
    header = (f"{'matrix':<12}{'ours ms':>9}{'scipy ms':>10}{'OpenCV ms':>11}{'scipy/ours':>12}{'ours/OpenCV':>13}")
    print(header)
    print("-" * len(header))
    image = warp.natural_image(size)
    repeats = 2 if QUICK else 3
    for name, matrix in warp.matrices(size).items():
        ours = warp.best_time(lambda: alignopt._transform(image, matrix), repeats)
        scipy_time = warp.best_time(lambda: warp.scipy_warp(image, matrix), repeats)
        opencv = warp.best_time(lambda: warp.opencv_warp(image, matrix), repeats)
        print(f"{name:<12}{ours * 1e3:>9.1f}{scipy_time * 1e3:>10.1f}{opencv * 1e3:>11.1f}"
              f"{scipy_time / ours:>12.2f}{ours / opencv:>13.2f}", flush=True)
    print()


# Run in a fresh interpreter: ru_maxrss is the process's peak, so the inputs
# (and everything imported) are allocated first and their peak is the base.
MEMORY_PROBE = r"""
import resource, sys
import numpy as np
import alignopt
code = int(sys.argv[1])
size = 4096
rng = np.random.default_rng(1)
target = np.ascontiguousarray(np.tile(np.asarray(sys.modules['numpy'].load(sys.argv[2])), (8, 8))[:size, :size])
source = np.roll(target, (3, -2), axis=(0, 1)).copy()
alignopt._register(target[:64, :64].copy(), source[:64, :64].copy(), code)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
alignopt._register(target, source, code)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((peak - base) * 1024 / (size * size * 8))
"""


def memory_table():
    print("Peak memory of a 4096 x 4096 registration beyond the inputs, in float64 images of that size")
    scene = os.path.join("/tmp", f"bench_all_ascent_{os.getpid()}.npy")
    np.save(scene, reg.images.ascent())
    try:
        for code in FAMILY_ORDER:
            out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(code), scene], capture_output=True,
                                 text=True, env=os.environ, check=True)
            print(f"{reg.CASES[code][0]:<16}{float(out.stdout):>8.2f}", flush=True)
    finally:
        os.remove(scene)
    print()


def pinned(processors):
    """Runs the block on the given processors only (threads started inside
    inherit the set), then restores the process's own set."""
    class Pin:
        def __enter__(self):
            self.saved = os.sched_getaffinity(0)
            os.sched_setaffinity(0, processors)

        def __exit__(self, *exc):
            os.sched_setaffinity(0, self.saved)

    return Pin()


def stack_table():
    size, frames = 512, (8 if QUICK else 16)
    image = reg.images.ascent()
    rng = np.random.default_rng(5)
    pairs = []
    for _ in range(frames):
        shift = np.array([[rng.uniform(-4, 4)], [rng.uniform(-4, 4)]])
        pairs.append(reg.make_pair(image, shift, size))
    print(f"Stack of {frames} frames of {size} x {size}, translation, frames per second (wall time, best of 6)")

    # Processors busy = the process's processor time over the wall time: near
    # the thread count when the threads really run side by side, lower when
    # other work on the machine takes the processors.
    def run(threads):
        best, busy = float("inf"), 0.0
        for _ in range(2):
            start, cpu = time.perf_counter(), time.process_time()
            with ThreadPoolExecutor(max_workers=threads) as pool:
                list(pool.map(lambda pair: alignopt._register(pair[0], pair[1], 2), pairs))
            wall = time.perf_counter() - start
            if wall < best:
                best, busy = wall, (time.process_time() - cpu) / wall
        return frames / best, busy

    # The control: hashing large buffers, which runs without the interpreter
    # lock too, shows what two threads can gain on the machine as it is now.
    data = b"\0" * (32 << 20)

    def control(threads):
        start = time.perf_counter()
        with ThreadPoolExecutor(max_workers=threads) as pool:
            list(pool.map(lambda _: hashlib.sha256(data).digest(), range(8)))
        return 8 / (time.perf_counter() - start)

    # One pass first: the allocator's first requests of a process fault their
    # pages in, and that cost belongs to neither column.
    run(1)
    # The processors of a virtual machine need not be equally fast: each one's
    # speed with one thread, pinned there, bounds what two threads can do.
    alone = {}
    for processor in sorted(os.sched_getaffinity(0)):
        with pinned({processor}):
            alone[processor] = run(1)[0]
    # Taken in turns, best of three each, so that a change in the machine's
    # load between the two falls on both.
    one, busy1, two, busy2 = 0.0, 0.0, 0.0, 0.0
    for _ in range(3):
        one, busy1 = max((one, busy1), run(1))
        two, busy2 = max((two, busy2), run(2))
    print(f"{'threads':<12}{'frames/s':>9}{'processors busy':>17}")
    print(f"{'1':<12}{one:>9.1f}{busy1:>17.2f}\n{'2':<12}{two:>9.1f}{busy2:>17.2f}")
    print("1 thread pinned to each processor: " + ", ".join(f"{p}: {f:.1f}" for p, f in alone.items()))
    fastest = max(alone.values())
    both = sum(sorted(alone.values())[-2:])
    print(f"2 threads / 1 thread on the fastest processor: {two / fastest:.2f}; "
          f"2 threads / the two fastest processors' sum: {two / both:.2f} "
          f"(control without the lock: {control(2) / control(1):.2f})")
    print()


def main():
    parts = [a for a in sys.argv[1:] if not a.startswith("--")] or ["register", "transform", "memory", "stack"]
    tables = {"register": register_table, "transform": transform_table, "memory": memory_table, "stack": stack_table}
    # The timing tables run on one processor, so that every column of a row
    # ran on the same one (a virtual machine's processors can differ by a
    # third); the stack table picks its processors itself.
    first = min(os.sched_getaffinity(0))
    for part in parts:
        if part == "stack":
            tables[part]()
        else:
            with pinned({first}):
                tables[part]()


if __name__ == "__main__":
    main()
