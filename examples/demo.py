"""Annotates layer recordings with rasterloom and draws the scan lines.

    python examples/demo.py                      # built-in sample layer
    python examples/demo.py rec.npy other.csv    # recordings of your own
    python examples/demo.py --plain rec.npy      # the module alone: vertical meanders only
    python examples/demo.py --readme-images      # the pictures in docs/images/

Without arguments the demo makes a synthetic layer (three hatched parts, arc
turn-arounds, a little noise on y), numbers its scan lines and writes
examples/out/sample_layer.png. Given recordings, it annotates each one and
writes the labels next to it: `rec.labels.npy` for `rec.npy` (an (n, 2) array
of x and y), `rec.labels.csv` for `rec.csv` (a CSV file with a header row that
names an x and a y column). It prints the number of points, the scan lines
found, the points without a scan line and the time the annotation took.

Layers are numbered through `rasterloom_layers.annotate_layer`, which takes
any hatch angle, measured positions and stripe or island strategies;
`--plain` calls `rasterloom.annotate_scanlines` directly.
"""
from __future__ import annotations

import argparse
import csv
import sys
import time
from pathlib import Path

import numpy as np

import rasterloom
import rasterloom_layers

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import layer_plans  # noqa: E402
import sample_data  # noqa: E402

DEFAULT_OUTPUT = HERE / "out"
MAX_DRAWN_POINTS = 400_000
MAX_PRINTED_IDS = 150
CLOSE_UP = 5  # the README's close-up shows the ends of scan lines 5 and 6
README_IMAGES = HERE.parent / "docs" / "images"
GREY = "#b4b4b4"
# Neighbouring scan lines always get different colours; ids repeat the cycle.
PALETTE = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
           "#8c564b", "#e377c2", "#bcbd22", "#17becf"]


def colour_of(scanline_id: int) -> str:
    return PALETTE[(scanline_id - 1) % len(PALETTE)]


# ---------------------------------------------------------------- recordings

def load_recording(path: Path) -> tuple[np.ndarray, np.ndarray]:
    """x and y of a recording: `.npy` with two columns, or CSV with x and y
    columns named in its header row."""
    if path.suffix.lower() == ".npy":
        data = np.load(path)
        if data.ndim != 2 or data.shape[1] != 2:
            raise ValueError(f"{path}: expected an (n, 2) array of x and y, got shape {data.shape}")
        if data.dtype not in (np.float32, np.float64):
            data = data.astype(np.float64)
        return np.ascontiguousarray(data[:, 0]), np.ascontiguousarray(data[:, 1])
    if path.suffix.lower() == ".csv":
        with path.open(newline="") as f:
            header = [name.strip().lower() for name in next(csv.reader(f))]
        try:
            columns = (header.index("x"), header.index("y"))
        except ValueError:
            raise ValueError(f"{path}: the header row must name an x and a y column") from None
        data = np.loadtxt(path, delimiter=",", skiprows=1, usecols=columns,
                          dtype=np.float64, ndmin=2)
        return np.ascontiguousarray(data[:, 0]), np.ascontiguousarray(data[:, 1])
    raise ValueError(f"{path}: expected a .npy or .csv file")


def labels_path(path: Path) -> Path:
    return path.with_name(path.stem + ".labels" + path.suffix.lower())


def save_labels(path: Path, labels: np.ndarray) -> Path:
    """Writes the labels next to the recording and returns where."""
    out = labels_path(path)
    if out.suffix == ".npy":
        np.save(out, labels)
    else:
        np.savetxt(out, labels, fmt="%d", header="scanline_id", comments="")
    return out


def annotate(x: np.ndarray, y: np.ndarray, plain: bool = False) -> tuple[np.ndarray, float]:
    """Labels of a recording and the seconds they took: the whole layer
    through rasterloom_layers, or with `plain` the module alone."""
    start = time.perf_counter()
    if plain:
        labels = rasterloom.annotate_scanlines(x, y)
    else:
        labels = rasterloom_layers.annotate_layer(x, y)
    return labels, time.perf_counter() - start


