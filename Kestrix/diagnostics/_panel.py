"""The battery over a panel: one regression per group, thousands of groups, on all cores."""

from __future__ import annotations

import os
import sys
import threading
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np

from . import _batch
from ._battery import COLUMNS, TESTS, Options, columns, frame, make_options, run_tests, selected
from ._distributions import DEFER_PVALUES, chi2_sf_many, f_sf_many
from ._fit import OLSFit, equilibrated_svd, fit_from_svd
from ._inputs import _require_finite
from ._status import DiagnosticError

#: Above this many groups a progress bar is shown by default (when standard error is a terminal).
PROGRESS_GROUPS = 300
# Groups per task at most: large enough for the stacked arithmetic to pay, small
# enough to spread over the workers and to stop soon after an interrupt; and a
# task's stacked designs hold at most CELLS numbers.
CHUNK = 256
CELLS = 1 << 18


@dataclass(frozen=True)
class Panel:
    """A long-form frame split into its groups, without pandas in the per-group path.

    ``y`` and ``X`` hold the frame's rows group by group, each group's rows
    in the frame's order: group g owns rows ``starts[g]`` to ``starts[g] +
    sizes[g] - 1``.  Groups are numbered in the sorted order of their keys
    (``keys``).
    """

    keys: Any  # pandas Index (one key column) or MultiIndex of the group keys, sorted
    by: tuple[str, ...]
    y: np.ndarray
    X: np.ndarray  # the design, the constant first when one is added
    names: tuple[str, ...]
    y_name: str
    starts: np.ndarray
    sizes: np.ndarray

    @property
    def groups(self) -> int:
        return int(self.sizes.shape[0])

    def rows(self, g: int) -> slice:
        start = int(self.starts[g])
        return slice(start, start + int(self.sizes[g]))


def _names(columns: Any) -> list[str]:
    if isinstance(columns, str):
        return [columns]
    return list(columns)


def split(frame_: Any, by: Any, y: str, x: Any, add_constant: bool = True) -> Panel:
    """The panel of a long-form pandas DataFrame: group keys, response and design as NumPy arrays."""
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
    grouped = frame_.groupby(by_names, sort=True, dropna=False, observed=True)
    codes = grouped.ngroup().to_numpy()
    keys = grouped.size().index
    values = {}
    for name in (y, *x_names):
        try:
            values[name] = frame_[name].to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            raise ValueError(f"column {name!r} is not numeric") from None
    n = codes.shape[0]
    # The rows group by group, each group's in the frame's order (no gather when the frame is sorted already);
    # copies, writable, as the kernels take them.
    order = None if n == 0 or bool(np.all(codes[1:] >= codes[:-1])) else np.argsort(codes, kind="stable")
    take = (lambda v: v) if order is None else (lambda v: v[order])
    X = np.empty((n, len(x_names) + add_constant))
    if add_constant:
        X[:, 0] = 1.0
    for j, name in enumerate(x_names):
        X[:, j + add_constant] = take(values[name])
    sizes = np.bincount(codes, minlength=len(keys)) if n else np.zeros(0, dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]) if sizes.size else sizes
    return Panel(keys=keys, by=tuple(by_names), y=np.array(take(values[y])), X=X,
                 names=(("const",) if add_constant else ()) + tuple(map(str, x_names)), y_name=str(y),
                 starts=starts, sizes=sizes)


def _fits(panel: Panel, ids: list[int]) -> Iterator[tuple[int, OLSFit | Exception]]:
    """The fit of each group, or why it has none; same-sized groups share one stacked SVD."""
    clean: dict[int, list[tuple[int, np.ndarray, np.ndarray]]] = {}
    for g in ids:
        rows = panel.rows(g)
        y, X = panel.y[rows], panel.X[rows]
        try:
            # The same refusals, word for word, as kd.ols on the group alone.
            _require_finite(y, "y")
            _require_finite(X, "X")
        except DiagnosticError as exc:
            yield g, exc
            continue
        clean.setdefault(y.shape[0], []).append((g, y, X))
    for batch in clean.values():
        stack = np.stack([X for _, _, X in batch])
        try:
            scales, U, s, vt = equilibrated_svd(stack)
        except np.linalg.LinAlgError as exc:  # pragma: no cover - finite input converges
            for g, _, _ in batch:
                yield g, ValueError(f"the least-squares fit failed: {exc}")
            continue
        for i, (g, y, X) in enumerate(batch):
            yield g, fit_from_svd(y, X, scales[i], U[i], s[i], vt[i], panel.names, panel.y_name)


