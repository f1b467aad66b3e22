"""Both methods and the registration with options release the interpreter
lock around the numeric work: other Python threads run meanwhile, and calls
from a thread pool give exactly the results of the same calls made one after
another."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _orvik_native
import alignopt
import images

SIZE = 160

MATRICES = {
    2: np.array([[2.4], [-1.7]]),
    3: np.array([[1.2, 0.9994, -0.035], [-0.8, 0.035, 0.9994]]),
    4: np.array([[0.9, 1.01, 0.02], [-1.3, -0.02, 1.01]]),
    6: np.array([[1.5, 0.998, -0.06], [-0.5, 0.05, 1.01]]),
}


def _pair(code, offset):
    matrix = MATRICES.get(code, MATRICES[4])
    return images.registration_pair(images.ascent(), matrix, 100 + offset, 120 + offset, SIZE)


def _register_cases():
    # Bilinear (8) registers a pair made with an affine mapping; what matters
    # here is only that serial and threaded calls agree bit for bit.
    return [(code, *_pair(code, offset)) for code in (2, 3, 4, 6, 8) for offset in (0, 17)]


def _bits(arrays):
    return [np.asarray(a).tobytes() for a in arrays]


def _ticks_during(call):
    """How often another thread got to run while `call` was in progress."""
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    while not ticks:
        time.sleep(0.001)
    try:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    return sum(start < tick < end for tick in ticks)


# With the lock held for the whole call the ticker could run at most once or
# twice around its edges, however long the call took; these calls take tens of
# milliseconds at least, so a free thread ticks many times.
def test_another_thread_runs_during_a_registration():
    target, source = images.registration_pair(images.face(), MATRICES[6], 0, 0, 768)
    assert _ticks_during(lambda: alignopt._register(target, source, 6)) >= 10


def test_another_thread_runs_during_a_registration_with_options():
    target, source = images.registration_pair(images.face(), MATRICES[6], 0, 0, 768)
    source[100:200, 300:400] = np.nan
    assert _ticks_during(lambda: _orvik_native.register(target, source, 6, initial=MATRICES[6])) >= 10


def test_another_thread_runs_during_a_transform():
    image = np.tile(images.ascent(), (4, 4))
    matrix = np.array([[3.3, 0.98, -0.17, 1e-5], [-2.1, 0.17, 0.98, 0.0]])
    assert _ticks_during(lambda: alignopt._transform(image, matrix)) >= 10


def test_threaded_registrations_equal_serial_ones():
    cases = _register_cases()
    serial = [_bits(alignopt._register(t, s, code)) for code, t, s in cases]
    with ThreadPoolExecutor(max_workers=4) as pool:
        threaded = list(pool.map(lambda case: _bits(alignopt._register(case[1], case[2], case[0])), cases))
    assert threaded == serial


def test_threaded_registrations_with_options_equal_serial_ones():
    cases = _register_cases()
    mask = np.ones((SIZE, SIZE))
    mask[20:60, 30:90] = 0.0

    def call(case):
        code, target, source = case
        return _orvik_native.register(target, source, code, target_mask=mask, initial=[[1.0], [-1.0]])

    serial = [_bits(call(case)) for case in cases]
    with ThreadPoolExecutor(max_workers=4) as pool:
        threaded = [_bits(result) for result in pool.map(call, cases)]
    assert threaded == serial


@pytest.mark.parametrize("matrix", [
    np.array([[1.25], [-0.5]]),
    np.array([[2.5, 0.96, -0.28], [-1.5, 0.28, 0.96]]),
    np.array([[2.5, 0.96, -0.28, 2e-4], [-1.5, 0.28, 0.96, -1e-4]]),
])
def test_threaded_transforms_equal_serial_ones(matrix):
    image = images.ascent()[:301, :257]
    frames = [image * (1 + k / 7) for k in range(6)]
    serial = [alignopt._transform(frame, matrix).tobytes() for frame in frames]
    with ThreadPoolExecutor(max_workers=3) as pool:
        threaded = list(pool.map(lambda frame: alignopt._transform(frame, matrix).tobytes(), frames))
    assert threaded == serial
