"""Progress of the long stages and the library's log.

On a terminal a stage shows a bar that stays as its final line (frames, time,
rate); elsewhere (a file, a pipe, a notebook's captured output) there is no
bar, only that one line per stage when it ends, so logs hold no carriage
returns. The library logs through the standard `logging` module under the
logger "orvik", and says nothing unless the application configures it.
"""

import logging
import sys
import time

log = logging.getLogger("orvik")
log.addHandler(logging.NullHandler())


def bar(total, desc, enabled=True, file=None):
    """A context manager with `update(n)` for a stage of `total` frames."""
    if not enabled:
        return _Silent()
    stream = file if file is not None else sys.stderr
    if _is_terminal(stream):
        from tqdm import tqdm

        return tqdm(total=total, desc=desc, unit="frame", file=stream, dynamic_ncols=True, leave=True)
    return _StageLine(total, desc, stream)


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or closed
        return False


def stage_line(desc, frames, seconds):
    """`registering: 12 frames in 1.3 s (9.2 frames/s)`."""
    rate = f"{frames / seconds:.1f}" if seconds > 0 else "inf"
    return f"{desc}: {frames} frame{'' if frames == 1 else 's'} in {seconds:.1f} s ({rate} frames/s)"


class _Silent:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n=1):
        pass


class _StageLine(_Silent):
    """One line when the stage ends; nothing when it fails (the error says why)."""

    def __init__(self, total, desc, stream):
        self.total, self.desc, self.stream = total, desc, stream
        self.done = 0
        self.started = time.perf_counter()

    def update(self, n=1):
        self.done += n

    def __exit__(self, kind, error, trace):
        if kind is None:
            print(stage_line(self.desc, self.done, time.perf_counter() - self.started), file=self.stream,
                  flush=True)
        return False


def configure(verbosity):
    """Log to standard error for the command line: -1 quiet (errors only), 0 warnings, 1 verbose (debug)."""
    level = {-1: logging.ERROR, 0: logging.WARNING}.get(verbosity, logging.DEBUG)
    handler = next((h for h in log.handlers if getattr(h, "_orvik_cli", False)), None)
    if handler is None:
        handler = logging.StreamHandler(sys.stderr)
        handler._orvik_cli = True
        handler.setFormatter(logging.Formatter("orvik: %(message)s"))
        log.addHandler(handler)
    handler.stream = sys.stderr
    log.setLevel(level)
    log.propagate = False
