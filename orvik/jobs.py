"""The application's jobs on files: align a stack file, resample one through saved matrices.

The command line and the main job are thin layers over these; every problem
with the settings raises `UsageError`, every file that cannot be used
`StackError` (or `OSError`), both with messages meant for the user as they are.
Every output path is checked before the work starts, and the products of a job
land together when it succeeds, or not at all.
"""

import os
import time

import numpy as np

from . import atomic, geometry, io
from .errors import UsageError
from .result import StackResult
from .stack import REFERENCES, Frames, register_stack, transform_stack


def _check_output(input_path, output_path, threads, *others):
    if threads is not None and threads < 1:
        raise UsageError("--threads must be at least 1")
    if os.path.splitext(output_path)[1].lower() not in io.TIFF_SUFFIXES + io.NPY_SUFFIXES:
        raise UsageError(f"{output_path}: unknown output format (expected .tif, .tiff or .npy)")
    paths = [output_path, *(p for p in others if p)]
    for path in paths:
        if os.path.exists(path) and os.path.exists(input_path) and os.path.samefile(input_path, path):
            raise UsageError("the output would overwrite the input")
    named = [os.path.realpath(p) for p in paths]
    if len(set(named)) != len(named):
        raise UsageError("two outputs name the same file")


def _reference(text):
    if text.lower() in REFERENCES:
        return text.lower()
    if os.path.splitext(text)[1].lower() in io.TIFF_SUFFIXES + io.NPY_SUFFIXES:
        return io.open_image(text)
    raise UsageError(f"unknown reference {text!r} (expected {', '.join(REFERENCES)} or a template .tif/.npy)")


def align_files(input_path, output_path, family="rigid", reference="first", *, threads=None, normalize=True,
                rounds=3, crop=False, matrices=None, report=None, progress=True, outputs=None):
    """Align a stack file into `output_path`; returns the result and the one-line summary.

    Every product is written under a temporary name and all are moved into
    place together at the end (or when the caller's `outputs` group ends), so
    that nothing lands unless everything does. The output paths are checked
    before anything is registered.

    Args:
        input_path: the stack, a .tif, .tiff or .npy file.
        output_path: the aligned stack to write (float32; .tif, .tiff or .npy).
        family: as for `orvik.register_stack`.
        reference: "first", "previous", "mean" or the path of a template image.
        threads: registration threads (default: one per core).
        normalize: as for `orvik.register_stack`.
        rounds: estimates of a mean reference.
        crop: cut the output to `orvik.common_support`.
        matrices: where to save the `orvik.StackResult` as JSON, or None.
        report: where to write a PNG report, or None.
        progress: show progress bars on standard error.
        outputs: an `orvik.atomic.Outputs` group the products join instead of
            their own, for a caller with products of its own.

    Returns:
        The `orvik.StackResult` and the summary line.

    Raises:
        UsageError: settings that make no sense (an unknown family or
            reference, an output format, an output that names the input).
        StackError: a stack or template that cannot be used.
        OSError: a file that cannot be read or written; `orvik.atomic.OutputError`
            for an output path found unwritable before the work.
    """
    if outputs is None:
        with atomic.Outputs() as outputs:
            return align_files(input_path, output_path, family, reference, threads=threads, normalize=normalize,
                               rounds=rounds, crop=crop, matrices=matrices, report=report, progress=progress,
                               outputs=outputs)
    _check_output(input_path, output_path, threads, matrices, report)
    try:
        family = geometry.family_name(family)
    except ValueError as error:
        raise UsageError(error) from None
    if rounds < 1:
        raise UsageError("--rounds must be at least 1")
    for path in (output_path, matrices, report):
        if path:
            outputs.expect(path)
    template = _reference(str(reference))
    source = io.open_stack(input_path)
    stack = Frames(source)
    if not isinstance(template, str) and template.shape != stack.shape:
        raise io.StackError(f"{reference}: the template is {io.shape_text(template.shape)}, "
                            f"the frames are {io.shape_text(stack.shape)}")
    started = time.perf_counter()
    result = register_stack(source, family, template, progress=progress, normalize=normalize, threads=threads,
                            rounds=rounds)
    aligned, cropped = _write_aligned(source, result, outputs.path(output_path), crop, threads, progress)
    elapsed = time.perf_counter() - started
    if matrices:
        result.save(outputs.path(matrices))
    if report:
        from .report import write_report

        write_report(outputs.path(report), result, before=stack.mean(), after=Frames(aligned).mean())
    del aligned  # unmapped before it is moved into place
    return result, summary(result, elapsed, output_path, cropped)


