"""The whole battery on one fitted model, as one table."""

from __future__ import annotations

import functools
import math
from typing import Any, Callable

import numpy as np

from . import _api, _more
from ._fit import OLSFit, as_fit
from ._results import DiagnosticResult
from ._status import DiagnosticError, Status

#: The tests of the battery, in the order of its rows.
TESTS = (
    "breusch_godfrey",
    "breusch_pagan",
    "breusch_pagan_studentized",
    "chow",
    "recursive_residuals",
    "cusum",
    "cusum_squares",
    "ljung_box",
    "jarque_bera",
    "wald",
    "durbin_watson",
    "box_pierce",
    "breusch_godfrey_f",
    "white",
    "arch_lm",
    "reset",
)

#: Tests run only when named in ``tests=``: sup-F costs one Chow statistic
#: per candidate break, about 0.7·T of them.
OPTIONAL = ("sup_f",)

COLUMNS = ("label", "statistic", "df", "pvalue", "status", "fallback", "reject_5pct", "verdict", "note", "error")


class _Run:
    """One battery run: the options, and the work the tests share (one Breusch-Godfrey and one
    Breusch-Pagan regression)."""

    def __init__(self, fit: OLSFit, lags: int, break_at: Any, position: Any, kernel: str,
                 bandwidth: int | None) -> None:
        self.fit = fit
        self.lags = lags
        self.break_at = break_at
        self.position = position if (break_at is not None or position is not None) else fit.nobs // 2
        self.kernel = kernel
        self.bandwidth = bandwidth
        self._bp: tuple[float, float, int, int] | None = None
        self._bg: tuple[float, int, str | None] | None = None

    def bg(self, form: str) -> DiagnosticResult:
        """Both forms of Breusch-Godfrey from one auxiliary regression."""
        lags = _api._int_lags(self.lags)
        if self._bg is None:
            self._bg = _api._bg_lm(self.fit, lags)
        return _api._bg_result(self.fit, lags, self._bg, form)

    def bp(self, studentized: bool) -> DiagnosticResult:
        if self._bp is None:
            self._bp = _api._bp_sums(self.fit, None)
        return _api._bp_result(self.fit, self._bp, studentized)


_RUNNERS: dict[str, Callable[[_Run], DiagnosticResult]] = {
    "breusch_godfrey": lambda run: run.bg("LM"),
    "breusch_pagan": lambda run: run.bp(False),
    "breusch_pagan_studentized": lambda run: run.bp(True),
    "chow": lambda run: _api.chow(run.fit, break_at=run.break_at, position=run.position),
    "recursive_residuals": lambda run: _api.recursive_residuals(run.fit),
    "cusum": lambda run: _api.cusum(run.fit),
    "cusum_squares": lambda run: _api.cusum_squares(run.fit),
    "ljung_box": lambda run: _api.ljung_box(run.fit, run.lags),
    "jarque_bera": lambda run: _api.jarque_bera(run.fit),
    "wald": lambda run: _api.wald_coefficients(run.fit, kernel=run.kernel, bandwidth=run.bandwidth),
    "durbin_watson": lambda run: _more.durbin_watson(run.fit),
    "box_pierce": lambda run: _more.box_pierce(run.fit, run.lags),
    "breusch_godfrey_f": lambda run: run.bg("F"),
    "white": lambda run: _more.white(run.fit),
    "arch_lm": lambda run: _more.arch_lm(run.fit, run.lags),
    "reset": lambda run: _more.reset(run.fit),
    "sup_f": lambda run: _more.sup_f(run.fit),
}

# Labels of rows whose test could not be computed (a computed test labels its own row).
_LABELS = {
    "breusch_godfrey": "Breusch-Godfrey LM ({lags} lags)",
    "breusch_pagan": "Breusch-Pagan LM",
    "breusch_pagan_studentized": "Breusch-Pagan LM (studentised)",
    "chow": "Chow",
    "recursive_residuals": "Recursive residuals, t test of mean zero",
    "cusum": "CUSUM",
    "cusum_squares": "CUSUM of squares",
    "ljung_box": "Ljung-Box Q ({lags} lags)",
    "jarque_bera": "Jarque-Bera",
    "wald": "Wald, HAC {kernel}: slopes = 0",
    "durbin_watson": "Durbin-Watson",
    "box_pierce": "Box-Pierce Q ({lags} lags)",
    "breusch_godfrey_f": "Breusch-Godfrey F ({lags} lags)",
    "white": "White (squares and cross products)",
    "arch_lm": "ARCH LM ({lags} lags)",
    "reset": "RESET (powers 2 to 3)",
    "sup_f": "sup-F (trim 0.15)",
}


def selected(tests: Any) -> tuple[str, ...]:
    if tests is None:
        return TESTS
    if isinstance(tests, str):
        tests = [tests]
    chosen = tuple(tests)
    unknown = [name for name in chosen if name not in _RUNNERS]
    if unknown:
        raise ValueError(f"unknown test {unknown[0]!r}: choose from {', '.join(TESTS + OPTIONAL)}")
    return chosen


