"""Registration and resampling of whole stacks, frame by frame."""

import concurrent.futures
import inspect
import os
from collections import deque

import numpy as np

from . import geometry, maps, selection
from .pair import register_prepared
from .prepared import Prepared, UnusableImage
from .progress import bar as progress_bar
from .result import StackResult
from .verdict import agreement

REFERENCES = ("first", "previous", "mean")
# The least score of a frame that may enter a mean template that is still blurred.
LOOSE = 0.3


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


def _prepare(image, mask, normalize, index, like=None):
    """A frame `Prepared` (in the scale of `like` when lit alike), or None when
    it has no usable pixel; other problems name the frame."""
    try:
        return Prepared(image, mask, normalize, "frame", like)
    except UnusableImage:
        return None
    except ValueError as error:
        raise ValueError(f"frame {index}: {error}") from None


def _register_task(target, frame, mask, code, normalize, search, index, keep_warped=False):
    """One frame (raw, or already `Prepared`) against a prepared target: (PairResult or None, warped, valid)."""
    prepared = frame is None or isinstance(frame, Prepared)  # None: prepared, and found unusable
    source = frame if prepared else _prepare(frame, mask, normalize, index, target)
    result = None
    if source is not None and target is not None:
        try:
            result = register_prepared(target, source, code, None, search, normalize)
        except ValueError:  # too few usable pixels for the family: a frame to flag, not a run to stop
            result = None
    warped = valid = None
    if keep_warped and result is not None and result.score >= LOOSE:
        warped = _module()._transform(source.values, result.matrix)
        valid = geometry.support(result.matrix, frame.shape)
        if source.valid is not None:
            valid &= _module()._transform(source.mask, result.matrix) > 0.5
    return result, warped, valid


def _residual(target, frame, mask, matrix, normalize):
    """The residual of a prepared target and a frame through `matrix`, as the pair results estimate it."""
    source = _prepare(frame, mask, normalize, 0)
    if source is None or target is None:
        return float("nan")
    return agreement(target, source, matrix, local=False).residual


def _transform_task(frame, matrix):
    return _module()._transform(frame, matrix)


class _Outcome:
    """Per-frame lists the modes fill in frame order."""

    def __init__(self, code):
        self.code = code
        self.matrices, self.targets, self.sources, self.residuals, self.scores, self.flags = [], [], [], [], [], []

    def add(self, result, landmarks=None):
        if result is None:  # nothing to register: the identity, flagged
            self.matrices.append(geometry.identity(self.code))
            self.targets.append(landmarks)
            self.sources.append(None if landmarks is None else landmarks.copy())
            self.residuals.append(float("nan"))
            self.scores.append(float("nan"))
            self.flags.append("suspect")
        else:
            self.matrices.append(result.matrix)
            self.targets.append(result.target_landmarks)
            self.sources.append(result.source_landmarks)
            self.residuals.append(result.residual)
            self.scores.append(result.score)
            self.flags.append(result.flag)

    def fill_landmarks(self, shape):
        # Frames that could not be registered carry the reference landmarks unmoved.
        known = next((t for t in self.targets if t is not None), None)
        if known is None:
            known = _landmarks(np.zeros(shape), self.code)
        for i, t in enumerate(self.targets):
            if t is None:
                self.targets[i] = known
                self.sources[i] = geometry.apply(self.matrices[i], known)


# ------------------------------------------------------------- registration