def print_summary(points: int, scanlines: int, unlabelled: int, seconds: float) -> None:
    print(f"points:                   {points}")
    print(f"scanlines found:          {scanlines}")
    print(f"points without scanline:  {unlabelled}")
    print(f"time taken:               {seconds * 1e3:.3f} ms")


def count_scanlines(labels: np.ndarray) -> int:
    return int(np.unique(labels[labels > 0]).size)


# ------------------------------------------------------------------ pictures

def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _path_segments(x, y, labels):
    """Consecutive point pairs with the label they share (-1 where the two
    points lie in different stretches)."""
    points = np.column_stack([x, y]).astype(np.float64)
    segments = np.stack([points[:-1], points[1:]], axis=1)
    same = labels[:-1] == labels[1:]
    return segments, np.where(same, labels[:-1], -1)


def _stretches(labels):
    """(id, first index, last index) of every labelled stretch, in path order."""
    if labels.size == 0:
        return []
    starts = np.concatenate([[0], np.flatnonzero(np.diff(labels)) + 1])
    ends = np.concatenate([starts[1:] - 1, [labels.size - 1]])
    return [(int(labels[a]), int(a), int(b)) for a, b in zip(starts, ends) if labels[a] > 0]


def draw_overview(x, y, labels, output: Path, title: str, close_ups=()) -> Path:
    """The whole path: every scan line in its own colour with its id at the
    end where it closes, points without a scan line in grey."""
    from matplotlib.collections import LineCollection
    from matplotlib.lines import Line2D
    from matplotlib.patches import Rectangle

    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(11, 4.6), dpi=100)
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
    stretches = _stretches(labels)
    if 0 < len(stretches) <= MAX_PRINTED_IDS:
        for scanline_id, first, last in stretches:
            # `last` is the middle point of the turn-around that closes the line.
            rising = y[last] >= y[first:last + 1].mean()
            ax.text(x[last], y[last] + (0.02 if rising else -0.02) * span, str(scanline_id),
                    ha="center", va="bottom" if rising else "top",
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
               if 0 < len(stretches) <= MAX_PRINTED_IDS else "scan line (one colour each)",
               "no scan line (-1)",
               "jump to the next part (nothing recorded)"],
              handler_map={tuple: _MultiColourHandler()}, loc="upper center",
              bbox_to_anchor=(0.5, -0.16), ncol=3, fontsize=8.5, frameon=False)
    for scanline_id in close_ups:
        where = np.flatnonzero(labels == scanline_id)
        if where.size:
            last = where[-1]
            below = 0.13 if y[last] >= y[where].mean() else 0.03
            ax.add_patch(Rectangle((x[last] - 0.13, y[last] - below), 0.26, 0.16, fill=False,
                                   lw=0.9, ec="black", zorder=4))
    if close_ups:
        ax.text(0.01, 0.02, "black boxes: the two turn-arounds shown close up",
                transform=ax.transAxes, fontsize=7.5, va="bottom")
    fig.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output)
    plt.close(fig)
    return output


def island_layer() -> layer_plans.Layer:
    """The README's island layer: a disc of 8 mm with a hole, cut into 3 mm
    islands whose hatch (0.1 mm) turns between 67 and 157 degrees, recorded
    at 100 kHz with 2 micrometres of noise."""
    return layer_plans.island_layer(67.0, size=3.0, noise=0.002, seed=1,
                                    parts=[layer_plans.disc_with_hole(0.0, 0.0, 4.0, 1.2)])