def run_tests(fit: OLSFit, tests: tuple[str, ...], lags: int, break_at: Any, position: Any, kernel: str,
              bandwidth: int | None) -> list[tuple[str, DiagnosticResult | None, DiagnosticError | Exception | None]]:
    """Each test's result, or the refusal that stopped it; one failing test never stops the others."""
    run = _Run(fit, lags, break_at, position, kernel, bandwidth)
    out: list[tuple[str, DiagnosticResult | None, Exception | None]] = []
    for name in tests:
        try:
            out.append((name, _RUNNERS[name](run), None))
        except (ValueError, TypeError, MemoryError) as exc:
            out.append((name, None, exc))
    return out


@functools.lru_cache(maxsize=64)
def _index(names: tuple[str, ...]) -> Any:
    import pandas as pd

    return pd.Index(list(names), name="test")  # immutable, so one object serves every table


def columns(outcomes: list[tuple[str, Any, Any]], lags: Any = 4, kernel: Any = "bartlett") -> dict[str, np.ndarray]:
    """The table's columns for a list of outcomes, plus ``alternative`` (what a rejection means)."""
    k = len(outcomes)
    text = {column: np.full(k, None, dtype=object) for column in ("label", "df", "verdict", "note", "error",
                                                                  "alternative", "distribution")}
    statistic = np.full(k, math.nan)
    pvalue = np.full(k, math.nan)
    status = np.zeros(k, dtype=np.int64)
    fallback = np.zeros(k, dtype=bool)
    reject = np.full(k, None, dtype=object)
    for i, (name, res, exc) in enumerate(outcomes):
        if res is None:
            text["label"][i] = _LABELS[name].format(lags=lags, kernel=kernel)
            status[i] = int(getattr(exc, "status", Status.TOO_FEW_OBS))
            text["error"][i] = str(exc)
            text["verdict"][i] = "not computed"
            continue
        text["label"][i] = res.test
        statistic[i] = res.statistic
        text["df"][i] = res.df
        if res.pvalue is not None:
            pvalue[i] = res.pvalue
        status[i] = res.status
        fallback[i] = res.fallback
        reject[i] = res.reject(0.05)
        text["verdict"][i] = res.verdict(0.05)
        text["note"][i] = res.note
        text["alternative"][i] = res.alternative
        text["distribution"][i] = res.distribution
    return {"statistic": statistic, "pvalue": pvalue, "status": status, "fallback": fallback, "reject_5pct": reject,
            **text}


def frame(cols: dict[str, np.ndarray], index: Any) -> Any:
    """The DataFrame of the columns, in the order of COLUMNS."""
    import pandas as pd

    text, boolean = _dtypes()
    reject = cols["reject_5pct"]
    # A plain bool column when every row has a decision, a nullable one otherwise.
    decided = reject.astype(bool) if all(r is not None for r in reject) else pd.array(reject, dtype=boolean)
    data = {name: (decided if name == "reject_5pct" else cols[name]) for name in COLUMNS}
    # Text columns are pandas strings whether or not any row has text (a
    # missing note or error is NaN), so that tables of one test or of
    # thousands of groups have the same dtypes.
    for name in ("label", "verdict", "note", "error"):
        data[name] = pd.array(cols[name], dtype=text)
    return pd.DataFrame(data, index=index, copy=False)


@functools.lru_cache(maxsize=1)
def _dtypes() -> tuple[Any, Any]:
    """pandas' string dtype (missing values NaN) and nullable boolean dtype, made once."""
    import pandas as pd

    return pd.array([], dtype="str").dtype, pd.BooleanDtype()


def battery(y_or_fit: Any, X: Any = None, *, lags: int = 4, break_at: Any = None, kernel: str = "bartlett",
            bandwidth: int | None = None, tests: Any = None, position: Any = None) -> Any:
    """Every diagnostic of one regression, as a pandas DataFrame with one row per test.

    The model is fitted once (or given, from ``ols``).  The index holds the
    test names (``TESTS``; ``tests=`` picks any of ``TESTS`` and
    ``OPTIONAL``, in the order given); the columns are
    ``label`` (the test as printed), ``statistic``, ``df``, ``pvalue``,
    ``status``, ``fallback``, ``reject_5pct``, ``verdict``, ``note`` and
    ``error``.  A test that cannot be computed on this input gets its row
    with ``error`` (and the refusal's ``status``) set; the others still run.

    ``lags`` serves Breusch-Godfrey, Ljung-Box, Box-Pierce and ARCH LM; the Chow break is the
    label ``break_at`` or the row ``position=`` (by default the middle of
    the sample); ``kernel`` and ``bandwidth`` set the HAC covariance of the
    Wald test that all slopes are zero.  ``attrs`` of the table hold
    ``nobs`` and the fit's notes.
    """
    fit = as_fit(y_or_fit, X, "battery")
    names = selected(tests)
    outcomes = run_tests(fit, names, lags, break_at, position, kernel, bandwidth)
    table = frame(columns(outcomes, lags, kernel), _index(names))
    table.attrs["nobs"] = fit.nobs
    table.attrs["notes"] = fit.notes
    return table
