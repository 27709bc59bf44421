"""Python-level tests of the series diagnostics of ``_diag``.

Functions: acorr, lb_stat, jb_stat.  Expected values come from the explicit
textbook formulas written out in NumPy below.
"""

import math

import numpy as np
import pytest

import oracles
from Kestrix._ckernels.diag import _diag

NAN = float("nan")
RTOL = 1e-9
SERIES4 = np.array([1.0, 2.0, 3.0, 4.0])
LB_SERIES4 = 24.0 * (0.25**2 / 3 + 0.3**2 / 2 + 0.45**2 / 1)


# --------------------------------------------------------------------------
# Independent reference formulations (oracles.py)
# --------------------------------------------------------------------------

ref_acorr = oracles.acorr
ref_lb = oracles.lb
ref_jb = oracles.jb


# --------------------------------------------------------------------------
# Helpers
# --------------------------------------------------------------------------

def check_status(status, expected):
    assert type(status) is int and status == expected


def check_array(arr, length):
    assert type(arr) is np.ndarray
    assert arr.dtype == np.float64 and arr.ndim == 1 and arr.flags.c_contiguous
    assert arr.shape == (length,)


def check_np_scalar(result, status, value):
    """(status, stat) with stat a NumPy float64 scalar; value NaN or exact/approx."""
    assert type(result) is tuple and len(result) == 2
    check_status(result[0], status)
    stat = result[1]
    assert type(stat) is np.float64
    if isinstance(value, float) and math.isnan(value):
        assert math.isnan(stat)
    else:
        assert stat == pytest.approx(value, rel=1e-12)


BAD_VALUES = {
    "nan": np.array([1.0, np.nan, 3.0, 2.0, 5.0]),
    "inf": np.array([1.0, np.inf, 3.0, 2.0, 5.0]),
    "-inf": np.array([1.0, 2.0, -np.inf, 2.0, 5.0]),
    "overflow": np.array([1e200, -1e200, 0.0, 3.0, -3.0]),
    "constant": np.full(4, 2.0),
}


# --------------------------------------------------------------------------
# acorr
# --------------------------------------------------------------------------

def test_acorr_worked_example():
    status, out = _diag.acorr(SERIES4, 5)
    check_status(status, 0)
    check_array(out, 6)
    # Every sum is exact in binary here, and lags 4, 5 lie beyond the series.
    np.testing.assert_array_equal(out, [1.0, 0.25, -0.3, -0.45, 0.0, 0.0])


def test_acorr_lag_zero():
    status, out = _diag.acorr(SERIES4, 0)
    check_status(status, 0)
    check_array(out, 1)
    assert out[0] == 1.0


@pytest.mark.parametrize("n, rho1", [(3, 2 / 3), (10, 0.9)])
def test_acorr_rounded_constant_is_a_series(n, rho1):
    # The rounded mean of n copies of 0.1 leaves identical tiny deviations.
    status, out = _diag.acorr(np.full(n, 0.1), 1)
    check_status(status, 0)
    assert out[0] == 1.0 and out[1] == pytest.approx(rho1, rel=1e-12)


@pytest.mark.parametrize("x", [np.empty(0)] + list(BAD_VALUES.values()),
                         ids=["empty"] + list(BAD_VALUES))
@pytest.mark.parametrize("L", [0, 3, 7])
def test_acorr_undefined_variance(x, L):
    status, out = _diag.acorr(x, L)
    check_status(status, -3)
    check_array(out, L + 1)
    assert np.isnan(out).all()


@pytest.mark.parametrize("x, status", [(SERIES4, 0), (np.full(4, 2.0), -3)], ids=["series", "constant"])
def test_acorr_lag_minus_one_gives_empty_output(x, status):
    result = _diag.acorr(x, -1)
    check_status(result[0], status)
    check_array(result[1], 0)


@pytest.mark.parametrize("L", [-2, -5])
def test_acorr_lag_below_minus_one_fails_in_allocation(L):
    with pytest.raises(ValueError):
        _diag.acorr(SERIES4, L)


@pytest.mark.parametrize("seed, n, L", [(0, 5, 3), (1, 20, 7), (2, 50, 49), (3, 64, 70), (4, 200, 30)])
def test_acorr_random(seed, n, L):
    x = np.random.default_rng(600 + seed).standard_normal(n).cumsum()
    status, out = _diag.acorr(x, L)
    check_status(status, 0)
    check_array(out, L + 1)
    np.testing.assert_allclose(out, ref_acorr(x, L), rtol=RTOL, atol=1e-13)
    assert (out[n:] == 0.0).all()


def test_acorr_reads_n_from_shape_of_argument():
    with pytest.raises(AttributeError):
        _diag.acorr(SERIES4.tolist(), 2)
    with pytest.raises(IndexError):
        _diag.acorr(np.array(3.0), 2)          # zero-dimensional: shape is ()


# --------------------------------------------------------------------------
# lb_stat
# --------------------------------------------------------------------------

@pytest.mark.parametrize("L", [3, 4, 10])
def test_lb_stat_worked_example_and_clamp(L):
    check_np_scalar(_diag.lb_stat(SERIES4, L), 0, LB_SERIES4)


@pytest.mark.parametrize("x", [np.empty(0), np.array([5.0])], ids=["n=0", "n=1"])
@pytest.mark.parametrize("L", [-3, 0, 1, 5])
def test_lb_stat_too_few(x, L):
    check_np_scalar(_diag.lb_stat(x, L), -5, NAN)


@pytest.mark.parametrize("L", [0, -1, -7])
@pytest.mark.parametrize("x", [SERIES4[:2], SERIES4, np.full(4, 2.0)], ids=["n=2", "n=4", "constant"])
def test_lb_stat_bad_lag(x, L):
    check_np_scalar(_diag.lb_stat(x, L), -4, NAN)


