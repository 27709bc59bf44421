"""The fitted regression every regression test starts from: ``ols(y, X)``."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np

from Kestrix._ckernels.diag import _diag

from . import _lstsq
from ._inputs import Matrix, Vector, constant_columns, is_pandas, regression, require_unique_labels
from ._status import DiagnosticError, Status

_EPS = float(np.finfo(np.float64).eps)


@dataclass(frozen=True, eq=False, repr=False)
class OLSFit:
    """An ordinary least-squares fit of y on X, computed once.

    Every regression test of this package accepts it in place of ``(y, X)``
    and never refits it.  The fit is made through a singular value
    decomposition of X with its columns equilibrated (each divided by the
    power of two nearest its norm, which is exact): ``rank`` is the
    numerical rank of that design (singular values against max(n, p)·eps of
    the largest, as ``numpy.linalg.matrix_rank`` decides), so it does not
    depend on the units of the columns.  With a rank-deficient X the
    coefficients are the solution of least norm in the equilibrated units,
    and only the fitted values are identified.

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
    # Right singular vectors and singular values of the rank-r part of the
    # equilibrated X, and the column scales (X = equilibrated X · diag(scales)).
    _vt: np.ndarray = field(repr=False)
    _s: np.ndarray = field(repr=False)
    _scales: np.ndarray = field(repr=False)
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

    @cached_property
    def rss(self) -> float:
        return float(self.resid @ self.resid)

    @property
    def sigma(self) -> float:
        """Residual standard error sqrt(rss / (n - rank)); NaN without residual degrees of freedom."""
        return math.sqrt(self.rss / self.df_resid) if self.df_resid > 0 else math.nan

    @property
    def rsquared(self) -> float:
        """Centred R² when X has a constant, uncentred otherwise."""
        y = self.y - self.y.mean() if self.has_constant else self.y
        total = float(y @ y)
        return 1.0 - self.rss / total if total > 0 else math.nan

    @cached_property
    def constant(self) -> np.ndarray:
        """Mask of the constant columns of X."""
        return constant_columns(self.X)

    @cached_property
    def slopes(self) -> tuple[int, ...]:
        """Positions of the non-constant columns of X."""
        return tuple(int(j) for j in np.flatnonzero(~self.constant))

    @cached_property
    def non_constant_X(self) -> np.ndarray:
        """X without its constant columns, contiguous (for kernels that add their own intercept)."""
        return np.ascontiguousarray(self.X[:, ~self.constant])

    @cached_property
    def variance_design(self) -> np.ndarray:
        """A constant and the non-constant columns of X: the default Breusch-Pagan regressors."""
        design = np.empty((self.nobs, self.non_constant_X.shape[1] + 1))
        design[:, 0] = 1.0
        design[:, 1:] = self.non_constant_X
        return design

    @property
    def identified(self) -> bool:
        return self.rank == self.ncols

    @cached_property
    def xtx_pinv(self) -> np.ndarray:
        """(X'X)⁻¹ from the decomposition of the fit (a generalised inverse when X is rank-deficient)."""
        return ((self._vt.T / (self._s * self._s)) @ self._vt) / np.multiply.outer(self._scales, self._scales)

    @property
    def cov_params(self) -> np.ndarray:
        """OLS covariance of the coefficients, sigma²·(X'X)⁺."""
        return self.xtx_pinv * (self.rss / self.df_resid if self.df_resid > 0 else math.nan)

    @property
    def bse(self) -> np.ndarray:
        """OLS standard errors of the coefficients."""
        return np.sqrt(np.diag(self.cov_params))

    @cached_property
    def exact(self) -> bool:
        """The residuals are zero up to rounding although X does not interpolate y by construction."""
        norm_y = float(np.linalg.norm(self.y))
        return self.rank < self.nobs and math.sqrt(self.rss) <= 1e-13 * norm_y

    def residuals_for_tests(self) -> np.ndarray:
        """The residuals, refusing a fit whose residuals are only rounding noise."""
        # Residuals of an exact fit are rounding errors of the size eps·|y|;
        # every statistic built on them would be noise, so say so instead.
        if self.df_resid <= 0:
            raise DiagnosticError(f"too few observations: {self.nobs} observations for {self.rank} independent "
                                  "regressors leave no residual degrees of freedom", Status.TOO_FEW_OBS)
        if self.exact:
            raise DiagnosticError("zero variance: the regression fits the data exactly, the residuals are "
                                  "all zero up to rounding", Status.UNDEFINED_VARIANCE)
        return self.resid

    @cached_property
    def recursive(self) -> tuple[np.ndarray, int, int]:
        """Recursive residuals (read-only), the position of the first, and the status that made them.

        Computed once per fit, for the recursive-residual, CUSUM and
        CUSUM-of-squares tests alike.
        """
        T, p = self.X.shape
        status, w = _diag.recursive_residuals(self.y, self.X)
        start = p
        if status == Status.FALLBACK:
            w, start = _lstsq.recursive_residuals(self.y, self.X)
        elif status == Status.NO_MEMORY:
            raise MemoryError("not enough memory for the kernel's scratch space")
        elif status != Status.OK:
            raise DiagnosticError(f"too few observations: recursive residuals need more observations than "
                                  f"the {p} regressors, got {T}", Status(status))
        w.flags.writeable = False
        return w, start, status

    def require_order(self, test: str) -> None:
        """Refuse ``test``, which uses the order of the rows, when the row labels repeat."""
        require_unique_labels(self.index, test)

    def labels(self, positions: np.ndarray) -> Any:
        """Row labels of the given positions (the positions themselves for array input)."""
        return positions if self.index is None else self.index[positions]

    @property
    def notes(self) -> list[str]:
        """What a reader of the fit should know: unidentified coefficients, rows dropped, input adjusted."""
        out = list(self.input_notes)
        if not self.identified:
            spanned = [self.names[j] for j in np.flatnonzero(~_lstsq.independent_columns(self.X))]
            combination = "is a linear combination" if len(spanned) == 1 else "are linear combinations"
            which = f" ({', '.join(spanned)} {combination} of the others)" if spanned else ""
            out.append(f"X has rank {self.rank} of {self.ncols} columns{which}: the coefficients are not "
                       "identified (the solution of least norm in equilibrated units is shown)")
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
    values = np.ascontiguousarray(values)
    index = yv.index if yv.index is not None and is_pandas(yv.index) else None
    return fit_from_svd(yv.values, values, *equilibrated_svd(values), tuple(names), yv.name, index, dropped, gaps,
                        tuple(notes))


