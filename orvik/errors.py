"""The failures the application reports to its user, and how it reports them.

Both the command line and the main job turn a failure into one line on
standard error and an exit status: 2 for settings that make no sense, 1 for
work that could not be done.
"""

import sys

from .io import StackError

PROGRAM = "orvik"


class UsageError(Exception):
    """Settings or a command line that cannot be run (exit status 2)."""


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
