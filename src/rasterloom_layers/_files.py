"""Layer files: the points of a recording read from the formats the command
takes, and the labels and the table of scan lines written next to it.

Every reader returns the positions as one contiguous pair of float32 arrays
(when both were stored as float32) or float64 arrays, ready for the
numbering functions, and the other numeric columns of table formats (CSV and
Parquet) as channels for the table.
"""
from __future__ import annotations

import csv
import importlib
import io
import os
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

Floats = NDArray[np.floating[Any]]
# `--columns X,Y`: two names, or column numbers counted from 1, or one of each.
Columns = tuple[str, str]

LABELS_SUFFIX = ".labels.npy"
TABLE_SUFFIX = ".scanlines.csv"
FORMATS = {
    ".npy": "npy", ".npz": "npz",
    ".csv": "text", ".tsv": "text", ".txt": "text",
    ".parquet": "parquet",
    ".h5": "hdf5", ".hdf5": "hdf5",
}
# The names of this tool's own outputs, which a folder holds beside the
# layers but which are no layers.
OUTPUT_SUFFIXES = (LABELS_SUFFIX, TABLE_SUFFIX)


class LayerFileError(ValueError):
    """A file that cannot be read as a layer; the message says why."""


class MissingExtra(ImportError):
    """An optional dependency that is not installed; the message names the
    extra of rasterloom that installs it."""


def import_extra(module: str, extra: str, purpose: str) -> Any:
    """The optional module `module`, or MissingExtra saying that `purpose`
    needs it and which extra installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        package = module.split(".")[0]
        raise MissingExtra(f"{purpose} needs {package}, which is not installed: "
                           f"pip install 'rasterloom[{extra}]'") from error


@dataclass(frozen=True)
class Layer:
    """The positions of a recording, in path order, and the channels recorded
    with them (one value per point each)."""

    x: Floats
    y: Floats
    channels: dict[str, NDArray[np.float64]] = field(default_factory=dict)

    def __len__(self) -> int:
        return len(self.x)


# ------------------------------------------------------------------ finding

def is_layer_file(path: Path) -> bool:
    """Whether a folder's file is taken as a layer: a known format, and not
    one of this tool's outputs or a hidden file."""
    name = path.name.lower()
    return (path.suffix.lower() in FORMATS and not name.startswith(".")
            and not name.endswith(OUTPUT_SUFFIXES))


def find_layer_files(paths: list[Path]) -> tuple[list[Path], list[tuple[Path, str]]]:
    """The layer files that `paths` name: files as given, folders by their
    layer files in name order (not descending into subfolders), each file
    once. Also the paths that name nothing to number, with the reason."""
    found: list[Path] = []
    problems: list[tuple[Path, str]] = []
    seen: set[Path] = set()

    def take(path: Path) -> None:
        key = path.resolve()
        if key not in seen:
            seen.add(key)
            found.append(path)

    for path in paths:
        if path.is_dir():
            inside = sorted(p for p in path.iterdir() if p.is_file() and is_layer_file(p))
            if not inside:
                problems.append((path, "the folder holds no layer files ("
                                       + ", ".join(FORMATS) + ")"))
            for p in inside:
                take(p)
        elif path.is_file():
            take(path)
        elif path.exists():
            problems.append((path, "neither a file nor a folder"))
        else:
            problems.append((path, "no such file or folder"))
    return found, problems


def output_paths(source: Path, out_dir: Path | None) -> tuple[Path, Path]:
    """Where the labels and the table of `source` go: `<stem>.labels.npy`
    and `<stem>.scanlines.csv` in `out_dir`, or beside the source."""
    folder = source.parent if out_dir is None else out_dir
    return folder / (source.stem + LABELS_SUFFIX), folder / (source.stem + TABLE_SUFFIX)


# ------------------------------------------------------------------ reading

