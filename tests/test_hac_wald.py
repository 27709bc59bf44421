"""HAC long-run covariance and the Wald statistic built on it."""

import math

import numpy as np
import pytest

import oracles
from Kestrix._ckernels.diag import _diag
from oracles import BARTLETT, PARZEN, QS

rng = np.random.default_rng(77)
R4 = np.array([[1.0], [2.0], [3.0], [4.0]])   # Gamma_0..3 = 30, 20, 11, 4
QS_R4 = pytest.approx(21.2134, abs=5e-5)      # weights ~0.913946, 0.686931, 0.397910


window = oracles.window
hac_reference = oracles.hac


# ---------------------------------------------------------------- HAC

@pytest.mark.parametrize("kernel, L, expected", [
    (BARTLETT, 0, 7.5), (PARZEN, 0, 7.5), (QS, 0, 7.5), (BARTLETT, -4, 7.5),
    (BARTLETT, 1, 12.5),
    (BARTLETT, 2, 16.0),                    # (30 + 2/3*40 + 1/3*22) / 4
    (BARTLETT, 3, 18.25), (BARTLETT, 10, 18.25), (BARTLETT, 3.9, 18.25),
    (PARZEN, 1, 10.0),                      # w_1 = 0.25
    (PARZEN, 2, 727.0 / 54.0),              # w = 5/9, 2/27
    (PARZEN, 3, 16.125), (PARZEN, 10, 16.125),
    (QS, 3, QS_R4), (QS, 10, QS_R4),
    (7, 0, 7.5), (7, 3, 7.5), (7, 10, 7.5),
])
def test_hac_worked_examples(kernel, L, expected):
    out = _diag.hac_estimator_matmul(R4, kernel, L)
    assert type(out) is np.ndarray and out.shape == (1, 1) and out.dtype == np.float64
    if isinstance(expected, float):
        expected = pytest.approx(expected, rel=1e-12)
    assert out[0, 0] == expected
    if kernel in (BARTLETT, PARZEN, QS):
        np.testing.assert_allclose(out, hac_reference(R4, kernel, int(L)), rtol=1e-12)


