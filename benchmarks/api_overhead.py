"""What the Python API costs on top of its kernels: ``Kestrix.diagnostics`` against ``_diag``.

Run after installing the package (``make install``), from the repository root:

    .venv/bin/python -P benchmarks/api_overhead.py            # n = 200, p = 3
    .venv/bin/python -P benchmarks/api_overhead.py --quick    # fewer rounds

For every test of the battery, the public function given a fitted model
(``kd.ols``) is timed side by side with the kernel call(s) it makes, in
alternating rounds in one process; each time is the median over the rounds
and the ratio printed is API / kernels (1 would be no overhead at all).  The
fit's cached recursive residuals are dropped before every call of the three
tests that share them, so each call pays its kernel.  The battery is timed
twice: the work (every test, p-values, results) and the whole call, which
adds the pandas DataFrame it returns.  No threshold is applied here or in the
tests: the figures are for people to read.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path
from typing import Any, Callable

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import numpy as np  # noqa: E402

import Kestrix.diagnostics as kd  # noqa: E402
from Kestrix._ckernels.diag import _diag  # noqa: E402
from Kestrix.diagnostics import _battery  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results"


def data(n: int, p: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    return X @ np.linspace(1.0, 2.0, p) + rng.standard_normal(n), X


def fresh(fit: kd.OLSFit) -> kd.OLSFit:
    """The fit without its cached recursive residuals, so the next test pays the kernel."""
    fit.__dict__.pop("recursive", None)
    return fit


def cases(fit: kd.OLSFit, lags: int) -> dict[str, tuple[Callable[[], Any], Callable[[], Any]]]:
    """For each test: the API call, and the kernel calls it makes."""
    y, X, e = fit.y, fit.X, fit.resid
    n = fit.nobs
    Xn = fit.non_constant_X
    aux = fit.variance_design
    scores = X * e[:, None]
    slopes = list(fit.slopes)
    mean = np.ascontiguousarray(fit.coef[slopes])
    target = np.zeros(len(slopes))
    omega = np.eye(len(slopes))

    white_aux = np.ascontiguousarray(np.column_stack([np.ones(n), Xn, _diag.symmetric_outer_prod_2dim(Xn)[1]]))
    e_tail = np.ascontiguousarray(e[lags:])
    arch_aux = np.column_stack([np.ones(n - lags)] + [(e * e)[lags - k:n - k] for k in range(1, lags + 1)])

    def white_kernels() -> None:
        _diag.symmetric_outer_prod_2dim(Xn)
        _diag.bp_aux(e, white_aux)

    def wald_kernels() -> None:
        centred = _diag.fill_centered_ax0(scores, _diag.fill_mean_ax0(scores))
        _diag.hac_estimator_matmul(centred, 0, kd.default_bandwidth(n))
        _diag.wald_stat_from_mean_and_cov(mean, target, omega, n)

    return {
        "breusch_godfrey": (lambda: kd.breusch_godfrey(fit, lags=lags), lambda: _diag.bg_stat(e, Xn, lags)),
        "breusch_pagan": (lambda: kd.breusch_pagan(fit), lambda: _diag.bp_aux(e, aux)),
        "chow": (lambda: kd.chow(fit, position=n // 2), lambda: _diag.chow_stat(y, X, n // 2)),
        "recursive_residuals": (lambda: kd.recursive_residuals(fresh(fit)), lambda: _diag.recursive_residuals(y, X)),
        "cusum": (lambda: kd.cusum(fresh(fit)), lambda: _diag.recursive_residuals(y, X)),
        "cusum_squares": (lambda: kd.cusum_squares(fresh(fit)), lambda: _diag.recursive_residuals(y, X)),
        "ljung_box": (lambda: kd.ljung_box(e, lags=lags), lambda: _diag.lb_stat(e, lags)),
        "jarque_bera": (lambda: kd.jarque_bera(e), lambda: _diag.jb_stat(e)),
        "wald_coefficients": (lambda: kd.wald_coefficients(fit), wald_kernels),
        "box_pierce": (lambda: kd.box_pierce(e, lags=lags), lambda: _diag.acorr(e, lags)),
        "white": (lambda: kd.white(fit), white_kernels),
        "arch_lm": (lambda: kd.arch_lm(e, lags=lags), lambda: _diag.bp_aux(e_tail, arch_aux)),
    }


def battery_kernels(fit: kd.OLSFit, lags: int) -> Callable[[], None]:
    """The kernel calls of one battery: each test's kernels once, the shared ones once."""
    calls = cases(fit, lags)
    # Durbin-Watson and RESET call no kernel; both Breusch-Godfrey forms share one.
    parts = [calls[name][1] for name in ("breusch_godfrey", "breusch_pagan", "chow", "recursive_residuals",
                                         "ljung_box", "jarque_bera", "wald_coefficients", "box_pierce", "white",
                                         "arch_lm")]

    def run() -> None:
        for part in parts:
            part()
    return run


