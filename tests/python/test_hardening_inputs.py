"""Hostile input at the module boundary, one table over both methods.

Every case ends in one of a few outcomes: an exact exception, a result equal
to the one for the same values given as plain C-ordered doubles (so that no
layout, dtype or subclass changes the answer), all zeros (a matrix that maps
every pixel outside), or a result of the documented shape. Whatever the
outcome, the inputs come back unchanged and with the reference counts they
had before.
"""

import gc
import re
import sys
import warnings

import numpy as np
import pytest

import alignopt

IMAGE = np.add.outer(np.arange(12.0), 0.5 * np.arange(13.0)) % 5 + np.arange(13.0) / 7
SHIFTED = np.roll(IMAGE, 1, axis=1)
AFFINE = np.array([[0.25, 1.0, 0.0], [-0.5, 0.0, 1.0]])
SHIFT = np.array([[0.5], [-0.25]])
BILINEAR = np.array([[0.25, 1.0, 0.0, 0.001], [-0.5, 0.0, 1.0, 0.0]])
CODES = (2, 3, 4, 6, 8)
LANDMARKS = {2: 1, 3: 3, 4: 2, 6: 3, 8: 4}
MATRIX_COLUMNS = {2: 1, 3: 3, 4: 3, 6: 3, 8: 4}

TWO_DIMENSIONAL = "Input arrays must be two dimensional"
SAME_SHAPE = "Input arrays must of the same shape"
MATRIX_SHAPE = "Transformation matrix must be of shape (2,1), (2,3) or (2,4)"
INVALID = "Invalid transformation"
NOT_EMPTY = "Input arrays must not be empty"
FINITE = "Input arrays must be finite"
VALUE_RANGE = "Input values are too large"


# --- outcomes ----------------------------------------------------------------

class Raises:
    """The exception type and its whole message (a prefix for NumPy's own,
    which name the dtype and vary in their tails between versions)."""

    def __init__(self, error, message, prefix=False):
        self.error, self.message, self.prefix = error, message, prefix

    def check(self, method, args):
        pattern = "^" + re.escape(self.message) + ("" if self.prefix else "$")
        with pytest.raises(self.error, match=pattern):
            call(method, args)


def cannot_cast(dtype):
    return Raises(TypeError, f"Cannot cast array data from {np.dtype(dtype)!r} to dtype('float64')", prefix=True)


def plain(value):
    """The same values as a fresh, aligned, C-ordered double array."""
    if isinstance(value, np.ndarray) or isinstance(value, list):
        return np.array(np.ma.getdata(value), dtype=np.float64, order="C")
    return value


def check_shapes(method, args, result):
    if method == "_transform":
        assert type(result) is np.ndarray
        assert result.shape == np.shape(args[0]) and result.dtype == np.float64 and result.flags.c_contiguous
        return
    code = int(args[2])
    assert type(result) is tuple and len(result) == 3
    assert [array.shape for array in result] == [(2, MATRIX_COLUMNS[code]), (LANDMARKS[code], 2),
                                                 (LANDMARKS[code], 2)]
    for array in result:
        assert type(array) is np.ndarray and array.dtype == np.float64 and array.flags.c_contiguous
        assert np.isfinite(array).all()


class Same:
    """The result equals the one for the arguments as plain doubles."""

    def check(self, method, args):
        result = call(method, args)
        check_shapes(method, args, result)
        expected = call(method, tuple(plain(a) for a in args))
        if method == "_transform":
            np.testing.assert_array_equal(result, expected)
        else:
            for got, want in zip(result, expected):
                np.testing.assert_array_equal(got, want)


class Zeros:
    """Every output pixel reads outside the image."""

    def check(self, method, args):
        result = call(method, args)
        check_shapes(method, args, result)
        np.testing.assert_array_equal(result, np.zeros(np.shape(args[0])))


class Shaped:
    """A result of the documented shape; its values are tested elsewhere."""

    def __init__(self, values=None):
        self.values = values

    def check(self, method, args):
        result = call(method, args)
        check_shapes(method, args, result)
        if self.values is not None:
            assert self.values(result)


