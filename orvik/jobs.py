"""The application's jobs on files: align a stack file, resample one through saved matrices.

The command line and the main job are thin layers over these; every problem
with the settings raises `UsageError`, every file that cannot be used
`StackError` (or `OSError`), both with messages meant for the user as they are.
Every output path is checked before the work starts, and the products of a job
land together when it succeeds, or not at all.
"""

import logging
import os
import time

import numpy as np

from . import atomic, geometry, io, provenance, tiffmeta, writers
from .errors import UsageError
from .result import StackResult
from .stack import REFERENCES, Frames, register_stack, transform_stack

log = logging.getLogger("orvik")


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
    if text.strip().isdigit():
        return int(text)  # frame k
    if os.path.splitext(text)[1].lower() in io.TIFF_SUFFIXES + io.NPY_SUFFIXES:
        return io.open_image(text)
    raise UsageError(f"unknown reference {text!r} (expected {', '.join(REFERENCES)}, a frame number "
                     "or a template .tif/.npy)")


def _check_options(output_path, dtype, compression):
    if dtype not in writers.DTYPES:
        raise UsageError(f"unknown --dtype {dtype!r} (expected {' or '.join(writers.DTYPES)})")
    if compression is not None:
        if compression not in writers.COMPRESSIONS:
            raise UsageError(f"unknown --compress {compression!r} (expected {', '.join(writers.COMPRESSIONS)})")
        if os.path.splitext(output_path)[1].lower() not in io.TIFF_SUFFIXES:
            raise UsageError(f"{output_path}: only a TIFF output can be compressed")


