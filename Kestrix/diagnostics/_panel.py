"""The battery over a panel: one regression per group, thousands of groups, on all cores."""

from __future__ import annotations

import os
import sys
import threading
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np

from . import _engine
from ._battery import COLUMNS, TESTS, Options, make_options, selected
from ._inputs import _to_float, non_finite
from ._table import Groups, frame, rows

#: Above this many groups a progress bar is shown by default (when standard error is a terminal).
PROGRESS_GROUPS = 300
# Groups per engine call at most: enough for the call's overhead to vanish, few enough to spread over the
# workers, to move the progress bar and to stop within a second of an interrupt; and a call's rows hold at
# most CELLS numbers of X.
CHUNK = 2048
CELLS = 1 << 21


@dataclass(frozen=True)
class Panel:
    """A long-form frame split into its groups, without pandas in the per-group path.

    The columns stay as the frame holds them (``y_column``, ``x_columns``:
    float64, views where the frame's data allow); ``order`` lists the
    frame's rows group by group, each group's rows in the frame's order
    (None when the frame is in that order already).  Group g owns the rows
    ``starts[g]`` to ``starts[g] + sizes[g] - 1`` of that order.  The
    engine takes the columns of consecutive groups (``columns``): views of
    the frame's own columns when its rows are in group order, else gathered
    one chunk at a time, so the panel's design is never copied whole;
    ``block`` makes the row-major design of a few groups.
    Groups are numbered in the sorted order of their keys (``keys``).
    """

    keys: Any  # pandas Index (one key column) or MultiIndex of the group keys, sorted
    by: tuple[str, ...]
    y_column: np.ndarray
    x_columns: tuple[np.ndarray, ...]
    add_constant: bool
    order: np.ndarray | None
    names: tuple[str, ...]  # the design's columns, the constant first when one is added
    y_name: str
    starts: np.ndarray
    sizes: np.ndarray

    @property
    def groups(self) -> int:
        return int(self.sizes.shape[0])

    @property
    def nrows(self) -> int:
        return int(self.y_column.shape[0])

    @property
    def ncols(self) -> int:
        return len(self.x_columns) + int(self.add_constant)

    def _rows(self, g0: int, g1: int) -> Any:
        """The frame's rows of the groups g0 .. g1-1, one group after another: a slice when the frame is in
        group order, else their positions."""
        r0 = int(self.starts[g0]) if g0 < self.groups else self.nrows
        r1 = int(self.starts[g1]) if g1 < self.groups else self.nrows
        return slice(r0, r1) if self.order is None else self.order[r0:r1]

    def block(self, g0: int, g1: int) -> tuple[np.ndarray, np.ndarray]:
        """y and X (C-contiguous, new arrays) of the groups g0 .. g1-1, their rows one after another."""
        rows_ = self._rows(g0, g1)
        y = np.array(self.y_column[rows_], dtype=np.float64)
        X = np.empty((y.shape[0], self.ncols))
        if self.add_constant:
            X[:, 0] = 1.0
        for j, column in enumerate(self.x_columns):
            X[:, j + self.add_constant] = column[rows_]
        return y, X

    def columns(self, g0: int, g1: int) -> tuple[np.ndarray, tuple[np.ndarray | None, ...]]:
        """y and the columns of X (None for the constant) of the groups g0 .. g1-1, as the engine takes them:
        views of the frame's columns when its rows are in group order, else the rows gathered per column."""
        rows_ = self._rows(g0, g1)
        constant: tuple[None, ...] = (None,) if self.add_constant else ()
        return self.y_column[rows_], constant + tuple(column[rows_] for column in self.x_columns)


def _names(columns: Any) -> list[str]:
    if isinstance(columns, str):
        return [columns]
    return list(columns)


