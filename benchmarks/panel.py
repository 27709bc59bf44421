"""The panel battery against a plain NumPy/SciPy loop, its worker scaling, its kernels' share and Dask.

Run after installing the package (``make install``), from the repository root:

    .venv/bin/python -P benchmarks/panel.py            # 10,000 groups x 200 rows x (3 regressors + constant)
    .venv/bin/python -P benchmarks/panel.py --quick    # 1,000 groups

Everything is measured in one run, side by side:

* the peer: the ten tests of ``TEN`` computed group by group in one thread with
  NumPy and SciPy, using the independent formulas the tests check the package
  against (QR projections, explicit refits for the recursive residuals,
  explicit lag sums); it is timed on a sample of the groups and reported per
  group, since the whole panel would take many minutes;
* ``kd.battery_panel`` with ``workers=1`` and ``workers=2``;
* the bare ``_diag`` kernel calls the battery makes, on inputs prepared
  beforehand, for every group: the kernels' own time; and the stacked LAPACK
  SVDs of the fits;
* ``Kestrix.diagnostics.dask.battery_panel`` on a two-process LocalCluster
  (127.0.0.1 only), when Dask is installed: once on data the workers already
  hold (persisted), once from the pandas frame of this process;
* the machine's own ceiling for two workers: the bare kernel calls on two
  threads and on two processes at once.

Every ratio comes from this one run.  No threshold is applied here or in the
tests: the figures are for people to read.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import sys
import time
from pathlib import Path
from typing import Any

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import Kestrix.diagnostics as kd  # noqa: E402
from Kestrix._ckernels.diag import _diag  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from test_diagnostics import (  # noqa: E402
    project_out,
    ref_bg,
    ref_bp,
    ref_chow,
    ref_cusum,
    ref_cusumsq,
    ref_hac,
    ref_jb,
    ref_lb,
    ref_recursive,
)

RESULTS = ROOT / "benchmarks" / "results"
X_COLUMNS = ["mkt", "smb", "hml"]
# The ten tests the peer below computes; every side of the benchmark runs these.
TEN = ("breusch_godfrey", "breusch_pagan", "breusch_pagan_studentized", "chow", "recursive_residuals", "cusum",
       "cusum_squares", "ljung_box", "jarque_bera", "wald")


def synthetic(groups: int, rows: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((groups * rows, 3))
    e = rng.standard_normal(groups * rows)
    return pd.DataFrame({"firm": np.repeat(np.arange(groups), rows), "ret": 0.1 + X @ [1.0, -0.5, 0.2] + e,
                         "mkt": X[:, 0], "smb": X[:, 1], "hml": X[:, 2]})


def peer_battery(y: np.ndarray, X: np.ndarray, lags: int = 4) -> list[float]:
    """The ten statistics and p-values with NumPy and SciPy alone."""
    from scipy import stats

    n, p = X.shape
    e = project_out(X, y)
    out = []
    bg = ref_bg(e, X[:, 1:], lags)
    lm, studentised = ref_bp(e, X[:, 1:])
    chow = ref_chow(y, X, n // 2)
    w = ref_recursive(y, X)
    t = math.sqrt(len(w)) * w.mean() / w.std(ddof=1)
    cs, sq = ref_cusum(y, X), ref_cusumsq(y, X)
    lb, jb = ref_lb(e, lags), ref_jb(e)
    bread = np.linalg.inv(X.T @ X)
    V = n * bread @ ref_hac(X * e[:, None], "bartlett", kd.default_bandwidth(n)) @ bread
    b = np.linalg.lstsq(X, y, rcond=None)[0][1:]
    wald = float(b @ np.linalg.solve(V[1:, 1:], b))
    out += [bg, stats.chi2.sf(bg, lags), lm, stats.chi2.sf(lm, p - 1), studentised, stats.chi2.sf(studentised, p - 1),
            chow, stats.f.sf(chow, p, n - 2 * p), t, 2 * stats.t.sf(abs(t), len(w) - 1), cs, sq,
            lb, stats.chi2.sf(lb, lags), jb, stats.chi2.sf(jb, 2), wald, stats.chi2.sf(wald, p - 1)]
    return out


def prepare(groups: list[tuple[np.ndarray, np.ndarray]]) -> list[tuple[np.ndarray, ...]]:
    """The inputs of the battery's _diag calls for every group, made beforehand."""
    prepared = []
    for y, X in groups:
        fit = kd.ols(y, X)
        e = fit.resid
        scores = np.ascontiguousarray(X * e[:, None])
        slopes = np.ascontiguousarray(fit.coef[1:])
        prepared.append((y, X, e, fit.non_constant_X, fit.variance_design, scores, slopes))
    return prepared


