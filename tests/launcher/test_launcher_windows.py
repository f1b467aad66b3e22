"""The launcher's Windows branch, cross-built and run under wine against
stand-in runtimes built the same way: its own paths and messages, the
byte-exact hand-over and the exit statuses.

Needs KESTRUN_WINDOWS (kestrun.exe), STANDIN_WINDOWS_DIR (standin_<variant>.dll)
and WINE (the 64-bit loader); scripts/hardening builds and sets them.
"""

import os
import pathlib
import shutil
import subprocess

import pytest

KESTRUN_WINDOWS = os.environ.get("KESTRUN_WINDOWS")
pytestmark = pytest.mark.skipif(not KESTRUN_WINDOWS, reason="no cross-built kestrun.exe")

SCRIPT = pathlib.PurePosixPath("Orvik/boot.pyw")
RUNTIME = pathlib.PurePosixPath("Orvik/python/python311.dll")


def standin(variant):
    return pathlib.Path(os.environ["STANDIN_WINDOWS_DIR"]) / f"standin_{variant}.dll"


def lay_out(folder, runtime=None, script=None):
    if runtime is not None:
        (folder / RUNTIME).parent.mkdir(parents=True)
        shutil.copyfile(runtime, folder / RUNTIME)
    if script is not None:
        (folder / SCRIPT).parent.mkdir(parents=True, exist_ok=True)
        (folder / SCRIPT).write_bytes(script)


def run(folder):
    env = dict(os.environ, WINEDEBUG="-all")
    return subprocess.run([os.environ["WINE"], KESTRUN_WINDOWS], cwd=folder, env=env, input=b"",
                          capture_output=True, timeout=300)


def events(folder):
    log = folder / "events.txt"
    return log.read_text().splitlines() if log.exists() else []


def script_is_a_directory(folder):
    (folder / SCRIPT).mkdir(parents=True)


def runtime_is_text(folder):
    (folder / RUNTIME).parent.mkdir(parents=True)
    (folder / RUNTIME).write_text("not a library\n")


def runtime_is_a_directory(folder):
    (folder / RUNTIME).mkdir(parents=True)


@pytest.mark.parametrize("runtime, prepare, message, called", [
    (None, None, "Unable to load python311.dll", []),
    (None, runtime_is_text, "Unable to load python311.dll", []),
    (None, runtime_is_a_directory, "Unable to load python311.dll", []),
    ("without_initialize", None, "Could not get function Py_InitializeEx from DLL", []),
    ("without_run_string", None, "Could not get function PyRun_SimpleString from DLL", ["Py_InitializeEx 0"]),
    ("without_run_file", None, "Could not get function PyRun_SimpleFile from DLL", ["Py_InitializeEx 0"]),
    ("without_finalize", None, "Could not get function Py_FinalizeEx from DLL", ["Py_InitializeEx 0"]),
    ("full", None, "Could not open file: Orvik\\boot.pyw", ["Py_InitializeEx 0"]),
    ("full", script_is_a_directory, "Could not open file: Orvik\\boot.pyw", ["Py_InitializeEx 0"]),
], ids=["no runtime", "runtime is text", "runtime is a directory", "no Py_InitializeEx",
        "no PyRun_SimpleString", "no PyRun_SimpleFile", "no Py_FinalizeEx", "no script", "script is a directory"])
def test_gives_up_with_one_line_and_failure_status(tmp_path, runtime, prepare, message, called):
    lay_out(tmp_path, runtime=standin(runtime) if runtime else None)
    if prepare:
        prepare(tmp_path)
    result = run(tmp_path)
    # Standard output is in text mode: the line ends as lines end there.
    assert result.stdout.decode() == "Giving up: " + message + "\r\n"
    assert result.returncode == 1
    assert events(tmp_path) == called


@pytest.mark.parametrize("script, handed", [
    (b"a = 1\r\nb = 2\r\n", b"a = 1\r\nb = 2\r\n"),
    (b"a = 1\rb = 2\n", b"a = 1\rb = 2\n"),
    (b"\xef\xbb\xbfname = 'caf\xc3\xa9'\n", b"\xef\xbb\xbfname = 'caf\xc3\xa9'\n"),
    (b"a = 1\n\x1ab = 2\n", b"a = 1\n\x1ab = 2\n"),
    (b"a = 1\n\x00b = 2\n", b"a = 1\n"),
    (b"", b""),
], ids=["CRLF", "lone CR", "BOM and UTF-8", "Ctrl-Z is a byte", "NUL ends the text", "empty"])
def test_hands_over_the_script_byte_for_byte(tmp_path, script, handed):
    lay_out(tmp_path, runtime=standin("full"), script=script)
    result = run(tmp_path)
    assert (result.returncode, result.stdout) == (0, b"")
    assert (tmp_path / "handed.bin").read_bytes() == handed
    assert events(tmp_path) == ["Py_InitializeEx 0", "PyRun_SimpleString", "Py_FinalizeEx"]


@pytest.mark.parametrize("script, status", [(b"fail", 1), (b"unflushable", 120), (b"fine", 0)],
                         ids=["uncaught exception", "shutdown failure", "normal run"])
def test_exit_status_follows_the_run(tmp_path, script, status):
    lay_out(tmp_path, runtime=standin("full"), script=script)
    result = run(tmp_path)
    assert (result.returncode, result.stdout) == (status, b"")
