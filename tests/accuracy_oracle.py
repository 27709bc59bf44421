"""Accuracy of the battery engine: the designs, a 50-digit oracle, a NumPy-QR peer and the error measures.

Shared by ``tests/test_accuracy.py`` and ``benchmarks/accuracy.py``.

* The designs: polynomials in t on a grid (equilibrated condition numbers
  from about 1e2 to 1e10), the Longley regression, the weekly CO2 regression
  and 7-row groups with 3 or 4 columns.
* ``oracle``: every statistic of the battery written from its definition in
  ``mpmath`` arithmetic.  The data are float64 numbers, so they enter the
  oracle exactly; the oracle then never rounds to float64 before its result.
  Least squares goes through the Gram matrix and its Cholesky factor carried
  with ``GUARD`` digits beyond the 50 of the rest (the normal equations square
  the condition number: 40 guard digits keep 50 for condition numbers up to
  1e20); the recursive residuals are one pass of Givens rotations over the
  rows, O(n·p²); the long-run covariances apply the Toeplitz matrix of the
  lag weights in exact fixed-point arithmetic (``_toeplitz_apply``).
* ``numpy_peer``: the same statistics as a user would write them with
  ``numpy.linalg.qr`` (one QR per regression, one QR per prefix for the
  recursive residuals and per regime for sup-F).
* ``engine``: what ``Kestrix.diagnostics`` returns.

The rank of every regression is decided as the engine documents it: a column
whose part outside the span of the columns before it has norm at most
max(rows, columns)·eps of its own norm is dependent and left out.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path
from typing import Any

import mpmath as mp
import numpy as np

DPS = 50
GUARD = 40
EPS = float(np.finfo(np.float64).eps)
DATA = Path(__file__).resolve().parent / "data"
KERNELS = ("bartlett", "parzen", "qs")
WELL_CONDITIONED = 1e6  # below it every statistic must be within TOLERANCE of the oracle
TOLERANCE = 1e-9
# "At least as accurate as the NumPy-QR peer": the engine's error may not pass FACTOR times the larger of the
# peer's error and κ·eps (κ the condition number of the statistic's designs: the error a backward-stable
# computation is allowed), nor FLOOR, a thousandth of TOLERANCE, where both count as exact.
FACTOR = 10.0
FLOOR = 1e-12

# The statistics compared, with their kind and what their relative error is measured against.
#   chi2: max(|oracle|, df)   F, t, DW, CUSUM, sup-F: max(|oracle|, 1)   CUSUM of squares: max(|oracle|, 1/sqrt(m))
#   coefficients: per coefficient max(|b_j|, its standard error); vectors: the largest |value|;
#   HAC covariances: entry (a, b) against sqrt(V_aa·V_bb).
SCALARS = ("breusch_godfrey", "breusch_godfrey_f", "breusch_pagan", "breusch_pagan_studentized", "chow",
           "recursive_residuals", "cusum", "cusum_squares", "ljung_box", "jarque_bera", "wald", "wald_parzen",
           "wald_qs", "durbin_watson", "box_pierce", "white", "arch_lm", "reset", "sup_f")
VECTORS = ("coef", "resid", "recursive", "sup_f_path", "hac_bartlett", "hac_parzen", "hac_qs")
STATISTICS = ("coef", "resid") + SCALARS + ("recursive", "sup_f_path", "hac_bartlett", "hac_parzen", "hac_qs")
CHI2 = {"breusch_godfrey", "breusch_pagan", "breusch_pagan_studentized", "ljung_box", "jarque_bera", "wald",
        "wald_parzen", "wald_qs", "box_pierce", "white", "arch_lm"}


# ----------------------------------------------------------------------------
# Designs
# ----------------------------------------------------------------------------

@dataclass
class Case:
    name: str
    kind: str  # "polynomial", "longley", "co2" or "tiny"
    y: np.ndarray
    X: np.ndarray
    lags: int = 4
    group: int | None = None  # the tiny groups: position in their panel

    @property
    def n(self) -> int:
        return int(self.X.shape[0])

    @property
    def p(self) -> int:
        return int(self.X.shape[1])


def polynomial(degree: int, a: float, b: float, n: int, seed: int = 0) -> Case:
    """1, t, ..., t^degree on n equally spaced points of [a, b]; y a smooth curve plus AR(1) noise of growing scale.

    The response is not a polynomial, the noise is serially correlated and
    heteroskedastic: every test has something to measure.
    """
    t = np.linspace(a, b, n)
    X = np.column_stack([t**k for k in range(degree + 1)])
    s = (t - a) / (b - a)
    rng = np.random.default_rng(seed)
    shocks = rng.standard_normal(n) * (0.5 + s)
    noise = np.empty(n)
    noise[0] = shocks[0]
    for i in range(1, n):
        noise[i] = 0.4 * noise[i - 1] + shocks[i]
    y = np.exp(s) + np.sin(4.0 * s) + 0.05 * noise
    return Case(f"poly{degree}[{a:g},{b:g}] n={n}", "polynomial", y, X)


def longley() -> Case:
    import pandas as pd

    frame = pd.read_csv(DATA / "longley.csv", index_col="year")
    X = np.column_stack([np.ones(len(frame)), frame[["GNPDEFL", "GNP", "UNEMP", "ARMED", "POP", "YEAR"]].values])
    return Case("longley", "longley", frame["TOTEMP"].to_numpy(dtype=np.float64), np.ascontiguousarray(X))


def co2(rows: int | None = None) -> Case:
    """co2 on 1, t, sin(2πt), cos(2πt), the weeks without a measurement left out; the first ``rows`` of the file."""
    import pandas as pd

    frame = pd.read_csv(DATA / "co2.csv")
    if rows is not None:
        frame = frame.iloc[:rows]
    frame = frame.dropna(subset=["co2"])
    X = np.column_stack([np.ones(len(frame)), frame[["t", "sin1", "cos1"]].values])
    name = "co2" if rows is None else f"co2 first {rows} weeks"
    return Case(name, "co2", frame["co2"].to_numpy(dtype=np.float64), np.ascontiguousarray(X))


def tiny_groups(p: int, groups: int = 3, seed: int = 7) -> list[Case]:
    """7-row groups with a constant and p - 1 regressors: random, nearly collinear, and a quadratic trend.

    They run with 2 lags: with the default 4, Breusch-Godfrey and ARCH LM do
    not apply to 7 rows.  Their battery comes from one ``battery_panel`` call
    per group size (``measure_all``), the path of same-sized groups.
    """
    rng = np.random.default_rng(seed + p)
    cases = []
    for g in range(groups):
        Z = rng.standard_normal((7, p - 1))
        if g == 1:  # the last regressor nearly repeats the first
            Z[:, -1] = Z[:, 0] + 1e-3 * rng.standard_normal(7)
        if g == 2:  # a trend and its square (and a random column when p = 4)
            t = np.arange(1.0, 8.0)
            Z[:, 0], Z[:, 1] = t, t * t
        X = np.column_stack([np.ones(7), Z])
        y = X @ rng.standard_normal(p) + rng.standard_normal(7) * np.linspace(0.5, 2.0, 7)
        cases.append(Case(f"7 rows p={p} #{g}", "tiny", y, X, lags=2, group=g))
    return cases


def test_cases() -> list[Case]:
    """The designs of the test suite (the oracle of all of them takes a few seconds)."""
    return ([polynomial(2, 0, 1, 80), polynomial(2, 1, 2, 80), polynomial(4, 1, 2, 80), polynomial(3, 10, 11, 80),
            polynomial(4, 10, 11, 80), polynomial(5, 10, 11, 80), polynomial(3, 10, 11, 2000), longley(), co2()]
            + tiny_groups(3) + tiny_groups(4))


def report_cases(quick: bool = False) -> list[Case]:
    """The benchmark's designs: the test suite's, larger polynomials and the full CO2 regression."""
    if quick:
        return [polynomial(2, 1, 2, 60), polynomial(4, 10, 11, 60), longley(), co2(rows=300)] + tiny_groups(3)[:1]
    return (test_cases()
            + [polynomial(6, 0, 1, 500), polynomial(3, 100, 101, 500), polynomial(5, 10, 11, 500),
               polynomial(2, 1000, 1001, 2000)])


# ----------------------------------------------------------------------------
# Helpers shared by the oracle and the peer
# ----------------------------------------------------------------------------

def default_bandwidth(n: int) -> int:
    """floor(4·(n/100)^(2/9)), in 50 digits."""
    with mp.workdps(DPS):
        return int(mp.floor(4 * (mp.mpf(n) / 100) ** (mp.mpf(2) / 9)))


def supf_range(n: int, r: int, trim: float = 0.15) -> tuple[int, int]:
    """The candidate breaks ceil(trim·n) .. floor((1 - trim)·n), narrowed so each regime keeps r rows."""
    lo = max(math.ceil(trim * n), r)
    hi = min(math.floor((1.0 - trim) * n), n - r)
    return lo, hi


def constant_columns(X: np.ndarray) -> np.ndarray:
    return np.all(X == X[:1], axis=0)


def equilibrated_cond(A: np.ndarray) -> float:
    """2-norm condition number of A with its columns scaled to unit norm (float64 SVD: saturates near 1e16)."""
    A = np.asarray(A, dtype=np.float64)
    norms = np.linalg.norm(A, axis=0)
    A = A[:, norms > 0] / norms[norms > 0]
    s = np.linalg.svd(A, compute_uv=False)
    return float(s[0] / s[-1]) if s[-1] > 0 else math.inf


def lag_weight(kernel: str, x: Any) -> Any:
    """k(x) of the lag window at the scaled lag x = j / (L + 1), in the arithmetic of x (float or mpf)."""
    if kernel == "bartlett":
        return 1 - x if x <= 1 else 0 * x
    if kernel == "parzen":
        if x <= 0.5:
            return 1 - 6 * x * x + 6 * x**3
        return 2 * (1 - x) ** 3 if x <= 1 else 0 * x
    pi = mp.pi if isinstance(x, mp.mpf) else math.pi
    sin, cos = (mp.sin, mp.cos) if isinstance(x, mp.mpf) else (math.sin, math.cos)
    a = 6 * pi * x / 5
    return 25 / (12 * pi**2 * x * x) * (sin(a) / a - cos(a))


# ----------------------------------------------------------------------------
# The oracle
# ----------------------------------------------------------------------------

def _mpv(a: Any) -> list:
    return [mp.mpf(float(v)) for v in np.asarray(a, dtype=np.float64).ravel()]


def _to_float(v: Any) -> Any:
    if isinstance(v, list):
        return np.array([float(x) for x in v])
    return float(v)


@dataclass
class LeastSquares:
    kept: list[int]
    coef: list  # of the kept columns
    resid: list
    rss: Any
    R: list  # R[i] is column i of the Cholesky factor of the kept columns' Gram matrix (length i + 1)


def mp_lstsq(cols: list[list], v: list | None) -> LeastSquares:
    """Least squares of v on the columns (lists of mpf), a column dependent on the earlier ones left out.

    Gram matrix by exact dot products, Cholesky factor column by column: the
    diagonal entry of column j is the norm of its part outside the span of the
    kept columns before it, which decides whether it is kept.
    """
    n, q = len(cols[0]), len(cols)
    tol = max(n, q) * EPS
    with mp.workdps(DPS + GUARD):
        kept: list[int] = []
        R: list[list] = []
        for j, c in enumerate(cols):
            g = [mp.fdot(cols[k], c) for k in kept]
            r = _forward(R, g)
            norm2 = mp.fdot(c, c)
            d2 = norm2 - mp.fdot(r, r)
            if d2 <= 0 or mp.sqrt(d2) <= tol * mp.sqrt(norm2):
                continue
            kept.append(j)
            R.append(r + [mp.sqrt(d2)])
        if v is None:
            return LeastSquares(kept, [], [], None, R)
        z = _forward(R, [mp.fdot(cols[k], v) for k in kept])
        coef = _backward(R, z)
        rows = list(zip(*[cols[k] for k in kept]))
        resid = [vi - mp.fdot(row, coef) for vi, row in zip(v, rows)]
        return LeastSquares(kept, coef, resid, mp.fdot(resid, resid), R)


def _forward(R: list[list], g: list) -> list:
    """Solve R'r = g, R upper triangular stored by columns."""
    r: list = []
    for i in range(len(g)):
        r.append((g[i] - mp.fdot(r, R[i][:i])) / R[i][i])
    return r


