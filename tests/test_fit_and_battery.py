"""The fit object, the battery table, and the answers the layer must get right.

Expected values come from plain formulas written here with NumPy (QR
projections, explicit lag sums, eigen-decompositions), never from the
package's own code paths.
"""

import math

import numpy as np
import pytest

import Kestrix.diagnostics as kd
from Kestrix._ckernels.battery import _engine as _engine_module

from test_diagnostics import project_out, ref_bg, ref_weight, simulated

pd = pytest.importorskip("pandas")


def godfrey_lm(e, Z, lags):
    """n·e'P_Z e / e'e with Z = [Z, e_{t-1} ... e_{t-lags}], zeros before the sample."""
    n = len(e)
    lagged = np.column_stack([np.r_[np.zeros(k), e[:n - k]] for k in range(1, lags + 1)])
    u = project_out(np.column_stack([Z, lagged]), e)
    return n * (1 - (u @ u) / (e @ e))


def returns_on_own_lag(n=400, seed=9):
    """Daily-return-like data with a clearly non-zero mean, regressed on its lag without a constant."""
    rng = np.random.default_rng(seed)
    r = 0.3 + rng.standard_normal(n + 1)
    return r[1:], r[:-1, None]


# --------------------------------------------------------------------------
# The fit
# --------------------------------------------------------------------------

def test_fit_matches_least_squares_and_names_columns():
    y, X = simulated()
    fit = kd.ols(y, X)
    coef, *_ = np.linalg.lstsq(X, y, rcond=None)
    np.testing.assert_allclose(fit.coef, coef, rtol=1e-12)
    np.testing.assert_allclose(fit.resid, y - X @ coef, atol=1e-12)
    assert (fit.nobs, fit.rank, fit.has_constant, fit.names) == (150, 3, True, ("x0", "x1", "x2"))
    assert fit.slopes == (1, 2)
    np.testing.assert_allclose(fit.bse, np.sqrt(np.diag(np.linalg.inv(X.T @ X) * fit.rss / 147)), rtol=1e-10)

    frame = pd.DataFrame(X[:, 1:], columns=["income", "rate"])
    named = kd.ols(pd.Series(y, name="cons"), frame, add_constant=True)
    assert named.names == ("const", "income", "rate") and named.y_name == "cons"
    np.testing.assert_allclose(named.coef, coef, rtol=1e-12)


@pytest.mark.parametrize("design, expected", [
    ("explicit constant", True),
    ("full set of dummies", True),
    ("no constant", False),
    ("constant of twos", True),
])
def test_fit_knows_whether_the_constant_is_spanned(design, expected):
    rng = np.random.default_rng(1)
    n = 60
    x = rng.standard_normal(n)
    dummy = (np.arange(n) % 2).astype(float)
    X = {
        "explicit constant": np.column_stack([np.ones(n), x]),
        "full set of dummies": np.column_stack([dummy, 1 - dummy, x]),
        "no constant": np.column_stack([x, dummy]),
        "constant of twos": np.column_stack([x, np.full(n, 2.0)]),
    }[design]
    assert kd.ols(x + rng.standard_normal(n), X).has_constant is expected


def test_rank_deficient_fit_says_its_coefficients_are_not_identified():
    y, X = simulated()
    fit = kd.ols(y, np.column_stack([X, X[:, 1] + X[:, 2]]))
    assert (fit.rank, fit.identified) == (3, False)
    assert any("rank 3 of 4" in note and "not identified" in note for note in fit.notes)
    np.testing.assert_allclose(fit.resid, project_out(X, y), atol=1e-10)


def test_fit_argument_rules():
    y, X = simulated()
    fit = kd.ols(y, X)
    # With a fit, the second positional argument is the test's own option.
    assert kd.breusch_godfrey(fit, lags=3).statistic == kd.breusch_godfrey(y, X, lags=3).statistic
    assert kd.chow(fit, 70).statistic == kd.chow(y, X, 70).statistic
    with pytest.raises(TypeError, match="X must not be given with a fitted model"):
        kd.breusch_godfrey(fit, X, lags=3)
    with pytest.raises(TypeError, match="X must not be given with a fitted model"):
        kd.cusum(fit, X)
    with pytest.raises(TypeError, match="X is required"):
        kd.cusum(y)
    with pytest.raises(ValueError, match="missing must be"):
        kd.ols(y, X, missing="ignore")


