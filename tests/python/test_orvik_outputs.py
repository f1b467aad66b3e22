"""Output files are complete or absent: checked before the work, moved into place together, never half-written."""

import os
import signal
import stat
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from orvik_support import child_environment, drifted
import orvik
from orvik import atomic, errors, jobs

EARLIER = {"out.tif": b"earlier stack", "m.json": b"earlier matrices", "r.png": b"earlier report"}


def contents(folder):
    """The visible files of a folder and their bytes (temporary files are hidden)."""
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir()) if p.is_file() and not p.name.startswith(".")}


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    # Large enough that resampling it takes a good part of a second: a signal lands mid-way.
    folder = tmp_path_factory.mktemp("large")
    frame = drifted(frames=1, size=128)[0][0]
    np.save(folder / "stack.npy", np.tile(frame, (64, 4, 4)).astype(np.float32))
    orvik.StackResult("translation", "first", (512, 512), np.full((64, 2, 1), 0.25), np.zeros((64, 2, 1, 2)),
                      np.zeros(64)).save(folder / "shift.json")
    return folder


@pytest.mark.parametrize("command", ["align", "transform"])
@pytest.mark.parametrize("number, status, word", [(signal.SIGINT, 130, "interrupted"),
                                                  (signal.SIGTERM, 143, "terminated")])
def test_signal_mid_write_keeps_earlier_outputs_and_removes_the_temporary(large, tmp_path, command, number, status,
                                                                          word):
    for name, data in EARLIER.items():
        (tmp_path / name).write_bytes(data)
    if command == "align":
        args = ["align", large / "stack.npy", "-o", tmp_path / "out.tif", "--family", "translation", "--threads", 1,
                "--matrices", tmp_path / "m.json", "--report", tmp_path / "r.png", "-q"]
    else:
        args = ["transform", large / "stack.npy", "-m", large / "shift.json", "-o", tmp_path / "out.tif", "-q",
                "--threads", 1]
    child = subprocess.Popen([sys.executable, "-m", "orvik", *map(str, args)], env=child_environment(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while not list(tmp_path.glob(".out.tif.*.partial.tif")):
            assert child.poll() is None and time.monotonic() < deadline, "the run ended before writing its stack"
            time.sleep(0.001)
        child.send_signal(signal.SIGSTOP)  # hold it mid-way while the signal is sent
        assert list(tmp_path.glob(".out.tif.*.partial.tif")) and contents(tmp_path) == EARLIER
        child.send_signal(number)
        child.send_signal(signal.SIGCONT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == status, err
    assert out == "" and err.splitlines()[-1] == f"orvik: error: {word}"
    assert [p.name for p in sorted(tmp_path.iterdir())] == sorted(EARLIER)  # the temporary file is gone
    assert contents(tmp_path) == EARLIER


@pytest.fixture
def stack_file(tmp_path):
    path = tmp_path / "in" / "stack.npy"
    path.parent.mkdir()
    np.save(path, drifted(frames=3, size=64)[0])
    return path


@pytest.mark.parametrize("option", ["-o", "--matrices", "--report"])
@pytest.mark.parametrize("fault, message", [
    ("missing folder", "the folder {o}/missing does not exist"),
    ("directory", "is a directory"),
    ("read-only file", "the file is read-only"),
    ("read-only folder", "the folder {o}/locked is read-only"),
])
def test_unwritable_output_is_refused_before_any_work(stack_file, tmp_path, option, fault, message):
    out = tmp_path / "out"
    out.mkdir()
    (out / "locked").mkdir()
    (out / "plain.tif").write_bytes(b"earlier")
    (out / "plain.tif").chmod(0o444)
    # A folder given as an output receives NAME_aligned.tif and the like; one
    # that stands where a {name} pattern puts a file is in the way.
    (out / "stack.tif").mkdir()
    bad = {"missing folder": out / "missing" / "x.tif", "directory": out / "{name}.tif",
           "read-only file": out / "plain.tif", "read-only folder": out / "locked" / "x.tif"}[fault]
    paths = {"-o": out / "a.tif", "--matrices": out / "m.json", "--report": out / "r.png", option: bad}
    (out / "locked").chmod(0o555)
    before = sorted(p.relative_to(out) for p in out.rglob("*"))
    try:
        started = time.monotonic()
        done = subprocess.run([sys.executable, "-m", "orvik", "align", str(stack_file), *[str(a) for o, p in
                               paths.items() for a in (o, p)]], capture_output=True, text=True,
                              env=child_environment(), timeout=60)
        elapsed = time.monotonic() - started
    finally:
        (out / "locked").chmod(0o755)
    # One line and nothing else: no progress bar, so no registration was started.
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == f"orvik: error: {str(bad).format(name='stack')}: {message.format(o=out)}\n"
    assert sorted(p.relative_to(out) for p in out.rglob("*")) == before
    assert elapsed < 30  # generous: the check needs no registration


def test_transform_and_sample_check_their_outputs_first(stack_file, tmp_path):
    result = orvik.register_stack(np.load(stack_file), "translation", progress=False, threads=1)
    result.save(tmp_path / "m.json")
    for args in (["transform", stack_file, "-m", tmp_path / "m.json", "-o", tmp_path / "missing" / "o.tif"],):
        done = subprocess.run([sys.executable, "-m", "orvik", *map(str, args)], capture_output=True, text=True,
                              env=child_environment(), timeout=60)
        assert done.returncode == 1 and done.stderr.startswith(f"orvik: error: {tmp_path / 'missing' / 'o.tif'}:")
    # The sample's pair lands whole over an earlier pair.
    (tmp_path / "s").mkdir()
    (tmp_path / "s" / "drift.json").write_text("earlier")
    done = subprocess.run([sys.executable, "-m", "orvik", "sample", str(tmp_path / "s"), "--frames", "2", "--size",
                           "32"], capture_output=True, text=True, env=child_environment(), timeout=60)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in (tmp_path / "s").iterdir()) == ["drift.json", "drift.tif"]
    assert len(orvik.sample.read_truth(tmp_path / "s" / "drift.json")) == 2


def test_a_failing_product_leaves_none_and_earlier_ones_intact(stack_file, tmp_path, monkeypatch):
    from orvik import report

    for name, data in EARLIER.items():
        (tmp_path / name).write_bytes(data)

    def failing_report(path, *args, **kwargs):
        with open(path, "wb") as f:
            f.write(b"half a picture")
        raise OSError("disk full")

    monkeypatch.setattr(report, "write_report", failing_report)
    with pytest.raises(OSError, match="disk full"):
        jobs.align_files(stack_file, tmp_path / "out.tif", "translation", matrices=tmp_path / "m.json",
                         report=tmp_path / "r.png", progress=False, threads=1)
    assert contents(tmp_path) == EARLIER
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([*EARLIER, "in"])  # no temporary file either


@pytest.mark.parametrize("mask", [0o022, 0o077])
def test_products_land_together_with_the_permissions_of_a_plain_write(stack_file, tmp_path, mask):
    # A new file gets what the umask leaves; a replaced one keeps its permissions.
    (tmp_path / "m.json").write_text("earlier")
    (tmp_path / "m.json").chmod(0o604)
    previous = os.umask(mask)
    try:
        result, _ = jobs.align_files(stack_file, tmp_path / "out.npy", "translation", matrices=tmp_path / "m.json",
                                     progress=False, threads=1)
    finally:
        os.umask(previous)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in", "m.json", "out.npy"]
    assert (tmp_path / "out.npy").stat().st_mode & 0o777 == 0o666 & ~mask
    assert (tmp_path / "m.json").stat().st_mode & 0o777 == 0o604
    assert orvik.StackResult.load(tmp_path / "m.json").matrices.shape == (3, 2, 1)
    np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), orvik.transform_stack(np.load(stack_file), result))


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_during_the_commit_lets_every_product_land(tmp_path, monkeypatch, number):
    finals = [tmp_path / "a.txt", tmp_path / "b.txt"]
    for final in finals:
        final.write_text("earlier")
    replace = os.replace

    def replace_then_signal(source, target):
        replace(source, target)
        if target == str(finals[0]):
            os.kill(os.getpid(), number)

    def work():
        with atomic.Outputs(*finals) as outputs:
            for final in finals:
                with open(outputs.path(final), "w") as f:
                    f.write("new")
        return 0

    monkeypatch.setattr(os, "replace", replace_then_signal)
    assert errors.run_stoppable(work) == 0
    assert [f.read_text() for f in finals] == ["new", "new"] and len(list(tmp_path.iterdir())) == 2


