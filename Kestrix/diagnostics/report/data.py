"""The report's data: a CSV file read as text, its row labels, and the OLS model built from its columns.

The file is split into fields by the standard library's reader, which knows
the physical line of every record, so that a message can point at the line
to look at; the fields go into a pandas table of text, and each column the
model uses is converted to numbers on its own.  Every refusal is an
``InputError`` whose message is one line for the user.
"""

from __future__ import annotations

import csv
import re
import warnings
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from Kestrix import diagnostics as kd

#: Field values read as a missing value (compared in lower case, after stripping).
MISSING = frozenset({"", "na", "nan", "n/a", "null", "."})
# pd.read_csv options that read every number exactly as written: before
# pandas 3.1 the default parser may be off in the last bit; from 3.1 it is
# exact and the option is deprecated.
EXACT_CSV: dict[str, Any] = (
    {} if tuple(int(p) for p in re.findall(r"\d+", pd.__version__)[:2]) >= (3, 1) else {"float_precision": "round_trip"})

_INTEGER = re.compile(r"[+-]?\d+")
_QUARTER = re.compile(r"\d{4}\s*-?\s*Q[1-4]", re.IGNORECASE)


class InputError(Exception):
    """Input the report cannot use; the message is one line for the user."""


@dataclass(frozen=True)
class Table:
    """A CSV file as text: stripped fields, and the line of the file each row came from."""

    source: str
    frame: pd.DataFrame
    lines: np.ndarray

    @property
    def columns(self) -> list[str]:
        return [str(c) for c in self.frame.columns]

    def __len__(self) -> int:
        return len(self.frame)


def separator(text: str) -> str:
    """The field separator named on the command line: one character, or \\t / tab for a tab."""
    if text in ("\\t", "tab", "TAB"):
        return "\t"
    if len(text) != 1 or text in "\r\n\"":
        raise InputError(f"--sep must be one character (or \\t for a tab), got {text!r}")
    return text


def _records(lines: Any, source: str) -> Table:
    header: list[str] | None = None
    rows: list[list[str]] = []
    where: list[int] = []
    try:
        for record in lines:
            if not record or all(not field.strip() for field in record):
                continue  # a blank line
            if header is None:
                header = [name.strip() for name in record]
                continue
            if len(record) != len(header):
                raise InputError(f"{source}: line {lines.line_num} has {len(record)} fields, "
                                 f"the header has {len(header)}")
            rows.append([field.strip() for field in record])
            where.append(lines.line_num)
    except csv.Error as exc:
        raise InputError(f"cannot read {source}: line {lines.line_num}: {exc}") from None
    if header is None:
        raise InputError(f"{source} is empty: expected a header row of column names")
    frame = pd.DataFrame(rows, columns=header, dtype=object) if rows else pd.DataFrame(columns=header)
    return Table(source, frame, np.asarray(where, dtype=np.int64))


def read_csv(path: str, sep: str = ",") -> Table:
    """The file's header row and records; blank lines are skipped."""
    file = Path(path)
    if not file.exists():
        raise InputError(f"no such file: {path}")
    if not file.is_file():
        raise InputError(f"not a file: {path}")
    try:
        with file.open(newline="", encoding="utf-8-sig") as handle:
            return _records(csv.reader(handle, delimiter=sep), file.name)
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"cannot read {path}: {exc}") from None


def bundled_table() -> Table:
    """The bundled US macro data (quarterly, 1959Q1 to 2009Q3)."""
    text = resources.files("Kestrix.diagnostics").joinpath("data", "macrodata.csv").read_text(encoding="utf-8")
    return _records(csv.reader(text.splitlines()), "bundled US macro data (macrodata.csv)")


def _unknown(table: Table, name: str, option: str = "") -> InputError:
    known = ", ".join(table.columns)
    hint = ""
    if len(table.columns) == 1:
        # One column whose name holds another separator: the file was split on the wrong one.
        other = next((c for c in (";", "\t", "|", ",") if c in table.columns[0]), None)
        if other is not None:
            hint = f"; the header is one field: is the separator {other!r}? (--sep)"
    return InputError(f"unknown {option}column '{name}' (columns: {known}){hint}")


def _column(table: Table, name: str, option: str = "") -> pd.Series:
    """The column called ``name``, as text."""
    if name not in table.frame.columns:
        raise _unknown(table, name, option)
    column = table.frame.loc[:, name]
    if isinstance(column, pd.DataFrame):
        raise InputError(f"column '{name}' appears {column.shape[1]} times in the header of {table.source}")
    return column.astype(str)


