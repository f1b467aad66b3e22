"""Registration and resampling of whole stacks, frame by frame."""

import concurrent.futures
import inspect
import os
from collections import deque

import numpy as np

from . import geometry, maps, selection
from .progress import bar as progress_bar
from .result import StackResult

REFERENCES = ("first", "previous", "mean")


def _module():
    import alignopt

    return alignopt


# ---------------------------------------------------------------- frame access

class Frames:
    """Read-only view of a stack as a sequence of equal-sized 2-D frames.

    Accepts anything indexable by frame (NumPy arrays and memmaps, Dask arrays,
    tifffile's TiffFile, lists of 2-D arrays); `read(i)` returns one frame as a
    C-ordered float64 array, so only the frames in flight are ever converted.

    Args:
        frames: the stack, indexed (frame, row, column), or a sequence of 2-D
            arrays of shape (rows, columns).

    Attributes:
        shape: the frame shape (rows, columns).

    Raises:
        ValueError: the stack is not three-dimensional, has no frames, holds a
            frame that is not 2-D or not of frame 0's shape, or frames with no
            pixels.
    """

    def __init__(self, frames):
        self._pages = None
        if hasattr(frames, "pages") and hasattr(frames, "series"):  # tifffile.TiffFile
            self._pages = frames.pages
            frames = self._pages
            shapes = [tuple(p.shape) for p in frames]
        elif hasattr(frames, "shape") and hasattr(frames, "ndim"):
            if frames.ndim != 3:
                raise ValueError(f"a stack must have shape (frames, height, width), not {tuple(frames.shape)}")
            shapes = [tuple(frames.shape[1:])] * int(frames.shape[0])
        else:
            shapes = [np.shape(f) for f in frames]
        if not shapes:
            raise ValueError("the stack has no frames")
        for i, s in enumerate(shapes):
            if len(s) != 2:
                raise ValueError(f"frame {i} is not greyscale: shape {s}")
            if s != shapes[0]:
                raise ValueError(f"frames of unequal size: frame {i} is {s[0]}x{s[1]}, "
                                 f"frame 0 is {shapes[0][0]}x{shapes[0][1]}")
        if min(shapes[0]) < 1:
            raise ValueError(f"frames of size {shapes[0][0]}x{shapes[0][1]} hold no pixels")
        self._frames = frames
        self.shape = tuple(int(s) for s in shapes[0])
        self._count = len(shapes)

    def __len__(self):
        return self._count

    def read(self, i):
        """Frame `i` as a C-ordered float64 array of shape (rows, columns)."""
        f = self._frames[i]
        if self._pages is not None:
            f = f.asarray()
        return np.ascontiguousarray(np.asarray(f), dtype=np.float64)

    def mean(self):
        """Mean projection, accumulated one frame at a time."""
        total = np.zeros(self.shape)
        for i in range(len(self)):
            total += self.read(i)
        return total / len(self)


# ------------------------------------------------------------------ executors

class _Inline(concurrent.futures.Executor):
    """Runs each task at submission, on the calling thread."""

    def submit(self, fn, /, *args, **kwargs):
        future = concurrent.futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except BaseException as error:  # handed to the caller through result()
            future.set_exception(error)
        return future


def _workers(executor):
    count = getattr(executor, "_max_workers", None)
    if count is None and callable(getattr(executor, "nthreads", None)):  # dask.distributed.Client
        try:
            count = sum(executor.nthreads().values())
        except Exception:
            count = None
    return max(1, int(count or os.cpu_count() or 1))


class _Runner:
    """Ordered map over an executor with a bounded number of tasks in flight.

    Tasks are pure, and results are combined in frame order on the calling
    thread, so any executor gives the same bits as a serial run. The bound keeps
    memory at a few frames per worker whatever the stack's length.
    """

    def __init__(self, executor, threads):
        self.owned = None
        if executor is None:
            threads = int(threads) if threads else (os.cpu_count() or 1)
            if threads < 1:
                raise ValueError("threads must be at least 1")
            executor = _Inline() if threads == 1 else concurrent.futures.ThreadPoolExecutor(threads)
            self.owned = executor
        self.executor = executor
        self.window = 2 * _workers(executor)
        # A distributed client names tasks after their arguments by default; a
        # task resubmitted while its twin is being released would come back
        # cancelled, so ask it for fresh names.
        try:
            self.options = {"pure": False} if "pure" in inspect.signature(executor.submit).parameters else {}
        except (TypeError, ValueError):
            self.options = {}

    def share(self, value):
        # A distributed client ships a shared array once instead of with every task.
        scatter = getattr(self.executor, "scatter", None)
        if callable(scatter) and isinstance(value, np.ndarray):
            return scatter(value, broadcast=True, hash=False)
        return value

    def map(self, fn, argument_sets, bar=None):
        pending = deque()
        for args in argument_sets:
            pending.append(self.executor.submit(fn, *args, **self.options))
            if len(pending) >= self.window:
                yield self._take(pending, bar)
        while pending:
            yield self._take(pending, bar)

    @staticmethod
    def _take(pending, bar):
        value = pending.popleft().result()
        if bar is not None:
            bar.update(1)
        return value

    def close(self):
        if self.owned is not None:
            self.owned.shutdown(wait=True)