def align_files(input_path, output_path, family="rigid", reference="first", *, threads=None, normalize=True,
                rounds=3, crop=False, matrices=None, report=None, progress=True, channel=None, time_axis=None,
                dtype="float32", compression=None, table=None, mask=None, search=True, outputs=None):
    """Align a stack file into `output_path`; returns the result and the one-line summary.

    A stack with channels is registered on `channel` (default 0) and every
    channel is written through the same maps; `time_axis` names the axis to
    align along when the file has no T axis (e.g. "Z"). The output keeps the
    input's axes, pixel size and frame interval; `dtype` "input" keeps its
    pixel type (rounded to nearest, halves to even, clipped to the type's
    range) where "float32" (the default) keeps every warped value exactly;
    `compression` is "zlib" or "lzma" for a TIFF. `matrices` (JSON, with the
    provenance), `table` (CSV, one row per frame) and `report` (PNG) are
    written when given. `mask` is the path of a mask image for the reference
    (0 leaves a pixel out); `search` as in `orvik.register_stack`.

    Every product is written under a temporary name and all are moved into
    place together at the end (or when the caller's `outputs`, an
    `orvik.atomic.Outputs` group, ends), so that nothing lands unless
    everything does. The output paths are checked before anything is
    registered.

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
                               channel=channel, time_axis=time_axis, dtype=dtype, compression=compression,
                               table=table, mask=mask, search=search, outputs=outputs)
    _check_output(input_path, output_path, threads, matrices, report, table)
    _check_options(output_path, dtype, compression)
    try:
        family = geometry.family_name(family)
    except ValueError as error:
        raise UsageError(error) from None
    if rounds < 1:
        raise UsageError("--rounds must be at least 1")
    if channel is not None and channel < 0:
        raise UsageError("--channel must be 0 or more")
    for path in (output_path, matrices, report, table):
        if path:
            outputs.expect(path)
    template = _reference(str(reference))
    opened = tiffmeta.open_file(input_path, time_axis)
    frames = opened.frames(channel)
    stack = Frames(frames)
    log.info("%s: %d frames of %s, %s%s", input_path, len(stack), io.shape_text(stack.shape),
             opened.metadata.describe(),
             f", registered on channel {channel or 0} of {opened.channels}" if opened.channels else "")
    if isinstance(template, int) and template >= len(stack):
        raise io.StackError(f"{input_path}: reference frame {template} is not a frame of this stack "
                            f"(it has {len(stack)}: 0 to {len(stack) - 1})")
    if isinstance(template, np.ndarray) and template.shape != stack.shape:
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
    result = register_stack(frames, family, template, progress=progress, normalize=normalize, threads=threads,
                            rounds=rounds, mask=reference_mask, search=search)
    if isinstance(template, np.ndarray):
        result.reference = "template"
    used_channel = None if not opened.channels else (channel or 0)
    result.provenance = provenance.record(
        input_path, result, template=reference if isinstance(template, np.ndarray) else None, output=output_path,
        metadata=opened.metadata, normalize=bool(normalize), rounds=int(rounds), crop=bool(crop),
        channel=used_channel, time_axis=time_axis, dtype=dtype, compression=compression,
        mask=os.path.abspath(mask) if mask else None, search=bool(search))
    cropped = _write_aligned(opened, result, outputs.path(output_path), crop, threads, progress, dtype,
                             compression)
    elapsed = time.perf_counter() - started
    if matrices:
        result.save(outputs.path(matrices))
        log.info("wrote the matrices to %s", matrices)
    if table:
        result.to_csv(outputs.path(table))
        log.info("wrote the per-frame table to %s", table)
    if report:
        from .report import write_report

        aligned = _read_back(outputs.path(output_path), time_axis, (channel or 0) if opened.channels else None)
        write_report(outputs.path(report), result, before=stack.mean(), after=Frames(aligned).mean(),
                     metadata=opened.metadata, crop=cropped, **_compared(result, template, stack, aligned))
    line = summary(result, elapsed, output_path, cropped and cropped[2])
    if opened.channels:
        line += f" ({opened.channels} channels, registered on channel {used_channel})"
    return result, line


def _read_back(path, time_axis, channel):
    # A .npy output has no axes to say it holds channels, but we wrote it.
    if os.path.splitext(path)[1].lower() in io.NPY_SUFFIXES:
        data = np.load(path, mmap_mode="r")
        return data[:, channel] if channel is not None else data
    return tiffmeta.open_file(path, time_axis).frames(channel)


def _compared(result, template, stack, aligned):
    # The frame that moved most, aligned, against what it was registered to.
    motion = result.describe()
    moved = np.hypot(motion[:, 0], motion[:, 1])
    moved[~np.isfinite(moved)] = -1.0
    frame = int(moved.argmax())
    if isinstance(template, np.ndarray):
        reference = template
    elif isinstance(template, int):
        reference = stack.read(template)
    elif result.reference == "mean":
        reference = None  # the report's own after-mean
    else:
        reference = stack.read(0)
    return {"reference_image": reference, "frame_image": np.asarray(aligned[frame], dtype=np.float64),
            "frame_index": frame}


def transform_files(input_path, matrices_path, output_path, *, threads=None, crop=False, progress=True,
                    time_axis=None, dtype="float32", compression=None):
    """Resample a stack file through matrices saved by `align_files`; returns the one-line summary.

    Every channel of a multichannel stack goes through the same maps; the
    output keeps the input's metadata, `dtype` and `compression` as in
    `align_files`. The output is written under a temporary name and moved
    into place once complete.

    Raises:
        UsageError: settings that make no sense.
        StackError: a stack or matrices file that cannot be used, or that do
            not fit each other.
        OSError: a file that cannot be read or written (checked before any
            frame is resampled where it can be).
    """
    _check_output(input_path, output_path, threads)
    _check_options(output_path, dtype, compression)
    atomic.check_writable(output_path)
    try:
        result = StackResult.load(matrices_path)
    except FileNotFoundError:
        raise io.StackError(f"{matrices_path}: no such file") from None
    except ValueError as error:
        raise io.StackError(f"{matrices_path}: {error}") from None
    opened = tiffmeta.open_file(input_path, time_axis)
    stack = Frames(opened.frames())
    if len(stack) != len(result):
        raise io.StackError(f"{input_path} has {len(stack)} frames, {matrices_path} has {len(result)} matrices")
    if stack.shape != tuple(result.shape):
        raise io.StackError(f"{input_path} has frames of {io.shape_text(stack.shape)}, "
                            f"the matrices were estimated on {io.shape_text(result.shape)}")
    started = time.perf_counter()
    with atomic.Outputs(output_path) as outputs:
        cropped = _write_aligned(opened, result, outputs.path(output_path), crop, threads, progress, dtype,
                                 compression)
    elapsed = time.perf_counter() - started
    channels = f" x {opened.channels} channels" if opened.channels else ""
    return (f"resampled {len(stack)} frames{channels} of {io.shape_text(stack.shape)} in {elapsed:.1f} s "
            f"-> {output_path}" + (f" (cropped to {cropped[2]})" if cropped else ""))


def _write_aligned(opened, result, output_path, crop, threads, progress, dtype="float32", compression=None):
    """Resample every channel into the output file (a temporary one) frame by frame.

    Returns None, or (rows, columns, text) of the crop.
    """
    n = len(result)
    rows, columns = slice(0, result.shape[0]), slice(0, result.shape[1])
    if crop:
        rows, columns = geometry.common_support(result, result.shape)
        if rows.stop - rows.start < 1 or columns.stop - columns.start < 1:
            raise io.StackError("no area is valid in every frame: nothing to crop to")
    height, width = rows.stop - rows.start, columns.stop - columns.start
    shape = (n, opened.channels, height, width) if opened.channels else (n, height, width)
    out_dtype = writers.output_dtype(dtype, opened.dtype)
    out = io.create_stack(output_path, shape, out_dtype, compression=compression, metadata=opened.metadata)
    try:
        target = out if out_dtype == np.float32 else writers.Converting(out)
        if crop:
            target = _Cropped(target, rows, columns, result.shape)
        transform_stack(opened.data, result, out=target, progress=progress, threads=threads)
        out.flush()
    except BaseException:
        if hasattr(out, "close"):
            out.close()  # the caller's output group removes the file
        raise
    if not crop:
        return None
    return rows, columns, f"rows {rows.start}:{rows.stop}, columns {columns.start}:{columns.stop}"


class _Cropped:
    """Write-through view that keeps only the cropped part of each frame."""

    def __init__(self, out, rows, columns, frame_shape):
        self._out, self._rows, self._columns = out, rows, columns
        self.shape = tuple(out.shape[:-2]) + tuple(frame_shape)

    def __setitem__(self, i, frame):
        self._out[i] = frame[..., self._rows, self._columns]


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


