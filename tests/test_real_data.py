"""What real data brings: ill-scaled designs, pandas input that does not line up, short groups.

Rank decisions on equilibrated columns (checked on the classic employment
regression against 60-digit arithmetic), the refusals of input that would
otherwise be tested silently wrong, and tests that do not apply to short
groups reported as such rather than as errors.
"""

import math
import warnings
from pathlib import Path

import numpy as np
import pytest

import Kestrix.diagnostics as kd
from oracles import mp_white

pd = pytest.importorskip("pandas")

DATA = Path(__file__).with_name("data")


def longley():
    frame = pd.read_csv(DATA / "longley.csv", index_col="year")
    return frame["TOTEMP"], frame.drop(columns="TOTEMP")


# --------------------------------------------------------------------------
# Rank decisions on equilibrated columns
# --------------------------------------------------------------------------

@pytest.mark.parametrize("standardise", [False, True])
def test_white_on_the_employment_regression_keeps_every_column(standardise):
    y, X = longley()
    if standardise:  # the statistic of the same regression in other units
        X = (X - X.mean()) / X.std()
    res = kd.white(kd.ols(y, X, add_constant=True), cross=False)
    exact, df = mp_white(y.to_numpy(), np.column_stack([np.ones(16), X.to_numpy()]), cross=False)
    assert (res.df, df) == (12, 12) and res.note is None
    assert res.statistic == pytest.approx(exact, rel=1e-8)
    assert exact == pytest.approx(10.1110, abs=5e-5)


@pytest.mark.parametrize("unit", [1e-12, 1e-6, 1e9])
def test_the_fit_does_not_depend_on_the_units_of_a_column(unit):
    rng = np.random.default_rng(3)
    X = np.column_stack([np.ones(60), rng.standard_normal((60, 2))])
    y = X @ [1.0, 2.0, -1.0] + rng.standard_normal(60)
    plain, scaled = kd.ols(y, X), kd.ols(y, X * [1.0, unit, 1.0])
    assert scaled.rank == 3 and scaled.identified
    np.testing.assert_allclose(scaled.coef * [1.0, unit, 1.0], plain.coef, rtol=1e-12)
    np.testing.assert_allclose(scaled.resid, plain.resid, rtol=1e-10, atol=1e-12)


def test_a_duplicated_column_is_named_wherever_it_is_left_out():
    rng = np.random.default_rng(4)
    n = 80
    x = rng.standard_normal(n)
    X = pd.DataFrame({"const": 1.0, "x": x, "x_in_cents": 100.0 * x, "z": rng.standard_normal(n)})
    y = 1.0 + x + rng.standard_normal(n) * (1.0 + np.abs(x))
    fit = kd.ols(y, X)
    assert fit.rank == 3 and "x_in_cents is a linear combination of the others" in fit.notes[0]
    bp = kd.breusch_pagan(fit, Z=X[["x", "z", "x_in_cents"]])
    assert bp.df == 2 and "auxiliary column x_in_cents dropped" in bp.note
    white = kd.white(fit, cross=False)
    assert white.df == 4 and "x_in_cents, x_in_cents^2 dropped" in white.note
    # ARCH: squares alternating 1, 4: the second lag is the constant less the first.
    arch = kd.arch_lm(np.tile([1.0, -2.0, -1.0, 2.0], 20) * (1.0 + 1e-3 * np.arange(80) % 3), lags=2)
    assert arch.df <= 2 and (arch.df == 2 or "x(t-2)^2" in arch.note)


# --------------------------------------------------------------------------
# Input that would be tested silently wrong
# --------------------------------------------------------------------------

def series_pair(n=40, seed=5):
    rng = np.random.default_rng(seed)
    index = pd.RangeIndex(2000, 2000 + n, name="year")
    X = pd.DataFrame({"const": 1.0, "x": rng.standard_normal(n)}, index=index)
    y = pd.Series(1.0 + 0.5 * X["x"] + rng.standard_normal(n), index=index, name="y")
    return y, X


def test_pandas_indexes_that_disagree_are_refused_or_paired_by_label():
    y, X = series_pair()
    shuffled = X.sample(frac=1.0, random_state=1)
    with pytest.raises(ValueError, match="different indexes .* pass align=True"):
        kd.ols(y, shuffled)
    with pytest.raises(ValueError, match="different indexes"):
        kd.battery(y.iloc[1:], X)
    aligned = kd.ols(y, shuffled, align=True)
    np.testing.assert_array_equal(aligned.coef, kd.ols(y, X).coef)
    partial = kd.ols(y.iloc[3:], X.iloc[:-2], align=True)
    assert partial.nobs == 35 and "3 rows of X and" not in partial.notes[0]
    assert "align=True: 2 rows of y and 3 rows of X without a partner left out" == partial.notes[0]
    # Positions only when one side has no labels.
    assert kd.ols(y.to_numpy(), shuffled).nobs == 40