def _parsed(table: Table, name: str) -> tuple[np.ndarray, np.ndarray]:
    """The column as numbers (NaN where missing or not a number), and the mask of values that are not numbers."""
    text = _column(table, name)
    missing = text.str.lower().isin(MISSING).to_numpy()
    values = pd.to_numeric(text.where(~missing, None), errors="coerce").to_numpy(dtype=np.float64, copy=True)
    # Before pandas 3.1 its parser may be off in the last bit: what it reads as
    # a number is read again, correctly rounded, by float().
    found = ~np.isnan(values)
    try:
        exact = text.to_numpy(dtype=object)[found].astype(np.float64)
    except ValueError:
        exact = values[found]  # a form only pandas reads; its values stand
    values[found] = exact
    return values, np.isnan(values) & ~missing


def numeric(table: Table, name: str, option: str = "") -> np.ndarray:
    """The column as float64, NaN for missing values; a value that is not a number, or is infinite, is refused."""
    _column(table, name, option)
    values, bad = _parsed(table, name)
    if bad.any():
        i = int(np.argmax(bad))
        raise InputError(f"column '{name}' is not numeric: line {table.lines[i]} holds "
                         f"{table.frame[name].iloc[i]!r}")
    infinite = np.isinf(values)
    if infinite.any():
        i = int(np.argmax(infinite))
        raise InputError(f"column '{name}' holds an infinite value on line {table.lines[i]} "
                         f"({table.frame[name].iloc[i]!r}): only missing values can be left out")
    return values


def _repeated(table: Table, labels: pd.Index, what: str) -> InputError | None:
    """The refusal of labels that repeat (the tests need the rows in an order), or None."""
    if labels.is_unique:
        return None
    first = int(np.argmax(labels.duplicated()))
    earlier = int(np.argmax(labels == labels[first]))
    return InputError(f"{what}: {labels[first]} labels more than one row (lines {table.lines[earlier]} and "
                      f"{table.lines[first]}), but the tests use the order of the rows and need one row per label")


def default_index(table: Table) -> pd.Index:
    """Row labels: quarters from year and quarter columns, else a text first column, else row numbers from 1.

    Quarters that repeat are refused; a text first column that repeats
    (names in a cross-section, say) labels nothing and row numbers are used.
    """
    n = len(table)
    if {"year", "quarter"} <= set(table.columns):
        (year, bad_y), (quarter, bad_q) = _parsed(table, "year"), _parsed(table, "quarter")
        whole = np.isfinite(year) & np.isfinite(quarter)
        if n and whole.all() and not (bad_y.any() or bad_q.any()) and np.all(year == np.round(year)) \
                and np.all(np.isin(quarter, (1, 2, 3, 4))):
            quarters = pd.PeriodIndex([f"{int(a)}Q{int(b)}" for a, b in zip(year, quarter)], freq="Q", name="quarter")
            repeated = _repeated(table, quarters, "the year and quarter columns")
            if repeated:
                raise repeated
            return quarters
    if table.columns:
        first = table.columns[0]
        if n and _parsed(table, first)[1].any():
            text = pd.Index(table.frame[first].astype(str).tolist(), dtype=object, name=first)
            if text.is_unique:
                return text
    return pd.RangeIndex(1, n + 1, name="row")


def column_index(table: Table, name: str) -> pd.Index:
    """Row labels from one column: integers stay integers, dates become dates, anything else stays text."""
    text = _column(table, name, "--index ")
    missing = text.str.lower().isin(MISSING).to_numpy()
    if missing.any():
        i = int(np.argmax(missing))
        raise InputError(f"--index column '{name}' has no value on line {table.lines[i]}")
    labels = _column_labels(text.tolist(), name)
    repeated = _repeated(table, labels, f"--index column '{name}'")
    if repeated:
        raise repeated
    return labels


def _column_labels(values: list[str], name: str) -> pd.Index:
    if values and all(_INTEGER.fullmatch(v) for v in values):
        return pd.Index([int(v) for v in values], dtype=np.int64, name=name)
    if values and all(_QUARTER.fullmatch(v) for v in values):
        return pd.PeriodIndex([re.sub(r"[\s-]", "", v).upper() for v in values], freq="Q", name=name)
    if values and all(any(ch.isdigit() for ch in v) for v in values):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                dates = pd.DatetimeIndex(pd.to_datetime(values), name=name)
        except (ValueError, TypeError, OverflowError):
            dates = None
        if dates is not None:
            # Calendar days print as 1984-01-01, without a time of day.
            if dates.tz is None and bool((dates == dates.normalize()).all()):
                return dates.to_period("D")
            return dates
    return pd.Index(values, dtype=object, name=name)


def _describe(index: pd.Index) -> str:
    if isinstance(index, pd.PeriodIndex):
        return "quarters" if index.freqstr.startswith("Q") else "dates"
    if isinstance(index, pd.DatetimeIndex):
        return "dates"
    if pd.api.types.is_integer_dtype(index.dtype):
        return "row numbers counted from 1" if index.name == "row" else "integers"
    return "text"


