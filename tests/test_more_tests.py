"""Durbin-Watson, Box-Pierce, the F form of Breusch-Godfrey, White, ARCH LM, RESET and sup-F.

Every expected value is written out below with NumPy (least squares through
QR or lstsq, explicit loops), never with the package's code paths.
"""

import math

import numpy as np
import pytest

import Kestrix.diagnostics as kd
from Kestrix.diagnostics.report.render import _test_row
from test_diagnostics import bundled

RTOL = 1e-10


@pytest.fixture
def stats():
    return pytest.importorskip("scipy.stats")


def generated(n=160, seed=3):
    """A constant, two regressors, a dummy; errors whose variance grows with x1."""
    rng = np.random.default_rng(seed)
    x1, x2 = rng.normal(size=n), rng.uniform(1, 3, size=n)
    dummy = (np.arange(n) % 3 == 0).astype(float)
    X = np.column_stack([np.ones(n), x1, x2, dummy])
    y = X @ [1.0, 0.5, -0.3, 0.8] + rng.normal(size=n) * np.exp(0.4 * x1)
    return y, X


DATA = {"macro": bundled, "generated": generated}


def residuals(y, X):
    coef = np.linalg.lstsq(X, y, rcond=None)[0]
    return y - X @ coef


def rss_of(A, v):
    q, _ = np.linalg.qr(A)
    u = v - q @ (q.T @ v)
    return float(u @ u)


def centred_r2(A, v):
    """R² of v on A (A holds a constant), by lstsq so that a rank-deficient A is fine."""
    u = v - A @ np.linalg.lstsq(A, v, rcond=None)[0]
    c = v - v.mean()
    return 1.0 - (u @ u) / (c @ c)


# --- independent formulations ---------------------------------------------

def ref_dw(y, X):
    e = residuals(y, X)
    return np.sum((e[1:] - e[:-1]) ** 2) / np.sum(e**2), None


def ref_box_pierce(e, lags):
    c = e - e.mean()
    rho = [np.sum(c[k:] * c[:-k]) / np.sum(c * c) for k in range(1, lags + 1)]
    return len(e) * np.sum(np.square(rho)), lags


def ref_bg_f(y, X, lags):
    e = residuals(y, X)
    n, k = X.shape
    lagged = np.column_stack([np.r_[np.zeros(j), e[:n - j]] for j in range(1, lags + 1)])
    r2 = 1.0 - rss_of(np.column_stack([X, lagged]), e) / (e @ e)
    return (r2 / lags) / ((1 - r2) / (n - k - lags)), (lags, n - k - lags)


def ref_white(y, X, cross):
    e = residuals(y, X)
    Z = X[:, 1:]
    m = Z.shape[1]
    cols = [np.ones(len(y))] + [Z[:, i] for i in range(m)]
    cols += [Z[:, i] * Z[:, j] for i in range(m) for j in range(i, m) if cross or i == j]
    A = np.column_stack(cols)
    return len(y) * centred_r2(A, e**2), int(np.linalg.matrix_rank(A)) - 1


def ref_arch(e, lags):
    n = len(e) - lags
    sq = e**2
    A = np.column_stack([np.ones(n)] + [sq[lags - k: len(e) - k] for k in range(1, lags + 1)])
    return n * centred_r2(A, sq[lags:]), lags


def ref_reset(y, X, power):
    e = residuals(y, X)
    yhat = y - e
    A = np.column_stack([X] + [yhat**j for j in range(2, power + 1)])
    n, k = X.shape
    df2 = n - k - power + 1
    r1 = rss_of(A, y)
    return ((e @ e - r1) / (power - 1)) / (r1 / df2), (power - 1, df2)


def ref_chow(y, X, t):
    T, p = X.shape
    pooled = rss_of(X, y)
    split = rss_of(X[:t], y[:t]) + rss_of(X[t:], y[t:])
    return ((pooled - split) / p) / (split / (T - 2 * p))


