"""Python-level tests of the regression diagnostics of ``_diag``.

Functions: bg_stat, bp_aux, chow_stat, recursive_residuals, cusum_series,
cusum_stat, cusumsq_stat.  Every expected value is computed by an independent
NumPy formulation (np.linalg.lstsq fits, an explicit loop of separate fits for
the recursive residuals), never by re-running the kernels' own recurrences.

The designs used for the FALLBACK rows are chosen so that the failing Cholesky
pivot is exactly 0.0 in floating point (a zero column, or a dependent pair of
rows whose Gram diagonal is a perfect square), so the scaled Cholesky pivot test
rejects them whatever the rounding of the other entries.
"""

import math

import numpy as np
import pytest

import oracles
from Kestrix._ckernels.diag import _diag

NAN = float("nan")
RTOL = 1e-9
SQRT2 = math.sqrt(2.0)


# --------------------------------------------------------------------------
# Independent reference formulations (oracles.py), over lstsq fits
# --------------------------------------------------------------------------

ref_rss = oracles.rss_lstsq
bg_design = oracles.bg_design
ref_recursive = oracles.recursive_lstsq


def ref_bg(eps, X, lags):
    return oracles.bg(eps, X, lags)


def ref_bp(eps, X_aug):
    return oracles.bp(eps, X_aug)


def ref_chow(y, X, t_break):
    return oracles.chow(y, X, t_break)


def ref_cusum_series(y, X):
    return oracles.cusum_series(y, X)


def ref_cusum_stat(y, X):
    return oracles.cusum_stat_of(oracles.cusum_series(y, X))


def ref_cusumsq(y, X):
    return oracles.cusumsq_of(oracles.recursive_lstsq(y, X))


# --------------------------------------------------------------------------
# Helpers
# --------------------------------------------------------------------------

def same(a, b):
    """Equality that treats NaN as equal to NaN (for exact failure outputs)."""
    return (math.isnan(a) and math.isnan(b)) or a == b


def check_scalar_tuple(result, expected):
    """`result` is a tuple of a Python int status followed by Python ints/floats
    equal to `expected` (NaN equal to NaN, 0.0 distinct from NaN)."""
    assert type(result) is tuple and len(result) == len(expected)
    assert type(result[0]) is int and result[0] == expected[0]
    for got, want in zip(result[1:], expected[1:]):
        assert type(got) is type(want), (got, want)
        assert same(got, want), (result, expected)


def check_array(arr, length):
    assert type(arr) is np.ndarray
    assert arr.dtype == np.float64 and arr.ndim == 1 and arr.flags.c_contiguous
    assert arr.shape == (length,)


def regression_data(seed, T, p, intercept=True):
    """A well-conditioned random design (its first p rows too) and a response."""
    rng = np.random.default_rng(seed)
    while True:
        X = rng.standard_normal((T, p))
        if intercept and p:
            X[:, 0] = 1.0
        if p == 0 or (np.linalg.cond(X[:p]) < 20 and np.linalg.cond(X) < 20):
            break
    y = X @ rng.standard_normal(p) + rng.standard_normal(T)
    return y, X


ONES3 = np.ones((3, 1))
Y012 = np.array([0.0, 1.0, 2.0])
LINE6 = np.column_stack([np.ones(6), np.arange(6.0)])       # rows (1, t)
Y6 = np.array([0.3, -1.2, 2.5, 0.7, 1.9, -0.4])

