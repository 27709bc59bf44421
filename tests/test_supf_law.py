"""The asymptotic null law of sup-F, P(sup over break fractions of |B(π)|²/(π(1 - π)) > c).

The peers are simulations of the supremum itself: a k-dimensional Brownian
bridge on a fine grid, and sup-F on regressions with stable coefficients.
A grid sees a little less of the supremum than the continuous path does,
so its tail frequencies sit slightly below the continuous law.
"""

import math
import warnings

import numpy as np
import pytest
from scipy import special

import Kestrix.diagnostics as kd
from Kestrix.diagnostics import _distributions as dist


def logit(p):
    return math.log(p / (1.0 - p))


def bridge_suprema(rng, k, trim, steps=2000, draws=8000, chunk=500):
    """sup over grid points in [trim, 1 - trim] of |B(π)|²/(π(1 - π)) for draws bridges."""
    grid = np.arange(1, steps + 1) / steps
    inside = (grid >= trim) & (grid <= 1.0 - trim)
    out = []
    for _ in range(draws // chunk):
        w = np.cumsum(rng.standard_normal((chunk, steps, k)), axis=1) / math.sqrt(steps)
        b = w - grid[None, :, None] * w[:, -1:, :]
        q = (b[:, inside] ** 2).sum(axis=2) / (grid[inside] * (1.0 - grid[inside]))
        out.append(q.max(axis=1))
    return np.concatenate(out)


@pytest.mark.parametrize("k, trim", [(1, 0.15), (3, 0.15), (2, 0.3)])
def test_the_law_matches_simulated_bridges(k, trim):
    sup = bridge_suprema(np.random.default_rng([k, int(trim * 100)]), k, trim)
    span = logit(1.0 - trim) - logit(trim)
    for level in (0.5, 0.1, 0.05, 0.01):
        c = float(np.quantile(sup, 1.0 - level))
        freq = float(np.mean(sup > c))
        p = dist.supf_pvalue(c, k, span)
        sd = math.sqrt(freq * (1.0 - freq) / sup.size)
        # The grid misses a little of each path's supremum: p is at or above
        # the simulated frequency, by at most a fifth of it.
        assert freq - 4 * sd <= p <= 1.2 * freq + 4 * sd, (level, c, freq, p)


@pytest.mark.parametrize("k", [1, 2, 7])
@pytest.mark.parametrize("c", [2.0, 10.0, 25.0])
@pytest.mark.parametrize("span", [0.4, 3.47, 9.0])
def test_the_extrapolated_grid_agrees_with_a_much_finer_one(k, c, span):
    linalg = pytest.importorskip("scipy.linalg")
    fine = (4.0 * dist._exit_probability(c, k, span, 1024, linalg, special)
            - dist._exit_probability(c, k, span, 512, linalg, special)) / 3.0
    reference = special.chdtrc(k, c) + special.chdtr(k, c) * fine
    assert dist.supf_pvalue(c, k, span) == pytest.approx(reference, rel=1e-4)


@pytest.mark.parametrize("k, c", [(1, 46.4), (1, 48.7), (3, 62.3), (10, 83.4), (60, 174.7)])
def test_far_tail_keeps_its_relative_accuracy(k, c):
    # p-values of 1e-12 to 1e-10: the slowest exit rate is then of the order
    # of the p-value itself.
    linalg = pytest.importorskip("scipy.linalg")
    span = 3.47
    fine = (4.0 * dist._exit_probability(c, k, span, 2048, linalg, special)
            - dist._exit_probability(c, k, span, 1024, linalg, special)) / 3.0
    reference = special.chdtrc(k, c) + special.chdtr(k, c) * fine
    assert 1e-13 < reference < 1e-8
    assert dist.supf_pvalue(c, k, span) == pytest.approx(reference, rel=1e-2)


def test_limits_and_monotonicity():
    # One break: the chi-square tail; a longer span or a lower threshold: more mass above.
    assert dist.supf_pvalue(7.3, 3, 0.0) == special.chdtrc(3, 7.3)
    ps = [dist.supf_pvalue(c, 3, 3.0) for c in (4.0, 8.0, 12.0, 16.0, 30.0)]
    assert all(a > b for a, b in zip(ps, ps[1:])) and 0.0 < ps[-1] < 1e-3
    spans = [dist.supf_pvalue(12.0, 3, s) for s in (0.0, 0.5, 2.0, 6.0)]
    assert all(a < b for a, b in zip(spans, spans[1:]))
    assert dist.supf_pvalue(0.0, 2, 3.0) == 1.0 and math.isnan(dist.supf_pvalue(math.nan, 2, 3.0))
    # Many coefficients: the densities span hundreds of orders of magnitude.
    p = dist.supf_pvalue(120.0, 60, 3.47)
    assert special.chdtrc(60, 120.0) < p < 1.0


def test_sup_f_holds_its_size_under_stable_coefficients():
    rng = np.random.default_rng(20_261_209)
    T, reps = 240, 300
    X = np.column_stack([np.ones(T), rng.standard_normal((T, 2))])
    pvalues = []
    for _ in range(reps):
        y = X @ np.array([1.0, 0.5, -0.3]) + rng.standard_normal(T)
        pvalues.append(kd.sup_f(y, X).pvalue)
    size = np.mean(np.array(pvalues) < 0.05)
    # Finite samples of this size are close to the limit; 300 draws give a
    # standard error of 1.3 points.
    assert 0.015 <= size <= 0.10, size
    # and a break in every coefficient halfway is found
    y = X @ np.array([1.0, 0.5, -0.3]) + np.where(np.arange(T) >= T // 2, 1.0, 0.0) + rng.standard_normal(T)
    res = kd.sup_f(y, X)
    assert res.pvalue < 1e-4 and abs(res.position - T // 2) <= 10


@pytest.mark.parametrize("k", [1, 2, 5, 20, 60])
@pytest.mark.parametrize("chi2_tail", [1e-9, 1e-12])
def test_far_tail_law_meets_the_fine_cells_where_they_still_resolve_it(k, chi2_tail):
    linalg = pytest.importorskip("scipy.linalg")
    c, span = float(special.chdtri(k, chi2_tail)), 3.47
    fine = (4.0 * dist._exit_probability(c, k, span, 2048, linalg, special)
            - dist._exit_probability(c, k, span, 1024, linalg, special)) / 3.0
    reference = special.chdtrc(k, c) + special.chdtr(k, c) * fine
    assert dist.supf_pvalue(c, k, span) == pytest.approx(reference, rel=1e-5)


@pytest.mark.parametrize("k, c", [(1, 900.0), (2, 1318.0), (3, 1977.0), (60, 3000.0), (2, 2e6)])
@pytest.mark.parametrize("span", [1.0, 3.47])
def test_far_tail_in_logarithms_down_to_the_smallest_double(k, c, span):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        log_p = dist.supf_tail(c, k, span)[1]
        p = dist.supf_pvalue(c, k, span)
    # Leading terms for large c: the exit rate c·f(c) over the span, and twice the chi-square
    # tail (the start outside the ball, and the boundary layer inside it), f the chi2(k) density;
    # their relative error is of order k/c.
    log_f = (k / 2 - 1) * math.log(c) - c / 2 - (k / 2) * math.log(2) - math.lgamma(k / 2)
    assert log_p == pytest.approx(log_f + math.log(span * c + 4.0), abs=3.0 * k / c)
    if log_p < math.log(5e-324):
        assert p == 0.0
    else:
        assert p > 0.0 and math.log(p) == pytest.approx(log_p, rel=1e-12)


def test_sup_f_far_in_the_tail_gives_the_right_exponent_or_a_noted_zero():
    rng = np.random.default_rng(135)
    T = 135
    x = rng.standard_normal(T)
    X = np.column_stack([np.ones(T), x])
    for shift, underflows in [(1.0, False), (8.0, True)]:
        y = 1.0 + 0.5 * x + np.where(np.arange(T) >= 70, shift, 0.0) + 0.3 * rng.standard_normal(T)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            res = kd.sup_f(y, X)
        first, last = res.breaks[0] / T, res.breaks[-1] / T
        log_p = dist.supf_tail(2 * res.statistic, 2, logit(last) - logit(first))[1]
        assert log_p < -745 if underflows else -700 < log_p < -30
        if underflows:
            assert res.pvalue == 0.0 and "below the smallest positive double" in res.note
        else:
            assert res.pvalue == pytest.approx(math.exp(log_p), rel=1e-12)
            assert "smallest positive double" not in (res.note or "")
