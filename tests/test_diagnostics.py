"""The public diagnostics API, ``Kestrix.diagnostics``.

Expected values come from the plain formulas written out below with NumPy
(projections through a QR factorisation, explicit loops), never from the
package's own code paths.
"""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

import Kestrix.diagnostics as kd
import oracles

RTOL = 1e-8


@pytest.fixture
def stats():
    """SciPy's distributions, for the expected p-values."""
    return pytest.importorskip("scipy.stats")


# --------------------------------------------------------------------------
# Independent reference formulas
# --------------------------------------------------------------------------

def project_out(A, v):
    """Residual of v after projection on the column space of a full-rank A."""
    q, _ = np.linalg.qr(A)
    return v - q @ (q.T @ v)


def ref_bg(e, X, lags):
    n = len(e)
    lagged = np.column_stack([np.r_[np.zeros(k), e[:n - k]] for k in range(1, lags + 1)])
    u = project_out(np.column_stack([np.ones(n), X, lagged]), e)
    return n * (1 - (u @ u) / (e @ e))


def ref_bp(e, Z):
    g = e**2 / np.mean(e**2)
    u = project_out(np.column_stack([np.ones(len(e)), Z]), g)
    tss = np.sum((g - g.mean()) ** 2)
    ess = tss - u @ u
    return ess / 2, len(e) * ess / tss


def ref_chow(y, X, t):
    rss = lambda a, b: float(project_out(a, b) @ project_out(a, b))  # noqa: E731
    p = X.shape[1]
    s = rss(X[:t], y[:t]) + rss(X[t:], y[t:])
    return ((rss(X, y) - s) / p) / (s / (len(y) - 2 * p))


ref_recursive = oracles.recursive_lstsq
ref_lb = oracles.lb
ref_jb = oracles.jb


def ref_cusum(y, X):
    return oracles.cusum_stat_of(oracles.cusum_series(y, X))


def ref_cusumsq(y, X):
    """The largest gap itself, without the kernel's 1/sqrt(2) scale."""
    return oracles.cusumsq_of(ref_recursive(y, X))[1] * oracles.SQRT2


def ref_weight(kernel, j, L):
    x = j / (L + 1)
    if kernel == "bartlett":
        return 1 - x
    if kernel == "parzen":
        return 1 - 6 * x**2 + 6 * x**3 if x <= 0.5 else 2 * (1 - x) ** 3
    a = 6 * math.pi * x / 5
    return 25 / (12 * math.pi**2 * x**2) * (math.sin(a) / a - math.cos(a))


def ref_hac(r, kernel, L):
    """Explicit lag sums; the quadratic-spectral window weights every lag 1 ... n-1."""
    r = r - r.mean(axis=0)
    n = len(r)
    omega = sum(np.outer(r[t], r[t]) for t in range(n))
    for j in range(1, (n if kernel == "qs" else L + 1)):
        gamma = sum(np.outer(r[t], r[t + j]) for t in range(n - j))
        omega = omega + ref_weight(kernel, j, L) * (gamma + gamma.T)
    return omega / n


# --------------------------------------------------------------------------
# Data
# --------------------------------------------------------------------------

def simulated(n=150, seed=3):
    """A regression with AR(1) errors whose variance grows with the first regressor."""
    rng = np.random.default_rng(seed)
    Z = rng.standard_normal((n, 2))
    u = np.empty(n)
    u[0] = rng.standard_normal()
    for t in range(1, n):
        u[t] = 0.4 * u[t - 1] + rng.standard_normal() * (1 + 0.5 * abs(Z[t, 0]))
    X = np.column_stack([np.ones(n), Z])
    return X @ [1.0, 0.5, -0.25] + u, X


def bundled():
    path = Path(kd.__file__).parent / "data" / "macrodata.csv"
    data = np.genfromtxt(path, delimiter=",", names=True)
    growth = lambda v: 400 * np.diff(np.log(v))  # noqa: E731
    y = growth(data["realcons"])
    X = np.column_stack([np.ones(len(y)), growth(data["realdpi"]), data["realint"][1:]])
    return y, X


def resid(y, X):
    return project_out(X, y)


# Each case: the call, the independent statistic, df, and the p-value law.
def cases(y, X):
    e = resid(y, X)
    lm, studentised = ref_bp(e, X[:, 1:])
    t = len(y) // 2
    p = X.shape[1]
    return {
        "breusch_godfrey": (lambda: kd.breusch_godfrey(y, X, lags=4), ref_bg(e, X[:, 1:], 4), 4),
        "breusch_pagan": (lambda: kd.breusch_pagan(y, X), lm, p - 1),
        "breusch_pagan_studentized": (lambda: kd.breusch_pagan(y, X, studentized=True), studentised, p - 1),
        "chow": (lambda: kd.chow(y, X, t), ref_chow(y, X, t), (p, len(y) - 2 * p)),
        "ljung_box": (lambda: kd.ljung_box(e, lags=6), ref_lb(e, 6), 6),
        "jarque_bera": (lambda: kd.jarque_bera(e), ref_jb(e), 2),
    }