def _backward(R: list[list], z: list) -> list:
    """Solve R b = z."""
    k = len(z)
    b = [mp.mpf(0)] * k
    for i in range(k - 1, -1, -1):
        b[i] = (z[i] - mp.fsum(R[j][i] * b[j] for j in range(i + 1, k))) / R[i][i]
    return b


def _inverse_gram(R: list[list]) -> list[list]:
    """(R'R)⁻¹ as rows, from the Cholesky factor."""
    k = len(R)
    columns = []
    for j in range(k):
        e = [mp.mpf(1) if i == j else mp.mpf(0) for i in range(k)]
        columns.append(_backward(R, _forward(R, e)))
    return [[columns[j][i] for j in range(k)] for i in range(k)]


def _mp_solve_spd(A: list[list], b: list) -> list:
    with mp.workdps(DPS + GUARD):
        x = mp.lu_solve(mp.matrix(A), mp.matrix(b))
        return [x[i] for i in range(len(b))]


def givens_recursive(rows: list[list], y: list) -> tuple[int, list, list]:
    """Recursive residuals by Givens rotations of each row into R (p x p) and u = Q'y, in the order given.

    Returns the number of rows before the first residual, the residuals and the
    residual sums of squares of the first k rows, k = 1 ... n: the sums of the
    squared parts of y that the rotations leave outside R (each a recursive
    residual's square once the rows have the full rank).  The rows so far
    have full rank once every |R_jj| exceeds max(k, p)·eps times the norm of
    column j over those rows.
    """
    p = len(rows[0])
    zero = mp.mpf(0)
    R = [[zero] * p for _ in range(p)]
    u = [zero] * p
    colsq = [zero] * p
    start = -1
    w: list = []
    rss: list = []
    total = zero
    for k, (x, yk) in enumerate(zip(rows, y)):
        if start >= 0:
            z = []
            for i in range(p):  # R'z = x
                z.append((x[i] - mp.fsum(R[l][i] * z[l] for l in range(i))) / R[i][i])
            wk = (yk - mp.fdot(z, u)) / mp.sqrt(1 + mp.fdot(z, z))
            w.append(wk)
        x = list(x)
        yk = yk
        for i in range(p):
            if x[i] == 0:
                continue
            r = mp.hypot(R[i][i], x[i])
            c, s = R[i][i] / r, x[i] / r
            R[i][i] = r
            for j in range(i + 1, p):
                R[i][j], x[j] = c * R[i][j] + s * x[j], c * x[j] - s * R[i][j]
            u[i], yk = c * u[i] + s * yk, c * yk - s * u[i]
            x[i] = zero
        total += yk * yk
        for j in range(p):
            colsq[j] += rows[k][j] ** 2
        if start < 0:
            tol = max(k + 1, p) * EPS
            if all(abs(R[j][j]) > tol * mp.sqrt(colsq[j]) for j in range(p)):
                start = k + 1
        rss.append(total)
    return start, w, rss


