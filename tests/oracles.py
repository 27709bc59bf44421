"""Independent NumPy formulations of the kernels' statistics.

Each statistic is written once, from its textbook definition, over a small
primitive that it takes as an argument: the least-squares fit behind a
residual sum of squares, the recursive residuals, the lag products.  The
tests pass the slow, plainly correct primitives defined here (``np.linalg.lstsq``
fits, one separate fit per observation, sums of outer products row by row);
the benchmarks pass the fast formulations a user would write with NumPy
(normal equations, a rank-one update loop, ``r[:-j].T @ r[j:]``), so that both
compute the same statistic by the same formula.

Nothing here calls the kernels or repeats their recurrences.
"""

import math

import numpy as np

SQRT2 = math.sqrt(2.0)
BARTLETT, PARZEN, QS = 0, 1, 2


# --------------------------------------------------------------------------
# Fits
# --------------------------------------------------------------------------

def rss_lstsq(y, X):
    """Residual sum of squares of the least-squares fit of y on X."""
    coef = np.linalg.lstsq(X, y, rcond=None)[0]
    resid = y - X @ coef
    return float(resid @ resid)


def rss_normal(y, X):
    """The same through the normal equations X'X b = X'y."""
    b = np.linalg.solve(X.T @ X, X.T @ y)
    r = y - X @ b
    return float(r @ r)


# --------------------------------------------------------------------------
# Regression diagnostics
# --------------------------------------------------------------------------

def bg_design(eps, X, lags):
    """Auxiliary Breusch-Godfrey design, built row by row: intercept, X, then lags with pre-sample zeros."""
    n, K = len(eps), X.shape[1]
    design = np.zeros((n, K + lags + 1))
    for r in range(n):
        design[r, 0] = 1.0
        design[r, 1:K + 1] = X[r]
        for lag in range(1, lags + 1):
            design[r, K + lag] = eps[r - lag] if r >= lag else 0.0
    return design


def bg_from_design(eps, design, rss=rss_lstsq):
    """n times the uncentred R^2 of eps regressed on the auxiliary design."""
    return len(eps) * (1.0 - rss(eps, design) / float(eps @ eps))


def bg(eps, X, lags, rss=rss_lstsq, design=bg_design):
    return bg_from_design(eps, design(eps, X, lags), rss)


def bp(eps, X_aug, rss=rss_lstsq):
    """(rss, tss) of the Breusch-Pagan auxiliary regression of g = eps^2 / mean(eps^2)."""
    g = eps**2 / np.mean(eps**2)
    d = g - g.mean()
    return rss(g, X_aug), float(d @ d)


def chow(y, X, t_break, rss=rss_lstsq):
    T, p = X.shape
    rss_c = rss(y, X)
    s = rss(y[:t_break], X[:t_break]) + rss(y[t_break:], X[t_break:])
    return ((rss_c - s) / p) / (s / (T - 2 * p))


def recursive_lstsq(y, X):
    """One separate least-squares fit on the first t rows for every t = p .. T-1.

    The prediction variance factor x'(Xt'Xt)^-1 x is |v|^2 for the minimum-norm
    solution v of Xt' v = x, so no normal-equation matrix is ever inverted.
    """
    T, p = X.shape
    w = []
    for t in range(p, T):
        Xt, x = X[:t], X[t]
        beta = np.linalg.lstsq(Xt, y[:t], rcond=None)[0]
        v = np.linalg.lstsq(Xt.T, x, rcond=None)[0]
        w.append((y[t] - x @ beta) / math.sqrt(1.0 + v @ v))
    return np.array(w)


def cusum_series(y, X, recursive=recursive_lstsq, rss=rss_lstsq):
    """Running sums of the recursive residuals over the full fit's residual standard error."""
    T, p = X.shape
    sigma = math.sqrt(rss(y, X) / (T - p))
    return np.cumsum(recursive(y, X)) / sigma


def cusum_stat_of(series):
    """max |W_i| / (sqrt(m) + 2 i / sqrt(m)), i = 0 .. m-1."""
    m = len(series)
    r = math.sqrt(m)
    return float(np.max(np.abs(series) / (r + 2.0 * np.arange(m) / r)))


def cusumsq_of(w):
    """(m, max_i |S_i - (i+1)/m| / sqrt(2)) with S_i the share of the first i+1 squares."""
    w2 = w**2
    m = len(w2)
    gap = np.abs(np.cumsum(w2) / w2.sum() - np.arange(1, m + 1) / m)
    return m, float(np.max(gap)) / SQRT2