def break_label(index: pd.Index, text: str) -> object:
    """The label of ``index`` that ``--break text`` names, refused unless a unique label after the first row.

    The text is converted to the index's type first: with an integer index
    "1974" is the label 1974 (never the position 1974), with quarters
    "1984Q1" is that quarter, with dates any spelling pandas reads as that
    day.
    """
    text = text.strip()
    span = f"{index[1]} to {index[-1]}" if len(index) > 1 else "none"
    try:
        if isinstance(index, pd.PeriodIndex):
            label: object = pd.Period(text, freq=index.freq)
        elif isinstance(index, pd.DatetimeIndex):
            label = pd.Timestamp(text)
        elif pd.api.types.is_integer_dtype(index.dtype):
            if not _INTEGER.fullmatch(text):
                raise ValueError(text)
            label = int(text)
        else:
            label = text
    except (ValueError, TypeError, OverflowError):
        raise InputError(f"--break {text} is not a label of this sample: its labels are {_describe(index)}, "
                         f"{span}") from None
    try:
        where = index.get_loc(label)
    except (KeyError, TypeError, ValueError):
        where = None
    if where is None or where == 0:
        hint = ""
        if pd.api.types.is_integer_dtype(index.dtype) and index.name == "row":
            hint = "; these are row numbers counted from 1 (--index COL labels the rows by a column)"
        raise InputError(f"--break {text} is not in the sample after its first observation ({span}){hint}")
    if not isinstance(where, (int, np.integer)):
        raise InputError(f"--break {text} names more than one observation: the labels are not unique")
    return index[int(where)]


def growth_name(name: str) -> str:
    return f"400*dlog({name})"


@dataclass(frozen=True)
class Model:
    """The regression as the report shows it: y on the regressors and (unless left out) a constant, with row labels."""

    source: str
    y: pd.Series
    # The regressors without the constant (the fit adds it, named "const"); no columns: y on a constant alone.
    X: pd.DataFrame
    constant: bool = True

    @property
    def y_name(self) -> str:
        return str(self.y.name)

    @property
    def described(self) -> str:
        """What the model is, in words, for the report's header."""
        if self.X.shape[1] == 0:
            return "(intercept only)"
        return "" if self.constant else "(no constant)"


def build_model(table: Table, y: str, xs: list[str], growth: list[str], index: str | None = None,
                constant: bool = True) -> Model:
    """y on xs with row labels; the columns in ``growth`` enter as 400·Δlog (the first row is then lost).

    No xs: y on a constant alone.  ``constant=False`` leaves the constant out (then xs are needed).
    """
    if not xs and not constant:
        raise InputError("--no-constant needs regressors (--x): without them the model has no column")
    names = [y, *xs]
    growth = list(dict.fromkeys(growth))
    labels = default_index(table) if index is None else column_index(table, index)
    data = {name: numeric(table, name) for name in dict.fromkeys(names)}
    for name in growth:
        if name not in table.frame.columns:
            raise _unknown(table, name, "--growth ")
        if name not in data:
            raise InputError(f"--growth column '{name}' is neither --y nor one of --x")
    if growth:
        for name in growth:
            values = data[name]
            if np.any(values[np.isfinite(values)] <= 0):
                raise InputError(f"column '{name}' has values <= 0, so --growth cannot take its logarithm")
            data[name] = np.concatenate([[np.nan], 400.0 * np.diff(np.log(values))])
        data = {name: values[1:] for name, values in data.items()}
        labels = labels[1:]
    shown = {name: growth_name(name) if name in growth else name for name in names}
    frame = pd.DataFrame({shown[name]: data[name] for name in xs}, index=labels, columns=[shown[name] for name in xs])
    return Model(table.source, pd.Series(data[y], index=labels, name=shown[y]), frame, constant)


def fit_model(model: Model) -> kd.OLSFit:
    """The OLS fit, leaving out rows with missing values; refused when there is nothing to test."""
    usable = int(np.count_nonzero(np.isfinite(model.y.to_numpy())
                                  & np.all(np.isfinite(model.X.to_numpy()), axis=1)))
    p = model.X.shape[1] + model.constant
    need = max(10, 2 * p + 2)
    if usable < need:
        raise InputError(f"too few rows: {usable} usable observations, the report needs at least {need} "
                         f"for {p} regressor{'s' if p > 1 else ''}")
    X = model.X if model.X.shape[1] else pd.DataFrame({"const": np.ones(len(model.y))}, index=model.y.index)
    try:
        result = kd.ols(model.y, X, add_constant=model.constant and model.X.shape[1] > 0, missing="drop")
    except ValueError as exc:
        raise InputError(str(exc)) from None
    if np.ptp(result.y) == 0:
        raise InputError(f"{model.y_name} is constant: there is nothing to explain")
    if result.exact:
        raise InputError("the regression fits the data exactly (the residuals are zero up to rounding): "
                         "there is nothing to diagnose")
    return result
