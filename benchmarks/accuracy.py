"""Accuracy of every statistic of the battery against a 50-digit oracle: the full table.

Run after installing the package, from the repository root:

    .venv/bin/python -P benchmarks/accuracy.py           # about half a minute
    .venv/bin/python -P benchmarks/accuracy.py --quick   # a few small designs

For each design (the test suite's, plus larger polynomial designs; the
weekly CO2 regression at full length) and each statistic it prints the
largest equilibrated condition number of the designs the statistic solves,
the relative error of the engine and that of a NumPy formulation by
numpy.linalg.qr, both against the mpmath oracle of ``tests/accuracy_oracle.py``,
and flags: ">1e-9" where the designs are well conditioned (below 1e6) and the
engine misses 1e-9, "worse" where the engine is less accurate than the NumPy
peer (beyond ten times the larger of the peer's error and κ·eps, and above
1e-12).  The table goes to ``benchmarks/results/accuracy.json`` (``--quick``:
``accuracy-quick.json``).
"""

from __future__ import annotations

import argparse
import json
import math
import platform
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import accuracy_oracle as A  # noqa: E402


def _fmt(x: float) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "n/a"
    return f"{x:.2e}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few small designs")
    parser.add_argument("--out", type=Path, default=ROOT / "benchmarks" / "results", help="directory of the JSON")
    args = parser.parse_args(argv)

    import mpmath
    import numpy as np

    import Kestrix.diagnostics as kd

    cases = A.report_cases(quick=args.quick)
    started = time.perf_counter()
    measured = A.measure_all(cases)
    seconds = time.perf_counter() - started

    header = f"{'design':<24} {'n':>5} {'p':>2}  {'statistic':<26} {'cond':>9}  {'engine':>9}  {'NumPy QR':>9}  flags"
    print(f"Accuracy against a {A.DPS}-digit mpmath oracle (relative errors; see tests/accuracy_oracle.py)")
    print(header)
    print("-" * len(header))
    rows = []
    for m in measured:
        for r in m.rows:
            flags = []
            if r["cond"] < A.WELL_CONDITIONED and not r["engine_error"] <= A.TOLERANCE:
                flags.append(">1e-9")
            if not r["engine_error"] <= A.peer_bound(r["numpy_error"], r["cond"]):
                flags.append("worse")
            if r["statistic"] == "recursive" and m.engine["start"] != m.oracle.values["start"]:
                flags.append(f"(first recursive residual at row {m.engine['start']}, the oracle's at "
                             f"{m.oracle.values['start']})")
            rows.append({**r, "n": m.case.n, "p": m.case.p, "flags": flags})
            print(f"{m.case.name:<24} {m.case.n:>5} {m.case.p:>2}  {r['statistic']:<26} {_fmt(r['cond']):>9}  "
                  f"{_fmt(r['engine_error']):>9}  {_fmt(r['numpy_error']):>9}  {' '.join(flags)}")
        print()
    flagged = [r for r in rows if r["flags"]]
    print(f"{len(rows)} statistics on {len(measured)} designs in {seconds:.1f} s; "
          f"{sum('>1e-9' in r['flags'] for r in rows)} miss 1e-9 on well-conditioned designs, "
          f"{sum('worse' in r['flags'] for r in rows)} are less accurate than NumPy QR")
    for r in flagged:
        print(f"  {r['design']}: {r['statistic']} ({', '.join(r['flags'])}): engine {_fmt(r['engine_error'])}, "
              f"NumPy {_fmt(r['numpy_error'])}, cond {_fmt(r['cond'])}")

    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / ("accuracy-quick.json" if args.quick else "accuracy.json")
    report = {
        "oracle_digits": A.DPS, "guard_digits": A.GUARD, "tolerance": A.TOLERANCE,
        "well_conditioned_below": A.WELL_CONDITIONED, "factor": A.FACTOR, "floor": A.FLOOR,
        "kestrix": kd.__version__, "numpy": np.__version__, "mpmath": mpmath.__version__,
        "python": platform.python_version(), "machine": platform.machine(), "seconds": round(seconds, 2),
        # An error that is not finite (no number from the engine where the oracle has one, or recursive
        # residuals from another row on) is null.
        "rows": [{k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in r.items()}
                 for r in rows],
    }
    path.write_text(json.dumps(report, indent=1, default=float, allow_nan=False) + "\n")
    print(f"written to {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
