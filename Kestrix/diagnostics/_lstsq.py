"""The NumPy path: every statistic recomputed by least squares.

This is what runs when a kernel reports that its normal equations cannot be
factorised (a rank-deficient design, a starting block with fewer independent
rows than regressors, a covariance that is not positive definite).  Nothing
here uses the kernels.  Fits use ``numpy.linalg.lstsq``, which solves through
a singular value decomposition and returns the minimum-norm solution, so the
fitted values, residuals and ranks of a rank-deficient design are those of
any full-rank design spanning the same columns.  Degrees of freedom therefore
count the rank, not the columns.
"""

from __future__ import annotations

import numpy as np

from ._status import DiagnosticError, Status

_EPS = float(np.finfo(np.float64).eps)


def column_scales(X: np.ndarray) -> np.ndarray:
    """A power of two per column (of the last two axes) near its Euclidean norm; 1 for a zero column.

    Dividing by powers of two is exact, so an equilibrated design carries
    the same numbers as the original, only in other units: a rank decided on
    it does not depend on the units of the columns (a year of about 1950 next
    to a constant, a regressor in millions next to one in thousandths).
    """
    norms = np.sqrt((X * X).sum(axis=-2))
    _, exponent = np.frexp(norms)
    return np.where(norms > 0.0, np.ldexp(1.0, exponent), 1.0)