Outcome = tuple[str, Any, Any]
#: The rows of some groups: their numbers, and the table's columns, len(tests) rows per group in group order.
Block = tuple[np.ndarray, dict[str, np.ndarray]]


def _chunk(panel: Panel, ids: list[int], tests: tuple[str, ...], options: Options,
           cancel: threading.Event, templates: _batch.Templates) -> list[Block]:
    """The battery of each group of one task (groups of one size), chi-square and F p-values left for the table."""
    token = DEFER_PVALUES.set(True)
    try:
        if cancel.is_set():
            return []
        done, cols, ids = _batch.battery(panel, ids, tests, options, templates)
        blocks = [] if cols is None else [(done, cols)]
        slow: list[int] = []
        outcomes: list[Outcome] = []
        for g, fit in _fits(panel, ids):
            if cancel.is_set():
                break
            slow.append(g)
            if isinstance(fit, Exception):
                outcomes += [(name, None, fit) for name in tests]
            else:
                outcomes += run_tests(fit, tests, options)
        if slow:
            blocks.append((np.asarray(slow, dtype=np.int64), columns(outcomes, options)))
        return blocks
    finally:
        DEFER_PVALUES.reset(token)


def _tasks(panel: Panel, workers: int = 1) -> list[list[int]]:
    """Groups of one size together, in chunks: a deterministic split (the results do not depend on it).

    Several chunks per worker, so that a few long groups still spread over the pool.
    """
    by_size: dict[int, list[int]] = {}
    for g, size in enumerate(panel.sizes.tolist()):
        by_size.setdefault(size, []).append(g)
    spread = panel.groups if workers == 1 else max(1, -(-panel.groups // (4 * workers)))
    tasks = []
    for size, ids in sorted(by_size.items()):
        chunk = max(1, min(CHUNK, spread, CELLS // max(1, size * panel.X.shape[1])))
        tasks += [ids[i:i + chunk] for i in range(0, len(ids), chunk)]
    return tasks


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


def _run(panel: Panel, tests: tuple[str, ...], options: Options, workers: int,
         progress: Any, on_done: Callable[[int], None] | None = None) -> list[Block]:
    results: list[Block] = []
    cancel = threading.Event()
    templates = _batch.Templates()
    tasks = _tasks(panel, workers)

    def done(part: list[Block]) -> None:
        results.extend(part)
        count = sum(ids.shape[0] for ids, _ in part)
        if progress is not None:
            progress.update(count)
        if on_done is not None:
            on_done(count)

    if workers == 1:
        for ids in tasks:
            done(_chunk(panel, ids, tests, options, cancel, templates))
        return results
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="kestrix-panel")
    try:
        pending: set[Future[Any]] = {pool.submit(_chunk, panel, ids, tests, options, cancel, templates)
                                     for ids in tasks}
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
    return results


_LAWS = {"chi2": 0, "F": 1, "t": 2}


def _deferred_pvalues(cols: dict[str, np.ndarray]) -> None:
    """Chi-square, F and t p-values of the whole table in one vectorised call each, with their verdicts."""
    dist = cols["distribution"]
    named = np.flatnonzero(np.isnan(cols["pvalue"]) & (dist != None))  # noqa: E711 (elementwise)
    if named.size == 0:
        return
    # The law of each row without a p-value from its distribution's name (chi2(k), F(a, b), t(k), ...),
    # and its degrees of freedom from the first row of that name: rows with one name share both.
    import pandas as pd

    code, names = pd.factorize(dist[named])
    where = named[np.unique(code, return_index=True)[1]]  # the first row of each name
    laws, df1s, df2s = [], [], []
    for text, i in zip(names.tolist(), where.tolist()):
        law = _LAWS.get(text.split("(", 1)[0], -1)
        d = cols["df"][i]
        laws.append(law)
        df1s.append(d[0] if isinstance(d, tuple) else (1 if law == 2 else d))
        df2s.append(d[1] if isinstance(d, tuple) else (d if law == 2 else 1))
    law = np.array(laws, dtype=np.int64)[code]
    rows = named[law >= 0]
    if rows.size == 0:
        return
    df1 = np.array(df1s, dtype=np.float64)[code][law >= 0]
    df2 = np.array(df2s, dtype=np.float64)[code][law >= 0]
    law = law[law >= 0]
    stat = cols["statistic"][rows]
    chi2, f = law == 0, law != 0
    p = np.empty(rows.shape[0])
    p_chi2 = chi2_sf_many(stat[chi2], df1[chi2])
    p_f = f_sf_many(np.where(law[f] == 2, stat[f] * stat[f], stat[f]), df1[f], df2[f])
    if p_chi2 is None or p_f is None:  # no SciPy: the verdicts already say so
        return
    p[chi2], p[f] = p_chi2, p_f
    cols["pvalue"][rows] = p
    cols["reject_5pct"][rows], cols["verdict"][rows] = _batch.decide(p, cols["alternative"][rows])


def table(panel: Panel, results: list[Block], tests: tuple[str, ...]) -> Any:
    """The panel's DataFrame indexed by (group keys ..., test), with the battery's columns and nobs."""
    import pandas as pd

    T = len(tests)
    if results:
        done = np.concatenate([ids for ids, _ in results])
        names = results[0][1].keys()
        cols = {name: np.concatenate([part[name] for _, part in results]) for name in names}
    else:
        done = np.zeros(0, dtype=np.int64)
        cols = columns([], Options())
    # Groups in the order of their keys, each group's tests in the order asked.
    order = np.argsort(done, kind="stable")
    done = done[order]
    rows = (order[:, None] * T + np.arange(T)).ravel()
    cols = {name: value[rows] for name, value in cols.items()}
    _deferred_pvalues(cols)
    take = np.repeat(done, T)
    keys = panel.keys
    if isinstance(keys, pd.MultiIndex):
        levels = [keys.get_level_values(i)[take] for i in range(keys.nlevels)]
    else:
        levels = [keys[take]]
    test_names = np.tile(np.array(tests, dtype=object), done.shape[0])
    index = pd.MultiIndex.from_arrays([*levels, test_names], names=[*panel.by, "test"])
    out = frame(cols, index)
    out["nobs"] = panel.sizes[take]
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

    ``workers=None`` uses every core: the groups run on a thread pool, and
    the kernels release the interpreter lock; ``workers=1`` runs in the
    calling thread.  Same-sized groups are fitted by one stacked
    factorisation; the clean ones (finite, of full rank, with one constant
    column) are tested over stacked arrays, one kernel call per group and
    test, and the chi-square and F p-values of the whole table are computed
    in one vectorised call.  A group that cannot be fitted (a
    missing or infinite value) or tested (too few rows, a constant response)
    gets its rows with ``error`` and ``status`` set; every other group is
    computed as usual.  KeyboardInterrupt stops the pool and is raised.
    ``progress`` shows a progress bar on standard error (needs tqdm; by
    default when there are more than 300 groups and standard error is a
    terminal).
    """
    names = selected(tests)
    options = make_options("battery_panel", battery_options)
    count = (os.cpu_count() or 1) if workers is None else workers
    if not isinstance(count, int) or isinstance(count, bool) or count < 1:
        raise ValueError(f"workers must be a positive integer or None, got {workers!r}")
    panel = split(frame_, by, y, x, add_constant)
    bar = _progress_bar(progress, panel.groups)
    try:
        results = _run(panel, names, options, count, bar)
    finally:
        if bar is not None:
            bar.close()
    return table(panel, results, names)


__all__ = ["COLUMNS", "TESTS", "battery_panel"]