# First p = 2 rows (3, 6) and (4, 8) are dependent; Gram diagonal 25 = 5^2
# makes the second pivot exactly 0.  Later rows are fine.
DEP_X = np.array([[3.0, 6.0], [4.0, 8.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0], [2.0, -1.0]])
# Repeated first row (1, 0) and p = 2: second column is zero over the first p rows.
REP_X = np.array([[1.0, 0.0], [1.0, 0.0], [1.0, 1.0], [1.0, 2.0], [1.0, 4.0]])
# p = 1 with a zero first row: Gram diagonal 0, pivot tolerance 0.
ZERO_X = np.array([[0.0], [1.0], [2.0], [3.0]])
# Starting fit fine (pivot 1e-12 against tolerance 2*1*eps), full-sample fit
# rejected: the row (1e4, 0) raises the scale to 1e8 + 1 and the tolerance to
# about 4.4e-8, above the pivot 1e-12.
FULLFAIL_X = np.array([[1.0, 0.0], [0.0, 1e-6], [1e4, 0.0]])
FULLFAIL_Y = np.array([1.0, 2.0, 3.0])
DEPENDENT_STARTS = [pytest.param(DEP_X, id="dependent-rows"), pytest.param(REP_X, id="repeated-row"),
                    pytest.param(ZERO_X, id="zero-row")]


# --------------------------------------------------------------------------
# bg_stat
# --------------------------------------------------------------------------

_rng = np.random.default_rng(7)
BG_X4 = np.column_stack([np.ones(4), [0.5, -1.0, 2.0, 0.25]])   # constant column, n = 4
BG_X6 = _rng.standard_normal((6, 1))


@pytest.mark.parametrize("eps, X, lags, expected", [
    pytest.param(np.arange(1.0, 5.0), np.ones((4, 1)), 4, (-5, NAN), id="lags=n"),
    pytest.param(np.arange(1.0, 5.0), np.ones((4, 1)), 9, (-5, NAN), id="lags>n"),
    pytest.param(np.empty(0), np.empty((0, 1)), 0, (-5, NAN), id="empty-lags0"),
    pytest.param(np.empty(0), np.empty((0, 2)), 3, (-5, NAN), id="empty-lags3"),
    pytest.param(np.array([1.0, -2.0, 0.5, 3.0]), BG_X4, 0, (1, 0.0), id="duplicate-constant"),
    pytest.param(np.array([1.0, -2.0, 0.5, 3.0, 1.5, -0.5]), np.column_stack([BG_X6, np.zeros(6)]),
                 1, (1, 0.0), id="zero-column"),
    pytest.param(np.zeros(6), BG_X6, 2, (1, 0.0), id="zero-eps-lag-columns"),
    pytest.param(np.array([2.0]), np.array([[3.0]]), 0, (1, 0.0), id="p>n"),
    pytest.param(np.zeros(6), BG_X6, 0, (0, 0.0), id="zero-eps-tss0"),
    pytest.param(np.arange(1.0, 5.0), np.ones((4, 1)), -1, (-4, NAN), id="lags=-1"),
    pytest.param(np.arange(1.0, 5.0), np.ones((4, 1)), -3, (-4, NAN), id="lags=-3"),
])
def test_bg_stat_failure_rows(eps, X, lags, expected):
    check_scalar_tuple(_diag.bg_stat(eps, X, lags), expected)


@pytest.mark.parametrize("n, K, lags", [(3, 0, 2), (10, 2, 3), (12, 0, 5), (9, 1, 1)])
def test_bg_stat_presample_zeros_match_explicit_design(n, K, lags):
    rng = np.random.default_rng(100 + n)
    eps = rng.standard_normal(n)
    X = rng.standard_normal((n, K))
    status, stat = _diag.bg_stat(eps, X, lags)
    assert status == 0 and type(stat) is float
    assert stat == pytest.approx(ref_bg(eps, X, lags), rel=RTOL, abs=1e-10)


def test_bg_stat_presample_zero_rows_are_as_documented():
    # The explicit design of the reference is built independently of the kernel.
    eps = np.array([2.0, -3.0, 5.0])
    design = bg_design(eps, np.empty((3, 0)), 2)
    np.testing.assert_array_equal(design, [[1, 0, 0], [1, 2, 0], [1, -3, 2]])
    # A square, triangular design fits eps exactly: the statistic is n.
    status, stat = _diag.bg_stat(eps, np.empty((3, 0)), 2)
    assert status == 0 and stat == pytest.approx(3.0, abs=1e-9)


