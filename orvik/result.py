"""The outcome of a stack registration and its JSON form."""

import json
import math
from dataclasses import dataclass, field

import numpy as np

from . import geometry, table

FORMAT = "orvik-stack-registration"
VERSION = 1


@dataclass
class StackResult:
    """Per-frame maps from the reference grid to each frame.

    `matrices[i]` maps a reference position (x = column, y = row, origin at the
    first pixel's centre) to frame i, as `alignopt._register` returns it;
    `landmarks[i, 0]` are the reference landmarks and `landmarks[i, 1]` where
    they land on frame i; `residuals[i]` is the mean squared difference between
    the reference and the aligned frame over the area valid in both, in the
    intensities that were registered (unit variance when `normalize` is on),
    estimated on a grid of about 4096 points (NaN for a frame with nothing
    usable); `scores[i]` is the verdict's agreement score in [-1, 1] (NaN when
    there is nothing to judge) and `flags[i]` "ok" or "suspect". Files written
    before the verdict existed load with both None. `provenance` says where
    the result came from (tool version, input and template paths, options,
    date); it is empty for results made in memory.

    `result[i]` is frame i's `table.FrameRecord` (matrix, landmarks, shift,
    rotation, scale, shear, residual, score, flag), and iterating gives them
    in frame order; `to_table()` and `to_csv(path)` give the same as a table.

    Attributes:
        family: the family's name (a key of `FAMILIES`).
        reference: "first", "previous", "mean", "frame k", "template" (a
            template file) or "array" (a template array).
        shape: the frame shape (rows, columns) the matrices were estimated on.
        matrices: float array (frames, 2, 1), (frames, 2, 3) or (frames, 2, 4).
        landmarks: float array (frames, 2, landmarks, 2) of (x, y) positions.
        residuals: float array (frames,); NaN where no pixel was compared.
        normalize: whether frames were scaled to zero mean and unit variance.
        info: further details, such as the rounds of a mean reference.
        provenance: tool version, input and template paths, options and date.
        scores: float array (frames,) of verdict scores, or None.
        flags: list of "ok" or "suspect" per frame, or None.
    """

    family: str
    reference: str
    shape: tuple
    matrices: np.ndarray
    landmarks: np.ndarray
    residuals: np.ndarray
    normalize: bool = True
    info: dict = field(default_factory=dict)
    provenance: dict = field(default_factory=dict)
    scores: np.ndarray = None
    flags: list = None

    def __len__(self):
        return len(self.matrices)

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [table.record(self, k) for k in range(len(self))[i]]
        return table.record(self, i)

    def __iter__(self):
        return (table.record(self, i) for i in range(len(self)))

    def to_table(self):
        """One dict per frame with the columns of `table.COLUMNS` (see `orvik.table` for units)."""
        return table.rows(self)

    def to_csv(self, path):
        """Write `to_table()` as a CSV file a spreadsheet opens."""
        table.write_csv(self, path)

    @property
    def code(self):
        """The family's code for `alignopt._register` (2, 3, 4, 6 or 8)."""
        return geometry.family_code(self.family)

    def describe(self):
        """Array (frames, 4): centre shift dx, dy in pixels, rotation in degrees, scale.

        The shift is where each matrix moves the frame centre; rotation and
        scale come from the map's Jacobian there (a bilinear map is described
        by its local behaviour at the centre).
        """
        return np.array([geometry.describe(m, self.shape) for m in self.matrices]).reshape(-1, 4)

    def suspect_frames(self):
        """Indices of the frames flagged suspect (none when the result has no flags)."""
        return [i for i, f in enumerate(self.flags or ()) if f != "ok"]

    def common_support(self):
        """Slices (rows, columns) of the largest rectangle valid in every aligned frame.

        `aligned[:, rows, columns]` holds no padding; see `common_support`.
        """
        return geometry.common_support(self.matrices, self.shape)

    def to_dict(self):
        """The JSON-ready form `save` writes: plain lists and numbers, NaN as None."""
        return {
            "format": FORMAT,
            "version": VERSION,
            "family": self.family,
            "reference": self.reference,
            "shape": [int(s) for s in self.shape],
            "normalize": bool(self.normalize),
            "matrices": _encode(self.matrices),
            "landmarks": _encode(self.landmarks),
            "residuals": _encode(self.residuals),
            "info": self.info,
            **({"provenance": self.provenance} if self.provenance else {}),
            **({} if self.scores is None else {"scores": _encode(self.scores)}),
            **({} if self.flags is None else {"flags": [str(f) for f in self.flags]}),
        }

    @classmethod
    def from_dict(cls, data):
        """The result from the form `to_dict` gives.

        Raises:
            ValueError: `data` is not a stack registration of this version, or
                is incomplete or inconsistent.
        """
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise ValueError("not a stack registration file")
        if data.get("version") != VERSION:
            raise ValueError(f"unsupported stack registration version {data.get('version')!r}")
        try:
            family = geometry.family_name(data["family"])
            matrices = _decode(data["matrices"])
            landmarks = _decode(data["landmarks"])
            residuals = _decode(data["residuals"])
            shape = tuple(int(s) for s in data["shape"])
        except (KeyError, TypeError) as error:
            raise ValueError(f"incomplete stack registration file ({error})") from None
        scores = _decode(data.get("scores"))
        flags = data.get("flags")
        n = len(matrices)
        if scores is not None and scores.shape != (n,) or flags is not None and (
                not isinstance(flags, list) or len(flags) != n or any(f not in ("ok", "suspect") for f in flags)):
            raise ValueError("inconsistent stack registration file")
        columns = geometry.identity(family).shape[1]
        if matrices.shape != (n, 2, columns) or len(landmarks) != n or residuals.shape != (n,) or len(shape) != 2:
            raise ValueError("inconsistent stack registration file")
        return cls(family, str(data["reference"]), shape, matrices, landmarks, residuals,
                   bool(data.get("normalize", True)), dict(data.get("info", {})),
                   dict(data.get("provenance") or {}), scores, flags)

    def save(self, path):
        """Write the result as JSON; floats round-trip exactly, NaN is stored as null.

        Args:
            path: the file to write (replaced when it exists).

        Raises:
            OSError: the file cannot be written.
        """
        with open(path, "w", encoding="utf-8") as f:
            json.dump(self.to_dict(), f, indent=1, allow_nan=False)
            f.write("\n")

    @classmethod
    def load(cls, path):
        """Read a result written by `save`.

        Args:
            path: the JSON file.

        Raises:
            OSError: the file cannot be read (FileNotFoundError when missing).
            ValueError: the file is not JSON or not a stack registration
                (see `from_dict`).
        """
        with open(path, encoding="utf-8") as f:
            try:
                data = json.load(f)
            except json.JSONDecodeError as error:
                raise ValueError(f"not a JSON file ({error})") from None
        return cls.from_dict(data)


def _encode(array):
    # Strict JSON has no NaN; a failed estimate must still survive the trip.
    def clean(v):
        if isinstance(v, list):
            return [clean(x) for x in v]
        return v if math.isfinite(v) else None

    return clean(np.asarray(array, dtype=np.float64).tolist())


def _decode(value):
    return np.array(value, dtype=np.float64) if value is not None else None