# --------------------------------------------------------------------------
# A test given a fit never refits it; the engine is the only arithmetic
# --------------------------------------------------------------------------

LINALG = ("svd", "lstsq", "qr", "solve", "pinv", "inv", "eigh", "eigvalsh", "eig", "cholesky", "matrix_rank", "det",
          "slogdet")


@pytest.fixture
def counted(monkeypatch):
    """Counts the engine's calls while active; NumPy's linear algebra raises if anything reaches it."""
    counts = {"engine": 0}
    original = _engine_module.battery

    def counting(*args):
        counts["engine"] += 1
        return original(*args)

    def refused(*args, **kwargs):
        raise AssertionError("a statistic went through NumPy's linear algebra")

    monkeypatch.setattr(_engine_module, "battery", counting)
    for name in LINALG:
        monkeypatch.setattr(np.linalg, name, refused)
    return counts


def test_battery_on_a_fit_refits_nothing(counted):
    y, X = simulated()
    fit = kd.ols(y, X)
    assert counted == {"engine": 1}
    table = kd.battery(fit, tests=kd.TESTS + kd.OPTIONAL)
    assert table["error"].isna().all()
    assert counted == {"engine": 2}
    for test in (kd.cusum, kd.cusum_squares, kd.recursive_residuals, kd.breusch_godfrey, kd.white):
        test(fit)
    assert counted == {"engine": 7}


@pytest.mark.parametrize("test", [lambda x: kd.ljung_box(x, lags=4), lambda x: kd.box_pierce(x, lags=4),
                                  kd.jarque_bera, kd.arch_lm])
def test_series_tests_make_one_engine_call(counted, test):
    y, X = simulated()
    fit = kd.ols(y, X)
    series = pd.Series(fit.resid.copy(), index=pd.RangeIndex(5, 5 + fit.nobs))
    counted["engine"] = 0
    on_fit, on_series = test(fit), test(series)
    assert counted == {"engine": 2}
    assert (on_fit.statistic, on_fit.pvalue, on_fit.nobs) == (on_series.statistic, on_series.pvalue, on_series.nobs)


def test_y_and_X_fit_once_then_test(counted):
    y, X = simulated()
    kd.cusum_squares(y, X)
    assert counted == {"engine": 2}


@pytest.mark.parametrize("options", [{}, {"break_at": 40, "lags": 2}, {"tests": ["chow", "white", "sup_f"]}])
def test_battery_of_arrays_fits_and_tests_in_one_call(counted, options):
    y, X = simulated()
    y = pd.Series(y, index=pd.RangeIndex(10, 160))
    table = kd.battery(y, X, **options)
    assert counted == {"engine": 1}
    given = kd.battery(kd.ols(y, X), **options)
    pd.testing.assert_frame_equal(table, given, check_exact=True)
    assert table.attrs == given.attrs


@pytest.mark.parametrize("name", ["breusch_godfrey", "breusch_pagan", "breusch_pagan_studentized", "chow",
                                  "recursive_residuals", "cusum", "cusum_squares", "ljung_box", "jarque_bera"])
def test_fit_and_arrays_give_the_same_bits(name):
    y, X = simulated()
    run = {
        "breusch_godfrey": lambda *a: kd.breusch_godfrey(*a, lags=3),
        "breusch_pagan": kd.breusch_pagan,
        "breusch_pagan_studentized": lambda *a: kd.breusch_pagan(*a, studentized=True),
        "chow": lambda *a: kd.chow(*a, position=60),
        "recursive_residuals": kd.recursive_residuals,
        "cusum": kd.cusum,
        "cusum_squares": kd.cusum_squares,
        "ljung_box": lambda *a: kd.ljung_box(kd.ols(*a) if len(a) == 2 else a[0], lags=6),
        "jarque_bera": lambda *a: kd.jarque_bera(kd.ols(*a) if len(a) == 2 else a[0]),
    }[name]
    assert run(kd.ols(y, X)).statistic == run(y, X).statistic


