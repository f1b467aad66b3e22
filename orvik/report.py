"""A one-page PNG report of a stack registration."""

import numpy as np


def write_report(path, result, before=None, after=None, title=None):
    """Write a PNG with the per-frame traces and, when given, the mean projections.

    Traces: shift of the frame centre (dx, dy in pixels), rotation (degrees),
    scale and residual per frame, suspect frames marked with a red x. `before` and `after` are the mean projections
    of the stack before and after alignment, shown side by side.
    """
    # The Agg canvas directly: no pyplot, so no global backend switch in the caller.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    motion = result.describe()
    frames = np.arange(len(result))
    suspect = result.suspect_frames()
    images = before is not None and after is not None
    figure = Figure(figsize=(11, 9 if images else 5.5), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    grid = figure.add_gridspec(2 if images else 1, 4, height_ratios=[1, 1.6] if images else [1])

    traces = [
        ("shift of the centre (px)", [(motion[:, 0], "dx"), (motion[:, 1], "dy")]),
        ("rotation (degrees)", [(motion[:, 2], None)]),
        ("scale", [(motion[:, 3], None)]),
        ("residual (mean squared difference)", [(result.residuals, None)]),
    ]
    for column, (label, series) in enumerate(traces):
        axes = figure.add_subplot(grid[0, column])
        for values, name in series:
            axes.plot(frames, values, marker="." if len(frames) < 60 else None, label=name)
            if suspect:
                axes.plot(suspect, np.asarray(values)[suspect], "x", color="red", markersize=7,
                          label="suspect" if name != "dy" else None)
        axes.set_title(label, fontsize=9)
        axes.set_xlabel("frame", fontsize=8)
        axes.tick_params(labelsize=7)
        axes.ticklabel_format(useOffset=False, axis="y")
        axes.grid(alpha=0.3)
        if series[0][1] or suspect:
            axes.legend(fontsize=7)

    if images:
        low, high = np.percentile(np.concatenate([np.ravel(before), np.ravel(after)]), [0.5, 99.5])
        for column, (image, label) in enumerate([(before, "mean before alignment"), (after, "mean after alignment")]):
            axes = figure.add_subplot(grid[1, 2 * column:2 * column + 2])
            axes.imshow(image, cmap="gray", vmin=low, vmax=high, interpolation="nearest")
            axes.set_title(label, fontsize=9)
            axes.set_axis_off()

    heading = title or f"{len(result)} frames, {result.family}, reference {result.reference}"
    if suspect:
        heading += f" ({len(suspect)} suspect, marked x)"
    figure.suptitle(heading, fontsize=11)
    figure.savefig(path, format="png")
