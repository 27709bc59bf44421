"""kestrix-diag: the diagnostics report from the command line.

Exit codes: 0 the report was printed and every test ran; 1 the report was
printed but a test could not be computed or the figure or a table file could
not be written, or --plot was asked for without matplotlib; 2 the command
line or the input data cannot be used (one line on standard error, no
report).
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Sequence

from Kestrix import diagnostics as kd

from .data import InputError, break_label, build_model, bundled_table, fit_model, read_csv, separator
from .panel import run as run_panel
from .panel import write_table
from .plot import matplotlib_available, plot_cusum
from .render import make_report, render, write_csv, write_json

PROG = "kestrix-diag"

BUNDLED_Y = "realcons"
BUNDLED_X = ["realdpi", "realint"]
BUNDLED_GROWTH = ["realcons", "realdpi"]


def _names(text: str) -> list[str]:
    return [name.strip() for name in text.split(",") if name.strip()]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Fit an OLS regression from a CSV file and run the Kestrix diagnostics on it. "
        "Without a file: quarterly US consumption growth on income growth and the real interest rate "
        "(bundled data, 1959-2009).",
        epilog="Exit status: 0 report printed; 1 report printed, but a test could not be computed or a file "
        "could not be written (or --plot without matplotlib); 2 unusable command line or data.",
    )
    parser.add_argument("data", nargs="?", metavar="FILE",
                        help="CSV file with a header row (default: the bundled US macro data)")
    parser.add_argument("--y", help="dependent variable (column name)")
    parser.add_argument("--x", help="regressors, comma-separated column names; an intercept is always added")
    parser.add_argument(
        "--growth", nargs="?", const="*", default=None, metavar="COLS",
        help="use 400*dlog of these columns (comma-separated; alone: the --y and all --x columns; "
        "give the CSV file before this option)",
    )
    parser.add_argument("--sep", default=",", metavar="SEP",
                        help="field separator of the CSV file, one character; \\t for a tab (default ,)")
    parser.add_argument("--index", metavar="COL",
                        help="label the observations by this column: integers (a year) stay integers, "
                             "dates are read as dates, anything else is text (default: year and quarter "
                             "columns give 1959Q1, else a text first column, else row numbers from 1)")
    parser.add_argument("--lags", type=int, default=4, help="lags of Breusch-Godfrey and Ljung-Box (default 4)")
    parser.add_argument("--break", dest="break_label", metavar="LABEL",
                        help="first observation of the second regime for the Chow test, a label of the "
                             "observations: 1974 with --index year, 1984Q1 with year and quarter columns, "
                             "a value of a text first column, or a row number counted from 1 "
                             "(default: the middle of the sample)")
    parser.add_argument("--kernel", default="bartlett", choices=sorted(kd.KERNELS),
                        help="lag window of the HAC covariance (default bartlett)")
    parser.add_argument("--bandwidth", type=int, default=None,
                        help="HAC bandwidth (default floor(4*(n/100)^(2/9)))")
    parser.add_argument("--plot", metavar="FILE.png", help="write the CUSUM and CUSUM-of-squares figure")
    parser.add_argument("--csv", metavar="FILE", dest="csv_out",
                        help="also write the table of tests to this CSV file (the test name first)")
    parser.add_argument("--json", metavar="FILE", dest="json_out",
                        help="also write the table of tests to this JSON file (one record per test)")
    panel = parser.add_argument_group("panel mode (one regression per group of a long-form file)")
    panel.add_argument("--by", metavar="COLS", help="group columns, comma-separated: run the battery for every group")
    panel.add_argument("--out", metavar="FILE", help="write the panel table here (CSV; Parquet for a name ending "
                                                      "in .parquet, with pyarrow)")
    panel.add_argument("--workers", type=int, default=None,
                       help="threads for the panel (default: every core)")
    parser.add_argument("--version", action="version", version=f"{PROG} {kd.__version__}")
    return parser


def _fail(message: str, code: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return code


def _write(path: str, what: str, write: Callable[[], None]) -> bool:
    try:
        write()
    except (OSError, ValueError) as exc:
        _fail(f"cannot write {what} {path}: {exc}", 1)
        return False
    return True


def _panel(args: argparse.Namespace) -> int:
    """--by: the battery of every group, the table to --out, a one-screen summary."""
    for option, value in (("--growth", args.growth), ("--index", args.index), ("--break", args.break_label),
                          ("--plot", args.plot), ("--csv", args.csv_out), ("--json", args.json_out)):
        if value is not None:
            return _fail(f"{option} does not go with --by (the panel table goes to --out)", 2)
    if args.data is None or not args.y or not args.x:
        return _fail("--by needs a CSV file, --y and --x", 2)
    if args.workers is not None and args.workers < 1:
        return _fail(f"--workers must be at least 1, got {args.workers}", 2)
    try:
        table, text = run_panel(args.data, separator(args.sep), _names(args.by), args.y, _names(args.x), args.out,
                                args.workers, {"lags": args.lags, "kernel": args.kernel, "bandwidth": args.bandwidth})
    except InputError as exc:
        return _fail(str(exc), 2)
    sys.stdout.write(text)
    code = 1 if table["error"].notna().any() else 0
    if args.out:
        if not _write(args.out, "the table to", lambda: write_table(table, args.out)):
            return 1
        print(f"table written to {args.out} ({len(table)} rows)")
    return code


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.lags < 1:
        return _fail(f"--lags must be at least 1, got {args.lags}", 2)
    if args.bandwidth is not None and args.bandwidth < 0:
        return _fail(f"--bandwidth must be at least 0, got {args.bandwidth}", 2)
    if args.by is not None:
        return _panel(args)
    if args.plot and not matplotlib_available():
        return _fail("--plot needs matplotlib, which is not installed (pip install matplotlib)", 1)
    try:
        sep = separator(args.sep)
        if args.data is None:
            table = bundled_table()
            y = args.y or BUNDLED_Y
            xs = _names(args.x) if args.x else BUNDLED_X
            default_growth = BUNDLED_GROWTH if (args.y is None and args.x is None) else []
        else:
            table = read_csv(args.data, sep)
            if not args.y or not args.x:
                return _fail("--y and --x are required with a CSV file", 2)
            y, xs = args.y, _names(args.x)
            default_growth = []
        if not xs:
            return _fail("--x names no column", 2)
        if args.growth is None:
            growth = default_growth
        elif args.growth == "*":
            growth = [y, *xs]
        else:
            growth = _names(args.growth)
        model = build_model(table, y, xs, growth, args.index)
        fit = fit_model(model)
        at = None if args.break_label is None else break_label(fit.index, args.break_label)
    except InputError as exc:
        return _fail(str(exc), 2)
    report = make_report(model, fit, args.lags, at, args.kernel, args.bandwidth)
    sys.stdout.write(render(report))
    sys.stdout.flush()
    code = 1 if report.errors else 0
    if args.csv_out and not _write(args.csv_out, "the table to", lambda: write_csv(report.table, args.csv_out)):
        code = 1
    if args.json_out and not _write(args.json_out, "the table to",
                                    lambda: write_json(report.table, args.json_out)):
        code = 1
    if args.plot:
        cusum, squares = report.cusum, report.cusum_squares
        if cusum is None or squares is None:
            return _fail("no figure: the CUSUM tests could not be computed", 1)
        title = f"{model.y_name} on {', '.join(fit.names)}"
        if not _write(args.plot, "the figure to", lambda: plot_cusum(cusum, squares, args.plot, title)):
            return 1
        print(f"figure written to {args.plot}")
    return code
