"""The diagnostics: the kernel first, the NumPy least-squares path when it hands over.

Every regression test takes a fitted model (``ols``) or ``(y, X)``, which is
fitted once.  Each test is written as its mathematics; the path they share
(call the kernel, recompute on fallback, turn a refusal into a plain-words
error, attach the p-value) lives in the few helpers at the top.
"""

from __future__ import annotations

import functools
import math
import warnings
from typing import Any, NamedTuple

import numpy as np

from Kestrix._ckernels.diag import _diag

from . import _cusumsq, _lstsq
from ._distributions import (
    chi2_sf,
    cusum_critical_value,
    cusum_pvalue,
    cusumsq_critical_value,
    cusumsq_pvalue,
    f_sf,
)
from ._fit import OLSFit, as_fit, shift_option
from ._inputs import _require_finite, as_int, as_matrix, as_vector, constant_columns, require_unique_labels
from ._results import CusumResult, DiagnosticResult, HACResult, RecursiveResidualsResult
from ._status import DiagnosticError, Status
from ._windows import default_bandwidth, every_lag_covariance, window

__all__ = [
    "breusch_godfrey",
    "breusch_pagan",
    "chow",
    "cusum",
    "cusum_squares",
    "hac_coefficient_covariance",
    "hac_covariance",
    "jarque_bera",
    "ljung_box",
    "recursive_residuals",
    "wald",
    "wald_coefficients",
]

_EPS = float(np.finfo(np.float64).eps)


def _refuse(status: int, messages: dict[Status, str]) -> None:
    """Turn a kernel status other than OK and FALLBACK into an exception."""
    code = Status(status)
    if code == Status.NO_MEMORY:
        raise MemoryError("not enough memory for the kernel's scratch space")
    if code in messages:
        raise DiagnosticError(messages[code], code)
    raise DiagnosticError(f"the kernel refused the input (status {status}, {code.name})", code)


def _join(*notes: str | None) -> str | None:
    text = "; ".join(note for note in notes if note)
    return text or None


def _chi2(test: str, stat: float, df: int, status: int, fallback: bool, nobs: int, alternative: str,
          note: str | None = None) -> DiagnosticResult:
    return DiagnosticResult(test, stat, df, chi2_sf(stat, df), status, fallback, nobs, f"chi2({df})",
                            alternative, None, note)


def _int_lags(lags: Any) -> int:
    lags = as_int(lags, "lags")
    if lags < 1:
        raise DiagnosticError(f"lag below 1: lags must be at least 1, got {lags}", Status.BAD_LAG)
    return lags


# --- regression diagnostics ------------------------------------------------

def breusch_godfrey(y_or_fit: Any, X: Any = None, lags: Any = 4, *, form: str = "LM") -> DiagnosticResult:
    """Breusch-Godfrey test for serial correlation up to order ``lags``.

    Godfrey's statistic n·e'P_Z e / e'e, where e are the OLS residuals and
    P_Z projects on Z = [X, e_{t-1} ... e_{t-lags}] (zeros before the
    sample), asymptotically chi2(lags) without serial correlation.  X is the
    design as fitted: when it has a constant the kernel computes the
    statistic (its auxiliary regression adds the intercept itself); without
    one no intercept is added, and the least-squares path computes it.

    ``form="F"`` gives the F form of the same auxiliary regression: with
    R² = LM/n (the uncentred R² of e on Z), F = (R²/lags)/((1 - R²)/(n - k -
    lags)), F(lags, n - k - lags) under the null, k the rank of X.
    """
    if form not in ("LM", "F"):
        raise ValueError(f"form must be 'LM' or 'F', got {form!r}")
    X, lags = shift_option(y_or_fit, X, lags, 4)
    fit = as_fit(y_or_fit, X, "breusch_godfrey")
    lags = _int_lags(lags)
    return _bg_result(fit, lags, _bg_lm(fit, lags), form)