def _toeplitz_apply(weights: list, U: list[list]) -> list[list]:
    """V[b][s] = Σ_t k_|s-t| U[b][t] for every column b, exact to about 2^-120 of max|k|·max|U[b]|.

    Fixed-point arithmetic done exactly in float64: the weights (|k| <= 1) and
    each column, scaled by a power of two, are rounded to integers of 120
    bits and cut into six signed 20-bit digits; each digit matrix of the
    Toeplitz matrix times each digit column is a float64 product of integers
    whose every partial sum stays below 2^53 for n < 8192, so exact; the
    digit products are then added up as Python integers.
    """
    n = len(U[0])
    if n >= 8192:
        raise ValueError("the exact digit products need n < 8192")
    bits, digits = 20, 6
    total_bits = bits * digits

    def split(values: list, scale_exp: int) -> np.ndarray:
        """Digits d of round(v·2^(total_bits - scale_exp)), |v| < 2^scale_exp: v ≈ Σ_d out[d]·2^(bits·d)·2^(scale_exp - total_bits)."""
        out = np.zeros((digits, len(values)))
        mask = (1 << bits) - 1
        for t, v in enumerate(values):
            N = int(mp.nint(mp.ldexp(v, total_bits - scale_exp)))
            sign, N = (-1 if N < 0 else 1), abs(N)
            for d in range(digits):
                out[d, t] = sign * (N & mask)
                N >>= bits
            assert N == 0, "a value outside its scale"
        return out

    with mp.workdps(DPS + GUARD):
        kdig = split(weights, 1)  # |k| <= 1 < 2
        exps, udig = [], []
        for col in U:
            top = max(abs(v) for v in col)
            e = int(mp.frexp(top)[1]) if top > 0 else 0  # top < 2^e
            exps.append(e)
            udig.append(split(col, e))
        idx = np.abs(np.arange(n)[:, None] - np.arange(n)[None, :])
        stacked = np.concatenate([u.T for u in udig], axis=1)  # n x (columns·digits)
        acc = [[0] * n for _ in U]
        for dk in range(digits):
            prod = kdig[dk][idx] @ stacked  # exact: integers below 2^53
            ints = prod.astype(np.int64)
            for b in range(len(U)):
                row = acc[b]
                for du in range(digits):
                    shift = bits * (dk + du)
                    column = ints[:, b * digits + du].tolist()
                    for s in range(n):
                        row[s] += column[s] << shift
        out = []
        for b, e in enumerate(exps):
            out.append([mp.ldexp(mp.mpf(a), e + 1 - 2 * total_bits) for a in acc[b]])
        return out


