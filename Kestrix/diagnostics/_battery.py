"""The whole battery on one fitted model, as one table."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from . import _api, _more
from ._fit import OLSFit, as_fit
from ._inputs import as_int
from ._results import DiagnosticResult
from ._status import DiagnosticError, Status
from ._windows import window

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

#: The scales of the CUSUM path: the residual standard error of the fit, or the standard deviation of the
#: recursive residuals.
CUSUM_SCALES = ("ols", "recursive")


@dataclass(frozen=True)
class Options:
    """The battery's options, checked once when made: a bad value is an error of the call, not of a row.

    ``lags`` serves Breusch-Godfrey (both forms), Ljung-Box and Box-Pierce,
    and ARCH LM unless ``arch_lags`` is given; ``break_at`` or ``position``
    the Chow test (by default the middle of the sample); ``kernel`` and
    ``bandwidth`` the HAC covariance of the Wald test of the slopes;
    ``power`` RESET; ``trim`` sup-F; ``cusum_scale`` the CUSUM path.
    """

    lags: int = 4
    arch_lags: int | None = None
    break_at: Any = None
    position: int | None = None
    kernel: str = "bartlett"
    bandwidth: int | None = None
    power: int = 3
    trim: float = 0.15
    cusum_scale: str = "ols"

    def __post_init__(self) -> None:
        set_ = functools.partial(object.__setattr__, self)
        for name in ("lags", "arch_lags"):
            value = getattr(self, name)
            if value is None and name == "arch_lags":
                continue
            value = as_int(value, name)
            if value < 1:
                raise ValueError(f"{name} must be at least 1, got {value}")
            set_(name, value)
        set_("kernel", window(self.kernel).name)
        if self.bandwidth is not None:
            bandwidth = as_int(self.bandwidth, "bandwidth")
            if bandwidth < 0:
                raise ValueError(f"bandwidth must be at least 0, got {bandwidth}")
            set_("bandwidth", bandwidth)
        power = as_int(self.power, "power")
        if power < 2:
            raise ValueError(f"power must be at least 2, got {power}")
        set_("power", power)
        if isinstance(self.trim, (bool, np.bool_)) or not isinstance(self.trim, (int, float, np.integer, np.floating)):
            raise TypeError(f"trim must be a number, got {type(self.trim).__name__}")
        if not 0.0 < float(self.trim) < 0.5:
            raise ValueError(f"trim must lie strictly between 0 and 0.5, got {self.trim}")
        set_("trim", float(self.trim))
        if self.cusum_scale not in CUSUM_SCALES:
            raise ValueError(f"cusum_scale must be one of {', '.join(map(repr, CUSUM_SCALES))}, "
                             f"got {self.cusum_scale!r}")
        if self.break_at is not None and self.position is not None:
            raise TypeError("give the Chow break as break_at (a label) or as position= (a row number), not both")
        if self.position is not None:
            set_("position", as_int(self.position, "position"))

    @property
    def arch(self) -> int:
        """The lags of ARCH LM."""
        return self.lags if self.arch_lags is None else self.arch_lags


class _Run:
    """One battery run: the options, and the work the tests share (one Breusch-Godfrey and one
    Breusch-Pagan regression)."""

    def __init__(self, fit: OLSFit, options: Options) -> None:
        self.fit = fit
        self.options = options
        self.position = options.position if (options.break_at is not None or options.position is not None) \
            else fit.nobs // 2
        self._bp: _api.AuxSums | None = None
        self._bg: tuple[float, int, str | None] | None = None

    def bg(self, form: str) -> DiagnosticResult:
        """Both forms of Breusch-Godfrey from one auxiliary regression."""
        lags = self.options.lags
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
    "chow": lambda run: _api.chow(run.fit, break_at=run.options.break_at, position=run.position),
    "recursive_residuals": lambda run: _api.recursive_residuals(run.fit),
    "cusum": lambda run: _api.cusum(run.fit, scale=run.options.cusum_scale),
    "cusum_squares": lambda run: _api.cusum_squares(run.fit),
    "ljung_box": lambda run: _api.ljung_box(run.fit, lags=run.options.lags),
    "jarque_bera": lambda run: _api.jarque_bera(run.fit),
    "wald": lambda run: _api.wald_coefficients(run.fit, kernel=run.options.kernel, bandwidth=run.options.bandwidth),
    "durbin_watson": lambda run: _more.durbin_watson(run.fit),
    "box_pierce": lambda run: _more.box_pierce(run.fit, lags=run.options.lags),
    "breusch_godfrey_f": lambda run: run.bg("F"),
    "white": lambda run: _more.white(run.fit),
    "arch_lm": lambda run: _more.arch_lm(run.fit, lags=run.options.arch),
    "reset": lambda run: _more.reset(run.fit, power=run.options.power),
    "sup_f": lambda run: _more.sup_f(run.fit, trim=run.options.trim),
}

# Labels of rows whose test could not be computed (a computed test labels its own row).
_LABELS = {
    "breusch_godfrey": "Breusch-Godfrey LM ({o.lags} lags)",
    "breusch_pagan": "Breusch-Pagan LM",
    "breusch_pagan_studentized": "Breusch-Pagan LM (studentised)",
    "chow": "Chow",
    "recursive_residuals": "Recursive residuals, t test of mean zero",
    "cusum": "CUSUM",
    "cusum_squares": "CUSUM of squares",
    "ljung_box": "Ljung-Box Q ({o.lags} lags)",
    "jarque_bera": "Jarque-Bera",
    "wald": "Wald, HAC {o.kernel}: slopes = 0",
    "durbin_watson": "Durbin-Watson",
    "box_pierce": "Box-Pierce Q ({o.lags} lags)",
    "breusch_godfrey_f": "Breusch-Godfrey F ({o.lags} lags)",
    "white": "White (squares and cross products)",
    "arch_lm": "ARCH LM ({o.arch} lags)",
    "reset": "RESET (powers 2 to {o.power})",
    "sup_f": "sup-F (trim {o.trim:g})",
}

#: The verdicts of rows without a statistic: a refusal of the data, or a test that does not apply to it.
NOT_COMPUTED = "not computed"
NOT_APPLICABLE = "not applicable"


def make_options(what: str, options: dict[str, Any]) -> Options:
    """The options of a battery call, an unknown name refused by the call's own name."""
    unknown = [name for name in options if name not in Options.__dataclass_fields__]
    if unknown:
        raise TypeError(f"{what} got an unexpected option {unknown[0]!r} (options: "
                        f"{', '.join(Options.__dataclass_fields__)})")
    return Options(**options)


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


