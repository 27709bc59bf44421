"""Regression and time-series diagnostics on top of the compiled kernels.

Fit once, then run one test or the whole battery::

    from Kestrix import diagnostics as kd

    fit = kd.ols(y, X)                 # X as fitted, constant included
    kd.battery(fit)                    # every test, one row each (pandas)
    res = kd.breusch_godfrey(fit, lags=4)
    res.statistic, res.df, res.pvalue, res.status, res.fallback, res.note
    res.verdict()                      # 'reject: serial correlation' or 'not rejected'

Every regression test also takes ``(y, X)`` and fits it once.  The fit
and every statistic come from the battery engine
(``Kestrix._ckernels.battery._engine``): Householder QR with the rank
decided on equilibrated columns, every sum in a fixed order, so the numbers
are the same bits on every machine, for one regression or a panel of many.
Input that cannot be tested raises ``DiagnosticError`` (a ValueError) with a
plain explanation.

SciPy (chi-square and F tail probabilities) and matplotlib (the report's
figure) are optional.  Without SciPy the chi-square and F p-values are None.

``python -m Kestrix.diagnostics`` (or ``kestrix-diag``) prints the battery
for an OLS regression read from a CSV file, or on the bundled US macro data.
"""

from importlib.metadata import PackageNotFoundError, version

from ._api import (
    arch_lm,
    box_pierce,
    breusch_godfrey,
    breusch_pagan,
    chow,
    cusum,
    cusum_squares,
    durbin_watson,
    hac_coefficient_covariance,
    hac_covariance,
    jarque_bera,
    ljung_box,
    recursive_residuals,
    reset,
    sup_f,
    wald,
    wald_coefficients,
    white,
)
from ._battery import CUSUM_SCALES, OPTIONAL, TESTS, Options, battery
from ._registry import REGISTRY
from ._distributions import cusum_critical_value, cusumsq_critical_value, cusumsq_pvalue
from ._fit import OLSFit, ols
from ._panel import battery_panel
from ._results import CusumResult, DiagnosticResult, HACResult, RecursiveResidualsResult, SupFResult
from ._status import DiagnosticError, Status
from ._windows import KERNELS, WINDOWS, default_bandwidth

try:
    __version__ = version("Kestrix")
except PackageNotFoundError:  # pragma: no cover - running from a source tree without metadata
    __version__ = "unknown"

__all__ = [
    "CUSUM_SCALES",
    "KERNELS",
    "OPTIONAL",
    "REGISTRY",
    "TESTS",
    "WINDOWS",
    "CusumResult",
    "DiagnosticError",
    "DiagnosticResult",
    "HACResult",
    "OLSFit",
    "Options",
    "RecursiveResidualsResult",
    "Status",
    "SupFResult",
    "__version__",
    "arch_lm",
    "battery",
    "battery_panel",
    "box_pierce",
    "breusch_godfrey",
    "breusch_pagan",
    "chow",
    "cusum",
    "cusum_critical_value",
    "cusum_squares",
    "cusumsq_critical_value",
    "cusumsq_pvalue",
    "default_bandwidth",
    "durbin_watson",
    "hac_coefficient_covariance",
    "hac_covariance",
    "jarque_bera",
    "ljung_box",
    "ols",
    "recursive_residuals",
    "reset",
    "sup_f",
    "wald",
    "wald_coefficients",
    "white",
]