@pytest.mark.parametrize("number, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_while_working_discards_the_products(tmp_path, number, status, capsys):
    final = tmp_path / "a.txt"

    def work():
        with atomic.Outputs(final) as outputs:
            with open(outputs.path(final), "w") as f:
                f.write("new")
            os.kill(os.getpid(), number)
            time.sleep(5)  # the signal ends the work long before this
        return 0

    assert errors.run_stoppable(work) == status
    assert list(tmp_path.iterdir()) == [] and capsys.readouterr().err.startswith("orvik: error: ")


@pytest.mark.parametrize("kind", ["link", "pipe"])
def test_a_link_is_followed_and_a_pipe_written_as_it_is(tmp_path, kind):
    final, kept = tmp_path / "out.txt", tmp_path / "kept"
    kept.mkdir()
    received = []
    if kind == "link":
        (kept / "target.txt").write_text("earlier")
        final.symlink_to(kept / "target.txt")
    else:
        os.mkfifo(final)
        reader = threading.Thread(target=lambda: received.append(final.read_text()))
        reader.start()
    with atomic.Outputs(final) as outputs:
        with open(outputs.path(final), "w") as f:
            f.write("new")
    if kind == "link":
        assert final.is_symlink() and (kept / "target.txt").read_text() == "new"
        assert sorted(p.name for p in kept.iterdir()) == ["target.txt"]
    else:
        reader.join(timeout=10)
        assert received == ["new"] and stat.S_ISFIFO(final.lstat().st_mode)


def test_outputs_group_commits_only_on_success(tmp_path):
    final = tmp_path / "a.txt"
    final.write_text("earlier")
    with pytest.raises(KeyboardInterrupt):
        with atomic.Outputs(final) as outputs:
            with open(outputs.path(final), "w") as f:
                f.write("new")
            raise KeyboardInterrupt
    assert [p.name for p in tmp_path.iterdir()] == ["a.txt"] and final.read_text() == "earlier"
    with atomic.Outputs(final) as outputs:
        with open(outputs.path(final), "w") as f:
            f.write("new")
    assert [p.name for p in tmp_path.iterdir()] == ["a.txt"] and final.read_text() == "new"
