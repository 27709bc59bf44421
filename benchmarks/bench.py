"""Benchmarks of the Kestrix diagnostic kernels against plain NumPy.

Run after installing the package (``make install``), from the repository root:

    .venv/bin/python -P benchmarks/bench.py            # full run, a few minutes
    .venv/bin/python -P benchmarks/bench.py --quick    # small sizes only, seconds

Everything runs in one process on one thread: the BLAS thread counts are set
to 1 before NumPy is imported, and the BLAS in use is printed.  The script has
four parts.

1. Kernels against NumPy.  Every function of ``Kestrix._ckernels.diag._diag``
   is timed against what a user would otherwise run for the same statistic
   with plain NumPy (``X.T @ X`` and ``np.linalg.solve`` for the regressions,
   lagged products for the HAC estimator and the autocorrelations, moment
   formulas, ``triu_indices`` gathers, ...).  Before timing, both sides run
   once on the benchmark input and must agree to 1e-8 (relative); a mismatch
   is reported loudly, the cell is not timed and the script exits with
   status 1 at the end.  Timing: the two sides run side by side, in
   alternating order, in rounds; each side's time is the median over the
   rounds, and the ratio printed is peer / ours (above 1: ours is faster).
   The number of rounds follows a time budget per cell; a cell (or a NumPy
   formulation) predicted from the previous n to take more than a few seconds
   a call at n = 10**6 is skipped and listed with its reason.
2. The hardware limit: benchmarks/roofline.cpp, compiled here with the system
   g++ against the installed headers and static libraries, measures this
   core's FMA peak and read bandwidth and the fraction of the roofline bound
   reached by the Gram-shaped kernels of the numeric core at n = 10**6.
3. Call overhead: each function on tiny inputs against the bare NumPy calls
   its calling convention makes (one ``np.ascontiguousarray`` per array
   argument, one ``np.empty`` per output or scratch array); the probe also
   times each kernel natively on the same shapes, to tell the kernel's own
   work from the binding around it.
4. Output: a table on stdout, results/latest.json, results/ratios.png (when
   matplotlib is installed) and results/performance.md, a README section.
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import gc  # noqa: E402
import itertools  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any, Callable, Optional  # noqa: E402

import numpy as np  # noqa: E402

import Kestrix._ckernels as ckernels  # noqa: E402
from Kestrix._ckernels.diag import _diag  # noqa: E402

HERE = Path(__file__).resolve().parent
TOL = 1e-8  # relative agreement required between ours and the peer
perf = time.perf_counter


# --------------------------------------------------------------------------
# Sizes and budgets
# --------------------------------------------------------------------------


@dataclass
class Plan:
    ns: tuple
    ps: tuple
    lags: tuple
    budget: dict  # seconds of timed work per cell, by n
    min_reps: int
    max_reps: int
    batch: float  # target duration of one timed batch of calls
    overhead_rounds: int
    overhead_batch: int
    probe: Optional[dict]  # arguments of the roofline probe
    single_shot: float = 2.0  # above this pair time, one call of each side is the sample
    max_pair: float = 8.0  # cells predicted to take longer per pair are skipped
    # (half of it for cells without a peer, which give no ratio)
    max_peer_call: float = 2.0  # NumPy formulations predicted slower are not run


FULL = Plan(
    ns=(100, 10_000, 1_000_000),
    ps=(3, 10, 30),
    lags=(4, 24),
    budget={100: 0.25, 10_000: 0.5, 1_000_000: 1.5},
    min_reps=5,
    max_reps=41,
    batch=0.004,
    overhead_rounds=41,
    overhead_batch=400,
    probe=dict(n=1_000_000, rounds=3, big_mib=1024, ps=(10, 30), lag=1, tiny_iters=20000),
)

QUICK = Plan(
    ns=(100, 1_000),
    ps=(3, 10),
    lags=(4,),
    budget={100: 0.02, 1_000: 0.03},
    min_reps=3,
    max_reps=9,
    batch=0.001,
    overhead_rounds=7,
    overhead_batch=100,
    probe=dict(n=20_000, rounds=3, big_mib=64, ps=(10, 30), lag=1, tiny_iters=2000),
)



# --------------------------------------------------------------------------
# NumPy peers: what a user would write for the same statistic
# --------------------------------------------------------------------------


def ols_rss(X, y):
    """Residual sum of squares of y on X through the normal equations."""
    b = np.linalg.solve(X.T @ X, X.T @ y)
    r = y - X @ b
    return r @ r


def peer_bg(eps, X, lags):
    n, K = X.shape
    Z = np.empty((n, K + lags + 1))
    Z[:, 0] = 1.0
    Z[:, 1 : K + 1] = X
    for lag in range(1, lags + 1):
        Z[:lag, K + lag] = 0.0
        Z[lag:, K + lag] = eps[:-lag]
    b = np.linalg.solve(Z.T @ Z, Z.T @ eps)
    r = eps - Z @ b
    return n * (1.0 - (r @ r) / (eps @ eps))


def peer_bp(eps, X):
    e2 = eps * eps
    g = e2 / (e2.sum() / len(eps))
    rss = ols_rss(X, g)
    d = g - g.mean()
    return np.array([rss, d @ d])


def peer_chow(y, X, t):
    T, p = X.shape
    rc = ols_rss(X, y)
    s = ols_rss(X[:t], y[:t]) + ols_rss(X[t:], y[t:])
    return ((rc - s) / p) / (s / (T - 2 * p))


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


def _cusum_from(recres):
    def series(y, X):
        T, p = X.shape
        w = recres(y, X)
        sigma = math.sqrt(ols_rss(X, y) / (T - p))
        return np.cumsum(w) / sigma

    def stat(y, X):
        s = series(y, X)
        m = len(s)
        r = math.sqrt(m)
        return np.max(np.abs(s) / (r + 2.0 * np.arange(m) / r))

    def sq(y, X):
        w2 = recres(y, X) ** 2
        m = len(w2)
        dev = np.abs(np.cumsum(w2) / w2.sum() - np.arange(1, m + 1) / m)
        return dev.max() / math.sqrt(2.0)

    return series, stat, sq


CUSUM_PEERS = [(d, _cusum_from(f)) for d, f in RECRES_PEERS]


def peer_acorr(x, L):
    n = len(x)
    z = x - x.mean()
    d = z @ z
    out = np.zeros(L + 1)
    out[0] = 1.0
    for lag in range(1, min(L, n - 1) + 1):
        out[lag] = (z[lag:] @ z[:-lag]) / d
    return out


def peer_lb(x, L):
    n = len(x)
    L = min(L, n - 1)
    rho = peer_acorr(x, L)[1:]
    k = np.arange(1, L + 1)
    return n * (n + 2.0) * np.sum(rho * rho / (n - k))


def peer_jb(x):
    n = len(x)
    d = x - x.mean()
    d2 = d * d
    m2 = d2.sum() / n
    m3 = (d2 @ d) / n
    m4 = (d2 @ d2) / n
    skew = m3 / m2**1.5
    kurt = m4 / (m2 * m2)
    return n * (skew * skew / 6.0 + (kurt - 3.0) ** 2 / 24.0)


def peer_hac(r, L):
    """Bartlett-weighted long-run covariance from lagged products."""
    n = len(r)
    S = r.T @ r
    Le = min(L, n - 1)
    for j in range(1, Le + 1):
        G = r[:-j].T @ r[j:]
        S += (1.0 - j / (Le + 1.0)) * (G + G.T)
    return S / n


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


# --------------------------------------------------------------------------
# Benchmark inputs
# --------------------------------------------------------------------------


def serially_correlated(rng, shape):
    e = rng.standard_normal((shape[0] + 2,) + tuple(shape[1:]))
    return e[2:] + 0.5 * e[1:-1] + 0.25 * e[:-2]


class Inputs:
    """Benchmark data for one n, generated once and sliced by p."""

    def __init__(self, n, pmax, seed=12345):
        rng = np.random.default_rng(seed + n)
        self.n = n
        self.Z = rng.standard_normal((n, pmax))
        self.noise = rng.standard_normal(n)
        self.series = np.ascontiguousarray(serially_correlated(rng, (n,)))
        e = rng.standard_normal(n)
        self.skewed = e + 0.2 * e * e
        self.moments = serially_correlated(rng, (n, pmax))
        self.rng = rng
        self._cache = {}

    def design(self, p):
        """n x p design: an intercept and p - 1 regressors."""
        key = ("X", p)
        if key not in self._cache:
            X = np.empty((self.n, p))
            X[:, 0] = 1.0
            X[:, 1:] = self.Z[:, : p - 1]
            self._cache[key] = X
        return self._cache[key]

    def regressors(self, p):
        key = ("R", p)
        if key not in self._cache:
            self._cache[key] = np.ascontiguousarray(self.Z[:, :p])
        return self._cache[key]

    def response(self, p):
        """y on the design of width p, with a coefficient shift at n // 2."""
        key = ("y", p)
        if key not in self._cache:
            X = self.design(p)
            beta = np.linspace(1.0, -1.0, p)
            y = X @ beta + self.noise
            t = self.n // 2
            y[t:] += 0.5 * X[t:, 0] + 0.3 * X[t:, min(1, p - 1)]
            self._cache[key] = y
        return self._cache[key]

    def bg_resid(self):
        return self.series

    def bp_resid(self, p):
        return self.noise * (1.0 + 0.5 * np.abs(self.design(p)[:, min(1, p - 1)]))

    def centered_moments(self, p):
        key = ("r", p)
        if key not in self._cache:
            m = self.moments[:, :p]
            self._cache[key] = np.ascontiguousarray(m - m.mean(0))
        return self._cache[key]

    def raw_moments(self, p):
        key = ("m", p)
        if key not in self._cache:
            self._cache[key] = np.ascontiguousarray(1.0 + self.moments[:, :p])
        return self._cache[key]


