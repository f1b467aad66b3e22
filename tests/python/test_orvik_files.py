"""Stack files as instruments write them: axes, channels, metadata, pixel types, provenance, many inputs."""

import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest
import tifffile

from orvik_support import ROOT, drifted
import orvik
from orvik import io, jobs, tiffmeta, writers


def run(*args, cwd=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run([sys.executable, "-m", "orvik", *map(str, args)], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=300)


def _channels():
    # Two channels that differ: the second is the first upside down, so a wrong channel or
    # interleaving shows in the pixels.
    stack, _ = drifted(frames=4)
    scaled = (stack - stack.min()) / np.ptp(stack) * 60000.0
    return np.stack([scaled, scaled[:, ::-1].copy()], axis=1).astype(np.uint16)


OME_SIZES = {"PhysicalSizeX": 0.2, "PhysicalSizeY": 0.25, "PhysicalSizeXUnit": "µm", "PhysicalSizeYUnit": "µm",
             "TimeIncrement": 0.5, "TimeIncrementUnit": "s"}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("files")
    data = _channels()
    tifffile.imwrite(folder / "ij.tif", data, imagej=True, resolution=(5.0, 4.0),
                     metadata={"axes": "TCYX", "unit": "um", "finterval": 0.5})
    tifffile.imwrite(folder / "ij_zlib.tif", data, imagej=True, compression="zlib", metadata={"axes": "TCYX"})
    tifffile.imwrite(folder / "ome.tif", data, ome=True, metadata={"axes": "TCYX", **OME_SIZES})
    tifffile.imwrite(folder / "ome_ct.tif", np.swapaxes(data, 0, 1).copy(), ome=True,
                     metadata={"axes": "CTYX", **OME_SIZES})
    tifffile.imwrite(folder / "shaped.tif", data, metadata={"axes": "TCYX"})
    tifffile.imwrite(folder / "shaped_cm.tif", data, metadata={"axes": "TCYX"}, resolution=(5e4, 4e4),
                     resolutionunit="CENTIMETER")
    tifffile.imwrite(folder / "plain.tif", data[:, 0], photometric="minisblack")
    tifffile.imwrite(folder / "z.tif", data[:, 0], imagej=True, metadata={"axes": "ZYX"})
    tifffile.imwrite(folder / "tz.tif", np.stack([data[:, :1]] * 2, axis=1), imagej=True,
                     metadata={"axes": "TZCYX"})
    return folder


@pytest.mark.parametrize("name, time_axis, axes, channels", [
    ("ij.tif", None, "TCYX", 2),
    ("ij_zlib.tif", None, "TCYX", 2),      # decoded page by page through the declared order
    ("ome.tif", None, "TCYX", 2),
    ("ome_ct.tif", None, "TCYX", 2),       # channels first in the file
    ("shaped.tif", None, "TCYX", 2),
    ("plain.tif", None, "TYX", 0),
    ("z.tif", "Z", "ZYX", 0),
])
def test_axes_come_from_the_file(files, name, time_axis, axes, channels):
    opened = tiffmeta.open_file(files / name, time_axis)
    assert opened.metadata.axes == axes and opened.channels == channels
    data = _channels()
    for t in (0, 3):
        for c in range(max(channels, 1)):
            frame = opened.data[t, c] if channels else opened.data[t]
            np.testing.assert_array_equal(frame, data[t, c])
        np.testing.assert_array_equal(np.asarray(opened.frames(channels - 1 if channels else None)[t]),
                                      data[t, max(channels - 1, 0)])


def test_an_open_tiff_with_channels_is_not_read_as_twice_the_frames(files):
    data = _channels()
    with tifffile.TiffFile(files / "ij_zlib.tif") as tiff:
        result = orvik.register_stack(tiff, "rigid", progress=False, channel=1)
        out = orvik.transform_stack(tiff, result)
    assert len(result) == 4 and out.shape == data.shape
    np.testing.assert_array_equal(result.matrices, orvik.register_stack(data[:, 1], "rigid", progress=False).matrices)


@pytest.mark.parametrize("name, time_axis, message", [
    ("z.tif", None, "a Z axis of 4 planes .*\\(--time-axis Z\\)"),
    ("tz.tif", None, "the Z axis \\(2 long, axes TZYX\\) is neither the time axis nor channels"),
    ("ij.tif", "Z", "no axis 'Z' to align along"),
    ("ij.tif", "C", "cannot be the time axis"),
])
def test_axes_that_cannot_be_aligned_are_refused(files, name, time_axis, message):
    with pytest.raises(io.StackError, match=message):
        tiffmeta.open_file(files / name, time_axis)


@pytest.mark.parametrize("name, kind, pixel, interval", [
    ("ij.tif", "imagej", (0.2, 0.25), 0.5),
    ("ome.tif", "ome", (0.2, 0.25), 0.5),
    ("shaped_cm.tif", "shaped", (0.2, 0.25), None),
])
def test_output_keeps_axes_sizes_interval_and_moves_every_channel(files, tmp_path, name, kind, pixel, interval):
    out = tmp_path / "out.tif"
    result, line = jobs.align_files(files / name, out, "rigid", channel=1, dtype="input", progress=False,
                                    matrices=tmp_path / "m.json")
    assert line.startswith("aligned 4 frames of 128x128") and line.endswith("(2 channels, registered on channel 1)")
    written = tiffmeta.open_file(out)
    meta = written.metadata
    assert (meta.kind, meta.axes, written.dtype, written.channels) == (kind, "TCYX", np.uint16, 2)
    np.testing.assert_allclose(meta.pixel_size, pixel)
    assert meta.unit == "µm" and meta.frame_interval == interval
    assert tiffmeta.open_file(files / name).metadata.pixel_size == pytest.approx(pixel)
    data = _channels()
    alone = orvik.register_stack(data[:, 1], "rigid", progress=False)
    np.testing.assert_array_equal(result.matrices, alone.matrices)
    for c in range(2):
        expected = orvik.transform_stack(data[:, c], alone)
        np.testing.assert_array_equal(tifffile.imread(out)[:, c], writers.convert(expected, np.uint16))
    saved = json.loads((tmp_path / "m.json").read_text())["provenance"]
    assert saved["version"] == orvik.__version__ and saved["input"] == str(files / name)
    assert saved["options"]["channel"] == 1 and saved["input_metadata"]["pixel_size"] == list(pixel)


@pytest.mark.parametrize("values, dtype, expected", [
    ([0.5, 1.5, 2.5, -0.5, 2.49999], np.uint8, [0, 2, 2, 0, 2]),        # halves to even
    ([-3.0, 255.6, 1e9, -1e9], np.uint8, [0, 255, 255, 0]),             # clipped, never wrapped
    ([32767.5, -32768.7, 0.5], np.int16, [32767, -32768, 0]),
    ([70000.0, 1.25], np.float16, [65504.0, 1.25]),                     # the largest finite float16
])
def test_conversion_to_the_output_type(values, dtype, expected):
    got = writers.convert(np.array(values, dtype=np.float32), dtype)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, np.array(expected, dtype=dtype))