class OutsideWhereUsed:
    """A non-finite matrix entry sends outside (zero) every pixel whose
    position uses it; positions advance by additions, so the first column
    (or row) never adds the entry and reads as with a zero entry there."""

    def __init__(self, column):
        self.column = column

    def check(self, method, args):
        image, matrix = args
        result = call(method, args)
        check_shapes(method, args, result)
        rows, columns = np.indices(np.shape(image))
        multiplier = [np.ones_like(rows), columns, rows, rows * columns][self.column]
        cleared = np.array(matrix, dtype=np.float64)
        cleared[:, self.column] = 0.0
        expected = np.where(multiplier == 0, call(method, (image, cleared)), 0.0)
        np.testing.assert_array_equal(result, expected)


SAME, ZEROS, SHAPED = Same(), Zeros(), Shaped()


def call(method, args):
    return getattr(alignopt, method)(*args)


# --- inputs that need building ----------------------------------------------

def swapped(array):
    return array.astype(array.dtype.newbyteorder(">" if sys.byteorder == "little" else "<"))


def fortran(array):
    return np.asfortranarray(array)


def strided(array):
    big = np.zeros((array.shape[0] * 2, array.shape[1] * 3))
    big[::2, ::3] = array
    return big[::2, ::3]


def reversed_rows(array):
    return array[::-1].copy()[::-1]


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def unaligned(array):
    raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64).reshape(array.shape)
    view[...] = array
    assert not view.flags.aligned
    return view


def memory_mapped(array, mode):
    def build(tmp_path):
        path = tmp_path / f"mapped-{id(array)}-{mode}.bin"
        writer = np.memmap(path, dtype=np.float64, mode="w+", shape=array.shape)
        writer[...] = array
        writer.flush()
        del writer
        return np.memmap(path, dtype=np.float64, mode=mode, shape=array.shape)
    return build


def masked(array):
    # The mask is not the module's business: the data is used as it is, as
    # np.asarray would give it.
    return np.ma.masked_array(array, mask=array > 2)


class ArrayLike:
    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None):
        return np.asarray(self.array, dtype=dtype)


class FailingIndex:
    def __index__(self):
        raise OverflowError("no index")


def with_value(array, position, value):
    array = np.array(array, dtype=np.float64)
    array[position] = value
    return array


# --- the table ---------------------------------------------------------------