def wald_inputs(p, seed=7):
    rng = np.random.default_rng(seed + p)
    A = rng.standard_normal((p, p))
    omega = A @ A.T / p + np.eye(p)
    mean = 0.1 * rng.standard_normal(p)
    return mean, np.zeros(p), omega, 1000


def target_inputs(p, seed=9):
    rng = np.random.default_rng(seed + p)
    A = rng.standard_normal((p, p))
    T = A + A.T
    T[np.triu_indices(p, 1)] += 1e-12  # asymmetric within the tolerance
    return T, 1e-10, 1e-8


# --------------------------------------------------------------------------
# Cells
# --------------------------------------------------------------------------


@dataclass
class Cell:
    function: str
    n: Optional[int]
    p: Optional[int]
    L: Optional[int]
    ours: Callable[[], Any]
    unpack: Callable[[Any], tuple]  # ours' result -> (status or None, value)
    peers: list  # [(description, callable)] candidates; the fastest is timed
    skip_peer: Optional[str] = None
    skip: Optional[str] = None
    result: dict = field(default_factory=dict)


def _st(res):
    return res[0], res[1]


def _st2(res):
    return res[0], np.array([res[1], res[2]])


def _bare(res):
    return None, res


def _cusumsq(res):
    return res[0], res[2]


def regression_cells(inp, plan):
    n = inp.n
    cells = []
    for p in plan.ps:
        R, X, y = inp.regressors(p), inp.design(p), inp.response(p)
        eps = inp.bg_resid()
        for L in plan.lags:
            cells.append(Cell(
                "bg_stat", n, p, L,
                (lambda eps=eps, R=R, L=L: _diag.bg_stat(eps, R, L)), _st,
                [("Z=[1,X,lags]; Z.T@Z, solve", lambda eps=eps, R=R, L=L: peer_bg(eps, R, L))]))
        e_bp = inp.bp_resid(p)
        cells.append(Cell(
            "bp_aux", n, p, None,
            (lambda e=e_bp, X=X: _diag.bp_aux(e, X)), _st2,
            [("X.T@X, X.T@g, solve", lambda e=e_bp, X=X: peer_bp(e, X))]))
        t = n // 2
        cells.append(Cell(
            "chow_stat", n, p, None,
            (lambda y=y, X=X, t=t: _diag.chow_stat(y, X, t)), _st,
            [("3 fits: X.T@X, X.T@y, solve", lambda y=y, X=X, t=t: peer_chow(y, X, t))]))
        cells.append(Cell(
            "recursive_residuals", n, p, None,
            (lambda y=y, X=X: _diag.recursive_residuals(y, X)), _st,
            [(d, (lambda f=f, y=y, X=X: f(y, X))) for d, f in RECRES_PEERS]))
        for k, name, unpack in ((0, "cusum_series", _st), (1, "cusum_stat", _st),
                                (2, "cusumsq_stat", _cusumsq)):
            fn = getattr(_diag, name)
            cells.append(Cell(
                name, n, p, None,
                (lambda fn=fn, y=y, X=X: fn(y, X)), unpack,
                [(d, (lambda f=fs[k], y=y, X=X: f(y, X))) for d, fs in CUSUM_PEERS]))
    return cells


