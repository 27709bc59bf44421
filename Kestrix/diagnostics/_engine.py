"""The battery engine from Python: stacked groups in, one call, arrays out.

Every statistic of this package comes from the compiled engine
(``Kestrix._ckernels.battery._engine``): the fit and each test, for one
regression (a panel of one group) or for many.  This module prepares its
arrays and options and allocates its outputs; nothing here computes.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from Kestrix._ckernels.battery import _engine

CODES = _engine.CODES
T = int(CODES["TESTS"])
INFO = int(CODES["INFO_WORDS"])

# The engine's slots, in its order.
SLOTS = ("breusch_godfrey", "breusch_godfrey_f", "breusch_pagan", "breusch_pagan_studentized", "chow",
         "recursive_residuals", "cusum", "cusum_squares", "ljung_box", "jarque_bera", "wald", "durbin_watson",
         "box_pierce", "white", "arch_lm", "reset", "sup_f")
assert len(SLOTS) == T, "the engine's tests and this package's disagree"
SLOT = {name: k for k, name in enumerate(SLOTS)}

#: The lag windows' ids, as the engine takes them.
KERNEL_IDS = {"bartlett": 0, "parzen": 1, "qs": 2}


@dataclass
class Run:
    """The engine's outputs for G groups: per group and slot (G x T), per group, per row."""

    stat: np.ndarray
    df1: np.ndarray
    df2: np.ndarray
    status: np.ndarray
    flags: np.ndarray
    info: np.ndarray  # G x T x INFO
    fit_status: np.ndarray
    rank: np.ndarray
    has_constant: np.ndarray
    rss: np.ndarray
    tss: np.ndarray
    coef: np.ndarray | None
    bse: np.ndarray | None
    dependent: np.ndarray | None
    coef_hac: np.ndarray | None
    resid: np.ndarray | None
    recursive: np.ndarray | None
    sup_f: np.ndarray | None


def mask(tests: Any) -> int:
    """The engine's bit mask of the named tests."""
    bits = 0
    for name in tests:
        bits |= 1 << SLOT[name]
    return bits


def options_tuple(tests: Any, options: Any, break_at: int = -1, white_cross: bool = True) -> tuple[Any, ...]:
    """The engine's options: the tests' mask, then the values of ``options`` (a ``kd.Options``)."""
    return (mask(tests), options.lags, options.arch, break_at, KERNEL_IDS[options.kernel],
            -1 if options.bandwidth is None else options.bandwidth, options.power, options.trim,
            1 if options.cusum_scale == "recursive" else 0, 1 if white_cross else 0)


def allocate(G: int, N: int, p: int, *, fit: bool = False, rows: bool = False, recursive: bool = False,
             sup_f: bool = False, coef_hac: bool = False) -> Run:
    """The outputs of G groups and N rows (``fit``: the coefficients and their standard errors; ``rows``: the
    residuals; ``recursive``: the recursive residuals; ``sup_f``: the F of every candidate break;
    ``coef_hac``: the HAC covariance of the coefficients)."""
    return Run(
        stat=np.empty((G, T)), df1=np.empty((G, T), np.int64), df2=np.empty((G, T), np.int64),
        status=np.empty((G, T), np.int32), flags=np.empty((G, T), np.uint32), info=np.empty((G, T, INFO), np.int64),
        fit_status=np.empty(G, np.int32), rank=np.empty(G, np.int64), has_constant=np.empty(G, np.uint8),
        rss=np.empty(G), tss=np.empty(G),
        coef=np.empty((G, p)) if fit else None, bse=np.empty((G, p)) if fit else None,
        dependent=np.empty((G, p), np.uint8) if fit else None,
        coef_hac=np.empty((G, p, p)) if coef_hac else None,
        resid=np.empty(N) if rows else None, recursive=np.empty(N) if recursive else None,
        sup_f=np.empty(N) if sup_f else None)


def part(out: Run, g0: int, g1: int, r0: int, r1: int) -> Run:
    """Groups g0 .. g1-1 (rows r0 .. r1-1) of the outputs: views that an engine call writes into."""
    def cut(a: np.ndarray | None, lo: int, hi: int) -> np.ndarray | None:
        return None if a is None else a[lo:hi]

    return Run(*(cut(getattr(out, f), g0, g1) for f in ("stat", "df1", "df2", "status", "flags", "info",
                                                        "fit_status", "rank", "has_constant", "rss", "tss", "coef",
                                                        "bse", "dependent", "coef_hac")),
               cut(out.resid, r0, r1), cut(out.recursive, r0, r1), cut(out.sup_f, r0, r1))


def run(y: np.ndarray, X: np.ndarray | tuple[np.ndarray | None, ...], starts: np.ndarray,
        engine_options: tuple[Any, ...], *, Z: np.ndarray | None = None, out: Run | None = None,
        **wanted: bool) -> Run:
    """One engine call over the groups starts[g] .. starts[g+1]-1 of y and X (C-contiguous float64).

    X is an n x p array, or a tuple of its p columns (each C-contiguous
    float64, or None for a column of ones; no Z then): the same results
    either way.  The outputs are ``out`` (views of the right sizes) or new
    ones, with the optional parts ``wanted`` (see ``allocate``).  The
    interpreter lock is released for the whole call.
    """
    if out is None:
        out = allocate(starts.shape[0] - 1, y.shape[0], len(X) if isinstance(X, tuple) else X.shape[1], **wanted)
    status = _engine.battery(y, X, starts, Z, engine_options, (
        out.stat, out.df1, out.df2, out.status, out.flags, out.info, out.fit_status, out.rank, out.has_constant,
        out.rss, out.tss, out.coef, out.bse, out.dependent, out.coef_hac, out.resid, out.recursive, out.sup_f))
    if status != 0:  # pragma: no cover - the engine's only refusal is a failed allocation, raised as MemoryError
        raise MemoryError("the battery engine could not allocate its scratch space")
    return out


def long_run(r: np.ndarray, kernel: str, bandwidth: int, center: bool) -> np.ndarray:
    """The long-run covariance of the rows of r (C-contiguous float64, n x p)."""
    out = np.empty((r.shape[1], r.shape[1]))
    _engine.long_run(r, KERNEL_IDS[kernel], bandwidth, center, out)
    return out


def wald(b: np.ndarray, V: np.ndarray) -> tuple[float, int]:
    """b'·V⁻¹·b by the equilibrated, pivoted Cholesky factor of V, and the rank of V."""
    return _engine.wald(np.ascontiguousarray(b, dtype=np.float64), np.ascontiguousarray(V, dtype=np.float64))