# --------------------------------------------------------------------------
# Breusch-Godfrey: always Godfrey's LM
# --------------------------------------------------------------------------

def test_breusch_godfrey_with_a_constant_is_the_battery_row_bit_for_bit():
    y, X = simulated()
    fit = kd.ols(y, X)
    res = kd.breusch_godfrey(fit, lags=4)
    assert res.statistic == kd.battery(fit, tests=["breusch_godfrey"], lags=4).at["breusch_godfrey", "statistic"]
    assert res.statistic == pytest.approx(godfrey_lm(fit.resid, X, 4), rel=1e-10)
    assert (res.status, res.fallback) == (0, False)


def test_breusch_godfrey_without_a_constant_adds_no_intercept():
    y, X = returns_on_own_lag()
    fit = kd.ols(y, X)
    assert not fit.has_constant and abs(fit.resid.mean()) > 0.1
    res = kd.breusch_godfrey(fit, lags=1)
    expected = godfrey_lm(fit.resid, X, 1)
    assert res.statistic == pytest.approx(expected, rel=1e-10)
    # With an intercept the model does not have, the residual mean would
    # count as serial correlation: the statistic would be far larger.
    with_intercept = ref_bg(fit.resid, X, 1)
    assert with_intercept > 5 * expected + 3
    assert not res.fallback and "no constant" in res.note


@pytest.mark.parametrize("lags, ok", [(7, True), (8, False), (12, False)])
def test_breusch_godfrey_refuses_lags_without_degrees_of_freedom(lags, ok):
    rng = np.random.default_rng(4)
    X = np.column_stack([np.ones(10), rng.standard_normal(10)])
    y = X @ [1.0, 2.0] + rng.standard_normal(10)
    if ok:
        res = kd.breusch_godfrey(y, X, lags=lags)
        assert res.statistic == pytest.approx(godfrey_lm(kd.ols(y, X).resid, X, lags), rel=1e-9)
        assert res.statistic < 10
    else:
        with pytest.raises(kd.DiagnosticError, match="no degrees of freedom.*at most 7") as info:
            kd.breusch_godfrey(y, X, lags=lags)
        assert info.value.status == kd.Status.TOO_FEW_OBS


# --------------------------------------------------------------------------
# HAC: the quadratic-spectral window over every lag
# --------------------------------------------------------------------------

def explicit_every_lag(r, L):
    r = r - r.mean(axis=0)
    n = len(r)
    omega = r.T @ r
    for j in range(1, n):
        gamma = r[:-j].T @ r[j:]
        omega = omega + ref_weight("qs", j, L) * (gamma + gamma.T)
    return omega / n


@pytest.mark.parametrize("n, p, L", [(2, 1, 0), (5, 2, 1), (40, 3, 2), (257, 2, 6), (300, 4, 300)])
def test_qs_weights_every_lag(n, p, L):
    rng = np.random.default_rng(n)
    r = rng.standard_normal((n, p)).cumsum(axis=0) * 0.1 + rng.standard_normal((n, p))
    res = kd.hac_covariance(r, "qs", L)
    used = min(L, n - 1)
    np.testing.assert_allclose(res.covariance, explicit_every_lag(r, used), rtol=1e-10, atol=1e-13)
    assert np.array_equal(res.covariance, res.covariance.T)


def test_qs_is_positive_semi_definite_where_truncation_is_not():
    # A strongly negatively autocorrelated series: the truncated sum
    # gamma_0 + 2·k(1/2)·gamma_1 is negative, the full window is not.
    rng = np.random.default_rng(2)
    x = np.where(np.arange(200) % 2 == 0, 1.0, -1.0) + 0.3 * rng.standard_normal(200)
    z = x - x.mean()
    truncated = (z @ z + 2 * ref_weight("qs", 1, 1) * (z[1:] @ z[:-1])) / len(z)
    assert truncated < 0
    assert kd.hac_covariance(x, "qs", 1).covariance[0, 0] > 0
    bartlett = kd.hac_covariance(x, "bartlett", 1).covariance[0, 0]
    assert bartlett > 0
    for seed in range(20):
        r = np.random.default_rng(seed).standard_normal((50, 3)) * [1.0, 1e-3, 10.0]
        r[:, 1] = np.where(np.arange(50) % 2, 1.0, -1.0) + r[:, 1]
        eig = np.linalg.eigvalsh(kd.hac_covariance(r, "qs", 3).covariance)
        assert eig.min() >= -1e-12 * eig.max()