def series_cells(inp, plan):
    n, x = inp.n, inp.series
    cells = []
    for L in plan.lags:
        cells.append(Cell(
            "acorr", n, None, L, (lambda L=L: _diag.acorr(x, L)), _st,
            [("z[l:]@z[:-l] per lag", lambda L=L: peer_acorr(x, L))]))
    for L in plan.lags:
        cells.append(Cell(
            "lb_stat", n, None, L, (lambda L=L: _diag.lb_stat(x, L)), _st,
            [("z[l:]@z[:-l] per lag; Q", lambda L=L: peer_lb(x, L))]))
    xs = inp.skewed
    cells.append(Cell(
        "jb_stat", n, None, None, (lambda: _diag.jb_stat(xs)), _st,
        [("central moments by dot products", lambda: peer_jb(xs))]))
    return cells


def moment_cells(inp, plan):
    n = inp.n
    cells = []
    for p in plan.ps:
        r = inp.centered_moments(p)
        for L in plan.lags:
            cells.append(Cell(
                "hac_estimator_matmul", n, p, L,
                (lambda r=r, L=L: _diag.hac_estimator_matmul(r, 0, L)), _bare,
                [("r.T@r + sum w_j (r[:-j].T@r[j:] + T)", lambda r=r, L=L: peer_hac(r, L))]))
    for p in plan.ps:
        x = inp.raw_moments(p)
        m = x.mean(0)
        cells.append(Cell(
            "fill_mean_ax0", n, p, None, (lambda x=x: _diag.fill_mean_ax0(x)), _bare,
            [("x.mean(0)", lambda x=x: x.mean(0))]))
        cells.append(Cell(
            "fill_centered_ax0", n, p, None,
            (lambda x=x, m=m: _diag.fill_centered_ax0(x, m)), _bare,
            [("x - m", lambda x=x, m=m: x - m)]))
    for p in plan.ps:
        x = inp.centered_moments(p)
        skip = None
        if n * p * (p + 1) // 2 * 8 > 2e9:
            skip = "skipped: the output alone would be %.1f GB" % (n * p * (p + 1) * 4 / 1e9)
        cells.append(Cell(
            "symmetric_outer_prod_2dim", n, p, None,
            (lambda x=x: _diag.symmetric_outer_prod_2dim(x)), _st,
            [("x[:, i] * x[:, j] (np.take) over triu_indices", lambda x=x: peer_outer(x))], skip=skip))
    return cells


def small_matrix_cells(plan):
    cells = []
    for p in plan.ps:
        a = wald_inputs(p)
        cells.append(Cell(
            "wald_stat_from_mean_and_cov", None, p, None,
            (lambda a=a: _diag.wald_stat_from_mean_and_cov(*a)), _st,
            [("n * dev @ solve(omega, dev)", lambda a=a: peer_wald(*a))]))
    for p in plan.ps:
        a = target_inputs(p)
        cells.append(Cell(
            "fill_symmetric_target_vec", None, p, None,
            (lambda a=a: _diag.fill_symmetric_target_vec(*a)), _st,
            [("np.allclose(T, T.T) + T[triu_indices]", lambda a=a: peer_target(*a))]))
    return cells


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------


def timed(fn):
    t0 = perf()
    out = fn()
    return perf() - t0, out


def batch(fn, k):
    """Seconds per call, over k back-to-back calls."""
    t0 = perf()
    for _ in itertools.repeat(None, k):
        fn()
    return (perf() - t0) / k


def rel_err(ours, peer):
    o = np.asarray(ours, dtype=np.float64)
    q = np.asarray(peer, dtype=np.float64)
    if o.shape != q.shape:
        return math.inf
    if o.size == 0:
        return 0.0
    if not (np.all(np.isfinite(o)) and np.all(np.isfinite(q))):
        return 0.0 if np.array_equal(o, q, equal_nan=True) else math.inf
    scale = float(np.max(np.abs(q)))
    diff = float(np.max(np.abs(o - q)))
    return diff / scale if scale > 0 else diff


def check(cell, ours_res, peer_res):
    """Relative disagreement between ours and a peer, inf on a status mismatch."""
    status, value = cell.unpack(ours_res)
    if isinstance(peer_res, tuple):  # (status, value) peers
        pst, peer_res = peer_res
        if status != pst:
            return math.inf
    elif status is not None and status != 0:
        return math.inf
    return rel_err(value, peer_res)


def quantiles(v, qs):
    return [float(x) for x in np.quantile(np.asarray(v), qs)]


