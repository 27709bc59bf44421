"""The battery of many same-sized regressions at once.

Most groups of a panel are clean: finite, of full rank, with one constant
column, and every kernel takes them.  For those the battery is the same
sequence of floating-point operations for every group, so it runs over the
stacked groups: elementwise steps and row reductions on (groups, rows)
arrays, stacked matrix products, and one kernel call per group and test.
NumPy applies to each matrix of a stack the inner loop it applies to that
matrix alone, so every number equals the one ``battery`` gives on the group.

The words of a row (label, degrees of freedom, law, alternative) depend on
the group's size and the options only; they come from ``battery``'s own
path run on the first clean group of each size, whose numbers are checked
against the stacked ones at the same time.  Groups that are not clean, and
every group of a size whose check fails, go through the per-group path.
"""

from __future__ import annotations

import math
import threading
import warnings
from dataclasses import dataclass, replace
from types import SimpleNamespace
from typing import Any

import numpy as np

from Kestrix._ckernels.diag import _diag

from ._api import _clamped_bandwidth, _cusum_lines, _cusumsq_lines, break_position
from ._battery import Options, columns, run_tests
from ._distributions import cusum_pvalue, cusumsq_pvalue
from ._fit import equilibrated_svd, fit_from_svd
from ._windows import window

#: The tests computed over stacked groups; others run per group on the fit.
FAST = frozenset((
    "breusch_godfrey", "breusch_godfrey_f", "breusch_pagan", "breusch_pagan_studentized", "chow",
    "recursive_residuals", "cusum", "cusum_squares", "ljung_box", "jarque_bera", "wald", "durbin_watson",
    "box_pierce",
))

_EPS = float(np.finfo(np.float64).eps)
_OK = 0


@dataclass(frozen=True)
class Plan:
    """The options resolved for groups of n rows and p columns, the constant in column ``const``."""

    n: int
    p: int
    const: int
    lags: int
    at: int
    kernel_id: int
    bandwidth: int
    recursive_scale: bool  # the CUSUM path scaled by the recursive residuals' standard deviation


def plan(n: int, p: int, const: int, options: Options) -> Plan | None:
    """The plan of a size, or None when its groups would get notes or refusals (the per-group path says them)."""
    lags = options.lags
    try:
        at = break_position(SimpleNamespace(index=None), options.break_at, options.position) \
            if options.break_at is not None or options.position is not None else n // 2
    except (TypeError, ValueError):
        return None
    win = window(options.kernel)
    used, clamp = _clamped_bandwidth(options.bandwidth, n)
    if win.every_lag or clamp is not None or lags < 1 or lags > n - 1 or n - p - lags < 1 or n < 10 \
            or n <= 2 * p or not 0 < at < n or p < 2:
        return None
    return Plan(n, p, const, lags, at, win.kernel_id, used, options.cusum_scale == "recursive")


class Templates:
    """Per size: the rows ``battery`` gives a clean group, or None when the stacked path is not used.

    Shared by the threads of one run; a size computed twice at once gives
    the same rows, so no lock is needed for correctness, only to warn once.
    """

    def __init__(self) -> None:
        self.rows: dict[int, dict[str, np.ndarray] | None] = {}
        self._warned = threading.Lock()
        self.warned = False

    def disagree(self, n: int) -> None:
        self.rows[n] = None
        with self._warned:
            if self.warned:
                return
            self.warned = True
        warnings.warn(f"the stacked battery of groups of {n} rows differs from the per-group battery; those "
                      "groups use the per-group path", RuntimeWarning, stacklevel=2)


def _dots(A: np.ndarray) -> np.ndarray:
    """a·a for each row a of A, as a stacked product (each row's own dot product)."""
    return np.matmul(A[:, None, :], A[:, :, None])[:, 0, 0]


