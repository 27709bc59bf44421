"""Turning user input (NumPy arrays, pandas objects, lists) into float64 arrays.

pandas is optional: its objects are recognised by their type's module, so
nothing here imports it.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from ._status import DiagnosticError, Status


def is_pandas(obj: object) -> bool:
    return type(obj).__module__.split(".", 1)[0] == "pandas"


@dataclass(frozen=True)
class Vector:
    values: np.ndarray  # 1-D float64, finite
    index: Any  # the pandas index, or None
    name: str | None


@dataclass(frozen=True)
class Matrix:
    values: np.ndarray  # 2-D float64, finite
    index: Any
    names: tuple[str, ...] | None


def _to_float(values: Any, what: str) -> np.ndarray:
    arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":
        try:
            arr = arr.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{what} is not numeric") from None
    arr = np.ascontiguousarray(arr, dtype=np.float64)
    # The kernels take writable buffers; a read-only array (pandas hands out
    # read-only views of its data) is copied rather than refused.
    return arr if arr.flags.writeable else arr.copy()


def _require_finite(arr: np.ndarray, what: str) -> None:
    bad = int(arr.size - np.count_nonzero(np.isfinite(arr)))
    if bad:
        plural = "value" if bad == 1 else "values"
        raise DiagnosticError(f"{what} contains {bad} missing or infinite {plural}; drop or fill them first",
                              Status.UNDEFINED_VARIANCE)


def as_vector(obj: Any, what: str, finite: bool = True) -> Vector:
    """A one-dimensional series; a single-column table is accepted as one."""
    index = None
    name = None
    if is_pandas(obj):
        index = obj.index
        if getattr(obj, "ndim", 1) == 2:
            if obj.shape[1] != 1:
                raise ValueError(f"{what} must be one series, got a table with {obj.shape[1]} columns")
            name = str(obj.columns[0])
            obj = obj.iloc[:, 0]
        else:
            name = None if obj.name is None else str(obj.name)
        values = _to_float(obj.to_numpy(), what)
    else:
        values = _to_float(obj, what)
        if values.ndim == 2 and values.shape[1] == 1:
            values = values[:, 0]
    if values.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {values.shape}")
    if finite:
        _require_finite(values, what)
    return Vector(np.ascontiguousarray(values), index, name)


def as_matrix(obj: Any, what: str, finite: bool = True) -> Matrix:
    """A two-dimensional table with one row per observation; a series is one column."""
    index = None
    names: tuple[str, ...] | None = None
    if is_pandas(obj):
        index = obj.index
        if getattr(obj, "ndim", 1) == 1:
            names = (str(obj.name) if obj.name is not None else "x0",)
            values = _to_float(obj.to_numpy(), what)[:, None]
        else:
            names = tuple(str(c) for c in obj.columns)
            columns = [_to_float(obj.iloc[:, j].to_numpy(), f"{what} column {names[j]!r}")
                       for j in range(obj.shape[1])]
            values = np.column_stack(columns) if columns else np.empty((obj.shape[0], 0))
    else:
        values = _to_float(obj, what)
        if values.ndim == 1:
            values = values[:, None]
    if values.ndim != 2:
        raise ValueError(f"{what} must be two-dimensional (observations by columns), got shape {values.shape}")
    if finite:
        _require_finite(values, what)
    return Matrix(np.ascontiguousarray(values, dtype=np.float64), index, names)


def regression(y: Any, X: Any, finite: bool = True) -> tuple[Vector, Matrix]:
    """The response and the design of a regression, checked against each other."""
    yv = as_vector(y, "y", finite)
    Xm = as_matrix(X, "X", finite)
    if Xm.values.shape[0] != yv.values.shape[0]:
        raise ValueError(f"y has {yv.values.shape[0]} observations but X has {Xm.values.shape[0]} rows")
    if Xm.values.shape[1] == 0:
        raise ValueError("X has no columns")
    if yv.index is None and Xm.index is not None:
        yv = Vector(yv.values, Xm.index, yv.name)
    return yv, Xm


def constant_columns(X: np.ndarray) -> np.ndarray:
    """Mask of the constant columns of X (a column of ones, or of zeros)."""
    if X.shape[0] == 0:
        return np.zeros(X.shape[1], dtype=bool)
    return np.ptp(X, axis=0) == 0


def non_constant_columns(X: np.ndarray) -> np.ndarray:
    """X without its constant columns.

    Used where a kernel adds its own intercept: the columns dropped lie in the
    span of that intercept, so the fitted values are the same without them.
    """
    return np.ascontiguousarray(X[:, ~constant_columns(X)])


def as_int(value: Any, what: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, got {type(value).__name__}")
    return int(value)
