"""What is benchmarked: the sizes of a run, the inputs, and the cells (one
function at one size with its NumPy peers)."""

from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np

from Kestrix._ckernels.diag import _diag

from .peers import (CUSUM_PEERS, RECRES_PEERS, peer_acorr, peer_bg, peer_bp, peer_chow, peer_hac,
                    peer_jb, peer_lb, peer_outer, peer_target, peer_wald)


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
