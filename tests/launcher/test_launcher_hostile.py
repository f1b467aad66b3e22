"""kestrun in hostile application folders: scripts it cannot read whole and
runtime paths that are no library. Each ends with one "Giving up: " line and
status 1, or, for a script it can read, with the status of the run."""

import pathlib
import os
import shutil
import subprocess

import pytest

from test_launcher import KESTRUN, SCRIPT, events, lay_out, run, standin

RUNTIME = "Orvik/python/libpython3.11.so"


def runtime_is_a_directory(folder):
    (folder / RUNTIME).mkdir(parents=True)


def runtime_is_text(folder):
    (folder / RUNTIME).parent.mkdir(parents=True)
    (folder / RUNTIME).write_text("not a library\n")


def runtime_is_empty(folder):
    (folder / RUNTIME).parent.mkdir(parents=True)
    (folder / RUNTIME).write_bytes(b"")


def runtime_is_truncated(folder):
    # The first half of a real library: the header claims what is not there.
    (folder / RUNTIME).parent.mkdir(parents=True)
    data = open(standin("full"), "rb").read()
    (folder / RUNTIME).write_bytes(data[: len(data) // 2])


def runtime_is_a_dangling_link(folder):
    (folder / RUNTIME).parent.mkdir(parents=True)
    (folder / RUNTIME).symlink_to(folder / "gone.so")


def runtime_is_a_loop(folder):
    (folder / RUNTIME).parent.mkdir(parents=True)
    (folder / RUNTIME).symlink_to(folder / RUNTIME)


def runtime_is_not_a_python(folder):
    # A real library of this machine that exports none of the entries: the C
    # library this very process runs on.
    with open("/proc/self/maps") as maps:
        libc = next(line.split()[-1] for line in maps if "/libc.so" in line or "/libc-" in line)
    (folder / RUNTIME).parent.mkdir(parents=True)
    (folder / RUNTIME).symlink_to(libc)


@pytest.mark.parametrize("prepare, message", [
    (runtime_is_a_directory, "Unable to load libpython3.11.so"),
    (runtime_is_text, "Unable to load libpython3.11.so"),
    (runtime_is_empty, "Unable to load libpython3.11.so"),
    pytest.param(runtime_is_truncated, "Unable to load libpython3.11.so", marks=pytest.mark.xfail(
        strict=True, reason="the system loader maps the missing tail and faults (SIGBUS) inside dlopen")),
    (runtime_is_a_dangling_link, "Unable to load libpython3.11.so"),
    (runtime_is_a_loop, "Unable to load libpython3.11.so"),
    (runtime_is_not_a_python, "Could not get function Py_InitializeEx from DLL"),
], ids=["directory", "text file", "empty file", "truncated library", "dangling link", "link loop",
        "library without the entries"])
def test_runtime_that_is_no_runtime(tmp_path, prepare, message):
    prepare(tmp_path)
    lay_out(tmp_path, script=b"print('never run')\n")
    result = run(tmp_path)
    assert (result.returncode, result.stdout.decode(), result.stderr) == (1, f"Giving up: {message}\n", b"")


@pytest.fixture(scope="module")
def race_shim(tmp_path_factory):
    """Changes the script at an exact point of the launcher's reading."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the shim")
    library = tmp_path_factory.mktemp("shim") / "race_shim.so"
    source = pathlib.Path(__file__).with_name("RaceShim.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source), "-ldl"], check=True)
    return str(library)


def run_with_shim(folder, shim, setting):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["LD_PRELOAD"] = ":".join(filter(None, [env.get("LD_PRELOAD"), shim]))
    env[setting] = "1"
    return subprocess.run([KESTRUN], cwd=folder, env=env, input=b"", capture_output=True, timeout=120)


@pytest.mark.parametrize("setting, message", [
    ("KESTRUN_REMOVE_BEFORE_OPEN", "Giving up: Could not open file: Orvik/boot.pyw\n"),
    ("KESTRUN_SHRINK_AFTER_SIZE", "Giving up: Could not read file: Orvik/boot.pyw\n"),
    # An open file outlives its name: the whole text is read and run.
    ("KESTRUN_REMOVE_AFTER_OPEN", ""),
], ids=["removed before open", "shrinks after its size is taken", "removed after open"])
def test_script_changing_while_it_is_read(tmp_path, race_shim, setting, message):
    script = b"x = 1\r\n" * 1000
    lay_out(tmp_path, runtime=standin("full"), script=script)
    result = run_with_shim(tmp_path, race_shim, setting)
    assert result.stdout.decode() == message
    assert result.returncode == (1 if message else 0)
    if message:
        assert "PyRun_SimpleString" not in events(tmp_path)
    else:
        assert (tmp_path / "handed.bin").read_bytes() == script


def test_script_whose_reads_fail(tmp_path):
    # Opens and seeks like a file, but every read fails (EIO at offset 0):
    # unreadable even for root, for whom file modes grant everything.
    lay_out(tmp_path, runtime=standin("full"))
    (tmp_path / "Orvik").mkdir(exist_ok=True)
    (tmp_path / SCRIPT).symlink_to("/proc/self/mem")
    result = run(tmp_path)
    assert (result.returncode, result.stdout.decode()) == (1, "Giving up: Could not read file: Orvik/boot.pyw\n")
    assert events(tmp_path) == ["Py_InitializeEx 0"]


def test_script_without_read_permission(tmp_path):
    lay_out(tmp_path, runtime=standin("full"), script=b"x = 1\n")
    (tmp_path / SCRIPT).chmod(0)
    result = run(tmp_path)
    if os.geteuid() == 0:
        # Modes do not bind root: the file is read and run like any other.
        assert (result.returncode, result.stdout) == (0, b"")
        assert (tmp_path / "handed.bin").read_bytes() == b"x = 1\n"
    else:
        assert (result.returncode, result.stdout.decode()) == (1, "Giving up: Could not open file: Orvik/boot.pyw\n")


def test_large_binary_script_is_handed_over_up_to_its_first_zero(tmp_path):
    # 64 MiB of bytes: everything up to the first zero is the text.
    block = bytes(range(1, 256)) * 4096
    data = block * 64 + b"\x00" + block
    lay_out(tmp_path, runtime=standin("full"), script=data)
    result = run(tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert (tmp_path / "handed.bin").read_bytes() == block * 64


def test_large_binary_script_in_the_real_runtime_fails_as_a_script(tmp_path):
    runtime = os.environ["ORVIK_SYSTEM_RUNTIME"]
    lay_out(tmp_path, runtime=runtime, script=bytes(range(1, 256)) * 40000)
    result = run(tmp_path)
    assert result.returncode == 1 and result.stdout == b""
    assert b"SyntaxError" in result.stderr or b"ValueError" in result.stderr


def test_folder_removed_under_the_launcher_is_only_a_missing_runtime(tmp_path):
    folder = tmp_path / "app"
    folder.mkdir()
    lay_out(folder, script=b"x = 1\n")
    shutil.rmtree(folder / "Orvik")
    result = run(folder)
    assert (result.returncode, result.stdout.decode()) == (1, "Giving up: Unable to load libpython3.11.so\n")
