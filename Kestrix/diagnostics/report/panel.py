"""The panel mode of the report: one regression per group, the table to a file, a summary on screen."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from Kestrix import diagnostics as kd

from .data import EXACT_CSV, InputError


def read_panel(path: str, sep: str, by: list[str], y: str, xs: list[str]) -> pd.DataFrame:
    """The long-form file with the columns the panel needs; group columns as read, the others as numbers."""
    file = Path(path)
    if not file.is_file():
        raise InputError(f"no such file: {path}" if not file.exists() else f"not a file: {path}")
    try:
        header = pd.read_csv(file, sep=sep, encoding="utf-8-sig", nrows=0).columns
    except (OSError, UnicodeDecodeError, ValueError, pd.errors.ParserError) as exc:
        raise InputError(f"cannot read {path}: {str(exc).splitlines()[0]}") from None
    raw = {str(c).strip(): c for c in header}
    for name in (*by, y, *xs):
        if name not in raw:
            raise InputError(f"unknown column '{name}' (columns: {', '.join(raw)})")
    wanted = list(dict.fromkeys((*by, y, *xs)))
    numeric = [name for name in (y, *xs) if name not in by]
    try:
        # The columns the panel needs, its numbers parsed as floats as they are read: no column of text
        # held on the way (on a file of numbers this keeps the peak memory near the frame's own size).
        frame = pd.read_csv(file, sep=sep, encoding="utf-8-sig", usecols=[raw[c] for c in wanted],
                            dtype={raw[c]: np.float64 for c in numeric}, **EXACT_CSV)
    except ValueError:
        frame = None  # a value that is not a number: read as it is, to say where
    except (OSError, UnicodeDecodeError, pd.errors.ParserError) as exc:
        raise InputError(f"cannot read {path}: {str(exc).splitlines()[0]}") from None
    if frame is None:
        try:
            frame = pd.read_csv(file, sep=sep, encoding="utf-8-sig", usecols=[raw[c] for c in wanted],
                                **EXACT_CSV)
        except (OSError, UnicodeDecodeError, ValueError, pd.errors.ParserError) as exc:
            raise InputError(f"cannot read {path}: {str(exc).splitlines()[0]}") from None
    frame.columns = [str(c).strip() for c in frame.columns]
    for name in (y, *xs):
        if frame[name].dtype == np.float64:
            continue
        values = pd.to_numeric(frame[name], errors="coerce")
        bad = values.isna() & frame[name].notna()
        if bad.any():
            i = int(np.argmax(bad.to_numpy()))
            raise InputError(f"column '{name}' is not numeric: line {i + 2} holds {frame[name].iloc[i]!r}")
        frame[name] = values.astype(np.float64)
    if frame.empty:
        raise InputError(f"{path} has no rows")
    return frame


def write_table(table: pd.DataFrame, path: str) -> None:
    """CSV, or Parquet for a name ending in .parquet (needs pyarrow)."""
    out = table.copy()
    out["df"] = [None if d is None else ", ".join(map(str, d)) if isinstance(d, tuple) else str(d)
                 for d in out["df"]]
    if path.endswith(".parquet"):
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ValueError("Parquet output needs pyarrow, which is not installed (pip install pyarrow)") from None
        out["reject_5pct"] = out["reject_5pct"].astype("boolean")
        out.to_parquet(path)
    else:
        out.to_csv(path)


def summary(table: pd.DataFrame, by: list[str], source: str) -> str:
    """One screen: groups, tests, per test the groups computed, not applicable and in error, the share rejected."""
    groups = table.index.droplevel("test").unique()
    tests = list(dict.fromkeys(table.index.get_level_values("test")))
    failed = table[table["error"].notna()]
    failed_groups = failed.index.droplevel("test").unique()
    inapplicable = table["status"] == kd.Status.NOT_APPLICABLE
    inapplicable_groups = table[inapplicable].index.droplevel("test").unique()
    lines = [f"Kestrix panel diagnostics: {source}",
             f"groups: {len(groups)} by {', '.join(by)}; tests: {len(tests)}; groups with errors: "
             f"{len(failed_groups)}; groups where a test does not apply: {len(inapplicable_groups)}", ""]
    rows = [["test", "computed", "not applicable", "errors", "rejected at 5%"]]
    for name in tests:
        part = table.xs(name, level="test")
        decided = part["reject_5pct"].dropna()
        share = f"{100.0 * float(decided.astype(bool).mean()):.1f} %" if len(decided) else "-"
        rows.append([name, str(int(part["statistic"].notna().sum())),
                     str(int((part["status"] == kd.Status.NOT_APPLICABLE).sum())),
                     str(int(part["error"].notna().sum())), share])
    widths = [max(len(r[j]) for r in rows) for j in range(len(rows[0]))]
    for r in rows:
        lines.append("  ".join([r[0].ljust(widths[0]), *(cell.rjust(w) for cell, w in zip(r[1:], widths[1:]))])
                     .rstrip())
    if len(inapplicable_groups):
        lines.append("")
        reasons = table[inapplicable].groupby(level="test", sort=False)["note"].first()
        for name, reason in reasons.items():
            lines.append(f"not applicable, {name} (first group): {reason}")
    if len(failed_groups):
        lines.append("")
        shown = failed.groupby(level=list(range(len(by))), sort=False)["error"].first()
        for key, message in list(shown.items())[:5]:
            label = key if not isinstance(key, tuple) else ", ".join(map(str, key))
            lines.append(f"error in {label}: {message}")
        if len(shown) > 5:
            lines.append(f"... and {len(shown) - 5} more groups with errors (the 'error' column of the table)")
    return "\n".join(lines) + "\n"


def run(path: str, sep: str, by: list[str], y: str, xs: list[str], out: str | None, workers: int | None,
        options: dict[str, Any]) -> tuple[pd.DataFrame, str]:
    frame = read_panel(path, sep, by, y, xs)
    table = kd.battery_panel(frame, by, y, xs, workers=workers, **options)
    return table, summary(table, by, Path(path).name)
