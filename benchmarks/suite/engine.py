"""The battery engine timed natively: ``engine_driver.cpp`` compiled against the
installed headers and static libraries, fed the stacked groups of a benchmark
through a file, its JSON read back; and the engine's arithmetic per group, for
its bound."""

from __future__ import annotations

import json
import math
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

import Kestrix._ckernels as ckernels
from Kestrix.diagnostics import _engine

SOURCE = Path(__file__).resolve().parent.parent / "engine_driver.cpp"


class Driver:
    """The compiled driver in a temporary folder, with the groups it times written beside it."""

    def __init__(self) -> None:
        self._tmp = tempfile.TemporaryDirectory(prefix="ksx-engine-")
        self.exe = os.path.join(self._tmp.name, "engine_driver")
        gxx = shutil.which("g++") or shutil.which("c++")
        if gxx is None:
            raise RuntimeError("no C++ compiler on PATH")
        cmd = [gxx, "-O2", "-std=c++17", "-ffp-contract=off", "-I" + ckernels.get_include(), str(SOURCE),
               "-L" + ckernels.get_library_dir(), *("-l" + name for name in ckernels.get_libraries()), "-pthread",
               "-o", self.exe]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0 and ("__asan_" in proc.stderr or "__ubsan_" in proc.stderr):
            # The installed libraries are a sanitized build (make test-asan): the driver must be one too.
            proc = subprocess.run(cmd[:1] + ["-fsanitize=address,undefined"] + cmd[1:], capture_output=True,
                                  text=True)
        if proc.returncode != 0:
            raise RuntimeError("the engine driver did not compile: " + proc.stderr[-800:])
        self._files = 0

    def write(self, y: np.ndarray, X: np.ndarray, starts: np.ndarray) -> str:
        """The groups (y, X row-major, starts of G groups plus the end) as the driver reads them."""
        path = os.path.join(self._tmp.name, f"groups{self._files}.bin")
        self._files += 1
        G, p = starts.shape[0] - 1, X.shape[1]
        with open(path, "wb") as handle:
            np.array([G, p], dtype=np.int64).tofile(handle)
            np.ascontiguousarray(starts, dtype=np.int64).tofile(handle)
            np.ascontiguousarray(y, dtype=np.float64).tofile(handle)
            np.ascontiguousarray(X, dtype=np.float64).tofile(handle)
        return path

    def run(self, path: str, tests: tuple[str, ...], threads: int = 1, repeat: int = 3,
            chunk: int = 2048) -> dict[str, Any]:
        proc = subprocess.run([self.exe, path, str(_engine.mask(tests)), str(threads), str(repeat), str(chunk)],
                              capture_output=True, text=True, timeout=3600)
        if proc.returncode != 0:
            raise RuntimeError("the engine driver failed: " + proc.stderr[-800:])
        return json.loads(proc.stdout)

    def close(self) -> None:
        self._tmp.cleanup()


