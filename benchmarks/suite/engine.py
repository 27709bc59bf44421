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


def fused_operations(n: int, p: int, lags: int = 4) -> dict[str, float]:
    """Multiply-adds per group of the ten tests' main loops at n rows, p columns (a constant among them),
    counted from the loops' trip counts: the work any implementation of these algorithms does.

    Householder reflector k applied to a column of m rows is 2(m - k) multiply-adds (the product with
    the reflector, then the update); the fit reflects [X | y | 1] as it goes; Breusch-Godfrey reflects the
    lags by the fit's factor and factors them on; Breusch-Pagan reuses the fit's factor; Chow factors
    two halves; the recursion rotates each row into R (about p² multiply-adds with its solve); Wald
    forms Q's first p columns, the scores' lag products over the bandwidth's lags and the sandwich.
    """
    L = lags
    bw = min(int(math.floor(4 * (n / 100) ** (2 / 9))), n - 1)

    def reflect(m: int, k_max: int, cols: int) -> float:  # k_max reflectors on `cols` columns of m rows
        return sum(2.0 * (m - k) * cols for k in range(k_max))

    def factor(m: int, cols: int, extra: int) -> float:  # cols columns factored, `extra` right-hand sides
        return m * (cols + extra) + sum(2.0 * (m - k) * (cols - k - 1 + extra) for k in range(cols))

    out = {
        "fit": factor(n, p, 2) + n * p,
        "breusch_godfrey": reflect(n, p, L) + factor(n - p, L, 0) + reflect(n, p + L, 1) + n,
        "breusch_pagan": reflect(n, p, 1) + 3 * n,
        "chow": 2 * factor(n // 2, p, 1),
        "recursion": n * (p * p + 2 * p),
        "cusum_t_cusumsq": 4.0 * n,
        "ljung_box_jarque_bera": n * (L + 1) + 3.0 * n,
        "wald": reflect(n, p, p) / 2 + 2 * n * p + n * p * (p + 1) / 2 + bw * n * p * p + 2 * p ** 4,
    }
    out["total"] = sum(out.values())
    return out
