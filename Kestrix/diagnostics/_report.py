"""The diagnostics report: data, the OLS model, the battery and its table.

The CSV reader is the standard library's, so the report needs neither pandas
nor SciPy (without SciPy the chi-square and F p-values read "n/a").
"""

from __future__ import annotations

import csv
import math
import time
from dataclasses import dataclass, replace
from importlib import resources
from pathlib import Path
from typing import Any, Callable

import numpy as np

from . import _api, _lstsq
from ._distributions import chi2_sf, f_sf
from ._results import CusumResult, DiagnosticResult

MISSING = {"", "na", "nan", "n/a", "null", "."}


class InputError(Exception):
    """Input the report cannot use; the message is one line for the user."""


@dataclass(frozen=True)
class Table:
    source: str
    header: list[str]
    rows: list[list[str]]
    labels: list[str]


def _parse(header: list[str], rows: list[list[str]], source: str) -> Table:
    width = len(header)
    for number, row in enumerate(rows, start=2):
        if len(row) != width:
            raise InputError(f"{source}: line {number} has {len(row)} fields, the header has {width}")
    table = Table(source, header, rows, [])
    return Table(source, header, rows, _labels(table))


def read_csv(path: str) -> Table:
    file = Path(path)
    if not file.exists():
        raise InputError(f"no such file: {path}")
    if not file.is_file():
        raise InputError(f"not a file: {path}")
    try:
        with file.open(newline="", encoding="utf-8-sig") as handle:
            lines = [row for row in csv.reader(handle) if row]
    except (OSError, UnicodeDecodeError, csv.Error) as exc:
        raise InputError(f"cannot read {path}: {exc}") from None
    if not lines:
        raise InputError(f"{path} is empty: expected a header row of column names")
    return _parse([name.strip() for name in lines[0]], lines[1:], file.name)


def bundled_table() -> Table:
    text = resources.files("Kestrix.diagnostics").joinpath("data", "macrodata.csv").read_text(encoding="utf-8")
    lines = [row for row in csv.reader(text.splitlines()) if row]
    return _parse([name.strip() for name in lines[0]], lines[1:], "bundled US macro data (macrodata.csv)")


def _numeric(table: Table, name: str, strict: bool = True) -> np.ndarray | None:
    j = table.header.index(name)
    values = np.empty(len(table.rows))
    for i, row in enumerate(table.rows):
        text = row[j].strip()
        if text.lower() in MISSING:
            values[i] = np.nan
            continue
        try:
            values[i] = float(text)
        except ValueError:
            if not strict:
                return None
            raise InputError(
                f"column '{name}' is not numeric: line {i + 2} holds {text!r}"
            ) from None
    return values


def column(table: Table, name: str) -> np.ndarray:
    if name not in table.header:
        known = ", ".join(table.header)
        raise InputError(f"unknown column '{name}' (columns: {known})")
    values = _numeric(table, name)
    assert values is not None
    return values


def _labels(table: Table) -> list[str]:
    """Observation labels: 1959Q1 from year and quarter columns, else a text first column, else line numbers."""
    if "year" in table.header and "quarter" in table.header:
        year = _numeric(table, "year", strict=False)
        quarter = _numeric(table, "quarter", strict=False)
        if year is not None and quarter is not None and np.all(np.isfinite(year)) and np.all(np.isfinite(quarter)):
            return [f"{int(y)}Q{int(q)}" for y, q in zip(year, quarter)]
    if table.header and _numeric(table, table.header[0], strict=False) is None:
        return [row[0].strip() for row in table.rows]
    return [str(i + 1) for i in range(len(table.rows))]


@dataclass(frozen=True)
class Model:
    """An OLS fit with an intercept, as the report shows it."""

    source: str
    y_name: str
    x_names: list[str]  # 'const' first
    y: np.ndarray
    X: np.ndarray
    labels: list[str]
    coef: np.ndarray
    resid: np.ndarray
    dropped: int

    @property
    def nobs(self) -> int:
        return int(self.y.shape[0])


def growth_name(name: str) -> str:
    return f"400*dlog({name})"