@pytest.mark.parametrize("x", list(BAD_VALUES.values()), ids=list(BAD_VALUES))
@pytest.mark.parametrize("L", [1, 3, 10])
def test_lb_stat_undefined_variance(x, L):
    check_np_scalar(_diag.lb_stat(x, L), -3, NAN)


@pytest.mark.parametrize("L, L_eff", [(3.9, 3), (True, 1), (np.int64(2), 2)])
def test_lb_stat_lag_conversion(L, L_eff):
    x = np.array([1.0, -2.0, 0.5, 3.0, 2.5, -1.0, 0.0])
    assert _diag.lb_stat(x, L) == _diag.lb_stat(x, L_eff)


@pytest.mark.parametrize("L, error", [("3", TypeError), (None, TypeError), (2**70, OverflowError)])
def test_lb_stat_lag_rejected(L, error):
    with pytest.raises(error):
        _diag.lb_stat(SERIES4, L)


@pytest.mark.parametrize("seed, n, L", [(0, 5, 2), (1, 20, 7), (2, 50, 49), (3, 64, 100), (4, 200, 30)])
def test_lb_stat_random(seed, n, L):
    x = np.random.default_rng(700 + seed).standard_normal(n).cumsum()
    status, stat = _diag.lb_stat(x, L)
    check_status(status, 0)
    assert type(stat) is np.float64
    assert stat == pytest.approx(ref_lb(x, L), rel=RTOL)


def test_lb_stat_accepts_a_list():
    check_np_scalar(_diag.lb_stat(SERIES4.tolist(), 3), 0, LB_SERIES4)


# --------------------------------------------------------------------------
# jb_stat
# --------------------------------------------------------------------------

ALTERNATING = np.array([1.0, -1.0] * 5)


@pytest.mark.parametrize("x, status, value", [
    pytest.param(ALTERNATING, 0, 10 * 4 / 24, id="alternating-10"),
    pytest.param(ALTERNATING[:8], -5, 8 * 4 / 24, id="alternating-8"),
    pytest.param(np.r_[np.zeros(9), 1.0], 0, 10 * ((8 / 3) ** 2 / 6 + (73 / 9 - 3) ** 2 / 24),
                 id="nine-zeros-one"),
    pytest.param(np.array([1.0, 2.0, 3.0, 4.0, 10.0]), -5, ref_jb(np.array([1.0, 2, 3, 4, 10])),
                 id="small-sample"),
    pytest.param(np.full(10, 0.1), 0, 10 * (1 / 6 + 4 / 24), id="rounded-constant"),
])
def test_jb_stat_worked_examples(x, status, value):
    check_np_scalar(_diag.jb_stat(x), status, value)


def test_jb_stat_quoted_values():
    assert _diag.jb_stat(np.r_[np.zeros(9), 1.0])[1] == pytest.approx(22.7366, abs=1e-4)
    assert _diag.jb_stat(np.array([1.0, 2.0, 3.0, 4.0, 10.0]))[1] == pytest.approx(1.0894, abs=1e-4)


@pytest.mark.parametrize("x, status", [
    pytest.param(np.empty(0), -5, id="empty"),
    pytest.param(np.array([4.0]), -3, id="single"),
    pytest.param(np.full(12, 2.0), -3, id="constant-12"),
] + [pytest.param(x, -3, id=name) for name, x in BAD_VALUES.items()])
def test_jb_stat_failures(x, status):
    check_np_scalar(_diag.jb_stat(x), status, NAN)


@pytest.mark.parametrize("seed, n", [(0, 2), (1, 9), (2, 10), (3, 57), (4, 500)])
def test_jb_stat_random(seed, n):
    x = np.random.default_rng(800 + seed).exponential(size=n)   # skewed: JB well above 0
    status, stat = _diag.jb_stat(x)
    check_status(status, 0 if n >= 10 else -5)
    assert type(stat) is np.float64
    assert stat == pytest.approx(ref_jb(x), rel=RTOL)


# --------------------------------------------------------------------------
# Binding behaviours shared by the three functions
# --------------------------------------------------------------------------

CALLS = {
    "acorr": lambda x: _diag.acorr(x, 4),
    "lb_stat": lambda x: _diag.lb_stat(x, 4),
    "jb_stat": _diag.jb_stat,
}


@pytest.mark.parametrize("name", CALLS)
def test_input_not_modified_and_not_returned(name):
    x = np.random.default_rng(9).standard_normal(25)
    assert x.dtype == np.float64 and x.flags.c_contiguous and x.flags.writeable
    before = x.copy()
    result = CALLS[name](x)
    check_status(result[0], 0)
    np.testing.assert_array_equal(x, before)
    assert all(r is not x for r in result)


@pytest.mark.parametrize("name", CALLS)
def test_two_dimensional_series_rejected(name):
    with pytest.raises(ValueError, match=r"expected 1, got 2"):
        CALLS[name](np.ones((4, 2)))


@pytest.mark.parametrize("name, params", [
    ("acorr", ("x", "L")), ("lb_stat", ("x", "L")), ("jb_stat", ("x",)),
])
def test_keywords_and_converted_inputs(name, params):
    func = getattr(_diag, name)
    x = np.array([3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0, 5.0, 3.0, 5.0])
    args = (x, 3)[:len(params)]
    want = func(*args)
    for got in (func(**dict(zip(params, args))),
                func(x.astype(np.int64), *args[1:]),
                func(np.stack([x, x], axis=1)[:, 0], *args[1:])):     # non-contiguous view
        assert got[0] == want[0]
        np.testing.assert_array_equal(got[1], want[1])