@pytest.mark.parametrize("compression", writers.COMPRESSIONS)
def test_compressed_output_holds_the_same_pixels(files, tmp_path, compression):
    plain, packed = tmp_path / "plain.tif", tmp_path / "packed.tif"
    jobs.align_files(files / "ij.tif", plain, progress=False, crop=True)
    jobs.align_files(files / "ij.tif", packed, progress=False, crop=True, compression=compression)
    with tifffile.TiffFile(packed) as tiff:
        assert tiff.pages[0].compression != 1 and tiff.series[0].axes == "TCYX"
    np.testing.assert_array_equal(tifffile.imread(packed), tifffile.imread(plain))
    assert os.path.getsize(packed) < os.path.getsize(plain)


def test_streamed_writer_refuses_frames_out_of_order_and_leaves_no_file(tmp_path):
    out = io.create_stack(tmp_path / "s.tif", (3, 4, 5), np.uint16, compression="zlib")
    out[0] = np.zeros((4, 5))
    with pytest.raises(ValueError, match="in order"):
        out[2] = np.zeros((4, 5))
    with pytest.raises(ValueError, match="1 of 3 frames"):
        out.flush()
    out.close()
    with pytest.raises(ValueError, match="cannot be compressed"):
        io.create_stack(tmp_path / "s.npy", (3, 4, 5), compression="zlib")


