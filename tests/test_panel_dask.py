"""The panel battery on Dask: the same table, bit for bit, as in one process.

The cluster listens on the loopback interface only, starts and stops inside
this module, and every wait on it is bounded.
"""

import subprocess
import sys
import time

import numpy as np
import pytest

import Kestrix.diagnostics as kd

from test_panel import long_panel

pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from Kestrix.diagnostics import dask as kdd  # noqa: E402

X = ["mkt", "smb", "hml"]


def test_importing_the_api_does_not_import_dask(tmp_path):
    code = "import sys, Kestrix.diagnostics; sys.exit('dask' in sys.modules or 'distributed' in sys.modules)"
    assert subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, timeout=120).returncode == 0


@pytest.mark.parametrize("scheduler", ["sync", "threads"])
@pytest.mark.parametrize("npartitions", [1, 7])
def test_local_schedulers_give_the_in_process_table(scheduler, npartitions):
    frame = long_panel(groups=90, seed=11)
    expected = kd.battery_panel(frame, "firm", "ret", X, workers=1, lags=3)
    with dask.config.set(scheduler=scheduler):
        table = kdd.battery_panel(dd.from_pandas(frame, npartitions=npartitions), "firm", "ret", X, lags=3)
    pd.testing.assert_frame_equal(table, expected, check_exact=True)


def test_lazy_result_and_refusals():
    frame = long_panel(groups=10, seed=12)
    ddf = dd.from_pandas(frame, npartitions=3)
    lazy = kdd.battery_panel(ddf, "firm", "ret", X, compute=False)
    assert isinstance(lazy, dd.DataFrame)
    with dask.config.set(scheduler="sync"):
        table = kdd.to_table(lazy.compute(), ["firm"], kd.TESTS)
    pd.testing.assert_frame_equal(table, kd.battery_panel(frame, "firm", "ret", X, workers=1), check_exact=True)
    with pytest.raises(TypeError, match="Dask's scheduler runs the work"):
        kdd.battery_panel(ddf, "firm", "ret", X, workers=2)
    with pytest.raises(ValueError, match="unknown column 'nope'"):
        kdd.battery_panel(ddf, "firm", "ret", ["nope"])
    with pytest.raises(TypeError, match="dask.dataframe.DataFrame"):
        kdd.battery_panel(frame, "firm", "ret", X)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, worker_dashboard_address=None)
    try:
        with distributed.Client(cluster, timeout=60) as c:
            c.wait_for_workers(2, timeout=60)
            yield c
    finally:
        cluster.close(timeout=60)


def test_cluster_listens_on_loopback_only(client):
    addresses = [client.scheduler.address, *client.scheduler_info()["workers"]]
    assert all(address.startswith("tcp://127.0.0.1:") for address in addresses), addresses


def test_cluster_gives_the_in_process_table(client):
    frame = long_panel(groups=150, seed=13)
    expected = kd.battery_panel(frame, "firm", "ret", X, workers=1)
    table = kdd.battery_panel(dd.from_pandas(frame, npartitions=6), "firm", "ret", X)
    pd.testing.assert_frame_equal(table, expected, check_exact=True)


def test_a_worker_restarted_mid_run_leaves_the_table_complete_and_equal(client):
    frame = long_panel(groups=3000, seed=14)
    expected = kd.battery_panel(frame, "firm", "ret", X, workers=1)
    lazy = kdd.battery_panel(dd.from_pandas(frame, npartitions=24), "firm", "ret", X, compute=False)
    future = client.compute(lazy)
    deadline = time.monotonic() + 60
    busy = []
    while not busy and time.monotonic() < deadline and not future.done():
        busy = [w for w, tasks in client.processing().items() if tasks]
        time.sleep(0.02)
    assert busy and not future.done(), "the run finished before a worker could be restarted"
    client.restart_workers(workers=[busy[0]], timeout=60)
    table = kdd.to_table(future.result(timeout=180), ["firm"], kd.TESTS)
    pd.testing.assert_frame_equal(table, expected, check_exact=True)