def per_call(fn: Callable[[], Any], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def side_by_side(a: Callable[[], Any], b: Callable[[], Any], rounds: int, number: int) -> tuple[float, float]:
    """Medians of a and b per call, measured in alternating rounds."""
    a(), b()
    ta, tb = [], []
    for r in range(rounds):
        first, second = (a, b) if r % 2 == 0 else (b, a)
        t1, t2 = per_call(first, number), per_call(second, number)
        ta.append(t1 if first is a else t2)
        tb.append(t2 if first is a else t1)
    return statistics.median(ta), statistics.median(tb)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200)
    parser.add_argument("--p", type=int, default=3)
    parser.add_argument("--lags", type=int, default=4)
    parser.add_argument("--quick", action="store_true", help="fewer rounds (a few seconds)")
    parser.add_argument("--out", type=Path, default=RESULTS, help="folder for api_overhead.json")
    args = parser.parse_args(argv)
    rounds, number = (5, 200) if args.quick else (21, 1000)

    y, X = data(args.n, args.p)
    fit = kd.ols(y, X)
    rows = []
    for name, (api, kernels) in cases(fit, args.lags).items():
        t_api, t_kernel = side_by_side(api, kernels, rounds, number)
        rows.append({"test": name, "api_s": t_api, "kernels_s": t_kernel, "ratio": t_api / t_kernel})

    everything = battery_kernels(fit, args.lags)
    work = lambda: _battery.run_tests(fresh(fit), kd.TESTS, kd.Options(lags=args.lags))  # noqa: E731
    whole = lambda: kd.battery(fresh(fit), lags=args.lags)  # noqa: E731
    t_work, t_sum = side_by_side(work, everything, rounds, number // 4)
    t_whole, t_sum2 = side_by_side(whole, everything, rounds, number // 4)
    rows.append({"test": "battery: the tests", "api_s": t_work, "kernels_s": t_sum, "ratio": t_work / t_sum})
    rows.append({"test": "battery: with its DataFrame", "api_s": t_whole, "kernels_s": t_sum2,
                 "ratio": t_whole / t_sum2})
    t_fit = per_call(lambda: kd.ols(y, X), number)

    print(f"API overhead at n = {args.n}, p = {args.p}, lags = {args.lags} "
          f"({platform.processor() or platform.machine()}, Python {platform.python_version()}, "
          f"NumPy {np.__version__}); medians of {rounds} alternating rounds")
    print(f"{'test':32} {'API':>10} {'kernels':>10} {'API/kernels':>12}")
    for row in rows:
        print(f"{row['test']:32} {row['api_s'] * 1e6:8.2f} us {row['kernels_s'] * 1e6:8.2f} us {row['ratio']:12.2f}")
    print(f"kd.ols itself (the fit every test above was given): {t_fit * 1e6:.1f} us")
    args.out.mkdir(parents=True, exist_ok=True)
    out = args.out / ("api_overhead-quick.json" if args.quick else "api_overhead.json")
    out.write_text(json.dumps({
        "n": args.n, "p": args.p, "lags": args.lags, "rounds": rounds, "calls_per_round": number,
        "python": platform.python_version(), "numpy": np.__version__, "machine": platform.machine(),
        "ols_s": t_fit, "rows": rows, "date": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
    }, indent=2) + "\n")
    print(f"written {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