@pytest.mark.parametrize("kernel", sorted(kd.WINDOWS))
def test_clamped_bandwidth_is_noted(kernel):
    r = np.random.default_rng(0).standard_normal((12, 2))
    res = kd.hac_covariance(r, kernel, 50)
    assert res.bandwidth == 11 and "clamped from 50 to n - 1 = 11" in res.note
    assert kd.hac_covariance(r, kernel, 3).note is None


# --------------------------------------------------------------------------
# Wald: slopes are the non-constant columns; the rank is decided first
# --------------------------------------------------------------------------

def test_wald_slopes_leave_the_constant_out():
    y, X = simulated()
    fit = kd.ols(y, X)
    res = kd.wald_coefficients(fit, kernel="bartlett", bandwidth=4)
    e = fit.resid
    g = X * e[:, None]
    g = g - g.mean(axis=0)
    omega = g.T @ g + sum((1 - j / 5) * (g[j:].T @ g[:-j] + g[:-j].T @ g[j:]) for j in range(1, 5))
    bread = np.linalg.inv(X.T @ X)
    V = bread @ omega @ bread
    b = fit.coef[1:]
    assert res.df == 2
    assert res.statistic == pytest.approx(b @ np.linalg.solve(V[1:, 1:], b), rel=1e-9)
    row = kd.battery(fit, bandwidth=4).loc["wald"]
    assert (row["df"], row["statistic"]) == (2, res.statistic)
    # Wherever the constant stands, it is not a slope.
    moved = kd.wald_coefficients(kd.ols(y, X[:, [1, 0, 2]]), kernel="bartlett", bandwidth=4)
    assert moved.df == 2 and moved.statistic == pytest.approx(res.statistic, rel=1e-9)


def test_wald_decides_a_numerically_singular_covariance_before_the_kernel():
    q, _ = np.linalg.qr(np.random.default_rng(3).standard_normal((2, 2)))
    omega = q @ np.diag([2.6e-18, 0.016]) @ q.T
    omega = 0.5 * (omega + omega.T)
    mean = q @ np.array([0.0, 0.05])
    res = kd.wald(mean, omega, 100)
    assert (res.df, res.fallback) == (1, False)
    assert "rank 1 of 2" in res.note
    assert res.statistic == pytest.approx(100 * 0.05**2 / 0.016, rel=1e-6)


# --------------------------------------------------------------------------
# Chow: labels follow pandas' label rules; positions are explicit
# --------------------------------------------------------------------------

def ref_chow_at(y, X, t):
    rss = lambda a, b: float(project_out(a, b) @ project_out(a, b))  # noqa: E731
    p = X.shape[1]
    s = rss(X[:t], y[:t]) + rss(X[t:], y[t:])
    return ((rss(X, y) - s) / p) / (s / (len(y) - 2 * p))


@pytest.mark.parametrize("index, label, position", [
    (np.arange(1950, 2000), 1974, 24),
    (np.arange(1, 51), 20, 19),
    (None, 20, 20),
    (pd.date_range("2000-01-01", periods=50, freq="D"), pd.Timestamp("2000-01-11"), 10),
])
def test_chow_break_labels(index, label, position):
    y, X = simulated(50)
    if index is not None:
        y = pd.Series(y, index=index)
        X = pd.DataFrame(X, index=index)
    fit = kd.ols(y, X)
    expected = ref_chow_at(np.asarray(y), np.asarray(X), position)
    assert kd.chow(fit, break_at=label).statistic == pytest.approx(expected, rel=1e-9)
    assert kd.chow(fit, position=position).statistic == kd.chow(fit, break_at=label).statistic
    assert str(label if index is not None else position) in kd.chow(fit, break_at=label).test


