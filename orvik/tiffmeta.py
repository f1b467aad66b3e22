"""What a stack file says about its pixels: axes, channels, pixel size, frame interval.

The axes come from the file as tifffile reads them (ImageJ hyperstacks, OME
and tifffile's own "shaped" files), never from a guess at the page count:
a file whose pages interleave channels says so in its metadata, and one that
says nothing is a plain sequence of frames. A stack is then seen as frames
(the time axis), possibly channels (C), rows (Y) and columns (X):

- the time axis is T; a plain sequence (tifffile's I or Q) stands for it;
- a Z axis is depth, not time, and is refused unless `time_axis` names it
  (or another axis) as the one to align along;
- other axes of length 1 are dropped; any other axis is refused.

A .npy file has no axes: (frames, rows, columns), or one 2-D frame.
"""

import logging
import math
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field

import numpy as np

from . import io

log = logging.getLogger("orvik")

_SEQUENCE = "IQ"  # tifffile's letters for a sequence of unknown meaning
_UNITS = {"um": "µm", "micron": "µm", "microns": "µm", "\\u00B5m": "µm", "µm": "µm", "μm": "µm", "nm": "nm",
          "mm": "mm", "cm": "cm", "m": "m"}


@dataclass
class Metadata:
    """What the output should say again: axes of the written stack and its physical sizes.

    `axes` is "TYX" or "TCYX" with the frame letter the input used (T, Z, or a
    sequence letter); `kind` is the input's flavour ("imagej", "ome",
    "shaped", "plain" or "npy"), which the output follows.
    """

    axes: str = "TYX"
    kind: str = "plain"
    pixel_size: tuple = None          # (x, y) in `unit`
    unit: str = None
    frame_interval: float = None      # in `time_unit`
    time_unit: str = None
    file_axes: str = None
    extra: dict = field(default_factory=dict)

    def describe(self):
        """Short text for a log or a summary: axes, pixel size, interval."""
        parts = [f"axes {self.file_axes or self.axes}"]
        if self.pixel_size:
            parts.append(f"pixel {self.pixel_size[0]:g} x {self.pixel_size[1]:g} {self.unit or ''}".rstrip())
        if self.frame_interval:
            parts.append(f"interval {self.frame_interval:g} {self.time_unit or 's'}")
        return ", ".join(parts)

    def to_dict(self):
        return {"axes": self.axes, "file_axes": self.file_axes, "kind": self.kind,
                "pixel_size": list(self.pixel_size) if self.pixel_size else None, "unit": self.unit,
                "frame_interval": self.frame_interval, "time_unit": self.time_unit}


@dataclass
class StackFile:
    """An opened stack: `data` indexed (frames, rows, columns), or (frames, channels, rows, columns)."""

    path: str
    data: object
    metadata: Metadata

    @property
    def channels(self):
        """Number of channels, 0 when the stack has no channel axis."""
        return int(self.data.shape[1]) if len(self.data.shape) == 4 else 0

    @property
    def dtype(self):
        return np.dtype(getattr(self.data, "dtype", np.float64))

    def frames(self, channel=None):
        """The frames to register: `channel` of a multichannel stack (default 0), else the stack itself."""
        from .selection import one_channel

        if not self.channels:
            if channel not in (None, 0):
                raise io.StackError(f"{self.path}: channel {channel} asked, but the stack has no channel axis "
                                    f"({self.metadata.describe()})")
            return self.data
        try:
            return one_channel(self.data, 0 if channel is None else channel)
        except ValueError as error:
            raise io.StackError(f"{self.path}: {error}") from None


def open_file(path, time_axis=None):
    """Open a stack file with its axes and metadata; StackError with a message for the user otherwise."""
    path = str(path)
    if io._suffix(path) in io.TIFF_SUFFIXES and _exists(path):
        try:
            opened = _open_tiff(path, time_axis)
        except io.StackError:
            raise
        except (OSError, ValueError, TypeError, EOFError, KeyError, IndexError) as error:
            raise io.StackError(f"{path}: cannot read the stack ({io._reason(error)})") from None
        if opened is not None:
            return opened
    if time_axis is not None and io._suffix(path) in io.NPY_SUFFIXES:
        raise io.StackError(f"{path}: a .npy stack has no named axes; --time-axis applies to TIFF files")
    kind = "npy" if io._suffix(path) in io.NPY_SUFFIXES else "plain"
    return StackFile(path, io.open_stack(path), Metadata(kind=kind))


