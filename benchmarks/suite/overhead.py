"""Call overhead: each function on tiny inputs against the bare NumPy calls
its calling convention makes (one ``np.ascontiguousarray`` per array argument,
one ``np.empty`` per output or scratch array, and ``np.float64`` for the
results returned as one), and the part of the remainder that can be measured
from Python: one buffer export per array the kernel reads or writes."""

import gc
import itertools
import time

import numpy as np

from Kestrix._ckernels.diag import _diag

perf = time.perf_counter

# The bare NumPy calls of each function's calling convention, written out as
# a Python function with the same parameters.


def bare_bg_stat(eps, X, lags):
    np.ascontiguousarray(eps, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)


def bare_bp_aux(eps, X_aug):
    np.ascontiguousarray(eps, dtype=np.float64)
    np.ascontiguousarray(X_aug, dtype=np.float64)


def bare_chow_stat(y, X, t_break):
    np.ascontiguousarray(y, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)


def bare_recursive_residuals(y, X):
    np.ascontiguousarray(y, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)
    np.empty(3, dtype=np.float64)


bare_cusum_series = bare_recursive_residuals


def bare_cusum_stat(y, X):
    np.ascontiguousarray(y, dtype=np.float64)
    np.ascontiguousarray(X, dtype=np.float64)


bare_cusumsq_stat = bare_cusum_stat


def bare_acorr(x, L):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty(3, dtype=np.float64)
    np.empty(5, dtype=np.float64)


def bare_lb_stat(x, L):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty(5, dtype=np.float64)
    np.empty(5, dtype=np.float64)
    np.float64(0.0)


def bare_jb_stat(x):
    np.ascontiguousarray(x, dtype=np.float64)
    np.float64(0.0)


def bare_hac_estimator_matmul(r, kernel_id, L):
    np.ascontiguousarray(r, dtype=np.float64)
    np.empty((2, 2), dtype=np.float64)
    np.empty((2, 2), dtype=np.float64)


def bare_fill_mean_ax0(x):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty(2, dtype=np.float64)


def bare_fill_centered_ax0(x, mean):
    np.ascontiguousarray(x, dtype=np.float64)
    np.ascontiguousarray(mean, dtype=np.float64)
    np.empty((5, 2), dtype=np.float64)


def bare_wald_stat_from_mean_and_cov(mean, target, omega, n):
    np.ascontiguousarray(mean, dtype=np.float64)
    np.ascontiguousarray(target, dtype=np.float64)
    np.ascontiguousarray(omega, dtype=np.float64)
    np.empty(2, dtype=np.float64)
    np.empty((2, 2), dtype=np.float64)


def bare_symmetric_outer_prod_2dim(x):
    np.ascontiguousarray(x, dtype=np.float64)
    np.empty((5, 3), dtype=np.float64)


def bare_fill_symmetric_target_vec(target, atol, rtol):
    np.ascontiguousarray(target, dtype=np.float64)
    np.empty(3, dtype=np.float64)


def overhead_cases():
    """(name, args, conversions, allocations) on n = 5, p = 2 inputs."""
    rng = np.random.default_rng(5)
    e = rng.standard_normal(5)
    X = rng.standard_normal((5, 2))
    Xc = np.column_stack([np.ones(5), rng.standard_normal(5)])
    m = X.mean(0)
    S = np.array([[2.0, 0.5], [0.5, 1.0]])
    return [
        ("bg_stat", (e, X, 1), 2, 0),
        ("bp_aux", (e, Xc), 2, 0),
        ("chow_stat", (e, Xc, 2), 2, 0),
        ("recursive_residuals", (e, Xc), 2, 1),
        ("cusum_series", (e, Xc), 2, 1),
        ("cusum_stat", (e, Xc), 2, 0),
        ("cusumsq_stat", (e, Xc), 2, 0),
        ("acorr", (e, 2), 1, 2),
        ("lb_stat", (e, 2), 1, 2),
        ("jb_stat", (e,), 1, 0),
        ("hac_estimator_matmul", (X - m, 0, 2), 1, 2),
        ("fill_mean_ax0", (X,), 1, 1),
        ("fill_centered_ax0", (X, m), 2, 1),
        ("wald_stat_from_mean_and_cov", (m, np.zeros(2), S, 5), 3, 2),
        ("symmetric_outer_prod_2dim", (X,), 1, 1),
        ("fill_symmetric_target_vec", (S, 1e-8, 1e-8), 1, 1),
    ]


def run_overhead(plan, log):
    rows = []
    k = plan.overhead_batch
    gc.collect()
    export = buffer_export_seconds(plan)
    for name, args, n_conv, n_alloc in overhead_cases():
        ours = getattr(_diag, name)
        bare = globals()["bare_" + name]
        ours(*args)
        bare(*args)
        a = [None] * plan.overhead_rounds
        b = [None] * plan.overhead_rounds
        gc.disable()
        try:
            for r in range(plan.overhead_rounds):
                if r % 2 == 0:
                    a[r] = _call_batch(ours, args, k)
                    b[r] = _call_batch(bare, args, k)
                else:
                    b[r] = _call_batch(bare, args, k)
                    a[r] = _call_batch(ours, args, k)
        finally:
            gc.enable()
        ours_s, bare_s = float(np.median(a)), float(np.median(b))
        rows.append(dict(function=name, conversions=n_conv, allocations=n_alloc,
                         ours_s=ours_s, bare_s=bare_s, ratio=ours_s / bare_s,
                         buffer_export_s=(n_conv + n_alloc) * export))
    return rows


def buffer_export_seconds(plan):
    """One buffer export and release of a ready float64 array, as the binding
    takes one per array: a memoryview made and dropped, less the empty loop."""
    x = np.zeros(5)
    k = plan.overhead_batch * 10
    views, empty = [], []
    for _ in range(plan.overhead_rounds):
        t0 = perf()
        for _ in itertools.repeat(None, k):
            memoryview(x)
        views.append((perf() - t0) / k)
        t0 = perf()
        for _ in itertools.repeat(None, k):
            pass
        empty.append((perf() - t0) / k)
    return max(0.0, float(np.median(views)) - float(np.median(empty)))


def breakdown(rows, native):
    """Splits each call into the calls of the convention, the buffer exports,
    the kernel's own time (`native`: function -> seconds, from the probe) and
    the rest: argument parsing, the module's `np` lookups, the release and
    re-acquisition of the interpreter lock, the result objects."""
    for r in rows:
        t = native.get(r["function"])
        if t is None:
            continue
        r["kernel_native_s"] = t
        r["rest_s"] = r["ours_s"] - r["bare_s"] - r["buffer_export_s"] - t
    return rows


def _call_batch(fn, args, k):
    t0 = perf()
    for _ in itertools.repeat(None, k):
        fn(*args)
    return (perf() - t0) / k
