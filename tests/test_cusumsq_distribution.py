"""The small-sample null law of the CUSUM-of-squares statistic.

The table is simulated once with its own seed; these tests draw fresh
samples with a different seed and check that the tabulated critical values
and p-values hold their size.
"""

import math

import numpy as np
import pytest

import Kestrix.diagnostics as kd
from Kestrix._ckernels.diag import _diag

SEED = 8_675_309  # not the table's seed


def gaps(rng, m, draws):
    """max_r |s_r - r/m| for iid normal w, straight from the definition."""
    w2 = rng.standard_normal((draws, m)) ** 2
    s = np.cumsum(w2, axis=1) / w2.sum(axis=1, keepdims=True)
    return np.max(np.abs(s - np.arange(1, m + 1) / m), axis=1)


@pytest.mark.parametrize("m, draws", [(10, 40_000), (13, 40_000), (20, 40_000), (35, 40_000), (55, 40_000),
                                      (100, 40_000), (300, 20_000), (5000, 4_000)])
def test_five_percent_size(m, draws):
    rng = np.random.default_rng([SEED, m])
    d = gaps(rng, m, draws)
    by_pvalue = np.mean([kd.cusumsq_pvalue(g, m) < 0.05 for g in d])
    by_boundary = np.mean(d > kd.cusumsq_critical_value(m, 0.05))
    # ±0.5 pp is about 4.5 standard errors at 40,000 draws; fewer draws get
    # a bound of three standard errors.
    tol = max(0.005, 3 * math.sqrt(0.05 * 0.95 / draws))
    assert abs(by_pvalue - 0.05) < tol
    assert abs(by_boundary - 0.05) < tol


def test_size_through_the_kernel():
    # Regressions with a constant and one regressor, T = 22: m = 20.
    rng = np.random.default_rng(SEED)
    X = np.column_stack([np.ones(22), rng.standard_normal(22)])
    rejections = 0
    draws = 6000
    for _ in range(draws):
        status, w = _diag.recursive_residuals(X @ [1.0, -1.0] + rng.standard_normal(22), X)
        assert status == 0
        s = np.cumsum(w * w) / np.sum(w * w)
        rejections += kd.cusumsq_pvalue(np.max(np.abs(s - np.arange(1, 21) / 20)), 20) < 0.05
    assert 0.035 < rejections / draws < 0.065


@pytest.mark.parametrize("m", [3, 10, 11, 47, 61, 65, 150, 175, 2000, 2500, 10**6])
@pytest.mark.parametrize("alpha", [0.001, 0.01, 0.05, 0.10, 0.5])
def test_critical_value_inverts_the_pvalue(m, alpha):
    c = kd.cusumsq_critical_value(m, alpha)
    assert 0 < c < 1 - 1 / m
    assert kd.cusumsq_pvalue(c, m) == pytest.approx(alpha, rel=1e-9)


@pytest.mark.parametrize("m", [3, 12, 64, 180, 4000])
def test_pvalue_is_a_tail_probability(m):
    grid = np.linspace(0.0, 1.0, 2001)
    p = np.array([kd.cusumsq_pvalue(g, m) for g in grid])
    assert p[0] == 1.0 and p[-1] == 0.0
    assert np.all(np.diff(p) <= 0) and np.all((p >= 0) & (p <= 1))
    assert math.isnan(kd.cusumsq_pvalue(math.nan, m))


def test_between_tabulated_lengths_and_in_the_limit():
    # An untabulated m lies between its tabulated neighbours.
    for lo, m, hi in [(60, 65, 70), (150, 175, 200), (1500, 1700, 2000)]:
        for gap in (0.8 / math.sqrt(m), 1.36 / math.sqrt(m), 2.0 / math.sqrt(m)):
            a, b, c = (kd.cusumsq_pvalue(gap * math.sqrt(m) / math.sqrt(k), k) for k in (lo, m, hi))
            assert min(a, c) - 1e-12 <= b <= max(a, c) + 1e-12
    # sqrt(m/2)·c0 tends to the 5% point of sup|Brownian bridge|, 1.3581.
    assert kd.cusumsq_critical_value(10**8) * math.sqrt(10**8 / 2) == pytest.approx(1.3581, abs=1e-3)
    # Short samples need the wider band, though sqrt(m)·c0 approaches its
    # limit from below.
    lengths = (10, 30, 100, 1000, 10**5)
    widths = [kd.cusumsq_critical_value(m) for m in lengths]
    assert widths == sorted(widths, reverse=True)
    scaled = [w * math.sqrt(m) for w, m in zip(widths, lengths)]
    assert scaled == sorted(scaled) and scaled[-1] < math.sqrt(2) * 1.3581


@pytest.mark.parametrize("m", [0, 1, 2])
def test_refuses_fewer_than_three_residuals(m):
    with pytest.raises(ValueError, match=f"at least 3 recursive residuals, got {m}"):
        kd.cusumsq_pvalue(0.1, m)