def _exists(path):
    import os

    return os.path.isfile(path)


def _open_tiff(path, time_axis):
    """A StackFile for a TIFF with one series of known axes, or None to read it as plain pages."""
    import tifffile

    with tifffile.TiffFile(path) as tiff:
        if len(tiff.series) != 1:
            return None
        series = tiff.series[0]
        axes, shape = series.axes, tuple(series.shape)
        kind = "imagej" if tiff.is_imagej else "ome" if tiff.is_ome else "shaped" if tiff.is_shaped else "plain"
        if "S" in axes or not axes.endswith("YX"):
            return None  # colour or an unusual layout: the plain reader says why it cannot be used
        keep, frame_letter = _choose_axes(path, axes, shape, time_axis)
        metadata = _read_metadata(tiff, kind)
    extra = [a for a in axes[:-2] if a not in keep]
    if frame_letter is None and not extra and "C" not in axes and len(shape) <= 3:
        # frames x rows x columns already: the plain reader serves it as before.
        metadata.axes, metadata.file_axes = "TYX", axes
        return StackFile(path, io.open_stack(path), metadata)
    data = _view(path, axes, shape, keep)
    letter = frame_letter or "T"
    metadata.axes = letter + ("C" if "C" in keep else "") + "YX"
    metadata.file_axes = axes
    if len(data.shape) == len(metadata.axes) - 1:  # no frame axis: one frame
        data = _OneFrame(data)
    log.debug("%s: %s, read as %s", path, metadata.describe(), metadata.axes)
    return StackFile(path, data, metadata)


def _choose_axes(path, axes, shape, time_axis):
    """The axes to keep, in (time, channel) order, and the time axis's letter; StackError for the rest."""
    sizes = dict(zip(axes, shape))
    others = axes[:-2]
    if time_axis is not None:
        time_axis = str(time_axis).strip().upper()
        if len(time_axis) != 1 or time_axis not in others:
            raise io.StackError(f"{path}: no axis {time_axis!r} to align along (axes {axes}, shape "
                                f"{io.shape_text(shape)})")
        if time_axis in "CYX":
            raise io.StackError(f"{path}: the {time_axis} axis cannot be the time axis")
        time = time_axis
    elif "T" in others:
        time = "T"
    elif "Z" in others and sizes["Z"] > 1:
        raise io.StackError(f"{path}: the stack has a Z axis of {sizes['Z']} planes (axes {axes}) and no time "
                            "axis; to align the planes as frames, name Z as the time axis (--time-axis Z)")
    else:
        time = next((a for a in others if a in _SEQUENCE), None)
    keep = ([time] if time else []) + (["C"] if "C" in others and time != "C" else [])
    for a in others:
        if a not in keep and sizes[a] > 1:
            raise io.StackError(f"{path}: the {a} axis ({sizes[a]} long, axes {axes}) is neither the time axis "
                                "nor channels; name the time axis with --time-axis")
    return keep, (time if time and time not in _SEQUENCE else None)


def _view(path, axes, shape, keep):
    """The kept axes then Y, X, read lazily: a memory map when possible, else page by page."""
    import tifffile

    others = axes[:-2]
    index = tuple(slice(None) if a in keep else 0 for a in others)
    reduced = [a for a in others if a in keep]  # the kept axes in file order
    order = [reduced.index(a) for a in keep] + [len(keep), len(keep) + 1]
    try:
        mapped = tifffile.memmap(path, mode="r")
    except (ValueError, OSError):
        mapped = None
    if mapped is not None and tuple(mapped.shape) == shape:
        return np.transpose(mapped[index], order)
    pages = np.arange(int(np.prod(shape[:-2], dtype=np.int64))).reshape(shape[:-2])[index]
    return _PageView(path, np.transpose(pages, order[:-2]), shape[-2:])


