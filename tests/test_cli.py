"""The diagnostics report, end to end through a subprocess.

The numbers in the printed table are checked against the plain formulas of
test_diagnostics on the same data.
"""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from Kestrix.diagnostics.report.data import EXACT_CSV

from test_diagnostics import bundled, ref_bg, ref_bp, ref_chow, ref_cusum, ref_cusumsq, ref_jb, ref_lb, resid

TESTS = [
    "Breusch-Godfrey LM (4 lags)",
    "Breusch-Pagan LM",
    "Breusch-Pagan LM (studentised)",
    "Chow (break at",
    "Recursive residuals, t test of mean zero",
    "CUSUM",
    "CUSUM of squares",
    "Ljung-Box Q (4 lags)",
    "Jarque-Bera",
    "Wald, HAC",
    "Durbin-Watson",
    "Box-Pierce Q (4 lags)",
    "Breusch-Godfrey F (4 lags)",
    "White (squares and cross products)",
    "ARCH LM (4 lags)",
    "RESET (powers 2 to 3)",
    "sup-F (trim 0.15)",
]


def run(*args, cwd):
    # -P and a scratch working directory: the installed package, never the source tree.
    return subprocess.run([sys.executable, "-P", "-m", "Kestrix.diagnostics", *args],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


def table(stdout):
    """Rows of the test table: name -> [statistic, df, p-value, verdict]."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("test "))
    rows = {}
    for line in lines[start + 2:]:
        if not line.strip():
            break
        cells = re.split(r"\s{2,}", line.strip())
        rows[cells[0]] = cells[1:]
    return rows


def test_bundled_report_matches_formulas(tmp_path):
    out = run(cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "1959Q2 to 2009Q3, 202 observations" in out.stdout
    rows = table(out.stdout)
    assert len(rows) == len(TESTS)
    assert all(len(cells) == 4 for cells in rows.values())

    y, X = bundled()
    e = resid(y, X)
    lm, studentised = ref_bp(e, X[:, 1:])
    expected = {
        "Breusch-Godfrey LM (4 lags)": ref_bg(e, X[:, 1:], 4),
        "Breusch-Pagan LM": lm,
        "Breusch-Pagan LM (studentised)": studentised,
        "Chow (break at 1984Q3)": ref_chow(y, X, len(y) // 2),
        "CUSUM": ref_cusum(y, X),
        "CUSUM of squares": ref_cusumsq(y, X),
        "Ljung-Box Q (4 lags)": ref_lb(e, 4),
        "Jarque-Bera": ref_jb(e),
    }
    for name, value in expected.items():
        assert float(rows[name][0]) == pytest.approx(value, abs=6e-5), name
    # The HAC Wald test of the slopes, from the sandwich written out here.
    bread = np.linalg.inv(X.T @ X)
    g = X * e[:, None]
    g = g - g.mean(axis=0)
    omega = g.T @ g + sum((1 - j / 5) * (g[j:].T @ g[:-j] + g[:-j].T @ g[j:]) for j in range(1, 5))
    V = bread @ omega @ bread
    b = np.linalg.solve(X.T @ X, X.T @ y)[1:]
    wald = next(cells for name, cells in rows.items() if name.startswith("Wald, HAC"))
    assert float(wald[0]) == pytest.approx(b @ np.linalg.solve(V[1:, 1:], b), abs=6e-5)


def test_rank_deficient_model_reports_the_same_numbers(tmp_path):
    plain = run(cwd=tmp_path).stdout
    dup = run("--x", "realdpi,realdpi,realint", "--growth", "realcons,realdpi", cwd=tmp_path)
    assert dup.returncode == 0, dup.stderr
    rows, plain_rows = table(dup.stdout), table(plain)
    for name in ["Breusch-Godfrey LM (4 lags)", "Breusch-Pagan LM", "CUSUM", "CUSUM of squares", "Chow (break at 1984Q3)",
                 "Jarque-Bera"]:
        assert rows[name] == plain_rows[name], name
    # The repeated column gets no coefficient, and the report says why.
    coef = [line.split() for line in dup.stdout.splitlines() if line.startswith("400*dlog(realdpi)")]
    assert [cells[1:] for cells in coef] == [coef[0][1:], ["-", "-", "-"]] and coef[0][1] != "-"
    assert "X has rank 3 of 4 columns (400*dlog(realdpi) is a linear combination of the others)" in dup.stdout


def test_csv_file_and_console_script(tmp_path):
    rng = np.random.default_rng(5)
    n = 80
    x1, x2 = rng.standard_normal(n), rng.uniform(1, 2, n)
    y = 1 + x1 - 0.5 * x2 + rng.standard_normal(n)
    lines = ["date,y,x1,x2"] + [f"2000-{i:03d},{a},{b},{c}" for i, (a, b, c) in enumerate(zip(y, x1, x2))]
    (tmp_path / "data.csv").write_text("\n".join(lines) + "\n")
    script = Path(sys.executable).with_name("kestrix-diag")
    out = subprocess.run([str(script), "data.csv", "--y", "y", "--x", "x1,x2", "--break", "2000-030",
                          "--lags", "2"], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert out.returncode == 0, out.stderr
    rows = table(out.stdout)
    X = np.column_stack([np.ones(n), x1, x2])
    assert float(rows["Chow (break at 2000-030)"][0]) == pytest.approx(ref_chow(y, X, 30), abs=6e-5)
    assert float(rows["Breusch-Godfrey LM (2 lags)"][0]) == pytest.approx(ref_bg(resid(y, X), X[:, 1:], 2),
                                                                          abs=6e-5)


@pytest.mark.parametrize("args, code, message", [
    (["missing.csv", "--y", "a", "--x", "b"], 2, "no such file: missing.csv"),
    (["small.csv", "--y", "a", "--x", "nope"], 2, "unknown column 'nope'"),
    (["small.csv", "--y", "a", "--x", "c"], 2, "column 'c' is not numeric: line 3 holds 'high'"),
    (["small.csv", "--y", "a", "--x", "b"], 2, "too few rows: 4 usable observations"),
    (["small.csv"], 2, "--y is required with a CSV file"),
    (["small.csv", "--y", "a", "--no-constant"], 2, "--no-constant needs regressors"),
    (["small.csv", "--y", "a", "--x", "b", "--tests", "white,durbin"], 2, "--tests: unknown test 'durbin'"),
    (["--trim", "0.5"], 2, "--trim must lie strictly between 0 and 0.5"),
    (["--reset-power", "1"], 2, "--reset-power must be at least 2"),
    (["--arch-lags", "0"], 2, "--arch-lags must be at least 1"),
    (["--break", "2020Q1"], 2, "--break 2020Q1 is not in the sample"),
    (["--growth", "--x", "realint"], 2, "column 'realint' has values <= 0"),
    (["--lags", "0"], 2, "--lags must be at least 1"),
])
def test_input_errors_are_one_line(tmp_path, args, code, message):
    (tmp_path / "small.csv").write_text("a,b,c\n1,2,7\n2,3,high\n3,5,9\n4,4,1\n")
    out = run(*args, cwd=tmp_path)
    assert out.returncode == code
    assert out.stdout == ""
    assert out.stderr.count("\n") == 1 and message in out.stderr


def test_without_scipy_and_matplotlib(tmp_path):
    block = ("import sys; sys.modules.update(dict.fromkeys(['scipy', 'scipy.special', "
             "'scipy.special.cython_special', 'scipy.stats', 'matplotlib'])); "
             "from Kestrix.diagnostics.report.cli import main; sys.exit(main(sys.argv[1:]))")
    out = subprocess.run([sys.executable, "-P", "-c", block], capture_output=True, text=True, cwd=tmp_path,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    rows = table(out.stdout)
    assert rows["Breusch-Pagan LM"][2:4] == ["n/a", "n/a (SciPy not installed)"]
    assert rows["CUSUM"][2] != "n/a"  # a closed form, no SciPy needed
    plot = subprocess.run([sys.executable, "-P", "-c", block, "--plot", "x.png"], capture_output=True,
                          text=True, cwd=tmp_path, timeout=120)
    assert plot.returncode == 1 and "--plot needs matplotlib" in plot.stderr


def test_plot_writes_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = run("--plot", "cusum.png", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    png = (tmp_path / "cusum.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
    bad = run("--plot", str(tmp_path / "no" / "such" / "dir.png"), cwd=tmp_path)
    assert bad.returncode == 1 and "cannot write" in bad.stderr


# --------------------------------------------------------------------------
# --index, --sep, --version, --csv and --json
# --------------------------------------------------------------------------

def yearly(tmp_path, sep=",", gap=False):
    """Yearly data 1950-2009 in a file; with gap, a missing value in 1980 (inside the sample)."""
    rng = np.random.default_rng(12)
    n = 60
    x = rng.standard_normal(n)
    y = 0.5 + 2.0 * x + rng.standard_normal(n)
    lines = [sep.join(["year", "y", "x"])]
    for i in range(n):
        yi = "NA" if gap and 1950 + i == 1980 else repr(float(y[i]))
        lines.append(sep.join([str(1950 + i), yi, repr(float(x[i]))]))
    (tmp_path / "yearly.csv").write_text("\n".join(lines) + "\n")
    return y, np.column_stack([np.ones(n), x])


@pytest.mark.parametrize("sep", [",", ";"])
def test_index_column_makes_integer_break_labels(tmp_path, sep):
    y, X = yearly(tmp_path, sep)
    out = run("yearly.csv", "--y", "y", "--x", "x", "--index", "year", "--break", "1974", "--sep", sep,
              cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "1950 to 2009, 60 observations" in out.stdout
    rows = table(out.stdout)
    # 1974 is the label, the 25th observation: the second regime starts at row 24.
    assert float(rows["Chow (break at 1974)"][0]) == pytest.approx(ref_chow(y, X, 24), abs=6e-5)
    missing = run("yearly.csv", "--y", "y", "--x", "x", "--index", "year", "--break", "1900", "--sep", sep,
                  cwd=tmp_path)
    assert missing.returncode == 2 and "--break 1900 is not in the sample" in missing.stderr
    # Without --index the labels are row numbers: 1974 is no row of 60, and the message says where to look.
    rows_only = run("yearly.csv", "--y", "y", "--x", "x", "--break", "1974", "--sep", sep, cwd=tmp_path)
    assert rows_only.returncode == 2 and rows_only.stderr.count("\n") == 1
    assert "(2 to 60); these are row numbers counted from 1 (--index COL" in rows_only.stderr


def test_wrong_separator_is_one_line(tmp_path):
    yearly(tmp_path, ";")
    out = run("yearly.csv", "--y", "y", "--x", "x", cwd=tmp_path)
    assert out.returncode == 2 and out.stderr.count("\n") == 1
    assert "is the separator ';'? (--sep)" in out.stderr


def test_version(tmp_path):
    import Kestrix.diagnostics as kd

    out = run("--version", cwd=tmp_path)
    assert out.returncode == 0 and out.stdout.strip() == f"kestrix-diag {kd.__version__}"


def test_csv_and_json_hold_the_battery_table(tmp_path):
    import json

    import pandas as pd

    import Kestrix.diagnostics as kd

    y, X = yearly(tmp_path)
    out = run("yearly.csv", "--y", "y", "--x", "x", "--index", "year", "--csv", "t.csv", "--json", "t.json",
              cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    everything = kd.TESTS + kd.OPTIONAL
    expected = kd.battery(kd.ols(y, X), tests=everything)
    written = pd.read_csv(tmp_path / "t.csv", index_col="test", **EXACT_CSV)
    assert list(written.index) == list(everything)
    np.testing.assert_array_equal(written["statistic"].to_numpy(), expected["statistic"].to_numpy())
    assert list(written["verdict"]) == list(expected["verdict"])
    records = json.loads((tmp_path / "t.json").read_text())
    assert [r["test"] for r in records] == list(everything)
    by_name = {r["test"]: r for r in records}
    assert by_name["chow"]["df"] == list(expected.loc["chow", "df"])
    assert by_name["cusum"]["df"] is None and by_name["breusch_godfrey"]["df"] == 4
    for name in everything:
        assert by_name[name]["statistic"] == expected.loc[name, "statistic"]
        pvalue = expected.loc[name, "pvalue"]
        assert by_name[name]["pvalue"] == (None if np.isnan(pvalue) else pvalue)
    bad = run("yearly.csv", "--y", "y", "--x", "x", "--json", str(tmp_path / "no" / "t.json"), cwd=tmp_path)
    assert bad.returncode == 1 and "cannot write" in bad.stderr and "Kestrix diagnostics report" in bad.stdout


def test_gap_inside_the_sample_is_noted(tmp_path):
    yearly(tmp_path, gap=True)
    out = run("yearly.csv", "--y", "y", "--x", "x", "--index", "year", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "59 observations (1 row with missing values left out)" in out.stdout
    assert "leaving 1 gap inside the sample" in out.stdout
    # The note of the tests that use the order of the rows, printed once with those tests.
    gap = "1 gap inside the sample from rows with missing values: the rows either side are treated as adjacent"
    assert out.stdout.count(gap) == 1
    listed = out.stdout.split(gap, 1)[1].splitlines()[0]
    assert listed.startswith(" [breusch_godfrey, chow, recursive_residuals, cusum, cusum_squares, ljung_box")
    assert "jarque_bera" not in listed


def test_a_test_that_does_not_apply_is_no_error(tmp_path):
    yearly(tmp_path)
    out = run("yearly.csv", "--y", "y", "--x", "x", "--lags", "58", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    rows = table(out.stdout)
    assert rows["Breusch-Godfrey LM (58 lags)"] == ["-", "-", "-", "not applicable"]
    assert rows["Jarque-Bera"][0] != "-"
    assert "Breusch-Godfrey LM (58 lags): too few observations" not in out.stdout  # two tests share the reason
    assert re.search(r"too few observations: 58 lags .* \[breusch_godfrey, breusch_godfrey_f\]", out.stdout)
    assert "errors" not in out.stdout


# --------------------------------------------------------------------------
# Panel mode: --by
# --------------------------------------------------------------------------

def panel_file(tmp_path, bad=False):
    from test_panel import long_panel

    frame = long_panel(groups=25, seed=21)
    if bad:
        frame.loc[frame.index[frame["firm"] == "f0003"][2], "ret"] = np.nan
    frame.to_csv(tmp_path / "panel.csv", index=False)
    return frame


@pytest.mark.parametrize("out", ["results.csv", "results.parquet"])
def test_panel_mode_writes_the_table_and_a_summary(tmp_path, out):
    import pandas as pd

    import Kestrix.diagnostics as kd

    if out.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    frame = panel_file(tmp_path)
    run_ = run("panel.csv", "--by", "firm", "--y", "ret", "--x", "mkt,smb,hml", "--out", out, "--workers", "2",
               cwd=tmp_path)
    assert run_.returncode == 0, run_.stderr
    assert f"groups: 25 by firm; tests: {len(kd.TESTS)}; groups with errors: 0" in run_.stdout
    expected = kd.battery_panel(frame, "firm", "ret", ["mkt", "smb", "hml"], workers=1)
    rejected = expected.xs("breusch_pagan", level="test")["reject_5pct"].mean() * 100
    assert re.search(rf"breusch_pagan\s+25\s+0\s+0\s+{rejected:.1f} %", run_.stdout)
    path = tmp_path / out
    if out.endswith(".parquet"):
        written = pd.read_parquet(path)
    else:
        written = pd.read_csv(path, index_col=["firm", "test"], **EXACT_CSV)
    assert len(written) == len(expected)
    np.testing.assert_array_equal(written["statistic"].to_numpy(), expected["statistic"].to_numpy())


def test_panel_mode_exit_codes(tmp_path):
    panel_file(tmp_path, bad=True)
    bad = run("panel.csv", "--by", "firm", "--y", "ret", "--x", "mkt", cwd=tmp_path)
    assert bad.returncode == 1 and "groups with errors: 1" in bad.stdout
    assert "error in f0003: y contains 1 missing value" in bad.stdout
    for args, message in [(["--x", "nope"], "unknown column 'nope'"), (["--x", "mkt", "--plot", "a.png"],
                                                                        "--plot does not go with --by"),
                          (["--x", "mkt", "--workers", "0"], "--workers must be at least 1")]:
        out = run("panel.csv", "--by", "firm", "--y", "ret", *args, cwd=tmp_path)
        assert out.returncode == 2 and message in out.stderr and out.stdout == ""


@pytest.mark.parametrize("cell, code, words", [
    ("high", 2, "column 'smb' is not numeric: line 8 holds 'high'"),
    ("NA", 1, "error in f0000: X contains 1 missing value"),
    ("inf", 1, "error in f0000: X contains 1 infinite value"),
])
def test_panel_file_cells_that_are_no_number(tmp_path, cell, code, words):
    frame = panel_file(tmp_path)
    lines = (tmp_path / "panel.csv").read_text().splitlines()
    header = lines[0].split(",")
    cells = lines[7].split(",")  # line 8 of the file: a row of firm f0000
    cells[header.index("smb")] = cell
    lines[7] = ",".join(cells)
    (tmp_path / "panel.csv").write_text("\n".join(lines) + "\n")
    assert frame["firm"].iloc[6] == "f0000"
    out = run("panel.csv", "--by", "firm", "--y", "ret", "--x", "mkt,smb", cwd=tmp_path)
    assert out.returncode == code
    assert words in (out.stderr if code == 2 else out.stdout)


@pytest.mark.parametrize("args, header, constant", [
    (["--y", "y"], "model:  OLS of y on const (intercept only)", True),
    (["--y", "y", "--x", "x", "--no-constant"], "model:  OLS of y on x (no constant)", False),
    (["--y", "y", "--x", "x"], "model:  OLS of y on const, x\n", True),
])
def test_models_without_regressors_or_without_a_constant(tmp_path, args, header, constant):
    import Kestrix.diagnostics as kd

    y, X = yearly(tmp_path)
    out = run("yearly.csv", *args, "--index", "year", "--tests", "breusch_godfrey,white,chow,arch_lm",
              "--arch-lags", "2", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert header in out.stdout
    rows = table(out.stdout)
    assert list(rows) == ["Breusch-Godfrey LM (4 lags)", "White (squares and cross products)",
                          "Chow (break at 1980)", "ARCH LM (2 lags)"]
    design = X if "--x" in args else X[:, :1]
    if not constant:
        design = X[:, 1:]
    expected = kd.battery(kd.ols(y, design), tests=["chow"], position=30)
    assert float(rows["Chow (break at 1980)"][0]) == pytest.approx(expected.loc["chow", "statistic"], abs=6e-5)
    if "--x" not in args:  # nothing the variance could depend on: not applicable, and no error
        assert rows["White (squares and cross products)"][3] == "not applicable"
        assert "White (squares and cross products): X has no non-constant column" in out.stdout


@pytest.mark.parametrize("lines, message", [
    (["year,y,x", "2001,1.5,inf"] + [f"{2002 + i},{i % 3},{i}" for i in range(20)],
     "column 'x' holds an infinite value on line 2 ('inf')"),
    (["year,y,x"] + [f"{2000 + i // 2 * 2},{i % 3},{i}" for i in range(20)],
     "--index column 'year': 2000 labels more than one row (lines 2 and 3)"),
    (["year,quarter,y,x"] + [f"2000,{1 + i % 4},{i % 3},{i}" for i in range(20)],
     "the year and quarter columns: 2000Q1 labels more than one row (lines 2 and 6)"),
])
def test_infinite_values_and_repeated_labels_are_refused(tmp_path, lines, message):
    (tmp_path / "data.csv").write_text("\n".join(lines) + "\n")
    args = ["--index", "year"] if "--index" in message else []
    out = run("data.csv", "--y", "y", "--x", "x", *args, cwd=tmp_path)
    assert out.returncode == 2 and out.stdout == "" and message in out.stderr


def test_short_panel_groups_are_not_applicable_not_errors(tmp_path):
    from test_real_data import short_panel

    short_panel(groups=30).to_csv(tmp_path / "wages.csv", index=False)
    out = run("wages.csv", "--by", "worker", "--y", "wage", "--x", "exper,union", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "groups: 30 by worker; tests: 16; groups with errors: 0; groups where a test does not apply: 30" \
        in out.stdout
    assert re.search(r"arch_lm\s+0\s+30\s+0\s+-", out.stdout)
    assert "not applicable, arch_lm (first group): too few observations: ARCH LM with 4 lags" in out.stdout
    fewer = run("wages.csv", "--by", "worker", "--y", "wage", "--x", "exper,union", "--arch-lags", "2",
                "--tests", "arch_lm,jarque_bera", cwd=tmp_path)
    assert fewer.returncode == 0 and re.search(r"arch_lm\s+30\s+0\s+0\s", fewer.stdout)
