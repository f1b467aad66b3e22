"""Command line: `python3 -m orvik align|transform|sample ...`.

Exit status 0 on success, 1 when the work fails (a file that cannot be read or
written, a stack that is not usable), 2 for a command line that makes no sense,
130 after Ctrl-C and 143 after SIGTERM. Every failure is one line on standard
error, and no output file is left half-written; an alignment with frames
flagged suspect succeeds (status 0) with one warning line there.
"""

import argparse
import logging
import sys

from . import geometry, inputs, jobs, progress, writers
from ._version import __version__
from .errors import PROGRAM, UsageError, run_reporting, run_stoppable


class _Parser(argparse.ArgumentParser):
    # argparse prints its usage block before the error; one line is enough here.
    def error(self, message):
        raise UsageError(message)


def build_parser():
    parser = _Parser(prog=PROGRAM, description="Align the frames of image stacks.")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    align = commands.add_parser("align", help="register the frames of stacks and write the aligned stacks",
                                description="Register every frame of each INPUT to a reference and write the "
                                            "frames resampled onto the reference grid.",
                                epilog=_MANY)
    align.add_argument("input", metavar="INPUT", nargs="+",
                       help="stack to align (.tif, .tiff or .npy), a folder of them or a glob pattern")
    align.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                       help="aligned stack to write (.tif, .tiff or .npy), or with many inputs a folder or a "
                            "{name} pattern")
    align.add_argument("--family", default="rigid", metavar="FAMILY",
                       help=f"transformation: {', '.join(geometry.FAMILIES)}, an alias (euclidean, similarity) "
                            "or a code 2, 3, 4, 6, 8 (default rigid)")
    align.add_argument("--reference", default="first", metavar="REFERENCE",
                       help="first, previous, mean, a frame number or a template image file (default first)")
    align.add_argument("--channel", type=int, default=None, metavar="K",
                       help="channel to register a multichannel stack on, from 0 (default 0); every channel is "
                            "moved with the same maps")
    align.add_argument("--rounds", type=int, default=3, help="estimates of the mean reference (default 3)")
    align.add_argument("--no-normalize", dest="normalize", action="store_false",
                       help="register raw intensities instead of zero-mean unit-variance frames")
    align.add_argument("--mask", metavar="FILE",
                       help="mask of the reference (.tif or .npy, its shape): 0 leaves a pixel out")
    align.add_argument("--no-search", dest="search", action="store_false",
                       help="refine from the identity only, without the global start for large motion")
    _common(align)
    align.add_argument("--matrices", metavar="M.json", help="save the matrices, landmarks, residuals and provenance")
    align.add_argument("--table", metavar="T.csv", help="save a per-frame table: shifts, rotation, scale, shear, "
                                                        "residual, score, flag")
    align.add_argument("--report", metavar="R.png", help="save a PNG report")

    apply = commands.add_parser("transform", help="apply saved matrices to other stacks",
                                description="Resample the frames of each INPUT through matrices saved by "
                                            "'align --matrices', e.g. to align another channel.",
                                epilog=_MANY)
    apply.add_argument("input", metavar="INPUT", nargs="+",
                       help="stack to resample (.tif, .tiff or .npy), a folder of them or a glob pattern")
    apply.add_argument("-m", "--matrices", required=True, metavar="M.json",
                       help="matrices saved by align; with many inputs it may be a {name} pattern")
    apply.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                       help="stack to write, or with many inputs a folder or a {name} pattern")
    _common(apply)

    sample = commands.add_parser("sample", help="write a sample stack with a known drift",
                                 description="Cut a stack from a natural image, move it by a known drift "
                                             "and write it with the true matrices.")
    sample.add_argument("output", metavar="FOLDER", help="folder for drift.tif and drift.json")
    sample.add_argument("--frames", type=int, default=12)
    sample.add_argument("--size", type=int, default=256)
    sample.add_argument("--seed", type=int, default=0)
    return parser


_MANY = ("With several inputs, or a folder or a pattern, each output option is a folder (created when missing) "
         "that receives NAME_aligned.tif, NAME_matrices.json, NAME_frames.csv and NAME_report.png, or a pattern "
         "with {name}, the input's name without its suffix. A file that fails is reported and the others go "
         "on; the status is then non-zero.")