Outcome = tuple[str, "DiagnosticResult | None", "Exception | None"]


def run_tests(fit: OLSFit, tests: tuple[str, ...], options: Options) -> list[Outcome]:
    """Each test's result, or the refusal that stopped it; one failing test never stops the others."""
    run = _Run(fit, options)
    out: list[Outcome] = []
    for name in tests:
        try:
            out.append((name, _RUNNERS[name](run), None))
        except (ValueError, TypeError, MemoryError) as exc:
            out.append((name, None, exc))
    return out


def refusal_status(exc: Exception) -> Status:
    """The status of a row whose test was refused: too few observations for it is "not applicable"."""
    if isinstance(exc, DiagnosticError):
        return Status.NOT_APPLICABLE if exc.status == Status.TOO_FEW_OBS else exc.status
    return Status.NO_MEMORY if isinstance(exc, MemoryError) else Status.BAD_INPUT


@functools.lru_cache(maxsize=64)
def _index(names: tuple[str, ...]) -> Any:
    import pandas as pd

    return pd.Index(list(names), name="test")  # immutable, so one object serves every table


def columns(outcomes: list[Outcome], options: Options) -> dict[str, np.ndarray]:
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
            text["label"][i] = _LABELS[name].format(o=options)
            status[i] = refusal_status(exc)  # type: ignore[arg-type]
            # A test that does not apply says why in its note; a refusal of the data is an error.
            if status[i] == Status.NOT_APPLICABLE:
                text["verdict"][i], text["note"][i] = NOT_APPLICABLE, str(exc)
            else:
                text["verdict"][i], text["error"][i] = NOT_COMPUTED, str(exc)
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


def battery(y_or_fit: Any, X: Any = None, *, tests: Any = None, **options: Any) -> Any:
    """Every diagnostic of one regression, as a pandas DataFrame with one row per test.

    The model is fitted once (or given, from ``ols``).  The index holds the
    test names (``TESTS``; ``tests=`` picks any of ``TESTS`` and
    ``OPTIONAL``, in the order given); the columns are
    ``label`` (the test as printed), ``statistic``, ``df``, ``pvalue``,
    ``status``, ``fallback``, ``reject_5pct``, ``verdict``, ``note`` and
    ``error``.  A test that does not apply to this data (too few rows for
    its lags, no slope to test) gets the status ``Status.NOT_APPLICABLE``,
    the verdict "not applicable" and its reason in ``note``; a test the
    data makes impossible gets the verdict "not computed", its refusal's
    ``status`` and the message in ``error``.  The others still run.

    The options (keywords, checked before anything runs: a bad value is a
    ValueError or TypeError of the call) are those of ``Options``:
    ``lags=4`` for Breusch-Godfrey, Ljung-Box, Box-Pierce and ARCH LM
    (``arch_lags=`` for ARCH LM alone); ``break_at`` (a label) or
    ``position=`` (a row) for the Chow test, by default the middle of the
    sample; ``kernel="bartlett"`` and ``bandwidth`` for the HAC covariance
    of the Wald test that all slopes are zero; ``power=3`` for RESET;
    ``trim=0.15`` for sup-F; ``cusum_scale="ols"`` for CUSUM.  ``attrs`` of
    the table hold ``nobs`` and the fit's notes.
    """
    chosen = make_options("battery", options)
    names = selected(tests)
    fit = as_fit(y_or_fit, X, "battery")
    outcomes = run_tests(fit, names, chosen)
    table = frame(columns(outcomes, chosen), _index(names))
    table.attrs["nobs"] = fit.nobs
    table.attrs["notes"] = fit.notes
    return table