def build_model(table: Table, y: str, xs: list[str], growth: list[str]) -> Model:
    """y on an intercept and xs; the columns in `growth` enter as 400·Δlog."""
    names = [y, *xs]
    growth = list(dict.fromkeys(growth))
    data = {name: column(table, name) for name in names}
    for name in growth:
        if name not in table.header:
            column(table, name)  # unknown column: the same message as elsewhere
        if name not in data:
            raise InputError(f"--growth column '{name}' is neither --y nor one of --x")
    labels = list(table.labels)
    if growth:
        for name in growth:
            values = data[name]
            if np.any(values[np.isfinite(values)] <= 0):
                raise InputError(f"column '{name}' has values <= 0, so --growth cannot take its logarithm")
            data[name] = np.concatenate([[np.nan], 400.0 * np.diff(np.log(values))])
        data = {name: values[1:] for name, values in data.items()}
        labels = labels[1:]
    stacked = np.column_stack([data[name] for name in names]) if labels else np.empty((0, len(names)))
    usable = np.all(np.isfinite(stacked), axis=1)
    dropped = int(np.count_nonzero(~usable))
    stacked = stacked[usable]
    labels = [label for label, keep in zip(labels, usable) if keep]
    T = stacked.shape[0]
    p = 1 + len(xs)
    need = max(10, 2 * p + 2)
    if T < need:
        raise InputError(f"too few rows: {T} usable observations, the report needs at least {need} "
                         f"for {p} regressors")
    display = {name: growth_name(name) if name in growth else name for name in names}
    if np.ptp(stacked[:, 0]) == 0:
        raise InputError(f"{display[y]} is constant: there is nothing to explain")
    X = np.column_stack([np.ones(T), stacked[:, 1:]])
    coef, resid, _ = _lstsq.fit(X, stacked[:, 0])
    if np.linalg.norm(resid) <= 1e-13 * np.linalg.norm(stacked[:, 0]):
        raise InputError("the regression fits the data exactly (the residuals are zero up to rounding): "
                         "there is nothing to diagnose")
    return Model(
        source=table.source,
        y_name=display[y],
        x_names=["const", *(display[x] for x in xs)],
        y=stacked[:, 0].copy(),
        X=X,
        labels=labels,
        coef=coef,
        resid=resid,
        dropped=dropped,
    )


@dataclass(frozen=True)
class Row:
    name: str
    result: DiagnosticResult | None
    error: str | None
    seconds: float


@dataclass(frozen=True)
class Report:
    model: Model
    rows: list[Row]
    ols_se: np.ndarray
    hac_se: np.ndarray
    kernel: str
    bandwidth: int

    def result(self, name: str) -> DiagnosticResult | None:
        """The result of the row called `name`, None if that test failed."""
        for row in self.rows:
            if row.name == name:
                return row.result
        raise KeyError(name)


def _timed(name: str, run: Callable[[], DiagnosticResult]) -> Row:
    start = time.perf_counter()
    try:
        result = run()
    except (ValueError, MemoryError) as exc:
        return Row(name, None, str(exc), time.perf_counter() - start)
    return Row(name, result, None, time.perf_counter() - start)


def _coefficient_covariances(model: Model, kernel: str, bandwidth: int | None) -> tuple[np.ndarray, np.ndarray, int]:
    """OLS and HAC covariance of the coefficients, and the HAC bandwidth used."""
    X, e = model.X, model.resid
    n, p = X.shape
    bread = np.linalg.pinv(X.T @ X)
    dof = n - np.linalg.matrix_rank(X)
    ols = bread * float(e @ e) / dof
    hac = _api.hac_covariance(X * e[:, None], kernel, bandwidth)
    robust = n * bread @ hac.covariance @ bread
    return ols, robust, hac.bandwidth


def run_battery(model: Model, lags: int = 4, break_label: str | None = None,
                kernel: str = "bartlett", bandwidth: int | None = None) -> Report:
    y, X, e = model.y, model.X, model.resid
    T = model.nobs
    if break_label is None:
        position = T // 2
    elif break_label in model.labels[1:]:
        position = model.labels.index(break_label)
    else:
        raise InputError(f"--break {break_label} is not in the sample after its first observation "
                         f"({model.labels[1]} to {model.labels[-1]})")
    ols_cov, hac_cov, used = _coefficient_covariances(model, kernel, bandwidth)
    # SciPy's first use of each distribution is slow (its import, set-up);
    # done here, no test's time includes it.
    chi2_sf(1.0, 1), f_sf(1.0, 1, 1)
    label = model.labels[position]
    slopes = slice(1, X.shape[1])

    def hac_wald() -> DiagnosticResult:
        # W = b_s'·V_s⁻¹·b_s for the slopes b_s with HAC covariance V_s,
        # written as n·dev'·Ω⁻¹·dev with Ω = n·V_s.
        result = _api.wald(model.coef[slopes], T * hac_cov[slopes, slopes], T)
        return _relabel(result, "Wald, HAC: slopes = 0", "some slope is not zero")

    def chow() -> DiagnosticResult:
        result = _api.chow(y, X, position)
        return _relabel(result, f"Chow (break at {label})", f"coefficients change at {label}")

    rows = [
        _timed(f"Breusch-Godfrey LM ({lags} lags)", lambda: _api.breusch_godfrey(y, X, lags)),
        _timed("Breusch-Pagan LM", lambda: _api.breusch_pagan(y, X)),
        _timed("Breusch-Pagan LM, studentised", lambda: _api.breusch_pagan(y, X, studentized=True)),
        _timed(f"Chow, break at {label}", chow),
        _timed("Recursive residuals, mean t", lambda: _api.recursive_residuals(y, X)),
        _timed("CUSUM", lambda: _api.cusum(y, X)),
        _timed("CUSUM of squares", lambda: _api.cusum_squares(y, X)),
        _timed(f"Ljung-Box Q ({lags} lags), residuals", lambda: _api.ljung_box(e, lags)),
        _timed("Jarque-Bera, residuals", lambda: _api.jarque_bera(e)),
        _timed(f"Wald, HAC {kernel} L={used}: slopes = 0", hac_wald),
    ]
    return Report(model, rows, np.sqrt(np.diag(ols_cov)), np.sqrt(np.diag(hac_cov)), kernel, used)


