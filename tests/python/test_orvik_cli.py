"""The command line as a user meets it: results, files, and one-line errors with their status."""

import json
import os
import pathlib
import importlib.metadata
import subprocess
import sys
import sysconfig

import numpy as np
import pytest
import tifffile

from orvik_support import INSTALLED, child_environment, drifted, installed_where
import orvik


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "orvik", *map(str, args)], capture_output=True, text=True,
                          env=child_environment(), cwd=cwd, timeout=300)


def launches():
    forms = [("module", [sys.executable, "-m", "orvik"])]
    if INSTALLED:
        user = installed_where(orvik) == pathlib.Path(sysconfig.get_paths("posix_user")["purelib"])
        scripts = sysconfig.get_path("scripts", "posix_user" if user else sysconfig.get_default_scheme())
        forms.append(("command", [os.path.join(scripts, "orvik")]))
    return forms


@pytest.mark.parametrize("name, command", launches())
def test_every_launch_works_from_any_folder_and_gives_the_one_version(name, command, tmp_path):
    version = subprocess.run([*command, "--version"], capture_output=True, text=True, env=child_environment(),
                             cwd=tmp_path, timeout=60)
    assert (version.returncode, version.stdout, version.stderr) == (0, f"orvik {orvik.__version__}\n", "")
    usage = subprocess.run([*command, "align", "--help"], capture_output=True, text=True, env=child_environment(),
                           cwd=tmp_path, timeout=60)
    assert usage.returncode == 0 and usage.stdout.startswith("usage: orvik align "), usage.stderr
    if INSTALLED:
        assert importlib.metadata.version("orvik") == orvik.__version__


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    stack, _ = drifted(frames=4)
    tifffile.imwrite(folder / "stack.tif", stack.astype(np.float32), photometric="minisblack")
    np.save(folder / "stack.npy", stack)
    tifffile.imwrite(folder / "packed.tif", stack, photometric="minisblack", compression="zlib")
    # The same, with the last frame's compressed data wiped: it fails only when that frame is read.
    with tifffile.TiffFile(folder / "packed.tif") as tiff:
        start, length = tiff.pages[3].dataoffsets[0], tiff.pages[3].databytecounts[0]
    data = bytearray((folder / "packed.tif").read_bytes())
    data[start + 8:start + length - 8] = bytes(length - 16)
    (folder / "broken.tif").write_bytes(bytes(data))
    tifffile.imwrite(folder / "rgb.tif", np.zeros((16, 16, 3), np.uint8), photometric="rgb")
    with tifffile.TiffWriter(folder / "unequal.tif") as tiff:
        tiff.write(np.zeros((16, 16), np.uint16))
        tiff.write(np.zeros((16, 20), np.uint16))
    (folder / "garbage.tif").write_bytes(b"II*\0not a tiff at all")
    (folder / "notes.json").write_text(json.dumps({"hello": 1}))
    np.save(folder / "small_template.npy", np.zeros((8, 8)))
    np.save(folder / "two.npy", stack[:2])
    orvik.StackResult("translation", "first", (128, 128), np.zeros((4, 2, 1)), np.zeros((4, 2, 1, 2)),
                      np.zeros(4)).save(folder / "m.json")
    return folder


def test_align_writes_stack_matrices_and_report(files, tmp_path):
    out, matrices, report = tmp_path / "aligned.tif", tmp_path / "m.json", tmp_path / "r.png"
    done = run("align", files / "stack.tif", "-o", out, "--family", "rigid", "--reference", "previous",
               "--threads", 2, "--matrices", matrices, "--report", report)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 1 and lines[0].startswith("aligned 4 frames of 128x128 (rigid, reference previous)")
    assert "registering" in done.stderr and "Traceback" not in done.stderr  # the progress bar

    aligned = tifffile.imread(out)
    result = orvik.StackResult.load(matrices)
    assert aligned.shape == (4, 128, 128) and aligned.dtype == np.float32
    np.testing.assert_array_equal(aligned, orvik.transform_stack(tifffile.imread(files / "stack.tif"), result))

    head = report.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    import matplotlib.image

    picture = matplotlib.image.imread(report)
    assert picture.ndim == 3 and min(picture.shape[:2]) > 300 and np.ptp(picture) > 0

    # Another channel through the saved matrices, cropped to the common area.
    channel = tmp_path / "channel.npy"
    done = run("transform", files / "packed.tif", "-m", matrices, "-o", channel, "--crop", "-q")
    assert done.returncode == 0, done.stderr
    assert done.stderr == "" and done.stdout.startswith("resampled 4 frames of 128x128")
    rows, columns = result.common_support()
    expected = orvik.transform_stack(np.load(files / "stack.npy"), result)[:, rows, columns]
    np.testing.assert_array_equal(np.load(channel), expected)