def ref_pvalue(stats, stat, df):
    return stats.f.sf(stat, *df) if isinstance(df, tuple) else stats.chi2.sf(stat, df)


# --------------------------------------------------------------------------
# Known values
# --------------------------------------------------------------------------

@pytest.mark.parametrize("data", [simulated, bundled], ids=["simulated", "bundled"])
@pytest.mark.parametrize("name", list(cases(*simulated())))
def test_chi2_and_f_tests_match_formulas(data, name, stats):
    run, expected, df = cases(*data())[name]
    res = run()
    assert (res.status, res.fallback, res.path) == (0, False, "engine")
    assert res.statistic == pytest.approx(expected, rel=RTOL)
    assert res.df == df
    assert res.pvalue == pytest.approx(ref_pvalue(stats, expected, df), rel=1e-6, abs=1e-300)
    assert res.reject(0.05) == (res.pvalue < 0.05)


@pytest.mark.parametrize("data", [simulated, bundled], ids=["simulated", "bundled"])
def test_recursive_family_matches_formulas(data, stats):
    y, X = data()
    w = ref_recursive(y, X)
    rr = kd.recursive_residuals(y, X)
    np.testing.assert_allclose(rr.residuals, w, rtol=1e-7, atol=1e-9)
    t = math.sqrt(len(w)) * w.mean() / w.std(ddof=1)
    assert rr.statistic == pytest.approx(t, rel=1e-7)
    assert rr.pvalue == pytest.approx(2 * stats.t.sf(abs(t), len(w) - 1), rel=1e-6)

    cs = kd.cusum(y, X)
    assert cs.statistic == pytest.approx(ref_cusum(y, X), rel=1e-7)
    # The path stays inside the 5% lines exactly when the statistic is below a.
    inside = np.all(np.abs(cs.series) <= cs.upper)
    assert inside == (cs.statistic <= cs.critical_value)

    sq = kd.cusum_squares(y, X)
    gap = ref_cusumsq(y, X)
    assert sq.statistic == pytest.approx(gap, rel=1e-7)
    assert np.all((sq.series >= sq.lower) & (sq.series <= sq.upper)) == (gap <= sq.critical_value)


def test_stability_critical_values():
    # The classical 5% CUSUM constant, and the quantiles of sup|Brownian
    # bridge| that sqrt(m/2) times the CUSUM-of-squares boundary tends to.
    assert round(kd.cusum_critical_value(0.05), 3) == 0.948
    for alpha, limit in [(0.10, 1.2238), (0.05, 1.3581), (0.01, 1.6276)]:
        m = 2 * 10**6
        assert kd.cusumsq_critical_value(m, alpha) * math.sqrt(m / 2) == pytest.approx(limit, abs=2e-3)
    # Smaller samples need a wider band.
    assert kd.cusumsq_critical_value(30) > kd.cusumsq_critical_value(200)


@pytest.mark.parametrize("test", [kd.cusum, kd.cusum_squares])
def test_stability_tests_hold_their_size(test):
    # Stable coefficients and variance: the 5% boundaries are crossed in
    # about 5% of samples (the CUSUM's asymptotic boundary is somewhat
    # conservative at T = 100; the CUSUM of squares uses its small-sample law).
    rng = np.random.default_rng(2024)
    X = np.column_stack([np.ones(100), rng.standard_normal(100)])
    rejections = [test(X @ [1.0, 1.0] + rng.standard_normal(100), X).reject() for _ in range(4000)]
    low = 0.015 if test is kd.cusum else 0.04
    assert low < np.mean(rejections) < 0.06


@pytest.mark.parametrize("kernel", ["bartlett", "parzen", "qs"])
@pytest.mark.parametrize("bandwidth", [0, 3, 500])
def test_hac_covariance(kernel, bandwidth):
    rng = np.random.default_rng(7)
    r = rng.standard_normal((60, 3)) + 2.0
    res = kd.hac_covariance(r, kernel.upper(), bandwidth)
    used = min(bandwidth, 59)
    assert (res.kernel, res.bandwidth, res.nobs) == (kernel, used, 60)
    np.testing.assert_allclose(res.covariance, ref_hac(r, kernel, used), rtol=1e-10)


def test_wald_matches_formula():
    rng = np.random.default_rng(11)
    A = rng.standard_normal((3, 3))
    omega = A @ A.T + np.eye(3)
    mean, target = np.array([0.3, -0.2, 0.1]), np.array([0.0, 0.1, 0.0])
    dev = mean - target
    res = kd.wald(mean, omega, 40, target=target)
    assert res.statistic == pytest.approx(40 * dev @ np.linalg.solve(omega, dev), rel=1e-10)
    assert (res.df, res.fallback) == (3, False)


