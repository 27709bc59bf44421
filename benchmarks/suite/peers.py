"""NumPy peers: what a user would write for the same statistic.

The statistics are the test suite's reference formulas (tests/oracles.py); a
peer supplies only the fast primitive a NumPy user would reach for (normal
equations, a rank-one update loop, ``r[:-j].T @ r[j:]``, moments by dot
products), so the formula timed here is the one the tests check against.
"""

import math

import numpy as np

import oracles  # tests/oracles.py, on the path the package sets up

rss_normal = oracles.rss_normal


def lag_design(eps, X, lags):
    """[1, X, eps lagged 1..lags with pre-sample zeros], column by column."""
    n, K = X.shape
    Z = np.empty((n, K + lags + 1))
    Z[:, 0] = 1.0
    Z[:, 1 : K + 1] = X
    for lag in range(1, lags + 1):
        Z[:lag, K + lag] = 0.0
        Z[lag:, K + lag] = eps[:-lag]
    return Z


def peer_bg(eps, X, lags):
    return oracles.bg(eps, X, lags, rss=rss_normal, design=lag_design)


def peer_bp(eps, X):
    return np.array(oracles.bp(eps, X, rss=rss_normal))


def peer_chow(y, X, t):
    return oracles.chow(y, X, t, rss=rss_normal)


def recres_sherman_morrison(y, X):
    """Recursive residuals by the rank-one update, one observation per step."""
    T, p = X.shape
    X0 = X[:p]
    P = np.linalg.inv(X0.T @ X0)
    beta = P @ (X0.T @ y[:p])
    w = np.empty(T - p)
    sqrt = math.sqrt
    outer = np.outer
    for t in range(p, T):
        x = X[t]
        Px = P @ x
        f = 1.0 + x @ Px
        e = y[t] - x @ beta
        w[t - p] = e / sqrt(f)
        beta += (e / f) * Px
        P -= outer(Px, Px / f)
    return w


def recres_batched(y, X):
    """Recursive residuals from cumulative Gram matrices and a batched solve.

    For each observation t the fit on rows 0 .. t-1 is solved directly,
    G_t [beta_t, u_t] = [X_t'y_t, x_t], in chunks so that the stack of p x p
    matrices stays small.
    """
    T, p = X.shape
    G = X[:p].T @ X[:p]
    g = X[:p].T @ y[:p]
    w = np.empty(T - p)
    chunk = max(64, (1 << 21) // (p * p))
    for s in range(p, T, chunk):
        e = min(s + chunk, T)
        Xc, yc = X[s:e], y[s:e]
        cG = np.cumsum(Xc[:, :, None] * Xc[:, None, :], axis=0)
        cg = np.cumsum(Xc * yc[:, None], axis=0)
        Gs = np.empty_like(cG)
        Gs[0] = G
        np.add(G, cG[:-1], out=Gs[1:])
        rhs = np.empty((e - s, p, 2))
        rhs[0, :, 0] = g
        np.add(g, cg[:-1], out=rhs[1:, :, 0])
        rhs[:, :, 1] = Xc
        sol = np.linalg.solve(Gs, rhs)
        err = yc - np.einsum("ij,ij->i", Xc, sol[:, :, 0])
        f = 1.0 + np.einsum("ij,ij->i", Xc, sol[:, :, 1])
        w[s - p : e - p] = err / np.sqrt(f)
        G = G + cG[-1]
        g = g + cg[-1]
    return w


RECRES_PEERS = (
    ("Sherman-Morrison loop in Python", recres_sherman_morrison),
    ("cumulative Gram + batched np.linalg.solve", recres_batched),
)


def cusum_peers(recres):
    """(series, stat, sq) over one recursive-residual formulation."""
    def series(y, X):
        return oracles.cusum_series(y, X, recursive=recres, rss=rss_normal)

    def stat(y, X):
        return oracles.cusum_stat_of(series(y, X))

    def sq(y, X):
        return oracles.cusumsq_of(recres(y, X))[1]

    return series, stat, sq


CUSUM_PEERS = [(d, cusum_peers(f)) for d, f in RECRES_PEERS]

peer_acorr = oracles.acorr
peer_lb = oracles.lb


def moments_by_dots(d):
    """Central moments 2, 3, 4 of d by one square and two dot products."""
    n = len(d)
    d2 = d * d
    return d2.sum() / n, (d2 @ d) / n, (d2 @ d2) / n


def peer_jb(x):
    return oracles.jb(x, moments=moments_by_dots)


def lag_product_matmul(r, j):
    return r.T @ r if j == 0 else r[:-j].T @ r[j:]


def peer_hac(r, L):
    """Bartlett-weighted long-run covariance from lagged products."""
    return oracles.hac(r, oracles.BARTLETT, L, lag_product=lag_product_matmul)


def peer_wald(mean, target, omega, n):
    dev = mean - target
    return n * (dev @ np.linalg.solve(omega, dev))


def peer_outer(x):
    # x[:, i] * x[:, j], written with np.take: the fancy-index form gathers the
    # same columns but takes 5-15 s at n = 10**6, p = 10 on the reference machine.
    i, j = np.triu_indices(x.shape[1])
    return np.take(x, i, axis=1) * np.take(x, j, axis=1)


def peer_target(T, atol, rtol):
    ok = np.allclose(T, T.T, rtol=rtol, atol=atol)
    return (0 if ok else -1), T[np.triu_indices(T.shape[0])]