def fit(X: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
    """Least-squares coefficients, residuals and the numerical rank of X.

    The rank is decided on the column-equilibrated X (singular values
    against max(n, p)·eps of the largest, the rule of
    numpy.linalg.matrix_rank); with a rank-deficient X the coefficients are
    the solution of least norm in the equilibrated units.
    """
    if X.shape[1] == 0:
        return np.empty(0), y.copy(), 0
    scales = column_scales(X)
    coef, _, rank, _ = np.linalg.lstsq(X / scales, y, rcond=None)
    coef = coef / scales
    return coef, y - X @ coef, int(rank)


def independent_columns(A: np.ndarray) -> np.ndarray:
    """Mask of the columns of A that are not linear combinations of the columns before them.

    From the diagonal of R in (A/scales) = QR, the columns equilibrated:
    |R_jj| is the distance of column j from the span of the earlier ones,
    compared with max(n, q)·eps (the rule of numpy.linalg.matrix_rank).
    """
    scaled = A / column_scales(A)
    keep = np.any(scaled != 0.0, axis=0)
    diag = np.abs(np.diag(np.linalg.qr(scaled[:, keep], mode="r")))
    inner = np.zeros(int(np.count_nonzero(keep)), dtype=bool)
    inner[: diag.shape[0]] = diag > max(A.shape) * _EPS
    keep[keep] = inner
    return keep


def dropped_note(names: "list[str] | tuple[str, ...]", what: str = "auxiliary column") -> str | None:
    """The note naming the columns a regression left out as linear combinations of the others."""
    if not names:
        return None
    plural = len(names) > 1
    return (f"{what}{'s' if plural else ''} {', '.join(names)} dropped: "
            f"{'linear combinations' if plural else 'a linear combination'} of the others")


def rank(X: np.ndarray) -> int:
    """Numerical rank of the column-equilibrated X."""
    if X.size == 0:
        return 0
    return int(np.linalg.matrix_rank(X / column_scales(X)))


def breusch_godfrey(eps: np.ndarray, X: np.ndarray, lags: int) -> float:
    """Godfrey's LM n·e'P_Z e / e'e with Z = [X, e_{t-1} ... e_{t-lags}], zeros before the sample.

    No intercept is added: Z spans what the model spans and the lags.
    """
    n = eps.shape[0]
    lagged = np.zeros((n, lags))
    for lag in range(1, lags + 1):
        lagged[lag:, lag - 1] = eps[:-lag]
    _, resid, _ = fit(np.column_stack([X, lagged]), eps)
    tss = float(eps @ eps)
    if not tss > 0.0:
        raise ValueError("zero variance: the residuals are all zero (the regression fits exactly)")
    return float(n * (1.0 - float(resid @ resid) / tss))


def breusch_pagan(eps: np.ndarray, Z: np.ndarray) -> tuple[float, float, int]:
    """rss, centred tss and rank of the regression of eps²/mean(eps²) on Z."""
    sigma2 = float(eps @ eps) / eps.shape[0]
    if not sigma2 > 0.0:
        raise ValueError("zero variance: the residuals are all zero (the regression fits exactly)")
    g = eps * eps / sigma2
    _, resid, r = fit(Z, g)
    centred = g - g.mean()
    return float(resid @ resid), float(centred @ centred), r


def chow(y: np.ndarray, X: np.ndarray, t_break: int) -> tuple[float, int, int]:
    """F statistic and its degrees of freedom for a break before row t_break.

    With ranks r, r1, r2 of the pooled and the two segment designs the
    restriction count is r1 + r2 - r and the residual degrees of freedom
    T - r1 - r2; with full-rank segments these are p and T - 2p.
    """
    T = y.shape[0]
    _, e_c, r_c = fit(X, y)
    _, e_1, r_1 = fit(X[:t_break], y[:t_break])
    _, e_2, r_2 = fit(X[t_break:], y[t_break:])
    df1 = r_1 + r_2 - r_c
    df2 = T - r_1 - r_2
    if df2 <= 0:
        raise ValueError(
            f"too few observations: the two segments use {r_1 + r_2} parameters, leaving none of {T} "
            "observations to estimate the error variance"
        )
    if df1 <= 0:
        raise ValueError("the break adds no parameters: the segment designs span nothing beyond the pooled one")
    s = float(e_1 @ e_1) + float(e_2 @ e_2)
    rss_c = float(e_c @ e_c)
    with np.errstate(divide="ignore", invalid="ignore"):
        stat = float(np.float64((rss_c - s) / df1) / np.float64(s / df2))
    return stat, df1, df2


def recursive_residuals(y: np.ndarray, X: np.ndarray) -> tuple[np.ndarray, int]:
    """One-step prediction errors scaled to unit variance, and the first row that has one.

    Row t gets w_t = (y_t - x_t·b_t) / sqrt(1 + x_t·(X_t'X_t)⁺·x_t'), where b_t
    and X_t are the fit and the design on rows before t.  The recursion starts
    at the first t whose rows have the rank of the whole design: from there
    on x_t lies in their row space, so prediction and variance factor do not
    depend on how the design is parametrised.  The leverage term is the
    squared norm of the minimum-norm solution z of X_t'z = x_t.
    """
    T = y.shape[0]
    full = rank(X)
    lo, hi = full, T  # the smallest t with rank(X[:t]) == full, by bisection
    while lo < hi:
        mid = (lo + hi) // 2
        if rank(X[:mid]) == full:
            hi = mid
        else:
            lo = mid + 1
    start = lo
    if start >= T:
        raise DiagnosticError(f"too few observations: the recursion cannot start, the first {T - 1} of {T} rows have "
                              f"rank below {full} (the rank of X), so no row gets a recursive residual",
                              Status.TOO_FEW_OBS)
    w = np.empty(T - start)
    for t in range(start, T):
        head = X[:t]
        coef, _, _ = fit(head, y[:t])
        if full == 0:
            leverage = 0.0
        else:
            z = np.linalg.lstsq(head.T, X[t], rcond=None)[0]
            leverage = float(z @ z)
        w[t - start] = (y[t] - float(X[t] @ coef)) / np.sqrt(1.0 + leverage)
    return w, start


def wald(dev: np.ndarray, cov: np.ndarray, nobs: int, tol: float) -> tuple[float, int, bool]:
    """n·dev'·Ω⁺·dev with the pseudo-inverse of a positive semi-definite Ω.

    Eigenvalues of the symmetrised Ω at or below ``tol`` count as zero, the
    same threshold as the rank decision that sent the statistic here.  Returns the statistic, the rank
    of Ω (the degrees of freedom) and whether dev has a part outside the
    range of Ω, which the pseudo-inverse ignores.
    """
    values, vectors = np.linalg.eigh(0.5 * (cov + cov.T))
    keep = values > tol
    r = int(np.count_nonzero(keep))
    if r == 0:
        return 0.0, 0, bool(np.any(dev != 0))
    coords = vectors[:, keep].T @ dev
    stat = nobs * float(np.sum(coords * coords / values[keep]))
    projected = vectors[:, keep] @ coords
    outside = bool(np.linalg.norm(dev - projected) > 1e-8 * max(float(np.linalg.norm(dev)), 1e-300))
    return stat, r, outside
