"""Result objects of the diagnostics.

Results are plain records: cheap to build (a test given a fitted model costs
little more than its kernel call), read-only by convention, and convertible
to a dict or a one-row pandas table.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._status import status_name

#: The start of the ``distribution`` of a test that has no p-value by design
#: (its null law depends on X, or is not computed here).
NO_PVALUE = "no p-value"


def _fmt(value: float | None) -> str:
    if value is None:
        return "None"
    return f"{value:.6g}"


@dataclass(eq=False, repr=False, slots=True)
class DiagnosticResult:
    """One test: its statistic, null distribution and how it was computed.

    ``status`` is the status code (0 OK, -5 for the small-sample warning of
    Jarque-Bera); ``fallback`` is always False: every statistic comes from
    the battery engine (kept for callers that read it).  ``pvalue`` is None
    when SciPy, needed for chi-square and F
    tails, is not installed.  ``note`` says what the numbers alone do not:
    a clamped lag count, a rank-deficient design, gaps in the sample.
    """

    test: str
    statistic: float
    df: int | tuple[int, int] | None
    pvalue: float | None
    status: int
    fallback: bool
    nobs: int
    distribution: str
    alternative: str
    critical_value: float | None = None
    note: str | None = None

    @property
    def path(self) -> str:
        """Always "engine": the one path every statistic takes."""
        return "engine"

    def reject(self, alpha: float = 0.05) -> bool | None:
        """Whether the null is rejected at level alpha; None without a p-value."""
        if self.pvalue is None or math.isnan(self.pvalue):
            return None
        return self.pvalue < alpha

    def verdict(self, alpha: float = 0.05) -> str:
        decision = self.reject(alpha)
        if decision is None:
            if self.pvalue is None:
                if self.distribution.startswith(NO_PVALUE):
                    return "no p-value (see the statistic)"
                return "no p-value: SciPy is not installed"
            return "undefined (p-value is NaN)"
        return f"reject: {self.alternative}" if decision else "not rejected"

    def to_dict(self) -> dict[str, Any]:
        """The scalar fields, with the 5% decision and verdict, as a dict."""
        return {
            "test": self.test,
            "statistic": self.statistic,
            "df": self.df,
            "pvalue": self.pvalue,
            "status": self.status,
            "fallback": self.fallback,
            "reject_5pct": self.reject(0.05),
            "verdict": self.verdict(0.05),
            "note": self.note,
            "nobs": self.nobs,
            "distribution": self.distribution,
            "critical_value": self.critical_value,
        }

    def to_frame(self) -> Any:
        """The same fields as a one-row pandas DataFrame indexed by the test name."""
        import pandas as pd

        row = self.to_dict()
        name = row.pop("test")
        return pd.DataFrame([row], index=pd.Index([name], name="test"))

    def _describe_df(self) -> str:
        if self.df is None:
            return ""
        if isinstance(self.df, tuple):
            return f", df={self.df[0]}, {self.df[1]}"
        return f", df={self.df}"

    def __repr__(self) -> str:
        parts = [
            f"{type(self).__name__}({self.test}: statistic={_fmt(self.statistic)}{self._describe_df()}",
            f"p-value={_fmt(self.pvalue)} [{self.distribution}]",
        ]
        if self.critical_value is not None:
            parts.append(f"5% critical value={_fmt(self.critical_value)}")
        parts.append(f"nobs={self.nobs}, status={self.status} ({status_name(self.status)})")
        text = ", ".join(parts)
        if self.note:
            text += f"; note: {self.note}"
        return text + ")"


@dataclass(eq=False, repr=False, slots=True)
class RecursiveResidualsResult(DiagnosticResult):
    """Recursive residuals and the t test of their mean.

    ``residuals`` holds one value per observation from ``start`` on (a pandas
    Series carrying the input's index when the input had one).
    """

    residuals: Any = None
    start: int = 0


@dataclass(eq=False, repr=False, slots=True)
class CusumResult(DiagnosticResult):
    """A CUSUM-type statistic with its path and 5% boundaries.

    ``series``, ``lower`` and ``upper`` have one value per recursive residual;
    ``index`` labels them (positions in the sample, or the input's index).
    """

    series: np.ndarray | None = None
    lower: np.ndarray | None = None
    upper: np.ndarray | None = None
    index: Any = None

    def path_frame(self) -> Any:
        """The path and its 5% boundaries as a pandas DataFrame indexed like ``index``."""
        import pandas as pd

        return pd.DataFrame({"path": self.series, "lower": self.lower, "upper": self.upper},
                            index=pd.Index(self.index))


@dataclass(eq=False, repr=False, slots=True)
class SupFResult(DiagnosticResult):
    """The largest Chow F over the candidate breaks, and where it is reached.

    ``position`` is the row where the second regime starts at the largest F
    (counted from 0) and ``break_at`` its label; ``breaks`` are the candidate
    positions and ``statistics`` the Chow F at each (NaN where the kernel could not
    compute it).
    """

    position: int = 0
    break_at: Any = None
    breaks: np.ndarray | None = None
    statistics: np.ndarray | None = None


@dataclass(frozen=True, eq=False)
class HACResult:
    """A long-run covariance matrix.

    ``bandwidth`` is the highest lag weighted by the window (the request
    clamped to nobs - 1; the quadratic-spectral window weights every lag with
    this bandwidth); ``names`` are the column names of a pandas input.
    ``note`` says when the bandwidth was clamped.
    """

    covariance: np.ndarray
    kernel: str
    bandwidth: int
    nobs: int
    names: tuple[str, ...] | None = None
    status: int = 0
    fallback: bool = False
    note: str | None = None

    def to_frame(self) -> Any:
        """The covariance as a pandas DataFrame (needs pandas)."""
        import pandas as pd

        return pd.DataFrame(self.covariance, index=self.names, columns=self.names)

    def to_dict(self) -> dict[str, Any]:
        return {
            "covariance": self.covariance.tolist(),
            "kernel": self.kernel,
            "bandwidth": self.bandwidth,
            "nobs": self.nobs,
            "names": None if self.names is None else list(self.names),
            "note": self.note,
        }

    def __repr__(self) -> str:
        p = self.covariance.shape[0]
        names = f", names={list(self.names)}" if self.names else ""
        matrix = np.array2string(self.covariance, precision=4, separator=", ", max_line_width=120, prefix="  ")
        note = f", note: {self.note}" if self.note else ""
        return (
            f"HACResult(kernel={self.kernel!r}, bandwidth={self.bandwidth}, nobs={self.nobs}, "
            f"{p}x{p} covariance{names}, status={self.status}{note},\n  {matrix})"
        )
