"""The fitted regression every regression test starts from: ``ols(y, X)``."""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import cached_property
from typing import Any

import numpy as np

from . import _engine
from ._inputs import Matrix, Vector, constant_columns, is_pandas, regression, require_unique_labels
from ._status import DiagnosticError, Status

_EXACT = _engine.CODES["UDEF_VARIANCE"]
_FEW = _engine.CODES["TOO_FEW_OBS"]


@dataclass(frozen=True, eq=False, repr=False)
class OLSFit:
    """An ordinary least-squares fit of y on X, computed once by the battery engine.

    Every regression test of this package accepts it in place of ``(y, X)``
    and never refits it.  The fit is Householder QR with the rank decided
    column by column in X's order: a column whose part outside the span of
    the columns before it has norm at most max(n, p)·eps of its own norm is
    dependent (``dependent``), gets no coefficient (NaN) and is named in the
    notes; the decision does not depend on the units of the columns.  The
    arithmetic runs in a fixed order, so the fit has the same bits on every
    machine.

    ``index`` holds the labels of the rows (the pandas index of the input,
    or None for arrays, whose labels are the positions 0 ... n-1);
    ``dropped`` the positions, in the input, of rows left out for missing
    values (``missing="drop"``).  Treat the arrays as read-only.
    """

    y: np.ndarray
    X: np.ndarray
    coef: np.ndarray
    resid: np.ndarray
    rank: int
    names: tuple[str, ...]
    y_name: str | None
    index: Any
    has_constant: bool
    bse: np.ndarray
    rss: float
    tss: float
    dependent: np.ndarray
    status: int
    dropped: tuple[int, ...] = ()
    inner_gaps: int = 0
    # What the input needed said about it (rows paired by label, a constant not added).
    input_notes: tuple[str, ...] = ()

    @property
    def nobs(self) -> int:
        return int(self.y.shape[0])

    @property
    def ncols(self) -> int:
        return int(self.X.shape[1])

    @property
    def df_resid(self) -> int:
        return self.nobs - self.rank

    @property
    def fitted(self) -> np.ndarray:
        return self.y - self.resid

    @property
    def sigma(self) -> float:
        """Residual standard error sqrt(rss / (n - rank)); NaN without residual degrees of freedom."""
        return math.sqrt(self.rss / self.df_resid) if self.df_resid > 0 else math.nan

    @property
    def rsquared(self) -> float:
        """Centred R² when X has a constant, uncentred otherwise."""
        return 1.0 - self.rss / self.tss if self.tss > 0 else math.nan

    @cached_property
    def constant(self) -> np.ndarray:
        """Mask of the constant columns of X."""
        return constant_columns(self.X)

    @cached_property
    def slopes(self) -> tuple[int, ...]:
        """Positions of the non-constant columns of X."""
        return tuple(int(j) for j in np.flatnonzero(~self.constant))

    @property
    def identified(self) -> bool:
        return self.rank == self.ncols

    @property
    def exact(self) -> bool:
        """The residuals are zero up to rounding although X does not interpolate y by construction."""
        return self.status == _EXACT

    def residuals_for_tests(self) -> np.ndarray:
        """The residuals, refusing a fit whose residuals are only rounding noise."""
        if self.status == _FEW:
            raise DiagnosticError(f"too few observations: {self.nobs} observations for {self.rank} independent "
                                  "regressors leave no residual degrees of freedom", Status.TOO_FEW_OBS)
        if self.exact:
            raise DiagnosticError("zero variance: the regression fits the data exactly, the residuals are "
                                  "all zero up to rounding", Status.UNDEFINED_VARIANCE)
        return self.resid

    def require_order(self, test: str) -> None:
        """Refuse ``test``, which uses the order of the rows, when the row labels repeat."""
        require_unique_labels(self.index, test)

    @cached_property
    def recursive(self) -> tuple[np.ndarray, int]:
        """Recursive residuals (read-only) and the position of the first, computed once per fit."""
        run = _engine.run(self.y, self.X, np.array([0, self.nobs], dtype=np.int64),
                          _engine.options_tuple((), _default_options()), recursive=True)
        return recursive_of(run, self.nobs)

    def labels(self, positions: np.ndarray) -> Any:
        """Row labels of the given positions (the positions themselves for array input)."""
        return positions if self.index is None else self.index[positions]

    def label(self, position: int) -> Any:
        """The label of one row."""
        return position if self.index is None else self.index[position]

    @property
    def notes(self) -> list[str]:
        """What a reader of the fit should know: unidentified coefficients, rows dropped, input adjusted."""
        out = list(self.input_notes)
        if not self.identified:
            spanned = [self.names[j] for j in np.flatnonzero(self.dependent)]
            combination = "is a linear combination" if len(spanned) == 1 else "are linear combinations"
            which = f" ({', '.join(spanned)} {combination} of the others)" if spanned else ""
            out.append(f"X has rank {self.rank} of {self.ncols} columns{which}: their coefficients are not "
                       "identified (none is given for them)")
        if self.dropped:
            k = len(self.dropped)
            text = f"{k} row{'s' if k > 1 else ''} with missing values left out"
            if self.inner_gaps:
                text += (f", leaving {self.inner_gaps} gap{'s' if self.inner_gaps > 1 else ''} inside the sample: "
                         "tests that use the order of the rows treat the rows either side of a gap as adjacent")
            out.append(text)
        return out

    @property
    def gap_note(self) -> str | None:
        """The note of a test that uses the order of the rows, when rows were dropped inside the sample."""
        if not self.inner_gaps:
            return None
        return (f"{self.inner_gaps} gap{'s' if self.inner_gaps > 1 else ''} inside the sample from rows with "
                "missing values: the rows either side are treated as adjacent")

    def __repr__(self) -> str:
        coef = ", ".join(f"{name}={b:.6g}" for name, b in zip(self.names, self.coef))
        const = "with" if self.has_constant else "without"
        return (f"OLSFit(nobs={self.nobs}, rank={self.rank} of {self.ncols}, {const} constant, "
                f"R²={self.rsquared:.4f}, sigma={self.sigma:.6g}; {coef})")


