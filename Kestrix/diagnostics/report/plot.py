"""Figure of the CUSUM and CUSUM-of-squares paths with their 5% boundaries (needs matplotlib)."""

from __future__ import annotations

from typing import Sequence

import numpy as np

from Kestrix import diagnostics as kd


def matplotlib_available() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _ticks(labels: Sequence[object], count: int = 8) -> tuple[np.ndarray, list[str]]:
    where = np.unique(np.linspace(0, len(labels) - 1, num=min(count, len(labels))).round().astype(int))
    return where, [str(labels[i]) for i in where]


def plot_cusum(cusum: kd.CusumResult, cusum_squares: kd.CusumResult, path: str, title: str = "") -> None:
    """Write a PNG with one panel per test: the path, its expected line and the 5% boundaries.

    The horizontal axis carries the labels of the observations with a
    recursive residual (``index`` of the results).
    """
    # The object-oriented interface only: no pyplot, so no global figure
    # state and no interactive backend is ever touched.
    from matplotlib.figure import Figure

    fig = Figure(figsize=(9, 7), layout="constrained")
    top, bottom = fig.subplots(2, 1)
    m = len(np.asarray(cusum_squares.series))
    panels = (
        (top, cusum, "CUSUM", np.zeros(len(np.asarray(cusum.series)))),
        (bottom, cusum_squares, "CUSUM of squares", np.arange(1, m + 1) / max(m, 1)),
    )
    for ax, result, name, expected in panels:
        x = np.arange(len(np.asarray(result.series)))
        ax.plot(x, result.series, color="tab:blue", lw=1.4, label=name)
        ax.plot(x, expected, color="0.5", lw=0.8, ls=":", label="expected under stability")
        ax.plot(x, result.upper, color="tab:red", lw=1.0, ls="--", label="5% boundaries")
        ax.plot(x, result.lower, color="tab:red", lw=1.0, ls="--")
        verdict = "rejects" if result.reject(0.05) else "does not reject"
        ax.set_title(f"{name}: statistic {result.statistic:.4f}, 5% critical value "
                     f"{result.critical_value:.4f} ({verdict} stability)", fontsize=10)
        labels = list(result.index) if result.index is not None else list(range(len(x)))
        where, text = _ticks(labels)
        ax.set_xticks(where, text)
        ax.grid(alpha=0.3)
        ax.legend(loc="best", fontsize=8)
    if title:
        fig.suptitle(title, fontsize=11)
    fig.savefig(path, dpi=110)