def _relabel(result: DiagnosticResult, test: str, alternative: str) -> DiagnosticResult:
    return replace(result, test=test, alternative=alternative)


def _number(value: float) -> str:
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.4f}" if abs(value) < 1e6 else f"{value:.4g}"


def _pvalue(value: float | None) -> str:
    if value is None:
        return "n/a"
    if math.isnan(value):
        return "nan"
    return f"{value:.4f}" if value >= 1e-3 else f"{value:.2e}"


def _df(df: Any) -> str:
    if df is None:
        return "-"
    if isinstance(df, tuple):
        return f"{df[0]}, {df[1]}"
    return str(df)


def _align(rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(row[j]) for row in rows) for j in range(len(rows[0]))]
    out = []
    for row in rows:
        cells = [cell.rjust(w) if j in right else cell.ljust(w) for j, (cell, w) in enumerate(zip(row, widths))]
        out.append("  ".join(cells).rstrip())
    return out


def render(report: Report) -> str:
    model = report.model
    lines = ["Kestrix diagnostics report", ""]
    span = f"{model.labels[0]} to {model.labels[-1]}"
    data_line = f"data:   {model.source}, {span}, {model.nobs} observations"
    if model.dropped:
        data_line += f" ({model.dropped} rows with missing values left out)"
    lines.append(data_line)
    lines.append(f"model:  OLS of {model.y_name} on {', '.join(model.x_names)}")
    lines.append("")
    coef_rows = [["term", "coef", "std.err", "HAC s.e."]]
    for name, b, se, hse in zip(model.x_names, model.coef, report.ols_se, report.hac_se):
        coef_rows.append([name, _number(b), _number(se), _number(hse)])
    lines.extend(_align(coef_rows, {1, 2, 3}))
    tss = float(np.sum((model.y - model.y.mean()) ** 2))
    rss = float(model.resid @ model.resid)
    sigma = math.sqrt(rss / (model.nobs - int(np.linalg.matrix_rank(model.X))))
    lines.append(f"R-squared {1.0 - rss / tss:.4f}, residual s.e. {sigma:.4f}; "
                 f"HAC: {report.kernel} window, bandwidth {report.bandwidth}")
    lines.append("")
    table = [["test", "statistic", "df", "p-value", "verdict at 5%", "path", "time"]]
    notes = []
    for row in report.rows:
        ms = f"{row.seconds * 1e3:.2f} ms"
        if row.result is None:
            table.append([row.name, "-", "-", "-", f"error: {row.error}", "-", ms])
            continue
        res = row.result
        verdict = res.verdict(0.05)
        if verdict.startswith("no p-value"):
            verdict = "n/a (SciPy not installed)"
        table.append([row.name, _number(res.statistic), _df(res.df), _pvalue(res.pvalue), verdict, res.path, ms])
        if res.note:
            notes.append(f"{row.name}: {res.note}")
        if isinstance(res, CusumResult) and res.critical_value is not None:
            m = res.series.shape[0] if res.series is not None else 0
            if res.test == "CUSUM":
                notes.append(f"CUSUM: statistic is max |W_i| / (sqrt(m) + 2i/sqrt(m)), m = {m}; "
                             f"5% boundary a = {res.critical_value:.3f}")
            else:
                notes.append(f"CUSUM of squares: statistic is max |s_i - i/m|, m = {m}; "
                             f"5% boundary i/m +- {res.critical_value:.4f}")
    body = _align(table, {1, 2, 3, 6})
    lines.append(body[0])
    lines.append("-" * max(len(line) for line in body))
    lines.extend(body[1:])
    if notes:
        lines.append("")
        lines.extend(notes)
    return "\n".join(lines) + "\n"
