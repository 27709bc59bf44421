"""The diagnostics one at a time: each a battery of one test on one group.

Every test takes a fitted model (``ols``) or ``(y, X)``, which is fitted
once; the series tests (Ljung-Box, Box-Pierce, Jarque-Bera, ARCH LM) also
take a plain series.  The options are keywords.  Each test runs its row of
the battery engine and turns it into a result object, or into the refusal
the row carries (``DiagnosticError``), so a test gives the same number
alone and in the battery.
"""

from __future__ import annotations

import functools
import math
import warnings
from typing import Any

import numpy as np

from . import _engine
from ._battery import Options, fit_rows, groups_of_one, make_options
from ._distributions import cusum_critical_value, cusumsq_critical_value
from ._fit import OLSFit, as_fit, recursive_of
from ._inputs import _require_finite, as_int, as_matrix, as_vector, constant_columns, require_unique_labels
from ._results import CusumResult, DiagnosticResult, HACResult, RecursiveResidualsResult, SupFResult
from ._status import DiagnosticError, Status
from ._table import NOT_APPLICABLE, Rows
from ._table import rows as table_rows
from ._windows import default_bandwidth, window

__all__ = [
    "arch_lm",
    "box_pierce",
    "breusch_godfrey",
    "breusch_pagan",
    "chow",
    "cusum",
    "cusum_squares",
    "durbin_watson",
    "hac_coefficient_covariance",
    "hac_covariance",
    "jarque_bera",
    "ljung_box",
    "recursive_residuals",
    "reset",
    "sup_f",
    "wald",
    "wald_coefficients",
    "white",
]

#: The lags of every test that takes lags, alone and in the battery.
DEFAULT_LAGS = Options.lags


class _DefaultLags(int):
    """The default of ``lags`` where it changed (10 before 0.2): 4, with a one-release warning."""

    def __repr__(self) -> str:
        return "4"


_DEFAULT_LAGS = _DefaultLags(DEFAULT_LAGS)


def series_lags(lags: Any, test: str) -> int:
    """The lags of Ljung-Box or Box-Pierce: 4 by default, as in the battery (until 0.1 the default was 10)."""
    if lags is _DEFAULT_LAGS:
        warnings.warn(f"{test}: the default lags is 4 since Kestrix 0.2, as in the battery (it was 10); pass lags= "
                      "to choose", DeprecationWarning, stacklevel=3)
        return DEFAULT_LAGS
    return as_int(lags, "lags")


def _result(rows: Rows, fit: OLSFit | None, cls: type = DiagnosticResult, critical: float | None = None,
            nobs: int | None = None, **extra: Any) -> Any:
    """The result of the one row of a single-test run, or the row's refusal raised."""
    cols = rows.columns
    status = int(cols["status"][0])
    if not math.isfinite(cols["statistic"][0]) and cols["verdict"][0] in (NOT_APPLICABLE, "not computed"):
        message = cols["note"][0] if cols["verdict"][0] == NOT_APPLICABLE else cols["error"][0]
        # A test that does not apply is refused for too few observations, as the kernels say it.
        raise DiagnosticError(str(message), Status.TOO_FEW_OBS if status == Status.NOT_APPLICABLE else Status(status))
    pvalue = float(cols["pvalue"][0])
    no_p = math.isnan(pvalue) and str(cols["verdict"][0]).startswith("no p-value")
    note = cols["note"][0]
    if nobs is None:
        assert fit is not None, "a result needs the fit or its number of observations"
        nobs = fit.nobs
    return cls(str(cols["label"][0]), float(cols["statistic"][0]), cols["df"][0], None if no_p else pvalue, status,
               False, nobs, str(rows.distribution[0]), str(rows.alternative[0]), critical,
               None if not isinstance(note, str) else note, **extra)


def _one(fit: OLSFit, name: str, options: Options, **kwargs: Any) -> tuple[Rows, Any]:
    return fit_rows(fit, (name,), options, details=True, **kwargs)


