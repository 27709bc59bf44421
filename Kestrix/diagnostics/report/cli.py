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
from typing import Any, Callable, Sequence

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
        epilog="Exit status: 0 report printed (tests that do not apply to the data are no error); 1 report printed, "
        "but a test could not be computed or a file could not be written (or --plot without matplotlib); "
        "2 unusable command line or data.",
    )
    parser.add_argument("data", nargs="?", metavar="FILE",
                        help="CSV file with a header row (default: the bundled US macro data)")
    model = parser.add_argument_group("the model")
    model.add_argument("--y", help="dependent variable (column name); required with a file")
    model.add_argument("--x", help="regressors, comma-separated column names (none: y on a constant alone)")
    model.add_argument("--no-constant", action="store_true",
                       help="no intercept: the model is y on the --x columns alone")
    model.add_argument(
        "--growth", nargs="?", const="*", default=None, metavar="COLS",
        help="use 400*dlog of these columns (comma-separated; alone: the --y and all --x columns; "
        "give the CSV file before this option)",
    )
    model.add_argument("--sep", default=",", metavar="SEP",
                       help="field separator of the CSV file, one character; \\t for a tab (default ,)")
    model.add_argument("--index", metavar="COL",
                       help="label the observations by this column (one row per label): integers (a year) stay "
                            "integers, dates are read as dates, anything else is text (default: year and quarter "
                            "columns give 1959Q1, else a text first column whose values do not repeat, else row "
                            "numbers from 1)")
    tests = parser.add_argument_group("the tests and their options")
    tests.add_argument("--tests", metavar="NAMES",
                       help="the tests to run, comma-separated names (" + ", ".join(kd.TESTS + kd.OPTIONAL) +
                            "); default: all of them, or in panel mode the default battery (all but "
                            + ", ".join(kd.OPTIONAL) + ")")
    tests.add_argument("--lags", type=int, default=kd.Options.lags,
                       help="lags of Breusch-Godfrey (LM and F), Ljung-Box, Box-Pierce and ARCH LM "
                            f"(default {kd.Options.lags})")
    tests.add_argument("--arch-lags", type=int, default=None, metavar="N",
                       help="lags of ARCH LM alone (default: --lags)")
    tests.add_argument("--break", dest="break_label", metavar="LABEL",
                       help="first observation of the second regime for the Chow test, a label of the "
                            "observations: 1974 with --index year, 1984Q1 with year and quarter columns, "
                            "a value of a text first column, or a row number counted from 1 "
                            "(default: the middle of the sample)")
    tests.add_argument("--kernel", default=kd.Options.kernel, choices=sorted(kd.KERNELS),
                       help="lag window of the HAC covariance behind the robust standard errors and the Wald test "
                            f"that all slopes are zero (default {kd.Options.kernel})")
    tests.add_argument("--bandwidth", type=int, default=None,
                       help="bandwidth of that HAC covariance (default floor(4*(n/100)^(2/9)))")
    tests.add_argument("--reset-power", type=int, default=kd.Options.power, metavar="N",
                       help=f"highest power of the fitted values RESET adds (default {kd.Options.power})")
    tests.add_argument("--trim", type=float, default=kd.Options.trim, metavar="SHARE",
                       help="share of the sample left out at each end of sup-F's search for a break "
                            f"(default {kd.Options.trim})")
    tests.add_argument("--cusum-scale", default=kd.Options.cusum_scale, choices=kd.CUSUM_SCALES,
                       help="the CUSUM path divided by the residual standard error of the fit (ols) or by the "
                            f"standard deviation of the recursive residuals (recursive); default {kd.Options.cusum_scale}")
    output = parser.add_argument_group("output")
    output.add_argument("--plot", metavar="FILE.png", help="write the CUSUM and CUSUM-of-squares figure")
    output.add_argument("--csv", metavar="FILE", dest="csv_out",
                        help="also write the table of tests to this CSV file (the test name first)")
    output.add_argument("--json", metavar="FILE", dest="json_out",
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


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """The battery's options from the command line, checked by the API (a bad value raises ValueError)."""
    options = {"lags": args.lags, "arch_lags": args.arch_lags, "kernel": args.kernel, "bandwidth": args.bandwidth,
               "power": args.reset_power, "trim": args.trim, "cusum_scale": args.cusum_scale}
    flags = {"lags": "--lags", "arch_lags": "--arch-lags", "bandwidth": "--bandwidth", "power": "--reset-power",
             "trim": "--trim"}
    try:
        kd.Options(**options)
    except (TypeError, ValueError) as exc:
        text = str(exc)
        name = next((n for n in flags if text.startswith(n + " ")), None)
        raise InputError(text if name is None else f"{flags[name]}{text[len(name):]}") from None
    return options


def _tests(args: argparse.Namespace, default: tuple[str, ...]) -> tuple[str, ...]:
    if args.tests is None:
        return default
    names = tuple(_names(args.tests))
    unknown = [name for name in names if name not in kd.TESTS + kd.OPTIONAL]
    if unknown or not names:
        raise InputError(f"--tests: unknown test '{unknown[0]}' (tests: {', '.join(kd.TESTS + kd.OPTIONAL)})"
                         if unknown else "--tests names no test")
    return names


def _panel(args: argparse.Namespace) -> int:
    """--by: the battery of every group, the table to --out, a one-screen summary."""
    for option, value in (("--growth", args.growth), ("--index", args.index), ("--break", args.break_label),
                          ("--plot", args.plot), ("--csv", args.csv_out), ("--json", args.json_out)):
        if value is not None:
            return _fail(f"{option} does not go with --by (the panel table goes to --out)", 2)
    if args.data is None or not args.y:
        return _fail("--by needs a CSV file and --y", 2)
    if args.workers is not None and args.workers < 1:
        return _fail(f"--workers must be at least 1, got {args.workers}", 2)
    xs = _names(args.x) if args.x else []
    if not xs and args.no_constant:
        return _fail("--no-constant needs regressors (--x): without them the model has no column", 2)
    try:
        options = _options(args)
        tests = _tests(args, kd.TESTS)
        table, text = run_panel(args.data, separator(args.sep), _names(args.by), args.y, xs, args.out,
                                args.workers, dict(options, tests=tests, add_constant=not args.no_constant))
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
    if args.by is not None:
        return _panel(args)
    if args.plot and not matplotlib_available():
        return _fail("--plot needs matplotlib, which is not installed (pip install matplotlib)", 1)
    try:
        options = _options(args)
        tests = _tests(args, kd.TESTS + kd.OPTIONAL)
        sep = separator(args.sep)
        if args.data is None:
            table = bundled_table()
            y = args.y or BUNDLED_Y
            xs = _names(args.x) if args.x is not None else (BUNDLED_X if args.y is None else [])
            default_growth = BUNDLED_GROWTH if (args.y is None and args.x is None) else []
        else:
            table = read_csv(args.data, sep)
            if not args.y:
                return _fail("--y is required with a CSV file (and --x, unless y is on a constant alone)", 2)
            y, xs = args.y, _names(args.x) if args.x else []
            default_growth = []
        if args.growth is None:
            growth = default_growth
        elif args.growth == "*":
            growth = [y, *xs]
        else:
            growth = _names(args.growth)
        model = build_model(table, y, xs, growth, args.index, constant=not args.no_constant)
        fit = fit_model(model)
        at = None if args.break_label is None else break_label(fit.index, args.break_label)
    except InputError as exc:
        return _fail(str(exc), 2)
    report = make_report(model, fit, tests, break_at=at, **options)
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
