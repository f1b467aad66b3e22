"""The failures the application reports to its user, and how it reports them.

Both the command line and the main job turn a failure into one line on
standard error and an exit status: 2 for settings that make no sense, 1 for
work that could not be done, 130 after Ctrl-C (SIGINT) and 143 after SIGTERM,
the statuses a shell gives a program those signals end. Both signals are
raised as exceptions in the main thread, so every cleanup on the way out runs.
"""

import contextlib
import signal
import sys
import threading

from .io import StackError

PROGRAM = "orvik"
INTERRUPTED = 128 + signal.SIGINT
TERMINATED = 128 + signal.SIGTERM


class UsageError(Exception):
    """Settings or a command line that cannot be run (exit status 2)."""


class Terminated(BaseException):
    """SIGTERM arrived: raised like KeyboardInterrupt, so that it is not taken for a failure of the work."""


def print_failure(message, file=None):
    """One line `orvik: error: ...`, whatever line breaks the message holds."""
    text = " ".join(str(message).split()) or "failed"
    print(f"{PROGRAM}: error: {text}", file=file or sys.stderr)


def run_reporting(work, context=None):
    """Run `work()` and return its status, or report its failure as one line and return 1 or 2.

    `context` (such as the input file of one of many) starts the line when the
    message does not already name it.
    """
    def report(message):
        message = str(message)
        print_failure(f"{context}: {message}" if context and str(context) not in message else message)

    try:
        return work()
    except UsageError as error:
        report(error)
        return 2
    except (StackError, OSError, ValueError, RuntimeError, MemoryError) as error:
        report(error)
        return 1
    except Exception as error:  # still one line for the user, naming what went wrong
        report(f"{type(error).__name__}: {error}")
        return 1


def run_stoppable(work):
    """`run_reporting(work)`, with SIGINT and SIGTERM ending it as exceptions: status 130 or 143."""
    previous = _install_handlers()
    try:
        return run_reporting(work)
    except KeyboardInterrupt:
        print_failure("interrupted")
        return INTERRUPTED
    except Terminated:
        print_failure("terminated")
        return TERMINATED
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


# ----------------------------------------------------------------- signals

_holding = 0
_pending = []


def _raise_for(number):
    if number == signal.SIGINT:
        raise KeyboardInterrupt
    raise Terminated


def _on_signal(number, frame):
    if _holding:
        _pending.append(number)
    else:
        _raise_for(number)


def _install_handlers():
    # Signal handlers belong to the main thread; a signal the caller ignores stays ignored.
    previous = {}
    if threading.current_thread() is not threading.main_thread():
        return previous
    for number in (signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(number)
        if handler is not signal.SIG_IGN:
            previous[number] = signal.SIG_DFL if handler is None else handler
            signal.signal(number, _on_signal)
    return previous


@contextlib.contextmanager
def signals_held(then_raise=True):
    """Hold SIGINT and SIGTERM (as handled by `run_stoppable`) until the block ends.

    Then the first one held is raised, or dropped when `then_raise` is false:
    for a block that completes the work the signal would have stopped.
    """
    global _holding
    _holding += 1
    try:
        yield
    finally:
        _holding -= 1
        if not _holding and _pending:
            number = _pending[0]
            _pending.clear()
            if then_raise:
                _raise_for(number)