def _series_row(x: Any, test: str, name: str, options: Options, ordered: bool) -> tuple[Rows, int]:
    """The row of a series test and the series' length.  The series is a regression on nothing, whose
    residuals are the series itself: the engine fits it and tests it in one call."""
    if isinstance(x, OLSFit):
        x.residuals_for_tests()
        if ordered:
            x.require_order(test)
        values, index, gaps = np.ascontiguousarray(x.resid), x.index, x.inner_gaps
    else:
        vector = as_vector(x, "x", finite=False)
        if ordered:
            require_unique_labels(vector.index, test)
        values = np.ascontiguousarray(vector.values)
        _require_finite(values, "x")
        if values.shape[0] == 0:
            raise DiagnosticError(f"too few observations: {test} needs at least 2 observations, got 0",
                                  Status.TOO_FEW_OBS)
        index, gaps = None, 0
    n = values.shape[0]
    X = np.empty((n, 0))
    run = _engine.run(values, X, np.array([0, n], dtype=np.int64), _engine.options_tuple((name,), options))
    return table_rows(run, (name,), options, groups_of_one(n, (), index, gaps, X), details=True), n


def _series_options(lags: int | None = None) -> Options:
    return Options() if lags is None else Options(lags=lags)


# --- regression diagnostics ------------------------------------------------

def breusch_godfrey(y_or_fit: Any, X: Any = None, *, lags: Any = 4, form: str = "LM") -> DiagnosticResult:
    """Breusch-Godfrey test for serial correlation up to order ``lags``.

    Godfrey's statistic n·e'P_Z e / e'e, where e are the OLS residuals and
    P_Z projects on Z = [X, e_{t-1} ... e_{t-lags}] (zeros before the
    sample), asymptotically chi2(lags) without serial correlation.

    ``form="F"`` gives the F form of the same auxiliary regression: with
    R² = LM/n (the uncentred R² of e on Z), F = (R²/lags)/((1 - R²)/(n - k -
    lags)), F(lags, n - k - lags) under the null, k the rank of X.
    """
    if form not in ("LM", "F"):
        raise ValueError(f"form must be 'LM' or 'F', got {form!r}")
    fit = as_fit(y_or_fit, X, "breusch_godfrey")
    lags = as_int(lags, "lags")
    if lags < 1:
        raise DiagnosticError(f"lag below 1: lags must be at least 1, got {lags}", Status.BAD_LAG)
    fit.residuals_for_tests()
    fit.require_order("Breusch-Godfrey")
    name = "breusch_godfrey" if form == "LM" else "breusch_godfrey_f"
    return _result(_one(fit, name, make_options("breusch_godfrey", {"lags": lags}))[0], fit)


def breusch_pagan(y_or_fit: Any, X: Any = None, *, Z: Any = None, studentized: bool = False) -> DiagnosticResult:
    """Breusch-Pagan LM test for heteroskedasticity.

    The squared OLS residuals, divided by their mean, are regressed on a
    constant and the non-constant columns of Z (by default those of X).  The
    plain statistic is half the explained sum of squares; the studentised
    one, robust to non-normal errors, is n·R².  Both are chi2(q) under
    homoskedasticity, q the independent non-constant columns of Z.
    """
    fit = as_fit(y_or_fit, X, "breusch_pagan")
    fit.residuals_for_tests()
    name = "breusch_pagan_studentized" if studentized else "breusch_pagan"
    kwargs: dict[str, Any] = {}
    if Z is not None:
        Zm = as_matrix(Z, "Z")
        if Zm.values.shape[0] != fit.nobs:
            raise ValueError(f"Z has {Zm.values.shape[0]} rows but y has {fit.nobs} observations")
        varying = ~constant_columns(Zm.values)
        if not varying.any():
            raise DiagnosticError("Z has no non-constant column: there is nothing the variance could depend on",
                                  Status.TOO_FEW_OBS)
        z_names = Zm.names or tuple(f"z{j}" for j in range(Zm.values.shape[1]))
        kwargs = {"Z": np.ascontiguousarray(Zm.values), "z_names": tuple(n for n, v in zip(z_names, varying) if v)}
    return _result(_one(fit, name, Options(), **kwargs)[0], fit)


