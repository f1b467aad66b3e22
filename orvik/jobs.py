"""The application's jobs on files: align a stack file, resample one through saved matrices.

The command line and the main job are thin layers over these; every problem
with the settings raises `UsageError`, every file that cannot be used
`StackError` (or `OSError`), both with messages meant for the user as they are.
"""

import os
import time

import numpy as np

from . import geometry, io
from .errors import UsageError
from .result import StackResult
from .stack import REFERENCES, Frames, register_stack, transform_stack


def _check_output(input_path, output_path, threads):
    if threads is not None and threads < 1:
        raise UsageError("--threads must be at least 1")
    if os.path.splitext(output_path)[1].lower() not in io.TIFF_SUFFIXES + io.NPY_SUFFIXES:
        raise UsageError(f"{output_path}: unknown output format (expected .tif, .tiff or .npy)")
    if os.path.exists(output_path) and os.path.exists(input_path) and os.path.samefile(input_path, output_path):
        raise UsageError("the output would overwrite the input")


def _reference(text):
    if text.lower() in REFERENCES:
        return text.lower()
    if os.path.splitext(text)[1].lower() in io.TIFF_SUFFIXES + io.NPY_SUFFIXES:
        return io.open_image(text)
    raise UsageError(f"unknown reference {text!r} (expected {', '.join(REFERENCES)} or a template .tif/.npy)")


def align_files(input_path, output_path, family="rigid", reference="first", *, threads=None, normalize=True,
                rounds=3, crop=False, matrices=None, report=None, progress=True, mask=None, search=True):
    """Align a stack file into `output_path`; returns the result and the one-line summary.

    `mask` is the path of a mask image for the reference (0 leaves a pixel
    out); `search` as in `register_stack`.

    Raises UsageError for settings that make no sense and StackError (or OSError)
    for files that cannot be used.
    """
    _check_output(input_path, output_path, threads)
    try:
        family = geometry.family_name(family)
    except ValueError as error:
        raise UsageError(error) from None
    if rounds < 1:
        raise UsageError("--rounds must be at least 1")
    template = _reference(str(reference))
    source = io.open_stack(input_path)
    stack = Frames(source)
    if not isinstance(template, str) and template.shape != stack.shape:
        raise io.StackError(f"{reference}: the template is {io.shape_text(template.shape)}, "
                            f"the frames are {io.shape_text(stack.shape)}")
    reference_mask = None
    if mask:
        reference_mask = io.open_image(mask)
        if reference_mask.shape != stack.shape:
            raise io.StackError(f"{mask}: the mask is {io.shape_text(reference_mask.shape)}, "
                                f"the frames are {io.shape_text(stack.shape)}")
        if not np.isfinite(reference_mask).all() or not reference_mask.any():
            raise io.StackError(f"{mask}: a mask must be finite and keep at least one pixel (non-zero)")
    started = time.perf_counter()
    result = register_stack(source, family, template, progress=progress, normalize=normalize, threads=threads,
                            rounds=rounds, mask=reference_mask, search=search)
    aligned, cropped = _write_aligned(source, result, output_path, crop, threads, progress)
    elapsed = time.perf_counter() - started
    if matrices:
        result.save(matrices)
    if report:
        from .report import write_report

        write_report(report, result, before=stack.mean(), after=Frames(aligned).mean())
    return result, summary(result, elapsed, output_path, cropped)


def transform_files(input_path, matrices_path, output_path, *, threads=None, crop=False, progress=True):
    """Resample a stack file through matrices saved by `align_files`; returns the one-line summary."""
    _check_output(input_path, output_path, threads)
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
    _, cropped = _write_aligned(source, result, output_path, crop, threads, progress)
    elapsed = time.perf_counter() - started
    return (f"resampled {len(stack)} frames of {io.shape_text(stack.shape)} in {elapsed:.1f} s -> {output_path}"
            + (f" (cropped to {cropped})" if cropped else ""))


def _write_aligned(source, result, output_path, crop, threads, progress):
    """Resample into the output file frame by frame; a failed run leaves no partial file."""
    n = len(result)
    rows, columns = slice(0, result.shape[0]), slice(0, result.shape[1])
    if crop:
        rows, columns = geometry.common_support(result, result.shape)
        if rows.stop - rows.start < 1 or columns.stop - columns.start < 1:
            raise io.StackError("no area is valid in every frame: nothing to crop to")
    height, width = rows.stop - rows.start, columns.stop - columns.start
    out = io.create_stack(output_path, (n, height, width))
    try:
        target = _Cropped(out, rows, columns, result.shape) if crop else out
        transform_stack(source, result, out=target, progress=progress, threads=threads)
        out.flush()
    except BaseException:
        _remove(output_path)
        raise
    return out, (f"rows {rows.start}:{rows.stop}, columns {columns.start}:{columns.stop}" if crop else None)


class _Cropped:
    """Write-through view that keeps only the cropped part of each frame."""

    def __init__(self, out, rows, columns, frame_shape):
        self._out, self._rows, self._columns = out, rows, columns
        self.shape = (out.shape[0],) + tuple(frame_shape)

    def __setitem__(self, i, frame):
        self._out[i] = frame[self._rows, self._columns]


def _remove(path):
    try:
        os.remove(path)
    except OSError:
        pass


def suspect_warning(result):
    """The warning line for frames flagged suspect, or None when every frame is ok."""
    suspect = result.suspect_frames()
    if not suspect:
        return None
    shown = ", ".join(str(i) for i in suspect[:10]) + (", ..." if len(suspect) > 10 else "")
    return (f"{len(suspect)} of {len(result)} frames are suspect (frames {shown}): "
            "check them before trusting their alignment")


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
            f"median residual {np.median(residuals) if residuals.size else float('nan'):.4g}; "
            f"{len(result.suspect_frames())} suspect -> {output}")
    return text + (f" (cropped to {crop})" if crop else "")