class _PageView:
    """Frames (and channels) of a TIFF decoded one page at a time, through a table of page numbers."""

    def __init__(self, path, pages, frame_shape):
        import tifffile

        self._tiff = tifffile.TiffFile(path)
        self._series = self._tiff.series[0]
        self._path = path
        self._pages = pages
        self.shape = tuple(pages.shape) + tuple(frame_shape)
        self.ndim = len(self.shape)
        self.dtype = self._series.dtype
        if len(self._series.pages) != pages.size and pages.size > 1:
            raise io.StackError(f"{path}: the pages do not match the axes the file declares")

    def __len__(self):
        return self.shape[0]

    def __getitem__(self, key):
        chosen = self._pages[key]
        if np.ndim(chosen) == 0:
            return self._read(int(chosen))
        return np.stack([self._read(int(p)) for p in np.ravel(chosen)]).reshape(np.shape(chosen) + self.shape[-2:])

    def _read(self, number):
        try:
            return self._series.pages[number].asarray()
        except Exception as error:  # the codecs raise their own types
            raise io.StackError(f"{self._path}: frame {number} cannot be read ({io._reason(error)})") from None


class _OneFrame:
    """A stack without a frame axis as a stack of one frame."""

    def __init__(self, data):
        self._data = data
        self.shape = (1,) + tuple(data.shape)
        self.ndim = len(self.shape)
        self.dtype = getattr(data, "dtype", None)

    def __len__(self):
        return 1

    def __getitem__(self, key):
        key = key if isinstance(key, tuple) else (key,)
        if key[0] not in (0, -1):
            raise IndexError(key[0])
        rest = key[1:]
        return self._data[rest] if rest else np.asarray(self._data[...] if hasattr(self._data, "__array__")
                                                        else self._data[:])


# ---------------------------------------------------------------- metadata

def _read_metadata(tiff, kind):
    metadata = Metadata(kind=kind)
    try:
        if kind == "ome":
            _read_ome(tiff.ome_metadata, metadata)
        else:
            _read_resolution(tiff.pages[0], metadata)
            if kind == "imagej":
                _read_imagej(tiff.imagej_metadata or {}, metadata, tiff.pages[0])
    except (ValueError, TypeError, KeyError, ElementTree.ParseError, ZeroDivisionError) as error:
        # Metadata we cannot read costs the output its sizes, not the alignment.
        log.warning("%s: cannot read the physical sizes (%s)", tiff.filename, error)
    return metadata


def _read_resolution(page, metadata):
    tags = page.tags
    if "XResolution" not in tags or "YResolution" not in tags:
        return
    rx, ry = (_ratio(tags[name].value) for name in ("XResolution", "YResolution"))
    unit = int(tags["ResolutionUnit"].value) if "ResolutionUnit" in tags else 2
    if not (rx > 0 and ry > 0):
        return
    if unit == 3:      # pixels per centimetre
        metadata.pixel_size, metadata.unit = (1e4 / rx, 1e4 / ry), "µm"
    elif unit == 2 and (rx, ry) != (72.0, 72.0) and (rx, ry) != (1.0, 1.0):  # per inch; 72 dpi is a default
        metadata.pixel_size, metadata.unit = (25400.0 / rx, 25400.0 / ry), "µm"
    elif unit == 1 and (rx, ry) != (1.0, 1.0):
        metadata.pixel_size = (1.0 / rx, 1.0 / ry)


def _ratio(value):
    if isinstance(value, tuple):
        return value[0] / value[1]
    return float(value)


