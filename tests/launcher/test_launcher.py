"""kestrun run as a process in a fresh folder, against stand-in runtimes that
record what they are handed, and against the system's interpreter runtime."""

import os
import pathlib
import subprocess
import sys

import pytest

KESTRUN = os.environ["KESTRUN"]
SYSTEM_RUNTIME = os.environ["ORVIK_SYSTEM_RUNTIME"]
SCRIPT = "Orvik/boot.pyw"


def standin(variant):
    return os.environ["STANDIN_" + variant.upper()]


def lay_out(folder, runtime=None, script=None):
    """An application folder: the runtime linked in, the start-up script written."""
    if runtime is not None:
        (folder / "Orvik" / "python").mkdir(parents=True)
        (folder / "Orvik" / "python" / "libpython3.11.so").symlink_to(runtime)
    if script is not None:
        (folder / "Orvik").mkdir(exist_ok=True)
        (folder / SCRIPT).write_bytes(script)


def run(folder, executable=KESTRUN):
    # No PYTHON* settings from the test's own environment: in particular the
    # script's output must arrive without PYTHONUNBUFFERED.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return subprocess.run([executable], cwd=folder, env=env, input=b"",
                          capture_output=True, timeout=300)


def events(folder):
    log = folder / "events.txt"
    return log.read_text().splitlines() if log.exists() else []


def make_script_a_directory(folder):
    (folder / SCRIPT).mkdir(parents=True)


def make_script_a_pipe(folder):
    # The launcher's standard input, an empty pipe: it opens and reads, but cannot seek.
    (folder / SCRIPT).symlink_to("/proc/self/fd/0")


def make_script_oversized(folder):
    # Sparse: no disk space used, but the length does not fit 32 bits.
    with open(folder / SCRIPT, "wb") as script:
        script.truncate(3 << 30)


@pytest.mark.parametrize("runtime, prepare, message, called", [
    (None, None, "Unable to load libpython3.11.so", []),
    ("without_initialize", None, "Could not get function Py_InitializeEx from DLL", []),
    ("without_run_string", None, "Could not get function PyRun_SimpleString from DLL",
     ["Py_InitializeEx 0"]),
    ("without_run_file", None, "Could not get function PyRun_SimpleFile from DLL",
     ["Py_InitializeEx 0"]),
    ("without_finalize", None, "Could not get function Py_FinalizeEx from DLL",
     ["Py_InitializeEx 0"]),
    ("full", None, "Could not open file: Orvik/boot.pyw", ["Py_InitializeEx 0"]),
    ("full", make_script_a_directory, "Could not read file: Orvik/boot.pyw", ["Py_InitializeEx 0"]),
    ("full", make_script_a_pipe, "Could not determine the size of file: Orvik/boot.pyw",
     ["Py_InitializeEx 0"]),
    ("full", make_script_oversized, "File too large: Orvik/boot.pyw", ["Py_InitializeEx 0"]),
], ids=["no runtime", "no Py_InitializeEx", "no PyRun_SimpleString", "no PyRun_SimpleFile",
        "no Py_FinalizeEx", "no script", "script is a directory", "script is a pipe",
        "script over 2 GiB"])
def test_gives_up_with_one_line_and_failure_status(tmp_path, runtime, prepare, message, called):
    lay_out(tmp_path, runtime=standin(runtime) if runtime else None)
    if prepare:
        (tmp_path / "Orvik").mkdir(exist_ok=True)
        prepare(tmp_path)
    result = run(tmp_path)
    assert result.stdout.decode() == "Giving up: " + message + "\n"
    assert result.stderr == b""
    assert result.returncode == 1
    # The interpreter is started before the lookups, and nothing is run.
    assert events(tmp_path) == called