def run_cell(cell, plan, log, history):
    """Check, then time one cell; `history` maps a cell key to its smaller-n result."""
    res = cell.result
    res.update(function=cell.function, n=cell.n, p=cell.p, L=cell.L)
    if cell.skip:
        res.update(skipped=cell.skip)
        return
    key = (cell.function, cell.p, cell.L)
    budget = plan.budget.get(cell.n, plan.budget[min(plan.budget)])

    # A cell whose calls would take too long at this n, judged by linear
    # extrapolation from the previous n, is skipped: the run must stay short.
    prev = history.get(key)
    if prev and cell.n and prev.get("ours_s"):
        scale = cell.n / prev["n"]
        pred_ours = prev["ours_s"] * scale
        # NumPy formulations predicted to take too long are dropped; with none
        # left the cell times ours alone.
        cand = dict(prev.get("peer_candidates", {}))
        if prev.get("peer") in cand and prev.get("peer_s"):
            cand[prev["peer"]] = prev["peer_s"]  # the median, not the warm-up call
        if cand and not cell.skip_peer:
            keep = [(d, f) for d, f in cell.peers if cand.get(d, 0.0) * scale <= plan.max_peer_call]
            if not keep:
                best = min(cand.values()) * scale
                cell.skip_peer = (f"peer skipped: the fastest NumPy formulation is predicted at "
                                  f"{fmt_t(best)} per call (from n = {fmt_n(prev['n'])})")
                res.update(predicted_peer_s=best)
            cell.peers = keep
        pred_peer = 0.0
        if not cell.skip_peer:
            pred_peer = min(cand.get(d, 0.0) for d, _ in cell.peers) * scale if cand else 0.0
        cap = plan.max_pair if not cell.skip_peer else plan.max_pair / 2
        if pred_ours + pred_peer > cap:
            if cell.skip_peer:
                why = (f"skipped: predicted {fmt_t(pred_ours)} per call (from n = "
                       f"{fmt_n(prev['n'])}) and no peer at this n")
            else:
                why = (f"skipped: predicted {fmt_t(pred_ours)} (ours) + {fmt_t(pred_peer)} "
                       f"(peer) per call, from n = {fmt_n(prev['n'])}")
            res.update(skipped=why,
                       predicted_ours_s=pred_ours, predicted_peer_s=pred_peer or None)
            return
    gc.collect()

    # Warm-up, one call of each side, side by side; it also supplies the
    # values that are checked.
    t_ours, ours_res = timed(cell.ours)
    peer = None
    if not cell.skip_peer:
        best = None
        for desc, fn in cell.peers:
            t, out = timed(fn)
            err = check(cell, ours_res, out)
            del out
            if not err <= TOL:
                res.setdefault("mismatch", []).append(
                    {"peer": desc, "rel_err": err if math.isfinite(err) else repr(err)})
                log(f"!!! MISMATCH {cell.function} n={cell.n} p={cell.p} L={cell.L}: "
                    f"ours and '{desc}' differ by {err:.3g} (relative); not timed")
                continue
            if len(cell.peers) > 1:
                # Choose among formulations on a second call: the first may
                # include one-off costs (page faults of fresh allocations).
                t = min(t, timed(fn)[0])
            res.setdefault("peer_candidates", {})[desc] = t
            if best is None or t < best[0]:
                best = (t, desc, fn, err)
        if best is None:
            return
        t_peer, desc, peer, err = best
        res.update(peer=desc, rel_err=err)
    else:
        status, _ = cell.unpack(ours_res)
        if status not in (None, 0):
            res.setdefault("mismatch", []).append({"peer": None, "status": status})
            log(f"!!! {cell.function} n={cell.n} p={cell.p}: status {status}")
            return
        res.update(peer_skipped=cell.skip_peer)
        t_peer = 0.0
        budget *= 0.5
    del ours_res

    sides = [("ours", cell.ours, t_ours)]
    if peer is not None:
        sides.append(("peer", peer, t_peer))
    samples = {name: [] for name, _, _ in sides}
    # Calibration: one more call of each side, side by side, for the costs
    # without first-call effects.  It is the first sample when calls are long
    # enough to be timed one by one.
    calib = []
    for name, fn, t in sides:
        tc = timed(fn)[0]
        calib.append(tc)
        samples[name].append(tc)
    pair = sum(calib)
    ks = [max(1, min(100_000, int(plan.batch / max(t, 1e-9)))) for t in calib]
    if pair > plan.single_shot:
        reps = 1  # the calibration pair is the sample
    else:
        batch_pair = sum(k * t for k, t in zip(ks, calib))
        reps = int(budget / batch_pair)
        floor = plan.min_reps if batch_pair * plan.min_reps <= 3 * budget else 2
        reps = max(floor, min(plan.max_reps, reps))
    if any(k > 1 for k in ks):
        for name in samples:
            samples[name].clear()
        extra = reps
    else:
        extra = reps - 1
    res.update(calls_per_batch=ks)
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for rep in range(extra):
            order = range(len(sides)) if rep % 2 == 0 else reversed(range(len(sides)))
            for i in order:
                name, fn, _ = sides[i]
                samples[name].append(batch(fn, ks[i]))
    finally:
        if gc_was:
            gc.enable()

    ours_med = float(np.median(samples["ours"]))
    res.update(ours_s=ours_med, reps=len(samples["ours"]))
    if peer is not None:
        peer_med = float(np.median(samples["peer"]))
        res.update(peer_s=peer_med, ratio=peer_med / ours_med)
        if len(samples["ours"]) > 2:
            paired = np.asarray(samples["peer"]) / np.asarray(samples["ours"])
            q1, q3 = quantiles(paired, [0.25, 0.75])
            res.update(ratio_iqr=[q1, q3])
    history[key] = res


# --------------------------------------------------------------------------
# Call overhead
# --------------------------------------------------------------------------
# The bare NumPy calls of each function's calling convention, written out as
# a Python function with the same parameters.


def bare_bg_stat(eps, X, lags):
    np.ascontiguousarray(eps, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)


def bare_bp_aux(eps, X_aug):
    np.ascontiguousarray(eps, dtype=np.float64)
    np.ascontiguousarray(X_aug, dtype=np.float64)


def bare_chow_stat(y, X, t_break):
    np.ascontiguousarray(y, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)


def bare_recursive_residuals(y, X):
    np.ascontiguousarray(y, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)
    np.empty(3, dtype=np.float64)


bare_cusum_series = bare_recursive_residuals


def bare_cusum_stat(y, X):
    np.ascontiguousarray(y, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)


bare_cusumsq_stat = bare_cusum_stat


def bare_acorr(x, L):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty(3, dtype=np.float64)
    np.empty(5, dtype=np.float64)


def bare_lb_stat(x, L):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty(5, dtype=np.float64)
    np.empty(5, dtype=np.float64)


def bare_jb_stat(x):
    np.ascontiguousarray(x, dtype=np.float64)


def bare_hac_estimator_matmul(r, kernel_id, L):
    np.ascontiguousarray(r, dtype=np.float64)
    np.empty((2, 2), dtype=np.float64)
    np.empty((2, 2), dtype=np.float64)


def bare_fill_mean_ax0(x):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty(2, dtype=np.float64)


def bare_fill_centered_ax0(x, mean):
    np.ascontiguousarray(x, dtype=np.float64)
    np.ascontiguousarray(mean, dtype=np.float64)
    np.empty((5, 2), dtype=np.float64)


def bare_wald_stat_from_mean_and_cov(mean, target, omega, n):
    np.ascontiguousarray(mean, dtype=np.float64)
    np.ascontiguousarray(target, dtype=np.float64)
    np.ascontiguousarray(omega, dtype=np.float64)
    np.empty(2, dtype=np.float64)
    np.empty((2, 2), dtype=np.float64)