def test_chow_break_errors():
    y, X = simulated(50)
    fit = kd.ols(pd.Series(y, index=np.arange(1950, 2000)), X)
    with pytest.raises(kd.DiagnosticError, match="1900 is not a label of the index .use position="):
        kd.chow(fit, break_at=1900)
    with pytest.raises(TypeError, match="not both"):
        kd.chow(fit, break_at=1974, position=3)
    with pytest.raises(TypeError, match="needs the break"):
        kd.chow(fit)


# --------------------------------------------------------------------------
# Notes: what the numbers alone leave unsaid
# --------------------------------------------------------------------------

def test_recursive_residuals_that_start_late_say_so():
    y, X = simulated(72)
    late = X.copy()
    late[:20, 2] = 0.0  # a regressor that only starts at row 21
    late[:20, 1] = 1.0  # and one that is constant before it: rank 1 there
    for test in (kd.recursive_residuals, kd.cusum, kd.cusum_squares):
        res = test(y, late)
        # Rows 21 and 22 add the two directions the first 20 rows lack.
        assert not res.fallback and "starts at row 23" in res.note and "50 of 72 rows" in res.note


def test_chow_with_a_rank_deficient_segment_says_so():
    y, X = simulated()
    X = X.copy()
    X[:70, 2] = 0.0
    res = kd.chow(y, X, position=70)
    assert res.df == (2, 145) and "(2, 145) degrees of freedom instead of (3, 144)" in res.note


def test_ljung_box_clamped_lags_say_so():
    res = kd.ljung_box(np.random.default_rng(0).standard_normal(6), lags=10)
    assert res.df == 5 and "clamped from 10 to n - 1 = 5" in res.note


def test_rows_dropped_inside_the_sample_are_noted():
    y, X = simulated()
    y = y.copy()
    y[[0, 40, 41, 90]] = np.nan  # one dropped row at the start, two gaps inside
    fit = kd.ols(y, X, missing="drop")
    assert (fit.nobs, fit.dropped, fit.inner_gaps) == (146, (0, 40, 41, 90), 2)
    assert any("4 rows with missing values left out, leaving 2 gaps" in note for note in fit.notes)
    table = kd.battery(fit)
    ordered = ["breusch_godfrey", "chow", "recursive_residuals", "cusum", "cusum_squares", "ljung_box", "wald"]
    assert all("2 gaps inside the sample" in table.loc[name, "note"] for name in ordered)
    assert pd.isna(table.loc["jarque_bera", "note"])
    with pytest.raises(ValueError, match="y contains 4 missing values"):
        kd.ols(y, X)


# --------------------------------------------------------------------------
# The battery table
# --------------------------------------------------------------------------

def test_battery_rows_equal_the_single_tests():
    y, X = simulated()
    fit = kd.ols(y, X)
    table = kd.battery(fit, lags=3, position=70, kernel="parzen", bandwidth=3)
    assert list(table.index) == list(kd.TESTS)
    for column in ("label", "statistic", "df", "pvalue", "status", "fallback", "reject_5pct", "verdict", "note",
                   "error"):
        assert column in table.columns
    singles = {
        "breusch_godfrey": kd.breusch_godfrey(fit, lags=3),
        "breusch_pagan": kd.breusch_pagan(fit),
        "breusch_pagan_studentized": kd.breusch_pagan(fit, studentized=True),
        "chow": kd.chow(fit, position=70),
        "recursive_residuals": kd.recursive_residuals(fit),
        "cusum": kd.cusum(fit),
        "cusum_squares": kd.cusum_squares(fit),
        "ljung_box": kd.ljung_box(fit, lags=3),
        "jarque_bera": kd.jarque_bera(fit),
        "wald": kd.wald_coefficients(fit, kernel="parzen", bandwidth=3),
    }
    for name, res in singles.items():
        row = table.loc[name]
        assert (row["label"], row["statistic"], row["df"], row["status"]) == (res.test, res.statistic, res.df,
                                                                             res.status)
        assert row["pvalue"] == res.pvalue and row["verdict"] == res.verdict()
        assert bool(row["reject_5pct"]) == res.reject()
        assert row["note"] == res.note or (pd.isna(row["note"]) and res.note is None)
    assert table.attrs["nobs"] == 150