def split(frame_: Any, by: Any, y: str, x: Any, add_constant: bool = True) -> Panel:
    """The panel of a long-form pandas DataFrame: group keys, the order of its rows, its columns as floats."""
    import pandas as pd

    if not isinstance(frame_, pd.DataFrame):
        raise TypeError(f"frame must be a pandas DataFrame, got {type(frame_).__name__}")
    by_names, x_names = _names(by), _names(x)
    if not by_names:
        raise ValueError("by names no group column")
    missing = [c for c in (*by_names, y, *x_names) if c not in frame_.columns]
    if missing:
        raise ValueError(f"unknown column {missing[0]!r} (columns: {', '.join(map(str, frame_.columns))})")
    if not x_names and not add_constant:
        raise ValueError("x names no regressor and add_constant is False: the design has no column")
    columns = {name: _to_float(frame_[name], f"column {name!r}", copy=False) for name in dict.fromkeys((y, *x_names))}
    key = frame_[by_names[0]] if len(by_names) == 1 else None
    if key is not None and len(key) and isinstance(key.dtype, np.dtype) and key.dtype.kind in "iu" \
            and key.is_monotonic_increasing:
        # One integer key, the frame sorted by it (the common layout): the groups are its runs.
        values = key.to_numpy()
        first = np.concatenate([[0], np.flatnonzero(values[1:] != values[:-1]) + 1])
        keys = pd.Index(values[first], name=by_names[0])
        sizes = np.diff(np.concatenate([first, [len(values)]]))
        order = None
    else:
        grouped = frame_.groupby(by_names, sort=True, dropna=False, observed=True)
        codes = grouped.ngroup().to_numpy()
        keys = grouped.size().index
        n = codes.shape[0]
        # The rows group by group, each group's in the frame's order (none to gather when the frame is sorted).
        order = None if n == 0 or bool(np.all(codes[1:] >= codes[:-1])) else np.argsort(codes, kind="stable")
        sizes = np.bincount(codes, minlength=len(keys)) if n else np.zeros(0, dtype=np.int64)
        del codes
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]) if sizes.size else sizes
    return Panel(keys=keys, by=tuple(by_names), y_column=columns[y], x_columns=tuple(columns[c] for c in x_names),
                 add_constant=bool(add_constant), order=order,
                 names=(("const",) if add_constant else ()) + tuple(map(str, x_names)), y_name=str(y),
                 starts=starts, sizes=sizes)


