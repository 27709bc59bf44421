"""What the Python API costs on top of the battery engine, and ``kd.battery`` in its parts.

Run after installing the package (``make install``), from the repository root:

    .venv/bin/python -P benchmarks/api_overhead.py            # n = 200, p = 4
    .venv/bin/python -P benchmarks/api_overhead.py --quick    # fewer rounds
    .venv/bin/python -P benchmarks/api_overhead.py --baseline DIR   # beside the package installed in DIR

For every test, the public function given a fitted model (``kd.ols``) is
timed side by side with the engine call that computes its statistic alone
(``_engine.run`` on prepared arrays), in alternating rounds in one process;
each time is the median over the rounds, and the ratio printed is API /
engine (1 would be no overhead at all).  The fit's cached recursive
residuals are dropped before every call of the three tests that share them,
so each call pays for them.  Then ``kd.battery(y, X)`` with its DataFrame,
and its parts: the input checks, its one engine call (the fit and every
test), the p-values and words, the DataFrame; each part timed alone, in a
loop of its own, where the caches are warmer than in the whole call (the
rest is what is left over); with ``--baseline DIR`` also ``kd.battery`` of the
package installed in DIR (``pip install --target DIR`` of an earlier
version), timed in a child interpreter in the same run.  No threshold is
applied here or in the tests: the figures are for people to read.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import numpy as np  # noqa: E402

import Kestrix.diagnostics as kd  # noqa: E402
from Kestrix.diagnostics import _battery, _engine, _fit, _table  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results"

# Made in the parent and in a child running another version of the package alike.
DATA = ("import numpy as np\n"
        "def data(n, p, seed=0):\n"
        "    rng = np.random.default_rng(seed)\n"
        "    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])\n"
        "    return X @ np.linspace(1.0, 2.0, p) + rng.standard_normal(n), X\n")
exec(DATA)


def fresh(fit: kd.OLSFit) -> kd.OLSFit:
    """The fit without its cached recursive residuals, so the next test pays for them."""
    fit.__dict__.pop("recursive", None)
    return fit


def cases(fit: kd.OLSFit, lags: int) -> dict[str, tuple[Callable[[], Any], Callable[[], Any]]]:
    """For each test: the public call on a fit, and the engine call that computes its statistic alone."""
    y, X = np.ascontiguousarray(fit.y), np.ascontiguousarray(fit.X)
    e = np.ascontiguousarray(fit.resid)
    n = fit.nobs
    starts = np.array([0, n], dtype=np.int64)
    empty = np.empty((n, 0))
    options = kd.Options(lags=lags)

    def engine(name: str, series: bool = False, **wanted: bool) -> Callable[[], Any]:
        args = (e, empty) if series else (y, X)
        engine_options = _engine.options_tuple((name,), options, n // 2)
        return lambda: _engine.run(args[0], args[1], starts, engine_options, **wanted)

    return {
        "breusch_godfrey": (lambda: kd.breusch_godfrey(fit, lags=lags), engine("breusch_godfrey")),
        "breusch_pagan": (lambda: kd.breusch_pagan(fit), engine("breusch_pagan")),
        "chow": (lambda: kd.chow(fit, position=n // 2), engine("chow")),
        "recursive_residuals": (lambda: kd.recursive_residuals(fresh(fit)),
                                engine("recursive_residuals", recursive=True)),
        "cusum": (lambda: kd.cusum(fresh(fit)), engine("cusum", recursive=True)),
        "cusum_squares": (lambda: kd.cusum_squares(fresh(fit)), engine("cusum_squares", recursive=True)),
        "ljung_box": (lambda: kd.ljung_box(e, lags=lags), engine("ljung_box", series=True)),
        "jarque_bera": (lambda: kd.jarque_bera(e), engine("jarque_bera", series=True)),
        "wald_coefficients": (lambda: kd.wald_coefficients(fit), engine("wald", fit=True, coef_hac=True)),
        "box_pierce": (lambda: kd.box_pierce(e, lags=lags), engine("box_pierce", series=True)),
        "white": (lambda: kd.white(fit), engine("white")),
        "arch_lm": (lambda: kd.arch_lm(e, lags=lags), engine("arch_lm", series=True)),
    }


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


def baseline_battery(baseline: str, n: int, p: int, lags: int, rounds: int, number: int) -> float:
    """kd.battery(y, X) by the package installed in ``baseline``, in a child interpreter; seconds per call."""
    code = (DATA + "import sys, time, statistics\n"
            "sys.path.insert(0, sys.argv[1])\n"
            "import Kestrix.diagnostics as kd\n"
            "assert kd.__file__.startswith(sys.argv[1]), kd.__file__\n"
            "n, p, lags, rounds, number = map(int, sys.argv[2:7])\n"
            "y, X = data(n, p)\n"
            "kd.battery(y, X, lags=lags)\n"
            "ts = []\n"
            "for _ in range(rounds):\n"
            "    t = time.perf_counter()\n"
            "    for _ in range(number):\n"
            "        kd.battery(y, X, lags=lags)\n"
            "    ts.append((time.perf_counter() - t) / number)\n"
            "print(statistics.median(ts))\n")
    proc = subprocess.run([sys.executable, "-P", "-c", code, baseline, str(n), str(p), str(lags), str(rounds),
                           str(number)], capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=""),
                          timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError("the baseline run failed: " + proc.stderr[-1500:])
    return float(proc.stdout.split()[-1])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200)
    parser.add_argument("--p", type=int, default=4)
    parser.add_argument("--lags", type=int, default=4)
    parser.add_argument("--quick", action="store_true", help="fewer rounds (a few seconds)")
    parser.add_argument("--baseline", type=str, default=None,
                        help="a folder holding an earlier version of the package (pip install --target)")
    parser.add_argument("--out", type=Path, default=RESULTS, help="folder for api_overhead.json")
    args = parser.parse_args(argv)
    rounds, number = (5, 100) if args.quick else (15, 400)

    y, X = data(args.n, args.p)  # type: ignore[name-defined]  # noqa: F821 - defined by exec(DATA)
    fit = kd.ols(y, X)
    rows = []
    for name, (api, engine) in cases(fit, args.lags).items():
        t_api, t_engine = side_by_side(api, engine, rounds, number)
        rows.append({"test": name, "api_s": t_api, "engine_s": t_engine, "ratio": t_api / t_engine})

    # kd.battery(y, X) with its DataFrame, and its parts.
    names = kd.TESTS
    options = kd.Options(lags=args.lags)
    starts = np.array([0, args.n], dtype=np.int64)
    engine_options = _engine.options_tuple(names, options, args.n // 2)
    one = _battery.fit_rows(fit, names, options)[1]
    made = _table.rows(one, names, options, _battery.groups_of(fit))
    parts = {
        "the input checks": lambda: _fit.prepare(y, X),
        "the engine call (the fit, every test)": lambda: _engine.run(fit.y, fit.X, starts, engine_options, fit=True,
                                                                     rows=True),
        "p-values and words": lambda: _table.rows(one, names, options, _battery.groups_of(fit)),
        "the DataFrame": lambda: _table.frame(made.columns, _battery._index(names)),
    }
    whole = lambda: kd.battery(y, X, lags=args.lags)  # noqa: E731
    t_whole = side_by_side(whole, parts["the input checks"], rounds, number // 4)[0]
    t_parts = {name: side_by_side(fn, whole, rounds, number // 4)[0] for name, fn in parts.items()}
    t_base = baseline_battery(args.baseline, args.n, args.p, args.lags, rounds, number // 4) if args.baseline \
        else None

    print(f"API overhead at n = {args.n}, p = {args.p}, lags = {args.lags} "
          f"({platform.processor() or platform.machine()}, Python {platform.python_version()}, "
          f"NumPy {np.__version__}); medians of {rounds} alternating rounds")
    print(f"{'test (given a fit)':32} {'API':>11} {'engine':>11} {'API/engine':>11}")
    for row in rows:
        print(f"{row['test']:32} {row['api_s'] * 1e6:8.2f} us {row['engine_s'] * 1e6:8.2f} us "
              f"{row['ratio']:11.2f}")
    print(f"kd.battery(y, X), the default battery with its DataFrame: {t_whole * 1e6:.1f} us"
          + ("" if t_base is None else
             f"; the code it replaced (--baseline): {t_base * 1e6:.1f} us, {t_base / t_whole:.1f}x the time"))
    for name, seconds in t_parts.items():
        print(f"  {name:38} {seconds * 1e6:8.1f} us")
    print(f"  {'the rest (options, the fit object)':38} {(t_whole - sum(t_parts.values())) * 1e6:8.1f} us")
    args.out.mkdir(parents=True, exist_ok=True)
    out = args.out / ("api_overhead-quick.json" if args.quick else "api_overhead.json")
    out.write_text(json.dumps({
        "n": args.n, "p": args.p, "lags": args.lags, "rounds": rounds, "calls_per_round": number,
        "python": platform.python_version(), "numpy": np.__version__, "machine": platform.machine(),
        "rows": rows, "battery_s": t_whole, "battery_parts_s": t_parts, "baseline_battery_s": t_base,
        "date": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
    }, indent=2) + "\n")
    print(f"written {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
