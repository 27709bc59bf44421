"""The kernels' status codes: the one table the Python layer keeps of them."""

from __future__ import annotations

import enum

from Kestrix._ckernels.diag import _diag


class Status(enum.IntEnum):
    """Status code of a kernel call, as the first element of its result tuple.

    Refusals raised by this package carry one of these codes too
    (``DiagnosticError.status``), so that a table of many tests can say in
    one column why a row has no statistic.  NOT_APPLICABLE and BAD_INPUT
    are this package's own: a battery row whose test was refused for too
    few observations (TOO_FEW_OBS) is NOT_APPLICABLE, not an error.
    """

    OK = 0
    FALLBACK = 1
    BAD_SHAPE = -1
    NO_MEMORY = -2
    UNDEFINED_VARIANCE = -3
    BAD_LAG = -4
    TOO_FEW_OBS = -5
    BAD_BREAK = -7
    # Statuses of this package's own, never returned by a kernel:
    NOT_APPLICABLE = -8
    BAD_INPUT = -9

    @property
    def meaning(self) -> str:
        return _MEANINGS[self]


_MEANINGS = {
    Status.OK: "all outputs written and valid",
    Status.FALLBACK: "the normal equations could not be factorised; recomputed by least squares",
    Status.BAD_SHAPE: "a target matrix is not symmetric",
    Status.NO_MEMORY: "the kernel's scratch space could not be allocated",
    Status.UNDEFINED_VARIANCE: "zero, negative or non-finite variance",
    Status.BAD_LAG: "a lag count below 1",
    Status.TOO_FEW_OBS: "too few observations for the statistic",
    Status.BAD_BREAK: "a break outside the sample",
    Status.NOT_APPLICABLE: "the test does not apply to this data (too few rows for it, nothing to test); "
                           "a battery row's note says why",
    Status.BAD_INPUT: "input the test cannot use as it is (row labels that repeat where the order of the rows "
                      "matters)",
}

# The module exports the one code its callers must act on; the table must agree.
if Status.FALLBACK != _diag.FALLBACK:  # pragma: no cover - a build mismatch
    raise ImportError(f"the kernels' FALLBACK is {_diag.FALLBACK}, this package expects {int(Status.FALLBACK)}")


class DiagnosticError(ValueError):
    """A test cannot be computed on this input; ``status`` says which kind of refusal."""

    def __init__(self, message: str, status: Status = Status.TOO_FEW_OBS) -> None:
        super().__init__(message)
        self.status = Status(status)


def status_name(code: int) -> str:
    try:
        return Status(code).name
    except ValueError:
        return "UNKNOWN"
