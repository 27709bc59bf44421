"""Scale runs end to end: time and peak resident memory of the panel battery on large panels.

Run after installing the package (``make install``), from the repository root:

    .venv/bin/python -P benchmarks/scale.py            # 1,000,000 x 50 from pandas; 100,000 x 200 from CSV
    .venv/bin/python -P benchmarks/scale.py --quick    # a tenth of each

Two runs, each in a fresh child process so that its peak resident memory is
its own (``ru_maxrss``):

* from pandas: a frame of G groups x 50 rows (a group key and four float
  columns) made in the child, then ``kd.battery_panel`` on it with
  ``workers=1``;
* from a CSV file through the command line: a file of G groups x 200 rows
  written first, then ``kestrix-diag FILE --by firm --y ret --x mkt,smb,hml
  --out results.csv --workers 1``.

Printed per run: the time of the battery (the pandas run) or of the whole
command (reading the file and writing the table included), the peak
resident memory and its ratio to the size of the input frame (pandas'
``memory_usage(deep=True)`` of the frame, or of the CSV as read).  No
threshold is applied here or in the tests.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"
SUITE = str(Path(__file__).resolve().parent)

FROM_PANDAS = """
import json, resource, sys, time
sys.path.insert(0, sys.argv[1])
from suite.frames import synthetic
import Kestrix.diagnostics as kd
frame = synthetic(int(sys.argv[2]), int(sys.argv[3]))
size = int(frame.memory_usage(deep=True).sum())
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
t = time.perf_counter()
table = kd.battery_panel(frame, "firm", "ret", ["mkt", "smb", "hml"], workers=1, progress=False)
seconds = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"seconds": seconds, "input_bytes": size, "peak_bytes": peak, "before_bytes": before,
                  "table_rows": len(table)}))
"""

WRITE_CSV = """
import sys
sys.path.insert(0, sys.argv[1])
from suite.frames import synthetic
synthetic(int(sys.argv[2]), int(sys.argv[3]), seed=2).to_csv(sys.argv[4], index=False, float_format="%.17g")
"""


# Runs a command as its only child and prints the child's peak resident memory (bytes).
PEAK_OF = """
import os, resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def from_pandas(groups: int, rows: int) -> dict:
    proc = subprocess.run([sys.executable, "-P", "-c", FROM_PANDAS, SUITE, str(groups), str(rows)],
                          capture_output=True, text=True, timeout=7200)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return json.loads(proc.stdout.splitlines()[-1])


def from_csv(groups: int, rows: int, folder: str) -> dict:
    data, out = os.path.join(folder, "panel.csv"), os.path.join(folder, "results.csv")
    subprocess.run([sys.executable, "-P", "-c", WRITE_CSV, SUITE, str(groups), str(rows), data], check=True,
                   timeout=7200)
    # The input frame as the command reads it: the CSV's five numeric columns.
    size = groups * rows * 5 * 8
    command = [os.path.join(os.path.dirname(sys.executable), "kestrix-diag"), data, "--by", "firm", "--y", "ret",
               "--x", "mkt,smb,hml", "--out", out, "--workers", "1"]
    t = time.perf_counter()
    proc = subprocess.run([sys.executable, "-P", "-c", PEAK_OF, *command], capture_output=True, text=True,
                          timeout=7200)
    seconds = time.perf_counter() - t
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    peak = int(proc.stdout.split()[-1])
    return {"seconds": seconds, "input_bytes": size, "peak_bytes": peak, "file_bytes": os.path.getsize(data)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pandas-groups", type=int, default=None)
    parser.add_argument("--csv-groups", type=int, default=None)
    parser.add_argument("--quick", action="store_true", help="a tenth of each")
    parser.add_argument("--out", type=Path, default=RESULTS)
    args = parser.parse_args(argv)
    g_pandas = args.pandas_groups or (100_000 if args.quick else 1_000_000)
    g_csv = args.csv_groups or (10_000 if args.quick else 100_000)

    pandas_run = from_pandas(g_pandas, 50)
    with tempfile.TemporaryDirectory(prefix="ksx-scale-") as folder:
        csv_run = from_csv(g_csv, 200, folder)

    print(f"Scale runs ({platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}), "
          "workers=1, the default battery")
    mb = 1e6
    for name, run, groups, rows in (("from pandas", pandas_run, g_pandas, 50),
                                    ("from CSV, through kestrix-diag", csv_run, g_csv, 200)):
        peak = run["peak_bytes"]
        peak_text = "n/a" if peak is None else f"{peak / mb:,.0f} MB = {peak / run['input_bytes']:.2f}x the input"
        print(f"{name:32} {groups:>9,} groups x {rows} rows: {run['seconds']:7.1f} s "
              f"({run['seconds'] / groups * 1e6:.1f} us/group); input frame {run['input_bytes'] / mb:,.0f} MB; "
              f"peak resident {peak_text}")
    args.out.mkdir(parents=True, exist_ok=True)
    out = args.out / ("scale-quick.json" if args.quick else "scale.json")
    out.write_text(json.dumps({"pandas": {"groups": g_pandas, "rows": 50, **pandas_run},
                               "csv": {"groups": g_csv, "rows": 200, **csv_run},
                               "python": platform.python_version(),
                               "date": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())}, indent=2) + "\n")
    print(f"written {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
