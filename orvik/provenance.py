"""Where a registration came from: the record saved with its matrices."""

import datetime
import os

from ._version import __version__


def record(input_path, result, *, template=None, output=None, metadata=None, **options):
    """A JSON-ready dict: tool and version, UTC date, absolute paths, family, reference, options, input axes."""
    def where(path):
        return os.path.abspath(str(path)) if path is not None else None

    return {
        "tool": "orvik",
        "version": __version__,
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "input": where(input_path),
        "template": where(template),
        "output": where(output),
        "family": result.family,
        "reference": result.reference,
        "options": {key: value for key, value in options.items()},
        "input_metadata": metadata.to_dict() if metadata is not None else None,
    }
