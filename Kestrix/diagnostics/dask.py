"""The panel battery on a Dask DataFrame, on whatever Dask scheduler is active.

Install the extra with ``pip install "Kestrix[dask]"``.  Importing
``Kestrix.diagnostics`` never imports Dask; this module does.

Dask's shuffle brings the rows of each group into one partition; each
partition then runs the in-process engine (``kd.battery_panel`` with one
worker), so every number comes from the same code as in one process.  A
shuffle need not keep the order of rows, so each row carries its position in
the input (partition, row) and every group is put back in that order before
it is tested: the result does not depend on how Dask moved the data.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from . import _panel
from ._battery import COLUMNS, make_options, selected
from ._table import categorical

_PART = "__kestrix_partition"
_ROW = "__kestrix_row"
# The df column cannot travel as tuples (Dask may turn object columns into
# strings), so it travels as two numbers.
_DF1 = "__kestrix_df1"
_DF2 = "__kestrix_df2"


def _numbered(part: pd.DataFrame, partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    number = 0 if partition_info is None else int(partition_info["number"])
    return part.assign(**{_PART: np.full(len(part), number, dtype=np.int64),
                          _ROW: np.arange(len(part), dtype=np.int64)})


def _flat(table: pd.DataFrame, by: list[str]) -> pd.DataFrame:
    """A panel table with its index as columns and df as two numbers, as Dask can carry it."""
    out = table.reset_index()
    df = out.pop("df")
    out[_DF1] = np.array([np.nan if d is None else float(d[0] if isinstance(d, tuple) else d) for d in df])
    out[_DF2] = np.array([float(d[1]) if isinstance(d, tuple) else np.nan for d in df])
    out["reject_5pct"] = pd.array(out["reject_5pct"], dtype="boolean")
    for name in ("label", "verdict", "note", "error"):
        out[name] = out[name].astype(object)
    return out


def _partition(part: pd.DataFrame, by: list[str], y: str, x: list[str], add_constant: bool,
               options: dict[str, Any]) -> pd.DataFrame:
    """The in-process engine on one partition, whose groups are whole."""
    ordered = part.sort_values([_PART, _ROW], kind="stable")
    table = _panel.battery_panel(ordered, by, y, x, workers=1, add_constant=add_constant, progress=False,
                                 **options)
    return _flat(table, by)


def _meta(ddf: Any, by: list[str]) -> pd.DataFrame:
    columns: dict[str, Any] = {name: ddf._meta[name].iloc[:0] for name in by}
    columns["test"] = pd.Series([], dtype=object)
    for name in COLUMNS:
        if name == "df":
            continue
        dtype = {"statistic": "float64", "pvalue": "float64", "status": "int64", "fallback": "bool",
                 "reject_5pct": "boolean"}.get(name, object)
        columns[name] = pd.Series([], dtype=dtype)
    columns["nobs"] = pd.Series([], dtype="int64")
    columns[_DF1] = pd.Series([], dtype="float64")
    columns[_DF2] = pd.Series([], dtype="float64")
    return pd.DataFrame(columns)


def to_table(flat: pd.DataFrame, by: list[str], tests: tuple[str, ...]) -> pd.DataFrame:
    """The computed flat table as ``kd.battery_panel`` gives it: groups sorted by key, tests in order."""
    flat = flat.copy()
    flat["__test_order"] = flat["test"].map({name: i for i, name in enumerate(tests)})
    flat = flat.sort_values([*by, "__test_order"], kind="stable")
    df1, df2 = flat.pop(_DF1).to_numpy(), flat.pop(_DF2).to_numpy()
    flat["df"] = [None if np.isnan(a) else (int(a), int(b)) if not np.isnan(b) else int(a)
                  for a, b in zip(df1, df2)]
    reject = flat["reject_5pct"]
    flat["reject_5pct"] = reject.astype(bool) if not reject.isna().any() else reject.astype("boolean")
    for name in ("label", "verdict", "note", "error"):
        values = pd.Series([None if pd.isna(v) else str(v) for v in flat[name]], index=flat.index, dtype=object)
        texts = sorted(values.dropna().unique())
        codes = values.map({text: i for i, text in enumerate(texts)}).fillna(-1).to_numpy(dtype=np.int32)
        flat[name] = categorical(codes, texts)
    flat["test"] = flat["test"].astype("str")
    for name in by:
        # Dask carries text as Arrow strings missing as NA; pandas' own strings are missing as NaN.
        if isinstance(flat[name].dtype, pd.StringDtype):
            flat[name] = flat[name].astype("str")
    flat = flat.set_index([*by, "test"])
    table = flat[[*COLUMNS, "nobs"]]
    table["status"] = table["status"].astype(np.int64)
    table["nobs"] = table["nobs"].astype(np.int64)
    return table


def battery_panel(ddf: Any, by: Any, y: str, x: Any, *, compute: bool = True, add_constant: bool = True,
                  tests: Any = None, **battery_options: Any) -> Any:
    """``kd.battery_panel`` on a ``dask.dataframe.DataFrame``.

    The groups are moved together by Dask's shuffle, and each partition runs
    the in-process engine; the table is computed on the active scheduler
    (threads, processes or a ``distributed`` cluster).  Returns the pandas
    DataFrame that ``kd.battery_panel`` gives for the same data (same rows,
    same bits), or with ``compute=False`` a Dask DataFrame of it with the
    index as columns (group keys, ``test``) and ``df`` as ``__kestrix_df1``
    and ``__kestrix_df2``; ``to_table`` turns its computed value into the
    table.  The options are those of ``kd.battery_panel``, but ``workers``
    and ``progress``: Dask schedules the work.
    """
    import dask.dataframe as dd

    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"ddf must be a dask.dataframe.DataFrame, got {type(ddf).__name__}")
    for name in ("workers", "progress"):
        if name in battery_options:
            raise TypeError(f"{name} is not an option here: Dask's scheduler runs the work")
    by_names = [by] if isinstance(by, str) else list(by)
    x_names = [x] if isinstance(x, str) else list(x)
    missing = [c for c in (*by_names, y, *x_names) if c not in ddf.columns]
    if missing:
        raise ValueError(f"unknown column {missing[0]!r} (columns: {', '.join(map(str, ddf.columns))})")
    names = selected(tests)
    make_options("battery_panel", battery_options)  # a bad option fails here, not in every partition
    options = dict(battery_options, tests=names)
    used = ddf[list(dict.fromkeys([*by_names, y, *x_names]))]
    numbered = used.map_partitions(_numbered, meta=_numbered(used._meta))
    moved = numbered.shuffle(on=by_names)
    flat = moved.map_partitions(_partition, by_names, y, x_names, add_constant, options,
                                meta=_meta(ddf, by_names))
    if not compute:
        return flat
    return to_table(flat.compute(), by_names, names)


__all__ = ["battery_panel", "to_table"]
