"""The panel battery against its engine's native time, the code it replaced, a NumPy/SciPy loop and Dask.

Run after installing the package (``make install``), from the repository root:

    .venv/bin/python -P benchmarks/panel.py            # 10,000 groups x 200 rows x (3 regressors + constant)
    .venv/bin/python -P benchmarks/panel.py --quick    # 1,000 groups
    .venv/bin/python -P benchmarks/panel.py --baseline DIR   # beside the package installed in DIR

Everything is measured in one run, side by side (best of ``--repeat`` runs,
the runs of every figure interleaved):

* ``kd.battery_panel`` with ``workers=1`` and ``workers=2`` on the ten tests
  of ``TEN``, and with ``workers=1`` on the whole default battery;
* the battery engine alone on the same stacked groups, timed in C++ by
  ``engine_driver.cpp`` on one thread and on two (the same calls of at most
  2,048 groups the panel makes): the native time the Python layer is
  measured against; beside it the engine's bound at 200 rows: the least
  time its passes allow on this machine (``suite.engine.bound``: reading
  the groups' data at the probed bandwidth, then each pass at the slowest
  of its multiply-adds at the peak rate, its divisions and square roots on
  the divider, and its longest chain shared by a batch of lanes, all from
  the roofline probe, run here first) and the fraction of it the engine
  reaches;
* the parts of ``battery_panel``: splitting the frame (one thread whatever
  ``workers`` is), the engine calls, and the table (its words on one
  thread, its p-values on ``workers`` threads), from which the bound
  Amdahl's law puts on two workers is printed;
* short groups: 100,000 groups x 8 rows x (2 regressors + constant), the
  default battery (the tests that do not apply to 8 rows are refused at
  once), per group against the 200-row groups;
* with ``--baseline DIR``: the same ``battery_panel`` call by the package
  installed in DIR (``pip install --target DIR`` of an earlier version), in a
  child interpreter, alternating with this one;
* the peer: the ten tests group by group in NumPy and SciPy (the
  independent formulas the tests check the package against), timed on a
  sample of the groups;
* ``Kestrix.diagnostics.dask.battery_panel`` on a two-process LocalCluster
  (127.0.0.1 only), when Dask is installed.

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

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "benchmarks"))
from suite.engine import Driver, stacked  # noqa: E402
from suite.frames import X_COLUMNS, synthetic  # noqa: E402
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
# The ten tests the peer below computes; every side of the benchmark runs these.
TEN = ("breusch_godfrey", "breusch_pagan", "breusch_pagan_studentized", "chow", "recursive_residuals", "cusum",
       "cusum_squares", "ljung_box", "jarque_bera", "wald")


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


def child_time(baseline: str, groups: int, rows: int, tests: tuple[str, ...] | None, x: int = 3) -> float:
    """``battery_panel`` with workers=1 timed in a child interpreter that imports the package from
    ``baseline``; seconds (the best of two calls after a warm-up)."""
    import subprocess

    code = (
        "import sys, time; sys.path.insert(0, sys.argv[1]); sys.path.insert(1, sys.argv[2]);"
        "import suite.frames as P, Kestrix.diagnostics as kd;"
        "assert kd.__file__.startswith(sys.argv[1]), kd.__file__;"
        "frame = P.synthetic(int(sys.argv[3]), int(sys.argv[4]), x=int(sys.argv[6]));"
        "cols = list(P.X_COLUMNS[:int(sys.argv[6])]);"
        "tests = None if sys.argv[5] == '-' else sys.argv[5].split(',');"
        "kd.battery_panel(frame.iloc[:2000], 'firm', 'ret', cols, workers=1, tests=tests);"
        "best = 1e300\n"
        "for _ in range(2):\n"
        "    t = time.perf_counter(); kd.battery_panel(frame, 'firm', 'ret', cols, workers=1, tests=tests, "
        "progress=False); best = min(best, time.perf_counter() - t)\n"
        "print(best)")
    env = dict(os.environ, PYTHONPATH="")
    proc = subprocess.run([sys.executable, "-P", "-c", code, baseline, str(ROOT / "benchmarks"), str(groups),
                           str(rows), "-" if tests is None else ",".join(tests), str(x)],
                          capture_output=True, text=True, env=env, timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError("the baseline run failed: " + proc.stderr[-1500:])
    return float(proc.stdout.split()[-1])


def serial_share(frame: pd.DataFrame, tests: tuple[str, ...]) -> tuple[float, float, float, float]:
    """battery_panel with workers=1 in its steps: the split of the frame (one thread whatever ``workers``
    is), the engine calls, and the table, made on one thread and with its p-values on two (its words are
    made on one thread whatever ``workers`` is)."""
    from Kestrix.diagnostics import _engine as E, _panel

    options = _panel.make_options("battery_panel", {})
    t_split, panel = timed(lambda: _panel.split(frame, "firm", "ret", X_COLUMNS))
    t_run, out = timed(lambda: _panel._run(panel, tests, E.options_tuple(tests, options), 1, None))
    t_table, _ = timed(lambda: _panel.table(panel, out, tests, options))
    t_table2, _ = timed(lambda: _panel.table(panel, out, tests, options, 2))
    return t_split, t_run, t_table, t_table2


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--groups", type=int, default=None)
    parser.add_argument("--rows", type=int, default=200)
    parser.add_argument("--short-groups", type=int, default=None, help="groups of 8 rows (default 10x --groups)")
    parser.add_argument("--peer-groups", type=int, default=60, help="groups the NumPy loop is timed on")
    parser.add_argument("--quick", action="store_true", help="1,000 groups, a smaller peer sample")
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument("--no-probe", action="store_true", help="skip the roofline probe (and the engine's bound)")
    parser.add_argument("--baseline", type=str, default=None,
                        help="a folder holding an earlier version of the package (pip install --target)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each in-process figure (the best is shown)")
    parser.add_argument("--out", type=Path, default=RESULTS)
    args = parser.parse_args(argv)
    groups = args.groups or (1000 if args.quick else 10_000)
    short = args.short_groups or 10 * groups
    peer_groups = min(groups, 15 if args.quick else args.peer_groups)
    every = tuple(kd.TESTS)

    frame = synthetic(groups, args.rows)
    small = synthetic(short, 8, x=2, seed=1)
    kd.battery_panel(frame.iloc[: 5 * args.rows], "firm", "ret", X_COLUMNS, workers=1)  # warm-up
    arrays = [(g["ret"].to_numpy(copy=True), np.column_stack([np.ones(args.rows), g[X_COLUMNS].to_numpy()]))
              for _, g in frame.iloc[: peer_groups * args.rows].groupby("firm")]
    t_peer = timed(lambda: [peer_battery(y, X) for y, X in arrays])[0] / peer_groups

    roof = None
    if not args.no_probe:
        from suite.probe import run_roofline
        roof = run_roofline(dict(n=20_000, rounds=3, big_mib=64, ps=(10,), lag=1, tiny_iters=0), print)
        if "skipped" in roof:
            print("roofline probe skipped: " + roof["skipped"])
    driver = Driver()
    try:
        path = driver.write(*stacked(frame, "firm", "ret", X_COLUMNS))
        path_small = driver.write(*stacked(small, "firm", "ret", X_COLUMNS[:2]))
        best: dict[str, float] = {}
        hashes = set()

        def keep(name: str, seconds: float) -> None:
            best[name] = min(best.get(name, math.inf), seconds)

        table = None
        for _ in range(args.repeat):
            t, one = timed(lambda: kd.battery_panel(frame, "firm", "ret", X_COLUMNS, workers=1, progress=False,
                                                    tests=TEN))
            keep("one", t)
            t, two = timed(lambda: kd.battery_panel(frame, "firm", "ret", X_COLUMNS, workers=2, progress=False,
                                                    tests=TEN))
            keep("two", t)
            pd.testing.assert_frame_equal(one, two, check_exact=True)
            table = one
            keep("all", timed(lambda: kd.battery_panel(frame, "firm", "ret", X_COLUMNS, workers=1,
                                                       progress=False))[0])
            keep("short", timed(lambda: kd.battery_panel(small, "firm", "ret", X_COLUMNS[:2], workers=1,
                                                         progress=False))[0])
            for name, tests, threads, where in (("native1", TEN, 1, path), ("native2", TEN, 2, path),
                                                ("native_all", every, 1, path),
                                                ("native_short", every, 1, path_small)):
                result = driver.run(where, tests, threads=threads, repeat=1)
                keep(name, result["seconds"])
                if name in ("native1", "native2"):
                    hashes.add(result["hash"])
            split, run, made, made2 = serial_share(frame, TEN)
            keep("split", split), keep("run", run), keep("table", made), keep("table2", made2)
            if args.baseline:
                keep("baseline", child_time(args.baseline, groups, args.rows, TEN))
                keep("baseline_all", child_time(args.baseline, groups, args.rows, None))
        assert len(hashes) == 1, "the engine's statistics differ between one thread and two"
    finally:
        driver.close()
    dask = None if args.no_dask else dask_time(frame, table)

    from suite.engine import bound, fused_operations
    fmas = fused_operations(args.rows, len(X_COLUMNS) + 1)["total"]
    limit = None if roof is None or "skipped" in roof else bound(roof, args.rows, len(X_COLUMNS) + 1, groups=groups)
    per = lambda seconds, count=groups: seconds / count * 1e6  # noqa: E731
    # Two workers halve the engine calls at best; the split stays serial and the table takes its two-thread time.
    amdahl = (best["split"] + best["run"] + best["table"]) / (best["split"] + best["run"] / 2 + best["table2"])
    rows = [
        ("NumPy/SciPy loop (peer, on %d groups)" % peer_groups, t_peer * 1e6, None),
        ("battery_panel, workers=1", per(best["one"]), best["one"] / best["native1"]),
        ("battery_panel, workers=2", per(best["two"]), best["two"] / best["native1"]),
        ("battery engine alone (C++), 1 thread", per(best["native1"]), 1.0),
        ("battery engine alone (C++), 2 threads", per(best["native2"]), best["native2"] / best["native1"]),
        ("battery_panel, workers=1, the whole default battery", per(best["all"]), best["all"] / best["native1"]),
        ("battery engine alone, the whole default battery", per(best["native_all"]),
         best["native_all"] / best["native1"]),
    ]
    if args.baseline:
        rows.insert(1, ("the code this replaced (--baseline), workers=1", per(best["baseline"]),
                        best["baseline"] / best["native1"]))
        rows.insert(2, ("the code this replaced, the whole default battery", per(best["baseline_all"]),
                        best["baseline_all"] / best["native1"]))
    if dask is not None:
        rows.append(("Dask, 2-process LocalCluster, data on the workers", per(dask["seconds"]),
                     dask["seconds"] / best["native1"]))
        rows.append(("Dask, the same, the frame sent from here", per(dask["sent_seconds"]),
                     dask["sent_seconds"] / best["native1"]))
    print(f"Panel of {groups:,} groups x {args.rows} rows x (3 regressors + constant), the ten tests of TEN "
          f"unless said; {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"NumPy {np.__version__}; best of {args.repeat}")
    print(f"{'':58} {'us/group':>9} {'/ engine':>9}")
    for name, us, ratio in rows:
        print(f"{name:58} {us:9.2f} {'' if ratio is None else f'{ratio:9.2f}'}")
    if args.baseline:
        print(f"workers=1 against the code it replaced: {best['baseline'] / best['one']:.1f}x faster "
              f"(the whole default battery: {best['baseline_all'] / best['all']:.1f}x)")
    print(f"against the NumPy/SciPy loop: {t_peer * groups / best['one']:.0f}x faster (workers=1)")
    print(f"two workers: battery_panel {best['one'] / best['two']:.2f}x one; the engine alone "
          f"{best['native1'] / best['native2']:.2f}x; the parts of battery_panel: split {per(best['split']):.2f} "
          f"(one thread), engine calls {per(best['run']):.2f}, table {per(best['table']):.2f} on one thread and "
          f"{per(best['table2']):.2f} with its p-values on two (us/group), which bound two workers at {amdahl:.2f}x")
    print(f"short groups, {short:,} x 8 rows x (2 regressors + constant), the default battery: battery_panel "
          f"{per(best['short'], short):.2f} us/group ({best['short'] / short / (best['all'] / groups):.2f}x the "
          f"200-row groups' {per(best['all']):.2f}); the engine alone {per(best['native_short'], short):.2f}")
    print(f"the engine's arithmetic: about {fmas:,.0f} multiply-adds per group for the ten tests "
          f"(suite.engine.fused_operations), {fmas / (best['native1'] / groups) * 1e-9:.2f} G multiply-adds/s")
    if limit is not None:
        parts = "; ".join(f"{r['pass']} {r['seconds'] * 1e6:.2f} ({r['resource']})" for r in limit["passes"])
        print(f"the engine's bound on this machine ({limit['lanes']} lanes; probe: {roof['fma_peak_gfmas']:.1f} G "
              f"multiply-adds/s, divider {roof['div_peak_gops']:.2f} G divisions/s and {roof['sqrt_peak_gops']:.2f} "
              f"G square roots/s, fma latency {roof['fma_latency_ns']:.2f} ns): {limit['seconds'] * 1e6:.2f} us/group "
              f"= {parts}; the engine reaches {100 * limit['seconds'] / (best['native1'] / groups):.0f}% of it")
    args.out.mkdir(parents=True, exist_ok=True)
    out = args.out / ("panel-quick.json" if args.quick else "panel.json")
    out.write_text(json.dumps({
        "groups": groups, "rows": args.rows, "short_groups": short, "peer_groups": peer_groups,
        "peer_s_per_group": t_peer, "seconds": best, "fused_operations_per_group": fmas,
        "engine_bound": limit, "probe": None if roof is None else {k: v for k, v in roof.items() if k != "cases"},
        "dask_s": None if dask is None else dask["seconds"],
        "dask_sent_s": None if dask is None else dask["sent_seconds"], "python": platform.python_version(),
        "numpy": np.__version__, "date": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
    }, indent=2) + "\n")
    print(f"written {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