def _bg_lm(fit: OLSFit, lags: int) -> tuple[float, int, str | None]:
    """Godfrey's LM, the status that computed it and its note (shared by both forms)."""
    e = fit.residuals_for_tests()
    fit.require_order("Breusch-Godfrey")
    n, k = fit.nobs, fit.rank
    if n - k - lags < 1:
        raise DiagnosticError(
            f"too few observations: {lags} lags and {k} regressors leave no degrees of freedom in the auxiliary "
            f"regression of {n} observations (lags can be at most {n - k - 1})", Status.TOO_FEW_OBS)
    note = fit.gap_note
    if fit.has_constant:
        status, stat = _diag.bg_stat(e, fit.non_constant_X, lags)
        if status == Status.FALLBACK:
            stat = _lstsq.breusch_godfrey(e, fit.X, lags)
        elif status != Status.OK:
            _refuse(status, {})
    else:
        status = Status.FALLBACK
        stat = _lstsq.breusch_godfrey(e, fit.X, lags)
        note = _join("X has no constant: the auxiliary regression has none either (least-squares path)", note)
    return float(stat), int(status), note


def _bg_result(fit: OLSFit, lags: int, lm: tuple[float, int, str | None], form: str) -> DiagnosticResult:
    stat, status, note = lm
    n = fit.nobs
    fallback = status == Status.FALLBACK
    if form == "F":
        df2 = n - fit.rank - lags
        r2 = stat / n
        f = (r2 / lags) / ((1.0 - r2) / df2) if r2 < 1.0 else math.inf
        return DiagnosticResult(f"Breusch-Godfrey F ({lags} lags)", f, (lags, df2), f_sf(f, lags, df2), status,
                                fallback, n, f"F({lags}, {df2})", "serial correlation", None, note)
    return _chi2(f"Breusch-Godfrey LM ({lags} lags)", stat, lags, status, fallback, n, "serial correlation", note)


def _bp_sums(fit: OLSFit, Z: Any) -> AuxSums:
    """The regression of e²/mean(e²) on a constant and Z (by default the non-constant columns of X)."""
    e = fit.residuals_for_tests()
    n = fit.nobs
    if Z is None:
        aux = fit.variance_design
        names = ("const", *(fit.names[j] for j in fit.slopes))
    else:
        Zm = as_matrix(Z, "Z")
        if Zm.values.shape[0] != n:
            raise ValueError(f"Z has {Zm.values.shape[0]} rows but y has {n} observations")
        varying = ~constant_columns(Zm.values)
        aux = np.column_stack([np.ones(n), Zm.values[:, varying]])
        z_names = Zm.names or tuple(f"z{j}" for j in range(Zm.values.shape[1]))
        names = ("const", *(name for name, v in zip(z_names, varying) if v))
    if aux.shape[1] < 2:
        raise DiagnosticError("Z has no non-constant column: there is nothing the variance could depend on",
                              Status.TOO_FEW_OBS)
    if n <= aux.shape[1]:
        raise DiagnosticError(f"too few observations: the variance regression has {aux.shape[1]} columns, "
                              f"it needs more than {aux.shape[1]} observations, got {n}", Status.TOO_FEW_OBS)
    return aux_sums(e, aux, names)


class AuxSums(NamedTuple):
    """An auxiliary regression of e²/mean(e²): sums, degrees of freedom, status, columns left out."""

    rss: float
    tss: float
    df: int
    status: int
    dropped: tuple[str, ...]

    @property
    def note(self) -> str | None:
        return _lstsq.dropped_note(self.dropped)


def aux_sums(e: np.ndarray, aux: np.ndarray, names: tuple[str, ...]) -> AuxSums:
    """rss, centred tss, df (rank of aux - 1) and status of the regression of e²/mean(e²) on aux.

    The kernel first, least squares when it hands over, on the columns of
    aux that are not linear combinations of the earlier ones (decided on the
    equilibrated columns; ``names`` name those left out).  Shared by every
    test built on a regression of squared residuals (Breusch-Pagan, White,
    ARCH).
    """
    status, rss, tss = _diag.bp_aux(e, aux)
    if status == Status.FALLBACK:
        keep = _lstsq.independent_columns(aux)
        rss, tss, aux_rank = _lstsq.breusch_pagan(e, np.ascontiguousarray(aux[:, keep]))
        return AuxSums(rss, tss, aux_rank - 1, int(status), tuple(names[j] for j in np.flatnonzero(~keep)))
    if status != Status.OK:
        _refuse(status, {Status.UNDEFINED_VARIANCE: "zero variance: the residuals are all zero (the regression "
                                                    "fits exactly)"})
    return AuxSums(rss, tss, aux.shape[1] - 1, int(status), ())


