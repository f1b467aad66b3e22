"""The boundary of both methods: argument checks, their messages and order,
conversion, and reference balance. Numeric results are tested elsewhere."""

import gc
import re
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import alignopt

IMAGE = np.arange(20.0).reshape(4, 5)
AFFINE = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])


def value_error(message):
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


class Tracked:
    """An array-like that records its conversion and can make it fail."""

    def __init__(self, array=IMAGE, error=None):
        self.array, self.error, self.converted = array, error, False

    def __array__(self, dtype=None):
        self.converted = True
        if self.error is not None:
            raise self.error
        return np.asarray(self.array, dtype=dtype)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# --- argument parsing ---------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: alignopt._transform(IMAGE), "function takes exactly 2 arguments (1 given)"),
    (lambda: alignopt._transform(IMAGE, AFFINE, 1), "function takes exactly 2 arguments (3 given)"),
    (lambda: alignopt._register(IMAGE, IMAGE), "function takes exactly 3 arguments (2 given)"),
])
def test_wrong_argument_count_raises_the_interpreters_type_error(call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call()


@pytest.mark.parametrize("code", [0, 1, 5, 7, 9, 255, 256, 258, -254, -1, 2**64, -2**64, True])
def test_register_refuses_invalid_code_before_converting_arrays(code):
    # 258 and -254 would be 2 modulo 256: no code is wrapped.
    target, source = Tracked(), Tracked()
    with value_error("Invalid transformation"):
        alignopt._register(target, source, code)
    assert not target.converted and not source.converted


@pytest.mark.parametrize("code, type_name", [(2.0, "float"), (None, "NoneType"), ("2", "str")])
def test_register_non_integer_code_raises_type_error_before_converting_arrays(code, type_name):
    target, source = Tracked(), Tracked()
    with pytest.raises(TypeError, match=f"^'{type_name}' object cannot be interpreted as an integer$"):
        alignopt._register(target, source, code)
    assert not target.converted and not source.converted


@pytest.mark.parametrize("code", [2, 3, 4, 6, 8, np.int64(4), np.uint8(6), Index(8)])
def test_register_accepts_every_integer_form_of_a_valid_code(code):
    # Accepted codes reach the array checks.
    with value_error("Input arrays must be two dimensional"):
        alignopt._register(np.zeros(3), np.zeros(3), code)


# --- conversion ---------------------------------------------------------------

def call_method(method, first, second):
    if method == "_transform":
        return alignopt._transform(first, second)
    return alignopt._register(first, second, 2)


@pytest.mark.parametrize("method", ["_transform", "_register"])
@pytest.mark.parametrize("first_fails, second_fails", [(True, False), (True, True), (False, True)])
def test_both_arguments_are_converted_and_the_first_failure_is_reported(method, first_fails, second_fails):
    class FirstError(Exception):
        pass

    class SecondError(Exception):
        pass

    first = Tracked(error=FirstError() if first_fails else None)
    second = Tracked(AFFINE if method == "_transform" else IMAGE, error=SecondError() if second_fails else None)
    with pytest.raises(FirstError if first_fails else SecondError):
        call_method(method, first, second)
    assert first.converted and second.converted


@pytest.mark.parametrize("image, error, message", [
    ([[1.0, "a"]], ValueError, "could not convert string to float: 'a'"),
    (np.zeros((2, 2), dtype=complex), TypeError, "Cannot cast array data from dtype('complex128')"),
])
@pytest.mark.parametrize("method", ["_transform", "_register"])
def test_numpy_conversion_errors_pass_through(method, image, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call_method(method, image, AFFINE if method == "_transform" else IMAGE)


# --- shape checks -------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: alignopt._transform(np.zeros(5), AFFINE),
    lambda: alignopt._transform(np.zeros((2, 2, 2)), AFFINE),
    lambda: alignopt._transform(5.0, AFFINE),
    lambda: alignopt._transform(IMAGE, np.zeros(2)),
    lambda: alignopt._transform(IMAGE, np.zeros((2, 3, 1))),
    # Dimensions are checked before the matrix shape.
    lambda: alignopt._transform(np.zeros(5), np.zeros((3, 3))),
    lambda: alignopt._register(np.zeros(5), IMAGE, 2),
    lambda: alignopt._register(IMAGE, np.zeros((4, 5, 1)), 2),
    # ... and before the two shapes are compared.
    lambda: alignopt._register(np.zeros(5), np.zeros(3), 2),
])
def test_arrays_must_be_two_dimensional(call):
    with value_error("Input arrays must be two dimensional"):
        call()