def transform_files(input_path, matrices_path, output_path, *, threads=None, crop=False, progress=True):
    """Resample a stack file through matrices saved by `align_files`; returns the one-line summary.

    The output is written under a temporary name and moved into place once
    complete.

    Args:
        input_path: the stack to resample (.tif, .tiff or .npy), of the frame
            count and size the matrices were estimated on.
        matrices_path: a JSON file written by `orvik.StackResult.save`.
        output_path: the stack to write (float32; .tif, .tiff or .npy).
        threads: resampling threads (default: one per core).
        crop: cut the output to `orvik.common_support`.
        progress: show a progress bar on standard error.

    Raises:
        UsageError: settings that make no sense.
        StackError: a stack or matrices file that cannot be used, or that do
            not fit each other.
        OSError: a file that cannot be read or written (checked before any
            frame is resampled where it can be).
    """
    _check_output(input_path, output_path, threads)
    atomic.check_writable(output_path)
    try:
        result = StackResult.load(matrices_path)
    except FileNotFoundError:
        raise io.StackError(f"{matrices_path}: no such file") from None
    except ValueError as error:
        raise io.StackError(f"{matrices_path}: {error}") from None
    source = io.open_stack(input_path)
    stack = Frames(source)
    if len(stack) != len(result):
        raise io.StackError(f"{input_path} has {len(stack)} frames, {matrices_path} has {len(result)} matrices")
    if stack.shape != tuple(result.shape):
        raise io.StackError(f"{input_path} has frames of {io.shape_text(stack.shape)}, "
                            f"the matrices were estimated on {io.shape_text(result.shape)}")
    started = time.perf_counter()
    with atomic.Outputs(output_path) as outputs:
        aligned, cropped = _write_aligned(source, result, outputs.path(output_path), crop, threads, progress)
        del aligned  # unmapped before it is moved into place
    elapsed = time.perf_counter() - started
    return (f"resampled {len(stack)} frames of {io.shape_text(stack.shape)} in {elapsed:.1f} s -> {output_path}"
            + (f" (cropped to {cropped})" if cropped else ""))


def _write_aligned(source, result, output_path, crop, threads, progress):
    """Resample into the output file frame by frame; returns the file's memmap and the crop's text."""
    n = len(result)
    rows, columns = slice(0, result.shape[0]), slice(0, result.shape[1])
    if crop:
        rows, columns = geometry.common_support(result, result.shape)
        if rows.stop - rows.start < 1 or columns.stop - columns.start < 1:
            raise io.StackError("no area is valid in every frame: nothing to crop to")
    height, width = rows.stop - rows.start, columns.stop - columns.start
    out = io.create_stack(output_path, (n, height, width))
    target = _Cropped(out, rows, columns, result.shape) if crop else out
    transform_stack(source, result, out=target, progress=progress, threads=threads)
    out.flush()
    return out, (f"rows {rows.start}:{rows.stop}, columns {columns.start}:{columns.stop}" if crop else None)


class _Cropped:
    """Write-through view that keeps only the cropped part of each frame."""

    def __init__(self, out, rows, columns, frame_shape):
        self._out, self._rows, self._columns = out, rows, columns
        self.shape = (out.shape[0],) + tuple(frame_shape)

    def __setitem__(self, i, frame):
        self._out[i] = frame[self._rows, self._columns]


def summary(result, elapsed, output, crop=None):
    """The one-line account of an alignment."""
    motion = result.describe()
    shifts = np.hypot(motion[:, 0], motion[:, 1])
    residuals = result.residuals[np.isfinite(result.residuals)]
    h, w = result.shape
    rate = len(result) / elapsed if elapsed > 0 else float("inf")
    text = (f"aligned {len(result)} frames of {h}x{w} ({result.family}, reference {result.reference}) "
            f"in {elapsed:.1f} s ({rate:.1f} frames/s); largest shift {shifts.max():.2f} px, "
            f"largest rotation {np.abs(motion[:, 2]).max():.2f} deg; "
            f"median residual {np.median(residuals) if residuals.size else float('nan'):.4g} -> {output}")
    return text + (f" (cropped to {crop})" if crop else "")


