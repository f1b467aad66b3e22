"""Which frames a registration reads: one channel of a multichannel stack, a frame as the reference.

Stacks with channels are indexed (frames, channels, rows, columns); a
registration reads one channel and the resampling moves every channel with
the same maps. These views read lazily, one frame at a time.
"""

import dataclasses

import numpy as np

from .maps import as_matrices
from .result import StackResult


class _ChannelFrames:
    """Frames (frames, rows, columns) of one channel of a (frames, channels, rows, columns) stack."""

    def __init__(self, frames, channel):
        self._frames, self._channel = frames, channel
        self.shape = (frames.shape[0],) + tuple(frames.shape[2:])
        self.ndim = 3
        self.dtype = getattr(frames, "dtype", None)

    def __len__(self):
        return self.shape[0]

    def __getitem__(self, i):
        return self._frames[i, self._channel]


class _Planes:
    """A (frames, channels, rows, columns) stack as frames x channels planes, in frame order."""

    def __init__(self, frames):
        self._frames = frames
        t, c, h, w = (int(s) for s in frames.shape)
        self.channels = c
        self.shape = (t * c, h, w)
        self.ndim = 3

    def __len__(self):
        return self.shape[0]

    def __getitem__(self, j):
        return self._frames[j // self.channels, j % self.channels]

    def __setitem__(self, j, plane):
        self._frames[j // self.channels, j % self.channels] = plane


class _Reordered:
    """Frames read in another order."""

    def __init__(self, frames, order):
        self._frames, self._order = frames, order
        self.shape = (len(order),) + tuple(frames.shape[1:])
        self.ndim = 3

    def __len__(self):
        return len(self._order)

    def __getitem__(self, i):
        return self._frames[self._order[i]]


def from_tiff(frames):
    """A `tifffile.TiffFile` whose pages interleave channels as (frames, channels, rows, columns).

    Its pages alone would read as frames x channels frames; anything else is
    returned as it is.
    """
    if not (hasattr(frames, "pages") and hasattr(frames, "series")) or len(frames.series) != 1:
        return frames
    series = frames.series[0]
    if "C" not in series.axes or series.shape[series.axes.index("C")] < 2:
        return frames
    from . import io, tiffmeta

    try:
        return tiffmeta.open_file(frames.filehandle.path).data
    except io.StackError as error:
        raise ValueError(str(error)) from None


def one_channel(frames, channel):
    """The frames of `channel` of a 4-D stack; `frames` itself when `channel` is None.

    A `tifffile.TiffFile` with channels counts as a 4-D stack. Raises
    ValueError for a channel that the stack does not have, or a channel asked
    of a stack without a channel axis.
    """
    frames = from_tiff(frames)
    if channel is None:
        return frames
    if isinstance(channel, bool) or not isinstance(channel, (int, np.integer)):
        raise ValueError(f"channel must be an integer index, not {channel!r}")
    shape = tuple(getattr(frames, "shape", np.shape(frames)))
    if len(shape) != 4:
        raise ValueError(f"channel {channel} was asked of a stack of shape {shape}; a stack with channels has "
                         "shape (frames, channels, rows, columns)")
    if not 0 <= channel < shape[1]:
        raise ValueError(f"channel {channel} is not a channel of this stack (it has {shape[1]}: 0 to {shape[1] - 1})")
    return _ChannelFrames(frames, int(channel))


def frame_index(reference, count):
    """The frame index `reference` names, or None when it is not an integer.

    An integer must be a frame of the stack, 0 to count - 1; ValueError otherwise.
    """
    if isinstance(reference, bool) or not isinstance(reference, (int, np.integer)):
        return None
    if not 0 <= reference < count:
        raise ValueError(f"reference frame {int(reference)} is not a frame of this stack "
                         f"(it has {count}: 0 to {count - 1})")
    return int(reference)


def register_to_frame(register, frames, index, per_frame=None):
    """`register(frames, per_frame)` against frame `index`, run as "first" on the frames reordered to start there.

    `per_frame` (one item per frame, or None) is reordered with the frames.
    The reference frame keeps the exact identity that frame 0 gets; the
    per-frame arrays and lists of the result come back in the stack's own order.
    """
    count = int(frames.shape[0]) if hasattr(frames, "shape") else len(frames)
    order = [index] + [i for i in range(count) if i != index]
    if hasattr(frames, "shape") and hasattr(frames, "ndim"):
        view = _Reordered(frames, order)
    else:
        view = [frames[i] for i in order]
    result = register(view, None if per_frame is None else [per_frame[i] for i in order])
    back = np.argsort(order)
    for item in dataclasses.fields(result):
        value = getattr(result, item.name)
        if item.name == "shape":
            continue
        if isinstance(value, np.ndarray) and value.ndim >= 1 and len(value) == count:
            setattr(result, item.name, value[back])
        elif isinstance(value, list) and len(value) == count:
            setattr(result, item.name, [value[i] for i in back])
    result.reference = f"frame {index}"
    return result


def transform_channels(transform, frames, matrices, out, **options):
    """Every channel of a (frames, channels, rows, columns) stack through its frame's matrix."""
    t, c, h, w = (int(s) for s in frames.shape)
    estimated = isinstance(matrices, StackResult)
    original = matrices
    if estimated:
        if tuple(matrices.shape) != (h, w):
            raise ValueError(f"the matrices were estimated on {matrices.shape[0]}x{matrices.shape[1]} frames, "
                             f"these are {h}x{w}")
        matrices = matrices.matrices
    matrices = as_matrices(matrices, t, (h, w), estimated=estimated)
    if out is None:
        out = np.empty((t, c, h, w), dtype=np.float32)
    elif tuple(out.shape) != (t, c, h, w):
        raise ValueError(f"the output has shape {tuple(out.shape)}, expected {(t, c, h, w)}")
    planes = out.reshape(t * c, h, w) if isinstance(out, np.ndarray) and out.flags.c_contiguous else _Planes(out)
    if estimated:
        # Still a result, so that its estimates are taken as they are, one per plane.
        repeated = dataclasses.replace(original, matrices=np.repeat(np.asarray(matrices), c, axis=0))
    else:
        repeated = [m for m in matrices for _ in range(c)]
    transform(_Planes(frames), repeated, out=planes, **options)
    return out