@pytest.mark.parametrize("shape", [(3, 3), (2, 2), (1, 3), (2, 5), (2, 0), (0, 1), (1, 1), (4, 1)])
def test_transform_refuses_other_matrix_shapes(shape):
    with value_error("Transformation matrix must be of shape (2,1), (2,3) or (2,4)"):
        alignopt._transform(IMAGE, np.zeros(shape))


def test_transform_checks_matrix_shape_before_image_size():
    with value_error("Transformation matrix must be of shape (2,1), (2,3) or (2,4)"):
        alignopt._transform(np.empty((0, 2**31)), np.zeros((3, 3)))


@pytest.mark.parametrize("target_shape, source_shape", [
    ((100, 120), (120, 100)),
    ((4, 5), (4, 6)),
    ((4, 5), (3, 5)),
    # Compared before emptiness.
    ((0, 4), (4, 0)),
])
def test_register_refuses_images_of_different_shapes(target_shape, source_shape):
    with value_error("Input arrays must of the same shape"):
        alignopt._register(np.zeros(target_shape), np.zeros(source_shape), 2)


# --- empty, too large, not finite ---------------------------------------------

@pytest.mark.parametrize("shape", [(0, 0), (0, 7), (7, 0)])
@pytest.mark.parametrize("matrix", [[[0.5], [1.0]], AFFINE, np.zeros((2, 4))])
def test_transform_of_an_empty_image_is_empty_of_the_same_shape(shape, matrix):
    image = np.zeros(shape, dtype=np.int32)
    result = alignopt._transform(image, matrix)
    assert result.shape == shape and result.dtype == np.float64
    assert result is not image


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0), (0, 2**31)])
def test_register_refuses_empty_images(shape):
    with value_error("Input arrays must not be empty"):
        alignopt._register(np.empty(shape), np.empty(shape), 2)


def huge(shape, dtype=np.float64):
    """A NumPy array of any shape over a single element, allocating nothing."""
    return np.broadcast_to(np.zeros((), dtype=dtype), shape)


@pytest.mark.parametrize("call", [
    lambda: alignopt._transform(np.empty((0, 2**31)), AFFINE),
    lambda: alignopt._transform(np.empty((2**31, 0)), AFFINE),
    # NumPy arrays whose conversion would have to copy 2^31 or more values
    # are refused before any conversion, in either position. (Sizes far beyond
    # any memory, so that a regression fails fast instead of copying.)
    lambda: alignopt._transform(huge((1, 2**40)), AFFINE),
    lambda: alignopt._transform(huge((2**20, 2**20), np.float32), AFFINE),
    lambda: alignopt._transform(IMAGE, huge((2, 2**40))),
    lambda: alignopt._register(huge((2**20, 2**20)), huge((2**20, 2**20)), 2),
    lambda: alignopt._register(IMAGE, huge((2**40,)), 2),
])
def test_too_large_arrays_are_refused(call):
    with value_error("Input arrays are too large"):
        call()


def test_register_checks_the_code_before_the_size():
    with value_error("Invalid transformation"):
        alignopt._register(huge((2**20, 2**20)), huge((2**20, 2**20)), 5)


