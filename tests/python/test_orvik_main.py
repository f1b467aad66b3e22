"""The main job: kestrun in the application folder aligns the sample or the stack in settings.toml."""

import re
import shutil
import subprocess

import numpy as np
import pytest
import tifffile

from orvik_support import build_dir, drifted
import orvik


@pytest.fixture
def bundle(tmp_path):
    source = build_dir() / "bundle"
    if not (source / "kestrun").exists():
        pytest.skip(f"no application folder at {source} (build the 'bundle' target)")
    target = tmp_path / "bundle"
    shutil.copytree(source, target, symlinks=True, ignore=shutil.ignore_patterns("output", "settings.toml"))
    return target


def kestrun(folder):
    return subprocess.run(["./kestrun"], cwd=folder, capture_output=True, text=True, timeout=600)


def test_default_job_recovers_the_sample_drift(bundle):
    done = kestrun(bundle)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("aligned 12 frames of 256x256 (rigid, reference first)")
    error = re.search(r"error of the recovered drift mean ([0-9.]+) px, largest ([0-9.]+) px", lines[1])
    assert error, lines
    print(lines[1])
    assert float(error.group(2)) < 0.1
    output = bundle / "Orvik" / "output"
    assert (output / "summary.txt").read_text() == done.stdout
    assert tifffile.imread(output / "aligned.tif").shape == (12, 256, 256)
    assert len(orvik.StackResult.load(output / "matrices.json")) == 12
    assert (output / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_settings_choose_input_family_and_reference(bundle):
    stack, _ = drifted(frames=3)
    np.save(bundle / "Orvik" / "frames.npy", stack)
    (bundle / "Orvik" / "settings.toml").write_text(
        'input = "frames.npy"\noutput = "done"\nfamily = "translation"\nreference = "previous"\n'
        "threads = 1\ncrop = true\n")
    done = kestrun(bundle)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("aligned 3 frames of 128x128 (translation, reference previous)")
    assert "(cropped to rows" in done.stdout and "error of the recovered drift" not in done.stdout
    result = orvik.StackResult.load(bundle / "Orvik" / "done" / "matrices.json")
    rows, columns = result.common_support()
    aligned = tifffile.imread(bundle / "Orvik" / "done" / "aligned.tif")
    assert aligned.shape == (3, rows.stop - rows.start, columns.stop - columns.start)


def test_settings_for_a_multichannel_file(bundle):
    # Channel 1 registered, both moved, 16-bit kept and compressed, the per-frame table beside.
    stack, _ = drifted(frames=3)
    scaled = ((stack - stack.min()) / np.ptp(stack) * 60000.0).astype(np.uint16)
    tifffile.imwrite(bundle / "Orvik" / "two.tif", np.stack([scaled[:, ::-1], scaled], axis=1), imagej=True,
                     metadata={"axes": "TCYX"})
    (bundle / "Orvik" / "settings.toml").write_text(
        'input = "two.tif"\nchannel = 1\ndtype = "input"\ncompress = "zlib"\nreference = "1"\n')
    done = kestrun(bundle)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("aligned 3 frames of 128x128 (rigid, reference frame 1)")
    output = bundle / "Orvik" / "output"
    with tifffile.TiffFile(output / "aligned.tif") as tiff:
        assert tiff.series[0].axes == "TCYX" and tiff.series[0].dtype == np.uint16
        assert tiff.pages[0].compression != 1
    assert (output / "frames.csv").read_text().splitlines()[0].startswith("frame,dx,dy,rotation")


@pytest.mark.parametrize("settings, status, message", [
    ('input = "frames.npy"\nfamilly = "rigid"\n', 1, "unknown setting 'familly'"),
    ('input = "frames.npy"\nthreads = "two"\n', 1, "threads must be an integer, not 'two'"),
    ('family = "rigid"\n', 1, "the setting 'input' (the stack to align) is missing"),
    ('input = "missing.tif"\n', 1, "missing.tif: no such file"),
    ('input = "frames.npy"\nfamily = "warp"\n', 2, "unknown family 'warp'"),
    ('input = [1\n', 1, "settings.toml: "),
    ('input = "frames.npy"\nchannel = "1"\n', 1, "channel must be an integer"),
    ('input = "frames.npy"\ndtype = "uint8"\n', 2, "unknown --dtype 'uint8'"),
])
def test_bad_settings_give_one_line_and_status(bundle, settings, status, message):
    np.save(bundle / "Orvik" / "frames.npy", np.zeros((2, 16, 16)))
    (bundle / "Orvik" / "settings.toml").write_text(settings)
    done = kestrun(bundle)
    assert done.returncode == status
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("orvik: error: ") and message in lines[0], done.stderr


def test_an_unwritable_product_stops_the_job_before_it_writes_any(bundle):
    output = bundle / "Orvik" / "output"
    output.mkdir()
    (output / "summary.txt").write_text("earlier")
    (output / "summary.txt").chmod(0o444)
    done = kestrun(bundle)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == "orvik: error: Orvik/output/summary.txt: the file is read-only\n"
    assert [p.name for p in output.iterdir()] == ["summary.txt"]
    assert (output / "summary.txt").read_text() == "earlier"