def test_battery_keeps_going_when_a_test_cannot_be_computed():
    y, X = simulated(12)
    table = kd.battery(y, X, lags=9, tests=["breusch_godfrey", "jarque_bera", "chow"])
    assert list(table.index) == ["breusch_godfrey", "jarque_bera", "chow"]
    bg = table.loc["breusch_godfrey"]
    # Nine lags leave no degrees of freedom in twelve rows: the test does not apply, and the note says why.
    assert "no degrees of freedom" in bg["note"] and bg["status"] == kd.Status.NOT_APPLICABLE
    assert bg["verdict"] == "not applicable" and pd.isna(bg["error"]) and math.isnan(bg["statistic"])
    assert pd.isna(bg["reject_5pct"])
    assert pd.isna(table.loc["jarque_bera", "error"]) and np.isfinite(table.loc["jarque_bera", "statistic"])
    with pytest.raises(ValueError, match="unknown test 'durbin'"):
        kd.battery(y, X, tests=["durbin"])


def _constructed(cols, index):
    """The table as pandas' own constructor makes it from the same columns."""
    from Kestrix.diagnostics._table import COLUMNS

    return pd.DataFrame({name: cols[name] for name in COLUMNS}, index=index)


@pytest.mark.parametrize("case", ["default", "short", "duplicate labels", "rank deficient", "every test"])
def test_table_is_the_frame_pandas_would_construct(case):
    # The table is assembled from typed arrays without the constructor's checks: its dtypes (pandas' string
    # columns where the text has no gaps or has missing values, object where nothing is written) and values
    # must be what the constructor gives.
    from Kestrix.diagnostics import _battery, _table

    y, X = simulated(12 if case == "short" else 150)
    if case == "rank deficient":
        X = np.column_stack([X, X[:, 1] + X[:, 2]])
    index = None
    if case == "duplicate labels":
        index = pd.Index(np.r_[np.arange(149), 148])
        y, X = pd.Series(y, index=index), pd.DataFrame(X, index=index)
    tests = (*kd.TESTS, *kd.OPTIONAL) if case == "every test" else kd.TESTS
    fit = kd.ols(y, X)
    rows = _battery.fit_rows(fit, tests, _battery.make_options("battery", {}))[0]
    made = _table.frame(rows.columns, _battery._index(tests))
    pd.testing.assert_frame_equal(made, _constructed(rows.columns, _battery._index(tests)), check_exact=True)
    pd.testing.assert_frame_equal(kd.battery(fit, tests=list(tests)), made, check_exact=True)


@pytest.mark.parametrize("groups", [4, 300])  # tables below and above SMALL_TABLE rows
def test_panel_table_is_the_frame_pandas_would_construct(groups):
    from Kestrix.diagnostics import _table

    rng = np.random.default_rng(5)
    sizes = np.resize([40, 9, 40, 3], groups)
    frame = pd.DataFrame({"g": np.repeat(np.arange(groups), sizes), "y": rng.standard_normal(sizes.sum()),
                          "x": rng.standard_normal(sizes.sum())})
    assert (len(kd.TESTS) * groups > _table.SMALL_TABLE) == (groups == 300)
    made = kd.battery_panel(frame, "g", "y", ["x"])
    cols = {name: made[name].array for name in _table.COLUMNS}
    pd.testing.assert_frame_equal(made.drop(columns="nobs"), _constructed(cols, made.index), check_exact=True)


def test_results_convert_to_dict_and_frame():
    y, X = simulated()
    res = kd.breusch_godfrey(y, X, lags=2)
    d = res.to_dict()
    assert (d["statistic"], d["df"], d["reject_5pct"], d["verdict"]) == (res.statistic, 2, res.reject(),
                                                                        res.verdict())
    frame = res.to_frame()
    assert list(frame.index) == [res.test] and frame.loc[res.test, "pvalue"] == res.pvalue
    path = kd.cusum(y, X).path_frame()
    assert list(path.columns) == ["path", "lower", "upper"] and len(path) == 147