def stacked(frame: Any, by: str, y: str, x: list[str]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A frame sorted by group as the engine takes it: y, X with the constant first, the starts."""
    codes = frame[by].to_numpy()
    sizes = np.unique(codes, return_counts=True)[1]
    starts = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    X = np.empty((len(frame), len(x) + 1))
    X[:, 0] = 1.0
    for j, name in enumerate(x):
        X[:, j + 1] = frame[name].to_numpy()
    return frame[y].to_numpy(dtype=np.float64).copy(), X, starts


@dataclass
class EnginePass:
    """One pass of the engine over a group: its multiply-adds (or other operations of the multiply-add
    units), its divisions and square roots (the divider's work), and its longest chain of dependent steps
    (multiply-adds, additions, divisions or square roots) in a batch of groups side by side in lanes."""

    name: str
    fmas: float
    divs: float = 0.0
    sqrts: float = 0.0
    chain: tuple[float, float, float] = (0.0, 0.0, 0.0)


def passes(n: int, p: int, lags: int = 4) -> list[EnginePass]:
    """The passes of the ten tests on a group of n rows and p columns (a constant among them, full rank),
    counted from the engine's loops; every count is a lower bound on the work as the engine defines it.

    Householder reflector k applied to a column of m rows is 2(m - k) multiply-adds (the product with
    the reflector, then the update), and its chain is the product's m - k steps; taking column k costs its
    sum of squares (a chain of m - k steps), a square root and two divisions.  The fit reflects
    [X | y | 1] as it goes; Breusch-Godfrey reflects the lags by the fit's factor and factors them on;
    Breusch-Pagan reuses the fit's factor; Chow factors two halves (independent: one half's chain
    counts); the recursion rotates each row into R (about p² multiply-adds, p + 1 square roots and
    p + 1 divisions a row) and waits, from row to row, only for each diagonal entry's update, one
    multiply-add and a square root; Wald forms Q's first p columns, the scores' lag products over the
    bandwidth's lags and the sandwich.
    """
    L = lags
    bw = min(int(math.floor(4 * (n / 100) ** (2 / 9))), n - 1)
    m = n - p  # recursive residuals

    def reflect(rows: int, k_max: int, cols: int) -> float:  # k_max reflectors on `cols` columns
        return sum(2.0 * (rows - k) * cols for k in range(k_max))

    def factor(rows: int, cols: int, extra: int) -> float:  # cols columns factored, `extra` right-hand sides
        return rows * (cols + extra) + sum(2.0 * (rows - k) * (cols - k - 1 + extra) for k in range(cols))

    def factor_chain(rows: int, cols: int) -> float:  # each column's sum of squares, then the next one's product
        return sum(2.0 * (rows - k) for k in range(cols))

    return [
        EnginePass("fit", factor(n, p, 2) + n * p, 2 * p, p, (n + factor_chain(n, p) + 3 * n, n, 2 * p)),
        EnginePass("breusch_godfrey", reflect(n, p, L) + factor(n - p, L, 0) + reflect(n, p + L, 1) + n, 2 * L, L,
                   (n + p * n + factor_chain(n - p, L) + L * (n - p) + (n - p - L), 0, 2 * L)),
        EnginePass("breusch_pagan", reflect(n, p, 1) + 3 * n, n, 0, (p * n + 2 * n, n, 1)),
        EnginePass("chow", 2 * factor(n // 2, p, 1), 4 * p, 2 * p,
                   (n // 2 + factor_chain(n // 2, p) + p * (n // 2) + n // 2, 0, 2 * p)),
        EnginePass("recursion", n * (p * p + 2 * p), n * (p + 1), n * (p + 1), (n, 0, n)),
        EnginePass("cusum_t_cusumsq", 4.0 * m, 3.0 * m, 2, (m, 4 * m, 2)),
        EnginePass("ljung_box_jarque_bera", n * (L + 1) + 3.0 * n, L, 0, (2 * n, n, 1)),
        EnginePass("wald", reflect(n, p, p) / 2 + 2 * n * p + n * p * (p + 1) / 2 + bw * n * p * p + 2 * p ** 4,
                   2 * p, p, (factor_chain(n, p) + 2 * n, n, 2 * p)),
    ]


def fused_operations(n: int, p: int, lags: int = 4) -> dict[str, float]:
    """Multiply-adds per group of the ten tests' passes (``passes``), and their total."""
    out = {ph.name: ph.fmas for ph in passes(n, p, lags)}
    out["total"] = sum(out.values())
    return out


def lanes_of(roof: dict[str, Any]) -> int:
    """Groups side by side in the engine's vectors on the probed machine: 8 in 512-bit vectors, else 4."""
    return 8 if "avx512" in roof.get("isa", "") else 4


def bound(roof: dict[str, Any], n: int, p: int, lags: int = 4, groups: int | None = None) -> dict[str, Any]:
    """The engine's least time per group for the ten tests, pass by pass, from the probe's figures.

    A pass cannot run faster than the slowest of three limits: its multiply-adds at the multiply-add
    peak; its divisions and square roots on the divider (at least each kind at its own peak, and the
    pairs of the two at the mixed peak, the two sharing one unit on the cores probed so far); and its
    longest chain at the probed latencies (a square root counted as a division), shared by the groups
    in one batch of lanes.  With ``groups`` (a run over that many groups), reading each group's y and
    regressors once is a pass of its own, at the probe's read bandwidth for the run's whole data.  The
    bound is the sum over the passes; the resource named for each is the one that sets it.
    """
    per_fma = 1e-9 / roof["fma_peak_gfmas"]
    lat = (roof["fma_latency_ns"] * 1e-9, roof["add_latency_ns"] * 1e-9, roof["div_latency_ns"] * 1e-9)
    width = lanes_of(roof)
    rows = []
    if groups is not None and "read_bw_by_size" in roof:
        from .bounds import Machine

        data = 8.0 * n * p  # y and the p - 1 regressors beside the constant
        seconds = data / Machine(roof).bandwidth(data * groups)
        rows.append({"pass": "load", "resource": "bandwidth", "seconds": seconds, "limits": {"bandwidth": seconds}})
    for ph in passes(n, p, lags):
        unit = 0.0
        if "div_peak_gops" in roof:
            unit = max(ph.divs / roof["div_peak_gops"], ph.sqrts / roof["sqrt_peak_gops"],
                       2.0 * min(ph.divs, ph.sqrts) / roof["div_sqrt_peak_gops"]) * 1e-9
        limits = {"multiply-adds": ph.fmas * per_fma, "divider": unit,
                  "latency": sum(c * t for c, t in zip(ph.chain, lat)) / width}
        resource = max(limits, key=limits.get)
        rows.append({"pass": ph.name, "resource": resource, "seconds": limits[resource], "limits": limits})
    return {"seconds": sum(r["seconds"] for r in rows), "lanes": width, "passes": rows}
