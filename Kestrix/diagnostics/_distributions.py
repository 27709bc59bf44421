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


def _normal_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


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
# B(t) leaves ±a·(1 + 2t) on [0, 1].  For one straight line α + βt the
# crossing probability of B before time 1 is, by the reflection principle
# with a drift change of measure,
#     P = 1 - Φ(α + β) + exp(-2αβ)·Φ(β - α),
# so with α = a, β = 2a one line is crossed with probability
#     1 - Φ(3a) + exp(-4a²)·Φ(a),
# and either line with twice that (paths crossing both are negligible).
# At 5% this gives the classical a = 0.948.

def cusum_pvalue(a: float) -> float:
    """Asymptotic P(the CUSUM path leaves ±a·boundary) for the statistic a."""
    if math.isnan(a):
        return math.nan
    one_side = 1.0 - _normal_cdf(3.0 * a) + math.exp(-4.0 * a * a) * _normal_cdf(a)
    return min(1.0, max(0.0, 2.0 * one_side))


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


def supf_pvalue(wald: float, k: int, span: float) -> float | None:
    """Asymptotic P(sup over the breaks of the Chow Wald statistic > wald) for k coefficients.

    ``span`` is logit(π₁) - logit(π₀) for the break fractions [π₀, π₁]
    searched (0 for a single break: the chi-square(k) tail).  None when SciPy
    is not installed.
    """
    special = _scipy(_SCALAR)
    linalg = _scipy("scipy.linalg")
    if special is None or linalg is None:
        return None
    if math.isnan(wald) or math.isnan(span):
        return math.nan
    if wald <= 0.0:
        return 1.0
    c = float(wald)
    start_outside = float(special.chdtrc(float(k), c))
    start_inside = float(special.chdtr(float(k), c))
    if span <= 0.0 or math.isinf(c) or start_inside < 1e-18:
        return min(1.0, start_outside + (0.0 if span <= 0.0 else start_inside))
    # Many coefficients concentrate the stationary law in a thin shell: more cells.
    cells = _SUPF_CELLS * -(-k // 48)
    coarse = _exit_probability(c, k, span, cells, linalg, special)
    fine = _exit_probability(c, k, span, 2 * cells, linalg, special)
    leaves = min(1.0, max(0.0, (4.0 * fine - coarse) / 3.0))
    return min(1.0, start_outside + start_inside * leaves)
