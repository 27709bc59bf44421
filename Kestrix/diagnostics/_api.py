"""The diagnostics: the kernel first, the NumPy least-squares path when it hands over."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from Kestrix._ckernels.diag import _diag

from . import _lstsq
from ._distributions import (
    chi2_sf,
    cusum_critical_value,
    cusum_pvalue,
    cusumsq_critical_value,
    cusumsq_pvalue,
    f_sf,
)
from ._inputs import Matrix, Vector, as_int, as_matrix, as_vector, is_pandas, non_constant_columns, regression
from ._results import STATUS_NAMES, CusumResult, DiagnosticResult, HACResult, RecursiveResidualsResult

__all__ = [
    "KERNELS",
    "breusch_godfrey",
    "breusch_pagan",
    "chow",
    "cusum",
    "cusum_squares",
    "default_bandwidth",
    "hac_covariance",
    "jarque_bera",
    "ljung_box",
    "recursive_residuals",
    "wald",
]

OK = 0
FALLBACK: int = _diag.FALLBACK

#: Lag windows of the long-run covariance, by name.
KERNELS = {"bartlett": 0, "parzen": 1, "qs": 2}


def _refuse(status: int, messages: dict[int, str]) -> None:
    """Turn a kernel status other than OK and FALLBACK into an exception."""
    if status == -2:
        raise MemoryError("not enough memory for the kernel's scratch space")
    if status in messages:
        raise ValueError(messages[status])
    raise ValueError(f"the kernel refused the input (status {status}, {STATUS_NAMES.get(status, 'unknown')})")


def _ols_residuals(yv: Vector, Xm: Matrix) -> np.ndarray:
    """OLS residuals of y on X, refusing a fit whose residuals are only rounding noise."""
    _, resid, rank = _lstsq.fit(Xm.values, yv.values)
    # Residuals of an exact fit are rounding errors of the size eps·|y|;
    # every statistic built on them would be noise, so say so instead.  (With
    # no more observations than parameters the fit is exact by construction,
    # and the kernels report too few observations.)
    exact = float(np.linalg.norm(resid)) <= 1e-13 * float(np.linalg.norm(yv.values))
    if exact and rank < resid.shape[0]:
        raise ValueError("zero variance: the regression fits the data exactly, the residuals are all zero "
                         "up to rounding")
    return resid


def _labels(index: Any, positions: np.ndarray) -> Any:
    return positions if index is None else index[positions]


# --- regression diagnostics ------------------------------------------------

def breusch_godfrey(y: Any, X: Any, lags: int = 4) -> DiagnosticResult:
    """Breusch-Godfrey LM test for serial correlation up to order ``lags``.

    The OLS residuals e of y on X are regressed on an intercept, X and
    e_{t-1} ... e_{t-lags} (zeros before the sample); the statistic is n·R²
    (R² uncentred), asymptotically chi2(lags) without serial correlation.
    X is the design as fitted, with or without a constant column.
    """
    yv, Xm = regression(y, X)
    lags = as_int(lags, "lags")
    if lags < 1:
        raise ValueError(f"lag below 1: lags must be at least 1, got {lags}")
    eps = _ols_residuals(yv, Xm)
    n = eps.shape[0]
    # The kernel adds the intercept itself; constant columns of X add
    # nothing to that span, and left in they would only force the fallback.
    regressors = non_constant_columns(Xm.values)
    status, stat = _diag.bg_stat(eps, regressors, lags)
    if status == FALLBACK:
        stat = _lstsq.breusch_godfrey(eps, regressors, lags)
    elif status != OK:
        _refuse(status, {
            -5: f"too few observations: {lags} lags need more than {lags} observations, got {n}",
            -4: f"lag below 1: lags must be at least 1, got {lags}",
        })
    return DiagnosticResult(
        test=f"Breusch-Godfrey LM ({lags} lags)",
        statistic=float(stat),
        df=lags,
        pvalue=chi2_sf(stat, lags),
        status=status,
        fallback=status == FALLBACK,
        nobs=n,
        distribution=f"chi2({lags})",
        alternative="serial correlation",
    )


def breusch_pagan(y: Any, X: Any, Z: Any = None, *, studentized: bool = False) -> DiagnosticResult:
    """Breusch-Pagan LM test for heteroskedasticity.

    The squared OLS residuals of y on X, divided by their mean, are regressed
    on an intercept and the columns of Z (by default the columns of X).  The
    plain statistic is half the explained sum of squares; the studentised
    one, robust to non-normal errors, is n·R².  Both are chi2(q) under
    homoskedasticity, q the number of non-constant columns of Z.
    """
    yv, Xm = regression(y, X)
    eps = _ols_residuals(yv, Xm)
    n = eps.shape[0]
    Zm = Xm if Z is None else as_matrix(Z, "Z")
    if Zm.values.shape[0] != n:
        raise ValueError(f"Z has {Zm.values.shape[0]} rows but y has {n} observations")
    aux = np.column_stack([np.ones(n), non_constant_columns(Zm.values)])
    if aux.shape[1] < 2:
        raise ValueError("Z has no non-constant column: there is nothing the variance could depend on")
    if n <= aux.shape[1]:
        raise ValueError(
            f"too few observations: the variance regression has {aux.shape[1]} columns, "
            f"it needs more than {aux.shape[1]} observations, got {n}"
        )
    status, rss, tss = _diag.bp_aux(eps, aux)
    if status == FALLBACK:
        rss, tss, aux_rank = _lstsq.breusch_pagan(eps, aux)
        df = aux_rank - 1
    elif status == OK:
        df = aux.shape[1] - 1
    else:
        _refuse(status, {
            -5: "too few observations: the regression has no observations",
            -3: "zero variance: the residuals are all zero (the regression fits exactly)",
        })
    note = None
    if studentized:
        if tss > 0.0:
            stat = n * (1.0 - rss / tss)
        else:
            stat, note = 0.0, "the squared residuals are all equal: nothing to explain"
        name = "Breusch-Pagan LM (studentised)"
    else:
        stat = 0.5 * (tss - rss)
        name = "Breusch-Pagan LM"
    return DiagnosticResult(
        test=name,
        statistic=float(stat),
        df=df,
        pvalue=chi2_sf(stat, df),
        status=status,
        fallback=status == FALLBACK,
        nobs=n,
        distribution=f"chi2({df})",
        alternative="heteroskedasticity",
        note=note,
    )


def _break_position(break_at: Any, index: Any) -> int:
    if isinstance(break_at, (int, np.integer)) and not isinstance(break_at, (bool, np.bool_)):
        return int(break_at)
    if index is None:
        raise TypeError(
            f"break_at must be an integer position for array input, got {type(break_at).__name__}"
        )
    try:
        where = index.get_loc(break_at)
    except KeyError:
        raise ValueError(f"break outside the sample: {break_at!r} is not in the index") from None
    if not isinstance(where, (int, np.integer)):
        raise ValueError(f"break label {break_at!r} is not unique in the index")
    return int(where)


def chow(y: Any, X: Any, break_at: Any) -> DiagnosticResult:
    """Chow F test for a change of all coefficients at a known break.

    ``break_at`` is the first observation of the second regime: a position
    (0-based) or, for pandas input, a label of its index.  Under stable
    coefficients F has (p, T - 2p) degrees of freedom; when the fallback path
    runs, p counts the independent columns of each segment.
    """
    yv, Xm = regression(y, X)
    _ols_residuals(yv, Xm)
    T, p = Xm.values.shape
    position = _break_position(break_at, yv.index)
    status, stat = _diag.chow_stat(yv.values, Xm.values, position)
    if status == FALLBACK:
        stat, df1, df2 = _lstsq.chow(yv.values, Xm.values, position)
    elif status == OK:
        df1, df2 = p, T - 2 * p
    else:
        _refuse(status, {
            -5: f"too few observations: the Chow test with {p} regressors needs more than {2 * p} "
                f"observations, got {T}",
            -7: f"break outside the sample: the second regime must start at position 1 to {T - 1}, "
                f"got {position}",
        })
    label = position if yv.index is None else yv.index[position]
    return DiagnosticResult(
        test=f"Chow (break at {label})",
        statistic=float(stat),
        df=(df1, df2),
        pvalue=f_sf(stat, df1, df2),
        status=status,
        fallback=status == FALLBACK,
        nobs=T,
        distribution=f"F({df1}, {df2})",
        alternative=f"coefficients change at {label}",
    )


def _recursive(yv: Vector, Xm: Matrix) -> tuple[np.ndarray, int, int]:
    """Recursive residuals, the position of the first, and the kernel status."""
    _ols_residuals(yv, Xm)
    T, p = Xm.values.shape
    status, w = _diag.recursive_residuals(yv.values, Xm.values)
    if status == FALLBACK:
        w, start = _lstsq.recursive_residuals(yv.values, Xm.values)
        return w, start, status
    if status != OK:
        _refuse(status, {
            -5: f"too few observations: recursive residuals need more observations than the {p} "
                f"regressors, got {T}",
        })
    return w, p, status


def recursive_residuals(y: Any, X: Any) -> RecursiveResidualsResult:
    """Recursive residuals of Brown, Durbin and Evans, with the t test of their mean.

    Each observation after the first p gets its one-step-ahead prediction
    error from the fit on all earlier observations, scaled to unit variance.
    Under a correct, stable model they are independent N(0, σ²), so
    t = sqrt(m)·mean/sd is t(m - 1) over the m residuals; a mean away from
    zero points to a misspecified functional form.
    """
    yv, Xm = regression(y, X)
    w, start, status = _recursive(yv, Xm)
    m = w.shape[0]
    if m < 2:
        raise ValueError(f"too few observations: the t test needs at least 2 recursive residuals, got {m}")
    sd = float(np.std(w, ddof=1))
    if not sd > 0.0:
        raise ValueError("zero variance: the recursive residuals are all equal")
    t = math.sqrt(m) * float(np.mean(w)) / sd
    residuals: Any = w
    if yv.index is not None and is_pandas(yv.index):
        import pandas as pd

        residuals = pd.Series(w, index=yv.index[start:], name="recursive residual")
    return RecursiveResidualsResult(
        test="Recursive residuals, t test of mean zero",
        statistic=t,
        df=m - 1,
        pvalue=f_sf(t * t, 1, m - 1),
        status=status,
        fallback=status == FALLBACK,
        nobs=yv.values.shape[0],
        distribution=f"t({m - 1}), two-sided",
        alternative="misspecified functional form",
        residuals=residuals,
        start=start,
    )


def cusum(y: Any, X: Any) -> CusumResult:
    """CUSUM test of Brown, Durbin and Evans for stable coefficients.

    The path is W_i = (w_1 + ... + w_i) / s for the recursive residuals w and
    the residual standard error s of the full-sample fit.  The statistic is
    the smallest a with |W_i| <= a·(sqrt(m) + 2i/sqrt(m)) for all i = 0 ...
    m-1; the 5% boundary is a = 0.948, and the p-value is the asymptotic
    probability that a Brownian motion leaves the widening lines.
    """
    yv, Xm = regression(y, X)
    _ols_residuals(yv, Xm)
    T, p = Xm.values.shape
    status, stat = _diag.cusum_stat(yv.values, Xm.values)
    if status == OK:
        _, series = _diag.cusum_series(yv.values, Xm.values)
        start = p
    elif status == FALLBACK:
        w, start = _lstsq.recursive_residuals(yv.values, Xm.values)
        with np.errstate(divide="ignore", invalid="ignore"):
            series = np.cumsum(w) / _lstsq.residual_scale(yv.values, Xm.values)
    else:
        _refuse(status, {
            -5: f"too few observations: the CUSUM test needs more observations than the {p} regressors, "
                f"got {T}",
        })
    m = series.shape[0]
    root = math.sqrt(m)
    widening = root + 2.0 * np.arange(m) / root
    if status == FALLBACK:
        with np.errstate(invalid="ignore"):
            stat = float(np.max(np.abs(series) / widening))
    if not math.isfinite(stat):
        raise ValueError("zero variance: the regression fits the data exactly")
    a = cusum_critical_value(0.05)
    return CusumResult(
        test="CUSUM",
        statistic=float(stat),
        df=None,
        pvalue=cusum_pvalue(stat),
        status=status,
        fallback=status == FALLBACK,
        nobs=T,
        distribution="Brownian motion boundary crossing",
        alternative="unstable coefficients",
        critical_value=a,
        series=series,
        lower=-a * widening,
        upper=a * widening,
        index=_labels(yv.index, np.arange(start, T)),
    )


def cusum_squares(y: Any, X: Any) -> CusumResult:
    """CUSUM-of-squares test of Brown, Durbin and Evans for a stable error variance.

    The path is s_i = (w_1² + ... + w_i²) / (w_1² + ... + w_m²) and its
    expectation under the null is i/m.  The statistic is max |s_i - i/m|,
    compared with the half-width c0 of the 5% boundary i/m ± c0, from an
    asymptotic approximation of its critical values.
    """
    yv, Xm = regression(y, X)
    _ols_residuals(yv, Xm)
    T, p = Xm.values.shape
    status, _, stat = _diag.cusumsq_stat(yv.values, Xm.values)
    if status == OK:
        _, w = _diag.recursive_residuals(yv.values, Xm.values)
        start = p
    elif status == FALLBACK:
        w, start = _lstsq.recursive_residuals(yv.values, Xm.values)
    else:
        _refuse(status, {
            -5: f"too few observations: the CUSUM-of-squares test needs more observations than the {p} "
                f"regressors, got {T}",
        })
    m = w.shape[0]
    squares = np.cumsum(w * w)
    with np.errstate(divide="ignore", invalid="ignore"):
        path = squares / squares[-1]
    expected = np.arange(1, m + 1) / m
    # The kernel reports the largest gap divided by sqrt(2); the gap itself
    # is what the boundary i/m ± c0 bounds.
    gap = stat * math.sqrt(2.0) if status == OK else float(np.max(np.abs(path - expected)))
    if not math.isfinite(gap):
        raise ValueError("zero variance: the recursive residuals are all zero")
    c0 = cusumsq_critical_value(m, 0.05)
    return CusumResult(
        test="CUSUM of squares",
        statistic=float(gap),
        df=None,
        pvalue=cusumsq_pvalue(gap, m),
        status=status,
        fallback=status == FALLBACK,
        nobs=T,
        distribution="Brownian bridge, asymptotic",
        alternative="unstable error variance",
        critical_value=c0,
        series=path,
        lower=expected - c0,
        upper=expected + c0,
        index=_labels(yv.index, np.arange(start, T)),
    )


# --- series diagnostics ----------------------------------------------------

def ljung_box(x: Any, lags: int = 10) -> DiagnosticResult:
    """Ljung-Box Q = n(n+2)·Σ rho_k²/(n-k), k = 1 ... lags, chi2(lags) without autocorrelation.

    ``lags`` is clamped to n - 1.
    """
    xv = as_vector(x, "x")
    lags = as_int(lags, "lags")
    n = xv.values.shape[0]
    status, stat = _diag.lb_stat(xv.values, lags)
    if status != OK:
        _refuse(status, {
            -5: f"too few observations: Ljung-Box needs at least 2 observations, got {n}",
            -4: f"lag below 1: lags must be at least 1, got {lags}",
            -3: "zero variance: x is constant",
        })
    df = min(lags, n - 1)
    note = f"lags clamped from {lags} to n - 1 = {df}" if df < lags else None
    return DiagnosticResult(
        test=f"Ljung-Box Q ({df} lags)",
        statistic=float(stat),
        df=df,
        pvalue=chi2_sf(float(stat), df),
        status=status,
        fallback=False,
        nobs=n,
        distribution=f"chi2({df})",
        alternative="autocorrelation",
        note=note,
    )


def jarque_bera(x: Any) -> DiagnosticResult:
    """Jarque-Bera JB = n·(S²/6 + (K - 3)²/24), chi2(2) under normality.

    Below ten observations the statistic is still returned, with status -5
    and a note that the chi-square approximation is not to be trusted.
    """
    xv = as_vector(x, "x")
    n = xv.values.shape[0]
    status, stat = _diag.jb_stat(xv.values)
    note = None
    if n < 2 and status != OK:
        raise ValueError(f"too few observations: Jarque-Bera needs at least 2 observations, got {n}")
    if status == -5 and math.isfinite(stat):
        note = f"only {n} observations: the chi2(2) approximation is unreliable below 10"
    elif status != OK:
        _refuse(status, {-3: "zero variance: x is constant"})
    return DiagnosticResult(
        test="Jarque-Bera",
        statistic=float(stat),
        df=2,
        pvalue=chi2_sf(float(stat), 2),
        status=status,
        fallback=False,
        nobs=n,
        distribution="chi2(2)",
        alternative="non-normal distribution",
        note=note,
    )


# --- long-run covariance and Wald ------------------------------------------

def default_bandwidth(nobs: int) -> int:
    """floor(4·(n/100)^(2/9)): a deterministic bandwidth growing slowly with n."""
    return int(math.floor(4.0 * (nobs / 100.0) ** (2.0 / 9.0)))


def hac_covariance(moments: Any, kernel: str = "bartlett", bandwidth: int | None = None,
                   *, center: bool = True) -> HACResult:
    """Long-run covariance Ω = (Γ_0 + Σ_j w_j·(Γ_j + Γ_j')) / n of a moment series.

    ``moments`` has one row per observation.  ``kernel`` names the lag window
    ("bartlett", "parzen" or "qs"); ``bandwidth`` is the highest lag, by
    default floor(4·(n/100)^(2/9)), clamped to n - 1.  The columns are
    centred first unless ``center`` is False.
    """
    mm = as_matrix(moments, "moments")
    if not isinstance(kernel, str) or kernel.lower() not in KERNELS:
        raise ValueError(f"unknown kernel {kernel!r}: choose 'bartlett', 'parzen' or 'qs'")
    name = kernel.lower()
    n = mm.values.shape[0]
    if n < 2:
        raise ValueError(f"too few observations: a long-run covariance needs at least 2, got {n}")
    if bandwidth is None:
        bandwidth = default_bandwidth(n)
    bandwidth = as_int(bandwidth, "bandwidth")
    if bandwidth < 0:
        raise ValueError(f"bandwidth must be at least 0, got {bandwidth}")
    r = mm.values
    if center:
        r = _diag.fill_centered_ax0(r, _diag.fill_mean_ax0(r))
    omega = _diag.hac_estimator_matmul(r, KERNELS[name], bandwidth)
    return HACResult(covariance=omega, kernel=name, bandwidth=min(bandwidth, n - 1), nobs=n, names=mm.names)


def wald(mean: Any, cov: Any, nobs: int, *, target: Any = 0.0) -> DiagnosticResult:
    """Wald test W = n·(m - t)'·Ω⁻¹·(m - t) of moment means m against a target t.

    ``cov`` is the long-run covariance Ω of the moments (so that Ω/n is the
    covariance of m), for instance ``hac_covariance(...).covariance``; W is
    chi2(p) under the null.  When Ω is singular the pseudo-inverse is used
    and the degrees of freedom are its rank.
    """
    mv = as_vector(mean, "mean")
    p = mv.values.shape[0]
    if p == 0:
        raise ValueError("mean is empty: there is nothing to test")
    if np.ndim(target) == 0:
        tv = np.full(p, float(target))
        if not np.all(np.isfinite(tv)):
            raise ValueError("target contains 1 missing or infinite value; drop or fill them first")
    else:
        tv = as_vector(target, "target").values
        if tv.shape[0] != p:
            raise ValueError(f"target has {tv.shape[0]} values but mean has {p}")
    omega = as_matrix(cov, "cov").values
    if omega.shape != (p, p):
        raise ValueError(f"cov must be {p} by {p} to match mean, got shape {omega.shape}")
    scale = float(np.max(np.abs(omega))) if omega.size else 0.0
    if not np.allclose(omega, omega.T, rtol=0.0, atol=1e-10 * scale):
        raise ValueError("cov is not symmetric")
    nobs = as_int(nobs, "nobs")
    if nobs < 1:
        raise ValueError(f"too few observations: nobs must be at least 1, got {nobs}")
    status, stat = _diag.wald_stat_from_mean_and_cov(mv.values, tv, omega, nobs)
    note = None
    df = p
    if status == FALLBACK:
        stat, df, outside = _lstsq.wald(mv.values - tv, omega, nobs)
        if df == 0:
            raise ValueError("zero variance: cov is the zero matrix")
        notes = []
        if df < p:
            notes.append(f"cov has rank {df} of {p}: pseudo-inverse used")
        if outside:
            notes.append("mean - target has a part outside the range of cov, which the statistic ignores")
        note = "; ".join(notes) or None
    elif status != OK:
        _refuse(status, {})
    return DiagnosticResult(
        test="Wald",
        statistic=float(stat),
        df=df,
        pvalue=chi2_sf(stat, df),
        status=status,
        fallback=status == FALLBACK,
        nobs=nobs,
        distribution=f"chi2({df})",
        alternative="moments differ from the target",
        note=note,
    )