def _progress(total, desc, enabled):
    return progress_bar(total, desc, enabled)


# ----------------------------------------------------------------- the tasks

def normalized(frame):
    """Frame scaled to zero mean and unit variance (a flat frame is only centred).

    Args:
        frame: a float array; it is not modified.

    Returns:
        A new float array of the frame's shape.
    """
    f = frame - frame.mean()
    spread = f.std()
    if spread > 0:
        f /= spread
    return f


def _residual(target, target_valid, source, matrix):
    warped = _module()._transform(source, matrix)
    valid = geometry.support(matrix, target.shape)
    if target_valid is not None:
        valid &= target_valid
    if not valid.any():
        return float("nan"), warped, valid
    diff = (target - warped)[valid]
    return float(np.mean(diff * diff)), warped, valid


def _register_task(target, target_valid, frame, code, normalize, keep_warped):
    source = normalized(frame) if normalize else frame
    matrix, target_landmarks, source_landmarks = _module()._register(target, source, code)
    residual, warped, valid = _residual(target, target_valid, source, matrix)
    if not keep_warped:
        warped = valid = None
    return matrix, target_landmarks, source_landmarks, residual, warped, valid


def _pair_task(previous, frame, code, normalize):
    if normalize:
        previous, frame = normalized(previous), normalized(frame)
    return _module()._register(previous, frame, code)


def _residual_task(target, frame, matrix, normalize):
    return _residual(target, None, normalized(frame) if normalize else frame, matrix)[0]


def _transform_task(frame, matrix):
    return _module()._transform(frame, matrix)


# ------------------------------------------------------------- registration

def register_stack(frames, family, reference="first", executor=None, progress=True, *,
                   normalize=True, threads=None, rounds=3, channel=None):
    """Register every frame of a stack (frames, rows, columns) to a reference.

    Returns a `StackResult` whose matrices map the reference grid (x = column,
    y = row, origin at the first pixel's centre) to each frame, as
    `alignopt._register` does; `transform_stack` with them brings the frames onto
    the reference grid. Frames are read one at a time and registered in
    parallel; every executor and thread count gives identical results.

    Args:
        frames: the stack, indexed (frame, row, column): a NumPy array or
            memmap, a Dask array, a `tifffile.TiffFile` or a sequence of equal
            2-D arrays, of any real dtype. With `channel` = c, indexed (frame,
            channel, row, column), and channel c is registered;
            `transform_stack` then moves every channel.
        family: "translation", "rigid", "scaled_rotation", "affine" or
            "bilinear", an alias of `geometry.family_code` (euclidean,
            similarity, ...) or its code (2, 3, 4, 6, 8, also as text); see
            `FAMILIES`.
        reference: "first" (frame 0), "previous" (each frame against the one
            before, pairs estimated independently and chained in order), "mean"
            (the mean projection, then `rounds` - 1 re-estimates of it from the
            aligned frames), an integer k (frame k, which gets the identity; 0
            is "first") or a 2-D template array of the frames' shape.
        executor: any `concurrent.futures.Executor`, a
            `dask.distributed.Client` included, to run the registrations on;
            by default a thread pool of `threads` workers.
        progress: show a progress bar on standard error.
        normalize: scale each frame (and the reference) to zero mean and unit
            variance before it is registered; the matrices apply to the
            original frames either way.
        threads: workers of the default thread pool (default: one per core;
            1 runs serially on the calling thread).
        rounds: estimates of the mean reference (``reference="mean"`` only).
        channel: the channel to register a multichannel stack on.

    Returns:
        StackResult: one matrix, landmark pair and residual per frame.

    Raises:
        ValueError: an unknown family or reference, a frame index outside the
            stack, a template of another shape, `rounds` or `threads` below 1,
            frames that do not form a stack (see `Frames`), or frames whose
            pixels are not finite or too large to register (the messages of
            `alignopt._register`).
        MemoryError: memory ran out during a registration.
    """
    code = geometry.family_code(family)
    frames = selection.one_channel(frames, channel)
    stack = Frames(frames)
    index = selection.frame_index(reference, len(stack))
    if index:
        return selection.register_to_frame(
            lambda view: register_stack(view, code, "first", executor, progress, normalize=normalize,
                                        threads=threads, rounds=rounds), frames, index)
    if index == 0:
        reference = "first"
    if isinstance(reference, str):
        mode = reference.strip().lower()
        if mode not in REFERENCES:
            raise ValueError(f"unknown reference {reference!r} (expected one of {', '.join(REFERENCES)} "
                             "or a template array)")
        template = None
    else:
        mode = "array"
        template = np.ascontiguousarray(np.asarray(reference), dtype=np.float64)
        if template.shape != stack.shape:
            raise ValueError(f"the template is {template.shape}, the frames are {stack.shape}")
    if mode == "mean" and int(rounds) < 1:
        raise ValueError("rounds must be at least 1")

    def prepare(image):
        return normalized(image) if normalize else image

    runner = _Runner(executor, threads)
    try:
        if mode == "previous":
            parts = _register_previous(stack, code, normalize, runner, progress)
        elif mode == "first":
            parts = _register_to(stack, code, normalize, runner, progress, prepare(stack.read(0)), first=True)
        elif mode == "array":
            parts = _register_to(stack, code, normalize, runner, progress, prepare(template))
        else:
            parts = _register_mean(stack, code, normalize, runner, progress, int(rounds))
    finally:
        runner.close()
    matrices, target_landmarks, source_landmarks, residuals = parts
    landmarks = np.stack([np.asarray(target_landmarks), np.asarray(source_landmarks)], axis=1)
    info = {"rounds": int(rounds)} if mode == "mean" else {}
    return StackResult(geometry.family_name(code), mode, stack.shape, np.asarray(matrices), landmarks,
                       np.asarray(residuals, dtype=np.float64), bool(normalize), info)