def _default_options() -> Any:
    from ._battery import _defaults

    return _defaults()


def _drop_missing(yv: Vector, Xm: Matrix) -> tuple[Vector, Matrix, tuple[int, ...], int]:
    for values, what in ((yv.values, "y"), (Xm.values, "X")):
        infinite = int(np.count_nonzero(np.isinf(values)))
        if infinite:
            raise DiagnosticError(f"{what} contains {infinite} infinite value{'s' if infinite > 1 else ''}: "
                                  "missing='drop' leaves out missing values, not infinite ones",
                                  Status.UNDEFINED_VARIANCE)
    keep = ~np.isnan(yv.values) & ~np.any(np.isnan(Xm.values), axis=1)
    if keep.all():
        return yv, Xm, (), 0
    dropped = np.flatnonzero(~keep)
    kept = np.flatnonzero(keep)
    inner = dropped[(dropped > kept[0]) & (dropped < kept[-1])] if kept.size else dropped[:0]
    # A gap is a run of consecutive dropped rows between two kept ones.
    gaps = 0 if inner.size == 0 else 1 + int(np.count_nonzero(np.diff(inner) > 1))
    index = yv.index[keep] if yv.index is not None else None
    yv = Vector(np.ascontiguousarray(yv.values[keep]), index, yv.name)
    Xm = Matrix(np.ascontiguousarray(Xm.values[keep]), index, Xm.names)
    return yv, Xm, tuple(int(i) for i in dropped), gaps


def ols(y: Any, X: Any, *, add_constant: bool = False, missing: str = "raise", align: bool = False) -> OLSFit:
    """Fit y on X by ordinary least squares, once, for all the tests.

    ``X`` is the design as fitted: include a constant column yourself, or
    pass ``add_constant=True`` to put a column of ones named "const" first
    (unless X has a constant column already: then that one is used, and the
    fit's notes say so).  pandas input keeps its index (row labels, used by
    ``chow``'s break labels and the CUSUM paths) and its column names; when
    y and X are both pandas objects their indexes must agree, or
    ``align=True`` pairs their rows by label.  ``missing="drop"`` leaves out
    rows with a missing value (NaN); the default refuses them, and infinite
    values are refused either way.
    """
    return fit_arrays(*prepare(y, X, add_constant=add_constant, missing=missing, align=align))


