"""Annotates a folder of layer recordings in parallel with Dask.

    python examples/annotate_layers_dask.py LAYERS/                  # local processes
    python examples/annotate_layers_dask.py LAYERS/ --workers 8 --threads 2
    python examples/annotate_layers_dask.py LAYERS/ --scheduler tcp://host:8786
    python examples/annotate_layers_dask.py LAYERS/ --make-sample 20  # 20 small layers first
    python examples/annotate_layers_dask.py LAYERS/ --plain           # the module alone

Every `*.npy` file in the folder is one layer: an (n, 2) array of x and y
(float64 or float32). For each layer the labels are written as
`<name>.labels.npy` (int32, one per point) into the output folder, the layer's
own folder by default. Layers are numbered through
`rasterloom_layers.annotate_layer` (any hatch angle, measured positions,
stripes and islands); `--plain` calls `rasterloom.annotate_scanlines` directly.

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
from dataclasses import dataclass
from pathlib import Path

import numpy as np


@dataclass(frozen=True)
class LayerResult:
    layer: str
    labels_file: str
    points: int
    scanlines: int
    unlabelled: int


def annotate_layer(path: str, out_dir: str | None = None, plain: bool = False) -> LayerResult:
    """Annotates one layer file and writes its labels; runs on a worker."""
    import rasterloom
    import rasterloom_layers

    source = Path(path)
    data = np.load(source)
    if data.ndim != 2 or data.shape[1] != 2:
        raise ValueError(f"{source}: expected an (n, 2) array of x and y, got shape {data.shape}")
    if data.dtype not in (np.float32, np.float64):
        data = data.astype(np.float64)
    x = np.ascontiguousarray(data[:, 0])
    y = np.ascontiguousarray(data[:, 1])
    if plain:
        labels = rasterloom.annotate_scanlines(x, y)
    else:
        labels = rasterloom_layers.annotate_layer(x, y)
    target = Path(out_dir) if out_dir is not None else source.parent
    target.mkdir(parents=True, exist_ok=True)
    labels_file = target / f"{source.stem}.labels.npy"
    np.save(labels_file, labels)
    return LayerResult(
        layer=str(source),
        labels_file=str(labels_file),
        points=int(labels.size),
        scanlines=int(np.unique(labels[labels > 0]).size),
        unlabelled=int(np.count_nonzero(labels < 0)),
    )


def layer_files(folder: Path | str) -> list[Path]:
    """The layer recordings of a folder, in name order (earlier labels files
    are not layers)."""
    return sorted(p for p in Path(folder).glob("*.npy") if not p.name.endswith(".labels.npy"))


def annotate_folder(folder: Path | str, out_dir: Path | str | None = None, *,
                    scheduler: str | None = None, workers: int | None = None,
                    threads: int = 1, progress: bool = True,
                    plain: bool = False) -> list[LayerResult]:
    """Annotates every layer of `folder` on a Dask cluster and returns one
    result per layer, in name order. `scheduler` is the address of an existing
    scheduler; without it a LocalCluster of `workers` processes (default: one
    per processor) is started for the duration of the call. `plain` numbers
    with `rasterloom.annotate_scanlines` alone instead of
    `rasterloom_layers.annotate_layer`."""
    from dask.distributed import Client, LocalCluster, as_completed

    _ship_this_module_by_value()
    paths = layer_files(folder)
    out = None if out_dir is None else str(Path(out_dir).resolve())
    cluster = None
    if scheduler is None:
        cluster = LocalCluster(
            n_workers=workers or os.cpu_count() or 1,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            env={"RAYON_NUM_THREADS": str(threads)},
        )
    try:
        with Client(cluster if cluster is not None else scheduler) as client:
            futures = client.map(annotate_layer, [str(p.resolve()) for p in paths],
                                 out_dir=out, plain=plain, pure=False)
            by_future = {f.key: i for i, f in enumerate(futures)}
            results: list[LayerResult | None] = [None] * len(futures)
            bar = None
            if progress:
                from tqdm import tqdm

                bar = tqdm(total=len(futures), unit="layer", desc="annotating")
            for future in as_completed(futures):
                results[by_future[future.key]] = future.result()
                if bar is not None:
                    bar.update()
            if bar is not None:
                bar.close()
    finally:
        if cluster is not None:
            cluster.close()
    return [r for r in results if r is not None]


def _ship_this_module_by_value() -> None:
    """Lets workers run `annotate_layer` without this file on their path."""
    module = sys.modules[__name__]
    if __name__ != "__main__":
        import cloudpickle

        cloudpickle.register_pickle_by_value(module)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=Path, help="folder of (n, 2) .npy layer recordings")
    parser.add_argument("--out", type=Path, default=None,
                        help="folder for the labels files (default: the layer folder)")
    parser.add_argument("--scheduler", default=None,
                        help="address of a running Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=None,
                        help="local worker processes (default: one per processor)")
    parser.add_argument("--threads", type=int, default=1,
                        help="compute threads per local worker (RAYON_NUM_THREADS)")
    parser.add_argument("--plain", action="store_true",
                        help="number with rasterloom.annotate_scanlines alone instead of "
                             "rasterloom_layers.annotate_layer")
    parser.add_argument("--make-sample", type=int, metavar="N", default=0,
                        help="first write N small generated layers into the folder")
    args = parser.parse_args(argv)
    if args.make_sample:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import sample_data

        sample_data.write_layers(args.folder, args.make_sample)
    results = annotate_folder(args.folder, args.out, scheduler=args.scheduler,
                              workers=args.workers, threads=args.threads, plain=args.plain)
    print(f"layers:                   {len(results)}")
    print(f"points:                   {sum(r.points for r in results)}")
    print(f"scanlines found:          {sum(r.scanlines for r in results)}")
    print(f"points without scanline:  {sum(r.unlabelled for r in results)}")


if __name__ == "__main__":
    main()
