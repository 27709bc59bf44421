"""The battery over a panel: one regression per group, thousands of groups, on all cores."""

from __future__ import annotations

import math
import os
import sys
import threading
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np

from ._battery import COLUMNS, TESTS, columns, frame, run_tests, selected
from ._distributions import DEFER_PVALUES, chi2_sf_many, f_sf_many
from ._fit import OLSFit, fit_from_svd
from ._inputs import _require_finite
from ._status import DiagnosticError

#: Above this many groups a progress bar is shown by default (when standard error is a terminal).
PROGRESS_GROUPS = 300
# Groups per task: large enough for one stacked factorisation to pay, small
# enough to spread over the workers and to stop soon after an interrupt.
CHUNK = 64


@dataclass(frozen=True)
class Panel:
    """A long-form frame split into its groups, without pandas in the per-group path.

    ``order`` lists the frame's rows group by group, each group's rows in the
    frame's order; group g owns ``order[starts[g]:starts[g] + sizes[g]]``.
    Groups are numbered in the sorted order of their keys (``keys``).
    """

    keys: Any  # pandas Index (one key column) or MultiIndex of the group keys, sorted
    by: tuple[str, ...]
    y: np.ndarray
    X: np.ndarray  # the design, the constant first when one is added
    names: tuple[str, ...]
    y_name: str
    order: np.ndarray
    starts: np.ndarray
    sizes: np.ndarray

    @property
    def groups(self) -> int:
        return int(self.sizes.shape[0])

    def rows(self, g: int) -> np.ndarray:
        return self.order[self.starts[g]:self.starts[g] + self.sizes[g]]


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
    X = np.empty((n, len(x_names) + add_constant))
    if add_constant:
        X[:, 0] = 1.0
    for j, name in enumerate(x_names):
        X[:, j + add_constant] = values[name]
    sizes = np.bincount(codes, minlength=len(keys)) if n else np.zeros(0, dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]) if sizes.size else sizes
    return Panel(keys=keys, by=tuple(by_names), y=values[y], X=X,
                 names=(("const",) if add_constant else ()) + tuple(map(str, x_names)), y_name=str(y),
                 order=np.argsort(codes, kind="stable"), starts=starts, sizes=sizes)


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
            U, s, vt = np.linalg.svd(stack, full_matrices=False)
        except np.linalg.LinAlgError as exc:  # pragma: no cover - finite input converges
            for g, _, _ in batch:
                yield g, ValueError(f"the least-squares fit failed: {exc}")
            continue
        for i, (g, y, X) in enumerate(batch):
            yield g, fit_from_svd(y, X, U[i], s[i], vt[i], panel.names, panel.y_name)


Outcome = tuple[str, Any, Any]


def _chunk(panel: Panel, ids: list[int], tests: tuple[str, ...], options: dict[str, Any],
           cancel: threading.Event) -> list[tuple[int, list[Outcome]]]:
    """The battery of each group of one task, chi-square and F p-values left for the table."""
    token = DEFER_PVALUES.set(True)
    try:
        out: list[tuple[int, list[Outcome]]] = []
        for g, fit in _fits(panel, ids):
            if cancel.is_set():
                break
            if isinstance(fit, Exception):
                out.append((g, [(name, None, fit) for name in tests]))
            else:
                out.append((g, run_tests(fit, tests, **options)))
        return out
    finally:
        DEFER_PVALUES.reset(token)


def _tasks(panel: Panel) -> list[list[int]]:
    """Groups of one size together, in chunks: a deterministic split (the results do not depend on it)."""
    by_size: dict[int, list[int]] = {}
    for g, size in enumerate(panel.sizes.tolist()):
        by_size.setdefault(size, []).append(g)
    return [ids[i:i + CHUNK] for _, ids in sorted(by_size.items()) for i in range(0, len(ids), CHUNK)]


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