# --------------------------------------------------------------------------
# Series diagnostics
# --------------------------------------------------------------------------

def acorr(x, L):
    """Sample autocorrelations of lags 0..L; lags from len(x) on are 0."""
    z = x - x.mean()
    denom = float(z @ z)
    return np.array([1.0] + [float(z[k:] @ z[:len(x) - k]) / denom if k < len(x) else 0.0
                             for k in range(1, L + 1)])


def lb(x, L):
    n = len(x)
    L = min(L, n - 1)
    rho = acorr(x, L)
    return n * (n + 2) * sum(rho[k] ** 2 / (n - k) for k in range(1, L + 1))


def moments_by_powers(d):
    """Population central moments 2, 3, 4 of the deviations d, as means of powers."""
    return tuple(float(np.mean(d**k)) for k in (2, 3, 4))


def jb(x, moments=moments_by_powers):
    n = len(x)
    m2, m3, m4 = moments(x - x.mean())
    skew, kurt = m3 / m2**1.5, m4 / m2**2
    return n * (skew**2 / 6 + (kurt - 3) ** 2 / 24)


# --------------------------------------------------------------------------
# Long-run covariance
# --------------------------------------------------------------------------

def window(kernel, j, bw):
    """Lag-window weight of lag j for bandwidth bw, from the textbook formulas."""
    x = j / (bw + 1)
    if kernel == BARTLETT:
        return max(0.0, 1.0 - x)
    if kernel == PARZEN:
        if x <= 0.5:
            return 1.0 - 6.0 * x**2 + 6.0 * x**3
        return 2.0 * (1.0 - x) ** 3 if x <= 1.0 else 0.0
    a = 6.0 * math.pi * x / 5.0
    return 25.0 / (12.0 * math.pi**2 * x**2) * (math.sin(a) / a - math.cos(a))


def lag_product_rows(r, j):
    """Gamma_j = sum_t r_t r_{t+j}', an outer product per row."""
    n, p = r.shape
    return sum((np.outer(r[t], r[t + j]) for t in range(n - j)), np.zeros((p, p)))


def hac(r, kernel, L, lag_product=lag_product_rows):
    """(Gamma_0 + sum_j w_j (Gamma_j + Gamma_j')) / n with bandwidth min(L, n-1)."""
    n, p = r.shape
    bw = min(L, n - 1)
    omega = lag_product(r, 0)
    for j in range(1, bw + 1):
        g = lag_product(r, j)
        omega = omega + window(kernel, j, bw) * (g + g.T)
    return omega / n


# --------------------------------------------------------------------------
# High precision
# --------------------------------------------------------------------------

def mp_residuals(y, X, digits=60):
    """Residuals of the least-squares fit of y on X in `digits`-digit arithmetic (mpmath), as mpf values.

    Through the normal equations: in 60 digits their squared condition
    number still leaves more than 25 digits on the designs the tests use.
    """
    import mpmath

    with mpmath.workdps(digits):
        A = mpmath.matrix([[mpmath.mpf(float(v)) for v in row] for row in np.asarray(X, dtype=np.float64)])
        b = mpmath.matrix([mpmath.mpf(float(v)) for v in y])
        coef = mpmath.lu_solve(A.T * A, A.T * b)
        fitted = A * coef
        return [b[i] - fitted[i] for i in range(len(y))]


def mp_white(y, X, cross=True, digits=60):
    """White's n·R² of e² on a constant, the non-constant columns of X, their squares (and cross products)."""
    import mpmath

    with mpmath.workdps(digits):
        e = mp_residuals(y, X, digits)
        Xv = np.asarray(X, dtype=np.float64)
        Z = [j for j in range(Xv.shape[1]) if np.ptp(Xv[:, j]) > 0]
        pairs = [(i, j) for a, i in enumerate(Z) for j in Z[a:] if cross or i == j]
        rows = [[mpmath.mpf(1)] + [mpmath.mpf(float(Xv[t, j])) for j in Z]
                + [mpmath.mpf(float(Xv[t, i])) * mpmath.mpf(float(Xv[t, j])) for i, j in pairs]
                for t in range(Xv.shape[0])]
        A = mpmath.matrix(rows)
        g = mpmath.matrix([v * v for v in e])
        coef = mpmath.lu_solve(A.T * A, A.T * g)
        resid = g - A * coef
        mean = sum(g) / len(e)
        tss = sum((v - mean) ** 2 for v in g)
        rss = sum(v * v for v in resid)
        return float(len(e) * (1 - rss / tss)), A.cols - 1
