"""Tail probabilities and critical values.

Chi-square and F tail probabilities come from ``scipy.special``, imported
only when one is asked for; without SciPy they are None, as is the sup-F
tail, computed from its limit law with ``scipy.linalg``.  The CUSUM test
uses the closed-form asymptotic law of a Brownian motion crossing a line;
the CUSUM of squares the small-sample null law of its statistic, simulated
once and tabulated.  Neither needs SciPy.
"""

from __future__ import annotations

import contextvars
import functools
import importlib
import math
import sys
from typing import Any, Callable

import numpy as np

from . import _cusumsq


_SCALAR = "scipy.special.cython_special"
_UFUNCS = "scipy.special"


def _scipy(name: str) -> Any:
    """A SciPy module, imported on first use; None when SciPy is not installed."""
    module = sys.modules.get(name)
    if module is None:
        try:
            module = importlib.import_module(name)
        except ImportError:
            return None
    return module


def scipy_available() -> bool:
    return _scipy(_UFUNCS) is not None


# A panel computes its chi-square and F tail probabilities in one vectorised
# call over the whole table; while it runs its tests, the scalar functions
# below leave them unset (None) in the thread that set this flag.
DEFER_PVALUES: contextvars.ContextVar[bool] = contextvars.ContextVar("kestrix_defer_pvalues", default=False)


# Scalars go through SciPy's compiled scalar functions: a ufunc call costs
# about a microsecond of dispatch, more than the tail probability itself.

def chi2_sf(x: float, df: float) -> float | None:
    """P(chi2(df) > x), or None when SciPy is not installed."""
    if DEFER_PVALUES.get():
        return None
    special = _scipy(_SCALAR)
    return None if special is None else float(special.chdtrc(float(df), float(x)))


def f_sf(x: float, df1: float, df2: float) -> float | None:
    """P(F(df1, df2) > x), or None when SciPy is not installed."""
    if DEFER_PVALUES.get():
        return None
    special = _scipy(_SCALAR)
    return None if special is None else float(special.fdtrc(float(df1), float(df2), float(x)))


def chi2_sf_many(x: np.ndarray, df: np.ndarray) -> np.ndarray | None:
    """P(chi2(df) > x) elementwise, or None when SciPy is not installed."""
    special = _scipy(_UFUNCS)
    return None if special is None else special.chdtrc(df, x)


def f_sf_many(x: np.ndarray, df1: np.ndarray, df2: np.ndarray) -> np.ndarray | None:
    """P(F(df1, df2) > x) elementwise, or None when SciPy is not installed."""
    special = _scipy(_UFUNCS)
    return None if special is None else special.fdtrc(df1, df2, x)


def _solve_decreasing(sf: Callable[[float], float], alpha: float, lo: float, hi: float) -> float:
    """The c in [lo, hi] with sf(c) = alpha, for a decreasing sf, by bisection."""
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha}")
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if sf(mid) > alpha:
            lo = mid
        else:
            hi = mid
        if hi - lo < 1e-13:
            break
    return 0.5 * (lo + hi)


# --- CUSUM -----------------------------------------------------------------
#
# Under stable coefficients the standardised CUSUM path W_r, r = 1 ... m, is
# asymptotically sqrt(m)·B(r/m) for a standard Brownian motion B.  The test
# rejects when the path leaves the lines ±a·(sqrt(m) + 2·r/sqrt(m)), i.e. when
# B(t) leaves the strip |x| < a·(1 + 2t) on [0, 1].
#
# The density of B killed on leaving the strip |x| < α + βt is a sum of
# images.  A point source at c has, across the line α + βt, the image source
# 2α - c with weight -exp(-2β(α - c)) (the two Gaussians agree on the line),
# and across -(α + βt) the image -2α - c with weight -exp(-2β(α + c)).
# Reflecting the source at 0 alternately across both lines gives sources at
# ±2kα, k = 1, 2, ..., each of weight (-1)^k·exp(-2k²αβ); every source has
# its partner across each line, so the sum vanishes on both:
#     u(1, x) = φ(x) + Σ_k (-1)^k·exp(-2k²αβ)·[φ(x - 2kα) + φ(x + 2kα)].
# Integrated over |x| < α + β, with α = a, β = 2a, the crossing probability is
#     P = 2·Φ̄(3a) + 2·Σ_{k≥1} (-1)^(k+1)·exp(-4k²a²)·[Φ((3 - 2k)a) - Φ̄((3 + 2k)a)].
# Its first term, 2·(Φ̄(3a) + exp(-4a²)·Φ(a)), is the chance of crossing one
# line or the other counted twice; it overstates P for a below about 0.6.
# The k-th term is at most 2·exp(-4k²a²) in size, and the series is summed
# until the rest is below 1e-17.  For a ≤ 0.05 the path cannot stay in the
# strip: P(sup |B| < 3a) < (4/π)·exp(-π²/(72a²)) < 1e-23, so P = 1.
# Tail probabilities are taken from erfc throughout, so P keeps its relative
# accuracy far out in the tail; rounding in the alternating sum stays below
# 1e-15 absolute.  At 5% the boundary is the classical a = 0.948.