def test_template_file_is_named_and_old_files_still_load(files, tmp_path):
    template = tmp_path / "template.npy"
    np.save(template, _channels()[2, 0])
    result, line = jobs.align_files(files / "plain.tif", tmp_path / "o.tif", reference=str(template),
                                    progress=False, matrices=tmp_path / "m.json")
    assert "reference template" in line
    loaded = orvik.StackResult.load(tmp_path / "m.json")
    assert loaded.reference == "template" and loaded.provenance["template"] == str(template)
    assert loaded.provenance["date"].endswith("+00:00") and loaded.provenance["family"] == "rigid"
    # A file from before provenance was recorded.
    data = json.loads((tmp_path / "m.json").read_text())
    del data["provenance"]
    (tmp_path / "old.json").write_text(json.dumps(data))
    old = orvik.StackResult.load(tmp_path / "old.json")
    assert old.provenance == {} and "provenance" not in old.to_dict()
    np.testing.assert_array_equal(old.matrices, loaded.matrices)


def test_transform_moves_every_channel_through_saved_matrices(files, tmp_path):
    jobs.align_files(files / "plain.tif", tmp_path / "a.tif", progress=False, matrices=tmp_path / "m.json")
    line = jobs.transform_files(files / "ij_zlib.tif", tmp_path / "m.json", tmp_path / "b.npy", progress=False)
    assert line.startswith("resampled 4 frames x 2 channels of 128x128")
    result = orvik.StackResult.load(tmp_path / "m.json")
    np.testing.assert_array_equal(np.load(tmp_path / "b.npy"), orvik.transform_stack(_channels(), result))


