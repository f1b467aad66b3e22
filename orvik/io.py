"""Stacks on disk: TIFF and .npy, opened lazily and written frame by frame."""

import os

import numpy as np

TIFF_SUFFIXES = (".tif", ".tiff")
NPY_SUFFIXES = (".npy",)


class StackError(Exception):
    """A stack that cannot be used; the message is meant for the user as is."""


def _suffix(path):
    return os.path.splitext(str(path))[1].lower()


def open_stack(path):
    """Open a greyscale stack (frames, rows, columns) without reading its pixels.

    Uncompressed TIFFs and .npy files are memory-mapped; other TIFFs are read
    page by page. A single 2-D image is a stack of one frame.
    """
    path = str(path)
    suffix = _suffix(path)
    if suffix not in TIFF_SUFFIXES + NPY_SUFFIXES:
        raise StackError(f"{path}: unknown stack format (expected .tif, .tiff or .npy)")
    if not os.path.exists(path):
        raise StackError(f"{path}: no such file")
    if os.path.isdir(path):
        raise StackError(f"{path}: is a directory")
    try:
        stack = _open_npy(path) if suffix in NPY_SUFFIXES else _open_tiff(path)
    except StackError:
        raise
    except (OSError, ValueError, TypeError, EOFError, KeyError, IndexError) as error:
        raise StackError(f"{path}: cannot read the stack ({_reason(error)})") from None
    return _check(path, stack)


def _reason(error):
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


def _open_npy(path):
    return np.load(path, mmap_mode="r", allow_pickle=False)


def _open_tiff(path):
    import tifffile

    tiff = tifffile.TiffFile(path)
    series = tiff.series
    if not series:
        raise StackError(f"{path}: cannot read the stack (no image in the TIFF)")
    if "S" in series[0].axes:
        raise StackError(f"{path}: not a greyscale stack (colour samples, shape {shape_text(series[0].shape)})")
    if len(series) > 1:
        shapes = [tuple(p.shape) for p in tiff.pages]
        other = next((s for s in shapes if s != shapes[0]), None)
        if other is not None:
            raise StackError(f"{path}: frames of unequal size ({shape_text(shapes[0])} and {shape_text(other)})")
        return _TiffPages(tiff)
    if len(series[0].shape) > 3:
        raise StackError(f"{path}: not a greyscale stack (axes {series[0].axes}, shape {shape_text(series[0].shape)})")
    try:
        stack = tifffile.memmap(path, mode="r")
    except (ValueError, OSError):
        return _TiffPages(tiff)  # compressed or scattered: decode page by page
    tiff.close()
    return stack


def shape_text(shape):
    return "x".join(str(s) for s in shape)


class _TiffPages:
    """Pages of a TIFF as a frame-indexable stack, decoded on demand."""

    def __init__(self, tiff):
        self._tiff = tiff
        self._path = tiff.filename
        self._pages = list(tiff.pages)
        first = self._pages[0].shape
        self.shape = (len(self._pages),) + tuple(first)
        self.ndim = len(self.shape)
        self.dtype = self._pages[0].dtype

    def __len__(self):
        return len(self._pages)

    def __getitem__(self, i):
        try:
            return self._pages[i].asarray()
        except Exception as error:  # the codecs raise their own types
            raise StackError(f"{self._path}: frame {i} cannot be read ({_reason(error)})") from None


def _check(path, stack):
    shape = tuple(stack.shape)
    dtype = np.dtype(getattr(stack, "dtype", np.float64))
    if dtype.kind not in "biuf":
        raise StackError(f"{path}: pixels of type {dtype} are not greyscale intensities")
    if len(shape) == 2:
        stack = stack[np.newaxis]
        shape = (1,) + shape
    if len(shape) == 3 and shape[2] in (3, 4) and path.lower().endswith(NPY_SUFFIXES):
        raise StackError(f"{path}: not a greyscale stack (shape {shape_text(shape)} looks like colour)")
    if len(shape) != 3:
        raise StackError(f"{path}: not a greyscale stack (shape {shape_text(shape)}; expected frames x rows x columns)")
    if shape[0] < 1 or shape[1] < 1 or shape[2] < 1:
        raise StackError(f"{path}: empty stack (shape {shape_text(shape)})")
    return stack


def open_image(path):
    """A single 2-D greyscale image (a one-frame stack is accepted), as float64."""
    stack = open_stack(path)
    if stack.shape[0] != 1:
        raise StackError(f"{path}: a template must be one image, not {stack.shape[0]} frames")
    return np.asarray(stack[0], dtype=np.float64)


def create_stack(path, shape, dtype=np.float32, *, compression=None, metadata=None):
    """A new stack file at `path` to be filled frame by frame; call its `flush()` when done.

    `shape` is (frames, rows, columns) or (frames, channels, rows, columns).
    A TIFF keeps `metadata` (a `tiffmeta.Metadata`: axes, pixel size, frame
    interval, in the input's flavour: ImageJ, OME or plain); uncompressed it is
    a writable memmap, compressed (`compression` one of
    `writers.COMPRESSIONS`) it takes its frames in order. A .npy file holds
    the pixels alone and cannot be compressed (ValueError).
    """
    path = str(path)
    suffix = _suffix(path)
    shape = tuple(shape)
    if suffix in NPY_SUFFIXES:
        if compression:
            raise ValueError(f"{path}: a .npy file cannot be compressed (write a .tif)")
        return np.lib.format.open_memmap(path, mode="w+", dtype=dtype, shape=shape)
    if suffix in TIFF_SUFFIXES:
        import tifffile

        from . import tiffmeta, writers

        options = tiffmeta.writer_options(metadata, dtype)
        if compression:
            if compression not in writers.COMPRESSIONS:
                raise ValueError(f"unknown compression {compression!r} (expected {', '.join(writers.COMPRESSIONS)})")
            return writers.StreamedTiff(path, shape, dtype, dict(options, compression=compression))
        return tifffile.memmap(path, shape=shape, dtype=dtype, **options)
    raise StackError(f"{path}: unknown stack format (expected .tif, .tiff or .npy)")
