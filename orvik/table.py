"""Per-frame records of a registration and the table a spreadsheet opens.

Columns, one row per frame:

- frame: the frame's index, from 0;
- dx, dy: where the centre of the reference grid lands on the frame, minus
  the centre, in pixels (x = column, y = row, so dy > 0 is down): the frame's
  content moved by (dx, dy) relative to the reference;
- rotation: the rotation of the map at the centre in degrees, positive from
  +x towards +y (clockwise on screen, where y points down);
- scale: the map's area ratio's square root at the centre (1 for rigid maps);
- shear: how far the map takes the x and y axes from perpendicular, degrees;
- residual: the mean squared difference to the reference after alignment;
- score, flag: the registration's per-frame similarity score and suspect
  flag, empty when the result holds none.

A failed estimate gives `nan` in the motion columns.
"""

import csv
import math
from dataclasses import dataclass

import numpy as np

from . import geometry

COLUMNS = ("frame", "dx", "dy", "rotation", "scale", "shear", "residual", "score", "flag")


@dataclass(frozen=True)
class FrameRecord:
    """One frame of a `StackResult`: its matrix and the motion it describes (units as in `COLUMNS`)."""

    frame: int
    matrix: np.ndarray
    landmarks: np.ndarray
    dx: float
    dy: float
    rotation: float
    scale: float
    shear: float
    residual: float
    score: object = None
    flag: object = None

    def as_row(self):
        """The record as a dict keyed by `COLUMNS`."""
        return {name: getattr(self, name) for name in COLUMNS}


def record(result, i):
    """The `FrameRecord` of frame `i` (negative counts from the end); IndexError beyond the stack."""
    n = len(result)
    if isinstance(i, bool) or not isinstance(i, (int, np.integer)):
        raise TypeError(f"frames are indexed by integers, not {type(i).__name__}")
    if not -n <= i < n:
        raise IndexError(f"frame {int(i)} is not in a result of {n} frames")
    i = int(i) % n
    m = result.matrices[i]
    if np.all(np.isfinite(m)):
        dx, dy, rotation, scale = geometry.describe(m, result.shape)
        shear = geometry.shear(m, result.shape)
    else:
        dx = dy = rotation = scale = shear = math.nan
    return FrameRecord(i, m, result.landmarks[i], dx, dy, rotation, scale, shear, float(result.residuals[i]),
                       _item(getattr(result, "scores", None), i), _item(getattr(result, "flags", None), i))


def _item(values, i):
    if values is None:
        return None
    value = values[i]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (np.integer,)):
        return int(value)
    if isinstance(value, (np.floating,)):
        return float(value)
    return value


def rows(result):
    """The table as a list of dicts keyed by `COLUMNS`, one per frame."""
    return [record(result, i).as_row() for i in range(len(result))]


def write_csv(result, path):
    """Write the table as CSV (comma-separated, a header line); empty cells where a value is absent."""
    with open(path, "w", encoding="utf-8", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(COLUMNS)
        for row in rows(result):
            writer.writerow([_cell(row[name]) for name in COLUMNS])


def _cell(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else "nan"
    return value