def draw_islands(x, y, labels, output: Path, title: str) -> Path:
    """A layer of many short lines: every scan line in its own colour, its id
    printed along it a third of the way from its start, jumps not counted (so that on a meander
    the ids of neighbouring lines sit at opposite ends); jumps dotted."""
    from matplotlib.collections import LineCollection

    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(9, 9.6), dpi=110)
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
    for scanline_id, first, last in _stretches(labels):
        inside = np.arange(first, last + 1)
        inside = inside[marked[first:last + 1]]
        at = int(inside[len(inside) // 3]) if inside.size else first
        dx = x[min(last, at + 5)] - x[max(first, at - 5)]
        dy = y[min(last, at + 5)] - y[max(first, at - 5)]
        angle = (np.degrees(np.arctan2(dy, dx)) + 90.0) % 180.0 - 90.0
        ax.text(x[at], y[at], str(scanline_id), rotation=angle, rotation_mode="anchor",
                ha="center", va="center", fontsize=4.6, color="black",
                bbox=dict(boxstyle="square,pad=0.05", fc="white", ec="none", alpha=0.8))
    ax.autoscale()
    ax.margins(0.02)
    ax.set_aspect("equal")
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("y (mm)")
    ax.set_title(title, fontsize=10)
    fig.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output)
    plt.close(fig)
    # A picture of a few dozen colours: a palette keeps the file small.
    from PIL import Image

    with Image.open(output) as picture:
        picture.convert("RGB").quantize(colors=64).save(output, optimize=True)
    return output


class _MultiColourHandler:
    """Legend entry that shows a few short lines in different colours."""

    def legend_artist(self, legend, handles, fontsize, handlebox):
        from matplotlib.lines import Line2D

        x0, y0 = handlebox.xdescent, handlebox.ydescent
        width, height = handlebox.width, handlebox.height
        for i, handle in enumerate(handles):
            xi = x0 + width * (i + 0.5) / len(handles)
            line = Line2D([xi, xi], [y0, y0 + height], color=handle.get_color(), lw=2)
            handlebox.add_artist(line)
        return handlebox


def draw_turnarounds(x, y, labels, output: Path, first_id: int = 5) -> Path:
    """Two turn-arounds close up: the stretch with id `first_id` ends at the
    middle point of the turn-around after its line, and the next stretch
    starts at the point after it."""
    plt = _pyplot()
    fig, axes = plt.subplots(1, 2, figsize=(11, 5.6), dpi=100)
    for ax, ending in zip(axes, (first_id, first_id + 1)):
        _draw_one_turnaround(ax, x, y, labels, ending)
    fig.suptitle("Where one scan line ends and the next begins: at the middle point "
                 "of the turn-around\n(every dot is a recorded point, coloured by its "
                 "scan line id; the path runs along the thin line)", fontsize=11)
    fig.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output)
    plt.close(fig)
    return output


def line_x_of(x, labels, scanline_id: int) -> float:
    """x of the scan line inside a labelled stretch (the x most of its points share)."""
    values, counts = np.unique(x[labels == scanline_id], return_counts=True)
    return float(values[np.argmax(counts)])


def _draw_one_turnaround(ax, x, y, labels, ending: int) -> None:
    where = np.flatnonzero(labels == ending)
    if where.size == 0 or where[-1] + 1 >= len(labels) or labels[where[-1] + 1] <= 0:
        ax.text(0.5, 0.5, f"no scan line {ending} followed by another", ha="center",
                transform=ax.transAxes)
        return
    last = int(where[-1])                  # the middle point of the turn-around
    following = int(labels[last + 1])
    top = y[last] >= y[where].mean()
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
                xy=(x[last], y[last]), xytext=(x_mid - 0.85 * hatch, y_note),
                fontsize=9, ha="center", va="center",
                arrowprops=dict(arrowstyle="-|>", color="black", lw=0.8, shrinkB=5))
    ax.annotate(f"first point of\nscan line {following}",
                xy=(x[last + 1], y[last + 1]), xytext=(x_mid + 0.8 * hatch, y_note),
                fontsize=9, ha="center", va="center",
                arrowprops=dict(arrowstyle="-|>", color="black", lw=0.8, shrinkB=5))
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    ax.set_aspect("equal")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title(f"{'top' if top else 'bottom'} turn-around: scan line {ending} "
                 f"\u2192 scan line {following}", fontsize=10)


# ---------------------------------------------------------------------- main

def picture_path(output: Path, stem: str, many: bool) -> Path:
    if output.suffix.lower() == ".png":
        if many:
            raise SystemExit("--output must be a folder when several recordings are given")
        return output
    return output / f"{stem}.png"