def _bp_result(fit: OLSFit, sums: AuxSums, studentized: bool) -> DiagnosticResult:
    note = None
    if studentized:
        if sums.tss > 0.0:
            stat = fit.nobs * (1.0 - sums.rss / sums.tss)
        else:
            stat, note = 0.0, "the squared residuals are all equal: nothing to explain"
        name = "Breusch-Pagan LM (studentised)"
    else:
        stat = 0.5 * (sums.tss - sums.rss)
        name = "Breusch-Pagan LM"
    return _chi2(name, float(stat), sums.df, sums.status, sums.status == Status.FALLBACK, fit.nobs,
                 "heteroskedasticity", _join(sums.note, note))


def breusch_pagan(y_or_fit: Any, X: Any = None, Z: Any = None, *, studentized: bool = False) -> DiagnosticResult:
    """Breusch-Pagan LM test for heteroskedasticity.

    The squared OLS residuals, divided by their mean, are regressed on a
    constant and the non-constant columns of Z (by default those of X).  The
    plain statistic is half the explained sum of squares; the studentised
    one, robust to non-normal errors, is n·R².  Both are chi2(q) under
    homoskedasticity, q the number of non-constant columns of Z.
    """
    fit = as_fit(y_or_fit, X, "breusch_pagan")
    return _bp_result(fit, _bp_sums(fit, Z), studentized)


def break_position(fit: OLSFit, break_at: Any, position: Any) -> int:
    """The row where the second regime starts, from a label or an explicit position.

    Labels follow pandas' rules: an integer is a label of an integer index
    (a year, say), never silently a position.  Without an index (array
    input) the labels are the positions 0 ... n-1.
    """
    if (break_at is None) == (position is None):
        raise TypeError("give the break as break_at (a label of the index) or as position= (a row number "
                        "counted from 0), not both" if break_at is not None else
                        "chow needs the break: break_at (a label of the index) or position= (a row number)")
    if position is not None:
        return as_int(position, "position")
    if fit.index is None:
        if isinstance(break_at, (bool, np.bool_)) or not isinstance(break_at, (int, np.integer)):
            raise TypeError(f"break_at must be an integer position for array input, got {type(break_at).__name__}")
        return int(break_at)
    try:
        where = fit.index.get_loc(break_at)
    except (KeyError, TypeError, ValueError):
        raise DiagnosticError(f"break outside the sample: {break_at!r} is not a label of the index "
                              "(use position= for a row number)", Status.BAD_BREAK) from None
    if not isinstance(where, (int, np.integer)):
        raise DiagnosticError(f"break label {break_at!r} is not unique in the index", Status.BAD_BREAK)
    return int(where)


def chow(y_or_fit: Any, X: Any = None, break_at: Any = None, *, position: Any = None) -> DiagnosticResult:
    """Chow F test for a change of all coefficients at a known break.

    ``break_at`` is the label of the first observation of the second regime
    (a label of the pandas index; for array input the labels are the
    positions 0 ... n-1); ``position=`` gives a row number counted from 0
    instead; with a fit, ``chow(fit, 1974)`` reads 1974 as ``break_at``.
    Under stable coefficients F has (p, T - 2p) degrees of
    freedom; when the least-squares path runs, p counts the independent
    columns of each segment.
    """
    X, break_at = shift_option(y_or_fit, X, break_at, None)
    fit = as_fit(y_or_fit, X, "chow")
    fit.residuals_for_tests()
    fit.require_order("the Chow test")
    T, p = fit.X.shape
    at = break_position(fit, break_at, position)
    status, stat = _diag.chow_stat(fit.y, fit.X, at)
    note = None
    if status == Status.FALLBACK:
        stat, df1, df2 = _lstsq.chow(fit.y, fit.X, at)
        if (df1, df2) != (fit.rank, T - 2 * fit.rank):
            note = (f"a segment has rank below {fit.rank}: F has ({df1}, {df2}) degrees of freedom instead of "
                    f"({fit.rank}, {T - 2 * fit.rank})")
    elif status == Status.OK:
        df1, df2 = p, T - 2 * p
    else:
        _refuse(status, {
            Status.TOO_FEW_OBS: f"too few observations: the Chow test with {p} regressors needs more than "
                                f"{2 * p} observations, got {T}",
            Status.BAD_BREAK: f"break outside the sample: the second regime must start at position 1 to {T - 1}, "
                              f"got {at}",
        })
    label = at if fit.index is None else fit.index[at]
    return DiagnosticResult(f"Chow (break at {label})", float(stat), (df1, df2), f_sf(stat, df1, df2),
                            int(status), status == Status.FALLBACK, T, f"F({df1}, {df2})",
                            f"coefficients change at {label}", None, _join(note, fit.gap_note))


