"""The command `rasterloom` (also `python -m rasterloom_layers`).

    rasterloom annotate PATH... [--out DIR] [--plain] [--columns X,Y]
                        [--workers N] [--scheduler ADDRESS] [--no-progress] [--overwrite]
    rasterloom plot PATH [--out PNG] [--labels FILE] [--columns X,Y] [--plain]

`annotate` numbers every layer file that the paths name (folders by the layer
files in them) and writes `<stem>.labels.npy` and `<stem>.scanlines.csv` for
each; `plot` draws one numbered layer. Exit status: 0 when everything was
done, 1 when any file failed (each is named on standard error with its
reason, and nothing is written for it), 2 for a usage error.
"""
from __future__ import annotations

import argparse
import dataclasses
import multiprocessing
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

import rasterloom

from ._api import annotate_layer
from ._files import (
    FORMATS,
    Columns,
    Floats,
    LayerFileError,
    MissingExtra,
    find_layer_files,
    import_extra,
    output_paths,
    read_layer,
    write_outputs,
)
from ._table import scanline_table

PROG = "rasterloom"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


@dataclass(frozen=True)
class Job:
    """One layer file to number and where its labels and table go."""

    source: str
    labels_file: str
    table_file: str
    plain: bool = False
    columns: Columns | None = None
    overwrite: bool = False


@dataclass(frozen=True)
class Outcome:
    """What became of one input: its counts when it was numbered and
    written, else the reason it failed (nothing was written for it then)."""

    source: str
    labels_file: str = ""
    table_file: str = ""
    points: int = 0
    scanlines: int = 0
    unlabelled: int = 0
    seconds: float = 0.0
    error: str | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


def number(x: Floats, y: Floats, plain: bool = False) -> NDArray[np.int32]:
    """The labels of a layer: through `annotate_layer`, or with `plain` by
    `rasterloom.annotate_scanlines` alone."""
    if plain:
        return rasterloom.annotate_scanlines(x, y)
    return annotate_layer(x, y)


