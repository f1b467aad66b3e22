"""The main job that `kestrun` starts: align a stack and write everything to an output folder.

Settings come from `settings.toml` in the application folder when it exists:

    input = "stack.tif"        # relative paths are relative to the application folder
    output = "output"          # folder for aligned.tif, matrices.json, frames.csv, report.png, summary.txt
    family = "rigid"           # translation, rigid, scaled_rotation, affine, bilinear (or an alias)
    reference = "first"        # first, previous, mean, a frame number ("3") or a template image file
    threads = 2                # default: one per core
    normalize = true
    crop = false
    rounds = 3                 # estimates of the mean reference
    channel = 0                # the channel to register a multichannel stack on (default 0)
    time_axis = "Z"            # the axis to align along when the file has no T axis
    dtype = "float32"          # or "input": the input's pixel type, rounded to nearest and clipped
    compress = "zlib"          # or "lzma"; default none
    mask = "mask.tif"          # a mask of the reference: 0 leaves a pixel out
    search = true              # a global start where the identity start fails

The files land together when the job succeeds, or none does.

Without it the job aligns the sample stack with a known drift that the build
writes to `sample/` (made on the spot if missing) and reports the error of the
recovered drift.
"""

import os
import sys
import tomllib

import numpy as np

from . import atomic, geometry, jobs, sample
from .errors import run_stoppable

DEFAULTS = {
    "input": None,
    "output": "output",
    "family": "rigid",
    "reference": "first",
    "threads": None,
    "normalize": True,
    "crop": False,
    "rounds": 3,
    "channel": None,
    "time_axis": None,
    "dtype": "float32",
    "compress": None,
    "mask": None,
    "search": True,
}
_TYPES = {"input": str, "output": str, "family": str, "reference": str, "threads": int, "normalize": bool,
          "crop": bool, "rounds": int, "channel": int, "time_axis": str, "dtype": str, "compress": str,
          "mask": str, "search": bool}
_KINDS = {str: "a string", int: "an integer", bool: "true or false"}


def load_settings(path):
    """Settings from a TOML file over the defaults; ValueError names a bad or unknown key."""
    with open(path, "rb") as f:
        try:
            given = tomllib.load(f)
        except tomllib.TOMLDecodeError as error:
            raise ValueError(f"{path}: {error}") from None
    unknown = sorted(set(given) - set(DEFAULTS))
    if unknown:
        raise ValueError(f"{path}: unknown setting {unknown[0]!r} (known: {', '.join(DEFAULTS)})")
    for key, value in given.items():
        expected = _TYPES[key]
        if type(value) is not expected:  # bool is an int subclass: be exact
            raise ValueError(f"{path}: {key} must be {_KINDS[expected]}, not {value!r}")
    if given.get("input") is None:
        raise ValueError(f"{path}: the setting 'input' (the stack to align) is missing")
    return {**DEFAULTS, **given}


def run(folder="Orvik", out=sys.stdout):
    """Run the job for the application folder; returns the exit status."""
    return run_stoppable(lambda: _run(folder, out))


def _run(folder, out):
    settings_path = os.path.join(folder, "settings.toml")
    truth = None
    if os.path.exists(settings_path):
        settings = load_settings(settings_path)
    else:
        settings = dict(DEFAULTS)
        sample_dir = os.path.join(folder, "sample")
        stack_path = os.path.join(sample_dir, "drift.tif")
        truth_path = os.path.join(sample_dir, "drift.json")
        if not (os.path.exists(stack_path) and os.path.exists(truth_path)):
            sample.write_sample(sample_dir)
        settings["input"] = os.path.relpath(stack_path, folder)
        truth = sample.read_truth(truth_path)

    def inside(path):
        return path if os.path.isabs(path) else os.path.join(folder, path)

    output = inside(settings["output"])
    os.makedirs(output, exist_ok=True)
    reference = settings["reference"]
    if reference.lower() not in ("first", "previous", "mean") and not reference.strip().isdigit():
        reference = inside(reference)
    files = {name: os.path.join(output, name)
             for name in ("aligned.tif", "matrices.json", "frames.csv", "report.png")}
    summary_path = os.path.join(output, "summary.txt")
    # The summary lands with the other products or not at all.
    with atomic.Outputs(summary_path) as outputs:
        text = _align_and_summarise(settings, inside, reference, files, truth, outputs)
        with open(outputs.path(summary_path), "w", encoding="utf-8") as f:
            f.write(text)
    out.write(text)
    out.flush()
    return 0


def _align_and_summarise(settings, inside, reference, files, truth, outputs):
    # The alignment the settings ask for; returns the text of the summary.
    result, line = jobs.align_files(
        inside(settings["input"]), files["aligned.tif"], settings["family"], reference,
        threads=settings["threads"], normalize=settings["normalize"], rounds=settings["rounds"],
        crop=settings["crop"], matrices=files["matrices.json"], table=files["frames.csv"],
        report=files["report.png"], progress=True, channel=settings["channel"], time_axis=settings["time_axis"],
        dtype=settings["dtype"], compression=settings["compress"],
        mask=settings["mask"] and inside(settings["mask"]), search=settings["search"], outputs=outputs)

    lines = [line]
    if truth is not None:
        if len(truth) != len(result):
            raise ValueError("the sample's drift file does not match its stack")
        errors = sample.drift_error(result.matrices, truth, result.shape)
        motion = np.array([geometry.describe(geometry.from_affine3(t), result.shape) for t in truth])
        lines.append(f"sample with a known drift (shifts up to {np.hypot(motion[:, 0], motion[:, 1]).max():.1f} px, "
                     f"rotations up to {np.abs(motion[:, 2]).max():.2f} deg): error of the recovered drift "
                     f"mean {errors.mean():.3f} px, largest {errors.max():.3f} px (frame {int(errors.argmax())})")
    lines.append(f"wrote {', '.join(files.values())}")
    return "\n".join(lines) + "\n"