def equilibrated_svd(X: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Column scales and the thin SVD of X/scales, for one design or a stack of same-sized designs.

    A stacked call gives each matrix the same bits as a call of its own.
    """
    scales = _lstsq.column_scales(X)
    U, s, vt = np.linalg.svd(X / scales[..., None, :], full_matrices=False)
    return scales, U, s, vt


def fit_from_svd(y: np.ndarray, X: np.ndarray, scales: np.ndarray, U: np.ndarray, s: np.ndarray, vt: np.ndarray,
                 names: tuple[str, ...], y_name: str | None = None, index: Any = None,
                 dropped: tuple[int, ...] = (), gaps: int = 0, notes: tuple[str, ...] = ()) -> OLSFit:
    """The fit of y on X from the thin SVD X/scales = U·diag(s)·vt (``equilibrated_svd``).

    ``ols`` decomposes one X; a panel decomposes many same-sized designs in
    one stacked call and builds each fit here.
    """
    n = X.shape[0]
    tol = float(s[0]) * max(X.shape) * _EPS if s.size else 0.0
    rank = int(np.count_nonzero(s > tol))
    Ur, sr, vtr = U[:, :rank], s[:rank], vt[:rank]
    coef = (vtr.T @ ((Ur.T @ y) / sr)) / scales
    resid = y - X @ coef
    const = constant_columns(X)
    if np.any(const & (X[0] != 0.0)):
        has_constant = True
    else:
        # A constant spanned by other columns (a full set of dummies) counts too.
        ones = np.ones(n)
        projected = Ur @ (Ur.T @ ones)
        has_constant = bool(rank) and float(np.linalg.norm(ones - projected)) <= 1e-8 * math.sqrt(n)
    fit = OLSFit(
        y=y, X=X, coef=coef, resid=resid, rank=rank, names=names, y_name=y_name, index=index,
        has_constant=has_constant, dropped=dropped, inner_gaps=gaps, input_notes=notes, _vt=vtr, _s=sr,
        _scales=scales,
    )
    fit.__dict__["constant"] = const  # the cached property, computed once already
    return fit


def shift_option(y_or_fit: Any, X: Any, option: Any, default: Any) -> tuple[Any, Any]:
    """(X, option) of a test called as test(fit, value): with a fit there is no X, so value is the option."""
    if isinstance(y_or_fit, OLSFit) and X is not None and option is default:
        return None, X
    return X, option


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