def _register_to(stack, code, normalize, runner, progress, target, target_valid=None, first=False,
                 keep_warped=False, desc="registering", sink=None):
    """Every frame against one prepared target; frame 0 is the identity when it is the target."""
    shared_target = runner.share(target)
    shared_valid = runner.share(target_valid)
    start = 1 if first else 0
    tasks = ((shared_target, shared_valid, stack.read(i), code, normalize, keep_warped)
             for i in range(start, len(stack)))
    matrices, tls, sls, residuals = [], [], [], []
    with _progress(len(stack) - start, desc, progress) as bar:
        for m, tl, sl, r, warped, valid in runner.map(_register_task, tasks, bar):
            matrices.append(m), tls.append(tl), sls.append(sl), residuals.append(r)
            if sink is not None:
                sink(warped, valid)
    if first:
        tl = tls[0] if tls else _landmarks(target, code)
        ident = geometry.identity(code)
        matrices.insert(0, ident), tls.insert(0, tl), sls.insert(0, tl.copy())
        residuals.insert(0, _residual(target, None, target, ident)[0])
    return matrices, tls, sls, residuals


def _landmarks(image, code):
    # The reference landmarks depend only on the size; a single-frame stack
    # has no pair to report them, so ask for them directly.
    return _module()._register(image, image, code)[1]


def _register_previous(stack, code, normalize, runner, progress):
    """Pairs (i-1, i) registered independently, then chained in frame order.

    Affine families compose exactly as 3x3 matrices. Bilinear maps do not
    compose into a bilinear map, so the reference landmarks are carried exactly
    through the chain of pair maps and each frame's matrix is the bilinear map
    through those landmark pairs, the construction the registration itself uses:
    exact at the landmarks, and no fitting error accumulates along the chain.
    """

    def pairs():
        previous = stack.read(0)
        for i in range(1, len(stack)):
            current = stack.read(i)
            yield previous, current, code, normalize
            previous = current

    with _progress(2 * len(stack) - 1, "registering", progress) as bar:
        pair_results = list(runner.map(_pair_task, pairs(), bar))
        if pair_results:
            reference_landmarks = pair_results[0][1]
        else:
            frame0 = stack.read(0)
            reference_landmarks = _landmarks(normalized(frame0) if normalize else frame0, code)
        matrices = [geometry.identity(code)]
        moved = [reference_landmarks.copy()]
        for pair_matrix, _, _ in pair_results:
            points = geometry.apply(pair_matrix, moved[-1])
            if code == 8:
                matrices.append(geometry.bilinear_from_landmarks(reference_landmarks, points))
            else:
                matrices.append(geometry.compose(pair_matrix, matrices[-1], code))
                points = geometry.apply(matrices[-1], reference_landmarks)
            moved.append(points)

        # Residuals against the first frame, like the other modes, in a second pass.
        frame0 = stack.read(0)
        target = runner.share(normalized(frame0) if normalize else frame0)
        tasks = ((target, stack.read(i), matrices[i], normalize) for i in range(len(stack)))
        residuals = list(runner.map(_residual_task, tasks, bar))
    return matrices, [reference_landmarks] * len(stack), moved, residuals


