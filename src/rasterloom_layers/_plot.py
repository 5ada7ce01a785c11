"""Pictures of numbered layers: the whole path with every scan line in its
own colour, a layer of many short lines (islands), and two turn-arounds
close up. Drawn with matplotlib (the extra `rasterloom[plot]`) on figures of
their own, so that pyplot's state in the caller's session stays untouched.
"""
from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np
from numpy.typing import NDArray

from ._files import import_extra

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

Floats = NDArray[np.floating[Any]]
Labels = NDArray[np.integer[Any]]

MAX_DRAWN_POINTS = 400_000
MAX_PRINTED_IDS = 150
GREY = "#b4b4b4"
# Neighbouring scan lines always get different colours; ids repeat the cycle.
PALETTE = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
           "#8c564b", "#e377c2", "#bcbd22", "#17becf"]


def colour_of(scanline_id: int) -> str:
    return PALETTE[(scanline_id - 1) % len(PALETTE)]


def _figure(width: float, height: float, dpi: int) -> Figure:
    import_extra("matplotlib", "plot", "drawing a layer")
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), dpi=dpi)


def _save(fig: Figure, output: Path) -> Path:
    fig.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output)
    return output


def _path_segments(x: Floats, y: Floats,
                   labels: Labels) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """Consecutive point pairs with the label they share (-1 where the two
    points lie in different stretches)."""
    points = np.column_stack([x, y]).astype(np.float64)
    segments = np.stack([points[:-1], points[1:]], axis=1)
    same = labels[:-1] == labels[1:]
    return segments, np.where(same, labels[:-1], -1).astype(np.int64)


def stretches(labels: Labels) -> list[tuple[int, int, int]]:
    """(id, first index, last index) of every labelled stretch, in path order."""
    if labels.size == 0:
        return []
    starts = np.concatenate([[0], np.flatnonzero(np.diff(labels)) + 1])
    ends = np.concatenate([starts[1:] - 1, [labels.size - 1]])
    return [(int(labels[a]), int(a), int(b)) for a, b in zip(starts, ends) if labels[a] > 0]


def count_scanlines(labels: Labels) -> int:
    return int(np.unique(labels[labels > 0]).size)


def title_of(name: str, labels: Labels) -> str:
    """`name` with the points, scan lines and id range of a numbered layer."""
    ids = labels[labels > 0]
    span = f", ids {ids.min()}\u2013{ids.max()}" if ids.size else ""
    return (f"{name}: {len(labels)} points, {count_scanlines(labels)} scan lines{span}, "
            f"{int(np.count_nonzero(labels < 0))} points without a scan line (grey)")