def ref_sup_f(y, X, trim):
    T, p = X.shape
    breaks = range(max(math.ceil(trim * T), p), min(math.floor((1 - trim) * T), T - p) + 1)
    fs = {t: ref_chow(y, X, t) for t in breaks}
    best = max(fs, key=fs.get)
    return fs[best], (p, T - 2 * p), best


CASES = {
    "durbin_watson": (lambda y, X: kd.durbin_watson(y, X), ref_dw, None),
    "box_pierce": (lambda y, X: kd.box_pierce(kd.ols(y, X), lags=6),
                   lambda y, X: ref_box_pierce(residuals(y, X), 6), "chi2"),
    "breusch_godfrey_f": (lambda y, X: kd.breusch_godfrey(y, X, lags=3, form="F"),
                          lambda y, X: ref_bg_f(y, X, 3), "f"),
    "white": (lambda y, X: kd.white(y, X), lambda y, X: ref_white(y, X, True), "chi2"),
    "white_squares": (lambda y, X: kd.white(y, X, cross=False), lambda y, X: ref_white(y, X, False), "chi2"),
    "arch_lm": (lambda y, X: kd.arch_lm(kd.ols(y, X), lags=3), lambda y, X: ref_arch(residuals(y, X), 3), "chi2"),
    "reset": (lambda y, X: kd.reset(y, X), lambda y, X: ref_reset(y, X, 3), "f"),
    "reset_4": (lambda y, X: kd.reset(y, X, power=4), lambda y, X: ref_reset(y, X, 4), "f"),
    "sup_f": (lambda y, X: kd.sup_f(y, X), lambda y, X: ref_sup_f(y, X, 0.15)[:2], "sup"),
}


@pytest.mark.parametrize("data", list(DATA))
@pytest.mark.parametrize("name", list(CASES))
def test_statistic_df_and_pvalue_agree_with_numpy(name, data, stats):
    y, X = DATA[data]()
    run, ref, law = CASES[name]
    res = run(y, X)
    stat, df = ref(y, X)
    assert res.statistic == pytest.approx(stat, rel=RTOL)
    assert res.df == df
    if law is None:
        assert res.pvalue is None and res.verdict() == "no p-value (see the statistic)"
    elif law == "chi2":
        assert res.pvalue == pytest.approx(stats.chi2.sf(stat, df), rel=1e-9)
    elif law == "sup":
        # The limit law of the largest of many correlated Wald statistics lies
        # between the tail of one of them and the union bound over all.
        one = stats.chi2.sf(df[0] * stat, df[0])
        assert one < res.pvalue < min(1.0, len(res.breaks) * one)
    else:
        assert res.pvalue == pytest.approx(stats.f.sf(stat, *df), rel=1e-9)
    assert not res.fallback


def test_white_drops_the_square_of_a_dummy():
    y, X = generated()
    res = kd.white(y, X)
    # 3 levels + 6 products, of which dummy² = dummy: 8 columns besides the constant.
    assert res.df == 8 and "auxiliary column x3^2 dropped" in res.note
    assert kd.white(y, X[:, :3]).note is None


def test_sup_f_reports_where_the_maximum_is_and_every_candidate():
    y, X = generated(n=120, seed=8)
    y = y + 8.0 * (np.arange(120) >= 70)  # a level shift at row 70
    res = kd.sup_f(y, X, trim=0.2)
    stat, _, best = ref_sup_f(y, X, 0.2)
    assert res.position == best == 70 and res.break_at == 70
    assert list(res.breaks) == list(range(24, 97))
    assert res.statistics[res.breaks.tolist().index(50)] == pytest.approx(ref_chow(y, X, 50), rel=RTOL)
    assert res.statistic == np.max(res.statistics)