_CUSUM_CERTAIN = 0.05


def _normal_sf(x: float) -> float:
    return 0.5 * math.erfc(x / math.sqrt(2.0))


_ERFC = np.frompyfunc(math.erfc, 1, 1)


def _normal_sf_many(x: np.ndarray) -> np.ndarray:
    special = _scipy(_UFUNCS)
    if special is not None:  # the vectorised erfc; the standard library's, one value at a time, otherwise
        return 0.5 * special.erfc(x / math.sqrt(2.0))
    return 0.5 * _ERFC(x / math.sqrt(2.0)).astype(np.float64)


# Terms of the CUSUM series evaluated at once, at most (a bound on the scratch of a large panel).
_CUSUM_BLOCK = 1 << 20


def cusum_pvalues(a: np.ndarray) -> np.ndarray:
    """Asymptotic P(a Brownian motion leaves ±a·(1 + 2t) on [0, 1]) for each CUSUM statistic in a."""
    a = np.asarray(a, dtype=np.float64)
    p = np.full(a.shape, math.nan)
    live = a > _CUSUM_CERTAIN
    p[a <= _CUSUM_CERTAIN] = 1.0
    x = a[live]
    total = 2.0 * _normal_sf_many(3.0 * x)
    # The terms of many statistics at once: (k, x) pairs whose weight can reach 1e-17 (4k²x² within
    # log(2e17), with a margin for rounding), of which those whose weight does are summed; each total
    # takes its terms in the order of k, a term left out added as zero (which leaves it as it is, so the
    # blocks, of statistics of similar size, change no bit).
    limit = math.log(2e17) + 1.0
    order = np.argsort(x)
    start = 0
    while start < x.size:
        k_max = int(math.sqrt(limit / (4.0 * float(x[order[start]]) ** 2))) + 1
        block = order[start:start + max(1, _CUSUM_BLOCK // k_max)]
        start += block.size
        xb, sums = x[block], total[block]
        k, xs = np.broadcast_arrays(np.arange(1, k_max + 1, dtype=np.float64)[:, None], xb)
        reach = 4.0 * k * k * xs * xs <= limit
        k, xs = k[reach], xs[reach]
        weight = 2.0 * np.exp(-4.0 * k * k * xs * xs)
        keep = weight >= 1e-17
        k, xs = k[keep], xs[keep]
        found = np.zeros(weight.shape)
        found[keep] = weight[keep] * (_normal_sf_many((2 * k - 3) * xs) - _normal_sf_many((3 + 2 * k) * xs))
        term = np.zeros(reach.shape)
        term[reach] = found
        for j in range(k_max):
            sums = sums + term[j] if j % 2 == 0 else sums - term[j]
        total[block] = sums
    p[live] = np.minimum(1.0, np.maximum(0.0, total))
    return p


def cusum_pvalue(a: float) -> float:
    """Asymptotic P(a Brownian motion leaves ±a·(1 + 2t) on [0, 1]) for the CUSUM statistic a.

    The same operations as ``cusum_pvalues`` on one statistic, on Python
    numbers where those give the same roundings (products, sums), with one
    vectorised exp and one erfc over all its terms: the same bits, without
    the array bookkeeping a many-statistic call needs.
    """
    x = float(a)
    if not x > _CUSUM_CERTAIN:
        return math.nan if math.isnan(x) else 1.0
    limit = math.log(2e17) + 1.0
    k_max = int(math.sqrt(limit / (4.0 * x ** 2))) + 1
    ks = [k for k in map(float, range(1, k_max + 1)) if 4.0 * k * k * x * x <= limit]
    weights = (2.0 * np.exp(np.array([-4.0 * k * k * x * x for k in ks]))).tolist()
    kept = [(k, w) for k, w in zip(ks, weights) if w >= 1e-17]
    tails = _normal_sf_many(np.array([3.0 * x, *((2 * k - 3) * x for k, _ in kept),
                                      *((3 + 2 * k) * x for k, _ in kept)])).tolist()
    total = 2.0 * tails[0]
    m = len(kept)
    # The k-th term (k = 1, 2, ...) is added for odd k and subtracted for even k, in the order of k; a term
    # left out is zero in the array path, which leaves the sum as it is.
    for j, (k, w) in enumerate(kept):
        term = w * (tails[1 + j] - tails[1 + m + j])
        total = total + term if int(k) % 2 == 1 else total - term
    return min(1.0, max(0.0, total))


@functools.lru_cache(maxsize=32)
def cusum_critical_value(alpha: float = 0.05) -> float:
    """The multiplier a of the CUSUM boundary at significance level alpha (0.948 at 5%)."""
    return _solve_decreasing(cusum_pvalue, alpha, 0.0, 10.0)


# --- CUSUM of squares ------------------------------------------------------
#
# The null law of max_r |s_r - r/m| for m recursive residuals with normal
# errors depends on m alone; it is simulated once and tabulated (_cusumsq).

def cusumsq_critical_value(nrec: int, alpha: float = 0.05) -> float:
    """Half-width c0 of the CUSUM-of-squares boundary i/m ± c0 for nrec recursive residuals.

    From the statistic's small-sample null law (simulated and tabulated);
    P(max |s_i - i/m| > c0) = alpha under the null.
    """
    return _cusumsq.critical_value(nrec, alpha)


def cusumsq_pvalue(gap: float, nrec: int) -> float:
    """P(max |s_i - i/m| >= gap) under the null, for nrec recursive residuals (simulated and tabulated)."""
    return _cusumsq.pvalue(gap, nrec)


# --- sup-F -------------------------------------------------------------------
#
# Under stable coefficients the Chow Wald statistic with the break at the
# fraction π of the sample converges, jointly over π, to
#     Q(π) = |B(π)|² / (π(1 - π)),
# B a k-dimensional Brownian bridge (k the number of coefficients tested).
# With B(π) = (1 - π)·W(π/(1 - π)) for a Brownian motion W and π/(1 - π) = e^u,
# B(π)/sqrt(π(1 - π)) = e^(-u/2)·W(e^u) =: Z(u) is a stationary
# Ornstein-Uhlenbeck process, dZ = -Z/2 du + dB, with N(0, I) margins.  The
# break fractions [π₀, π₁] become an interval of u of length
#     span = logit(π₁) - logit(π₀),
# so sup Q over the candidates is the largest |Z|² over a time span.  Then
#     P(sup Q > c) = P(|Z(0)|² > c) + P(|Z(0)|² ≤ c)·P(exit before span),
# the first term a chi-square(k) tail, the second the probability that the
# radius R = |Z|, started from its stationary law inside the ball of radius
# sqrt(c), reaches the sphere within the span.  R is a diffusion with
# generator
#     L = ½ d²/dr² + ((k - 1)/(2r) - r/2) d/dr = (1/(2m)) d/dr (m d/dr),
#     m(r) = r^(k-1) exp(-r²/2)
# (m is the stationary density of R up to a constant), absorbed at sqrt(c);
# the origin is never reached for k ≥ 2 and reflects for k = 1, a zero flux
# either way.  Discretised by finite volumes on n cells (flux m·v' at the
# faces, the absorbing sphere half a cell beyond the last centre), L = -W⁻¹S
# with W the cells' masses and S symmetric; with B = W^(-1/2) S W^(-1/2) =
# Σ λⱼ ψⱼψⱼᵀ and s = W^(1/2)·1,
#     P(exit before span) = Σⱼ (ψⱼ·s)² (1 - exp(-λⱼ span)) / Σ W,
# a sum of positive terms that keeps its relative accuracy in the far tail.
# The error is O(h²); Richardson extrapolation over 64 and 128 cells, against
# the same over 512 and 1024 for k up to 60 and spans up to 9, leaves a
# relative error below 1.5e-4 for p-values above 1e-2, below 2e-3 above
# 1e-6 and below 1e-2 above 1e-10 (an absolute 1e-12 below), far inside the
# error of the asymptotic law itself.  In the far tail the slowest rate is
# of the order of the p-value, below what an eigensolver resolves; it comes
# from inverse iteration instead, whose solves add positive terms only.

_SUPF_CELLS = 64


def _exit_probability(c: float, k: int, span: float, cells: int, linalg: Any, special: Any) -> float:
    """P(R leaves the ball of radius sqrt(c) within span | R(0) stationary inside), on `cells` cells."""
    radius = math.sqrt(c)
    # The cells start where R has 1e-20 of its stationary mass below, with a
    # zero flux there: for large k the mass near the origin is far below
    # rounding, and its cells (m rising by orders of magnitude from one to
    # the next) would only spoil the conditioning.
    inner = min(math.sqrt(2.0 * float(special.gammaincinv(0.5 * k, 1e-20))), 0.5 * radius)
    h = (radius - inner) / cells
    centres = inner + (np.arange(cells) + 0.5) * h
    faces = inner + np.arange(1, cells) * h  # between cell i and i + 1

    def log_m(r: np.ndarray) -> np.ndarray:
        return (k - 1) * np.log(r) - 0.5 * r * r

    log_w = log_m(centres) + math.log(h)
    # Logarithms throughout: m spans hundreds of orders of magnitude for large k.
    log_flux = log_m(faces) - math.log(2.0 * h)
    log_rim = float(log_m(np.array([radius]))[0]) - math.log(h)
    diag = np.zeros(cells)
    diag[:-1] += np.exp(log_flux - log_w[:-1])
    diag[1:] += np.exp(log_flux - log_w[1:])
    diag[-1] += math.exp(log_rim - log_w[-1])
    off = -np.exp(log_flux - 0.5 * (log_w[:-1] + log_w[1:]))
    lam, psi = linalg.eigh_tridiagonal(diag, off, lapack_driver="stemr")
    if lam[0] < 1e-2 * lam[1]:
        # A high threshold: the slowest rate is tiny, and the eigensolver
        # only gets it to an absolute eps·|B|, which is most of it.
        top = log_w.max()
        lam[0] = _slowest_rate(np.exp(log_w - top), np.exp(log_flux - top), math.exp(log_rim - top), lam[0])
    s = np.exp(0.5 * (log_w - log_w.max()))
    weight = (s @ psi) ** 2
    return float(np.sum(weight * -np.expm1(-np.maximum(lam, 0.0) * span)) / np.sum(s * s))


def _slowest_rate(w: np.ndarray, g: np.ndarray, rim: float, guess: float) -> float:
    """The smallest λ of S x = λ W x to full relative accuracy, by inverse iteration.

    S is the conductance matrix of the cells (g between neighbours, ``rim``
    to the absorbing sphere, no flux at the inner end).  S x = b for b ≥ 0
    has a solution made of sums of positive terms: the flux through each face
    is the source below it, so the potential is a sum of flux/conductance
    from the rim inwards.  With the gap to the next rate of at least a factor
    100, a few steps converge.
    """
    if rim == 0.0 or not np.all(g > 0.0):
        return guess  # conductances below the range of doubles: nothing better to offer
    x = np.ones_like(w)
    rate = guess
    for _ in range(6):
        flux = np.cumsum(w * x)
        nxt = np.empty_like(x)
        nxt[-1] = flux[-1] / rim
        nxt[:-1] = nxt[-1] + np.cumsum((flux[:-1] / g)[::-1])[::-1]
        rate = float(np.dot(nxt, w * x) / np.dot(nxt, w * nxt))
        x = nxt / nxt.max()
    return rate


# In the far tail the cells no longer resolve the law: near the sphere m
# falls by a factor exp(-sqrt(c)·h) across one cell.  There the exit rate
# and the mass next to the sphere have closed forms instead.  In x = r²/2
# the generator is x·d²/dx² + (k/2 - x)·d/dx, and the function F with
# L F = 1, F(0) = 0 is
#     F(x) = ∫_0^x e^s s^(-k/2) γ(k/2, s) ds,
# γ the lower incomplete gamma function.  The eigenfunction of the slowest
# rate λ₀ is M(-λ₀, k/2, x) = 1 - λ₀·F(x) + O(λ₀²·F·log x), Kummer's function,
# vanishing on the sphere x_b = c/2, so λ₀ = 1/F(x_b) up to a relative
# O(λ₀·log x_b).  Started from the stationary law inside the ball, the
# radius leaves within the span with probability
#     P(exit) = (1 - q)·(1 - exp(-λ₀·span)) + q,    q = ∫ φ(x)² π(dx),
# φ = F/F(x_b) the chance of reaching the sphere from x before settling
# into the bulk, π the law of x (Gamma(k/2)): q is the mass that leaves
# through the boundary layer within a time of order 1/x_b, the rest leaves
# at the rate λ₀.  Up to terms of order λ₀², exp(-(x_b - k/2)·span)·q and
# λ₀·q this is exact; it is used where the chi-square tail is below 1e-8
# and (x_b - k/2)·span ≥ 10, against the cells' law on 1024 and 2048 cells
# it agrees to 1e-6 there and keeps that relative accuracy down to the
# smallest double.  Every quantity is carried in logarithms: e^(-x_b)
# underflows long before the p-value does.

_FAR_TAIL_CHI2 = 1e-8
_FAR_TAIL_SPAN = 10.0


def _log_chi2_sf(c: float, k: int, special: Any) -> float:
    """log P(chi2(k) > c), to full relative accuracy where the tail underflows."""
    s, x = 0.5 * k, 0.5 * c
    q = float(special.gammaincc(s, x))
    if q > 1e-280 or x <= s + 1.0:
        return math.log(q) if q > 0.0 else -math.inf
    # Legendre's continued fraction of Γ(s, x)·e^x·x^(-s), by the modified Lentz method.
    tiny = 1e-300
    b = x + 1.0 - s
    c_frac, d = 1.0 / tiny, 1.0 / b
    value = d
    for i in range(1, 100_000):
        a = -i * (i - s)
        b += 2.0
        d = a * d + b
        d = tiny if abs(d) < tiny else d
        c_frac = b + a / c_frac
        c_frac = tiny if abs(c_frac) < tiny else c_frac
        d = 1.0 / d
        step = d * c_frac
        value *= step
        if abs(step - 1.0) < 1e-16:
            break
    return -x + s * math.log(x) - float(special.gammaln(s)) + math.log(value)


def _log_far_tail_exit(c: float, k: int, span: float, special: Any, integrate: Any) -> float:
    """log P(R leaves the ball within span | stationary inside) by the exit rate and the boundary layer."""
    s, xb = 0.5 * k, 0.5 * c
    log_gamma = float(special.gammaln(s))

    # e^(s' - x_b)·s'^(-k/2)·γ(k/2, s') at s' = x_b - v: F' below the sphere, scaled by e^(-x_b).
    def slope(v: float) -> float:
        at = xb - v
        if at <= 0.0:
            return math.exp(-v) / s
        return math.exp(-v + log_gamma - s * math.log(at)) * float(special.gammainc(s, at))

    # Beyond 200 below the sphere e^(-v) leaves nothing a double can hold.
    def below(y: float) -> float:
        return integrate.quad(slope, y, min(xb, y + 200.0), limit=200, epsabs=0.0, epsrel=1e-12)[0]

    scaled_f = below(0.0)  # F(x_b)·e^(-x_b)
    log_rate = -xb - math.log(scaled_f)
    # q = π(x_b)·∫ φ(x_b - y)²·e^y·((x_b - y)/x_b)^(k/2-1) dy; the integrand falls like e^(-y).
    layer = integrate.quad(lambda y: (below(y) / scaled_f) ** 2 * math.exp(y + (s - 1.0) * math.log1p(-y / xb)),
                           0.0, min(xb, 120.0), limit=200, epsabs=0.0, epsrel=1e-10)[0]
    log_q = (s - 1.0) * math.log(xb) - xb - log_gamma + math.log(layer)
    rate_span = math.exp(log_rate) * span
    if rate_span > 1e-3:
        leave = -math.expm1(-rate_span)
        return math.log(leave + math.exp(log_q) * (1.0 - leave))
    return float(np.logaddexp(math.log(rate_span) if rate_span > 0.0 else log_rate + math.log(span), log_q))


#: log of the smallest positive double: a p-value below it is reported as 0.
LOG_TINIEST = math.log(5e-324)


def supf_tail(wald: float, k: int, span: float) -> tuple[float, float] | None:
    """(P, log P) for ``supf_pvalue``: log P stays finite however far in the tail, where P is 0.

    None when SciPy is not installed.
    """
    special = _scipy(_SCALAR)
    linalg = _scipy("scipy.linalg")
    integrate = _scipy("scipy.integrate")
    if special is None or linalg is None or integrate is None:
        return None
    if math.isnan(wald) or math.isnan(span):
        return math.nan, math.nan
    if wald <= 0.0:
        return 1.0, 0.0
    c = float(wald)
    if math.isinf(c):
        return 0.0, -math.inf
    outside = float(special.chdtrc(float(k), c))
    if span <= 0.0:
        return outside, math.log(outside) if outside > 0.0 else _log_chi2_sf(c, k, special)
    if outside < _FAR_TAIL_CHI2 and (0.5 * c - 0.5 * k) * span >= _FAR_TAIL_SPAN:
        log_outside = _log_chi2_sf(c, k, special)
        log_exit = _log_far_tail_exit(c, k, span, special, integrate)
        log_p = float(np.logaddexp(log_outside, math.log1p(-outside) + log_exit))
        return from_log(log_p), log_p  # type: ignore[return-value]
    inside = float(special.chdtr(float(k), c))
    if inside < 1e-18:  # the ball is all but empty: the path starts outside or leaves at once
        return min(1.0, outside + inside), math.log(min(1.0, outside + inside))
    # Many coefficients concentrate the stationary law in a thin shell: more cells.
    cells = _SUPF_CELLS * -(-k // 48)
    with np.errstate(over="ignore", under="ignore", invalid="ignore", divide="ignore"):
        coarse = _exit_probability(c, k, span, cells, linalg, special)
        fine = _exit_probability(c, k, span, 2 * cells, linalg, special)
    leaves = (4.0 * fine - coarse) / 3.0
    # Far in the tail over a span too short for the boundary-layer law the cells' exit probability may
    # not be finite; the chi-square tail alone is then a lower bound.
    leaves = min(1.0, max(0.0, leaves)) if math.isfinite(leaves) else 0.0
    p = min(1.0, outside + inside * leaves)
    return p, math.log(p) if p > 0.0 else _log_chi2_sf(c, k, special)


def supf_pvalue(wald: float, k: int, span: float) -> float | None:
    """Asymptotic P(sup over the breaks of the Chow Wald statistic > wald) for k coefficients.

    ``span`` is logit(π₁) - logit(π₀) for the break fractions [π₀, π₁]
    searched (0 for a single break: the chi-square(k) tail).  None when SciPy
    is not installed.  A p-value below the smallest positive double is 0
    (``supf_tail`` gives its logarithm).
    """
    tail = supf_tail(wald, k, span)
    return None if tail is None else tail[0]


def from_log(log_p: float | None) -> float | None:
    """The probability of a log-probability: 0 below the smallest positive double, None stays None."""
    if log_p is None or math.isnan(log_p):
        return log_p
    return math.exp(log_p) if log_p >= LOG_TINIEST else 0.0