def read_layer(path: Path, columns: Columns | None = None) -> Layer:
    """The layer stored in `path`, by its suffix; `columns` names the x and
    y columns (or datasets, fields, arrays) where the defaults do not apply.
    Raises LayerFileError with the reason when the file cannot be read as a
    layer, and MissingExtra when its format needs a package that is not
    installed."""
    kind = FORMATS.get(path.suffix.lower())
    if kind is None:
        raise LayerFileError(f"not a layer file: the suffix must be one of {', '.join(FORMATS)}")
    try:
        if kind == "npy":
            return _read_npy(path, columns)
        if kind == "npz":
            return _read_npz(path, columns)
        if kind == "text":
            return _read_text(path, columns)
        if kind == "parquet":
            return _read_parquet(path, columns)
        return _read_hdf5(path, columns)
    except (LayerFileError, MissingExtra):
        raise
    except Exception as error:
        # What the format's own library says about a damaged file, whatever
        # its kind of exception (zip archives, for one, raise their own).
        reason = str(error) or type(error).__name__
        raise LayerFileError(f"cannot read it as {path.suffix.lower()}: {reason}") from error


def _pair(x: Any, y: Any, what: str) -> tuple[Floats, Floats]:
    """x and y as contiguous float arrays of one type: float32 when both are
    float32, float64 otherwise."""
    xs, ys = np.asarray(x), np.asarray(y)
    for name, array in (("x", xs), ("y", ys)):
        if array.dtype.kind not in "iuf":
            raise LayerFileError(f"{what}: {name} holds {array.dtype} values, not numbers")
        if array.ndim != 1:
            raise LayerFileError(f"{what}: {name} has shape {array.shape}, not one value per point")
    if len(xs) != len(ys):
        raise LayerFileError(f"{what}: x has {len(xs)} values, y has {len(ys)}")
    dtype = np.float32 if xs.dtype == ys.dtype == np.float32 else np.float64
    return np.ascontiguousarray(xs, dtype=dtype), np.ascontiguousarray(ys, dtype=dtype)


def _column_number(column: str) -> int | None:
    """The 0-based index of a column given by its number (counted from 1),
    or None when `column` is a name."""
    if column.isdigit():
        number = int(column)
        if number < 1:
            raise LayerFileError(f"column numbers count from 1, got {column}")
        return number - 1
    return None


def _pick(names: list[str], columns: Columns | None, what: str) -> tuple[int, int]:
    """The indexes of the x and y columns among `names`: the ones called x
    and y in any case, or those that `columns` names (exactly, else in any
    case) or numbers."""
    wanted = ("x", "y") if columns is None else columns
    picked: list[int] = []
    for column in wanted:
        number = _column_number(column) if columns is not None else None
        if number is not None:
            if number >= len(names):
                raise LayerFileError(f"{what} has {len(names)} columns, no column {column}")
            picked.append(number)
            continue
        exact = [i for i, name in enumerate(names) if name == column]
        matches = exact or [i for i, name in enumerate(names)
                            if name.strip().lower() == column.strip().lower()]
        if len(matches) > 1:
            raise LayerFileError(f"{what} has {len(matches)} columns called {column!r}")
        if not matches:
            shown = ", ".join(repr(n) for n in names[:12]) + (", ..." if len(names) > 12 else "")
            hint = "" if columns is not None else "; name the columns with --columns X,Y"
            raise LayerFileError(f"{what} has no column {column!r} (it has {shown}){hint}")
        picked.append(matches[0])
    if picked[0] == picked[1]:
        raise LayerFileError(f"x and y are the same column of {what}")
    return picked[0], picked[1]


def _check_start(path: Path, magic: bytes, what: str) -> None:
    """LayerFileError unless the file starts as its format does: np.load
    takes anything else for a pickle and says so, which misleads."""
    with path.open("rb") as f:
        if f.read(len(magic)) != magic:
            raise LayerFileError(f"not {what}: it does not start as one does")