def _tasks(panel: Panel, workers: int = 1) -> list[tuple[int, int]]:
    """Consecutive runs of groups, one engine call each: a deterministic split (the results do not depend
    on it).  Several per worker, so that a few long groups still spread over the pool."""
    G = panel.groups
    if G == 0:
        return []
    spread = G if workers == 1 else max(1, -(-G // (4 * workers)))
    # Greedy: each task the most groups from g on that stay within the limits (at least one group).
    cells = np.zeros(G + 1, dtype=np.int64)
    np.cumsum(panel.sizes.astype(np.int64) * max(1, panel.ncols), out=cells[1:])
    limit = min(CHUNK, spread)
    tasks = []
    g = 0
    while g < G:
        within = int(np.searchsorted(cells, cells[g] + CELLS, side="right")) - 1
        end = max(g + 1, min(g + limit, within, G))
        tasks.append((g, end))
        g = end
    return tasks


@dataclass
class Outputs:
    """The engine's outputs of every group for the tests asked only, in their order (G x K), and the
    fits' rank and status: what the table is made from."""

    stat: np.ndarray
    df1: np.ndarray
    df2: np.ndarray
    status: np.ndarray
    flags: np.ndarray
    info: np.ndarray
    rank: np.ndarray
    fit_status: np.ndarray

    @classmethod
    def allocate(cls, G: int, K: int) -> "Outputs":
        return cls(stat=np.empty((G, K)), df1=np.empty((G, K), np.int64), df2=np.empty((G, K), np.int64),
                   status=np.empty((G, K), np.int8), flags=np.empty((G, K), np.uint16),
                   info=np.empty((G, K, _engine.INFO), np.int64), rank=np.empty(G, np.int64),
                   fit_status=np.empty(G, np.int8))

    def keep(self, g0: int, g1: int, run: _engine.Run, slots: list[int]) -> None:
        """Groups g0 .. g1-1 from an engine run over them, the tests' slots only."""
        self.stat[g0:g1] = run.stat[:, slots]
        self.df1[g0:g1] = run.df1[:, slots]
        self.df2[g0:g1] = run.df2[:, slots]
        self.status[g0:g1] = run.status[:, slots]
        self.flags[g0:g1] = run.flags[:, slots]
        self.info[g0:g1] = run.info[:, slots]
        self.rank[g0:g1] = run.rank
        self.fit_status[g0:g1] = run.fit_status


def _progress_bar(progress: bool | None, total: int) -> Any:
    if progress is None:
        progress = total > PROGRESS_GROUPS and sys.stderr.isatty()
    if not progress:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None

    class Bar(tqdm):  # type: ignore[misc, valid-type]
        # No monitor thread: the bar is updated from this thread as chunks
        # finish, and a library call should leave no thread behind.
        monitor_interval = 0

    return Bar(total=total, unit="group", desc="battery", file=sys.stderr, leave=False)


def _run(panel: Panel, tests: tuple[str, ...], engine_options: tuple[Any, ...], workers: int, progress: Any,
         on_done: Callable[[int], None] | None = None) -> Outputs:
    """The engine over every group, one call per task on the task's rows, gathered by the task itself."""
    out = Outputs.allocate(panel.groups, len(tests))
    slots = [_engine.SLOT[name] for name in tests]
    tasks = _tasks(panel, workers)
    cancel = threading.Event()

    def task(g0: int, g1: int) -> int:
        if cancel.is_set():
            return 0
        y, X = panel.columns(g0, g1)
        starts = np.zeros(g1 - g0 + 1, dtype=np.int64)
        np.cumsum(panel.sizes[g0:g1], out=starts[1:])
        out.keep(g0, g1, _engine.run(y, X, starts, engine_options), slots)
        return g1 - g0

    def done(count: int) -> None:
        if progress is not None:
            progress.update(count)
        if on_done is not None:
            on_done(count)

    if workers == 1:
        for g0, g1 in tasks:
            done(task(g0, g1))
        return out
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="kestrix-panel")
    try:
        pending: set[Future[Any]] = {pool.submit(task, g0, g1) for g0, g1 in tasks}
        while pending:
            # A bounded wait keeps the main thread responsive to KeyboardInterrupt.
            finished, pending = wait(pending, timeout=0.25, return_when=FIRST_COMPLETED)
            for future in finished:
                done(future.result())
    except BaseException:
        cancel.set()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    return out


def _finite_errors(panel: Panel, out: Outputs) -> dict[int, str]:
    """The messages of the groups holding a missing or infinite value, as kd.ols words them."""
    errors = {}
    for g in np.flatnonzero(out.fit_status == _engine.CODES["NOT_FINITE"]).tolist():
        y, X = panel.block(g, g + 1)
        for values, what in ((y, "y"), (X, "X")):
            found = non_finite(values)
            if found:
                errors[g] = f"{what} contains {found}; drop or fill them first"
                break
    return errors


def table(panel: Panel, out: Outputs, tests: tuple[str, ...], options: Options, workers: int = 1) -> Any:
    """The panel's DataFrame indexed by (group keys ..., test), with the battery's columns and nobs (the
    p-values computed on ``workers`` threads)."""
    import pandas as pd

    G, K = panel.groups, len(tests)
    groups = Groups(n=panel.sizes.astype(np.int64), names=panel.names, finite_error=_finite_errors(panel, out),
                    design=lambda g: panel.block(g, g + 1)[1])
    cols = rows(out, tests, options, groups, compact=True, categorical_text=True, threads=workers).columns
    keys = panel.keys
    group_codes = np.repeat(np.arange(G), K)
    test_codes = np.tile(np.arange(K), G)
    test_level = pd.Index(list(tests), dtype="str")
    if isinstance(keys, pd.MultiIndex):
        levels = [*keys.levels, test_level]
        codes = [*(np.asarray(c)[group_codes] for c in keys.codes), test_codes]
    else:
        levels = [keys, test_level]
        codes = [group_codes, test_codes]
    index = pd.MultiIndex(levels=levels, codes=codes, names=[*panel.by, "test"], verify_integrity=False)
    out = frame(cols, index)
    out["nobs"] = np.repeat(panel.sizes.astype(np.int64), K)
    return out


def battery_panel(frame_: Any, by: Any, y: str, x: Any, *, workers: int | None = None, add_constant: bool = True,
                  progress: bool | None = None, tests: Any = None, **battery_options: Any) -> Any:
    """The battery of every group of a long-form panel, as one table.

    ``frame_`` is a pandas DataFrame with one row per observation; ``by`` the
    group column (or columns), ``y`` the response column and ``x`` the
    regressor columns; a constant is added unless ``add_constant=False``.
    The rows of each group keep the frame's order: that is the group's time
    order for the tests that use it.  Returns a DataFrame indexed by (group
    keys ..., test), the groups sorted by key, with the columns of
    ``battery`` plus ``nobs``; each group's rows equal ``battery`` on that
    group's arrays alone (so a Chow break is a ``position=`` within the
    group), bit for bit, whatever ``workers`` is and however the groups are
    ordered in the frame.  The other options are those of ``battery``.

    The groups go to the battery engine in calls of up to 2,048 groups, each
    with the interpreter lock released; ``workers=None`` runs the calls on a
    thread pool of every core, ``workers=1`` in the calling thread.  A group
    that cannot be fitted (a missing or infinite value) or tested (a
    constant response) gets its rows with ``error`` and ``status`` set; a
    test that does not apply to a group (too few rows for it) is "not
    applicable", with its reason in ``note``; every other group is computed
    as usual.  KeyboardInterrupt stops the pool and is raised.  ``progress``
    shows a progress bar on standard error (needs tqdm; by default when
    there are more than 300 groups and standard error is a terminal).
    """
    names = selected(tests)
    options = make_options("battery_panel", battery_options)
    count = (os.cpu_count() or 1) if workers is None else workers
    if not isinstance(count, int) or isinstance(count, bool) or count < 1:
        raise ValueError(f"workers must be a positive integer or None, got {workers!r}")
    panel = split(frame_, by, y, x, add_constant)
    # The break is a position within each group (by default its middle).
    at = options.position if options.position is not None else (options.break_at if options.break_at is not None
                                                                 else -1)
    engine_options = _engine.options_tuple(names, options, int(at))
    bar = _progress_bar(progress, panel.groups)
    try:
        out = _run(panel, names, engine_options, count, bar)
    finally:
        if bar is not None:
            bar.close()
    return table(panel, out, names, options, count)


__all__ = ["COLUMNS", "TESTS", "battery_panel"]
