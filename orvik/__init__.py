"""Alignment of image stacks on top of the `alignopt` registration module.

Matrices everywhere follow `alignopt`: two rows (x', y') with the constant term
first, mapping a position on the reference grid (x = column, y = row, origin at
the first pixel's centre) to the position on a frame; stacks are indexed
(frame, row, column).
"""

from ._version import __version__
from . import maps, table
from .convert import (from_ndimage, from_opencv, from_skimage, to_ndimage, to_opencv, to_skimage,
                      to_skimage_transform)
from .geometry import FAMILIES, common_support, largest_rectangle, support_mask
from .pair import PairResult, register
from .result import StackResult
from .stack import REFERENCES, Frames, register_stack, transform_stack

__all__ = [
    "__version__", "FAMILIES", "REFERENCES", "Frames", "PairResult", "StackResult", "common_support",
    "from_ndimage", "from_opencv", "from_skimage", "largest_rectangle", "maps", "register", "register_stack",
    "support_mask", "table", "to_ndimage", "to_opencv", "to_skimage", "to_skimage_transform", "transform_stack",
]