def decide(p: np.ndarray, alternative: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """reject_5pct and verdict of computed p-values, as the result objects word them."""
    nan = np.isnan(p)
    reject = (p < 0.05).astype(object)
    reject[nan] = None
    # Few distinct alternatives: each rejection's text is made once.
    texts = {text: f"reject: {text}" for text in set(alternative.tolist())}
    verdict = np.array([texts[text] for text in alternative.tolist()], dtype=object)
    verdict[~(p < 0.05)] = "not rejected"
    verdict[nan] = "undefined (p-value is NaN)"
    return reject, verdict


def battery(panel: Any, ids: list[int], tests: tuple[str, ...], options: Options,
            templates: Templates) -> tuple[np.ndarray, dict[str, np.ndarray] | None, list[int]]:
    """The rows of the clean groups among ``ids`` (all of one size), and the groups left for the per-group path.

    Returns (groups computed, their columns as ``columns`` gives them, one
    block of len(tests) rows per group, and the rest).
    """
    none = (np.zeros(0, dtype=np.int64), None, ids)
    n = int(panel.sizes[ids[0]])
    p = panel.X.shape[1]
    the_plan = plan(n, p, 0, options)
    if the_plan is None or templates.rows.get(n, 0) is None:
        return none
    starts = panel.starts[np.asarray(ids)]
    if int(starts[-1] - starts[0]) == (len(ids) - 1) * n and np.all(np.diff(starts) == n):
        # Consecutive groups (the usual case): views of the panel's arrays.
        Y = panel.y[starts[0]:starts[0] + len(ids) * n].reshape(len(ids), n)
        Xs = panel.X[starts[0]:starts[0] + len(ids) * n].reshape(len(ids), n, p)
    else:
        rows = starts[:, None] + np.arange(n)
        Y, Xs = panel.y[rows], panel.X[rows]
    # Constant columns (every row equal to the first; for finite values the same as max = min): only a
    # column whose first two rows are equal can be one, and only those are read through.
    const = Xs[:, 1, :] == Xs[:, 0, :]
    for j in np.flatnonzero(const.any(axis=0)).tolist():
        which = np.flatnonzero(const[:, j])
        const[which, j] = (Xs[which, :, j] == Xs[which, :1, j]).all(axis=1)
    if not const.any():
        return none
    c = int(np.argmax(const.any(axis=0)))
    pattern = np.zeros(p, dtype=bool)
    pattern[c] = True
    clean = np.isfinite(Y).all(axis=1) & np.isfinite(Xs).all(axis=(1, 2)) & (const == pattern).all(axis=1) \
        & (Xs[:, 0, c] != 0.0)
    if not clean.any():
        return none
    the_plan = replace(the_plan, const=c)
    keep = np.flatnonzero(clean)
    if keep.size < len(ids):
        Y, Xs = Y[keep], Xs[keep]
    scales, U, s, vt = equilibrated_svd(Xs)
    # Full rank by the fit's rule: every singular value above max(n, p)·eps of the largest.
    full = (s > (s[:, :1] * max(n, p) * _EPS)).all(axis=1)
    coef = np.matmul(vt.transpose(0, 2, 1), (np.matmul(U.transpose(0, 2, 1), Y[:, :, None])[:, :, 0] / s)[:, :, None])
    coef = coef[:, :, 0] / scales
    E = Y - np.matmul(Xs, coef[:, :, None])[:, :, 0]
    rss = _dots(E)
    # Not an exact fit (residuals at rounding level); decided with a margin, the per-group path says it.
    norm_y = np.sqrt(_dots(Y))
    good = full & (np.sqrt(rss) > 2e-13 * norm_y)
    stats, good = _statistics(the_plan, tests, Y, Xs, scales, s, vt, coef, E, rss, good)
    done = np.flatnonzero(good)
    slow = [ids[i] for i in keep[~good]] + [ids[i] for i in np.flatnonzero(~clean)]
    if done.size == 0:
        return none
    template = templates.rows.get(n)
    if template is None:
        first = int(done[0])
        fit = fit_from_svd(Y[first], Xs[first], scales[first], U[first], s[first], vt[first], panel.names,
                           panel.y_name)
        template = columns(run_tests(fit, tests, options), options)
        if not _agrees(template, tests, {name: v[first] for name, v in stats.items()}):
            templates.disagree(n)
            return none
        templates.rows[n] = template
    rest = tuple(name for name in tests if name not in FAST)
    k, T = done.size, len(tests)
    cols = {name: np.tile(value, k) for name, value in template.items()}
    for j, name in enumerate(tests):
        if name in FAST:
            cols["statistic"][j::T] = stats[name][done]
    for j, name in enumerate(tests):
        if name in ("cusum", "cusum_squares"):
            pv = stats[name + ":p"][done]
            cols["pvalue"][j::T] = pv
            cols["reject_5pct"][j::T], cols["verdict"][j::T] = decide(pv, cols["alternative"][j::T])
    if rest:
        # The tests without a stacked form run on each group's fit, built from its share of the stacked SVD.
        for i, g in enumerate(done.tolist()):
            fit = fit_from_svd(Y[g], Xs[g], scales[g], U[g], s[g], vt[g], panel.names, panel.y_name)
            part = columns(run_tests(fit, rest, options), options)
            for r, name in enumerate(rest):
                j = i * T + tests.index(name)
                for column, value in part.items():
                    cols[column][j] = value[r]
    return np.asarray([ids[i] for i in keep[done]], dtype=np.int64), cols, slow


def _agrees(template: dict[str, np.ndarray], tests: tuple[str, ...], stats: dict[str, float]) -> bool:
    """The per-group rows of one group are clean and have the stacked statistics, bit for bit."""
    for j, name in enumerate(tests):
        if name not in FAST:
            continue
        if template["error"][j] is not None or template["status"][j] != _OK or template["fallback"][j] \
                or template["note"][j] is not None:
            return False
        if template["statistic"][j].tobytes() != np.float64(stats[name]).tobytes():
            return False
        if name in ("cusum", "cusum_squares") and \
                template["pvalue"][j].tobytes() != np.float64(stats[name + ":p"]).tobytes():
            return False
    return True


def _statistics(pl: Plan, tests: tuple[str, ...], Y: np.ndarray, Xs: np.ndarray, scales: np.ndarray, s: np.ndarray,
                vt: np.ndarray, coef: np.ndarray, E: np.ndarray, rss: np.ndarray,
                good: np.ndarray) -> tuple[dict[str, np.ndarray], np.ndarray]:
    """Each selected stacked test's statistic per group; ``good`` cleared where a kernel hands a group back."""
    G, n, p = Xs.shape
    want = set(tests)
    out: dict[str, np.ndarray] = {}
    ok = good.copy()
    slopes = [j for j in range(p) if j != pl.const]
    Xn = np.ascontiguousarray(Xs[:, :, slopes])
    need_bg = bool(want & {"breusch_godfrey", "breusch_godfrey_f"})
    need_bp = bool(want & {"breusch_pagan", "breusch_pagan_studentized"})
    need_rec = bool(want & {"recursive_residuals", "cusum", "cusum_squares"})
    if need_bp:
        # The variance regression's design: a constant 1 and the slopes; X itself when its constant is a
        # first column of ones.
        if pl.const == 0 and bool(np.all(Xs[:, 0, 0] == 1.0)):
            aux = Xs
        else:
            aux = np.empty((G, n, p))
            aux[:, :, 0] = 1.0
            aux[:, :, 1:] = Xn
        bp_rss, bp_tss = np.full(G, math.nan), np.full(G, math.nan)
    if need_bg:
        bg = np.full(G, math.nan)
    if "chow" in want:
        chow = np.full(G, math.nan)
    if need_rec:
        W = np.zeros((G, n - p))
    if "ljung_box" in want:
        lb = np.full(G, math.nan)
    if "jarque_bera" in want:
        jb = np.full(G, math.nan)
    if "box_pierce" in want:
        rho = np.zeros((G, pl.lags + 1))
    if "wald" in want:
        scores = Xs * E[:, :, None]
        omega = np.zeros((G, p, p))
    want_chow, want_lb, want_jb = "chow" in want, "ljung_box" in want, "jarque_bera" in want
    want_bpq, want_wald = "box_pierce" in want, "wald" in want
    lags, at, kernel_id, bandwidth = pl.lags, pl.at, pl.kernel_id, pl.bandwidth
    bg_stat, bp_aux, chow_stat, recursive, lb_stat, jb_stat, acorr, mean_ax0, centred_ax0, hac = (
        _diag.bg_stat, _diag.bp_aux, _diag.chow_stat, _diag.recursive_residuals, _diag.lb_stat, _diag.jb_stat,
        _diag.acorr, _diag.fill_mean_ax0, _diag.fill_centered_ax0, _diag.hac_estimator_matmul)
    for i in np.flatnonzero(ok).tolist():
        e, y, X = E[i], Y[i], Xs[i]
        status = _OK
        if need_bg:
            st, bg[i] = bg_stat(e, Xn[i], lags)
            status |= st
        if need_bp:
            st, bp_rss[i], bp_tss[i] = bp_aux(e, aux[i])
            status |= st
        if want_chow:
            st, chow[i] = chow_stat(y, X, at)
            status |= st
        if need_rec:
            st, w = recursive(y, X)
            if st == _OK:
                W[i] = w
            status |= st
        if want_lb:
            st, lb[i] = lb_stat(e, lags)
            status |= st
        if want_jb:
            st, jb[i] = jb_stat(e)
            status |= st
        if want_bpq:
            st, r = acorr(e, lags)
            if st == _OK:
                rho[i] = r
            status |= st
        if want_wald:
            u = scores[i]
            omega[i] = hac(centred_ax0(u, mean_ax0(u)), kernel_id, bandwidth)
        if status != _OK:
            ok[i] = False
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if need_bg:
            out["breusch_godfrey"] = bg
            df2 = n - p - pl.lags
            r2 = bg / n
            out["breusch_godfrey_f"] = np.where(r2 < 1.0, (r2 / pl.lags) / ((1.0 - r2) / df2), math.inf)
        if need_bp:
            out["breusch_pagan"] = 0.5 * (bp_tss - bp_rss)
            out["breusch_pagan_studentized"] = n * (1.0 - bp_rss / bp_tss)
            ok &= bp_tss > 0.0
        if "chow" in want:
            out["chow"] = chow
        if need_rec:
            m = n - p
            mean = W.sum(axis=1) / m
            sd = np.sqrt(_dots(W - mean[:, None]) / (m - 1))
            ok &= sd > 0.0
            out["recursive_residuals"] = math.sqrt(m) * mean / sd
            sigma = sd if pl.recursive_scale else np.sqrt(rss / (n - p))
            series = np.cumsum(W, axis=1)
            series /= sigma[:, None]
            cusum = (np.abs(series) / _cusum_lines(m)[0]).max(axis=1)
            path = np.cumsum(W * W, axis=1)
            path /= path[:, -1:]
            gap = np.abs(path - _cusumsq_lines(m)[0]).max(axis=1)
            ok &= np.isfinite(cusum) & np.isfinite(gap)
            out["cusum"], out["cusum_squares"] = cusum, gap
            out["cusum:p"] = np.array([cusum_pvalue(float(a)) if f else math.nan for a, f in zip(cusum, ok)])
            out["cusum_squares:p"] = np.array([cusumsq_pvalue(float(a), m) if f else math.nan
                                               for a, f in zip(gap, ok)])
        if "ljung_box" in want:
            out["ljung_box"] = lb
        if "jarque_bera" in want:
            out["jarque_bera"] = jb
        if "box_pierce" in want:
            out["box_pierce"] = n * _dots(np.ascontiguousarray(rho[:, 1:]))
        if "durbin_watson" in want:
            out["durbin_watson"] = _dots(E[:, 1:] - E[:, :-1]) / rss
        if "wald" in want:
            out["wald"], ok = _wald(pl, vt, s, scales, coef, omega, slopes, ok)
    return out, ok


def _wald(pl: Plan, vt: np.ndarray, s: np.ndarray, scales: np.ndarray, coef: np.ndarray, omega: np.ndarray,
          slopes: list[int], ok: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """b'·V⁻¹·b for the slopes b and their HAC covariance V = n·B·Ω·B', B the slopes' rows of (X'X)⁻¹."""
    n, q = pl.n, len(slopes)
    xtx_inv = np.matmul(vt.transpose(0, 2, 1) / (s * s)[:, None, :], vt) / (scales[:, :, None] * scales[:, None, :])
    bread = xtx_inv[:, slopes]
    cov = n * np.matmul(np.matmul(bread, omega), bread.transpose(0, 2, 1))
    scaled = n * cov
    stat = np.full(ok.shape[0], math.nan)
    live = np.flatnonzero(ok)
    if live.size == 0:
        return stat, ok
    eig = np.linalg.eigvalsh(scaled[live])
    top = np.abs(eig).max(axis=1)
    # Positive definite by the rule of the per-group path (with a margin: near it, that path decides).
    definite = eig[:, 0] > 2.0 * (top * q * _EPS)
    ok = ok.copy()
    ok[live[~definite]] = False
    means = np.ascontiguousarray(coef[:, slopes])
    zeros = np.zeros(q)
    for i in live[definite].tolist():
        status, stat[i] = _diag.wald_stat_from_mean_and_cov(means[i], zeros, scaled[i], n)
        if status != _OK:
            ok[i] = False
    return stat, ok
