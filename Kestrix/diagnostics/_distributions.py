"""Tail probabilities and critical values.

Chi-square and F tail probabilities come from ``scipy.special``, imported
only when one is asked for; without SciPy they are None.  The CUSUM test
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
