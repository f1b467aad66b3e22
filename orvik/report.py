"""A one-page PNG report of a stack registration."""

import math

import numpy as np

from . import geometry


def write_report(path, result, before=None, after=None, title=None, *, metadata=None, crop=None,
                 reference_image=None, frame_image=None, frame_index=None):
    """Write a PNG with the per-frame traces and, when given, the images.

    Traces: shift of the frame centre (dx, dy; in the file's physical unit
    when `metadata` has a pixel size, else pixels), rotation (degrees), scale
    (only for families with one) and a per-frame similarity: the result's
    `scores` when it has them, else the residual. Frames the result flags as
    suspect are marked on every trace. Against time when `metadata` has a
    frame interval, else the frame number.

    Images: `before` and `after` are the mean projections of the stack before
    and after alignment; the after mean is shown over the area every frame
    covers (the zero-padded border is masked, so it does not set the
    contrast). With `frame_image` (frame `frame_index` aligned) the report adds
    its difference to `reference_image` (default: the after mean), both scaled
    to zero mean and unit variance over the common area. `crop` is the
    (rows, columns, ...) the output was cropped to, when it was.
    """
    # The Agg canvas directly: no pyplot, so no global backend switch in the caller.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    times, time_label, traces, suspect = traces_of(result, metadata)

    support = geometry.support_mask(result, result.shape)
    if crop is not None:
        support = support[crop[0], crop[1]]
    images = image_panels(before, after, support, reference_image, frame_image, frame_index, crop)

    figure = Figure(figsize=(12, 9 if images else 5.5), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    grid = figure.add_gridspec(2 if images else 1, math.lcm(len(traces), len(images) or 1),
                               height_ratios=[1, 1.6] if images else [1])
    span = grid.ncols // len(traces)
    for column, (label, series) in enumerate(traces):
        axes = figure.add_subplot(grid[0, column * span:(column + 1) * span])
        for values, name in series:
            axes.plot(times, values, marker="." if len(times) < 60 else None, label=name)
        for i in suspect:
            axes.axvline(times[i], color="tab:red", alpha=0.35, linewidth=1.5)
        axes.set_title(label, fontsize=9)
        axes.set_xlabel(time_label, fontsize=8)
        axes.tick_params(labelsize=7)
        axes.ticklabel_format(useOffset=False, axis="y")
        axes.grid(alpha=0.3)
        if series[0][1]:
            axes.legend(fontsize=7)

    if images:
        span = grid.ncols // len(images)
        for column, (image, label, limits, cmap) in enumerate(images):
            axes = figure.add_subplot(grid[1, column * span:(column + 1) * span])
            shown = axes.imshow(image, cmap=cmap, vmin=limits[0], vmax=limits[1], interpolation="nearest")
            shown.cmap.set_bad("tab:blue", 0.25)
            axes.set_title(label, fontsize=9)
            axes.set_axis_off()

    heading = title or f"{len(result)} frames, {result.family}, reference {result.reference}"
    if len(suspect):
        heading += f"; {len(suspect)} suspect frame{'s' if len(suspect) > 1 else ''} marked in red"
    figure.suptitle(heading, fontsize=11)
    figure.savefig(path, format="png")


def traces_of(result, metadata=None):
    """(x values, x label, [(title, [(values, legend)])], suspect frame indices) of the trace panels."""
    motion = result.describe()
    frames = np.arange(len(result))
    pixel = metadata.pixel_size if metadata is not None and metadata.pixel_size else None
    unit = (metadata.unit or "units") if pixel else "px"
    interval = metadata.frame_interval if metadata is not None and metadata.frame_interval else None
    times = frames * interval if interval else frames
    time_label = f"time ({metadata.time_unit or 's'})" if interval else "frame"
    shifts = motion[:, :2] * (np.asarray(pixel) if pixel else 1.0)

    scores = getattr(result, "scores", None)
    if scores is not None:
        similarity = ("similarity score", np.asarray(scores, dtype=np.float64))
    else:
        similarity = ("residual (mean squared difference)", np.asarray(result.residuals))
    suspect = np.asarray(result.suspect_frames(), dtype=int)

    traces = [(f"shift of the centre ({unit})", [(shifts[:, 0], "dx"), (shifts[:, 1], "dy")]),
              ("rotation (degrees)", [(motion[:, 2], None)])]
    if geometry.family_code(result.family) not in (2, 3):  # translation and rigid maps keep the scale at 1
        traces.append(("scale", [(motion[:, 3], None)]))
    traces.append((similarity[0], [(similarity[1], None)]))
    return times, time_label, traces, suspect


def image_panels(before, after, support, reference, frame, index, crop):
    """(image, title, (low, high), colour map) for each image panel."""
    panels = []
    if before is None or after is None:
        return panels
    covered = support if support.shape == np.shape(after) and support.any() else np.ones(np.shape(after), bool)
    masked_after = np.where(covered, after, np.nan)
    low, high = np.percentile(np.concatenate([np.ravel(before), np.ravel(after)[covered.ravel()]]), [0.5, 99.5])
    panels.append((before, "mean before alignment", (low, high), "gray"))
    panels.append((masked_after, "mean after alignment (common area)", (low, high), "gray"))
    if frame is not None:
        reference = after if reference is None else np.asarray(reference, dtype=np.float64)
        if crop is not None and reference.shape != np.shape(frame):
            reference = reference[crop[0], crop[1]]
        if reference.shape == np.shape(frame):
            difference = np.where(covered, _scaled(frame, covered) - _scaled(reference, covered), np.nan)
            spread = np.nanpercentile(np.abs(difference), 99.5) if np.isfinite(difference).any() else 1.0
            spread = spread if spread > 0 else 1.0
            panels.append((difference, f"frame {index} aligned minus the reference", (-spread, spread), "RdBu_r"))
    return panels


def _scaled(image, where):
    values = np.asarray(image, dtype=np.float64)
    inside = values[where]
    spread = inside.std()
    return (values - inside.mean()) / (spread if spread > 0 else 1.0)
