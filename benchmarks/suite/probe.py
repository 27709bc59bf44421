"""The hardware probe: benchmarks/roofline.cpp, compiled here against the
installed headers and static libraries, run once, its JSON read back."""

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import Kestrix._ckernels as ckernels

SOURCE = Path(__file__).resolve().parent.parent / "roofline.cpp"


def probe_check_lines(roof):
    """The probe's own cross-checks: every vector width, the dependent-chain
    latency, and the plain loops beside the tuned ones."""
    widths = ", ".join(f"{w['bits']}-bit x {w['chains']} chains {w['gfmas']:.2f}"
                       for w in roof.get("fma_widths", []))
    lines = []
    if widths:
        lines.append(f"  G FMA/s by width: {widths}; plain loop {roof['fma_simple_loop_gfmas']:.2f}")
    if "fma_latency_ns" in roof:
        lines.append(f"  dependent fma chain: {roof['fma_latency_ns']:.3f} ns a step, so "
                     f"{roof['fmas_in_flight_for_peak']:.0f} lanes in flight reach the peak")
    if "add_latency_ns" in roof:
        lines.append(f"  dependent add chain: {roof['add_latency_ns']:.3f} ns a step; "
                     f"dependent division chain: {roof['div_latency_ns']:.3f} ns a step")
    if "fresh_write_gbs" in roof:
        lines.append(f"  writing a fresh {roof['fresh_bytes'] / 2**20:.0f} MiB block (allocation, first touch, "
                     f"release): {roof['fresh_write_gbs']:.2f} GB/s, advised for huge pages "
                     f"{roof['fresh_write_huge_gbs']:.2f} GB/s")
    if roof.get("read_bw_by_size"):
        lines.append("  read bandwidth by working set: " + ", ".join(
            f"{w['bytes'] / 2**10:.0f} KiB {w['gbs']:.1f} GB/s" for w in roof["read_bw_by_size"]))
    if "read_bw_big_simple_loop_gbs" in roof:
        lines.append(f"  read bandwidth, plain loop: {roof['read_bw_big_simple_loop_gbs']:.2f} GB/s")
    return lines


def run_roofline(probe, log):
    src = SOURCE
    gxx = shutil.which("g++")
    if gxx is None:
        return {"skipped": "no g++ on PATH"}
    inc, lib = ckernels.get_include(), ckernels.get_library_dir()
    libs = ["-l" + name for name in ckernels.get_libraries()]
    base = [gxx, "-O2", "-std=c++17", "-ffp-contract=off"]
    with tempfile.TemporaryDirectory(prefix="ksx-roofline-") as tmp:
        peak_o = os.path.join(tmp, "peak.o")
        exe = os.path.join(tmp, "roofline")
        peak_cmd = base + ["-march=native", "-DROOFLINE_PEAK_ONLY", "-c", str(src), "-o", peak_o]
        main_cmd = base + ["-I" + inc, str(src), peak_o, "-L" + lib] + libs + ["-o", exe]
        for cmd in (peak_cmd, main_cmd):
            proc = subprocess.run(cmd, capture_output=True, text=True)
            if proc.returncode != 0 and "-march=native" in cmd:
                cmd.remove("-march=native")  # a compiler that cannot tell
                proc = subprocess.run(cmd, capture_output=True, text=True)
            if proc.returncode != 0:
                return {"skipped": "compilation failed: " + proc.stderr.strip()[-800:]}
        args = [exe, str(probe["n"]), str(probe["rounds"]), str(probe["big_mib"]),
                ",".join(map(str, probe["ps"])), str(probe["lag"]), str(probe.get("tiny_iters", 0))]
        proc = subprocess.run(args, capture_output=True, text=True)
        if proc.returncode != 0:
            return {"skipped": "probe failed: " + proc.stderr.strip()[-800:]}
    out = json.loads(proc.stdout)
    out["compile"] = {"peak": " ".join(peak_cmd[1:]).replace(str(src), "roofline.cpp"),
                      "main": " ".join(main_cmd[1:]).replace(str(src), "roofline.cpp")}
    peak = out["fma_peak_gflops"]
    bw_big = out["read_bw_big_gbs"]
    for c in out["cases"]:
        c["gflops"] = c["flops"] / c["seconds"] * 1e-9
        c["intensity"] = c["flops"] / c["bytes"]  # flop per byte
        c["read_bw_gbs"] = c["read_bytes"] / c["read_seconds"] * 1e-9
        c["bound_gflops"] = min(peak, c["read_bw_gbs"] * c["intensity"])
        c["fraction"] = c["gflops"] / c["bound_gflops"]
        c["bound_big_gflops"] = min(peak, bw_big * c["intensity"])
        c["fraction_big"] = c["gflops"] / c["bound_big_gflops"]
    return out
