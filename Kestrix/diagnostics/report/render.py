"""The report: one battery run on the fit, printed as text and written as CSV or JSON."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from Kestrix import diagnostics as kd

from .data import Model


@dataclass(frozen=True)
class Report:
    model: Model
    fit: kd.OLSFit
    table: pd.DataFrame  # kd.battery's table, one row per test of kd.TESTS
    hac: kd.HACResult | None  # HAC covariance of the coefficients; None when it cannot be computed
    hac_error: str | None
    kernel: str
    cusum: kd.CusumResult | None  # the paths behind the CUSUM rows, for their boundaries and the figure
    cusum_squares: kd.CusumResult | None
    cusum_scale: str = "ols"

    @property
    def errors(self) -> list[str]:
        """The tests that could not be computed."""
        return [str(name) for name, error in self.table["error"].items() if _present(error)]


def _optional(run: Any) -> Any:
    try:
        return run()
    except (ValueError, MemoryError):
        return None


def make_report(model: Model, fit: kd.OLSFit, tests: Any = None, **options: Any) -> Report:
    """The tests (by default every one, optional ones included) on the fit, with the options of ``kd.battery``.

    The Chow break ``break_at`` is a label of the fit's index (by default mid-sample).
    """
    # One regression is cheap enough for the optional tests too (sup-F: a Chow statistic per candidate break).
    table = kd.battery(fit, tests=kd.TESTS + kd.OPTIONAL if tests is None else tests, **options)
    kernel, bandwidth = options.get("kernel", "bartlett"), options.get("bandwidth")
    try:
        hac, hac_error = kd.hac_coefficient_covariance(fit, kernel, bandwidth), None
    except (ValueError, MemoryError) as exc:
        hac, hac_error = None, str(exc)
    # The fit keeps its recursive residuals, so the paths cost little after the battery.
    computed = table.index[table["statistic"].notna()]
    scale = options.get("cusum_scale", "ols")
    cusum = _optional(lambda: kd.cusum(fit, scale=scale)) if "cusum" in computed else None
    squares = _optional(lambda: kd.cusum_squares(fit)) if "cusum_squares" in computed else None
    return Report(model, fit, table, hac, hac_error, kernel, cusum, squares, scale)


# --- text ------------------------------------------------------------------

def _present(value: Any) -> bool:
    """A cell that holds something: not None, not NaN, not empty text."""
    if value is None:
        return False
    if isinstance(value, float) and math.isnan(value):
        return False
    return not (isinstance(value, str) and not value)


def _number(value: float) -> str:
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.4f}" if abs(value) < 1e6 else f"{value:.4g}"


def _pvalue(value: float) -> str:
    if math.isnan(value):
        return "nan"
    return f"{value:.4f}" if value >= 1e-3 else f"{value:.2e}"


def _df(df: Any) -> str:
    if not _present(df):
        return "-"
    if isinstance(df, (tuple, list)):
        return ", ".join(str(d) for d in df)
    return str(df)


def _align(rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(row[j]) for row in rows) for j in range(len(rows[0]))]
    out = []
    for row in rows:
        cells = [cell.rjust(w) if j in right else cell.ljust(w) for j, (cell, w) in enumerate(zip(row, widths))]
        out.append("  ".join(cells).rstrip())
    return out


def _test_row(row: Any) -> list[str]:
    if math.isnan(row.statistic):  # not computed, or not applicable: the reason is under the table
        return [row.label, "-", "-", "-", row.verdict]
    verdict, pvalue = row.verdict, _pvalue(row.pvalue)
    # The table keeps a missing p-value as NaN; its verdict says whether SciPy was
    # missing or the test has no p-value by design (Durbin-Watson).
    if math.isnan(row.pvalue) and verdict.startswith("no p-value"):
        pvalue = "n/a"
        if "SciPy" in verdict:
            verdict = "n/a (SciPy not installed)"
    return [row.label, _number(row.statistic), _df(row.df), pvalue, verdict]


def _cusum_lines(report: Report) -> list[str]:
    lines = []
    if report.cusum is not None and report.cusum.critical_value is not None:
        m = len(np.asarray(report.cusum.series))
        scale = "the residual s.e. of the fit" if report.cusum_scale == "ols" else \
            "the standard deviation of the recursive residuals"
        lines.append(f"CUSUM: statistic is max |W_r| / (sqrt(m) + 2(r-1)/sqrt(m)), m = {m}; "
                     f"5% boundary a = {report.cusum.critical_value:.3f}")
        lines.append(f"  (W_r: the sum of the first r recursive residuals over {scale})")
    if report.cusum_squares is not None and report.cusum_squares.critical_value is not None:
        m = len(np.asarray(report.cusum_squares.series))
        lines.append(f"CUSUM of squares: statistic is max |s_i - i/m|, m = {m}; "
                     f"5% boundary i/m +- {report.cusum_squares.critical_value:.4f}")
    return lines


def render(report: Report) -> str:
    model, fit, table = report.model, report.fit, report.table
    lines = ["Kestrix diagnostics report", ""]
    data_line = f"data:   {model.source}, {fit.index[0]} to {fit.index[-1]}, {fit.nobs} observations"
    if fit.dropped:
        k = len(fit.dropped)
        data_line += f" ({k} row{'s' if k > 1 else ''} with missing values left out)"
    lines.append(data_line)
    lines.append(f"model:  OLS of {model.y_name} on {', '.join(fit.names)} {model.described}".rstrip())
    lines.append("")
    hac_se = np.sqrt(np.diag(report.hac.covariance)) if report.hac is not None else None
    coef_rows = [["term", "coef", "std.err", "HAC s.e."]]
    for j, (name, b, se) in enumerate(zip(fit.names, fit.coef, fit.bse)):
        if fit.dependent[j]:  # not identified: the fit's note names it
            coef_rows.append([name, "-", "-", "-"])
            continue
        coef_rows.append([name, _number(b), _number(se), "-" if hac_se is None else _number(hac_se[j])])
    lines.extend(_align(coef_rows, {1, 2, 3}))
    if report.hac is not None:
        hac_text = f"HAC: {report.hac.kernel} window, bandwidth {report.hac.bandwidth}"
    else:
        hac_text = f"HAC: {report.kernel} window, not computed: {report.hac_error}"
    lines.append(f"R-squared {fit.rsquared:.4f}, residual s.e. {fit.sigma:.4f}; {hac_text}")
    lines.append("")
    body = _align([["test", "statistic", "df", "p-value", "verdict at 5%"],
                   *(_test_row(row) for row in table.itertuples())], {1, 2, 3})
    lines.append(body[0])
    lines.append("-" * max(len(line) for line in body))
    lines.extend(body[1:])
    errors = [f"{row.label}: {row.error}" for row in table.itertuples() if _present(row.error)]
    if errors:
        lines += ["", "errors (tests not computed):", *(f"- {error}" for error in errors)]
    notes = [f"OLS fit: {note}" for note in table.attrs.get("notes", [])] + _notes(table) + _cusum_lines(report)
    if notes:
        lines.append("")
        lines.extend(notes)
    return "\n".join(lines) + "\n"


def _notes(table: pd.DataFrame) -> list[str]:
    """Each note of the table once: after the test's label when one test has it, else with the tests listed."""
    by_note: dict[str, list[Any]] = {}
    for name, row in zip(table.index, table.itertuples()):
        if _present(row.note):
            # A row's notes are joined by "; ", and no note has "; " inside.
            for note in str(row.note).split("; "):
                by_note.setdefault(note, []).append((name, row.label))
    out = []
    for note, tests in by_note.items():
        if len(tests) == 1:
            out.append(f"{tests[0][1]}: {note}")
        else:
            out.append(f"{note} [{', '.join(str(name) for name, _ in tests)}]")
    return out


# --- files -----------------------------------------------------------------

def _plain(value: Any) -> Any:
    """A cell as JSON: NaN and missing values as null, NumPy scalars as numbers, a df pair as a list."""
    if value is None or value is pd.NA:
        return None
    if isinstance(value, (tuple, list)):
        return [_plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return None if math.isnan(value) else float(value)
    return str(value)


def records(table: pd.DataFrame) -> list[dict[str, Any]]:
    """The battery table as one record per test, the test name first."""
    return [{"test": str(name), **{column: _plain(value) for column, value in row.items()}}
            for name, row in table.iterrows()]


def write_json(table: pd.DataFrame, path: str) -> None:
    text = json.dumps(records(table), indent=2, allow_nan=False)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text + "\n")


def write_csv(table: pd.DataFrame, path: str) -> None:
    """The table with the test name as first column; a df pair is written as "3, 196", a missing value empty."""
    out = table.copy()
    out["df"] = [_df(df) if _present(df) else "" for df in out["df"]]
    with open(path, "w", encoding="utf-8", newline="") as handle:
        out.to_csv(handle, index_label="test")