def kernels_only(prepared: list[tuple[np.ndarray, ...]], lags: int = 4) -> float:
    """The bare _diag calls of the battery for every group, on prepared inputs; seconds."""
    p = prepared[0][1].shape[1]
    zeros, eye = np.zeros(p - 1), np.eye(p - 1)
    n = prepared[0][0].shape[0]
    L = kd.default_bandwidth(n)
    start = time.perf_counter()
    for y, X, e, Xn, aux, scores, slopes in prepared:
        _diag.bg_stat(e, Xn, lags)
        _diag.bp_aux(e, aux)
        _diag.chow_stat(y, X, n // 2)
        _diag.recursive_residuals(y, X)
        _diag.lb_stat(e, lags)
        _diag.jb_stat(e)
        _diag.hac_estimator_matmul(_diag.fill_centered_ax0(scores, _diag.fill_mean_ax0(scores)), 0, L)
        _diag.wald_stat_from_mean_and_cov(slopes, zeros, eye, n)
    return time.perf_counter() - start


def fits_only(groups: list[tuple[np.ndarray, np.ndarray]]) -> float:
    """The stacked LAPACK SVDs the fits of the panel make (64 groups a call), with nothing else; seconds."""
    stacks = [np.stack([X for _, X in groups[i:i + 64]]) for i in range(0, len(groups), 64)]
    start = time.perf_counter()
    for stack in stacks:
        np.linalg.svd(stack, full_matrices=False)
    return time.perf_counter() - start


def kernels_two_threads(prepared: list[tuple[np.ndarray, ...]]) -> float:
    """kernels_only on half of the groups in each of two threads at once: what a thread pool can reach."""
    import threading

    halves = [prepared[0::2], prepared[1::2]]
    threads = [threading.Thread(target=kernels_only, args=(half,)) for half in halves]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def _child(prepared: list[tuple[np.ndarray, ...]], barrier: Any, queue: Any) -> None:
    barrier.wait()
    start = time.perf_counter()
    kernels_only(prepared)
    queue.put((start, time.perf_counter()))


def kernels_two_processes(prepared: list[tuple[np.ndarray, ...]]) -> float | None:
    """kernels_only on half of the groups in each of two forked processes at once: what the machine allows."""
    import multiprocessing

    try:
        context = multiprocessing.get_context("fork")
    except ValueError:
        return None
    barrier, queue = context.Barrier(2), context.Queue()
    children = [context.Process(target=_child, args=(half, barrier, queue)) for half in
                (prepared[0::2], prepared[1::2])]
    for child in children:
        child.start()
    spans = [queue.get(timeout=600) for _ in children]
    for child in children:
        child.join(timeout=60)
    # perf_counter is the system's monotonic clock, the same in both processes.
    return max(end for _, end in spans) - min(start for start, _ in spans)


def timed(fn) -> tuple[float, object]:
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def dask_time(frame: pd.DataFrame, expected: pd.DataFrame) -> dict[str, float] | None:
    try:
        import dask.dataframe as dd
        import distributed

        from Kestrix.diagnostics import dask as kdd
    except ImportError:
        return None
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, worker_dashboard_address=None)
    try:
        with distributed.Client(cluster, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            kdd.battery_panel(dd.from_pandas(frame.iloc[:2000], npartitions=2), "firm", "ret", X_COLUMNS, tests=TEN)
            # From the pandas frame in this process: the data travel to the workers with the graph.
            sent, table = timed(lambda: kdd.battery_panel(dd.from_pandas(frame, npartitions=8), "firm", "ret",
                                                          X_COLUMNS, tests=TEN))
            pd.testing.assert_frame_equal(table, expected, check_exact=True)
            # From data already held by the workers (as after dd.read_parquet on the cluster).
            held = client.persist(dd.from_pandas(frame, npartitions=8))
            distributed.wait(held)
            seconds, table = timed(lambda: kdd.battery_panel(held, "firm", "ret", X_COLUMNS, tests=TEN))
            pd.testing.assert_frame_equal(table, expected, check_exact=True)
    finally:
        cluster.close(timeout=60)
    return {"seconds": seconds, "sent_seconds": sent}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--groups", type=int, default=None)
    parser.add_argument("--rows", type=int, default=200)
    parser.add_argument("--peer-groups", type=int, default=60, help="groups the NumPy loop is timed on")
    parser.add_argument("--quick", action="store_true", help="1,000 groups, a smaller peer sample")
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each in-process figure (the best is shown)")
    parser.add_argument("--out", type=Path, default=RESULTS)
    args = parser.parse_args(argv)
    groups = args.groups or (1000 if args.quick else 10_000)
    peer_groups = min(groups, 15 if args.quick else args.peer_groups)

    frame = synthetic(groups, args.rows)
    arrays = [(g["ret"].to_numpy(copy=True), np.column_stack([np.ones(args.rows), g[X_COLUMNS].to_numpy()]))
              for _, g in frame.groupby("firm")]
    kd.battery_panel(frame.iloc[: 5 * args.rows], "firm", "ret", X_COLUMNS, workers=1)  # warm-up

    t_peer = timed(lambda: [peer_battery(y, X) for y, X in arrays[:peer_groups]])[0] / peer_groups
    prepared = prepare(arrays)
    # Each in-process figure is the best of --repeat runs, the runs of every figure interleaved.
    best: dict[str, float] = {}
    table = None
    for _ in range(args.repeat):
        t, one = timed(lambda: kd.battery_panel(frame, "firm", "ret", X_COLUMNS, workers=1, progress=False,
                                                tests=TEN))
        best["one"] = min(best.get("one", math.inf), t)
        t, two = timed(lambda: kd.battery_panel(frame, "firm", "ret", X_COLUMNS, workers=2, progress=False,
                                                tests=TEN))
        best["two"] = min(best.get("two", math.inf), t)
        pd.testing.assert_frame_equal(one, two, check_exact=True)
        table = one
        best["kernels"] = min(best.get("kernels", math.inf), kernels_only(prepared))
        best["fits"] = min(best.get("fits", math.inf), fits_only(arrays))
        best["threads"] = min(best.get("threads", math.inf), kernels_two_threads(prepared))
        procs = kernels_two_processes(prepared)
        if procs is not None:
            best["procs"] = min(best.get("procs", math.inf), procs)
    t_one, t_two, t_kernels, t_fits = best["one"], best["two"], best["kernels"], best["fits"]
    dask = None if args.no_dask else dask_time(frame, table)

    per = lambda seconds: seconds / groups * 1e6  # noqa: E731
    rows = [
        ("NumPy/SciPy loop (peer, per group, on %d groups)" % peer_groups, t_peer * 1e6, None),
        ("battery_panel, workers=1", per(t_one), t_peer * groups / t_one),
        ("battery_panel, workers=2", per(t_two), t_peer * groups / t_two),
        ("bare _diag kernel calls", per(t_kernels), None),
        ("the fits' stacked SVDs (LAPACK)", per(t_fits), None),
    ]
    if dask is not None:
        rows.append(("Dask, 2-process LocalCluster, data on the workers", per(dask["seconds"]),
                     t_peer * groups / dask["seconds"]))
        rows.append(("Dask, the same, the frame sent from here", per(dask["sent_seconds"]),
                     t_peer * groups / dask["sent_seconds"]))
    print(f"Panel of {groups:,} groups x {args.rows} rows x (3 regressors + constant); "
          f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, NumPy {np.__version__}; "
          f"best of {args.repeat}")
    print(f"{'':52} {'us/group':>10} {'peer/this':>10}")
    for name, us, ratio in rows:
        print(f"{name:52} {us:10.1f} {'' if ratio is None else f'{ratio:10.1f}'}")
    print(f"workers=2 / workers=1: {t_one / t_two:.2f}x faster; workers=1 / bare kernels: {t_one / t_kernels:.2f}; "
          f"workers=1 / (kernels + SVDs): {t_one / (t_kernels + t_fits):.2f}")
    ceiling = f"bare kernels on two threads: {t_kernels / best['threads']:.2f}x one thread"
    if "procs" in best:
        ceiling += f"; on two processes: {t_kernels / best['procs']:.2f}x (what the cores allow)"
    print(ceiling)
    if dask is not None:
        print(f"Dask / in-process workers=2: {dask['seconds'] / t_two:.2f}x the time with the data on the workers, "
              f"{dask['sent_seconds'] / t_two:.2f}x with the frame sent from this process")
    args.out.mkdir(parents=True, exist_ok=True)
    out = args.out / ("panel-quick.json" if args.quick else "panel.json")
    out.write_text(json.dumps({
        "groups": groups, "rows": args.rows, "peer_groups": peer_groups, "peer_s_per_group": t_peer,
        "workers1_s": t_one, "workers2_s": t_two, "kernels_s": t_kernels, "fits_s": t_fits,
        "kernels_two_threads_s": best["threads"], "kernels_two_processes_s": best.get("procs"), "repeat": args.repeat,
        "dask_s": None if dask is None else dask["seconds"],
        "dask_sent_s": None if dask is None else dask["sent_seconds"], "python": platform.python_version(),
        "numpy": np.__version__, "date": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
    }, indent=2) + "\n")
    print(f"written {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