def _reason(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def number_file(job: Job) -> Outcome:
    """Reads, numbers, tabulates and writes one layer file. A fault of the
    file (unreadable, not numberable, outputs that cannot be written) comes
    back as the outcome's error instead of being raised."""
    started = time.perf_counter()
    source = Path(job.source)
    try:
        layer = read_layer(source, job.columns)
    except (LayerFileError, MissingExtra) as error:
        return Outcome(job.source, error=str(error))
    try:
        labels = number(layer.x, layer.y, job.plain)
        table = scanline_table(layer.x, layer.y, labels, **layer.channels)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:   # the module's PanicException derives from BaseException
        return Outcome(job.source, error=f"cannot number it: {_reason(error)}")
    try:
        write_outputs(Path(job.labels_file), Path(job.table_file), labels, table,
                      overwrite=job.overwrite)
    except FileExistsError as error:
        return Outcome(job.source, error=str(error))
    except OSError as error:
        return Outcome(job.source, error=f"cannot write its outputs: {error}")
    return Outcome(job.source, job.labels_file, job.table_file, points=len(labels),
                   scanlines=len(table), unlabelled=int(np.count_nonzero(labels < 0)),
                   seconds=time.perf_counter() - started)


# ----------------------------------------------------------------- planning

def plan(paths: Sequence[Path | str], out_dir: Path | str | None = None, *, plain: bool = False,
         columns: Columns | None = None, overwrite: bool = False) -> list[Job | Outcome]:
    """One entry per input, in the order of the inputs: a Job for every
    layer file to number, an Outcome with its error for every path that
    names nothing to number, every file whose outputs would have the same
    names as another input's (a name clash: neither is numbered), and,
    without `overwrite`, every file whose outputs exist."""
    files, problems = find_layer_files([Path(p) for p in paths])
    entries: list[Job | Outcome] = [Outcome(str(p), error=reason) for p, reason in problems]
    out = None if out_dir is None else Path(out_dir)
    targets = [output_paths(source, out) for source in files]
    claimed: dict[Path, list[int]] = {}
    for k, (labels_file, _) in enumerate(targets):
        claimed.setdefault(labels_file.resolve(), []).append(k)
    for k, (source, (labels_file, table_file)) in enumerate(zip(files, targets)):
        sharing = [files[i] for i in claimed[labels_file.resolve()] if i != k]
        if sharing:
            others = ", ".join(str(p) for p in sharing)
            entries.append(Outcome(str(source), error=(
                f"name clash: {others} would also be written as {labels_file.name} and "
                f"{table_file.name}; rename one or number them into separate folders "
                "with --out")))
            continue
        existing = [t for t in (labels_file, table_file) if t.exists()]
        if existing and not overwrite:
            entries.append(Outcome(str(source), error=(
                f"{existing[0]} exists; --overwrite replaces it")))
            continue
        entries.append(Job(str(source), str(labels_file), str(table_file), plain=plain,
                           columns=columns, overwrite=overwrite))
    return entries


# ------------------------------------------------------------------ running

def processors() -> int:
    """The processors this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def limit_numbering_threads() -> None:
    """Run in every worker process: each numbers with one thread unless the
    user chose a number, so that the workers together do not ask for more
    threads than the machine has. The module reads the variable once, at its
    first call."""
    os.environ.setdefault("RAYON_NUM_THREADS", "1")


def _run_here(jobs: list[Job]) -> Iterator[Outcome]:
    for job in jobs:
        yield number_file(job)


def _run_in_processes(jobs: list[Job], workers: int) -> Iterator[Outcome]:
    # New interpreters rather than forks: the caller may hold threads (the
    # progress bar's, the module's pool), which a fork would copy half-way.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context,
                             initializer=limit_numbering_threads) as pool:
        futures = {pool.submit(number_file, job): job for job in jobs}
        for future in as_completed(futures):
            try:
                yield future.result()
            except Exception as error:   # the worker process itself died
                yield Outcome(futures[future].source,
                              error=f"its worker process stopped: {_reason(error)}")


def _run_on_dask(jobs: list[Job], scheduler: Any) -> Iterator[Outcome]:
    """Every job as a task on a Dask cluster: `scheduler` is the address of
    its scheduler or a `dask.distributed.Client`. The workers see the files
    under absolute paths, which must be the same on their machines."""
    distributed = import_extra("dask.distributed", "dask", "--scheduler")
    own = not isinstance(scheduler, distributed.Client)
    client = distributed.Client(scheduler, timeout="10s") if own else scheduler
    try:
        absolute = [dataclasses.replace(job, source=str(Path(job.source).resolve()),
                                        labels_file=str(Path(job.labels_file).resolve()),
                                        table_file=str(Path(job.table_file).resolve()))
                    for job in jobs]
        futures = client.map(number_file, absolute, pure=False)
        of_future = {future.key: job for future, job in zip(futures, jobs)}
        for future in distributed.as_completed(futures):
            job = of_future[future.key]
            try:
                result: Outcome = future.result()
            except Exception as error:
                yield Outcome(job.source, error=f"its task failed: {_reason(error)}")
                continue
            yield dataclasses.replace(result, source=job.source,
                                      labels_file=job.labels_file if result.ok else "",
                                      table_file=job.table_file if result.ok else "")
    finally:
        if own:
            client.close()


class _Progress:
    """The progress bar over files, with the points numbered per second."""

    def __init__(self, total: int, enabled: bool) -> None:
        from tqdm import tqdm

        # Drawn on terminals only: in a log, a bar is a line per update.
        self.bar = tqdm(total=total, unit="file", desc="numbering",
                        disable=None if enabled else True, file=sys.stderr, dynamic_ncols=True)
        self.points = 0
        self.started = time.perf_counter()

    def done(self, outcome: Outcome) -> None:
        self.points += outcome.points
        elapsed = max(time.perf_counter() - self.started, 1e-9)
        self.bar.set_postfix_str(f"{self.points / elapsed:,.0f} points/s", refresh=False)
        self.bar.update(1)

    def write(self, line: str) -> None:
        self.bar.write(line, file=sys.stderr)

    def close(self) -> None:
        self.bar.close()


def annotate_files(paths: Sequence[Path | str], out_dir: Path | str | None = None, *,
                   plain: bool = False, columns: Columns | None = None,
                   overwrite: bool = False, workers: int | None = None,
                   scheduler: Any = None, progress: bool = False,
                   report: Callable[[str], None] | None = None) -> list[Outcome]:
    """Numbers the layer files that `paths` name and writes their labels and
    tables; returns one outcome per input, in the order of the inputs.

    `workers` processes share the files (default: one per processor; one
    works in this process); `scheduler`, the address of a Dask scheduler or
    a `dask.distributed.Client`, sends them to a Dask cluster instead.
    `report` receives a line for every input that failed, as it fails.
    MissingExtra when `scheduler` is given without Dask installed, OSError
    when the scheduler cannot be reached.
    """
    entries = plan(paths, out_dir, plain=plain, columns=columns, overwrite=overwrite)
    jobs = [e for e in entries if isinstance(e, Job)]
    place = {job.source: k for k, job in enumerate(entries) if isinstance(job, Job)}
    results: list[Outcome | None] = [e if isinstance(e, Outcome) else None for e in entries]
    bar = _Progress(len(jobs), progress)

    def tell(outcome: Outcome) -> None:
        if not outcome.ok and report is not None:
            (bar.write if progress else report)(f"{PROG}: {outcome.source}: {outcome.error}")

    try:
        for outcome in results:
            if outcome is not None:
                tell(outcome)
        count = min(workers or processors(), len(jobs))
        if scheduler is not None:
            outcomes = _run_on_dask(jobs, scheduler)
        elif count > 1:
            outcomes = _run_in_processes(jobs, count)
        else:
            outcomes = _run_here(jobs)
        for outcome in outcomes:
            results[place[outcome.source]] = outcome
            tell(outcome)
            bar.done(outcome)
    finally:
        bar.close()
    return [r for r in results if r is not None]


# ------------------------------------------------------------ command line

def _columns(text: str) -> Columns:
    parts = [p.strip() for p in text.split(",")]
    if len(parts) != 2 or not all(parts):
        raise argparse.ArgumentTypeError(
            f"expected two column names or numbers separated by a comma, e.g. x,y or 1,2; "
            f"got {text!r}")
    return parts[0], parts[1]


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("rasterloom")
    except PackageNotFoundError:
        return "unknown"


def parser() -> argparse.ArgumentParser:
    formats = ", ".join(FORMATS)
    top = argparse.ArgumentParser(
        prog=PROG, description="Numbers the scan lines of powder bed fusion layer recordings.",
        epilog="Exit status: 0 when everything was done, 1 when any file failed, "
               "2 for a usage error.")
    top.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    annotate = commands.add_parser(
        "annotate", help="number layer files, write their labels and tables of scan lines",
        description="Numbers every layer file that the paths name (a folder: the layer "
                    f"files in it, {formats}) and writes <stem>.labels.npy (int32, one "
                    "label per point, -1 = no scan line) and <stem>.scanlines.csv (one row "
                    "per scan line) for each.")
    annotate.set_defaults(usage=annotate.error)
    annotate.add_argument("paths", nargs="+", metavar="PATH", help="layer files or folders")
    annotate.add_argument("--out", type=Path, metavar="DIR",
                          help="folder for the outputs (default: beside each input)")
    annotate.add_argument("--plain", action="store_true",
                          help="number with rasterloom.annotate_scanlines alone (one meander "
                               "of lines along y at exact x) instead of annotate_layer")
    annotate.add_argument("--columns", type=_columns, metavar="X,Y",
                          help="the x and y columns: names (CSV header, Parquet column, .npz "
                               "array, HDF5 dataset path, .npy field) or numbers counted "
                               "from 1")
    annotate.add_argument("--workers", type=_positive, metavar="N",
                          help="worker processes (default: one per processor)")
    annotate.add_argument("--scheduler", metavar="ADDRESS",
                          help="run on an existing Dask cluster, e.g. tcp://host:8786 "
                               "(extra rasterloom[dask])")
    annotate.add_argument("--no-progress", action="store_true", help="no progress bar")
    annotate.add_argument("--overwrite", action="store_true",
                          help="replace outputs that exist (default: refuse)")
    plot = commands.add_parser(
        "plot", help="draw a numbered layer (extra rasterloom[plot])",
        description="Draws a layer with every scan line in its own colour and its id: with "
                    "the labels that `rasterloom annotate` wrote beside it, else numbered now.")
    plot.add_argument("path", type=Path, metavar="PATH", help="a layer file")
    plot.add_argument("--out", type=Path, metavar="PNG",
                      help="the picture (default: <stem>.png beside the layer); "
                           "replaced when it exists")
    plot.add_argument("--labels", type=Path, metavar="FILE",
                      help="labels file (default: <stem>.labels.npy beside the layer)")
    plot.add_argument("--columns", type=_columns, metavar="X,Y", help="as for annotate")
    plot.add_argument("--plain", action="store_true",
                      help="when numbering now, number with annotate_scanlines alone")
    return top


def _annotate(args: argparse.Namespace) -> int:
    usage: Callable[[str], None] = args.usage   # prints the usage and exits with status 2
    if args.scheduler is not None and args.workers is not None:
        usage("--workers and --scheduler exclude each other: a cluster has its own workers")
    if args.out is not None and args.out.exists() and not args.out.is_dir():
        usage(f"--out {args.out} is not a folder")
    started = time.perf_counter()
    try:
        outcomes = annotate_files(args.paths, args.out, plain=args.plain, columns=args.columns,
                                  overwrite=args.overwrite, workers=args.workers,
                                  scheduler=args.scheduler, progress=not args.no_progress,
                                  report=lambda line: print(line, file=sys.stderr))
    except MissingExtra as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_FAILED
    except OSError as error:
        print(f"{PROG}: cannot reach the Dask scheduler at {args.scheduler}: {error}",
              file=sys.stderr)
        return EXIT_FAILED
    seconds = time.perf_counter() - started
    done = [o for o in outcomes if o.ok]
    failed = len(outcomes) - len(done)
    points = sum(o.points for o in done)
    print(f"{PROG}: numbered {len(done)} of {len(outcomes)} files"
          + (f" ({failed} failed)" if failed else "")
          + f": {points:,} points, {sum(o.scanlines for o in done):,} scan lines, "
            f"{sum(o.unlabelled for o in done):,} points without a scan line, "
            f"{seconds:.1f} s ({points / max(seconds, 1e-9):,.0f} points/s)")
    return EXIT_FAILED if failed else EXIT_OK


def _plot(args: argparse.Namespace) -> int:
    from ._plot import draw_overview, title_of

    source: Path = args.path
    try:
        layer = read_layer(source, args.columns)
        labels_file = args.labels or output_paths(source, None)[0]
        if labels_file.exists() or args.labels is not None:
            labels = np.load(labels_file, allow_pickle=False)
            if labels.ndim != 1 or labels.dtype.kind not in "iu" or len(labels) != len(layer):
                raise LayerFileError(f"{labels_file} holds {labels.dtype} {labels.shape}, not "
                                     f"one integer label for each of the {len(layer)} points")
            where = f"labels from {labels_file}"
        else:
            labels = number(layer.x, layer.y, args.plain)
            where = "numbered now: " + ("annotate_scanlines" if args.plain else "annotate_layer")
        out = args.out or source.with_name(source.stem + ".png")
        if out.is_dir():
            out = out / (source.stem + ".png")
        draw_overview(layer.x, layer.y, labels, out, title_of(source.name, labels))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        message = str(error) if isinstance(error, (LayerFileError, MissingExtra)) else _reason(error)
        print(f"{PROG}: {source}: {message}", file=sys.stderr)
        return EXIT_FAILED
    print(f"{PROG}: drew {out} ({where})")
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns its exit status."""
    top = parser()
    args = top.parse_args(argv)
    if args.command is None:
        top.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        if args.command == "annotate":
            return _annotate(args)
        return _plot(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