def chow(y_or_fit: Any, X: Any = None, break_at: Any = None, *, position: Any = None) -> DiagnosticResult:
    """Chow F test for a change of all coefficients at a known break.

    ``break_at`` is the label of the first observation of the second regime
    (a label of the pandas index; for array input the labels are the
    positions 0 ... n-1); ``position=`` gives a row number counted from 0
    instead.  Under stable coefficients F has (r, n - 2r) degrees of freedom,
    r the rank of X; a segment of lower rank gives F the degrees of freedom
    of the ranks.
    """
    if isinstance(y_or_fit, OLSFit) and X is not None and break_at is None:
        X, break_at = None, X  # chow(fit, label): the label is the break
    fit = as_fit(y_or_fit, X, "chow")
    if (break_at is None) == (position is None):
        raise TypeError("give the break as break_at (a label of the index) or as position= (a row number "
                        "counted from 0), not both" if break_at is not None else
                        "chow needs the break: break_at (a label of the index) or position= (a row number)")
    fit.residuals_for_tests()
    fit.require_order("the Chow test")
    options = make_options("chow", {"break_at": break_at, "position": position})
    return _result(_one(fit, "chow", options)[0], fit)


def recursive_residuals(y_or_fit: Any, X: Any = None) -> RecursiveResidualsResult:
    """Recursive residuals of Brown, Durbin and Evans, with the t test of their mean.

    Each observation after the first p gets its one-step-ahead prediction
    error from the fit on all earlier observations, scaled to unit variance
    (by Givens updating of the QR factor).  Under a correct, stable model they
    are independent N(0, σ²), so t = sqrt(m)·mean/sd is t(m - 1) over the m
    residuals; a mean away from zero points to a misspecified functional form.
    """
    fit = as_fit(y_or_fit, X, "recursive_residuals")
    fit.residuals_for_tests()
    fit.require_order("the recursive residuals")
    rows, run = _one(fit, "recursive_residuals", Options(), recursive=True)
    w, start = _recursive_of(run, fit)
    residuals: Any = w
    if fit.index is not None:
        import pandas as pd

        residuals = pd.Series(w, index=fit.index[start:], name="recursive residual")
    return _result(rows, fit, RecursiveResidualsResult, residuals=residuals, start=start)


def _recursive_of(run: Any, fit: OLSFit) -> tuple[np.ndarray, int]:
    return recursive_of(run, fit.nobs)


def _read_only(*arrays: np.ndarray) -> tuple[np.ndarray, ...]:
    for a in arrays:
        a.flags.writeable = False
    return arrays