class Oracle:
    """Every statistic of one case from its definition, in at least 50 digits (``values``: floats)."""

    def __init__(self, case: Case, dps: int = DPS):
        self.case = case
        self.dps = dps
        with mp.workdps(dps):
            self.values, self.df, self.designs = self._compute()

    def _compute(self) -> tuple[dict, dict, dict]:
        c = self.case
        n, p, L = c.n, c.p, c.lags
        X, y = c.X, c.y
        cols = [_mpv(X[:, j]) for j in range(p)]
        yv = _mpv(y)
        fit = mp_lstsq(cols, yv)
        if len(fit.kept) != p:
            raise ValueError(f"{c.name}: X is rank-deficient")
        e, rss = fit.resid, fit.rss
        ee = rss
        v: dict[str, Any] = {}
        df: dict[str, Any] = {}
        designs: dict[str, list] = {}
        inv = _inverse_gram(fit.R)
        sigma2 = rss / (n - p)
        v["coef"] = fit.coef
        v["coef_se"] = [mp.sqrt(sigma2 * inv[j][j]) for j in range(p)]
        v["resid"] = e
        designs["fit"] = [X]

        # Breusch-Godfrey: e on [X, e_{t-1} ... e_{t-L}], zeros before the sample.
        zero = mp.mpf(0)
        lagged = [[zero] * j + e[:n - j] for j in range(1, L + 1)]
        if n - p - L >= 1:
            aux = mp_lstsq(cols + lagged, e)
            lm = n * (1 - aux.rss / ee)
            v["breusch_godfrey"] = lm
            r2 = lm / n
            v["breusch_godfrey_f"] = (r2 / L) / ((1 - r2) / (n - p - L))
            df["breusch_godfrey_f"] = (L, n - p - L)
            designs["bg"] = [X, np.column_stack([X] + [_to_float(col) for col in lagged])]

        # Breusch-Pagan: g = e²/mean(e²) on a constant and the non-constant columns of X.
        e2 = [ei * ei for ei in e]
        g = [x / (mp.fsum(e2) / n) for x in e2]
        const = constant_columns(X)
        ones = [mp.mpf(1)] * n
        bp_cols = [ones] + [cols[j] for j in range(p) if not const[j]]
        aux = mp_lstsq(bp_cols, g)
        gbar = mp.fsum(g) / n
        tss = mp.fsum((gi - gbar) ** 2 for gi in g)
        ess = tss - aux.rss
        v["breusch_pagan"] = ess / 2
        v["breusch_pagan_studentized"] = n * ess / tss
        df["breusch_pagan"] = len(aux.kept) - 1
        designs["bp"] = [X, np.column_stack([np.ones(n)] + [X[:, j] for j in range(p) if not const[j]])]

        # Chow at the middle of the sample.
        at = n // 2
        seg1 = mp_lstsq([col[:at] for col in cols], yv[:at])
        seg2 = mp_lstsq([col[at:] for col in cols], yv[at:])
        r1, r2 = len(seg1.kept), len(seg2.kept)
        d1, d2 = r1 + r2 - p, n - r1 - r2
        if d1 > 0 and d2 > 0:
            both = (seg1.rss if r1 < at else zero) + (seg2.rss if r2 < n - at else zero)
            v["chow"] = ((rss - both) / d1) / (both / d2)
            df["chow"] = (d1, d2)
        designs["chow"] = [X, X[:at], X[at:]]

        # Recursive residuals, and the tests on them.
        rows = [list(r) for r in zip(*cols)]
        start, w, rss_fwd = givens_recursive(rows, yv)
        m = len(w)
        v["recursive"] = w
        v["start"] = start
        mean = mp.fsum(w) / m
        sd = mp.sqrt(mp.fsum((wi - mean) ** 2 for wi in w) / (m - 1))
        v["recursive_residuals"] = mp.sqrt(m) * mean / sd
        df["recursive_residuals"] = m - 1
        s = mp.sqrt(rss / (n - p))
        path = mp.mpf(0)
        best = mp.mpf(0)
        root = mp.sqrt(m)
        for r, wi in enumerate(w, 1):
            path += wi
            best = max(best, abs(path / s) / (root + 2 * (r - 1) / root))
        v["cusum"] = best
        squares = [wi * wi for wi in w]
        total = mp.fsum(squares)
        run = mp.mpf(0)
        gap = mp.mpf(0)
        for r, sq in enumerate(squares, 1):
            run += sq
            gap = max(gap, abs(run / total - mp.mpf(r) / m))
        v["cusum_squares"] = gap
        v["cusum_squares_m"] = m
        designs["recursive"] = [X] + [X[:k] for k in range(start, n)]

        # Ljung-Box, Box-Pierce (centred autocorrelations), Jarque-Bera, Durbin-Watson.
        ebar = mp.fsum(e) / n
        d = [ei - ebar for ei in e]
        denom = mp.fdot(d, d)
        lb_lags = min(L, n - 1)
        rho = [mp.fdot(d[k:], d[:n - k]) / denom for k in range(1, lb_lags + 1)]
        v["ljung_box"] = n * (n + 2) * mp.fsum(rho[k - 1] ** 2 / (n - k) for k in range(1, lb_lags + 1))
        v["box_pierce"] = n * mp.fsum(r * r for r in rho)
        m2 = denom / n
        m3 = mp.fsum(x**3 for x in d) / n
        m4 = mp.fsum(x**4 for x in d) / n
        v["jarque_bera"] = n * ((m3 / m2**1.5) ** 2 / 6 + (m4 / m2**2 - 3) ** 2 / 24)
        v["durbin_watson"] = mp.fsum((e[t] - e[t - 1]) ** 2 for t in range(1, n)) / ee
        df["ljung_box"] = df["box_pierce"] = lb_lags
        for name in ("ljung_box", "box_pierce", "jarque_bera", "durbin_watson"):
            designs.setdefault("series", [X])

        # HAC covariance of the coefficients and the Wald test of the slopes.
        bw = default_bandwidth(n)
        bw = min(bw, n - 1)
        scores = [[cols[a][t] * e[t] for t in range(n)] for a in range(p)]
        for a in range(p):
            mean_a = mp.fsum(scores[a]) / n
            scores[a] = [x - mean_a for x in scores[a]]
        slopes = [j for j in range(p) if not const[j]]
        for kernel in KERNELS:
            weights = [mp.mpf(1)] + [lag_weight(kernel, mp.mpf(j) / (bw + 1)) for j in range(1, n)]
            if kernel != "qs":
                weights = [wt if j <= bw else zero for j, wt in enumerate(weights)]
            KU = _toeplitz_apply(weights, scores)
            S = [[mp.fdot(scores[a], KU[b]) for b in range(p)] for a in range(p)]
            with mp.workdps(self.dps + GUARD):
                IS = [[mp.fsum(inv[a][k] * S[k][b] for k in range(p)) for b in range(p)] for a in range(p)]
                V = [[mp.fsum(IS[a][k] * inv[k][b] for k in range(p)) for b in range(p)] for a in range(p)]
            v[f"hac_{kernel}"] = V
            if slopes:
                Vs = [[V[a][b] for b in slopes] for a in slopes]
                bs = [fit.coef[j] for j in slopes]
                x = _mp_solve_spd(Vs, bs)
                name = "wald" if kernel == "bartlett" else f"wald_{kernel}"
                v[name] = mp.fdot(bs, x)
                df[name] = len(slopes)
                Vf = np.array([[float(x) for x in row] for row in Vs])
                dsc = 1.0 / np.sqrt(np.diag(Vf))
                designs[name] = [X, Vf * dsc[:, None] * dsc[None, :]]
        designs["hac"] = [X]

        # White: e² on a constant, the non-constant columns, their squares and cross products (vech order).
        lv = [j for j in range(p) if not const[j]]
        wcols = [ones] + [cols[j] for j in lv]
        for ai, a in enumerate(lv):
            for b in lv[ai:]:
                wcols.append([x1 * x2 for x1, x2 in zip(cols[a], cols[b])])
        aux = mp_lstsq(wcols, e2)
        if lv and n > len(aux.kept):
            mean2 = mp.fsum(e2) / n
            tss2 = mp.fsum((x - mean2) ** 2 for x in e2)
            v["white"] = n * (1 - aux.rss / tss2)
            df["white"] = len(aux.kept) - 1
        designs["white"] = [X, np.column_stack([_to_float(wcols[k]) for k in aux.kept])]

        # ARCH LM: e_t² on a constant and e²_{t-1} ... e²_{t-L}, t = L ... n-1.
        rows_a = n - L
        if rows_a > L + 1:
            acols = [[mp.mpf(1)] * rows_a] + [e2[L - k:n - k] for k in range(1, L + 1)]
            aux = mp_lstsq(acols, e2[L:])
            resp = e2[L:]
            mean_a = mp.fsum(resp) / rows_a
            tss_a = mp.fsum((x - mean_a) ** 2 for x in resp)
            v["arch_lm"] = rows_a * (1 - aux.rss / tss_a)
            df["arch_lm"] = len(aux.kept) - 1
            designs["arch"] = [X, np.column_stack([_to_float(col) for col in acols])]

        # RESET: z², z³ of the fitted values over their largest |value|.
        fitted = [yi - ei for yi, ei in zip(yv, e)]
        top = max(abs(f) for f in fitted)
        z = [f / top for f in fitted]
        rcols = cols + [[zi**k for zi in z] for k in range(2, 4)]
        aux = mp_lstsq(rcols, yv)
        q = len(aux.kept) - p
        if q >= 1 and n - p - q >= 1:
            v["reset"] = ((rss - aux.rss) / q) / (aux.rss / (n - p - q))
            df["reset"] = (q, n - p - q)
        designs["reset"] = [X, np.column_stack([_to_float(rcols[k]) for k in aux.kept])]

        # sup-F: Chow F at every candidate break, the regimes' rss from forward and backward recursions.
        lo, hi = supf_range(n, p)
        if hi >= lo:
            _, _, rss_bwd = givens_recursive(rows[::-1], yv[::-1])
            path = []
            for t in range(lo, hi + 1):
                both = rss_fwd[t - 1] + rss_bwd[n - t - 1]
                path.append(((rss - both) / p) / (both / (n - 2 * p)))
            v["sup_f_path"] = path
            v["sup_f"] = max(path)
            df["sup_f"] = (p, n - 2 * p)
            designs["sup_f"] = [X] + [X[:t] for t in range(lo, hi + 1)] + [X[t:] for t in range(lo, hi + 1)]
        v["sup_f_range"] = (lo, hi)

        out = {}
        for key, val in v.items():
            if key in ("start", "cusum_squares_m", "sup_f_range"):
                out[key] = val
            elif key.startswith("hac_"):
                out[key] = np.array([[float(x) for x in row] for row in val])
            elif isinstance(val, list):
                out[key] = _to_float(val)
            else:
                out[key] = float(val)
        return out, df, designs

    DESIGNS = {"coef": "fit", "resid": "fit", "breusch_godfrey": "bg", "breusch_godfrey_f": "bg",
               "breusch_pagan": "bp", "breusch_pagan_studentized": "bp", "chow": "chow",
               "recursive_residuals": "recursive", "cusum": "recursive", "cusum_squares": "recursive",
               "recursive": "recursive", "ljung_box": "series", "jarque_bera": "series", "box_pierce": "series",
               "durbin_watson": "series", "wald": "wald", "wald_parzen": "wald_parzen", "wald_qs": "wald_qs",
               "hac_bartlett": "hac", "hac_parzen": "hac", "hac_qs": "hac", "white": "white", "arch_lm": "arch",
               "reset": "reset", "sup_f": "sup_f", "sup_f_path": "sup_f"}

    @cached_property
    def _conds(self) -> dict[str, float]:
        return {key: max(equilibrated_cond(A) for A in mats) for key, mats in self.designs.items()}

    def cond(self, statistic: str) -> float:
        """The largest equilibrated condition number of the designs the statistic solves."""
        key = self.DESIGNS[statistic]
        return self._conds.get(key, math.nan)


