"""Benchmarks of the Kestrix diagnostic kernels against plain NumPy, and
against the bounds of the machine they run on.

Run after installing the package (``make install``), from the repository root:

    .venv/bin/python -P benchmarks/bench.py            # full run, a few minutes
    .venv/bin/python -P benchmarks/bench.py --quick    # small sizes only, seconds

Everything runs in one process on one thread: the BLAS thread counts are set
to 1 before NumPy is imported, and the BLAS in use is printed.  The jobs live
in the ``suite`` package beside this script; a run has four parts.

1. Kernels against NumPy.  Every function of ``Kestrix._ckernels.diag._diag``
   is timed against what a user would otherwise run for the same statistic
   with plain NumPy: the test suite's reference formulas over fast NumPy
   primitives (``X.T @ X`` and ``np.linalg.solve`` for the fits, lagged
   products for the HAC estimator and the autocorrelations, moments by dot
   products, ``triu_indices`` gathers, ...).  Before timing, both sides run
   once on the benchmark input and must agree to 1e-8 (relative); a mismatch
   is reported loudly, the cell is not timed and the script exits with
   status 1 at the end.  Timing: the two sides run side by side, in
   alternating order, in rounds; each side's time is the median over the
   rounds, and the ratio printed is peer / ours (above 1: ours is faster).
   The number of rounds follows a time budget per cell; a cell (or a NumPy
   formulation) predicted from the previous n to take more than a few seconds
   a call at n = 10**6 is skipped and listed with its reason.
2. The machine: benchmarks/roofline.cpp, compiled here with the system g++
   against the installed headers and static libraries, measures this core's
   FMA peak for every vector width, the latency of dependent FMA, add and
   division chains, and the read bandwidth by working-set size, each beside a
   plain loop as a check.  From these figures every timed kernel at every
   size gets its bound (throughput, bandwidth or chain latency, pass by pass)
   and the fraction of it reached.
3. Call overhead: each function on tiny inputs against the bare NumPy calls
   its calling convention makes (one ``np.ascontiguousarray`` per array
   argument, one ``np.empty`` per output or scratch array); the probe also
   times each kernel natively on the same shapes, to tell the kernel's own
   work from the binding around it.
4. Output: the tables on stdout, results/latest.json, results/ratios.png
   (when matplotlib is installed) and results/performance.md, a README section.
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

HERE = Path(__file__).resolve().parent
# The suite package sits beside this script; with -P the script's directory is
# not on the path, and benchmarks/ holds no copy of the package under test.
sys.path.insert(0, str(HERE))

from suite import bounds  # noqa: E402
from suite.cases import FULL, QUICK, Inputs, moment_cells, regression_cells, series_cells, small_matrix_cells  # noqa: E402
from suite.overhead import breakdown, overhead_cases, run_overhead  # noqa: E402
from suite.probe import probe_check_lines, run_roofline  # noqa: E402
from suite.report import (blas_info, fmt_n, fmt_t, machine_info, markdown, plot, print_bounds,  # noqa: E402
                          print_table)
from suite.timing import TOL, perf, run_cell  # noqa: E402


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes only (seconds)")
    ap.add_argument("--out", type=Path, default=None,
                    help="directory for latest.json, ratios.png, performance.md "
                         "(default benchmarks/results; --quick writes *-quick files)")
    ap.add_argument("--no-probe", action="store_true", help="skip the roofline probe")
    ap.add_argument("--no-plot", action="store_true", help="do not draw the chart")
    args = ap.parse_args(argv)

    plan = QUICK if args.quick else FULL
    outdir = args.out or (HERE / "results")
    outdir.mkdir(parents=True, exist_ok=True)
    suffix = "-quick" if args.quick and args.out is None else ""
    t_start = perf()
    started = time.strftime("%Y-%m-%d %H:%M:%S %Z")

    def log(msg):
        print(msg, flush=True)

    machine = machine_info()
    blas = blas_info()
    b = blas.get("blas", {})
    log(f"Kestrix kernel benchmarks ({'quick' if args.quick else 'full'} run), {started}")
    log(f"machine: {machine['cpu']}, {machine['cores']} cores, {machine['system']}")
    log(f"python {machine['python']}, numpy {machine['numpy']}, BLAS: {b.get('name', '?')} "
        f"{b.get('version', '')} [{b.get('openblas configuration', '')}], threads: "
        + ", ".join(f"{k}={v}" for k, v in blas["threads_env"].items()))
    log("ratio = NumPy peer time / Kestrix time: above 1, Kestrix is faster")
    log("")

    cells = []
    history = {}
    for cell in small_matrix_cells(plan):
        run_cell(cell, plan, log, history)
        cells.append(cell)
    for n in plan.ns:
        t0 = perf()
        inp = Inputs(n, max(plan.ps))
        group = regression_cells(inp, plan) + series_cells(inp, plan) + moment_cells(inp, plan)
        for cell in group:
            run_cell(cell, plan, log, history)
            cells.append(cell)
        del inp, group
        gc.collect()
        log(f"[n = {fmt_n(n)} done in {perf() - t0:.1f} s]")
    log("")
    order = {name: i for i, (name, *_) in enumerate(overhead_cases())}
    cells.sort(key=lambda c: (order[c.function], c.n or 0, c.p or 0, c.L or 0))
    print_table(cells)
    log("")

    roof = {"skipped": "--no-probe"}
    if not args.no_probe and plan.probe:
        log(f"Roofline probe (n = {fmt_n(plan.probe['n'])}, {plan.probe['rounds']} rounds) ...")
        roof = run_roofline(plan.probe, log)
        if "skipped" in roof:
            log("roofline probe skipped: " + roof["skipped"])
        else:
            log(f"FMA peak, one core: {roof['fma_peak_gflops']:.1f} GFLOP/s ({roof['isa']}); "
                f"read bandwidth: {roof['read_bw_big_gbs']:.2f} GB/s "
                f"({roof['big_bytes'] / 2**20:.0f} MiB array)")
            for line in probe_check_lines(roof):
                log(line)
            log(f"{'kernel':<16} {'p':>3}  {'GFLOP/s':>8}  {'flop/B':>6}  {'BW GB/s':>7}  "
                f"{'bound':>7}  {'fraction':>8}  {'(vs big-array BW)':>17}")
            for c in roof["cases"]:
                log(f"{c['kernel']:<16} {c['p']:>3}  {c['gflops']:>8.2f}  {c['intensity']:>6.2f}  "
                    f"{c['read_bw_gbs']:>7.2f}  {c['bound_gflops']:>7.1f}  "
                    f"{100 * c['fraction']:>7.1f}%  {100 * c['fraction_big']:>16.1f}%")
            log("bound = min(FMA peak, read bandwidth on the kernel's own input x flop/byte); "
                "ksx_matmul_atb is the HAC lag product A = r[0:n-j], B = r[j:n] with B's rows "
                "assumed in cache (bytes = n p 8)")
        log("")

    n_bounded = bounds.attach([c.result for c in cells], roof)
    if n_bounded:
        log("Bounds: per kernel and size, the time the probe's figures allow (throughput, bandwidth or "
            "chain latency, pass by pass) and the fraction of it reached")
        print_bounds([c.result for c in cells], out=log)
        log("")

    log("Call overhead (n = 5, p = 2): each function against the bare NumPy calls of its "
        "calling convention")
    overhead = breakdown(run_overhead(plan, log), {t["function"]: t["seconds"] for t in roof.get("tiny", [])
                                                   if t.get("status") == 0})
    w = max(len(r["function"]) for r in overhead)
    log(f"{'function'.ljust(w)}  conv  empty  {'ours':>9}  {'bare':>9}  ratio   {'exports':>9}  "
        f"{'kernel':>9}  {'rest':>9}")
    for r in overhead:
        flag = "" if r["ratio"] <= 1.5 else "  above 1.5x"
        kn = fmt_t(r["kernel_native_s"]) if "kernel_native_s" in r else "-"
        rest = fmt_t(r["rest_s"]) if "rest_s" in r else "-"
        log(f"{r['function'].ljust(w)}  {r['conversions']:>4}  {r['allocations']:>5}  "
            f"{fmt_t(r['ours_s']):>9}  {fmt_t(r['bare_s']):>9}  {r['ratio']:.2f}x  "
            f"{fmt_t(r['buffer_export_s']):>9}  {kn:>9}  {rest:>9}{flag}")
    log("exports: one buffer export per array, measured as a memoryview; kernel: the kernel alone, "
        "native, from the probe; rest: ours - bare - exports - kernel (argument parsing, the "
        "module's np lookups, the lock's release and re-acquisition, the result objects)")
    log("")

    mismatches = [c.result for c in cells if c.result.get("mismatch")]
    report = {
        "started": started,
        "duration_s": perf() - t_start,
        "mode": "quick" if args.quick else "full",
        "machine": machine,
        "blas": blas,
        "tolerance": TOL,
        "cells": [c.result for c in cells],
        "overhead": overhead,
        "roofline": roof,
        "mismatches": mismatches,
    }
    json_path = outdir / f"latest{suffix}.json"
    json_path.write_text(json.dumps(report, indent=1, default=float))
    md_path = outdir / f"performance{suffix}.md"
    md_path.write_text(markdown(report))
    png = None if args.no_plot else plot(cells, outdir / f"ratios{suffix}.png", log)
    log(f"wrote {json_path}, {md_path}" + (f", {png}" if png else ""))
    log(f"total {perf() - t_start:.0f} s")
    if mismatches:
        log("")
        log("!" * 72)
        log(f"!!! {len(mismatches)} cell(s) where ours and the NumPy peer disagree beyond "
            f"{TOL:g}; they were not timed:")
        for r in mismatches:
            log(f"!!!   {r['function']} n={r['n']} p={r['p']} L={r['L']}: {r['mismatch']}")
        log("!" * 72)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
