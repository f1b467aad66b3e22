"""Many inputs on one command line: files, folders and glob patterns, and where each one's outputs go.

An INPUT is a stack file, a folder (its .tif, .tiff and .npy files, in name
order, not its subfolders) or a glob pattern (`'raw/*.tif'`, for shells that
leave it alone). With one file, every output option names a file. With
several inputs (or any folder or pattern) each output option is either a
pattern holding `{name}`, the input's file name without its suffix
(`-o out/{name}_reg.tif`), or a folder, created when missing, that receives
NAME_aligned.tif (the input's suffix), NAME_matrices.json, NAME_report.png
and NAME_frames.csv.
"""

import glob
import os

from . import io
from .errors import UsageError

#: What each output is called in an output folder, after the input's name.
FOLDER_NAMES = {"output": "_aligned{suffix}", "matrices": "_matrices.json", "report": "_report.png",
                "table": "_frames.csv"}
_STACKS = io.TIFF_SUFFIXES + io.NPY_SUFFIXES
_FILES = _STACKS + (".json", ".png", ".csv")


def expand(arguments):
    """The input paths, and whether they count as many (several, or any folder or pattern)."""
    paths, many = [], len(arguments) > 1
    for argument in arguments:
        if os.path.isdir(argument):
            found = sorted(os.path.join(argument, name) for name in os.listdir(argument)
                           if os.path.splitext(name)[1].lower() in _STACKS
                           and os.path.isfile(os.path.join(argument, name)))
            if not found:
                raise UsageError(f"{argument}: no .tif, .tiff or .npy file in the folder")
            paths += found
            many = True
        elif glob.has_magic(argument) and not os.path.exists(argument):
            found = sorted(p for p in glob.glob(argument) if os.path.isfile(p))
            if not found:
                raise UsageError(f"{argument}: no file matches")
            paths += found
            many = True
        else:
            paths.append(argument)
    return paths, many


def name_of(path):
    return os.path.splitext(os.path.basename(path))[0]


def place(value, path, many, role):
    """Where output `role` of input `path` goes, given the option's `value` (None: not asked)."""
    if value is None:
        return None
    if "{name}" in value:
        return value.replace("{name}", name_of(path))
    if many and not os.path.isdir(value) and os.path.splitext(value)[1].lower() in _FILES:
        raise UsageError(f"{value}: with several inputs an output names a folder or a {{name}} pattern, "
                         "not one file")
    if many or os.path.isdir(value):
        suffix = os.path.splitext(path)[1].lower() if role == "output" else ""
        return os.path.join(value, name_of(path) + FOLDER_NAMES[role].format(suffix=suffix))
    return value


def plan(paths, many, **options):
    """One dict of output paths per input (keys: the option names given); UsageError for clashes."""
    plans = [{role: place(value, path, many, role) for role, value in options.items()} for path in paths]
    taken = {}
    for path, outputs in zip(paths, plans):
        for target in outputs.values():
            if target is None:
                continue
            key = os.path.normcase(os.path.abspath(target))
            if taken.get(key) == path:
                raise UsageError(f"two outputs name the same file: {target}")
            if key in taken:
                raise UsageError(f"{taken[key]} and {path} would both write {target}; "
                                 "use {name} in the output names or different input names")
            taken[key] = path
    return plans


def make_folders(outputs):
    """Create the folders the outputs go to."""
    for target in outputs.values():
        if target:
            folder = os.path.dirname(target)
            if folder:
                os.makedirs(folder, exist_ok=True)