def test_sup_f_labels_the_break_with_the_index():
    pd = pytest.importorskip("pandas")
    y, X = bundled()
    index = pd.period_range("1959Q2", periods=len(y), freq="Q")
    res = kd.sup_f(kd.ols(pd.Series(y, index=index), pd.DataFrame(X, index=index)))
    assert res.break_at == index[res.position]


def test_sup_f_leaves_out_breaks_with_a_rank_deficient_regime():
    y, X = generated(n=100)
    X = np.column_stack([X[:, :3], ((np.arange(100) >= 80) & (np.arange(100) < 90)).astype(float)])  # zero before row 80
    res = kd.sup_f(y, X)
    computed = np.isfinite(res.statistics)
    assert not computed[res.breaks <= 80].any() and computed[res.breaks > 80].all()
    assert "left out" in res.note


@pytest.mark.parametrize("name", list(CASES))
def test_fit_and_y_x_forms_give_the_same_bits(name):
    y, X = generated()
    fit = kd.ols(y, X)
    by_fit = {"durbin_watson": lambda: kd.durbin_watson(fit), "box_pierce": lambda: kd.box_pierce(fit, lags=6),
              "breusch_godfrey_f": lambda: kd.breusch_godfrey(fit, lags=3, form="F"), "white": lambda: kd.white(fit),
              "white_squares": lambda: kd.white(fit, cross=False), "arch_lm": lambda: kd.arch_lm(fit, lags=3),
              "reset": lambda: kd.reset(fit), "reset_4": lambda: kd.reset(fit, power=4), "sup_f": lambda: kd.sup_f(fit)}
    a, b = CASES[name][0](y, X), by_fit[name]()
    assert (a.statistic, a.df, a.pvalue, a.note) == (b.statistic, b.df, b.pvalue, b.note)


def test_box_pierce_clamps_lags():
    e = np.random.default_rng(1).normal(size=6)
    res = kd.box_pierce(e, lags=20)
    assert res.df == 5 and "clamped from 20 to n - 1 = 5" in res.note
    assert res.statistic == pytest.approx(ref_box_pierce(e, 5)[0], rel=RTOL)


def _exact():
    X = np.column_stack([np.ones(20), np.arange(20.0)])
    return X @ [1.0, 2.0], X