def bare_symmetric_outer_prod_2dim(x):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty((5, 3), dtype=np.float64)


def bare_fill_symmetric_target_vec(target, atol, rtol):
    np.ascontiguousarray(target, dtype=np.float64)
    np.empty(3, dtype=np.float64)


def overhead_cases():
    """(name, args, conversions, allocations) on n = 5, p = 2 inputs."""
    rng = np.random.default_rng(5)
    e = rng.standard_normal(5)
    X = rng.standard_normal((5, 2))
    Xc = np.column_stack([np.ones(5), rng.standard_normal(5)])
    m = X.mean(0)
    S = np.array([[2.0, 0.5], [0.5, 1.0]])
    return [
        ("bg_stat", (e, X, 1), 2, 0),
        ("bp_aux", (e, Xc), 2, 0),
        ("chow_stat", (e, Xc, 2), 2, 0),
        ("recursive_residuals", (e, Xc), 2, 1),
        ("cusum_series", (e, Xc), 2, 1),
        ("cusum_stat", (e, Xc), 2, 0),
        ("cusumsq_stat", (e, Xc), 2, 0),
        ("acorr", (e, 2), 1, 2),
        ("lb_stat", (e, 2), 1, 2),
        ("jb_stat", (e,), 1, 0),
        ("hac_estimator_matmul", (X - m, 0, 2), 1, 2),
        ("fill_mean_ax0", (X,), 1, 1),
        ("fill_centered_ax0", (X, m), 2, 1),
        ("wald_stat_from_mean_and_cov", (m, np.zeros(2), S, 5), 3, 2),
        ("symmetric_outer_prod_2dim", (X,), 1, 1),
        ("fill_symmetric_target_vec", (S, 1e-8, 1e-8), 1, 1),
    ]


def run_overhead(plan, log):
    rows = []
    k = plan.overhead_batch
    gc.collect()
    for name, args, n_conv, n_alloc in overhead_cases():
        ours = getattr(_diag, name)
        bare = globals()["bare_" + name]
        ours(*args)
        bare(*args)
        a = [None] * plan.overhead_rounds
        b = [None] * plan.overhead_rounds
        gc.disable()
        try:
            for r in range(plan.overhead_rounds):
                if r % 2 == 0:
                    a[r] = _call_batch(ours, args, k)
                    b[r] = _call_batch(bare, args, k)
                else:
                    b[r] = _call_batch(bare, args, k)
                    a[r] = _call_batch(ours, args, k)
        finally:
            gc.enable()
        ours_s, bare_s = float(np.median(a)), float(np.median(b))
        rows.append(dict(function=name, conversions=n_conv, allocations=n_alloc,
                         ours_s=ours_s, bare_s=bare_s, ratio=ours_s / bare_s))
    return rows


def _call_batch(fn, args, k):
    t0 = perf()
    for _ in itertools.repeat(None, k):
        fn(*args)
    return (perf() - t0) / k


# --------------------------------------------------------------------------
# Roofline probe
# --------------------------------------------------------------------------


def probe_check_lines(roof):
    """The probe's own cross-checks: every vector width, the dependent-chain
    latency, and the plain loops beside the tuned ones."""
    widths = ", ".join(f"{w['bits']}-bit x {w['chains']} chains {w['gfmas']:.2f}"
                       for w in roof.get("fma_widths", []))
    lines = []
    if widths:
        lines.append(f"  G FMA/s by width: {widths}; plain loop {roof['fma_simple_loop_gfmas']:.2f}")
    if "fma_latency_ns" in roof:
        lines.append(f"  dependent fma chain: {roof['fma_latency_ns']:.3f} ns a step, so "
                     f"{roof['fmas_in_flight_for_peak']:.0f} lanes in flight reach the peak")
    if "read_bw_big_simple_loop_gbs" in roof:
        lines.append(f"  read bandwidth, plain loop: {roof['read_bw_big_simple_loop_gbs']:.2f} GB/s")
    return lines


def run_roofline(probe, log):
    src = HERE / "roofline.cpp"
    gxx = shutil.which("g++")
    if gxx is None:
        return {"skipped": "no g++ on PATH"}
    inc, lib = ckernels.get_include(), ckernels.get_library_dir()
    libs = ["-l" + name for name in ckernels.get_libraries()]
    base = [gxx, "-O2", "-std=c++17", "-ffp-contract=off"]
    with tempfile.TemporaryDirectory(prefix="ksx-roofline-") as tmp:
        peak_o = os.path.join(tmp, "peak.o")
        exe = os.path.join(tmp, "roofline")
        peak_cmd = base + ["-march=native", "-DROOFLINE_PEAK_ONLY", "-c", str(src), "-o", peak_o]
        main_cmd = base + ["-I" + inc, str(src), peak_o, "-L" + lib] + libs + ["-o", exe]
        for cmd in (peak_cmd, main_cmd):
            proc = subprocess.run(cmd, capture_output=True, text=True)
            if proc.returncode != 0 and "-march=native" in cmd:
                cmd.remove("-march=native")  # a compiler that cannot tell
                proc = subprocess.run(cmd, capture_output=True, text=True)
            if proc.returncode != 0:
                return {"skipped": "compilation failed: " + proc.stderr.strip()[-800:]}
        args = [exe, str(probe["n"]), str(probe["rounds"]), str(probe["big_mib"]),
                ",".join(map(str, probe["ps"])), str(probe["lag"]), str(probe.get("tiny_iters", 0))]
        proc = subprocess.run(args, capture_output=True, text=True)
        if proc.returncode != 0:
            return {"skipped": "probe failed: " + proc.stderr.strip()[-800:]}
    out = json.loads(proc.stdout)
    out["compile"] = {"peak": " ".join(peak_cmd[1:]).replace(str(src), "roofline.cpp"),
                      "main": " ".join(main_cmd[1:]).replace(str(src), "roofline.cpp")}
    peak = out["fma_peak_gflops"]
    bw_big = out["read_bw_big_gbs"]
    for c in out["cases"]:
        c["gflops"] = c["flops"] / c["seconds"] * 1e-9
        c["intensity"] = c["flops"] / c["bytes"]  # flop per byte
        c["read_bw_gbs"] = c["read_bytes"] / c["read_seconds"] * 1e-9
        c["bound_gflops"] = min(peak, c["read_bw_gbs"] * c["intensity"])
        c["fraction"] = c["gflops"] / c["bound_gflops"]
        c["bound_big_gflops"] = min(peak, bw_big * c["intensity"])
        c["fraction_big"] = c["gflops"] / c["bound_big_gflops"]
    return out