def _late_start_note(fit: OLSFit, start: int, m: int) -> str | None:
    if start <= fit.rank:
        return None
    return (f"the recursion starts at row {start + 1}: the first {start} rows have rank below {fit.rank}, "
            f"so {m} of {fit.nobs} rows get a recursive residual")


def _recursive(fit: OLSFit, test: str) -> tuple[np.ndarray, int, int, str | None]:
    fit.residuals_for_tests()
    fit.require_order(test)
    w, start, status = fit.recursive
    return w, start, status, _join(_late_start_note(fit, start, w.shape[0]), fit.gap_note)


def _mean_sd(w: np.ndarray, late_start: str | None = None) -> tuple[float, float]:
    """Mean and standard deviation (divisor m - 1) of the recursive residuals, for the t test and CUSUM.

    ``late_start`` says why the recursion started late, when it did: the
    reason, not the sample size, when too few residuals are left.
    """
    m = w.shape[0]
    if m < 2:
        raise DiagnosticError(f"too few observations: {late_start or f'{m} rows get a recursive residual'}, and "
                              "at least 2 recursive residuals are needed", Status.TOO_FEW_OBS)
    mean = float(w.sum()) / m
    centred = w - mean
    return mean, math.sqrt(float(centred @ centred) / (m - 1))


def recursive_residuals(y_or_fit: Any, X: Any = None) -> RecursiveResidualsResult:
    """Recursive residuals of Brown, Durbin and Evans, with the t test of their mean.

    Each observation after the first p gets its one-step-ahead prediction
    error from the fit on all earlier observations, scaled to unit variance.
    Under a correct, stable model they are independent N(0, σ²), so
    t = sqrt(m)·mean/sd is t(m - 1) over the m residuals; a mean away from
    zero points to a misspecified functional form.
    """
    fit = as_fit(y_or_fit, X, "recursive_residuals")
    w, start, status, note = _recursive(fit, "the recursive residuals")
    m = w.shape[0]
    mean, sd = _mean_sd(w, _late_start_note(fit, start, m))
    if not sd > 0.0:
        raise DiagnosticError("zero variance: the recursive residuals are all equal", Status.UNDEFINED_VARIANCE)
    t = math.sqrt(m) * mean / sd
    residuals: Any = w
    if fit.index is not None:
        import pandas as pd

        residuals = pd.Series(w, index=fit.index[start:], name="recursive residual")
    return RecursiveResidualsResult(
        "Recursive residuals, t test of mean zero", t, m - 1, f_sf(t * t, 1, m - 1), int(status),
        status == Status.FALLBACK, fit.nobs, f"t({m - 1}), two-sided", "misspecified functional form", None, note,
        residuals, start)


def _read_only(*arrays: np.ndarray) -> tuple[np.ndarray, ...]:
    for a in arrays:
        a.flags.writeable = False
    return arrays