@pytest.mark.parametrize("call, error, words", [
    (lambda: kd.durbin_watson(*_exact()), kd.DiagnosticError, "fits the data exactly"),
    (lambda: kd.box_pierce(np.ones(10), lags=3), kd.DiagnosticError, "x is constant"),
    (lambda: kd.box_pierce(np.arange(10.0), lags=0), kd.DiagnosticError, "lag below 1"),
    (lambda: kd.box_pierce(np.r_[np.arange(9.0), np.nan], lags=2), kd.DiagnosticError, "1 missing value"),
    (lambda: kd.box_pierce(np.ones(1), lags=2), kd.DiagnosticError, "at least 2 observations"),
    (lambda: kd.white(np.arange(10.0) % 3, np.ones((10, 1))), kd.DiagnosticError, "no non-constant column"),
    (lambda: kd.white(*generated(n=9)), kd.DiagnosticError, "needs more than 9"),
    (lambda: kd.arch_lm(np.arange(9.0), lags=4), kd.DiagnosticError, "needs more than 9 observations"),
    (lambda: kd.arch_lm(np.r_[np.arange(20.0), np.inf], lags=2), kd.DiagnosticError, "1 infinite value"),
    (lambda: kd.arch_lm(np.zeros(30), lags=2), kd.DiagnosticError, "zero variance"),
    (lambda: kd.reset(*generated(), power=1), ValueError, "power must be at least 2"),
    (lambda: kd.reset(np.arange(10.0) % 3, np.ones((10, 1))), kd.DiagnosticError, "linear combinations"),
    (lambda: kd.sup_f(*generated(), trim=0.5), ValueError, "trim must lie"),
    (lambda: kd.sup_f(*generated(n=8)), kd.DiagnosticError, "needs more than 8"),
    (lambda: kd.sup_f(*generated(n=9), trim=0.45), kd.DiagnosticError, "no break"),
    (lambda: kd.breusch_godfrey(*generated(), form="Wald"), ValueError, "form must be"),
])
def test_degenerate_input_is_refused_in_plain_words(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_arch_with_constant_squares_has_nothing_to_explain():
    res = kd.arch_lm(np.tile([1.0, -1.0], 20), lags=2)
    assert res.statistic == 0.0 and "nothing to explain" in res.note


def test_battery_default_rows_and_the_optional_sup_f():
    y, X = bundled()
    fit = kd.ols(y, X)
    assert list(kd.battery(fit).index) == list(kd.TESTS)
    assert not set(kd.OPTIONAL) & set(kd.TESTS)
    table = kd.battery(fit, lags=3, tests=["sup_f", "durbin_watson", "arch_lm", "breusch_godfrey_f"])
    assert list(table.index) == ["sup_f", "durbin_watson", "arch_lm", "breusch_godfrey_f"]
    assert table.at["arch_lm", "statistic"] == kd.arch_lm(fit, lags=3).statistic
    assert table.at["breusch_godfrey_f", "df"] == (3, 202 - 3 - 3)
    assert math.isnan(table.at["durbin_watson", "pvalue"]) and table.at["durbin_watson", "reject_5pct"] is pd_na()
    assert table.at["sup_f", "pvalue"] == kd.sup_f(fit).pvalue and table.at["sup_f", "verdict"] == kd.sup_f(fit).verdict()
    full = kd.battery(fit, tests=kd.TESTS + kd.OPTIONAL)
    assert full["error"].isna().all()
    with pytest.raises(ValueError, match="sup_f"):
        kd.battery(fit, tests=["durbin"])


def pd_na():
    return pytest.importorskip("pandas").NA


def test_battery_row_of_an_optional_test_that_cannot_run():
    y = np.arange(12.0) % 5
    table = kd.battery(y, np.ones((12, 1)), tests=["white", "reset", "durbin_watson"])
    assert table.at["white", "label"] == "White (squares and cross products)"
    # An intercept-only model leaves White and RESET nothing to test: not applicable, not an error.
    assert "no non-constant column" in table.at["white", "note"]
    assert (table.loc[["white", "reset"], "verdict"] == "not applicable").all()
    assert (table.loc[["white", "reset"], "status"] == kd.Status.NOT_APPLICABLE).all()
    assert table["error"].isna().all()


def test_report_row_of_a_test_without_p_value_is_not_blamed_on_scipy():
    y, X = bundled()
    table = kd.battery(kd.ols(y, X), tests=["durbin_watson", "reset"])
    cells = _test_row(next(table.loc[["durbin_watson"]].itertuples()))
    assert cells[3] == "n/a" and cells[4] == "no p-value (see the statistic)"
    assert _test_row(next(table.loc[["reset"]].itertuples()))[3] != "n/a"


def test_breusch_godfrey_f_without_a_constant_uses_the_least_squares_lm():
    y, X = generated()
    res = kd.breusch_godfrey(y, X[:, 1:], lags=2, form="F")
    stat, df = ref_bg_f(y, X[:, 1:], 2)
    assert not res.fallback and res.df == df == (2, 160 - 3 - 2)
    assert "X has no constant" in res.note
    assert res.statistic == pytest.approx(stat, rel=RTOL)


def test_sup_f_on_a_rank_deficient_design_uses_its_independent_columns():
    y, X = bundled()
    deficient = np.column_stack([X[:, :2], 2.0 * X[:, 1], X[:, 2:]])
    fast, slow = kd.sup_f(y, X), kd.sup_f(y, deficient)
    assert (slow.fallback, slow.df) == (False, fast.df)
    assert slow.statistic == pytest.approx(fast.statistic, rel=1e-9) and slow.position == fast.position
    assert "rank 3 of 4 columns" in slow.note
