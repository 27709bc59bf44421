"""Timing: a cell's two sides are checked against each other, then timed side
by side in alternating order, in rounds sized by a time budget."""

import gc
import itertools
import math
import time

import numpy as np

from .report import fmt_n, fmt_t

TOL = 1e-8  # relative agreement required between ours and the peer
perf = time.perf_counter


def timed(fn):
    t0 = perf()
    out = fn()
    return perf() - t0, out


def batch(fn, k):
    """Seconds per call, over k back-to-back calls."""
    t0 = perf()
    for _ in itertools.repeat(None, k):
        fn()
    return (perf() - t0) / k


def rel_err(ours, peer):
    o = np.asarray(ours, dtype=np.float64)
    q = np.asarray(peer, dtype=np.float64)
    if o.shape != q.shape:
        return math.inf
    if o.size == 0:
        return 0.0
    if not (np.all(np.isfinite(o)) and np.all(np.isfinite(q))):
        return 0.0 if np.array_equal(o, q, equal_nan=True) else math.inf
    scale = float(np.max(np.abs(q)))
    diff = float(np.max(np.abs(o - q)))
    return diff / scale if scale > 0 else diff


def check(cell, ours_res, peer_res):
    """Relative disagreement between ours and a peer, inf on a status mismatch."""
    status, value = cell.unpack(ours_res)
    if isinstance(peer_res, tuple):  # (status, value) peers
        pst, peer_res = peer_res
        if status != pst:
            return math.inf
    elif status is not None and status != 0:
        return math.inf
    return rel_err(value, peer_res)


def quantiles(v, qs):
    return [float(x) for x in np.quantile(np.asarray(v), qs)]


def run_cell(cell, plan, log, history):
    """Check, then time one cell; `history` maps a cell key to its smaller-n result."""
    res = cell.result
    res.update(function=cell.function, n=cell.n, p=cell.p, L=cell.L)
    if cell.skip:
        res.update(skipped=cell.skip)
        return
    key = (cell.function, cell.p, cell.L)
    budget = plan.budget.get(cell.n, plan.budget[min(plan.budget)])

    # A cell whose calls would take too long at this n, judged by linear
    # extrapolation from the previous n, is skipped: the run must stay short.
    prev = history.get(key)
    if prev and cell.n and prev.get("ours_s"):
        scale = cell.n / prev["n"]
        pred_ours = prev["ours_s"] * scale
        # NumPy formulations predicted to take too long are dropped; with none
        # left the cell times ours alone.
        cand = dict(prev.get("peer_candidates", {}))
        if prev.get("peer") in cand and prev.get("peer_s"):
            cand[prev["peer"]] = prev["peer_s"]  # the median, not the warm-up call
        if cand and not cell.skip_peer:
            keep = [(d, f) for d, f in cell.peers if cand.get(d, 0.0) * scale <= plan.max_peer_call]
            if not keep:
                best = min(cand.values()) * scale
                cell.skip_peer = (f"peer skipped: the fastest NumPy formulation is predicted at "
                                  f"{fmt_t(best)} per call (from n = {fmt_n(prev['n'])})")
                res.update(predicted_peer_s=best)
            cell.peers = keep
        pred_peer = 0.0
        if not cell.skip_peer:
            pred_peer = min(cand.get(d, 0.0) for d, _ in cell.peers) * scale if cand else 0.0
        cap = plan.max_pair if not cell.skip_peer else plan.max_pair / 2
        if pred_ours + pred_peer > cap:
            if cell.skip_peer:
                why = (f"skipped: predicted {fmt_t(pred_ours)} per call (from n = "
                       f"{fmt_n(prev['n'])}) and no peer at this n")
            else:
                why = (f"skipped: predicted {fmt_t(pred_ours)} (ours) + {fmt_t(pred_peer)} "
                       f"(peer) per call, from n = {fmt_n(prev['n'])}")
            res.update(skipped=why,
                       predicted_ours_s=pred_ours, predicted_peer_s=pred_peer or None)
            return
    gc.collect()

    # Warm-up, one call of each side, side by side; it also supplies the
    # values that are checked.
    t_ours, ours_res = timed(cell.ours)
    peer = None
    if not cell.skip_peer:
        best = None
        for desc, fn in cell.peers:
            t, out = timed(fn)
            err = check(cell, ours_res, out)
            del out
            if not err <= TOL:
                res.setdefault("mismatch", []).append(
                    {"peer": desc, "rel_err": err if math.isfinite(err) else repr(err)})
                log(f"!!! MISMATCH {cell.function} n={cell.n} p={cell.p} L={cell.L}: "
                    f"ours and '{desc}' differ by {err:.3g} (relative); not timed")
                continue
            if len(cell.peers) > 1:
                # Choose among formulations on a second call: the first may
                # include one-off costs (page faults of fresh allocations).
                t = min(t, timed(fn)[0])
            res.setdefault("peer_candidates", {})[desc] = t
            if best is None or t < best[0]:
                best = (t, desc, fn, err)
        if best is None:
            return
        t_peer, desc, peer, err = best
        res.update(peer=desc, rel_err=err)
    else:
        status, _ = cell.unpack(ours_res)
        if status not in (None, 0):
            res.setdefault("mismatch", []).append({"peer": None, "status": status})
            log(f"!!! {cell.function} n={cell.n} p={cell.p}: status {status}")
            return
        res.update(peer_skipped=cell.skip_peer)
        t_peer = 0.0
        budget *= 0.5
    del ours_res

    sides = [("ours", cell.ours, t_ours)]
    if peer is not None:
        sides.append(("peer", peer, t_peer))
    samples = {name: [] for name, _, _ in sides}
    # Calibration: one more call of each side, side by side, for the costs
    # without first-call effects.  It is the first sample when calls are long
    # enough to be timed one by one.
    calib = []
    for name, fn, t in sides:
        tc = timed(fn)[0]
        calib.append(tc)
        samples[name].append(tc)
    pair = sum(calib)
    ks = [max(1, min(100_000, int(plan.batch / max(t, 1e-9)))) for t in calib]
    if pair > plan.single_shot:
        reps = 1  # the calibration pair is the sample
    else:
        batch_pair = sum(k * t for k, t in zip(ks, calib))
        reps = int(budget / batch_pair)
        floor = plan.min_reps if batch_pair * plan.min_reps <= 3 * budget else 2
        reps = max(floor, min(plan.max_reps, reps))
    if any(k > 1 for k in ks):
        for name in samples:
            samples[name].clear()
        extra = reps
    else:
        extra = reps - 1
    res.update(calls_per_batch=ks)
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for rep in range(extra):
            order = range(len(sides)) if rep % 2 == 0 else reversed(range(len(sides)))
            for i in order:
                name, fn, _ = sides[i]
                samples[name].append(batch(fn, ks[i]))
    finally:
        if gc_was:
            gc.enable()

    ours_med = float(np.median(samples["ours"]))
    res.update(ours_s=ours_med, reps=len(samples["ours"]))
    if peer is not None:
        peer_med = float(np.median(samples["peer"]))
        res.update(peer_s=peer_med, ratio=peer_med / ours_med)
        if len(samples["ours"]) > 2:
            paired = np.asarray(samples["peer"]) / np.asarray(samples["ours"])
            q1, q3 = quantiles(paired, [0.25, 0.75])
            res.update(ratio_iqr=[q1, q3])
    history[key] = res
