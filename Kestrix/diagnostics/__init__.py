"""Regression and time-series diagnostics on top of the compiled kernels.

One function per test, each returning a frozen result object::

    from Kestrix import diagnostics as kd

    res = kd.breusch_godfrey(y, X, lags=4)
    res.statistic, res.df, res.pvalue, res.status, res.fallback
    res.verdict()            # 'reject: serial correlation' or 'not rejected'

Every statistic is computed by a kernel of ``Kestrix._ckernels.diag._diag``.
When the kernel cannot factorise its normal equations (a rank-deficient
design, for instance a duplicated regressor) it hands over, and the whole
statistic is recomputed by a NumPy least-squares path; the result says so
(``fallback=True``).  Input the kernels refuse raises ValueError with a
plain explanation.

SciPy (chi-square and F tail probabilities), pandas (Series and DataFrame
input) and matplotlib (the report's figure) are optional.  Without SciPy the
chi-square and F p-values are None.

``python -m Kestrix.diagnostics`` (or ``kestrix-diag``) prints the whole
battery for an OLS regression read from a CSV file, or on the bundled US
macro data.
"""

from ._api import (
    KERNELS,
    breusch_godfrey,
    breusch_pagan,
    chow,
    cusum,
    cusum_squares,
    default_bandwidth,
    hac_covariance,
    jarque_bera,
    ljung_box,
    recursive_residuals,
    wald,
)
from ._distributions import cusum_critical_value, cusumsq_critical_value
from ._results import CusumResult, DiagnosticResult, HACResult, RecursiveResidualsResult

__all__ = [
    "KERNELS",
    "CusumResult",
    "DiagnosticResult",
    "HACResult",
    "RecursiveResidualsResult",
    "breusch_godfrey",
    "breusch_pagan",
    "chow",
    "cusum",
    "cusum_critical_value",
    "cusum_squares",
    "cusumsq_critical_value",
    "default_bandwidth",
    "hac_covariance",
    "jarque_bera",
    "ljung_box",
    "recursive_residuals",
    "wald",
]
