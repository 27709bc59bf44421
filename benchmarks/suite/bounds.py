"""The bound of every kernel at every benchmark size.

A kernel is a sequence of passes (its Gram, its right-hand side, its residual
sums, ...), each in the order the kernel fixes.  A pass cannot run faster than
the slowest of three limits, all taken from the probe in the same run:

- throughput: its arithmetic (multiply-adds, multiplies, adds, divisions; one
  slot each) at the FMA peak of the widest vectors;
- bandwidth: the bytes it reads and writes, at the read bandwidth the probe
  measured for arrays of the call's whole footprint (interpolated between the
  probed sizes; the data of repeated calls stays in the cache level that
  holds it), except that a block too large for the allocator to reuse
  (beyond 32 MiB) is new to the process on every call, and writing it goes at
  the probe's rate for a fresh block, the pages' first touch included (for a
  kernel's arena, plain pages; for an output NumPy allocates, pages advised
  for huge pages, as NumPy advises them);
- latency: its longest chain of dependent steps, at the probe's latency of a
  dependent FMA, add or division.  A fused sum over n rows in a fixed order is
  n dependent FMAs whatever the vector width; the recursion of the recursive
  residuals waits, at every step, for P x, x'P x, the division and the update.

The bound of a call is the sum of its passes' bounds; the resource named for it
is the one that accounts for most of that sum.  Every count is a lower bound
on the work of the pass as the kernel defines it, so the fraction reached
(bound / measured time) is at most 1 up to noise.
"""

import math
from dataclasses import dataclass, field


@dataclass
class Pass:
    name: str
    ops: float = 0.0  # arithmetic operations, one FMA-unit slot each
    bytes: float = 0.0  # bytes read and written
    chains: list = field(default_factory=list)  # [(fma, add, div) dependent steps], the longest counts
    fresh: float = 0.0  # bytes of `bytes` written into a block allocated by this call
    output: bool = False  # that block is a NumPy array the binding allocates, not the kernel's arena


# glibc maps blocks beyond its largest reuse threshold (32 MiB on 64-bit)
# afresh on every allocation and unmaps them on release.
REUSE_LIMIT = 32 * 2**20


def _fit(rows, p):
    """Gram, right-hand side and residual sum of one least-squares fit."""
    return [
        Pass("gram", rows * p * (p + 1) / 2, 8.0 * rows * p, [(rows, 0, 0)]),
        Pass("rhs", rows * p, 8.0 * rows * (p + 1), [(rows, 0, 0)]),
        Pass("rss", rows * p + 2 * rows, 8.0 * rows * (p + 1), [(rows, 0, 0)]),
    ]


def _recursive(n, p):
    m = n - p
    step = 3 * p * p + 3 * p + 4  # e, P x, x'P x, w, beta, the rank-one update
    return [Pass("recursion", m * step, 8.0 * m * (p + 2), [(m * (2 * p + 1), m, m)])]