def _common(parser):
    parser.add_argument("--time-axis", metavar="AXIS", default=None,
                        help="axis of the file to align along when it has no T axis, e.g. Z")
    parser.add_argument("--dtype", choices=writers.DTYPES, default="float32",
                        help="pixel type of the output: float32 (default, exact) or the input's own "
                             "(rounded to nearest, halves to even, clipped to its range)")
    parser.add_argument("--compress", choices=writers.COMPRESSIONS, default=None,
                        help="compress the output TIFF")
    parser.add_argument("--threads", type=int, default=None, metavar="N",
                        help="registration threads (default: one per core)")
    parser.add_argument("--crop", action="store_true", help="crop the output to the area valid in every frame")
    talk = parser.add_mutually_exclusive_group()
    talk.add_argument("-q", "--quiet", action="store_true", help="no progress and no warnings, errors only")
    talk.add_argument("-v", "--verbose", action="store_true", help="say what is read and written")


def main(argv=None):
    """Run the command line `argv` (default: the process's arguments); returns the exit status."""
    # Our own one-line errors say what went wrong; the TIFF reader's log would repeat it.
    logging.getLogger("tifffile").setLevel(logging.CRITICAL)

    def work():
        args = build_parser().parse_args(argv)
        if args.command != "sample":
            progress.configure(-1 if args.quiet else 1 if args.verbose else 0)
        return {"align": _align, "transform": _transform, "sample": _sample}[args.command](args)

    return run_stoppable(work)


# ----------------------------------------------------------------- commands

def _align(args):
    _check_common(args)
    try:
        geometry.family_code(args.family)
    except ValueError as error:
        raise UsageError(error) from None
    outputs = {"output": args.output, "matrices": args.matrices, "report": args.report, "table": args.table}

    def one(path, places):
        result, line = jobs.align_files(path, places["output"], args.family, args.reference, threads=args.threads,
                                        normalize=args.normalize, rounds=args.rounds, crop=args.crop,
                                        matrices=places["matrices"], report=places["report"],
                                        table=places["table"], progress=not args.quiet, channel=args.channel,
                                        time_axis=args.time_axis, dtype=args.dtype, compression=args.compress,
                                        mask=args.mask, search=args.search)
        warning = jobs.suspect_warning(result)
        if warning:
            print(f"{PROGRAM}: warning: {path}: {warning}", file=sys.stderr)
        return line

    return _each(args.input, outputs, one, "aligned")


def _transform(args):
    _check_common(args)

    def one(path, places):
        matrices = args.matrices.replace("{name}", inputs.name_of(path))
        return jobs.transform_files(path, matrices, places["output"], threads=args.threads, crop=args.crop,
                                    progress=not args.quiet, time_axis=args.time_axis, dtype=args.dtype,
                                    compression=args.compress)

    return _each(args.input, {"output": args.output}, one, "resampled")


def _check_common(args):
    # Settings that are wrong for every input fail once, before any work.
    if args.threads is not None and args.threads < 1:
        raise UsageError("--threads must be at least 1")
    if getattr(args, "rounds", 1) < 1:
        raise UsageError("--rounds must be at least 1")
    if getattr(args, "channel", None) is not None and args.channel < 0:
        raise UsageError("--channel must be 0 or more")


def _each(arguments, outputs, job, verb):
    """Run `job(path, places)` for every input; one summary line each, the worst status at the end."""
    paths, many = inputs.expand(arguments)
    plans = inputs.plan(paths, many, **outputs)
    worst, failed = 0, []
    for path, places in zip(paths, plans):
        def work(path=path, places=places):
            if many:
                inputs.make_folders(places)
            print(job(path, places), flush=True)
            return 0

        status = run_reporting(work, context=path if many else None)
        if status:
            worst = max(worst, status)
            failed.append(path)
    if many:
        print(f"{verb} {len(paths) - len(failed)} of {len(paths)} stacks"
              + (f"; failed: {', '.join(failed)}" if failed else ""), flush=True)
    return worst


def _sample(args):
    from .sample import write_sample

    if args.frames < 1 or args.size < 8:
        raise UsageError("--frames must be at least 1 and --size at least 8")
    stack_path, truth_path = write_sample(args.output, frames=args.frames, size=args.size, seed=args.seed)
    print(f"wrote a {args.frames}-frame sample of {args.size}x{args.size} with a known drift: "
          f"{stack_path}, {truth_path}")
    return 0
