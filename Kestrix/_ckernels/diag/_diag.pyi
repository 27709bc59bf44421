"""Type stubs of the compiled diagnostic kernels.

Every array parameter accepts anything ``numpy.ascontiguousarray(a,
dtype=numpy.float64)`` accepts; a few functions read ``a.shape`` from the
argument as passed and so need a real array (``_Shaped``).  Integer
parameters go through ``__int__`` (a float is truncated), the two tolerances
through ``__float__`` or ``__index__``.  The first element of every tuple is
the kernel status: 0 OK, 1 ``FALLBACK``, negative for refused input.
"""

from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex, SupportsInt, type_check_only

import numpy
import numpy.typing as npt

np = numpy

FALLBACK: Final = 1

_Float64Array = npt.NDArray[numpy.float64]

@type_check_only
class _Shaped(Protocol):
    """An array-like whose ``shape`` the binding reads before converting it."""

    @property
    def shape(self) -> tuple[int, ...]: ...
    def __array__(self) -> numpy.ndarray[Any, Any]: ...

def bg_stat(eps: npt.ArrayLike, X: npt.ArrayLike, lags: SupportsInt) -> tuple[int, float]:
    """Breusch-Godfrey LM statistic. Returns (status, stat)."""

def bp_aux(eps: npt.ArrayLike, X_aug: npt.ArrayLike) -> tuple[int, float, float]:
    """Breusch-Pagan auxiliary regression. Returns (status, rss, tss)."""

def chow_stat(y: npt.ArrayLike, X: npt.ArrayLike, t_break: SupportsInt) -> tuple[int, float]:
    """Chow break-point F statistic. Returns (status, stat)."""

def recursive_residuals(y: npt.ArrayLike, X: npt.ArrayLike) -> tuple[int, _Float64Array]:
    """Brown-Durbin-Evans recursive residuals. Returns (status, w)."""

def cusum_series(y: npt.ArrayLike, X: npt.ArrayLike) -> tuple[int, _Float64Array]:
    """Standardized CUSUM series. Returns (status, series)."""

def cusum_stat(y: npt.ArrayLike, X: npt.ArrayLike) -> tuple[int, float]:
    """CUSUM statistic. Returns (status, stat)."""

def cusumsq_stat(y: npt.ArrayLike, X: npt.ArrayLike) -> tuple[int, int, float]:
    """CUSUM-of-squares statistic. Returns (status, n, stat)."""

def jb_stat(x: npt.ArrayLike) -> tuple[int, numpy.float64]:
    """Jarque-Bera normality statistic. Returns (status, stat)."""

def acorr(x: _Shaped, L: SupportsInt) -> tuple[int, _Float64Array]:
    """Autocorrelation of x up to lag L. Returns (status, out(L+1))."""

def lb_stat(x: npt.ArrayLike, L: SupportsInt) -> tuple[int, numpy.float64]:
    """Ljung-Box statistic for x up to lag L. Returns (status, stat)."""

def hac_estimator_matmul(r: npt.ArrayLike, kernel_id: SupportsInt, L: SupportsInt) -> _Float64Array:
    """HAC long-run covariance (Gamma_0 + sum_j w_j(Gamma_j + Gamma_j')) / n."""

def fill_mean_ax0(x: npt.ArrayLike) -> _Float64Array:
    """Column means of x over axis 0. Returns mean(p)."""

def fill_centered_ax0(x: _Shaped, mean: npt.ArrayLike) -> _Float64Array:
    """x with its column means subtracted. Returns centered(n, p)."""

def wald_stat_from_mean_and_cov(
    mean: _Shaped, target: npt.ArrayLike, omega: npt.ArrayLike, n: SupportsInt
) -> tuple[int, float]:
    """Wald statistic n * dev^T omega^-1 dev with dev = mean - target."""

def symmetric_outer_prod_2dim(x: npt.ArrayLike) -> tuple[int, _Float64Array]:
    """Per-row vech of the outer product x_t x_t'. Returns (status, out(n, q))."""

def fill_symmetric_target_vec(
    target: npt.ArrayLike, atol: SupportsFloat | SupportsIndex, rtol: SupportsFloat | SupportsIndex
) -> tuple[int, _Float64Array]:
    """Pack the upper triangle of a symmetric target into a vech vector."""