def _register_mean(stack, code, normalize, runner, progress, rounds):
    """Register to the mean projection, re-estimated from the aligned frames."""
    template = np.zeros(stack.shape)
    for i in range(len(stack)):
        template += normalized(stack.read(i)) if normalize else stack.read(i)
    template /= len(stack)
    valid = np.ones(stack.shape, dtype=bool)
    for round_index in range(rounds):
        last = round_index == rounds - 1
        total = np.zeros(stack.shape)
        count = np.zeros(stack.shape)

        def accumulate(warped, covered):
            if covered is not None:
                total[covered] += warped[covered]
                count[covered] += 1

        parts = _register_to(stack, code, normalize, runner, progress, template, target_valid=valid,
                             keep_warped=not last, desc=f"registering (round {round_index + 1}/{rounds})",
                             sink=accumulate)
        if not last:
            valid = count > 0
            template = np.where(valid, total / np.maximum(count, 1), 0.0)
    return parts


# ---------------------------------------------------------------- resampling

def transform_stack(frames, matrices, out=None, executor=None, progress=False, *, threads=None):
    """Resample each frame onto the reference grid through its matrix.

    Frames are read and written one at a time. Each output pixel (x, y) takes
    the frame's cubic-spline value at the matrix's image of (x, y); pixels that
    fall outside the frame are 0.0.

    Args:
        frames: the stack, indexed (frame, row, column) (as for `Frames`).
            A stack (frame, channel, row, column) has every channel of a frame
            moved through that frame's matrix, into an output of that shape.
        matrices: a `StackResult`, or one matrix per frame in `alignopt`'s
            layout and direction: shape (2,1), (2,3) or (2,4), mapping a
            reference position (x = column, y = row, origin at the first
            pixel's centre) to a frame position; or a scikit-image affine
            transform per frame, read as `skimage.transform.warp` reads it.
        out: any preallocated array of shape (frames, rows, columns), such as a
            memmap or a `tifffile.memmap` output; by default a new float32
            array (every warped value is exactly a float32).
        executor: as for `register_stack`.
        progress: show a progress bar on standard error.
        threads: as for `register_stack`.

    Returns:
        `out`, filled.

    Raises:
        ValueError: a matrix of another shape, a 3x3 array or a matrix whose
            linear part is singular (such as `np.eye(2, 3)`, an OpenCV-layout
            start; see `orvik.maps`), a matrix count that differs
            from the frame count, a `StackResult` estimated on frames of
            another size, an `out` of the wrong shape, or frames that do not
            form a stack.
    """
    frames = selection.from_tiff(frames)
    if getattr(frames, "ndim", None) == 4:
        return selection.transform_channels(transform_stack, frames, matrices, out, executor=executor,
                                            progress=progress, threads=threads)
    stack = Frames(frames)
    estimated = isinstance(matrices, StackResult)
    if estimated:
        if tuple(matrices.shape) != stack.shape:
            raise ValueError(f"the matrices were estimated on {matrices.shape[0]}x{matrices.shape[1]} frames, "
                             f"these are {stack.shape[0]}x{stack.shape[1]}")
        matrices = matrices.matrices
    matrices = maps.as_matrices(matrices, len(stack), stack.shape, estimated=estimated)
    shape = (len(stack),) + stack.shape
    if out is None:
        out = np.empty(shape, dtype=np.float32)
    elif tuple(out.shape) != shape:
        raise ValueError(f"the output has shape {tuple(out.shape)}, expected {shape}")
    runner = _Runner(executor, threads)
    try:
        tasks = ((stack.read(i), matrices[i]) for i in range(len(stack)))
        with _progress(len(stack), "resampling", progress) as bar:
            for i, warped in enumerate(runner.map(_transform_task, tasks, bar)):
                out[i] = warped
    finally:
        runner.close()
    if hasattr(out, "flush"):
        out.flush()
    return out
