"""The tabulated null law of the CUSUM-of-squares statistic (``_cusumsq``).

D_m = max_r |s_r - r/m| with s_r = (w_1² + ... + w_r²)/(w_1² + ... + w_m²).
The table was simulated from the streams default_rng([table seed, m]); the
samples here come from streams of another seed, so they are independent of
it.  Besides fresh simulations the peers are the exact law at m = 3 and the
limiting law of sqrt(m)·D_m, sqrt(2)·sup|Brownian bridge|.
"""

import functools
import math

import numpy as np
import pytest
from scipy import integrate, special

from Kestrix._ckernels.diag import _diag
from Kestrix.diagnostics import _cusumsq, _cusumsq_table

SEED = 61_924_807
assert SEED != _cusumsq_table.SEED


def gaps(rng, m, draws, chunk=1 << 21):
    """draws values of D_m for iid N(0, 1) w, about chunk normals at a time."""
    line = np.arange(1, m + 1) / m
    step = max(1, chunk // m)
    out = []
    for start in range(0, draws, step):
        w2 = rng.standard_normal((min(step, draws - start), m)) ** 2
        s = np.cumsum(w2, axis=1)
        s /= s[:, -1:]
        out.append(np.abs(s - line).max(axis=1))
    return np.concatenate(out)


@functools.lru_cache(maxsize=None)
def sample(m, draws):
    d = gaps(np.random.default_rng([SEED, m]), m, draws)
    return d, np.array([_cusumsq.pvalue(g, m) for g in d])


# --- size -------------------------------------------------------------------

# Tabulated m (10 ... 55, 100, 300), untabulated ones between grid points
# (137, 850) and one beyond the last grid point, interpolated towards the
# limit (5000).  Simulation standard errors at 5%: 0.08 pp at 80,000 draws,
# 0.11 at 40,000, 0.14 at 25,000, against a bound of 0.5 pp.
SIZE_CASES = [(10, 80_000), (13, 80_000), (20, 80_000), (35, 80_000), (55, 80_000),
              (100, 40_000), (137, 40_000), (300, 40_000), (850, 30_000), (5000, 25_000)]
SIZE_BOUND = {0.01: 0.002, 0.05: 0.005, 0.10: 0.008}


@pytest.mark.parametrize("alpha", sorted(SIZE_BOUND))
@pytest.mark.parametrize("m, draws", SIZE_CASES)
def test_size_holds_in_fresh_samples(m, draws, alpha):
    d, p = sample(m, draws)
    by_pvalue = np.mean(p < alpha)
    by_boundary = np.mean(d > _cusumsq.critical_value(m, alpha))
    assert abs(by_pvalue - alpha) < SIZE_BOUND[alpha]
    assert abs(by_boundary - alpha) < SIZE_BOUND[alpha]


def test_size_through_the_kernel():
    # Under the null the recursive residuals of a regression are exactly iid
    # N(0, σ²) whatever the design: here a constant, a trend and a random
    # regressor, T = 33, σ = 3, so m = 30.
    rng = np.random.default_rng([SEED, 1])
    T, p = 33, 3
    X = np.column_stack([np.ones(T), np.arange(T) / T, rng.standard_normal(T)])
    line = np.arange(1, T - p + 1) / (T - p)
    draws, rejections = 4000, 0
    for _ in range(draws):
        status, w = _diag.recursive_residuals(X @ [2.0, -1.0, 0.5] + 3.0 * rng.standard_normal(T), X)
        assert status == 0 and w.shape == (T - p,)
        s = np.cumsum(w * w) / np.sum(w * w)
        rejections += _cusumsq.pvalue(float(np.max(np.abs(s - line))), T - p) < 0.05
    # One standard error is 0.34 pp at 4000 draws.
    assert 0.035 < rejections / draws < 0.065


# --- the exact law at m = 3 ----------------------------------------------------
#
# w/|w| is uniform on the unit sphere of R³ and s_1 = u_1², 1 - s_2 = u_3², so
# D_3 = max(|u_1² - 1/3|, |u_3² - 1/3|).  (u_1, u_3) has the density
# 1/(2π·sqrt(1 - a² - b²)) on the unit disc, and integrating over b in closed
# form (arcsin) leaves one integral over a.  For c >= 1/3 only u² > 1/3 + c
# can happen, at most one coordinate at a time, and each coordinate of a
# uniform point on the sphere is uniform on [-1, 1]:
#     P(D_3 > c) = 2·(1 - sqrt(1/3 + c)) = 2·(2/3 - c)/(1 + sqrt(1/3 + c)).

def exact_sf_3(c):
    if c >= 1.0 / 3.0:
        return 2.0 * (2.0 / 3.0 - c) / (1.0 + math.sqrt(1.0 / 3.0 + c))
    lo, hi = math.sqrt(1.0 / 3.0 - c), math.sqrt(1.0 / 3.0 + c)

    def inner(a):
        r = math.sqrt(1.0 - a * a)
        return 0.0 if r <= lo else math.asin(min(hi, r) / r) - math.asin(lo / r)

    kinks = [x for x in (math.sqrt(1.0 - hi * hi), math.sqrt(1.0 - lo * lo)) if lo < x < hi]
    inside, _ = integrate.quad(inner, lo, hi, points=kinks, epsabs=1e-13, epsrel=1e-12, limit=200)
    return 1.0 - 2.0 / math.pi * inside


@pytest.mark.parametrize("alpha", [0.999, 0.99, 0.9, 0.5, 0.2, 0.1, 0.05, 0.01, 0.001, 0.0002])
def test_m3_matches_the_exact_law(alpha):
    # Four standard errors of a tail frequency from the table's draws.
    tol = 4.0 * math.sqrt(alpha * (1.0 - alpha) / _cusumsq_table.DRAWS[0])
    assert abs(exact_sf_3(_cusumsq.critical_value(3, alpha)) - alpha) < tol


@pytest.mark.parametrize("alpha", [1e-4, 1e-6, 1e-9, 1e-14])
def test_m3_tail_beyond_the_table(alpha):
    # At m = 3 the law falls linearly to 0 at the bound 2/3, as the
    # extrapolated tail does, so the ratio stays near 1 however far out.
    assert 0.7 < exact_sf_3(_cusumsq.critical_value(3, alpha)) / alpha < 1.5


@pytest.mark.parametrize("m, draws", [(10, 2_000_000), (30, 2_000_000)])
@pytest.mark.parametrize("alpha", [1e-4, 3e-5])
def test_tail_beyond_the_table_is_conservative_but_close(m, draws, alpha):
    d = gaps(np.random.default_rng([SEED, m, 2]), m, draws)
    rate = np.mean(d > _cusumsq.critical_value(m, alpha))
    # 60 or 20 expected exceedances: a generous band, below alpha on the whole.
    assert alpha / 4.0 < rate < 1.3 * alpha


# --- the large-m limit ---------------------------------------------------------

@pytest.mark.parametrize("alpha", [0.5, 0.2, 0.1, 0.05, 0.01, 0.001, 1e-5])
def test_critical_value_tends_to_the_bridge_limit(alpha):
    m = 10**10
    want = math.sqrt(2.0) * special.kolmogi(alpha)
    assert math.sqrt(m) * _cusumsq.critical_value(m, alpha) == pytest.approx(want, abs=1e-3)
    # 5%: sqrt(2)·1.3581
    assert math.sqrt(m) * _cusumsq.critical_value(m) == pytest.approx(math.sqrt(2.0) * 1.3581, abs=1e-3)


@pytest.mark.parametrize("z", [0.6, 1.0, 1.9, 2.8, 3.2, 3.6, 4.5])
def test_pvalue_tends_to_the_bridge_limit_in_the_tail_too(z):
    m = 10**12
    assert _cusumsq.pvalue(z / math.sqrt(m), m) == pytest.approx(special.kolmogorov(z / math.sqrt(2.0)), rel=0.01)


def test_critical_values_shrink_with_m_at_five_percent():
    widths = [_cusumsq.critical_value(m) for m in range(3, 3001)]
    assert all(a > b for a, b in zip(widths, widths[1:]))


# --- shape of the p-value --------------------------------------------------------

@pytest.mark.parametrize("m", [3, 4, 7, 20, 61, 137, 2000, 5000])
def test_pvalue_is_continuous_and_decreasing_at_every_join(m):
    bound = 1.0 - 1.0 / m
    joins = [_cusumsq.critical_value(m, p) for p in _cusumsq_table.P_GRID]

    def step(g, h):
        left, right = _cusumsq.pvalue(g * (1 - h), m), _cusumsq.pvalue(g * (1 + h), m)
        assert left >= right
        return left - right

    # Across a join the change must shrink with the step, as it does where
    # the p-value is continuous; a jump would not.
    for g in joins:
        assert step(g, 1e-12) <= 0.05 * step(g, 1e-10) + 1e-15
    # Dense over the whole support, and through the tail up to the bound.
    top = joins[0]
    grid = np.concatenate([np.linspace(0.0, top, 4001), top + (bound - top) * np.linspace(0, 1, 2001) ** 0.5])
    grid[-1] = bound
    p = np.array([_cusumsq.pvalue(g, m) for g in grid])
    assert p[0] == 1.0 and np.all(np.diff(p) <= 0.0) and p[-1] == 0.0
    if m <= 20:  # further up the tail underflows before the bound
        assert _cusumsq.pvalue(bound * (1 - 1e-9), m) > 0.0
    assert _cusumsq.pvalue(-0.5, m) == 1.0 and _cusumsq.pvalue(math.inf, m) == 0.0
    assert math.isnan(_cusumsq.pvalue(math.nan, m))


@pytest.mark.parametrize("m", [3, 9, 10, 20, 61, 137, 2000, 2500, 10**6])
@pytest.mark.parametrize("alpha", [0.9995, 0.9, 0.3, 0.05, 0.0123, 0.0002, 1e-5, 1e-12])
def test_critical_value_inverts_the_pvalue(m, alpha):
    c = _cusumsq.critical_value(m, alpha)
    assert 0.0 < c < 1.0 - 1.0 / m
    assert _cusumsq.pvalue(c, m) == pytest.approx(alpha, rel=1e-7)


@pytest.mark.parametrize("lo, m, hi", [(60, 61, 70), (60, 65, 70), (90, 95, 100), (120, 137, 150),
                                       (150, 175, 200), (300, 350, 400), (700, 850, 1000),
                                       (1500, 1750, 2000), (2000, 2500, 10**15), (2000, 5000, 10**15)])
def test_untabulated_m_lies_between_its_neighbours(lo, m, hi):
    # Over the whole support of the lower neighbour, tail included; past it
    # the lower neighbour's p-value is 0 and the comparison says nothing.
    for g in np.linspace(0.0, 1.0 - 1.0 / lo, 5001)[1:-1]:
        a, p, b = (_cusumsq.pvalue(g, k) for k in (lo, m, hi))
        assert min(a, b) * (1 - 1e-12) <= p <= max(a, b) * (1 + 1e-12)


def test_rows_are_exact_at_tabulated_m():
    # The interpolation in m leaves the tabulated quantiles as they are: a
    # table point of m = 55 is reproduced from the row of 55, not its
    # neighbours.
    i, j = _cusumsq_table.M_GRID.index(55), _cusumsq_table.P_GRID.index(0.05)
    assert math.sqrt(55) * _cusumsq.critical_value(55, 0.05) == pytest.approx(_cusumsq_table.Z[i][j], rel=1e-14)


@pytest.mark.parametrize("m", [3, 7, 55, 61, 137, 2000, 5000])
def test_one_gap_has_the_bits_of_many(m):
    # pvalue takes one gap through its own arithmetic on Python numbers: body, tail, the ends, NaN.
    rng = np.random.default_rng(m)
    top = 1.0 - 1.0 / m
    g = np.concatenate([[0.0, -0.1, 1e-12, top, np.nextafter(top, 0.0), 1.0, math.nan, math.inf],
                        rng.uniform(0.0, 1.0, 500), rng.uniform(0.0, 0.3, 500)])
    many = _cusumsq.pvalues(g, m)
    alone = np.array([_cusumsq.pvalue(float(v), m) for v in g])
    assert np.array_equal(many.view(np.int64), alone.view(np.int64))


# --- refusals -------------------------------------------------------------------

@pytest.mark.parametrize("m", [-5, 0, 1, 2, np.int64(2)])
@pytest.mark.parametrize("call", [lambda m: _cusumsq.pvalue(0.1, m), lambda m: _cusumsq.critical_value(m)])
def test_refuses_fewer_than_three_residuals(call, m):
    message = f"too few observations: the CUSUM of squares needs at least 3 recursive residuals, got {int(m)}"
    with pytest.raises(ValueError, match=f"^{message}$"):
        call(m)


@pytest.mark.parametrize("m", [20.0, 20.5, "20", True, None])
def test_refuses_a_non_integer_m(m):
    with pytest.raises(TypeError, match="m must be an integer"):
        _cusumsq.pvalue(0.1, m)


@pytest.mark.parametrize("alpha", [0.0, 1.0, -0.1, 1.5, math.nan])
def test_refuses_alpha_outside_the_unit_interval(alpha):
    with pytest.raises(ValueError, match="alpha must lie strictly between 0 and 1"):
        _cusumsq.critical_value(20, alpha)


def test_numpy_integers_give_the_same_answers():
    assert _cusumsq.pvalue(0.3, np.int64(20)) == _cusumsq.pvalue(0.3, 20)
    assert _cusumsq.critical_value(np.int32(137)) == _cusumsq.critical_value(137)
