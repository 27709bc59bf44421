"""Column means, centring and half-vectorisation of moment matrices."""

import warnings

import numpy as np
import pytest

from Kestrix._ckernels.diag import _diag

BAD_SHAPE = -1
rng = np.random.default_rng(20240611)


def vech_rows(x):
    """Per-row upper triangle of x_t x_t', row by row."""
    iu = np.triu_indices(x.shape[1])
    return np.array([np.outer(row, row)[iu] for row in x]).reshape(len(x), -1)


# ---------------------------------------------------------------- means

@pytest.mark.parametrize("x, expected", [
    ([[1, 2], [3, 4]], [2.0, 3.0]),                          # nested list is converted
    (np.array([[2.0], [2.0], [1.0]]), [5.0 / 3.0]),          # true division, not * (1/n)
    (np.array([[1e16], [1.0], [-1e16], [1.0]]), [0.25]),     # strict left fold in row order
    (np.array([[-0.0, 1.0], [-0.0, 3.0]]), [0.0, 2.0]),      # sum starts from +0.0
    (np.array([[np.inf, 1.0], [-np.inf, np.nan]]), [np.nan, np.nan]),
    (np.array([[np.inf, 1.0], [1.0, 1.0]]), [np.inf, 1.0]),
])
def test_fill_mean_ax0_examples(x, expected):
    m = _diag.fill_mean_ax0(x)
    assert type(m) is np.ndarray and m.dtype == np.float64
    np.testing.assert_array_equal(m, expected)
    assert not np.signbit(m[~np.isnan(m)]).any()


# widths on either side of the specialised ones: every width a pass of 32
# columns can take, and more than one pass
@pytest.mark.parametrize("p", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 64, 65])
def test_fill_mean_ax0_random_matches_row_order_sum(p):
    x = rng.normal(3.0, 1e3, size=(57, p))
    m = _diag.fill_mean_ax0(x)
    # np.add.accumulate adds the rows one after another, as a left fold does
    np.testing.assert_array_equal(m, np.add.accumulate(x, axis=0)[-1] / len(x))
    np.testing.assert_allclose(m, x.mean(axis=0), rtol=1e-9, atol=1e-9)


def test_fill_mean_ax0_empty_shapes():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        m = _diag.fill_mean_ax0(np.empty((0, 3)))
    assert m.shape == (3,) and np.isnan(m).all()
    e = _diag.fill_mean_ax0(np.empty((4, 0)))
    assert e.shape == (0,) and e.dtype == np.float64


# ---------------------------------------------------------------- centring

@pytest.mark.parametrize("p", [1, 2, 3, 4, 5, 6, 7, 8, 9, 13])
def test_fill_centered_ax0_random_exact(p):
    x = rng.normal(size=(23, p)) * 10.0
    mean = rng.normal(size=p)
    c = _diag.fill_centered_ax0(x, mean)
    assert type(c) is np.ndarray and c.shape == (23, p)
    np.testing.assert_array_equal(c, x - mean[None, :])
    # usual use: centre on the column means
    c2 = _diag.fill_centered_ax0(x, _diag.fill_mean_ax0(x))
    np.testing.assert_allclose(c2.sum(axis=0), 0.0, atol=1e-10)
    # keyword order does not matter
    np.testing.assert_array_equal(_diag.fill_centered_ax0(mean=mean, x=x), c)


def test_fill_centered_ax0_longer_mean_and_empty_rows():
    x = np.array([[1.0, 2.0], [3.0, 5.0]])
    c = _diag.fill_centered_ax0(x, np.array([1.0, 1.0, 99.0, np.nan]))
    np.testing.assert_array_equal(c, [[0.0, 1.0], [2.0, 4.0]])
    e = _diag.fill_centered_ax0(np.empty((0, 3)), np.array([1.0, 2.0, 3.0]))
    assert e.shape == (0, 3)


class _ClaimsMoreRows:
    """Array-like whose `shape` attribute overstates its data."""

    shape = (5, 2)

    def __array__(self, dtype=None, copy=None):
        return np.ones((2, 2), dtype=dtype)