@functools.lru_cache(maxsize=256)
def _cusum_lines(m: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """sqrt(m) + 2(r-1)/sqrt(m), r = 1 ... m, and the 5% boundaries ±a times it (shared, read-only)."""
    root = math.sqrt(m)
    widening = (2.0 * np.arange(m)) / root + root
    a = cusum_critical_value(0.05)
    return _read_only(widening, -a * widening, a * widening)  # type: ignore[return-value]


@functools.lru_cache(maxsize=256)
def _cusumsq_lines(m: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The expected path r/m, r = 1 ... m, and the 5% boundaries r/m ± c0 (shared, read-only)."""
    expected = np.arange(1, m + 1) / m
    c0 = cusumsq_critical_value(m, 0.05)
    return _read_only(expected, expected - c0, expected + c0)  # type: ignore[return-value]


def cusum(y_or_fit: Any, X: Any = None, *, scale: str = "ols") -> CusumResult:
    """CUSUM test of Brown, Durbin and Evans for stable coefficients.

    The path is W_r = (w_1 + ... + w_r) / s, r = 1 ... m, for the m
    recursive residuals w.  With ``scale="ols"`` s is the residual standard
    error of the full-sample fit, sqrt(e'e / (n - k)); with
    ``scale="recursive"`` it is the standard deviation of the recursive
    residuals, sqrt(Σ(w_i - w̄)² / (m - 1)) (the two agree under the null,
    and differ under a break).  The statistic is the smallest a with
    |W_r| <= a·(sqrt(m) + 2(r - 1)/sqrt(m)) for all r, the line widening
    from sqrt(m) at the first recursive residual; the 5% boundary is
    a = 0.948, and the p-value is the asymptotic probability that a
    Brownian motion leaves ±a·(1 + 2t) on [0, 1].
    """
    if scale not in ("ols", "recursive"):
        raise ValueError(f"scale must be 'ols' or 'recursive', got {scale!r}")
    fit = as_fit(y_or_fit, X, "cusum")
    fit.residuals_for_tests()
    fit.require_order("CUSUM")
    rows, run = _one(fit, "cusum", Options(cusum_scale=scale), recursive=True)
    w, start = _recursive_of(run, fit)
    m = w.shape[0]
    widening, lower, upper = _cusum_lines(max(m, 1))
    s = fit.sigma if scale == "ols" else float(np.std(w, ddof=1)) if m > 1 else math.nan
    series = np.cumsum(w) / s
    return _result(rows, fit, CusumResult, cusum_critical_value(0.05), series=series, lower=lower[:m],
                   upper=upper[:m], index=fit.labels(np.arange(start, fit.nobs)))


def cusum_squares(y_or_fit: Any, X: Any = None) -> CusumResult:
    """CUSUM-of-squares test of Brown, Durbin and Evans for a stable error variance.

    The path is s_r = (w_1² + ... + w_r²) / (w_1² + ... + w_m²) and its
    expectation under the null is r/m.  The statistic is max |s_r - r/m|;
    its critical values and p-values come from its null law for m recursive
    residuals with normal errors (simulated and tabulated; see
    ``cusumsq_pvalue``).
    """
    fit = as_fit(y_or_fit, X, "cusum_squares")
    fit.residuals_for_tests()
    fit.require_order("CUSUM of squares")
    rows, run = _one(fit, "cusum_squares", Options(), recursive=True)
    w, start = _recursive_of(run, fit)
    m = w.shape[0]
    path = np.cumsum(w * w)
    path /= path[-1] if m else 1.0
    _, lower, upper = _cusumsq_lines(max(m, 3))
    return _result(rows, fit, CusumResult, cusumsq_critical_value(max(m, 3), 0.05), series=path, lower=lower[:m],
                   upper=upper[:m], index=fit.labels(np.arange(start, fit.nobs)))


def durbin_watson(y_or_fit: Any, X: Any = None) -> DiagnosticResult:
    """Durbin-Watson d = Σ(e_t - e_{t-1})² / Σ e_t² of the OLS residuals.

    d is near 2 without first-order serial correlation, towards 0 with
    positive and towards 4 with negative correlation.  Its null law depends
    on X (the tabulated bounds bracket it), so no p-value is given: ``pvalue``
    and ``df`` are None and the verdict says to read the statistic.
    """
    fit = as_fit(y_or_fit, X, "durbin_watson")
    fit.residuals_for_tests()
    fit.require_order("Durbin-Watson")
    return _result(_one(fit, "durbin_watson", Options())[0], fit)


def white(y_or_fit: Any, X: Any = None, *, cross: bool = True) -> DiagnosticResult:
    """White's test for heteroskedasticity: n·R² of e² on the levels, squares and cross products of X.

    The auxiliary regression has a constant, the non-constant columns of X,
    their squares and (``cross=True``) their pairwise products.  Columns that
    are linear combinations of earlier ones (the square of a dummy is the
    dummy) are left out and named in the note; the statistic is chi2(q) under
    homoskedasticity, q the auxiliary columns kept besides the constant.
    """
    fit = as_fit(y_or_fit, X, "white")
    fit.residuals_for_tests()
    return _result(_one(fit, "white", Options(), white_cross=bool(cross))[0], fit)


def reset(y_or_fit: Any, X: Any = None, *, power: Any = 3) -> DiagnosticResult:
    """RESET test of the functional form: F test of adding ŷ², ..., ŷ^power to the regression.

    The fitted values are divided by their largest absolute value first
    (the F statistic does not change, the powers stay well scaled).  F is
    F(q, n - r) under a correct linear form, q the independent columns the
    powers add (power - 1 unless X spans some) and r the rank of the
    augmented design.
    """
    fit = as_fit(y_or_fit, X, "reset")
    fit.residuals_for_tests()
    return _result(_one(fit, "reset", make_options("reset", {"power": power}))[0], fit)


def sup_f(y_or_fit: Any, X: Any = None, *, trim: Any = 0.15) -> SupFResult:
    """sup-F (Andrews' sup-Wald in its F form): the largest Chow F over the candidate breaks.

    The candidates are the rows t from ceil(trim·T) to floor((1 - trim)·T)
    where the second regime would start, narrowed so that each regime has at
    least r rows (r the rank of X); each F comes from the residual sums of
    squares of the two regimes, read off the forward and the backward
    recursive residuals.  A break where a regime is rank-deficient is left
    out (the note counts them).  The p-value is asymptotic: r times the
    largest F against the limit law of the largest Chow Wald statistic over
    the same range of break fractions (None without SciPy).  ``position``,
    ``break_at`` of the result say where the maximum is reached, ``breaks``
    and ``statistics`` hold every candidate's F.
    """
    fit = as_fit(y_or_fit, X, "sup_f")
    fit.residuals_for_tests()
    fit.require_order("sup-F")
    rows, run = _one(fit, "sup_f", make_options("sup_f", {"trim": trim}), sup_f=True)
    info = run.info[0, _engine.SLOT["sup_f"]]
    position, lo, hi = int(info[0]), int(info[1]), int(info[3])
    breaks = np.arange(lo, hi + 1)
    stats = run.sup_f[lo:hi + 1].copy() if hi >= lo else np.empty(0)
    stats.flags.writeable = False
    label = fit.label(position) if position >= 0 else None
    return _result(rows, fit, SupFResult, position=position, break_at=label, breaks=breaks, statistics=stats)


# --- series diagnostics ----------------------------------------------------

def ljung_box(x: Any, *, lags: int = _DEFAULT_LAGS) -> DiagnosticResult:
    """Ljung-Box Q = n(n+2)·Σ rho_k²/(n-k), k = 1 ... lags, chi2(lags) without autocorrelation.

    ``x`` is a series, or a fitted model whose residuals are tested.
    ``lags`` is clamped to n - 1 (the note says so); it is 4 by default, as
    in the battery (it was 10 before Kestrix 0.2: calls that leave it out
    get a DeprecationWarning for one release).
    """
    lags = series_lags(lags, "ljung_box")
    if lags < 1:
        raise DiagnosticError(f"lag below 1: lags must be at least 1, got {lags}", Status.BAD_LAG)
    row, n = _series_row(x, "Ljung-Box", "ljung_box", _series_options(lags), True)
    return _result(row, None, nobs=n)


def box_pierce(x: Any, *, lags: int = _DEFAULT_LAGS) -> DiagnosticResult:
    """Box-Pierce Q = n·Σ rho_k², k = 1 ... lags, chi2(lags) without autocorrelation.

    rho_k are the autocorrelations Ljung-Box uses.  ``x`` is a series, or a
    fitted model whose residuals are tested; ``lags`` is clamped to n - 1
    (the note says so).  ``lags`` is 4 by default, as in the battery (it was
    10 before Kestrix 0.2: calls that leave it out get a DeprecationWarning
    for one release).
    """
    lags = series_lags(lags, "box_pierce")
    if lags < 1:
        raise DiagnosticError(f"lag below 1: lags must be at least 1, got {lags}", Status.BAD_LAG)
    row, n = _series_row(x, "Box-Pierce", "box_pierce", _series_options(lags), True)
    return _result(row, None, nobs=n)


def jarque_bera(x: Any) -> DiagnosticResult:
    """Jarque-Bera JB = n·(S²/6 + (K - 3)²/24), chi2(2) under normality.

    ``x`` is a series, or a fitted model whose residuals are tested.  Below
    ten observations the statistic is still returned, with status -5 and a
    note that the chi-square approximation is not to be trusted.
    """
    row, n = _series_row(x, "Jarque-Bera", "jarque_bera", Options(), False)
    return _result(row, None, nobs=n)


def arch_lm(x: Any, *, lags: Any = 4) -> DiagnosticResult:
    """Engle's ARCH LM test: n·R² of e_t² on a constant and e²_{t-1} ... e²_{t-lags}.

    The regression runs over the rows where every lag exists, n = (number of
    observations) - lags of them; the statistic is chi2(q) without
    conditional heteroskedasticity, q the lagged squares kept.  ``x`` is a
    series (taken as it is, not centred), or a fitted model whose residuals
    are tested.
    """
    lags = as_int(lags, "lags")
    if lags < 1:
        raise DiagnosticError(f"lag below 1: lags must be at least 1, got {lags}", Status.BAD_LAG)
    row, n = _series_row(x, "ARCH LM", "arch_lm", Options(arch_lags=lags), True)
    # nobs: the rows of the regression, the statistic's n.
    return _result(row, None, nobs=n - lags)


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
    win = window(kernel)
    n = mm.values.shape[0]
    if n < 2:
        raise DiagnosticError(f"too few observations: a long-run covariance needs at least 2, got {n}",
                              Status.TOO_FEW_OBS)
    used, note = _clamped_bandwidth(bandwidth, n)
    omega = _engine.long_run(np.ascontiguousarray(mm.values), win.name, used, bool(center))
    return HACResult(covariance=omega, kernel=win.name, bandwidth=used, nobs=n, names=mm.names, note=note)


def wald(mean: Any, cov: Any, nobs: int, *, target: Any = 0.0) -> DiagnosticResult:
    """Wald test W = n·(m - t)'·Ω⁻¹·(m - t) of moment means m against a target t.

    ``cov`` is the long-run covariance Ω of the moments (so that Ω/n is the
    covariance of m), for instance ``hac_covariance(...).covariance``; W is
    chi2(r) under the null, r the rank of Ω.  Ω is first equilibrated (its
    diagonal scaled to ones), and its Cholesky factor with symmetric
    pivoting decides the rank against p·eps: a singular Ω gives the
    statistic on its leading independent directions, with its rank as the
    degrees of freedom.
    """
    from ._distributions import chi2_sf

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
    stat, rank = _engine.wald(mv.values - tv, omega)
    if rank < 0:
        raise ValueError("cov is not positive semi-definite")
    if rank == 0 or not math.isfinite(stat):
        raise DiagnosticError("zero variance: cov is the zero matrix" if rank == 0 else
                              "cov has a negative or non-finite diagonal", Status.UNDEFINED_VARIANCE)
    W = nobs * stat
    note = f"cov has rank {rank} of {p}: pseudo-inverse used" if rank < p else None
    return DiagnosticResult("Wald", float(W), rank, chi2_sf(W, rank), int(Status.OK), False, nobs,
                            f"chi2({rank})", "moments differ from the target", None, note)


def _coefficient_hac(fit: OLSFit, kernel: Any, bandwidth: Any) -> tuple[np.ndarray, str, int, str | None]:
    """n·R⁻¹R⁻ᵀ·Ω·R⁻¹R⁻ᵀ of the identified coefficients (NaN for the others), by the engine."""
    fit.residuals_for_tests()
    fit.require_order("the HAC covariance")
    win = window(kernel)
    if fit.nobs < 2:
        raise DiagnosticError(f"too few observations: a long-run covariance needs at least 2, got {fit.nobs}",
                              Status.TOO_FEW_OBS)
    used, note = _clamped_bandwidth(bandwidth, fit.nobs)
    options = Options(kernel=win.name, bandwidth=used)
    _, run = fit_rows(fit, (), options, coef_hac=True)
    return run.coef_hac[0], win.name, used, note


def hac_coefficient_covariance(fit: OLSFit, kernel: str = "bartlett", bandwidth: int | None = None) -> HACResult:
    """HAC covariance of the OLS coefficients, n·(X'X)⁻¹·Ω·(X'X)⁻¹ with Ω the long-run covariance of x_t·e_t.

    ``kernel`` and ``bandwidth`` are those of ``hac_covariance``; the rows
    and columns of coefficients that are not identified are NaN.
    """
    if not isinstance(fit, OLSFit):
        raise TypeError("hac_coefficient_covariance needs a fitted model (kd.ols(y, X))")
    cov, name, used, note = _coefficient_hac(fit, kernel, bandwidth)
    return HACResult(covariance=cov, kernel=name, bandwidth=used, nobs=fit.nobs, names=fit.names, note=note)


def wald_coefficients(fit: OLSFit, columns: Any = None, *, kernel: str = "bartlett",
                      bandwidth: int | None = None) -> DiagnosticResult:
    """Wald test that the coefficients of ``columns`` are all zero, with their HAC covariance.

    ``columns`` are positions or names of columns of X; by default the
    slopes, every identified non-constant column (the battery's row).
    W = b'·V⁻¹·b for those coefficients b and their HAC covariance V
    (``hac_coefficient_covariance``), through V's equilibrated, pivoted
    Cholesky factor; chi2(q) under the null, q the rank of V.
    """
    from ._distributions import chi2_sf

    if not isinstance(fit, OLSFit):
        raise TypeError("wald_coefficients needs a fitted model (kd.ols(y, X))")
    if columns is None:
        fit.residuals_for_tests()
        fit.require_order("the HAC covariance")
        options = make_options("wald_coefficients", {"kernel": kernel, "bandwidth": bandwidth})
        return _result(_one(fit, "wald", options)[0], fit)
    chosen = [fit.names.index(c) if isinstance(c, str) else as_int(c, "columns") for c in columns]
    if not chosen:
        raise DiagnosticError("no column to test", Status.TOO_FEW_OBS)
    unidentified = [fit.names[j] for j in chosen if fit.dependent[j]]
    if unidentified:
        raise DiagnosticError(f"X has rank {fit.rank} of {fit.ncols} columns: {', '.join(unidentified)} "
                              "has no identified coefficient to test", Status.TOO_FEW_OBS)
    cov, name, used, hac_note = _coefficient_hac(fit, kernel, bandwidth)
    V = cov[np.ix_(chosen, chosen)]
    stat, rank = _engine.wald(fit.coef[chosen], 0.5 * (V + V.T))
    if rank == 0 or not math.isfinite(stat):
        raise DiagnosticError("zero variance: the covariance of the coefficients tested is zero",
                              Status.UNDEFINED_VARIANCE)
    what = ", ".join(fit.names[j] for j in chosen)
    notes = [f"cov has rank {rank} of {len(chosen)}: pseudo-inverse used" if rank < len(chosen) else None, hac_note,
             fit.gap_note]
    note = "; ".join(n for n in notes if n) or None
    return DiagnosticResult(f"Wald, HAC {name} L={used}: {what} = 0", float(stat), rank, chi2_sf(stat, rank),
                            int(Status.OK), False, fit.nobs, f"chi2({rank})", "some coefficient is not zero", None,
                            note)
