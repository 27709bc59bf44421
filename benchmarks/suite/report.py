"""Reporting: number formats, the machine, the table on stdout, the chart and
the README section."""

import json
import math
import os
import platform
import warnings

import numpy as np


def fmt_t(s):
    if s is None:
        return "-"
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def fmt_r(r):
    if r is None:
        return "-"
    if r >= 100:
        return f"{r:.0f}"
    if r >= 10:
        return f"{r:.1f}"
    return f"{r:.2f}"


def fmt_n(n):
    if n is None:
        return "-"
    e = int(round(math.log10(n)))
    return f"1e{e}" if 10**e == n and n >= 1000 else str(n)


def fmt_opt(v):
    return "-" if v is None else str(v)


def blas_info():
    info = {}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cfg = np.show_config(mode="dicts")
        deps = cfg.get("Build Dependencies", {})
        for k in ("blas", "lapack"):
            d = deps.get(k, {})
            info[k] = {x: d.get(x) for x in ("name", "version", "openblas configuration") if d.get(x)}
    except Exception as exc:  # older NumPy: no dict mode
        info["error"] = repr(exc)
    info["threads_env"] = {v: os.environ.get(v) for v in
                           ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")}
    return info


def machine_info():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") or line.startswith("Model"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": cpu,
        "machine": platform.machine(),
        "cores": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": np.__version__,
    }


def print_columns(head, rows, out=print):
    """Left-aligned columns under a ruled heading; the last column unpadded."""
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    widths[-1] = 0
    line = "  ".join(h.ljust(w) for h, w in zip(head, widths)).rstrip()
    out(line)
    out("-" * len(line))
    for row in rows:
        out("  ".join(str(x).ljust(w) for x, w in zip(row, widths)).rstrip())


def print_table(cells, out=print):
    head = ("function", "n", "p", "L", "ours", "peer", "peer/ours", "iqr", "reps", "peer formulation")
    rows = []
    for c in cells:
        r = c.result
        if r.get("skipped"):
            rows.append((r["function"], fmt_n(r["n"]), fmt_opt(r["p"]), fmt_opt(r["L"]),
                         "-", "-", "-", "", "", r["skipped"]))
            continue
        if r.get("mismatch") and "ours_s" not in r:
            rows.append((r["function"], fmt_n(r["n"]), fmt_opt(r["p"]), fmt_opt(r["L"]),
                         "-", "-", "MISMATCH", "", "", json.dumps(r["mismatch"])[:70]))
            continue
        iqr = ""
        if r.get("ratio_iqr"):
            q1, q3 = r["ratio_iqr"]
            iqr = f"{fmt_r(q1)}-{fmt_r(q3)}"
        rows.append((r["function"], fmt_n(r["n"]), fmt_opt(r["p"]), fmt_opt(r["L"]),
                     fmt_t(r.get("ours_s")), fmt_t(r.get("peer_s")), fmt_r(r.get("ratio")),
                     iqr, str(r.get("reps", "")),
                     r.get("peer") or r.get("peer_skipped", "")))
    print_columns(head, rows, out)


def fmt_pct(f):
    return "-" if f is None else f"{100 * f:.0f} %"


def print_bounds(results, out=print):
    """Time, bound, resource and fraction of every bounded cell."""
    head = ("function", "n", "p", "L", "ours", "bound", "bound by", "fraction", "passes (resource: seconds)")
    rows = []
    for r in results:
        if "bound_s" not in r:
            continue
        by = r["bound"]["by_resource"]
        detail = ", ".join(f"{k} {fmt_t(v)}" for k, v in by.items() if v > 0)
        rows.append((r["function"], fmt_n(r["n"]), fmt_opt(r["p"]), fmt_opt(r["L"]), fmt_t(r["ours_s"]),
                     fmt_t(r["bound_s"]), r["bound_resource"], fmt_pct(r["bound_fraction"]), detail))
    print_columns(head, rows, out)