def test_bg_stat_lags_n_minus_1_accepted():
    eps = np.array([1.0, 2.0, -1.0, 3.0])
    status, stat = _diag.bg_stat(eps, np.empty((4, 0)), 3)
    assert status == 0 and stat == pytest.approx(4.0, abs=1e-9)


@pytest.mark.parametrize("seed", range(6))
def test_bg_stat_random(seed):
    rng = np.random.default_rng(seed)
    n, K, lags = int(rng.integers(20, 60)), int(rng.integers(0, 4)), int(rng.integers(0, 5))
    X = rng.standard_normal((n, K))
    eps = np.empty(n)
    eps[0] = rng.standard_normal()
    for t in range(1, n):                       # AR(1) residuals: a sizeable statistic
        eps[t] = 0.5 * eps[t - 1] + rng.standard_normal()
    status, stat = _diag.bg_stat(eps, X, lags)
    assert status == 0
    assert stat == pytest.approx(ref_bg(eps, X, lags), rel=RTOL, abs=1e-10)


def test_bg_stat_sizes_from_eps():
    rng = np.random.default_rng(11)
    eps = rng.standard_normal(15)
    X = rng.standard_normal((15, 2))
    X_long = np.vstack([X, np.full((4, 2), np.nan)])     # extra rows are never read
    assert _diag.bg_stat(eps, X_long, 2) == _diag.bg_stat(eps, X, 2)
    # lags is judged against len(eps), not against the rows of X.
    check_scalar_tuple(_diag.bg_stat(eps[:3], X_long, 3), (-5, NAN))
    # K comes from the columns of X: zero columns is an intercept-plus-lags design.
    status, stat = _diag.bg_stat(eps, np.empty((15, 0)), 2)
    assert status == 0
    assert stat == pytest.approx(ref_bg(eps, np.empty((15, 0)), 2), rel=RTOL)


def test_bg_stat_rejects_X_shorter_than_eps():
    with pytest.raises(ValueError, match=r"\bX\b"):
        _diag.bg_stat(np.ones(5), np.ones((4, 1)), 1)


# --------------------------------------------------------------------------
# bp_aux
# --------------------------------------------------------------------------

BP_X = np.column_stack([np.ones(5), [0.5, -1.0, 2.0, 0.25, 1.5]])
BP_EPS = np.array([0.4, -1.1, 0.9, 2.0, -0.3])


@pytest.mark.parametrize("eps, X_aug, expected", [
    pytest.param(np.empty(0), np.empty((0, 2)), (-5, 0.0, 0.0), id="n=0"),
    pytest.param(np.ones(3), np.empty((0, 2)), (-5, 0.0, 0.0), id="n=0-eps-longer"),
    pytest.param(np.zeros(5), BP_X, (-3, 0.0, 0.0), id="all-zero"),
    pytest.param(np.array([0.4, np.nan, 0.9, 2.0, -0.3]), BP_X, (-3, 0.0, 0.0), id="nan"),
    pytest.param(np.array([0.4, np.inf, 0.9, 2.0, -0.3]), BP_X, (-3, 0.0, 0.0), id="inf"),
    pytest.param(np.array([0.4, -np.inf, 0.9, 2.0, -0.3]), BP_X, (-3, 0.0, 0.0), id="-inf"),
    pytest.param(np.array([1e200, -1e200, 1.0, 2.0, 3.0]), BP_X, (-3, 0.0, 0.0), id="overflow"),
    pytest.param(BP_EPS, np.column_stack([BP_X, np.zeros(5)]), (1, 0.0, 0.0), id="zero-column"),
    pytest.param(np.array([0.4, -1.1, 0.9, 2.0]), np.ones((4, 2)), (1, 0.0, 0.0), id="duplicate-column"),
])
def test_bp_aux_failure_rows(eps, X_aug, expected):
    check_scalar_tuple(_diag.bp_aux(eps, X_aug), expected)


