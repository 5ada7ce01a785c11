"""Annotates layer recordings with rasterloom and draws the scan lines.

    python examples/demo.py                      # built-in sample layer
    python examples/demo.py rec.npy other.csv    # recordings of your own
    python examples/demo.py --plain rec.npy      # the module alone: vertical meanders only
    python examples/demo.py --readme-images      # the pictures in docs/images/

Without arguments the demo makes a synthetic layer (three hatched parts, arc
turn-arounds, a little noise on y), numbers its scan lines and writes
examples/out/sample_layer.png. Given recordings (any file the command
`rasterloom annotate` reads: .npy, .npz, .csv, .tsv, .txt, .parquet, .h5), it
annotates each one and writes what the command writes next to it, replacing
earlier results: `rec.labels.npy` (the labels) and `rec.scanlines.csv` (the
table of scan lines). It prints the number of points, the scan lines found,
the points without a scan line and the time the annotation took.

Layers are numbered through `rasterloom_layers.annotate_layer`, which takes
any hatch angle, measured positions and stripe or island strategies;
`--plain` calls `rasterloom.annotate_scanlines` directly. Reading, writing
and drawing are those of the command (`rasterloom_layers`).
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import rasterloom_layers
from rasterloom_layers._command import number
from rasterloom_layers._files import (LayerFileError, MissingExtra, output_paths, read_layer,
                                      write_outputs)
from rasterloom_layers._plot import (count_scanlines, draw_islands, draw_overview,
                                     draw_turnarounds, title_of)

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import layer_plans  # noqa: E402
import sample_data  # noqa: E402

DEFAULT_OUTPUT = HERE / "out"
CLOSE_UP = 5  # the close-up in the docs shows the ends of scan lines 5 and 6
README_IMAGES = HERE.parent / "docs" / "images"


def annotate(x: np.ndarray, y: np.ndarray, plain: bool = False) -> tuple[np.ndarray, float]:
    """Labels of a recording and the seconds they took: the whole layer
    through rasterloom_layers, or with `plain` the module alone."""
    start = time.perf_counter()
    labels = number(x, y, plain)
    return labels, time.perf_counter() - start


def print_summary(points: int, scanlines: int, unlabelled: int, seconds: float) -> None:
    print(f"points:                   {points}")
    print(f"scanlines found:          {scanlines}")
    print(f"points without scanline:  {unlabelled}")
    print(f"time taken:               {seconds * 1e3:.3f} ms")


def island_layer() -> layer_plans.Layer:
    """The island layer of the docs: a disc of 8 mm with a hole, cut into 3 mm
    islands whose hatch (0.1 mm) turns between 67 and 157 degrees, recorded
    at 100 kHz with 2 micrometres of noise."""
    return layer_plans.island_layer(67.0, size=3.0, noise=0.002, seed=1,
                                    parts=[layer_plans.disc_with_hole(0.0, 0.0, 4.0, 1.2)])


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
                                   title_of("Built-in sample layer", labels),
                                   close_ups=(CLOSE_UP, CLOSE_UP + 1)),
                     draw_turnarounds(rec.x, rec.y, labels, README_IMAGES / "turnarounds.png",
                                      first_id=CLOSE_UP)):
            print(f"picture:                  {path}")
        layer = island_layer()
        island_labels, _ = annotate(layer.x, layer.y, args.plain)
        path = draw_islands(layer.x, layer.y, island_labels, README_IMAGES / "islands.png",
                            "Islands of 3 mm, hatch at 67 and 157 degrees, 2 \u00b5m noise, "
                            "numbered by rasterloom_layers.annotate_layer:\n"
                            + title_of("every scan line in its own colour with its id",
                                     island_labels).replace(" (grey)", ""))
        print(f"picture:                  {path}")
    elif not args.no_plot:
        path = draw_overview(rec.x, rec.y, labels,
                             picture_path(args.output, "sample_layer", False),
                             title_of("Built-in sample layer", labels))
        print(f"picture:                  {path}")


def annotate_recording(path: Path, args) -> tuple[np.ndarray, np.ndarray, np.ndarray, float, Path]:
    """Reads, numbers and writes one recording as the command does (earlier
    results replaced): x, y, labels, seconds and where the labels went."""
    try:
        layer = read_layer(path)
    except (LayerFileError, MissingExtra) as error:
        raise SystemExit(f"{path}: {error}") from None
    x, y = layer.x, layer.y
    if args.float32:
        x, y = x.astype(np.float32), y.astype(np.float32)
    labels, seconds = annotate(x, y, args.plain)
    labels_file, table_file = output_paths(path, None)
    table = rasterloom_layers.scanline_table(x, y, labels, **layer.channels)
    write_outputs(labels_file, table_file, labels, table, overwrite=True)
    return x, y, labels, seconds, labels_file


def run_recordings(args) -> None:
    paths = [Path(p) for p in args.recordings]
    many = len(paths) > 1
    totals = [0, 0, 0, 0.0]
    progress = paths
    if many:
        from tqdm import tqdm

        progress = tqdm(paths, unit="file", desc="annotating")
    for path in progress:
        x, y, labels, seconds, written = annotate_recording(path, args)
        found = count_scanlines(labels)
        totals[0] += len(labels)
        totals[1] += found
        totals[2] += int(np.count_nonzero(labels < 0))
        totals[3] += seconds
        note = f"{path}: {len(labels)} points, {found} scan lines -> {written}"
        if not args.no_plot:
            picture = draw_overview(x, y, labels, picture_path(args.output, path.stem, many),
                                    title_of(path.name, labels))
            note += f", {picture}"
        if many:
            progress.write(note)
        else:
            print(note)
    print_summary(*totals)


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("recordings", nargs="*",
                        help="layer recordings (.npy, .npz, .csv, .tsv, .txt, .parquet, "
                             ".h5); without any, the built-in sample layer is used")
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
                        help="redraw the pictures of the README and the docs in docs/images/ "
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
