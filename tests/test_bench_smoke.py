"""Smoke test of the benchmark script: the quick run finishes and prints its table.

No timing is asserted; the ratios are for people to read, not for tests.
"""

import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "benchmarks" / "bench.py"


@pytest.mark.skipif(not BENCH.exists(), reason="benchmarks/bench.py not present")
def test_quick_run_prints_a_table(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-P", str(BENCH), "--quick", "--no-probe", "--no-plot", "--out", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    out = proc.stdout
    assert "peer/ours" in out
    for name in ("bg_stat", "hac_estimator_matmul", "fill_symmetric_target_vec"):
        assert name in out
    assert "Call overhead" in out
    assert (tmp_path / "latest.json").exists()


API_OVERHEAD = BENCH.with_name("api_overhead.py")


def test_api_overhead_quick_run(tmp_path):
    proc = subprocess.run([sys.executable, "-P", str(API_OVERHEAD), "--quick", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    for name in ("breusch_godfrey", "cusum_squares", "battery: with its DataFrame", "API/kernels"):
        assert name in proc.stdout
    assert (tmp_path / "api_overhead-quick.json").exists()


def test_panel_benchmark_quick_run(tmp_path):
    script = BENCH.with_name("panel.py")
    proc = subprocess.run([sys.executable, "-P", str(script), "--groups", "30", "--rows", "40", "--peer-groups", "2",
                           "--no-dask", "--out", str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert "battery_panel, workers=2" in proc.stdout and "bare _diag kernel calls" in proc.stdout
    assert (tmp_path / "panel.json").exists()