# ----------------------------------------------------------------------------
# The NumPy-QR peer
# ----------------------------------------------------------------------------

def np_lstsq(A: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray, list[int], np.ndarray]:
    """(coef, resid, kept, R) by numpy.linalg.qr, the dependent columns (|R_jj| <= tol·|a_j|) left out."""
    from scipy.linalg import solve_triangular

    n, q = A.shape
    tol = max(n, q) * EPS
    kept: list[int] = []
    for j in range(q):  # |R_jj| of the kept columns and column j: the part of a_j outside their span
        if len(kept) < n:
            R = np.linalg.qr(A[:, kept + [j]], mode="r")
            if abs(R[-1, -1]) > tol * np.linalg.norm(A[:, j]):
                kept.append(j)
    Q, R = np.linalg.qr(A[:, kept])
    coef = solve_triangular(R, Q.T @ v)
    return coef, v - A[:, kept] @ coef, kept, R


def numpy_peer(case: Case) -> dict[str, Any]:
    from scipy.linalg import solve_triangular

    n, p, L = case.n, case.p, case.lags
    X, y = case.X, case.y
    out: dict[str, Any] = {}
    coef, e, _, R = np_lstsq(X, y)
    out["coef"], out["resid"] = coef, e
    rss = float(e @ e)

    if n - p - L >= 1:
        Z = np.column_stack([X] + [np.r_[np.zeros(j), e[:n - j]] for j in range(1, L + 1)])
        _, u, _, _ = np_lstsq(Z, e)
        lm = n * (1.0 - (u @ u) / rss)
        out["breusch_godfrey"] = lm
        out["breusch_godfrey_f"] = (lm / n / L) / ((1 - lm / n) / (n - p - L))

    const = constant_columns(X)
    g = e**2 / np.mean(e**2)
    Zb = np.column_stack([np.ones(n)] + [X[:, j] for j in range(p) if not const[j]])
    _, u, _, _ = np_lstsq(Zb, g)
    tss = float(((g - g.mean()) ** 2).sum())
    ess = tss - float(u @ u)
    out["breusch_pagan"], out["breusch_pagan_studentized"] = ess / 2, n * ess / tss

    at = n // 2
    _, u1, k1, _ = np_lstsq(X[:at], y[:at])
    _, u2, k2, _ = np_lstsq(X[at:], y[at:])
    d1, d2 = len(k1) + len(k2) - p, n - len(k1) - len(k2)
    if d1 > 0 and d2 > 0:
        both = (u1 @ u1 if len(k1) < at else 0.0) + (u2 @ u2 if len(k2) < n - at else 0.0)
        out["chow"] = ((rss - both) / d1) / (both / d2)

    # Recursive residuals: one QR of every prefix.
    w = []
    start = None
    for k in range(p, n):
        Q, Rk = np.linalg.qr(X[:k])
        if start is None:
            if np.all(np.abs(np.diag(Rk)) > max(k, p) * EPS * np.linalg.norm(X[:k], axis=0)):
                start = k
            else:
                continue
        b = solve_triangular(Rk, Q.T @ y[:k])
        z = solve_triangular(Rk.T, X[k], lower=True)
        w.append((y[k] - X[k] @ b) / math.sqrt(1.0 + z @ z))
    w = np.array(w)
    m = len(w)
    out["recursive"] = w
    out["recursive_residuals"] = math.sqrt(m) * w.mean() / w.std(ddof=1)
    s = math.sqrt(rss / (n - p))
    r = np.arange(m)
    out["cusum"] = float(np.max(np.abs(np.cumsum(w) / s) / (math.sqrt(m) + 2 * r / math.sqrt(m))))
    cs = np.cumsum(w**2)
    out["cusum_squares"] = float(np.max(np.abs(cs / cs[-1] - np.arange(1, m + 1) / m)))

    d = e - e.mean()
    denom = d @ d
    lb_lags = min(L, n - 1)
    rho = np.array([d[k:] @ d[:n - k] / denom for k in range(1, lb_lags + 1)])
    ks = np.arange(1, lb_lags + 1)
    out["ljung_box"] = n * (n + 2) * float(np.sum(rho**2 / (n - ks)))
    out["box_pierce"] = n * float(rho @ rho)
    m2, m3, m4 = (float(np.mean(d**k)) for k in (2, 3, 4))
    out["jarque_bera"] = n * ((m3 / m2**1.5) ** 2 / 6 + (m4 / m2**2 - 3) ** 2 / 24)
    out["durbin_watson"] = float(np.sum(np.diff(e) ** 2) / rss)

    # HAC covariance in the coordinates of Q: V = R⁻¹·M·R⁻ᵀ, M the long-run sum of the scores q_t·e_t.
    bw = min(default_bandwidth(n), n - 1)
    Q, R = np.linalg.qr(X)
    U = Q * e[:, None]
    U = U - U.mean(axis=0)
    Rinv = solve_triangular(R, np.eye(p))
    slopes = [j for j in range(p) if not const[j]]
    for kernel in KERNELS:
        M = U.T @ U
        top = n - 1 if kernel == "qs" else bw
        for j in range(1, top + 1):
            G = U[j:].T @ U[:n - j]
            M = M + lag_weight(kernel, j / (bw + 1)) * (G + G.T)
        V = Rinv @ M @ Rinv.T
        out[f"hac_{kernel}"] = V
        if slopes:
            Vs = V[np.ix_(slopes, slopes)]
            name = "wald" if kernel == "bartlett" else f"wald_{kernel}"
            out[name] = float(coef[slopes] @ np.linalg.lstsq(Vs, coef[slopes], rcond=None)[0])

    lv = [j for j in range(p) if not const[j]]
    Wc = [np.ones(n)] + [X[:, j] for j in lv] + [X[:, a] * X[:, b] for i, a in enumerate(lv) for b in lv[i:]]
    W = np.column_stack(Wc)
    _, u, kept, _ = np_lstsq(W, e**2)
    if lv and n > len(kept):
        e2 = e**2
        out["white"] = n * (1.0 - (u @ u) / float(((e2 - e2.mean()) ** 2).sum()))

    rows_a = n - L
    if rows_a > L + 1:
        e2 = e**2
        A = np.column_stack([np.ones(rows_a)] + [e2[L - k:n - k] for k in range(1, L + 1)])
        _, u, _, _ = np_lstsq(A, e2[L:])
        resp = e2[L:]
        out["arch_lm"] = rows_a * (1.0 - (u @ u) / float(((resp - resp.mean()) ** 2).sum()))

    fitted = y - e
    zf = fitted / np.max(np.abs(fitted))
    _, u, kept, _ = np_lstsq(np.column_stack([X, zf**2, zf**3]), y)
    q = len(kept) - p
    if q >= 1 and n - p - q >= 1:
        out["reset"] = ((rss - u @ u) / q) / ((u @ u) / (n - p - q))

    lo, hi = supf_range(n, p)
    if hi >= lo:
        path = []
        for t in range(lo, hi + 1):
            _, u1, _, _ = np_lstsq(X[:t], y[:t])
            _, u2, _, _ = np_lstsq(X[t:], y[t:])
            both = u1 @ u1 + u2 @ u2
            path.append(((rss - both) / p) / (both / (n - 2 * p)))
        out["sup_f_path"] = np.array(path)
        out["sup_f"] = float(max(path))
    return out


