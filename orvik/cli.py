"""Command line: `python3 -m orvik align|transform|sample ...`.

Exit status 0 on success, 1 when the work fails (a file that cannot be read or
written, a stack that is not usable), 2 for a command line that makes no sense.
Every failure is one line on standard error.
"""

import argparse
import logging
import os
import sys
import time

import numpy as np

from . import geometry, io
from .result import StackResult
from .stack import REFERENCES, Frames, common_support, register_stack, transform_stack

PROGRAM = "orvik"


class UsageError(Exception):
    """A command line that cannot be run (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    # argparse prints its usage block before the error; one line is enough here.
    def error(self, message):
        raise UsageError(message)


def build_parser():
    parser = _Parser(prog=PROGRAM, description="Align the frames of greyscale image stacks.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    align = commands.add_parser("align", help="register the frames of a stack and write the aligned stack",
                                description="Register every frame of INPUT to a reference and write the "
                                            "frames resampled onto the reference grid.")
    align.add_argument("input", metavar="INPUT", help="stack to align (.tif, .tiff or .npy)")
    align.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                       help="aligned stack to write (.tif, .tiff or .npy; float32)")
    align.add_argument("--family", default="rigid", metavar="FAMILY",
                       help=f"transformation: {', '.join(geometry.FAMILIES)} (default rigid)")
    align.add_argument("--reference", default="first", metavar="REFERENCE",
                       help="first, previous, mean or a template image file (default first)")
    align.add_argument("--rounds", type=int, default=3, help="estimates of the mean reference (default 3)")
    align.add_argument("--no-normalize", dest="normalize", action="store_false",
                       help="register raw intensities instead of zero-mean unit-variance frames")
    _common(align)
    align.add_argument("--matrices", metavar="M.json", help="save the matrices, landmarks and residuals")
    align.add_argument("--report", metavar="R.png", help="save a PNG report")

    apply = commands.add_parser("transform", help="apply saved matrices to another stack",
                                description="Resample the frames of INPUT through matrices saved by "
                                            "'align --matrices', e.g. to align another channel.")
    apply.add_argument("input", metavar="INPUT", help="stack to resample (.tif, .tiff or .npy)")
    apply.add_argument("-m", "--matrices", required=True, metavar="M.json", help="matrices saved by align")
    apply.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="stack to write")
    _common(apply)

    sample = commands.add_parser("sample", help="write a sample stack with a known drift",
                                 description="Cut a stack from a natural image, move it by a known drift "
                                             "and write it with the true matrices.")
    sample.add_argument("output", metavar="FOLDER", help="folder for drift.tif and drift.json")
    sample.add_argument("--frames", type=int, default=12)
    sample.add_argument("--size", type=int, default=256)
    sample.add_argument("--seed", type=int, default=0)
    return parser


def _common(parser):
    parser.add_argument("--threads", type=int, default=None, metavar="N",
                        help="registration threads (default: one per core)")
    parser.add_argument("--crop", action="store_true", help="crop the output to the area valid in every frame")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def main(argv=None):
    # Our own one-line errors say what went wrong; the TIFF reader's log would repeat it.
    logging.getLogger("tifffile").setLevel(logging.CRITICAL)
    try:
        args = build_parser().parse_args(argv)
        return {"align": _align, "transform": _transform, "sample": _sample}[args.command](args)
    except UsageError as error:
        _fail(error)
        return 2
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except (io.StackError, OSError, ValueError, RuntimeError, MemoryError) as error:
        _fail(error)
        return 1
    except Exception as error:  # still one line for the user, naming what went wrong
        _fail(f"{type(error).__name__}: {error}")
        return 1


def _fail(message):
    text = " ".join(str(message).split()) or "failed"
    print(f"{PROGRAM}: error: {text}", file=sys.stderr)


# ----------------------------------------------------------------- commands

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
                rounds=3, crop=False, matrices=None, report=None, progress=True):
    """Align a stack file into `output_path`; returns the result and the one-line summary.

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
    started = time.perf_counter()
    result = register_stack(source, family, template, progress=progress, normalize=normalize, threads=threads,
                            rounds=rounds)
    aligned, cropped = _write_aligned(source, result, output_path, crop, threads, progress)
    elapsed = time.perf_counter() - started
    if matrices:
        result.save(matrices)
    if report:
        from .report import write_report

        write_report(report, result, before=stack.mean(), after=Frames(aligned).mean())
    return result, summary(result, elapsed, output_path, cropped)


def _align(args):
    _, line = align_files(args.input, args.output, args.family, args.reference, threads=args.threads,
                          normalize=args.normalize, rounds=args.rounds, crop=args.crop, matrices=args.matrices,
                          report=args.report, progress=not args.quiet)
    print(line)
    return 0


def _transform(args):
    _check_output(args.input, args.output, args.threads)
    try:
        result = StackResult.load(args.matrices)
    except FileNotFoundError:
        raise io.StackError(f"{args.matrices}: no such file") from None
    except ValueError as error:
        raise io.StackError(f"{args.matrices}: {error}") from None
    source = io.open_stack(args.input)
    stack = Frames(source)
    if len(stack) != len(result):
        raise io.StackError(f"{args.input} has {len(stack)} frames, {args.matrices} has {len(result)} matrices")
    if stack.shape != tuple(result.shape):
        raise io.StackError(f"{args.input} has frames of {io.shape_text(stack.shape)}, "
                            f"the matrices were estimated on {io.shape_text(result.shape)}")
    started = time.perf_counter()
    _, crop = _write_aligned(source, result, args.output, args.crop, args.threads, not args.quiet)
    elapsed = time.perf_counter() - started
    print(f"resampled {len(stack)} frames of {io.shape_text(stack.shape)} in {elapsed:.1f} s -> {args.output}"
          + (f" (cropped to {crop})" if crop else ""))
    return 0


def _write_aligned(source, result, output_path, crop, threads, progress):
    """Resample into the output file frame by frame; a failed run leaves no partial file."""
    n = len(result)
    rows, columns = slice(0, result.shape[0]), slice(0, result.shape[1])
    if crop:
        rows, columns = common_support(result, result.shape)
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


def _sample(args):
    from .sample import write_sample

    if args.frames < 1 or args.size < 8:
        raise UsageError("--frames must be at least 1 and --size at least 8")
    stack_path, truth_path = write_sample(args.output, frames=args.frames, size=args.size, seed=args.seed)
    print(f"wrote a {args.frames}-frame sample of {args.size}x{args.size} with a known drift: "
          f"{stack_path}, {truth_path}")
    return 0