def draw_overview(x: Floats, y: Floats, labels: Labels, output: Path, title: str,
                  close_ups: Sequence[int] = ()) -> Path:
    """The whole path: every scan line in its own colour with its id at the
    end where it closes, points without a scan line in grey, jumps between
    parts dotted; black boxes around the ends of the lines `close_ups`.
    Writes the picture to `output` (PNG) and returns that path."""
    from matplotlib.collections import LineCollection
    from matplotlib.lines import Line2D
    from matplotlib.patches import Rectangle

    fig = _figure(11, 4.6, 100)
    ax = fig.subplots()
    if len(x) > 1:
        # Large recordings are thinned out for the drawing (not for the ids).
        every = max(1, len(x) // MAX_DRAWN_POINTS)
        segments, seg_labels = _path_segments(x[::every], y[::every], labels[::every])
        lengths = np.hypot(*(segments[:, 1] - segments[:, 0]).T)
        jump = lengths > 20 * np.median(lengths)   # laser off between two parts
        grey = (seg_labels < 0) & ~jump
        ax.add_collection(LineCollection(segments[grey], colors=GREY, linewidths=0.8))
        ax.add_collection(LineCollection(segments[jump], colors=GREY, linewidths=0.8,
                                         linestyles=":"))
        coloured = (seg_labels >= 0) & ~jump
        ax.add_collection(LineCollection(
            segments[coloured], linewidths=1.1,
            colors=[colour_of(int(i)) for i in seg_labels[coloured]]))
    span = float(np.ptp(y)) if len(y) else 1.0
    numbered = stretches(labels)
    printed = 0 < len(numbered) <= MAX_PRINTED_IDS
    if printed:
        for scanline_id, first, last in numbered:
            # `last` is the middle point of the turn-around that closes the line.
            rising = y[last] >= y[first:last + 1].mean()
            ax.text(float(x[last]), float(y[last]) + (0.02 if rising else -0.02) * span,
                    str(scanline_id), ha="center", va="bottom" if rising else "top",
                    fontsize=6.5, color=colour_of(int(scanline_id)))
    ax.autoscale()
    ax.margins(0.02, 0.08)
    ax.set_aspect("equal")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title(title, fontsize=10)
    handles = [Line2D([], [], color=c, lw=2) for c in PALETTE[:4]]
    ax.legend([tuple(handles), Line2D([], [], color=GREY, lw=2),
               Line2D([], [], color=GREY, lw=1, ls=":")],
              ["scan line (its id is printed where it ends)"
               if printed else "scan line (one colour each)",
               "no scan line (-1)",
               "jump to the next part (nothing recorded)"],
              handler_map={tuple: _MultiColourHandler()}, loc="upper center",
              bbox_to_anchor=(0.5, -0.16), ncol=3, fontsize=8.5, frameon=False)
    for scanline_id in close_ups:
        where = np.flatnonzero(labels == scanline_id)
        if where.size:
            last = int(where[-1])
            below = 0.13 if y[last] >= y[where].mean() else 0.03
            ax.add_patch(Rectangle((float(x[last]) - 0.13, float(y[last]) - below), 0.26, 0.16,
                                   fill=False, lw=0.9, ec="black", zorder=4))
    if close_ups:
        ax.text(0.01, 0.02, "black boxes: the two turn-arounds shown close up",
                transform=ax.transAxes, fontsize=7.5, va="bottom")
    return _save(fig, output)


def draw_islands(x: Floats, y: Floats, labels: Labels, output: Path, title: str) -> Path:
    """A layer of many short lines: every scan line in its own colour, its id
    printed along it a third of the way from its start, jumps not counted
    (so that on a meander the ids of neighbouring lines sit at opposite
    ends); jumps dotted. The picture is stored with a palette of 64 colours,
    which keeps the file small."""
    from matplotlib.collections import LineCollection

    fig = _figure(9, 9.6, 110)
    ax = fig.subplots()
    segments, seg_labels = _path_segments(x, y, labels)
    lengths = np.hypot(*(segments[:, 1] - segments[:, 0]).T)
    jump = lengths > 2.5 * np.median(lengths)   # jumps between islands and parts
    grey = (seg_labels < 0) & ~jump
    coloured = (seg_labels >= 0) & ~jump
    ax.add_collection(LineCollection(segments[grey], colors=GREY, linewidths=0.5))
    ax.add_collection(LineCollection(segments[jump], colors=GREY, linewidths=0.5,
                                     linestyles=":"))
    ax.add_collection(LineCollection(
        segments[coloured], linewidths=0.9,
        colors=[colour_of(int(i)) for i in seg_labels[coloured]]))
    # Points that start a jump (across a hole, say) carry no id text.
    marked = np.concatenate([~jump, [True]])
    for scanline_id, first, last in stretches(labels):
        inside = np.arange(first, last + 1)
        inside = inside[marked[first:last + 1]]
        at = int(inside[len(inside) // 3]) if inside.size else first
        dx = x[min(last, at + 5)] - x[max(first, at - 5)]
        dy = y[min(last, at + 5)] - y[max(first, at - 5)]
        angle = float((np.degrees(np.arctan2(dy, dx)) + 90.0) % 180.0 - 90.0)
        ax.text(float(x[at]), float(y[at]), str(scanline_id), rotation=angle,
                rotation_mode="anchor", ha="center", va="center", fontsize=4.6, color="black",
                bbox=dict(boxstyle="square,pad=0.05", fc="white", ec="none", alpha=0.8))
    ax.autoscale()
    ax.margins(0.02)
    ax.set_aspect("equal")
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("y (mm)")
    ax.set_title(title, fontsize=10)
    _save(fig, output)
    from PIL import Image

    with Image.open(output) as picture:
        picture.convert("RGB").quantize(colors=64).save(output, optimize=True)
    return output


class _MultiColourHandler:
    """Legend entry that shows a few short lines in different colours."""

    def legend_artist(self, legend: Any, handles: Sequence[Any], fontsize: float,
                      handlebox: Any) -> Any:
        from matplotlib.lines import Line2D

        x0, y0 = handlebox.xdescent, handlebox.ydescent
        width, height = handlebox.width, handlebox.height
        for i, handle in enumerate(handles):
            xi = x0 + width * (i + 0.5) / len(handles)
            line = Line2D([xi, xi], [y0, y0 + height], color=handle.get_color(), lw=2)
            handlebox.add_artist(line)
        return handlebox


def draw_turnarounds(x: Floats, y: Floats, labels: Labels, output: Path,
                     first_id: int = 5) -> Path:
    """Two turn-arounds close up: the stretch with id `first_id` ends at the
    middle point of the turn-around after its line, and the next stretch
    starts at the point after it."""
    fig = _figure(11, 5.6, 100)
    axes = fig.subplots(1, 2)
    for ax, ending in zip(axes, (first_id, first_id + 1)):
        _draw_one_turnaround(ax, x, y, labels, ending)
    fig.suptitle("Where one scan line ends and the next begins: at the middle point "
                 "of the turn-around\n(every dot is a recorded point, coloured by its "
                 "scan line id; the path runs along the thin line)", fontsize=11)
    return _save(fig, output)


def line_x_of(x: Floats, labels: Labels, scanline_id: int) -> float:
    """x of the scan line inside a labelled stretch (the x most of its points share)."""
    values, counts = np.unique(x[labels == scanline_id], return_counts=True)
    return float(values[np.argmax(counts)])


def _draw_one_turnaround(ax: Axes, x: Floats, y: Floats, labels: Labels, ending: int) -> None:
    where = np.flatnonzero(labels == ending)
    if where.size == 0 or where[-1] + 1 >= len(labels) or labels[where[-1] + 1] <= 0:
        ax.text(0.5, 0.5, f"no scan line {ending} followed by another", ha="center",
                transform=ax.transAxes)
        return
    last = int(where[-1])                  # the middle point of the turn-around
    following = int(labels[last + 1])
    top = bool(y[last] >= y[where].mean())
    sense = 1 if top else -1               # +1: the turn-around bulges upward
    x_end, x_next = line_x_of(x, labels, ending), line_x_of(x, labels, following)
    hatch = abs(x_next - x_end)
    x_mid, y_edge = (x_end + x_next) / 2, float(y[last])
    # Window: the end of one line, the turn-around and the start of the next.
    x0, x1 = x_mid - 1.6 * hatch, x_mid + 1.6 * hatch
    near, far = y_edge + sense * 0.75 * hatch, y_edge - sense * 2.6 * hatch
    y0, y1 = min(near, far), max(near, far)
    # Only the two stretches, not the neighbouring lines that enter the window.
    both = np.flatnonzero((labels == ending) | (labels == following))
    inside = both[(x[both] >= x0) & (x[both] <= x1) & (y[both] >= y0) & (y[both] <= y1)]
    lo, hi = int(inside.min()), int(inside.max()) + 1
    ax.plot(x[lo:hi], y[lo:hi], color="#555555", lw=0.6, zorder=1)
    part = labels[lo:hi]
    colours = [GREY if label < 0 else colour_of(int(label)) for label in part]
    ax.scatter(x[lo:hi], y[lo:hi], s=24, c=colours, zorder=2)
    ax.scatter(x[last:last + 2], y[last:last + 2], s=70, facecolors="none",
               edgecolors="black", linewidths=1.3, zorder=3)
    # Captions and arrows for the direction of travel, outside the two lines.
    y_text = y_edge - sense * 1.6 * hatch
    for scanline_id, line_x, side, travel in ((ending, x_end, -1, sense),
                                              (following, x_next, 1, -sense)):
        ax.text(line_x + side * 0.3 * hatch, y_text, f"scan line {scanline_id}",
                ha="right" if side < 0 else "left", va="center", fontsize=12,
                color=colour_of(scanline_id), fontweight="bold")
        arrow_x = line_x + side * 0.15 * hatch
        tail, head = y_text - travel * 0.35 * hatch, y_text + travel * 0.35 * hatch
        ax.annotate("", xy=(arrow_x, head), xytext=(arrow_x, tail),
                    arrowprops=dict(arrowstyle="->", color="#333333", lw=1.2))
    # The two points where the id changes.
    y_note = y_edge + sense * 0.5 * hatch
    ax.annotate(f"last point of scan line {ending}\n= middle of the turn-around",
                xy=(float(x[last]), float(y[last])), xytext=(x_mid - 0.85 * hatch, y_note),
                fontsize=9, ha="center", va="center",
                arrowprops=dict(arrowstyle="-|>", color="black", lw=0.8, shrinkB=5))
    ax.annotate(f"first point of\nscan line {following}",
                xy=(float(x[last + 1]), float(y[last + 1])),
                xytext=(x_mid + 0.8 * hatch, y_note),
                fontsize=9, ha="center", va="center",
                arrowprops=dict(arrowstyle="-|>", color="black", lw=0.8, shrinkB=5))
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    ax.set_aspect("equal")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title(f"{'top' if top else 'bottom'} turn-around: scan line {ending} "
                 f"\u2192 scan line {following}", fontsize=10)