def test_many_inputs_each_get_their_outputs_and_one_failure_does_not_stop_them(files, tmp_path):
    done = run("align", files / "plain.tif", files / "z.tif", files / "ij.tif", "-o", tmp_path / "out",
               "--table", tmp_path / "out", "--family", "euclidean", "--reference", "1")
    assert done.returncode == 1, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and "(rigid, reference frame 1)" in lines[0] and "ij_aligned.tif (2 channels" in lines[1]
    assert lines[2] == f"aligned 2 of 3 stacks; failed: {files / 'z.tif'}"
    errors = [line for line in done.stderr.splitlines() if line.startswith("orvik: error: ")]
    assert len(errors) == 1 and "z.tif: the stack has a Z axis" in errors[0]
    assert sorted(os.listdir(tmp_path / "out")) == ["ij_aligned.tif", "ij_frames.csv", "plain_aligned.tif",
                                                     "plain_frames.csv"]
    with open(tmp_path / "out" / "ij_frames.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["frame"] for r in rows] == ["0", "1", "2", "3"] and float(rows[1]["dx"]) == 0.0
    # Progress off a terminal: one line per stage, no carriage returns.
    assert "\r" not in done.stderr and "registering: 3 frames in " in done.stderr


def test_patterns_folders_and_clashes(files, tmp_path):
    done = run("align", files / "p*.tif", "-o", tmp_path / "{name}_reg.tif", "-q")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert os.path.exists(tmp_path / "plain_reg.tif")
    (tmp_path / "a").mkdir(), (tmp_path / "b").mkdir()
    for folder in ("a", "b"):
        tifffile.imwrite(tmp_path / folder / "x.tif", _channels()[:, 0], photometric="minisblack")
    done = run("align", tmp_path / "a", tmp_path / "b", "-o", tmp_path / "out")
    assert done.returncode == 2 and "would both write" in done.stderr and not (tmp_path / "out").exists()
    done = run("align", tmp_path / "nothing*.tif", "-o", tmp_path / "out")
    assert done.returncode == 2 and "no file matches" in done.stderr
    done = run("align", tmp_path / "a", "-o", tmp_path / "one.tif")
    assert done.returncode == 2 and "names a folder or a {name} pattern" in done.stderr
    # Matrices per input for the resampling of other files.
    done = run("align", tmp_path / "a", "-o", tmp_path / "m", "--matrices", tmp_path / "m" / "{name}.json", "-q")
    assert done.returncode == 0, done.stderr
    done = run("transform", tmp_path / "a", "-m", tmp_path / "m" / "{name}.json", "-o", tmp_path / "t", "-q")
    assert done.returncode == 0 and os.path.exists(tmp_path / "t" / "x_aligned.tif"), done.stderr


@pytest.mark.parametrize("args, message", [
    (["--dtype", "int8"], "invalid choice: 'int8'"),
    (["--compress", "jpeg"], "invalid choice: 'jpeg'"),
    (["--channel", "-1"], "--channel must be 0 or more"),
    (["-q", "-v"], "not allowed with argument"),
])
def test_bad_file_options_are_usage_errors(files, tmp_path, args, message):
    done = run("align", files / "ij.tif", "-o", tmp_path / "o.tif", *args)
    assert done.returncode == 2 and message in done.stderr and not (tmp_path / "o.tif").exists()


def test_verbose_says_what_it_read_and_quiet_says_nothing(files, tmp_path):
    done = run("align", files / "ij.tif", "-o", tmp_path / "o.tif", "-v", "--channel", "1")
    assert done.returncode == 0
    assert "axes TCYX, pixel 0.2 x 0.25 µm, interval 0.5 s, registered on channel 1 of 2" in done.stderr
    done = run("align", files / "ij.tif", "-o", tmp_path / "o.tif", "-q", "--compress", "zlib")
    assert done.returncode == 0 and done.stderr == ""


def test_bar_on_a_terminal_stays_as_a_final_line(files, tmp_path):
    import pty

    controller, terminal = pty.openpty()
    env = dict(os.environ, COLUMNS="100")
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    try:
        done = subprocess.run([sys.executable, "-m", "orvik", "align", str(files / "plain.tif"), "-o",
                               str(tmp_path / "o.tif")], stdout=subprocess.PIPE, stderr=terminal, env=env,
                              timeout=300)
    finally:
        os.close(terminal)
    shown = b""
    try:
        while chunk := os.read(controller, 4096):
            shown += chunk
    except OSError:  # the terminal's other end is closed: all is read
        pass
    os.close(controller)
    assert done.returncode == 0
    final = shown.decode().replace("\r\n", "\n").split("\r")[-1].splitlines()
    assert final[-1].startswith("resampling: 100%") and "4/4" in final[-1] and "frame/s]" in final[-1]
    assert any(line.startswith("registering: 100%") and "3/3" in line for line in shown.decode().split("\r"))


@pytest.mark.parametrize("family, scores, panels", [
    ("rigid", None, ["shift of the centre (µm)", "rotation (degrees)", "residual (mean squared difference)"]),
    ("affine", [0.9, 0.2, 0.8], ["shift of the centre (µm)", "rotation (degrees)", "scale", "similarity score"]),
])
def test_report_traces_follow_the_family_units_and_flags(family, scores, panels):
    from orvik import report

    stack, _ = drifted(frames=3)
    result = orvik.register_stack(stack, family, progress=False)
    result.scores = result.flags = None  # as a file written before the verdict loads
    if scores is not None:
        result.scores, result.flags = np.array(scores), ["ok", "suspect", "ok"]
    metadata = tiffmeta.Metadata(pixel_size=(0.5, 0.5), unit="µm", frame_interval=2.0, time_unit="s")
    times, label, traces, suspect = report.traces_of(result, metadata)
    assert [title for title, _ in traces] == panels
    assert label == "time (s)" and list(times) == [0.0, 2.0, 4.0]
    np.testing.assert_allclose(traces[0][1][0][0], result.describe()[:, 0] * 0.5)
    assert list(suspect) == ([1] if scores else [])


def test_report_after_mean_is_judged_over_the_common_area_only():
    from orvik import report

    after = np.full((6, 6), 100.0)
    after[:, :2] = 0.0   # the zero-padded border of the aligned frames
    support = np.ones((6, 6), bool)
    support[:, :2] = False
    panels = report.image_panels(np.full((6, 6), 100.0), after, support, None, after, 1, None)
    masked, _, limits, _ = panels[1]
    assert np.isnan(masked[:, :2]).all() and limits == (100.0, 100.0)
    difference = panels[2][0]
    assert np.isnan(difference[:, :2]).all() and np.all(difference[:, 2:] == 0.0)