def test_add_constant_adds_no_second_constant():
    y, X = series_pair()
    fit = kd.ols(y, X, add_constant=True)
    assert fit.names == ("const", "x") and fit.rank == 2
    assert any("constant column already (const)" in note for note in fit.notes)
    np.testing.assert_array_equal(fit.coef, kd.ols(y, X).coef)
    assert kd.ols(y, X[["x"]], add_constant=True).names == ("const", "x")


@pytest.mark.parametrize("column, message", [
    (pd.Series(["1.5", "2.0", "3.5", "0.5"] * 10, dtype=object), "is not numeric: it holds '1.5'"),
    (pd.Series(["1.5", "2.0", "3.5", "0.5"] * 10, dtype="string"), "is not numeric"),
    (np.array(["1", "2", "3", "4"] * 10), "is not numeric: it holds '1'"),
    (pd.Series([1.0, 2.0, None, "4"] * 10, dtype=object), "is not numeric: it holds '4'"),
    (np.arange(40) * 1j, "complex numbers"),
])
def test_text_is_refused_even_when_it_reads_as_numbers(column, message):
    y, X = series_pair()
    X = X.assign(x=column if isinstance(column, np.ndarray) else column.set_axis(X.index))
    with pytest.raises(ValueError, match=message):
        kd.ols(y, X)


def test_nullable_and_object_numbers_are_numbers():
    y, X = series_pair()
    X = X.assign(x=X["x"].astype("Float64"), d=pd.Series([1, 0] * 20, index=X.index, dtype="Int64"))
    X.iloc[3, 1] = pd.NA
    fit = kd.ols(y, X, missing="drop")
    assert fit.nobs == 39 and fit.dropped == (3,)
    as_objects = kd.ols(y, X.astype(object).fillna(np.nan), missing="drop")
    np.testing.assert_array_equal(as_objects.coef, fit.coef)


def test_infinite_values_are_named_as_such():
    y, X = series_pair()
    y = y.copy()
    y.iloc[[4, 9]] = [np.inf, np.nan]
    with pytest.raises(kd.DiagnosticError, match="y contains 1 missing value and 1 infinite value"):
        kd.ols(y, X)
    with pytest.raises(kd.DiagnosticError, match="y contains 1 infinite value: missing='drop' leaves out missing"):
        kd.ols(y, X, missing="drop")
    with pytest.raises(kd.DiagnosticError, match="x contains 1 infinite value"):
        kd.ljung_box(np.r_[np.ones(5), np.inf, np.arange(6.0)], lags=2)


ORDERED = ["breusch_godfrey", "chow", "recursive_residuals", "cusum", "cusum_squares", "ljung_box", "wald",
           "durbin_watson", "box_pierce", "breusch_godfrey_f", "arch_lm", "sup_f"]


def test_repeated_labels_are_refused_by_the_tests_that_use_the_order_of_the_rows():
    y, X = series_pair()
    labels = X.index.to_numpy().copy()
    labels[7] = labels[6]  # 2006 twice, 2007 missing
    y, X = y.set_axis(labels), X.set_axis(labels)
    fit = kd.ols(y, X)
    table = kd.battery(fit, tests=kd.TESTS + kd.OPTIONAL)
    for name in table.index:
        row = table.loc[name]
        if name in ORDERED:
            assert row["status"] == kd.Status.BAD_INPUT and row["verdict"] == "not computed", name
            assert "2006 labels more than one row" in row["error"], name
        else:
            assert np.isfinite(row["statistic"]) and pd.isna(row["error"]), name
    with pytest.raises(kd.DiagnosticError, match="labels more than one row"):
        kd.ljung_box(y.set_axis(labels), lags=4)
    assert kd.jarque_bera(y.set_axis(labels)).statistic > 0


@pytest.mark.parametrize("call, error, message", [
    (lambda f: kd.battery(f, kernel="uniform"), ValueError, "unknown kernel 'uniform'"),
    (lambda f: kd.battery(f, lags=0), ValueError, "lags must be at least 1"),
    (lambda f: kd.battery(f, lags=2.5), TypeError, "lags must be an integer"),
    (lambda f: kd.battery(f, bandwidth=-1), ValueError, "bandwidth must be at least 0"),
    (lambda f: kd.battery(f, trim=0.6, tests=["chow"]), ValueError, "trim must lie strictly between"),
    (lambda f: kd.battery(f, power=1), ValueError, "power must be at least 2"),
    (lambda f: kd.battery(f, cusum_scale="bde"), ValueError, "cusum_scale must be one of"),
    (lambda f: kd.battery(f, lag=3), TypeError, "battery got an unexpected option 'lag'"),
    (lambda f: kd.battery(f, break_at=2010, position=3), TypeError, "not both"),
])
def test_a_bad_option_is_an_error_of_the_battery_call(call, error, message):
    with pytest.raises(error, match=message):
        call(kd.ols(*series_pair()))


