"""Tail probabilities and critical values.

Chi-square and F tail probabilities come from ``scipy.special``, imported
only when one is asked for; without SciPy they are None.  The two stability tests have
closed-form asymptotic laws (Brownian motion and Brownian bridge crossing a
line), so their p-values and boundaries are computed here from the standard
library alone.
"""

from __future__ import annotations

import functools
import importlib
import math
import sys
from typing import Any, Callable

import numpy as np


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


# Scalars go through SciPy's compiled scalar functions: a ufunc call costs
# about a microsecond of dispatch, more than the tail probability itself.

def chi2_sf(x: float, df: float) -> float | None:
    """P(chi2(df) > x), or None when SciPy is not installed."""
    special = _scipy(_SCALAR)
    return None if special is None else float(special.chdtrc(float(df), float(x)))


def f_sf(x: float, df1: float, df2: float) -> float | None:
    """P(F(df1, df2) > x), or None when SciPy is not installed."""
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
# s_r = (w_1² + ... + w_r²) / (w_1² + ... + w_m²) is compared with its
# expectation r/m.  With normal errors each w² is chi2(1), which has the same
# mean-to-variance ratio as half of a chi2(2) (exponential) variable; and the
# partial sums of N + 1 exponentials over their total are the order
# statistics of N uniforms.  So max_r |s_r - r/m| is approximately the
# largest two-sided distance D between the empirical distribution function
# of N = m/2 - 1 uniforms and the uniform one, whose limit is sup|bridge|:
#     P(sqrt(N)·D > c) -> 2·Σ_{k>=1} (-1)^(k-1)·exp(-2k²c²).
# The first correction of the one-sided expansion,
#     P(sqrt(N)·D⁺ >= c) = exp(-2c²)·(1 - 2c/(3·sqrt(N)) + O(1/N)),
# equals exp(-2(c + 1/(6·sqrt(N)))²) to that order; it shifts the statistic
# by 1/(6·sqrt(N)).  Hence the 5% boundary half-width
#     c0 = c∞/sqrt(N) - 1/(6N),   c∞ = 1.3581 (≈ sqrt(ln(2/α)/2)),
# and the p-value of D is the bridge tail at sqrt(N)·D + 1/(6·sqrt(N)).
# The chi2(1) terms are more skewed than exponentials, and the true small-
# sample quantiles lie a little below c0: the test errs on the conservative
# side (with normal errors its size is about 3-4% for m between 100 and 200).

def _bridge_sup_sf(c: float) -> float:
    """P(sup |Brownian bridge| > c)."""
    if c <= 0.2:  # the series converges slowly here, and the value is 1 to 10 digits
        return 1.0
    total = 0.0
    for k in range(1, 101):
        term = math.exp(-2.0 * k * k * c * c)
        total += term if k % 2 else -term
        if term < 1e-17:
            break
    return min(1.0, max(0.0, 2.0 * total))


def _cusumsq_size(nrec: int) -> float:
    n_eff = nrec / 2.0 - 1.0
    if n_eff <= 0.0:
        raise ValueError(
            f"too few observations: the CUSUM of squares needs at least 3 recursive residuals, got {nrec}"
        )
    return n_eff


def cusumsq_critical_value(nrec: int, alpha: float = 0.05) -> float:
    """Half-width c0 of the CUSUM-of-squares boundary for nrec recursive residuals."""
    n_eff = _cusumsq_size(nrec)
    c_inf = _solve_decreasing(_bridge_sup_sf, alpha, 0.2, 10.0)
    return c_inf / math.sqrt(n_eff) - 1.0 / (6.0 * n_eff)


def cusumsq_pvalue(gap: float, nrec: int) -> float:
    """Approximate p-value of the largest gap between s_r and r/m."""
    if math.isnan(gap):
        return math.nan
    n_eff = _cusumsq_size(nrec)
    root = math.sqrt(n_eff)
    return _bridge_sup_sf(root * gap + 1.0 / (6.0 * root))
