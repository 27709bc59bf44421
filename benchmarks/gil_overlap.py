"""How far two threads running a long kernel overlap.

For each of a few long kernels, the time of two calls made one after the
other in one thread is compared with the time of the same two calls made at
once by two threads.  The ratio serial / parallel is about 2 on two free
cores when the interpreter lock is released around the kernel, and about 1
when it is not.  Other load on the machine pulls the ratio down, so the CPU
time that the process used during the two-thread run is printed too, as a
multiple of its wall time: above 1 the two kernels ran at the same time,
which they cannot do while one of them holds the lock (other load only
lowers this figure).

What a machine allows is measured too: the same two calls made at once by
two processes, which share no lock.  "threads / processes" compares the two
overlaps; about 1 means the threads overlap as well as separate processes do.
On a machine whose cores do not run in parallel (process ratio about 1) no
timing can show the overlap; tests/test_reliability.py checks the release of
the lock without timing.  This is a measurement, not a test: it prints and
asserts nothing.

    .venv/bin/python -P benchmarks/gil_overlap.py [--repeat 5] [--scale 1.0]
"""

import argparse
import multiprocessing
import os
import statistics
import threading
import time

import numpy as np

import Kestrix._ckernels.diag._diag as diag


def workloads(scale):
    rng = np.random.default_rng(1)

    def size(n):
        return max(1, int(n * scale))

    n = size(20000)
    r = rng.standard_normal((size(4000), 24))
    y = rng.standard_normal(n)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, 24))])
    Xk = np.ascontiguousarray(X[:, 1:])
    a = rng.standard_normal((size(1500), size(1500)))
    target = a + a.T
    x = rng.standard_normal(size(40000))
    return {
        "hac_estimator_matmul": (diag.hac_estimator_matmul, (r, 2, 20)),
        "bg_stat": (diag.bg_stat, (y, Xk, 4)),
        "recursive_residuals": (diag.recursive_residuals, (y, X)),
        "acorr": (diag.acorr, (x, 400)),
        "fill_symmetric_target_vec": (diag.fill_symmetric_target_vec, (target, 0.0, 0.0)),
    }


def serial(func, args):
    start = time.perf_counter()
    func(*args)
    func(*args)
    return time.perf_counter() - start


def parallel(func, args):
    """(wall time, process CPU time) of two threads making one call each."""
    barrier = threading.Barrier(3)

    def work():
        barrier.wait()
        func(*args)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    barrier.wait()
    start, cpu_start = time.perf_counter(), time.process_time()
    for t in threads:
        t.join()
    return time.perf_counter() - start, time.process_time() - cpu_start


def _process_worker(func, args, barrier, queue):
    func(*args)  # touch the inherited pages before the clock starts
    barrier.wait()
    start = time.perf_counter()
    func(*args)
    queue.put((start, time.perf_counter()))


def processes(func, args):
    """Wall time of two forked processes making one call each."""
    ctx = multiprocessing.get_context("fork")
    barrier, queue = ctx.Barrier(2), ctx.Queue()
    procs = [ctx.Process(target=_process_worker, args=(func, args, barrier, queue)) for _ in range(2)]
    for p in procs:
        p.start()
    spans = [queue.get() for _ in procs]
    for p in procs:
        p.join()
    return max(end for _, end in spans) - min(start for start, _ in spans)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the problem sizes")
    opts = parser.parse_args()
    print(f"cores: {os.cpu_count()}, repeats: {opts.repeat} (medians)")
    print(f"{'kernel':28s} {'2 serial':>10s} {'2 threads':>10s} {'2 procs':>10s} "
          f"{'threads':>8s} {'procs':>6s} {'thr/proc':>8s} {'cpu/wall':>8s}")
    ratios, proc_ratios, usage = [], [], []
    for name, (func, args) in workloads(opts.scale).items():
        func(*args)  # warm up
        t_serial = statistics.median(serial(func, args) for _ in range(opts.repeat))
        runs = [parallel(func, args) for _ in range(opts.repeat)]
        t_threads = statistics.median(wall for wall, _ in runs)
        t_procs = statistics.median(processes(func, args) for _ in range(opts.repeat))
        cpu_per_wall = statistics.median(cpu / wall for wall, cpu in runs)
        ratios.append(t_serial / t_threads)
        proc_ratios.append(t_serial / t_procs)
        usage.append(cpu_per_wall)
        print(f"{name:28s} {t_serial * 1e3:8.1f}ms {t_threads * 1e3:8.1f}ms {t_procs * 1e3:8.1f}ms "
              f"{ratios[-1]:8.2f} {proc_ratios[-1]:6.2f} {ratios[-1] / proc_ratios[-1]:8.2f} {cpu_per_wall:8.2f}")
    gm = statistics.geometric_mean
    print(f"overlap ratio (serial / two threads), geometric mean: {gm(ratios):.2f}")
    print(f"overlap ratio of two processes (what the machine allows): {gm(proc_ratios):.2f}")
    print(f"threads / processes: {gm(ratios) / gm(proc_ratios):.2f}")
    print(f"CPU time / wall time with two threads, geometric mean: {gm(usage):.2f}")


if __name__ == "__main__":
    main()