@pytest.mark.parametrize("script, handed", [
    (b"a = 1\r\nb = 2\r\n", b"a = 1\r\nb = 2\r\n"),
    (b"a = 1\rb = 2\n", b"a = 1\rb = 2\n"),
    (b"\xef\xbb\xbfname = 'caf\xc3\xa9'\n", b"\xef\xbb\xbfname = 'caf\xc3\xa9'\n"),
    (b"a = 1\n\x00b = 2\n", b"a = 1\n"),
    (b"", b""),
], ids=["CRLF", "lone CR", "BOM and UTF-8", "NUL ends the text", "empty"])
def test_hands_over_the_script_byte_for_byte(tmp_path, script, handed):
    lay_out(tmp_path, runtime=standin("full"), script=script)
    result = run(tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert (tmp_path / "handed.bin").read_bytes() == handed
    # PyRun_SimpleFile is looked up but never called.
    assert events(tmp_path) == ["Py_InitializeEx 0", "PyRun_SimpleString", "Py_FinalizeEx"]


@pytest.mark.parametrize("script, status", [
    (b"fail", 1),
    (b"unflushable", 120),
], ids=["uncaught exception", "shutdown failure"])
def test_failure_reported_by_the_runtime_is_not_success(tmp_path, script, status):
    lay_out(tmp_path, runtime=standin("full"), script=script)
    result = run(tmp_path)
    assert (result.returncode, result.stdout) == (status, b"")
    assert events(tmp_path) == ["Py_InitializeEx 0", "PyRun_SimpleString", "Py_FinalizeEx"]


@pytest.mark.parametrize("script, status, stderr_tail", [
    (b"raise ValueError('boom')\n", 1, b"ValueError: boom\n"),
    (b"import sys\nsys.exit(3)\n", 3, b""),
    (b"import sys\nsys.exit('stopped')\n", 1, b"stopped\n"),
    (b"import sys\nsys.stdout = open('/dev/full', 'w')\nprint('lost')\n", 120, b"left on device\n"),
], ids=["raises", "sys.exit(3)", "sys.exit(text)", "output cannot be flushed"])
def test_real_runtime_exit_status_as_the_interpreter_gives_it(tmp_path, script, status, stderr_tail):
    lay_out(tmp_path, runtime=SYSTEM_RUNTIME, script=script)
    result = run(tmp_path)
    assert result.returncode == status
    assert result.stdout == b""
    assert result.stderr.endswith(stderr_tail)
    if status == 1 and script.startswith(b"raise"):
        assert result.stderr.startswith(b"Traceback (most recent call last):\n")


def test_script_output_survives_redirection(tmp_path):
    """Regression: an interpreter left running at exit drops buffered output,
    unclosed files and exit handlers when standard output is not a terminal."""
    script = (b"import atexit\n"
              b"atexit.register(print, 'exit handler ran')\n"
              b"kept = open('written.txt', 'w')\n"
              b"kept.write('all of it')\n"
              b"print('printed')\n")
    lay_out(tmp_path, runtime=SYSTEM_RUNTIME, script=script)
    result = run(tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == b"printed\nexit handler ran\n"
    assert (tmp_path / "written.txt").read_text() == "all of it"


def test_real_runtime_imports_numpy_and_alignopt(tmp_path):
    module_dir = os.environ["ALIGNOPT_DIR"]
    script = (f"import sys\n"
              f"sys.path.insert(0, {module_dir!r})\n"
              f"import numpy, alignopt\n"
              f"print(sys.prefix)\n"
              f"print(numpy.arange(4).sum())\n"
              f"print(alignopt.__file__)\n"
              f"print(alignopt.__doc__, end='')\n").encode()
    lay_out(tmp_path, runtime=SYSTEM_RUNTIME, script=script)
    result = run(tmp_path)
    assert result.returncode == 0, result.stderr.decode()
    prefix, total, module_file, doc = result.stdout.decode().splitlines()
    # The embedded runtime finds the same installation as the system interpreter.
    assert prefix == sys.prefix
    assert total == "6"
    assert pathlib.Path(module_file).parent == pathlib.Path(module_dir)
    assert doc == "alignopt"


def test_bundle_starts_the_application():
    bundle = pathlib.Path(os.environ["ORVIK_BUNDLE_DIR"])
    assert (bundle / "Orvik" / "python" / "libpython3.11.so").resolve() == \
        pathlib.Path(SYSTEM_RUNTIME).resolve()
    result = run(bundle, executable=str(bundle / "kestrun"))
    assert result.returncode == 0, result.stderr.decode()
    # The start-up script runs the main job on the bundled sample stack.
    out = result.stdout.decode()
    assert out.startswith("aligned ") and "error of the recovered drift" in out