@functools.lru_cache(maxsize=256)
def _cusum_lines(m: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """sqrt(m) + 2i/sqrt(m), i = 0 ... m-1, and the 5% boundaries ±a times it (shared, read-only)."""
    root = math.sqrt(m)
    widening = (2.0 * np.arange(m)) / root + root
    a = cusum_critical_value(0.05)
    return _read_only(widening, -a * widening, a * widening)  # type: ignore[return-value]


@functools.lru_cache(maxsize=256)
def _cusumsq_lines(m: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The expected path i/m, i = 1 ... m, and the 5% boundaries i/m ± c0 (shared, read-only)."""
    expected = np.arange(1, m + 1) / m
    c0 = cusumsq_critical_value(m, 0.05)
    return _read_only(expected, expected - c0, expected + c0)  # type: ignore[return-value]


def cusum(y_or_fit: Any, X: Any = None, *, scale: str = "ols") -> CusumResult:
    """CUSUM test of Brown, Durbin and Evans for stable coefficients.

    The path is W_i = (w_1 + ... + w_i) / s, i = 1 ... m, for the m
    recursive residuals w.  With ``scale="ols"`` s is the residual standard
    error of the full-sample fit, sqrt(e'e / (n - k)); with
    ``scale="recursive"`` it is the standard deviation of the recursive
    residuals, sqrt(Σ(w_i - w̄)² / (m - 1)) (the two agree under the null,
    and differ under a break).  The statistic is the smallest a with
    |W_i| <= a·(sqrt(m) + 2(i - 1)/sqrt(m)) for all i, the line widening
    from sqrt(m) at the first recursive residual; the 5% boundary is
    a = 0.948, and the p-value is the asymptotic probability that a
    Brownian motion leaves ±a·(1 + 2t) on [0, 1].
    """
    if scale not in ("ols", "recursive"):
        raise ValueError(f"scale must be 'ols' or 'recursive', got {scale!r}")
    fit = as_fit(y_or_fit, X, "cusum")
    w, start, status, note = _recursive(fit, "CUSUM")
    m = w.shape[0]
    series = np.cumsum(w)
    series /= fit.sigma if scale == "ols" else _mean_sd(w, _late_start_note(fit, start, m))[1]
    widening, lower, upper = _cusum_lines(m)
    with np.errstate(invalid="ignore"):
        stat = float((np.abs(series) / widening).max())
    if not math.isfinite(stat):
        raise DiagnosticError("zero variance: the regression fits the data exactly", Status.UNDEFINED_VARIANCE)
    return CusumResult(
        "CUSUM", stat, None, cusum_pvalue(stat), int(status), status == Status.FALLBACK, fit.nobs,
        "Brownian motion boundary crossing", "unstable coefficients", cusum_critical_value(0.05), note,
        series, lower, upper, fit.labels(np.arange(start, fit.nobs)))


def cusum_squares(y_or_fit: Any, X: Any = None) -> CusumResult:
    """CUSUM-of-squares test of Brown, Durbin and Evans for a stable error variance.

    The path is s_i = (w_1² + ... + w_i²) / (w_1² + ... + w_m²) and its
    expectation under the null is i/m.  The statistic is max |s_i - i/m|;
    its critical values and p-values come from its null law for m recursive
    residuals with normal errors (simulated and tabulated; see
    ``cusumsq_pvalue``).
    """
    fit = as_fit(y_or_fit, X, "cusum_squares")
    w, start, status, note = _recursive(fit, "CUSUM of squares")
    m = w.shape[0]
    if m < _cusumsq.MIN_RESIDUALS:
        late = _late_start_note(fit, start, m)
        raise DiagnosticError(f"too few observations: {late or f'{m} rows get a recursive residual'}, and the "
                              f"CUSUM of squares needs at least {_cusumsq.MIN_RESIDUALS}", Status.TOO_FEW_OBS)
    path = np.cumsum(w * w)
    with np.errstate(divide="ignore", invalid="ignore"):
        path /= path[-1]
    expected, lower, upper = _cusumsq_lines(m)
    gap = float(np.abs(path - expected).max())
    if not math.isfinite(gap):
        raise DiagnosticError("zero variance: the recursive residuals are all zero", Status.UNDEFINED_VARIANCE)
    return CusumResult(
        "CUSUM of squares", gap, None, cusumsq_pvalue(gap, m), int(status), status == Status.FALLBACK, fit.nobs,
        f"max |s_i - i/m|, m = {m}", "unstable error variance", cusumsq_critical_value(m, 0.05), note,
        path, lower, upper, fit.labels(np.arange(start, fit.nobs)))


# --- series diagnostics ----------------------------------------------------

def _series(x: Any, ordered: str | None = None) -> tuple[np.ndarray, str | None]:
    """The series as the kernels take it; finiteness is left to the kernel's variance test.

    ``ordered`` names a test that uses the order of the values: it refuses
    row labels that repeat.
    """
    if isinstance(x, OLSFit):
        e = x.residuals_for_tests()
        if ordered:
            x.require_order(ordered)
        return e, x.gap_note
    if type(x) is np.ndarray and x.dtype == np.float64 and x.ndim == 1 and x.flags.c_contiguous \
            and x.flags.writeable and x.flags.aligned:
        return x, None
    vector = as_vector(x, "x", finite=False)
    if ordered:
        require_unique_labels(vector.index, ordered)
    return vector.values, None


def _series_refusal(x: np.ndarray, status: int, messages: dict[Status, str]) -> None:
    if status == Status.UNDEFINED_VARIANCE:
        _require_finite(x, "x")
    _refuse(status, messages)


def series_lags(lags: Any, test: str) -> int:
    """The lags of Ljung-Box or Box-Pierce: 4 by default, as in the battery (until 0.1 the default was 10)."""
    if lags is _DEFAULT_LAGS:
        warnings.warn(f"{test}: the default lags is 4 since Kestrix 0.2, as in the battery (it was 10); pass lags= "
                      "to choose", DeprecationWarning, stacklevel=3)
        return DEFAULT_LAGS
    return as_int(lags, "lags")


#: The lags of every test that takes lags, alone and in the battery.
DEFAULT_LAGS = 4


class _DefaultLags(int):
    """The default of ``lags`` where it changed (10 before 0.2): 4, with a one-release warning."""

    def __repr__(self) -> str:
        return "4"


_DEFAULT_LAGS = _DefaultLags(DEFAULT_LAGS)


def ljung_box(x: Any, lags: int = _DEFAULT_LAGS) -> DiagnosticResult:
    """Ljung-Box Q = n(n+2)·Σ rho_k²/(n-k), k = 1 ... lags, chi2(lags) without autocorrelation.

    ``x`` is a series, or a fitted model whose residuals are tested.
    ``lags`` is clamped to n - 1 (the note says so); it is 4 by default, as
    in the battery (it was 10 before Kestrix 0.2: calls that leave it out
    get a DeprecationWarning for one release).
    """
    xs, note = _series(x, "Ljung-Box")
    lags = series_lags(lags, "ljung_box")
    n = xs.shape[0]
    status, stat = _diag.lb_stat(xs, lags)
    if status != Status.OK:
        _series_refusal(xs, status, {
            Status.TOO_FEW_OBS: f"too few observations: Ljung-Box needs at least 2 observations, got {n}",
            Status.BAD_LAG: f"lag below 1: lags must be at least 1, got {lags}",
            Status.UNDEFINED_VARIANCE: "zero variance: x is constant",
        })
    df = min(lags, n - 1)
    if df < lags:
        note = _join(f"lags clamped from {lags} to n - 1 = {df}", note)
    return _chi2(f"Ljung-Box Q ({df} lags)", float(stat), df, int(status), False, n, "autocorrelation", note)


def jarque_bera(x: Any) -> DiagnosticResult:
    """Jarque-Bera JB = n·(S²/6 + (K - 3)²/24), chi2(2) under normality.

    ``x`` is a series, or a fitted model whose residuals are tested.  Below
    ten observations the statistic is still returned, with status -5 and a
    note that the chi-square approximation is not to be trusted.
    """
    xs, _ = _series(x)  # Jarque-Bera does not use the order of the values
    n = xs.shape[0]
    status, stat = _diag.jb_stat(xs)
    note = None
    if status == Status.TOO_FEW_OBS and math.isfinite(stat):
        note = f"only {n} observations: the chi2(2) approximation is unreliable below 10"
    elif status != Status.OK:
        if n < 2:
            raise DiagnosticError(f"too few observations: Jarque-Bera needs at least 2 observations, got {n}",
                                  Status.TOO_FEW_OBS)
        _series_refusal(xs, status, {Status.UNDEFINED_VARIANCE: "zero variance: x is constant"})
    return _chi2("Jarque-Bera", float(stat), 2, int(status), False, n, "non-normal distribution", note)


# --- long-run covariance and Wald ------------------------------------------

def _clamped_bandwidth(bandwidth: Any, n: int) -> tuple[int, str | None]:
    if bandwidth is None:
        bandwidth = default_bandwidth(n)
    bandwidth = as_int(bandwidth, "bandwidth")
    if bandwidth < 0:
        raise ValueError(f"bandwidth must be at least 0, got {bandwidth}")
    if bandwidth > n - 1:
        return n - 1, f"bandwidth clamped from {bandwidth} to n - 1 = {n - 1}"
    return bandwidth, None


def _long_run(r: np.ndarray, kernel: Any, bandwidth: Any, center: bool) -> tuple[np.ndarray, str, int, str | None]:
    win = window(kernel)
    n = r.shape[0]
    if n < 2:
        raise DiagnosticError(f"too few observations: a long-run covariance needs at least 2, got {n}",
                              Status.TOO_FEW_OBS)
    used, note = _clamped_bandwidth(bandwidth, n)
    if center:
        r = _diag.fill_centered_ax0(r, _diag.fill_mean_ax0(r))
    if win.every_lag:
        omega = every_lag_covariance(r, win, used)
    else:
        omega = _diag.hac_estimator_matmul(r, win.kernel_id, used)
    return omega, win.name, used, note


def hac_covariance(moments: Any, kernel: str = "bartlett", bandwidth: int | None = None,
                   *, center: bool = True) -> HACResult:
    """Long-run covariance Ω = (Γ_0 + Σ_j k(j/(L+1))·(Γ_j + Γ_j')) / n of a moment series.

    ``moments`` has one row per observation.  ``kernel`` names the lag window
    ("bartlett", "parzen" or "qs"); ``bandwidth`` L is by default
    floor(4·(n/100)^(2/9)) and is clamped to n - 1.  Bartlett and Parzen
    weigh the lags 1 ... L; the quadratic-spectral window weighs every lag
    1 ... n - 1 (truncated, it would not be positive semi-definite).  The
    columns are centred first unless ``center`` is False.
    """
    mm = as_matrix(moments, "moments")
    omega, name, used, note = _long_run(mm.values, kernel, bandwidth, center)
    return HACResult(covariance=omega, kernel=name, bandwidth=used, nobs=mm.values.shape[0], names=mm.names,
                     note=note)


def wald(mean: Any, cov: Any, nobs: int, *, target: Any = 0.0) -> DiagnosticResult:
    """Wald test W = n·(m - t)'·Ω⁻¹·(m - t) of moment means m against a target t.

    ``cov`` is the long-run covariance Ω of the moments (so that Ω/n is the
    covariance of m), for instance ``hac_covariance(...).covariance``; W is
    chi2(p) under the null.  The rank of Ω is decided first, from its
    eigenvalues against max|eigenvalue|·p·eps (the rule of
    ``numpy.linalg.matrix_rank``): a full-rank Ω goes to the Cholesky kernel,
    a singular one to the pseudo-inverse, with its rank as the degrees of
    freedom.
    """
    mv = as_vector(mean, "mean")
    p = mv.values.shape[0]
    if p == 0:
        raise DiagnosticError("mean is empty: there is nothing to test", Status.TOO_FEW_OBS)
    if np.ndim(target) == 0:
        tv = np.full(p, float(target))
        _require_finite(tv[:1], "target")
    else:
        tv = as_vector(target, "target").values
        if tv.shape[0] != p:
            raise ValueError(f"target has {tv.shape[0]} values but mean has {p}")
    omega = as_matrix(cov, "cov").values
    if omega.shape != (p, p):
        raise ValueError(f"cov must be {p} by {p} to match mean, got shape {omega.shape}")
    scale = float(np.max(np.abs(omega)))
    if float(np.max(np.abs(omega - omega.T))) > 1e-10 * scale:
        raise ValueError("cov is not symmetric")
    nobs = as_int(nobs, "nobs")
    if nobs < 1:
        raise DiagnosticError(f"too few observations: nobs must be at least 1, got {nobs}", Status.TOO_FEW_OBS)
    return _wald(mv.values, tv, omega, nobs)


def _wald(mean: np.ndarray, target: np.ndarray, omega: np.ndarray, nobs: int) -> DiagnosticResult:
    p = mean.shape[0]
    eig = np.linalg.eigvalsh(omega)
    top = float(np.max(np.abs(eig)))
    if float(eig[0]) < -1e-10 * top:
        raise ValueError(f"cov is not positive semi-definite (smallest eigenvalue {float(eig[0]):.3g})")
    tol = top * p * _EPS
    status: int = Status.FALLBACK
    if float(eig[0]) > tol:
        status, stat = _diag.wald_stat_from_mean_and_cov(mean, target, omega, nobs)
    note = None
    df = p
    if status == Status.FALLBACK:
        stat, df, outside = _lstsq.wald(mean - target, omega, nobs, tol)
        if df == 0:
            raise DiagnosticError("zero variance: cov is the zero matrix", Status.UNDEFINED_VARIANCE)
        note = _join(f"cov has rank {df} of {p}: pseudo-inverse used" if df < p else None,
                     "mean - target has a part outside the range of cov, which the statistic ignores"
                     if outside else None)
    elif status != Status.OK:
        _refuse(status, {})
    return DiagnosticResult("Wald", float(stat), df, chi2_sf(stat, df), int(status), status == Status.FALLBACK,
                            nobs, f"chi2({df})", "moments differ from the target", None, note)


def _coefficient_hac(fit: OLSFit, kernel: Any, bandwidth: Any,
                     rows: Any = slice(None)) -> tuple[np.ndarray, str, int, str | None]:
    """n·B·Ω·B' for the rows B of (X'X)⁺ (all by default): the HAC covariance of those coefficients.

    Symmetric up to rounding only; the Wald kernel and the eigenvalue
    decision read its lower triangle.
    """
    e = fit.residuals_for_tests()
    fit.require_order("the HAC covariance")
    omega, name, used, note = _long_run(fit.X * e[:, None], kernel, bandwidth, True)
    bread = fit.xtx_pinv[rows]
    return fit.nobs * (bread @ omega @ bread.T), name, used, note


def hac_coefficient_covariance(fit: OLSFit, kernel: str = "bartlett", bandwidth: int | None = None) -> HACResult:
    """HAC covariance of the OLS coefficients, n·(X'X)⁺·Ω·(X'X)⁺ with Ω the long-run covariance of x_t·e_t.

    ``kernel`` and ``bandwidth`` are those of ``hac_covariance``.
    """
    if not isinstance(fit, OLSFit):
        raise TypeError("hac_coefficient_covariance needs a fitted model (kd.ols(y, X))")
    cov, name, used, note = _coefficient_hac(fit, kernel, bandwidth)
    return HACResult(covariance=0.5 * (cov + cov.T), kernel=name, bandwidth=used, nobs=fit.nobs, names=fit.names, note=note)


def wald_coefficients(fit: OLSFit, columns: Any = None, *, kernel: str = "bartlett",
                      bandwidth: int | None = None) -> DiagnosticResult:
    """Wald test that the coefficients of ``columns`` are all zero, with their HAC covariance.

    ``columns`` are positions or names of columns of X; by default the
    slopes, that is every non-constant column.  W = b'·V⁻¹·b for those
    coefficients b and their HAC covariance V (``hac_coefficient_covariance``),
    chi2(q) under the null.
    """
    if not isinstance(fit, OLSFit):
        raise TypeError("wald_coefficients needs a fitted model (kd.ols(y, X))")
    if columns is None:
        chosen = list(fit.slopes)
        what = "slopes"
    else:
        chosen = [fit.names.index(c) if isinstance(c, str) else as_int(c, "columns") for c in columns]
        what = ", ".join(fit.names[j] for j in chosen)
    if not chosen:
        raise DiagnosticError("X has no non-constant column: there is no slope to test", Status.TOO_FEW_OBS)
    cov, name, used, hac_note = _coefficient_hac(fit, kernel, bandwidth, chosen)
    n = fit.nobs
    # b'·V⁻¹·b written as n·dev'·Ω⁻¹·dev with Ω = n·V.
    result = _wald(fit.coef[chosen], np.zeros(len(chosen)), n * cov, n)
    unidentified = None if fit.identified else (f"X has rank {fit.rank} of {fit.ncols} columns: the coefficients "
                                                 "tested are not all identified")
    result.test = f"Wald, HAC {name} L={used}: {what} = 0"
    result.alternative = "some slope is not zero" if columns is None else "some coefficient is not zero"
    result.note = _join(result.note, unidentified, hac_note, fit.gap_note)
    return result
