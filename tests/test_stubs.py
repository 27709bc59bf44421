"""The type stubs of ``_diag``: checked against the built module and used by mypy."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

MODULE = "Kestrix._ckernels.diag._diag"


def mypy(*args, cwd):
    # Run outside the source tree so that the installed package (with its
    # .pyi and py.typed) is what mypy and stubtest find; an empty config
    # keeps any other configuration out.
    (cwd / "mypy.ini").write_text("[mypy]\n")
    return subprocess.run([sys.executable, "-P", "-m", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=600)


def test_stubtest_finds_no_difference(tmp_path):
    out = mypy("mypy.stubtest", MODULE, "--mypy-config-file", "mypy.ini", cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


GOOD = """\
    import numpy as np
    import numpy.typing as npt
    from Kestrix._ckernels.diag import _diag

    x: npt.NDArray[np.float64] = np.linspace(0.0, 1.0, 20) ** 2
    X = np.column_stack([x, x[::-1]])
    status: int
    stat: float
    status, stat = _diag.bg_stat(x, X, 2)
    status, w = _diag.recursive_residuals(x, X)
    first: np.float64 = w[0]
    status, n, sq = _diag.cusumsq_stat(x, X)
    count: int = n
    q: np.float64 = _diag.lb_stat(x.tolist(), 3)[1]
    omega: npt.NDArray[np.float64] = _diag.hac_estimator_matmul(X, 0, 3)
    status, stat = _diag.wald_stat_from_mean_and_cov(x[:2], [0.0, 0.0], omega, 20)
    status, vec = _diag.fill_symmetric_target_vec(omega, 1e-12, 0)
    fell_back: bool = status == _diag.FALLBACK
    arr = _diag.np.zeros(3)
"""

BAD = """\
    _diag.bg_stat(x, X, "2")
    _diag.acorr([1.0, 2.0], 1)
    status, stat = _diag.bp_aux(x, X)
    bad: str = _diag.jb_stat(x)[1]
    _diag.chow_stat(y=x, X=X, t=3)
"""


def test_mypy_accepts_typed_use_and_rejects_misuse(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(GOOD) + textwrap.dedent(BAD))
    first_bad = len(textwrap.dedent(GOOD).splitlines()) + 1
    out = mypy("mypy", "--strict", "--no-incremental", "--config-file", "mypy.ini", "good.py", "bad.py",
               cwd=tmp_path)
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert not [line for line in errors if line.startswith("good.py")], out.stdout
    lines = sorted({int(line.split(":")[1]) for line in errors})
    assert lines == list(range(first_bad, first_bad + 5)), out.stdout