def bounds_markdown(cells, min_n):
    """README table: fraction of the bound (and the bounding resource) per
    function, p and L, one column per n >= min_n."""
    big = [c for c in cells if c.get("n") and c["n"] >= min_n and "bound_s" in c]
    if not big:
        return []
    ns = sorted({c["n"] for c in big})
    short = {"throughput": "FMA", "bandwidth": "BW", "latency": "chain"}
    lines = ["| function | p | L | " + " | ".join(f"n = {fmt_n(n)}" for n in ns) + " |",
             "|---|---|---|" + "---|" * len(ns)]
    rows = {}
    for c in big:
        rows.setdefault((c["function"], c["p"], c["L"]), {})[c["n"]] = c
    for (fn, p, L), by_n in rows.items():
        vals = []
        for n in ns:
            c = by_n.get(n)
            vals.append("" if c is None else
                        f"{fmt_pct(c['bound_fraction'])} {short[c['bound_resource']]} ({fmt_t(c['ours_s'])})")
        lines.append(f"| `{fn}` | {fmt_opt(p)} | {fmt_opt(L)} | " + " | ".join(vals) + " |")
    return lines


def plot(cells, path, log):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as exc:
        log(f"matplotlib not available ({exc.__class__.__name__}): no chart")
        return None
    names = list(dict.fromkeys(c.function for c in cells))
    ns = sorted({c.n for c in cells if c.n is not None})
    colors = dict(zip(ns + [None], ["tab:blue", "tab:orange", "tab:red", "tab:green"]))
    markers = {3: "o", 10: "s", 30: "^", None: "D"}
    fig, ax = plt.subplots(figsize=(13, 6))
    lags = sorted({c.L for c in cells if c.L is not None}) or [0]
    offsets = {n: (i - (len(ns) - 1) / 2) * 0.22 for i, n in enumerate(ns)}
    offsets[None] = 0.0
    for c in cells:
        r = c.result.get("ratio")
        if r is None:
            continue
        x = names.index(c.function) + offsets[c.n]
        col = colors.get(c.n, "k")
        hollow = c.L is not None and c.L > min(lags)
        ax.scatter(x, r, marker=markers.get(c.p, "D"), s=32, alpha=0.85,
                   facecolors="none" if hollow else col, edgecolors=col)
    ax.axhline(1.0, color="k", lw=0.8)
    ax.set_yscale("log")
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels(names, rotation=40, ha="right", fontsize=8)
    ax.set_ylabel("NumPy peer time / Kestrix time  (> 1: Kestrix faster)")
    ax.set_title("Kestrix kernels against plain NumPy, single thread (median of interleaved runs)")
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], ls="", marker="o", color=colors[n], label=f"n = {fmt_n(n)}") for n in ns]
    handles.append(Line2D([], [], ls="", marker="o", color=colors[None], label="p-by-p input, no n"))
    handles += [Line2D([], [], ls="", marker=markers[p], color="gray", label=f"p = {p}")
                for p in sorted({c.p for c in cells if c.p is not None})]
    handles.append(Line2D([], [], ls="", marker="D", color="gray", label="one series (no p)"))
    if len(lags) > 1:
        handles.append(Line2D([], [], ls="", marker="o", color="gray", markerfacecolor="none",
                              label=f"hollow: L = {lags[-1]} (filled: L = {lags[0]})"))
    ax.legend(handles=handles, fontsize=8, ncol=2, loc="best")
    ax.grid(True, which="both", axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return str(path)


def markdown(report):
    """The README section: how to run, ratios at n >= 10^4, roofline, overhead."""
    m = report["machine"]
    blas = report["blas"].get("blas", {})
    lines = [
        "## Performance",
        "",
        "`make bench` (after `make install`) runs `benchmarks/bench.py`; "
        "`.venv/bin/python -P benchmarks/bench.py --quick` runs the small sizes only. "
        "In one process and on one thread (BLAS threads set to 1), every function of "
        "`_diag` is timed against what a user would otherwise write with plain NumPy "
        "for the same statistic: the test suite's reference formulas (`tests/oracles.py`) "
        "over fast NumPy primitives (`X.T @ X` with `np.linalg.solve` for the regressions, "
        "lagged products `r[:-j].T @ r[j:]` for the HAC estimator, dot products per lag "
        "for the autocorrelations, moments by dot products, `triu_indices` gathers, "
        "`np.allclose`); only plain NumPy formulations are used as peers, no other "
        "statistics package. Both sides are checked to agree to 1e-8 (relative) on each "
        "input before they are timed, run side by side in alternating order, and each "
        "time is a median over the rounds. In the same run the probe measures the machine "
        "and every kernel gets its bound at every size. The script prints the tables, writes "
        "`benchmarks/results/latest.json` and draws `benchmarks/results/ratios.png`; the jobs "
        "are the modules of `benchmarks/suite`.",
        "",
        f"Latest run: {m['cpu']}, {m['cores']} cores (shared), {m['system']}, "
        f"Python {m['python']}, NumPy {m['numpy']} with "
        f"{blas.get('name', '?')} {blas.get('version', '')} (1 thread); "
        f"{report['started']}, {report['duration_s']:.0f} s.",
        "",
        "Ratio NumPy time / Kestrix time (above 1: Kestrix is faster), by p = 3 / 10 / 30 "
        "(p is the number of columns of `X`; L the number of lags):",
        "",
    ]
    cells = report["cells"]
    all_ns = sorted({c["n"] for c in cells if c["n"]})
    min_n = 10_000 if any(n >= 10_000 for n in all_ns) else 0
    big_ns = [n for n in all_ns if n >= min_n]
    lines.append("| function | L | " + " | ".join(f"n = {fmt_n(n)}" for n in big_ns) + " |")
    lines.append("|---|---|" + "---|" * len(big_ns))
    groups = {}
    for c in cells:
        if c["n"] is None or c["n"] < min_n:
            continue
        groups.setdefault((c["function"], c["L"]), {}).setdefault(c["n"], []).append(c)
    for (fn, L), by_n in groups.items():
        row = [f"`{fn}`", fmt_opt(L)]
        for n in big_ns:
            vals = []
            for c in by_n.get(n, []):
                if c.get("ratio") is not None:
                    vals.append(fmt_r(c["ratio"]))
                elif c.get("skipped"):
                    vals.append("skip")
                else:
                    vals.append("n/a")
            row.append(" / ".join(vals) if vals else "")
        lines.append("| " + " | ".join(row) + " |")
    small = [c for c in cells if c["n"] is None and c.get("ratio") is not None]
    if small:
        lines.append("")
        lines.append("Functions of a p-by-p matrix only (p = 3 / 10 / 30): " + "; ".join(
            f"`{fn}` " + " / ".join(fmt_r(c["ratio"]) for c in small if c["function"] == fn)
            for fn in dict.fromkeys(c["function"] for c in small)) + ".")
    lines += [
        "",
        "The peer of the recursive residuals and of the CUSUM family is the faster, "
        "measured in the run, of a Python Sherman-Morrison loop and a chunked "
        "cumulative-Gram batched `np.linalg.solve`; the JSON records which. "
        "\"n/a\": no peer timed, \"skip\": cell not run:",
        "",
    ]
    reasons = {}
    for c in cells:
        if c["n"] is None or c["n"] < min_n:
            continue
        why = c.get("skipped") or c.get("peer_skipped")
        if why:
            what = f"`{c['function']}` " + ", ".join(
                f"{k} = {fmt_n(v) if k == 'n' else v}"
                for k, v in (("n", c["n"]), ("p", c["p"]), ("L", c["L"])) if v is not None)
            if c.get("ours_s"):
                what += f" (ours {fmt_t(c['ours_s'])})"
            reasons.setdefault(why, []).append(what)
    for why, whats in reasons.items():
        lines.append(f"- {why}: " + "; ".join(whats))
    lines.append("")
    roof = report.get("roofline", {})
    if roof and "cases" in roof:
        bw = ", ".join(f"{w['bytes'] / 2**10:.0f} KiB {w['gbs']:.0f}" if w["bytes"] < 2**20 else
                       f"{w['bytes'] / 2**20:.0f} MiB {w['gbs']:.0f}" for w in roof.get("read_bw_by_size", []))
        lines += [
            "The machine (`benchmarks/roofline.cpp`, built against the installed headers "
            "and static libraries; `-march=native` only for its own probe loops), one core: "
            f"FMA peak {roof['fma_peak_gfmas']:.1f} G FMA/s ({roof['fma_peak_gflops']:.1f} GFLOP/s, "
            f"{roof['isa']}; plain loop {roof.get('fma_simple_loop_gfmas', float('nan')):.1f}); "
            f"dependent chains {roof.get('fma_latency_ns', float('nan')):.2f} ns an FMA, "
            f"{roof.get('add_latency_ns', float('nan')):.2f} ns an add, "
            f"{roof.get('div_latency_ns', float('nan')):.2f} ns a division; read bandwidth "
            f"{roof['read_bw_big_gbs']:.1f} GB/s on a {roof['big_bytes'] / 2**20:.0f} MiB array"
            + (f" (by working set, GB/s: {bw})" if bw else "") + ".",
            "",
        ]
        table = bounds_markdown(cells, min_n)
        if table:
            lines += [
                "Fraction of the bound reached, per kernel and size, in the same run (FMA: "
                "arithmetic at the FMA peak; BW: bytes at the bandwidth of the call's working "
                "set; chain: the longest chain of dependent steps at the measured latencies; "
                "each pass of a kernel bounded by its own limit, the passes summed; the call's "
                "time in brackets):",
                "",
            ] + table + [""]
        lines += [
            f"The Gram and the HAC lag product of the numeric core alone, at n = {fmt_n(roof['n'])}, "
            "against min(peak, bandwidth x intensity) with the bandwidth measured on the "
            "kernel's own input in the same rounds:",
            "",
            "| kernel | p | GFLOP/s | flop/byte | bound GFLOP/s | fraction |",
            "|---|---|---|---|---|---|",
        ]
        for c in roof["cases"]:
            lines.append(f"| `{c['kernel']}` | {c['p']} | {c['gflops']:.2f} | "
                         f"{c['intensity']:.2f} | {c['bound_gflops']:.1f} | "
                         f"{100 * c['fraction']:.1f} % |")
        lines += [
            "",
            "`ksx_gram`: n p(p+1)/2 FMAs over n p 8 bytes (the design Gram of the "
            "regression kernels is this call). `ksx_matmul_atb` as the HAC lag product, "
            "A = r[0:n-j], B = r[j:n] (j = 1): n p^2 FMAs over n p 8 bytes, B's rows "
            "being A's rows j rows later and still in cache.",
            "",
        ]
    ov = report.get("overhead", [])
    if ov:
        worst = max(ov, key=lambda r: r["ratio"])
        lines += [
            "Call overhead on n = 5, p = 2 inputs, against the bare NumPy calls of the "
            "calling convention (one `np.ascontiguousarray(a, dtype=np.float64)` per "
            "array argument, one `np.empty(shape, dtype=np.float64)` per output or "
            "scratch array, `np.float64` for a result returned as one, in a Python function "
            "of the same parameters); target at "
            f"most 1.5x, worst {worst['ratio']:.2f}x (`{worst['function']}`):",
            "",
            "| function | ours | bare NumPy | ratio | buffer exports | kernel alone | rest |",
            "|---|---|---|---|---|---|---|",
        ]
        for r in ov:
            kn = fmt_t(r["kernel_native_s"]) if "kernel_native_s" in r else "-"
            rest = fmt_t(r["rest_s"]) if "rest_s" in r else "-"
            lines.append(f"| `{r['function']}` | {fmt_t(r['ours_s'])} | {fmt_t(r['bare_s'])} | "
                         f"{r['ratio']:.2f} | {fmt_t(r['buffer_export_s'])} | {kn} | {rest} |")
        lines += [
            "",
            "\"buffer exports\": one per array the kernel reads or writes, timed as a "
            "`memoryview` of a ready array; \"kernel alone\": the same kernel on the same "
            "shapes, called natively by the probe (separate process); \"rest\": what is left "
            "of the call: argument parsing, the module's `np` lookups, the release and "
            "re-acquisition of the interpreter lock, the result objects.",
        ]
        lines.append("")
    return "\n".join(lines)
