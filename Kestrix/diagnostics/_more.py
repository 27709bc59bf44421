"""More residual tests: Durbin-Watson, Box-Pierce, White, ARCH LM, RESET and sup-F.

Each is written on the kernels the other tests use: the autocorrelations of
Ljung-Box (``acorr``), the auxiliary regression of Breusch-Pagan
(``bp_aux``), the row-wise products of ``symmetric_outer_prod_2dim`` and the
Chow statistic (``chow_stat``).
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from Kestrix._ckernels.diag import _diag

from . import _lstsq
from ._api import _DEFAULT_LAGS, _chi2, _int_lags, _join, _refuse, _series, _series_refusal, aux_sums, series_lags
from ._distributions import f_sf, supf_tail
from ._fit import OLSFit, as_fit, ols, shift_option
from ._inputs import _require_finite, as_int
from ._results import NO_PVALUE, DiagnosticResult, SupFResult
from ._status import DiagnosticError, Status

__all__ = ["arch_lm", "box_pierce", "durbin_watson", "reset", "sup_f", "white"]

_EPS = float(np.finfo(np.float64).eps)


def durbin_watson(y_or_fit: Any, X: Any = None) -> DiagnosticResult:
    """Durbin-Watson d = Σ(e_t - e_{t-1})² / Σ e_t² of the OLS residuals.

    d is near 2 without first-order serial correlation, towards 0 with
    positive and towards 4 with negative correlation.  Its null law depends
    on X (the tabulated bounds bracket it), so no p-value is given: ``pvalue``
    and ``df`` are None and the verdict says to read the statistic.
    """
    fit = as_fit(y_or_fit, X, "durbin_watson")
    e = fit.residuals_for_tests()
    fit.require_order("Durbin-Watson")
    n = fit.nobs
    if n < 2:
        raise DiagnosticError(f"too few observations: Durbin-Watson needs at least 2 residuals, got {n}",
                              Status.TOO_FEW_OBS)
    d = e[1:] - e[:-1]
    stat = float(d @ d) / float(e @ e)
    return DiagnosticResult("Durbin-Watson", stat, None, None, int(Status.OK), False, n,
                            f"{NO_PVALUE} (the null law depends on X)", "first-order serial correlation", None,
                            fit.gap_note)


def box_pierce(x: Any, lags: int = _DEFAULT_LAGS) -> DiagnosticResult:
    """Box-Pierce Q = n·Σ rho_k², k = 1 ... lags, chi2(lags) without autocorrelation.

    rho_k are the autocorrelations Ljung-Box uses.  ``x`` is a series, or a
    fitted model whose residuals are tested; ``lags`` is clamped to n - 1
    (the note says so).  ``lags`` is 4 by default, as in the battery (it was
    10 before Kestrix 0.2: calls that leave it out get a DeprecationWarning
    for one release).
    """
    xs, note = _series(x, "Box-Pierce")
    lags = series_lags(lags, "box_pierce")
    n = xs.shape[0]
    if lags < 1:
        raise DiagnosticError(f"lag below 1: lags must be at least 1, got {lags}", Status.BAD_LAG)
    if n < 2:
        raise DiagnosticError(f"too few observations: Box-Pierce needs at least 2 observations, got {n}",
                              Status.TOO_FEW_OBS)
    df = min(lags, n - 1)
    status, rho = _diag.acorr(xs, df)
    if status != Status.OK:
        _series_refusal(xs, status, {Status.UNDEFINED_VARIANCE: "zero variance: x is constant"})
    r = rho[1:]
    stat = n * float(r @ r)
    if df < lags:
        note = _join(f"lags clamped from {lags} to n - 1 = {df}", note)
    return _chi2(f"Box-Pierce Q ({df} lags)", stat, df, int(status), False, n, "autocorrelation", note)


def _n_r2(e: np.ndarray, aux: np.ndarray, names: tuple[str, ...]) -> tuple[float, int, int, str | None]:
    """n·R² (centred) of the regression of e² on aux, its df (rank of aux - 1), status and note."""
    n = e.shape[0]
    sums = aux_sums(e, aux, names)
    if not sums.tss > 0.0:
        return 0.0, sums.df, sums.status, _join(sums.note, "the squared residuals are all equal: nothing to explain")
    return n * (1.0 - sums.rss / sums.tss), sums.df, sums.status, sums.note


def white(y_or_fit: Any, X: Any = None, *, cross: bool = True) -> DiagnosticResult:
    """White's test for heteroskedasticity: n·R² of e² on the levels, squares and cross products of X.

    The auxiliary regression has a constant, the non-constant columns of X,
    their squares and (``cross=True``) their pairwise products.  Columns that
    are linear combinations of earlier ones (the square of a dummy is the
    dummy) are dropped; the statistic is chi2(q) under homoskedasticity, q
    the number of auxiliary columns left besides the constant.
    """
    fit = as_fit(y_or_fit, X, "white")
    e = fit.residuals_for_tests()
    Z = fit.non_constant_X
    n, m = Z.shape
    if m == 0:
        raise DiagnosticError("X has no non-constant column: there is nothing the variance could depend on",
                              Status.TOO_FEW_OBS)
    _, products = _diag.symmetric_outer_prod_2dim(Z)
    if not cross:
        # vech order x_i·x_j, i <= j, row by row: x_i² sits at i·m - i(i-1)/2.
        products = products[:, [i * m - i * (i - 1) // 2 for i in range(m)]]
    levels = [fit.names[j] for j in fit.slopes]
    pairs = [(i, j) for i in range(m) for j in range(i, m) if cross or i == j]
    names = ("const", *levels, *(f"{levels[i]}^2" if i == j else f"{levels[i]}*{levels[j]}" for i, j in pairs))
    aux = np.column_stack([np.ones(n), Z, products])
    # Columns that repeat others (the square of a dummy is the dummy) leave before the kernel sees them.
    keep = _lstsq.independent_columns(aux)
    dropped = tuple(names[j] for j in np.flatnonzero(~keep))
    aux, names = np.ascontiguousarray(aux[:, keep]), tuple(names[j] for j in np.flatnonzero(keep))
    if n <= aux.shape[1]:
        raise DiagnosticError(f"too few observations: White's auxiliary regression has {aux.shape[1]} columns, "
                              f"it needs more than {aux.shape[1]} observations, got {n}", Status.TOO_FEW_OBS)
    stat, df, status, note = _n_r2(e, aux, names)
    note = _join(_lstsq.dropped_note(dropped), note)
    what = "squares and cross products" if cross else "squares"
    return _chi2(f"White ({what})", float(stat), df, status, status == Status.FALLBACK, n, "heteroskedasticity",
                 note)


def arch_lm(x: Any, lags: int = 4) -> DiagnosticResult:
    """Engle's ARCH LM test: n·R² of e_t² on a constant and e²_{t-1} ... e²_{t-lags}.

    The regression runs over the rows where every lag exists, n = (number of
    observations) - lags of them; the statistic is chi2(lags) without
    conditional heteroskedasticity.  ``x`` is a series (taken as it is, not
    centred), or a fitted model whose residuals are tested.
    """
    xs, note = _series(x, "ARCH LM")
    lags = _int_lags(lags)
    total = xs.shape[0]
    _require_finite(xs, "x")
    n = total - lags
    if n <= lags + 1:
        raise DiagnosticError(f"too few observations: ARCH LM with {lags} lags needs more than {2 * lags + 1} "
                              f"observations, got {total}", Status.TOO_FEW_OBS)
    sq = xs * xs
    aux = np.empty((n, lags + 1))
    aux[:, 0] = 1.0
    for k in range(1, lags + 1):
        aux[:, k] = sq[lags - k: total - k]
    names = ("const", *(f"x(t-{k})^2" for k in range(1, lags + 1)))
    stat, df, status, extra = _n_r2(np.ascontiguousarray(xs[lags:]), aux, names)
    return _chi2(f"ARCH LM ({lags} lags)", float(stat), df, status, status == Status.FALLBACK, n,
                 "conditional heteroskedasticity", _join(extra, note))


def reset(y_or_fit: Any, X: Any = None, power: Any = 3) -> DiagnosticResult:
    """RESET test of the functional form: F test of adding ŷ², ..., ŷ^power to the regression.

    The fitted values are divided by their largest absolute value first
    (the F statistic does not change, the powers stay well scaled).  F is
    F(q, n - r) under a correct linear form, q the independent columns the
    powers add (power - 1 unless they are spanned by X) and r the rank of
    the augmented design.
    """
    X, power = shift_option(y_or_fit, X, power, 3)
    fit = as_fit(y_or_fit, X, "reset")
    power = as_int(power, "power")
    if power < 2:
        raise ValueError(f"power must be at least 2, got {power}")
    fit.residuals_for_tests()
    yhat = fit.fitted
    scale = float(np.max(np.abs(yhat)))
    if not scale > 0.0:
        raise DiagnosticError("the fitted values are all zero: their powers add nothing to test",
                              Status.UNDEFINED_VARIANCE)
    z = yhat / scale
    augmented = np.column_stack([fit.X] + [z**j for j in range(2, power + 1)])
    wide = ols(fit.y, augmented)
    n = fit.nobs
    q = wide.rank - fit.rank
    df2 = n - wide.rank
    if q < 1:
        raise DiagnosticError("the powers of the fitted values are linear combinations of the columns of X: "
                              "there is nothing to test", Status.TOO_FEW_OBS)
    if df2 < 1:
        raise DiagnosticError(f"too few observations: the augmented regression has rank {wide.rank}, it needs "
                              f"more than {wide.rank} observations, got {n}", Status.TOO_FEW_OBS)
    if wide.exact:
        raise DiagnosticError("zero variance: the augmented regression fits the data exactly",
                              Status.UNDEFINED_VARIANCE)
    f = ((fit.rss - wide.rss) / q) / (wide.rss / df2)
    note = None
    if q != power - 1:
        keep = _lstsq.independent_columns(augmented)[fit.ncols:]
        spanned = [f"fitted^{j}" for j, kept in zip(range(2, power + 1), keep) if not kept]
        note = _lstsq.dropped_note(spanned, "power") or f"the powers add {q} independent columns of {power - 1}"
    return DiagnosticResult(f"RESET (powers 2 to {power})", float(f), (q, df2), f_sf(f, q, df2), int(Status.OK),
                            False, n, f"F({q}, {df2})", "misspecified functional form", None, note)


def sup_f(y_or_fit: Any, X: Any = None, trim: Any = 0.15) -> SupFResult:
    """sup-F (Andrews' sup-Wald in its F form): the largest Chow F over the candidate breaks.

    The candidates are the rows t from ceil(trim·T) to floor((1 - trim)·T)
    where the second regime would start, narrowed so that each regime has at
    least p rows; each gets one Chow statistic from the kernel, F(p, T - 2p)
    for that break.  A break where a regime is rank-deficient is left out
    (its F has other degrees of freedom; the note counts them).  The
    p-value is asymptotic: p times the largest F against the limit law of
    the largest Chow Wald statistic over the same range of break fractions,
    the supremum of a squared p-dimensional Ornstein-Uhlenbeck radius,
    computed to about five digits (None without SciPy).  It is not an F law.
    ``position``, ``break_at`` of the result say where the maximum is
    reached, ``breaks`` and ``statistics`` hold every candidate's F.
    """
    X, trim = shift_option(y_or_fit, X, trim, 0.15)
    fit = as_fit(y_or_fit, X, "sup_f")
    trim = float(trim)
    if not 0.0 < trim < 0.5:
        raise ValueError(f"trim must lie strictly between 0 and 0.5, got {trim}")
    fit.residuals_for_tests()
    fit.require_order("sup-F")
    Xd = fit.X
    rank_note = None
    if not fit.identified:
        # The Chow statistics of a rank-deficient design are those of its
        # independent columns, which span the same fitted values.
        Xd = np.ascontiguousarray(Xd[:, _lstsq.independent_columns(Xd)])
        rank_note = f"X has rank {fit.rank} of {fit.ncols} columns: sup-F on {Xd.shape[1]} independent columns"
    T, p = Xd.shape
    if T - 2 * p < 1:
        raise DiagnosticError(f"too few observations: a Chow test with {p} regressors needs more than {2 * p} "
                              f"observations, got {T}", Status.TOO_FEW_OBS)
    lo = max(math.ceil(trim * T), p)
    hi = min(math.floor((1.0 - trim) * T), T - p)
    if lo > hi:
        raise DiagnosticError(f"too few observations: with trim {trim} and {p} regressors no break of {T} "
                              f"observations leaves each regime {p} rows", Status.TOO_FEW_OBS)
    breaks = np.arange(lo, hi + 1)
    fs = np.full(breaks.shape[0], math.nan)
    y = fit.y
    for i, t in enumerate(breaks.tolist()):
        status, stat = _diag.chow_stat(y, Xd, t)
        if status == Status.OK:
            fs[i] = stat
        elif status != Status.FALLBACK:
            _refuse(status, {})
    computed = np.isfinite(fs)
    if not computed.any():
        raise DiagnosticError("every candidate break leaves a regime with a rank-deficient design: no Chow F "
                              "with p restrictions exists", Status.TOO_FEW_OBS)
    best = int(np.argmax(np.where(computed, fs, -math.inf)))
    position = int(breaks[best])
    label = position if fit.index is None else fit.index[position]
    skipped = int(breaks.shape[0] - np.count_nonzero(computed))
    where = f"row {position}" if fit.index is None else f"row {position} ({label})"
    note = _join(f"largest F with the second regime from {where}, over {breaks.shape[0]} "
                 f"candidate breaks at rows {lo} to {hi}",
                 f"{skipped} break{'s' if skipped > 1 else ''} left out: a regime is rank-deficient" if skipped
                 else None, rank_note, fit.gap_note)
    fs.flags.writeable = False
    status = Status.OK if rank_note is None else Status.FALLBACK
    # The second regime starts at row t: the break fraction is t/T.
    first, last = lo / T, hi / T
    span = math.log(last / (1.0 - last)) - math.log(first / (1.0 - first))
    statistic = float(fs[best])
    pvalue, log_p = supf_tail(p * statistic, p, span) or (None, None)
    if pvalue == 0.0 and log_p is not None and math.isfinite(log_p):
        note = _join(note, f"p-value below the smallest positive double (log10 p = {log_p / math.log(10.0):.1f}): "
                           "reported as 0")
    return SupFResult(f"sup-F (trim {trim:g})", statistic, (p, T - 2 * p), pvalue,
                      int(status), rank_note is not None, T,
                      f"sup-F limit law (p={p}, break fractions {first:.3g} to {last:.3g})",
                      "a break at an unknown date", None, note, position, label, breaks, fs)
