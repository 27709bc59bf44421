"""Accuracy of every statistic of the battery against a 50-digit oracle, on hard designs.

The designs, the oracle (mpmath, from the definitions in the docstrings), the
NumPy-QR peer and the error measures are in ``accuracy_oracle.py``.  Two
requirements, for every design and statistic:

* where every design the statistic solves has an equilibrated condition
  number below 1e6, the engine is within 1e-9 (relative, against the
  statistic's scale) of the oracle;
* everywhere, the engine is at least as accurate as the NumPy-QR peer: its
  error stays within ten times the larger of the peer's error and κ·eps
  (the error any backward-stable computation may make), or below 1e-12.

``benchmarks/accuracy.py`` prints the full table.
"""

from __future__ import annotations

import functools
import math

import numpy as np
import pytest

import accuracy_oracle as A

CASES = {case.name: case for case in A.test_cases()}


@functools.lru_cache(maxsize=None)
def measured() -> dict[str, A.Measured]:
    return {m.case.name: m for m in A.measure_all(list(CASES.values()))}


def cases_by(statistics: tuple[str, ...]) -> list:
    return [pytest.param(name, stat, id=f"{name}-{stat}".replace(" ", "_")) for name in CASES for stat in statistics]


def _has_number(value) -> bool:
    return value is not None and np.size(value) > 0 and bool(np.all(np.isfinite(value)))


# ---------------------------------------------------------------------------
# The tests
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("case, statistic", cases_by(A.STATISTICS))
def test_within_1e9_of_the_oracle_where_well_conditioned(case, statistic):
    m = measured()[case]
    if statistic not in m.oracle.values:
        # Undefined on this design (too few rows for it): the engine gives no number either.
        assert not _has_number(m.engine.get(statistic)), m.engine.get(statistic)
        return
    row = m.row(statistic)
    if not row["cond"] < A.WELL_CONDITIONED:
        pytest.skip(f"condition number {row['cond']:.1e} of its designs: only the comparison with NumPy applies")
    assert row["engine_error"] <= A.TOLERANCE, row


@pytest.mark.parametrize("case, statistic", cases_by(A.STATISTICS))
def test_at_least_as_accurate_as_numpy_qr(case, statistic):
    m = measured()[case]
    if statistic not in m.oracle.values:
        pytest.skip("undefined on this design")
    row = m.row(statistic)
    assert math.isfinite(row["numpy_error"]), row
    assert row["engine_error"] <= A.peer_bound(row["numpy_error"], row["cond"]), row


WITH_DF = ("breusch_godfrey_f", "breusch_pagan", "chow", "recursive_residuals", "ljung_box", "box_pierce", "wald",
           "wald_parzen", "wald_qs", "white", "arch_lm", "reset", "sup_f")


@pytest.mark.parametrize("case, statistic", cases_by(WITH_DF))
def test_degrees_of_freedom_are_the_oracles(case, statistic):
    """The ranks of the auxiliary regressions and segments decide the degrees of freedom."""
    m = measured()[case]
    if statistic not in m.oracle.df:
        pytest.skip("undefined on this design")
    exact = m.oracle.df[statistic]
    if statistic.startswith("wald") and m.row(statistic)["cond"] * 16 * exact * np.finfo(float).eps > 1:
        # The Wald test decides the rank of the slopes' covariance against 16·q·eps of its scaled
        # diagonal; beyond a condition number of 1/(16·q·eps) no double-precision computation resolves
        # the weakest direction, and the numerical rank is below the exact one.
        pytest.skip(f"the slopes' covariance has condition number {m.row(statistic)['cond']:.1e}")
    df = m.engine.get("df:" + statistic)
    assert (tuple(df) if isinstance(df, tuple) else df) == exact


@pytest.mark.parametrize("case", list(CASES), ids=[n.replace(" ", "_") for n in CASES])
def test_recursion_start_and_candidate_breaks_are_the_oracles(case):
    m = measured()[case]
    assert m.engine["start"] == m.oracle.values["start"]
    lo, hi = m.oracle.values["sup_f_range"]
    assert m.engine.get("sup_f_range") == ((lo, hi) if hi >= lo else None)


@pytest.mark.parametrize("case", ["longley", "poly5[10,11] n=80"])
def test_the_oracle_keeps_its_digits(case, monkeypatch):
    """30 more working digits and 40 more guard digits leave every value of the oracle where it was."""
    base = measured()[case].oracle
    monkeypatch.setattr(A, "GUARD", 80)
    finer = A.Oracle(CASES[case], dps=80)
    for stat in A.STATISTICS:
        if stat in base.values:
            assert A.relative_error(stat, finer.values[stat], base) <= 4 * A.EPS, stat


def test_the_oracles_sup_f_path_is_chow_f_by_least_squares_of_each_regime():
    """Its sums of squares come from Givens recursions; a separate least-squares fit of each regime agrees.

    A degree-6 polynomial on [0, 1]: its last rows are so close together that
    the backward recursion reaches full rank only after more than p rows.
    """
    import mpmath as mp

    case = A.polynomial(6, 0, 1, 500)
    oracle = A.Oracle(case)
    n, p = case.n, case.p
    lo, hi = oracle.values["sup_f_range"]
    with mp.workdps(A.DPS):
        cols = [A._mpv(case.X[:, j]) for j in range(p)]
        y = A._mpv(case.y)
        rss = A.mp_lstsq(cols, y).rss
        for t in range(lo, hi + 1, 50):
            both = (A.mp_lstsq([c[:t] for c in cols], y[:t]).rss + A.mp_lstsq([c[t:] for c in cols], y[t:]).rss)
            f = float(((rss - both) / p) / (both / (n - 2 * p)))
            assert oracle.values["sup_f_path"][t - lo] == pytest.approx(f, rel=4 * A.EPS, abs=0)