def _read_npy(path: Path, columns: Columns | None) -> Layer:
    _check_start(path, b"\x93NUMPY", "a NumPy .npy file")
    data = np.load(path, allow_pickle=False)
    if data.dtype.names is not None:
        if data.ndim != 1:
            raise LayerFileError(f"expected a 1D structured array, got shape {data.shape}")
        i, j = _pick(list(data.dtype.names), columns, "the structured array")
        x, y = _pair(data[data.dtype.names[i]], data[data.dtype.names[j]], "the structured array")
        return Layer(x, y)
    if data.ndim != 2 or (columns is None and data.shape[1] != 2):
        raise LayerFileError("expected an (n, 2) array of x and y or a structured array with "
                             f"fields x and y, got shape {data.shape}")
    if columns is None:
        i, j = 0, 1
    else:
        numbers = [_column_number(column) for column in columns]
        if numbers[0] is None or numbers[1] is None:
            raise LayerFileError("the columns of a plain array have no names: give their "
                                 "numbers, e.g. --columns 1,2")
        i, j = _pick([str(k + 1) for k in range(data.shape[1])], columns, "the array")
    x, y = _pair(data[:, i], data[:, j], "the array")
    return Layer(x, y)


def _read_npz(path: Path, columns: Columns | None) -> Layer:
    _check_start(path, b"PK", "a NumPy .npz archive")
    with np.load(path, allow_pickle=False) as archive:
        names = list(archive.files)
        named = columns is None or all(_column_number(column) is None for column in columns)
        lowered = [n.lower() for n in names]
        if named and (columns is not None or ("x" in lowered and "y" in lowered)):
            i, j = _pick(names, columns, "the archive")
            x, y = _pair(archive[names[i]], archive[names[j]], "the archive")
            return Layer(x, y)
        if len(names) == 1:
            data = archive[names[0]]
            if data.ndim == 2 and (columns is not None or data.shape[1] == 2):
                i, j = (0, 1) if columns is None else _pick(
                    [str(k + 1) for k in range(data.shape[1])], columns, "the array")
                x, y = _pair(data[:, i], data[:, j], f"array {names[0]!r}")
                return Layer(x, y)
        raise LayerFileError("expected arrays x and y or a single (n, 2) array, found "
                             + (", ".join(f"{n!r} {archive[n].shape}" for n in names)
                                or "no arrays"))


def _delimiter(suffix: str, line: str) -> str | None:
    """The field separator of a text table, from its suffix and its first
    line: tabs for .tsv; for .csv commas, or semicolons where the line has
    none; for .txt the first of tab, comma and semicolon that the line
    holds, else runs of white space (None)."""
    if suffix == ".tsv":
        return "\t"
    if suffix == ".csv":
        return ";" if "," not in line and ";" in line else ","
    for candidate in ("\t", ",", ";"):
        if candidate in line:
            return candidate
    return None


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _fields(line: str, delimiter: str | None) -> list[str]:
    if delimiter is None:
        return line.split()
    return [f.strip() for f in next(csv.reader(io.StringIO(line), delimiter=delimiter))]


def _read_text(path: Path, columns: Columns | None) -> Layer:
    suffix = path.suffix.lower()
    skip = 0   # lines before the first row of numbers, comments included
    first: str | None = None
    second: str | None = None
    with path.open(encoding="utf-8-sig", newline="") as f:
        for line in f:
            if not line.strip() or line.lstrip().startswith("#"):
                skip += 1 if first is None else 0
                continue
            if first is None:
                first = line.rstrip("\r\n")
                skip += 1
            else:
                second = line.rstrip("\r\n")
                break
    if first is None:
        raise LayerFileError("the file holds no rows")
    delimiter = _delimiter(suffix, first)
    cells = _fields(first, delimiter)
    header = not all(_is_number(cell) for cell in cells)
    if not header:
        skip -= 1
        if columns is None:
            raise LayerFileError("there is no header row naming the x and y columns: add one, "
                                 "or give the column numbers with --columns, e.g. --columns 1,2")
        names = [str(k + 1) for k in range(len(cells))]
        if any(_column_number(column) is None for column in columns):
            raise LayerFileError("the file has no header row, so its columns have no names: "
                                 "give their numbers, e.g. --columns 1,2")
    else:
        names = cells
    i, j = _pick(names, columns, "the header" if header else "the file")
    # Other named columns whose first value is a number are channels.
    channel_columns: list[int] = []
    if header and second is not None:
        values = _fields(second, delimiter)
        channel_columns = [k for k, name in enumerate(names)
                           if k not in (i, j) and k < len(values) and _is_number(values[k])
                           and name and names.count(name) == 1]
    used = [i, j] + channel_columns
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)   # a header without rows is a layer of 0 points
        try:
            data = np.loadtxt(path, delimiter=delimiter, skiprows=skip, usecols=used,
                              dtype=np.float64, ndmin=2, comments="#", encoding="utf-8-sig",
                              quotechar='"')
        except ValueError as error:
            raise LayerFileError(f"not a table of numbers: {error}") from error
    x, y = _pair(data[:, 0], data[:, 1], "the table")
    return Layer(x, y, {names[k]: np.ascontiguousarray(data[:, 2 + n])
                        for n, k in enumerate(channel_columns)})