@pytest.mark.parametrize("seed", range(6))
def test_bp_aux_random(seed):
    rng = np.random.default_rng(200 + seed)
    n, p = int(rng.integers(15, 60)), int(rng.integers(1, 5))
    _, X_aug = regression_data(200 + seed, n, p)
    eps = rng.standard_normal(n) * (1.0 + np.abs(X_aug[:, -1]))   # heteroskedastic
    status, rss, tss = _diag.bp_aux(eps, X_aug)
    assert status == 0 and type(rss) is float and type(tss) is float
    want_rss, want_tss = ref_bp(eps, X_aug)
    assert rss == pytest.approx(want_rss, rel=RTOL)
    assert tss == pytest.approx(want_tss, rel=RTOL)


def test_bp_aux_column_of_ones_explains_nothing():
    status, rss, tss = _diag.bp_aux(BP_EPS, np.ones((5, 1)))
    assert status == 0
    assert rss == pytest.approx(tss, rel=1e-12)
    assert tss == pytest.approx(ref_bp(BP_EPS, np.ones((5, 1)))[1], rel=RTOL)


def test_bp_aux_no_columns_fits_nothing():
    g = BP_EPS**2 / np.mean(BP_EPS**2)
    status, rss, tss = _diag.bp_aux(BP_EPS, np.empty((5, 0)))
    assert status == 0
    assert rss == pytest.approx(float(g @ g), rel=RTOL)
    assert tss == pytest.approx(float(np.sum((g - g.mean()) ** 2)), rel=RTOL)


def test_bp_aux_sizes_from_X_aug():
    eps_long = np.concatenate([BP_EPS, [np.nan, np.inf, 0.0]])   # extra values never read
    assert _diag.bp_aux(eps_long, BP_X) == _diag.bp_aux(BP_EPS, BP_X)


def test_bp_aux_rejects_eps_shorter_than_X_aug():
    with pytest.raises(ValueError, match=r"\beps\b"):
        _diag.bp_aux(BP_EPS[:4], BP_X)


# --------------------------------------------------------------------------
# chow_stat
# --------------------------------------------------------------------------

@pytest.mark.parametrize("y, X, t_break, expected", [
    pytest.param(np.arange(4.0), LINE6[:4], 2, (-5, NAN), id="T=2p"),
    pytest.param(np.arange(2.0), np.ones((2, 1)), 5, (-5, NAN), id="T=2p-before-break-test"),
    pytest.param(np.arange(3.0), LINE6[:3], 1, (-5, NAN), id="T<2p"),
    pytest.param(np.empty(0), np.empty((0, 1)), 0, (-5, NAN), id="T=0"),
    pytest.param(Y6, LINE6, 0, (-7, NAN), id="break=0"),
    pytest.param(Y6, LINE6, 6, (-7, NAN), id="break=T"),
    pytest.param(Y6, LINE6, -1, (-7, NAN), id="break<0"),
    pytest.param(Y6, LINE6, 9, (-7, NAN), id="break>T"),
    pytest.param(Y6, LINE6, 1, (1, 0.0), id="short-first-segment"),
    pytest.param(Y6, LINE6, 5, (1, 0.0), id="short-second-segment"),
    pytest.param(Y6, np.column_stack([np.ones(6), np.zeros(6)]), 3, (1, 0.0), id="zero-column"),
    pytest.param(np.array([0.0, 0, 0, 0, 1, 1, 1, 1]), np.ones((8, 1)), 4, (0, math.inf),
                 id="exact-segments-inf"),
    pytest.param(np.zeros(8), np.ones((8, 1)), 4, (0, NAN), id="exact-everything-nan"),
])
def test_chow_stat_failure_rows(y, X, t_break, expected):
    check_scalar_tuple(_diag.chow_stat(y, X, t_break), expected)


@pytest.mark.parametrize("t_break", [1, 2])
def test_chow_stat_worked_example(t_break):
    # Segment means: rss_c = 2, s = 1/2, F = (3/2) / (1/2) = 3 for either break.
    status, stat = _diag.chow_stat(Y012, ONES3, t_break)
    assert status == 0 and type(stat) is float
    assert stat == pytest.approx(3.0, rel=1e-12)