def run_builtin(args) -> None:
    rec = sample_data.sample_layer(seed=args.seed)
    x, y = rec.x, rec.y
    if args.float32:
        x, y = x.astype(np.float32), y.astype(np.float32)
    labels, seconds = annotate(x, y, args.plain)
    print_summary(len(labels), count_scanlines(labels), int(np.count_nonzero(labels < 0)), seconds)
    if args.readme_images:
        README_IMAGES.mkdir(parents=True, exist_ok=True)
        for path in (draw_overview(rec.x, rec.y, labels, README_IMAGES / "scanlines.png",
                                   _title("Built-in sample layer", labels),
                                   close_ups=(CLOSE_UP, CLOSE_UP + 1)),
                     draw_turnarounds(rec.x, rec.y, labels, README_IMAGES / "turnarounds.png",
                                      first_id=CLOSE_UP)):
            print(f"picture:                  {path}")
        layer = island_layer()
        island_labels, _ = annotate(layer.x, layer.y, args.plain)
        path = draw_islands(layer.x, layer.y, island_labels, README_IMAGES / "islands.png",
                            "Islands of 3 mm, hatch at 67 and 157 degrees, 2 \u00b5m noise, "
                            "numbered by rasterloom_layers.annotate_layer:\n"
                            + _title("every scan line in its own colour with its id",
                                     island_labels).replace(" (grey)", ""))
        print(f"picture:                  {path}")
    elif not args.no_plot:
        path = draw_overview(rec.x, rec.y, labels,
                             picture_path(args.output, "sample_layer", False),
                             _title("Built-in sample layer", labels))
        print(f"picture:                  {path}")


def _title(name: str, labels: np.ndarray) -> str:
    ids = labels[labels > 0]
    span = f", ids {ids.min()}\u2013{ids.max()}" if ids.size else ""
    return (f"{name}: {len(labels)} points, {count_scanlines(labels)} scan lines{span}, "
            f"{int(np.count_nonzero(labels < 0))} points without a scan line (grey)")


def run_recordings(args) -> None:
    paths = [Path(p) for p in args.recordings]
    many = len(paths) > 1
    totals = [0, 0, 0, 0.0]
    progress = paths
    if many:
        from tqdm import tqdm

        progress = tqdm(paths, unit="file", desc="annotating")
    for path in progress:
        x, y = load_recording(path)
        if args.float32:
            x, y = x.astype(np.float32), y.astype(np.float32)
        labels, seconds = annotate(x, y, args.plain)
        written = save_labels(path, labels)
        found = count_scanlines(labels)
        totals[0] += len(labels)
        totals[1] += found
        totals[2] += int(np.count_nonzero(labels < 0))
        totals[3] += seconds
        note = f"{path}: {len(labels)} points, {found} scan lines -> {written}"
        if not args.no_plot:
            picture = draw_overview(x, y, labels, picture_path(args.output, path.stem, many),
                                    _title(path.name, labels))
            note += f", {picture}"
        if many:
            progress.write(note)
        else:
            print(note)
    print_summary(*totals)


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("recordings", nargs="*",
                        help=".npy (n, 2) or .csv (x and y columns) recordings; "
                             "without any, the built-in sample layer is used")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="folder for the pictures, or a .png file for a single "
                             "recording (default: examples/out/)")
    parser.add_argument("--no-plot", action="store_true", help="write no pictures")
    parser.add_argument("--float32", action="store_true",
                        help="annotate float32 copies of the coordinates")
    parser.add_argument("--plain", action="store_true",
                        help="number with rasterloom.annotate_scanlines alone (vertical "
                             "meanders with exact x) instead of rasterloom_layers.annotate_layer")
    parser.add_argument("--seed", type=int, default=0,
                        help="noise seed of the built-in sample layer")
    parser.add_argument("--readme-images", action="store_true",
                        help="write the README pictures into docs/images/ "
                             "(built-in sample layer only)")
    args = parser.parse_args(argv)
    if args.readme_images and args.recordings:
        parser.error("--readme-images uses the built-in sample layer; give no recordings")
    return args


def main(argv=None) -> None:
    args = parse_args(argv)
    if args.recordings:
        run_recordings(args)
    else:
        run_builtin(args)


if __name__ == "__main__":
    main()
