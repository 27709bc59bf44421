"""The synthetic panels of the benchmarks (NumPy and pandas only: a child
interpreter running an earlier version of the package imports this too)."""

from __future__ import annotations

import numpy as np
import pandas as pd

X_COLUMNS = ["mkt", "smb", "hml"]


def synthetic(groups: int, rows: int, seed: int = 0, x: int = 3) -> pd.DataFrame:
    """groups x rows, the regressors X_COLUMNS[:x], the groups one after another."""
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((groups * rows, x))
    e = rng.standard_normal(groups * rows)
    frame = pd.DataFrame({"firm": np.repeat(np.arange(groups), rows),
                          "ret": 0.1 + X @ np.array([1.0, -0.5, 0.2])[:x] + e})
    for j in range(x):
        frame[X_COLUMNS[j]] = X[:, j]
    return frame