def test_hac_two_columns():
    r = np.array([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
    out = _diag.hac_estimator_matmul(r, BARTLETT, 1)
    np.testing.assert_array_equal(out, np.array([[2.0, 2.0], [2.0, 3.0]]) / 3.0)


@pytest.mark.parametrize("kernel", [BARTLETT, PARZEN, QS])
@pytest.mark.parametrize("L", [0, 1, 5, 28, 60])
def test_hac_random_matches_lag_sums(kernel, L):
    r = rng.normal(size=(29, 3)) + [0.0, 1.0, -2.0]
    expected = hac_reference(r, kernel, L)
    out = _diag.hac_estimator_matmul(r, kernel, L)
    np.testing.assert_allclose(out, expected, rtol=1e-9, atol=1e-12 * np.abs(expected).max())
    # a Fortran-ordered copy is converted to the same data
    np.testing.assert_array_equal(_diag.hac_estimator_matmul(np.asfortranarray(r), kernel, L), out)


@pytest.mark.parametrize("kernel", [BARTLETT, PARZEN, QS])
def test_hac_exactly_symmetric(kernel):
    r = rng.normal(size=(40, 6)) * rng.uniform(0.1, 10.0, size=6)
    out = _diag.hac_estimator_matmul(r, kernel, 7)
    assert np.array_equal(out, out.T)


@pytest.mark.parametrize("kernel_id", [-1, 3, 7, 2**31 - 1, -(2**31)])
def test_hac_unknown_window_gives_gamma0(kernel_id):
    r = rng.normal(size=(12, 3))
    out = _diag.hac_estimator_matmul(r, kernel_id, 4)
    np.testing.assert_allclose(out, r.T @ r / 12, rtol=1e-12, atol=1e-15)
    assert np.array_equal(out, out.T)
    assert _diag.hac_estimator_matmul(R4, kernel_id, 3)[0, 0] == 7.5


@pytest.mark.parametrize("shape", [(0, 3), (0, 1), (5, 0)])
def test_hac_empty(shape):
    out = _diag.hac_estimator_matmul(np.empty(shape), QS, 2)
    assert out.shape == (shape[1], shape[1]) and np.isnan(out).all()   # 0/0 without rows


@pytest.mark.parametrize("args, exc, match", [
    ((R4, 2**31, 1), OverflowError, "value too large to convert to int"),
    ((R4, -(2**31) - 1, 1), OverflowError, None),
    ((R4, "0", 1), TypeError, "an integer is required"),
    ((np.ones(4), 0, 1), ValueError, r"expected 2, got 1"),
    ((np.ones((2, 2, 2)), 0, 1), ValueError, r"expected 2, got 3"),
])
def test_hac_argument_errors(args, exc, match):
    with pytest.raises(exc, match=match):
        _diag.hac_estimator_matmul(*args)


# ---------------------------------------------------------------- Wald

I2 = np.eye(2)


@pytest.mark.parametrize("mean, target, omega, n, expected", [
    ([1.0, 2.0], [0.0, 0.0], I2, 10, 50.0),
    ([3.0, 4.0], [1.0, 1.0], np.diag([4.0, 9.0]), 1, 2.0),
    ([3.0, 4.0], [1.0, 1.0], [[4.0, np.nan], [0.0, 9.0]], 1, 2.0),   # upper triangle unread
    ([1.0, 2.0], [0.0, 0.0], I2, 0, 0.0),
    ([1.0, 2.0], [0.0, 0.0], I2, -3, -15.0),
    ([], [], np.empty((0, 0)), 5, 0.0),
])
def test_wald_worked_examples(mean, target, omega, n, expected):
    res = _diag.wald_stat_from_mean_and_cov(np.array(mean), np.array(target), np.array(omega), n)
    assert type(res) is tuple and len(res) == 2
    status, stat = res
    assert type(status) is int and type(stat) is float
    assert (status, stat) == (0, expected)


def test_wald_non_symmetric_omega_uses_lower_triangle():
    # lower triangle of [[4, 100], [2, 9]] is [[4, 2], [2, 9]], inverse [[9, -2], [-2, 4]] / 32
    status, stat = _diag.wald_stat_from_mean_and_cov(
        np.ones(2), np.zeros(2), np.array([[4.0, 100.0], [2.0, 9.0]]), 32)
    assert status == 0 and stat == pytest.approx(9.0, rel=1e-14)


@pytest.mark.parametrize("omega", [
    [[1.0, 1.0], [1.0, 1.0]],                   # singular
    [[-1.0, 0.0], [0.0, 1.0]],                  # negative diagonal first
    [[1.0, 0.0], [0.0, -1.0]],
    [[0.0, 0.0], [0.0, 1.0]],
    [[1.0, 0.0], [2.0, 1.0]],                   # lower triangle is indefinite
    [[1.0, 1.0], [1.0, 1.0 + 2.0**-52]],        # pivot 2^-52 below 2 * scale * 2^-52
    [[np.inf, 0.0], [0.0, 1.0]],
])
def test_wald_fallback(omega):
    res = _diag.wald_stat_from_mean_and_cov(np.array([1.0, 2.0]), np.zeros(2), np.array(omega), 7)
    assert res == (_diag.FALLBACK, 0.0) and _diag.FALLBACK == 1
    assert type(res[1]) is float


@pytest.mark.parametrize("mean, omega", [
    ([np.nan, 1.0], I2),
    ([1.0, 1.0], [[1.0, 0.0], [np.nan, 1.0]]),
])
def test_wald_nan_is_not_fallback(mean, omega):
    status, stat = _diag.wald_stat_from_mean_and_cov(np.array(mean), np.zeros(2), np.array(omega), 3)
    assert status == 0 and math.isnan(stat)


def test_wald_random_matches_solve():
    p, n = 5, 37
    a = rng.normal(size=(p, p))
    omega = a @ a.T + 0.5 * np.eye(p)
    mean, target = rng.normal(size=p), rng.normal(size=p)
    dev = mean - target
    status, stat = _diag.wald_stat_from_mean_and_cov(mean, target, omega, n)
    assert status == 0
    assert stat == pytest.approx(n * dev @ np.linalg.solve(omega, dev), rel=1e-9)
    garbage_upper = np.tril(omega) + np.triu(rng.normal(size=(p, p)), 1)
    assert _diag.wald_stat_from_mean_and_cov(mean, target, garbage_upper, n) == (status, stat)


@pytest.mark.parametrize("args, exc, match", [
    (([1.0, 2.0], "x", "y", 1), AttributeError, None),        # p read from mean.shape first
    (([1.0, 2.0], "x", "y", "1"), TypeError, None),           # n converted before that
    ((np.array(1.0), np.ones(1), np.ones((1, 1)), 1), IndexError, None),
    ((np.ones(2), np.ones(1), I2, 1), ValueError, "target"),
    ((np.ones(2), np.ones(0), I2, 1), ValueError, "target"),
    ((np.ones(2), np.ones(2), np.ones((1, 1)), 1), ValueError, "omega"),
    ((np.ones(2), np.ones(2), np.ones((2, 1)), 1), ValueError, "omega"),
    ((np.ones(2), np.ones(2), np.ones((1, 3)), 1), ValueError, "omega"),
    ((np.ones(2), np.ones(2), np.ones(4), 1), ValueError, r"expected 2, got 1"),
    ((np.ones((2, 2)), np.ones(2), I2, 1), ValueError, r"expected 1, got 2"),
])
def test_wald_argument_errors(args, exc, match):
    with pytest.raises(exc, match=match):
        _diag.wald_stat_from_mean_and_cov(*args)


# ---------------------------------------------------------------- inputs untouched

@pytest.mark.parametrize("call", [
    lambda r, m, t, o, s: _diag.hac_estimator_matmul(r, QS, 4),
    lambda r, m, t, o, s: _diag.hac_estimator_matmul(r[:4], BARTLETT, 9),
    lambda r, m, t, o, s: _diag.wald_stat_from_mean_and_cov(m, t, o, 9),
    lambda r, m, t, o, s: _diag.wald_stat_from_mean_and_cov(m, t, s, 9),   # fallback path
])
def test_inputs_not_modified(call):
    r = rng.normal(size=(15, 3))
    m, t = rng.normal(size=3), rng.normal(size=3)
    o = r.T @ r + np.triu(np.ones((3, 3)), 1)
    s = np.ones((3, 3))
    inputs = (r, m, t, o, s)
    saved = [a.copy() for a in inputs]
    result = call(*inputs)
    for a, c in zip(inputs, saved):
        np.testing.assert_array_equal(a, c)
    assert not any(result is a for a in inputs)