def _acorr(n, L):
    batches = -(-L // 16)  # lags in batches of up to 16 chains
    return [
        Pass("mean", n, 8.0 * n, [(0, n, 0)]),
        Pass("centre, denominator", 2 * n, 16.0 * n, [(n, 0, 0)]),
        Pass("lag sums", L * n, 8.0 * n * batches, [(n * batches, 0, 0)]),
    ]


def passes(function, n, p, L):
    """(passes, footprint in bytes) of one call, or None for the functions of
    a p-by-p matrix alone (their time is the call itself)."""
    if n is None:
        return None
    if function == "bg_stat":
        k = p + L + 1
        return ([Pass("design", 0, 8.0 * n * (p + 1 + k), fresh=8.0 * n * k)]
                + [Pass("gram", n * k * (k + 1) / 2, 8.0 * n * k, [(n, 0, 0)]),
                   Pass("rhs", n * k, 8.0 * n * (k + 1), [(n, 0, 0)]),
                   Pass("rss, tss", n * k + 2 * n, 8.0 * n * (k + 1), [(n, 0, 0)])],
                8.0 * n * (p + 1 + k))
    if function == "bp_aux":
        return ([Pass("sum of squares", n, 8.0 * n, [(n, 0, 0)]),
                 Pass("g", 2 * n, 16.0 * n, fresh=8.0 * n)]
                + _fit(n, p)[:2]
                + [Pass("mean of g", n, 8.0 * n, [(0, n, 0)]),
                   Pass("rss, tss", n * p + 4 * n, 8.0 * n * (p + 1), [(n, 0, 0)])],
                8.0 * n * (p + 2))
    if function == "chow_stat":
        t = n // 2
        return _fit(n, p) + _fit(t, p) + _fit(n - t, p), 8.0 * n * (p + 1)
    if function == "recursive_residuals":
        return _recursive(n, p), 8.0 * n * (p + 2)  # w: 8 (n - p) bytes, below the reuse limit
    if function in ("cusum_series", "cusum_stat", "cusumsq_stat"):
        m = n - p
        out = _recursive(n, p)
        if function == "cusumsq_stat":
            out += [Pass("total", m, 8.0 * m, [(m, 0, 0)]),
                    Pass("running share", 4 * m, 8.0 * m, [(m, 0, 0)])]
        else:
            out += _fit(n, p) + [Pass("running sum", 2 * m, 16.0 * m, [(0, m, 0)])]
            if function == "cusum_stat":
                out.append(Pass("maximum", 3 * m, 8.0 * m))
        return out, 8.0 * n * (p + 3)
    if function in ("acorr", "lb_stat"):  # Ljung-Box adds L terms to the autocorrelations
        return _acorr(n, min(L, n - 1)), 16.0 * n
    if function == "jb_stat":
        return [Pass("mean", n, 8.0 * n, [(0, n, 0)]),
                Pass("moments", 5 * n, 8.0 * n, [(0, n, 0), (n, 0, 0)])], 8.0 * n
    if function == "hac_estimator_matmul":
        Le = max(0, min(L, n - 1))
        groups = -(-Le // 4)  # consecutive lags share one pass over the rows, four at a time
        lag_fmas = sum((n - j) * p * p for j in range(1, Le + 1))
        return [Pass("lag 0", n * p * (p + 1) / 2, 8.0 * n * p, [(n, 0, 0)]),
                Pass("lags 1..L", lag_fmas, 8.0 * n * p * groups, [(n, 0, 0)] if Le else [])], 8.0 * n * p
    if function == "fill_mean_ax0":
        return [Pass("column sums", n * p, 8.0 * n * p, [(0, n, 0)])], 8.0 * n * p
    if function == "fill_centered_ax0":
        return [Pass("differences", n * p, 16.0 * n * p, fresh=8.0 * n * p, output=True)], 16.0 * n * p
    if function == "symmetric_outer_prod_2dim":
        q = p * (p + 1) // 2
        return [Pass("products", n * q, 8.0 * n * (p + q), fresh=8.0 * n * q, output=True)], 8.0 * n * (p + q)
    raise KeyError(function)


class Machine:
    """The probe's figures, in seconds per unit."""

    def __init__(self, roof):
        self.per_op = 1e-9 / roof["fma_peak_gfmas"]
        self.lat = (roof["fma_latency_ns"] * 1e-9, roof["add_latency_ns"] * 1e-9,
                    roof["div_latency_ns"] * 1e-9)
        sizes = sorted((w["bytes"], w["gbs"]) for w in roof["read_bw_by_size"])
        if roof["big_bytes"] > sizes[-1][0]:
            sizes.append((roof["big_bytes"], roof["read_bw_big_gbs"]))
        self.bandwidths = sizes
        self.fresh_bw = roof.get("fresh_write_gbs", roof["read_bw_big_gbs"]) * 1e9
        self.fresh_output_bw = roof.get("fresh_write_huge_gbs", roof["read_bw_big_gbs"]) * 1e9

    def bandwidth(self, footprint):
        """Bytes per second for a working set of `footprint` bytes: the probe's
        figure for that size, linear in log(size) between probed sizes."""
        sizes = self.bandwidths
        if footprint <= sizes[0][0]:
            return sizes[0][1] * 1e9
        for (s0, g0), (s1, g1) in zip(sizes, sizes[1:]):
            if footprint <= s1:
                f = math.log(footprint / s0) / math.log(s1 / s0)
                return (g0 + f * (g1 - g0)) * 1e9
        return sizes[-1][1] * 1e9

    def memory_seconds(self, ph, bw):
        fresh = ph.fresh if ph.fresh > REUSE_LIMIT else 0.0
        return (ph.bytes - fresh) / bw + fresh / (self.fresh_output_bw if ph.output else self.fresh_bw)

    def bound(self, function, n, p, L):
        """{seconds, resource, by_resource, passes} for one call, or None."""
        model = passes(function, n, p, L)
        if model is None:
            return None
        ps, footprint = model
        bw = self.bandwidth(footprint)
        total = {"throughput": 0.0, "bandwidth": 0.0, "latency": 0.0}
        rows = []
        for ph in ps:
            t = {"throughput": ph.ops * self.per_op,
                 "bandwidth": self.memory_seconds(ph, bw),
                 "latency": max((sum(c * l for c, l in zip(ch, self.lat)) for ch in ph.chains), default=0.0)}
            kind = max(t, key=t.get)
            total[kind] += t[kind]
            rows.append({"pass": ph.name, "resource": kind, "seconds": t[kind]})
        seconds = sum(total.values())
        return {"seconds": seconds, "resource": max(total, key=total.get),
                "by_resource": total, "footprint_bytes": footprint, "bandwidth_gbs": bw * 1e-9,
                "passes": rows}


def attach(cells, roof):
    """Adds bound_s, bound_resource and bound_fraction to every timed cell
    result with a length n; returns the number of cells bounded."""
    if not roof or "read_bw_by_size" not in roof:
        return 0
    m = Machine(roof)
    count = 0
    for res in cells:
        if res.get("n") is None or not res.get("ours_s"):
            continue
        b = m.bound(res["function"], res["n"], res["p"], res["L"])
        if b is None:
            continue
        res.update(bound_s=b["seconds"], bound_resource=b["resource"],
                   bound_fraction=b["seconds"] / res["ours_s"], bound=b)
        count += 1
    return count