# ----------------------------------------------------------------------------
# The engine
# ----------------------------------------------------------------------------

def engine(case: Case, battery_rows: Any = None) -> dict[str, Any]:
    """What the package returns for the case; ``battery_rows``: the case's rows of a panel table instead."""
    import Kestrix.diagnostics as kd

    fit = kd.ols(case.y, case.X)
    out: dict[str, Any] = {"coef": np.asarray(fit.coef), "resid": np.asarray(fit.resid)}
    table = battery_rows
    if table is None:
        table = kd.battery(fit, tests=kd.TESTS + kd.OPTIONAL, lags=case.lags)
    for name in table.index:
        out[name] = float(table.loc[name, "statistic"])
        out["df:" + name] = table.loc[name, "df"]
    for kernel in ("parzen", "qs"):
        other = kd.battery(fit, tests=["wald"], kernel=kernel, lags=case.lags)
        out[f"wald_{kernel}"] = float(other.loc["wald", "statistic"])
        out[f"df:wald_{kernel}"] = other.loc["wald", "df"]
    rr = kd.recursive_residuals(fit)
    out["recursive"] = np.asarray(rr.residuals, dtype=np.float64)
    out["start"] = rr.start
    try:
        sf = kd.sup_f(fit)
        out["sup_f_path"] = np.asarray(sf.statistics)
        out["sup_f_range"] = (int(sf.breaks[0]), int(sf.breaks[-1])) if len(sf.breaks) else None
    except kd.DiagnosticError:
        pass
    for kernel in KERNELS:
        out[f"hac_{kernel}"] = np.asarray(kd.hac_coefficient_covariance(fit, kernel).covariance)
    return out


