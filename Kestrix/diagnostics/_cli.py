"""kestrix-diag: the diagnostics report from the command line.

Exit codes: 0 the report was printed and every test ran; 1 the report was
printed but a test could not be computed or the figure could not be written,
or --plot was asked for without matplotlib; 2 the command line or the input
data cannot be used (one line on standard error, no report).
"""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

from . import _api
from ._plot import matplotlib_available, plot_cusum
from ._results import CusumResult
from ._report import InputError, build_model, bundled_table, read_csv, render, run_battery

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
    )
    parser.add_argument("csv", nargs="?", help="CSV file with a header row (default: the bundled US macro data)")
    parser.add_argument("--y", help="dependent variable (column name)")
    parser.add_argument("--x", help="regressors, comma-separated column names; an intercept is always added")
    parser.add_argument(
        "--growth", nargs="?", const="*", default=None, metavar="COLS",
        help="use 400*dlog of these columns (comma-separated; alone: the --y and all --x columns; "
        "give the CSV file before this option)",
    )
    parser.add_argument("--lags", type=int, default=4, help="lags of Breusch-Godfrey and Ljung-Box (default 4)")
    parser.add_argument("--break", dest="break_label", metavar="LABEL",
                        help="first observation of the second regime for the Chow test: a label such as "
                             "1984Q1 (from year and quarter columns), a value of a text first column, or a "
                             "row number counted from 1 "
                             "(default: the middle of the sample)")
    parser.add_argument("--kernel", default="bartlett", choices=sorted(_api.KERNELS),
                        help="lag window of the HAC covariance (default bartlett)")
    parser.add_argument("--bandwidth", type=int, default=None,
                        help="HAC bandwidth (default floor(4*(n/100)^(2/9)))")
    parser.add_argument("--plot", metavar="FILE.png", help="write the CUSUM and CUSUM-of-squares figure")
    return parser


def _fail(message: str, code: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return code


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.lags < 1:
        return _fail(f"--lags must be at least 1, got {args.lags}", 2)
    if args.bandwidth is not None and args.bandwidth < 0:
        return _fail(f"--bandwidth must be at least 0, got {args.bandwidth}", 2)
    if args.plot and not matplotlib_available():
        return _fail("--plot needs matplotlib, which is not installed (pip install matplotlib)", 1)
    try:
        if args.csv is None:
            table = bundled_table()
            y = args.y or BUNDLED_Y
            xs = _names(args.x) if args.x else BUNDLED_X
            default_growth = BUNDLED_GROWTH if (args.y is None and args.x is None) else []
        else:
            table = read_csv(args.csv)
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
        model = build_model(table, y, xs, growth)
        report = run_battery(model, args.lags, args.break_label, args.kernel, args.bandwidth)
    except InputError as exc:
        return _fail(str(exc), 2)
    sys.stdout.write(render(report))
    code = 0 if all(row.result is not None for row in report.rows) else 1
    if args.plot:
        cusum, cusumsq = report.result("CUSUM"), report.result("CUSUM of squares")
        if not isinstance(cusum, CusumResult) or not isinstance(cusumsq, CusumResult):
            return _fail("no figure: the CUSUM tests could not be computed", 1)
        title = f"{model.y_name} on {', '.join(model.x_names)}"
        labels = [model.labels[i] for i in cusum.index]
        try:
            plot_cusum(cusum, cusumsq, labels, args.plot, title)
        except (OSError, ValueError) as exc:
            return _fail(f"cannot write {args.plot}: {exc}", 1)
        print(f"figure written to {args.plot}")
    return code