@pytest.mark.parametrize("seed", range(6))
def test_chow_stat_random(seed):
    rng = np.random.default_rng(300 + seed)
    p = int(rng.integers(1, 4))
    T = int(rng.integers(4 * p + 8, 60))
    t_break = int(rng.integers(2 * p + 2, T - 2 * p - 1))
    while True:
        y, X = regression_data(300 + seed, T, p)
        if all(np.linalg.cond(seg) < 30 for seg in (X[:t_break], X[t_break:])):
            break
        seed += 1000
    y[t_break:] += 2.0 * X[t_break:, 0]          # a real break: num well above rounding
    status, stat = _diag.chow_stat(y, X, t_break)
    assert status == 0
    assert stat == pytest.approx(ref_chow(y, X, t_break), rel=RTOL)


def test_chow_stat_sizes_from_X():
    y_long = np.concatenate([Y6, [np.nan, 1e300]])
    assert _diag.chow_stat(y_long, LINE6, 3) == _diag.chow_stat(Y6, LINE6, 3)


# --------------------------------------------------------------------------
# recursive_residuals
# --------------------------------------------------------------------------

@pytest.mark.parametrize("X", [np.empty((0, 0)), np.empty((0, 1)), np.ones((2, 2)), np.ones((2, 3))],
                         ids=["T=0,p=0", "T=0,p=1", "T=p", "p>T"])
def test_recursive_residuals_too_few(X):
    status, w = _diag.recursive_residuals(np.ones(4), X)
    assert type(status) is int and status == -5
    check_array(w, 0)


@pytest.mark.parametrize("X", DEPENDENT_STARTS)
def test_recursive_residuals_dependent_start(X):
    T, p = X.shape
    status, w = _diag.recursive_residuals(np.arange(float(T)), X)
    assert status == _diag.FALLBACK == 1
    check_array(w, T - p)                       # contents unspecified


def test_recursive_residuals_worked_example():
    status, w = _diag.recursive_residuals(Y012, ONES3)
    assert status == 0
    check_array(w, 2)
    np.testing.assert_allclose(w, [1 / SQRT2, math.sqrt(1.5)], rtol=1e-12)


def test_recursive_residuals_single_residual():
    y, X = regression_data(41, 4, 3)
    status, w = _diag.recursive_residuals(y, X)
    assert status == 0
    check_array(w, 1)
    np.testing.assert_allclose(w, ref_recursive(y, X), rtol=RTOL)


def test_recursive_residuals_no_columns_copy_y():
    y = np.array([1.5, -2.0, 0.0, 7.25])
    status, w = _diag.recursive_residuals(y, np.empty((4, 0)))
    assert status == 0
    np.testing.assert_array_equal(w, y)
    assert w is not y


def test_recursive_residuals_noise_free():
    _, X = regression_data(42, 30, 3)
    y = X @ np.array([1.0, -2.0, 0.5])
    status, w = _diag.recursive_residuals(y, X)
    assert status == 0
    np.testing.assert_allclose(w, 0.0, atol=1e-9)


@pytest.mark.parametrize("seed, T, p", [(0, 12, 1), (1, 25, 2), (2, 40, 3), (3, 60, 4), (4, 18, 5)])
def test_recursive_residuals_random(seed, T, p):
    y, X = regression_data(400 + seed, T, p)
    status, w = _diag.recursive_residuals(y, X)
    assert status == 0
    np.testing.assert_allclose(w, ref_recursive(y, X), rtol=RTOL, atol=1e-12)


# --------------------------------------------------------------------------
# cusum_series, cusum_stat, cusumsq_stat
# --------------------------------------------------------------------------

@pytest.mark.parametrize("X", [np.empty((0, 0)), np.empty((0, 1)), np.ones((2, 2)), np.ones((2, 3))],
                         ids=["T=0,p=0", "T=0,p=1", "T=p", "p>T"])
