"""The kernel benchmarks, by job.

- ``peers``: the NumPy formulations timed against the kernels, built on the
  test suite's reference formulas (``tests/oracles.py``);
- ``cases``: the sizes of a run, the inputs, the cells;
- ``timing``: checking a cell's two sides against each other, then timing
  them side by side;
- ``overhead``: each function on tiny inputs against the bare NumPy calls of
  its calling convention;
- ``probe``: the hardware probe (``roofline.cpp``), compiled and run;
- ``bounds``: the bound of each kernel at each size from the probe's figures;
- ``report``: the table, the chart and the README section.

``benchmarks/bench.py`` runs them.
"""

import sys
from pathlib import Path

_TESTS = Path(__file__).resolve().parents[2] / "tests"
if str(_TESTS) not in sys.path:
    # Appended, not prepended: tests/ holds only test modules, and the
    # installed package stays first on the path.
    sys.path.append(str(_TESTS))