@pytest.mark.parametrize("x, mean, exc, match", [
    ([[1, 2], [3, 4]], [2, 3], AttributeError, None),          # sizes come from x.shape
    (np.ones((3, 4)), np.ones(3), ValueError, "mean"),          # mean shorter than p
    (np.ones((3, 4)), np.ones(0), ValueError, "mean"),
    (_ClaimsMoreRows(), np.ones(2), ValueError, r"\bx\b"),
    (np.ones(3), np.ones(3), ValueError, r"expected 2, got 1"),
    (np.ones((2, 3)), np.ones((1, 3)), ValueError, r"expected 1, got 2"),
])
def test_fill_centered_ax0_rejects(x, mean, exc, match):
    with pytest.raises(exc, match=match):
        _diag.fill_centered_ax0(x, mean)


# ---------------------------------------------------------------- outer products

@pytest.mark.parametrize("x, expected", [
    ([[1, 2, 3]], [[1, 2, 3, 4, 6, 9]]),
    ([[3.0], [-2.0], [0.5]], [[9.0], [4.0], [0.25]]),
    ([[1.0, 2.0], [-1.0, 4.0]], [[1.0, 2.0, 4.0], [1.0, -4.0, 16.0]]),
    (np.empty((3, 0)), np.empty((3, 0))),
    (np.empty((0, 4)), np.empty((0, 10))),
])
def test_symmetric_outer_prod_2dim_examples(x, expected):
    status, out = _diag.symmetric_outer_prod_2dim(x)
    assert type(status) is int and status == 0
    assert out.shape == np.shape(expected)
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("p", [1, 2, 3, 5, 8, 9, 15, 16, 17, 24])
def test_symmetric_outer_prod_2dim_random_matches_triu_indices(p):
    x = rng.normal(size=(31, p))
    status, out = _diag.symmetric_outer_prod_2dim(x)
    assert status == 0 and out.shape == (31, p * (p + 1) // 2)
    np.testing.assert_array_equal(out, vech_rows(x))


# ---------------------------------------------------------------- target packing

T = [[1.0, 2.0], [2.1, 5.0]]


@pytest.mark.parametrize("target, atol, rtol, ok", [
    ([[1, 2], [2, 5]], 0.0, 0.0, True),
    (T, 0.0, 0.0, False),
    (T, 0.2, 0.0, True),
    (T, 0.0, 0.05, True),                             # scale is the lower element |2.1|
    ([[1.0, 2.1], [2.0, 5.0]], 0.0, 0.05, False),     # scale |2| -> tolerance 0.1
    ([[1.0, 2.0], [3.0, 5.0]], 1.0, 0.0, True),       # difference equal to tolerance passes
    ([[1.0, 2.0], [3.0, 5.0]], np.nextafter(1.0, 0.0), 0.0, False),
    ([[1.0, 2.0], [3.0, 5.0]], np.nan, 0.0, True),    # NaN tolerance accepts finite asymmetry
    ([[1.0, 2.0], [3.0, 5.0]], 0.0, np.nan, True),
    ([[1.0, 2.0], [2.0, 5.0]], -1.0, -1.0, True),     # exact equality needs no tolerance
    ([[1.0, -0.0], [0.0, 5.0]], -1.0, 0.0, True),     # +0.0 == -0.0
    ([[1.0, 2.0], [np.nextafter(2.0, 3.0), 5.0]], -1e-300, 0.0, False),
    ([[1.0, 2.0], [np.nextafter(2.0, 3.0), 5.0]], 0.0, -1.0, False),
    ([[np.nan, 2.0], [2.0, 5.0]], np.inf, np.inf, False),
    ([[1.0, np.nan], [2.0, 5.0]], np.inf, np.inf, False),
    ([[1.0, 2.0], [np.nan, 5.0]], np.inf, np.inf, False),
    ([[1.0, 2.0], [2.0, np.inf]], 0.0, 0.0, True),
    ([[1.0, -np.inf], [-np.inf, 5.0]], 0.0, 0.0, True),
    ([[1.0, np.inf], [-np.inf, 5.0]], np.inf, np.inf, False),
    ([[1.0, np.inf], [2.0, 5.0]], np.inf, 0.0, False),
])
def test_fill_symmetric_target_vec_tolerance(target, atol, rtol, ok):
    status, vec = _diag.fill_symmetric_target_vec(target, atol, rtol)
    assert type(status) is int
    t = np.asarray(target, dtype=np.float64)
    assert vec.shape == (len(t) * (len(t) + 1) // 2,)
    if ok:
        assert status == 0
        expected = t[np.triu_indices(len(t))]         # always the upper element
        np.testing.assert_array_equal(vec, expected)
        np.testing.assert_array_equal(np.signbit(vec), np.signbit(expected))
    else:
        assert status == BAD_SHAPE


def test_fill_symmetric_target_vec_random_and_partial_write():
    p = 6
    a = rng.normal(size=(p, p))
    sym = np.triu(a) + np.triu(a, 1).T
    status, vec = _diag.fill_symmetric_target_vec(sym, 0.0, 0.0)
    iu = np.triu_indices(p)
    assert status == 0
    np.testing.assert_array_equal(vec, sym[iu])

    # relative noise of up to 1e-6 on the lower triangle
    noisy = sym.copy()
    il = np.tril_indices(p, -1)
    noisy[il] *= 1.0 + rng.uniform(-1e-6, 1e-6, size=len(il[0]))
    status, vec = _diag.fill_symmetric_target_vec(noisy, 0.0, 1e-5)
    assert status == 0
    np.testing.assert_array_equal(vec, sym[iu])

    rtol = 3e-7
    upper, lower = noisy[iu], noisy.T[iu]
    bad = np.abs(upper - lower) > rtol * np.abs(lower)
    assert bad.any()
    first = int(np.argmax(bad))
    status, vec = _diag.fill_symmetric_target_vec(noisy, 0.0, rtol)
    assert status == BAD_SHAPE
    np.testing.assert_array_equal(vec[:first], upper[:first])


def test_fill_symmetric_target_vec_first_pair_fails():
    t = np.array([[7.0, 1.0, 0.0], [2.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
    status, vec = _diag.fill_symmetric_target_vec(t, 0.0, 0.0)
    assert status == BAD_SHAPE and vec.shape == (6,) and vec[0] == 7.0


@pytest.mark.parametrize("shape", [(2, 3), (2, 1), (3, 2), (1, 2), (1, 0), (4, 16)])
def test_fill_symmetric_target_vec_non_square(shape):
    status, _ = _diag.fill_symmetric_target_vec(np.zeros(shape), 1.0, 1.0)
    assert status == BAD_SHAPE


@pytest.mark.parametrize("m", [0, 3])
def test_fill_symmetric_target_vec_no_rows(m):
    status, vec = _diag.fill_symmetric_target_vec(np.empty((0, m)), 0.0, 0.0)
    assert status == 0 and vec.shape == (0,) and vec.dtype == np.float64


@pytest.mark.parametrize("args, exc, match", [
    (("not a matrix", "x", 0.0), TypeError, None),      # atol converted before target
    ((np.ones(3), None, 0.0), TypeError, None),
    (("not a matrix", 0.0, "1e-8"), TypeError, None),   # strings are not parsed
    ((np.ones(3), 0.0, 0.0), ValueError, r"expected 2, got 1"),
])
def test_fill_symmetric_target_vec_argument_errors(args, exc, match):
    with pytest.raises(exc, match=match):
        _diag.fill_symmetric_target_vec(*args)


@pytest.mark.parametrize("func", [_diag.fill_mean_ax0, _diag.symmetric_outer_prod_2dim])
@pytest.mark.parametrize("x, got", [(np.ones(4), 1), (np.ones((2, 2, 2)), 3)])
def test_two_dimensional_x_required(func, x, got):
    with pytest.raises(ValueError, match=rf"expected 2, got {got}"):
        func(x)


# ---------------------------------------------------------------- inputs untouched

@pytest.mark.parametrize("call", [
    lambda x, m, t: _diag.fill_mean_ax0(x),
    lambda x, m, t: _diag.fill_centered_ax0(x, m),
    lambda x, m, t: _diag.symmetric_outer_prod_2dim(x),
    lambda x, m, t: _diag.fill_symmetric_target_vec(t, 0.0, 0.0),
    lambda x, m, t: _diag.fill_symmetric_target_vec(x[:4], 0.0, 0.0),   # failing path
])
def test_inputs_not_modified(call):
    x = rng.normal(size=(9, 4))
    m = rng.normal(size=4)
    t = x[:4].T @ x[:4]
    saved = [a.copy() for a in (x, m, t)]
    result = call(x, m, t)
    for a, s in zip((x, m, t), saved):
        np.testing.assert_array_equal(a, s)
    results = result if isinstance(result, tuple) else (result,)
    assert not any(r is a for r in results for a in (x, m, t))