def panel_rows(cases: list[Case]) -> dict[str, Any]:
    """The battery of same-sized groups from one ``battery_panel`` call, by case name."""
    import pandas as pd

    import Kestrix.diagnostics as kd

    p = cases[0].p
    frames = []
    for g, c in enumerate(cases):
        frame = pd.DataFrame(c.X[:, 1:], columns=[f"x{j}" for j in range(1, p)])
        frame.insert(0, "y", c.y)
        frame.insert(0, "g", g)
        frames.append(frame)
    table = kd.battery_panel(pd.concat(frames, ignore_index=True), "g", "y", [f"x{j}" for j in range(1, p)],
                             workers=1, tests=kd.TESTS + kd.OPTIONAL, lags=cases[0].lags)
    return {c.name: table.xs(g, level=0) for g, c in enumerate(cases)}


# ----------------------------------------------------------------------------
# Errors
# ----------------------------------------------------------------------------

def relative_error(statistic: str, value: Any, oracle: Oracle) -> float:
    """The error of ``value`` against the oracle, relative to the statistic's scale (module docstring)."""
    ref = oracle.values.get(statistic)
    if ref is None or value is None:
        return math.nan
    if statistic == "coef":
        scale = np.maximum(np.abs(ref), np.asarray(oracle.values["coef_se"]))
        return float(np.max(np.abs(np.asarray(value) - ref) / scale))
    if statistic.startswith("hac_"):
        diag = np.sqrt(np.abs(np.diag(ref)))
        return float(np.max(np.abs(np.asarray(value) - ref) / np.outer(diag, diag)))
    if statistic in ("resid", "recursive"):
        value = np.asarray(value)
        if value.shape != ref.shape:
            return math.inf
        return float(np.max(np.abs(value - ref)) / np.max(np.abs(ref)))
    if statistic == "sup_f_path":
        value = np.asarray(value)
        if value.shape != ref.shape:
            return math.inf
        return float(np.max(np.abs(value - ref) / np.maximum(np.abs(ref), 1.0)))
    if not math.isfinite(value):
        return math.inf
    if statistic in CHI2:
        scale = max(abs(ref), float(oracle.df.get(statistic, 1)))
    elif statistic == "cusum_squares":
        scale = max(abs(ref), 1.0 / math.sqrt(oracle.values["cusum_squares_m"]))
    else:
        scale = max(abs(ref), 1.0)
    return abs(value - ref) / scale


