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
    for name in ("breusch_godfrey", "cusum_squares", "kd.battery(y, X)", "API/engine", "the engine call (the fit, every test)"):
        assert name in proc.stdout
    assert (tmp_path / "api_overhead-quick.json").exists()


def test_panel_benchmark_quick_run(tmp_path):
    script = BENCH.with_name("panel.py")
    proc = subprocess.run([sys.executable, "-P", str(script), "--groups", "30", "--rows", "40", "--peer-groups", "2",
                           "--short-groups", "50", "--repeat", "1", "--no-dask", "--no-probe", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    for words in ("battery_panel, workers=2", "battery engine alone (C++), 2 threads", "which bound two workers at",
                  "short groups"):
        assert words in proc.stdout
    assert (tmp_path / "panel.json").exists()


def _suite():
    sys.path.insert(0, str(BENCH.parent))
    try:
        from suite import bounds, overhead
    finally:
        sys.path.remove(str(BENCH.parent))
    return bounds, overhead


def test_every_function_has_an_overhead_case_and_a_bound_model():
    from Kestrix._ckernels.diag import _diag

    bounds, overhead = _suite()
    names = [name for name, *_ in overhead.overhead_cases()]
    public = sorted(n for n in dir(_diag) if callable(getattr(_diag, n)) and not n.startswith("_")
                    and n != "np")
    assert sorted(names) == public
    for name in names:
        assert callable(getattr(overhead, "bare_" + name))
        if name in ("wald_stat_from_mean_and_cov", "fill_symmetric_target_vec"):
            assert bounds.passes(name, None, 10, None) is None  # a p-by-p matrix, no length
            continue
        passes, footprint = bounds.passes(name, 10_000, 10, 4)
        assert footprint > 0 and passes
        assert all(p.ops >= 0 and p.bytes >= 0 for p in passes)


ROOF = {"fma_peak_gfmas": 10.0, "fma_latency_ns": 1.0, "add_latency_ns": 1.0, "div_latency_ns": 4.0,
        "read_bw_by_size": [{"bytes": 2.0**14, "gbs": 100.0}, {"bytes": 2.0**22, "gbs": 50.0}],
        "big_bytes": 2.0**30, "read_bw_big_gbs": 10.0, "fresh_write_gbs": 5.0,
        "fresh_write_huge_gbs": 8.0}


@pytest.mark.parametrize("footprint, gbs", [(1, 100.0), (2**14, 100.0), (2**18, 75.0), (2**22, 50.0),
                                            (2**26, 30.0), (2**30, 10.0), (2**40, 10.0)])
def test_bandwidth_interpolates_the_probed_sizes_in_log_size(footprint, gbs):
    bounds, _ = _suite()
    assert bounds.Machine(ROOF).bandwidth(footprint) == pytest.approx(gbs * 1e9, rel=1e-12)


def bandwidth_at(footprint):
    # 16 MB lies between the probed 4 MiB (50 GB/s) and 1 GiB (10 GB/s)
    import math

    return (50.0 + math.log(footprint / 2**22) / math.log(2**8) * (10.0 - 50.0)) * 1e9


@pytest.mark.parametrize("function, n, p, L, resource, seconds", [
    # one series, 1e4 rows: the mean's add chain, the centring's FMA chain, one batch of 8 lag chains
    ("acorr", 10_000, None, 8, "latency", 3 * 10_000 * 1e-9),
    # 40 lags: the two chains as before, then 4e5 multiply-adds at 10 G/s outlast three batches of chains
    ("acorr", 10_000, None, 40, "throughput", 2 * 10_000 * 1e-9 + 40 * 10_000 / 10e9),
    # 1e4 x 3 column sums: the 1e4-add chain outlasts 240 kB at 50 GB/s
    ("fill_mean_ax0", 10_000, 3, None, "latency", 10_000 * 1e-9),
    # 16384 x 32: 4 MiB at 50 GB/s
    ("fill_mean_ax0", 16_384, 32, None, "bandwidth", 2**22 / 50e9),
    ("fill_centered_ax0", 1024, 1, None, "bandwidth", 2**14 / 100e9),
    # an 8 MB output is reused by the allocator; an 80 MB one is written afresh, at the rate of
    # NumPy's arrays (8 GB/s), not of a kernel's arena (5 GB/s)
    ("fill_centered_ax0", 100_000, 10, None, "bandwidth", 16e6 / bandwidth_at(16e6)),
    ("fill_centered_ax0", 1_000_000, 10, None, "bandwidth", 8e7 / bandwidth_at(1.6e8) + 8e7 / 8e9),
])
def test_bound_is_the_sum_of_each_pass_limit(function, n, p, L, resource, seconds):
    bounds, _ = _suite()
    b = bounds.Machine(ROOF).bound(function, n, p, L)
    assert b["resource"] == resource
    assert b["seconds"] == pytest.approx(seconds, rel=1e-12)


ENGINE_ROOF = {"isa": "avx512 fma", "fma_peak_gfmas": 10.0, "fma_latency_ns": 1.0, "add_latency_ns": 1.0,
               "div_latency_ns": 4.0, "div_peak_gops": 1.0, "sqrt_peak_gops": 1.0, "div_sqrt_peak_gops": 1.0}


def test_engine_bound_takes_each_pass_at_its_slowest_limit():
    sys.path.insert(0, str(BENCH.parent))
    try:
        from suite import engine
    finally:
        sys.path.remove(str(BENCH.parent))
    b = engine.bound(ENGINE_ROOF, 200, 4)
    recursion = next(r for r in b["passes"] if r["pass"] == "recursion")
    # 200 rows, 5 divisions and 5 square roots a row, sharing a divider of 1 G/s: 2 us, beyond the
    # 4,800 multiply-adds at 10 G/s (0.48 us) and 200 steps of an fma and a square root over 8 lanes
    assert recursion["resource"] == "divider"
    assert recursion["seconds"] == pytest.approx(2000e-9, rel=1e-12)
    assert recursion["limits"]["multiply-adds"] == pytest.approx(480e-9, rel=1e-12)
    assert recursion["limits"]["latency"] == pytest.approx(200 * 5e-9 / 8, rel=1e-12)
    assert b["seconds"] == pytest.approx(sum(r["seconds"] for r in b["passes"]), rel=1e-12)
    fmas = engine.fused_operations(200, 4)
    assert fmas["total"] == pytest.approx(sum(p.fmas for p in engine.passes(200, 4)), rel=1e-12)
    # A machine twice as fast in every respect: half the bound; four lanes instead of eight: no less
    faster = {k: (v * 2 if k.endswith("gfmas") or k.endswith("gops") else v / 2 if k.endswith("ns") else v)
              for k, v in ENGINE_ROOF.items()}
    assert engine.bound(faster, 200, 4)["seconds"] == pytest.approx(b["seconds"] / 2, rel=1e-12)
    assert engine.bound({**ENGINE_ROOF, "isa": "avx2 fma"}, 200, 4)["seconds"] >= b["seconds"]
    # Reading 1,000 groups of 200 x (y + 3 regressors): 6.4 MB, at the 4 MiB figure of ROOF (50 GB/s) and beyond
    loaded = engine.bound({**ENGINE_ROOF, **ROOF}, 200, 4, groups=1000)
    load = loaded["passes"][0]
    assert (load["pass"], load["resource"]) == ("load", "bandwidth")
    bounds, _ = _suite()
    assert load["seconds"] == pytest.approx(6400 / bounds.Machine(ROOF).bandwidth(6.4e6), rel=1e-12)
    unloaded = engine.bound({**ENGINE_ROOF, **ROOF}, 200, 4)["seconds"]
    assert loaded["seconds"] == pytest.approx(load["seconds"] + unloaded, rel=1e-12)


def test_quick_run_with_the_probe_bounds_every_kernel_of_a_length(tmp_path):
    proc = subprocess.run([sys.executable, "-P", str(BENCH), "--quick", "--no-plot", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    import json

    report = json.loads((tmp_path / "latest.json").read_text())
    if "skipped" in report["roofline"]:
        pytest.skip("probe not built here: " + report["roofline"]["skipped"][:200])
    timed = [c for c in report["cells"] if c.get("n") and c.get("ours_s")]
    assert timed and all(c["bound_s"] > 0 and c["bound_fraction"] > 0 for c in timed)
    assert "Bounds: per kernel and size" in proc.stdout
    assert all("rest_s" in r for r in report["overhead"])


def test_accuracy_quick_run_prints_the_table(tmp_path):
    import json

    script = BENCH.with_name("accuracy.py")
    proc = subprocess.run([sys.executable, "-P", str(script), "--quick", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    out = proc.stdout
    assert "statistic" in out and "NumPy QR" in out
    for name in ("longley", "co2 first 300 weeks", "7 rows p=3", "breusch_godfrey", "sup_f_path", "hac_qs"):
        assert name in out
    report = json.loads((tmp_path / "accuracy-quick.json").read_text())
    designs = {row["design"] for row in report["rows"]}
    assert "longley" in designs and len(report["rows"]) > 100
    assert all(row["engine_error"] is None or row["engine_error"] >= 0 for row in report["rows"])
