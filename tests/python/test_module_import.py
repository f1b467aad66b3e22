"""Module start: the good import, and every way binding NumPy can fail.

The failures are driven in a fresh interpreter that installs a stand-in for
NumPy's multiarray module before importing alignopt: its "_ARRAY_API" is a
capsule over a table of ctypes callbacks, so each check can be tripped on its
own. A failed start must print its cause and then raise one fixed ImportError.
"""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import alignopt

IMPORT_ERROR = "ImportError: numpy.core.multiarray failed to import"
MODULE_DIR = os.path.dirname(alignopt.__file__)


def test_module_and_method_docstrings():
    assert alignopt.__doc__ == "alignopt\n"
    assert alignopt._register.__doc__ == "Quandrilox\n"
    assert alignopt._transform.__doc__ == "Quandrilox\n"


@pytest.mark.parametrize(
    "call",
    [
        lambda: alignopt._transform(image=[[0.0]], matrix=[[0.0], [0.0]]),
        lambda: alignopt._transform([[0.0]], matrix=[[0.0], [0.0]]),
        lambda: alignopt._register([[0.0]], [[0.0]], code=2),
    ],
)
def test_methods_take_positional_arguments_only(call):
    with pytest.raises(TypeError, match="keyword arguments"):
        call()


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_initialisation_function_is_the_only_export():
    listing = subprocess.run(["nm", "-D", "--defined-only", alignopt.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.split()[1] not in "tbdr"]
    assert exported == ["PyInit_alignopt"]


def run_python(script, *options):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR)
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(script)],
        capture_output=True, text=True, env=env, timeout=120,
    )


# A table that answers the three queries made at start (indices 0, 210 and
# 211) with ABI, ENDIAN and FEATURE, and the ways to publish it.
FAKE_TABLE = """
import ctypes, gc, os, sys, types

api = ctypes.pythonapi
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)

Version = ctypes.CFUNCTYPE(ctypes.c_uint)
Endianness = ctypes.CFUNCTYPE(ctypes.c_int)
callbacks = [Version(lambda: ABI), Endianness(lambda: ENDIAN), Version(lambda: FEATURE)]
table = (ctypes.c_void_p * 212)()
for index, callback in zip((0, 210, 211), callbacks):
    table[index] = ctypes.cast(callback, ctypes.c_void_p)

def capsule(name=None):
    return api.PyCapsule_New(ctypes.addressof(table), name, None)

def capsule_of_a_subtype():
    # The capsule type refuses subclasses; allow one for a moment, then
    # re-type a plain capsule. The collector must never look at it.
    gc.disable()
    capsule_type = type(capsule())
    flags = ctypes.c_ulong.from_address(id(capsule_type) + 168)  # tp_flags in 3.11
    assert flags.value == capsule_type.__flags__
    flags.value |= 1 << 10
    class SubCapsule(capsule_type):
        __slots__ = ()
    flags.value &= ~(1 << 10)
    instance = capsule()
    api.Py_IncRef(ctypes.py_object(SubCapsule))
    ctypes.c_void_p.from_address(id(instance) + 8).value = id(SubCapsule)
    assert isinstance(instance, capsule_type) and type(instance) is not capsule_type
    return instance
"""

# Installs stand-ins for numpy, numpy.core and numpy.core._multiarray_umath
# whose "_ARRAY_API" is what ATTRIBUTE makes (none when it is None), imports
# alignopt and reports whether the start kept its references balanced.
INSTALL_AND_IMPORT = """
for name in ("numpy", "numpy.core"):
    package = types.ModuleType(name)
    package.__path__ = []
    sys.modules[name] = package
multiarray = types.ModuleType("numpy.core._multiarray_umath")
sys.modules[multiarray.__name__] = multiarray
if ATTRIBUTE is not None:
    multiarray._ARRAY_API = ATTRIBUTE()
attribute = getattr(multiarray, "_ARRAY_API", object())
references = (sys.getrefcount(multiarray), sys.getrefcount(attribute))
try:
    import alignopt
    print("imported", alignopt.__doc__ == "alignopt\\n")
except ImportError as error:
    print("raised", error, file=sys.stderr)
sys.stderr.flush()
print("references kept", references == (sys.getrefcount(multiarray), sys.getrefcount(attribute)))
sys.stdout.flush()
os._exit(0)
"""

GOOD = dict(ABI="0x1000009", FEATURE="0x10", ENDIAN="1", ATTRIBUTE="capsule")


def start_with_fake_numpy(**settings):
    values = dict(GOOD, **settings)
    versions = "".join(f"{key} = {values[key]}\n" for key in ("ABI", "FEATURE", "ENDIAN"))
    attribute = f"ATTRIBUTE = {values['ATTRIBUTE']}\n"
    return run_python(versions + FAKE_TABLE + attribute + INSTALL_AND_IMPORT)


@pytest.mark.parametrize(
    "settings, cause",
    [
        (dict(ABI="0x1000008"),
         "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x1000008"),
        (dict(ABI="0x100000a"),
         "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x100000a"),
        (dict(FEATURE="0xf"),
         "RuntimeError: module compiled against API version 0x10 but this version of numpy is 0xf"),
        (dict(ENDIAN="0"), "RuntimeError: FATAL: module compiled as unknown endian"),
        (dict(ENDIAN="2"),
         "RuntimeError: FATAL: module compiled as little endian, but detected different endianness at runtime"),
        (dict(ATTRIBUTE="None"), "AttributeError: _ARRAY_API not found"),
        (dict(ATTRIBUTE="object"), "RuntimeError: _ARRAY_API is not PyCapsule object"),
        (dict(ATTRIBUTE="capsule_of_a_subtype"), "RuntimeError: _ARRAY_API is not PyCapsule object"),
        # A capsule's pointer can never be null, but one stored under a name
        # yields none when asked for without a name.
        (dict(ATTRIBUTE="lambda: capsule(b'named')"), "RuntimeError: _ARRAY_API is NULL pointer"),
    ],
)
def test_start_failure_prints_cause_then_raises_import_error(settings, cause):
    result = start_with_fake_numpy(**settings)
    lines = result.stderr.splitlines()
    assert cause in lines, result.stderr
    assert "raised numpy.core.multiarray failed to import" in lines
    assert lines.index(cause) < lines.index("raised numpy.core.multiarray failed to import")
    assert lines.count(cause) == 1
    assert "references kept True" in result.stdout


@pytest.mark.parametrize(
    "settings",
    [
        dict(),
        dict(FEATURE="0x11"),
        # The feature version is compared unsigned.
        dict(FEATURE="0xffffffff"),
    ],
)
def test_start_succeeds_with_accepted_versions(settings):
    result = start_with_fake_numpy(**settings)
    assert result.stdout.splitlines() == ["imported True", "references kept True"], result.stderr
    assert result.stderr == ""


def test_start_without_numpy_prints_the_import_error_first():
    # -S leaves the system's site packages, and NumPy with them, off the path.
    result = run_python("import alignopt", "-S")
    assert result.returncode != 0
    lines = result.stderr.splitlines()
    cause = "ModuleNotFoundError: No module named 'numpy'"
    assert cause in lines, result.stderr
    assert lines[-1] == IMPORT_ERROR
    assert lines.index(cause) < len(lines) - 1