def cases():
    """(id, method, arguments, outcome); an argument may be a builder taking
    the test's temporary folder."""
    T, R = "_transform", "_register"
    yield "transform no arguments", T, (), Raises(TypeError, "function takes exactly 2 arguments (0 given)")
    yield "register no arguments", R, (), Raises(TypeError, "function takes exactly 3 arguments (0 given)")
    yield "register four arguments", R, (IMAGE, IMAGE, 2, 2), \
        Raises(TypeError, "function takes exactly 3 arguments (4 given)")

    # Codes: every integer form is judged by its value, anything else by the
    # interpreter; none of them reaches the arrays.
    for code in (-2, False, 2**63, 2**63 - 1, -2**63, np.int8(-2), np.uint64(2**64 - 1), np.array(7)):
        yield f"code {code!r}", R, (IMAGE, IMAGE, code), Raises(ValueError, INVALID)
    for code, name in ((2.5, "float"), (np.float64(2.0), "numpy.float64"), (2 + 0j, "complex"),
                       (b"\x02", "bytes"), ([2], "list")):
        yield f"code {code!r}", R, (IMAGE, IMAGE, code), \
            Raises(TypeError, f"'{name}' object cannot be interpreted as an integer")
    yield "code whose index fails", R, (IMAGE, IMAGE, FailingIndex()), Raises(OverflowError, "no index")
    yield "code from a 0-d array", R, (IMAGE, SHIFTED, np.array(4)), SHAPED

    # Dimensions: 0-d, 1-d and 3-d arrays, empty ones included, in every place.
    odd = [np.float64(3.0), np.array(3.0), np.zeros(0), np.zeros(6), np.zeros((0, 4, 5)),
           np.zeros((1, 4, 5)), np.zeros((4, 5, 1))]
    for array in odd:
        shape = np.shape(array)
        yield f"transform image of shape {shape}", T, (array, AFFINE), Raises(ValueError, TWO_DIMENSIONAL)
        yield f"transform matrix of shape {shape}", T, (IMAGE, array), Raises(ValueError, TWO_DIMENSIONAL)
        yield f"register target of shape {shape}", R, (array, IMAGE, 2), Raises(ValueError, TWO_DIMENSIONAL)
        yield f"register source of shape {shape}", R, (IMAGE, array, 8), Raises(ValueError, TWO_DIMENSIONAL)
    yield "transform flat affine", T, (IMAGE, AFFINE.ravel()), Raises(ValueError, TWO_DIMENSIONAL)
    yield "transform ragged image", T, ([[1.0, 2.0], [3.0]], SHIFT), \
        Raises(ValueError, "setting an array element with a sequence.", prefix=True)

    # Matrices of every other shape, transposes of the good ones included.
    for shape in ((0, 0), (0, 2), (1, 1), (1, 2), (1, 4), (2, 6), (3, 1), (3, 2), (4, 2), (6, 1)):
        yield f"matrix of shape {shape}", T, (IMAGE, np.zeros(shape)), Raises(ValueError, MATRIX_SHAPE)

    # Shapes that differ, the thin ones included; compared before emptiness.
    for first, second in (((1, 7), (7, 1)), ((12, 13), (13, 12)), ((12, 13), (12, 12)), ((0, 3), (0, 4))):
        yield f"register shapes {first} and {second}", R, (np.zeros(first), np.zeros(second), 4), \
            Raises(ValueError, SAME_SHAPE)
    for shape in ((0, 1), (1, 0), (0, 13)):
        yield f"register empty {shape}", R, (np.zeros(shape), np.zeros(shape), 6), Raises(ValueError, NOT_EMPTY)
        yield f"transform empty {shape}", T, (np.zeros(shape), BILINEAR), SAME

    # Element types: those NumPy casts safely to doubles give the same answer
    # as the doubles themselves; the others fail in NumPy's own words.
    small = (IMAGE * 3).round()
    for dtype in (bool, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
                  np.float16, np.float32):
        yield f"transform image {np.dtype(dtype)}", T, (small.astype(dtype), AFFINE), SAME
        yield f"transform matrix {np.dtype(dtype)}", T, (IMAGE, np.array([[1, 1, 0], [0, 0, 1]], dtype=dtype)), SAME
        yield f"register {np.dtype(dtype)}", R, (small.astype(dtype), np.roll(small, 1, 0).astype(dtype), 2), SAME
    for dtype in (np.complex64, np.complex128, np.longdouble, object, "U3", "S3", "datetime64[s]",
                  "timedelta64[s]", [("a", "f8")]):
        bad = np.zeros(IMAGE.shape, dtype=dtype)
        label = np.dtype(dtype)
        yield f"transform image {label}", T, (bad, AFFINE), cannot_cast(dtype)
        yield f"transform matrix {label}", T, (IMAGE, np.zeros((2, 3), dtype=dtype)), cannot_cast(dtype)
        yield f"register source {label}", R, (IMAGE, bad, 3), cannot_cast(dtype)
    yield "transform strings in a list", T, ([["1", "x"]], SHIFT), \
        Raises(ValueError, "could not convert string to float: 'x'")

    # Layouts and array kinds NumPy has to copy, or may use as they are.
    layouts = {"byte-swapped": swapped, "Fortran": fortran, "strided": strided, "reversed": reversed_rows,
               "read-only": read_only, "unaligned": unaligned, "mapped read-only": memory_mapped(IMAGE, "r"),
               "mapped copy-on-write": memory_mapped(IMAGE, "c"), "masked": masked, "np.matrix": np.matrix,
               "array-like": ArrayLike, "nested list": lambda a: a.tolist()}
    for name, build in layouts.items():
        mapped = name.startswith("mapped")
        image = build if mapped else build(IMAGE)
        yield f"transform {name} image", T, (image, AFFINE), SAME
        yield f"register {name} target", R, (image, SHIFTED, 6), SAME
        source = memory_mapped(SHIFTED, "r") if mapped else build(SHIFTED)
        yield f"register {name} source", R, (IMAGE, source, 3), SAME
        if name not in ("mapped read-only", "mapped copy-on-write", "strided", "unaligned"):
            yield f"transform {name} matrix", T, (IMAGE, build(BILINEAR)), SAME

    # Pixel values: non-finite ones are refused for registration and carried
    # through warping; tiny ones give results of the right shape, and finite
    # ones too large for the single-precision spline model are refused for
    # registration (every comparison would be NaN) and carried through warping.
    for value in (np.nan, np.inf, -np.inf):
        yield f"register target with {value}", R, (with_value(IMAGE, (5, 7), value), SHIFTED, 8), \
            Raises(ValueError, FINITE)
    tiny, huge = np.nextafter(0.0, 1.0), np.finfo(np.float64).max
    for name, image in (("subnormal", np.full(IMAGE.shape, tiny)), ("subnormal mix", IMAGE * 1e-310)):
        yield f"transform {name}", T, (image, AFFINE), SHAPED
        for code in CODES:
            yield f"register {name} code {code}", R, (image, SHIFTED, code), SHAPED
    for name, image in (("near max", np.full(IMAGE.shape, huge)), ("near -max", np.full(IMAGE.shape, -huge)),
                        ("max and -max", np.where(IMAGE > 2, huge, -huge)), ("huge mix", IMAGE * 1e300),
                        ("past single precision", np.full(IMAGE.shape, 1e39))):
        yield f"transform {name}", T, (image, AFFINE), SHAPED
        for code in CODES:
            yield f"register {name} code {code}", R, (image, SHIFTED, code), Raises(ValueError, VALUE_RANGE)
            yield f"register {name} as source code {code}", R, (SHIFTED, image, code), \
                Raises(ValueError, VALUE_RANGE)
    yield "transform image with NaN", T, (with_value(IMAGE, (0, 0), np.nan), SHIFT), SHAPED
    # Values beyond single precision overflow the filters' single-precision
    # stores: the warped image holds no finite value.
    yield "transform values beyond single precision", T, (np.full((3, 4), 1e39), [[0.0], [0.0]]), \
        Shaped(lambda result: not np.isfinite(result).any())
    yield "transform subnormals flush to zero", T, (np.full((3, 4), tiny), [[0.0], [0.0]]), \
        Shaped(lambda result: (result == 0.0).all())

    # Matrices that send every position outside: non-finite entries in any
    # term, and offsets that do not fit a 32-bit pixel index.
    for shape, template in (((2, 1), SHIFT), ((2, 3), AFFINE), ((2, 4), BILINEAR)):
        for column in range(shape[1]):
            for value in (np.nan, np.inf, -np.inf):
                yield f"matrix {shape} with {value} in column {column}", T, \
                    (IMAGE, with_value(template, (0, column), value)), OutsideWhereUsed(column)
        for offset in (2.0**31, -2.0**31 - 1, 1e300, -huge, huge):
            yield f"matrix {shape} offset {offset:g}", T, (IMAGE, with_value(template, (1, 0), offset)), ZEROS
    yield "matrix scaling positions past 32 bits", T, (IMAGE, [[0.0, 1e12, 0.0], [0.0, 0.0, 1.0]]), \
        Shaped(lambda result: (result[:, 1:] == 0.0).all())

    # Thin and single-pixel images, with every family and matrix shape.
    for shape in ((1, 1), (1, 2), (2, 1), (1, 13), (13, 1), (2, 2)):
        image = np.arange(float(np.prod(shape))).reshape(shape) % 3
        for matrix in (SHIFT, AFFINE, BILINEAR):
            yield f"transform {shape} by {np.shape(matrix)}", T, (image, matrix), SHAPED
        for code in CODES:
            yield f"register {shape} code {code}", R, (image, image[::-1, ::-1].copy(), code), SHAPED


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)  # np.matrix
    CASES = list(cases())


def build(argument, tmp_path):
    return argument(tmp_path) if callable(argument) and not isinstance(argument, type) \
        and not isinstance(argument, np.ndarray) else argument


def snapshot(value):
    if isinstance(value, np.ndarray):
        return value.copy(), value.flags.writeable, value.strides
    return repr(value) if isinstance(value, (list, int, float)) else None


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("method, arguments, outcome", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_hostile_input(method, arguments, outcome, tmp_path):
    args = tuple(build(argument, tmp_path) for argument in arguments)
    before = [snapshot(a) for a in args]
    # Small integers are shared across the interpreter: their counts move
    # with everything else.
    tracked = [a for a in args if not isinstance(a, (int, float, bool, type(None)))]
    gc.collect()
    counts = [sys.getrefcount(a) for a in tracked]
    outcome.check(method, args)
    gc.collect()
    assert [sys.getrefcount(a) for a in tracked] == counts
    for value, (kept, *rest) in ((a, s) for a, s in zip(args, before) if isinstance(a, np.ndarray)):
        np.testing.assert_array_equal(np.ma.getdata(value), np.ma.getdata(kept))
        assert [value.flags.writeable, value.strides] == rest