def test_jarque_bera_small_sample_is_a_warning():
    x = np.array([1.0, 2.0, 3.0, 4.0, 10.0])
    res = kd.jarque_bera(x)
    assert res.status == -5 and not res.fallback
    assert res.statistic == pytest.approx(ref_jb(x), rel=1e-12)
    assert "observations" in res.note


# --------------------------------------------------------------------------
# A rank-deficient design gives the statistic of the equivalent full-rank
# design: the dependent column gets no coefficient and changes nothing.
# --------------------------------------------------------------------------

REGRESSION_TESTS = {
    "breusch_godfrey": lambda y, X: kd.breusch_godfrey(y, X, lags=3),
    "breusch_pagan": lambda y, X: kd.breusch_pagan(y, X),
    "breusch_pagan_studentized": lambda y, X: kd.breusch_pagan(y, X, studentized=True),
    "chow": lambda y, X: kd.chow(y, X, 70),
    "recursive_residuals": kd.recursive_residuals,
    "cusum": kd.cusum,
    "cusum_squares": kd.cusum_squares,
}


@pytest.mark.parametrize("name", list(REGRESSION_TESTS))
@pytest.mark.parametrize("extra", ["scaled copy", "sum of columns"])
def test_rank_deficient_design_gives_the_full_rank_statistic(name, extra):
    y, X = simulated()
    added = 3.0 * X[:, 1] if extra == "scaled copy" else X[:, 1] - 2.0 * X[:, 2]
    deficient = np.column_stack([X[:, :2], added, X[:, 2:]])
    test = REGRESSION_TESTS[name]
    fast, slow = test(y, X), test(y, deficient)
    assert (fast.fallback, fast.status) == (False, 0)
    assert (slow.fallback, slow.status) == (False, 0)
    assert slow.statistic == pytest.approx(fast.statistic, rel=1e-7)
    assert slow.df == fast.df
    if fast.pvalue is not None:
        assert slow.pvalue == pytest.approx(fast.pvalue, rel=1e-6)


def test_wald_of_a_singular_covariance_uses_its_independent_directions():
    omega = np.array([[2.0, 0.5], [0.5, 1.0]])
    mean = np.array([0.4, -0.3])
    # A third moment repeating the first: singular covariance, same hypothesis.
    J = np.array([[1.0, 0.0], [0.0, 1.0], [1.0, 0.0]])
    fast = kd.wald(mean, omega, 25)
    slow = kd.wald(J @ mean, J @ omega @ J.T, 25)
    assert (slow.fallback, slow.df) == (False, 2)
    assert slow.statistic == pytest.approx(fast.statistic, rel=1e-9)
    assert "rank 2 of 3" in slow.note


def test_chow_counts_segment_ranks():
    # A regressor that is zero before the break: the first segment has rank
    # 2, so the restrictions are 2 + 3 - 3 = 2 and the residual df T - 5.
    y, X = simulated()
    X = X.copy()
    X[:70, 2] = 0.0
    res = kd.chow(y, X, 70)
    assert not res.fallback and res.df == (2, len(y) - 5) and "a segment has rank below 3" in res.note
    s = float(resid(y[:70], X[:70, :2]) @ resid(y[:70], X[:70, :2])) + float(
        resid(y[70:], X[70:]) @ resid(y[70:], X[70:]))
    pooled = float(resid(y, X) @ resid(y, X))
    assert res.statistic == pytest.approx(((pooled - s) / 2) / (s / (len(y) - 5)), rel=1e-8)


# --------------------------------------------------------------------------
# Errors
# --------------------------------------------------------------------------

Y, XX = simulated(40)
ZEROS = np.zeros(40)