def register_stack(frames, family, reference="first", executor=None, progress=True, *,
                   normalize=True, threads=None, rounds=3, channel=None, mask=None, frame_masks=None,
                   search=True):
    """Register every frame of a stack (frames, rows, columns) to a reference.

    Returns a `StackResult` whose matrices map the reference grid (x = column,
    y = row, origin at the first pixel's centre) to each frame, as
    `alignopt._register` does; `transform_stack` with them brings the frames onto
    the reference grid. Frames are read one at a time and registered in
    parallel; every executor and thread count gives identical results.

    Each frame is registered with `orvik.register` (`search` as there) and
    judged: `scores` and `flags` ("ok" / "suspect") of the result tell which
    frames to trust. A frame with nothing usable (dark, blank, saturated, NaN)
    is flagged suspect and never derails the others: "previous" registers the
    next frame to the last good one, "mean" leaves suspect frames out of the
    template. NaN pixels are left out.

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
            variance before it is registered, and fit gain, offset and
            illumination ramp over the overlap; the matrices apply to the
            original frames either way.
        threads: workers of the default thread pool (default: one per core;
            1 runs serially on the calling thread).
        rounds: estimates of the mean reference (``reference="mean"`` only).
        channel: the channel to register a multichannel stack on.
        mask: the reference's mask (its shape; 0 leaves a pixel out): frame 0
            for "first" and "previous", frame k, the template, or the mean
            projection.
        frame_masks: one mask (or None) per frame.
        search: as for `orvik.register`: a global start where the identity
            start fails the verdict.

    Returns:
        StackResult: one matrix, landmark pair, residual, score and flag per
        frame.

    Raises:
        ValueError: an unknown family or reference, a frame index outside the
            stack, a template of another shape, `rounds` or `threads` below 1,
            frames that do not form a stack (see `Frames`), or frames whose
            pixels are too large to register, or a bad mask; a message about one
            frame names it.
        MemoryError: memory ran out during a registration.
    """
    code = geometry.family_code(family)
    frames = selection.one_channel(frames, channel)
    stack = Frames(frames)
    index = selection.frame_index(reference, len(stack))
    if index:
        return selection.register_to_frame(
            lambda view, masks: register_stack(view, code, "first", executor, progress, normalize=normalize,
                                               threads=threads, rounds=rounds, mask=mask, frame_masks=masks,
                                               search=search), frames, index, frame_masks)
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
    if mask is not None and np.shape(mask) != stack.shape:
        raise ValueError(f"the reference mask is {np.shape(mask)}, the frames are {stack.shape}")
    if frame_masks is not None and len(frame_masks) != len(stack):
        raise ValueError(f"{len(frame_masks)} frame masks for {len(stack)} frames")

    def masks(i):
        own = None if frame_masks is None else frame_masks[i]
        return mask if own is None and i == 0 and mode in ("first", "previous") else own

    settings = (code, normalize, search)
    runner = _Runner(executor, threads)
    try:
        if mode == "previous":
            out = _register_previous(stack, settings, runner, progress, masks)
        elif mode == "first":
            out = _register_to(stack, settings, runner, progress, _prepare(stack.read(0), masks(0), normalize, 0),
                               masks, first=True)
        elif mode == "array":
            try:
                target = Prepared(template, mask, normalize, "template")
            except UnusableImage as error:
                raise ValueError(str(error)) from None
            out = _register_to(stack, settings, runner, progress, target, masks)
        else:
            out = _register_mean(stack, settings, runner, progress, int(rounds), mask, masks)
    finally:
        runner.close()
    out.fill_landmarks(stack.shape)
    landmarks = np.stack([np.asarray(out.targets), np.asarray(out.sources)], axis=1)
    info = {"rounds": int(rounds)} if mode == "mean" else {}
    return StackResult(geometry.family_name(code), mode, stack.shape, np.asarray(out.matrices), landmarks,
                       np.asarray(out.residuals, dtype=np.float64), bool(normalize), info,
                       scores=np.asarray(out.scores, dtype=np.float64), flags=list(out.flags))


def _register_to(stack, settings, runner, progress, target, masks, first=False, keep_warped=False,
                 desc="registering", sink=None):
    """Every frame against one prepared target; frame 0 is the identity when it is the target."""
    code, normalize, search = settings
    shared_target = runner.share(target)
    start = 1 if first else 0
    tasks = ((shared_target, stack.read(i), masks(i), code, normalize, search, i, keep_warped)
             for i in range(start, len(stack)))
    out = _Outcome(code)
    if first:
        out.add(None)
        if target is not None:
            out.flags[0], out.scores[0], out.residuals[0] = "ok", 1.0, 0.0
    with _progress(len(stack) - start, desc, progress) as bar:
        for result, warped, valid in runner.map(_register_task, tasks, bar):
            out.add(result)
            if sink is not None and warped is not None:
                sink(warped, valid, result)
    return out


def _landmarks(image, code):
    # The reference landmarks depend only on the size; a single-frame stack
    # has no pair to report them, so ask for them directly.
    return _module()._register(image, image, code)[1]