def _read_imagej(values, metadata, page):
    # ImageJ keeps the unit of its resolution tags, whatever ResolutionUnit says, and the
    # frame interval in its description.
    unit = str(values.get("unit", "")).strip()
    if unit and unit not in ("pixel", "pixels") and "XResolution" in page.tags and "YResolution" in page.tags:
        rx, ry = (_ratio(page.tags[name].value) for name in ("XResolution", "YResolution"))
        if rx > 0 and ry > 0:
            metadata.pixel_size, metadata.unit = (1.0 / rx, 1.0 / ry), _UNITS.get(unit, unit)
    if values.get("finterval"):
        metadata.frame_interval = float(values["finterval"])
        metadata.time_unit = str(values.get("tunit", "s")).replace("sec", "s")
    for key in ("spacing", "fps"):
        if key in values:
            metadata.extra[key] = values[key]


def _read_ome(text, metadata):
    root = ElementTree.fromstring(text)
    pixels = next((e for e in root.iter() if e.tag.endswith("}Pixels") or e.tag == "Pixels"), None)
    if pixels is None:
        return
    a = pixels.attrib
    if "PhysicalSizeX" in a and "PhysicalSizeY" in a:
        metadata.pixel_size = (float(a["PhysicalSizeX"]), float(a["PhysicalSizeY"]))
        metadata.unit = _UNITS.get(a.get("PhysicalSizeXUnit", "µm"), a.get("PhysicalSizeXUnit", "µm"))
    if "TimeIncrement" in a:
        metadata.frame_interval = float(a["TimeIncrement"])
        metadata.time_unit = a.get("TimeIncrementUnit", "s")
    if "PhysicalSizeZ" in a:
        metadata.extra["PhysicalSizeZ"] = float(a["PhysicalSizeZ"])


def writer_options(metadata, dtype):
    """tifffile write arguments that keep `metadata` for pixels of `dtype` (None: a plain TIFF)."""
    if metadata is None:
        return {"photometric": "minisblack"}
    dtype = np.dtype(dtype)
    kind = metadata.kind
    axes = metadata.axes
    if kind == "imagej" and (dtype.char not in "BHhf" or not _imagej_axes(axes)):
        log.info("ImageJ cannot hold %s pixels or axes %s: the output is an OME-TIFF", dtype, axes)
        kind = "ome"
    if kind == "ome" and axes[0] not in "TZ":
        axes = "T" + axes[1:]
    if kind == "imagej":
        values = {"axes": axes}
        if metadata.unit:
            values["unit"] = "um" if metadata.unit == "µm" else metadata.unit
        if metadata.frame_interval:
            values["finterval"] = metadata.frame_interval
        for key, value in metadata.extra.items():
            if key in ("spacing", "fps"):
                values[key] = value
        options = {"imagej": True, "metadata": values}
        if metadata.pixel_size:
            options["resolution"] = (1.0 / metadata.pixel_size[0], 1.0 / metadata.pixel_size[1])
        return options
    if kind == "ome":
        values = {"axes": axes}
        if metadata.pixel_size:
            values.update(PhysicalSizeX=metadata.pixel_size[0], PhysicalSizeY=metadata.pixel_size[1])
            if metadata.unit:
                values.update(PhysicalSizeXUnit=metadata.unit, PhysicalSizeYUnit=metadata.unit)
        if metadata.frame_interval:
            values.update(TimeIncrement=metadata.frame_interval, TimeIncrementUnit=metadata.time_unit or "s")
        if "PhysicalSizeZ" in metadata.extra:
            values["PhysicalSizeZ"] = metadata.extra["PhysicalSizeZ"]
        return {"ome": True, "photometric": "minisblack", "metadata": values}
    options = {"photometric": "minisblack", "metadata": {"axes": axes}}
    if metadata.pixel_size and metadata.unit == "µm" and all(math.isfinite(s) and s > 0 for s in metadata.pixel_size):
        options["resolution"] = (1e4 / metadata.pixel_size[0], 1e4 / metadata.pixel_size[1])
        options["resolutionunit"] = "CENTIMETER"
    return options


def _imagej_axes(axes):
    # ImageJ orders its axes T, Z, C, then Y and X.
    positions = ["TZCYX".find(a) for a in axes]
    return all(p >= 0 for p in positions) and positions == sorted(positions)
