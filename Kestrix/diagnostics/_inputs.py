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


def _text_sample(arr: np.ndarray) -> Any:
    """The first element of an object array that is not a real number (None when every one is)."""
    for value in arr.ravel().tolist():
        if value is None or isinstance(value, (bool, int, float, np.number)) and not isinstance(value, complex):
            continue
        return value
    return None


def _to_float(values: Any, what: str, copy: bool = True) -> np.ndarray:
    """float64 of numbers only: text is refused, even text that reads as a number.

    The result is a writable array of its own, or (``copy=False``) possibly
    a read-only view of the input's data, for callers that only read it.
    """
    if is_pandas(values) and getattr(values, "ndim", 0) == 1:
        import pandas as pd

        if pd.api.types.is_numeric_dtype(values.dtype) and not pd.api.types.is_complex_dtype(values.dtype):
            # Nullable integers and floats: their missing values become NaN.
            if not copy and values.dtype == np.float64:
                return np.ascontiguousarray(values.to_numpy())  # a view of the frame's data where it can be
            arr = values.to_numpy(dtype=np.float64, na_value=np.nan)
            return np.array(arr, dtype=np.float64) if copy else np.ascontiguousarray(arr)
        values = values.to_numpy()
    arr = np.asarray(values)
    if arr.dtype.kind == "O":
        bad = _text_sample(arr)
        if bad is not None:
            raise ValueError(f"{what} is not numeric: it holds {bad!r}; convert it to numbers first "
                             "(pandas.to_numeric reads numbers written as text)")
        arr = arr.astype(np.float64)  # None becomes NaN
    elif arr.dtype.kind not in "biuf":
        kind = {"U": "text", "S": "bytes", "c": "complex numbers", "M": "dates", "m": "durations"}.get(
            arr.dtype.kind, f"values of type {arr.dtype}")
        raise ValueError(f"{what} is not numeric: it holds {kind}")
    arr = np.ascontiguousarray(arr, dtype=np.float64)
    # The kernels take writable buffers; a read-only array (pandas hands out
    # read-only views of its data) is copied rather than refused.
    return arr if arr.flags.writeable or not copy else arr.copy()


def non_finite(arr: np.ndarray) -> str | None:
    """What is not finite in arr, in words ("2 missing values and 1 infinite value"), or None."""
    missing = int(np.count_nonzero(np.isnan(arr)))
    infinite = int(np.count_nonzero(np.isinf(arr)))
    parts = [f"{count} {kind} value{'s' if count > 1 else ''}"
             for count, kind in ((missing, "missing"), (infinite, "infinite")) if count]
    return " and ".join(parts) or None


def _require_finite(arr: np.ndarray, what: str) -> None:
    found = non_finite(arr)
    if found:
        raise DiagnosticError(f"{what} contains {found}; drop or fill them first", Status.UNDEFINED_VARIANCE)


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
        values = _to_float(obj, what)
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
            values = _to_float(obj, what)[:, None]
        else:
            names = tuple(str(c) for c in obj.columns)
            columns = [_to_float(obj.iloc[:, j], f"{what} column {names[j]!r}")
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


def regression(y: Any, X: Any, finite: bool = True, align: bool = False) -> tuple[Vector, Matrix, str | None]:
    """The response and the design of a regression, checked against each other.

    pandas input on both sides must have the same index (the same labels in
    the same order): rows are paired by label, never silently by position.
    ``align=True`` pairs them by label instead, keeping y's order and leaving
    out the labels only one side has (the third value notes how many).
    """
    note = None
    if is_pandas(y) and is_pandas(X) and not y.index.equals(X.index):
        if not align:
            raise ValueError(f"y and X have different indexes ({_first_difference(y.index, X.index)}): rows would "
                             "be paired by position; align them first, or pass align=True to pair them by label")
        for what, index in (("y", y.index), ("X", X.index)):
            if not index.is_unique:
                raise ValueError(f"align=True needs unique labels, and the index of {what} repeats "
                                 f"{index[index.duplicated()][0]!r}")
        both = y.index.isin(X.index)
        y = y[both]
        only_x = int(np.count_nonzero(~X.index.isin(y.index)))
        X = X.loc[y.index]
        left = [f"{count} row{'s' if count > 1 else ''} of {what}" for count, what
                in ((int(np.count_nonzero(~both)), "y"), (only_x, "X")) if count]
        if left:
            note = f"align=True: {' and '.join(left)} without a partner left out"
    yv = as_vector(y, "y", finite)
    Xm = as_matrix(X, "X", finite)
    if Xm.values.shape[0] != yv.values.shape[0]:
        raise ValueError(f"y has {yv.values.shape[0]} observations but X has {Xm.values.shape[0]} rows")
    if Xm.values.shape[1] == 0:
        raise ValueError("X has no columns")
    if yv.index is None and Xm.index is not None:
        yv = Vector(yv.values, Xm.index, yv.name)
    return yv, Xm, note


def _first_difference(a: Any, b: Any) -> str:
    if len(a) != len(b):
        return f"{len(a)} and {len(b)} labels"
    where = next((i for i, (p, q) in enumerate(zip(a, b)) if not (p == q)), 0)
    first, second = (v.item() if isinstance(v, np.generic) else v for v in (a[where], b[where]))
    return f"row {where} is {first!r} in y and {second!r} in X"


def require_unique_labels(index: Any, test: str) -> None:
    """Refuse a test that uses the order of the rows when a row label repeats: the rows then have no order."""
    if index is None or index.is_unique:
        return
    repeated = index[index.duplicated()]
    raise DiagnosticError(f"the row labels repeat ({repeated[0]} labels more than one row): {test} uses the "
                          "order of the rows and needs one row per label", Status.BAD_INPUT)


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