def _register_previous(stack, settings, runner, progress, masks):
    """Pairs (i-1, i) registered independently, then chained in frame order.

    A frame whose pair is suspect keeps its estimate, flagged, and is not
    chained through: the next frame is registered again, to the last good
    frame, on the calling thread. Affine families compose exactly as 3x3
    matrices. Bilinear maps do not compose into a bilinear map, so the
    reference landmarks are carried exactly through the chain of pair maps and
    each frame's matrix is the bilinear map through those landmark pairs, the
    construction the registration itself uses: exact at the landmarks, and no
    fitting error accumulates along the chain.
    """
    code, normalize, search = settings

    def pairs():
        # Each frame is prepared once, as the source of its pair and the target
        # of the next; a frame with nothing usable is None, flagged by its task.
        previous = _prepare(stack.read(0), masks(0), normalize, 0)
        for i in range(1, len(stack)):
            current = _prepare(stack.read(i), masks(i), normalize, i, previous)
            yield previous, current, None, code, normalize, search, i
            previous = current

    with _progress(2 * len(stack) - 1, "registering", progress) as bar:
        pair_results = list(runner.map(_register_task, pairs(), bar))
        first_ok = _prepare(stack.read(0), masks(0), normalize, 0) is not None
        good = 0 if first_ok else None  # the last frame the chain may continue from
        chained = [None]  # per frame: (pair result, index of the frame it was registered to)
        for i, (result, _, _) in enumerate(pair_results, start=1):
            if good is not None and good != i - 1:
                target = _prepare(stack.read(good), masks(good), normalize, good)
                result = _register_task(target, stack.read(i), masks(i), code, normalize, search, i)[0]
            chained.append((result, good if good is not None else i - 1))
            if result is not None and result.ok:
                good = i
            elif good is None and _prepare(stack.read(i), masks(i), normalize, i) is not None:
                good = i  # no good frame yet: start the chain afresh from here

        out = _Outcome(code)
        out.add(None)
        if first_ok:
            out.flags[0], out.scores[0] = "ok", 1.0
        reference_landmarks = next((r.target_landmarks for r, _ in chained[1:] if r is not None), None)
        if reference_landmarks is None:
            reference_landmarks = _landmarks(np.zeros(stack.shape), code)
        moved = [reference_landmarks.copy()]
        matrices = [geometry.identity(code)]
        for i in range(1, len(stack)):
            result, j = chained[i]
            if result is None:
                out.add(None)
                points, matrix = moved[j], matrices[j]
            else:
                out.add(result)
                points = geometry.apply(result.matrix, moved[j])
                if code == 8:
                    matrix = geometry.bilinear_from_landmarks(reference_landmarks, points)
                else:
                    matrix = geometry.compose(result.matrix, matrices[j], code)
                    points = geometry.apply(matrix, reference_landmarks)
            matrices.append(matrix)
            moved.append(points)
        out.matrices = matrices
        out.targets = [reference_landmarks] * len(stack)
        out.sources = moved

        # Residuals against the first frame, like the other modes, in a second pass.
        target = runner.share(_prepare(stack.read(0), masks(0), normalize, 0))
        tasks = ((target, stack.read(i), masks(i), matrices[i], normalize) for i in range(len(stack)))
        out.residuals = list(runner.map(_residual, tasks, bar))
    return out


def _register_mean(stack, settings, runner, progress, rounds, mask, masks):
    """Register to the mean projection, re-estimated from the aligned frames that are ok.

    The first template, the mean of frames not yet aligned, is blurred, and
    every frame may score low against it; when fewer than half the frames are
    ok, the next template takes every frame whose score is at least LOOSE
    (frames with nothing usable, dark or blank frames score near 0 or NaN).
    """
    code, normalize, search = settings
    total = np.zeros(stack.shape)
    count = np.zeros(stack.shape)
    for i in range(len(stack)):
        frame = _prepare(stack.read(i), masks(i), normalize, i)
        if frame is not None:
            use = np.ones(stack.shape, dtype=bool) if frame.valid is None else frame.valid
            total[use] += frame.values[use]
            count[use] += 1
    for round_index in range(rounds):
        last = round_index == rounds - 1
        valid = count > 0
        template_mask = valid.astype(np.float64)
        if mask is not None:
            template_mask *= np.asarray(mask, dtype=np.float64) != 0
        try:
            target = Prepared(np.where(valid, total / np.maximum(count, 1), np.nan), template_mask, normalize,
                              "mean projection")
        except UnusableImage:
            target = None
        sums = {"ok": [np.zeros(stack.shape), np.zeros(stack.shape), 0],
                "loose": [np.zeros(stack.shape), np.zeros(stack.shape), 0]}

        def accumulate(warped, covered, result):
            for kind, part in sums.items():
                if result.ok or (kind == "loose" and result.score >= LOOSE):
                    part[0][covered] += warped[covered]
                    part[1][covered] += 1
                    part[2] += 1

        out = _register_to(stack, settings, runner, progress, target, masks, keep_warped=not last,
                           desc=f"registering (round {round_index + 1}/{rounds})", sink=accumulate)
        if not last:
            kind = "ok" if 2 * sums["ok"][2] >= len(stack) else "loose"
            total, count, used = sums[kind]
            if not used:
                break
    return out


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