def test_size_is_checked_before_pixels_are_read():
    # A C-ordered view that claims 2^31 values over a buffer of four, one of
    # them NaN: conversion uses it as it is, so reading its pixels would fault.
    # Run apart so that such a fault fails this test only.
    script = """
        import numpy as np, alignopt
        buffer = np.array([np.nan, 0.0, 0.0, 0.0])
        class View:
            __array_interface__ = dict(shape=(2**16, 2**15), typestr="<f8", version=3,
                                       data=(buffer.ctypes.data, True))
        for call in (lambda: alignopt._register(View(), View(), 2),
                     lambda: alignopt._transform(View(), [[0.0], [0.0]])):
            try:
                call()
            except ValueError as error:
                print(error)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                            capture_output=True, text=True, timeout=120)
    assert result.stdout.splitlines() == ["Input arrays are too large"] * 2, result.stderr


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("role", ["target", "source"])
@pytest.mark.parametrize("position", [(0, 0), (3, 4)])
def test_register_refuses_non_finite_pixels(value, role, position):
    target, source = IMAGE.copy(), IMAGE.copy()
    (target if role == "target" else source)[position] = value
    with value_error("Input arrays must be finite"):
        alignopt._register(target, source, 2)


def test_register_checks_shapes_before_finiteness():
    with value_error("Input arrays must of the same shape"):
        alignopt._register(np.full((4, 5), np.nan), np.zeros((5, 4)), 2)


# --- references ---------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda a, b: alignopt._transform(a, np.zeros(2)),
    lambda a, b: alignopt._transform(a, np.zeros((3, 3))),
    lambda a, b: alignopt._transform(a, Tracked(error=KeyError())),
    lambda a, b: alignopt._transform(a[:0], AFFINE),
    lambda a, b: alignopt._register(a, b[:2], 2),
    lambda a, b: alignopt._register(a, np.zeros(3), 2),
    lambda a, b: alignopt._register(a, Tracked(error=KeyError()), 2),
    lambda a, b: alignopt._register(Tracked(error=KeyError()), b, 2),
    lambda a, b: alignopt._register(a[:0], b[:0], 2),
    lambda a, b: alignopt._register(a, np.full_like(b, np.nan), 2),
])
def test_every_path_releases_the_converted_arrays(call):
    # Aligned C-ordered doubles are used without a copy, so every reference the
    # method takes lands on these very objects.
    first, second = IMAGE.copy(), IMAGE.copy()
    before = sys.getrefcount(first), sys.getrefcount(second)
    try:
        call(first, second)
    except (ValueError, KeyError):
        pass
    gc.collect()  # a failed conversion's traceback holds the frames in a cycle
    assert (sys.getrefcount(first), sys.getrefcount(second)) == before


def test_transform_result_is_a_new_array_owned_by_the_caller():
    image = IMAGE.copy()
    before = sys.getrefcount(image)
    result = alignopt._transform(image, [[0.0], [0.0]])
    assert result.shape == image.shape and result.dtype == np.float64 and result.flags.c_contiguous
    assert sys.getrefcount(image) == before
    np.testing.assert_array_equal(image, IMAGE)
    alive = weakref.ref(result)
    del result
    assert alive() is None


@pytest.mark.parametrize("code, shapes", [
    (2, [(2, 1), (1, 2), (1, 2)]),
    (3, [(2, 3), (3, 2), (3, 2)]),
    (4, [(2, 3), (2, 2), (2, 2)]),
    (6, [(2, 3), (3, 2), (3, 2)]),
    (8, [(2, 4), (4, 2), (4, 2)]),
])
def test_register_result_tuple_holds_the_only_references(code, shapes):
    target = np.add.outer(np.arange(32.0), np.arange(32.0)) % 7
    source = np.roll(target, 1, axis=1)
    inputs = target.copy(), source.copy()
    before = sys.getrefcount(target), sys.getrefcount(source)
    result = alignopt._register(target, source, code)
    assert type(result) is tuple
    assert [array.shape for array in result] == shapes
    assert all(array.dtype == np.float64 and array.flags.c_contiguous for array in result)
    assert (sys.getrefcount(target), sys.getrefcount(source)) == before
    np.testing.assert_array_equal(target, inputs[0])
    np.testing.assert_array_equal(source, inputs[1])
    alive = [weakref.ref(array) for array in result]
    del result
    assert [ref() for ref in alive] == [None, None, None]


# --- memory exhaustion ----------------------------------------------------------

@pytest.mark.parametrize("call", [
    "alignopt._transform(image, [[0.5], [0.5]])",
    "alignopt._register(image, image, 2)",
])
def test_memory_exhaustion_in_the_core_raises_memory_error(call):
    # The input exists before the address space is capped a little above what
    # the process uses, so only the core's own buffers cannot be had; the
    # module keeps working once the cap is lifted.
    script = f"""
        import resource, numpy as np, alignopt
        image = np.random.default_rng(1).random((2000, 2000))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), hard))
        try:
            {call}
            print("no error")
        except MemoryError:
            print("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(alignopt._transform(np.ones((3, 3)), [[0.0], [0.0]]).shape)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                            capture_output=True, text=True, timeout=600)
    assert result.stdout.splitlines() == ["MemoryError", "(3, 3)"], result.stderr