# --------------------------------------------------------------------------
# Reporting
# --------------------------------------------------------------------------


def fmt_t(s):
    if s is None:
        return "-"
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def fmt_r(r):
    if r is None:
        return "-"
    if r >= 100:
        return f"{r:.0f}"
    if r >= 10:
        return f"{r:.1f}"
    return f"{r:.2f}"


def fmt_n(n):
    if n is None:
        return "-"
    e = int(round(math.log10(n)))
    return f"1e{e}" if 10**e == n and n >= 1000 else str(n)


def fmt_opt(v):
    return "-" if v is None else str(v)


def blas_info():
    info = {}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cfg = np.show_config(mode="dicts")
        deps = cfg.get("Build Dependencies", {})
        for k in ("blas", "lapack"):
            d = deps.get(k, {})
            info[k] = {x: d.get(x) for x in ("name", "version", "openblas configuration") if d.get(x)}
    except Exception as exc:  # older NumPy: no dict mode
        info["error"] = repr(exc)
    info["threads_env"] = {v: os.environ.get(v) for v in
                           ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")}
    return info


def machine_info():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") or line.startswith("Model"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": cpu,
        "machine": platform.machine(),
        "cores": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": np.__version__,
    }


def print_table(cells, out=print):
    head = ("function", "n", "p", "L", "ours", "peer", "peer/ours", "iqr", "reps", "peer formulation")
    rows = []
    for c in cells:
        r = c.result
        if r.get("skipped"):
            rows.append((r["function"], fmt_n(r["n"]), fmt_opt(r["p"]), fmt_opt(r["L"]),
                         "-", "-", "-", "", "", r["skipped"]))
            continue
        if r.get("mismatch") and "ours_s" not in r:
            rows.append((r["function"], fmt_n(r["n"]), fmt_opt(r["p"]), fmt_opt(r["L"]),
                         "-", "-", "MISMATCH", "", "", json.dumps(r["mismatch"])[:70]))
            continue
        iqr = ""
        if r.get("ratio_iqr"):
            q1, q3 = r["ratio_iqr"]
            iqr = f"{fmt_r(q1)}-{fmt_r(q3)}"
        rows.append((r["function"], fmt_n(r["n"]), fmt_opt(r["p"]), fmt_opt(r["L"]),
                     fmt_t(r.get("ours_s")), fmt_t(r.get("peer_s")), fmt_r(r.get("ratio")),
                     iqr, str(r.get("reps", "")),
                     r.get("peer") or r.get("peer_skipped", "")))
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    widths[-1] = 0
    line = "  ".join(h.ljust(w) for h, w in zip(head, widths)).rstrip()
    out(line)
    out("-" * len(line))
    for row in rows:
        out("  ".join(str(x).ljust(w) for x, w in zip(row, widths)).rstrip())


