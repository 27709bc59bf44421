"""The asymptotic null law of the CUSUM statistic: P(a Brownian motion leaves ±a·(1 + 2t) on [0, 1]).

Two independent peers: the image series summed in 60-digit arithmetic, and
a seeded simulation of the Brownian path on a grid where, between grid
points, the chance that the bridge crosses each line is exact
(exp(-2·d₀·d₁/Δt) for the distances d₀, d₁ to a straight line at the two
ends), so the simulation has no discretisation bias to speak of.
"""

import math

import mpmath
import numpy as np
import pytest

import Kestrix.diagnostics as kd
from Kestrix.diagnostics import _distributions as dist


def series_mp(a, digits=60):
    """2·Φ̄(3a) - 2·Σ (-1)^k e^(-4k²a²) [Φ((3+2k)a) + Φ((3-2k)a) - 1], summed until its terms vanish."""
    with mpmath.workdps(digits):
        a = mpmath.mpf(a)
        total = 2 * mpmath.ncdf(-3 * a)
        k = 1
        while True:
            weight = 2 * mpmath.exp(-4 * k * k * a * a)
            if weight < mpmath.mpf(10) ** (-digits):
                return float(total)
            total -= (-1) ** k * weight * (mpmath.ncdf((3 + 2 * k) * a) + mpmath.ncdf((3 - 2 * k) * a) - 1)
            k += 1


def simulated(a, rng, paths=40_000, steps=200, chunk=10_000):
    dt = 1.0 / steps
    line = a * (1.0 + 2.0 * np.arange(steps + 1) * dt)
    survive = []
    for _ in range(paths // chunk):
        w = np.zeros((chunk, steps + 1))
        w[:, 1:] = np.cumsum(rng.standard_normal((chunk, steps)) * math.sqrt(dt), axis=1)
        up, down = line - w, line + w
        inside = (up > 0).all(axis=1) & (down > 0).all(axis=1)
        up, down = np.clip(up, 0.0, None), np.clip(down, 0.0, None)
        stay = (1 - np.exp(-2 * up[:, :-1] * up[:, 1:] / dt)) * (1 - np.exp(-2 * down[:, :-1] * down[:, 1:] / dt))
        survive.append(np.where(inside, stay.prod(axis=1), 0.0))
    survive = np.concatenate(survive)
    return 1.0 - survive.mean(), survive.std() / math.sqrt(survive.size)


@pytest.mark.parametrize("a", [0.3827, 0.4101, 0.6, 0.948, 1.3])
def test_pvalue_matches_a_simulated_brownian_motion(a):
    p, se = simulated(a, np.random.default_rng([20_261_210, int(a * 1e4)]))
    assert abs(kd._distributions.cusum_pvalue(a) - p) < 4 * se + 2e-3, (a, p, se)


@pytest.mark.parametrize("a", [0.051, 0.08, 0.15, 0.3, 0.3827, 0.4101, 0.5, 0.75, 0.948, 1.5, 2.5, 4.0, 7.0])
def test_pvalue_is_the_whole_crossing_series(a):
    reference = series_mp(a)
    assert dist.cusum_pvalue(a) == pytest.approx(reference, rel=1e-12, abs=1e-14)


def test_small_statistics_cross_for_certain_and_the_boundary_is_the_classical_one():
    assert [dist.cusum_pvalue(a) for a in (0.0, 0.01, 0.05)] == [1.0, 1.0, 1.0]
    assert series_mp(0.05) == pytest.approx(1.0, abs=1e-16)
    a = np.linspace(0.05, 3.0, 300)
    p = np.array([dist.cusum_pvalue(float(v)) for v in a])
    # decreasing, up to rounding where p is within 1e-15 of 1
    assert np.all(np.diff(p) < 1e-15) and p[-1] < p[0] and math.isnan(dist.cusum_pvalue(math.nan))
    assert round(kd.cusum_critical_value(0.05), 3) == 0.948
    assert dist.cusum_pvalue(kd.cusum_critical_value(0.01)) == pytest.approx(0.01, abs=1e-12)


@pytest.mark.parametrize("block", [1, 64, 1 << 20])
def test_pvalues_of_many_statistics_are_those_of_each_alone(monkeypatch, block):
    # Many statistics are summed in blocks, each with the terms its smallest statistic needs: a statistic's
    # p-value must not depend on its neighbours or on the blocks.
    rng = np.random.default_rng(2)
    a = np.concatenate([rng.uniform(0.0, 3.0, 400), rng.uniform(0.05, 0.06, 20), [0.0501, math.nan, math.inf, 0.05]])
    rng.shuffle(a)
    alone = np.array([dist.cusum_pvalue(float(v)) for v in a])
    monkeypatch.setattr(dist, "_CUSUM_BLOCK", block)
    many = dist.cusum_pvalues(a)
    assert np.array_equal(many.view(np.int64), alone.view(np.int64))