def prepare(y: Any, X: Any, *, add_constant: bool = False, missing: str = "raise", align: bool = False) -> tuple[
        np.ndarray, np.ndarray, tuple[str, ...], str | None, Any, tuple[int, ...], int, tuple[str, ...]]:
    """``ols``'s inputs checked and made ready for the engine: the arguments of ``fit_arrays``."""
    if missing not in ("raise", "drop"):
        raise ValueError(f"missing must be 'raise' or 'drop', got {missing!r}")
    yv, Xm, align_note = regression(y, X, finite=missing == "raise", align=align)
    dropped: tuple[int, ...] = ()
    gaps = 0
    if missing == "drop":
        yv, Xm, dropped, gaps = _drop_missing(yv, Xm)
    values = Xm.values
    n = values.shape[0]
    names = Xm.names or tuple(f"x{j}" for j in range(values.shape[1]))
    notes = [align_note] if align_note else []
    if add_constant:
        existing = [names[j] for j in np.flatnonzero(constant_columns(values) & (values[0] != 0.0))] if n else []
        if existing:
            notes.append(f"X has a constant column already ({existing[0]}): add_constant added none")
        else:
            values = np.column_stack([np.ones(n), values])
            names = ("const", *names)
    if n == 0:
        raise DiagnosticError("too few observations: the regression has no observations", Status.TOO_FEW_OBS)
    index = yv.index if yv.index is not None and is_pandas(yv.index) else None
    return (np.ascontiguousarray(yv.values), np.ascontiguousarray(values), tuple(names), yv.name, index, dropped,
            gaps, tuple(notes))


def recursive_of(run: _engine.Run, nobs: int) -> tuple[np.ndarray, int]:
    """The recursive residuals of an engine run of one group (read-only) and the position of the first:
    the engine leaves NaN in the rows before the recursion starts."""
    w = run.recursive
    finite = np.flatnonzero(~np.isnan(w))
    start = int(finite[0]) if finite.size else nobs
    out = w[start:].copy()
    out.flags.writeable = False
    return out, start


def fit_arrays(y: np.ndarray, X: np.ndarray, names: tuple[str, ...], y_name: str | None = None, index: Any = None,
               dropped: tuple[int, ...] = (), gaps: int = 0, notes: tuple[str, ...] = ()) -> OLSFit:
    """The fit of the C-contiguous float64 arrays y and X (finite) by the engine."""
    run = _engine.run(y, X, np.array([0, y.shape[0]], dtype=np.int64), _engine.options_tuple((), _default_options()),
                      fit=True, rows=True)
    return from_run(run, 0, y, X, names, y_name, index, dropped, gaps, notes)


def from_run(run: _engine.Run, g: int, y: np.ndarray, X: np.ndarray, names: tuple[str, ...],
             y_name: str | None = None, index: Any = None, dropped: tuple[int, ...] = (), gaps: int = 0,
             notes: tuple[str, ...] = (), resid: np.ndarray | None = None) -> OLSFit:
    """The fit of group g of an engine run that asked for the fit and the residuals."""
    assert run.coef is not None and run.bse is not None and run.dependent is not None
    return OLSFit(y=y, X=X, coef=run.coef[g], resid=run.resid if resid is None else resid, rank=int(run.rank[g]),
                  names=names, y_name=y_name, index=index, has_constant=bool(run.has_constant[g]), bse=run.bse[g],
                  rss=float(run.rss[g]), tss=float(run.tss[g]), dependent=run.dependent[g].astype(bool),
                  status=int(run.fit_status[g]), dropped=dropped, inner_gaps=gaps, input_notes=notes)


def as_fit(y_or_fit: Any, X: Any, what: str) -> OLSFit:
    """The fit a regression test works on: the one given, or one made from (y, X)."""
    if isinstance(y_or_fit, OLSFit):
        if X is not None:
            raise TypeError(f"{what}: X must not be given with a fitted model; pass the other options "
                            f"by keyword, as in {what}(fit, lags=4)")
        return y_or_fit
    if X is None:
        raise TypeError(f"{what}: X is required unless the first argument is a fitted model (kd.ols(y, X))")
    return ols(y_or_fit, X)
