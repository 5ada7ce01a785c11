"""Annotates a folder of layer recordings in parallel with Dask.

    python examples/annotate_layers_dask.py LAYERS/                  # local processes
    python examples/annotate_layers_dask.py LAYERS/ --workers 8 --threads 2
    python examples/annotate_layers_dask.py LAYERS/ --scheduler tcp://host:8786
    python examples/annotate_layers_dask.py LAYERS/ --make-sample 20  # 20 small layers first
    python examples/annotate_layers_dask.py LAYERS/ --plain           # the module alone

Every layer file in the folder (any format that `rasterloom annotate` reads)
is one layer. For each layer its labels and its table of scan lines are
written as `<name>.labels.npy` and `<name>.scanlines.csv` into the output
folder, the layer's own folder by default; outputs that exist are kept unless
`--overwrite` is given. Layers are numbered through
`rasterloom_layers.annotate_layer` (any hatch angle, measured positions,
stripes and islands); `--plain` calls `rasterloom.annotate_scanlines`
directly. This is what `rasterloom annotate LAYERS/ --scheduler ADDRESS`
does, with a cluster started here when no scheduler is given.

By default a LocalCluster of worker processes runs on this machine, one
single-threaded worker per processor. A call of `annotate_scanlines` holds the
interpreter lock for its whole duration, so layers are spread over processes,
not threads. Each worker process sizes its own pool of compute threads from
RAYON_NUM_THREADS, which this script sets to `--threads` (default 1) in every
local worker, so that the workers do not oversubscribe the machine. With
`--scheduler` the same code runs on an existing cluster; there the workers need
rasterloom and NumPy installed, must see the folders under the same paths, and
take RAYON_NUM_THREADS from their own environment.
"""
from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from rasterloom_layers._command import Outcome, annotate_files


def annotate_folder(folder: Path | str, out_dir: Path | str | None = None, *,
                    scheduler: str | None = None, workers: int | None = None,
                    threads: int = 1, progress: bool = True, plain: bool = False,
                    overwrite: bool = False) -> list[Outcome]:
    """Annotates every layer of `folder` on a Dask cluster and returns one
    outcome per layer, in name order (a failed layer with its error).
    `scheduler` is the address of an existing scheduler; without it a
    LocalCluster of `workers` processes (default: one per processor) is
    started for the duration of the call. `plain` numbers with
    `rasterloom.annotate_scanlines` alone instead of
    `rasterloom_layers.annotate_layer`."""
    from dask.distributed import Client, LocalCluster

    def report(line: str) -> None:
        print(line, file=sys.stderr)

    def run(target: str | Client) -> list[Outcome]:
        return annotate_files([folder], out_dir, plain=plain, overwrite=overwrite,
                              scheduler=target, progress=progress, report=report)

    if scheduler is not None:
        return run(scheduler)
    with LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                      processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": str(threads)}) as cluster, \
            Client(cluster) as client:
        return run(client)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=Path, help="folder of layer recordings")
    parser.add_argument("--out", type=Path, default=None,
                        help="folder for the labels and tables (default: the layer folder)")
    parser.add_argument("--scheduler", default=None,
                        help="address of a running Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=None,
                        help="local worker processes (default: one per processor)")
    parser.add_argument("--threads", type=int, default=1,
                        help="compute threads per local worker (RAYON_NUM_THREADS)")
    parser.add_argument("--plain", action="store_true",
                        help="number with rasterloom.annotate_scanlines alone instead of "
                             "rasterloom_layers.annotate_layer")
    parser.add_argument("--overwrite", action="store_true", help="replace outputs that exist")
    parser.add_argument("--make-sample", type=int, metavar="N", default=0,
                        help="first write N small generated layers into the folder")
    args = parser.parse_args(argv)
    if args.make_sample:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import sample_data

        sample_data.write_layers(args.folder, args.make_sample)
    results = annotate_folder(args.folder, args.out, scheduler=args.scheduler,
                              workers=args.workers, threads=args.threads, plain=args.plain,
                              overwrite=args.overwrite)
    done = [r for r in results if r.ok]
    print(f"layers:                   {len(done)}")
    print(f"failed:                   {len(results) - len(done)}")
    print(f"points:                   {sum(r.points for r in done)}")
    print(f"scanlines found:          {sum(r.scanlines for r in done)}")
    print(f"points without scanline:  {sum(r.unlabelled for r in done)}")
    sys.exit(1 if len(done) < len(results) else 0)


if __name__ == "__main__":
    main()