ERRORS = [
    (lambda: kd.breusch_godfrey(Y[:5], XX[:5], lags=5), "too few observations"),
    (lambda: kd.chow(Y[:6], XX[:6], 3), "too few observations"),
    (lambda: kd.recursive_residuals(Y[:3], XX[:3]), "too few observations"),
    (lambda: kd.cusum(Y[:3], XX[:3]), "too few observations"),
    (lambda: kd.cusum_squares(Y[:4], XX[:4]), "too few observations"),
    (lambda: kd.ljung_box([1.0], lags=1), "too few observations"),
    (lambda: kd.jarque_bera([]), "too few observations"),
    (lambda: kd.jarque_bera([2.0]), "too few observations"),
    (lambda: kd.hac_covariance(np.ones((1, 2))), "too few observations"),
    (lambda: kd.ljung_box(np.full(20, 3.0), lags=2), "zero variance: x is constant"),
    (lambda: kd.jarque_bera(np.full(20, 3.0)), "zero variance: x is constant"),
    (lambda: kd.breusch_pagan(ZEROS, XX), "zero variance"),
    (lambda: kd.breusch_godfrey(ZEROS, XX, lags=2), "zero variance"),
    (lambda: kd.cusum(XX @ [1.0, 2.0, 3.0], XX), "zero variance"),
    (lambda: kd.chow(Y, XX, 0), "break outside the sample"),
    (lambda: kd.chow(Y, XX, 40), "break outside the sample"),
    (lambda: kd.chow(Y, XX, -3), "break outside the sample"),
    (lambda: kd.ljung_box(Y, lags=0), "lag below 1"),
    (lambda: kd.ljung_box(Y, lags=-2), "lag below 1"),
    (lambda: kd.breusch_godfrey(Y, XX, lags=0), "lag below 1"),
    (lambda: kd.breusch_godfrey(Y, XX[:39], lags=2), "y has 40 observations but X has 39 rows"),
    (lambda: kd.jarque_bera([1.0, np.nan, 2.0]), "x contains 1 missing value;"),
    (lambda: kd.chow(Y, np.where(XX > 1, np.inf, XX), 10), r"X contains \d+ infinite values"),
    (lambda: kd.jarque_bera(["a", "b"]), "x is not numeric"),
    (lambda: kd.hac_covariance(XX, "gauss"), "unknown kernel 'gauss'"),
    (lambda: kd.hac_covariance(XX, "qs", -1), "bandwidth must be at least 0"),
    (lambda: kd.wald([1.0, 2.0], np.eye(3), 10), "cov must be 2 by 2"),
    (lambda: kd.wald([1.0, 2.0], [[1.0, 0.5], [0.0, 1.0]], 10), "cov is not symmetric"),
    (lambda: kd.wald([1.0, 2.0], [[1.0, 0.0], [0.0, -1.0]], 10), "not positive semi-definite"),
    (lambda: kd.wald([1.0], [[1.0]], 0), "nobs must be at least 1"),
    (lambda: kd.breusch_pagan(Y, XX[:, :1]), "no non-constant column"),
]


@pytest.mark.parametrize("call, message", ERRORS, ids=[m for _, m in ERRORS])
def test_errors_say_what_is_wrong(call, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        call()


# --------------------------------------------------------------------------
# Optional dependencies and pandas input
# --------------------------------------------------------------------------

def test_without_scipy_pvalue_is_none(monkeypatch):
    for name in ("scipy", "scipy.special", "scipy.special.cython_special", "scipy.stats"):
        monkeypatch.setitem(sys.modules, name, None)
    y, X = simulated()
    res = kd.breusch_godfrey(y, X, lags=2)
    assert res.pvalue is None and res.reject() is None
    assert "SciPy" in res.verdict()
    assert res.statistic == pytest.approx(ref_bg(resid(y, X), X[:, 1:], 2), rel=RTOL)
    assert kd.cusum(y, X).pvalue is not None  # closed form, no SciPy needed


def test_pandas_input_keeps_labels():
    pd = pytest.importorskip("pandas")
    y, X = simulated()
    index = pd.period_range("1980Q1", periods=len(y), freq="Q")
    frame = pd.DataFrame(X[:, 1:], columns=["income", "rate"], index=index).assign(const=1.0)
    ys = pd.Series(y, index=index, name="cons")

    assert kd.breusch_godfrey(ys, frame, lags=4).statistic == pytest.approx(kd.breusch_godfrey(y, X, lags=4).statistic)
    chow = kd.chow(ys, frame, pd.Period("2000Q1", freq="Q"))
    assert chow.statistic == pytest.approx(ref_chow(y, X, 80), rel=RTOL)
    assert "2000Q1" in chow.test
    with pytest.raises(ValueError, match="break outside the sample"):
        kd.chow(ys, frame, pd.Period("2100Q1", freq="Q"))

    rr = kd.recursive_residuals(ys, frame)
    assert list(rr.residuals.index) == list(index[3:])
    hac = kd.hac_covariance(frame[["income", "rate"]], "bartlett", 2)
    assert hac.names == ("income", "rate")
    assert list(hac.to_frame().columns) == ["income", "rate"]


def test_read_only_arrays_are_accepted():
    y, X = simulated()
    y.flags.writeable = False
    X.flags.writeable = False
    assert kd.cusum(y, X).statistic == pytest.approx(ref_cusum(y, X), rel=1e-7)


def test_repr_is_one_readable_line():
    y, X = simulated()
    text = repr(kd.chow(y, X, 75))
    assert "\n" not in text
    for part in ("Chow", "statistic=", "df=3, 144", "p-value=", "status=0 (OK)"):
        assert part in text