# --------------------------------------------------------------------------
# Tests that do not apply
# --------------------------------------------------------------------------

def short_panel(groups=60, years=8, seed=7):
    """A short wage-type panel: a few years per worker, two regressors and a constant."""
    rng = np.random.default_rng(seed)
    n = groups * years
    frame = pd.DataFrame({"worker": np.repeat(np.arange(groups), years), "year": np.tile(np.arange(years), groups),
                          "exper": rng.uniform(1, 20, n), "union": rng.integers(0, 2, n).astype(float)})
    frame["wage"] = 1.0 + 0.05 * frame["exper"] + 0.2 * frame["union"] + rng.standard_normal(n) * 0.3
    return frame


def test_short_groups_get_not_applicable_rows_and_no_errors():
    frame = short_panel()
    table = kd.battery_panel(frame, "worker", "wage", ["exper", "union"], workers=1)
    assert table["error"].isna().all()
    arch = table.xs("arch_lm", level="test")
    assert (arch["status"] == kd.Status.NOT_APPLICABLE).all() and (arch["verdict"] == "not applicable").all()
    assert arch["note"].str.contains("ARCH LM with 4 lags needs more than 9 observations, got 8").all()
    applied = table[table["status"] != kd.Status.NOT_APPLICABLE]
    assert np.isfinite(applied["statistic"]).all() and applied.index.get_level_values("test").nunique() >= 12
    # Each group's rows are still those of its battery alone.
    group = frame[frame["worker"] == 3]
    alone = kd.battery(group["wage"].to_numpy(), pd.DataFrame(
        {"const": 1.0, "exper": group["exper"].to_numpy(), "union": group["union"].to_numpy()}))
    np.testing.assert_array_equal(table.loc[3, "statistic"].to_numpy(), alone["statistic"].to_numpy())
    assert list(table.loc[3, "status"]) == list(alone["status"])


def test_a_late_recursion_start_is_named_as_the_reason():
    rng = np.random.default_rng(8)
    X = np.column_stack([np.ones(8), rng.standard_normal(8), np.r_[np.zeros(7), 1.0]])  # a dummy of the last row
    table = kd.battery(rng.standard_normal(8), X, tests=["recursive_residuals", "cusum", "jarque_bera"])
    for name in ("recursive_residuals", "cusum"):
        assert table.loc[name, "status"] == kd.Status.NOT_APPLICABLE
        assert "the first 7 of 8 rows have rank below 3" in table.loc[name, "note"]
    X[5, 2] = 1.0  # now the recursion starts at row 7: one recursive residual, too few for the t test
    res = kd.battery(rng.standard_normal(8), X, tests=["recursive_residuals"]).loc["recursive_residuals"]
    assert "the recursion starts at row 7: the first 6 rows have rank below 3" in res["note"]


# --------------------------------------------------------------------------
# Defaults and options
# --------------------------------------------------------------------------

@pytest.mark.parametrize("test", ["ljung_box", "box_pierce"])
def test_series_tests_default_to_the_lags_of_the_battery(test):
    fit = kd.ols(*series_pair(n=60))
    with pytest.warns(DeprecationWarning, match="default lags is 4"):
        alone = getattr(kd, test)(fit)
    assert alone.df == 4 and alone.statistic == kd.battery(fit).loc[test, "statistic"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert getattr(kd, test)(fit, lags=4).statistic == alone.statistic


def test_cusum_scaled_by_the_recursive_residuals():
    y, X = series_pair(n=80)
    fit = kd.ols(y, X)
    w = kd.recursive_residuals(fit).residuals.to_numpy()
    ols, recursive = kd.cusum(fit), kd.cusum(fit, scale="recursive")
    m = len(w)
    lines = math.sqrt(m) + 2.0 * np.arange(m) / math.sqrt(m)
    for res, scale in ((ols, fit.sigma), (recursive, w.std(ddof=1))):
        assert res.statistic == pytest.approx(np.max(np.abs(np.cumsum(w) / scale) / lines), rel=1e-12)
    assert recursive.statistic != ols.statistic
    table = kd.battery(fit, cusum_scale="recursive", arch_lags=2, power=4, trim=0.2, tests=kd.TESTS + kd.OPTIONAL)
    assert table.loc["cusum", "statistic"] == recursive.statistic
    assert table.loc["arch_lm", "label"] == "ARCH LM (2 lags)" and table.loc["reset", "df"][0] == 3
    assert table.loc["sup_f", "label"] == "sup-F (trim 0.2)"
    with pytest.raises(ValueError, match="scale must be"):
        kd.cusum(fit, scale="bde")
