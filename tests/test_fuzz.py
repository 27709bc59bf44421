"""Property-based robustness of all sixteen functions, each run in a child
process so that a crash is a failed test and not a dead test run.

The cases are drawn by tests/fuzz_worker.py (see its docstring for what is
generated and checked).  The number of examples per function is 120 in the
normal run; KSX_FUZZ_EXAMPLES raises it for a long run, and KSX_FUZZ_SEED
sets the seed ("random" for a fresh one; the default is fixed, so that the
normal run is reproducible).  Two workers run at a time.  When
KSX_RELIABILITY_REPORT names a file, each worker's summary is appended to it.
"""

import concurrent.futures
import json
import os
import pathlib
import subprocess
import sys

import pytest

WORKER = pathlib.Path(__file__).with_name("fuzz_worker.py")
EXAMPLES = int(os.environ.get("KSX_FUZZ_EXAMPLES", "120"))
FUNCTIONS = [
    "bg_stat", "bp_aux", "chow_stat", "recursive_residuals", "cusum_series", "cusum_stat", "cusumsq_stat",
    "jb_stat", "acorr", "lb_stat", "hac_estimator_matmul", "fill_mean_ax0", "fill_centered_ax0",
    "wald_stat_from_mean_and_cov", "symmetric_outer_prod_2dim", "fill_symmetric_target_vec",
]
# Paths a correct run must reach, so that the fuzzing is not vacuous: some
# calls succeed (status 0, or an array returned) and some are refused.
MUST_REACH = {name: ("status 0",) for name in FUNCTIONS}
MUST_REACH.update({name: ("returned",) for name in ("hac_estimator_matmul", "fill_mean_ax0", "fill_centered_ax0")})


def _run_worker(name, tmp_dir):
    last_case = tmp_dir / f"{name}.last"
    cmd = [sys.executable, "-P", str(WORKER), name, "--examples", str(EXAMPLES), "--last-case", str(last_case)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=900, env=os.environ.copy())
    return proc, last_case


@pytest.fixture(scope="module")
def fuzz_runs(request, tmp_path_factory):
    """Starts the workers of every selected function, two at a time."""
    selected = [item.callspec.params["name"] for item in request.session.items
                if item.module is request.module and hasattr(item, "callspec")]
    tmp_dir = tmp_path_factory.mktemp("fuzz")
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)
    futures = {name: pool.submit(_run_worker, name, tmp_dir) for name in selected}
    yield futures
    pool.shutdown(wait=True, cancel_futures=True)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_fuzz_function(name, fuzz_runs):
    proc, last_case = fuzz_runs[name].result()
    if proc.returncode != 0:
        case = last_case.read_text() if last_case.exists() else "(none recorded)"
        how = f"killed by signal {-proc.returncode}" if proc.returncode < 0 else f"exit status {proc.returncode}"
        pytest.fail(f"{name}: worker {how}\nlast case: {case}\nstdout:\n{proc.stdout[-6000:]}\n"
                    f"stderr:\n{proc.stderr[-12000:]}", pytrace=False)
    summary = json.loads(proc.stdout.strip().splitlines()[-1])
    report = os.environ.get("KSX_RELIABILITY_REPORT")
    if report:
        with open(report, "a") as fh:
            fh.write(json.dumps({"test": "fuzz", **summary}, sort_keys=True) + "\n")
    assert summary["cases"] >= EXAMPLES, summary
    for path in MUST_REACH[name]:
        assert summary.get(path, 0) > 0, f"{name}: no case reached {path!r}: {summary}"
    assert any(key.startswith("raised ") for key in summary), f"{name}: no case was refused: {summary}"