def test_cusum_family_too_few(X):
    y = np.ones(4)
    status, series = _diag.cusum_series(y, X)
    assert type(status) is int and status == -5
    check_array(series, 0)
    check_scalar_tuple(_diag.cusum_stat(y, X), (-5, NAN))
    check_scalar_tuple(_diag.cusumsq_stat(y, X), (-5, 0, NAN))


@pytest.mark.parametrize("X", DEPENDENT_STARTS)
def test_cusum_family_dependent_start(X):
    T, p = X.shape
    y = np.arange(float(T))
    status, series = _diag.cusum_series(y, X)
    assert status == 1
    check_array(series, T - p)                  # contents unspecified
    check_scalar_tuple(_diag.cusum_stat(y, X), (1, NAN))
    check_scalar_tuple(_diag.cusumsq_stat(y, X), (1, T - p, NAN))


def test_cusum_family_full_sample_fit_fails():
    # The recursive residuals succeed; only the full-sample fit is rejected.
    assert _diag.recursive_residuals(FULLFAIL_Y, FULLFAIL_X)[0] == 0
    status, series = _diag.cusum_series(FULLFAIL_Y, FULLFAIL_X)
    assert status == 1
    check_array(series, 1)
    check_scalar_tuple(_diag.cusum_stat(FULLFAIL_Y, FULLFAIL_X), (1, NAN))
    # cusumsq_stat needs no full-sample fit: one non-zero residual, gap 0.
    check_scalar_tuple(_diag.cusumsq_stat(FULLFAIL_Y, FULLFAIL_X), (0, 1, 0.0))


def test_cusum_family_worked_example():
    status, series = _diag.cusum_series(Y012, ONES3)
    assert status == 0
    check_array(series, 2)
    np.testing.assert_allclose(series, [1 / SQRT2, 1 / SQRT2 + math.sqrt(1.5)], rtol=1e-12)

    status, stat = _diag.cusum_stat(Y012, ONES3)
    assert status == 0 and type(stat) is float
    assert stat == pytest.approx((1 + math.sqrt(3)) / 4, rel=1e-12)

    status, n, stat = _diag.cusumsq_stat(Y012, ONES3)
    assert (status, n) == (0, 2) and type(n) is int and type(stat) is float
    assert stat == pytest.approx(SQRT2 / 8, rel=1e-12)


def test_cusum_family_single_residual():
    y, X = regression_data(51, 3, 2)
    status, series = _diag.cusum_series(y, X)
    assert status == 0
    check_array(series, 1)
    want = ref_cusum_series(y, X)
    np.testing.assert_allclose(series, want, rtol=RTOL)
    status, stat = _diag.cusum_stat(y, X)
    assert status == 0 and stat == pytest.approx(abs(want[0]), rel=RTOL)
    check_scalar_tuple(_diag.cusumsq_stat(y, X), (0, 1, 0.0))


def test_cusum_zero_sigma_is_not_guarded():
    # Constant y on a column of ones: residuals and sigma are both exactly 0.
    y = np.full(4, 2.0)
    status, series = _diag.cusum_series(y, np.ones((4, 1)))
    assert status == 0
    check_array(series, 3)
    assert np.isnan(series).all()
    check_scalar_tuple(_diag.cusum_stat(y, np.ones((4, 1))), (0, NAN))


@pytest.mark.parametrize("y, expected", [
    pytest.param(np.array([1.0, 0, 0, 0]), (0, 4, (1 - 1 / 4) / SQRT2), id="first-only"),
    pytest.param(np.array([-3.0, 0, 0, 0, 0]), (0, 5, (1 - 1 / 5) / SQRT2), id="first-only-5"),
    pytest.param(np.zeros(5), (0, 5, NAN), id="all-zero"),
])
def test_cusumsq_stat_no_columns(y, expected):
    result = _diag.cusumsq_stat(y, np.empty((len(y), 0)))
    assert type(result[1]) is int
    if math.isnan(expected[2]):
        check_scalar_tuple(result, expected)
    else:
        assert result[:2] == expected[:2]
        assert result[2] == pytest.approx(expected[2], rel=1e-12)