def _run(panel: Panel, tests: tuple[str, ...], options: dict[str, Any], workers: int,
         progress: Any, on_done: Callable[[int], None] | None = None) -> list[list[Outcome] | None]:
    results: list[list[Outcome] | None] = [None] * panel.groups
    cancel = threading.Event()
    tasks = _tasks(panel)

    def done(part: list[tuple[int, list[Outcome]]]) -> None:
        for g, outcomes in part:
            results[g] = outcomes
        if progress is not None:
            progress.update(len(part))
        if on_done is not None:
            on_done(len(part))

    if workers == 1:
        for ids in tasks:
            done(_chunk(panel, ids, tests, options, cancel))
        return results
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="kestrix-panel")
    try:
        pending: set[Future[Any]] = {pool.submit(_chunk, panel, ids, tests, options, cancel) for ids in tasks}
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
    pending = [i for i, (p, dist) in enumerate(zip(cols["pvalue"], cols["distribution"]))
               if dist is not None and math.isnan(p) and dist.split("(", 1)[0] in _LAWS]
    if not pending:
        return
    rows = np.array(pending)
    stat = cols["statistic"][rows]
    law = np.array([_LAWS[cols["distribution"][i].split("(", 1)[0]] for i in pending])
    df1 = np.array([d[0] if isinstance(d, tuple) else (1 if k == 2 else d) for d, k in
                    zip(cols["df"][rows], law)], dtype=np.float64)
    df2 = np.array([d[1] if isinstance(d, tuple) else (d if k == 2 else 1) for d, k in
                    zip(cols["df"][rows], law)], dtype=np.float64)
    chi2 = chi2_sf_many(stat, df1)
    f = f_sf_many(np.where(law == 2, stat * stat, stat), df1, df2)
    if chi2 is None or f is None:  # no SciPy: the verdicts already say so
        return
    p = np.where(law == 0, chi2, f)
    cols["pvalue"][rows] = p
    for i, value in zip(pending, p.tolist()):
        if math.isnan(value):
            cols["reject_5pct"][i], cols["verdict"][i] = None, "undefined (p-value is NaN)"
        elif value < 0.05:
            cols["reject_5pct"][i], cols["verdict"][i] = True, f"reject: {cols['alternative'][i]}"
        else:
            cols["reject_5pct"][i], cols["verdict"][i] = False, "not rejected"


def table(panel: Panel, results: list[list[Outcome] | None], tests: tuple[str, ...],
          options: dict[str, Any] | None = None) -> Any:
    """The panel's DataFrame indexed by (group keys ..., test), with the battery's columns and nobs."""
    import pandas as pd

    done = [g for g, r in enumerate(results) if r is not None]
    outcomes = [o for g in done for o in results[g]]  # type: ignore[union-attr]
    options = options or {}
    cols = columns(outcomes, options.get("lags", 4), options.get("kernel", "bartlett"))
    _deferred_pvalues(cols)
    take = np.repeat(np.array(done, dtype=np.int64), len(tests))
    keys = panel.keys
    if isinstance(keys, pd.MultiIndex):
        levels = [keys.get_level_values(i)[take] for i in range(keys.nlevels)]
    else:
        levels = [keys[take]]
    test_names = np.tile(np.array(tests, dtype=object), len(done))
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
    factorisation, and the chi-square and F p-values of the whole table are
    computed in one vectorised call.  A group that cannot be fitted (a
    missing or infinite value) or tested (too few rows, a constant response)
    gets its rows with ``error`` and ``status`` set; every other group is
    computed as usual.  KeyboardInterrupt stops the pool and is raised.
    ``progress`` shows a progress bar on standard error (needs tqdm; by
    default when there are more than 300 groups and standard error is a
    terminal).
    """
    names = selected(tests)
    options = {"lags": battery_options.pop("lags", 4), "break_at": battery_options.pop("break_at", None),
               "position": battery_options.pop("position", None),
               "kernel": battery_options.pop("kernel", "bartlett"),
               "bandwidth": battery_options.pop("bandwidth", None)}
    if battery_options:
        raise TypeError(f"battery_panel got an unexpected option {next(iter(battery_options))!r}")
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
    return table(panel, results, names, options)


__all__ = ["COLUMNS", "TESTS", "battery_panel"]
