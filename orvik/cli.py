"""Command line: `python3 -m orvik align|transform|sample ...`.

Exit status 0 on success, 1 when the work fails (a file that cannot be read or
written, a stack that is not usable), 2 for a command line that makes no sense.
Every failure is one line on standard error; an alignment with frames flagged
suspect succeeds (status 0) with one warning line there.
"""

import argparse
import logging
import sys

from . import geometry, jobs
from .errors import PROGRAM, UsageError, print_failure, run_reporting


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
    align.add_argument("--mask", metavar="FILE",
                       help="mask of the reference (.tif or .npy, its shape): 0 leaves a pixel out")
    align.add_argument("--no-search", dest="search", action="store_false",
                       help="refine from the identity only, without the global start for large motion")
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

    def work():
        args = build_parser().parse_args(argv)
        return {"align": _align, "transform": _transform, "sample": _sample}[args.command](args)

    try:
        return run_reporting(work)
    except KeyboardInterrupt:
        print_failure("interrupted")
        return 130


# ----------------------------------------------------------------- commands

def _align(args):
    result, line = jobs.align_files(args.input, args.output, args.family, args.reference, threads=args.threads,
                                    normalize=args.normalize, rounds=args.rounds, crop=args.crop,
                                    matrices=args.matrices, report=args.report, progress=not args.quiet,
                                    mask=args.mask, search=args.search)
    print(line)
    warning = jobs.suspect_warning(result)
    if warning:
        print(f"{PROGRAM}: warning: {warning}", file=sys.stderr)
    return 0


def _transform(args):
    print(jobs.transform_files(args.input, args.matrices, args.output, threads=args.threads, crop=args.crop,
                               progress=not args.quiet))
    return 0


def _sample(args):
    from .sample import write_sample

    if args.frames < 1 or args.size < 8:
        raise UsageError("--frames must be at least 1 and --size at least 8")
    stack_path, truth_path = write_sample(args.output, frames=args.frames, size=args.size, seed=args.seed)
    print(f"wrote a {args.frames}-frame sample of {args.size}x{args.size} with a known drift: "
          f"{stack_path}, {truth_path}")
    return 0