@pytest.mark.parametrize("seed, T, p", [(0, 12, 1), (1, 25, 2), (2, 40, 3), (3, 60, 4), (4, 18, 5)])
def test_cusum_family_random(seed, T, p):
    y, X = regression_data(500 + seed, T, p)
    status, series = _diag.cusum_series(y, X)
    assert status == 0
    np.testing.assert_allclose(series, ref_cusum_series(y, X), rtol=RTOL, atol=1e-12)
    status, stat = _diag.cusum_stat(y, X)
    assert status == 0 and stat == pytest.approx(ref_cusum_stat(y, X), rel=RTOL)
    status, n, stat = _diag.cusumsq_stat(y, X)
    want_n, want_stat = ref_cusumsq(y, X)
    assert (status, n) == (0, want_n) == (0, T - p)
    assert stat == pytest.approx(want_stat, rel=RTOL)


# --------------------------------------------------------------------------
# Binding behaviours shared by the y/X functions
# --------------------------------------------------------------------------

YX_CALLS = {
    "chow_stat": lambda y, X: _diag.chow_stat(y, X, 3),
    "recursive_residuals": _diag.recursive_residuals,
    "cusum_series": _diag.cusum_series,
    "cusum_stat": _diag.cusum_stat,
    "cusumsq_stat": _diag.cusumsq_stat,
}


def results_equal(a, b):
    assert type(a) is type(b) and len(a) == len(b)
    for u, v in zip(a, b):
        if isinstance(u, np.ndarray):
            np.testing.assert_array_equal(u, v)
        else:
            assert type(u) is type(v) and same(u, v)


@pytest.mark.parametrize("name", YX_CALLS)
def test_y_longer_than_X_extra_values_ignored(name):
    y, X = regression_data(61, 12, 2)
    y_long = np.concatenate([y, [np.nan, np.inf, -7.0]])
    results_equal(YX_CALLS[name](y_long, X), YX_CALLS[name](y, X))


@pytest.mark.parametrize("name", YX_CALLS)
def test_y_shorter_than_X_rejected(name):
    y, X = regression_data(62, 12, 2)
    with pytest.raises(ValueError, match=r"\by\b"):
        YX_CALLS[name](y[:11], X)


ALL_CALLS = {
    "bg_stat": (_diag.bg_stat, ("eps", "X", "lags")),
    "bp_aux": (_diag.bp_aux, ("eps", "X_aug")),
    "chow_stat": (_diag.chow_stat, ("y", "X", "t_break")),
    "recursive_residuals": (_diag.recursive_residuals, ("y", "X")),
    "cusum_series": (_diag.cusum_series, ("y", "X")),
    "cusum_stat": (_diag.cusum_stat, ("y", "X")),
    "cusumsq_stat": (_diag.cusumsq_stat, ("y", "X")),
}


def call_args(name):
    y, X = regression_data(63, 14, 3)
    extra = {"bg_stat": (2,), "chow_stat": (7,)}.get(name, ())
    if name == "bg_stat":
        return (y, X[:, 1:].copy()) + extra
    return (y, X) + extra


@pytest.mark.parametrize("name", ALL_CALLS)
def test_inputs_not_modified_and_not_returned(name):
    func, _ = ALL_CALLS[name]
    args = call_args(name)
    for a in args[:2]:
        assert a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable
    before = [np.copy(a) for a in args[:2]]
    result = func(*args)
    assert result[0] == 0
    for a, b in zip(args[:2], before):
        np.testing.assert_array_equal(a, b)
    assert all(r is not a for r in result for a in args[:2])


@pytest.mark.parametrize("name", ALL_CALLS)
def test_keywords_and_converted_inputs(name):
    func, params = ALL_CALLS[name]
    args = call_args(name)
    want = func(*args)
    results_equal(func(**dict(zip(params, args))), want)
    # Lists and Fortran-ordered arrays are converted to the same float64 data.
    converted = (args[0].tolist(), np.asfortranarray(args[1])) + args[2:]
    results_equal(func(*converted), want)