def _read_parquet(path: Path, columns: Columns | None) -> Layer:
    parquet = import_extra("pyarrow.parquet", "parquet", "reading .parquet files")
    types = import_extra("pyarrow.types", "parquet", "reading .parquet files")
    schema = parquet.read_schema(path)
    names = list(schema.names)
    i, j = _pick(names, columns, "the table")
    numeric = [k for k, name in enumerate(names)
               if types.is_integer(schema.field(k).type) or types.is_floating(schema.field(k).type)]
    channel_columns = [k for k in numeric if k not in (i, j) and names.count(names[k]) == 1]
    table = parquet.read_table(path, columns=[names[k] for k in [i, j] + channel_columns])

    def values(k: int) -> NDArray[Any]:
        return np.asarray(table.column(names[k]).to_numpy(zero_copy_only=False))

    x, y = _pair(values(i), values(j), "the table")
    return Layer(x, y, {names[k]: np.ascontiguousarray(values(k), dtype=np.float64)
                        for k in channel_columns})


def _read_hdf5(path: Path, columns: Columns | None) -> Layer:
    h5py = import_extra("h5py", "hdf5", "reading .h5 and .hdf5 files")
    with h5py.File(path, "r") as f:
        if columns is None:
            root = [name for name in f.keys() if isinstance(f[name], h5py.Dataset)]
            i, j = _pick(root, None, "the file's top level")
            wanted = (root[i], root[j])
        else:
            wanted = columns
        arrays = []
        for name in wanted:
            if name not in f:
                raise LayerFileError(f"the file has no dataset {name!r}")
            if not isinstance(f[name], h5py.Dataset):
                raise LayerFileError(f"{name!r} is a group, not a dataset")
            arrays.append(np.asarray(f[name][()]))
    x, y = _pair(arrays[0], arrays[1], "the datasets")
    return Layer(x, y)


# ------------------------------------------------------------------ writing

def write_table_csv(path: Path, table: NDArray[np.void]) -> None:
    """The table as CSV: a header row of its field names, one row per scan
    line, numbers in their shortest exact form."""
    with path.open("w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(table.dtype.names or ())
        writer.writerows(table.tolist())


def write_outputs(labels_file: Path, table_file: Path, labels: NDArray[np.int32],
                  table: NDArray[np.void], *, overwrite: bool) -> None:
    """Writes the labels and the table, both or neither: each goes to a
    temporary file beside its target first and takes the target's name only
    when both are complete. Without `overwrite`, FileExistsError when a
    target exists."""
    targets = (labels_file, table_file)
    if not overwrite:
        for target in targets:
            if target.exists():
                raise FileExistsError(f"{target} exists; --overwrite replaces it")
    for target in targets:
        target.parent.mkdir(parents=True, exist_ok=True)
    temporary = [t.with_name(f".{t.name}.{os.getpid()}.partial") for t in targets]
    moved: list[Path] = []
    try:
        with temporary[0].open("wb") as f:
            np.save(f, np.asarray(labels, dtype=np.int32))
        write_table_csv(temporary[1], table)
        for source, target in zip(temporary, targets):
            os.replace(source, target)
            moved.append(target)
    except BaseException:
        for path in temporary + moved:
            path.unlink(missing_ok=True)
        raise