@dataclass
class Measured:
    """One case: the oracle, the engine's and the peer's values, and the errors of each statistic."""

    case: Case
    oracle: Oracle
    engine: dict
    peer: dict
    rows: list[dict] = field(default_factory=list)

    def row(self, statistic: str) -> dict:
        for r in self.rows:
            if r["statistic"] == statistic:
                return r
        raise KeyError(statistic)


def peer_bound(numpy_error: float, cond: float) -> float:
    """The largest engine error that still counts as at least as accurate as the NumPy-QR peer."""
    return max(FACTOR * numpy_error, FACTOR * cond * EPS, FLOOR)


def measure(case: Case, battery_rows: Any = None) -> Measured:
    oracle = Oracle(case)
    eng = engine(case, battery_rows)
    peer = numpy_peer(case)
    out = Measured(case, oracle, eng, peer)
    for stat in STATISTICS:
        if stat not in oracle.values:
            continue
        out.rows.append({
            "design": case.name, "statistic": stat, "cond": oracle.cond(stat),
            "oracle": oracle.values[stat] if stat in SCALARS else None,
            "engine_error": relative_error(stat, eng.get(stat), oracle),
            "numpy_error": relative_error(stat, peer.get(stat), oracle),
        })
    return out


def measure_all(cases: list[Case]) -> list[Measured]:
    """Every case; the tiny groups' battery from one panel call per group size."""
    by_size: dict[tuple[int, int], list[Case]] = {}
    for c in cases:
        if c.kind == "tiny":
            by_size.setdefault((c.n, c.p), []).append(c)
    rows: dict[str, Any] = {}
    for group in by_size.values():
        rows.update(panel_rows(group))
    return [measure(c, rows.get(c.name)) for c in cases]