def plot(cells, path, log):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as exc:
        log(f"matplotlib not available ({exc.__class__.__name__}): no chart")
        return None
    names = list(dict.fromkeys(c.function for c in cells))
    ns = sorted({c.n for c in cells if c.n is not None})
    colors = dict(zip(ns + [None], ["tab:blue", "tab:orange", "tab:red", "tab:green"]))
    markers = {3: "o", 10: "s", 30: "^", None: "D"}
    fig, ax = plt.subplots(figsize=(13, 6))
    lags = sorted({c.L for c in cells if c.L is not None}) or [0]
    offsets = {n: (i - (len(ns) - 1) / 2) * 0.22 for i, n in enumerate(ns)}
    offsets[None] = 0.0
    for c in cells:
        r = c.result.get("ratio")
        if r is None:
            continue
        x = names.index(c.function) + offsets[c.n]
        col = colors.get(c.n, "k")
        hollow = c.L is not None and c.L > min(lags)
        ax.scatter(x, r, marker=markers.get(c.p, "D"), s=32, alpha=0.85,
                   facecolors="none" if hollow else col, edgecolors=col)
    ax.axhline(1.0, color="k", lw=0.8)
    ax.set_yscale("log")
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels(names, rotation=40, ha="right", fontsize=8)
    ax.set_ylabel("NumPy peer time / Kestrix time  (> 1: Kestrix faster)")
    ax.set_title("Kestrix kernels against plain NumPy, single thread (median of interleaved runs)")
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], ls="", marker="o", color=colors[n], label=f"n = {fmt_n(n)}") for n in ns]
    handles.append(Line2D([], [], ls="", marker="o", color=colors[None], label="p-by-p input, no n"))
    handles += [Line2D([], [], ls="", marker=markers[p], color="gray", label=f"p = {p}")
                for p in sorted({c.p for c in cells if c.p is not None})]
    handles.append(Line2D([], [], ls="", marker="D", color="gray", label="one series (no p)"))
    if len(lags) > 1:
        handles.append(Line2D([], [], ls="", marker="o", color="gray", markerfacecolor="none",
                              label=f"hollow: L = {lags[-1]} (filled: L = {lags[0]})"))
    ax.legend(handles=handles, fontsize=8, ncol=2, loc="best")
    ax.grid(True, which="both", axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return str(path)


def markdown(report):
    """The README section: how to run, ratios at n >= 10^4, roofline, overhead."""
    m = report["machine"]
    blas = report["blas"].get("blas", {})
    lines = [
        "## Performance",
        "",
        "`make bench` (after `make install`) runs `benchmarks/bench.py`; "
        "`.venv/bin/python -P benchmarks/bench.py --quick` runs the small sizes only. "
        "In one process and on one thread (BLAS threads set to 1), every function of "
        "`_diag` is timed against what a user would otherwise write with plain NumPy "
        "for the same statistic (`X.T @ X` with `np.linalg.solve` for the regressions, "
        "lagged products `r[:-j].T @ r[j:]` for the HAC estimator, dot products per lag "
        "for the autocorrelations, moment formulas, `triu_indices` gathers, "
        "`np.allclose`); only plain NumPy formulations are used as peers, no other "
        "statistics package. Both sides are checked to agree to 1e-8 (relative) on each "
        "input before they are timed, run side by side in alternating order, and each "
        "time is a median over the rounds. The script prints the table, writes "
        "`benchmarks/results/latest.json` and draws `benchmarks/results/ratios.png`.",
        "",
        f"Latest run: {m['cpu']}, {m['cores']} cores (shared), {m['system']}, "
        f"Python {m['python']}, NumPy {m['numpy']} with "
        f"{blas.get('name', '?')} {blas.get('version', '')} (1 thread); "
        f"{report['started']}, {report['duration_s']:.0f} s.",
        "",
        "Ratio NumPy time / Kestrix time (above 1: Kestrix is faster), by p = 3 / 10 / 30 "
        "(p is the number of columns of `X`; L the number of lags):",
        "",
    ]
    cells = report["cells"]
    all_ns = sorted({c["n"] for c in cells if c["n"]})
    min_n = 10_000 if any(n >= 10_000 for n in all_ns) else 0
    big_ns = [n for n in all_ns if n >= min_n]
    lines.append("| function | L | " + " | ".join(f"n = {fmt_n(n)}" for n in big_ns) + " |")
    lines.append("|---|---|" + "---|" * len(big_ns))
    groups = {}
    for c in cells:
        if c["n"] is None or c["n"] < min_n:
            continue
        groups.setdefault((c["function"], c["L"]), {}).setdefault(c["n"], []).append(c)
    for (fn, L), by_n in groups.items():
        row = [f"`{fn}`", fmt_opt(L)]
        for n in big_ns:
            vals = []
            for c in by_n.get(n, []):
                if c.get("ratio") is not None:
                    vals.append(fmt_r(c["ratio"]))
                elif c.get("skipped"):
                    vals.append("skip")
                else:
                    vals.append("n/a")
            row.append(" / ".join(vals) if vals else "")
        lines.append("| " + " | ".join(row) + " |")
    small = [c for c in cells if c["n"] is None and c.get("ratio") is not None]
    if small:
        lines.append("")
        lines.append("Functions of a p-by-p matrix only (p = 3 / 10 / 30): " + "; ".join(
            f"`{fn}` " + " / ".join(fmt_r(c["ratio"]) for c in small if c["function"] == fn)
            for fn in dict.fromkeys(c["function"] for c in small)) + ".")
    lines += [
        "",
        "The peer of the recursive residuals and of the CUSUM family is the faster, "
        "measured in the run, of a Python Sherman-Morrison loop and a chunked "
        "cumulative-Gram batched `np.linalg.solve`; the JSON records which. "
        "\"n/a\": no peer timed, \"skip\": cell not run:",
        "",
    ]
    reasons = {}
    for c in cells:
        if c["n"] is None or c["n"] < min_n:
            continue
        why = c.get("skipped") or c.get("peer_skipped")
        if why:
            what = f"`{c['function']}` " + ", ".join(
                f"{k} = {fmt_n(v) if k == 'n' else v}"
                for k, v in (("n", c["n"]), ("p", c["p"]), ("L", c["L"])) if v is not None)
            if c.get("ours_s"):
                what += f" (ours {fmt_t(c['ours_s'])})"
            reasons.setdefault(why, []).append(what)
    for why, whats in reasons.items():
        lines.append(f"- {why}: " + "; ".join(whats))
    lines.append("")
    roof = report.get("roofline", {})
    if roof and "cases" in roof:
        lines += [
            "Roofline (`benchmarks/roofline.cpp`, built against the installed headers "
            "and static libraries; `-march=native` only for the peak-FMA loop): "
            f"single-core FMA peak {roof['fma_peak_gflops']:.1f} GFLOP/s ({roof['isa']}), "
            f"read bandwidth {roof['read_bw_big_gbs']:.1f} GB/s on a "
            f"{roof['big_bytes'] / 2**20:.0f} MiB array. Fraction of "
            f"min(peak, bandwidth x intensity) reached at n = {fmt_n(roof['n'])}, with the bandwidth "
            "measured on the kernel's own input in the same rounds:",
            "",
            "| kernel | p | GFLOP/s | flop/byte | bound GFLOP/s | fraction |",
            "|---|---|---|---|---|---|",
        ]
        for c in roof["cases"]:
            lines.append(f"| `{c['kernel']}` | {c['p']} | {c['gflops']:.2f} | "
                         f"{c['intensity']:.2f} | {c['bound_gflops']:.1f} | "
                         f"{100 * c['fraction']:.1f} % |")
        lines += [
            "",
            "`ksx_gram`: n p(p+1)/2 FMAs over n p 8 bytes (the design Gram of the "
            "regression kernels is this call). `ksx_matmul_atb` as the HAC lag product, "
            "A = r[0:n-j], B = r[j:n] (j = 1): n p^2 FMAs over n p 8 bytes, B's rows "
            "being A's rows j rows later and still in cache.",
            "",
        ]
    ov = report.get("overhead", [])
    if ov:
        worst = max(ov, key=lambda r: r["ratio"])
        lines += [
            "Call overhead on n = 5, p = 2 inputs, against the bare NumPy calls of the "
            "calling convention (one `np.ascontiguousarray(a, dtype=np.float64)` per "
            "array argument, one `np.empty(shape, dtype=np.float64)` per output or "
            "scratch array, in a Python function of the same parameters); target at "
            f"most 1.5x, worst {worst['ratio']:.2f}x (`{worst['function']}`):",
            "",
            "| function | ours | bare NumPy | ratio | kernel alone |",
            "|---|---|---|---|---|",
        ]
        for r in ov:
            kn = fmt_t(r["kernel_native_s"]) if "kernel_native_s" in r else "-"
            lines.append(f"| `{r['function']}` | {fmt_t(r['ours_s'])} | "
                         f"{fmt_t(r['bare_s'])} | {r['ratio']:.2f} | {kn} |")
        lines += [
            "",
            "\"kernel alone\": the same kernel on the same shapes, called natively by the "
            "probe (separate process): the part of a call that is the kernel's own work.",
        ]
        lines.append("")
    return "\n".join(lines)


# --------------------------------------------------------------------------
# Main
# --------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes only (seconds)")
    ap.add_argument("--out", type=Path, default=None,
                    help="directory for latest.json, ratios.png, performance.md "
                         "(default benchmarks/results; --quick writes *-quick files)")
    ap.add_argument("--no-probe", action="store_true", help="skip the roofline probe")
    ap.add_argument("--no-plot", action="store_true", help="do not draw the chart")
    args = ap.parse_args(argv)

    plan = QUICK if args.quick else FULL
    outdir = args.out or (HERE / "results")
    outdir.mkdir(parents=True, exist_ok=True)
    suffix = "-quick" if args.quick and args.out is None else ""
    t_start = perf()
    started = time.strftime("%Y-%m-%d %H:%M:%S %Z")

    def log(msg):
        print(msg, flush=True)

    machine = machine_info()
    blas = blas_info()
    b = blas.get("blas", {})
    log(f"Kestrix kernel benchmarks ({'quick' if args.quick else 'full'} run), {started}")
    log(f"machine: {machine['cpu']}, {machine['cores']} cores, {machine['system']}")
    log(f"python {machine['python']}, numpy {machine['numpy']}, BLAS: {b.get('name', '?')} "
        f"{b.get('version', '')} [{b.get('openblas configuration', '')}], threads: "
        + ", ".join(f"{k}={v}" for k, v in blas["threads_env"].items()))
    log("ratio = NumPy peer time / Kestrix time: above 1, Kestrix is faster")
    log("")

    cells = []
    history = {}
    for cell in small_matrix_cells(plan):
        run_cell(cell, plan, log, history)
        cells.append(cell)
    for n in plan.ns:
        t0 = perf()
        inp = Inputs(n, max(plan.ps))
        group = regression_cells(inp, plan) + series_cells(inp, plan) + moment_cells(inp, plan)
        for cell in group:
            run_cell(cell, plan, log, history)
            cells.append(cell)
        del inp, group
        gc.collect()
        log(f"[n = {fmt_n(n)} done in {perf() - t0:.1f} s]")
    log("")
    order = {name: i for i, name in enumerate(
        ["bg_stat", "bp_aux", "chow_stat", "recursive_residuals", "cusum_series", "cusum_stat",
         "cusumsq_stat", "acorr", "lb_stat", "jb_stat", "hac_estimator_matmul", "fill_mean_ax0",
         "fill_centered_ax0", "wald_stat_from_mean_and_cov", "symmetric_outer_prod_2dim",
         "fill_symmetric_target_vec"])}
    cells.sort(key=lambda c: (order[c.function], c.n or 0, c.p or 0, c.L or 0))
    print_table(cells)
    log("")

    roof = {"skipped": "--no-probe"}
    if not args.no_probe and plan.probe:
        log(f"Roofline probe (n = {fmt_n(plan.probe['n'])}, {plan.probe['rounds']} rounds) ...")
        roof = run_roofline(plan.probe, log)
        if "skipped" in roof:
            log("roofline probe skipped: " + roof["skipped"])
        else:
            log(f"FMA peak, one core: {roof['fma_peak_gflops']:.1f} GFLOP/s ({roof['isa']}); "
                f"read bandwidth: {roof['read_bw_big_gbs']:.2f} GB/s "
                f"({roof['big_bytes'] / 2**20:.0f} MiB array)")
            for line in probe_check_lines(roof):
                log(line)
            log(f"{'kernel':<16} {'p':>3}  {'GFLOP/s':>8}  {'flop/B':>6}  {'BW GB/s':>7}  "
                f"{'bound':>7}  {'fraction':>8}  {'(vs big-array BW)':>17}")
            for c in roof["cases"]:
                log(f"{c['kernel']:<16} {c['p']:>3}  {c['gflops']:>8.2f}  {c['intensity']:>6.2f}  "
                    f"{c['read_bw_gbs']:>7.2f}  {c['bound_gflops']:>7.1f}  "
                    f"{100 * c['fraction']:>7.1f}%  {100 * c['fraction_big']:>16.1f}%")
            log("bound = min(FMA peak, read bandwidth on the kernel's own input x flop/byte); "
                "ksx_matmul_atb is the HAC lag product A = r[0:n-j], B = r[j:n] with B's rows "
                "assumed in cache (bytes = n p 8)")
        log("")

    log("Call overhead (n = 5, p = 2): each function against the bare NumPy calls of its "
        "calling convention")
    overhead = run_overhead(plan, log)
    native = {t["function"]: t for t in roof.get("tiny", [])}
    for r in overhead:
        t = native.get(r["function"])
        if t and t.get("status") == 0:
            r["kernel_native_s"] = t["seconds"]
    w = max(len(r["function"]) for r in overhead)
    log(f"{'function'.ljust(w)}  conv  empty  {'ours':>9}  {'bare':>9}  ratio   "
        f"{'kernel':>9}  (kernel: the kernel alone, native, from the probe)")
    for r in overhead:
        flag = "" if r["ratio"] <= 1.5 else "  above 1.5x"
        kn = fmt_t(r["kernel_native_s"]) if "kernel_native_s" in r else "-"
        log(f"{r['function'].ljust(w)}  {r['conversions']:>4}  {r['allocations']:>5}  "
            f"{fmt_t(r['ours_s']):>9}  {fmt_t(r['bare_s']):>9}  {r['ratio']:.2f}x  {kn:>9}{flag}")
    log("")

    mismatches = [c.result for c in cells if c.result.get("mismatch")]
    report = {
        "started": started,
        "duration_s": perf() - t_start,
        "mode": "quick" if args.quick else "full",
        "machine": machine,
        "blas": blas,
        "tolerance": TOL,
        "cells": [c.result for c in cells],
        "overhead": overhead,
        "roofline": roof,
        "mismatches": mismatches,
    }
    json_path = outdir / f"latest{suffix}.json"
    json_path.write_text(json.dumps(report, indent=1, default=float))
    md_path = outdir / f"performance{suffix}.md"
    md_path.write_text(markdown(report))
    png = None if args.no_plot else plot(cells, outdir / f"ratios{suffix}.png", log)
    log(f"wrote {json_path}, {md_path}" + (f", {png}" if png else ""))
    log(f"total {perf() - t_start:.0f} s")
    if mismatches:
        log("")
        log("!" * 72)
        log(f"!!! {len(mismatches)} cell(s) where ours and the NumPy peer disagree beyond "
            f"{TOL:g}; they were not timed:")
        for r in mismatches:
            log(f"!!!   {r['function']} n={r['n']} p={r['p']} L={r['L']}: {r['mismatch']}")
        log("!" * 72)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