@pytest.mark.parametrize("args, status, message", [
    (["align", "{d}/missing.tif", "-o", "{t}/o.tif"], 1, "missing.tif: no such file"),
    (["align", "{d}/garbage.tif", "-o", "{t}/o.tif"], 1, "garbage.tif: cannot read the stack"),
    (["align", "{d}/rgb.tif", "-o", "{t}/o.tif"], 1, "rgb.tif: not a greyscale stack"),
    (["align", "{d}/unequal.tif", "-o", "{t}/o.tif"], 1, "unequal.tif: frames of unequal size (16x16 and 16x20)"),
    (["align", "{d}/notes.json", "-o", "{t}/o.tif"], 1, "notes.json: unknown stack format"),
    (["align", "{d}/broken.tif", "-o", "{t}/o.tif"], 1, "broken.tif: frame 3 cannot be read"),
    (["transform", "{d}/broken.tif", "-m", "{d}/m.json", "-o", "{t}/o.tif"], 1, "broken.tif: frame 3 cannot be read"),
    (["align", "{d}/stack.tif", "-o", "{t}/o.tif", "--family", "shear"], 2, "unknown family 'shear'"),
    (["align", "{d}/stack.tif", "-o", "{t}/o.tif", "--reference", "last"], 2, "unknown reference 'last'"),
    (["align", "{d}/stack.tif", "-o", "{t}/o.tif", "--reference", "{d}/small_template.npy"], 1,
     "the template is 8x8, the frames are 128x128"),
    (["align", "{d}/stack.tif", "-o", "{t}/o.png"], 2, "o.png: unknown output format"),
    (["align", "{d}/stack.tif", "-o", "{d}/stack.tif"], 2, "the output would overwrite the input"),
    (["align", "{d}/stack.tif", "-o", "{t}/o.tif", "--threads", "0"], 2, "--threads must be at least 1"),
    (["align", "{d}/stack.tif"], 2, "required: -o/--output"),
    (["align", "{d}/stack.tif", "-o", "{t}/o.tif", "--bogus"], 2, "unrecognized arguments: --bogus"),
    (["resize", "{d}/stack.tif"], 2, "invalid choice: 'resize'"),
    (["transform", "{d}/stack.tif", "-m", "{d}/notes.json", "-o", "{t}/o.tif"], 1,
     "notes.json: not a stack registration file"),
    (["transform", "{d}/stack.tif", "-m", "{d}/nothing.json", "-o", "{t}/o.tif"], 1, "nothing.json: no such file"),
    (["transform", "{d}/two.npy", "-m", "{d}/m.json", "-o", "{t}/o.tif"], 1, "two.npy has 2 frames, "),
    (["align", "{d}/stack.tif", "-o", "{t}/o.tif", "--report", "{t}/o.tif"], 2, "two outputs name the same file"),
    (["align", "{d}/stack.tif", "-o", "{t}/o.tif", "--matrices", "{d}/stack.tif"], 2,
     "the output would overwrite the input"),
])
def test_bad_input_gives_one_line_and_status(files, tmp_path, args, status, message):
    done = run(*[a.format(d=files, t=tmp_path) for a in args])
    assert done.returncode == status
    assert done.stdout == ""
    # One error line, last; before it at most a progress bar that was cleared.
    errors = [line for line in done.stderr.splitlines() if line.startswith("orvik: error: ")]
    assert len(errors) == 1 and done.stderr.endswith(errors[0] + "\n"), done.stderr
    assert "Traceback" not in done.stderr and message in errors[0], errors[0]
    assert list(tmp_path.iterdir()) == []  # neither a product nor a temporary file


def test_align_with_a_mask_warns_of_suspect_frames_and_succeeds(files, tmp_path):
    stack, _ = drifted(frames=4)
    frames = stack.astype(np.float32)
    frames[2] = np.nan  # a frame with nothing usable
    tifffile.imwrite(tmp_path / "bad.tif", frames, photometric="minisblack")
    mask = np.ones(stack.shape[1:])
    mask[:10] = 0
    np.save(tmp_path / "mask.npy", mask)
    out, matrices = tmp_path / "aligned.tif", tmp_path / "m.json"
    done = run("align", tmp_path / "bad.tif", "-o", out, "--mask", tmp_path / "mask.npy", "--no-search", "-q",
               "--matrices", matrices)
    assert done.returncode == 0, done.stderr
    assert "1 suspect" in done.stdout
    warnings = [line for line in done.stderr.splitlines() if line]
    assert len(warnings) == 1 and warnings[0].startswith(f"orvik: warning: {tmp_path / 'bad.tif'}: 1 of 4 frames "
                                                         "are suspect (frames 2)")
    assert orvik.StackResult.load(matrices).flags == ["ok", "ok", "suspect", "ok"]
    np.save(tmp_path / "wrong.npy", np.ones((5, 5)))
    refused = run("align", tmp_path / "bad.tif", "-o", out, "--mask", tmp_path / "wrong.npy", "-q")
    assert refused.returncode == 1 and "the mask is 5x5" in refused.stderr
