"""Output stacks: warped pixels stored in the output type, and compressed TIFFs written page by page.

Warped values are floats; an integer output type takes the nearest integer
(halves to even, as `numpy.rint` does) clipped to the type's range, so a
16-bit input comes back as 16-bit with no wrap-around at the edges of the
range; a float type takes the value as the nearest number of that type,
clipped to its finite range.
"""

import queue
import threading

import numpy as np

#: Compression schemes that Debian's tifffile writes without extra codecs.
COMPRESSIONS = ("zlib", "lzma")
#: Output pixel types a user can choose: the input's own, or float32 (exact for every warped value).
DTYPES = ("float32", "input")


def output_dtype(choice, input_dtype):
    """The output pixel type for `choice` ("float32" or "input")."""
    if choice in (None, "float32"):
        return np.dtype(np.float32)
    if choice == "input":
        dtype = np.dtype(input_dtype)
        return np.dtype(np.uint8) if dtype.kind == "b" else dtype
    raise ValueError(f"unknown output type {choice!r} (expected {' or '.join(DTYPES)})")


def convert(frame, dtype):
    """`frame` in `dtype`: integers rounded to nearest (halves to even) and clipped to the range."""
    dtype = np.dtype(dtype)
    if frame.dtype == dtype:
        return frame
    if dtype.kind in "ui":
        limits = np.iinfo(dtype)
        return np.clip(np.rint(frame), limits.min, limits.max).astype(dtype)
    limits = np.finfo(dtype)
    return np.clip(frame, limits.min, limits.max).astype(dtype)


class Converting:
    """Write-through view that stores each frame in the output's type."""

    def __init__(self, out):
        self._out = out
        self.shape = tuple(out.shape)
        self.dtype = np.dtype(out.dtype)

    def __setitem__(self, i, frame):
        self._out[i] = convert(np.asarray(frame), self.dtype)

    def flush(self):
        self._out.flush()


class StreamedTiff:
    """A TIFF written page by page in order, for writers (compression) that cannot map the file.

    Frames are assigned by index, in order, and each is handed to tifffile's
    writer on a thread of its own through a short queue, so at most a few
    frames wait in memory. `flush()` finishes the file; `close()` abandons it.
    """

    def __init__(self, path, shape, dtype, options):
        import tifffile

        self.shape = tuple(shape)
        self.dtype = np.dtype(dtype)
        self._planes = int(np.prod(self.shape[:-2], dtype=np.int64))
        self._next = 0
        self._queue = queue.Queue(maxsize=4)
        self._error = None
        self._done = False

        def planes():
            for _ in range(self._planes):
                plane = self._queue.get()
                if plane is None:
                    raise _Abandoned()
                yield plane

        def write():
            try:
                tifffile.imwrite(path, planes(), shape=self.shape, dtype=self.dtype, **options)
            except BaseException as error:  # handed to the caller at its next call
                self._error = error
                self._drain()

        self._thread = threading.Thread(target=write, name="orvik-tiff-writer", daemon=True)
        self._thread.start()

    def __setitem__(self, index, value):
        value = np.asarray(value)
        flat = index if len(self.shape) == 3 else None
        if len(self.shape) == 4:
            index = index if isinstance(index, tuple) else (index,)
            if len(index) == 2:
                flat = index[0] * self.shape[1] + index[1]
            else:
                for c in range(self.shape[1]):
                    self[index[0], c] = value[c]
                return
        if flat != self._next:
            raise ValueError(f"a streamed TIFF takes its frames in order: {flat} came after {self._next - 1}")
        self._raise()
        self._put(value.astype(self.dtype, copy=False))
        self._next += 1

    def _put(self, item):
        while True:
            try:
                self._queue.put(item, timeout=0.2)
                return
            except queue.Full:
                self._raise()
                if not self._thread.is_alive():
                    return

    def _drain(self):
        try:
            while True:
                self._queue.get_nowait()
        except queue.Empty:
            pass

    def _raise(self):
        if self._error is not None and not isinstance(self._error, _Abandoned):
            error, self._error = self._error, _Abandoned()
            raise error

    def flush(self):
        """Wait until every page is written; raises what the writer met."""
        if self._done:
            return
        if self._next != self._planes:
            raise ValueError(f"{self._next} of {self._planes} frames were written")
        self._thread.join()
        self._done = True
        self._raise()

    def close(self):
        """Stop the writer without finishing the file (after a failure)."""
        if not self._done and self._thread.is_alive():
            self._put(None)
            self._thread.join()
        self._done = True


class _Abandoned(Exception):
    pass
