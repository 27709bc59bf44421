"""Lag windows of the long-run covariance: the one table of them in the Python layer.

Each window has the integer id the kernels take, and its weight k(x) at the
scaled lag x = j / (L + 1).  Bartlett and Parzen vanish beyond x = 1, so the
kernel's sum over lags 1 ... L is the whole estimator.  The quadratic-spectral
window weights every lag; truncated at L it is no longer a positive
semi-definite estimator, so its sum runs over every lag 1 ... n - 1.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Window:
    name: str
    kernel_id: int  # the kernels' lag-window id
    every_lag: bool  # the weight does not vanish beyond the bandwidth

    def weights(self, lags: np.ndarray, bandwidth: int) -> np.ndarray:
        """k(j / (L + 1)) for the lags j."""
        x = np.asarray(lags, dtype=np.float64) / (bandwidth + 1.0)
        if self.name == "bartlett":
            return np.where(x <= 1.0, 1.0 - x, 0.0)
        if self.name == "parzen":
            return np.where(x <= 0.5, 1.0 - 6.0 * x * x + 6.0 * x**3,
                            np.where(x <= 1.0, 2.0 * (1.0 - x) ** 3, 0.0))
        with np.errstate(divide="ignore", invalid="ignore"):
            arg = 6.0 * math.pi * x / 5.0
            w = 25.0 / (12.0 * math.pi**2 * x * x) * (np.sin(arg) / arg - np.cos(arg))
        return np.where(np.abs(x) <= 1e-8, 1.0, w)


WINDOWS: dict[str, Window] = {
    "bartlett": Window("bartlett", 0, every_lag=False),
    "parzen": Window("parzen", 1, every_lag=False),
    "qs": Window("qs", 2, every_lag=True),
}

#: Kernel id of each lag window, by name.
KERNELS = {name: window.kernel_id for name, window in WINDOWS.items()}


def window(name: object) -> Window:
    if isinstance(name, str) and name.lower() in WINDOWS:
        return WINDOWS[name.lower()]
    choices = ", ".join(repr(n) for n in WINDOWS)
    raise ValueError(f"unknown kernel {name!r}: choose {choices}")


def default_bandwidth(nobs: int) -> int:
    """floor(4·(n/100)^(2/9)): a deterministic bandwidth growing slowly with n."""
    return int(math.floor(4.0 * (nobs / 100.0) ** (2.0 / 9.0)))
